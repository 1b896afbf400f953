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

int SideMatches(const FileSums* sums, const TargetSides* sides, int newSide) {
    uint64_t length = newSide ? sides->newLength : sides->oldLength;
    uint32_t sum = newSide ? sides->newSum : sides->oldSum;
    uint32_t crc = newSide ? sides->newCrc : sides->oldCrc;
    if (sums->sum != sum)
        return 0;
    return !(sides->how & SUM_CRC) || (sums->size == length && sums->crc == crc);
}

int OpenOldFile(const char* path, int how, OldFile* old, FileSums* sums) {
    old->have = 0;
    old->file = CreateFileA(path, GENERIC_READ, 0, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (old->file == INVALID_HANDLE_VALUE)
        return 0;
    int read = SumOpenFile(old->file, how, sums, &old->have);
    old->size = sums->size;
    old->start = old->size - old->have;
    return read;
}

int OpenOldTarget(const char* targetDir, const char* name, uint32_t nameLen, const TargetSides* sides,
                  OldFile* old, char target[PATCH_PATH_MAX], int* upToDate) {
    *upToDate = 0;
    old->file = INVALID_HANDLE_VALUE;
    // Held without sharing from here on: the bytes summed are the bytes
    // the copies read.
    FileSums sums;
    int read = 0;
    if (JoinPath(target, targetDir, name, nameLen))
        read = OpenOldFile(target, sides->how, old, &sums);
    if (old->file == INVALID_HANDLE_VALUE)
        return PR_NOTARGET;
    int result = PR_BADSOURCE;
    if (!read)
        result = PR_NOTARGET;
    else if (sums.size > 0xFFFFFFFF && !(sides->how & SUM_ANY_SIZE))
        ;  // past what the bare form's checksums and copies describe
    else if (SideMatches(&sums, sides, 0))
        return PR_OK;
    else
        *upToDate = SideMatches(&sums, sides, 1);
    CloseHandle(old->file);
    return result;
}

uint32_t XorSumFile(const char* path) {
    OldFile file;
    FileSums sums;
    int read = OpenOldFile(path, 0, &file, &sums);
    if (file.file == INVALID_HANDLE_VALUE)
        return 0;
    CloseHandle(file.file);
    return read ? sums.sum : 0;
}
