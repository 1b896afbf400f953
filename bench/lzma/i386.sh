#!/bin/sh
# Builds the i686 decoder benchmark (see lzma_bench_i386.cpp) with the
# host's gcc and runs it on each pair: ./i386.sh PACKED ORIGINAL [...]
# Needs only gcc's own headers: no 32-bit C library is linked.
set -e
root=$(cd "$(dirname "$0")/../.." && pwd)
out=${TMPDIR:-/tmp}/lzma_bench_i386
mkdir -p "$out/inc"
# The decoder includes <string.h>; without 32-bit libc headers, declare the
# three functions it uses (the harness defines them).
printf '%s\n' '#include <stddef.h>' \
  'extern "C" { void* memcpy(void*, const void*, size_t); void* memset(void*, int, size_t); void* memmove(void*, const void*, size_t); }' \
  > "$out/inc/string.h"
# The applier's code flags (KORVEX_SIZE_FLAGS in CMakeLists.txt), less -flto.
flags="-m32 -march=i686 -Oz -DNDEBUG -fno-exceptions -fno-rtti -fno-inline-functions-called-once
  -fno-tree-switch-conversion -fno-jump-tables -fomit-frame-pointer -mno-accumulate-outgoing-args
  -mpreferred-stack-boundary=2 -fno-asynchronous-unwind-tables -fno-unwind-tables -fno-stack-protector
  -ffreestanding -fno-pic -fno-pie -std=c++20 -I$out/inc -I$root"
g++ $flags -c "$root/core/lzma.cpp" -o "$out/lzma.o"
g++ $flags -O2 -fno-builtin -c "$root/bench/lzma/lzma_bench_i386.cpp" -o "$out/bench.o"
ld -m elf_i386 -static -e _start -o "$out/lzma_bench_i386" "$out/bench.o" "$out/lzma.o"
while [ $# -ge 2 ]; do "$out/lzma_bench_i386" 6 "$1" "$2"; shift 2; done
