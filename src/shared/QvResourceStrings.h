#pragma once

#include <string>
#include <string_view>

namespace qv {

// Display texts by resource identifier, in one culture.
//
// Cultures held: "en-US" and "de-DE" (matched without regard to case). Any other
// culture, or none, gives the en-US texts. An identifier that has no text gives the
// identifier itself. Texts keep their "%1", "%2" ... placeholders for the caller to fill.
class QvResourceStrings {
 public:
  QvResourceStrings() = default;

  void SetCulture(std::string_view culture);
  const std::string& Culture() const { return culture_; }

  std::string GetString(std::string_view identifier) const;

 private:
  std::string culture_ = "en-US";
};

}  // namespace qv
