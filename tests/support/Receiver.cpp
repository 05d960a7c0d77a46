#include "support/Receiver.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "support/Required.h"

extern char** environ;

namespace qv::test {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kStartLimit = std::chrono::seconds(15);
constexpr auto kStopLimit = std::chrono::seconds(5);
constexpr auto kPoll = std::chrono::milliseconds(20);

// From the source folder the build names: __FILE__ is relative when the compiler was
// given a relative path (as ccache's base_dir makes it), and tests run in another folder.
std::filesystem::path SupportFolder() {
  return std::filesystem::path(QV_SOURCE_DIR) / "tests" / "support";
}

bool OnPath(const std::string& program) {
  const char* path = std::getenv("PATH");
  if (path == nullptr) return false;
  std::stringstream folders(path);
  std::string folder;
  while (std::getline(folders, folder, ':')) {
    if (folder.empty()) continue;
    if (::access((std::filesystem::path(folder) / program).c_str(), X_OK) == 0) return true;
  }
  return false;
}

// True once the child has ended (and is reaped).
bool Ended(pid_t pid) {
  int status = 0;
  const pid_t waited = ::waitpid(pid, &status, WNOHANG);
  return waited == pid || (waited == -1 && errno == ECHILD);
}

void Terminate(pid_t pid) {
  ::kill(pid, SIGTERM);
  const auto deadline = Clock::now() + kStopLimit;
  while (!Ended(pid)) {
    if (Clock::now() > deadline) {
      ::kill(pid, SIGKILL);
      int status = 0;
      while (::waitpid(pid, &status, 0) == -1 && errno == EINTR) {
      }
      return;
    }
    std::this_thread::sleep_for(kPoll);
  }
}

// Starts `args` (the program looked up on PATH) with no input and no output; standard
// error stays unless `silent`.
pid_t StartQuietly(std::vector<std::string> args, bool silent = false) {
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  if (silent) posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  const int rc = ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) throw std::runtime_error("cannot start " + args[0] + ": " + std::strerror(rc));
  return pid;
}

// The port the receiver `pid` wrote to `port_file`, once `answers` it. Stops the
// receiver and throws std::runtime_error when it ends or does not answer in time.
int WaitForPort(pid_t pid, const std::filesystem::path& port_file,
                const std::function<bool(int)>& answers) {
  const auto deadline = Clock::now() + kStartLimit;
  for (;;) {
    if (Ended(pid)) throw std::runtime_error("the receiver ended at its start");
    if (Clock::now() > deadline) {
      Terminate(pid);
      throw std::runtime_error("the receiver did not answer in time");
    }
    int port = 0;
    std::ifstream in(port_file);
    if (in >> port && port > 0 && answers(port)) return port;
    std::this_thread::sleep_for(kPoll);
  }
}

std::optional<std::string> OptionalText(const nlohmann::json& value) {
  if (value.is_string()) return value.get<std::string>();
  return std::nullopt;
}

}  // namespace

int SimpleHttpRequest(int port, const std::string& method, const std::string& target) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  timeval limit{10, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string response;
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
    const std::string request = method + " " + target +
                                " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 0\r\n"
                                "Connection: close\r\n\r\n";
    if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
        static_cast<ssize_t>(request.size())) {
      char buffer[1024];
      for (;;) {
        const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
        if (got > 0) {
          response.append(buffer, static_cast<size_t>(got));
        } else if (got < 0 && errno == EINTR) {
          continue;
        } else {
          break;
        }
      }
    }
  }
  ::close(fd);
  // "HTTP/1.1 200 OK"
  if (response.rfind("HTTP/", 0) != 0) return -1;
  const size_t space = response.find(' ');
  if (space == std::string::npos) return -1;
  return std::atoi(response.c_str() + space + 1);
}

Receiver::Receiver(ReceiverKind kind, int delay_ms) {
  static constexpr const char* kKindNames[] = {"keep-alive", "http1.0", "close", "chunked"};
  root_ = folder_.Path() / "received";
  const std::filesystem::path port_file = folder_.Path() / "port";

  ::setenv("NO_PROXY", "127.0.0.1,localhost", 1);
  ::setenv("no_proxy", "127.0.0.1,localhost", 1);

  pid_ = StartQuietly({"python3", (SupportFolder() / "receiver.py").string(), "--root",
                       root_.string(), "--port-file", port_file.string(), "--kind",
                       kKindNames[static_cast<int>(kind)], "--delay-ms", std::to_string(delay_ms)});
  port_ = WaitForPort(pid_, port_file,
                      [](int port) { return SimpleHttpRequest(port, "GET", "/_health") == 200; });
}

Receiver::~Receiver() { Stop(); }

namespace {

std::string MissingOf(std::initializer_list<const char*> tools) {
  for (const char* tool : tools) {
    if (!OnPath(tool)) {
      FailIfRequired("QV_TEST_TOOLS_REQUIRED", std::string(tool) + " is not on PATH");
      return tool;
    }
  }
  return {};
}

}  // namespace

std::string Receiver::MissingTool() { return MissingOf({"python3", "curl"}); }

std::string Receiver::BaseUrl() const {
  return "http://127.0.0.1:" + std::to_string(port_) + "/upload";
}

