#!/usr/bin/env bash
# The demo: builds the applier and a sample patch from demo/old and
# demo/new, copies demo/old to a scratch folder and applies the patch there.
#   scripts/demo.sh
# With a display ($DISPLAY set) the patch opens in a window: type or browse
# to the folder it prints, press 开始安装 (Start) and answer the messages.
# Without one it runs on a private Xvfb display, is driven to the end by the
# test driver, and prints the outcome message. Either way it ends by
# printing what changed in the scratch folder.
# Build folders: the presets' (build/win64, build/native-release), or
# KORVEX_WIN64_BUILD / KORVEX_NATIVE_BUILD.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
win64=${KORVEX_WIN64_BUILD:-$root/build/win64}
native=${KORVEX_NATIVE_BUILD:-$root/build/native-release}
work=$win64/demo
prefix=$work/wineprefix

# Installs what is missing first (Debian 12, as root), so that this one
# command works on a fresh machine.
bash "$root/scripts/setup.sh"

echo "demo: building the applier (x86_64, the flavour that runs under wine64 here)"
cmake --preset win64 -B "$win64" >/dev/null
cmake --build "$win64" -j2 --target applier shelldrive >/dev/null
applier=$win64/shell/applier.exe

rm -rf "$work/target" "$work/patch.exe"
mkdir -p "$work"
patch=$work/patch.exe

echo "demo: making the patch from demo/old and demo/new"
made=0
if cmake --preset native-release -B "$native" >/dev/null 2>&1 &&
   cmake --build "$native" -j2 --target mkpatch >/dev/null 2>&1; then
  if "$native/tools/mkpatch/mkpatch" build "$root/demo/old" "$root/demo/new" -o "$patch" --applier "$applier"; then
    made=1
  fi
fi
if [ $made -eq 0 ]; then
  echo "demo: mkpatch did not build or run; using the test driver's container writer"
  "$root/scripts/wine-run" "$prefix" "$win64/tests/shell/shelldrive.exe" make \
    "$root/demo/old" "$root/demo/new" "$applier" "$patch"
fi

cp -r "$root/demo/old" "$work/target"
target_win="Z:$(echo "$work/target" | tr / '\\')\\"

if [ -n "${DISPLAY:-}" ]; then
  echo "demo: opening the patch in a window."
  echo "demo: type this folder (or choose any file in it with 浏览), then press 开始安装:"
  echo "      $target_win"
  "$root/scripts/wine-run" "$prefix" "$patch" || true
else
  echo "demo: no display; running the patch on a private Xvfb display, driven to the end"
  "$root/tests/shell/run-in-xvfb.sh" "$prefix" "$win64/tests/shell/shelldrive.exe" run "$patch" "$work/target" |
    iconv -f GBK -t UTF-8
fi

echo
echo "demo: what changed in $work/target (compared with demo/old and demo/new):"
cd "$root/demo/new"
find . -type f | sort | while read -r f; do
  f=${f#./}
  if [ ! -e "$work/target/$f" ]; then
    echo "  missing    $f"
  elif [ ! -e "$root/demo/old/$f" ]; then
    cmp -s "$f" "$work/target/$f" && echo "  added      $f" || echo "  WRONG      $f (added, but not as in demo/new)"
  elif cmp -s "$root/demo/old/$f" "$f"; then
    cmp -s "$f" "$work/target/$f" && echo "  unchanged  $f" || echo "  WRONG      $f (should be unchanged)"
  else
    if cmp -s "$f" "$work/target/$f"; then echo "  updated    $f"
    elif cmp -s "$root/demo/old/$f" "$work/target/$f"; then echo "  not updated $f"
    else echo "  WRONG      $f (neither old nor new)"; fi
  fi
done
echo
echo "demo: screenshots of the applier are in $root/docs/screenshots/ (scripts/screenshots.sh makes them again)"
