#include "store/XmlFileStream.h"

#include <filesystem>
#include <string_view>

#include "ado/Recordset.h"
#include "core/AtomicFile.h"
#include "core/Error.h"
#include "db/PrefetchCursor.h"
#include "shared/ErrorBoundary.h"

namespace qv {
namespace {

constexpr char kClass[] = "CQvXMLManip";

// Runs `write`; its errors name the file the caller knows, not the temporary.
template <typename Write>
void NamingTarget(const std::string& path, Write&& write) {
  try {
    write();
  } catch (const core::Error& e) {
    core::ErrorRecord record = e.record();
    record.description = path + " not written: " + record.description;
    throw core::Error(std::move(record));
  }
}

}  // namespace

class XmlFileStream::Sink : public ado::OutputSink {
 public:
  explicit Sink(core::AtomicFile& file) : file_(file) {}
  void Write(std::string_view bytes) override { file_.Write(bytes); }

 private:
  core::AtomicFile& file_;
};

XmlFileStream::XmlFileStream(const std::string& path, const std::vector<ado::FieldDef>& fields)
    : path_(path), fields_(fields), file_(std::make_unique<core::AtomicFile>(path, kClass)) {
  file_->KeepModeOfTarget();
  sink_ = std::make_unique<Sink>(*file_);
  // A query's recordset is opened with batch optimistic locking: updatable.
  ado::PersistProperties properties;
  properties.updatable = true;
  NamingTarget(path_, [&] {
    stream_ = std::make_unique<ado::RecordsetXmlStream>(fields, properties, *sink_);
  });
}

XmlFileStream::~XmlFileStream() = default;

void XmlFileStream::WriteRows(const ado::RecordStore& block) {
  NamingTarget(path_, [&] { stream_->WriteRows(block); });
  rows_ += static_cast<int64_t>(block.RecordCount());
}

void XmlFileStream::Commit(bool flush_to_disk) {
  NamingTarget(path_, [&] {
    stream_->Finish();
    if (flush_to_disk) file_->Sync();
  });
  file_->Commit(flush_to_disk ? core::AtomicFile::Durability::kFlushed
                              : core::AtomicFile::Durability::kRenameOnly);
}

std::optional<int64_t> SaveQueryToXml(ado::QueryCursor& cursor, const std::string& path,
                                      bool flush_to_disk,
                                      const std::function<void(const ado::RecordStore&)>& also) {
  int line = 1;
  try {
    XmlFileStream file(path, cursor.Fields());
    line = 2;
    ado::PrefetchCursor ahead(cursor);
    ado::CopyBlocks(
        ahead,
        [&](const ado::RecordStore& block) {
          file.WriteRows(block);
          if (also) also(block);
        },
        INT64_MAX, path + " not written: ");
    line = 3;
    file.Commit(flush_to_disk);
    return file.Rows();
  } catch (...) {
    ReportCurrentError(
        [&] { return std::string(kClass) + ".SaveQueryToXML, @Line#" + std::to_string(line); });
    return std::nullopt;
  }
}

}  // namespace qv
