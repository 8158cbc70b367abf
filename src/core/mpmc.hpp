// The work-sharing ring: up to `producers` producer processes and up to
// `consumers` consumer processes in one shared-memory mapping; each message
// goes to exactly one consumer. Plain C++ (no Python.h) so it is tested
// natively.
//
// Shared layout: the producer lanes' (lanes.hpp) with the MPMC magic, and
//   32   consumer slots (u32)   1 ..= kMpmcMaxConsumers
// among the kind's own header words; `sleepers` counts the consumers that
// may be asleep on the doorbell. Producers are exactly the fan-in ring's:
// one lane each, with the same end-of-stream rule.
//
// Taking a message. Every consumer drives every lane through an SpscRing of
// its own, and the consumers share each lane's head word: a consumer reads
// the head h, validates the frame at h against the tail it reads after it,
// copies the payload out, then moves head from h to the frame's end with a
// compare-and-swap (SpscRing::begin_shared_pop / try_commit). The producer
// never writes where the frame is before head has moved past it, so a
// successful swap means the copy is whole, and exactly one consumer's swap
// from h succeeds: each message is taken once. A failed swap means another
// consumer took it: the copy is dropped and the consumer looks again. What
// one consumer takes from one lane it takes in the lane's order, since head
// only moves forward. Consumers start their scan at the lane after the one
// they took from last, so no producer starves.
//
// Kill safety. A consumer holds nothing between its calls and takes no lock:
// killed before its swap, it leaves the message for the others; after it, it
// has lost that one message. Killed asleep, it leaves `sleepers` one too high,
// which makes producers ring when nobody listens, never a consumer sleep
// longer. A dead producer is the fan-in ring's (lanes.hpp).
//
// Wake-ups. A consumer about to sleep counts itself in `sleepers`, fences and
// scans (lanes.hpp); a producer rings when its lane held nothing before its
// message. A message published behind another one that is still in the lane
// is passed on by that one's taker: after its swap it fences and looks at the
// lane's tail, and rings if the lane still holds something and a consumer
// may sleep. The producer fences after its publish and looks at head: so
// either the producer saw the lane empty (and rang) or the taker sees the
// message. The wake wakes every sleeper; they race for the messages.
//
// The mapping is untrusted: the header is validated once when the object is
// made, each lane validates its own header on every use, and a corruption
// verdict stands only if head did not move while the frame was read (a
// frame read while another consumer's take let the producer write over it is
// a lost race, not corruption). Head moving without end (a forger) makes a
// consumer give up on the lane for that scan, never read outside the mapping.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "core/claims.hpp"
#include "core/lanes.hpp"
#include "core/ring.hpp"
#include "platform/platform.hpp"
#include "platform/wait.hpp"
#include "velmora/error.hpp"

namespace velmora {

inline constexpr std::uint64_t kMpmcMagic = 0x3143'4d50'4d4e'4656ull;  // "VFNMPMC1"
inline constexpr std::uint32_t kMpmcVersion = 1;
inline constexpr std::uint32_t kMpmcMaxProducers = kLaneMaxProducers;
inline constexpr std::uint32_t kMpmcMaxConsumers = 1024;
inline constexpr std::uint64_t kMpmcHeaderSize = kLaneHeaderSize;
inline constexpr std::uint64_t kMpmcConsumersAt = kLaneKindWordsAt;

inline constexpr LaneKind kMpmcKind{kMpmcMagic, kMpmcVersion, "an MPMC ring", "MPMC"};

// ---- slots, as claims (core/claims.hpp) ------------------------------------------
// Producer slot k is claim kMpmcProducerClaim + k (the lanes' range);
// consumer slot j is claim kMpmcConsumerClaim + j, past every producer's.
inline constexpr std::uint64_t kMpmcProducerClaim = kLaneProducerClaim;
inline constexpr std::uint64_t kMpmcConsumerClaim = kLaneProducerClaim + kLaneMaxProducers;
static_assert(kMpmcConsumerClaim >= kMpmcProducerClaim + kMpmcMaxProducers, "consumer slots past producers'");

// The segment size for `producers` lanes of `capacity` bytes each (the
// consumer count takes no room), or the ValueError that says which argument
// is out of range.
[[nodiscard]] Result<std::uint64_t> mpmc_segment_size(std::uint64_t capacity, std::uint64_t producers);

// An MPMC segment opened by name alone (open_lane_segment).
[[nodiscard]] Result<PlatformHandle> open_mpmc_segment(std::string_view name);

// True when the mapping starts with the MPMC magic (whatever else it holds).
[[nodiscard]] bool looks_like_mpmc(const std::uint8_t* base, std::uint64_t size) noexcept;

// A message found by begin_take(): its lane and the lane's frame.
struct MpmcFrame {
    std::uint32_t lane;
    SpscFrame frame;
};

// A message taken: where from and how many payload bytes the sink got.
struct MpmcTaken {
    std::uint32_t lane;
    std::uint64_t length;
};

class MpmcRing : public LaneRing {
public:
    // Takes ownership of `mapping`. A creator writes the header and every
    // lane (the mapping must be mpmc_segment_size() bytes or more); an opener
    // validates the header it finds (`name`, the segment's, for its messages).
    [[nodiscard]] static Result<MpmcRing> create(Mapping mapping, std::uint64_t capacity, std::uint32_t producers,
                                                 std::uint32_t consumers, std::uint32_t expected = 0);
    [[nodiscard]] static Result<MpmcRing> open(Mapping mapping, std::string_view name);

