// Uploads to the test receiver on 127.0.0.1 through the real upload.exe and curl, and
// through the built-in sender.
#include <stdlib.h>

#include <gtest/gtest.h>
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <iostream>
#include <set>

#include "support/Receiver.h"
#include "support/UploadHome.h"
#include "upload/CQVFileXfer.h"
#include "upload/IdempotencyKey.h"

namespace qv {
namespace {

namespace fs = std::filesystem;
using test::ReadBytes;
using test::ReceivedRequest;
using test::Receiver;
using test::ReceiverMode;
using test::TestFolder;
using test::UploadHome;
using test::WriteBytes;

// Sets an environment variable for the uploader while it lives.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) { ::setenv(name, value, 1); }
  ~ScopedEnv() { ::unsetenv(name_); }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  const char* name_;
};

enum class Sender { kUploadExe, kBuiltin };

using ::testing::PrintToString;

void PrintTo(Sender sender, std::ostream* os) {
  *os << (sender == Sender::kBuiltin ? "Builtin" : "UploadExe");
}

class UploadE2e : public ::testing::Test {
 protected:
  void Start(Sender sender) {
    const std::string missing = Receiver::MissingTool();
    if (!missing.empty()) GTEST_SKIP() << missing << " is not installed";
    receiver_ = std::make_unique<Receiver>();
    home_.SetUploadUrl(receiver_->BaseUrl());
    Use(sender);
  }

  // `more` adds registry value lines.
  void Use(Sender sender, const std::string& more = "") {
    home_.SetProgramKey(
        (sender == Sender::kBuiltin ? "\"Uploader\"=\"builtin\"\r\n" : std::string()) + more);
  }

  // Writes `bytes` as `name` in the output folder and uploads it.
  bool Upload(const std::string& name, const std::string& bytes, const std::string& rule = "R",
              bool move_to_last_tx = true) {
    WriteBytes(out_.File(name), bytes);
    CQVFileXfer xfer;
    xfer.MoveToLastTx = move_to_last_tx;
    return xfer.TransferFile(out_.File(name), rule);
  }

  void ExpectFailureTraced(const std::string& name, int exit_status) {
    EXPECT_TRUE(
        home_.Traced("CQVFileXfer.TransferFile - the upload failed, File: " + out_.File(name) +
                     ", exit status: " + std::to_string(exit_status) + " ("))
        << home_.Traces();
  }

  void ExpectUnsent(const std::string& name, const std::string& bytes, int exit_status) {
    EXPECT_FALSE(fs::exists(out_.File(name)));
    EXPECT_EQ(ReadBytes(out_.File("Unsent/" + name)), bytes);
    EXPECT_FALSE(fs::exists(out_.File("LastTx/" + name)));
    ExpectFailureTraced(name, exit_status);
  }

  UploadHome home_;
  TestFolder out_;
  std::unique_ptr<Receiver> receiver_;
};

// Every case runs through upload.exe and through the built-in sender alike.
class CQVFileXferE2e : public UploadE2e, public ::testing::WithParamInterface<Sender> {
 protected:
  void SetUp() override { Start(GetParam()); }
};

class BuiltinSenderE2e : public UploadE2e {
 protected:
  void SetUp() override { Start(Sender::kBuiltin); }
};

std::optional<std::string> Header(const ReceivedRequest& request, const std::string& name) {
  for (const auto& [key, value] : request.headers) {
    if (key == name) return value;
  }
  return std::nullopt;
}

TEST_P(CQVFileXferE2e, DeliversTheBytesUnderRuleAndFileNameWithItsIdempotencyKey) {
  const std::string bytes = std::string("<xml>\0\x01\xff caf\xc3\xa9\r\n</xml>", 21);
  EXPECT_TRUE(Upload("a b.xml", bytes, "Rule 1"));

  EXPECT_EQ(receiver_->Received("Rule 1", "a b.xml"), bytes);
  EXPECT_EQ(ReadBytes(out_.File("LastTx/a b.xml")), bytes);
  EXPECT_FALSE(fs::exists(out_.File("a b.xml")));
  const auto requests = receiver_->Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].method, "POST");
  EXPECT_EQ(requests[0].path, "/upload");
  EXPECT_EQ(requests[0].query, "ImpID=Rule%201&FN=a%20b.xml");
  EXPECT_EQ(requests[0].size, bytes.size());
  EXPECT_EQ(Header(requests[0], "Idempotency-Key"),
            IdempotencyKey("Rule%201", "a%20b.xml", out_.File("LastTx/a b.xml")));
  EXPECT_EQ(CQVFileXfer::Counters().files_sent, 1u);
}

