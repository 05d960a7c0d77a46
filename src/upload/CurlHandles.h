#pragma once

#include <curl/curl.h>

#include <memory>
#include <string>

namespace qv {

// libcurl's process-wide initialisation: curl_global_init on the first call of
// Instance(), curl_global_cleanup when the process ends. Every owner of an easy handle
// calls Instance() before it creates one, so the cleanup comes after the last handle.
class CurlGlobal {
 public:
  // Throws std::runtime_error when libcurl cannot be initialised.
  static const CurlGlobal& Instance();

  // "curl/<version>": the User-Agent the curl program of the same libcurl sends.
  const std::string& UserAgent() const { return user_agent_; }
  // libcurl's own CA certificates (a file and a folder; empty when it has none): what a
  // handle checks a certificate against unless told otherwise.
  const std::string& DefaultCaFile() const { return default_ca_file_; }
  const std::string& DefaultCaPath() const { return default_ca_path_; }

  CurlGlobal(const CurlGlobal&) = delete;
  CurlGlobal& operator=(const CurlGlobal&) = delete;

 private:
  CurlGlobal();
  ~CurlGlobal();

  std::string user_agent_;
  std::string default_ca_file_;
  std::string default_ca_path_;
};

// Owns one easy handle; move-only.
class CurlEasy {
 public:
  // Throws std::runtime_error when libcurl cannot create a handle.
  CurlEasy();

  CURL* get() const { return handle_.get(); }

 private:
  struct Deleter {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
  };
  std::unique_ptr<CURL, Deleter> handle_;
};

// Owns one multi handle; move-only. Every easy handle added to it must be removed
// before it goes.
class CurlMulti {
 public:
  // Throws std::runtime_error when libcurl cannot create a handle.
  CurlMulti();

  CURLM* get() const { return handle_.get(); }

 private:
  struct Deleter {
    void operator()(CURLM* handle) const { curl_multi_cleanup(handle); }
  };
  std::unique_ptr<CURLM, Deleter> handle_;
};

// Owns a list of header lines for CURLOPT_HTTPHEADER; move-only. The list must outlive
// every transfer that uses it.
class CurlHeaderList {
 public:
  // Appends one "Name: value" line. Throws std::bad_alloc when libcurl cannot.
  void Append(const std::string& line);

  curl_slist* get() const { return list_.get(); }

 private:
  struct Deleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
  };
  std::unique_ptr<curl_slist, Deleter> list_;
};

}  // namespace qv
