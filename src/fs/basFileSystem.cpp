#include "fs/basFileSystem.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "core/Error.h"
#include "core/File.h"
#include "platform/CodePage.h"
#include "shared/ErrorBoundary.h"
#include "shared/EventSink.h"
#include "util/basCQvStringManipulation.h"

namespace qv {
namespace {

constexpr char kSource[] = "basFileSystem";
// A UTF-8 byte order mark as it reads when taken for Windows-1252 text.
constexpr char kBomAs1252[] = "\xC3\xAF\xC2\xBB\xC2\xBF";  // "ï»¿"
constexpr char kUtf16LeBom[] = "\xFF\xFE";

std::string ReadWholeFile(const std::string& path) {
  return core::File::Open(path, O_RDONLY, kSource).ReadAll();
}

// Creates the file or empties it, then writes the bytes from its start.
void ReplaceFileContent(const std::string& path, std::string_view bytes) {
  core::File file = core::File::Open(path, O_WRONLY | O_CREAT | O_TRUNC, kSource);
  file.WriteAll(bytes);
  file.Close();
}

std::string DecodeFileBytes(std::string_view bytes, int32_t stream_format) {
  if (stream_format == kStreamUnicode) {
    if (bytes.substr(0, 2) == kUtf16LeBom) bytes.remove_prefix(2);
    return platform::CodePageToUtf8(bytes, platform::kCodePageUtf16Le);
  }
  return platform::CodePageToUtf8(bytes, platform::kCodePageWindows1252);
}

void Trace(const std::string& message, const core::ErrorRecord& error = {},
           int32_t event_type = kEventWarning, int32_t caller_level = kLevelExport) {
  TraceEvent(message, error, event_type, caller_level);
}

}  // namespace

int32_t GetFSOTxtFileFormat(int32_t format) {
  switch (format) {
    case kTextFormatUnicode:
      return kStreamUnicode;
    case kTextFormatDefault:
      return kStreamDefault;
    default:
      return kStreamAscii;
  }
}

std::string GetBodyFromTextFile(const std::string& file_name, int32_t format) {
  Trace(".GetBodyFromTextFile, Start, File:" + file_name, {}, kEventInformation, kLevelDetail);
  try {
    const std::string bytes = ReadWholeFile(file_name);
    return QvStrMan_GetNullTerminatedString(DecodeFileBytes(bytes, GetFSOTxtFileFormat(format)));
  } catch (...) {
    const core::ErrorRecord error = CurrentErrorRecord();
    if (error.number == core::kErrFileNotFound) {
      Trace(".GetBodyFromTextFile, File not found. File:" + file_name, error);
    } else {
      Trace(".GetBodyFromTextFile, File:" + file_name, error);
    }
  }
  return "";
}

void WriteBodyToTextFile(const std::string& file_name, const std::string& body, int32_t format) {
  try {
    const int32_t stream_format = GetFSOTxtFileFormat(format);
    if (stream_format == kStreamUnicode) {
      ReplaceFileContent(file_name,
                         kUtf16LeBom + platform::Utf8ToCodePage(body, platform::kCodePageUtf16Le));
      return;
    }
    platform::CodePage ansi(platform::kCodePageWindows1252);
    if (!ansi.CanRepresent(body)) {
      // The single-byte format cannot hold the body; UTF-8 can, so nothing is lost.
      WriteUTF8TextFile(file_name, body);
      return;
    }
    ReplaceFileContent(file_name, ansi.FromUtf8(body));
  } catch (...) {
    Trace(".WriteBodyToTextFile, File:" + file_name, CurrentErrorRecord());
  }
}

bool WriteUTF8TextFile(const std::string& file_name, const std::string& body) {
  return Guard(
      TraceEvent, false,
      [&](int& line) {
        line = 1;
        const std::string text = QvStrMan_StripLeading(body, kBomAs1252);
        line = 2;
        const ado::Bytes bytes = UnicodeToMultiByte(text, platform::kCodePageUtf8);
        line = 3;
        ReplaceFileContent(
            file_name, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
        return true;
      },
      AtLine(".WriteUTF8TextFile, @Line#"));
}

ado::Bytes UnicodeToMultiByte(const std::string& text, int32_t code_page) {
  std::string bytes;
  try {
    bytes = platform::Utf8ToCodePage(text, static_cast<uint32_t>(code_page));
  } catch (const core::Error&) {
    // A code page the system cannot convert to leaves the text's own UTF-16LE bytes.
    bytes = platform::Utf8ToCodePage(text, platform::kCodePageUtf16Le);
  }
  return ado::Bytes(bytes.begin(), bytes.end());
}

}  // namespace qv
