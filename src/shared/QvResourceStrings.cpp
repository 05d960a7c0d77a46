#include "shared/QvResourceStrings.h"

#include <array>

#include "core/Text.h"

namespace qv {
namespace {

struct ResourceText {
  std::string_view identifier;
  std::string_view en_us;
  std::string_view de_de;
};

constexpr std::array<ResourceText, 8> kTexts{{
    {"ERROR_TYPE_ID", "Error", "Fehler"},
    {"WARNING_TYPE_ID", "Warning", "Warnung"},
    {"INFO_TYPE_ID", "Information", "Information"},
    {"orbPathNotFoundError3", "The folder '%1' was not found.",
     "Der Ordner '%1' wurde nicht gefunden."},
    {"orbFileNotFoundError3", "The file '%1' was not found.",
     "Die Datei '%1' wurde nicht gefunden."},
    {"orbFileReadOnlyError", "The file '%1' is read-only.",
     "Die Datei '%1' ist schreibgesch\u00fctzt."},
    {"orbCouldNotGetAvailableDiskSpaceError2",
     "The available disk space for '%1' could not be determined.",
     "Der freie Speicherplatz f\u00fcr '%1' konnte nicht ermittelt werden."},
    {"orbCopyingFileError", "The file '%1' could not be copied to '%2': %3",
     "Die Datei '%1' konnte nicht nach '%2' kopiert werden: %3"},
}};

}  // namespace

void QvResourceStrings::SetCulture(std::string_view culture) {
  culture_ = core::EqualsIgnoreCase(culture, "de-DE") ? "de-DE" : "en-US";
}

std::string QvResourceStrings::GetString(std::string_view identifier) const {
  const bool german = culture_ == "de-DE";
  for (const ResourceText& text : kTexts) {
    if (text.identifier == identifier) {
      return std::string(german ? text.de_de : text.en_us);
    }
  }
  return std::string(identifier);
}

}  // namespace qv
