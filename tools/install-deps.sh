#!/usr/bin/env bash
# Installs what the build and the tests need on a Debian machine (as root):
# the MinGW-w64 i686 and x86_64 cross compilers (posix threads), 64-bit Wine
# and, where this machine runs 32-bit programs (tools/arch.sh), 32-bit Wine;
# CMake, GoogleTest's sources, mutagen (an independent ID3 reader for the
# tests) and clang with its libFuzzer and sanitizer runtimes (the native fuzz
# run). Installs nothing that is already there.
set -eu
. "$(dirname "$0")/arch.sh"
need=()
command -v cmake >/dev/null || need+=(cmake)
for cpu in i686 x86-64; do
  triple=${cpu/-/_}-w64-mingw32
  command -v "$triple-g++-posix" >/dev/null || need+=("g++-mingw-w64-$cpu-posix")
  command -v "$triple-windres" >/dev/null || need+=("binutils-mingw-w64-$cpu")
done
[ -f /usr/src/googletest/CMakeLists.txt ] || need+=(googletest)
# Debian's python3 (a python3 earlier on PATH may lack Debian's modules).
/usr/bin/python3 -c 'import mutagen' 2>/dev/null || need+=(python3-mutagen)
[ -x /usr/lib/wine/wine64 ] || need+=(wine64)
command -v clang++ >/dev/null || need+=(clang)
ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1 ||
  need+=(libclang-rt-dev)
# 32-bit Wine only where it can run and is wanted.
i386=
if [ "${TEBO_ARCH:-}" != x64 ] && tebo_runs_32bit; then
  i386=yes
  dpkg -s wine32:i386 >/dev/null 2>&1 || need+=(wine32:i386)
fi
for extra in "$@"; do
  dpkg -s "$extra" >/dev/null 2>&1 || need+=("$extra")
done
if [ ${#need[@]} -gt 0 ]; then
  echo "installing: ${need[*]}"
  if ! command -v apt-get >/dev/null; then
    echo "error: no apt-get: install these Debian packages (or their equivalents) by hand: ${need[*]}" >&2
    exit 1
  fi
  if [ -n "$i386" ]; then
    dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
  fi
  apt-get update -qq
  if ! DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}" >/dev/null; then
    echo "error: could not install ${need[*]}: the build needs Debian's packages of them" >&2
    exit 1
  fi
fi
