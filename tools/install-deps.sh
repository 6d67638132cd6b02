#!/usr/bin/env bash
# Installs what the build and the tests need on a Debian machine (as root):
# the MinGW-w64 i686 cross compiler (posix threads), 32-bit Wine, CMake,
# GoogleTest's sources, mutagen (an independent ID3 reader for the tests) and
# clang with its libFuzzer and sanitizer runtimes (the native fuzz run).
# Installs nothing that is already there.
set -eu
need=()
command -v cmake >/dev/null || need+=(cmake)
command -v i686-w64-mingw32-g++-posix >/dev/null || need+=(g++-mingw-w64-i686-posix)
command -v i686-w64-mingw32-windres >/dev/null || need+=(binutils-mingw-w64-i686)
[ -f /usr/src/googletest/CMakeLists.txt ] || need+=(googletest)
# Debian's python3 (a python3 earlier on PATH may lack Debian's modules).
/usr/bin/python3 -c 'import mutagen' 2>/dev/null || need+=(python3-mutagen)
command -v wine >/dev/null || need+=(wine)
command -v clang++ >/dev/null || need+=(clang)
ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1 ||
  need+=(libclang-rt-dev)
dpkg -s wine32:i386 >/dev/null 2>&1 || need+=(wine32:i386)
for extra in "$@"; do
  dpkg -s "$extra" >/dev/null 2>&1 || need+=("$extra")
done
if [ ${#need[@]} -gt 0 ]; then
  echo "installing: ${need[*]}"
  dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}" >/dev/null
fi
