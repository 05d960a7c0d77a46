#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "values/RecordsetData.h"

namespace ado {

// Reads a persisted recordset (ADO's XML format) into fields, records and properties.
// Rows inside rs:insert come back with adRecNew, rs:update with adRecModified and their
// original values, rs:delete with adRecDeleted. Never resolves DTDs or entities.
// Throws core::Error kErrInvalidPersistedFile with a one-line reason (not well-formed,
// not a recordset, a DOCTYPE, a truncated file ...), kErrFileNotFound when the file
// does not exist.
RecordsetData ReadRecordsetXmlFile(const std::string& path);
RecordsetData ReadRecordsetXml(std::string_view text);

// Bounds that keep a broken or hostile file from exhausting memory.
struct XmlReadLimits {
  // Largest single token the parser may have to hold at once: a start tag with all its
  // attribute values, a comment, a run of markup. Larger ones fail the read.
  size_t max_token_bytes = size_t{64} << 20;
};

// Bytes the reader pulls in blocks.
class XmlInputSource {
 public:
  virtual ~XmlInputSource() = default;
  // Fills up to `size` bytes; 0 at the end. Throws core::Error on a read failure.
  virtual size_t Read(char* buffer, size_t size) = 0;
  // Total size when known, to size the record store ahead.
  virtual std::optional<uint64_t> Size() const { return std::nullopt; }
};

RecordsetData ReadRecordsetXml(XmlInputSource& source, const XmlReadLimits& limits = {});

// The rows of a persisted recordset file for which `keep` (given the fields and each
// field's attribute text, null where the row leaves the field out) is true, the others
// passed over without being kept. A row with pending changes fails the read. Throws as
// ReadRecordsetXmlFile does.
using RowFilter =
    std::function<bool(const std::vector<FieldDef>& fields, std::span<const char* const> values)>;
RecordsetData ReadRecordsetXmlFile(const std::string& path, const RowFilter& keep);

// ReadRecordsetXmlFile(path, keep) for a file laid out as this program writes one (a
// schema, then rs:data with one z:row element per row and no other markup) when only the
// rows whose `attribute` holds one of `texts` are wanted: the file's bytes are scanned for
// those rows first, and only they are parsed, with `keep` deciding as before. A row whose
// attribute cannot be told by the scan (absent, or holding a character reference) is
// parsed too. Nothing when the file is not laid out so: the caller reads it whole.
std::optional<RecordsetData> ReadRecordsetXmlFileRowsWith(
    const std::string& path, std::string_view attribute,
    const std::function<bool(std::string_view text)>& wanted, const RowFilter& keep);

// Takes a persisted recordset's rows one at a time, as the file holds them, instead of
// keeping them.
class XmlRowHandler {
 public:
  virtual ~XmlRowHandler() = default;
  // Once, before the first row: the fields in rs:number order.
  virtual void Fields(const std::vector<FieldDef>& fields) = 0;
  // Each row: per field the attribute's text as XML reads it (entities resolved,
  // white space in it turned into spaces), null for a field the row leaves out.
  virtual void Row(std::span<const char* const> values) = 0;
};

// Reads the file's schema and hands its rows to `handler`, holding one row at a time.
// A row with pending changes (rs:insert, rs:update, rs:delete) fails the read. Throws
// as ReadRecordsetXmlFile does; an exception from the handler fails the read with its
// message.
void ReadRecordsetXmlFileRows(const std::string& path, XmlRowHandler& handler);
// The same from a file's bytes.
void ReadRecordsetXmlRows(std::string_view text, XmlRowHandler& handler);

}  // namespace ado
