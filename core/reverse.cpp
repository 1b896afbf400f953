// The reverse sweep of a forward command stream; see reverse.h.
#include "core/reverse.h"

// The command waiting to be sent: it grows while the next one continues it.
typedef struct Pending {
    unsigned op;
    uint32_t from;
    uint32_t length;
    const ReverseSink* sink;
} Pending;

// Adds a command; CMD_END only sends what waits.
static int Emit(Pending* p, unsigned op, uint32_t from, uint32_t length) {
    if (p->length && p->op == op && p->from + p->length == from) {
        p->length += length;
        return 1;
    }
    int ok = !p->length || p->sink->emit(p->sink->ctx, p->op, p->from, p->length);
    p->op = op;
    p->from = from;
    p->length = length;
    return ok;
}

static void SiftDown(ReverseCopy* a, size_t root, size_t n) {
    ReverseCopy v = a[root];
    for (size_t child; (child = 2 * root + 1) < n; root = child) {
        if (child + 1 < n && a[child + 1].from > a[child].from)
            child++;
        if (a[child].from <= v.from)
            break;
        a[root] = a[child];
    }
    a[root] = v;
}

// Heap sort by old offset: bounded time whatever order the copies came in.
static void SortByFrom(ReverseCopy* a, size_t n) {
    for (size_t i = n / 2; i-- > 0;)
        SiftDown(a, i, n);
    while (n-- > 1) {
        ReverseCopy top = a[0];
        a[0] = a[n];
        a[n] = top;
        SiftDown(a, 0, n);
    }
}

// Reads the stream for the window [lo, *hi): the copy starting at or before
// lo that reaches furthest goes to *best (length 0 when none), the copies
// starting inside the window to the table. When the table is too small the
// window is halved and the stream read again; a window of one byte needs
// no table. Returns the number of table entries, or -1 for bad data.
static long Collect(PatchCursor stream, uint32_t lo, uint32_t* hi, ReverseCopy* table, size_t capacity,
                    ReverseCopy* best) {
    for (;;) {
        PatchCursor c = stream;
        PatchCommand cmd;
        uint32_t at = 0;
        size_t n = 0;
        best->from = 0;
        best->length = 0;
        int full = 0;
        do {
            if (ReadCommand(&c, &cmd) != PR_OK)
                return -1;
            if (cmd.op == CMD_COPY && cmd.length) {
                ReverseCopy copy = {cmd.offset, cmd.length, at};
                uint64_t end = (uint64_t)copy.from + copy.length;
                if (copy.from <= lo) {
                    if (end > (uint64_t)best->from + best->length)
                        *best = copy;
                } else if (copy.from < *hi) {
                    if (n == capacity)
                        full = 1;
                    else
                        table[n++] = copy;
                }
            }
            at += cmd.length;
        } while (cmd.op != CMD_END && !full);
        if (!full)
            return (long)n;
        *hi = lo + (*hi - lo) / 2;
    }
}

int ReverseCommands(PatchCursor stream, uint32_t oldSize, ReverseCopy* table, size_t capacity,
                    const ReverseSink* sink) {
    Pending p = {CMD_END, 0, 0, sink};
    for (uint32_t lo = 0; lo < oldSize;) {
        uint32_t hi = oldSize;
        ReverseCopy best;
        long n = Collect(stream, lo, &hi, table, capacity, &best);
        if (n < 0)
            return PR_BADDATA;
        SortByFrom(table, (size_t)n);
        // best: of the copies starting at or before x, the one reaching furthest
        long i = 0;
        for (uint32_t x = lo; x < hi;) {
            for (; i < n && table[i].from <= x; i++)
                if ((uint64_t)table[i].from + table[i].length > (uint64_t)best.from + best.length)
                    best = table[i];
            uint64_t bestEnd = (uint64_t)best.from + best.length;
            uint32_t stop;
            int ok;
            if (bestEnd > x) {
                stop = bestEnd < hi ? (uint32_t)bestEnd : hi;
                ok = Emit(&p, CMD_COPY, best.at + (x - best.from), stop - x);
            } else {
                stop = i < n ? table[i].from : hi;
                ok = Emit(&p, CMD_INSERT, x, stop - x);
            }
            if (!ok)
                return PR_NOTWRITTEN;
            x = stop;
        }
        lo = hi;
    }
    return Emit(&p, CMD_END, 0, 0) ? PR_OK : PR_NOTWRITTEN;
}
