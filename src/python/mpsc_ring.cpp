// MpscRingBuffer: the Python face of one fan-in ring. Values, tags, schemas,
// buffers and timeouts behave as on SpscRingBuffer (the shared parts are in
// ring_ops.hpp); what is its own is the producer slot and the consumer role,
// both claims (core/claims.hpp) taken at the first call that needs them and
// kept until the object closes or the process ends.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/claims.hpp"
#include "core/mpsc.hpp"
#include "python/lifecycle.hpp"
#include "python/ref.hpp"
#include "python/ring_ops.hpp"
#include "python/scratch.hpp"
#include "python/values.hpp"
#include "python/wait_host.hpp"

namespace velmora::py {
namespace {

// How often a get(eof=True) looks whether every producer has gone.
constexpr std::uint64_t kEofProbeNs = 20'000'000;

// The ring, its segment's name and claim site, the claims this object holds,
// and the guard of calls and roles (lifecycle.hpp), as SpscRingBuffer's.
struct MpscState {
    std::optional<MpscLanes> ring;
    std::shared_ptr<ClaimSite> site;
    std::string name;
    std::string scratch;
    std::optional<velmora::Claim> slot;  // this object's producer lane: slot->slot() - kMpscProducerClaim
    std::optional<velmora::Claim> consumer_claim;
    bool seen_producer = false;  // for eof: a message received or a producer seen attached
    Lifecycle life;

