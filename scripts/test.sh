#!/usr/bin/env bash
# Runs every test: installs what is missing (Debian 12, as root), then
# configures, builds (warnings are errors) and tests each flavour:
#   native  host build with AddressSanitizer and UBSan: core, mkpatch
#   win64   x86_64 Windows build, tests under wine64 (and Xvfb for windows)
#   win32   i686 Windows build, the shipped applier: static checks
#   fuzz    clang libFuzzer targets, short bounded runs and saved inputs
# Usage: scripts/test.sh [PRESET...]   (default: all four)
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

bash scripts/setup.sh || exit 1

presets=("$@")
[ ${#presets[@]} -gt 0 ] || presets=(native win64 win32 fuzz)
jobs=$(nproc)
passed=0
failed=0
skipped=0
status=0
logdir=$root/build/test-logs
mkdir -p "$logdir"

for p in "${presets[@]}"; do
  echo "=== $p: configure and build"
  if ! cmake --preset "$p" -DKORVEX_WERROR=ON >"$logdir/$p-configure.log" 2>&1; then
    cat "$logdir/$p-configure.log"
    echo "=== $p: configure FAILED"
    status=1
    continue
  fi
  if ! cmake --build --preset "$p" -j"$jobs" >"$logdir/$p-build.log" 2>&1; then
    grep -E "error|warning" "$logdir/$p-build.log" | head -50
    echo "=== $p: build FAILED (log: $logdir/$p-build.log)"
    status=1
    continue
  fi
  echo "=== $p: test"
  ctest --preset "$p" -j"$jobs" 2>&1 | tee "$logdir/$p-test.log"
  rc=${PIPESTATUS[0]}
  [ "$rc" -eq 0 ] || status=1
  line=$(grep -E '[0-9]+% tests passed, [0-9]+ tests failed out of [0-9]+' "$logdir/$p-test.log" | tail -1)
  if [ -n "$line" ]; then
    f=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\1/' <<<"$line")
    n=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\2/' <<<"$line")
    s=$(grep -cE '^[[:space:]]*[0-9]+ - .*\(Skipped\)$' "$logdir/$p-test.log")
    passed=$((passed + n - f - s))
    failed=$((failed + f))
    skipped=$((skipped + s))
  elif [ "$rc" -ne 0 ]; then
    failed=$((failed + 1))
  fi
done

# Stop the wineservers that the Windows tests kept alive.
for prefix in "$root"/build/*/wineprefix; do
  [ -d "$prefix" ] && WINEPREFIX=$prefix wineserver -k >/dev/null 2>&1
done

echo "total: $passed passed, $failed failed, $skipped skipped"
exit $status
