// The ring's producer and consumer roles across processes, on the module's
// claims (core/claims.hpp): a handle claims a role for its process at its
// first call in that role and keeps it until it closes; a live process other
// than this one holding the role refuses the call with BlockingIOError.
#pragma once

#include <atomic>
#include <memory>
#include <optional>
#include <string>

#include "core/claims.hpp"
#include "python/support.hpp"

namespace velmora::py {

enum class RingRole { Producer, Consumer };

struct RingRoles {
    std::shared_ptr<ClaimSite> site;
    std::optional<Claim> producer, consumer;
    // This handle has seen a producer: a message arrived, or a producer was
    // attached while it waited (what get(eof=True) needs before it ends).
    std::atomic<bool> saw_producer{false};

    explicit RingRoles(std::shared_ptr<ClaimSite> s) noexcept : site(std::move(s)) {}
    RingRoles(RingRoles&& o) noexcept
        : site(std::move(o.site)), producer(std::move(o.producer)), consumer(std::move(o.consumer)),
          saw_producer(o.saw_producer.load()) {}

    void release() noexcept {
        producer.reset();
        consumer.reset();
    }
};

// Takes the role for this handle. False with the exception raised.
bool take_role(RingRoles& roles, const std::string& name, RingRole role);

// The check at every role entry: one load when the handle holds the role.
inline bool claim_role(RingRoles& roles, const std::string& name, RingRole role) {
    if (holds(role == RingRole::Producer ? roles.producer : roles.consumer)) [[likely]] return true;
    return take_role(roles, name, role);
}

// 1 when this process or another live one holds the role, 0 when nobody
// does, -1 on a failure: raised, or stored in `failure` when given (then the
// call needs no interpreter lock, so a wait may ask without it).
int role_present(const RingRoles& roles, RingRole role, ShmError* failure = nullptr);

}  // namespace velmora::py