    MpscState(MpscLanes r, std::shared_ptr<ClaimSite> s, std::string segment)
        : ring(std::move(r)), site(std::move(s)), name(std::move(segment)) {}
    MpscState(MpscState&& o) noexcept
        : ring(std::move(o.ring)), site(std::move(o.site)), name(std::move(o.name)),
          scratch(std::move(o.scratch)) {}
    // The claims go with the mapping.
    void release() noexcept {
        slot.reset();
        consumer_claim.reset();
        ring.reset();
    }
};

constexpr const char* kClass = "MpscRingBuffer";

// The object's two roles, each held by one thread of the process at a time
// for the length of a call, as on SpscRingBuffer: the producer role is this
// object's lane; the consumer role is shared by the process's handles of the
// ring. Slots and the consumer claim across processes are taken by the calls
// that need them (producer_lane, claim_consumer), after the role.
constexpr int kProducer = 0;
constexpr int kConsumer = 1;

using MpscCall = Call<MpscState>;

MpscState& mpsc_state(PyObject* self) noexcept { return state_of<MpscState>(self); }


// ---- claims -----------------------------------------------------------------

// This object's lane, claiming a free slot at its first publishing call
// (and again in a fork child, whose copy of the claim is not its own).
std::optional<std::uint32_t> producer_lane(MpscState& s) {
    if (holds(s.slot)) return static_cast<std::uint32_t>(s.slot->slot() - kMpscProducerClaim);
    s.slot.reset();
    auto claimed = claim_producer_slot(*s.site, s.ring->producers());
    if (!claimed) return raise(claimed.error()), std::nullopt;
    s.slot.emplace(std::move(claimed).value());
    return static_cast<std::uint32_t>(s.slot->slot() - kMpscProducerClaim);
}

bool claim_consumer(MpscState& s) {
    if (holds(s.consumer_claim)) return true;
    s.consumer_claim.reset();
    auto claimed = claim_consumer_role(*s.site);
    if (!claimed) return raise(claimed.error()), false;
    s.consumer_claim.emplace(std::move(claimed).value());
    return true;
}

bool producer_attached(const MpscState& s) { return velmora::producer_attached(*s.site, s.ring->producers()); }

// ---- pops -------------------------------------------------------------------

std::optional<MpscFrame> found_or_raise(const Result<std::optional<MpscFrame>>& found, bool& failed) {
    failed = !found.ok();
    if (failed) return raise(found.error()), std::nullopt;
    return found.value();
}

// One wait on the doorbell until `deadline`; the interpreter lock is released
// while it sleeps.
std::optional<MpscFrame> wait_once(MpscState& s, Deadline deadline, bool& failed) {
    ClosingWait host(s.life);
    const auto found = s.ring->wait_pop(deadline, host);
    host.gil.resume();
    failed = host.closed || host.gil.interrupted();
    if (host.closed) raise_closed(kClass);
    return failed ? std::nullopt : found_or_raise(found, failed);
}

// The next message in turn, waiting for one when `deadline` is set. With
// `eof` the wait is cut into slices, and between them raises EOFError once a
// producer has been seen, none is attached any more and a last look finds
// every lane empty.
std::optional<MpscFrame> next_message(MpscState& s, std::optional<Deadline> deadline, bool eof, bool& failed) {
    if (!deadline) return found_or_raise(s.ring->begin_pop(), failed);
    if (!eof) return wait_once(s, *deadline, failed);
    const Deadline end = deadline->anchored();
    for (;;) {
        const bool attached = producer_attached(s);
        s.seen_producer = s.seen_producer || attached;
        if (s.seen_producer && !attached) {
            auto last = found_or_raise(s.ring->begin_pop(), failed);
            if (last || failed) return last;
            const std::string text = "ring '" + s.name + "' is empty and all its producers have gone";
            PyErr_SetString(PyExc_EOFError, text.c_str());
            failed = true;
            return std::nullopt;
        }
        const std::uint64_t now = monotonic_ns();
        const std::uint64_t left = end.infinite() ? kEofProbeNs : end.remaining(now);
        auto found = wait_once(s, Deadline::after_ns(std::min(left, kEofProbeNs)), failed);
        if (found || failed || (!end.infinite() && end.remaining(monotonic_ns()) == 0)) return found;
    }
}

// Every pop shares one body, as on SpscRingBuffer: the consumer role (this
// process's claim included), the next frame, then `take` copies and commits.
template <class Take>
PyObject* consume(PyObject* self, std::optional<Deadline> deadline, bool eof, Take take) {
    MpscState& s = mpsc_state(self);
    MpscCall call(s, kClass);
    if (!call) return nullptr;
    switch (call.claim(kConsumer, deadline ? &*deadline : nullptr)) {
        case Claim::Claimed: break;
        case Claim::Busy: Py_RETURN_NONE;
        case Claim::TimedOut: return raise_queue("Empty");
        case Claim::Failed: return nullptr;
    }
    if (!claim_consumer(s)) return nullptr;
    bool failed = false;
    const std::optional<MpscFrame> frame = next_message(s, deadline, eof, failed);
    if (failed) return nullptr;
    if (!frame) {
        if (deadline) return raise_queue("Empty");
        Py_RETURN_NONE;
    }
    s.seen_producer = true;
    return take(s, *s.ring, *frame);
}

template <class Decode>
PyObject* pop_common(PyObject* self, std::optional<Deadline> deadline, bool eof, bool raw, Decode decode) {
    return consume(self, deadline, eof, [&](MpscState& s, MpscLanes& ring, const MpscFrame& frame) {
        return raw ? take_raw(ring, frame) : take_decoded(s.scratch, ring, frame, decode);
    });
}

PyObject* pop_by_tag(PyObject* self, std::optional<std::string_view> tag, std::optional<Deadline> deadline,
                     bool eof) {
    if (!tag) return pop_common(self, deadline, eof, true, NoDecode{});
    const std::string_view t = *tag;
    return pop_common(self, deadline, eof, false,
                      [t](const std::uint8_t* data, std::uint64_t len, std::uint64_t& used) {
                          return decode_value(data, len, t, used);
                      });
}

PyObject* pop_by_schema(PyObject* self, PyObject* schema, std::optional<Deadline> deadline, bool eof) {
    return pop_common(self, deadline, eof, false,
                      [schema](const std::uint8_t* data, std::uint64_t len, std::uint64_t& used) {
                          return unpack_schema(data, len, schema, used);
                      });
}

bool eof_argument(PyObject* arg, bool& out) {
    if (omitted(arg)) return out = false, true;
    const int truth = PyObject_IsTrue(arg);
    if (truth < 0) return false;
    out = truth != 0;
    return true;
}

// ---- producer methods -------------------------------------------------------

PyObject* push(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"data"};
    static const Signature sig{"MpscRingBuffer.push()", names, 1, 1};
    PyObject* argv[1];
    if (!bind(sig, args, nargs, kwnames, argv)) return nullptr;
    MpscState& s = mpsc_state(self);
    MpscCall call(s, kClass);
    if (!call) return nullptr;
    Scratch buf(s.scratch);
    Payload p;
    PyObject* data = argv[0];
    // A bytearray borrowed as it is may only be copied with the interpreter lock held.
    const bool stable = !PyByteArray_Check(data) || PyList_Check(data);
    if (!build_payload(data, buf, false, p) || !call.still_open()) return nullptr;
    switch (call.claim(kProducer, nullptr)) {
        case Claim::Claimed: break;
        case Claim::Busy: Py_RETURN_FALSE;
        default: return nullptr;
    }
    const auto lane = producer_lane(s);
    if (!lane) return nullptr;
    MpscLanes& ring = *s.ring;
    return push_result(large_copy(p.size(), stable, [&] { return ring.push(*lane, p.first(), p.second()); }));
}

PyObject* put(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"data", "timeout"};
    static const Signature sig{"MpscRingBuffer.put()", names, 2, 1};
    PyObject* argv[2];
    Deadline deadline = Deadline::never();
    if (!bind(sig, args, nargs, kwnames, argv) || !timeout_argument(argv[1], deadline)) return nullptr;
    MpscState& s = mpsc_state(self);
    MpscCall call(s, kClass);
    if (!call) return nullptr;
    Scratch buf(s.scratch);
    Payload p;
    if (!build_payload(argv[0], buf, true, p) || !call.still_open()) return nullptr;
    switch (call.claim(kProducer, &deadline)) {
        case Claim::Claimed: break;
        case Claim::TimedOut: return raise_queue("Full");
        default: return nullptr;
    }
    const auto lane = producer_lane(s);
    if (!lane) return nullptr;
    ClosingWait host(s.life);
    Result<bool> pushed = s.ring->push_wait(*lane, p.first(), p.second(), deadline, host);
    host.gil.resume();
    if (host.closed) return raise_closed(kClass);
    if (host.gil.interrupted()) return nullptr;
    if (!pushed) return raise(pushed.error());
    if (!pushed.value()) return raise_queue("Full");
    Py_RETURN_NONE;
}

