#!/usr/bin/env bash
# Runs a Windows program of ARCH (x86 or x64) under that architecture's Wine:
# the emulator through which CTest starts the test programs.
#   tools/wine-run.sh ARCH PROGRAM [ARGUMENTS...]
# Where ARCH's programs do not run here (32-bit ones on a kernel without
# 32-bit execution, or with TEBO_ARCH=x64) it starts nothing, says why and
# exits with 77, which CTest reports as skipped (SKIP_RETURN_CODE).
set -eu
. "$(dirname "$0")/arch.sh"
arch=$1
shift
if reason=$(tebo_skip_reason "$arch"); then
  echo "skipped: $reason"
  exit 77
fi
tebo_wine_env "$arch"
exec "$tebo_wine" "$@"
