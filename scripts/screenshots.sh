#!/usr/bin/env bash
# Regenerates the applier's screenshots in docs/screenshots/: the main
# window (restore box checked), the question before the first write, the
# progress dialog with an overwrite question beside it, and the outcome
# message that lists the files not patched and names the restore file. The
# target is an installed program's folder on the prefix's drive C:. Then
# mkpatch's window (builder.png) with an author's project opened in it.
#   scripts/screenshots.sh [BUILD_DIR]   (default build/win64, the win64 preset)
# Runs the x86_64 applier under wine64 on a private Xvfb display with the
# CJK font; needs what scripts/setup.sh installs.
set -euo pipefail
server=$(command -v wineserver || echo /usr/lib/wine/wineserver64)
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/win64}
out=$root/docs/screenshots
work=$build/screenshots

cmake --preset win64 -B "$build" >/dev/null
cmake --build "$build" -j2 --target applier shelldrive mkpatch-gui >/dev/null

rm -rf "$work"
mkdir -p "$work/shots" "$out"
cp -r "$root/demo/old" "$work/target"
# a target that shows every kind of message: one file of another version,
# one missing, and one new file that already exists (the overwrite question)
printf 'edited by hand\n' >> "$work/target/game.ini"
rm "$work/target/data/text.dat"
printf 'old notes\n' > "$work/target/汉化说明.txt"

prefix=$build/screenshots-prefix
export WINEPREFIX=$prefix
run() { "$root/scripts/wine-run" "$prefix" "$@"; }
run "$build/tests/shell/shelldrive.exe" make "$root/demo/old" "$root/demo/new" \
  "$build/shell/applier.exe" "$work/patch.exe"
# The title bar's buttons are glyphs of the Marlett font; this wine build
# does not find its own copy, so the prefix gets one.
for f in /usr/share/wine/fonts/marlett.ttf; do
  [ -f "$f" ] && cp "$f" "$prefix/drive_c/windows/Fonts/"
done
# where a user has the program: C:\Program Files\幻想之旅\ in the prefix
game='Program Files/幻想之旅'
rm -rf "$prefix/drive_c/$game"
mkdir -p "$prefix/drive_c/Program Files"
cp -r "$work/target" "$prefix/drive_c/$game"

dfile=$(mktemp)
Xvfb -displayfd 9 -screen 0 1024x768x24 -nolisten tcp 9>"$dfile" >/dev/null 2>&1 &
xpid=$!
trap '"$server" -k >/dev/null 2>&1 || true; kill $xpid 2>/dev/null || true; rm -f "$dfile"' EXIT
for _ in $(seq 100); do [ -s "$dfile" ] && break; sleep 0.1; done
export DISPLAY=":$(head -n1 "$dfile")"
# the server of the make step drew nowhere; start afresh on this display
"$server" -k >/dev/null 2>&1 || true

run "$build/tests/shell/shelldrive.exe" run "$work/patch.exe" "C:\\Program Files\\幻想之旅" "$work/shots" \
  > "$work/run.log" 2>&1 &
driver=$!
taken=0
while kill -0 "$driver" 2>/dev/null; do
  for req in "$work"/shots/*.req; do
    [ -e "$req" ] || continue
    name=$(basename "$req" .req)
    read -r x y w h < "$req"
    import -window root -crop "${w}x${h}+${x}+${y}" +repage "$out/$name.png"
    echo "screenshots: $out/$name.png (${w}x${h})"
    taken=$((taken + 1))
    rm -f "$req"
    touch "$work/shots/$name.done"
  done
  sleep 0.1
done
wait "$driver" || { echo "screenshots: the run failed:" >&2; iconv -f GBK -t UTF-8 "$work/run.log" >&2; exit 1; }
iconv -f GBK -t UTF-8 "$work/run.log"
[ "$taken" -eq 4 ] || { echo "screenshots: $taken of 4 pictures taken" >&2; exit 1; }

# mkpatch's window with a project of an author's: folders on drive C:, the
# maker's title and lines, a registry value naming the game's folder
proj="$prefix/drive_c/users/Public/幻想之旅汉化.json"
mkdir -p "$(dirname "$proj")"
cat > "$proj" <<'JSON'
{"old": "C:\\汉化\\原版", "new": "C:\\汉化\\汉化版", "output": "C:\\汉化\\幻想之旅汉化补丁.exe",
 "title": "幻想之旅 汉化补丁", "about": ["幻想之旅 汉化补丁 1.2", "星光汉化组 制作"],
 "find_registry": "HKLM\\SOFTWARE\\Fantasy\\Journey\\InstallPath", "find_file": "game.ini",
 "version_info": {"CompanyName": "星光汉化组", "FileVersion": "1.2.0.0"}}
JSON
run "$build/tools/mkpatch/mkpatch-gui.exe" 'C:\users\Public\幻想之旅汉化.json' >/dev/null 2>&1 &
gui=$!
sleep 6
# the virtual desktop's top-left part, where the window opens
import -window root -crop 620x600+0+0 +repage "$out/builder.png"
echo "screenshots: $out/builder.png"
kill "$gui" 2>/dev/null || true
