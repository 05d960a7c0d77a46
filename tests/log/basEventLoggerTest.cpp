#include "log/basEventLogger.h"

#include <gtest/gtest.h>

#include "log/CQvEventLogger.h"
#include "support/ProgramHome.h"

namespace qv {
namespace {

TEST(basEventLogger, TraceEventFailureReachesTheLogFile) {
  test::ProgramHome home;
  TraceEventLogger().Level(-1);
  CQvEventLogger newest;  // points the application log into this program folder
  TraceEvent("CQvDataExporter.ExportAll, @Line#4",
             core::ErrorRecord{76, "", "Path not found", "", 0}, kEventWarning, 1);
  TraceEvent(".GetBodyFromTextFile, Start, File:x", {}, kEventInformation, 128);

  const std::string log = home.AppLogText();
  EXPECT_NE(log.find("\tError\tCQvDataExporter.ExportAll, @Line#4\tError: #76\tSource: \t"
                     "Description: Path not found"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("\tInformation\t.GetBodyFromTextFile, Start, File:x"), std::string::npos);
}

TEST(basEventLogger, TraceEventFiltersByTheLevelOfItsLogger) {
  test::ProgramHome home;
  TraceEventLogger().Level(1);
  CQvEventLogger newest;
  TraceEvent("detail trace", {}, kEventInformation, 128);
  TraceEvent("export progress", {}, kEventInformation, 1);
  TraceEventLogger().Level(-1);

  const std::string log = home.AppLogText();
  EXPECT_EQ(log.find("detail trace"), std::string::npos);
  EXPECT_NE(log.find("export progress"), std::string::npos);
}

}  // namespace
}  // namespace qv
