#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
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

// How the sink speaks: HTTP/1.1 keeping its connections; HTTP/1.0 closing the
// connection after each answer; HTTP/1.1 answering "Connection: close"; HTTP/1.1
// keeping its connections with a chunked answer.
enum class SinkKind { kKeepAlive, kHttp10, kClose, kChunked };

inline const char* SinkKindName(SinkKind kind) {
  static constexpr const char* kNames[] = {"HTTP/1.1 keep-alive", "HTTP/1.0",
                                           "HTTP/1.1 Connection: close", "HTTP/1.1 chunked"};
  return kNames[static_cast<int>(kind)];
}

// Answers every request on 127.0.0.1 with an empty 200, after `delay` when one is
// given, speaking as `kind`, one thread per connection.
class HttpSink {
 public:
  explicit HttpSink(std::chrono::milliseconds delay = std::chrono::milliseconds(0),
                    SinkKind kind = SinkKind::kKeepAlive)
      : delay_(delay), kind_(kind) {
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
    std::unique_lock<std::mutex> lock(mutex_);
    stopping_ = true;
    for (int fd : connections_) ::shutdown(fd, SHUT_RDWR);
    served_.wait(lock, [this] { return connections_.empty(); });
  }
  HttpSink(const HttpSink&) = delete;
  HttpSink& operator=(const HttpSink&) = delete;

  std::string Url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/upload"; }
  uint64_t Requests() const { return requests_.load(); }
  // The most requests that were being answered at once since the last call.
  int TakeMostAtOnce() { return most_at_once_.exchange(0); }

 private:
  void Accept() {
    for (;;) {
      const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) return;
      const std::lock_guard<std::mutex> lock(mutex_);
      if (stopping_) {
        ::close(fd);
        return;
      }
      connections_.push_back(fd);
      // Detached: a sink that closes after each answer serves thousands of connections.
      std::thread([this, fd] {
        Serve(fd);
        const std::lock_guard<std::mutex> closing(mutex_);
        std::erase(connections_, fd);
        ::close(fd);
        served_.notify_all();
      }).detach();
    }
  }

  // The answer's head, and whether the connection closes after it.
  std::pair<const char*, bool> Answer() const {
    switch (kind_) {
      case SinkKind::kHttp10:
        return {"HTTP/1.0 200 OK\r\nContent-Length: 0\r\n\r\n", true};
      case SinkKind::kClose:
        return {"HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n", true};
      case SinkKind::kChunked:
        return {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nok\n\r\n0\r\n\r\n",
                false};
      case SinkKind::kKeepAlive:
        break;
    }
    return {"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n", false};
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
      const int at_once = ++answering_;
      for (int most = most_at_once_.load(); at_once > most;) {
        if (most_at_once_.compare_exchange_weak(most, at_once)) break;
      }
      // Uncounted before the answer goes: once the client has it, its next request may
      // come at once and must not meet this one still counted.
      struct Answering {
        std::atomic<int>* count;
        void End() {
          if (count != nullptr) --*count;
          count = nullptr;
        }
        ~Answering() { End(); }
      } answering{&answering_};
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
      // The body is read and dropped as it comes, so that a whole result of gigabytes
      // costs this process nothing.
      size_t left = body - std::min(body, buffer.size());
      buffer.erase(0, body - left);
      while (left > 0) {
        const ssize_t got = ::recv(fd, chunk, std::min(left, sizeof chunk), 0);
        if (got <= 0) return;
        left -= static_cast<size_t>(got);
      }
      if (delay_.count() > 0) std::this_thread::sleep_for(delay_);
      ++requests_;
      answering.End();
      const auto [answer, closes] = Answer();
      if (!Send(fd, answer) || closes) return;
    }
  }

  static bool Send(int fd, const std::string& text) {
    return ::send(fd, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size());
  }

  std::chrono::milliseconds delay_;
  SinkKind kind_;
  int listener_ = -1;
  int port_ = 0;
  std::thread acceptor_;
  std::mutex mutex_;
  std::vector<int> connections_;
  std::condition_variable served_;  // a connection ended
  bool stopping_ = false;
  std::atomic<uint64_t> requests_{0};
  std::atomic<int> answering_{0};
  std::atomic<int> most_at_once_{0};
};

}  // namespace bench
