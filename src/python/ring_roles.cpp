#include "python/ring_roles.hpp"

#include <vector>

namespace velmora::py {
namespace {

std::uint64_t slot_of(RingRole role) noexcept {
    return role == RingRole::Producer ? claim_slot::producer : claim_slot::consumer;
}

}  // namespace

bool take_role(RingRoles& roles, const std::string& name, RingRole role) {
    auto taken = roles.site->claim(slot_of(role), ClaimMode::Exclusive);
    if (!taken) return raise(taken.error()), false;
    if (!taken.value()) {
        const std::vector<long> pids = roles.site->holders(slot_of(role), true);
        raise(claim_refused("ring '" + name + "'", role == RingRole::Producer ? "a producer" : "a consumer", pids));
        return false;
    }
    (role == RingRole::Producer ? roles.producer : roles.consumer) = std::move(taken.value());
    return true;
}

int role_present(const RingRoles& roles, RingRole role, ShmError* failure) {
    const std::uint64_t slot = slot_of(role);
    if (holds(role == RingRole::Producer ? roles.producer : roles.consumer) || roles.site->held_here(slot)) return 1;
    auto elsewhere = roles.site->held_elsewhere(slot);
    if (elsewhere) return elsewhere.value() ? 1 : 0;
    if (failure != nullptr) *failure = elsewhere.error();
    else raise(elsewhere.error());
    return -1;
}

}  // namespace velmora::py
