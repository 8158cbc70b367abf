// ShmRwLock: a reader/writer spin lock whose whole state is one signed 32-bit
// word at the start of a shared mapping. Processes share the lock just by
// mapping the segment; there is no OS object, owner record or wait queue.
//
// Word values: 0 unlocked; n > 0 held shared by n holders; -1 held exclusively.
// Any other negative value is never produced here and reads as "unavailable"
// to both modes (not write-locked, 0 readers), so a corrupted word stalls
// callers instead of letting them in; init_unlocked() recovers it.
//
// Concurrency contract:
//  * acquisitions have acquire ordering and releases release ordering, so
//    everything written under the exclusive hold is visible to every later
//    holder in any process;
//  * waiting is a pure spin with exactly one processor spin-wait hint per
//    failed attempt: no back-off, yield, sleep, kernel wait or timeout;
//  * no fairness: readers get in whenever the word is non-negative, even while
//    a writer waits; a writer gets in only at an instant the word is exactly 0;
//  * no re-entrancy: the word cannot tell holders apart.
//
// Abandoning a wait: an acquire takes a poll function that it calls once every
// kPollInterval failed attempts (never on the uncontended path). When the poll
// returns true, the acquire gives up and returns an empty optional. A waiter
// changes the word only with its successful compare-and-exchange, so a wait
// that is given up leaves the word exactly as it found it. This is what lets a
// Python caller blocked behind a dead holder be interrupted with Ctrl-C.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <utility>

#if defined(_MSC_VER)
#include <intrin.h>
#endif

namespace velmora {

inline constexpr std::size_t RWLOCK_SIZE = 4;
inline constexpr std::int32_t RWLOCK_UNLOCKED = 0;
inline constexpr std::int32_t RWLOCK_WRITE_LOCKED = -1;

// Failed attempts between two calls of an acquire's poll function. A power of
// two, so the test is a mask. A failed attempt plus its hint costs a few to a
// few tens of ns (about 25 ns on the development machine), so a waiter polls
// every 0.3 to 3 ms: prompt for Ctrl-C, invisible next to the spin itself.
inline constexpr std::uint32_t kPollInterval = std::uint32_t{1} << 16;

static_assert(std::atomic_ref<std::int32_t>::is_always_lock_free,
              "the lock word must be lock-free to be shared between processes");

// The processor's spin-wait hint: tells the core we are busy-waiting so it can
// save power and yield pipeline resources to a sibling hyper-thread.
inline void spin_pause() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(_MSC_VER) && (defined(_M_X64) || defined(_M_IX86))
    _mm_pause();
#elif defined(__aarch64__)
    __asm__ __volatile__("yield" ::: "memory");
#elif defined(_MSC_VER) && defined(_M_ARM64)
    __yield();
#endif
}

namespace rwlock_detail {

inline std::atomic_ref<std::int32_t> word_ref(std::int32_t* word) noexcept {
    return std::atomic_ref<std::int32_t>(*word);
}

// True once every kPollInterval failures, and then only if the poll says so.
template <class Poll>
bool should_abandon(std::uint32_t& failures, Poll& poll) {
    ++failures;
    return (failures & (kPollInterval - 1)) == 0 && poll();
}

}  // namespace rwlock_detail

// How each kind of hold is given back.
struct SharedRelease {
    // Not read or tested first: one locked decrement is the whole release.
    static void release(std::int32_t* word) noexcept {
        rwlock_detail::word_ref(word).fetch_sub(1, std::memory_order_release);
    }
};

struct ExclusiveRelease {
    // Only the holder can change a word of -1, so a plain release store suffices.
    static void release(std::int32_t* word) noexcept {
        rwlock_detail::word_ref(word).store(RWLOCK_UNLOCKED, std::memory_order_release);
    }
};

// One hold of the lock. Released exactly once: by the destructor of the guard
// that owns it (a moved-from guard owns nothing).
template <class Release>
class [[nodiscard]] ShmGuard {
public:
    ShmGuard(ShmGuard&& other) noexcept : word_(std::exchange(other.word_, nullptr)) {}
    ShmGuard& operator=(ShmGuard&&) = delete;
    ShmGuard(const ShmGuard&) = delete;
    ShmGuard& operator=(const ShmGuard&) = delete;

    ~ShmGuard() {
        if (word_ != nullptr) Release::release(word_);
    }

private:
    friend class ShmRwLock;
    explicit ShmGuard(std::int32_t* word) noexcept : word_(word) {}

    std::int32_t* word_;
};

using ShmReadGuard = ShmGuard<SharedRelease>;
using ShmWriteGuard = ShmGuard<ExclusiveRelease>;

// A poll that never gives up: the acquire waits until it gets the lock.
struct NeverAbandon {
    bool operator()() const noexcept { return false; }
};

// Non-owning handle to the lock word; must not outlive the mapping holding it.
class ShmRwLock {
public:
    // `word` is the first byte of a mapping (page-aligned, so 4-byte aligned).
    explicit ShmRwLock(void* word) noexcept : word_(static_cast<std::int32_t*>(word)) {}

    // Waits until the word is non-negative, then adds 1. Empty if `poll` gave up.
    template <class Poll = NeverAbandon>
    [[nodiscard]] std::optional<ShmReadGuard> read_lock(Poll poll = {}) const {
        auto w = word();
        for (std::uint32_t failures = 0;;) {
            // Readers poll with plain loads and only try the exchange when it can
            // succeed, keeping the cache line shared while a writer holds it.
            std::int32_t seen = w.load(std::memory_order_relaxed);
            // The top positive value is the reader limit: one more would wrap.
            if (seen >= 0 && seen < std::numeric_limits<std::int32_t>::max() &&
                w.compare_exchange_strong(seen, seen + 1, std::memory_order_acquire,
                                          std::memory_order_relaxed))
                return ShmReadGuard(word_);
            spin_pause();
            if (rwlock_detail::should_abandon(failures, poll)) return std::nullopt;
        }
    }

    // Waits until the word is 0, then sets it to -1. Every attempt is a full
    // compare-and-exchange. Empty if `poll` gave up.
    template <class Poll = NeverAbandon>
    [[nodiscard]] std::optional<ShmWriteGuard> write_lock(Poll poll = {}) const {
        auto w = word();
        for (std::uint32_t failures = 0;;) {
            std::int32_t expected = RWLOCK_UNLOCKED;
            if (w.compare_exchange_strong(expected, RWLOCK_WRITE_LOCKED, std::memory_order_acquire,
                                          std::memory_order_relaxed))
                return ShmWriteGuard(word_);
            spin_pause();
            if (rwlock_detail::should_abandon(failures, poll)) return std::nullopt;
        }
    }

    // Unconditionally unlocks, whatever the word held (holders that died, a
    // corrupted value). Live holders are not coordinated with: their later
    // releases act on the reset word.
    void init_unlocked() const noexcept { word().exchange(RWLOCK_UNLOCKED, std::memory_order_seq_cst); }

    // Snapshots, taken without holding the lock.
    [[nodiscard]] std::int32_t reader_count() const noexcept {
        const std::int32_t v = word().load(std::memory_order_relaxed);
        return v > 0 ? v : 0;
    }
    [[nodiscard]] bool is_write_locked() const noexcept {
        return word().load(std::memory_order_relaxed) == RWLOCK_WRITE_LOCKED;
    }

private:
    std::atomic_ref<std::int32_t> word() const noexcept { return rwlock_detail::word_ref(word_); }

    std::int32_t* word_;
};

}  // namespace velmora
