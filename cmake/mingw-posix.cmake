# What both cross toolchains share: Windows programs and DLLs from Linux with
# the MinGW-w64 compilers of TEBO_MINGW (a target triple), set by the
# toolchain file that includes this one. The posix-threads variant is needed
# by GoogleTest (std::mutex); the product itself uses no threading from the
# C++ library.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER   ${TEBO_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TEBO_MINGW}-g++-posix)
set(CMAKE_RC_COMPILER  ${TEBO_MINGW}-windres)
set(TEBO_OBJDUMP       ${TEBO_MINGW}-objdump)

set(CMAKE_FIND_ROOT_PATH /usr/${TEBO_MINGW})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Test programs run under the Wine of TEBO_ARCH (tools/wine-run.sh), or are
# reported as skipped where that architecture's programs cannot run.
set(CMAKE_CROSSCOMPILING_EMULATOR
    bash ${CMAKE_CURRENT_LIST_DIR}/../tools/wine-run.sh ${TEBO_ARCH})