TEST_P(CQVFileXferE2e, HostileFileNameIsSentAsItIsAndNeverRun) {
  const std::string name = "q\"uote $(touch pwned) `touch pwned` ; touch pwned & 'x'.xml";
  EXPECT_TRUE(Upload(name, "body"));

  EXPECT_EQ(receiver_->Received("R", name), "body");
  for (const fs::path& folder : {fs::current_path(), fs::path(home_.Folder()), out_.Path()}) {
    EXPECT_FALSE(fs::exists(folder / "pwned")) << folder;
  }
}

// Each failure keeps the file in Unsent and is traced with the same exit status (that
// of curl) whichever sender met it; the next good upload goes through again.
TEST_P(CQVFileXferE2e, FailuresKeepTheFileInUnsentWithCurlsExitStatus) {
  ScopedEnv max_time("QV_UPLOAD_MAX_TIME", "1");
  Use(GetParam(), "\"UploaderRetries\"=dword:00000000");
  struct Case {
    const char* name;
    ReceiverMode mode;
    double seconds;
    int status;
  };
  const Case cases[] = {
      {"http500.xml", ReceiverMode::kHttp500, 0, 22},
      {"redirect.xml", ReceiverMode::kRedirect, 0, 22},  // not 2xx: not delivered
      {"dropped.xml", ReceiverMode::kClose, 0, 52},
      {"stalled.xml", ReceiverMode::kStall, 30, 28},  // beyond QV_UPLOAD_MAX_TIME
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    receiver_->FailNext(c.mode, 1, c.seconds);
    EXPECT_FALSE(Upload(c.name, c.name));
    CQVFileXfer::EndRun();  // a connection failure is reported once the run's sends end
    ExpectUnsent(c.name, c.name, c.status);
    EXPECT_EQ(receiver_->Received("R", c.name), std::nullopt);
  }

  EXPECT_TRUE(Upload("good.xml", "third"));
  EXPECT_EQ(ReadBytes(out_.File("LastTx/good.xml")), "third");

  // A file that is not there is not posted as an empty body.
  const size_t requests = receiver_->Requests().size();
  CQVFileXfer xfer;
  xfer.MoveToLastTx = true;
  EXPECT_FALSE(xfer.TransferFile(out_.File("missing.xml"), "R"));
  ExpectFailureTraced("missing.xml", 26);
  EXPECT_EQ(receiver_->Requests().size(), requests);

  receiver_->Stop();
  EXPECT_FALSE(Upload("down.xml", "data"));
  CQVFileXfer::EndRun();  // a connection failure is reported once the run's sends end
  ExpectUnsent("down.xml", "data", 7);

  EXPECT_EQ(CQVFileXfer::Counters().files_sent, 1u);
  EXPECT_EQ(CQVFileXfer::Counters().sends_failed, std::size(cases) + 2);
}