// As SpscRingBuffer.push_many: values from the front until one does not fit,
// published together with one store on this object's lane.
PyObject* push_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"values"};
    static const Signature sig{"MpscRingBuffer.push_many()", names, 1, 1};
    PyObject* argv[1];
    if (!bind(sig, args, nargs, kwnames, argv)) return nullptr;
    PyObject* values = argv[0];
    if (!PyList_Check(values) && !PyTuple_Check(values)) {
        PyErr_Format(PyExc_TypeError, "argument 'values': expected a list or tuple");
        return nullptr;
    }
    MpscState& s = mpsc_state(self);
    MpscCall call(s, kClass);
    if (!call) return nullptr;
    Batch batch;
    if (!batch.prepare(values) || (batch.taken() && !call.still_open())) return nullptr;
    switch (call.claim(kProducer, nullptr)) {
        case Claim::Claimed: break;
        case Claim::Busy: return PyLong_FromLong(0);
        default: return nullptr;
    }
    const auto k = producer_lane(s);
    if (!k) return nullptr;
    MpscLanes& ring = *s.ring;
    SpscRing& lane = ring.lane(*k);
    const std::uint64_t start = lane.tail_position();
    std::uint64_t tail = start;
    Py_ssize_t pushed = 0;
    bool failed = false;
    Scratch buf(s.scratch);
    for (Py_ssize_t i = 0; i < batch.size(); ++i) {
        Payload own;
        Payload* p = batch.item(i, buf, own);
        if (p == nullptr) { failed = true; break; }
        Result<bool> r = lane.push_more(tail, p->first(), p->second());
        if (!r) { raise(r.error()); failed = true; break; }
        if (!r.value()) break;
        ++pushed;
    }
    ring.publish(*k, start, tail);
    if (failed) return nullptr;
    return PyLong_FromSsize_t(pushed);
}

// ---- consumer methods -------------------------------------------------------

PyObject* pop(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"tag"};
    static const Signature sig{"MpscRingBuffer.pop()", names, 1, 0};
    PyObject* argv[1];
    std::optional<std::string_view> tag;
    if (!bind(sig, args, nargs, kwnames, argv) || !tag_argument(argv[0], tag)) return nullptr;
    return pop_by_tag(self, tag, std::nullopt, false);
}

