#include "upload/UploadPolicy.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "core/Error.h"
#include "core/File.h"
#include "platform/ProgramFolder.h"
#include "util/basCQvRegistry.h"
#include "values/Variant.h"

namespace qv {
namespace {

ado::Variant ProgramValue(const char* name) {
  return ReadRegistryValue(kHKeyLocalMachine, "SOFTWARE", "Tolvane", name);
}

// `name`'s dword in [low, high], or `fallback` with a warning when it is set otherwise.
int RegistryNumber(const char* name, int low, int high, int fallback,
                   std::vector<std::string>& warnings) {
  const ado::Variant value = ProgramValue(name);
  if (value.IsEmpty() || value.IsNull()) return fallback;
  if (value.Type() == ado::VarType::kI4) {
    const int64_t number = value.AsInt64();
    if (number >= low && number <= high) return static_cast<int>(number);
  }
  const std::string range = high == INT32_MAX ? std::to_string(low) + " or more"
                                              : std::to_string(low) + " to " + std::to_string(high);
  warnings.push_back("registry value " + std::string(name) + " is not a dword of " + range +
                     "; the default " + std::to_string(fallback) + " is used");
  return fallback;
}

}  // namespace

SendOptions SendOptionsFromRegistry() {
  SendOptions options = SendOptions::FromEnvironment();
  const ado::Variant verify = ProgramValue("UploaderVerifyCertificate");
  options.verify_certificate = verify.Type() == ado::VarType::kI4 && verify.AsInt64() != 0;
  const ado::Variant ca_file = ProgramValue("UploaderCAFile");
  if (ca_file.IsString()) options.ca_file = CAFilePath(ca_file.AsString());
  return options;
}

std::string CAFilePath(const std::string& value) {
  if (value.empty()) return {};
  const std::filesystem::path path(value);
  if (path.is_absolute()) return value;
  return (std::filesystem::path(platform::ProgramFolder()) / path).string();
}

std::string CAFileProblem(const std::string& path) {
  core::File file = core::File::TryOpen(path, O_RDONLY, "CAFileProblem");
  if (!file.IsOpen()) return std::string("cannot be read: ") + std::strerror(errno);
  std::string text;
  try {
    const struct stat info = file.Status();
    if (!S_ISREG(info.st_mode)) return "is not a file";
    // A bundle of CA certificates is small.
    constexpr off_t kMostBytes = off_t{64} * 1024 * 1024;
    if (info.st_size > kMostBytes) return "is too large for a file of CA certificates";
    text = file.ReadAll();
  } catch (const core::Error& error) {
    return "cannot be read: " + error.record().description;
  }
  if (text.find("-----BEGIN CERTIFICATE-----") == std::string::npos) {
    return "holds no PEM certificate (-----BEGIN CERTIFICATE-----)";
  }
  return {};
}

UploadPolicy UploadPolicy::FromRegistry(std::vector<std::string>& warnings) {
  UploadPolicy policy;
  policy.connections =
      RegistryNumber("UploaderConnections", 1, kMaxConnections, policy.connections, warnings);
  policy.retries = RegistryNumber("UploaderRetries", 0, INT32_MAX, policy.retries, warnings);
  policy.give_up_after =
      RegistryNumber("UploaderGiveUpAfter", 1, INT32_MAX, policy.give_up_after, warnings);
  if (const char* text = std::getenv("QV_UPLOAD_RETRY_WAIT"); text != nullptr && *text != '\0') {
    char* end = nullptr;
    const double seconds = std::strtod(text, &end);
    if (end != text && *end == '\0' && std::isfinite(seconds) && seconds >= 0) {
      policy.first_wait_seconds = seconds;
    }
  }
  return policy;
}

double UploadPolicy::WaitBefore(int retry, std::optional<double> retry_after) const {
  if (retry_after) return std::clamp(*retry_after, 0.0, kMaxRetryAfterSeconds);
  return std::min(first_wait_seconds * std::pow(4.0, retry - 1), kMaxRetryAfterSeconds);
}

bool IsPassingFault(const SendResult& result) {
  switch (result.status) {
    case CURLE_COULDNT_CONNECT:
    case CURLE_OPERATION_TIMEDOUT:
    case CURLE_GOT_NOTHING:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
      return true;
    case CURLE_HTTP_RETURNED_ERROR:
      return result.http_status == 429 || result.http_status == 502 || result.http_status == 503 ||
             result.http_status == 504;
    default:
      return false;
  }
}

bool IsConnectionFailure(const SendResult& result) {
  switch (result.status) {
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_CONNECT:
    case CURLE_OPERATION_TIMEDOUT:
    case CURLE_GOT_NOTHING:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
      return true;
    default:
      return false;
  }
}

}  // namespace qv
