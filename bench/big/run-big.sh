#!/usr/bin/env bash
# A large old/new pair (bench/big/make-pair.py) through mkpatch and
# xdelta3 -9 -B <old size>, in the same run: patch bytes, wall time and
# peak memory of each (from /usr/bin/time), and the patch checked byte for
# byte (mkpatch verify; xdelta3 -d for the peer).
#   bench/big/run-big.sh BUILD_DIR SIZE [WORK_DIR] [-- MKPATCH_BUILD_OPTIONS...]
# BUILD_DIR is a native-release build; SIZE as make-pair.py takes it (1.5G).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "$1" && pwd); size=$2; shift 2
work=${1:-/tmp/korvex-big}; [ $# -gt 0 ] && shift
[ "${1:-}" = "--" ] && shift
mkpatch=$build/tools/mkpatch/mkpatch
mkdir -p "$work"
if [ ! -f "$work/old/data.pak" ] || [ "$(cat "$work/size" 2>/dev/null)" != "$size" ]; then
  rm -rf "$work/old" "$work/new"
  python3 "$here/make-pair.py" "$size" "$work"
  echo "$size" > "$work/size"
fi
old_size=$(stat -c %s "$work/old/data.pak")

# runs a command under /usr/bin/time; prints "seconds peak_KiB"
timed() {
  /usr/bin/time -f "%e %M" -o "$work/time" "$@" >/dev/null
  cat "$work/time"
}

rm -f "$work/ours.bin" "$work/xdelta.vcdiff"
read -r ours_s ours_k < <(timed "$mkpatch" build "$work/old" "$work/new" --container-only -o "$work/ours.bin" -q "$@")
read -r xd_s xd_k < <(timed xdelta3 -9 -B "$old_size" -f -e -s "$work/old/data.pak" "$work/new/data.pak" "$work/xdelta.vcdiff")
ours_b=$(stat -c %s "$work/ours.bin"); xd_b=$(stat -c %s "$work/xdelta.vcdiff")

"$mkpatch" verify "$work/ours.bin" "$work/old" "$work/new" -q && ours_ok=yes || ours_ok=NO
xdelta3 -B "$old_size" -f -d -s "$work/old/data.pak" "$work/xdelta.vcdiff" "$work/xdelta.out"
cmp -s "$work/xdelta.out" "$work/new/data.pak" && xd_ok=yes || xd_ok=NO
rm -f "$work/xdelta.out"

printf '| tool | patch bytes | wall time | peak memory | checked |\n|---|---|---|---|---|\n'
printf '| mkpatch build %s | %s | %s s | %s MiB | %s |\n' "$*" "$ours_b" "$ours_s" "$((ours_k / 1024))" "$ours_ok"
printf '| xdelta3 -9 -B %s | %s | %s s | %s MiB | %s |\n' "$old_size" "$xd_b" "$xd_s" "$((xd_k / 1024))" "$xd_ok"
python3 -c "print('ours / xdelta3: bytes %.3fx, time %.2fx, memory %.2fx' % ($ours_b / $xd_b, $ours_s / max($xd_s, 0.01), $ours_k / $xd_k))"
