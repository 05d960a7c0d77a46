// Uploads through the real upload.exe and curl to the test receiver on 127.0.0.1.
#include <stdlib.h>

#include <gtest/gtest.h>
#include <filesystem>

#include "support/Receiver.h"
#include "upload/CQVFileXfer.h"
#include "upload/UploadHome.h"

namespace qv {
namespace {

namespace fs = std::filesystem;
using test::ReadBytes;
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

class CQVFileXferE2e : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string missing = Receiver::MissingTool();
    if (!missing.empty()) GTEST_SKIP() << missing << " is not installed";
    receiver_ = std::make_unique<Receiver>();
    home_.SetUploadUrl(receiver_->BaseUrl());
  }

  // Writes `bytes` as `name` in the output folder and uploads it with MoveToLastTx.
  bool Upload(const std::string& name, const std::string& bytes, const std::string& rule = "R") {
    WriteBytes(out_.File(name), bytes);
    CQVFileXfer xfer;
    xfer.MoveToLastTx = true;
    return xfer.TransferFile(out_.File(name), rule);
  }

  void ExpectUnsent(const std::string& name, const std::string& bytes, int exit_status) {
    EXPECT_FALSE(fs::exists(out_.File(name)));
    EXPECT_EQ(ReadBytes(out_.File("Unsent/" + name)), bytes);
    EXPECT_FALSE(fs::exists(out_.File("LastTx/" + name)));
    EXPECT_TRUE(home_.Traced("CQVFileXfer.TransferFile - the upload failed, File: " +
                             out_.File(name) + ", exit status: " + std::to_string(exit_status)))
        << home_.Traces();
  }

  UploadHome home_;
  TestFolder out_;
  std::unique_ptr<Receiver> receiver_;
};

TEST_F(CQVFileXferE2e, DeliversTheBytesUnderRuleAndFileName) {
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
  EXPECT_EQ(CQVFileXfer::Counters().files_sent, 1u);
}

TEST_F(CQVFileXferE2e, HostileFileNameIsSentAsItIsAndNeverRun) {
  const std::string name = "q\"uote $(touch pwned) `touch pwned` ; touch pwned & 'x'.xml";
  EXPECT_TRUE(Upload(name, "body"));

  EXPECT_EQ(receiver_->Received("R", name), "body");
  for (const fs::path& folder : {fs::current_path(), fs::path(home_.Folder()), out_.Path()}) {
    EXPECT_FALSE(fs::exists(folder / "pwned")) << folder;
  }
}

TEST_F(CQVFileXferE2e, HttpErrorOrDroppedConnectionKeepsTheFileInUnsent) {
  receiver_->FailNext(ReceiverMode::kHttp500, 1);
  EXPECT_FALSE(Upload("a.xml", "first"));
  ExpectUnsent("a.xml", "first", 22);

  receiver_->FailNext(ReceiverMode::kClose, 1);
  EXPECT_FALSE(Upload("b.xml", "second"));
  ExpectUnsent("b.xml", "second", 52);

  // The receiver is well again: the next file goes through and out of the way.
  EXPECT_TRUE(Upload("c.xml", "third"));
  EXPECT_EQ(ReadBytes(out_.File("LastTx/c.xml")), "third");
  EXPECT_EQ(receiver_->Received("R", "a.xml"), std::nullopt);
  EXPECT_EQ(CQVFileXfer::Counters().files_sent, 1u);
  EXPECT_EQ(CQVFileXfer::Counters().sends_failed, 2u);
}

TEST_F(CQVFileXferE2e, ReceiverDownKeepsTheFileInUnsent) {
  receiver_->Stop();
  EXPECT_FALSE(Upload("a.xml", "data"));
  ExpectUnsent("a.xml", "data", 7);  // curl: could not connect
}

TEST_F(CQVFileXferE2e, ReceiverStallingBeyondTheTimeLimitKeepsTheFileInUnsent) {
  ScopedEnv max_time("QV_UPLOAD_MAX_TIME", "1");
  receiver_->FailNext(ReceiverMode::kStall, 1, 30);
  EXPECT_FALSE(Upload("a.xml", "data"));
  ExpectUnsent("a.xml", "data", 28);  // curl: operation timed out
}

TEST_F(CQVFileXferE2e, ReceiverStoresTraversingNamesInsideItsRoot) {
  EXPECT_TRUE(Upload("a.xml", "data", "../../escape"));

  const auto requests = receiver_->Requests();
  ASSERT_EQ(requests.size(), 1u);
  ASSERT_TRUE(requests[0].stored.has_value());
  EXPECT_EQ(requests[0].stored->find('/'), requests[0].stored->rfind('/'));
  EXPECT_EQ(receiver_->Received("../../escape", "a.xml"), "data");
  EXPECT_FALSE(fs::exists(receiver_->Root().parent_path().parent_path() / "escape"));
}

}  // namespace
}  // namespace qv
