// A recordset file as the reader takes it. What it reads, the writer writes and the
// reader reads back the same.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "FuzzInput.h"
#include "core/Error.h"
#include "xmlformat/XmlReader.h"
#include "xmlformat/XmlWriter.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ado::RecordsetData first;
  try {
    first = ado::ReadRecordsetXml(fuzz::AsText(data, size));
  } catch (const core::Error&) {
    return 0;
  }
  const std::string written = ado::RecordsetDataXmlToString(first);
  ado::RecordsetData again;
  try {
    again = ado::ReadRecordsetXml(written);
  } catch (const core::Error&) {
    std::abort();  // a file of ours that does not read back
  }
  const std::string rewritten = ado::RecordsetDataXmlToString(again);
  if (rewritten != written) {
    std::fprintf(stderr, "written:\n%s\nread back and written again:\n%s\n", written.c_str(),
                 rewritten.c_str());
    std::abort();
  }
  return 0;
}
