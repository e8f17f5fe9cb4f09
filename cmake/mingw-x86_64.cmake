# The same sources for 64-bit Windows (Debian: g++-mingw-w64-x86-64-posix). Only for running the
# Windows suites under wine64 on machines whose kernel runs no 32-bit programs (and so no 32-bit
# Wine); the product itself is the 32-bit build.
set(_mingw_triple x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)
