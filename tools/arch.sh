# Which Windows architectures this machine builds and runs, and how each one's
# Wine is started. Sourced by the tools/*.sh commands; defines functions only.
#
# Both builds need an x86-64 Linux machine with Debian's 64-bit Wine. The
# 32-bit build's programs also need a kernel that runs 32-bit x86 programs
# (IA-32 emulation), which many virtual machines and sandboxes lack.
#
# TEBO_ARCH chooses by hand:
#   (unset)  both builds; the 32-bit one runs where 32-bit programs run
#   x64      as on a machine without 32-bit execution: the 64-bit build runs,
#            the 32-bit DLL is built and checked as a file only
#   x86      the 32-bit build alone (needs 32-bit execution)
#   all      both builds, both run (needs 32-bit execution)

# Succeeds when the kernel runs 32-bit x86 programs: a 96-byte static i386
# program (ELF header, one program header, then mov eax,1; mov ebx,7;
# int 0x80, that is exit(7)) must exit with 7. Needs nothing installed. The
# answer is kept in TEBO_PROBED_32BIT for the processes started from here.
tebo_runs_32bit() {
  if [ -z "${TEBO_PROBED_32BIT:-}" ]; then
    local probe status
    probe=$(mktemp "${TMPDIR:-/tmp}/tebo-i386-probe.XXXXXX")
    local elf='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00'
    elf+='\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00'
    elf+='\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00'
    elf+='\x00\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08'
    elf+='\x00\x80\x04\x08\x60\x00\x00\x00\x60\x00\x00\x00\x05\x00\x00\x00'
    elf+='\x00\x10\x00\x00\xb8\x01\x00\x00\x00\xbb\x07\x00\x00\x00\xcd\x80'
    printf "$elf" >"$probe"
    chmod +x "$probe"
    # "Exec format error" (126) where the kernel has no IA-32 emulation.
    status=0
    "$probe" 2>/dev/null || status=$?
    rm -f "$probe"
    if [ "$status" -eq 7 ]; then TEBO_PROBED_32BIT=yes; else TEBO_PROBED_32BIT=no; fi
    export TEBO_PROBED_32BIT
  fi
  [ "$TEBO_PROBED_32BIT" = yes ]
}

# Prints why the Windows programs of ARCH are not run here and succeeds; fails
# (printing nothing) when they are run.
tebo_skip_reason() {
  [ "$1" = x86 ] || return 1
  if [ "${TEBO_ARCH:-}" = x64 ]; then
    echo "TEBO_ARCH=x64 leaves out 32-bit x86 programs"
  elif ! tebo_runs_32bit; then
    echo "this kernel cannot execute 32-bit x86 programs"
  else
    return 1
  fi
}

