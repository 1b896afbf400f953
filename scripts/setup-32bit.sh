#!/usr/bin/env bash
# Lets a machine whose kernel cannot run 32-bit programs run the shipped
# 32-bit applier under wine, through qemu's i386 user emulation, so that the
# shell_smoke32 test (win32 preset) runs instead of skipping. Debian 12, as
# root. Opt-in: while the registration stands, every new 64-bit wine prefix
# also sets up its 32-bit side under emulation, which takes minutes.
#   scripts/setup-32bit.sh            install and register
#   scripts/setup-32bit.sh --remove   take the registration back
set -euo pipefail
binfmt=/proc/sys/fs/binfmt_misc

if [ "${1:-}" = "--remove" ]; then
  [ -e "$binfmt/qemu-i386" ] && echo -1 > "$binfmt/qemu-i386"
  echo "setup-32bit: qemu-i386 registration removed"
  exit 0
fi

[ "$(id -u)" = 0 ] || { echo "setup-32bit: run as root" >&2; exit 1; }
export DEBIAN_FRONTEND=noninteractive
[ -x /usr/bin/qemu-i386 ] || apt-get install -y -qq qemu-user
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
  apt-get update -qq
fi
[ -x /usr/lib/wine/wine ] || apt-get install -y -qq wine32:i386

if [ ! -e "$binfmt/register" ]; then
  mount -t binfmt_misc binfmt_misc "$binfmt" || {
    echo "setup-32bit: binfmt_misc cannot be mounted here; shell_smoke32 will skip" >&2
    exit 1
  }
fi
if [ ! -e "$binfmt/qemu-i386" ]; then
  # 32-bit ELF executables of machine 3 (i386) go to qemu-i386; F opens the
  # interpreter now, so it also works inside other mount namespaces
  printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386:F' \
    > "$binfmt/register"
fi
echo "setup-32bit: ready; run: ctest --preset win32 -R shell_smoke32 -V (about 15 minutes)"
