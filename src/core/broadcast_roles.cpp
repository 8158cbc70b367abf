// Claims for broadcast publishers and subscribers (see broadcast_roles.hpp).
#include "core/broadcast_roles.hpp"

#include <cerrno>
#include <mutex>
#include <string>

namespace velmora {
namespace {

std::string describe(const PlatformHandle& segment) { return "broadcast '" + segment.name() + "'"; }

bool alive(const ClaimSite& site, std::uint64_t slot) {
    if (site.held_here(slot)) return true;
    const auto elsewhere = site.held_elsewhere(slot, ClaimMode::Exclusive);
    return !elsewhere.ok() || elsewhere.value();
}

}  // namespace

bool broadcast_entry_alive(const ClaimSite& site, std::uint32_t entry) {
    return alive(site, broadcast_entry_claim(entry));
}

bool broadcast_publisher_alive(const ClaimSite& site) { return alive(site, kBroadcastPublisherClaim); }

EntryAlive broadcast_entry_probe(std::shared_ptr<ClaimSite> site) {
    return [site = std::move(site)](std::uint32_t entry) { return broadcast_entry_alive(*site, entry); };
}

bool broadcast_publisher_gone(const BroadcastSegment& segment, const ClaimSite& site) {
    return segment.publisher_state() != 1 || !broadcast_publisher_alive(site);
}

std::vector<long> broadcast_subscribers(const BroadcastSegment& segment, const ClaimSite& site) {
    std::vector<long> pids;
    for (const auto& [entry, pid] : segment.active_entries())
        if (broadcast_entry_alive(site, entry)) pids.push_back(static_cast<long>(pid));
    return pids;
}

Result<BroadcastAttachment<BroadcastPublisher>> attach_publisher(const PlatformHandle& segment,
                                                                 const std::optional<BroadcastConfig>& config) {
    auto mapping = segment.map();
    if (!mapping) return mapping.error();
    auto site = ClaimSite::of(segment);
    if (!site) return site.error();
    ClaimSite& claims = *site.value();
    // Claims are shared by a process's handles: a second publisher object in
    // this process is refused like one in another process.
    if (claims.held_here(kBroadcastPublisherClaim))
        return claim_refused(describe(segment), "a publisher", {current_pid()});
    auto taken = claims.claim(kBroadcastPublisherClaim, ClaimMode::Exclusive);
    if (!taken) return taken.error();
    if (!taken.value())
        return claim_refused(describe(segment), "a publisher", claims.holders(kBroadcastPublisherClaim, true));
    auto made = config ? BroadcastPublisher::create(std::move(mapping).value(), *config)
                       : BroadcastPublisher::take_over(std::move(mapping).value());
    if (!made) return made.error();
    made.value().set_liveness(broadcast_entry_probe(site.value()));
    return BroadcastAttachment<BroadcastPublisher>{std::move(site).value(), std::move(*taken.value()),
                                                   std::move(made).value()};
}

Result<BroadcastAttachment<BroadcastSubscriber>> attach_subscriber(const PlatformHandle& segment) {
    auto mapping = segment.map();
    if (!mapping) return mapping.error();
    auto layout = BroadcastLayout::read(mapping.value());
    if (!layout) return layout.error();
    auto site = ClaimSite::of(segment);
    if (!site) return site.error();
    ClaimSite& claims = *site.value();
    // Two subscribers of one process must not share an entry (claims are
    // shared by a process's handles), so this process joins one at a time.
    static std::mutex joining;
    const std::lock_guard lock(joining);
    for (std::uint32_t entry = 0; entry < layout->limit; ++entry) {
        if (claims.held_here(broadcast_entry_claim(entry))) continue;
        auto taken = claims.claim(broadcast_entry_claim(entry), ClaimMode::Exclusive);
        if (!taken) return taken.error();
        if (!taken.value()) continue;
        auto joined = BroadcastSubscriber::join(std::move(mapping).value(), entry,
                                                static_cast<std::uint32_t>(current_pid()));
        if (!joined) return joined.error();
        return BroadcastAttachment<BroadcastSubscriber>{std::move(site).value(), std::move(*taken.value()),
                                                        std::move(joined).value()};
    }
    return Error::os(describe(segment) + " already has " + std::to_string(layout->limit) + " subscribers", EAGAIN, Reason::busy);
}

}  // namespace velmora
