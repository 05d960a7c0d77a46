#include "ado/Recordset.h"
#include "core/Text.h"
#include "values/RecordsetErrors.h"

namespace ado {

void Stream::SetPosition(int64_t position) {
  if (position < 0 || position > char_count_) {
    ThrowAdoError(core::kErrInvalidArgument, kStreamSource,
                  "position " + std::to_string(position) + " is outside the stream");
  }
  position_ =
      static_cast<int64_t>(core::CodePointPrefix(text_, static_cast<size_t>(position)).size());
  char_position_ = position;
}

bool Stream::EOS() const { return position_ >= static_cast<int64_t>(text_.size()); }

int64_t Stream::Size() const { return char_count_; }

std::string Stream::ReadText(int64_t count) {
  std::string_view rest = std::string_view(text_).substr(static_cast<size_t>(position_));
  std::string_view taken =
      count < 0 ? rest : core::CodePointPrefix(rest, static_cast<size_t>(count));
  position_ += static_cast<int64_t>(taken.size());
  char_position_ += static_cast<int64_t>(core::CodePointCount(taken));
  return std::string(taken);
}

void Stream::WriteText(std::string_view text) {
  const auto written = static_cast<int64_t>(core::CodePointCount(text));
  const auto at = static_cast<size_t>(position_);
  const std::string_view over =
      core::CodePointPrefix(std::string_view(text_).substr(at), static_cast<size_t>(written));
  const auto replaced = static_cast<int64_t>(core::CodePointCount(over));
  text_.replace(at, over.size(), text);
  position_ += static_cast<int64_t>(text.size());
  char_position_ += written;
  char_count_ += written - replaced;
}

}  // namespace ado
