#!/usr/bin/env bash
# The first command for a newcomer: installs what is missing, builds the
# plug-in, the tests and the demo tools, and plays the bundled sample media
# through the plug-in under Wine, with the stand-in guest and tag library.
# At the end the tag file that the plug-in wrote for the last track is shown
# in hex, next to what an independent ID3 reader (mutagen) makes of it.
# The whole chain runs as 32-bit (x86) programs where this machine runs them
# (tools/arch.sh finds out), else as 64-bit (x64) ones.
#   TEBO_ARCH=x86|x64  chooses by hand (x64: as without 32-bit execution)
#   BUILD_DIR=...      the parent of the build folders (default: build)
set -eu
cd "$(dirname "$0")/.."
root=$PWD
. tools/arch.sh
tebo_plan demo
bash tools/install-deps.sh
arch=$tebo_runs
tebo_wine_env "$arch"
build=${BUILD_DIR:-build}/$arch
echo "== building $arch into $build"
# The same settings as tools/run-tests.sh, so that both share one build.
tebo_build "$arch" "$build"
demo=$root/$build/demo

echo "== starting a private $arch Wine prefix in $build/wineprefix"
bash tools/wine-prefix.sh start "$build/wineprefix" "$arch"
trap 'bash "$root/tools/wine-prefix.sh" stop "$root/$build/wineprefix" "$arch"' EXIT
export WINEPREFIX=$root/$build/wineprefix

# The plug-in is made for a Japanese Windows: its texts are Shift-JIS and it
# hands tag texts on in the system's ANSI code page. A Japanese locale gives
# the Wine process that code page (932), so the Japanese sample reads right.
# (Wine knows the locale even where Linux has not installed it; env keeps
# the shell from warning about it.)
locale=ja_JP.UTF-8

# The Japanese sample plays last, so that its tag file is the one shown.
samples=(01-morning-light.mp3 03-cafe-utf16.mp3 04-id3v1-only.mp3
         05-no-tags.mp3 06-riff-info.wav 07-subject-only.wav
         02-sakura-japanese.mp3)
args=()
for s in "${samples[@]}"; do args+=("samples/$s"); done
rm -f "$demo/tebo_wrapper.mp3"

echo "== playing ${#samples[@]} samples through the plug-in, 5 times faster than real time"
echo "   (track 1 pauses at 1.5 s for 1.5 s; the guest's lines start with [guest])"
echo
# Wine's console can show Japanese in a terminal only when Linux has the
# locale; otherwise the output goes through a pipe, which gets UTF-8 (and a
# progress line per quarter instead of a bar drawn in place).
play() {
  (cd "$demo" && env LC_ALL="$locale" "$tebo_wine" plughost.exe --speed 5 \
     --pause 1:1.5:1.5 --configure "${args[@]}")
}
set +e
if locale -a 2>/dev/null | grep -qix ja_JP.utf8; then
  play
  status=$?
else
  play | cat
  status=${PIPESTATUS[0]}
fi
set -e

# A python3 that has mutagen (pyenv shims may hide the system's).
py=python3
for candidate in /usr/bin/python3 python3; do
  if "$candidate" -c 'import mutagen' 2>/dev/null; then py=$candidate; break; fi
done
echo
echo "== the last tag file, $build/demo/tebo_wrapper.mp3"
set +e
"$py" "$root/tools/samples/show_tag_file.py" "$demo/tebo_wrapper.mp3" \
  "$demo/samples/${samples[-1]}"
shown=$?
echo
echo "Done. Play your own files the same way: bash tools/play.sh FILE..."
[ "$status" -eq 0 ] && [ "$shown" -eq 0 ]
