// Container decoding, command streams, the checksum and name checks.
// Every length from the container is untrusted: it is compared with what
// is left before the end, never added to a pointer first.
#include "container.h"

#include <string.h>

uint16_t GetU16(const unsigned char* p) {
    return (uint16_t)(p[0] | (p[1] << 8));
}

uint32_t GetU32(const unsigned char* p) {
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) |
           ((uint32_t)p[3] << 24);
}

void PutU16(unsigned char* p, uint16_t v) {
    p[0] = (unsigned char)v;
    p[1] = (unsigned char)(v >> 8);
}

void PutU32(unsigned char* p, uint32_t v) {
    p[0] = (unsigned char)v;
    p[1] = (unsigned char)(v >> 8);
    p[2] = (unsigned char)(v >> 16);
    p[3] = (unsigned char)(v >> 24);
}

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

int ReadCommand(PatchCursor* cur, PatchCommand* cmd) {
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
        if (!CursorSkip(cur, cmd->length))
            return PR_BADDATA;
        return PR_OK;
    default:
        return PR_BADDATA;
    }
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

uint32_t XorSum(const unsigned char* bytes, size_t size) {
    uint32_t sum = 0;
    size_t words = size / 4;
    for (size_t i = 0; i < words; i++) {
        uint32_t w;
        memcpy(&w, bytes + 4 * i, 4);  // one unaligned load; fixed below
        sum ^= w;
    }
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    sum = __builtin_bswap32(sum);
#endif
    return sum;
}

void XorSumBegin(XorSumState* st) {
    st->sum = 0;
    st->word = 0;
    st->filled = 0;
}

void XorSumAdd(XorSumState* st, const unsigned char* bytes, size_t size) {
    while (size && st->filled) {  // finish the word left open last time
        st->word |= (uint32_t)*bytes++ << (8 * st->filled);
        size--;
        if (++st->filled == 4) {
            st->sum ^= st->word;
            st->word = 0;
            st->filled = 0;
        }
    }
    size_t whole = size & ~(size_t)3;
    st->sum ^= XorSum(bytes, whole);
    for (size_t i = whole; i < size; i++)
        st->word |= (uint32_t)bytes[i] << (8 * st->filled++);
}

uint32_t XorSumEnd(const XorSumState* st) {
    return st->sum;  // an unfinished last word takes no part
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

int IsLeadByte936(unsigned char byte) {
    return byte >= 0x81 && byte <= 0xFE;
}

int IsLeadByteNone(unsigned char byte) {
    (void)byte;
    return 0;
}

static int IsSeparator(char c) {
    return c == '\\' || c == '/';
}

static char Upper(char c) {
    return (c >= 'a' && c <= 'z') ? (char)(c - 'a' + 'A') : c;
}

// Windows opens a device, not a file, for these names in any folder and
// with any extension ("nul.txt" too).
static int IsDeviceName(const char* part, size_t len) {
    static const char* const kDevices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    size_t base = 0;
    while (base < len && part[base] != '.')
        base++;
    while (base > 0 && part[base - 1] == ' ')
        base--;
    for (size_t i = 0; i < sizeof kDevices / sizeof kDevices[0]; i++) {
        size_t n = strlen(kDevices[i]);
        if (n != base)
            continue;
        size_t k = 0;
        while (k < n && Upper(part[k]) == kDevices[i][k])
            k++;
        if (k == n)
            return 1;
    }
    if (base == 4 && part[3] >= '1' && part[3] <= '9') {
        char a = Upper(part[0]), b = Upper(part[1]), c = Upper(part[2]);
        if ((a == 'C' && b == 'O' && c == 'M') || (a == 'L' && b == 'P' && c == 'T'))
            return 1;
    }
    return 0;
}

// A component is acceptable when it is not empty, not made only of dots
// and spaces (which Windows trims to nothing or to ".."), and no device.
static int CheckComponent(const char* part, size_t len) {
    size_t i = 0;
    while (i < len && (part[i] == '.' || part[i] == ' '))
        i++;
    if (i == len)
        return 0;
    return !IsDeviceName(part, len);
}

size_t CharLength(const char* text, size_t left, LeadBytePredicate isLead) {
    if (left >= 2 && isLead((unsigned char)text[0]) && (unsigned char)text[1] >= 0x40)
        return 2;
    return 1;
}

int CheckRecordName(const char* name, size_t len, LeadBytePredicate isLead) {
    if (len == 0 || IsSeparator(name[0]))
        return 0;
    size_t start = 0;
    for (size_t i = 0; i < len;) {
        size_t step = CharLength(name + i, len - i, isLead);
        if (step == 1) {
            char c = name[i];
            if (c == 0 || c == ':')
                return 0;
            if (IsSeparator(c)) {
                if (!CheckComponent(name + start, i - start))
                    return 0;
                start = i + 1;
            }
        }
        i += step;
    }
    return CheckComponent(name + start, len - start);
}

size_t FolderPartLength(const char* path, size_t len, LeadBytePredicate isLead) {
    size_t folder = 0;
    for (size_t i = 0; i < len;) {
        size_t step = CharLength(path + i, len - i, isLead);
        if (step == 1 && IsSeparator(path[i]))
            folder = i + 1;
        i += step;
    }
    return folder;
}

int JoinPath(char out[PATCH_PATH_MAX], const char* folder, const char* name, size_t nameLen) {
    size_t folderLen = strlen(folder);
    if (folderLen >= PATCH_PATH_MAX || nameLen >= PATCH_PATH_MAX - folderLen) {
        out[0] = 0;
        return 0;
    }
    memcpy(out, folder, folderLen);
    memcpy(out + folderLen, name, nameLen);
    out[folderLen + nameLen] = 0;
    return 1;
}
