// The old file is cut into blocks of B bytes; each block's hash goes into
// an open-addressing table, the first of equal blocks only, so a block
// repeated many times costs one entry. The new file is walked a byte at a
// time with a rolling hash of the B bytes ahead; where it names a block
// whose bytes are the same, the match is stretched backward over the bytes
// not yet planned and forward as far as both files agree, and the walk
// goes on after it. After an edit inside a long match the next block
// boundary of the old file is at most B bytes on, so the walk finds the
// match again and the backward stretch takes back the bytes between.
//
// The hash is a polynomial over the block's bytes modulo 2^64; its top
// bits choose the table slot and the next 32 are kept to tell blocks
// apart without reading the old file.
#include "large_plan.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "error.h"
#include "files.h"

namespace mkpatch {
namespace {

constexpr uint64_t kMultiplier = 0x9E3779B97F4A7C15ull;
constexpr uint32_t kMinBlock = 32;
constexpr uint32_t kMaxBlock = 1u << 16;
constexpr uint64_t kOldCache = uint64_t{4} << 20;  // per thread
constexpr uint64_t kReserve = uint64_t{16} << 20;  // the plan, the heap's own slack

// The old file through a window that follows the reads.
class OldWindow {
public:
    OldWindow(const fs::path& p, uint64_t size) : file_(p), size_(size), bytes_(std::min(kOldCache, size)) {}

    // The bytes [offset, offset + n) with n at most the window's size and
    // the range inside the file; backward says the reads go down.
    const uint8_t* Get(uint64_t offset, size_t n, bool backward = false) {
        if (offset < start_ || offset + n > start_ + have_) {
            uint64_t from = offset;
            if (backward)
                from = offset + n > bytes_.size() ? offset + n - bytes_.size() : 0;
            have_ = static_cast<size_t>(std::min<uint64_t>(bytes_.size(), size_ - from));
            file_.ReadAt(from, bytes_.data(), have_);
            start_ = from;
        }
        return bytes_.data() + (offset - start_);
    }
    size_t Capacity() const { return bytes_.size(); }

private:
    ByteSource file_;
    uint64_t size_;
    std::vector<uint8_t> bytes_;
    uint64_t start_ = 0;
    size_t have_ = 0;
};

uint64_t Power(uint64_t base, uint32_t exp) {
    uint64_t r = 1;
    while (exp--)
        r *= base;
    return r;
}

uint64_t HashBlock(const uint8_t* p, uint32_t n) {
    uint64_t h = 0;
    for (uint32_t i = 0; i < n; i++)
        h = h * kMultiplier + p[i] + 1;
    return h;
}

// The index: entries hold (check << 32) | (block + 1); 0 is empty.
class BlockIndex {
public:
    BlockIndex(uint64_t slots, uint32_t blockSize) : bits_(0), block_(blockSize), table_(slots, 0) {
        while ((uint64_t{1} << bits_) < slots)
            bits_++;
    }

    void Insert(uint64_t hash, uint32_t block) {
        uint32_t check = Check(hash);
        for (uint64_t i = Slot(hash);; i = (i + 1) & Mask()) {
            uint64_t e = table_[i];
            if (e == 0) {
                table_[i] = (uint64_t{check} << 32) | (uint64_t{block} + 1);
                return;
            }
            if (static_cast<uint32_t>(e >> 32) == check)
                return;  // an equal block (or a twin hash) is there already
        }
    }

    // The block whose hash this is, or -1.
    int64_t Find(uint64_t hash) const {
        uint32_t check = Check(hash);
        for (uint64_t i = Slot(hash);; i = (i + 1) & Mask()) {
            uint64_t e = table_[i];
            if (e == 0)
                return -1;
            if (static_cast<uint32_t>(e >> 32) == check)
                return static_cast<int64_t>((e & 0xFFFFFFFFu) - 1);
        }
    }

