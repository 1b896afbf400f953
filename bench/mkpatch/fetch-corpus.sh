#!/usr/bin/env bash
# Fetches two versions of several Debian packages with apt-get download and
# unpacks them into bench/corpus/<package>/{old,new} (git ignores
# bench/corpus). The two versions are the two newest that apt knows of
# (here: bookworm and bookworm-security or bookworm-updates).
#   bench/mkpatch/fetch-corpus.sh [PACKAGE...]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
corpus=${CORPUS:-$here/../corpus}
packages=("$@")
if [ ${#packages[@]} -eq 0 ]; then
  # executables, shared libraries, data and locale files
  packages=(libc6 libc-bin libc-l10n locales libssl3 openssl tzdata systemd libsystemd-shared libcurl4 curl
            libpython3.11 libpython3.11-stdlib libxml2)
fi
mkdir -p "$corpus/debs"
for p in "${packages[@]}"; do
  mapfile -t versions < <(apt-cache madison "$p" | awk -F'|' '{gsub(/ /,"",$2); print $2}' | sort -uV -r)
  if [ ${#versions[@]} -lt 2 ]; then
    echo "fetch-corpus: $p: fewer than two versions available, skipped" >&2
    continue
  fi
  new=${versions[0]} old=${versions[1]}
  for v in "$old" "$new"; do
    (cd "$corpus/debs" && ls "${p}_${v//:/%3a}_"*.deb >/dev/null 2>&1 || apt-get download -qq "$p=$v")
  done
  rm -rf "$corpus/$p"
  mkdir -p "$corpus/$p/old" "$corpus/$p/new"
  dpkg-deb -x "$(ls "$corpus/debs/${p}_${old//:/%3a}_"*.deb)" "$corpus/$p/old"
  dpkg-deb -x "$(ls "$corpus/debs/${p}_${new//:/%3a}_"*.deb)" "$corpus/$p/new"
  echo "$old $new" > "$corpus/$p/versions"
  echo "fetch-corpus: $p $old -> $new"
done
