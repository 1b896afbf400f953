// Checksums of files on disk. Files are read front to back in 64 KB pieces
// into the read window: no mapping, so neither an empty file (which cannot
// be mapped) nor a file larger than the free address space of a 32-bit
// process needs a special case, and each page is touched once; each piece
// is summed while it is still in the processor's cache.
#include "engine/patch.h"
#include "engine/fileio.h"

unsigned char g_window[FILEIO_WINDOW];

int SumOpenFile(HANDLE file, int how, FileSums* sums, uint32_t* have) {
    XorSumState st;
    XorSumBegin(&st);
    uint32_t used = 0;
    sums->sum = 0;
    sums->crc = 0;
    sums->size = 0;
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    if (!SetFilePointerEx(file, zero, NULL, FILE_BEGIN))
        return 0;
    for (;;) {
        if (used > FILEIO_WINDOW - FILEIO_CHUNK)
            used = 0;
        if (how & SUM_WINDOW_END)
            used = FILEIO_WINDOW - FILEIO_CHUNK;
        unsigned char* at = g_window + used;
        DWORD got = 0;
        if (!ReadFile(file, at, FILEIO_CHUNK, &got, NULL))
            return 0;
        if (got == 0)
            break;
        if (!(how & SUM_NO_XOR))
            XorSumAdd(&st, at, got);
        if (how & SUM_CRC)
            sums->crc = Crc32Update(sums->crc, at, got);
        sums->size += got;
        used += got;
        if (sums->size > 0xFFFFFFFF && !(how & SUM_ANY_SIZE))
            break;  // past what the bare form describes: its callers refuse it
    }
    sums->sum = XorSumEnd(&st);
    if (have)
        *have = used;
    return 1;
}

int ReadAt(HANDLE file, uint64_t offset, unsigned char* to, DWORD n) {
    while (n) {
        OVERLAPPED at;
        ZeroMemory(&at, sizeof at);
        at.Offset = (DWORD)offset;
        at.OffsetHigh = (DWORD)(offset >> 32);
        DWORD got = 0;
        if (!ReadFile(file, to, n, &got, &at) || got == 0)
            return 0;
        offset += got;
        to += got;
        n -= got;
    }
    return 1;
}

int SumsMatch(const FileSums* sums, uint32_t sum, const TrailerEntry* strong, int newSide) {
    if (sums->sum != sum)
        return 0;
    if (!strong)
        return 1;
    uint32_t length = newSide ? strong->newLength : strong->oldLength;
    uint32_t crc = newSide ? strong->newCrc : strong->oldCrc;
    return sums->size == length && sums->crc == crc;
}

int SideMatches(const FileSums* sums, uint64_t length, uint32_t crc) {
    return sums->size == length && sums->crc == crc;
}

uint32_t XorSumFile(const char* path) {
    HANDLE file = CreateFileA(path, GENERIC_READ, 0, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return 0;
    FileSums sums;
    int ok = SumOpenFile(file, 0, &sums, 0);
    CloseHandle(file);
    return ok ? sums.sum : 0;
}
