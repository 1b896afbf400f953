#!/usr/bin/env bash
# Mounts (or unmounts) a 512 KB tmpfs for the disk-full test:
#   smallfs.sh mount DIR | umount DIR
# Where mounting is not allowed, DIR.why says why and the test skips.
set -u
dir=$2
case $1 in
mount)
  mkdir -p "$dir"
  rm -f "$dir.why"
  if out=$(mount -t tmpfs -o size=512k tmpfs "$dir" 2>&1); then
    echo "512k tmpfs" > "$dir/.mounted"
  else
    echo "mount -t tmpfs failed: $out" > "$dir.why"
  fi
  ;;
umount)
  if mountpoint -q "$dir"; then umount "$dir"; fi
  ;;
esac
exit 0
