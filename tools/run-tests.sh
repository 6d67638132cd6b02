#!/usr/bin/env bash
# Installs what is missing, builds the plug-in, the test doubles and the
# tests with warnings as errors, and runs every test under Wine through CTest.
set -eu
cd "$(dirname "$0")/.."
tools/install-deps.sh
build=${BUILD_DIR:-build}
cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE=cmake/i686-mingw-posix.cmake \
  -DCMAKE_BUILD_TYPE=Release -DTEBO_WARNINGS_AS_ERRORS=ON >/dev/null
cmake --build "$build" -j"$(nproc)"
cd "$build"
ctest --output-on-failure -j2 --timeout 300
