# Settings for a Windows build (cross-built with cmake/toolchain-mingw-w64.cmake,
# or natively in MSYS2's mingw-w64 shell): Windows 10 and later, x86-64.

# The Windows 10 API, and the wide (W) calls named explicitly where text crosses
# into the system, so no UNICODE switch decides what a name means.
add_compile_definitions(_WIN32_WINNT=0x0A00 WINVER=0x0A00 NTDDI_VERSION=0x0A000000 WIN32_LEAN_AND_MEAN NOMINMAX)
# The C++ runtime formats by the C standard (mingw-w64's own printf), so the
# formats are checked against that dialect rather than Microsoft's.
add_compile_definitions(ZELT_PRINTF_FORMAT=gnu_printf)

# The GCC runtime, the C++ library and winpthreads linked into every program
# and DLL, so the program directory needs no runtime DLLs beside them.
add_link_options(-static -static-libgcc -static-libstdc++)

# The internet route needs GStreamer's webrtcbin and friends, not built for Windows yet.
if(ZELT_INTERNET_ROUTE MATCHES "^(ON|YES|TRUE|Y|1)$")
  message(FATAL_ERROR "ZELT_INTERNET_ROUTE=ON: the internet route is not available on Windows yet; "
                      "configure with -DZELT_INTERNET_ROUTE=OFF (the windows preset does).")
endif()
set(ZELT_INTERNET_ROUTE OFF CACHE STRING "libpppp's internet route: AUTO (on when its packages are found), ON or OFF" FORCE)

# Cross-built programs run under Wine: in a prefix of the build's own (never the
# user's), started once on first use, with Wine's own chatter off.
if(CMAKE_CROSSCOMPILING)
  find_program(ZELT_WINE wine)
  if(ZELT_WINE)
    find_program(ZELT_WINEBOOT wineboot REQUIRED)
    set(ZELT_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
    configure_file(${CMAKE_CURRENT_LIST_DIR}/wine-run.sh.in ${CMAKE_BINARY_DIR}/wine-run @ONLY
                   FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run)
  else()
    message(STATUS "Windows build: no wine found; the tests can be built but not run here")
  endif()
endif()
