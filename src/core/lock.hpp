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
//  * waiting is the module's one wait (platform/wait.hpp): a short spin, then
//    the host is told the wait may last (the binding releases the interpreter
//    lock), then yields and growing sleeps, polling the host and checking the
//    deadline. The uncontended path is one compare-and-exchange, no clock;
//  * no fairness: readers get in whenever the word is non-negative, even while
//    a writer waits; a writer gets in only at an instant the word is exactly 0;
//  * no re-entrancy: the word cannot tell holders apart;
//  * releases never act on a word that is not theirs: a reader takes n > 0 to
//    n - 1 and a writer -1 to 0, and otherwise leave the word alone, so a
//    reset under a live holder cannot leave the word locked or negative.
//
// A wait that times out or is abandoned by its host changes nothing: a waiter
// changes the word only with its successful compare-and-exchange.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <utility>

#include "platform/wait.hpp"

namespace velmora {

inline constexpr std::size_t RWLOCK_SIZE = 4;
inline constexpr std::int32_t RWLOCK_UNLOCKED = 0;
inline constexpr std::int32_t RWLOCK_WRITE_LOCKED = -1;

static_assert(std::atomic_ref<std::int32_t>::is_always_lock_free,
              "the lock word must be lock-free to be shared between processes");

namespace rwlock_detail {

inline std::atomic_ref<std::int32_t> word_ref(std::int32_t* word) noexcept {
    return std::atomic_ref<std::int32_t>(*word);
}

}  // namespace rwlock_detail

// How each kind of hold is given back.
struct SharedRelease {
    // n > 0 becomes n - 1. A word that is 0 or negative was reset (and maybe
    // taken again) while this hold lasted: it is no longer ours to change.
    static void release(std::int32_t* word) noexcept {
        auto w = rwlock_detail::word_ref(word);
        std::int32_t seen = w.load(std::memory_order_relaxed);
        while (seen > 0 && !w.compare_exchange_weak(seen, seen - 1, std::memory_order_release,
                                                    std::memory_order_relaxed)) {
        }
    }
};

struct ExclusiveRelease {
    // -1 becomes 0; after a reset the word belongs to whoever holds it now.
    static void release(std::int32_t* word) noexcept {
        std::int32_t expected = RWLOCK_WRITE_LOCKED;
        rwlock_detail::word_ref(word).compare_exchange_strong(expected, RWLOCK_UNLOCKED,
                                                              std::memory_order_release,
                                                              std::memory_order_relaxed);
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

    // Forgets the hold without touching the word: a forked child's copy of its
    // parent's hold, which the parent still owns and releases itself.
    void abandon() noexcept { word_ = nullptr; }

private:
    friend class ShmRwLock;
    explicit ShmGuard(std::int32_t* word) noexcept : word_(word) {}

    std::int32_t* word_;
};

using ShmReadGuard = ShmGuard<SharedRelease>;
using ShmWriteGuard = ShmGuard<ExclusiveRelease>;

// Non-owning handle to the lock word; must not outlive the mapping holding it.
class ShmRwLock {
public:
    // `word` is the first byte of a mapping (page-aligned, so 4-byte aligned).
    explicit ShmRwLock(void* word) noexcept : word_(static_cast<std::int32_t*>(word)) {}

    // One attempt each, no waiting.
    [[nodiscard]] std::optional<ShmReadGuard> try_read() const {
        auto w = word();
        // A plain load first, and the exchange only when it can succeed, keeps
        // the cache line shared while a writer holds it. The top positive value
        // is the reader limit: one more would wrap.
        std::int32_t seen = w.load(std::memory_order_relaxed);
        if (seen >= 0 && seen < std::numeric_limits<std::int32_t>::max() &&
            w.compare_exchange_strong(seen, seen + 1, std::memory_order_acquire, std::memory_order_relaxed))
            return ShmReadGuard(word_);
        return std::nullopt;
    }
    [[nodiscard]] std::optional<ShmWriteGuard> try_write() const {
        std::int32_t expected = RWLOCK_UNLOCKED;
        if (word().compare_exchange_strong(expected, RWLOCK_WRITE_LOCKED, std::memory_order_acquire,
                                           std::memory_order_relaxed))
            return ShmWriteGuard(word_);
        return std::nullopt;
    }

    // Waits until the word is non-negative, then adds 1; or until it is 0,
    // then sets -1. Empty when the deadline passed or the host gave up
    // (wait_until's host contract).
    template <class Host = NoHost>
    [[nodiscard]] std::optional<ShmReadGuard> read_lock(Host&& host = {},
                                                        Deadline deadline = Deadline::never()) const {
        return acquire([this] { return try_read(); }, host, deadline);
    }
    template <class Host = NoHost>
    [[nodiscard]] std::optional<ShmWriteGuard> write_lock(Host&& host = {},
                                                          Deadline deadline = Deadline::never()) const {
        return acquire([this] { return try_write(); }, host, deadline);
    }

    // Unconditionally unlocks, whatever the word held (holders that died, a
    // corrupted value). Live holders are not coordinated with: their later
    // releases act on the reset word.
    void init_unlocked() const noexcept { word().exchange(RWLOCK_UNLOCKED, std::memory_order_seq_cst); }

    // Unlocks only a word that still holds `expected`: a reset decided on a
    // snapshot loses to any change made since.
    bool reset_if(std::int32_t expected) const noexcept {
        return word().compare_exchange_strong(expected, RWLOCK_UNLOCKED, std::memory_order_seq_cst);
    }

    // Snapshots, taken without holding the lock.
    [[nodiscard]] std::int32_t reader_count() const noexcept {
        const std::int32_t v = word().load(std::memory_order_relaxed);
        return v > 0 ? v : 0;
    }
    [[nodiscard]] bool is_write_locked() const noexcept {
        return word().load(std::memory_order_relaxed) == RWLOCK_WRITE_LOCKED;
    }

    // The raw word, for messages about it.
    [[nodiscard]] std::int32_t value() const noexcept { return word().load(std::memory_order_relaxed); }

private:
    std::atomic_ref<std::int32_t> word() const noexcept { return rwlock_detail::word_ref(word_); }

    template <class Try, class Host>
    static auto acquire(Try try_once, Host& host, Deadline deadline) -> decltype(try_once()) {
        decltype(try_once()) guard;
        const auto attempt = [&] {
            auto got = try_once();
            if (got) guard.emplace(std::move(*got));
            return guard.has_value();
        };
        // Only a successful attempt fills `guard`, so it is empty on a timeout
        // or an abandoned wait.
        (void)wait_until(attempt, deadline, host);
        return guard;
    }

    std::int32_t* word_;
};

}  // namespace velmora
