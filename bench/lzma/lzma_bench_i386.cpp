// The LZMA decoder's speed as i686 code, on a Linux host without 32-bit
// libraries or 32-bit wine: core/lzma.cpp compiled by the host's gcc for
// i686 with the applier's flags, and this harness with no C library at
// all (its own _start, system calls through int 0x80). Same work as
// lzma_bench: 64 KB reads, the first run checked against the original,
// the best of the runs printed by processor time. Built and run by
// bench/lzma/i386.sh.
//
//   lzma_bench_i386 RUNS PACKED ORIGINAL
#include <stddef.h>
#include <stdint.h>

#include "core/lzma.h"

extern "C" {
void* memcpy(void* d, const void* s, size_t n) {
    unsigned char* o = (unsigned char*)d;
    for (const unsigned char* i = (const unsigned char*)s; n--;) *o++ = *i++;
    return d;
}
void* memset(void* d, int c, size_t n) {
    for (unsigned char* o = (unsigned char*)d; n--;) *o++ = (unsigned char)c;
    return d;
}
void* memmove(void* d, const void* s, size_t n) {
    unsigned char* o = (unsigned char*)d;
    const unsigned char* i = (const unsigned char*)s;
    if (o < i) return memcpy(d, s, n);
    while (n--) o[n] = i[n];
    return d;
}
}

namespace {

long Sys(long nr, long a = 0, long b = 0, long c = 0) {
    long r;
    asm volatile("int $0x80" : "=a"(r) : "a"(nr), "b"(a), "c"(b), "d"(c) : "memory");
    return r;
}
enum { SYS_EXIT = 1, SYS_READ = 3, SYS_WRITE = 4, SYS_OPEN = 5, SYS_CLOCK_GETTIME = 265 };

void Put(const char* s) {
    size_t n = 0;
    while (s[n]) n++;
    Sys(SYS_WRITE, 1, (long)s, (long)n);
}
void PutNum(uint32_t v) {
    char b[12], *p = b + 11;
    *p = 0;
    do *--p = (char)('0' + v % 10); while (v /= 10);
    Put(p);
}

// Whole file into buf; its size, or -1.
long Load(const char* path, unsigned char* buf, long cap) {
    long fd = Sys(SYS_OPEN, (long)path, 0), n = 0, r;
    if (fd < 0) return -1;
    while (n < cap && (r = Sys(SYS_READ, fd, (long)(buf + n), cap - n)) > 0) n += r;
    return n < cap ? n : -1;
}

// Processor time of the process in microseconds, modulo 2^32 (32-bit
// arithmetic only: there is no libgcc for 64-bit division).
uint32_t CpuMicros() {
    struct { long sec, nsec; } t;
    Sys(SYS_CLOCK_GETTIME, 2 /* CLOCK_PROCESS_CPUTIME_ID */, (long)&t);
    return (uint32_t)t.sec * 1000000u + (uint32_t)t.nsec / 1000u;
}

enum { CAP = 32 << 20 };
unsigned char packed[CAP], original[CAP], dict[CAP], out[1 << 16];
LzmaDecoder dec;

bool DecodeOnce(long packedSize, long size, bool check) {
    uint32_t dictSize = packed[1] | packed[2] << 8 | packed[3] << 16 | (uint32_t)packed[4] << 24;
    if (dictSize > (uint32_t)size) dictSize = size ? (uint32_t)size : 1;
    if (dictSize > CAP) return false;
    LzmaInput in = {packed + 13, packed + packedSize, 0, 0};
    if (!LzmaBegin(&dec, packed[0], dict, dictSize, (uint64_t)size, &in)) return false;
    for (long at = 0; at < size;) {
        long n = size - at < (long)sizeof out ? size - at : (long)sizeof out;
        if (!LzmaRead(&dec, out, (size_t)n)) return false;
        if (check)
            for (long i = 0; i < n; i++)
                if (out[i] != original[at + i]) return false;
        at += n;
    }
    return true;
}

int Main(int argc, char** argv) {
    if (argc != 4) {
        Put("usage: lzma_bench_i386 RUNS PACKED ORIGINAL\n");
        return 2;
    }
    int runs = 0;
    for (const char* p = argv[1]; *p; p++) runs = runs * 10 + (*p - '0');
    long packedSize = Load(argv[2], packed, CAP), size = Load(argv[3], original, CAP);
    if (packedSize < 13 || size < 0) {
        Put("cannot read the files (at most 32 MB each)\n");
        return 2;
    }
    uint32_t best = ~0u;
    for (int r = 0; r < runs; r++) {
        uint32_t t0 = CpuMicros();
        if (!DecodeOnce(packedSize, size, r == 0)) {
            Put("decoding failed\n");
            return 1;
        }
        uint32_t t = CpuMicros() - t0;
        if (r > 0 && t < best) best = t;  // the checked first run is not timed
    }
    if (best == 0 || best == ~0u) {
        Put("too fast to time (or fewer than 2 runs)\n");
        return 1;
    }
    uint32_t tenths = (uint32_t)size * 10u / best;  // bytes per microsecond = MB/s
    Put(argv[3]);
    Put(": ");
    PutNum((uint32_t)size);
    Put(" bytes, best of ");
    PutNum((uint32_t)(runs - 1));
    Put(" runs by processor time: ");
    PutNum(tenths / 10);
    Put(".");
    PutNum(tenths % 10);
    Put(" MB/s\n");
    return 0;
}

}  // namespace

extern "C" __attribute__((used)) void StartC(long* sp) {
    Sys(SYS_EXIT, Main((int)sp[0], (char**)(sp + 1)));
}
asm(".globl _start\n_start:\n  mov %esp, %eax\n  push %eax\n  call StartC\n");