    uint32_t BlockSize() const { return block_; }

private:
    uint64_t Mask() const { return (uint64_t{1} << bits_) - 1; }
    uint64_t Slot(uint64_t hash) const { return bits_ ? hash >> (64 - bits_) : 0; }
    static uint32_t Check(uint64_t hash) { return static_cast<uint32_t>(hash >> 16); }

    unsigned bits_;
    uint32_t block_;
    std::vector<uint64_t> table_;
};

// Indexes every whole block of the old file; report(done, of) follows the
// reading.
template <class Report>
BlockIndex BuildIndex(const fs::path& oldPath, uint64_t oldSize, const LargePlanShape& shape, Report report) {
    BlockIndex index(shape.tableBytes / 8, shape.blockSize);
    ByteSource file(oldPath);
    const uint32_t b = shape.blockSize;
    std::vector<uint8_t> chunk(std::max<size_t>(b, size_t{4} << 20) / b * b);
    uint64_t blocks = oldSize / b;
    for (uint64_t first = 0; first < blocks;) {
        uint64_t n = std::min<uint64_t>(blocks - first, chunk.size() / b);
        file.ReadAt(first * b, chunk.data(), static_cast<size_t>(n * b));
        for (uint64_t k = 0; k < n; k++)
            index.Insert(HashBlock(chunk.data() + k * b, b), static_cast<uint32_t>(first + k));
        first += n;
        report(first, blocks);
    }
    return index;
}

// Plans new[start, end), whose bytes are at seg, against the old file.
std::vector<LargeCopy> PlanSegment(const BlockIndex& index, OldWindow& old, uint64_t oldSize,
                                   const uint8_t* seg, uint64_t start, uint64_t end) {
    std::vector<LargeCopy> out;
    const uint32_t b = index.BlockSize();
    const uint64_t top = Power(kMultiplier, b - 1);
    const uint64_t n = end - start;
    uint64_t planned = 0;  // bytes of the segment before this are decided
    uint64_t p = 0;
    while (p + b <= n) {
        uint64_t h = HashBlock(seg + p, b);
        int64_t hit = -1;
        for (;;) {
            hit = index.Find(h);
            if (hit >= 0 && std::memcmp(old.Get(uint64_t(hit) * b, b), seg + p, b) == 0)
                break;
            hit = -1;
            if (p + b >= n)
                break;
            h = (h - (seg[p] + 1ull) * top) * kMultiplier + seg[p + b] + 1;
            p++;
        }
        if (hit < 0)
            break;
        uint64_t from = uint64_t(hit) * b, at = p;
        // backward, over bytes no copy has taken yet
        while (at > planned && from > 0) {
            size_t piece = static_cast<size_t>(std::min<uint64_t>({at - planned, from, old.Capacity()}));
            const uint8_t* o = old.Get(from - piece, piece, true);
            size_t k = 0;
            while (k < piece && o[piece - 1 - k] == seg[at - 1 - k])
                k++;
            at -= k;
            from -= k;
            if (k < piece)
                break;
        }
        // forward, from the block's end as far as both agree
        uint64_t len = p + b - at;
        while (at + len < n && from + len < oldSize) {
            size_t piece = static_cast<size_t>(std::min<uint64_t>({n - at - len, oldSize - from - len, old.Capacity()}));
            const uint8_t* o = old.Get(from + len, piece);
            const uint8_t* s = seg + at + len;
            size_t k = 0;
            while (k < piece && o[k] == s[k])
                k++;
            len += k;
            if (k < piece)
                break;
        }
        out.push_back({start + at, from, len});
        planned = at + len;
        p = planned;
    }
    return out;
}

}  // namespace

// The index takes at most half the cap, whatever the thread count, so that
// the plan depends on the cap alone; the segments and windows of the
// threads share the other half.
LargePlanShape ChooseLargePlan(uint64_t oldSize, const LargePlanOptions& opts) {
    for (uint32_t b = kMinBlock; b <= kMaxBlock; b *= 2) {
        uint64_t blocks = oldSize / b;
        if (blocks >= 0xFFFFFFFFull)
            continue;  // block numbers are 32-bit
        uint64_t slots = 1;
        while (slots < 2 * blocks + 1)
            slots *= 2;
        if (slots * 8 <= opts.memoryCap / 2)
            return {b, slots * 8};
    }
    throw Error("--memory " + std::to_string(opts.memoryCap >> 20) + " MiB is too little for an old file of " +
                std::to_string(oldSize) + " bytes; give more");
}

// How many threads the other half of the cap feeds: each holds a segment
// of the new file and a window of the old one.
unsigned ThreadsWithin(const LargePlanOptions& opts, unsigned wanted) {
    uint64_t half = opts.memoryCap / 2;
    uint64_t each = opts.segment + kOldCache;
    uint64_t fit = half > kReserve ? (half - kReserve) / each : 0;
    return static_cast<unsigned>(std::max<uint64_t>(1, std::min<uint64_t>(wanted, fit)));
}

std::vector<LargeCopy> PlanLargeDelta(const fs::path& oldPath, const fs::path& newPath,
                                      const LargePlanOptions& optsIn, const EncodeProgress& onProgress) {
    LargePlanOptions opts = optsIn;
    opts.threads = ThreadsWithin(opts, opts.threads ? opts.threads : std::max(1u, std::thread::hardware_concurrency()));
    std::error_code ec;
    uint64_t oldSize = fs::file_size(oldPath, ec);
    if (ec)
        throw Error(Utf8(oldPath) + ": " + ec.message());
    uint64_t newSize = fs::file_size(newPath, ec);
    if (ec)
        throw Error(Utf8(newPath) + ": " + ec.message());
    LargePlanShape shape = ChooseLargePlan(oldSize, opts);
    // the index takes about a third of the time, the segments the rest
    constexpr uint32_t kIndexShare = kProgressWhole / 3;
    auto report = [&](uint64_t part, uint64_t of, uint32_t base, uint32_t share) {
        if (onProgress)
            onProgress(base + static_cast<uint32_t>(of ? share * part / of : share));
    };
    report(0, 1, 0, 0);
    BlockIndex index = BuildIndex(oldPath, oldSize, shape, [&](uint64_t part, uint64_t of) {
        report(part, of, 0, kIndexShare);
    });

    const uint64_t segments = (newSize + opts.segment - 1) / opts.segment;
    std::vector<std::vector<LargeCopy>> plans(segments);
    std::atomic<uint64_t> next{0};
    std::atomic<uint64_t> done{0};
    std::mutex failMutex;
    std::string failure;
    // Only the calling thread reports, between its segments.
    auto work = [&](bool reporter) {
        try {
            ByteSource newFile(newPath);
            OldWindow old(oldPath, oldSize);
            std::vector<uint8_t> seg;
            for (uint64_t s; (s = next++) < segments;) {
                uint64_t start = s * opts.segment, end = std::min(newSize, start + opts.segment);
                seg.resize(static_cast<size_t>(end - start));
                newFile.ReadAt(start, seg.data(), seg.size());
                if (oldSize)
                    plans[s] = PlanSegment(index, old, oldSize, seg.data(), start, end);
                done++;
                if (reporter)
                    report(done, segments, kIndexShare, kProgressWhole - kIndexShare);
            }
        } catch (const std::exception& e) {
            std::lock_guard<std::mutex> lock(failMutex);
            if (failure.empty())
                failure = e.what();
            next = segments;
        }
    };
    std::vector<std::thread> pool;
    unsigned threads = static_cast<unsigned>(std::min<uint64_t>(opts.threads, std::max<uint64_t>(segments, 1)));
    for (unsigned t = 1; t < threads; t++)
        pool.emplace_back(work, false);
    work(true);
    for (std::thread& t : pool)
        t.join();
    if (!failure.empty())
        throw Error(failure);
    if (onProgress)
        onProgress(kProgressWhole);

    std::vector<LargeCopy> all;
    for (auto& p : plans)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

}  // namespace mkpatch