PyObject* get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"tag", "timeout", "eof"};
    static const Signature sig{"MpscRingBuffer.get()", names, 3, 0};
    PyObject* argv[3];
    std::optional<std::string_view> tag;
    Deadline deadline = Deadline::never();
    bool eof = false;
    if (!bind(sig, args, nargs, kwnames, argv) || !tag_argument(argv[0], tag) ||
        !timeout_argument(argv[1], deadline) || !eof_argument(argv[2], eof))
        return nullptr;
    return pop_by_tag(self, tag, deadline, eof);
}

PyObject* pop_mixed(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"schema"};
    static const Signature sig{"MpscRingBuffer.pop_mixed()", names, 1, 1};
    PyObject* argv[1];
    if (!bind(sig, args, nargs, kwnames, argv) || !arg_list(argv[0], "schema")) return nullptr;
    return pop_by_schema(self, argv[0], std::nullopt, false);
}

PyObject* get_mixed(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"schema", "timeout", "eof"};
    static const Signature sig{"MpscRingBuffer.get_mixed()", names, 3, 1};
    PyObject* argv[3];
    Deadline deadline = Deadline::never();
    bool eof = false;
    if (!bind(sig, args, nargs, kwnames, argv) || !arg_list(argv[0], "schema") ||
        !timeout_argument(argv[1], deadline) || !eof_argument(argv[2], eof))
        return nullptr;
    return pop_by_schema(self, argv[0], deadline, eof);
}

// Up to `max_count` messages in turn across the lanes, each consumed as it
// is taken; tagged ones are decoded one by one (a failure raises, and the
// messages taken before it are gone).
PyObject* pop_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"max_count", "tag"};
    static const Signature sig{"MpscRingBuffer.pop_many()", names, 2, 1};
    PyObject* argv[2];
    std::uint64_t max_count = 0;
    std::optional<std::string_view> tag;
    if (!bind(sig, args, nargs, kwnames, argv) || !arg_u64(argv[0], "max_count", max_count) ||
        !tag_argument(argv[1], tag))
        return nullptr;
    MpscState& s = mpsc_state(self);
    MpscCall call(s, kClass);
    if (!call) return nullptr;
    switch (call.claim(kConsumer, nullptr)) {
        case Claim::Claimed: break;
        case Claim::Busy: return PyList_New(0);
        default: return nullptr;
    }
    if (!claim_consumer(s)) return nullptr;
    MpscLanes& ring = *s.ring;
    Ref list(PyList_New(0));
    if (!list) return nullptr;
    for (std::uint64_t k = 0; k < max_count; ++k) {
        auto found = ring.begin_pop();
        if (!found) {
            if (k > 0) break;  // what was taken so far is still good
            return raise(found.error());
        }
        if (!found.value()) break;
        s.seen_producer = true;
        const MpscFrame& frame = *found.value();
        Ref item(tag ? take_decoded(s.scratch, ring, frame,
                                    [t = *tag](const std::uint8_t* data, std::uint64_t len, std::uint64_t& used) {
                                        return decode_value(data, len, t, used);
                                    })
                     : take_raw(ring, frame));
        if (!item || PyList_Append(list.get(), item.get()) < 0) return nullptr;
    }
    return list.release();
}

PyObject* pop_into_common(PyObject* self, PyObject* target, std::optional<Deadline> deadline, bool eof) {
    BufferHold hold;
    std::uint8_t* dst = nullptr;
    std::size_t room = 0;
    if (!writable_target(target, "buffer", hold, dst, room)) return nullptr;
    return consume(self, deadline, eof, [&](MpscState&, MpscLanes& ring, const MpscFrame& frame) -> PyObject* {
        // A bytearray is not pinned: look it up again, a wait may have let
        // another thread resize it.
        if (!hold.held && !writable_target(target, "buffer", hold, dst, room)) return nullptr;
        const std::uint64_t length = frame.frame.length;
        if (length > room)
            return raise(ShmError::value("buffer too small: the message has " + std::to_string(length) +
                                         " bytes, the buffer " + std::to_string(room)));
        large_copy(length, hold.held, [&] { ring.copy_payload(frame, dst); return 0; });
        ring.commit(frame);
        return PyLong_FromUnsignedLongLong(length);
    });
}

PyObject* pop_into(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"buffer"};
    static const Signature sig{"MpscRingBuffer.pop_into()", names, 1, 1};
    PyObject* argv[1];
    if (!bind(sig, args, nargs, kwnames, argv)) return nullptr;
    return pop_into_common(self, argv[0], std::nullopt, false);
}

