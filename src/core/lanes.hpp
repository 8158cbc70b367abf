// Producer lanes in one shared-memory mapping: what the fan-in ring
// (mpsc.hpp) and the work-sharing ring (mpmc.hpp) have in common. Each kind
// keeps its own magic value and its own consumer side; the header words
// below, the lanes, the producers' side, the end-of-stream rule and the
// doorbell are this file's, written once.
//
// Shared layout, from offset 0 of the mapping:
//
//   0    magic (u64)            the kind's own
//   8    layout version (u32)   the kind's own
//   12   producer slots (u32)   1 ..= kLaneMaxProducers
//   16   lane capacity (u64)    a power of two: each producer's bytes in flight
//   24   expected (u32)         producers the stream waits for; 0: not set
//   28   joined (u32)           producers that have registered so far
//   32   kind's own words, zero where a kind has none
//   64   doorbell (u32)         bumped to wake sleeping consumers
//   68   sleepers (u32)         the consumers' sleep mark (the kind says how)
//   72   reserved, zero
//   128  lane 0, lane 1, ... one per slot, `lane_stride` bytes apart
//
// Each lane is exactly the SPSC ring's layout (ring.hpp: 24-byte header, then
// `capacity` data bytes) and is driven by an SpscRing over a window of the
// mapping, so every lane keeps the SPSC checks. A producer owns one lane (its
// slot, claimed by the caller).
//
// The doorbell. A consumer about to sleep marks itself in `sleepers` and
// fences, then scans the lanes, then sleeps on the doorbell while it has not
// changed. A producer fences after its publish and reads the mark: so either
// the producer sees the mark (and bumps and wakes the doorbell) or the
// consumer's scan sees the message. A producer rings only when the mark is
// set and its lane held nothing before its message (otherwise an earlier
// message of the same lane already guaranteed that a consumer will look; a
// kind with several consumers makes its takers pass that on). The sleeps are
// bounded (wait.hpp), so a producer that never rings (a foreign writer) is
// still served.
//
// End of stream. A producer registers when it takes its slot: it claims the
// slot, then adds one to `joined` (so a consumer that reads `joined` before
// it looks at the slots never counts a producer that registered and is still
// to publish as gone). Its stream ends when its slot is released: end(),
// close() or death, whichever comes first. The stream of the ring has ended
// when no live process holds a producer slot and
//   * `expected` is set: `joined` has reached it;
//   * `expected` is 0: some producer was there (`joined` is non-zero, a lane's
//     tail has moved, or the consumer saw one attached).
// Both words are zero in fan-in segments made by builds that did not have
// them: such a segment keeps the second rule, and its producers register
// nowhere. The creator writes `expected` once; `joined` only ever grows. A
// forged value can end a stream early or late, never steer an access.
//
// A producer that dies leaves its lane as it was after its last publish (an
// unpublished frame is invisible), so a later producer of the same slot
// continues the lane's counters: nothing is reset.
//
// The mapping is untrusted. The header is validated once when the object is
// made (its fields are never read again); each lane's window is fixed by
// those validated fields and each lane validates its own header on every
// use, so no forged word steers an access outside the mapping.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/claims.hpp"
#include "core/ring.hpp"
#include "platform/platform.hpp"
#include "platform/wait.hpp"
#include "velmora/error.hpp"

