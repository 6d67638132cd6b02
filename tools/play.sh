#!/usr/bin/env bash
# Plays your own media files through the plug-in under Wine, with the host
# program and the stand-ins that tools/build-and-demo.sh built:
#   bash tools/play.sh [plughost options] FILE...
# e.g. bash tools/play.sh --speed 10 ~/Music/*.mp3   (see --help for options)
# It plays with the same architecture as the demo: 32-bit (x86) where this
# machine runs 32-bit programs, else 64-bit (x64); TEBO_ARCH=x86|x64 chooses.
# BUILD_DIR selects the parent of the build folders (default: build);
# TEBO_LOCALE the locale that gives Wine its ANSI code page (default:
# ja_JP.UTF-8, code page 932). Where Linux has not installed that locale, a
# private copy is made in the build folder (localedef, from Debian's package
# locales), so that file names beyond ASCII reach the player whole.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/tools/arch.sh"
tebo_plan demo >/dev/null
arch=$tebo_runs
build=$root/${BUILD_DIR:-build}/$arch
if [ ! -f "$build/demo/plughost.exe" ]; then
  echo "play.sh: $build/demo/plughost.exe is missing: run bash tools/build-and-demo.sh first" >&2
  exit 2
fi
bash "$root/tools/wine-prefix.sh" start "$build/wineprefix" "$arch"
trap 'bash "$root/tools/wine-prefix.sh" stop "$build/wineprefix" "$arch"' EXIT
tebo_wine_env "$arch"
export WINEPREFIX=$build/wineprefix
locale=${TEBO_LOCALE:-ja_JP.UTF-8}
# Wine reads the file names it is given in the character set of the Linux
# locale. A locale that Linux lacks falls back to ASCII, and a Japanese name
# arrives mangled ("Invalid name (error 123)"); Wine's code page comes from
# the locale's name either way. A copy compiled into the build folder and
# named through LOCPATH gives Linux the locale without installing it.
have_locale=no
if locale -a 2>/dev/null | grep -qix "${locale/UTF-8/utf8}"; then
  have_locale=yes
else
  mkdir -p "$build/locale"
  if [ -f "$build/locale/$locale/LC_CTYPE" ] ||
     localedef -i "${locale%%.*}" -f "${locale#*.}" "$build/locale/$locale" >/dev/null 2>&1 ||
     [ -f "$build/locale/$locale/LC_CTYPE" ]; then
    export LOCPATH=$build/locale
    have_locale=yes
  else
    echo "play.sh: note: Linux has no locale $locale and localedef cannot make one (Debian's package locales has its sources): only file names in ASCII will open" >&2
  fi
fi
# Relative and absolute Linux paths both work: Wine maps / to drive Z:.
set +e
# env, not export: the shell itself need not have that locale installed.
# Wine's console can show Japanese in a terminal only when Linux has the
# locale; otherwise the output goes through a pipe, which gets UTF-8 (and a
# progress line per quarter instead of a bar drawn in place).
if [ "$have_locale" = yes ]; then
  env LC_ALL="$locale" "$tebo_wine" "$build/demo/plughost.exe" "$@"
  status=$?
else
  env LC_ALL="$locale" "$tebo_wine" "$build/demo/plughost.exe" "$@" | cat
  status=${PIPESTATUS[0]}
fi
set -e
exit $status