    // Sizes, end of stream and the producer of a lane: LaneRing (lanes.hpp).
    std::uint32_t consumers() const noexcept { return consumers_; }

    // ---- roles ----
    // A free consumer slot (EAGAIN "all 4 consumer slots of '/jobs' are
    // taken" when live processes hold them all); this object's scan then
    // starts at the lane of the slot's number, so consumers spread out.
    [[nodiscard]] Result<Claim> claim_consumer(ClaimSite& site);
    [[nodiscard]] bool consumer_attached(const ClaimSite& site) const;
    [[nodiscard]] std::vector<long> consumer_pids(const ClaimSite& site) const;
    [[nodiscard]] bool producer_attached(const ClaimSite& site) const;
    [[nodiscard]] std::vector<long> producer_pids(const ClaimSite& site) const;

    // ---- consumer, in steps ----
    // The next message in turn (nullopt when every lane looks empty); its
    // payload copied out; then finish_take(), true when this consumer took
    // it, false when another one did first (drop the copy, begin again). A
    // take begun and never finished takes nothing. No zero-copy view: bytes
    // in the lane are only this consumer's once its swap has succeeded, and
    // then they are the producer's again.
    [[nodiscard]] Result<std::optional<MpmcFrame>> begin_take();
    void copy_payload(const MpmcFrame& f, std::uint8_t* dst) const noexcept {
        set_.lane(f.lane).copy_payload(f.frame, dst);
    }
    [[nodiscard]] bool finish_take(const MpmcFrame& f) noexcept;

    // ---- consumer, whole ----
    // Takes one message: sink(length) gives a buffer of at least `length`
    // bytes (Result<std::uint8_t*>; an error ends the take and is returned)
    // and may be called again, with another length, after a take lost to
    // another consumer; the buffer of its last call holds the message.
    // nullopt: nothing to take (or every try lost, for a long while, to
    // other consumers; a caller that waits tries again).
    template <class Sink>
    [[nodiscard]] Result<std::optional<MpmcTaken>> take(Sink&& sink);
    template <class Sink, class Host>
    [[nodiscard]] Result<std::optional<MpmcTaken>> wait_take(Sink&& sink, Deadline deadline, Host& host);

    // ---- queries: lane headers only, momentarily stale ----

private:
    MpmcRing(LaneSet set, std::uint32_t consumers) noexcept : LaneRing(std::move(set)), consumers_(consumers) {}
    // After a take from `lane`: rings for a sleeper if the lane holds more.
    void pass_on(std::uint32_t lane) noexcept;

    // Takes lost in a row before take() reports nothing, and retries of one
    // lane whose head keeps moving under a corrupt-looking frame.
    static constexpr std::uint32_t kMaxLost = 1024;
    static constexpr std::uint32_t kMaxMoved = 64;

    std::uint32_t consumers_;  // the header's, as validated at attach
    std::uint32_t turn_ = 0;   // this consumer's next lane to look at first
};

template <class Sink>
Result<std::optional<MpmcTaken>> MpmcRing::take(Sink&& sink) {
    for (std::uint32_t lost = 0; lost < kMaxLost; ++lost) {
        Result<std::optional<MpmcFrame>> found = begin_take();
        if (!found) return found.error();
        if (!found.value()) return std::optional<MpmcTaken>{};
        const MpmcFrame f = *found.value();
        Result<std::uint8_t*> dst = sink(f.frame.length);
        if (!dst) return dst.error();
        copy_payload(f, dst.value());
        if (finish_take(f)) return std::optional<MpmcTaken>(MpmcTaken{f.lane, f.frame.length});
    }
    return std::optional<MpmcTaken>{};
}

template <class Sink, class Host>
Result<std::optional<MpmcTaken>> MpmcRing::wait_take(Sink&& sink, Deadline deadline, Host& host) {
    // A message already there is taken without reading the doorbell, whose
    // line every ringing publish writes.
    Result<std::optional<MpmcTaken>> last = take(sink);
    if (!last.ok() || last.value().has_value()) return last;
    const auto attempt = [&] {
        last = take(sink);
        return !last.ok() || last.value().has_value();
    };
    (void)set_.wait_for_bell(attempt, deadline, host, SleepMark::Count);
    return last;
}

}  // namespace velmora
