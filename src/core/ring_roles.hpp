// The SPSC ring's producer and consumer roles across processes, on the
// module's claims (core/claims.hpp). A handle claims a role for its process
// at its first call in that role and keeps it until it is released (the
// handle closes) or the process ends; a live process other than this one
// holding the role refuses the call: an Os error with EAGAIN reading
// "ring '/jobs' already has a producer (pid 4242)", and nothing in the ring
// is touched. Used by the Python binding and the C++ API alike.
#pragma once

#include <atomic>
#include <memory>
#include <optional>
#include <string>

#include "core/claims.hpp"
#include "velmora/error.hpp"

namespace velmora {

enum class RingRole { Producer, Consumer };

[[nodiscard]] constexpr std::uint64_t slot_of(RingRole role) noexcept {
    return role == RingRole::Producer ? claim_slot::producer : claim_slot::consumer;
}

struct RingRoles {
    std::shared_ptr<ClaimSite> site;
    std::optional<Claim> producer, consumer;
    // This handle has seen a producer: a message arrived, or a producer was
    // attached while it waited (what an end-of-stream wait needs first).
    std::atomic<bool> saw_producer{false};
    // This handle has seen a consumer attached (what a producer's broken pipe
    // needs first, unless the ring's head has moved).
    std::atomic<bool> saw_consumer{false};

    explicit RingRoles(std::shared_ptr<ClaimSite> s) noexcept : site(std::move(s)) {}
    RingRoles(RingRoles&& o) noexcept
        : site(std::move(o.site)), producer(std::move(o.producer)), consumer(std::move(o.consumer)),
          saw_producer(o.saw_producer.load()), saw_consumer(o.saw_consumer.load()) {}

    // The check at every role entry: one load when the handle holds the role.
    [[nodiscard]] Status claim(RingRole role) {
        if (holds(role == RingRole::Producer ? producer : consumer)) [[likely]] return {};
        return take(role);
    }

    // Whether this process or another live one holds the role. Reads the
    // site's counts (under its mutex), never this handle's claims, so a wait
    // may ask without the interpreter lock while another thread of the
    // process takes a role on the same handle.
    [[nodiscard]] Result<bool> present(RingRole role) const {
        if (site->held_here(slot_of(role))) return true;
        return site->held_elsewhere(slot_of(role));
    }

    // Whether an end-of-stream wait may believe there is no producer. Where
    // the platform has no claims nobody can tell, so one is assumed.
    [[nodiscard]] Result<bool> producer_assumed_present() const {
        if (!site->supported()) return true;
        return present(RingRole::Producer);
    }

    // Whether no live process holds the role now although one was there:
    // this handle saw it, or `trace` (the ring shows what it did). A probe
    // that fails, or a platform without claims, never concludes it.
    [[nodiscard]] bool gone(RingRole role, bool trace) {
        if (!site->supported()) return false;
        auto present_now = present(role);
        if (!present_now || present_now.value()) {
            if (present_now) (role == RingRole::Producer ? saw_producer : saw_consumer).store(true);
            return false;
        }
        return trace || (role == RingRole::Producer ? saw_producer : saw_consumer).load();
    }

    void release() noexcept {
        producer.reset();
        consumer.reset();
    }

private:
    [[nodiscard]] Status take(RingRole role) {
        auto taken = site->claim(slot_of(role), ClaimMode::Exclusive);
        if (!taken) return taken.error();
        if (!taken.value())
            return claim_refused("ring '" + site->name() + "'", role == RingRole::Producer ? "a producer" : "a consumer",
                                 site->holders(slot_of(role), true));
        (role == RingRole::Producer ? producer : consumer) = std::move(taken.value());
        return {};
    }
};

}  // namespace velmora
