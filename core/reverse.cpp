// The reverse sweep of a forward command stream; see reverse.h.
#include "core/reverse.h"

// A stream in memory: pos counts from the cursor's position.
static int ReadFromCursor(void* ctx, uint64_t* pos, PatchCommand* cmd) {
    PatchCursor c = *(const PatchCursor*)ctx;
    c.pos += *pos;  // never past the end: each step below was checked
    int result = ReadCommand(&c, cmd);
    *pos = (uint64_t)(c.pos - ((const PatchCursor*)ctx)->pos);
    return result;
}

int ReverseCommands(PatchCursor stream, uint32_t oldSize, ReverseCopy* table, size_t capacity,
                    const ReverseSink* sink) {
    CommandSource source = {ReadFromCursor, &stream, 0};
    return ReverseCommandsFrom(&source, oldSize, table, capacity, sink);
}

// Makes c the best copy when it reaches further than the best so far:
// bestEnd is where that one ends in the old file, shift what turns its
// old offsets into new ones (modulo 2^32).
static void Reach(const ReverseCopy* c, uint32_t* bestEnd, uint32_t* shift) {
    if (c->from + c->length > *bestEnd) {
        *bestEnd = c->from + c->length;
        *shift = c->at - c->from;
    }
}

int ReverseCommandsFrom(const CommandSource* stream, uint32_t oldSize, ReverseCopy* table, size_t capacity,
                        const ReverseSink* sink) {
    for (uint32_t lo = 0, hi; lo < oldSize; lo = hi) {
        // Read the stream for the window [lo, hi): the copy starting at or
        // before lo that reaches furthest is the best one, the copies
        // starting inside the window go into the table, kept sorted by old
        // offset. When the table is too small the window is halved and the
        // stream read again; a window of one byte needs no table.
        uint32_t bestEnd, shift;
        size_t n;
        PatchCommand cmd;
        hi = oldSize;
        for (;;) {
            uint64_t pos = stream->start;
            uint32_t at = 0;
            n = 0;
            bestEnd = shift = 0;
            for (;;) {
                if (stream->read(stream->ctx, &pos, &cmd) != PR_OK)
                    return PR_BADDATA;
                if (cmd.op == CMD_END)
                    break;
                ReverseCopy copy = {cmd.offset, cmd.length, at};
                at += cmd.length;
                if (cmd.op != CMD_COPY || !copy.length)
                    continue;
                if (copy.from <= lo) {
                    Reach(&copy, &bestEnd, &shift);
                } else if (copy.from < hi) {
                    if (n == capacity)
                        break;
                    size_t k = n++;
                    for (; k && table[k - 1].from > copy.from; k--)
                        table[k] = table[k - 1];
                    table[k] = copy;
                }
            }
            if (cmd.op == CMD_END)
                break;
            hi = lo + (hi - lo) / 2;
        }
        // Sweep the window: the best copy is, of those starting at or
        // before x, the one that reaches furthest.
        size_t i = 0;
        for (uint32_t x = lo, stop; x < hi; x = stop) {
            for (; i < n && table[i].from <= x; i++)
                Reach(&table[i], &bestEnd, &shift);
            unsigned op = CMD_INSERT;
            uint32_t from = x;
            stop = i < n ? table[i].from : hi;
            if (bestEnd > x) {
                stop = bestEnd < hi ? bestEnd : hi;
                op = CMD_COPY;
                from = x + shift;
            }
            if (!sink->emit(sink->ctx, op, from, stop - x))
                return PR_NOTWRITTEN;
        }
    }
    return PR_OK;
}
