#include "fs/basFileSystem.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "core/Error.h"
#include "shared/EventSink.h"
#include "platform/CodePage.h"
#include "shared/ErrorBoundary.h"
#include "core/PosixError.h"
#include "util/basCQvStringManipulation.h"

namespace qv {
namespace {

constexpr char kSource[] = "basFileSystem";
// A UTF-8 byte order mark as it reads when taken for Windows-1252 text.
constexpr char kBomAs1252[] = "\xC3\xAF\xC2\xBB\xC2\xBF";  // "ï»¿"
constexpr char kUtf16LeBom[] = "\xFF\xFE";

// Owns one open file descriptor.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;

  int get() const { return fd_; }
  // Closes now so that a failing close (a delayed write error) is seen.
  int Close() {
    const int result = ::close(fd_);
    fd_ = -1;
    return result;
  }

 private:
  int fd_;
};

std::string ReadWholeFile(const std::string& path) {
  FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (file.get() < 0) throw core::ErrorFromErrno(errno, kSource, path);
  std::string bytes;
  char buffer[64 * 1024];
  for (;;) {
    const ssize_t n = ::read(file.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw core::ErrorFromErrno(errno, kSource, path);
    if (n == 0) break;
    bytes.append(buffer, static_cast<size_t>(n));
  }
  return bytes;
}

// Creates the file or empties it, then writes the bytes from its start.
void ReplaceFileContent(const std::string& path, std::string_view bytes) {
  FileDescriptor file(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  if (file.get() < 0) throw core::ErrorFromErrno(errno, kSource, path);
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(file.get(), bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw core::ErrorFromErrno(errno, kSource, path);
    done += static_cast<size_t>(n);
  }
  if (file.Close() != 0) throw core::ErrorFromErrno(errno, kSource, path);
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
