#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>

#include "ado/Recordset.h"
#include "support/TestFolder.h"

// Helpers shared by the XML reader and writer tests.
namespace ado::xml_test {

inline std::string SamplePath(std::string_view name) {
  return std::string(QV_TEST_DATA_DIR) + "/ado-samples/" + std::string(name);
}

inline std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  EXPECT_TRUE(in.good()) << path;
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline std::string Sample(std::string_view name) { return ReadBytes(SamplePath(name)); }

// The expected output of a writer test, kept in tests/data/xml-writer.
inline std::string Golden(std::string_view name) {
  return ReadBytes(std::string(QV_TEST_DATA_DIR) + "/xml-writer/" + std::string(name));
}

// The root element and namespace declarations ADO writes, around a schema or data
// fragment that lacks them.
inline std::string WrapFragment(std::string_view fragment) {
  return "<xml xmlns:s='uuid:BDC6E3F0-6DA3-11d1-A2A3-00AA00C14882'\n"
         "\txmlns:dt='uuid:C2F41010-65B3-11d1-A29F-00AA00C14882'\n"
         "\txmlns:rs='urn:schemas-microsoft-com:rowset'\n"
         "\txmlns:z='#RowsetSchema'>\n" +
         std::string(fragment) + "\n</xml>";
}

inline FieldDef MakeField(std::string name, int32_t type, int64_t defined_size, int32_t attributes,
                          uint8_t precision = 0, uint8_t scale = 0) {
  FieldDef field;
  field.name = std::move(name);
  field.type = type;
  field.defined_size = defined_size;
  field.attributes = attributes;
  field.precision = precision;
  field.numeric_scale = scale;
  return field;
}

// Recordset data with the given fields and no records.
inline RecordsetData MakeData(std::vector<FieldDef> fields) {
  RecordsetData data;
  data.records = RecordStore(fields.size());
  data.fields = std::move(fields);
  return data;
}

}  // namespace ado::xml_test
