#!/bin/bash
# What the x86 branch-target transform would gain: for each package of the
# corpus, its changed pairs coded by `mkpatch build --container-only` as
# they are, and again with branch_filter.c run on both sides of every ELF
# and PE file. Prints: package, bytes as they are, bytes filtered.
#   bench/mkpatch/branch-filter.sh BUILD_DIR PACKAGE...
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
mkpatch=$1/tools/mkpatch/mkpatch
shift
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cc -O2 -o "$work/branch_filter" "$root/bench/mkpatch/branch_filter.c"
corpus=$root/bench/corpus
for pkg in "$@"; do
  w=$work/$pkg
  mkdir -p "$w"
  (cd "$corpus/$pkg/new" && find . -type f) | while read -r f; do
    [ -f "$corpus/$pkg/old/$f" ] || continue
    cmp -s "$corpus/$pkg/old/$f" "$corpus/$pkg/new/$f" && continue
    for side in old new; do
      for form in plain filtered; do
        mkdir -p "$w/$form-$side/$(dirname "$f")"
        cp "$corpus/$pkg/$side/$f" "$w/$form-$side/$f"
      done
      case $(head -c4 "$w/filtered-$side/$f" | od -An -tx1 | tr -d ' \n') in
        7f454c46 | 4d5a*) "$work/branch_filter" "$w/filtered-$side/$f" 2>/dev/null ;;
      esac
    done
  done
  for form in plain filtered; do
    "$mkpatch" build "$w/$form-old" "$w/$form-new" -o "$w/$form.bin" --container-only --force -q >/dev/null
  done
  echo "$pkg $(stat -c %s "$w/plain.bin") $(stat -c %s "$w/filtered.bin")"
  rm -rf "$w"
done
