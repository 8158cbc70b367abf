// The fan-in ring: up to `producers` producer processes, one consumer, in one
// shared-memory mapping. Plain C++ (no Python.h) so it is tested natively.
//
// Shared layout, from offset 0 of the mapping:
//
//   0    magic (u64)            kMpscMagic: this is a fan-in segment
//   8    layout version (u32)   kMpscVersion
//   12   producer slots (u32)   1 ..= kMpscMaxProducers
//   16   lane capacity (u64)    a power of two: each producer's bytes in flight
//   24   expected (u32)         producers the stream waits for; 0: not set
//   28   joined (u32)           producers that have registered so far
//   32   reserved, zero
//   64   doorbell (u32)         bumped to wake a sleeping consumer
//   68   sleeping (u32)         non-zero while the consumer may sleep on it
//   72   reserved, zero
//   128  lane 0, lane 1, ... one per slot, `lane_stride` bytes apart
//
// Each lane is exactly the SPSC ring's layout (ring.hpp: 24-byte header, then
// `capacity` data bytes) and is driven by an unchanged SpscRing over a window
// of the mapping, so every lane keeps the SPSC protocol and its checks. A
// producer owns one lane (its slot, claimed by the caller); the consumer
// serves the lanes in turn, one message each, starting after the lane it
// served last, so no producer with something to send waits behind another.
//
// The consumer's one wait: it reads the doorbell, scans every lane, and
// sleeps on the doorbell while it has not changed. Before it may sleep it
// sets `sleeping` and fences; a producer fences after its publish and reads
// `sleeping`: so either the producer sees the flag (and bumps and wakes the
// doorbell) or the consumer's next scan sees the message. A producer rings
// only when the flag is set and its lane held nothing before its message
// (otherwise an earlier message of the same lane already guaranteed that the
// consumer will look). The sleeps are bounded (wait.hpp), so a producer that
// never rings (a foreign writer) is still served.
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
// Both words are zero in segments made by builds that did not have them:
// such a segment keeps the second rule, and its producers register nowhere.
// The creator writes `expected` once; `joined` only ever grows. A forged
// value can end a stream early or late, never steer an access.
//
// A producer that dies leaves its lane as it was after its last publish (an
// unpublished frame is invisible), so a later producer of the same slot
// continues the lane's counters: nothing is reset.
//
// The mapping is untrusted. The fan-in header is validated once when the
// object is made (its fields are never read again); each lane's window is
// fixed by those validated fields and each lane validates its own header on
// every use, so no forged word steers an access outside the mapping.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "core/claims.hpp"
#include "core/ring.hpp"
#include "platform/platform.hpp"
#include "platform/wait.hpp"
#include "velmora/error.hpp"

namespace velmora {

inline constexpr std::uint64_t kMpscMagic = 0x3143'5350'4d4e'4656ull;  // "VFNMPSC1"
inline constexpr std::uint32_t kMpscVersion = 1;
inline constexpr std::uint32_t kMpscMaxProducers = 1024;
inline constexpr std::uint64_t kMpscHeaderSize = 128;
// Header fields (the layout above).
inline constexpr std::uint64_t kMpscVersionAt = 8;
inline constexpr std::uint64_t kMpscProducersAt = 12;
inline constexpr std::uint64_t kMpscCapacityAt = 16;
inline constexpr std::uint64_t kMpscExpectedAt = 24;
inline constexpr std::uint64_t kMpscJoinedAt = 28;

// Where a popped message came from: its lane and the lane's frame.
struct MpscFrame {
    std::uint32_t lane;
    SpscFrame frame;
};

// ---- slots and roles, as claims (core/claims.hpp) ----------------------------
// Producer slot k is claim kMpscProducerClaim + k; the consumer role is the
// ring consumer's claim. Each producer object of a process takes a slot of its
// own: a slot this process already holds is skipped.
inline constexpr std::uint64_t kMpscProducerClaim = claim_slot::first_free;

// A free slot's claim; an EAGAIN Os error ("all 8 producer slots of '/results'
// are taken") when live producers hold every slot.
[[nodiscard]] Result<Claim> claim_producer_slot(ClaimSite& site, std::uint32_t producers);
// The consumer role; EAGAIN ("ring '/results' already has a consumer (pid N)")
// while another live process holds it.
[[nodiscard]] Result<Claim> claim_consumer_role(ClaimSite& site);
// Whether a live process, this one included, holds a producer slot (a probe
// that fails counts as held), and which processes do (in slot order).
[[nodiscard]] bool producer_attached(const ClaimSite& site, std::uint32_t producers);
[[nodiscard]] std::vector<long> producer_pids(const ClaimSite& site, std::uint32_t producers);
// Whether a live process other than this one holds the consumer role (a
// probe that fails counts as held), or this process does.
[[nodiscard]] bool consumer_attached(const ClaimSite& site);

// The segment size for `producers` lanes of `capacity` bytes each, or the
// ValueError that says which argument is out of range.
[[nodiscard]] Result<std::uint64_t> mpsc_segment_size(std::uint64_t capacity, std::uint64_t producers);

// A fan-in ring's segment opened by name alone. Where the system cannot tell
// a segment's size, the header is mapped first and the size its producer
// count and capacity call for is asked for (the system refuses more than the
// segment has); a header that is not a fan-in ring's leaves the header-sized
// handle, which MpscLanes::open then refuses with what it found.
[[nodiscard]] Result<PlatformHandle> open_mpsc_segment(std::string_view name);

// True when the mapping starts with the fan-in magic (whatever else it holds).
[[nodiscard]] bool looks_like_mpsc(const std::uint8_t* base, std::uint64_t size) noexcept;

// The consumer's sleep mark against a producer's publish: the consumer sets
// the mark then scans the lanes; a producer stores its tail then looks at the
// mark. A sequentially consistent fence after each side's write orders the
// two: whichever fence comes second, its side sees the other's write, so
// either the producer sees the mark or the consumer's scan sees the message.
// A fence costs the producer's core alone, where a read-modify-write of the
// shared word on every publish would pull its cache line from whichever core
// wrote it last. The thread sanitizer does not follow fences: its builds
// look with a read-modify-write instead, which pairs with the consumer's
// exchange through the word's own order.
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

class MpscLanes {
public:
    // Takes ownership of `mapping`. A creator writes the header and every
    // lane (the mapping must be mpsc_segment_size() bytes or more); an opener
    // validates the header it finds (`name`, the segment's, for its messages).
    [[nodiscard]] static Result<MpscLanes> create(Mapping mapping, std::uint64_t capacity, std::uint32_t producers,
                                                  std::uint32_t expected = 0);
    [[nodiscard]] static Result<MpscLanes> open(Mapping mapping, std::string_view name);