namespace velmora {

inline constexpr std::uint32_t kLaneMaxProducers = 1024;
inline constexpr std::uint64_t kLaneHeaderSize = 128;
// Header fields (the layout above).
inline constexpr std::uint64_t kLaneMagicAt = 0;
inline constexpr std::uint64_t kLaneVersionAt = 8;
inline constexpr std::uint64_t kLaneProducersAt = 12;
inline constexpr std::uint64_t kLaneCapacityAt = 16;
inline constexpr std::uint64_t kLaneExpectedAt = 24;
inline constexpr std::uint64_t kLaneJoinedAt = 28;
inline constexpr std::uint64_t kLaneKindWordsAt = 32;
inline constexpr std::uint64_t kLaneDoorbellAt = 64;
inline constexpr std::uint64_t kLaneSleepersAt = 68;

// Producer slot k of every lane kind is claim kLaneProducerClaim + k, for
// k < kLaneMaxProducers (a segment is of one kind, so the kinds share it).
inline constexpr std::uint64_t kLaneProducerClaim = claim_slot::first_free;

// What tells one lane kind from another, and how its messages name it.
struct LaneKind {
    std::uint64_t magic;
    std::uint32_t version;
    std::string_view ring;   // "a fan-in ring"
    std::string_view magic_name;  // "fan-in"
};

// ---- claims over a range of slots ----------------------------------------------
// The first free slot of first .. first + count - 1 (a slot this process
// already holds is skipped: each object of a process takes one of its own);
// an EAGAIN Os error ("all 8 producer slots of '/results' are taken") when
// live processes hold every one. `role`: "producer".
[[nodiscard]] Result<Claim> claim_free_slot(ClaimSite& site, std::uint64_t first, std::uint32_t count,
                                            std::string_view role);
// Whether a live process, this one included, holds a slot of the range (a
// probe that fails counts as held), and which processes do (in slot order).
[[nodiscard]] bool slot_range_attached(const ClaimSite& site, std::uint64_t first, std::uint32_t count);
[[nodiscard]] std::vector<long> slot_range_pids(const ClaimSite& site, std::uint64_t first, std::uint32_t count);

// The segment size for `producers` lanes of `capacity` bytes each, or the
// ValueError that says which argument is out of range.
[[nodiscard]] Result<std::uint64_t> lane_segment_size(std::uint64_t capacity, std::uint64_t producers);

// A lane kind's segment opened by name alone. Where the system cannot tell a
// segment's size, the header is mapped first and the size its producer count
// and capacity call for is asked for (the system refuses more than the
// segment has); a header without `kind`'s magic leaves the header-sized
// handle, which LaneSet::open then refuses with what it found.
[[nodiscard]] Result<PlatformHandle> open_lane_segment(std::string_view name, const LaneKind& kind);

// True when the mapping starts with `magic` (whatever else it holds).
[[nodiscard]] bool starts_with_magic(const std::uint8_t* base, std::uint64_t size, std::uint64_t magic) noexcept;

// The consumers' sleep mark against a producer's publish: a consumer sets
// the mark then scans the lanes; a producer stores its tail then looks at the
// mark. A sequentially consistent fence after each side's write orders the
// two: whichever fence comes second, its side sees the other's write, so
// either the producer sees the mark or the consumer's scan sees the message.
// A fence costs the producer's core alone, where a read-modify-write of the
// shared word on every publish would pull its cache line from whichever core
// wrote it last. The thread sanitizer does not follow fences: its builds
// look with a read-modify-write instead, which pairs with the consumer's
// read-modify-write through the word's own order.
#if defined(__SANITIZE_THREAD__)
#define VELMORA_MARK_BY_RMW 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define VELMORA_MARK_BY_RMW 1
#endif
#endif

inline void mark_fence() noexcept {
#if !defined(VELMORA_MARK_BY_RMW)
    std::atomic_thread_fence(std::memory_order_seq_cst);
#endif
}

[[nodiscard]] inline bool sleeper_marked(std::atomic_ref<std::uint32_t> mark) noexcept {
#if defined(VELMORA_MARK_BY_RMW)
    return mark.fetch_add(0, std::memory_order_acq_rel) != 0;
#else
    mark_fence();
    return mark.load(std::memory_order_relaxed) != 0;
#endif
}

// How a kind's consumers mark themselves in `sleepers`: the one consumer of
// a fan-in ring sets a flag (and so clears what a dead predecessor left);
// several consumers count themselves in and out (one that dies asleep leaves
// the count high: producers then ring more often, nobody waits longer).
enum class SleepMark { Flag, Count };

class LaneSet {
public:
    // Takes ownership of `mapping`. A creator writes the header and every
    // lane (the mapping must be lane_segment_size() bytes or more) but not the
    // magic: the caller writes its own header words, then seal(). An opener
    // validates the header it finds (`name`, the segment's, for its messages).
    [[nodiscard]] static Result<LaneSet> create(Mapping mapping, const LaneKind& kind, std::uint64_t capacity,
                                                std::uint32_t producers, std::uint32_t expected);
    [[nodiscard]] static Result<LaneSet> open(Mapping mapping, const LaneKind& kind, std::string_view name);
    // The magic, stored last with release: whoever acquires it sees the rest.
    void seal() noexcept;
    // "'/jobs' is not <kind.ring> segment: <what>", a Value error.
    [[nodiscard]] static Error refuse(const LaneKind& kind, std::string_view name, const std::string& what,
                                         Reason why = Reason::corrupt);

