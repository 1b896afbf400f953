#!/usr/bin/env bash
# Mounts (or unmounts) the small file systems of the disk tests:
#   smallfs.sh mount DIR | umount DIR
# DIR: a 512 KB tmpfs, for the disk-full test.
# DIR-ro: a tmpfs holding t.dat, remounted read-only, for the read-only
# folder test (the folder attribute means nothing to Windows file systems,
# and root may write into any folder, so only a read-only mount refuses).
# Where mounting is not allowed, DIR.why says why and the tests skip.
set -u
dir=$2
case $1 in
mount)
  mkdir -p "$dir" "$dir-ro"
  rm -f "$dir.why"
  if out=$(mount -t tmpfs -o size=512k tmpfs "$dir" 2>&1); then
    echo "512k tmpfs" > "$dir/.mounted"
  else
    echo "mount -t tmpfs failed: $out" > "$dir.why"
  fi
  if mount -t tmpfs -o size=64k tmpfs "$dir-ro" 2>/dev/null; then
    printf 'the old file in a read-only folder\r\n' > "$dir-ro/t.dat"
    echo "read-only tmpfs" > "$dir-ro/.mounted"
    mount -o remount,ro "$dir-ro" || umount "$dir-ro"
  fi
  ;;
umount)
  for d in "$dir" "$dir-ro"; do
    if mountpoint -q "$d"; then umount "$d"; fi
  done
  ;;
esac
exit 0
