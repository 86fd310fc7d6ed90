# Cross-building for Windows 10 and later (x86-64) with Debian's mingw-w64.
# The -posix compiler variant is the one whose C++ library has std::thread.
# The GCC runtime, the C++ library and winpthreads are linked in statically,
# so the programs and DLLs need nothing beside them but the system's own DLLs.
#
# Natively on Windows (MSYS2's mingw-w64 shell) no toolchain file is needed:
# `cmake --preset windows-native` there uses the shell's gcc and g++.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(ZELT_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${ZELT_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ZELT_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${ZELT_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${ZELT_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Built programs (test discovery, the tests themselves) run under Wine here.
find_program(ZELT_WINE wine)
if(ZELT_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${ZELT_WINE})
endif()