PyObject* get_into(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"buffer", "timeout", "eof"};
    static const Signature sig{"MpscRingBuffer.get_into()", names, 3, 1};
    PyObject* argv[3];
    Deadline deadline = Deadline::never();
    bool eof = false;
    if (!bind(sig, args, nargs, kwnames, argv) || !timeout_argument(argv[1], deadline) ||
        !eof_argument(argv[2], eof))
        return nullptr;
    return pop_into_common(self, argv[0], deadline, eof);
}

// ---- queries ----------------------------------------------------------------

template <class F>
PyObject* query(PyObject* self, F f) {
    MpscState& s = mpsc_state(self);
    if (!s.ring || s.life.closing()) return raise_closed(kClass);
    return f(s, *s.ring);
}

PyObject* used(PyObject* self, PyObject*) {
    return query(self, [](MpscState&, MpscLanes& r) { return PyLong_FromUnsignedLongLong(r.used()); });
}
PyObject* capacity(PyObject* self, PyObject*) {
    return query(self, [](MpscState&, MpscLanes& r) { return PyLong_FromUnsignedLongLong(r.capacity()); });
}
// The room this object has for its next message: its lane's free bytes, or
// the whole capacity before it has published anything.
PyObject* free_bytes(PyObject* self, PyObject*) {
    return query(self, [](MpscState& s, MpscLanes& r) {
        if (!holds(s.slot)) return PyLong_FromUnsignedLongLong(r.capacity());
        return PyLong_FromUnsignedLongLong(r.lane(static_cast<std::uint32_t>(s.slot->slot() - kMpscProducerClaim)).free());
    });
}
PyObject* is_empty(PyObject* self, PyObject*) {
    return query(self, [](MpscState&, MpscLanes& r) { return PyBool_FromLong(r.is_empty()); });
}
PyObject* has_consumer(PyObject* self, PyObject*) {
    return query(self, [](MpscState& s, MpscLanes&) -> PyObject* {
        if (holds(s.consumer_claim) || s.site->held_here(claim_slot::consumer)) Py_RETURN_TRUE;
        auto elsewhere = s.site->held_elsewhere(claim_slot::consumer);
        if (!elsewhere) return raise(elsewhere.error());
        return PyBool_FromLong(elsewhere.value());
    });
}
PyObject* has_producer(PyObject* self, PyObject*) {
    return query(self, [](MpscState& s, MpscLanes&) { return PyBool_FromLong(producer_attached(s)); });
}
// The pids of the processes holding producer slots, in slot order.
PyObject* producers(PyObject* self, PyObject*) {
    return query(self, [](MpscState& s, MpscLanes& r) -> PyObject* {
        const std::vector<long> pids = producer_pids(*s.site, r.producers());
        Ref list(PyList_New(static_cast<Py_ssize_t>(pids.size())));
        for (std::size_t i = 0; list && i < pids.size(); ++i) {
            PyObject* item = PyLong_FromLong(pids[i]);
            if (item == nullptr) return nullptr;
            PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);  // steals
        }
        return list.release();
    });
}

PyObject* get_max_payload(PyObject* self, void*) {
    return query(self, [](MpscState&, MpscLanes& r) { return PyLong_FromUnsignedLongLong(r.max_payload()); });
}
PyObject* get_slots(PyObject* self, void*) {
    return query(self, [](MpscState&, MpscLanes& r) { return PyLong_FromUnsignedLong(r.producers()); });
}

// ---- lifetime ---------------------------------------------------------------

// As SpscRingBuffer.close(); the claims go with the ring.
PyObject* close(PyObject* self, PyObject*) {
    close_object(mpsc_state(self));
    Py_RETURN_NONE;
}

PyObject* reduce(PyObject* self, PyObject*) {
    MpscState& s = mpsc_state(self);
    if (!s.ring || s.life.closing()) return raise_closed(kClass);
    return reduce_by_name(s.name, s.ring->map_size(), "mpsc");
}

