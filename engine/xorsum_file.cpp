// Checksums of files on disk. Files are read front to back in 64 KB pieces
// into one fixed buffer: no mapping, so neither an empty file (which cannot
// be mapped) nor a file larger than the free address space of a 32-bit
// process needs a special case, and each page is touched once. The buffer
// is shared by the check and the read-back of one run at a time.
#include "engine/patch.h"
#include "engine/fileio.h"

static unsigned char s_sumBuffer[FILEIO_CHUNK];

int SumOpenFile(HANDLE file, int withCrc, FileSums* sums) {
    XorSumState st;
    XorSumBegin(&st);
    sums->sum = 0;
    sums->crc = 0;
    sums->size = 0;
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    if (!SetFilePointerEx(file, zero, NULL, FILE_BEGIN))
        return 0;
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file, s_sumBuffer, sizeof s_sumBuffer, &got, NULL))
            return 0;
        if (got == 0)
            break;
        XorSumAdd(&st, s_sumBuffer, got);
        if (withCrc)
            sums->crc = Crc32Update(sums->crc, s_sumBuffer, got);
        sums->size += got;
    }
    sums->sum = XorSumEnd(&st);
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

uint32_t XorSumFile(const char* path) {
    HANDLE file = CreateFileA(path, GENERIC_READ, 0, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return 0;
    FileSums sums;
    int ok = SumOpenFile(file, 0, &sums);
    CloseHandle(file);
    return ok ? sums.sum : 0;
}
