// Taking part in a broadcast: the publisher and every subscriber hold claims
// on the segment (core/claims.hpp), so that there is one publisher at a time,
// no more subscribers than the segment has places, and a dead process's place
// is known to be free. Shared by the Python binding and the C++ API.
//
// Claim slots: kBroadcastPublisherClaim for the publisher,
// broadcast_entry_claim(i) for the subscriber in entry i.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "core/broadcast.hpp"
#include "core/claims.hpp"
#include "platform/platform.hpp"

namespace velmora {

inline constexpr std::uint64_t kBroadcastPublisherClaim = claim_slot::first_free;
constexpr std::uint64_t broadcast_entry_claim(std::uint32_t entry) { return claim_slot::first_free + 1 + entry; }

template <class Side>
struct BroadcastAttachment {
    std::shared_ptr<ClaimSite> site;
    Claim claim;
    Side side;
};

// `config`: creates the segment's layout in `segment` (new, sized for it);
// none: takes over the publisher role of an existing segment whose publisher
// has gone. An Os error with EAGAIN while another publisher holds the role.
[[nodiscard]] Result<BroadcastAttachment<BroadcastPublisher>> attach_publisher(
    const PlatformHandle& segment, const std::optional<BroadcastConfig>& config);

// Joins the first free subscriber entry; an Os error with EAGAIN when every
// entry is taken by a live process.
[[nodiscard]] Result<BroadcastAttachment<BroadcastSubscriber>> attach_subscriber(const PlatformHandle& segment);

// Whether the subscriber in entry `entry` (or the publisher) is a live process:
// this process's own claims count; a failed probe counts as alive.
[[nodiscard]] bool broadcast_entry_alive(const ClaimSite& site, std::uint32_t entry);
[[nodiscard]] bool broadcast_publisher_alive(const ClaimSite& site);
// The probe a waiting publisher drops dead subscribers with.
[[nodiscard]] EntryAlive broadcast_entry_probe(std::shared_ptr<ClaimSite> site);
// The publisher closed or died.
[[nodiscard]] bool broadcast_publisher_gone(const BroadcastSegment& segment, const ClaimSite& site);
// The pids of the live subscribers.
[[nodiscard]] std::vector<long> broadcast_subscribers(const BroadcastSegment& segment, const ClaimSite& site);

}  // namespace velmora
