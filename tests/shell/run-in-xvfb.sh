#!/usr/bin/env bash
# Runs a Windows program under wine64 on a private X display:
#   run-in-xvfb.sh PREFIX_DIR PROGRAM.exe [ARGS...]
# Starts Xvfb on a free display, runs the program through scripts/wine-run
# in the given prefix, then stops that prefix's wineserver (its desktop
# belongs to this display) and the X server. Exits with the program's code.
set -u -o pipefail
server=$(command -v wineserver || echo /usr/lib/wine/wineserver64)
here=$(dirname "$(realpath "$0")")
root=$(realpath "$here/../..")
prefix=$(realpath -m "$1")
shift

command -v Xvfb >/dev/null || { echo "run-in-xvfb: Xvfb is not installed (scripts/setup.sh)" >&2; exit 1; }

dfile=$(mktemp)
Xvfb -displayfd 9 -screen 0 1024x768x24 -nolisten tcp 9>"$dfile" >/dev/null 2>&1 &
xpid=$!
cleanup() {
  WINEPREFIX="$prefix" "$server" -k >/dev/null 2>&1 || true
  kill "$xpid" 2>/dev/null
  wait "$xpid" 2>/dev/null
  rm -f "$dfile"
}
trap cleanup EXIT
for _ in $(seq 100); do
  [ -s "$dfile" ] && break
  sleep 0.1
done
[ -s "$dfile" ] || { echo "run-in-xvfb: Xvfb did not start" >&2; exit 1; }
export DISPLAY=":$(head -n1 "$dfile")"

# a server left from an earlier run would still draw on its old display
WINEPREFIX="$prefix" "$server" -k >/dev/null 2>&1 || true
"$root/scripts/wine-run" "$prefix" "$@"
