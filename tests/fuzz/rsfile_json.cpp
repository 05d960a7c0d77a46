// The JSON rsfile turns into a recordset file.
#include <cstdint>
#include <stdexcept>

#include "FuzzInput.h"
#include "JsonImport.h"
#include "ToolError.h"
#include "core/Error.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  try {
    (void)rsfile::ReadRecordsetJson(fuzz::AsText(data, size));
  } catch (const rsfile::ToolError&) {
  } catch (const core::Error&) {
  }
  return 0;
}
