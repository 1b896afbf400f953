/* A format-2 container read where it lies (PatchContainer): pieces at an
   offset, block heads and table entries one at a time, and each stream's
   packed bytes brought in through a buffer of its own as the decoder or
   the stored-stream reader asks for them. Every buffer is fixed, so
   reading a container of any size costs the same memory, and nothing of
   it is mapped. One run at a time. */
#ifndef KORVEX_ENGINE_CONTAINER_H
#define KORVEX_ENGINE_CONTAINER_H

#include "core/format2.h"
#include "engine/patch.h"

/* The most one read of the container brings in: the size of each
   stream's buffer and of the pieces a block's CRC is taken over. */
enum { CONTAINER_PIECE_MAX = 64 * 1024 };

#ifdef __cplusplus
extern "C" {
#endif

/* Bytes one read brings in, up to CONTAINER_PIECE_MAX; 0, as the applier
   leaves it, means CONTAINER_PIECE_MAX. Tests lower it, so that a small
   container crosses the buffers' ends many times. */
extern uint32_t g_containerPiece;

/* Reads n bytes (at most CONTAINER_PIECE_MAX) at offset of the container
   into to. 1, or 0 when they pass its end or the read fails. */
int ContainerRead(const PatchContainer* c, uint64_t offset, unsigned char* to, size_t n);

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

/* Starts src on stream i of the block at offset whose head is b: its
   packed bytes come through a buffer of its own, and an LZMA stream is
   decoded into a dictionary buffer carved from one arena of F2_MEMORY_MAX
   bytes at *carved, which then moves past it (start each block at 0).
   PR_OK, or PR_BADDATA when the stream does not begin or the arena has no
   room left. The source stays valid until stream i is begun again. */
int ContainerSource(const PatchContainer* c, uint64_t offset, const F2BlockHead* b, unsigned i, F2Source* src,
                    uint64_t* carved);

#ifdef __cplusplus
}
#endif

#endif
