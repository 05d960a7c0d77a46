// A data source's connection string, through everything the program does with one.
#include <cstdint>

#include "FuzzInput.h"
#include "core/Error.h"
#include "db/OdbcConnectionString.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text = fuzz::AsText(data, size);
  try {
    (void)ado::ParseConnectionString(text);
    (void)ado::MaskConnectionString(text);
    (void)ado::ValueOf(text, "PWD");
    (void)ado::WithoutKey(text, "Driver");
    (void)ado::PrepareConnectionString(text);
    (void)ado::SqliteDatabasePath(text);
  } catch (const core::Error&) {
  }
  return 0;
}
