#pragma once

#include <cstdint>
#include <string>

#include "shared/QvSharedRegistry.h"
#include "values/Variant.h"

namespace qv {

// Root keys, numerically as the Windows registry API names them (kHKeyLocalMachine
// comes with QvSharedRegistry.h).
inline constexpr uint32_t kHKeyClassesRoot = 0x80000000u;
inline constexpr uint32_t kHKeyCurrentUser = 0x80000001u;
inline constexpr uint32_t kHKeyUsers = 0x80000003u;

// Reads one value of the program's registry file below `root`\`key_path`\`sub_key`.
// Texts (plain and expandable) come back as text without one terminating NUL, 32-bit
// numbers as a whole number, binary values as the text "<Binary Data>". A missing
// root, key or value, or a value of any other kind, gives an empty value. Never throws.
ado::Variant ReadRegistryValue(uint32_t root, const std::string& key_path,
                               const std::string& sub_key, const std::string& value_name);

// The name of a root key as the registry file writes it ("HKEY_LOCAL_MACHINE" ...);
// empty for an unknown root.
std::string RegistryRootName(uint32_t root);

}  // namespace qv