// The receiver's faults against the retry rules, through both senders: a fault that may
// pass is tried again (up to UploaderRetries times, with the same Idempotency-Key), any
// other is not; each failed file is reported once with its tries.
TEST_P(CQVFileXferE2e, PassingFaultsAreTriedAgainAndOthersAreNot) {
  ScopedEnv wait("QV_UPLOAD_RETRY_WAIT", "0.05");
  ScopedEnv max_time("QV_UPLOAD_MAX_TIME", "1");
  struct Case {
    const char* name;
    ReceiverMode mode;
    int count;
    double seconds;  // a stall's length, or the Retry-After sent
    int tries;       // the requests made for the file
    int status;      // 0: delivered
  };
  const Case cases[] = {
      {"reset.xml", ReceiverMode::kClose, 1, 0, 2, 0},
      {"busy.xml", ReceiverMode::kHttp503, 1, 0, 2, 0},
      {"limited.xml", ReceiverMode::kHttp429, 1, 1, 2, 0},
      {"still-busy.xml", ReceiverMode::kHttp503, 3, 0, 3, 22},  // the retries used up
      {"error.xml", ReceiverMode::kHttp500, 1, 0, 1, 22},
      {"not-found.xml", ReceiverMode::kHttp404, 1, 0, 1, 22},
      {"slow.xml", ReceiverMode::kStall, 3, 3, 3, 28},  // beyond QV_UPLOAD_MAX_TIME each time
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    receiver_->FailNext(c.mode, c.count, c.seconds);
    const auto start = std::chrono::steady_clock::now();
    const bool delivered = Upload(c.name, c.name);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    CQVFileXfer::EndRun();
    receiver_->FailNext(ReceiverMode::kOk, 0);
    EXPECT_EQ(delivered, c.status == 0);
    std::cout << PrintToString(GetParam()) << " " << c.name << ": "
              << (delivered ? "delivered" : "not delivered") << " in " << took.count() << " s\n";
    // The waits: 0.05 s, then four times more; a Retry-After of 1 s instead.
    const double waited = c.mode == ReceiverMode::kHttp429 ? 1.0 : c.tries == 3 ? 0.25 : 0.05;
    if (c.tries > 1) {
      EXPECT_GE(took.count(), 0.9 * waited);
    }
    if (c.mode != ReceiverMode::kStall) {  // a stalled request is logged when it ends
      std::set<std::optional<std::string>> keys;
      int tries = 0;
      for (const ReceivedRequest& request : receiver_->Requests()) {
        if (request.fn != c.name) continue;
        ++tries;
        keys.insert(Header(request, "Idempotency-Key"));
      }
      EXPECT_EQ(tries, c.tries);
      EXPECT_EQ(keys.size(), 1u);
    }
    if (c.status == 0) {
      EXPECT_EQ(ReadBytes(out_.File("LastTx/" + std::string(c.name))), c.name);
    } else {
      ExpectUnsent(c.name, c.name, c.status);
      EXPECT_TRUE(home_.Traced("FN=" + std::string(c.name) + ", " +
                               (c.mode == ReceiverMode::kStall ? "reason" : "HTTP status")))
          << home_.Traces();
      EXPECT_EQ(home_.TracedLines(c.name + std::string(", exit status")), 1);
      EXPECT_TRUE(home_.Traced(", tries: " + std::to_string(c.tries) + "\n")) << home_.Traces();
    }
  }

  receiver_->Stop();
  EXPECT_FALSE(Upload("down.xml", "data"));
  CQVFileXfer::EndRun();
  ExpectUnsent("down.xml", "data", 7);
  EXPECT_TRUE(home_.Traced(", tries: 3\n"));
}

// A receiver that is down: after UploaderGiveUpAfter connection failures in a row the
// run stops sending; every file waits in Unsent and one line says so, naming the address.
TEST_P(CQVFileXferE2e, AShutReceiverStopsTheRunsSendingWithOneLine) {
  ScopedEnv wait("QV_UPLOAD_RETRY_WAIT", "0.01");
  Use(GetParam(), "\"UploaderGiveUpAfter\"=dword:00000004");
  receiver_->Stop();
  CQVFileXfer xfer;
  xfer.MoveToLastTx = true;
  int failed = 0;
  for (int i = 0; i < 10; ++i) {
    const std::string name = "f" + std::to_string(i) + ".xml";
    WriteBytes(out_.File(name), name);
    xfer.SendLater(out_.File(name), "R", [&failed](bool delivered) { failed += !delivered; });
  }
  CQVFileXfer::WaitForSends(true);
  EXPECT_TRUE(CQVFileXfer::SendingStopped());
  CQVFileXfer::EndRun();

  EXPECT_EQ(failed, 10);
  for (int i = 0; i < 10; ++i) {
    EXPECT_TRUE(fs::exists(out_.File("Unsent/f" + std::to_string(i) + ".xml"))) << i;
  }
  EXPECT_EQ(home_.TracedLines("the upload failed"), 0) << home_.Traces();
  EXPECT_EQ(
      home_.TracedLines("uploads stopped: " + receiver_->BaseUrl() + " could not be reached ("), 1)
      << home_.Traces();
  EXPECT_TRUE(home_.Traced(") 4 times in a row; 10 file(s) wait for the next run"))
      << home_.Traces();
  EXPECT_FALSE(CQVFileXfer::SendingStopped());  // the next run sends again
}

