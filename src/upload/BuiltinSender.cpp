#include "upload/BuiltinSender.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cmath>
#include <cstdlib>
#include <exception>

#include "core/Error.h"
#include "core/File.h"

namespace qv {
namespace {

// Exit statuses of the curl program, which are libcurl's codes.
constexpr int kStatusFailedInit = CURLE_FAILED_INIT;
constexpr int kStatusHttpError = CURLE_HTTP_RETURNED_ERROR;
constexpr int kStatusReadError = CURLE_READ_ERROR;

// The body's source for the read and seek callbacks.
struct Body {
  core::File* file = nullptr;
  bool read_failed = false;
};

size_t ReadBody(char* buffer, size_t size, size_t count, void* body_pointer) {
  Body& body = *static_cast<Body*>(body_pointer);
  try {
    return body.file->Read(buffer, size * count);
  } catch (const core::Error&) {
    body.read_failed = true;
    return CURL_READFUNC_ABORT;
  }
}

// libcurl rewinds the body when it sends the request again on a new connection (a
// reused connection the server had closed meanwhile).
int SeekBody(void* body_pointer, curl_off_t offset, int origin) {
  Body& body = *static_cast<Body*>(body_pointer);
  try {
    body.file->Seek(static_cast<off_t>(offset), origin);
    return CURL_SEEKFUNC_OK;
  } catch (const core::Error&) {
    return CURL_SEEKFUNC_FAIL;
  }
}

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

BuiltinSender::BuiltinSender(AbortCheck abort_check) : abort_check_(std::move(abort_check)) {
  CURL* curl = easy_.get();
  curl_easy_setopt(curl, CURLOPT_USERAGENT, CurlGlobal::Instance().UserAgent().c_str());
  curl_easy_setopt(curl, CURLOPT_POST, 1L);
  curl_easy_setopt(curl, CURLOPT_READFUNCTION, &ReadBody);
  curl_easy_setopt(curl, CURLOPT_SEEKFUNCTION, &SeekBody);
  curl_easy_setopt(curl, CURLOPT_FAILONERROR, 1L);
  curl_easy_setopt(curl, CURLOPT_TCP_KEEPALIVE, 1L);
  curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, &BuiltinSender::OnProgress);
  curl_easy_setopt(curl, CURLOPT_XFERINFODATA, this);
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error_);
  // The server's answer is not kept.
  curl_easy_setopt(
      curl, CURLOPT_WRITEFUNCTION,
      +[](char*, size_t size, size_t count, void*) { return size * count; });
}

int BuiltinSender::OnProgress(void* sender, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  const AbortCheck& check = static_cast<BuiltinSender*>(sender)->abort_check_;
  try {
    return check && check() ? 1 : 0;
  } catch (...) {
    return 1;
  }
}

SendResult BuiltinSender::Post(const std::string& file, const std::string& address,
                               const std::vector<std::string>& header_lines,
                               const SendOptions& options) {
  try {
    core::File in;
    struct stat info {};
    try {
      in = core::File::Open(file, O_RDONLY, "BuiltinSender");
      info = in.Status();
    } catch (const core::Error&) {
      return {kStatusReadError, "cannot read " + file};
    }
    if (S_ISDIR(info.st_mode)) return {kStatusReadError, "cannot read " + file};
    CurlHeaderList headers;
    for (const std::string& line : header_lines) headers.Append(line);
    Body body{&in};

    CURL* curl = easy_.get();
    curl_easy_setopt(curl, CURLOPT_URL, address.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(curl, CURLOPT_READDATA, &body);
    curl_easy_setopt(curl, CURLOPT_SEEKDATA, &body);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(info.st_size));
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS,
                     Milliseconds(options.connect_timeout_seconds));
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, Milliseconds(options.max_time_seconds));
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, options.verify_certificate ? 1L : 0L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, options.verify_certificate ? 2L : 0L);
    error_[0] = '\0';
    const CURLcode code = curl_easy_perform(curl);
    // The list and the body are gone after this call; the handle must not point at them.
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, nullptr);
    curl_easy_setopt(curl, CURLOPT_READDATA, nullptr);
    curl_easy_setopt(curl, CURLOPT_SEEKDATA, nullptr);

    if (body.read_failed) return {kStatusReadError, "cannot read " + file};
    if (code != CURLE_OK) {
      return {static_cast<int>(code), error_[0] != '\0' ? error_ : curl_easy_strerror(code)};
    }
    long http_status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &http_status);
    if (http_status < 200 || http_status > 299) {
      return {kStatusHttpError, "the server answered " + std::to_string(http_status)};
    }
    return {};
  } catch (const std::exception& e) {
    return {kStatusFailedInit, e.what()};
  }
}

}  // namespace qv
