// Uploads of small files one at a time, measured in the same run:
//   senders:      one bare `curl --data-binary @file URL` process per file (baseline),
//                 one upload.exe process per file, BuiltinSender::Post in this process
//   TransferFile: the whole upload path of CQVFileXfer (settings and registry read, file
//                 posted, traced) with upload.exe and with "Uploader"="builtin"; the
//                 settings read that both share is shown on its own
// Goals: the built-in sender <= 1 ms per file and >= 20x faster than upload.exe, for
// the senders alone and for the whole TransferFile.
// In flight: SendLater of twice as many files, for each kind of receiver (HTTP/1.0,
// HTTP/1.1 keep-alive, "Connection: close" or chunked answers, https with HTTP/1.1 and
// with HTTP/2), to one that answers after 20 ms, with 1 and 8 transfers in flight (see
// MeasureInFlight for the goals); and to an address that refuses connections, the time
// until every file ended (goal: <= 10 s).
//
// The server is an HTTP sink in this process that answers 200 at once and keeps the
// connection open: the Python test receiver stores every file and logs it, which takes
// longer than the built-in sender itself, so its figures are shown for reference only.
//
// Usage: bench_upload [--files N] [--in-flight]   (default 200 files for the processes;
// the in-process ways post each file 10 times; --in-flight measures the transfers in
// flight alone)

#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iomanip>
#include <memory>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "BenchProcess.h"
#include "HttpSink.h"
#include "KindReceiver.h"
#include "platform/ProcessRunner.h"
#include "shared/QvSharedStrings.h"
#include "support/ExportSettingsFile.h"
#include "support/Receiver.h"
#include "upload/BuiltinSender.h"
#include "upload/CQVFileXfer.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kInProcessRounds = 10;

fs::path BinaryDir() { return fs::read_symlink("/proc/self/exe").parent_path().parent_path(); }

std::string FindOnPath(const std::string& program) {
  std::stringstream folders(std::getenv("PATH") != nullptr ? std::getenv("PATH") : "");
  for (std::string folder; std::getline(folders, folder, ':');) {
    const fs::path candidate = fs::path(folder) / program;
    if (!folder.empty() && ::access(candidate.c_str(), X_OK) == 0) return candidate.string();
  }
  throw std::runtime_error(program + " is not on PATH");
}

struct Result {
  double seconds = 0;
  int count = 0;
  double PerFileMs() const { return 1000.0 * seconds / count; }
};

Result Time(int count, const std::function<bool(int)>& upload, const std::string& what) {
  const auto started = Clock::now();
  for (int i = 0; i < count; ++i) {
    if (!upload(i)) throw std::runtime_error(what + " failed on upload " + std::to_string(i));
  }
  return {std::chrono::duration<double>(Clock::now() - started).count(), count};
}

void PrintRow(const char* what, const Result& result) {
  std::printf("  %-44s %6d files %8.3f s %8.3f ms/file\n", what, result.count, result.seconds,
              result.PerFileMs());
}

// A small file as the per-entity export writes it: one record of ten fields.
std::string SmallFile(int i) {
  std::string text =
      "<xml xmlns:s='uuid:BDC6E3F0-6DA3-11d1-A2A3-00AA00C14882' "
      "xmlns:rs='urn:schemas-microsoft-com:rowset' xmlns:z='#RowsetSchema'>\n<rs:data>\n";
  text += "<z:row id='" + std::to_string(i) + "' name='Item " + std::to_string(i) +
          "' category='category " + std::to_string(i % 17) + "' note='note for item " +
          std::to_string(i) + "'/>\n";
  text += "</rs:data>\n</xml>\n";
  while (text.size() < 1200) text.insert(text.size() - 7, " ");
  return text;
}

// The uploads of every way against the server at `url`.
struct Figures {
  Result curl;
  Result uploader;
  Result post;
  Result xfer_uploader;
  Result xfer_builtin;
  Result settings;
};