TEST_P(CQVFileXferE2e, ReceiverStoresTraversingNamesInsideItsRoot) {
  EXPECT_TRUE(Upload("a.xml", "data", "../../escape"));

  const auto requests = receiver_->Requests();
  ASSERT_EQ(requests.size(), 1u);
  ASSERT_TRUE(requests[0].stored.has_value());
  EXPECT_EQ(requests[0].stored->find('/'), requests[0].stored->rfind('/'));
  EXPECT_EQ(receiver_->Received("../../escape", "a.xml"), "data");
  EXPECT_FALSE(fs::exists(receiver_->Root().parent_path().parent_path() / "escape"));
}

INSTANTIATE_TEST_SUITE_P(Senders, CQVFileXferE2e,
                         ::testing::Values(Sender::kUploadExe, Sender::kBuiltin),
                         [](const ::testing::TestParamInfo<Sender>& param) {
                           return param.param == Sender::kBuiltin ? "Builtin" : "UploadExe";
                         });

TEST_F(BuiltinSenderE2e, SendsTheRequestUploadExeSendsByteForByte) {
  struct Case {
    const char* name;
    std::string bytes;
    const char* rule;
  };
  const Case cases[] = {
      {"a b.xml", "<xml/>", "Rule 1"},
      {"binary.xml", std::string("\0\x01\xff\r\n\x7f", 6), "R&D=1"},
      {"empty.xml", "", "R"},
      // Past 1 MiB curl asks "Expect: 100-continue" first.
      {"large.xml", std::string(1536 * 1024, 'x'), "R"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const size_t before = receiver_->Requests().size();
    for (Sender sender : {Sender::kUploadExe, Sender::kBuiltin}) {
      Use(sender);
      EXPECT_TRUE(Upload(c.name, c.bytes, c.rule, /*move_to_last_tx=*/false));
      EXPECT_EQ(receiver_->Received(c.rule, c.name), c.bytes);
    }
    const auto requests = receiver_->Requests();
    ASSERT_EQ(requests.size(), before + 2);
    const ReceivedRequest& script = requests[before];
    const ReceivedRequest& builtin = requests[before + 1];
    EXPECT_EQ(builtin.request_line, script.request_line);
    EXPECT_EQ(builtin.headers, script.headers);
    EXPECT_EQ(builtin.size, script.size);
    EXPECT_TRUE(Header(builtin, "Idempotency-Key").has_value());
  }
}

TEST_F(BuiltinSenderE2e, KeepsOneConnectionForEveryUploadOfTheProcess) {
  for (const char* name : {"a.xml", "b.xml", "c.xml"}) EXPECT_TRUE(Upload(name, name));

  const auto requests = receiver_->Requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_NE(requests[0].client_port, 0);
  EXPECT_EQ(requests[1].client_port, requests[0].client_port);
  EXPECT_EQ(requests[2].client_port, requests[0].client_port);
}

// Eight transfers in flight over several connections, two answered 503 first: every
// file is delivered once, as its own 2xx moves it to LastTx.
TEST_F(BuiltinSenderE2e, KeepsTransfersInFlightAndTriesBusyAnswersAgain) {
  ScopedEnv wait("QV_UPLOAD_RETRY_WAIT", "0.01");
  Use(Sender::kBuiltin, "\"UploaderConnections\"=dword:00000008");
  receiver_->FailNext(ReceiverMode::kStall, 8, 0.3);
  CQVFileXfer xfer;
  xfer.MoveToLastTx = true;
  int delivered = 0;
  for (int i = 0; i < 40; ++i) {
    const std::string name = "f" + std::to_string(i) + ".xml";
    WriteBytes(out_.File(name), name);
    if (i == 8) receiver_->FailNext(ReceiverMode::kHttp503, 2);
    xfer.SendLater(out_.File(name), "R", [&delivered](bool sent) { delivered += sent; });
  }
  CQVFileXfer::WaitForSends(true);
  CQVFileXfer::EndRun();

  EXPECT_EQ(delivered, 40);
  std::set<int> ports;
  for (const ReceivedRequest& request : receiver_->Requests()) ports.insert(request.client_port);
  EXPECT_GE(ports.size(), 2u);  // the stalled ones did not hold the others back
  for (int i = 0; i < 40; ++i) {
    const std::string name = "f" + std::to_string(i) + ".xml";
    EXPECT_EQ(receiver_->Received("R", name), name);
    EXPECT_EQ(ReadBytes(out_.File("LastTx/" + name)), name);
  }
  EXPECT_EQ(CQVFileXfer::Counters().files_sent, 40u);
}

TEST_F(BuiltinSenderE2e, AbortCheckEndsARunningTransfer) {
  ScopedEnv max_time("QV_UPLOAD_MAX_TIME", "20");
  receiver_->FailNext(ReceiverMode::kStall, 1, 30);
  int asked = 0;
  CQVFileXfer::SetAbortCheck([&asked] { return ++asked > 3; });
  const bool delivered = Upload("a.xml", "data");
  CQVFileXfer::SetAbortCheck(nullptr);

  EXPECT_FALSE(delivered);
  EXPECT_GT(asked, 3);
  ExpectUnsent("a.xml", "data", 42);  // not 28: it did not wait for the time limit
}

// An HTTPS receiver that offers HTTP/2 (node's http2): eight in flight go as streams of
// one connection, each file delivered once with its bytes and its Idempotency-Key.
TEST(BuiltinSenderHttp2, SendsTransfersInFlightAsStreamsOfOneConnection) {
  if (const std::string missing = test::Http2Receiver::MissingTool(); !missing.empty()) {
    GTEST_SKIP() << missing << " is not installed";
  }
  test::Http2Receiver receiver(50);
  UploadHome home;
  home.SetUploadUrl(receiver.BaseUrl());
  home.SetProgramKey("\"Uploader\"=\"builtin\"\r\n\"UploaderConnections\"=dword:00000008");
  TestFolder out;
  CQVFileXfer xfer;
  xfer.MoveToLastTx = true;
  int delivered = 0;
  for (int i = 0; i < 40; ++i) {
    const std::string name = "h" + std::to_string(i) + ".xml";
    WriteBytes(out.File(name), std::string(static_cast<size_t>(i) * 97, 'x') + name);
    xfer.SendLater(out.File(name), "R", [&delivered](bool sent) { delivered += sent; });
  }
  CQVFileXfer::WaitForSends(true);
  CQVFileXfer::EndRun();

  EXPECT_EQ(delivered, 40) << home.Traces();
  const std::vector<test::Http2Receiver::Request> requests = receiver.Requests();
  ASSERT_EQ(requests.size(), 40u);
  int most_open = 0;
  std::set<std::string> paths;
  for (const test::Http2Receiver::Request& request : requests) {
    EXPECT_EQ(request.session, 1) << request.path;
    EXPECT_TRUE(request.idempotency_key.has_value()) << request.path;
    most_open = std::max(most_open, request.concurrent);
    paths.insert(request.path);
    const std::string name = request.path.substr(request.path.find("&FN=") + 4);
    EXPECT_EQ(request.body, ReadBytes(out.File("LastTx/" + name))) << name;
  }
  EXPECT_EQ(paths.size(), 40u);
  EXPECT_GT(most_open, 1);
}

}  // namespace
}  // namespace qv
