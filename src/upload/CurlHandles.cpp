#include "upload/CurlHandles.h"

#include <new>
#include <stdexcept>

namespace qv {

CurlGlobal::CurlGlobal() {
  const CURLcode code = curl_global_init(CURL_GLOBAL_DEFAULT);
  if (code != CURLE_OK) {
    throw std::runtime_error(std::string("curl_global_init failed: ") + curl_easy_strerror(code));
  }
  user_agent_ = std::string("curl/") + curl_version_info(CURLVERSION_NOW)->version;
  if (CURL* probe = curl_easy_init()) {
    char* text = nullptr;
    if (curl_easy_getinfo(probe, CURLINFO_CAINFO, &text) == CURLE_OK && text != nullptr) {
      default_ca_file_ = text;
    }
    text = nullptr;
    if (curl_easy_getinfo(probe, CURLINFO_CAPATH, &text) == CURLE_OK && text != nullptr) {
      default_ca_path_ = text;
    }
    curl_easy_cleanup(probe);
  }
}

CurlGlobal::~CurlGlobal() { curl_global_cleanup(); }

const CurlGlobal& CurlGlobal::Instance() {
  static const CurlGlobal global;
  return global;
}

CurlEasy::CurlEasy() {
  CurlGlobal::Instance();
  handle_.reset(curl_easy_init());
  if (!handle_) throw std::runtime_error("curl_easy_init failed");
}

CurlMulti::CurlMulti() {
  CurlGlobal::Instance();
  handle_.reset(curl_multi_init());
  if (!handle_) throw std::runtime_error("curl_multi_init failed");
}

void CurlHeaderList::Append(const std::string& line) {
  curl_slist* appended = curl_slist_append(list_.get(), line.c_str());
  if (appended == nullptr) throw std::bad_alloc();
  // On success curl_slist_append returns the head of the list it was given, or the new
  // head when the list was empty.
  static_cast<void>(list_.release());
  list_.reset(appended);
}

}  // namespace qv
