#!/usr/bin/env bash
# Static checks of a built applier:
#   check-applier.sh APPLIER.exe OBJDUMP pe32|pe32+ MAX_BYTES
# the file format, the GUI subsystem, the container offset written after
# the mark equal to the file size, only the allowed DLLs (no C runtime),
# only the ANSI forms of functions, and the size limit. Prints every
# finding; exits 1 when any check fails.
set -u -o pipefail
file=$1 objdump=$2 kind=$3 max=$4
here=$(dirname "$(realpath "$0")")
fails=0
ok() { echo "ok: $*"; }
bad() { echo "FAIL: $*"; fails=$((fails + 1)); }

headers=$("$objdump" -p "$file") || { echo "FAIL: objdump cannot read $file"; exit 1; }
format=$("$objdump" -f "$file" | sed -n 's/.*file format //p')
case $kind in
  pe32) want=pei-i386 ;;
  pe32+) want=pei-x86-64 ;;
  *) echo "unknown kind $kind"; exit 2 ;;
esac
[ "$format" = "$want" ] && ok "format $format" || bad "format $format, expected $want"

magic=$(echo "$headers" | awk '/^Magic/ {print $2}')
if [ "$kind" = pe32 ]; then expect_magic=010b; else expect_magic=020b; fi
[ "$magic" = "$expect_magic" ] && ok "optional header magic $magic" || bad "magic $magic"

subsystem=$(echo "$headers" | awk '/^Subsystem/ {print $2}')
[ "$subsystem" = 00000002 ] && ok "GUI subsystem" || bad "subsystem $subsystem, expected 00000002 (GUI)"

if out=$("$here/../../shell/stamp-offset.sh" --check "$file" 2>&1); then ok "$out"; else bad "$out"; fi

size=$(stat -c %s "$file")
[ "$size" -le "$max" ] && ok "size $size <= $max" || bad "size $size > $max"

dlls=$(echo "$headers" | sed -n 's/^\s*DLL Name: //p' | tr 'a-z' 'A-Z' | sort)
for dll in $dlls; do
  case $dll in
    KERNEL32.DLL|USER32.DLL|COMDLG32.DLL|COMCTL32.DLL|ADVAPI32.DLL) ok "imports $dll" ;;
    *) bad "imports $dll, which a bare Windows may not have" ;;
  esac
done
echo "$dlls" | grep -qx COMCTL32.DLL || bad "no COMCTL32 import (the progress bar class)"

# imported names: "<hint> <name>" rows under each DLL; a W at the end (after
# a lower-case letter or digit) is the wide form
names=$(echo "$headers" | awk '/DLL Name:/ {on=1; next} on && NF==3 && $1 ~ /^[0-9a-f]+$/ {print $3} /^$/ {on=0}')
count=$(echo "$names" | grep -c . || true)
[ "$count" -gt 10 ] && ok "$count imported names read" || bad "only $count imported names read"
wide=$(echo "$names" | grep -E '[a-z0-9]W$' || true)
[ -z "$wide" ] && ok "no wide (W) functions" || bad "wide functions imported: $(echo $wide)"
for need in MessageBoxA CreateFileA GetOpenFileNameA DialogBoxParamA; do
  echo "$names" | grep -qx "$need" && ok "uses $need" || bad "$need not imported"
done
# InitCommonControls comes by ordinal 17, not by name
echo "$names" | grep -qx InitCommonControls && bad "InitCommonControls imported by name" ||
  ok "InitCommonControls not imported by name"
echo "$headers" | sed -n '/DLL Name: COMCTL32/,/^$/p' | grep -Eq '^\s+80+11\s' &&
  ok "COMCTL32 ordinal 17" || bad "COMCTL32 ordinal 17 not imported"

[ $fails -eq 0 ] && echo "all checks passed" || echo "$fails check(s) failed"
[ $fails -eq 0 ]
