#include "wire.h"

#include <algorithm>
#include <bit>

#include "meshcore/okvx.h"

namespace {

// Slots of the line list that inLines scans.
uint64_t ListCapacity() { return uint64_t{mesh.faceCount} * 3; }

// 16-bit indices: a mesh addresses at most 65,536 vertices, so both ends of
// every edge built from a mesh fit in 16 bits and the unordered pair fits in
// one 32-bit key. Lines with a wider index (the sentinel, or anything a
// caller passes in) take 64-bit keys.
bool IsNarrow(const CLine& l) { return l.a <= 0xFFFF && l.b <= 0xFFFF; }

uint32_t NarrowKey(const CLine& l) {
    return std::min(l.a, l.b) << 16 | std::max(l.a, l.b);
}

uint64_t WideKey(const CLine& l) {
    return uint64_t{std::min(l.a, l.b)} << 32 | std::max(l.a, l.b);
}

// A set of keys: open addressing with linear probing over a power-of-two
// table at most half full, hashed with the high bits of a multiplicative
// hash. Keys hold the smaller index in the high half, so a key whose high
// half is all ones and low half zero belongs to no edge and marks an empty
// slot.
template <typename Key>
class KeySet {
public:
    static constexpr Key kEmpty = static_cast<Key>(~Key{0} << (4 * sizeof(Key)));

    KeySet() = default;
    KeySet(const KeySet&) = delete;
    KeySet& operator=(const KeySet&) = delete;
    ~KeySet() { KvxFree(slots_); }

    // Room for `entries` keys; false when the table cannot be allocated,
    // with the size of the request in `bytes`.
    bool reserve(uint64_t entries, uint64_t& bytes) {
        if (entries == 0) return true;
        uint64_t size = entries > (uint64_t{1} << 58)
                            ? 0
                            : std::max<uint64_t>(std::bit_ceil(entries * 2), 16);
        bytes = size == 0 ? UINT64_MAX : size * sizeof(Key);
        if (size != 0) slots_ = KvxAllocateArray<Key>(size);
        if (slots_ == nullptr) return false;
        std::fill_n(slots_, size, kEmpty);
        mask_ = size - 1;
        shift_ = 64 - std::countr_zero(size);
        return true;
    }

    // Adds `key`; false when it was there already.
    bool insert(Key key) {
        uint64_t i = (uint64_t{key} * 0x9E3779B97F4A7C15u) >> shift_;
        while (slots_[i] != kEmpty) {
            if (slots_[i] == key) return false;
            i = (i + 1) & mask_;
        }
        slots_[i] = key;
        return true;
    }

private:
    Key* slots_ = nullptr;
    uint64_t mask_ = 0;
    int shift_ = 0;
};

}  // namespace

bool inLines(CLine* list, CLine line) {
    uint64_t capacity = ListCapacity();
    for (uint64_t k = 0; k < capacity; ++k) {
        if (list[k] == line) return true;
    }
    return false;
}

bool AppendNewLines(const CLine* from, CLine* into, uint64_t count, uint32_t& appended,
                    uint64_t* tableBytes) {
    uint64_t wide = 0;
    for (uint64_t k = 0; k < count; ++k) {
        if (!IsNarrow(from[k])) ++wide;
    }
    KeySet<uint32_t> narrowSet;
    KeySet<uint64_t> wideSet;
    uint64_t bytes = 0;
    if (!narrowSet.reserve(count - wide, bytes) || !wideSet.reserve(wide, bytes)) {
        if (tableBytes != nullptr) *tableBytes = bytes;
        return false;
    }

    // The scan this replaces compares against every slot of `into`: the
    // lines appended so far and, behind them, the sentinels still unfilled.
    uint64_t capacity = ListCapacity();
    uint64_t n = 0;
    for (uint64_t k = 0; k < count; ++k) {
        const CLine& line = from[k];
        bool isNew;
        if (IsNarrow(line)) {
            isNew = narrowSet.insert(NarrowKey(line));
        } else if (line == kSentinelLine && n < capacity) {
            isNew = false;
        } else {
            isNew = wideSet.insert(WideKey(line));
        }
        if (isNew) into[n++] = line;
    }
    appended = static_cast<uint32_t>(n);
    return true;
}

uint32_t inList(CLine* from, CLine* into, unsigned long count) {
    uint32_t appended = 0;
    if (AppendNewLines(from, into, count, appended)) return appended;
    for (unsigned long k = 0; k < count; ++k) {
        if (!inLines(into, from[k])) into[appended++] = from[k];
    }
    return appended;
}
