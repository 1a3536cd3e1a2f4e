# Cross-compiling the 64-bit (x64) Korvane.dll and korvane.exe with MinGW-w64 on Linux.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(KORVANE_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
