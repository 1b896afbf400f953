/* Where the container of a signed patch ends. Signing (Authenticode)
   appends a certificate table after everything else in the file, and the
   PE header's security directory gives that table's file offset. */
#ifndef KORVEX_CORE_PE_H
#define KORVEX_CORE_PE_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The file offset at which the certificate table named by the PE header of
   file (size bytes, the whole file) starts; size when the header names
   none, or names one that does not lie inside the file. */
size_t PeSignatureStart(const unsigned char* file, size_t size);

/* The same for a file of fileSize bytes of which only the first headSize
   (head) are at hand: they must hold the PE headers. fileSize when the
   header names no table inside the file. */
uint64_t PeCertificateStart(const unsigned char* head, size_t headSize, uint64_t fileSize);

/* The file offset of the PE header's security directory entry (file offset
   and size of the certificate table, 8 bytes) when the first size bytes of
   a file hold it; 0 otherwise. A copy of a signed program's leading bytes
   zeroes it, or the copy would name a table it does not have. */
size_t PeSecurityEntry(const unsigned char* file, size_t size);

#ifdef __cplusplus
}
#endif

#endif
