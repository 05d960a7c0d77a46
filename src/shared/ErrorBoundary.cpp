#include "shared/ErrorBoundary.h"

#include <filesystem>
#include <new>
#include <system_error>

namespace qv {

void ReportToErrorLog(const std::string& message, const core::ErrorRecord& error,
                      int32_t event_type, int32_t caller_level) {
  QvSharedErrorLog::Instance().LogEvent(message, error, event_type, caller_level);
}

core::ErrorRecord CurrentErrorRecord() {
  try {
    throw;
  } catch (const core::Error& e) {
    return e.record();
  } catch (const std::bad_alloc&) {
    return core::ErrorRecord{7, "", "Out of memory", "", 0};
  } catch (const std::filesystem::filesystem_error& e) {
    return core::ErrorRecord{75, "", e.what(), "", 0};  // Path/File access error
  } catch (const std::exception& e) {
    return core::ErrorRecord{51, "", e.what(), "", 0};  // Internal error
  } catch (...) {
    return core::ErrorRecord{51, "", "Unknown failure", "", 0};
  }
}

}  // namespace qv
