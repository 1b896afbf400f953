#!/usr/bin/env bash
# Writes an applier's own size into its container offset and checks it:
#   stamp-offset.sh APPLIER.exe          write, then check
#   stamp-offset.sh --check APPLIER.exe  only check
# The offset follows the mark "KORVEX-APPLIER" 0x1A 0x00 as 4 little-endian
# bytes. The file is first padded with zeros to a multiple of 512 bytes if
# it is not one already (the linker's file alignment makes it one). Any
# disagreement fails loudly, so a build never ships a wrong offset.
set -euo pipefail

check_only=0
if [ "${1:-}" = "--check" ]; then check_only=1; shift; fi
file=${1:?usage: stamp-offset.sh [--check] APPLIER.exe}

fail() { echo "stamp-offset: $file: $*" >&2; exit 1; }

mark_positions() {
  LC_ALL=C grep -obUaF 'KORVEX-APPLIER' "$file" | cut -d: -f1 || true
}

read_u32() {  # read_u32 OFFSET
  local b
  b=$(od -An -tu1 -j "$1" -N4 "$file" | tr -s ' ' | sed 's/^ //')
  set -- $b
  [ $# -eq 4 ] || fail "cannot read 4 bytes at $1"
  echo $(( $1 | $2 << 8 | $3 << 16 | $4 << 24 ))
}

positions=$(mark_positions)
[ -n "$positions" ] || fail "no mark found"
[ "$(echo "$positions" | wc -l)" -eq 1 ] || fail "more than one mark: $(echo $positions)"
pos=$positions
tail=$(od -An -tx1 -j $((pos + 14)) -N2 "$file" | tr -d ' \n')
[ "$tail" = "1a00" ] || fail "mark at $pos is not followed by 1a 00"
at=$((pos + 16))

if [ $check_only -eq 0 ]; then
  size=$(stat -c %s "$file")
  if [ $((size % 512)) -ne 0 ]; then
    size=$(( (size + 511) / 512 * 512 ))
    truncate -s "$size" "$file"
  fi
  printf "$(printf '\\x%02x\\x%02x\\x%02x\\x%02x' $((size & 255)) $((size >> 8 & 255)) \
    $((size >> 16 & 255)) $((size >> 24 & 255)))" |
    dd of="$file" bs=1 seek="$at" conv=notrunc status=none
fi

# The PE checksum (when the linker wrote one): the file's 16-bit words
# summed with carries folded back, the field itself left out, plus the
# file's size. Written again after the offset, so it covers the stamp.
pe_checksum() {
  local field=$1
  od -An -v -tu2 --endian=little "$file" | tr -s ' ' '\n' | awk -v skip=$((field / 2)) -v size="$(stat -c %s "$file")" '
    NF { if (n != skip && n != skip + 1) { s += $1; s = s % 65536 + int(s / 65536) } n++ }
    END { s = s % 65536 + int(s / 65536); print s + size }'
}
pe=$(read_u32 60)
field=$((pe + 24 + 64))
if [ $check_only -eq 0 ] && [ "$(read_u32 $field)" -ne 0 ]; then
  sum=$(pe_checksum $field)
  printf "$(printf '\\x%02x\\x%02x\\x%02x\\x%02x' $((sum & 255)) $((sum >> 8 & 255)) \
    $((sum >> 16 & 255)) $((sum >> 24 & 255)))" |
    dd of="$file" bs=1 seek="$field" conv=notrunc status=none
fi
stored=$(read_u32 $field)
if [ "$stored" -ne 0 ]; then
  sum=$(pe_checksum $field)
  [ "$stored" -eq "$sum" ] || fail "PE checksum $stored differs from the file's $sum"
fi

size=$(stat -c %s "$file")
offset=$(read_u32 "$at")
[ "$offset" -eq "$size" ] || fail "container offset $offset differs from the file size $size"
echo "stamp-offset: $file: container offset $offset = file size"