Figures Measure(const fs::path& dir, const std::string& url, int files) {
  const fs::path home = dir / "home";
  const fs::path out = dir / "out";
  fs::create_directories(home);
  fs::create_directories(out);
  fs::copy_file(BinaryDir() / "upload.exe", home / "upload.exe",
                fs::copy_options::overwrite_existing);
  qv::test::WriteExportSettings((home / "QvExportSettings.xml").string(),
                                {{1, qv::QvSharedStrings::Encode1(url)}});
  // Production logging: export progress and failures only.
  const auto use = [&home](const char* uploader) {
    std::ofstream(home / "registry.reg")
        << "Windows Registry Editor Version 5.00\r\n\r\n"
           "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tolvane]\r\n\"EventLogLevel\"=dword:00000001\r\n"
           "\"Uploader\"=\""
        << uploader << "\"\r\n";
    qv::CQVFileXfer::EndRun();  // the sending settings are read once a run
  };
  ::setenv("QVDATAEXPORTER_HOME", home.c_str(), 1);

  std::vector<std::string> paths;
  std::vector<std::string> names;
  for (int i = 0; i < files; ++i) {
    names.push_back("entity" + std::to_string(i) + ".xml");
    paths.push_back((out / names.back()).string());
    std::ofstream(paths.back(), std::ios::binary) << SmallFile(i);
  }
  const auto address = [&](int i) {
    return qv::CQVFileXfer::UploadAddress(url, "Rule 1", names[static_cast<size_t>(i)]);
  };

  qv::platform::PosixProcessRunner runner;
  const std::string curl = FindOnPath("curl");
  const std::string uploader = (home / "upload.exe").string();
  Figures figures;
  figures.curl = Time(
      files,
      [&](int i) {
        return runner.Run({curl, "-s", "-o", "/dev/null", "--data-binary",
                           "@" + paths[static_cast<size_t>(i)], address(i)}) == 0;
      },
      "curl");
  figures.uploader = Time(
      files,
      [&](int i) {
        return runner.Run(qv::CQVFileXfer::UploadArguments(uploader, paths[static_cast<size_t>(i)],
                                                           address(i))) == 0;
      },
      "upload.exe");
  const int in_process = files * kInProcessRounds;
  qv::BuiltinSender sender;
  const qv::SendOptions options = qv::SendOptions::FromEnvironment();
  figures.post = Time(
      in_process,
      [&](int i) {
        return sender
                   .Post(paths[static_cast<size_t>(i % files)], address(i % files),
                         {"Idempotency-Key: 0"}, options)
                   .status == 0;
      },
      "BuiltinSender::Post");

  // One CQVFileXfer per file, as the program makes one per export call.
  const auto transfer = [&](int i) {
    qv::CQVFileXfer xfer;
    return xfer.TransferFile(paths[static_cast<size_t>(i % files)], "Rule 1");
  };
  use("upload.exe");
  figures.xfer_uploader = Time(files, transfer, "TransferFile with upload.exe");
  use("builtin");
  figures.xfer_builtin = Time(in_process, transfer, "TransferFile with the built-in sender");
  qv::CQVFileXfer probe;
  figures.settings = Time(
      in_process, [&](int) { return !probe.GetUploadURL().empty(); }, "GetUploadURL");
  ::unsetenv("QVDATAEXPORTER_HOME");
  return figures;
}

void PrintGoals(const char* what, const Result& builtin, const Result& uploader) {
  const double ms = builtin.PerFileMs();
  const double ratio = uploader.PerFileMs() / ms;
  std::printf("  %-44s %8.3f ms  (goal <= 1: %s)\n", (std::string(what) + " per file").c_str(), ms,
              ms <= 1.0 ? "met" : "MISSED");
  std::printf("  %-44s %8.1f x   (goal >= 20: %s)\n",
              (std::string(what) + ": upload.exe / built-in").c_str(), ratio,
              ratio >= 20.0 ? "met" : "MISSED");
}

