#pragma once

#include <cstdint>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

namespace qv::test {

// One record of QvExportSettings.xml; a missing part is a null value.
struct SettingRecord {
  std::optional<int32_t> id;
  std::optional<std::string> encoded_value;  // tValue as stored: encoding 1, plain ASCII
};

// Writes an export settings file (fields nID and tValue) in the recordset layout.
inline void WriteExportSettings(const std::string& path,
                                const std::vector<SettingRecord>& records) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << "<xml xmlns:s=\"uuid:BDC6E3F0-6DA3-11d1-A2A3-00AA00C14882\""
         " xmlns:dt=\"uuid:C2F41010-65B3-11d1-A29F-00AA00C14882\""
         " xmlns:rs=\"urn:schemas-microsoft-com:rowset\" xmlns:z=\"#RowsetSchema\">\n"
         "\t<s:Schema id=\"RowsetSchema\">\n"
         "\t\t<s:ElementType name=\"row\" content=\"eltOnly\" rs:updatable=\"true\">\n"
         "\t\t\t<s:AttributeType name=\"nID\" rs:number=\"1\" rs:nullable=\"true\""
         " rs:writeunknown=\"true\">\n"
         "\t\t\t\t<s:datatype dt:type=\"int\" dt:maxLength=\"4\" rs:precision=\"10\""
         " rs:fixedlength=\"true\"/>\n"
         "\t\t\t</s:AttributeType>\n"
         "\t\t\t<s:AttributeType name=\"tValue\" rs:number=\"2\" rs:nullable=\"true\""
         " rs:writeunknown=\"true\">\n"
         "\t\t\t\t<s:datatype dt:type=\"string\" dt:maxLength=\"255\"/>\n"
         "\t\t\t</s:AttributeType>\n"
         "\t\t\t<s:extends type=\"rs:rowbase\"/>\n"
         "\t\t</s:ElementType>\n"
         "\t</s:Schema>\n"
         "\t<rs:data>\n";
  for (const SettingRecord& record : records) {
    out << "\t\t<z:row";
    if (record.id) out << " nID=\"" << *record.id << "\"";
    if (record.encoded_value) out << " tValue=\"" << *record.encoded_value << "\"";
    out << "/>\n";
  }
  out << "\t</rs:data>\n</xml>\n";
}

}  // namespace qv::test
