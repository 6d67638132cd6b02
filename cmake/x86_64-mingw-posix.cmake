# Cross toolchain: the same sources built for 64-bit Windows (x64) with
# MinGW-w64, run under 64-bit Wine; see cmake/i686-mingw-posix.cmake.
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(TEBO_ARCH x64)
set(TEBO_MINGW x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-posix.cmake)