void Print(const Figures& f, bool goals) {
  PrintRow("curl --data-binary (a process each)", f.curl);
  PrintRow("upload.exe (a process each)", f.uploader);
  PrintRow("BuiltinSender::Post", f.post);
  PrintRow("TransferFile, upload.exe", f.xfer_uploader);
  PrintRow("TransferFile, built-in", f.xfer_builtin);
  PrintRow("  of which GetUploadURL (settings read)", f.settings);
  std::printf("  %-44s %8.1f x\n", "curl / built-in sender",
              f.curl.PerFileMs() / f.post.PerFileMs());
  std::printf("  %-44s %8.2f x\n", "upload.exe / curl",
              f.uploader.PerFileMs() / f.curl.PerFileMs());
  if (goals) {
    PrintGoals("sender", f.post, f.uploader);
    PrintGoals("TransferFile", f.xfer_builtin, f.xfer_uploader);
  } else {
    std::printf("  %-44s %8.1f x\n", "sender: upload.exe / built-in",
                f.uploader.PerFileMs() / f.post.PerFileMs());
    std::printf("  %-44s %8.1f x\n", "TransferFile: upload.exe / built-in",
                f.xfer_uploader.PerFileMs() / f.xfer_builtin.PerFileMs());
  }
}

// How a SendAll went.
struct Sent {
  Result result;
  int delivered = 0;
};

// SendLater of every file to `url` with `connections` in flight (the built-in sender),
// until each ended; the time and how many were delivered.
Sent SendAll(const fs::path& dir, const std::string& url, int connections, int files) {
  const fs::path home = dir / "home";
  const fs::path out = dir / "out";
  fs::create_directories(home);
  qv::test::WriteExportSettings((home / "QvExportSettings.xml").string(),
                                {{1, qv::QvSharedStrings::Encode1(url)}});
  std::ofstream(home / "registry.reg")
      << "Windows Registry Editor Version 5.00\r\n\r\n"
         "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tolvane]\r\n\"EventLogLevel\"=dword:00000001\r\n"
         "\"Uploader\"=\"builtin\"\r\n\"UploaderConnections\"=dword:"
      << std::setw(8) << std::setfill('0') << std::hex << connections << "\r\n";
  ::setenv("QVDATAEXPORTER_HOME", home.c_str(), 1);
  qv::CQVFileXfer::EndRun();  // a new run: the settings above are read
  std::vector<std::string> paths;
  for (int i = 0; i < files; ++i) {
    fs::create_directories(out);
    paths.push_back((out / ("entity" + std::to_string(i) + ".xml")).string());
    std::ofstream(paths.back(), std::ios::binary) << SmallFile(i);
  }
  Sent sent;
  const auto started = Clock::now();
  qv::CQVFileXfer xfer;
  for (const std::string& path : paths) {
    xfer.SendLater(path, "Rule 1", [&sent](bool delivered) { sent.delivered += delivered; });
  }
  qv::CQVFileXfer::WaitForSends(true);
  sent.result = {std::chrono::duration<double>(Clock::now() - started).count(), files};
  qv::CQVFileXfer::EndRun();
  ::unsetenv("QVDATAEXPORTER_HOME");
  fs::remove_all(out);
  return sent;
}

