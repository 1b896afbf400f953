#!/usr/bin/env bash
# Installs what building and testing need on a Debian 12 machine, as root.
# Idempotent: a second run only checks and returns.
set -euo pipefail

packages=(
  cmake make g++ clang libclang-rt-dev googletest
  g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-i686 binutils-mingw-w64-x86-64
  wine wine64 xvfb xauth x11-utils imagemagick fonts-wqy-zenhei fonts-wine
  locales xdelta3 bsdiff zstd xz-utils liblzma-dev libdivsufsort-dev file python3 util-linux
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "setup: missing packages (${missing[*]}); run as root to install them" >&2
    exit 1
  fi
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# Code page 936 inside wine needs the zh_CN locale for Chinese file names.
if ! locale -a 2>/dev/null | grep -qi '^zh_CN\.utf-\?8$'; then
  if [ "$(id -u)" -eq 0 ]; then
    localedef -i zh_CN -f UTF-8 zh_CN.UTF-8
  else
    echo "setup: locale zh_CN.UTF-8 missing; run as root to make it" >&2
    exit 1
  fi
fi
echo "setup: ready"
