// Checksums of files on disk. Files are read front to back in 64 KB pieces
// into one fixed buffer: no mapping, so neither an empty file (which cannot
// be mapped) nor a file larger than the free address space of a 32-bit
// process needs a special case, and each page is touched once.
#include "engine/patch.h"
#include "engine/fileio.h"

static unsigned char s_sumBuffer[FILEIO_CHUNK];

int SumOpenFile(HANDLE file, uint32_t* sum, uint64_t* size) {
    XorSumState st;
    XorSumBegin(&st);
    *sum = 0;
    *size = 0;
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
        *size += got;
    }
    *sum = XorSumEnd(&st);
    return 1;
}

uint32_t XorSumHandle(HANDLE file) {
    uint32_t sum;
    uint64_t size;
    return SumOpenFile(file, &sum, &size) ? sum : 0;
}

uint32_t XorSumFile(const char* path) {
    HANDLE file = CreateFileA(path, GENERIC_READ, 0, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return 0;
    uint32_t sum = XorSumHandle(file);
    CloseHandle(file);
    return sum;
}
