#!/usr/bin/env bash
# The long reliability runs under wine64 (preset win64): many more bent
# containers and kills than ctest makes, the 256 MB file, and the scale
# table (time per record and per MB at growing sizes), and kills of the
# real applier driven through its window (under Xvfb).
#   scripts/reliability-long.sh [MUTATIONS] [KILLS] [SEED] [APPLIER_KILLS]
# Defaults: 30000 bent containers, 2000 kills, seed 1, 200 applier kills.
set -euo pipefail
cd "$(dirname "$0")/.."
mutations=${1:-30000}
kills=${2:-2000}
seed=${3:-1}
applier_kills=${4:-200}

build=build/win64
cmake --preset win64 -B "$build" >/dev/null
cmake --build "$build" -j2 --target reliability_tests rel_helper rel_scale \
  applier shell_kill_applier_test
dir=$build/tests/reliability
run() { (cd "$dir" && "$OLDPWD/scripts/wine-run" "$OLDPWD/$build/wineprefix" "$@"); }

echo "== bent containers: $mutations, seed $seed"
KORVEX_MUTATIONS=$mutations KORVEX_SEED=$seed run ./reliability_tests.exe --gtest_filter='Bent.*'
echo "== kill anywhere: $kills runs, seed $seed"
KORVEX_KILLS=$kills KORVEX_SEED=$seed run ./reliability_tests.exe --gtest_filter='KillAnywhere.*'
echo "== a 256 MB file"
run ./rel_scale.exe file 256
echo "== scale table"
run ./rel_scale.exe bench 256
echo "== kill anywhere through the applier's window: $applier_kills kills, seed $seed"
KORVEX_KILLS=$applier_kills KORVEX_SEED=$seed tests/shell/run-in-xvfb.sh "$PWD/$build/tests/shell/wineprefix-gui" \
  "$PWD/$build/tests/shell/shell_kill_applier_test.exe" "$PWD/$build/shell/applier.exe" "$PWD/$build/tests/shell/scratch"
