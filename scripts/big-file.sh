#!/usr/bin/env bash
# A file of more than 4 GiB (which the bare form cannot describe) patched
# end to end: a generated old/new pair (bench/big/make-pair.py: random
# bytes with edits, an insertion, a deletion and a moved block), then
# mkpatch build with the x86_64 applier, mkpatch verify, the patch applied
# through the applier's real window (shelldrive, under wine64 and Xvfb)
# and the patched file compared byte for byte with the new one. Prints
# each step's time, the patch's size and mkpatch's peak memory.
#   scripts/big-file.sh [SIZE] [WORK_DIR]     (default 5G, /tmp/korvex-big-file)
# Needs about 4 x SIZE of free disk. Not part of the tests (it takes
# minutes and gigabytes); its figures are in docs/benchmark.md.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
size=${1:-5G}
work=${2:-/tmp/korvex-big-file}
cd "$root"
cmake --preset native-release >/dev/null && cmake --build --preset native-release -j2 --target mkpatch >/dev/null
cmake --preset win64 >/dev/null && cmake --build --preset win64 -j2 --target applier shelldrive >/dev/null
mkpatch=$root/build/native-release/tools/mkpatch/mkpatch

step() { echo "== $*"; }
timed() { /usr/bin/time -f "   %e s, peak %M KiB" "$@"; }

rm -rf "$work"
step "pair of $size"
timed python3 bench/big/make-pair.py "$size" "$work"
step "target: a copy of the old folder"
cp -r "$work/old" "$work/target"
step "mkpatch build"
timed "$mkpatch" build "$work/old" "$work/new" -o "$work/patch.exe" --applier build/win64/shell/applier.exe -q
ls -l "$work/patch.exe"
step "mkpatch verify"
timed "$mkpatch" verify "$work/patch.exe" "$work/old" "$work/new" -q
step "applied through the applier's window"
timed tests/shell/run-in-xvfb.sh "$root/build/win64/tests/shell/wineprefix-gui" \
  "$root/build/win64/tests/shell/shelldrive.exe" run "$work/patch.exe" "$work/target" | iconv -f GBK -t UTF-8
step "the patched file against the new one"
cmp "$work/target/data.pak" "$work/new/data.pak" && echo "   identical: $(stat -c %s "$work/new/data.pak") bytes"
rm -rf "$work"
