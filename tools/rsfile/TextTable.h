#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace rsfile {

// Columns of text aligned by their widths in code points.
class TextTable {
 public:
  explicit TextTable(std::vector<std::string> header);

  // Right-aligns a column (numbers).
  void AlignRight(size_t column);
  // A row with fewer cells than the header is padded with empty cells.
  void AddRow(std::vector<std::string> cells);
  size_t RowCount() const { return rows_.size(); }

  // Prints the header, a line of dashes under each column and the rows, every line
  // starting with `indent`. Columns are separated by two blanks; no line ends in blanks.
  void Print(std::ostream& out, const std::string& indent = {}) const;

 private:
  void PrintLine(std::ostream& out, const std::string& indent,
                 const std::vector<std::string>& cells) const;

  std::vector<std::string> header_;
  std::vector<bool> right_;
  std::vector<size_t> widths_;
  std::vector<std::vector<std::string>> rows_;
};

}  // namespace rsfile
