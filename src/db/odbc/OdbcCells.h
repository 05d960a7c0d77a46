#pragma once

// The cells of a bound or fetched ODBC column: the C type a column is read as, the room
// its cells take, and its values stored into a RecordStore as a recordset file holds them.

#include <sql.h>
#include <sqlext.h>

#include <cstddef>
#include <string>

#include "db/odbc/OdbcResultReader.h"
#include "values/RecordStore.h"

namespace ado::odbc {

SQLSMALLINT CType(FetchKind kind);
// Whether values of `kind` vary in size (text, binary, decimals as text).
bool IsVariable(FetchKind kind);
// Bytes of a fixed-size C type. A column-wise bound array of such a type steps by
// exactly this size, whatever buffer length the binding gives.
size_t FixedBytes(SQLSMALLINT c_type);
const char* CTypeName(SQLSMALLINT c_type);
// Bytes of one bound cell of a variable kind; for text, room for every character as a
// surrogate pair.
size_t CellBytes(FetchKind kind, SQLSMALLINT c_type, size_t chars);
// Room for data in a cell of `bytes`, leaving space for the terminator the driver
// writes after character data.
size_t DataRoom(SQLSMALLINT c_type, size_t bytes);
// Stores a fixed-size value found at `data` (of `c_type`). Returns false when the value
// was a zero date, stored as null.
bool StoreFixed(const ColumnMapping& map, SQLSMALLINT c_type, const void* data, RecordStore& store,
                size_t record, size_t field);
// Stores a variable value held whole in `data` (`bytes` long, without terminator);
// `scratch` holds converted text. Returns how many characters of a text the file
// cannot hold were replaced with U+FFFD.
size_t StoreVariable(const ColumnMapping& map, SQLSMALLINT c_type, const char* data, size_t bytes,
                     RecordStore& store, size_t record, size_t field, std::string& scratch);

}  // namespace ado::odbc