PyObject* repr(PyObject* self) {
    const MpscState& s = mpsc_state(self);
    if (!s.ring || s.life.closing()) return PyUnicode_FromString("MpscRingBuffer(closed)");
    const std::string text = "MpscRingBuffer(name='" + s.name + "', producers=" + std::to_string(s.ring->producers()) +
                             ", capacity=" + std::to_string(s.ring->capacity()) +
                             ", used=" + std::to_string(s.ring->used()) + ")";
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict");
}

PyObject* wrap(PlatformHandle handle, Result<MpscLanes> made) {
    if (!made) return raise(made.error());
    auto site = ClaimSite::of(handle);
    if (!site) return raise(site.error());
    PyTypeObject* type = mpsc_ring_buffer_type();
    if (type == nullptr) return nullptr;
    auto shared = site.value();
    PyObject* obj = new_object<MpscState>(type, MpscState(std::move(made).value(), std::move(site).value(), handle.name()));
    if (obj == nullptr) return nullptr;
    // Threads of this process take turns as the consumer across all its handles.
    state_of<MpscState>(obj).life.share_role(kConsumer, shared->turn(claim_slot::consumer));
    return obj;
}

PyObject* create(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"name", "capacity", "producers"};
    static const Signature sig{"MpscRingBuffer.create()", names, 3, 2};
    PyObject* argv[3];
    std::string_view name;
    std::uint64_t capacity = 0, producers = 8;
    if (!bind(sig, args, nargs, kwnames, argv) || !arg_text(argv[0], "name", name) ||
        !arg_u64(argv[1], "capacity", capacity) || (!omitted(argv[2]) && !arg_u64(argv[2], "producers", producers)))
        return nullptr;
    if (auto valid = validate_name(name); !valid) return raise(valid.error());
    auto size = mpsc_segment_size(capacity, producers);
    if (!size) return raise(size.error());
    auto made = [&] {
        const GilRelease released;
        return PlatformHandle::create(name, *size);
    }();
    if (!made) return raise(made.error());
    auto mapping = made.value().map();
    Result<MpscLanes> ring = mapping ? MpscLanes::create(std::move(mapping).value(), capacity,
                                                       static_cast<std::uint32_t>(producers))
                                    : Result<MpscLanes>(mapping.error());
    if (!ring) (void)PlatformHandle::remove(name);
    return wrap(std::move(made).value(), std::move(ring));
}

PyObject* open(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"name"};
    static const Signature sig{"MpscRingBuffer.open()", names, 1, 1};
    PyObject* argv[1];
    std::string_view name;
    if (!bind(sig, args, nargs, kwnames, argv) || !arg_text(argv[0], "name", name)) return nullptr;
    if (auto valid = validate_name(name); !valid) return raise(valid.error());
    auto opened = [&] {
        const GilRelease released;
        return open_mpsc_segment(name);
    }();
    if (!opened) return raise(opened.error());
    auto mapping = opened.value().map();
    if (!mapping) return raise(mapping.error());
    return wrap(std::move(opened).value(), MpscLanes::open(std::move(mapping).value(), name));
}

