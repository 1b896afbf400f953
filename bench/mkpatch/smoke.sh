#!/usr/bin/env bash
# Runs the encoder benchmark on two small generated pairs; fails when a
# pair is not at the independent optimum or the suffix sorts disagree.
set -euo pipefail
bench=$1 dir=$2
mkdir -p "$dir"
head -c 200000 /dev/urandom > "$dir/old1"
{ head -c 120000 "$dir/old1"; printf 'inserted'; tail -c 70000 "$dir/old1"; head -c 5000 "$dir/old1"; } > "$dir/new1"
seq 1 20000 > "$dir/old2"
seq 1 20000 | sed 's/7$/seven/' > "$dir/new2"
"$bench" "$dir/old1" "$dir/new1" "$dir/old2" "$dir/new2"
