#!/usr/bin/env bash
# Makes the release zip: the shipped i686 applier (win32 preset), the
# Windows mkpatch.exe and its window mkpatch-gui.exe (i686 too, so they
# run on every Windows), the Linux
# mkpatch (native-release preset) and the patch authors' docs, with a
# README of the zip's own (docs/release-README.md); then lists the zip and
# checks that it holds exactly those files and that every link in its
# pages leads to a file it holds.
#
#   bash scripts/package.sh [OUT.zip]       # builds what is missing
#   bash scripts/package.sh --check ZIP     # only the check
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
version=$(sed -n 's/^project(korvex VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
version=${version:-0}
expected="korvex-$version/applier.exe
korvex-$version/linux/mkpatch
korvex-$version/mkpatch.exe
korvex-$version/mkpatch-gui.exe
korvex-$version/docs/applier.md
korvex-$version/docs/mkpatch.md
korvex-$version/docs/mkpatch.zh-CN.md
korvex-$version/README.md"

check() {
  python3 - "$1" "$expected" <<'PY'
import sys, zipfile
zpath, expected = sys.argv[1], sorted(sys.argv[2].split("\n"))
with zipfile.ZipFile(zpath) as z:
    names = sorted(i.filename for i in z.infolist() if not i.is_dir())
    for i in z.infolist():
        print("%10d  %s" % (i.file_size, i.filename))
    bad = z.testzip()
if bad:
    sys.exit("package: %s is damaged in the zip" % bad)
if names != expected:
    sys.exit("package: the zip holds %s, expected %s" % (names, expected))
for n in names:
    if n.endswith(".exe"):
        with zipfile.ZipFile(zpath) as z:
            if z.read(n)[:2] != b"MZ":
                sys.exit("package: %s is no Windows program" % n)
import posixpath, re
with zipfile.ZipFile(zpath) as z:
    for n in names:
        if not n.endswith(".md"):
            continue
        text = z.read(n).decode("utf-8")
        for target in re.findall(r"\]\(([^)\s]+)\)", text):
            if re.match(r"[a-z]+:|#", target):
                continue
            path = posixpath.normpath(posixpath.join(posixpath.dirname(n), target.split("#")[0]))
            if path not in names:
                sys.exit("package: %s links to %s, which the zip does not hold" % (n, target))
print("package: %s holds the %d expected files, and every link in them leads to one"
      % (zpath, len(names)))
PY
}

if [ "${1:-}" = "--check" ]; then
  check "$2"
  exit
fi
out=${1:-$root/build/korvex-$version.zip}

cd "$root"
cmake --preset win32 >/dev/null
cmake --build --preset win32 -j2 --target applier mkpatch mkpatch-gui >/dev/null
cmake --preset native-release >/dev/null
cmake --build --preset native-release -j2 --target mkpatch >/dev/null

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
dir=$stage/korvex-$version
mkdir -p "$dir/linux" "$dir/docs"
cp build/win32/shell/applier.exe "$dir/applier.exe"
cp build/win32/tools/mkpatch/mkpatch.exe "$dir/mkpatch.exe"
cp build/win32/tools/mkpatch/mkpatch-gui.exe "$dir/mkpatch-gui.exe"
cp build/native-release/tools/mkpatch/mkpatch "$dir/linux/mkpatch"
cp docs/applier.md docs/mkpatch.md docs/mkpatch.zh-CN.md "$dir/docs/"
cp docs/release-README.md "$dir/README.md"
rm -f "$out"
python3 - "$stage" "$out" <<'PY'
import os, sys, zipfile
stage, out = sys.argv[1], sys.argv[2]
with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as z:
    for base, _, files in os.walk(stage):
        for f in sorted(files):
            path = os.path.join(base, f)
            info = zipfile.ZipInfo.from_file(path, os.path.relpath(path, stage))
            with open(path, "rb") as src:
                z.writestr(info, src.read(), zipfile.ZIP_DEFLATED)
PY
check "$out"
echo "package: wrote $out"
