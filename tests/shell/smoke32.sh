#!/usr/bin/env bash
# The 32-bit applier through the window driver (also 32-bit): a patch with
# Chinese names, the overwrite question, a Cancel and the restore file run
# afterwards; a format-2 patch with LZMA-coded streams, whole and damaged,
# with its restore file, and a signed one; and the message of a file
# without a container:
#   smoke32.sh PREFIX_DIR DRIVER.exe APPLIER.exe SCRATCH_DIR
# Needs a kernel that runs 32-bit programs (natively, or through qemu-i386
# registered with binfmt_misc) and wine's 32-bit loader. Where either is
# missing the test is skipped (exit 77) with the reason; it never passes
# without running.
set -u -o pipefail
server=$(command -v wineserver || echo /usr/lib/wine/wineserver64)
prefix=$1 driver=$2 applier=$3 scratch=$4
here=$(dirname "$(realpath "$0")")
skip() { echo "SKIPPED: $*"; exit 77; }

wine32=/usr/lib/wine/wine
# Under qemu-i386, wine cannot map its shared user data page unless qemu
# reserves the guest's whole 32-bit address space up front ("failed to map
# the shared user data: c0000018"); a native 32-bit kernel ignores this.
export QEMU_RESERVED_VA=${QEMU_RESERVED_VA:-0xffff0000}
[ -x "$wine32" ] || skip "wine's 32-bit loader ($wine32) is not installed (package wine32:i386)"
if ! WINEPREFIX=$(mktemp -d) WINEDEBUG=-all timeout 120 "$wine32" --version >/dev/null 2>&1; then
  skip "32-bit programs cannot run on this machine (no 32-bit kernel emulation or qemu-i386 binfmt registration)"
fi
command -v Xvfb >/dev/null || skip "Xvfb is not installed"

dfile=$(mktemp)
Xvfb -displayfd 9 -screen 0 1024x768x24 -nolisten tcp 9>"$dfile" >/dev/null 2>&1 &
xpid=$!
trap 'WINEPREFIX=$prefix "$server" -k >/dev/null 2>&1; kill $xpid 2>/dev/null; rm -f $dfile' EXIT
for _ in $(seq 100); do [ -s "$dfile" ] && break; sleep 0.1; done
export DISPLAY=":$(head -n1 "$dfile")" WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES='mscoree,mshtml='
export LC_ALL=zh_CN.UTF-8
"$wine32" wineboot -i >/dev/null 2>&1
reg=$(mktemp --suffix=.reg)
iconv -f UTF-8 -t GBK "$here/../../scripts/wine-prefix.reg" > "$reg"
"$wine32" regedit /S "$reg" >/dev/null 2>&1
rm -f "$reg"
"$wine32" "$driver" "$applier" "$scratch" --gtest_filter='Restore.*:Format2.*:NoContainer.ClearErrorAndNoMainWindow' | tr -d '\r'
