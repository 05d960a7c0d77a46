#include "store/XmlFileStream.h"

#include <filesystem>
#include <string_view>

#include "core/Error.h"
#include "ado/Recordset.h"
#include "store/TemporaryFile.h"

namespace qv {
namespace {

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
  explicit Sink(TemporaryFile& file) : file_(file) {}
  void Write(std::string_view bytes) override { file_.Write(bytes); }

 private:
  TemporaryFile& file_;
};

XmlFileStream::XmlFileStream(const std::string& path, const std::vector<ado::FieldDef>& fields)
    : path_(path), file_(std::make_unique<TemporaryFile>(std::filesystem::path(path))) {
  file_->KeepModeOf(path);
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
  file_->RenameTo(path_);
  if (flush_to_disk) SyncFolderOf(std::filesystem::path(path_));
}

}  // namespace qv
