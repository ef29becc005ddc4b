#include "meshcore/edges.h"

#include <algorithm>
#include <bit>
#include <cassert>
#include <cstring>

#include "meshcore/okvx.h"

namespace {

constexpr uint64_t kPrefetchDistance = 16;

// 16-bit indices: a mesh addresses at most 65,536 vertices, so both ends of
// every edge built from a mesh fit in 16 bits and the unordered pair fits in
// one 32-bit key. Lines with a wider index (the sentinel, or anything a
// caller passes in) take 64-bit keys.
bool IsNarrow(const CLine& l) {
    return l.a <= 0xFFFF && l.b <= 0xFFFF;
}

uint32_t NarrowKey(const CLine& l) {
    return std::min(l.a, l.b) << 16 | std::max(l.a, l.b);
}

uint64_t WideKey(const CLine& l) {
    return uint64_t{std::min(l.a, l.b)} << 32 | std::max(l.a, l.b);
}

// A set of keys: open addressing with linear probing over a power-of-two
// table kept at most half full, hashed with the high bits of a
// multiplicative hash. The table starts small and doubles as keys arrive, so
// a mesh with few distinct edges keeps it in the caches. Keys hold the
// smaller index in the high half, so a key whose high half is all ones and
// low half zero belongs to no edge and marks an empty slot.
template <typename Key>
class KeySet {
public:
    static constexpr Key kEmpty = static_cast<Key>(~Key{0} << (4 * sizeof(Key)));

    enum class Result { added, present, noMemory };

    // `expected`: about how many keys may come; the first table holds at
    // most 32,768 of them.
    explicit KeySet(uint64_t expected)
        : initialSlots_(std::clamp<uint64_t>(
              std::bit_ceil(std::min<uint64_t>(expected, 1u << 15)) * 2, 16, 1u << 16)) {}
    KeySet(const KeySet&) = delete;
    KeySet& operator=(const KeySet&) = delete;
    ~KeySet() { KvxFree(slots_); }

    // Asks the processor to fetch the slot of `key` ahead of its insert.
    void prefetch(Key key) const {
        if (slots_ != nullptr) __builtin_prefetch(slots_ + home(key));
    }

    // Adds `key` unless it is there already. noMemory leaves the set as it
    // was, with the size of the failed request in failedBytes().
    Result insert(Key key) {
        if (slots_ == nullptr && !grow()) return Result::noMemory;
        uint64_t i = home(key);
        while (slots_[i] != kEmpty) {
            if (slots_[i] == key) return Result::present;
            i = (i + 1) & mask_;
        }
        if (count_ + 1 > (mask_ + 1) / 2) {
            if (!grow()) return Result::noMemory;
            i = home(key);
            while (slots_[i] != kEmpty)
                i = (i + 1) & mask_;
        }
        slots_[i] = key;
        ++count_;
        return Result::added;
    }

    uint64_t failedBytes() const { return failedBytes_; }

private:
    uint64_t home(Key key) const { return (uint64_t{key} * 0x9E3779B97F4A7C15u) >> shift_; }

    bool grow() {
        uint64_t size = slots_ == nullptr ? initialSlots_ : 2 * (mask_ + 1);
        Key* grown = size > (uint64_t{1} << 58) ? nullptr : KvxAllocateArray<Key>(size);
        if (grown == nullptr) {
            failedBytes_ = size * sizeof(Key);
            return false;
        }
        std::fill_n(grown, size, kEmpty);
        Key* old = slots_;
        uint64_t oldSize = old == nullptr ? 0 : mask_ + 1;
        slots_ = grown;
        mask_ = size - 1;
        shift_ = 64 - std::countr_zero(size);
        for (uint64_t k = 0; k < oldSize; ++k) {
            if (old[k] == kEmpty) continue;
            uint64_t i = home(old[k]);
            while (slots_[i] != kEmpty)
                i = (i + 1) & mask_;
            slots_[i] = old[k];
        }
        KvxFree(old);
        return true;
    }

