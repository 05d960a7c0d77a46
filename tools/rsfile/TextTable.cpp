#include "TextTable.h"

#include <algorithm>

#include "core/Text.h"

namespace rsfile {

TextTable::TextTable(std::vector<std::string> header)
    : header_(std::move(header)), right_(header_.size(), false), widths_(header_.size(), 0) {
  for (size_t i = 0; i < header_.size(); ++i) widths_[i] = core::CodePointCount(header_[i]);
}

void TextTable::AlignRight(size_t column) {
  if (column < right_.size()) right_[column] = true;
}

void TextTable::AddRow(std::vector<std::string> cells) {
  cells.resize(header_.size());
  for (size_t i = 0; i < cells.size(); ++i) {
    widths_[i] = std::max(widths_[i], core::CodePointCount(cells[i]));
  }
  rows_.push_back(std::move(cells));
}

void TextTable::PrintLine(std::ostream& out, const std::string& indent,
                          const std::vector<std::string>& cells) const {
  std::string line = indent;
  for (size_t i = 0; i < cells.size(); ++i) {
    if (i > 0) line += "  ";
    std::string padding(widths_[i] - core::CodePointCount(cells[i]), ' ');
    line += right_[i] ? padding + cells[i] : cells[i] + padding;
  }
  line.erase(line.find_last_not_of(' ') + 1);
  out << line << '\n';
}

void TextTable::Print(std::ostream& out, const std::string& indent) const {
  PrintLine(out, indent, header_);
  std::vector<std::string> rules;
  for (size_t width : widths_) rules.emplace_back(width, '-');
  PrintLine(out, indent, rules);
  for (const auto& row : rows_) PrintLine(out, indent, row);
}

}  // namespace rsfile
