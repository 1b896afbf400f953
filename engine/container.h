/* A container read where it lies (PatchContainer). Format 2: pieces at an
   offset, block heads and table entries one at a time, and each stream's
   packed bytes brought in through a buffer of its own as the decoder or
   the stored-stream reader asks for them. The bare form: one buffer that
   holds the bytes at hand from some offset on, refilled as a record head
   or a command head needs them; whole-file content and insert literals
   pass through it a piece at a time. Every buffer is fixed, so reading a
   container of any size costs the same memory, and nothing of it is
   mapped. One run at a time. */
#ifndef KORVEX_ENGINE_CONTAINER_H
#define KORVEX_ENGINE_CONTAINER_H

#include "core/format2.h"
#include "engine/patch.h"

/* The most one read of the container brings in: the size of each
   stream's buffer and of the pieces a block's CRC is taken over; and the
   bare form's buffer, which holds a record head, so a name of more bytes
   than it takes with the checksums and the body's first byte is refused
   as a data error. */
enum { CONTAINER_PIECE_MAX = 64 * 1024, BARE_HOLD = CONTAINER_PIECE_MAX };

/* One bare record, its head read (the name copied into a buffer that stays
   until the next record is read; a name longer than PATCH_PATH_MAX - 1
   bytes is cut there: no path holds it either, so it names no file, and
   only its first bytes are ever shown) and, after BareSkipBody, where its
   body lies. */
typedef struct BareRecord {
    PatchRecordHead head;
    int whole;         /* a whole-file body */
    uint64_t body;     /* the content, or the first command */
    uint32_t length;   /* of the content */
} BareRecord;

struct TargetSides;

#ifdef __cplusplus
extern "C" {
#endif

/* Bytes one read brings in, up to CONTAINER_PIECE_MAX; 0, as the applier
   leaves it, means CONTAINER_PIECE_MAX. Tests lower it, so that a small
   container crosses the buffers' ends many times. */
extern uint32_t g_containerPiece;

/* Reads n bytes at offset of the container into to: up to
   CONTAINER_PIECE_MAX as a rule, the bare form's last bytes (up to 1 MB)
   at once. 1, or 0 when they pass its end or the read fails. */
int ContainerRead(const PatchContainer* c, uint64_t offset, unsigned char* to, size_t n);

/* 1 when the container starts with a format-2 header (IsFormat2). */
int ContainerIsFormat2(const PatchContainer* c);

/* Reads the container's format-2 header into h (F2ReadHeader); 1, or 0
   when it cannot be read or is not one this reader takes. */
int ContainerHeader2(const PatchContainer* c, F2Header* h);

/* Continues *crc (a CRC-32) over n bytes at offset, read a piece at a
   time. 1, or 0 as ContainerRead. */
int ContainerCrc(const PatchContainer* c, uint64_t offset, uint64_t n, uint32_t* crc);

/* Reads the block head at offset, the container's readable part ending
   at end, as F2ReadBlockHead does. PR_OK, or PR_BADDATA (a read that
   fails included). */
int ContainerBlockHead(const PatchContainer* c, uint64_t offset, uint64_t end, F2BlockHead* b);

/* Points in at stream i's packed bytes, [offset, offset + packed) of the
   container: nothing at hand yet, and a refill that brings the next
   piece into that stream's own buffer. The stream stays valid until it
   is begun again. */
void ContainerInput(unsigned i, const PatchContainer* c, uint64_t offset, uint64_t packed, LzmaInput* in);

/* A walk over a format-2 container's blocks from the first on, up to end
   (limit ~0u) or until limit records are visited: each block head read
   (within end), its table
   (and with F2W_RUN its three byte streams) begun, and visit called for
   each table entry in order. */
enum {
    F2W_CRC = 1,    /* each block's CRC is taken and compared */
    F2W_TORN = 2,   /* a block cut short or failing its CRC ends the walk */
    F2W_CHECK = 4,  /* decoder memory, record count, names and the table's
                       last byte checked */
    F2W_RUN = 8     /* the byte streams begun too, and used up by the block's
                       records; w->begun says whether they began */
};
typedef struct F2Walk {
    const PatchContainer* c;
    uint64_t end;
    unsigned flags;
    unsigned limit;
    uint32_t memory;  /* the header's, for F2W_CHECK */
    /* PR_OK goes on; any other result ends the walk with it */
    int (*visit)(struct F2Walk* w, const F2Record* r);
    void* ctx;
    F2Source src[F2_STREAMS];
    int begun;
    unsigned done;  /* records visited before this one */
} F2Walk;

/* Walks w from its fields above. PR_OK at the end (a torn block passed
   over with F2W_TORN), PR_BADDATA, or what visit ended it with. */
int WalkF2(F2Walk* w);

/* --- the bare form --- */

/* Reads the bare container c from here on; what the buffer held is
   forgotten. c must stay valid while it is read. */
void BareBegin(const PatchContainer* c);

/* The bytes from offset at (not past the container's end) on, at least
   want of them (at most BARE_HOLD) or all that are left: *held says how
   many are at hand there, valid until the next call. 0 when a read
   fails. */
const unsigned char* BareHold(uint64_t at, uint32_t want, uint32_t* held);

/* The record count from the container header: PR_OK or PR_BADDATA. */
int BareCount(unsigned* count);

/* Reads the record head at *at into r: PR_OK with *at on the body's
   first byte; PR_BADDATA when it is cut short (head.name then 0) or its
   name could reach outside the target folder. */
int BareReadHead(uint64_t* at, BareRecord* r);

/* Walks r's body at *at without acting on it: PR_OK with r->body (and for
   a whole file r->length) set and *at after the record, or PR_BADDATA. */
int BareSkipBody(uint64_t* at, BareRecord* r);

/* BareReadHead, then BareSkipBody. */
int BareReadRecord(uint64_t* at, BareRecord* r);

/* Decodes the command at *at and moves past it, an insert's literal
   bytes included (they end at the new *at): PR_OK or PR_BADDATA. ctx is
   not used: the form of CommandSource's read. */
int BareCommand(void* ctx, uint64_t* at, PatchCommand* cmd);

/* Carries out the bare record at *at in targetDir as ApplyRecord does; *at
   then stands on the next record, except after PR_BADDATA. */
int ApplyBareRecord(uint64_t* at, const char* targetDir, const PatchHost* host, const TrailerEntry* strong,
                    PatchRecordNote* note);

/* The same for a record read already: read is what BareReadRecord gave
   for it, sides its target's. */
int ApplyBareRead(const BareRecord* r, int read, const struct TargetSides* sides, const char* targetDir,
                  const PatchHost* host, PatchRecordNote* note);

/* Walks the bare reader's first count records from the container header
   on: each read, its sides taken from trailer entry i when t is not 0,
   and visit called with the read's result (PR_OK or PR_BADDATA; r's name
   is 0 when its head was bad). PR_OK with *end after the last record, or
   the first result of visit other than PR_OK. */
typedef int (*BareVisit)(void* ctx, unsigned i, const BareRecord* r, int read, const struct TargetSides* sides);
int WalkBare(unsigned count, const PatchTrailer* t, BareVisit visit, void* ctx, uint64_t* end);

#ifdef __cplusplus
}
#endif

#endif