    std::uint32_t producers() const noexcept { return static_cast<std::uint32_t>(lanes_.size()); }
    std::uint64_t capacity() const noexcept { return capacity_; }
    // The largest payload one message may carry.
    std::uint64_t max_payload() const noexcept { return max_payload_for(capacity_); }
    std::uint64_t map_size() const noexcept { return mapping_.size(); }
    // A header word of the kind's own (kLaneKindWordsAt ..), untrusted.
    [[nodiscard]] std::uint32_t kind_word(std::uint64_t offset) const noexcept;
    void set_kind_word(std::uint64_t offset, std::uint32_t value) noexcept;

    // ---- end of stream (the rule in the layout comment) ----
    // The slot of a new producer, registered: the caller keeps the claim for
    // as long as it produces and releases it to end its stream.
    [[nodiscard]] Result<Claim> join(ClaimSite& site);
    // The producers this stream waits for (0: not set), read once at attach.
    std::uint32_t expected() const noexcept { return expected_; }
    [[nodiscard]] std::uint32_t joined() const noexcept;
    // Whether every producer's stream has ended. `seen`: the caller has seen a
    // producer (set here when one is attached). False where the platform
    // cannot tell who is attached.
    [[nodiscard]] bool producers_done(const ClaimSite& site, bool& seen) const;

    // ---- producer of `lane` (the caller holds that slot) ----
    [[nodiscard]] Result<bool> push(std::uint32_t lane, ByteSpan first, ByteSpan second = {});
    template <class Host>
    [[nodiscard]] Result<bool> push_wait(std::uint32_t lane, ByteSpan first, ByteSpan second, Deadline deadline,
                                         Host& host);
    // Batches, as SpscRing's: frames appended after `tail` go out together.
    SpscRing& lane(std::uint32_t k) noexcept { return lanes_[k]; }
    const SpscRing& lane(std::uint32_t k) const noexcept { return lanes_[k]; }
    void publish(std::uint32_t lane, std::uint64_t before, std::uint64_t tail) noexcept;

    // ---- the doorbell ----
    // Bumps and wakes the doorbell if a consumer is marked as a possible
    // sleeper (the look at the mark pairs with the consumer's, see
    // sleeper_marked).
    void ring_if_sleeping() noexcept;
    // A consumer's wait: attempt() until it returns true, sleeping on the
    // doorbell between attempts once the wait stops spinning, marked in
    // `sleepers` the kind's way from then until the wait ends.
    template <class Attempt, class Host>
    WaitResult wait_for_bell(Attempt&& attempt, Deadline deadline, Host& host, SleepMark how);

    // ---- queries: lane headers only, momentarily stale ----
    [[nodiscard]] std::uint64_t used() const noexcept;
    [[nodiscard]] std::uint64_t used(std::uint32_t lane) const noexcept { return lanes_[lane].used(); }

    // Event loops: every lane rings the segment's one data bell; lane k's
    // consumers ring room bell kBellPerWaiter + k, its producer's own.
    [[nodiscard]] const BellAddress& data_bell() const noexcept { return lanes_.front().data_bell(); }

private:
    LaneSet(Mapping mapping, const LaneKind& kind, std::uint64_t capacity) noexcept
        : mapping_(std::move(mapping)), kind_(&kind), capacity_(capacity) {}
    [[nodiscard]] Status attach_lanes(std::uint32_t producers, bool creator);
    std::atomic_ref<std::uint32_t> word32(std::uint64_t offset) const noexcept {
        return std::atomic_ref<std::uint32_t>(*reinterpret_cast<std::uint32_t*>(mapping_.base() + offset));
    }
    // After a publish on `lane` that started at stream position `before`.
    void ring_doorbell(std::uint32_t lane, std::uint64_t before) noexcept;
    void bump_doorbell() noexcept;

    // Wraps the caller's host: the consumer marks itself as a possible
    // sleeper when the wait stops spinning.
    template <class Host>
    struct Marked {
        Host& host;
        std::atomic_ref<std::uint32_t> sleepers;
        SleepMark how;
        bool marked = false;
        void suspend() {
            if (how == SleepMark::Flag) sleepers.exchange(1, std::memory_order_acq_rel);
            else sleepers.fetch_add(1, std::memory_order_acq_rel);
            marked = true;
            mark_fence();  // pairs with the producer's (sleeper_marked)
            host.suspend();
        }
        bool poll() { return host.poll(); }
    };

