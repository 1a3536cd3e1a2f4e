// Where the Windows test programs load Korvane.dll from.
#pragma once

#include <windows.h>

#include <string>

namespace korvane::wine {

// The DLL beside the executable, by full path, so that no other copy on the search path can
// stand in for the one under test.
inline std::wstring dllBesideExecutable() {
    wchar_t self[MAX_PATH] = {};
    const DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring path(self, n);
    const std::size_t slash = path.find_last_of(L"\\/");
    path.erase(slash == std::wstring::npos ? 0 : slash + 1);
    return path + L"Korvane.dll";
}

}  // namespace korvane::wine
