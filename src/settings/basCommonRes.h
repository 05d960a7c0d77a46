#pragma once

#include <string>

// The culture of the program's display texts and the common resource strings.
namespace qv {

// The "Culture" entry of section "Localization" in rxglobal.ini of the program folder;
// "en-US" when the file, the entry or its value is missing. Read on every call.
std::string GetCulture();

// The display text of a resource identifier in the culture that was current at the
// first call of the process (later changes of rxglobal.ini do not count). The text
// keeps its "%1" placeholders. Empty after a failure (logged).
std::string LoadCommonResString(const std::string& identifier);

// Makes LoadCommonResString the source of the lower layers' resource texts
// (LoadResourceText). The program calls it at start.
void InstallCommonResources();

// Drops the resource component, so that the next LoadCommonResString reads the culture
// again.
void ReleaseCommonResStrings();

}  // namespace qv
