#pragma once

#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "log/CQvEventLogger.h"
#include "log/basEventLogger.h"
#include "shared/QvSharedStrings.h"
#include "support/ExportSettingsFile.h"
#include "support/FakeUploader.h"
#include "support/ProgramHome.h"
#include "support/TestFolder.h"
#include "upload/CQVFileXfer.h"

namespace qv::test {

// A temporary program folder for uploads: the built upload.exe copied into it (unless
// told otherwise), its own export settings, every trace written to its application
// log, and the upload counters set to zero.
class UploadHome {
 public:
  explicit UploadHome(bool with_uploader = true) {
    TraceEventLogger().Level(-1);
    logger_ = std::make_unique<CQvEventLogger>();  // points the application log here
    if (with_uploader) {
      std::filesystem::copy_file(std::filesystem::path(QV_BINARY_DIR) / "upload.exe",
                                 home_.Path() / "upload.exe");
    }
    CQVFileXfer::ResetCounters();
    CQVFileXfer::EndRun();  // the settings of an earlier test's uploads go
  }

  std::string Folder() const { return home_.Path().string(); }
  std::string Uploader() const { return home_.File("upload.exe"); }

  void SetUploadUrl(const std::string& url) {
    WriteExportSettings(home_.File("QvExportSettings.xml"), {{1, QvSharedStrings::Encode1(url)}});
  }
  void SetNoUploadUrl() { WriteExportSettings(home_.File("QvExportSettings.xml"), {{2, "x"}}); }

  // Writes the program key of registry.reg with the given value lines, such as
  // "\"Uploader\"=\"builtin\"".
  void SetProgramKey(const std::string& value_lines) {
    WriteBytes(home_.File("registry.reg"),
               "Windows Registry Editor Version 5.00\r\n\r\n"
               "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tolvane]\r\n" +
                   value_lines + "\r\n");
    CQVFileXfer::EndRun();  // read again by the next upload
  }
  // Selects the built-in sender, or upload.exe.
  void UseBuiltinSender(bool builtin = true) {
    SetProgramKey(builtin ? "\"Uploader\"=\"builtin\"" : "");
  }

  // Everything traced so far.
  std::string Traces() const { return home_.AppLogText(); }
  bool Traced(const std::string& text) const { return Traces().find(text) != std::string::npos; }
  // The traced lines that hold `text`.
  int TracedLines(const std::string& text) const {
    int lines = 0;
    std::istringstream in(Traces());
    for (std::string line; std::getline(in, line);) lines += line.find(text) != std::string::npos;
    return lines;
  }

 private:
  ProgramHome home_;
  std::unique_ptr<CQvEventLogger> logger_;
};

}  // namespace qv::test
