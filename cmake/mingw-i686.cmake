# Cross-build for 32-bit Windows, the product's own platform (Debian: g++-mingw-w64-i686-posix,
# binutils-mingw-w64-i686). Its tests run under Wine's 32-bit loader (package wine32:i386).
set(_mingw_triple i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
