#pragma once

#include <string>
#include <string_view>

namespace qv::platform {

// Replaces the file at `path` with `bytes` (mode 0644): they go to a hidden temporary
// beside it (".<name>.XXXXXX"), which is flushed and renamed over the file, so a
// reader sees the old file or the new one whole. Returns 0, or the errno of the
// failure (the temporary is removed then and the old file stays).
int ReplaceFileAtomically(const std::string& path, std::string_view bytes);

}  // namespace qv::platform
