#include <gtest/gtest.h>

#include <string>

#include "RsfileRunner.h"

namespace rsfile_test {
namespace {

size_t CountOccurrences(const std::string& text, const std::string& what) {
  size_t count = 0;
  for (size_t pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1)) {
    ++count;
  }
  return count;
}

TEST(Rsfile, CheckAcceptsEveryCompleteSampleAndCountsItsContent) {
  TempFolder folder;
  size_t complete = 0;
  for (const auto& sample : SampleFiles()) {
    SCOPED_TRACE(sample.filename().string());
    if (IsFragmentSample(sample)) continue;
    ++complete;
    std::string xml = ReadFile(sample);
    size_t fields = CountOccurrences(xml, "<s:AttributeType");
    size_t records = CountOccurrences(xml, "<z:row");
    RunResult result = folder.Run({"check", sample.string()});
    EXPECT_EQ(result.exit_code, 0) << result.err;
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.out, sample.string() + ": ok, " + std::to_string(fields) +
                              (fields == 1 ? " field, " : " fields, ") + std::to_string(records) +
                              (records == 1 ? " record\n" : " records\n"));
  }
  EXPECT_GE(complete, 6u);
}

TEST(Rsfile, CheckRefusesFragmentSamplesWithAReason) {
  TempFolder folder;
  size_t fragments = 0;
  for (const auto& sample : SampleFiles()) {
    if (!IsFragmentSample(sample)) continue;
    SCOPED_TRACE(sample.filename().string());
    ++fragments;
    RunResult result = folder.Run({"check", sample.string()});
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_EQ(result.out, "");
    ASSERT_EQ(result.ErrLines().size(), 1u) << result.err;
    // The path, then a reason of its own.
    std::string prefix = "rsfile: " + sample.string() + ": ";
    EXPECT_TRUE(result.err.starts_with(prefix)) << result.err;
    EXPECT_GT(result.err.size(), prefix.size() + 5) << result.err;
  }
  EXPECT_EQ(fragments, 2u);
}

TEST(Rsfile, CopyKeepsEveryFieldAndValueOfEachSample) {
  TempFolder folder;
  for (const auto& sample : SampleFiles()) {
    if (IsFragmentSample(sample)) continue;
    SCOPED_TRACE(sample.filename().string());
    std::string copy = folder.File(sample.filename().string());
    RunResult original = folder.Run({"to-json", sample.string()});
    ASSERT_EQ(original.exit_code, 0) << original.err;
    RunResult copied = folder.Run({"copy", sample.string(), copy});
    ASSERT_EQ(copied.exit_code, 0) << copied.err;
    EXPECT_EQ(copied.out, "");
    RunResult again = folder.Run({"to-json", copy});
    ASSERT_EQ(again.exit_code, 0) << again.err;
    EXPECT_EQ(again.out, original.out);
    // A copy of the copy is the same file byte for byte.
    std::string second = folder.File("second.xml");
    ASSERT_EQ(folder.Run({"copy", copy, second}).exit_code, 0);
    EXPECT_EQ(ReadFile(second), ReadFile(copy));
  }
}

TEST(Rsfile, ShowPrintsEachSampleWithItsTypesAndRecordCount) {
  TempFolder folder;
  std::string sample = QV_TEST_DATA_DIR "/ado-samples/F02-jet40-winmss-TAG.xml";
  RunResult result = folder.Run({"show", sample});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_NE(result.out.find("3 adInteger"), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("202 adVarWChar"), std::string::npos) << result.out;
  EXPECT_TRUE(result.out.ends_with("\n3 records\n")) << result.out;
}

}  // namespace
}  // namespace rsfile_test
