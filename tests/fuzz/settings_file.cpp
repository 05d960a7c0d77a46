// The settings file: a recordset whose text values are in encoding 1, looked up by nID.
#include <cstdint>
#include <memory>

#include "FuzzInput.h"
#include "ado/Recordset.h"
#include "core/Error.h"
#include "shared/QvSharedStrings.h"
#include "xmlformat/XmlReader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  try {
    auto rs = std::make_shared<ado::Recordset>();
    rs->OpenWith(ado::ReadRecordsetXml(fuzz::AsText(data, size)));
    for (const int id : {1, 7, 11}) {
      rs->SetFilter("nID=" + std::to_string(id));
      if (rs->Eof()) continue;
      const std::string text = qv::QvSharedStrings::ToText(rs->Fields().Item("tValue").Value());
      (void)qv::QvSharedStrings::Decode1(text);
    }
  } catch (const core::Error&) {
  }
  return 0;
}
