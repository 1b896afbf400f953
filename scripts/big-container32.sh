#!/usr/bin/env bash
# The shipped i686 applier with a container larger than a 32-bit process
# could map (default 2.5 GB): a format-2 patch of one whole file of random
# bytes (stored, as no coder makes such bytes smaller), written here from
# docs/format.md, run unattended (/S /D=) under 32-bit wine through qemu's
# i386 emulation, then the made file compared byte for byte with the
# original. Prints each step's time and the applier's peak memory.
#   scripts/big-container32.sh [SIZE_MB] [WORK_DIR]   (default 2560, /tmp/korvex-big32)
# Needs scripts/setup-32bit.sh done, the win32 preset built and about
# 3 x SIZE of free disk. Not part of the tests; its figures are in
# docs/benchmark.md.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
mb=${1:-2560}
work=${2:-/tmp/korvex-big32}
applier=$root/build/win32/shell/applier.exe
prefix=$root/build/win32/tests/shell/wineprefix-32
[ -f "$applier" ] || { echo "build the win32 preset first" >&2; exit 2; }
export QEMU_RESERVED_VA=${QEMU_RESERVED_VA:-0xffff0000} WINEPREFIX=$prefix WINEDEBUG=-all
step() { echo "== $*"; }
timed() { /usr/bin/time -f "   %e s, peak %M KiB" "$@"; }

rm -rf "$work"
mkdir -p "$work/target"
step "$mb MB of AES-CTR bytes"
timed sh -c "head -c $((mb * 1024 * 1024)) /dev/zero | openssl enc -aes-128-ctr -nosalt -K 000102030405060708090a0b0c0d0e0f -iv 00000000000000000000000000000000 > '$work/data.pak'"
step "the patch: the applier and a format-2 container of one whole file"
timed python3 - "$applier" "$work/data.pak" "$work/patch.exe" <<'PY'
import struct, sys, zlib
applier, data, out = sys.argv[1:]
size, crc = 0, 0
with open(data, "rb") as f:
    while chunk := f.read(1 << 24):
        size += len(chunk)
        crc = zlib.crc32(chunk, crc)
name = b"data.pak"
entry = bytes([1, 0]) + struct.pack("<H", len(name)) + name + struct.pack("<QI", size, crc)
def stored(n):
    return struct.pack("<BBHIQQ", 0, 0, 0, 0, n, n)
head = b"KB2\x1a" + struct.pack("<I", 1) + stored(0) + stored(0) + stored(size) + stored(len(entry))
length = 32 + len(head) + size + len(entry) + 4
h = b"\xff\xffK2" + struct.pack("<HHIIQI", 3, 0, 1, 0, length, 0)
with open(out, "wb") as o, open(applier, "rb") as a, open(data, "rb") as f:
    o.write(a.read())
    o.write(h + struct.pack("<I", zlib.crc32(h)))
    o.write(head)
    block = zlib.crc32(head)
    while chunk := f.read(1 << 24):
        block = zlib.crc32(chunk, block)
        o.write(chunk)
    block = zlib.crc32(entry, block)
    o.write(entry + struct.pack("<I", block))
print("   container %d bytes" % length)
PY
ls -l "$work/patch.exe"
step "applied by the i686 applier: /S /D= under 32-bit wine"
rc=0
timed /usr/lib/wine/wine "$work/patch.exe" /S "/LOG=Z:${work//\//\\}\\log.txt" "/D=Z:${work//\//\\}\\target" || rc=$?
echo "   exit code $rc"
cat "$work/log.txt" 2>/dev/null | sed 's/^/   log: /' || true
step "the made file against the original"
cmp "$work/target/data.pak" "$work/data.pak" && echo "   identical: $(stat -c %s "$work/data.pak") bytes"
[ "$rc" -eq 0 ]
rm -rf "$work"
