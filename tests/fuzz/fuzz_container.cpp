// Walks arbitrary bytes as a container, the way the applier does, and checks
// what every step promises: the cursor only moves forward and never past the
// end, a failed step leaves it where it was, a name lies inside the bytes
// with its 0 byte, SkipRecord and SkipCommands land exactly where the
// step-by-step walk lands, RunCommands writes what the commands say, and an
// output that fails is reported as PR_NOTWRITTEN with the cursor on the next
// record all the same. The container's own bytes serve as the old file.
// After the last record: what FindTrailer finds frames exactly the bytes it
// says, and a trailer written with the writer's calls after these records
// is found again with every entry and the container's CRC.
#include <cstring>
#include <vector>

#include "core/format.h"
#include "core/checksum.h"
#include "core/trailer.h"
#include "fuzz_check.h"

namespace {

struct Sink {
    const unsigned char* old;
    fuzz::StreamHash written;
    unsigned calls = 0;
    unsigned failAt = 0;  // the call that fails (1-based); 0: none fails
};

int SinkWrite(void* ctx, const unsigned char* bytes, size_t n) {
    Sink* s = static_cast<Sink*>(ctx);
    if (++s->calls == s->failAt)
        return 0;
    s->written.Add(bytes, n);
    return 1;
}

int SinkCopy(void* ctx, uint32_t offset, uint32_t length) {
    Sink* s = static_cast<Sink*>(ctx);
    if (++s->calls == s->failAt)
        return 0;
    s->written.Add(s->old + offset, length);  // RunCommands checked the range
    return 1;
}

// Decodes a stream command by command, checking each step's size, and
// returns PR_OK or PR_BADDATA with the hash of what the stream would write
// (when every copy is inside oldSize) and whether some copy was outside.
int WalkStream(PatchCursor* cur, uint64_t oldSize, const unsigned char* old,
               fuzz::StreamHash* out, bool* outside, unsigned* calls) {
    *outside = false;
    *calls = 0;
    for (;;) {
        const unsigned char* before = cur->pos;
        PatchCommand cmd;
        if (ReadCommand(cur, &cmd) != PR_OK)
            return PR_BADDATA;
        FUZZ_CHECK(cur->pos > before && cur->pos <= cur->end);
        switch (cmd.op) {
        case CMD_END:
            FUZZ_CHECK(cur->pos - before == CMD_END_SIZE);
            return PR_OK;
        case CMD_COPY:
            FUZZ_CHECK(cur->pos - before == CMD_COPY_SIZE);
            FUZZ_CHECK(cmd.length == fuzz::LoadLE(before + 1, 4));
            FUZZ_CHECK(cmd.offset == fuzz::LoadLE(before + 5, 4));
            if (uint64_t(cmd.offset) + cmd.length > oldSize)
                *outside = true;
            else if (!*outside && cmd.length) {
                out->Add(old + cmd.offset, cmd.length);
                ++*calls;
            }
            break;
        case CMD_INSERT:
            FUZZ_CHECK(uint64_t(cur->pos - before) == uint64_t(CMD_INSERT_HEAD_SIZE) + cmd.length);
            FUZZ_CHECK(cmd.literal == before + CMD_INSERT_HEAD_SIZE);
            if (!*outside && cmd.length) {
                out->Add(cmd.literal, cmd.length);
                ++*calls;
            }
            break;
        default:
            FUZZ_CHECK(!"ReadCommand accepted an undefined command");
        }
    }
}

void CheckDeltaBody(const PatchCursor& body, const unsigned char* data, size_t size,
                    PatchCursor* next, int* result) {
    PatchCursor walk = body;
    fuzz::StreamHash expected;
    bool outside;
    unsigned calls;
    int walkRc = WalkStream(&walk, size, data, &expected, &outside, &calls);

    PatchCursor skip = body;
    int skipRc = SkipCommands(&skip);
    FUZZ_CHECK(skipRc == walkRc);
    if (skipRc == PR_OK)
        FUZZ_CHECK(skip.pos == walk.pos);

    Sink sink{data, {}, 0, 0};
    PatchOutput out{SinkWrite, SinkCopy, &sink, size};
    PatchCursor run = body;
    int runRc = RunCommands(&run, &out);
    if (walkRc == PR_BADDATA) {
        FUZZ_CHECK(runRc == PR_BADDATA);
    } else {
        FUZZ_CHECK(run.pos == walk.pos);
        FUZZ_CHECK(runRc == (outside ? PR_BADRESULT : PR_OK));
        if (!outside) {
            FUZZ_CHECK(sink.written == expected);
            FUZZ_CHECK(sink.calls == calls);
        }
    }

    // An output that fails part way: PR_NOTWRITTEN, yet the cursor still
    // reaches the next record. Which call fails comes from the data.
    if (walkRc == PR_OK && !outside && calls > 0) {
        Sink failing{data, {}, 0, 1 + unsigned(size % calls)};
        PatchOutput bad{SinkWrite, SinkCopy, &failing, size};
        PatchCursor again = body;
        FUZZ_CHECK(RunCommands(&again, &bad) == PR_NOTWRITTEN);
        FUZZ_CHECK(again.pos == walk.pos);
    }
    *next = walk;
    *result = walkRc;
}

void CheckWholeBody(const PatchCursor& body, PatchCursor* next, int* result) {
    PatchCursor c = body;
    const unsigned char* content = nullptr;
    uint32_t length = 0;
    int rc = ReadWholeFile(&c, &content, &length);
    if (rc != PR_OK) {
        FUZZ_CHECK(rc == PR_BADDATA);
        FUZZ_CHECK(c.pos == body.pos && c.end == body.end);
        FUZZ_CHECK(CursorLeft(&body) < WHOLEFILE_HEAD_SIZE ||
                   fuzz::LoadLE(body.pos + 1, 4) > CursorLeft(&body) - WHOLEFILE_HEAD_SIZE);
        *result = rc;
        return;
    }
    FUZZ_CHECK(content == body.pos + WHOLEFILE_HEAD_SIZE);
    FUZZ_CHECK(length == fuzz::LoadLE(body.pos + 1, 4));
    FUZZ_CHECK(c.pos == content + length && c.pos <= c.end);

    // the checksum of the content, taken in two pieces, is the one-pass sum
    size_t cut = length ? size_t(content[0]) % (length + 1) : 0;
    XorSumState st;
    XorSumBegin(&st);
    XorSumAdd(&st, content, cut);
    XorSumAdd(&st, content + cut, length - cut);
    FUZZ_CHECK(XorSumEnd(&st) == XorSum(content, length));
    *next = c;
    *result = PR_OK;
}

void CheckTrailer(const uint8_t* data, size_t size, size_t recordsEnd, unsigned count) {
    PatchTrailer t;
    int kind = FindTrailer(data, size, recordsEnd, count, &t);
    FUZZ_CHECK(kind == TRAILER_NONE || kind == TRAILER_FOUND || kind == TRAILER_BAD);
    if (kind == TRAILER_FOUND) {
        // the entries and the tail lie between the records and the end
        FUZZ_CHECK(t.start == recordsEnd && t.entries == data + recordsEnd && t.count == count);
        size_t length = size_t(count) * TRAILER_ENTRY_SIZE + TRAILER_TAIL_SIZE;
        FUZZ_CHECK(length <= size - recordsEnd && size - recordsEnd - length <= TRAILER_MAX_PAD);
        FUZZ_CHECK(std::memcmp(data + recordsEnd + length - TRAILER_TAG_SIZE, TRAILER_TAG, TRAILER_TAG_SIZE) == 0);
        FUZZ_CHECK(t.containerCrc == fuzz::LoadLE(data + recordsEnd + length - TRAILER_TAIL_SIZE, 4));
    }
    if (count > 64)
        return;  // the written trailer below is kept small
    // The writer's trailer for these records, entries made from the data.
    std::vector<unsigned char> copy(data, data + recordsEnd);
    std::vector<TrailerEntry> entries(count);
    for (unsigned i = 0; i < count; i++) {
        entries[i] = {uint32_t(i * 7), uint32_t(size + i), uint32_t(recordsEnd), uint32_t(~i)};
        unsigned char buf[TRAILER_ENTRY_SIZE];
        copy.insert(copy.end(), buf, buf + PutTrailerEntry(buf, &entries[i]));
    }
    uint32_t crc = Crc32Update(0, data, recordsEnd);
    unsigned char tail[TRAILER_TAIL_SIZE];
    copy.insert(copy.end(), tail, tail + PutTrailerTail(tail, crc, count));
    copy.resize(copy.size() + size % (TRAILER_MAX_PAD + 1), 0);  // signing padding
    PatchTrailer w;
    FUZZ_CHECK(FindTrailer(copy.data(), copy.size(), recordsEnd, count, &w) == TRAILER_FOUND);
    FUZZ_CHECK(w.containerCrc == crc && w.start == recordsEnd);
    for (unsigned i = 0; i < count; i++) {
        TrailerEntry e;
        GetTrailerEntry(&w, i, &e);
        FUZZ_CHECK(std::memcmp(&e, &entries[i], sizeof e) == 0);
    }
    // one more or one fewer record than entries is not this trailer
    FUZZ_CHECK(FindTrailer(copy.data(), copy.size(), recordsEnd, count + 1, &w) == TRAILER_BAD);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    PatchCursor cur;
    CursorInit(&cur, data, size);
    unsigned count = 0;
    if (ReadContainerHeader(&cur, &count) != PR_OK) {
        FUZZ_CHECK(size < CONTAINER_HEADER_SIZE && cur.pos == data);
        return 0;
    }
    FUZZ_CHECK(count == fuzz::LoadLE(data, 2) && cur.pos == data + CONTAINER_HEADER_SIZE);

    for (unsigned r = 0; r < count; r++) {
        const PatchCursor start = cur;
        PatchRecordHead head;
        int rc = ReadRecordHead(&cur, &head);
        PatchCursor skipped = start;
        int skipRc = SkipRecord(&skipped);
        if (rc != PR_OK) {
            FUZZ_CHECK(rc == PR_BADDATA && cur.pos == start.pos);
            FUZZ_CHECK(skipRc == PR_BADDATA);
            return 0;
        }
        FUZZ_CHECK(head.oldSum == fuzz::LoadLE(start.pos, 4));
        FUZZ_CHECK(head.newSum == fuzz::LoadLE(start.pos + 4, 4));
        const unsigned char* name = reinterpret_cast<const unsigned char*>(head.name);
        FUZZ_CHECK(name == start.pos + RECORD_SUMS_SIZE);
        FUZZ_CHECK(name + head.nameLen < cur.end && name[head.nameLen] == 0);
        FUZZ_CHECK(std::memchr(name, 0, head.nameLen) == nullptr);
        FUZZ_CHECK(cur.pos == name + head.nameLen + 1 && cur.pos < cur.end);

        PatchCursor next = cur;
        int bodyRc;
        if (BodyIsWholeFile(&cur))
            CheckWholeBody(cur, &next, &bodyRc);
        else
            CheckDeltaBody(cur, data, size, &next, &bodyRc);
        FUZZ_CHECK(skipRc == bodyRc);
        if (bodyRc != PR_OK)
            return 0;
        FUZZ_CHECK(skipped.pos == next.pos);
        cur = next;
    }
    CheckTrailer(data, size, size_t(cur.pos - data), count);
    return 0;
}
