#include "core/SpareFile.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "core/Error.h"
#include "support/TestFolder.h"

namespace core {
namespace {

std::string Read(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Targets new and old, replaced in turn through one spare: each holds exactly its last
// bytes, nothing else is left in the folder once the spare goes, and a target in a
// missing folder fails naming it.
TEST(SpareFile, ReplacesEachTargetWholeThroughOneSpare) {
  qv::test::TestFolder folder;
  const auto path = [&](const std::string& name) { return (folder.Path() / name).string(); };
  {
    SpareFile spare(path(".spare"), "test");
    for (int round = 0; round < 3; ++round) {
      for (const char* name : {"a.xml", "b.xml", "c.xml"}) {
        const std::string bytes(static_cast<size_t>(100 * (round + 1)), name[0]);
        spare.Replace(path(name), bytes + std::to_string(round), round == 2);
      }
    }
    for (const char* name : {"a.xml", "b.xml", "c.xml"}) {
      EXPECT_EQ(Read(path(name)), std::string(300, name[0]) + "2") << name;
    }
    try {
      spare.Replace(path("missing/d.xml"), "d", false);
      ADD_FAILURE() << "a target in a missing folder was put in place";
    } catch (const Error& error) {
      EXPECT_NE(error.record().description.find("missing/d.xml"), std::string::npos)
          << error.record().description;
    }
  }
  std::set<std::string> left;
  for (const auto& entry : std::filesystem::directory_iterator(folder.Path())) {
    left.insert(entry.path().filename().string());
  }
  EXPECT_EQ(left, (std::set<std::string>{"a.xml", "b.xml", "c.xml"}));
}

}  // namespace
}  // namespace core