    uint64_t initialSlots_;
    Key* slots_ = nullptr;
    uint64_t mask_ = 0;
    int shift_ = 0;
    uint64_t count_ = 0;
    uint64_t failedBytes_ = 0;
};

enum class HashResult { complete, noMemory, tooMany };

// Appends the records of `from` from `done` on that are new to `into`,
// advancing `done` and `appended`. Stops early when a table cannot be
// allocated (noMemory: `into` then holds the result for the first `done`
// records, which the plain scan can carry on from), or when more than
// `maxDistinct` distinct 16-bit edges turn up (tooMany).
HashResult HashedAppend(const CLine* from, CLine* into, uint64_t count, uint64_t capacity,
                        uint64_t maxDistinct, uint64_t& done, uint64_t& appended,
                        uint64_t& failedBytes) {
    KeySet<uint32_t> narrowSet(count);
    KeySet<uint64_t> wideSet(0);
    uint64_t narrowDistinct = 0;
    // The scan this replaces compares against every slot of `into`: the
    // lines appended so far and, behind them, the sentinels still unfilled.
    for (; done < count; ++done) {
        // Fetch a few edges ahead, so that cache misses overlap.
        const uint64_t ahead = done + kPrefetchDistance;
        if (ahead < count && IsNarrow(from[ahead])) narrowSet.prefetch(NarrowKey(from[ahead]));

        const CLine& line = from[done];
        KeySet<uint32_t>::Result narrow{};
        KeySet<uint64_t>::Result wide{};
        bool isNew;
        if (IsNarrow(line)) {
            narrow = narrowSet.insert(NarrowKey(line));
            isNew = narrow == KeySet<uint32_t>::Result::added;
            if (isNew && ++narrowDistinct > maxDistinct) return HashResult::tooMany;
        } else if (line == kvx::kSentinelLine && appended < capacity) {
            isNew = false;
        } else {
            wide = wideSet.insert(WideKey(line));
            isNew = wide == KeySet<uint64_t>::Result::added;
        }
        if (narrow == KeySet<uint32_t>::Result::noMemory) {
            failedBytes = narrowSet.failedBytes();
            return HashResult::noMemory;
        }
        if (wide == KeySet<uint64_t>::Result::noMemory) {
            failedBytes = wideSet.failedBytes();
            return HashResult::noMemory;
        }
        if (isNew) into[appended++] = line;
    }
    return HashResult::complete;
}

// Beyond this many distinct edges the hash set outgrows the caches and
// nearly every probe misses: the partition below does better.
constexpr uint64_t kHashedDistinctLimit = uint64_t{1} << 19;

// De-duplication for lists of mostly distinct 16-bit edges, in four passes:
// CountBuckets sizes 1,024 buckets by a hash of the key; Spread places
// (key, position) pairs in them, stably; MarkFirsts de-duplicates each
// bucket with a table small enough for the caches, marking the position of
// every key's first occurrence; KeepMarked keeps the marked records in list
// order. The pairs live in `into`, which has room for `count` lines, so the
// only extra memory is one bit per record and the table of the largest
// bucket.
constexpr int kBucketBits = 10;
constexpr size_t kBuckets = size_t{1} << kBucketBits;

size_t BucketOf(uint32_t key) {
    return static_cast<size_t>((uint64_t{key} * 0x9E3779B97F4A7C15u) >> (64 - kBucketBits));
}

// Pass 1: where each bucket starts (bucketStart[b], and the end as
// bucketStart[kBuckets]), and the size of the largest. False when a record
// has an index above 65535.
bool CountBuckets(const CLine* from, uint64_t count, uint64_t (&bucketStart)[kBuckets + 1],
                  uint64_t& largest) {
    std::fill_n(bucketStart, kBuckets + 1, uint64_t{0});
    for (uint64_t i = 0; i < count; ++i) {
        if (!IsNarrow(from[i])) return false;
        ++bucketStart[BucketOf(NarrowKey(from[i])) + 1];
    }
    largest = 0;
    for (size_t b = 0; b < kBuckets; ++b) {
        largest = std::max(largest, bucketStart[b + 1]);
        bucketStart[b + 1] += bucketStart[b];
    }
    return true;
}

// Pass 2: the (key, position) pairs, bucket by bucket, in list order within
// each; a pair is as wide as a line.
void Spread(const CLine* from, uint64_t count, const uint64_t (&bucketStart)[kBuckets + 1],
            CLine* pairs) {
    static_assert(sizeof(CLine) == sizeof(uint64_t));
    uint64_t next[kBuckets];
    std::copy_n(bucketStart, kBuckets, next);
    for (uint64_t i = 0; i < count; ++i) {
        uint32_t key = NarrowKey(from[i]);
        uint64_t pair = uint64_t{key} << 32 | i;
        std::memcpy(pairs + next[BucketOf(key)]++, &pair, sizeof pair);
    }
}

// Pass 3: in each bucket, marks the position of each key's first
// occurrence. `table` holds at least twice the largest bucket.
void MarkFirsts(const CLine* pairs, const uint64_t (&bucketStart)[kBuckets + 1], uint32_t* table,
                uint64_t* marked) {
    constexpr uint32_t kEmpty = KeySet<uint32_t>::kEmpty;
    for (size_t b = 0; b < kBuckets; ++b) {
        const uint64_t size = bucketStart[b + 1] - bucketStart[b];
        if (size == 0) continue;
        const uint64_t slots = std::max<uint64_t>(16, std::bit_ceil(2 * size));
        const int shift = 64 - std::countr_zero(slots);
        std::fill_n(table, slots, kEmpty);
        for (uint64_t e = bucketStart[b]; e < bucketStart[b + 1]; ++e) {
            uint64_t pair;
            std::memcpy(&pair, pairs + e, sizeof pair);
            auto key = static_cast<uint32_t>(pair >> 32);
            // Keys of one bucket share the top bits of the bucket hash:
            // probe with another multiplier.
            uint64_t i = (uint64_t{key} * 0xD6E8FEB86659FD93u) >> shift;
            while (table[i] != kEmpty && table[i] != key)
                i = (i + 1) & (slots - 1);
            if (table[i] == kEmpty) {
                table[i] = key;
                uint64_t position = pair & 0xFFFFFFFFu;
                marked[position / 64] |= uint64_t{1} << (position % 64);
            }
        }
    }
}

// Pass 4: the marked records of `from`, in list order, into `into`.
uint64_t KeepMarked(const CLine* from, uint64_t count, const uint64_t* marked, CLine* into) {
    uint64_t kept = 0;
    for (uint64_t i = 0; i < count; ++i) {
        if (marked[i / 64] >> (i % 64) & 1) into[kept++] = from[i];
    }
    return kept;
}

// The four passes. False, with nothing kept, when a record has an index
// above 65535 or memory runs out (failedBytes is then set).
bool PartitionedAppend(const CLine* from, CLine* into, uint64_t count, uint64_t& appended,
                       uint64_t& failedBytes) {
    uint64_t bucketStart[kBuckets + 1];
    uint64_t largest = 0;
    if (!CountBuckets(from, count, bucketStart, largest)) return false;
    const uint64_t tableSize = std::max<uint64_t>(16, std::bit_ceil(2 * largest));
    uint64_t* marked = KvxAllocateArray<uint64_t>((count + 63) / 64);
    uint32_t* table = KvxAllocateArray<uint32_t>(tableSize);
    if (marked == nullptr || table == nullptr) {
        failedBytes = marked == nullptr ? (count + 63) / 64 * 8 : tableSize * 4;
        KvxFree(marked);
        KvxFree(table);
        return false;
    }
    std::fill_n(marked, (count + 63) / 64, uint64_t{0});
    Spread(from, count, bucketStart, into);
    MarkFirsts(into, bucketStart, table, marked);
    KvxFree(table);
    appended = KeepMarked(from, count, marked, into);
    KvxFree(marked);
    return true;
}

// The whole de-duplication short of the plain scan: the hash set while the
// edges repeat, the partition once they turn out mostly distinct, and the
// hash set alone again for lists with wider indices. False when memory ran
// out, with `done` records settled.
bool AppendAll(const CLine* from, CLine* into, uint64_t count, uint64_t capacity, uint64_t& done,
               uint64_t& appended, uint64_t& failedBytes) {
    HashResult result = HashedAppend(from, into, count, capacity, kHashedDistinctLimit, done,
                                     appended, failedBytes);
    if (result != HashResult::tooMany) return result == HashResult::complete;
    uint64_t kept = 0;
    if (PartitionedAppend(from, into, count, kept, failedBytes)) {
        done = count;
        appended = kept;
        return true;
    }
    done = 0;
    appended = 0;
    return HashedAppend(from, into, count, capacity, UINT64_MAX, done, appended, failedBytes) ==
           HashResult::complete;
}

}  // namespace

