// Fan-in ring: its kind over the producer lanes (lanes.hpp) and the
// consumer's turn.
#include "core/mpsc.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

namespace velmora {

Result<std::uint64_t> mpsc_segment_size(std::uint64_t capacity, std::uint64_t producers) {
    return lane_segment_size(capacity, producers);
}

bool looks_like_mpsc(const std::uint8_t* base, std::uint64_t size) noexcept {
    return starts_with_magic(base, size, kMpscMagic);
}

Result<Claim> claim_producer_slot(ClaimSite& site, std::uint32_t producers) {
    return claim_free_slot(site, kMpscProducerClaim, producers, "producer");
}

Result<Claim> claim_consumer_role(ClaimSite& site) {
    auto claimed = site.claim(claim_slot::consumer, ClaimMode::Exclusive);
    if (!claimed) return claimed.error();
    if (!claimed.value())
        return claim_refused("ring '" + site.name() + "'", "a consumer", site.holders(claim_slot::consumer, true));
    return std::move(*claimed.value());
}

bool producer_attached(const ClaimSite& site, std::uint32_t producers) {
    return slot_range_attached(site, kMpscProducerClaim, producers);
}

bool consumer_attached(const ClaimSite& site) {
    if (site.held_here(claim_slot::consumer)) return true;
    auto elsewhere = site.held_elsewhere(claim_slot::consumer);
    return !elsewhere || elsewhere.value();
}

std::vector<long> producer_pids(const ClaimSite& site, std::uint32_t producers) {
    return slot_range_pids(site, kMpscProducerClaim, producers);
}

Result<MpscLanes> MpscLanes::create(Mapping mapping, std::uint64_t capacity, std::uint32_t producers,
                                    std::uint32_t expected) {
    auto set = LaneSet::create(std::move(mapping), kMpscKind, capacity, producers, expected);
    if (!set) return set.error();
    set->seal();
    return MpscLanes(std::move(set).value());
}

Result<PlatformHandle> open_mpsc_segment(std::string_view name) { return open_lane_segment(name, kMpscKind); }

Result<MpscLanes> MpscLanes::open(Mapping mapping, std::string_view name) {
    auto set = LaneSet::open(std::move(mapping), kMpscKind, name);
    if (!set) return set.error();
    return MpscLanes(std::move(set).value());
}

Result<std::optional<MpscFrame>> MpscLanes::begin_pop() {
    const std::uint32_t n = producers();
    for (std::uint32_t i = 0; i < n; ++i) {
        const std::uint32_t k = turn_ + i < n ? turn_ + i : turn_ + i - n;
        auto found = set_.lane(k).begin_pop();
        if (!found) return Error::value("lane " + std::to_string(k) + ": " + found.error().message, found.error().reason);
        if (found.value()) return std::optional<MpscFrame>(MpscFrame{k, *found.value()});
    }
    return std::optional<MpscFrame>{};
}

void MpscLanes::commit(const MpscFrame& f) noexcept {
    set_.lane(f.lane).commit(f.frame);
    turn_ = f.lane + 1 < producers() ? f.lane + 1 : 0;
}

}  // namespace velmora
