// What the classes over producer lanes (core/lanes.hpp) share on their
// producers' side: MpscRingBuffer and MpmcRingBuffer. Each object takes one
// producer slot, which is its lane, at its first publishing call, and gives
// it up with end(), close() or its death. The ring has join(), lane(k),
// push(k, ...), push_wait(k, ...), publish(k, ...), capacity(), producers()
// and expected().
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/claims.hpp"
#include "core/lanes.hpp"
#include "python/lifecycle.hpp"
#include "python/ref.hpp"
#include "python/ring_methods.hpp"

namespace velmora::py::lanes {

// An object over lanes: the ring, its segment's name and claim site, the
// claims this object holds (its producer slot, its consumer claim) and the
// guard of calls and roles (lifecycle.hpp).
template <class Ring, class Frame>
struct State {
    std::optional<Ring> ring;
    std::shared_ptr<ClaimSite> site;
    std::string name;
    HeldSegment anonymous;  // an anonymous segment's own open, for pickling
    std::string scratch;
    std::optional<velmora::Claim> slot;  // this object's producer lane (lane_of)
    std::optional<velmora::Claim> consumer_claim;
    bool seen_producer = false;  // for eof: a message received or a producer seen attached
    std::atomic<bool> seen_consumer{false};  // for put()'s broken pipe: a consumer seen attached
    Readiness data_ready, room_ready;  // fileno(), room_fileno(), where the class has them
    RingLending<Frame> lending;
    Lifecycle life;

    State(Ring r, std::shared_ptr<ClaimSite> s, std::string segment, HeldSegment held)
        : ring(std::move(r)), site(std::move(s)), name(std::move(segment)), anonymous(std::move(held)) {}
    State(State&& o) noexcept
        : ring(std::move(o.ring)), site(std::move(o.site)), name(std::move(o.name)),
          anonymous(std::move(o.anonymous)), scratch(std::move(o.scratch)) {}
    // The claims go with the mapping.
    void release() noexcept {
        data_ready.stop();
        room_ready.stop();
        slot.reset();
        consumer_claim.reset();
        lending.release(ring);
    }
};

// The consumer claim this object holds, or the one `take()` gives it now
// (again in a fork child, whose copy is not its own); false with the error
// raised.
template <class State, class Take>
bool hold_consumer(State& s, Take take) {
    if (holds(s.consumer_claim)) return true;
    s.consumer_claim.reset();
    auto claimed = take();
    if (!claimed) return raise(claimed.error()), false;
    s.consumer_claim.emplace(std::move(claimed).value());
    return true;
}

template <class State>
std::uint32_t lane_of(const State& s) noexcept {
    return static_cast<std::uint32_t>(s.slot->slot() - kLaneProducerClaim);
}

// This object's lane, claiming a free slot at its first publishing call
// (and again in a fork child, whose copy of the claim is not its own).
// nullopt with the error raised.
template <class State>
std::optional<std::uint32_t> producer_lane(State& s) {
    if (holds(s.slot)) return lane_of(s);
    // A fork child's copy of its parent's slot: its room listener (if any)
    // listens on the parent's lane, so the next room_fileno() makes another.
    if (s.slot) s.room_ready.stop();
    s.slot.reset();
    auto claimed = s.ring->join(*s.site);
    if (!claimed) return raise(claimed.error()), std::nullopt;
    s.slot.emplace(std::move(claimed).value());
    return lane_of(s);
}

// This object's lane, as the shared ring methods publish into it.
template <class Ring>
struct Producer {
    Ring* ring;
    std::uint32_t k;
    std::uint64_t slot = kLaneProducerClaim + k;
    SpscRing& lane() const noexcept { return ring->lane(k); }
    Result<bool> push(ByteSpan first, ByteSpan second) const { return ring->push(k, first, second); }
    template <class Host>
    Result<bool> push_wait(ByteSpan first, ByteSpan second, Deadline deadline, Host& host) const {
        return ring->push_wait(k, first, second, deadline, host);
    }
    void publish(std::uint64_t start, std::uint64_t tail) const noexcept { ring->publish(k, start, tail); }
};

template <class State>
auto producer(State& s) -> std::optional<Producer<std::remove_reference_t<decltype(*s.ring)>>> {
    const auto k = producer_lane(s);
    if (!k) return std::nullopt;
    return Producer<std::remove_reference_t<decltype(*s.ring)>>{&*s.ring, *k};
}

// end(): ends this object's stream as a producer by giving up its slot,
// which is what close() and death do too (lanes.hpp). Waits for a producer
// call of another thread of this process to finish first; `may_end`, if
// given, can refuse (with the error raised). A later publishing call
// registers again, as a new producer.
template <class State>
PyObject* end(PyObject* self, const char* cls, bool (*may_end)(const State&) = nullptr) {
    State& s = state_of<State>(self);
    Call<State> call(s, cls);
    if (!call) return nullptr;
    Deadline never = Deadline::never();
    if (call.claim(kRingProducer, &never) != Claim::Claimed) return nullptr;
    if (may_end != nullptr && !may_end(s)) return nullptr;
    s.room_ready.stop();
    s.slot.reset();
    Py_RETURN_NONE;
}

// free(): the room this object has for its next message: its lane's free
// bytes, or the whole capacity before it has published anything.
template <class State>
PyObject* free_bytes(State& s) {
    if (!holds(s.slot)) return PyLong_FromUnsignedLongLong(s.ring->capacity());
    return PyLong_FromUnsignedLongLong(s.ring->lane(lane_of(s)).free());
}

// put()'s broken pipe (ring_methods.hpp): no live process holds a consumer
// role although one was there (this handle saw one attached, or a consumer
// has consumed from this object's lane since the ring was made). The state
// holds `std::atomic<bool> seen_consumer`; `attached()` asks whether any
// live process consumes now. Asked without the interpreter lock.
template <class State, class Attached>
bool consumer_gone(State& s, Attached attached) {
    if (!s.site->supported()) return false;
    if (attached()) return s.seen_consumer.store(true), false;
    if (s.seen_consumer.load()) return true;
    return holds(s.slot) && s.ring->lane(lane_of(s)).head_position() != 0;
}

// A list of pids, as producers() returns them.
inline PyObject* pid_list(const std::vector<long>& pids) {
    Ref list(PyList_New(static_cast<Py_ssize_t>(pids.size())));
    for (std::size_t i = 0; list && i < pids.size(); ++i) {
        PyObject* item = PyLong_FromLong(pids[i]);
        if (item == nullptr) return nullptr;
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);  // steals
    }
    return list.release();
}

// The `expected` property: create(expect=N)'s N, or None.
template <class Ring>
PyObject* expected(const Ring& r) {
    if (r.expected() == 0) Py_RETURN_NONE;
    return PyLong_FromUnsignedLong(r.expected());
}

}  // namespace velmora::py::lanes
