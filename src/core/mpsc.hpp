// The fan-in ring: up to `producers` producer processes, one consumer, in one
// shared-memory mapping. Plain C++ (no Python.h) so it is tested natively.
//
// Shared layout: the producer lanes' (lanes.hpp), with the fan-in magic;
// `sleepers` is a flag, non-zero while the consumer may sleep on the
// doorbell. The consumer serves the lanes in turn, one message each,
// starting after the lane it served last, so no producer with something to
// send waits behind another. The lanes, the producers' side, the end-of-
// stream rule, the doorbell and the header checks are lanes.hpp's.
#pragma once

#include <atomic>
#include <cstddef>
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

inline constexpr std::uint64_t kMpscMagic = 0x3143'5350'4d4e'4656ull;  // "VFNMPSC1"
inline constexpr std::uint32_t kMpscVersion = 1;
inline constexpr std::uint32_t kMpscMaxProducers = kLaneMaxProducers;
inline constexpr std::uint64_t kMpscHeaderSize = kLaneHeaderSize;
// Header fields (the layout in lanes.hpp).
inline constexpr std::uint64_t kMpscVersionAt = kLaneVersionAt;
inline constexpr std::uint64_t kMpscProducersAt = kLaneProducersAt;
inline constexpr std::uint64_t kMpscCapacityAt = kLaneCapacityAt;
inline constexpr std::uint64_t kMpscExpectedAt = kLaneExpectedAt;
inline constexpr std::uint64_t kMpscJoinedAt = kLaneJoinedAt;

inline constexpr LaneKind kMpscKind{kMpscMagic, kMpscVersion, "a fan-in ring", "fan-in"};

// Where a popped message came from: its lane and the lane's frame.
struct MpscFrame {
    std::uint32_t lane;
    SpscFrame frame;
};

// ---- slots and roles, as claims (core/claims.hpp) ----------------------------
// Producer slot k is claim kMpscProducerClaim + k; the consumer role is the
// ring consumer's claim. Each producer object of a process takes a slot of its
// own: a slot this process already holds is skipped.
inline constexpr std::uint64_t kMpscProducerClaim = kLaneProducerClaim;

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

class MpscLanes : public LaneRing {
public:
    // Takes ownership of `mapping`. A creator writes the header and every
    // lane (the mapping must be mpsc_segment_size() bytes or more); an opener
    // validates the header it finds (`name`, the segment's, for its messages).
    [[nodiscard]] static Result<MpscLanes> create(Mapping mapping, std::uint64_t capacity, std::uint32_t producers,
                                                  std::uint32_t expected = 0);
    [[nodiscard]] static Result<MpscLanes> open(Mapping mapping, std::string_view name);

    // Sizes, end of stream and the producer of a lane: LaneRing (lanes.hpp).

    // ---- consumer ----
    // The next message in turn (nullopt when every lane is empty), then its
    // copy and commit; commit moves the turn past its lane.
    [[nodiscard]] Result<std::optional<MpscFrame>> begin_pop();
    void copy_payload(const MpscFrame& f, std::uint8_t* dst) const noexcept {
        set_.lane(f.lane).copy_payload(f.frame, dst);
    }
    [[nodiscard]] std::pair<ByteSpan, ByteSpan> payload_parts(const MpscFrame& f) const noexcept {
        return set_.lane(f.lane).payload_parts(f.frame);
    }
    void commit(const MpscFrame& f) noexcept;
    template <class Host>
    [[nodiscard]] Result<std::optional<MpscFrame>> wait_pop(Deadline deadline, Host& host);

    // ---- queries: lane headers only, momentarily stale ----
    using LaneRing::used;
    [[nodiscard]] std::uint64_t used(std::uint32_t lane) const noexcept { return set_.used(lane); }

    // Event loops: every lane rings the segment's one data bell (data_bell());
    // lane k's consumer rings room bell kBellPerWaiter + k, its producer's own.

private:
    explicit MpscLanes(LaneSet set) noexcept : LaneRing(std::move(set)) {}

    std::uint32_t turn_ = 0;  // the consumer's next lane to look at first
};

inline constexpr std::uint64_t kMpscDoorbell = kLaneDoorbellAt;
inline constexpr std::uint64_t kMpscSleeping = kLaneSleepersAt;

template <class Host>
Result<std::optional<MpscFrame>> MpscLanes::wait_pop(Deadline deadline, Host& host) {
    // A message already there is taken without reading the doorbell, whose
    // line every producer's publish writes.
    Result<std::optional<MpscFrame>> last = begin_pop();
    if (!last.ok() || last.value().has_value()) return last;
    const auto attempt = [&] {
        last = begin_pop();
        return !last.ok() || last.value().has_value();
    };
    (void)set_.wait_for_bell(attempt, deadline, host, SleepMark::Flag);
    return last;
}

}  // namespace velmora
