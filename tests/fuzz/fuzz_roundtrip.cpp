// The encoder's promise, checked on fuzzer-made pairs. Input: a 16-bit
// length k, k bytes of old file, the rest is the new file. The stream that
// EncodeDelta makes, run by the core against the old bytes, gives the new
// bytes exactly and ends on its CMD_END; it is never larger than one insert
// of the whole new file (5 + size + 1 bytes), nor than one copy when the new
// file lies whole inside the old one. The same input bytes read as a stream
// must mean the same to the tool's RunDeltaInMemory and to the core.
#include <algorithm>
#include <span>
#include <vector>

#include "core/format.h"
#include "fuzz_check.h"
#include "tests/support/memory_output.h"
#include "tools/mkpatch/lib/encoder.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Runs a stream with the core; result and output, and whether the stream's
// CMD_END was its last byte.
int CoreApply(const Bytes& old, const Bytes& stream, Bytes* output, bool* endsAtEnd) {
    PatchCursor cur;
    CursorInit(&cur, stream.data(), stream.size());
    int rc = testing_support::RunInMemory(old, &cur, output);
    *endsAtEnd = cur.pos == cur.end;
    return rc;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2)
        return 0;
    size_t oldLen = std::min<size_t>(fuzz::LoadLE(data, 2), size - 2);
    const Bytes old(data + 2, data + 2 + oldLen);
    const Bytes fresh(data + 2 + oldLen, data + size);

    const Bytes stream = mkpatch::EncodeDelta(old, fresh);
    FUZZ_CHECK(stream.size() <= CMD_INSERT_HEAD_SIZE + fresh.size() + CMD_END_SIZE);
    if (!fresh.empty() && std::search(old.begin(), old.end(), fresh.begin(), fresh.end()) != old.end())
        FUZZ_CHECK(stream.size() <= CMD_COPY_SIZE + CMD_END_SIZE);

    Bytes rebuilt;
    bool atEnd = false;
    FUZZ_CHECK(CoreApply(old, stream, &rebuilt, &atEnd) == PR_OK);
    FUZZ_CHECK(atEnd);
    FUZZ_CHECK(rebuilt == fresh);

    int toolRc = -1;
    Bytes toolOut = mkpatch::RunDeltaInMemory(old, stream, &toolRc);
    FUZZ_CHECK(toolRc == PR_OK && toolOut == fresh);

    // The new bytes read as a stream: the tool and the core agree, except
    // that the tool also refuses bytes after the CMD_END.
    Bytes coreOut;
    int coreRc = CoreApply(old, fresh, &coreOut, &atEnd);
    Bytes toolAny = mkpatch::RunDeltaInMemory(old, fresh, &toolRc);
    if (coreRc == PR_OK && !atEnd)
        coreRc = PR_BADDATA;
    if (coreRc == PR_NOTWRITTEN)
        FUZZ_CHECK(!"the in-memory output never fails");
    FUZZ_CHECK(toolRc == coreRc);
    if (coreRc == PR_OK)
        FUZZ_CHECK(toolAny == coreOut);
    else
        FUZZ_CHECK(toolAny.empty());
    return 0;
}
