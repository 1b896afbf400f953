#!/usr/bin/env bash
# Lets a machine whose kernel cannot run 32-bit programs run the shipped
# 32-bit applier under wine, through qemu's i386 user emulation, so that the
# shell_smoke32 test (win32 preset) runs instead of skipping. Debian 12, as
# root. Opt-in: while the registration stands, every new 64-bit wine prefix
# also sets up its 32-bit side under emulation, which takes minutes.
#   scripts/setup-32bit.sh            install and register
#   scripts/setup-32bit.sh --remove   take the registration back
# On failure the last line of its output says why, in apt's own words where
# apt failed (scripts/test.sh shows that line when it skips the stage).
# SETUP32_TRIES (default 2) and SETUP32_PAUSE (seconds before the second
# try, doubled before each further one; default 30) set the retries.
set -euo pipefail
binfmt=/proc/sys/fs/binfmt_misc
tries=${SETUP32_TRIES:-2}
pause=${SETUP32_PAUSE:-30}

# apt's reason for the failure logged in $1: the first index it could not
# fetch (apt says "E:" or "W:" by version), else its first error line; and
# the first unmet dependency when it names one.
apt_reason() {
  local error dep
  error=$(grep -m1 -E '^[EW]: Failed to fetch' "$1" || grep -m1 '^E: ' "$1" || true)
  dep=$(grep -m1 -E '(Pre)?Depends: |Conflicts: |Breaks: ' "$1" | sed -E 's/^[[:space:]]+//' || true)
  [ -n "$error" ] || error=$(grep -v '^[[:space:]]*$' "$1" | tail -1 || true)
  echo "${error:-apt-get gave no reason}${dep:+ [$dep]}"
}

# Installs the packages, updating the package lists first. A mirror that is
# being synced serves index files of the wrong size, or i386 packages older
# than the amd64 ones they must match, for a while: each try updates and
# installs again, after a pause that doubles. After the last, prints apt's
# reason and returns 1. The install is tried even when the update failed:
# the lists it did get may be enough.
apt_install() {
  local log try=1 wait=$pause
  log=$(mktemp)
  while :; do
    apt-get update -qq >"$log" 2>&1 || true
    if apt-get install -y -qq "$@" >>"$log" 2>&1; then
      rm -f "$log"
      return 0
    fi
    [ "$try" -lt "$tries" ] || break
    echo "setup-32bit: try $try of $tries failed: $(apt_reason "$log"); again in $wait s" >&2
    sleep "$wait"
    try=$((try + 1))
    wait=$((wait * 2))
  done
  echo "setup-32bit: $tries tries failed: $(apt_reason "$log"); trying the point release alone" >&2
  if apt_install_point_release "$log" "$@"; then
    rm -f "$log"
    return 0
  fi
  echo "setup-32bit: cannot install $* ($tries tries, then the point release alone): $(apt_reason "$log")" >&2
  rm -f "$log"
  return 1
}

# The security suite's i386 index has been seen out of step with its own
# Release file for days (wrong size), and apt then pairs the amd64 libraries
# of the security suite with older i386 ones from the point release, which
# multiarch forbids. Installing from a view of the sources without the
# security suites, in lists of its own, takes both architectures from the
# same point release; the system's own sources and lists are left as they
# are. Appends apt's output to the log $1.
apt_install_point_release() {
  local log=$1 view
  shift
  view=$(mktemp -d)
  mkdir -p "$view/lists/partial"
  # deb822 stanzas and one-line entries alike, the security ones left out
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -e "$f" ] && awk 'BEGIN { RS = ""; ORS = "\n\n" } !/-security/' "$f" > "$view/$(basename "$f")"
  done
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -e "$f" ] && grep -v -- '-security' "$f" > "$view/$(basename "$f").list" || true
  done
  local opts=(-o Dir::Etc::SourceList=/dev/null -o "Dir::Etc::SourceParts=$view"
              -o "Dir::State::Lists=$view/lists")
  local ok=1
  if apt-get "${opts[@]}" update -qq >>"$log" 2>&1 && apt-get "${opts[@]}" install -y -qq "$@" >>"$log" 2>&1; then
    ok=0
  fi
  rm -rf "$view"
  return $ok
}

main() {
  if [ "${1:-}" = "--remove" ]; then
    [ -e "$binfmt/qemu-i386" ] && echo -1 > "$binfmt/qemu-i386"
    echo "setup-32bit: qemu-i386 registration removed"
    return 0
  fi

  [ "$(id -u)" = 0 ] || { echo "setup-32bit: run as root" >&2; return 1; }
  export DEBIAN_FRONTEND=noninteractive
  local need=()
  [ -x /usr/bin/qemu-i386 ] || need+=(qemu-user)
  if [ ! -x /usr/lib/wine/wine ]; then
    dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
    # wine64 named too: left out, apt may take it away to make room for
    # wine32's dependencies (seen with the point release alone)
    need+=(wine32:i386 wine64 libwine:amd64)
  fi
  [ ${#need[@]} -eq 0 ] || apt_install "${need[@]}" || return 1

  if [ ! -e "$binfmt/register" ]; then
    mount -t binfmt_misc binfmt_misc "$binfmt" || {
      echo "setup-32bit: binfmt_misc cannot be mounted here; shell_smoke32 will skip" >&2
      return 1
    }
  fi
  if [ ! -e "$binfmt/qemu-i386" ]; then
    # 32-bit ELF executables of machine 3 (i386) go to qemu-i386; F opens the
    # interpreter now, so it also works inside other mount namespaces
    printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386:F' \
      > "$binfmt/register"
  fi
  echo "setup-32bit: ready; run: ctest --preset win32 -R shell_smoke32 -V (about 15 minutes)"
}

# Sourced, it only defines the functions (for a dry test of the retries).
if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  main "$@"
fi
