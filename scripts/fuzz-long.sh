#!/usr/bin/env bash
# The long fuzz run: builds the libFuzzer targets (preset fuzz) and runs each
# until it has executed RUNS inputs (default 1,000,000) or for at most
# SECONDS, keeping what they learn between runs.
#   scripts/fuzz-long.sh [SECONDS_PER_TARGET] [TARGET...]
# Defaults: at most 1800 seconds for each of container, names, differential, lzma,
# roundtrip. The round trip builds a suffix array per input, so its inputs
# are kept to 1 KB to reach the count in that time.
# The working corpus lives in build/fuzz-long/<target>; an input that fails
# is written to build/fuzz-long/artifacts/. Copy such an input into
# tests/fuzz/corpus/regress/<target>/ once its fault is understood, so that
# ctest replays it from then on.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-1800}
runs=${RUNS:-1000000}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(container names differential lzma roundtrip)

build=build/fuzz
cmake --preset fuzz -B "$build" >/dev/null
cmake --build "$build" -j2 --target $(printf 'fuzz_%s ' "${targets[@]}")

out=build/fuzz-long
mkdir -p "$out/artifacts"
status=0
for t in "${targets[@]}"; do
  mkdir -p "$out/$t"
  inputs=(tests/fuzz/corpus/seeds/$t)
  [ -d tests/fuzz/corpus/regress/$t ] && inputs+=(tests/fuzz/corpus/regress/$t)
  len=4096
  [ "$t" = roundtrip ] && len=1024
  echo "== fuzz_$t: $runs inputs, at most $seconds s"
  if ! "$build/tests/fuzz/fuzz_$t" -runs="$runs" -max_total_time="$seconds" -max_len=$len -timeout=10 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="$out/artifacts/$t-" "$out/$t" "${inputs[@]}" \
      > "$out/$t.log" 2>&1; then
    status=1
    grep -E "check failed|SUMMARY|Test unit written" "$out/$t.log" || tail -20 "$out/$t.log"
  fi
  grep -E "stat::number_of_executed_units|stat::peak_rss_mb" "$out/$t.log" | sed "s/^/  $t: /"
  echo "  $t: corpus $(ls "$out/$t" | wc -l) inputs"
done
exit $status