    Mapping mapping_;
    const LaneKind* kind_;         // a kind's constant, for messages
    std::uint64_t capacity_;
    std::vector<SpscRing> lanes_;  // windows of mapping_, which outlives them
    std::uint32_t expected_ = 0;   // the header's, as validated at attach
};

// What every kind over lanes shows of its LaneSet: sizes, the end-of-stream
// rule (above) and the producer side. A producer publishes into `lane`, the
// slot it holds; join() gives a new producer its slot, registered, which it
// keeps for as long as it produces and releases to end its stream.
class LaneRing {
public:
    std::uint32_t producers() const noexcept { return set_.producers(); }
    // One lane's data capacity, and the largest payload one message may carry.
    std::uint64_t capacity() const noexcept { return set_.capacity(); }
    std::uint64_t max_payload() const noexcept { return set_.max_payload(); }
    std::uint64_t map_size() const noexcept { return set_.map_size(); }

    [[nodiscard]] Result<Claim> join(ClaimSite& site) { return set_.join(site); }
    // The producers this stream waits for (0: not set), read once at attach.
    std::uint32_t expected() const noexcept { return set_.expected(); }
    [[nodiscard]] std::uint32_t joined() const noexcept { return set_.joined(); }
    // Whether every producer's stream has ended. `seen`: the caller has seen a
    // producer (set here when one is attached). False where the platform
    // cannot tell who is attached.
    [[nodiscard]] bool producers_done(const ClaimSite& site, bool& seen) const {
        return set_.producers_done(site, seen);
    }

    [[nodiscard]] Result<bool> push(std::uint32_t lane, ByteSpan first, ByteSpan second = {}) {
        return set_.push(lane, first, second);
    }
    template <class Host>
    [[nodiscard]] Result<bool> push_wait(std::uint32_t lane, ByteSpan first, ByteSpan second, Deadline deadline,
                                         Host& host) {
        return set_.push_wait(lane, first, second, deadline, host);
    }
    // Batches, as SpscRing's: frames appended after `before` go out together.
    SpscRing& lane(std::uint32_t k) noexcept { return set_.lane(k); }
    const SpscRing& lane(std::uint32_t k) const noexcept { return set_.lane(k); }
    void publish(std::uint32_t lane, std::uint64_t before, std::uint64_t tail) noexcept {
        set_.publish(lane, before, tail);
    }

    // Lane headers only, momentarily stale.
    [[nodiscard]] std::uint64_t used() const noexcept { return set_.used(); }
    [[nodiscard]] bool is_empty() const noexcept { return used() == 0; }
    // Every lane rings the segment's one data bell.
    [[nodiscard]] const BellAddress& data_bell() const noexcept { return set_.data_bell(); }

protected:
    explicit LaneRing(LaneSet set) noexcept : set_(std::move(set)) {}
    LaneSet set_;
};

template <class Host>
Result<bool> LaneSet::push_wait(std::uint32_t k, ByteSpan first, ByteSpan second, Deadline deadline, Host& host) {
    const std::uint64_t before = lanes_[k].tail_position();
    Result<bool> pushed = lanes_[k].push_wait(first, second, deadline, host);
    if (pushed.ok() && pushed.value()) ring_doorbell(k, before);
    return pushed;
}

// The doorbell is read before each attempt: a bump after that read changes
// the word the sleep compares with, so it is not slept through.
template <class Attempt, class Host>
WaitResult LaneSet::wait_for_bell(Attempt&& attempt, Deadline deadline, Host& host, SleepMark how) {
    std::uint32_t seen = 0;
    const auto bell = word32(kLaneDoorbellAt);
    const auto look = [&] {
        seen = bell.load(std::memory_order_acquire);
        return attempt();
    };
    Marked<Host> marked{host, word32(kLaneSleepersAt), how};
    const std::uint32_t* word = reinterpret_cast<const std::uint32_t*>(mapping_.base() + kLaneDoorbellAt);
    const WaitResult result = wait_until(look, deadline, marked, WaitWord{word, &seen});
    // A flag is cleared whether or not this wait set it: a dead predecessor's
    // mark goes with it. A count takes back only this wait's own.
    if (how == SleepMark::Flag) marked.sleepers.store(0, std::memory_order_relaxed);
    else if (marked.marked) marked.sleepers.fetch_sub(1, std::memory_order_relaxed);
    return result;
}

}  // namespace velmora
