/* The integrity trailer: bytes after the last record, which a reader of the
   bare format never looks at, holding each record's file lengths and
   CRC-32s and a CRC-32 of the container before it. It is found from the
   end: the container's last bytes are a fixed tag, and the four bytes
   before the tag give the trailer's whole length.

   Layout, from the byte after the last record:
     count entries of TRAILER_ENTRY_SIZE bytes, one per record in order:
       new length (4), new CRC-32 (4), old length (4), old CRC-32 (4)
       (the old pair is 0 for a whole-file record)
     container CRC-32 (4): of every container byte before the trailer
     version (2): TRAILER_VERSION
     reserved (2): 0
     length (4): of the whole trailer, entries and tail
     tag (8): TRAILER_TAG
   Signing a patch pads the file with zero bytes to a multiple of eight
   before the certificate table, so up to seven zero bytes after the tag
   are passed over. */
#ifndef KORVEX_CORE_TRAILER_H
#define KORVEX_CORE_TRAILER_H

#include <stddef.h>
#include <stdint.h>

#define TRAILER_TAG "KVXTRLR\x1A"
enum {
    TRAILER_TAG_SIZE = 8,
    TRAILER_ENTRY_SIZE = 16,
    TRAILER_TAIL_SIZE = 20,   /* CRC (4) + version (2) + reserved (2) + length (4) + tag (8) */
    TRAILER_VERSION = 1,
    TRAILER_MAX_PAD = 7
};

/* What FindTrailer found. */
enum {
    TRAILER_NONE = 0,  /* no tag at the end: the bare format */
    TRAILER_FOUND = 1,
    TRAILER_BAD = 2    /* the tag is there, but what it frames is not a trailer
                          for these records: the container is damaged */
};

/* One record's strong facts. */
typedef struct TrailerEntry {
    uint32_t newLength;
    uint32_t newCrc;
    uint32_t oldLength;
    uint32_t oldCrc;
} TrailerEntry;

/* A trailer inside the container's bytes. */
typedef struct PatchTrailer {
    const unsigned char* entries;  /* count entries, in record order */
    unsigned count;
    uint32_t containerCrc;         /* of the bytes [0, start) */
    uint64_t start;                /* where the trailer begins: the records' end */
} PatchTrailer;

#ifdef __cplusplus
extern "C" {
#endif

/* Looks for a trailer in the container bytes [0, size) whose count records
   end at recordsEnd (found by walking them). TRAILER_NONE when the records
   fill the bytes or no tag ends them; TRAILER_FOUND with *t filled when a
   trailer of this version starts exactly at recordsEnd and has one entry
   per record; TRAILER_BAD otherwise. The container CRC is not checked
   here: that reads every byte, and the caller chooses when. */
int FindTrailer(const unsigned char* container, size_t size, size_t recordsEnd, unsigned count,
                PatchTrailer* t);

/* The entry of record index (below t->count). */
void GetTrailerEntry(const PatchTrailer* t, unsigned index, TrailerEntry* e);

/* For writers: fills one entry's bytes, or the tail's for count records
   after the given container CRC. Each returns how many bytes it wrote. */
size_t PutTrailerEntry(unsigned char out[TRAILER_ENTRY_SIZE], const TrailerEntry* e);
size_t PutTrailerTail(unsigned char out[TRAILER_TAIL_SIZE], uint32_t containerCrc, unsigned count);

#ifdef __cplusplus
}
#endif

#endif