PyMethodDef methods[] = {
    fast_method<create>("create",
        "create(name, capacity, producers=8)\n--\n\n"
        "Create a new segment holding a fan-in ring: up to `producers` producer processes\n"
        "at once, each with `capacity` bytes (a power of two) of messages in flight, and one\n"
        "consumer. Raises FileExistsError when the name exists, ValueError for a capacity\n"
        "that is not a power of two or a producer count outside 1..1024.",
        METH_STATIC),
    fast_method<open>("open",
        "open(name)\n--\n\n"
        "Open an existing fan-in ring; its header gives the producer count and capacity.\n"
        "Raises ValueError when the segment is not a fan-in ring.",
        METH_STATIC),
    fast_method<push>("push",
        "push($self, data)\n--\n\n"
        "Write one message, as SpscRingBuffer.push(). The first publishing call of an object\n"
        "claims a producer slot for it, kept until it closes or its process ends; when live\n"
        "producers hold every slot it raises BlockingIOError. Returns False when this\n"
        "producer's capacity is full."),
    fast_method<put>("put",
        "put($self, data, timeout=None)\n--\n\n"
        "Push `data` as push() does, waiting for room; raises queue.Full when `timeout` passes."),
    fast_method<push_many>("push_many",
        "push_many($self, values)\n--\n\n"
        "Push values from the front of a list or tuple until one does not fit, and return how\n"
        "many were pushed; they become visible to the consumer together."),
    fast_method<pop>("pop",
        "pop($self, tag=None)\n--\n\n"
        "Read the next message in turn (raw bytes, or one value of `tag`), or None when every\n"
        "producer's lane is empty. Producers with something to send are served in turn; each\n"
        "producer's messages arrive in the order it sent them. The first consuming call claims\n"
        "the consumer role (BlockingIOError while another process holds it)."),
    fast_method<get>("get",
        "get($self, tag=None, timeout=None, eof=False)\n--\n\n"
        "pop() that waits for a message from any producer; raises queue.Empty when `timeout`\n"
        "passes. With eof=True it raises EOFError once a producer was seen, none is attached\n"
        "any more and every message has been taken."),
    fast_method<pop_mixed>("pop_mixed",
        "pop_mixed($self, schema)\n--\n\nPop one message and unpack it by `schema`, as SpscRingBuffer.pop_mixed()."),
    fast_method<get_mixed>("get_mixed",
        "get_mixed($self, schema, timeout=None, eof=False)\n--\n\npop_mixed() that waits, as get()."),
    fast_method<pop_many>("pop_many",
        "pop_many($self, max_count, tag=None)\n--\n\n"
        "Pop up to `max_count` messages in turn and return them as a list, empty when none waits."),
    fast_method<pop_into>("pop_into",
        "pop_into($self, buffer)\n--\n\n"
        "Copy the next message into `buffer` and return its length, or None when empty. A buffer\n"
        "too small raises ValueError and leaves the message."),
    fast_method<get_into>("get_into",
        "get_into($self, buffer, timeout=None, eof=False)\n--\n\npop_into() that waits, as get()."),
    noargs_method<used>("used", "used($self)\n--\n\nReturn the bytes used in all producers' lanes together."),
    noargs_method<capacity>("capacity",
        "capacity($self)\n--\n\nReturn the bytes each producer may have in flight (one lane's data capacity)."),
    noargs_method<free_bytes>("free",
        "free($self)\n--\n\nReturn the free bytes of this object's producer lane (the capacity before its first push)."),
    noargs_method<is_empty>("is_empty", "is_empty($self)\n--\n\nReturn True when no producer's lane holds a message."),
    noargs_method<has_consumer>("has_consumer",
        "has_consumer($self)\n--\n\nReturn True when a live process (this one included) holds the consumer role."),
    noargs_method<has_producer>("has_producer",
        "has_producer($self)\n--\n\nReturn True when a live process (this one included) holds a producer slot."),
    noargs_method<producers>("producers",
        "producers($self)\n--\n\nReturn the pids of the processes attached as producers."),
    noargs_method<close>("close",
        "close($self)\n--\n\n"
        "Unmap the ring and give up this object's producer slot and consumer role. Later calls\n"
        "raise ValueError; a call blocked in get() or put() on another thread gives up."),
    noargs_method<enter>("__enter__", "__enter__($self)\n--\n\n"),
    {"__exit__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&exit_closing)), METH_FASTCALL,
     "__exit__($self, *exc_info)\n--\n\nClose the ring."},
    noargs_method<reduce>("__reduce__", "__reduce__($self)\n--\n\nPickle as MpscRingBuffer.open(name)."),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"max_payload", &get_max_payload, nullptr,
     "The largest payload one message may carry (capacity less the 4-byte length prefix).", nullptr},
    {"slots", &get_slots, nullptr, "The number of producer slots.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>(
        "A fan-in ring: many producer processes, one consumer, in one shared-memory segment.\n\n"
        "Each producer slot is a lock-free single-producer lane of `capacity` bytes, so a\n"
        "producer never waits for another; the consumer takes one message from each producer\n"
        "with something to send in turn and sleeps on one doorbell word when all are empty.\n"
        "A producer that dies loses at most the message it had not published; its slot passes\n"
        "to a later producer. Make one with MpscRingBuffer.create(), attach with open().")},
    {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc<MpscState>)},
    {Py_tp_repr, reinterpret_cast<void*>(&repr_guard<repr>)},
    {Py_tp_methods, methods},
    {Py_tp_getset, getset},
    {0, nullptr},
};

}  // namespace

PyType_Spec mpsc_ring_buffer_spec = {
    "MpscRingBuffer", static_cast<int>(sizeof(Object<MpscState>)), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots,
};

}  // namespace velmora::py