# Checks the machine and TEBO_ARCH for ROLE (test or demo), says in one line
# what will run, and sets:
#   tebo_builds  the architectures to build (test: both unless TEBO_ARCH=x86;
#                demo: the one that plays)
#   tebo_runs    the architectures whose Windows programs run here
# Exits with a message where nothing can run.
tebo_plan() {
  local role=$1 machine choice=${TEBO_ARCH:-}
  machine=$(uname -m)
  if [ "$machine" != x86_64 ]; then
    echo "error: this machine is $machine, not x86-64: the Windows programs of the build run only under Wine on x86-64 Linux" >&2
    exit 1
  fi
  case "$choice" in
  "" | x86 | x64 | all) ;;
  *) echo "error: TEBO_ARCH=$choice: choose x86, x64 or all (or leave it unset)" >&2; exit 2 ;;
  esac
  if tebo_runs_32bit; then
    echo "32-bit x86 programs run on this machine."
  else
    echo "This machine cannot run 32-bit x86 programs: its kernel refuses a 32-bit test program (no IA-32 emulation)."
    if [ "$choice" = x86 ] || [ "$choice" = all ]; then
      echo "error: TEBO_ARCH=$choice needs 32-bit execution; use TEBO_ARCH=x64 or leave it unset" >&2
      exit 1
    fi
  fi
  local reason= instead=
  reason=$(tebo_skip_reason x86) || true
  instead="Instead: "
  [ "$choice" = x64 ] && instead="TEBO_ARCH=x64, as without 32-bit execution: "
  case "$role:$choice" in
  test:x86) tebo_builds="x86"; tebo_runs="x86" ;;
  test:*)
    tebo_builds="x86 x64"
    if [ -n "$reason" ]; then tebo_runs="x64"; else tebo_runs="x86 x64"; fi ;;
  demo:x64 | demo:)
    if [ -n "$reason" ]; then tebo_runs="x64"; else tebo_runs="x86"; fi
    tebo_builds=$tebo_runs ;;
  demo:*) tebo_builds="x86"; tebo_runs="x86" ;;
  esac
  if [ "$role" = test ] && [ -n "$reason" ]; then
    echo "${instead}the 64-bit (x64) build is tested under 64-bit Wine; the 32-bit (x86) build is made and its DLL checked as a file, its other tests are skipped."
  elif [ "$role:$choice" = test:x86 ]; then
    echo "TEBO_ARCH=x86: the 32-bit (x86) build alone is tested under Wine."
  elif [ "$role" = test ]; then
    echo "Both builds, 32-bit (x86) and 64-bit (x64), are tested under Wine."
  elif [ -n "$reason" ]; then
    echo "${instead}the demo plays with the 64-bit (x64) build under 64-bit Wine."
  else
    echo "The demo plays with the 32-bit (x86) build."
  fi
}

# Exports what Wine needs for ARCH (x86 or x64): WINEARCH, WINEDEBUG, for x64
# the 64-bit server, and sets tebo_wine to the loader. The 64-bit loader is
# started directly: the wine script and the server wrapper start the 32-bit
# ones wherever those are installed.
tebo_wine_env() {
  export WINEDEBUG=${WINEDEBUG:--all}
  case "$1" in
  x86)
    export WINEARCH=win32
    tebo_wine=/usr/lib/wine/wine
    tebo_wineserver=/usr/lib/wine/wineserver ;;
  x64)
    export WINEARCH=win64
    tebo_wine=/usr/lib/wine/wine64
    tebo_wineserver=/usr/lib/wine/wineserver64
    export WINESERVER=$tebo_wineserver ;;
  *) echo "error: unknown architecture $1 (x86 or x64)" >&2; exit 2 ;;
  esac
  if [ ! -x "$tebo_wine" ]; then
    local package=wine64
    [ "$1" = x86 ] && package=wine32:i386
    echo "error: $tebo_wine is missing: no Wine for $1 programs here (Debian's package $package; tools/install-deps.sh installs it)" >&2
    exit 1
  fi
}

tebo_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# Configures and builds the build folder DIR for ARCH (x86 or x64) with the
# project's settings (Release, warnings as errors); further arguments go to
# cmake. The output goes to DIR/build.log; on failure its errors are shown and
# the script exits.
tebo_build() {
  local arch=$1 dir=$2 toolchain
  shift 2
  case "$arch" in
  x86) toolchain=i686-mingw-posix.cmake ;;
  x64) toolchain=x86_64-mingw-posix.cmake ;;
  esac
  mkdir -p "$dir"
  if ! { cmake -S "$tebo_root" -B "$dir" -DCMAKE_BUILD_TYPE=Release \
           -DCMAKE_TOOLCHAIN_FILE="$tebo_root/cmake/$toolchain" \
           -DTEBO_WARNINGS_AS_ERRORS=ON "$@" &&
         cmake --build "$dir" -j"$(nproc)"; } >"$dir/build.log" 2>&1; then
    grep -E -i -m 40 "error|failed" "$dir/build.log" >&2 || tail -n 40 "$dir/build.log" >&2
    echo "error: the $arch build failed: the whole log is in $dir/build.log" >&2
    exit 1
  fi
}