// For each kind of receiver: the files sent with 1 and with 8 transfers in flight to
// a receiver that answers after 20 ms. Baselines of the same run: 1 in flight against
// the same files sent one after another (1 in flight to the same kind answering at once,
// plus 20 ms a file; goal within 5%), 8 in flight against the floor (files x 20 ms / 8;
// goal <= 1.5x). Then the time a run takes to give up on an address that refuses
// connections.
void MeasureInFlight(const fs::path& dir, int files) {
  std::printf(
      "%d small files to receivers answering after 20 ms (SendLater, built-in): time, the "
      "most transfers at once, files arrived\n",
      files);
  const bool tls = qv::test::TlsReceiver::MissingTool().empty();
  for (const std::string& kind : bench::kReceiverKinds) {
    if (bench::KindReceiver::Tls(kind) && !tls) {
      std::printf("  %-27s skipped: node or openssl missing\n", kind.c_str());
      continue;
    }
    bench::KindReceiver at_once(kind, std::chrono::milliseconds(0));
    const Sent quick = SendAll(dir / "quick", at_once.Url(), 1, files);
    bench::KindReceiver slow(kind, std::chrono::milliseconds(20));
    const double sequential = quick.result.seconds + files * 0.020;
    for (const int connections : {1, 8}) {
      const Sent sent = SendAll(dir / "slow", slow.Url(), connections, files);
      const auto [answered, most] = slow.Take();
      const double floor = files * 0.020 / connections;
      const double ratio =
          connections == 1 ? sent.result.seconds / sequential : sent.result.seconds / floor;
      std::printf("  %-27s N=%d %8.3f s  at once %2d  arrived %4llu of %d (delivered %d)  ",
                  kind.c_str(), connections, sent.result.seconds, most,
                  static_cast<unsigned long long>(answered), files, sent.delivered);
      if (connections == 1) {
        std::printf("%5.2fx one after another (%.2f s; goal <= 1.05: %s)\n", ratio, sequential,
                    ratio <= 1.05 ? "met" : "MISSED");
      } else {
        std::printf("%5.2fx the floor (%.2f s; goal <= 1.5: %s)\n", ratio, floor,
                    ratio <= 1.5 ? "met" : "MISSED");
      }
    }
  }
  const std::string refused = "http://127.0.0.1:" + std::to_string(bench::ClosedPort()) + "/upload";
  for (const int connections : {1, 8}) {
    const Sent sent = SendAll(dir / "refused", refused, connections, files);
    std::printf(
        "  refused, %d in flight: every file ended after %.2f s, %d delivered "
        "(goal <= 10 s: %s)\n",
        connections, sent.result.seconds, sent.delivered,
        sent.result.seconds <= 10 ? "met" : "MISSED");
  }
}

}  // namespace

int main(int argc, char** argv) {
  int files = 200;
  bool in_flight_only = false;
  for (int i = 1; i < argc; ++i) {
    if (std::string(argv[i]) == "--files" && i + 1 < argc)
      files = std::max(1, std::atoi(argv[++i]));
    if (std::string(argv[i]) == "--in-flight") in_flight_only = true;
  }
  ::setenv("NO_PROXY", "127.0.0.1", 1);
  ::setenv("no_proxy", "127.0.0.1", 1);
  fs::path dir;
  try {
    dir = bench::MakeWorkFolder(fs::temp_directory_path(), "bench-upload");
  } catch (const std::exception& error) {
    std::fprintf(stderr, "%s\n", error.what());
    return 1;
  }
  int status = 0;
  try {
    if (in_flight_only) {
      MeasureInFlight(dir / "in-flight", files * 2);
    } else {
      bench::HttpSink sink;
      std::printf("uploads of %d small files to an HTTP sink in this process (keep-alive)\n",
                  files);
      const Figures figures = Measure(dir / "sink", sink.Url(), files);
      // Three ways run once per file, two ten times.
      const uint64_t expected = static_cast<uint64_t>(files) * (3 + 2 * kInProcessRounds);
      if (sink.Requests() != expected) {
        throw std::runtime_error("the sink got " + std::to_string(sink.Requests()) +
                                 " requests, not " + std::to_string(expected));
      }
      Print(figures, /*goals=*/true);
      MeasureInFlight(dir / "in-flight", files * 2);
      qv::test::Receiver receiver;
      std::printf("the same against the Python test receiver (stores and logs every file)\n");
      Print(Measure(dir / "receiver", receiver.BaseUrl(), files), /*goals=*/false);
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench_upload: %s\n", e.what());
    status = 1;
  }
  std::error_code ignored;
  fs::remove_all(dir, ignored);
  return status;
}
