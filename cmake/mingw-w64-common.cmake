# What the two MinGW-w64 toolchain files share; each sets CMAKE_SYSTEM_PROCESSOR and
# KORVANE_MINGW_TRIPLE before including this.
#
# The -posix variant of the compilers is required: the -win32 threading model of GCC 12 has
# no std::thread or std::mutex, which the velocity worker and the connection locks use.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${KORVANE_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KORVANE_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${KORVANE_MINGW_TRIPLE}-windres)

# Libraries and headers come from the cross sysroot only, never from the build machine;
# programs (code generators, test drivers) from the build machine only.
set(CMAKE_FIND_ROOT_PATH /usr/${KORVANE_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# msvcrt's printf family does not know C99 formats such as %zu or %lld, though GCC's format
# checks assume them; MinGW's own implementations do.
add_compile_definitions(__USE_MINGW_ANSI_STDIO=1)

# Debug data in every build, Release too: the Windows release ships the binaries stripped, with
# this data in separate .debug files beside them (scripts/package.sh), so that a crash report
# from a user can still be read. -g changes no generated code.
add_compile_options(-g)

# Programs built here run under Wine on the build machine.
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
