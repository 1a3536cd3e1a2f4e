# Cross-compiling the 32-bit (x86) Korvane.dll and korvane.exe with MinGW-w64 on Linux, for
# the many hosts that still run as 32-bit processes and cannot load a 64-bit DLL.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(KORVANE_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
