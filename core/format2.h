/* Format 2 of the container (docs/format.md): a header, then blocks, each
   with a table of record heads and three streams (control, difference and
   literal bytes), stored or LZMA-coded, and a CRC-32 of its own. Reading
   and writing of the fixed parts, and carrying out one record from its
   streams, for the applier and for mkpatch alike. Nothing here touches the
   platform and nothing allocates: the caller hands in every buffer.

   Every length read from a container is untrusted: it is compared with
   what is left before the container's end, never added to a pointer
   first. */
#ifndef KORVEX_CORE_FORMAT2_H
#define KORVEX_CORE_FORMAT2_H

#include <stddef.h>
#include <stdint.h>

#include "core/format.h"
#include "core/lzma.h"

enum {
    F2_HEADER_SIZE = 32,
    F2_BLOCK_HEAD_SIZE = 104,
    F2_STREAM_HEAD_SIZE = 24,
    F2_BLOCK_CRC_SIZE = 4,
    F2_REVISION = 3,
    F2_FLAG_OPEN = 1,            /* blocks appended until the data ends */
    F2_STREAMS = 4,              /* a block's streams: three of bytes, then the table */
    F2_CONTROL = 0,
    F2_DIFF = 1,
    F2_LITERAL = 2,
    F2_TABLE = 3,
    F2_STORED = 0,
    F2_LZMA = 1,
    F2_KIND_WHOLE = 1,
    F2_KIND_DELTA = 2,
    F2_NAME_MAX = 259,
    F2_ENTRY_WHOLE_SIZE = 4 + 12,      /* without the name */
    F2_ENTRY_DELTA_SIZE = 4 + 12 + 12, /* without the name */
    F2_VARINT_MAX = 10,
    F2_ENTRY_MAX = F2_ENTRY_DELTA_SIZE + F2_NAME_MAX
};

/* The most a container may ask of the decoder's dictionaries: 64 MiB. */
#define F2_MEMORY_MAX (64u * 1024 * 1024)

/* The fixed 32 bytes at the start. */
typedef struct F2Header {
    unsigned revision;
    unsigned flags;
    uint32_t count;    /* records; 0 when open */
    uint32_t memory;   /* the largest block's dictionary buffers, summed */
    uint64_t length;   /* header and blocks; 0 when open */
} F2Header;

/* One stream's head inside a block head. */
typedef struct F2StreamHead {
    unsigned method;   /* F2_STORED or F2_LZMA */
    unsigned props;    /* LZMA properties byte */
    uint32_t dictSize; /* LZMA dictionary size */
    uint64_t packed;
    uint64_t unpacked;
} F2StreamHead;

/* A block head, and where its parts lie from the block's first byte. */
typedef struct F2BlockHead {
    uint32_t count;
    F2StreamHead streams[F2_STREAMS];
    uint64_t streamOffset[F2_STREAMS];  /* of each stream's packed bytes */
    uint64_t size;                      /* the whole block, its CRC included */
} F2BlockHead;

/* One entry of a block's record table. name points into the table. */
typedef struct F2Record {
    unsigned kind;     /* F2_KIND_WHOLE or F2_KIND_DELTA */
    const char* name;
    uint32_t nameLen;
    uint64_t newLength;
    uint32_t newCrc;
    uint64_t oldLength;  /* delta only, else 0 */
    uint32_t oldCrc;
} F2Record;

/* One delta command as the control stream gives it. */
typedef struct F2Command {
    int64_t seek;
    uint64_t copy;
    int diff;          /* the copy adds difference bytes */
    uint64_t extra;
} F2Command;

/* A stream being read: its packed bytes come through in (refilled by the
   caller's function when the bytes at hand run out); an LZMA stream is
   decoded by lzma into the dictionary buffer the caller gave. left counts
   the unpacked bytes not yet read. */
typedef struct F2Source {
    unsigned method;
    uint64_t left;
    LzmaInput in;
    LzmaDecoder* lzma;
} F2Source;

/* Where a record's bytes go. write appends bytes to the new file; copy
   appends the n bytes of the old file at offset (a range F2RunRecord has
   checked against the old length), each added, modulo 256, to the byte of
   diffs at its place when diffs is not 0. diffs is scratch space the sink
   may overwrite; a copy with differences comes in pieces of at most the
   scratch's size, an exact one whole. Each returns 1, or 0 when it
   failed. */
