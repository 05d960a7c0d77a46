// registry.reg in any of the encodings and both header versions regedit writes.
#include <cstdint>

#include "FuzzInput.h"
#include "platform/RegistryFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  size_t warnings = 0;
  const auto registry = qv::platform::RegistryFile::Parse(fuzz::AsText(data, size), "registry.reg",
                                                          [&](const std::string&) { ++warnings; });
  for (const char* key : {"HKEY_LOCAL_MACHINE\\SOFTWARE\\Tolvane\\QvDataExporter", "HKLM\\Software",
                          "HKEY_CURRENT_USER"}) {
    (void)registry.KeyExists(key);
    (void)registry.GetValue(key, "UploaderURL");
    (void)registry.GetValue(key, "");
  }
  return 0;
}
