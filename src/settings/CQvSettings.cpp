#include "settings/CQvSettings.h"

#include <sys/stat.h>
#include <time.h>

#include <map>
#include <memory>
#include <mutex>
#include <optional>

#include "ado/Recordset.h"
#include "core/Clock.h"
#include "core/Error.h"
#include "fs/basFileSystemPaths.h"
#include "platform/ProgramFolder.h"
#include "shared/ErrorBoundary.h"
#include "shared/QvSharedADO.h"
#include "shared/QvSharedStrings.h"
#include "store/CQvXMLManip.h"

namespace qv {
namespace {

constexpr char kSettingsFileName[] = "QvExportSettings.xml";
constexpr int32_t kSettingsEncodeType = 1;

// What tells one state of the file from another.
struct FileStamp {
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  int64_t modified_ns = 0;
  int64_t changed_ns = 0;
  bool operator==(const FileStamp&) const = default;
};

constexpr int64_t kSecond = 1000000000;

int64_t Nanoseconds(const timespec& time) { return int64_t{time.tv_sec} * kSecond + time.tv_nsec; }

std::optional<FileStamp> StampOf(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return std::nullopt;
  return FileStamp{info.st_dev, info.st_ino, info.st_size, Nanoseconds(info.st_mtim),
                   Nanoseconds(info.st_ctim)};
}

// Whether the file's times lie a second back: a file written again within the tick of
// the clock that stamps it could keep the same stamp, so a fresher one is not kept.
bool SettledFor(const FileStamp& stamp) {
  const int64_t now_ns = core::UnixNanoseconds();
  return now_ns - stamp.modified_ns > kSecond && now_ns - stamp.changed_ns > kSecond;
}

// The values read from the file in the state `stamp`.
struct ReadValues {
  std::mutex mutex;
  std::string path;
  FileStamp stamp;
  std::map<int32_t, std::string> values;
};

ReadValues& Cache() {
  static ReadValues cache;
  return cache;
}

}  // namespace

std::string CQvSettings::GetSettingValue(int32_t lngSettingID) {
  return Guard<std::string>(
      ReportToErrorLog, {},
      [&](int& line) -> std::string {
        line = 1;
        const std::string path =
            ConcatenatePath(platform::ProgramFolder(), std::string(kSettingsFileName));
        // Taken before the read: a file changed meanwhile differs from it, and is read again.
        const std::optional<FileStamp> stamp = StampOf(path);
        ReadValues& cache = Cache();
        if (stamp) {
          const std::lock_guard<std::mutex> lock(cache.mutex);
          if (cache.path == path && cache.stamp == *stamp) {
            if (const auto known = cache.values.find(lngSettingID); known != cache.values.end())
              return known->second;
          }
        }
        CQvXMLManip xml;
        std::shared_ptr<ado::Recordset> rs = xml.OpenXMLToRS(path, true, kSettingsEncodeType);
        // An unreadable file has already been logged with its reason by the reader.
        if (!rs)
          throw core::Error(core::kErrObjectRequired, "CQvSettings", "No settings recordset");

        // A missing file gives a closed recordset, whose end test fails here.
        line = 2;
        std::string result;
        if (!rs->Eof()) {
          rs->SetFilter("nID=" + std::to_string(lngSettingID));
          if (!rs->Eof()) result = QvSharedStrings::ToText(rs->Fields().Item("tValue").Value());
        }
        line = 3;
        QvSharedADO().Release(rs);
        if (stamp && SettledFor(*stamp)) {
          const std::lock_guard<std::mutex> lock(cache.mutex);
          if (cache.path != path || !(cache.stamp == *stamp)) {
            cache.path = path;
            cache.stamp = *stamp;
            cache.values.clear();
          }
          cache.values[lngSettingID] = result;
        }
        return result;
      },
      Fixed("CQvSettings.GetSettingValue"));
}

}  // namespace qv
