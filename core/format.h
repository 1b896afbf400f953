/* The patch container: constants, a bounded forward cursor, record and
   command decoding and command writing. Nothing here touches the
   platform, so the same code runs inside the applier, inside the authoring
   tool and in host tests and fuzzers.

   The container has no length, magic or end marker, so every read below is
   checked against the end of the bytes the caller really has (the mapped
   size of the executable) and a read that would pass it fails as a data
   error instead of reading on. */
#ifndef KORVEX_CORE_FORMAT_H
#define KORVEX_CORE_FORMAT_H

#include <stddef.h>
#include <stdint.h>

/* Record results: one bit each, one per record. Only PR_BADDATA stops a run. */
enum {
    PR_OK = 0,           /* created, or rebuilt, verified and put in place */
    PR_OVERWRITTEN = 1,  /* whole file: existed, user said Yes, replaced */
    PR_SKIPPED = 2,      /* whole file: existed, user did not say Yes */
    PR_NOTARGET = 4,     /* delta: target missing, in use or path too long */
    PR_BADSOURCE = 8,    /* delta: target's checksum is not the old one */
    PR_BADRESULT = 16,   /* delta: the rebuilt bytes do not give the new
                            checksum, or a copy reaches past the old file */
    PR_NOTWRITTEN = 32,  /* output could not be written or put in place;
                            the target is as it was */
    PR_BADDATA = 128     /* container bytes undefined or running past the end */
};

/* Command bytes of a delta record's stream, and the whole-file tag that can
   only stand in a body's first byte. */
enum {
    CMD_END = 0,
    CMD_COPY = 1,
    CMD_INSERT = 2,
    REC_WHOLEFILE = 3
};

/* Sizes of the fixed parts of the format, shared by reader and writer. */
enum {
    CONTAINER_HEADER_SIZE = 4,   /* count (2) + reserved (2) */
    RECORD_SUMS_SIZE = 8,        /* old checksum (4) + new checksum (4) */
    WHOLEFILE_HEAD_SIZE = 5,     /* tag (1) + length (4) */
    CMD_COPY_SIZE = 9,           /* command (1) + length (4) + offset (4) */
    CMD_INSERT_HEAD_SIZE = 5,    /* command (1) + length (4), literals follow */
    CMD_END_SIZE = 1,
    CONTAINER_MAX_RECORDS = 65535
};

/* A forward-only read position and the first byte it may not read. */
typedef struct PatchCursor {
    const unsigned char* pos;
    const unsigned char* end;
} PatchCursor;

/* The fixed head of one record; name points into the container and is
   nameLen bytes long, followed there by its 0 byte. */
typedef struct PatchRecordHead {
    uint32_t oldSum;
    uint32_t newSum;
    const char* name;
    uint32_t nameLen;
} PatchRecordHead;

/* One decoded command. For CMD_INSERT, literal points at the length bytes
   inside the container; for CMD_COPY, offset is the old file's position. */
typedef struct PatchCommand {
    unsigned op;
    uint32_t length;
    uint32_t offset;
    const unsigned char* literal;
} PatchCommand;

#ifdef __cplusplus
extern "C" {
#endif

/* --- little-endian fields --- */
uint16_t GetU16(const unsigned char* p);
uint32_t GetU32(const unsigned char* p);
void PutU16(unsigned char* p, uint16_t v);
void PutU32(unsigned char* p, uint32_t v);

/* --- cursor; each returns 1 and advances, or returns 0 and leaves the
   cursor where it was when fewer bytes are left than asked for --- */
void CursorInit(PatchCursor* cur, const unsigned char* start, size_t size);
size_t CursorLeft(const PatchCursor* cur);
int CursorSkip(PatchCursor* cur, size_t n);
int CursorU8(PatchCursor* cur, unsigned* v);
int CursorU32(PatchCursor* cur, uint32_t* v);

/* Reads the 4-byte container header. Returns PR_OK with the record count,
   or PR_BADDATA when fewer than 4 bytes are there. */
int ReadContainerHeader(PatchCursor* cur, unsigned* count);

/* Reads both checksums and the name up to its 0 byte; the cursor then
   stands on the body's first byte. PR_BADDATA when the bytes run out first
   or nothing of the body is left. */
int ReadRecordHead(PatchCursor* cur, PatchRecordHead* head);

/* 1 when the cursor stands on a whole-file body (its first byte is the
   tag); 0 for a command stream. Call only after ReadRecordHead succeeded. */
int BodyIsWholeFile(const PatchCursor* cur);

/* Reads a whole-file body: the tag, its length and the content, which must
   all lie before the end. Returns PR_OK with content and length and the
   cursor past the content, or PR_BADDATA. */
int ReadWholeFile(PatchCursor* cur, const unsigned char** content, uint32_t* length);

/* Decodes the fixed bytes of the next command and moves past them; an
   insert's literal bytes are not passed over (literal points at them, as
   far as they are there). For readers that hold the stream a piece at a
   time. PR_BADDATA for an undefined command byte or fixed bytes cut short. */
int ReadCommandHead(PatchCursor* cur, PatchCommand* cmd);

/* Decodes the next command of a stream and moves past it (an insert's
   literal bytes included). PR_BADDATA for an undefined command byte or a
   command that runs past the end; the cursor is then of no further use. */
int ReadCommand(PatchCursor* cur, PatchCommand* cmd);

/* Walks a command stream without acting on it and leaves the cursor after
   its CMD_END. PR_OK, or PR_BADDATA at an undefined or truncated command. */
int SkipCommands(PatchCursor* cur);

/* Walks one whole record (head and body) without acting on it. */
int SkipRecord(PatchCursor* cur);

/* Where a command stream's output goes and where its copies come from.
   write appends bytes to the output; copy appends length bytes of the old
   file from offset, a range RunCommands has already checked against
   oldSize. Each returns 1, or 0 when the output could not be written. */
typedef struct PatchOutput {
    int (*write)(void* ctx, const unsigned char* bytes, size_t n);
    int (*copy)(void* ctx, uint32_t offset, uint32_t length);
    void* ctx;
    uint64_t oldSize;
} PatchOutput;

/* Carries out a command stream. Returns PR_OK with the cursor after the
   CMD_END; PR_BADRESULT when a copy reaches past the old file (nothing of
   it is read); PR_NOTWRITTEN when the output failed; in both cases the rest
   of the stream is still walked, so the cursor stands on the next record.
   PR_BADDATA for an undefined or truncated command, met before or after. */
int RunCommands(PatchCursor* cur, const PatchOutput* out);

/* --- command writing, for container writers: each fills exactly the
   command's fixed bytes and returns how many that is --- */
size_t PutCopyCommand(unsigned char out[CMD_COPY_SIZE], uint32_t length, uint32_t offset);
size_t PutInsertHead(unsigned char out[CMD_INSERT_HEAD_SIZE], uint32_t length);

#ifdef __cplusplus
}
#endif

#endif
