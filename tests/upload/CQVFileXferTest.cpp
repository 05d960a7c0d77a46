#include "upload/CQVFileXfer.h"

#include <unistd.h>

#include <gtest/gtest.h>
#include <filesystem>

#include "shared/LogCapture.h"
#include "support/UploadHome.h"
#include "upload/IdempotencyKey.h"
#include "upload/UploadPolicy.h"

namespace qv {
namespace {

namespace fs = std::filesystem;
using test::FakeUploader;
using test::ReadBytes;
using test::RunnerSwap;
using test::TestFolder;
using test::UploadHome;
using test::WriteBytes;

constexpr char kUrl[] = "http://127.0.0.1:9/in";

std::shared_ptr<FakeUploader> FailingToStart() {
  auto runner = std::make_shared<FakeUploader>();
  runner->FailToStart();
  return runner;
}

TEST(CQVFileXfer, CommandLineTextAndAddressHaveTheUploaderForm) {
  EXPECT_EQ(CQVFileXfer::UploadAddress("S", "R 1", "a.xml"), "S?ImpID=R%201&FN=a.xml");
  EXPECT_EQ(CQVFileXfer::UploadAddress("http://h/u?k=1", "a&b=c/d", "x y#1+2.xml"),
            "http://h/u?k=1?ImpID=a%26b%3Dc%2Fd&FN=x%20y%231%2B2.xml");
  EXPECT_EQ(
      CQVFileXfer::UploadCommandLine("/opt/qv/upload.exe", "/out/a.xml", "S?ImpID=R%201&FN=a.xml"),
      "\"/opt/qv/upload.exe\" --data-binary \"@/out/a.xml\" \"S?ImpID=R%201&FN=a.xml\" -k");
}

TEST(CQVFileXfer, HostileFileNameIsOneArgumentBuiltFromThePieces) {
  UploadHome home;
  home.SetUploadUrl(kUrl);
  TestFolder out;
  const std::string name = "q\"uote $(touch pwned) `touch pwned` 'x' a b.xml";
  const std::string file = out.File(name);
  WriteBytes(file, "<xml/>");
  auto runner = std::make_shared<FakeUploader>(0);
  RunnerSwap swap(runner);

  CQVFileXfer xfer;
  EXPECT_TRUE(xfer.TransferFile(file, "Rule 1"));

  ASSERT_EQ(runner->Calls().size(), 1u);
  const std::string address = std::string(kUrl) +
                              "?ImpID=Rule%201&FN=q%22uote%20%24(touch%20pwned)%20%60touch%20"
                              "pwned%60%20'x'%20a%20b.xml";
  EXPECT_EQ(runner->Calls()[0], (std::vector<std::string>{home.Uploader(), "--data-binary",
                                                          "@" + file, address, "-k"}));
  EXPECT_TRUE(fs::exists(file)) << "MoveToLastTx is false by default";
}

TEST(CQVFileXfer, UploaderFailureIsTracedWithTheCommandLine) {
  UploadHome home;
  home.SetUploadUrl(kUrl);
  TestFolder out;
  const std::string file = out.File("a.xml");
  WriteBytes(file, "data");
  RunnerSwap swap(FailingToStart());

  CQVFileXfer xfer;
  xfer.MoveToLastTx = true;
  EXPECT_FALSE(xfer.TransferFile(file, "R"));

  const std::string command = "\"" + home.Uploader() + "\" --data-binary \"@" + file + "\" \"" +
                              kUrl + "?ImpID=R&FN=a.xml\" -k";
  EXPECT_TRUE(home.Traced(".RunExe, sCommand=" + command)) << home.Traces();
  EXPECT_TRUE(home.Traced("CQVFileXfer.TransferFile - the upload failed, File: " + file +
                          ", exit status: -1"))
      << home.Traces();
  EXPECT_EQ(ReadBytes(out.File("Unsent/a.xml")), "data");
  EXPECT_FALSE(fs::exists(file));
  EXPECT_FALSE(fs::exists(out.File("LastTx")));
}

TEST(CQVFileXfer, WithoutAnAddressNothingRunsAndTheFileStays) {
  for (bool settings_file : {true, false}) {
    SCOPED_TRACE(settings_file ? "no setting 1" : "no settings file");
    UploadHome home;
    if (settings_file) home.SetNoUploadUrl();
    test::LogCapture log;
    TestFolder out;
    const std::string file = out.File("a.xml");
    WriteBytes(file, "data");
    auto runner = std::make_shared<FakeUploader>(0);
    RunnerSwap swap(runner);

    CQVFileXfer xfer;
    xfer.MoveToLastTx = true;
    EXPECT_FALSE(xfer.TransferFile(file, "R"));

    EXPECT_TRUE(runner->Calls().empty());
    EXPECT_EQ(ReadBytes(file), "data");
    EXPECT_FALSE(fs::exists(out.File("LastTx")));
    EXPECT_FALSE(fs::exists(out.File("Unsent")));
    EXPECT_TRUE(home.Traced("CQVFileXfer.TransferFile - the Upload URL is not set"));
    EXPECT_TRUE(home.Traced("CQVFileXfer.TransferFile, Test End ZRT 001, File: " + file));
    EXPECT_EQ(log.Entries().size(), settings_file ? 0u : 1u);
    EXPECT_EQ(CQVFileXfer::Counters().files_sent, 0u);
    EXPECT_EQ(CQVFileXfer::Counters().sends_failed, 1u);
  }
}

TEST(CQVFileXfer, DeliveredFileMovesIntoLastTxAfterTheUploadReplacingAnOlderCopy) {
  UploadHome home;
  home.SetUploadUrl(kUrl);
  TestFolder out;
  const std::string file = out.File("a.xml");
  WriteBytes(file, "new");
  fs::create_directory(out.File("LastTx"));
  WriteBytes(out.File("LastTx/a.xml"), "older copy");
  auto runner = std::make_shared<FakeUploader>(0);
  RunnerSwap swap(runner);

  CQVFileXfer xfer;
  xfer.MoveToLastTx = true;
  EXPECT_TRUE(xfer.TransferFile(file, "R"));

  ASSERT_EQ(runner->FilePresent().size(), 1u);
  EXPECT_TRUE(runner->FilePresent()[0]) << "the file was moved before the upload ended";
  EXPECT_FALSE(fs::exists(file));
  EXPECT_EQ(ReadBytes(out.File("LastTx/a.xml")), "new");
  EXPECT_FALSE(fs::exists(out.File("Unsent")));
  EXPECT_TRUE(home.Traced("CQVFileXfer.TransferFile, Test Start ZRT 001, File: " + file));
  EXPECT_TRUE(home.Traced("CQVFileXfer.TransferFile, Test End ZRT 001, File: " + file));
  EXPECT_FALSE(home.Traced("the upload failed"));
  EXPECT_EQ(CQVFileXfer::Counters().files_sent, 1u);
  EXPECT_EQ(CQVFileXfer::Counters().sends_failed, 0u);
}

TEST(CQVFileXfer, UndeliveredFileMovesIntoUnsentAndIsTracedWithTheExitStatus) {
  UploadHome home;
  home.SetUploadUrl(kUrl);
  TestFolder out;
  const std::string file = out.File("a.xml");
  WriteBytes(file, "payload");
  WriteBytes(out.File("b.xml"), "earlier result");
  fs::create_directory(out.File("LastTx"));
  WriteBytes(out.File("LastTx/a.xml"), "sent last time");
  RunnerSwap swap(std::make_shared<FakeUploader>(22));

  CQVFileXfer xfer;
  xfer.MoveToLastTx = true;
  EXPECT_FALSE(xfer.TransferFile(file, "R"));

  EXPECT_FALSE(fs::exists(file));
  EXPECT_EQ(ReadBytes(out.File("Unsent/a.xml")), "payload");
  EXPECT_EQ(ReadBytes(out.File("LastTx/a.xml")), "sent last time");
  EXPECT_EQ(ReadBytes(out.File("b.xml")), "earlier result");
  EXPECT_TRUE(home.Traced("CQVFileXfer.TransferFile - the upload failed, File: " + file +
                          ", exit status: 22"))
      << home.Traces();
  EXPECT_EQ(CQVFileXfer::Counters().files_sent, 0u);
  EXPECT_EQ(CQVFileXfer::Counters().sends_failed, 1u);
}

TEST(CQVFileXfer, WithoutMoveToLastTxTheFileStaysWhateverTheOutcome) {
  for (int status : {0, 7}) {
    SCOPED_TRACE(status);
    UploadHome home;
    home.SetUploadUrl(kUrl);
    TestFolder out;
    const std::string file = out.File("a.xml");
    WriteBytes(file, "data");
    RunnerSwap swap(std::make_shared<FakeUploader>(status));

    CQVFileXfer xfer;
    EXPECT_EQ(xfer.TransferFile(file, "R"), status == 0);
    EXPECT_EQ(ReadBytes(file), "data");
    EXPECT_FALSE(fs::exists(out.File("LastTx")));
    EXPECT_FALSE(fs::exists(out.File("Unsent")));
  }
}

TEST(CQVFileXfer, EachOutputFolderGetsItsOwnLastTx) {
  UploadHome home;
  home.SetUploadUrl(kUrl);
  TestFolder first;
  TestFolder second;
  WriteBytes(first.File("a.xml"), "one");
  fs::create_directory(second.File("sub"));
  WriteBytes(second.File("sub/a.xml"), "two");
  RunnerSwap swap(std::make_shared<FakeUploader>(0));

  CQVFileXfer xfer;
  xfer.MoveToLastTx = true;
  EXPECT_TRUE(xfer.TransferFile(first.File("a.xml"), "R"));
  EXPECT_TRUE(xfer.TransferFile(second.File("sub/a.xml"), "R"));

  EXPECT_EQ(ReadBytes(first.File("LastTx/a.xml")), "one");
  EXPECT_EQ(ReadBytes(second.File("sub/LastTx/a.xml")), "two");
  EXPECT_FALSE(fs::exists(second.File("LastTx")));
  EXPECT_EQ(CQVFileXfer::Counters().files_sent, 2u);
}

TEST(CQVFileXfer, BareFileNameMovesBesideItselfNotToTheRoot) {
  UploadHome home;
  home.SetUploadUrl(kUrl);
  TestFolder work;
  WriteBytes(work.File("bare.xml"), "data");
  auto runner = std::make_shared<FakeUploader>(0);
  RunnerSwap swap(runner);
  const fs::path previous = fs::current_path();
  fs::current_path(work.Path());

  CQVFileXfer xfer;
  xfer.MoveToLastTx = true;
  const bool delivered = xfer.TransferFile("bare.xml", "R");
  fs::current_path(previous);

  EXPECT_TRUE(delivered);
  ASSERT_EQ(runner->Calls().size(), 1u);
  EXPECT_EQ(runner->Calls()[0][3], std::string(kUrl) + "?ImpID=R&FN=bare.xml");
  EXPECT_EQ(ReadBytes(work.File("LastTx/bare.xml")), "data");
  EXPECT_FALSE(fs::exists("/LastTx/bare.xml"));
}

TEST(CQVFileXfer, UploaderMissingFromTheProgramFolderLeavesTheFileUnsent) {
  UploadHome home(/*with_uploader=*/false);
  home.SetUploadUrl(kUrl);
  TestFolder out;
  const std::string file = out.File("a.xml");
  WriteBytes(file, "data");

  CQVFileXfer xfer;  // the real process runner
  xfer.MoveToLastTx = true;
  EXPECT_FALSE(xfer.TransferFile(file, "R"));

  EXPECT_TRUE(home.Traced(".RunExe, sCommand=\"" + home.Uploader() + "\"")) << home.Traces();
  EXPECT_TRUE(home.Traced("Cannot start " + home.Uploader())) << home.Traces();
  EXPECT_EQ(ReadBytes(out.File("Unsent/a.xml")), "data");
  EXPECT_FALSE(fs::exists(out.File("LastTx")));
}

TEST(CQVFileXfer, RegistryValueUploaderSelectsTheBuiltinSender) {
  const std::pair<const char*, bool> cases[] = {
      {"", false},
      {"\"Uploader\"=\"builtin\"", true},
      {"\"uploader\"=\"BuiltIn\"", true},
      {"\"Uploader\"=\"upload.exe\"", false},
      {"\"Uploader\"=\"builtin2\"", false},
      {"\"Uploader\"=dword:00000001", false},
  };
  for (const auto& [lines, builtin] : cases) {
    SCOPED_TRACE(lines);
    UploadHome home;
    home.SetProgramKey(lines);
    EXPECT_EQ(CQVFileXfer::BuiltinSenderSelected(), builtin);
  }
}

TEST(CQVFileXfer, BuiltinSenderRunsNoProcess) {
  UploadHome home;
  home.SetUploadUrl(kUrl);  // nothing listens there
  home.SetProgramKey("\"Uploader\"=\"builtin\"\r\n\"UploaderRetries\"=dword:00000000");
  TestFolder out;
  WriteBytes(out.File("a.xml"), "data");
  auto runner = std::make_shared<FakeUploader>(0);
  RunnerSwap swap(runner);

  CQVFileXfer xfer;
  xfer.MoveToLastTx = true;
  EXPECT_FALSE(xfer.TransferFile(out.File("a.xml"), "R"));
  CQVFileXfer::EndRun();  // a connection failure is reported once the run's sends end

  EXPECT_TRUE(runner->Calls().empty());
  EXPECT_EQ(ReadBytes(out.File("Unsent/a.xml")), "data");
  EXPECT_TRUE(home.Traced("the upload failed, File: " + out.File("a.xml") +
                          ", exit status: 7 (Couldn't connect to server)"))
      << home.Traces();
}

// The three sending settings: read in range, otherwise the default with a warning that
// names the value and the default.
TEST(UploadPolicy, ReadsTheSettingsAndKeepsTheDefaultForAValueOutOfRange) {
  struct Case {
    const char* lines;
    int connections;
    int retries;
    int give_up_after;
    const char* warning;  // empty: none
  };
  const Case cases[] = {
      {"", 1, 2, 5, ""},
      {"\"UploaderConnections\"=dword:00000010\r\n\"UploaderRetries\"=dword:00000000\r\n"
       "\"UploaderGiveUpAfter\"=dword:00000001",
       16, 0, 1, ""},
      {"\"UploaderConnections\"=dword:00000011", 1, 2, 5,
       "UploaderConnections is not a dword of 1 to 16; the default 1 is used"},
      {"\"UploaderConnections\"=dword:00000000", 1, 2, 5, "UploaderConnections"},
      {"\"UploaderRetries\"=dword:ffffffff", 1, 2, 5,
       "UploaderRetries is not a dword of 0 or more; the default 2 is used"},
      {"\"UploaderGiveUpAfter\"=dword:00000000", 1, 2, 5,
       "UploaderGiveUpAfter is not a dword of 1 or more; the default 5 is used"},
      {"\"UploaderGiveUpAfter\"=\"3\"", 1, 2, 5, "UploaderGiveUpAfter"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.lines);
    UploadHome home;
    home.SetProgramKey(c.lines);
    std::vector<std::string> warnings;
    const UploadPolicy policy = UploadPolicy::FromRegistry(warnings);
    EXPECT_EQ(policy.connections, c.connections);
    EXPECT_EQ(policy.retries, c.retries);
    EXPECT_EQ(policy.give_up_after, c.give_up_after);
    if (*c.warning == '\0') {
      EXPECT_TRUE(warnings.empty());
    } else {
      ASSERT_EQ(warnings.size(), 1u);
      EXPECT_NE(warnings[0].find(c.warning), std::string::npos) << warnings[0];
    }
  }
  const UploadPolicy policy;
  EXPECT_EQ(policy.WaitBefore(1, std::nullopt), 1.0);
  EXPECT_EQ(policy.WaitBefore(2, std::nullopt), 4.0);
  EXPECT_EQ(policy.WaitBefore(1, 7.0), 7.0);
  EXPECT_EQ(policy.WaitBefore(1, 600.0), 60.0);
}

// The key is the SHA-256 of ImpID, LF, FN, LF and the body, ImpID and FN as escaped in
// the address: receivers may recompute it.
TEST(IdempotencyKey, HashesRuleFileNameAndBodyAndNeedsAReadableFile) {
  TestFolder out;
  WriteBytes(out.File("a.xml"), "<xml/>");
  EXPECT_EQ(IdempotencyKey("Rule%201", "a%20b.xml", out.File("a.xml")),
            "5e5d0f4c79d23500a628f39117c275e2bd49e6924fb957e5b35eec0b5397eb90");
  EXPECT_NE(IdempotencyKey("Rule%201a", "%20b.xml", out.File("a.xml")),
            IdempotencyKey("Rule%201", "a%20b.xml", out.File("a.xml")));
  EXPECT_EQ(IdempotencyKey("R", "a.xml", out.File("missing.xml")), std::nullopt);
  EXPECT_EQ(IdempotencyKey("R", "a.xml", out.Path().string()), std::nullopt);
}

}  // namespace
}  // namespace qv
