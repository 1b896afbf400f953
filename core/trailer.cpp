// The integrity trailer, read from the end and written by container makers.
#include "core/trailer.h"
#include "core/format.h"

#include <string.h>

int FindTrailer(const unsigned char* container, size_t size, size_t recordsEnd, unsigned count,
                PatchTrailer* t) {
    if (recordsEnd > size)
        return TRAILER_BAD;
    size_t end = size;
    // zero bytes of a signature's padding, never more than seven and never
    // into the records
    for (unsigned pad = 0; pad < TRAILER_MAX_PAD && end > recordsEnd && container[end - 1] == 0; pad++)
        end--;
    if (end - recordsEnd < TRAILER_TAG_SIZE ||
        memcmp(container + end - TRAILER_TAG_SIZE, TRAILER_TAG, TRAILER_TAG_SIZE) != 0)
        return TRAILER_NONE;
    if (end - recordsEnd < TRAILER_TAIL_SIZE)
        return TRAILER_BAD;
    const unsigned char* tail = container + end - TRAILER_TAIL_SIZE;
    uint32_t length = GetU32(tail + 8);
    // Compared with what is there, never added to a position first.
    if (length != end - recordsEnd || GetU16(tail + 4) != TRAILER_VERSION || GetU16(tail + 6) != 0 ||
        (length - TRAILER_TAIL_SIZE) / TRAILER_ENTRY_SIZE != count ||
        (length - TRAILER_TAIL_SIZE) % TRAILER_ENTRY_SIZE != 0)
        return TRAILER_BAD;
    t->entries = container + recordsEnd;
    t->count = count;
    t->containerCrc = GetU32(tail);
    t->start = recordsEnd;
    return TRAILER_FOUND;
}

void GetTrailerEntry(const PatchTrailer* t, unsigned index, TrailerEntry* e) {
    const unsigned char* p = t->entries + (size_t)index * TRAILER_ENTRY_SIZE;
    e->newLength = GetU32(p);
    e->newCrc = GetU32(p + 4);
    e->oldLength = GetU32(p + 8);
    e->oldCrc = GetU32(p + 12);
}

size_t PutTrailerEntry(unsigned char out[TRAILER_ENTRY_SIZE], const TrailerEntry* e) {
    PutU32(out, e->newLength);
    PutU32(out + 4, e->newCrc);
    PutU32(out + 8, e->oldLength);
    PutU32(out + 12, e->oldCrc);
    return TRAILER_ENTRY_SIZE;
}

size_t PutTrailerTail(unsigned char out[TRAILER_TAIL_SIZE], uint32_t containerCrc, unsigned count) {
    PutU32(out, containerCrc);
    PutU16(out + 4, TRAILER_VERSION);
    PutU16(out + 6, 0);
    PutU32(out + 8, (uint32_t)(TRAILER_TAIL_SIZE + (size_t)count * TRAILER_ENTRY_SIZE));
    memcpy(out + 12, TRAILER_TAG, TRAILER_TAG_SIZE);
    return TRAILER_TAIL_SIZE;
}
