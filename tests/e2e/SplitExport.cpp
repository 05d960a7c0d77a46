#include "e2e/SplitExport.h"

#include <gtest/gtest.h>

#include "e2e/ResultFile.h"

namespace qv::e2e {

namespace fs = std::filesystem;

std::string NumberedRowsSql(const std::string& table, int rows) {
  std::string sql = "CREATE TABLE " + table + "(id INTEGER, name VARCHAR(40));\n";
  for (int id = 1; id <= rows; ++id) {
    sql += "INSERT INTO " + table + " VALUES(" + std::to_string(id) + ", 'row " +
           std::to_string(id) + "');\n";
  }
  return sql;
}

std::vector<std::vector<int>> ExpectedParts(const std::vector<int>& ordered, int parts) {
  const size_t n = ordered.size();
  const size_t per_part = (n + static_cast<size_t>(parts) - 1) / static_cast<size_t>(parts);
  std::vector<std::vector<int>> pieces(static_cast<size_t>(parts));
  for (size_t k = 0; k < n; ++k) pieces[k / per_part].push_back(ordered[k]);
  return pieces;
}

std::vector<int> IdRange(int n, bool descending) {
  std::vector<int> ids;
  for (int k = 1; k <= n; ++k) ids.push_back(descending ? n + 1 - k : k);
  return ids;
}

std::vector<int> IdsIn(const fs::path& file) {
  std::vector<int> ids;
  for (const std::string& text : ResultFile::Read(file).Column("id"))
    ids.push_back(std::stoi(text));
  return ids;
}

void ExpectSplitExport(ProgramFolder& folder, const ExportRule& rule,
                       const std::vector<int>& ordered, int parts, bool check_received) {
  const fs::path target(rule.target_path);
  const fs::path last_tx = target.parent_path() / "LastTx";
  const std::vector<std::vector<int>> expected = ExpectedParts(ordered, parts);
  for (int i = 0; i < parts; ++i) {
    const std::string name = target.filename().string() + "_" + std::to_string(i);
    SCOPED_TRACE(rule.target_path + " part " + std::to_string(i));
    EXPECT_FALSE(fs::exists(target.parent_path() / name)) << "not moved after its upload";
    const fs::path sent = last_tx / name;
    ASSERT_TRUE(fs::exists(sent));
    EXPECT_EQ(IdsIn(sent), expected[static_cast<size_t>(i)]);
    if (!check_received) continue;
    const std::optional<std::string> received = folder.receiver().Received(rule.import_rule, name);
    ASSERT_TRUE(received.has_value()) << "the receiver has nothing under this name";
    EXPECT_EQ(*received, ReadText(sent));
  }
  EXPECT_FALSE(fs::exists(target.parent_path() /
                          (target.filename().string() + "_" + std::to_string(parts))));
}

}  // namespace qv::e2e
