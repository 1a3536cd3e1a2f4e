// Turning the caller's wide-character port name into the path the system opens.
// Pure functions, so that both platforms' rules are testable anywhere.
#pragma once

#include <cstddef>

namespace korvane {

// Windows: "\\.\" + name into a 64-character buffer. A longer path is cut to its first
// 63 characters (room for a 59-character name) and still used.
constexpr std::size_t kWindowsDevicePathChars = 64;
void windowsDevicePath(const wchar_t* name, wchar_t (&path)[kWindowsDevicePathChars]);

// POSIX: the name as UTF-8; an absolute path is used as is, anything else gets "/dev/" in
// front. False for an empty name, a name that is not valid Unicode, or a path that does not
// fit the buffer. wchar_t holds UTF-32 here (UTF-16 where wchar_t is 16 bits wide).
bool devicePathFromName(const wchar_t* name, char* path, std::size_t size);

}  // namespace korvane
