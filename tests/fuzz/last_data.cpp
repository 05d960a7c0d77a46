// A file of last data or a page of it, read row by row into the index that modes 4 and 7
// compare the query with.
#include <cstdint>

#include "FuzzInput.h"
#include "core/Error.h"
#include "export/EntityIndex.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static fuzz::MemoryFile file;
  const std::string& path = file.Hold(fuzz::AsText(data, size));
  qv::EntityIndex index({"tName", "nAmount", "dChanged"}, "tSID");
  try {
    index.AddFile(path);
  } catch (const core::Error&) {
  }
  return 0;
}
