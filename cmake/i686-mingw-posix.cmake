# Cross toolchain: 32-bit Windows DLLs and programs from Linux with MinGW-w64,
# run under 32-bit Wine.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(TEBO_ARCH x86)
set(TEBO_MINGW i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-posix.cmake)
