// The port name as Korvane_Connect takes it: wide characters.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace korvane::tool {

// Decodes the name as UTF-8. The library encodes a wide name back to UTF-8 before it opens
// the path, so decoding UTF-8 here gives the exact bytes the user typed whatever LC_CTYPE
// says (mbstowcs would fail on a non-ASCII name under the C locale). Nothing for a name that
// is not valid UTF-8.
std::optional<std::wstring> widePortName(std::string_view name);

}  // namespace korvane::tool
