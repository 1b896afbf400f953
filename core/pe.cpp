// The PE header's security directory, read with every offset checked
// against the file's size.
#include "core/pe.h"
#include "core/format.h"

enum {
    PE_LFANEW_AT = 0x3C,         /* DOS header: where the PE header starts */
    PE_COFF_SIZE = 24,           /* "PE\0\0" (4) + file header (20) */
    PE_MAGIC32 = 0x10B,
    PE_MAGIC64 = 0x20B,
    PE_SECURITY_DIR = 4,         /* data directory index of the certificate table */
    PE_DIR_ENTRY_SIZE = 8        /* file offset (4) + size (4) */
};

size_t PeSecurityEntry(const unsigned char* file, size_t size) {
    if (size < PE_LFANEW_AT + 4 || file[0] != 'M' || file[1] != 'Z')
        return 0;
    size_t pe = GetU32(file + PE_LFANEW_AT);
    if (pe > size || size - pe < PE_COFF_SIZE + 2 || GetU32(file + pe) != 0x00004550)
        return 0;
    size_t opt = pe + PE_COFF_SIZE;
    unsigned magic = GetU16(file + opt);
    // NumberOfRvaAndSizes, then the directories, sit further in on PE32+
    size_t countAt = opt + (magic == PE_MAGIC64 ? 108 : 92);
    if (magic != PE_MAGIC32 && magic != PE_MAGIC64)
        return 0;
    size_t dirAt = countAt + 4 + PE_SECURITY_DIR * PE_DIR_ENTRY_SIZE;
    if (dirAt > size || size - dirAt < PE_DIR_ENTRY_SIZE || GetU32(file + countAt) <= PE_SECURITY_DIR)
        return 0;
    return dirAt;
}

uint64_t PeCertificateStart(const unsigned char* head, size_t headSize, uint64_t fileSize) {
    size_t dirAt = PeSecurityEntry(head, headSize);
    if (!dirAt)
        return fileSize;
    uint64_t start = GetU32(head + dirAt);
    uint64_t length = GetU32(head + dirAt + 4);
    if (start == 0 || length == 0 || start > fileSize || length > fileSize - start)
        return fileSize;
    return start;
}

size_t PeSignatureStart(const unsigned char* file, size_t size) {
    return (size_t)PeCertificateStart(file, size, size);
}
