// Container decoding, command streams and command writing.
// Every length from the container is untrusted: it is compared with what
// is left before the end, never added to a pointer first.
#include "core/format.h"

#include <string.h>

// The field readers and writers are one instruction each on x86: inlined
// wherever they are called (the applier's whole-program link sees their
// bodies), although the header keeps them plain functions for every other
// caller; GCC's note that such a function might not be inlinable is
// silenced here alone.
#if defined(__GNUC__)
#define KORVEX_FIELD __attribute__((always_inline))
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wattributes"
#else
#define KORVEX_FIELD
#endif

KORVEX_FIELD uint16_t GetU16(const unsigned char* p) {
    return (uint16_t)(p[0] | (p[1] << 8));
}

KORVEX_FIELD uint32_t GetU32(const unsigned char* p) {
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) |
           ((uint32_t)p[3] << 24);
}

KORVEX_FIELD void PutU16(unsigned char* p, uint16_t v) {
    p[0] = (unsigned char)v;
    p[1] = (unsigned char)(v >> 8);
}

KORVEX_FIELD void PutU32(unsigned char* p, uint32_t v) {
    p[0] = (unsigned char)v;
    p[1] = (unsigned char)(v >> 8);
    p[2] = (unsigned char)(v >> 16);
    p[3] = (unsigned char)(v >> 24);
}

#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

void CursorInit(PatchCursor* cur, const unsigned char* start, size_t size) {
    cur->pos = start;
    cur->end = start + size;
}

size_t CursorLeft(const PatchCursor* cur) {
    return (size_t)(cur->end - cur->pos);
}

int CursorSkip(PatchCursor* cur, size_t n) {
    if (n > CursorLeft(cur))
        return 0;
    cur->pos += n;
    return 1;
}

int CursorU8(PatchCursor* cur, unsigned* v) {
    if (CursorLeft(cur) < 1)
        return 0;
    *v = *cur->pos++;
    return 1;
}

int CursorU32(PatchCursor* cur, uint32_t* v) {
    if (CursorLeft(cur) < 4)
        return 0;
    *v = GetU32(cur->pos);
    cur->pos += 4;
    return 1;
}

int ReadContainerHeader(PatchCursor* cur, unsigned* count) {
    if (CursorLeft(cur) < CONTAINER_HEADER_SIZE)
        return PR_BADDATA;
    *count = GetU16(cur->pos);  // the two reserved bytes are never read
    cur->pos += CONTAINER_HEADER_SIZE;
    return PR_OK;
}

int ReadRecordHead(PatchCursor* cur, PatchRecordHead* head) {
    PatchCursor c = *cur;
    if (!CursorU32(&c, &head->oldSum) || !CursorU32(&c, &head->newSum))
        return PR_BADDATA;
    const void* zero = memchr(c.pos, 0, CursorLeft(&c));
    if (!zero)
        return PR_BADDATA;
    head->name = (const char*)c.pos;
    head->nameLen = (uint32_t)((const unsigned char*)zero - c.pos);
    c.pos = (const unsigned char*)zero + 1;
    if (CursorLeft(&c) < 1)  // every body has at least one byte
        return PR_BADDATA;
    *cur = c;
    return PR_OK;
}

int BodyIsWholeFile(const PatchCursor* cur) {
    return CursorLeft(cur) > 0 && *cur->pos == REC_WHOLEFILE;
}

int ReadWholeFile(PatchCursor* cur, const unsigned char** content, uint32_t* length) {
    PatchCursor c = *cur;
    unsigned tag;
    if (!CursorU8(&c, &tag) || tag != REC_WHOLEFILE || !CursorU32(&c, length))
        return PR_BADDATA;
    *content = c.pos;
    if (!CursorSkip(&c, *length))
        return PR_BADDATA;
    *cur = c;
    return PR_OK;
}

int ReadCommandHead(PatchCursor* cur, PatchCommand* cmd) {
    if (!CursorU8(cur, &cmd->op))
        return PR_BADDATA;
    cmd->length = 0;
    cmd->offset = 0;
    cmd->literal = 0;
    switch (cmd->op) {
    case CMD_END:
        return PR_OK;
    case CMD_COPY:  // the length comes before the offset
        if (!CursorU32(cur, &cmd->length) || !CursorU32(cur, &cmd->offset))
            return PR_BADDATA;
        return PR_OK;
    case CMD_INSERT:
        if (!CursorU32(cur, &cmd->length))
            return PR_BADDATA;
        cmd->literal = cur->pos;
        return PR_OK;
    default:
        return PR_BADDATA;
    }
}

int ReadCommand(PatchCursor* cur, PatchCommand* cmd) {
    if (ReadCommandHead(cur, cmd) != PR_OK)
        return PR_BADDATA;
    if (cmd->op == CMD_INSERT && !CursorSkip(cur, cmd->length))
        return PR_BADDATA;
    return PR_OK;
}

int SkipCommands(PatchCursor* cur) {
    PatchCommand cmd;
    do {
        if (ReadCommand(cur, &cmd) != PR_OK)
            return PR_BADDATA;
    } while (cmd.op != CMD_END);
    return PR_OK;
}

int SkipRecord(PatchCursor* cur) {
    PatchRecordHead head;
    if (ReadRecordHead(cur, &head) != PR_OK)
        return PR_BADDATA;
    if (BodyIsWholeFile(cur)) {
        const unsigned char* content;
        uint32_t length;
        return ReadWholeFile(cur, &content, &length);
    }
    return SkipCommands(cur);
}

int RunCommands(PatchCursor* cur, const PatchOutput* out) {
    PatchCommand cmd;
    for (;;) {
        if (ReadCommand(cur, &cmd) != PR_OK)
            return PR_BADDATA;
        int ok = 1;
        if (cmd.op == CMD_END)
            return PR_OK;
        if (cmd.op == CMD_COPY) {
            // 64-bit sum: offset + length can pass 4 GiB
            if ((uint64_t)cmd.offset + cmd.length > out->oldSize)
                return SkipCommands(cur) == PR_OK ? PR_BADRESULT : PR_BADDATA;
            ok = cmd.length == 0 || out->copy(out->ctx, cmd.offset, cmd.length);
        } else if (cmd.length) {
            ok = out->write(out->ctx, cmd.literal, cmd.length);
        }
        if (!ok)
            return SkipCommands(cur) == PR_OK ? PR_NOTWRITTEN : PR_BADDATA;
    }
}

size_t PutCopyCommand(unsigned char out[CMD_COPY_SIZE], uint32_t length, uint32_t offset) {
    out[0] = CMD_COPY;
    PutU32(out + 1, length);
    PutU32(out + 5, offset);
    return CMD_COPY_SIZE;
}

size_t PutInsertHead(unsigned char out[CMD_INSERT_HEAD_SIZE], uint32_t length) {
    out[0] = CMD_INSERT;
    PutU32(out + 1, length);
    return CMD_INSERT_HEAD_SIZE;
}
