// Lock-free 8-byte words of a view's data area: a signed 64-bit counter or
// flag that several processes update without the view's lock and without ever
// waiting. Every operation is one sequentially consistent atomic instruction
// on the word in place; the word's bytes are the codec's "i64" (little-endian),
// so read("i64") and write(int) at the same offset see the same value.
//
// A word must be 8-byte aligned in the mapping. The mapping starts on a page,
// and the data area RWLOCK_SIZE (4) bytes into it, so the aligned data offsets
// are 4, 12, 20, ... (offset % 8 == 4).
#pragma once

#include <atomic>
#include <bit>
#include <cstdint>
#include <string>

#include "core/lock.hpp"
#include "core/view_rules.hpp"
#include "velmora/error.hpp"

namespace velmora {

inline constexpr std::uint64_t WORD_SIZE = 8;

static_assert(std::atomic_ref<std::int64_t>::is_always_lock_free,
              "the 8-byte words must be lock-free to be shared between processes");
static_assert(std::endian::native == std::endian::little,
              "a word in place must read as the codec's little-endian i64");

// The word at data offset `offset` must lie inside the data area and be
// 8-byte aligned in the mapping. Out of range gives check_range's message.
[[nodiscard]] inline Status check_word(std::uint64_t offset, std::uint64_t data_size) {
    if (Status ok = check_range(offset, WORD_SIZE, data_size); !ok) return ok;
    if ((offset + RWLOCK_SIZE) % WORD_SIZE == 0) return {};
    return Error::value("misaligned: offset=" + std::to_string(offset) +
                           " is not an 8-byte word (word offsets are 4, 12, 20, ...: offset % 8 == 4)");
}

// The word at `data + offset`, for an offset check_word accepted and a data
// area that starts RWLOCK_SIZE bytes into an aligned mapping.
class SharedWord {
public:
    SharedWord(std::uint8_t* data, std::uint64_t offset) noexcept
        : word_(*reinterpret_cast<std::int64_t*>(data + offset)) {}

    // Adds `delta` (wrapping at the i64 range) and returns the new value.
    std::int64_t add(std::int64_t delta) noexcept {
        const std::int64_t before = word_.fetch_add(delta, std::memory_order_seq_cst);
        return static_cast<std::int64_t>(static_cast<std::uint64_t>(before) + static_cast<std::uint64_t>(delta));
    }
    // Stores `desired` if the word holds `expected`; true if it did.
    bool compare_exchange(std::int64_t expected, std::int64_t desired) noexcept {
        return word_.compare_exchange_strong(expected, desired, std::memory_order_seq_cst);
    }
    std::int64_t load() const noexcept { return word_.load(std::memory_order_seq_cst); }
    void store(std::int64_t value) noexcept { word_.store(value, std::memory_order_seq_cst); }

private:
    std::atomic_ref<std::int64_t> word_;
};

}  // namespace velmora
