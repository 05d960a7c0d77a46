#include "upload/PostTransfer.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cmath>
#include <cstdlib>
#include <exception>

#include "core/Error.h"

namespace qv {
namespace {

// Seconds from the environment variable, or `fallback` when it is unset, empty or not
// a number of seconds.
double SecondsFromEnvironment(const char* name, double fallback) {
  const char* text = std::getenv(name);
  if (text == nullptr || *text == '\0') return fallback;
  char* end = nullptr;
  const double value = std::strtod(text, &end);
  if (end == text || *end != '\0' || !std::isfinite(value) || value < 0) return fallback;
  return value;
}

long Milliseconds(double seconds) { return std::lround(seconds * 1000.0); }

}  // namespace

SendOptions SendOptions::FromEnvironment() {
  SendOptions options;
  options.connect_timeout_seconds =
      SecondsFromEnvironment("QV_UPLOAD_CONNECT_TIMEOUT", options.connect_timeout_seconds);
  options.max_time_seconds = SecondsFromEnvironment("QV_UPLOAD_MAX_TIME", options.max_time_seconds);
  return options;
}

void ApplyCertificateOptions(CURL* curl, const SendOptions& options) {
  const bool verify = options.verify_certificate;
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, verify ? 1L : 0L);
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, verify ? 2L : 0L);
  // A handle keeps what it was given last, so the system's certificates are set back
  // explicitly (null would leave none).
  const CurlGlobal& global = CurlGlobal::Instance();
  const bool own = verify && !options.ca_file.empty();
  const std::string& file = own ? options.ca_file : global.DefaultCaFile();
  curl_easy_setopt(curl, CURLOPT_CAINFO, file.empty() ? nullptr : file.c_str());
  const std::string& folder = global.DefaultCaPath();
  curl_easy_setopt(curl, CURLOPT_CAPATH, own || folder.empty() ? nullptr : folder.c_str());
}

PostTransfer::PostTransfer(const AbortCheck* abort_check) : abort_check_(abort_check) {
  CURL* curl = easy_.get();
  curl_easy_setopt(curl, CURLOPT_USERAGENT, CurlGlobal::Instance().UserAgent().c_str());
  curl_easy_setopt(curl, CURLOPT_POST, 1L);
  curl_easy_setopt(curl, CURLOPT_READFUNCTION, &PostTransfer::ReadBody);
  curl_easy_setopt(curl, CURLOPT_READDATA, this);
  curl_easy_setopt(curl, CURLOPT_SEEKFUNCTION, &PostTransfer::SeekBody);
  curl_easy_setopt(curl, CURLOPT_SEEKDATA, this);
  curl_easy_setopt(curl, CURLOPT_FAILONERROR, 1L);
  curl_easy_setopt(curl, CURLOPT_TCP_KEEPALIVE, 1L);
  curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, &PostTransfer::OnProgress);
  curl_easy_setopt(curl, CURLOPT_XFERINFODATA, this);
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error_);
  curl_easy_setopt(curl, CURLOPT_PRIVATE, this);
  // The server's answer is not kept.
  curl_easy_setopt(
      curl, CURLOPT_WRITEFUNCTION,
      +[](char*, size_t size, size_t count, void*) { return size * count; });
}

size_t PostTransfer::ReadBody(char* buffer, size_t size, size_t count, void* transfer) {
  Body& body = static_cast<PostTransfer*>(transfer)->body_;
  try {
    return body.file.Read(buffer, size * count);
  } catch (const core::Error&) {
    body.read_failed = true;
    return CURL_READFUNC_ABORT;
  }
}

// libcurl rewinds the body when it sends the request again on a new connection (a
// reused connection the server had closed meanwhile).
int PostTransfer::SeekBody(void* transfer, curl_off_t offset, int origin) {
  Body& body = static_cast<PostTransfer*>(transfer)->body_;
  try {
    body.file.Seek(static_cast<off_t>(offset), origin);
    return CURL_SEEKFUNC_OK;
  } catch (const core::Error&) {
    return CURL_SEEKFUNC_FAIL;
  }
}

int PostTransfer::OnProgress(void* transfer, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  const AbortCheck* check = static_cast<PostTransfer*>(transfer)->abort_check_;
  try {
    return check != nullptr && *check && (*check)() ? 1 : 0;
  } catch (...) {
    return 1;
  }
}

std::optional<SendResult> PostTransfer::Begin(const std::string& file, const std::string& address,
                                              const std::vector<std::string>& header_lines,
                                              const SendOptions& options) {
  file_ = file;
  struct stat info {};
  try {
    body_ = Body{core::File::Open(file, O_RDONLY, "BuiltinSender"), false};
    info = body_.file.Status();
  } catch (const core::Error&) {
    body_ = Body{};
    return SendResult::Failed(CURLE_READ_ERROR, "cannot read " + file);
  }
  if (S_ISDIR(info.st_mode)) {
    body_ = Body{};
    return SendResult::Failed(CURLE_READ_ERROR, "cannot read " + file);
  }
  CurlHeaderList headers;
  for (const std::string& line : header_lines) headers.Append(line);
  headers_ = std::move(headers);

  CURL* curl = easy_.get();
  curl_easy_setopt(curl, CURLOPT_URL, address.c_str());
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers_.get());
  curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(info.st_size));
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, Milliseconds(options.connect_timeout_seconds));
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, Milliseconds(options.max_time_seconds));
  ApplyCertificateOptions(curl, options);
  error_[0] = '\0';
  return std::nullopt;
}

SendResult PostTransfer::End(CURLcode code) {
  CURL* curl = easy_.get();
  const bool read_failed = body_.read_failed;
  body_ = Body{};
  SendResult result;
  long http_status = 0;
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &http_status);
  result.http_status = http_status;
  curl_off_t retry_after = -1;
  // libcurl gives 0 when the server sent none.
  if (curl_easy_getinfo(curl, CURLINFO_RETRY_AFTER, &retry_after) == CURLE_OK && retry_after > 0) {
    result.retry_after = static_cast<double>(retry_after);
  }
  if (read_failed) {
    result.status = CURLE_READ_ERROR;
    result.reason = "cannot read " + file_;
  } else if (code != CURLE_OK) {
    result.status = static_cast<int>(code);
    result.reason = error_[0] != '\0' ? error_ : curl_easy_strerror(code);
  } else if (http_status < 200 || http_status > 299) {
    result.status = CURLE_HTTP_RETURNED_ERROR;
    result.reason = "the server answered " + std::to_string(http_status);
  }
  // The list is replaced by the next file's; the handle must not point at it meanwhile.
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, nullptr);
  headers_ = CurlHeaderList();
  return result;
}

}  // namespace qv