typedef struct F2Sink {
    int (*write)(void* ctx, const unsigned char* bytes, size_t n);
    int (*copy)(void* ctx, uint64_t offset, uint64_t n, unsigned char* diffs);
    void* ctx;
} F2Sink;

#ifdef __cplusplus
extern "C" {
#endif

/* --- little-endian 64-bit fields and varints --- */
uint64_t GetU64(const unsigned char* p);
void PutU64(unsigned char* p, uint64_t v);
/* Writes v as a varint and returns its length (1 to F2_VARINT_MAX). */
size_t PutVarint(unsigned char* out, uint64_t v);
uint64_t ZigZag(int64_t v);
int64_t UnZigZag(uint64_t v);

/* 1 when the bytes start with a format-2 header whose CRC-32 holds: the
   test that tells format 2 from the bare form. */
int IsFormat2(const unsigned char* bytes, size_t size);

/* Reads the header (IsFormat2 must hold). PR_OK, or PR_BADDATA for a
   revision, flags, reserved field or decoder memory this reader does not
   take. */
int F2ReadHeader(const unsigned char* bytes, size_t size, F2Header* h);

/* Reads the block head at bytes, with left bytes from there to the
   container's end. PR_OK when the tag is there, the count is not 0, the
   methods, properties and dictionary sizes are ones the format allows,
   a stored stream's lengths agree, and the whole block lies inside left;
   else PR_BADDATA. The block's CRC is not checked here. */
int F2ReadBlockHead(const unsigned char* bytes, uint64_t left, F2BlockHead* b);

/* The bytes of dictionary buffers a block's LZMA streams need. */
uint64_t F2BlockMemory(const F2BlockHead* b);

/* Reads the next entry of a record table. PR_OK with the cursor past it,
   or PR_BADDATA for a kind, flags or name length the format does not
   allow or an entry that runs past the table. The name is not checked
   here (see CheckRecordName). */
int F2ReadRecord(PatchCursor* table, F2Record* r);

/* Reads the next entry of a block's table stream into entry and r (whose
   name then points into entry). PR_OK, or PR_BADDATA as F2ReadRecord, or
   when the stream does not decode. */
int F2ReadEntry(F2Source* table, unsigned char entry[F2_ENTRY_MAX], F2Record* r);

/* Starts reading a stream: for F2_LZMA, dict holds dictBytes bytes, at
   least min(dictionary size, unpacked) of them. in's bytes and refill
   are the caller's. PR_OK or PR_BADDATA. */
int F2SourceBegin(F2Source* s, const F2StreamHead* head, LzmaDecoder* lzma, unsigned char* dict,
                  uint32_t dictBytes, const LzmaInput* in);

/* Reads exactly n bytes of a stream. 1, or 0 when the stream holds fewer
   or does not decode. */
int F2SourceRead(F2Source* s, unsigned char* out, size_t n);

/* Reads the next delta command from the control stream. PR_OK or
   PR_BADDATA. */
int F2ReadCommand(F2Source* control, F2Command* c);

/* Carries out one record of a block from its streams (sources, in the
   order F2_CONTROL, F2_DIFF, F2_LITERAL), through sink; with sink 0 the
   record's bytes are read and thrown away, so that the streams reach the
   next record. scratch (scratchSize bytes, 1 at least; more is faster)
   holds pieces in passing; a stored stream's bytes go to the sink from
   its input, without a copy. Returns PR_OK; PR_BADDATA when the streams do
   not decode or a command reaches outside the old or the new file (the
   cursor of no further use); PR_NOTWRITTEN when the sink failed (the
   streams are then where the failure left them: of no further use
   either). */
int F2RunRecord(F2Source sources[F2_STREAMS], const F2Record* r, const F2Sink* sink,
                unsigned char* scratch, size_t scratchSize);

/* --- for writers: each fills exactly the part's bytes and returns how
   many that is --- */
size_t PutF2Header(unsigned char out[F2_HEADER_SIZE], const F2Header* h);
size_t PutF2BlockHead(unsigned char out[F2_BLOCK_HEAD_SIZE], const F2BlockHead* b);
/* A whole table entry, its name included; out holds F2_ENTRY_MAX bytes. */
size_t PutF2Record(unsigned char* out, const F2Record* r);
/* One command's three varints; out holds 3 * F2_VARINT_MAX bytes. */
size_t PutF2Command(unsigned char* out, const F2Command* c);

#ifdef __cplusplus
}
#endif

#endif
