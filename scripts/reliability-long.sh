#!/usr/bin/env bash
# The long reliability runs under wine64 (preset win64): many more bent
# containers and kills than ctest makes, the 256 MB file, and the scale
# table (time per record and per MB at growing sizes).
#   scripts/reliability-long.sh [MUTATIONS] [KILLS] [SEED]
# Defaults: 30000 bent containers, 2000 kills, seed 1.
set -euo pipefail
cd "$(dirname "$0")/.."
mutations=${1:-30000}
kills=${2:-2000}
seed=${3:-1}

build=build/win64
cmake --preset win64 -B "$build" >/dev/null
cmake --build "$build" -j2 --target reliability_tests rel_helper rel_scale
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
