// A view handle's attachment to its segment, and the recovery of a lock word
// that a dead process left held.
//
// Every view handle holds a shared claim on the segment's `attached` slot
// (core/claims.hpp), so "no other live process has the segment open as a
// view" is one probe. The handles of one process count, on the process's
// claim site, the holds of the lock word they have or are taking: the count
// goes up before each attempt's compare-and-exchange and down after the
// release (or the failed attempt).
//
// A waiter may then reset the word when all of these hold at once: the word
// is not 0, no call of this process holds it or is taking it, and the system
// answered that no other live process is attached. Then whoever set the word
// is gone. Nothing less will do: without claims in the build, or when the
// probe fails, the word is left alone. Every handle takes its attachment
// before its first hold, and a handle that cannot (the claim file cannot be
// opened) fails its call instead of holding the word unseen. The reset is
// a compare-and-exchange from the value read, so any change made after the
// checks (a new process taking a reader's hold, say) makes it a no-op; one
// recovery per process runs at a time.
//
// Limit: a live holder is only known through its attachment, so a process
// that maps the segment without a view handle of this module (or from a
// build without claims) is not seen; and a dead holder is only recovered when
// no other live process has the segment attached.
#pragma once

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <type_traits>
#include <utility>

#include "core/claims.hpp"
#include "core/lock.hpp"

namespace velmora {

// One counted hold: the word is released first, then the count.
template <class Guard>
class [[nodiscard]] CountedHold {
public:
    CountedHold(Guard&& guard, std::atomic<std::int64_t>& count) noexcept : guard_(std::move(guard)), count_(&count) {}
    CountedHold(CountedHold&&) = delete;
    CountedHold& operator=(CountedHold&&) = delete;
    CountedHold(const CountedHold&) = delete;
    CountedHold& operator=(const CountedHold&) = delete;
    ~CountedHold() {
        { const Guard released(std::move(guard_)); }
        count_->fetch_sub(1);
    }

    // Forgets the hold without touching the word (a forked child's copy of its
    // parent's hold: the parent releases it); it is still uncounted here.
    void abandon() noexcept { guard_.abandon(); }

private:
    Guard guard_;
    std::atomic<std::int64_t>* count_;
};

template <bool Exclusive>
using CountedHoldOf = CountedHold<std::conditional_t<Exclusive, ShmWriteGuard, ShmReadGuard>>;

class ViewAttachment {
public:
    explicit ViewAttachment(std::shared_ptr<ClaimSite> site) noexcept : site_(std::move(site)) {}

    // Takes the handle's attachment when it has none of its own (first use,
    // or the first use in a fork child). One load when it has.
    [[nodiscard]] Status attach() {
        if (holds(claim_)) [[likely]] return {};
        return take();
    }
    void detach() noexcept { claim_.reset(); }

    // One attempt at the lock, counted as this process's hold: fills `hold`
    // and says true when taken.
    template <bool Exclusive>
    [[nodiscard]] bool try_lock(const ShmRwLock& lock, std::optional<CountedHoldOf<Exclusive>>& hold) const {
        std::atomic<std::int64_t>& count = site_->shared_counter();
        count.fetch_add(1);
        auto got = [&] {
            if constexpr (Exclusive) return lock.try_write();
            else return lock.try_read();
        }();
        if (!got) {
            count.fetch_sub(1);
            return false;
        }
        hold.emplace(std::move(*got), count);
        return true;
    }

    // For a waiter: resets a word its holder left behind (see above) and
    // gives the value it held; empty when it did nothing.
    [[nodiscard]] std::optional<std::int32_t> recover_abandoned(const ShmRwLock& lock) const {
        if (!site_->supported()) return std::nullopt;
        const std::lock_guard one_at_a_time(site_->shared_mutex());
        const std::int32_t seen = lock.value();
        if (seen == RWLOCK_UNLOCKED || site_->shared_counter().load() != 0) return std::nullopt;
        auto others = site_->held_elsewhere(claim_slot::attached, ClaimMode::Exclusive);
        if (!others || others.value()) return std::nullopt;
        if (!lock.reset_if(seen)) return std::nullopt;
        return seen;
    }

    // The other processes that have the segment attached now (a scan of
    // every process: once per wait, never per attempt).
    [[nodiscard]] std::vector<long> attached_elsewhere() const { return site_->holders(claim_slot::attached, true); }

    // Whether a live process other than this one has the segment attached.
    [[nodiscard]] Result<bool> others_attached() const {
        return site_->held_elsewhere(claim_slot::attached, ClaimMode::Exclusive);
    }
    const std::shared_ptr<ClaimSite>& site() const noexcept { return site_; }

private:
    Status take() {
        auto taken = site_->claim(claim_slot::attached, ClaimMode::Shared);
        if (!taken) return taken.error();
        // A shared claim is refused only by an exclusive one, which no
        // handle takes. Holding the word unattached would let another process
        // take it for a dead holder's, so the call fails instead.
        if (!taken.value())
            return Error::os("segment '" + site_->name() + "' is held exclusively by another process", EAGAIN, Reason::busy);
        claim_ = std::move(taken.value());
        return {};
    }

    std::shared_ptr<ClaimSite> site_;
    std::optional<Claim> claim_;
};

}  // namespace velmora
