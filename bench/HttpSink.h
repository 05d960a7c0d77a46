#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace bench {

// A port of 127.0.0.1 where nothing listens.
inline int ClosedPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), length);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(fd);
  return ntohs(address.sin_port);
}

// Answers every request on 127.0.0.1 with an empty 200, after `delay` when one is
// given, and keeps the connection, one thread per connection.
class HttpSink {
 public:
  explicit HttpSink(std::chrono::milliseconds delay = std::chrono::milliseconds(0))
      : delay_(delay) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(listener_, 64) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      throw std::runtime_error("the sink cannot listen");
    }
    port_ = ntohs(address.sin_port);
    acceptor_ = std::thread([this] { Accept(); });
  }

  ~HttpSink() {
    ::shutdown(listener_, SHUT_RDWR);
    ::close(listener_);
    acceptor_.join();
    const std::lock_guard<std::mutex> lock(mutex_);
    for (int fd : connections_) ::shutdown(fd, SHUT_RDWR);
    for (std::thread& thread : servers_) thread.join();
  }
  HttpSink(const HttpSink&) = delete;
  HttpSink& operator=(const HttpSink&) = delete;

  std::string Url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/upload"; }
  uint64_t Requests() const { return requests_.load(); }

 private:
  void Accept() {
    for (;;) {
      const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) return;
      const std::lock_guard<std::mutex> lock(mutex_);
      connections_.push_back(fd);
      servers_.emplace_back([this, fd] { Serve(fd); });
    }
  }

  void Serve(int fd) {
    std::string buffer;
    char chunk[64 * 1024];
    for (;;) {
      size_t head_end;
      while ((head_end = buffer.find("\r\n\r\n")) == std::string::npos) {
        const ssize_t got = ::recv(fd, chunk, sizeof chunk, 0);
        if (got <= 0) return;
        buffer.append(chunk, static_cast<size_t>(got));
      }
      const std::string head = buffer.substr(0, head_end);
      buffer.erase(0, head_end + 4);
      size_t body = 0;
      bool expect_continue = false;
      std::istringstream lines(head);
      for (std::string line; std::getline(lines, line);) {
        if (::strncasecmp(line.c_str(), "Content-Length:", 15) == 0) {
          body = std::stoul(line.substr(15));
        }
        if (::strncasecmp(line.c_str(), "Expect: 100-continue", 20) == 0) expect_continue = true;
      }
      if (expect_continue && !Send(fd, "HTTP/1.1 100 Continue\r\n\r\n")) return;
      while (buffer.size() < body) {
        const ssize_t got = ::recv(fd, chunk, sizeof chunk, 0);
        if (got <= 0) return;
        buffer.append(chunk, static_cast<size_t>(got));
      }
      buffer.erase(0, body);
      if (delay_.count() > 0) std::this_thread::sleep_for(delay_);
      ++requests_;
      if (!Send(fd, "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n")) return;
    }
  }

  static bool Send(int fd, const std::string& text) {
    return ::send(fd, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size());
  }

  std::chrono::milliseconds delay_;
  int listener_ = -1;
  int port_ = 0;
  std::thread acceptor_;
  std::mutex mutex_;
  std::vector<int> connections_;
  std::vector<std::thread> servers_;
  std::atomic<uint64_t> requests_{0};
};

}  // namespace bench
