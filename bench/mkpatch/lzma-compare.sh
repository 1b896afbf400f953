#!/usr/bin/env bash
# The LZMA encoder beside xz on the given files: stream sizes, CPU seconds
# and peak memory of each, one markdown row per file.
#   lzma-compare.sh BENCH_PROGRAM FILE...
# BENCH_PROGRAM is mkpatch_lzma_bench (best build: native-release). Columns:
# xz's raw LZMA1 at preset 9e (lc=3,lp=0,pb=2, the same stream kind as
# ours), xz -9 (.xz container, for reference), then ours at effort Best and
# Fast. CPU time is given, as the machines are shared and the wall clock
# says more about the neighbours than about the program.
set -euo pipefail
bench=$1
shift
measure() {  # prints "bytes cpu_seconds peak_MiB" of the command's stdout
  local t
  t=$(mktemp)
  local bytes
  bytes=$( { /usr/bin/time -f '%U %M' -o "$t" "$@" | wc -c; } )
  read -r cpu kib < "$t"
  rm -f "$t"
  echo "$bytes $cpu $((kib / 1024))"
}
ours() {  # like measure, for the bench program (its own size column)
  local t
  t=$(mktemp)
  local line
  line=$(/usr/bin/time -f '%U %M' -o "$t" "$bench" "$@" | head -1)
  read -r cpu kib < "$t"
  rm -f "$t"
  echo "$(echo "$line" | awk '{print $3}') $cpu $((kib / 1024))"
}
echo "| file | bytes | xz raw 9e | xz -9 | ours best | best/xz9e | ours fast | fast/xz9e |"
echo "|---|---:|---:|---:|---:|---:|---:|---:|"
for f in "$@"; do
  size=$(stat -c %s "$f")
  read -r x9e x9ecpu x9emem < <(measure xz --format=raw --lzma1=preset=9e,lc=3,lp=0,pb=2 -c "$f")
  read -r x9 x9cpu x9mem < <(measure xz -9 -c "$f")
  read -r best bestcpu bestmem < <(ours "$f")
  read -r fast fastcpu fastmem < <(ours --fast "$f")
  awk -v f="$(basename "$f")" -v s="$size" -v a="$x9e" -v ac="$x9ecpu" -v am="$x9emem" -v b="$x9" -v bc="$x9cpu" \
      -v c="$best" -v cc="$bestcpu" -v cm="$bestmem" -v d="$fast" -v dc="$fastcpu" -v dm="$fastmem" 'BEGIN {
    mb = s / 1e6
    printf "| %s | %d | %d (%.2f MB/s, %d MiB) | %d (%.2f MB/s) | %d (%.2f MB/s, %d MiB) | %.4f | %d (%.2f MB/s, %d MiB) | %.4f |\n",
      f, s, a, mb / ac, am, b, mb / bc, c, mb / cc, cm, c / a, d, mb / dc, dm, d / a }'
done
