// An initialisation file's bytes, decoded as the program decodes them, then read.
#include <cstdint>

#include "FuzzInput.h"
#include "platform/CodePage.h"
#include "platform/IniFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto ini =
      qv::platform::IniFile::Parse(qv::platform::DecodeTextFileBytes(fuzz::AsText(data, size)));
  for (const size_t buffer : {size_t{0}, size_t{1}, size_t{8}, size_t{4096}}) {
    (void)ini.GetString("General", "LogLevel", "default  ", buffer);
    (void)ini.GetString("", "", "", buffer);
  }
  return 0;
}