namespace kvx {

bool AppendNewLines(const CLine* from, CLine* into, uint64_t count, uint64_t capacity,
                    uint32_t& appended, uint64_t* tableBytes) {
    assert(count <= capacity && capacity <= UINT32_MAX);
    uint64_t done = 0, n = 0, bytes = 0;
    bool complete = AppendAll(from, into, count, capacity, done, n, bytes);
    appended = static_cast<uint32_t>(n);
    if (!complete && tableBytes != nullptr) *tableBytes = bytes;
    return complete;
}

bool AppendNewLinesAsFarAsMemory(const CLine* from, CLine* into, uint64_t count, uint64_t capacity,
                                 uint64_t& done, uint64_t& appended) {
    uint64_t bytes = 0;
    done = 0;
    appended = 0;
    return AppendAll(from, into, count, capacity, done, appended, bytes);
}

bool EdgesOfTriangles(const uint16_t* triangles, uint32_t count, CLine* lines, CLine* distinct,
                      uint32_t& kept, uint64_t* tableBytes) {
    for (uint64_t t = 0; t < count; ++t) {
        const uint16_t* f = triangles + 3 * t;
        lines[3 * t] = {f[0], f[1]};
        lines[3 * t + 1] = {f[1], f[2]};
        lines[3 * t + 2] = {f[2], f[0]};
    }
    const uint64_t edges = uint64_t{count} * 3;
    return AppendNewLines(lines, distinct, edges, edges, kept, tableBytes);
}

}  // namespace kvx
