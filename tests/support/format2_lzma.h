// A coder for Format2Builder::Code: each stream LZMA-coded by mkpatch's
// encoder with the smallest dictionary, for tests that link mkpatch_lib.
#pragma once

#include "core/format2.h"
#include "core/lzma.h"
#include "format2_builder.h"
#include "tools/mkpatch/lib/lzma_enc.h"

namespace testing_support {

inline Format2Builder::Bytes LzmaCoded(const Format2Builder::Bytes& data, F2StreamHead* head) {
    mkpatch::LzmaOptions o;
    o.dictSize = LZMA_DICT_MIN;
    head->method = F2_LZMA;
    head->props = mkpatch::LzmaPropsByte(o);
    head->dictSize = o.dictSize;
    return mkpatch::LzmaEncode(data, o);
}

}  // namespace testing_support