std::vector<ReceivedRequest> Receiver::Requests() const {
  std::vector<ReceivedRequest> requests;
  std::ifstream log(root_ / "requests.log");
  std::string line;
  while (std::getline(log, line)) {
    const nlohmann::json entry = nlohmann::json::parse(line, nullptr, false);
    if (entry.is_discarded()) continue;  // a line still being written
    ReceivedRequest request;
    request.method = entry.value("method", "");
    request.path = entry.value("path", "");
    if (request.path == "/_control" || request.path == "/_health") continue;
    request.query = entry.value("query", "");
    request.imp_id = OptionalText(entry["imp_id"]);
    request.fn = OptionalText(entry["fn"]);
    request.size = entry.value("size", uint64_t{0});
    request.status = entry.value("status", 0);
    request.stored = OptionalText(entry["stored"]);
    request.request_line = entry.value("request_line", "");
    if (entry.contains("headers") && entry["headers"].is_array()) {
      for (const nlohmann::json& header : entry["headers"]) {
        request.headers.emplace_back(header.at(0).get<std::string>(),
                                     header.at(1).get<std::string>());
      }
    }
    request.client_port = entry.value("client_port", 0);
    request.concurrent = entry.value("concurrent", 0);
    requests.push_back(std::move(request));
  }
  return requests;
}

std::vector<Arrival> Receiver::Arrivals() const {
  std::vector<Arrival> arrivals;
  for (const ReceivedRequest& request : Requests()) {
    if (request.method != "POST") continue;
    Arrival arrival{request.query, request.status, {}, {}, request.client_port, request.concurrent};
    for (const auto& [name, value] : request.headers) {
      if (name == "Idempotency-Key") arrival.idempotency_key = value;
    }
    if (request.stored) {
      std::ifstream in(root_ / *request.stored, std::ios::binary);
      arrival.body.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    arrivals.push_back(std::move(arrival));
  }
  return arrivals;
}

std::optional<std::string> Receiver::Received(const std::string& imp_id,
                                              const std::string& fn) const {
  std::optional<std::string> stored;
  for (const ReceivedRequest& request : Requests()) {
    if (request.stored && request.imp_id == imp_id && request.fn == fn) stored = request.stored;
  }
  if (!stored) return std::nullopt;
  std::ifstream in(root_ / *stored, std::ios::binary);
  if (!in) return std::nullopt;
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void Receiver::FailNext(ReceiverMode mode, int count, double seconds, double share, int seed) {
  static constexpr const char* kModeNames[] = {"ok",  "500", "close", "stall",
                                               "302", "404", "429",   "503"};
  const std::string target = "/_control?mode=" + std::string(kModeNames[static_cast<int>(mode)]) +
                             "&count=" + std::to_string(count) +
                             "&seconds=" + std::to_string(seconds) +
                             "&share=" + std::to_string(share) + "&seed=" + std::to_string(seed);
  const int status = SimpleHttpRequest(port_, "POST", target);
  if (status != 200) {
    throw std::runtime_error("the receiver refused " + target + ": " + std::to_string(status));
  }
}

void Receiver::Stop() {
  if (pid_ > 0) Terminate(pid_);
  pid_ = -1;
}

TlsReceiver::TlsReceiver(bool http2, int delay_ms, int busy) {
  const std::filesystem::path key = folder_.Path() / "key.pem";
  const pid_t openssl =
      StartQuietly({"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                    "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1", "-keyout",
                    key.string(), "-out", Certificate().string()},
                   /*silent=*/true);
  int status = 0;
  while (::waitpid(openssl, &status, 0) == -1 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    throw std::runtime_error("openssl could not make a certificate");
  }
  log_ = folder_.Path() / "requests.log";
  const std::filesystem::path port_file = folder_.Path() / "port";
  pid_ =
      StartQuietly({"node", (SupportFolder() / "tls_receiver.js").string(), "--key", key.string(),
                    "--cert", Certificate().string(), "--port-file", port_file.string(), "--log",
                    log_.string(), "--protocol", http2 ? "h2" : "h1", "--delay-ms",
                    std::to_string(delay_ms), "--busy", std::to_string(busy)});
  port_ = WaitForPort(pid_, port_file, [](int) { return true; });
}

TlsReceiver::~TlsReceiver() { Terminate(pid_); }

std::string TlsReceiver::MissingTool() { return MissingOf({"node", "openssl"}); }

std::string TlsReceiver::BaseUrl() const {
  return "https://127.0.0.1:" + std::to_string(port_) + "/upload";
}

std::vector<Arrival> TlsReceiver::Arrivals() const {
  std::vector<Arrival> arrivals;
  std::ifstream log(log_);
  for (std::string line; std::getline(log, line);) {
    const nlohmann::json entry = nlohmann::json::parse(line, nullptr, false);
    if (entry.is_discarded()) continue;
    const std::string path = entry.value("path", "");
    const size_t query = path.find('?');
    const int status = entry.value("status", 0);
    arrivals.push_back(Arrival{query == std::string::npos ? std::string() : path.substr(query + 1),
                               status, OptionalText(entry["idempotency_key"]),
                               status == 200 ? entry.value("body", "") : std::string(),
                               entry.value("session", 0), entry.value("concurrent", 0)});
  }
  return arrivals;
}

}  // namespace qv::test
