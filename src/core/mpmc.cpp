// Work-sharing ring: its kind over the producer lanes (lanes.hpp), its
// consumer slots, and the take by copy-then-compare-and-swap. The protocol is
// described once, in mpmc.hpp.
#include "core/mpmc.hpp"

#include <string>

namespace velmora {

using std::to_string;

Result<std::uint64_t> mpmc_segment_size(std::uint64_t capacity, std::uint64_t producers) {
    return lane_segment_size(capacity, producers);
}

Result<PlatformHandle> open_mpmc_segment(std::string_view name) { return open_lane_segment(name, kMpmcKind); }

bool looks_like_mpmc(const std::uint8_t* base, std::uint64_t size) noexcept {
    return starts_with_magic(base, size, kMpmcMagic);
}

Result<MpmcRing> MpmcRing::create(Mapping mapping, std::uint64_t capacity, std::uint32_t producers,
                                  std::uint32_t consumers, std::uint32_t expected) {
    if (consumers < 1 || consumers > kMpmcMaxConsumers)
        return Error::value("consumers must be between 1 and " + to_string(kMpmcMaxConsumers) + ", not " +
                               to_string(consumers));
    auto set = LaneSet::create(std::move(mapping), kMpmcKind, capacity, producers, expected);
    if (!set) return set.error();
    set->set_kind_word(kMpmcConsumersAt, consumers);
    set->seal();
    return MpmcRing(std::move(set).value(), consumers);
}

Result<MpmcRing> MpmcRing::open(Mapping mapping, std::string_view name) {
    auto set = LaneSet::open(std::move(mapping), kMpmcKind, name);
    if (!set) return set.error();
    const std::uint32_t consumers = set->kind_word(kMpmcConsumersAt);
    if (consumers < 1 || consumers > kMpmcMaxConsumers)
        return LaneSet::refuse(kMpmcKind, name, "consumer count " + to_string(consumers) + " is outside 1.." +
                               to_string(kMpmcMaxConsumers));
    return MpmcRing(std::move(set).value(), consumers);
}

Result<Claim> MpmcRing::claim_consumer(ClaimSite& site) {
    auto claimed = claim_free_slot(site, kMpmcConsumerClaim, consumers_, "consumer");
    if (claimed) turn_ = static_cast<std::uint32_t>((claimed->slot() - kMpmcConsumerClaim) % producers());
    return claimed;
}

bool MpmcRing::consumer_attached(const ClaimSite& site) const {
    return slot_range_attached(site, kMpmcConsumerClaim, consumers_);
}

std::vector<long> MpmcRing::consumer_pids(const ClaimSite& site) const {
    return slot_range_pids(site, kMpmcConsumerClaim, consumers_);
}

bool MpmcRing::producer_attached(const ClaimSite& site) const {
    return slot_range_attached(site, kMpmcProducerClaim, producers());
}

std::vector<long> MpmcRing::producer_pids(const ClaimSite& site) const {
    return slot_range_pids(site, kMpmcProducerClaim, producers());
}

// A lane whose look fails is asked again while its head moves: the frame was
// read while another consumer's take let the producer write over it. Only a
// failure with head standing still is the lane's corruption.
Result<std::optional<MpmcFrame>> MpmcRing::begin_take() {
    const std::uint32_t n = producers();
    for (std::uint32_t i = 0; i < n; ++i) {
        const std::uint32_t k = turn_ + i < n ? turn_ + i : turn_ + i - n;
        SpscRing& lane = set_.lane(k);
        for (std::uint32_t moved = 0; moved < kMaxMoved; ++moved) {
            std::uint64_t head = 0;
            auto found = lane.begin_shared_pop(head);
            if (found) {
                if (found.value()) return std::optional<MpmcFrame>(MpmcFrame{k, *found.value()});
                break;
            }
            if (!lane.head_moved_from(head))
                return Error::value("lane " + to_string(k) + ": " + found.error().message, found.error().reason);
        }
    }
    return std::optional<MpmcFrame>{};
}

bool MpmcRing::finish_take(const MpmcFrame& f) noexcept {
    if (!set_.lane(f.lane).try_commit(f.frame)) return false;
    turn_ = f.lane + 1 < producers() ? f.lane + 1 : 0;
    pass_on(f.lane);
    return true;
}

// The fence pairs with the producer's after its publish (lanes.hpp,
// ring_doorbell): either this look at the tail sees the producer's message
// or the producer's look at head sees this take, and the lane empty.
void MpmcRing::pass_on(std::uint32_t k) noexcept {
    mark_fence();
    if (set_.lane(k).used() != 0) set_.ring_if_sleeping();
}

}  // namespace velmora
