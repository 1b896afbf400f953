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

int ReverseCommandsFrom(const CommandSource* stream, uint32_t oldSize, ReverseCopy* table, size_t capacity,
                        const ReverseSink* sink) {
    for (uint32_t lo = 0, hi; lo < oldSize; lo = hi) {
        // Read the stream for the window [lo, hi): the copy starting at or
        // before lo that reaches furthest goes to best, the copies starting
        // inside the window into the table, kept sorted by old offset. When
        // the table is too small the window is halved and the stream read
        // again; a window of one byte needs no table.
        ReverseCopy best;
        size_t n;
        PatchCommand cmd;
        hi = oldSize;
        for (;;) {
            uint64_t pos = stream->start;
            uint32_t at = 0;
            n = 0;
            best.from = best.length = best.at = 0;
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
                    if (copy.from + copy.length > best.from + best.length)
                        best = copy;
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
        // Sweep the window: best is, of the copies starting at or before x,
        // the one that reaches furthest.
        size_t i = 0;
        for (uint32_t x = lo, stop; x < hi; x = stop) {
            for (; i < n && table[i].from <= x; i++)
                if (table[i].from + table[i].length > best.from + best.length)
                    best = table[i];
            uint32_t bestEnd = best.from + best.length;
            unsigned op = CMD_INSERT;
            uint32_t from = x;
            stop = i < n ? table[i].from : hi;
            if (bestEnd > x) {
                stop = bestEnd < hi ? bestEnd : hi;
                op = CMD_COPY;
                from = best.at + (x - best.from);
            }
            if (!sink->emit(sink->ctx, op, from, stop - x))
                return PR_NOTWRITTEN;
        }
    }
    return PR_OK;
}
