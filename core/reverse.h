/* The way back from a delta record: commands that rebuild the old file from
   the new one, found from the forward command stream alone. A forward copy
   of N bytes from old offset O that landed at new position P says that
   old[O, O+N) == new[P, P+N); the old file is walked from its start, each
   position covered by the forward copy that reaches furthest from it, and
   what no copy covers is inserted from the old bytes. No searching and no
   heap: the copies are kept sorted in a table the caller provides, and the
   old file is swept in as many windows as the table needs. */
#ifndef KORVEX_CORE_REVERSE_H
#define KORVEX_CORE_REVERSE_H

#include <stddef.h>
#include <stdint.h>

#include "core/format.h"

/* One forward copy: old[from, from + length) is new[at, at + length). */
typedef struct ReverseCopy {
    uint32_t from;
    uint32_t length;
    uint32_t at;
} ReverseCopy;

/* Where the reverse commands go, in order: op CMD_COPY for a copy of the
   new file's [from, from + length), CMD_INSERT for an insert of the old
   file's [from, from + length). No command is empty; two in a row may
   continue each other (where the sweep's windows meet). Returns 1, or 0
   when the output failed. */
typedef struct ReverseSink {
    int (*emit)(void* ctx, unsigned op, uint32_t from, uint32_t length);
    void* ctx;
} ReverseSink;

/* A forward command stream wherever it lies: read decodes the command at
   *pos (an offset from the stream's start, or from wherever the source
   counts) and moves *pos past it, an insert's literal bytes included; it
   returns PR_OK or PR_BADDATA. The stream is read from start again as
   often as the sweep needs. */
typedef struct CommandSource {
    int (*read)(void* ctx, uint64_t* pos, PatchCommand* cmd);
    void* ctx;
    uint64_t start;
} CommandSource;

#ifdef __cplusplus
extern "C" {
#endif

/* ReverseCommands for a stream read through a source. */
int ReverseCommandsFrom(const CommandSource* stream, uint32_t oldSize, ReverseCopy* table, size_t capacity,
                        const ReverseSink* sink);

/* Sends to sink the commands that turn the new file back into the old one
   (oldSize bytes). stream stands on the first command of a forward stream
   that RunCommands has carried out against that old file (so every copy
   lies inside it), giving fewer than 4 GiB; another stream gives commands
   of no use, but inserts still only name old bytes before oldSize. table
   (capacity entries, any number, 0 included) is scratch space: the fewer
   entries, the more often the stream is read again; the more, the longer
   copies that come in no order take to sort in.
   PR_OK, PR_NOTWRITTEN when the sink failed, PR_BADDATA for a stream that
   does not decode. */
int ReverseCommands(PatchCursor stream, uint32_t oldSize, ReverseCopy* table, size_t capacity,
                    const ReverseSink* sink);

#ifdef __cplusplus
}
#endif

#endif