    std::uint32_t producers() const noexcept { return static_cast<std::uint32_t>(lanes_.size()); }
    std::uint64_t capacity() const noexcept { return capacity_; }
    // The largest payload one message may carry.
    std::uint64_t max_payload() const noexcept;
    std::uint64_t map_size() const noexcept { return mapping_.size(); }

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
    void publish(std::uint32_t lane, std::uint64_t before, std::uint64_t tail) noexcept;

    // ---- consumer ----
    // The next message in turn (nullopt when every lane is empty), then its
    // copy and commit; commit moves the turn past its lane.
    [[nodiscard]] Result<std::optional<MpscFrame>> begin_pop();
    void copy_payload(const MpscFrame& f, std::uint8_t* dst) const noexcept {
        lanes_[f.lane].copy_payload(f.frame, dst);
    }
    [[nodiscard]] std::pair<ByteSpan, ByteSpan> payload_parts(const MpscFrame& f) const noexcept {
        return lanes_[f.lane].payload_parts(f.frame);
    }
    void commit(const MpscFrame& f) noexcept;
    template <class Host>
    [[nodiscard]] Result<std::optional<MpscFrame>> wait_pop(Deadline deadline, Host& host);

    // ---- queries: lane headers only, momentarily stale ----
    [[nodiscard]] std::uint64_t used() const noexcept;
    [[nodiscard]] std::uint64_t used(std::uint32_t lane) const noexcept { return lanes_[lane].used(); }
    [[nodiscard]] bool is_empty() const noexcept { return used() == 0; }

    // Event loops: every lane rings the segment's one data bell; lane k's
    // consumer rings room bell kBellPerWaiter + k, its producer's own.
    [[nodiscard]] const BellAddress& data_bell() const noexcept { return lanes_.front().data_bell(); }

private:
    MpscLanes(Mapping mapping, std::uint64_t capacity) noexcept
        : mapping_(std::move(mapping)), capacity_(capacity) {}
    [[nodiscard]] Status attach_lanes(std::uint32_t producers, bool creator);
    std::uint64_t lane_stride() const noexcept;
    std::atomic_ref<std::uint32_t> word32(std::uint64_t offset) const noexcept {
        return std::atomic_ref<std::uint32_t>(*reinterpret_cast<std::uint32_t*>(mapping_.base() + offset));
    }
    // After a publish on `lane` that started at stream position `before`.
    void ring_doorbell(std::uint32_t lane, std::uint64_t before) noexcept;

    // Wraps the caller's host: the consumer marks itself as a possible
    // sleeper when the wait stops spinning.
    template <class Host>
    struct SleepMark {
        Host& host;
        std::atomic_ref<std::uint32_t> sleeping;
        void suspend() {
            sleeping.exchange(1, std::memory_order_acq_rel);
            mark_fence();  // pairs with the producer's (sleeper_marked)
            host.suspend();
        }
        bool poll() { return host.poll(); }
    };

    Mapping mapping_;
    std::uint64_t capacity_;
    std::vector<SpscRing> lanes_;  // windows of mapping_, which outlives them
    std::uint32_t turn_ = 0;       // the consumer's next lane to look at first
    std::uint32_t expected_ = 0;   // the header's, as validated at attach
};

inline constexpr std::uint64_t kMpscDoorbell = 64;
inline constexpr std::uint64_t kMpscSleeping = 68;

template <class Host>
Result<bool> MpscLanes::push_wait(std::uint32_t k, ByteSpan first, ByteSpan second, Deadline deadline, Host& host) {
    const std::uint64_t before = lanes_[k].tail_position();
    Result<bool> pushed = lanes_[k].push_wait(first, second, deadline, host);
    if (pushed.ok() && pushed.value()) ring_doorbell(k, before);
    return pushed;
}

template <class Host>
Result<std::optional<MpscFrame>> MpscLanes::wait_pop(Deadline deadline, Host& host) {
    // A message already there is taken without reading the doorbell, whose
    // line every producer's publish writes.
    Result<std::optional<MpscFrame>> last = begin_pop();
    if (!last.ok() || last.value().has_value()) return last;
    std::uint32_t seen = 0;
    const auto bell = word32(kMpscDoorbell);
    const auto attempt = [&] {
        seen = bell.load(std::memory_order_acquire);
        last = begin_pop();
        return !last.ok() || last.value().has_value();
    };
    SleepMark<Host> marked{host, word32(kMpscSleeping)};
    const std::uint32_t* word = reinterpret_cast<const std::uint32_t*>(mapping_.base() + kMpscDoorbell);
    (void)wait_until(attempt, deadline, marked, WaitWord{word, &seen});
    marked.sleeping.store(0, std::memory_order_relaxed);
    return last;
}

}  // namespace velmora
