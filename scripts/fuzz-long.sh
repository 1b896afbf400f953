#!/usr/bin/env bash
# The long fuzz run: builds the libFuzzer targets (preset fuzz) and runs each
# for a while, keeping what they learn between runs.
#   scripts/fuzz-long.sh [SECONDS_PER_TARGET] [TARGET...]
# Defaults: 600 seconds for each of container, names, differential, roundtrip.
# The working corpus lives in build/fuzz-long/<target>; an input that fails
# is written to build/fuzz-long/artifacts/. Copy such an input into
# tests/fuzz/corpus/regress/<target>/ once its fault is understood, so that
# ctest replays it from then on.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-600}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(container names differential roundtrip)

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
  echo "== fuzz_$t for $seconds s"
  if ! "$build/tests/fuzz/fuzz_$t" -max_total_time="$seconds" -max_len=4096 -timeout=10 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="$out/artifacts/$t-" "$out/$t" "${inputs[@]}" \
      > "$out/$t.log" 2>&1; then
    status=1
    grep -E "check failed|SUMMARY|Test unit written" "$out/$t.log" || tail -20 "$out/$t.log"
  fi
  grep -E "stat::number_of_executed_units|stat::peak_rss_mb" "$out/$t.log" | sed "s/^/  $t: /"
  echo "  $t: corpus $(ls "$out/$t" | wc -l) inputs"
done
exit $status
