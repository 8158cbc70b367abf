// SpscRingBuffer: the Python face of one ring. Payloads are built with the
// value codec and copied into the ring in one pass; popped payloads are copied
// out once, the message is consumed, and only then is the result decoded, so
// the producer can reuse the space while the consumer is still decoding.
#include "python/spsc_ring.hpp"

#include <atomic>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "python/values.hpp"
#include "python/lifecycle.hpp"
#include "python/ref.hpp"
#include "python/scratch.hpp"
#include "python/wait_host.hpp"
#include "core/readiness.hpp"
#include "python/ring_ops.hpp"
#include "core/ring.hpp"
#include "core/ring_roles.hpp"

namespace velmora::py {
namespace {

// The ring (which owns the object's own mapping; empty once closed), its
// segment's name (for pickling), a scratch buffer reused across calls, each
// side's readiness for event loops (fileno(), room_fileno()), the guard of
// calls and roles (lifecycle.hpp), and the process's roles across processes
// (core/ring_roles.hpp), released with the mapping.
struct RingState {
    std::optional<SpscRing> ring;
    std::string name;
    std::string scratch;
    Readiness data_ready, room_ready;
    RingRoles roles;  // before the guard, which may point at the site's role words
    Lifecycle life;

    RingState(SpscRing r, std::string segment, std::shared_ptr<ClaimSite> site)
        : ring(std::move(r)), name(std::move(segment)), roles(std::move(site)) {}
    RingState(RingState&& o) noexcept
        : ring(std::move(o.ring)), name(std::move(o.name)), scratch(std::move(o.scratch)), roles(std::move(o.roles)) {}
    void release() noexcept {
        data_ready.stop();
        room_ready.stop();
        ring.reset();
        roles.release();
    }
};

constexpr const char* kClass = "SpscRingBuffer";

// The two roles, each held by one thread of the process at a time for the
// length of a call. Every call that moves a counter claims its role: the
// role is what keeps a second producer (or consumer) thread out of the ring
// while a call lets go of the interpreter lock (a wait, a large copy) or runs
// Python code (a finalizer during an allocation). A non-blocking call that
// finds the role held by another thread does not wait for it: it gives its
// "nothing now" answer (push False, pop None, push_many 0, pop_many []); a
// blocking one waits for the role within its timeout.
constexpr int kProducer = 0;
constexpr int kConsumer = 1;

using RingCall = Call<RingState>;

// After the thread's turn in a role: the process's claim of it, taken at the
// handle's first call in the role (BlockingIOError while another live
// process holds it; nothing in the ring touched).
bool claim_across_processes(RingState& s, int role) {
    Status ok = s.roles.claim(role == kProducer ? RingRole::Producer : RingRole::Consumer);
    if (!ok) raise(ok.error());
    return ok.ok();
}

RingState& ring_state(PyObject* self) noexcept { return state_of<RingState>(self); }

// The ring of an open object, or nullptr with ValueError raised.
SpscRing* open_ring(RingState& s) {
    if (!s.ring || s.life.closing()) return raise_closed(kClass), nullptr;
    return &*s.ring;
}

// ---- payloads -------------------------------------------------------------------

// The payload is built (any __buffer__ method run) before the role is
// claimed; that code may have closed the ring.
PyObject* push_payload(RingState& s, RingCall& call, PyObject* data) {
    Scratch buf(s.scratch);
    Payload p;
    // A bytearray borrowed as it is may only be copied with the interpreter lock held.
    const bool stable = !PyByteArray_Check(data);
    if (!build_payload(data, buf, false, p) || !call.still_open()) return nullptr;
    switch (call.claim(kProducer, nullptr)) {
        case Claim::Claimed: break;
        case Claim::Busy: Py_RETURN_FALSE;
        default: return nullptr;
    }
    if (!claim_across_processes(s, kProducer)) return nullptr;
    SpscRing& ring = *s.ring;
    const auto attempt = [&] {
        return large_copy(p.size(), stable || PyList_Check(data), [&] { return ring.push(p.first(), p.second()); });
    };
    Result<bool> pushed = attempt();
    if (pushed && !pushed.value() && s.room_ready.idle(ring.free())) pushed = attempt();
    if (pushed && pushed.value()) s.room_ready.active();
    return push_result(std::move(pushed));
}

// ---- pops -------------------------------------------------------------------------

// Finds the next frame, waiting for one when `deadline` allows. Empty result
// with no exception set: the ring stayed empty.
std::optional<SpscFrame> found_or_raise(const Result<std::optional<SpscFrame>>& found, bool& failed) {
    failed = !found.ok();
    if (failed) return raise(found.error()), std::nullopt;
    return found.value();
}

std::optional<SpscFrame> next_message(RingState& s, SpscRing& ring, std::optional<Deadline> deadline, bool& failed) {
    if (!deadline) return found_or_raise(ring.begin_pop(), failed);
    ClosingWait host(s.life);
    const auto found = ring.wait_pop(*deadline, host);
    host.gil.resume();
    failed = host.closed || host.gil.interrupted();
    if (host.closed) raise_closed(kClass);
    return failed ? std::nullopt : found_or_raise(found, failed);
}

// The host of get(eof=True)'s wait: gives up, like ClosingWait, on close()
// and signals, and also once no producer is attached after this handle has
// seen one. Asks without the interpreter lock (a failure is kept for later).
struct StreamWait {
    ClosingWait inner;
    RingRoles& roles;
    bool producer_gone = false;
    std::optional<ShmError> failure;
    void suspend() noexcept { inner.suspend(); }
    bool poll() {
        if (inner.poll()) return true;
        auto present = roles.producer_assumed_present();
        if (!present) return failure = present.error(), true;
        if (present.value()) roles.saw_producer.store(true);
        return producer_gone = !present.value() && roles.saw_producer.load();
    }
};

// next_message() for get(eof=True): `ended` when the ring is empty, no
// producer is attached and this handle has seen one. The producer's absence
// is read before the ring, so everything it published before it left is
// still delivered first.
std::optional<SpscFrame> next_or_end(RingState& s, SpscRing& ring, Deadline deadline, bool& failed, bool& ended) {
    for (;;) {
        auto known = s.roles.producer_assumed_present();
        if (!known) return raise(known.error()), failed = true, std::nullopt;
        const bool present = known.value();
        if (present) s.roles.saw_producer.store(true);
        std::optional<SpscFrame> found = found_or_raise(ring.begin_pop(), failed);
        if (failed || found) return found;
        if (!present && s.roles.saw_producer.load()) return ended = true, std::nullopt;
        StreamWait host{ClosingWait(s.life), s.roles, false, std::nullopt};
        const auto waited = ring.wait_pop(deadline, host);
        host.inner.gil.resume();
        failed = host.inner.closed || host.inner.gil.interrupted() || host.failure.has_value();
        if (host.inner.closed) raise_closed(kClass);
        else if (host.failure) raise(*host.failure);
        if (failed) return std::nullopt;
        if (!host.producer_gone) return found_or_raise(waited, failed);
        // The producer left while we waited: look again, in the order above.
    }
}

// Every pop shares one body: take the consumer role, find the next frame
// (waiting for one when `deadline` is set), then hand it to `take`, which
// copies it out and commits it. An empty ring gives None without a deadline
// and queue.Empty with one; with `eof`, a stream whose producer has gone
// raises EOFError.
template <class Take>
PyObject* consume(PyObject* self, std::optional<Deadline> deadline, Take take, bool eof = false) {
    RingState& s = ring_state(self);
    RingCall call(s, kClass);
    if (!call) return nullptr;
    switch (call.claim(kConsumer, deadline ? &*deadline : nullptr)) {
        case Claim::Claimed: break;
        case Claim::Busy: Py_RETURN_NONE;
        case Claim::TimedOut: return raise_queue("Empty");
        case Claim::Failed: return nullptr;
    }
    if (!claim_across_processes(s, kConsumer)) return nullptr;
    SpscRing& ring = *s.ring;
    bool failed = false, ended = false;
    std::optional<SpscFrame> frame = eof && deadline ? next_or_end(s, ring, *deadline, failed, ended)
                                                     : next_message(s, ring, deadline, failed);
    if (failed) return nullptr;
    if (ended) {
        const std::string text = "ring '" + s.name + "' is empty and its producer has gone";
        PyErr_SetString(PyExc_EOFError, text.c_str());
        return nullptr;
    }
    if (!frame && (!deadline || deadline->immediate()) && s.data_ready.idle(0)) {
        frame = found_or_raise(ring.begin_pop(), failed);
        if (failed) return nullptr;
    }
    if (frame) s.roles.saw_producer.store(true, std::memory_order_relaxed);
    if (!frame) {
        if (deadline) return raise_queue("Empty");
        Py_RETURN_NONE;
    }
    s.data_ready.active();
    return take(s, ring, *frame);
}

template <class Decode>
PyObject* pop_common(PyObject* self, std::optional<Deadline> deadline, bool raw, Decode decode, bool eof = false) {
    return consume(self, deadline, [&](RingState& s, SpscRing& ring, const SpscFrame& frame) {
        return raw ? take_raw(ring, frame) : take_decoded(s.scratch, ring, frame, decode);
    }, eof);
}

PyObject* pop_by_tag(PyObject* self, std::optional<std::string_view> tag, std::optional<Deadline> deadline,
                     bool eof = false) {
    if (!tag) return pop_common(self, deadline, true, NoDecode{}, eof);
    const std::string_view t = *tag;  // points into the str argument, which the caller holds
    return pop_common(self, deadline, false, [t](const std::uint8_t* data, std::uint64_t len, std::uint64_t& used) {
        return decode_value(data, len, t, used);
    }, eof);
}

PyObject* pop_by_schema(PyObject* self, PyObject* schema, std::optional<Deadline> deadline, bool eof = false) {
    return pop_common(self, deadline, false, [schema](const std::uint8_t* data, std::uint64_t len, std::uint64_t& used) {
        return unpack_schema(data, len, schema, used);
    }, eof);
}

// The eof flag of the blocking pops, read before anything else happens (its
// truth test may run Python code).
bool eof_argument(PyObject* arg, bool& out) {
    if (omitted(arg)) return out = false, true;
    const int truth = PyObject_IsTrue(arg);
    if (truth < 0) return false;
    return out = truth != 0, true;
}

// ---- methods ------------------------------------------------------------------

PyObject* push(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"data"};
    static const Signature sig{"SpscRingBuffer.push()", names, 1, 1};
    PyObject* argv[1];
    if (!bind(sig, args, nargs, kwnames, argv)) return nullptr;
    RingState& s = ring_state(self);
    RingCall call(s, kClass);
    if (!call) return nullptr;
    return push_payload(s, call, argv[0]);
}

PyObject* put(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"data", "timeout"};
    static const Signature sig{"SpscRingBuffer.put()", names, 2, 1};
    PyObject* argv[2];
    Deadline deadline = Deadline::never();
    if (!bind(sig, args, nargs, kwnames, argv) || !timeout_argument(argv[1], deadline)) return nullptr;
    RingState& s = ring_state(self);
    RingCall call(s, kClass);
    if (!call) return nullptr;
    Scratch buf(s.scratch);
    Payload p;
    if (!build_payload(argv[0], buf, true, p) || !call.still_open()) return nullptr;
    switch (call.claim(kProducer, &deadline)) {
        case Claim::Claimed: break;
        case Claim::TimedOut: return raise_queue("Full");
        default: return nullptr;
    }
    if (!claim_across_processes(s, kProducer)) return nullptr;
    ClosingWait host(s.life);
    Result<bool> pushed = s.ring->push_wait(p.first(), p.second(), deadline, host);
    host.gil.resume();
    if (host.closed) return raise_closed(kClass);
    if (host.gil.interrupted()) return nullptr;
    if (pushed && !pushed.value() && deadline.immediate() && s.room_ready.idle(s.ring->free()))
        pushed = s.ring->push(p.first(), p.second());
    if (!pushed) return raise(pushed.error());
    if (pushed.value()) s.room_ready.active();
    if (!pushed.value()) return raise_queue("Full");
    Py_RETURN_NONE;
}

PyObject* pop(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"tag"};
    static const Signature sig{"SpscRingBuffer.pop()", names, 1, 0};
    PyObject* argv[1];
    std::optional<std::string_view> tag;
    if (!bind(sig, args, nargs, kwnames, argv) || !tag_argument(argv[0], tag)) return nullptr;
    return pop_by_tag(self, tag, std::nullopt);
}

PyObject* get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"tag", "timeout", "eof"};
    static const Signature sig{"SpscRingBuffer.get()", names, 3, 0};
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
    static const Signature sig{"SpscRingBuffer.pop_mixed()", names, 1, 1};
    PyObject* argv[1];
    if (!bind(sig, args, nargs, kwnames, argv) || !arg_list(argv[0], "schema")) return nullptr;
    return pop_by_schema(self, argv[0], std::nullopt);
}

PyObject* get_mixed(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"schema", "timeout", "eof"};
    static const Signature sig{"SpscRingBuffer.get_mixed()", names, 3, 1};
    PyObject* argv[3];
    Deadline deadline = Deadline::never();
    bool eof = false;
    if (!bind(sig, args, nargs, kwnames, argv) || !arg_list(argv[0], "schema") ||
        !timeout_argument(argv[1], deadline) || !eof_argument(argv[2], eof))
        return nullptr;
    return pop_by_schema(self, argv[0], deadline, eof);
}

// Pushes from the front of a list or tuple until a value does not fit; all
// frames written go out with one store of tail, also when a later value fails
// to encode (it raises after those before it are published).
PyObject* push_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"values"};
    static const Signature sig{"SpscRingBuffer.push_many()", names, 1, 1};
    PyObject* argv[1];
    if (!bind(sig, args, nargs, kwnames, argv)) return nullptr;
    PyObject* values = argv[0];
    if (!PyList_Check(values) && !PyTuple_Check(values)) {
        PyErr_Format(PyExc_TypeError, "argument 'values': expected a list or tuple");
        return nullptr;
    }
    RingState& s = ring_state(self);
    RingCall call(s, kClass);
    if (!call) return nullptr;
    Batch batch;
    if (!batch.prepare(values) || (batch.taken() && !call.still_open())) return nullptr;
    switch (call.claim(kProducer, nullptr)) {
        case Claim::Claimed: break;
        case Claim::Busy: return PyLong_FromLong(0);
        default: return nullptr;
    }
    if (!claim_across_processes(s, kProducer)) return nullptr;
    SpscRing& ring = *s.ring;
    const std::uint64_t start = ring.tail_position();
    std::uint64_t tail = start;
    Py_ssize_t pushed = 0;
    bool failed = false;
    // One scratch buffer for the whole batch: each value is copied into the
    // ring before the next is encoded. When not even the first fits, an event
    // loop's readiness may ask for a second look.
    Scratch buf(s.scratch);
    for (int look = 0; look < 2 && pushed == 0 && !failed; ++look) {
        if (look == 1 && (batch.size() == 0 || !s.room_ready.idle(ring.free()))) break;
        for (Py_ssize_t i = 0; i < batch.size(); ++i) {
            Payload own;
            Payload* p = batch.item(i, buf, own);
            if (p == nullptr) { failed = true; break; }
            Result<bool> r = ring.push_more(tail, p->first(), p->second());
            if (!r) { raise(r.error()); failed = true; break; }
            if (!r.value()) break;
            ++pushed;
        }
    }
    if (tail != start) {
        ring.publish_tail(tail);
        s.room_ready.active();
    }
    if (failed) return nullptr;
    return PyLong_FromSsize_t(pushed);
}

// Up to `max_count` messages, consumed with one store of head. Raw payloads
// are copied into new bytes objects before the commit; tagged ones are staged
// and decoded after it (a decoding failure raises; the messages are gone).
PyObject* pop_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"max_count", "tag"};
    static const Signature sig{"SpscRingBuffer.pop_many()", names, 2, 1};
    PyObject* argv[2];
    std::uint64_t max_count = 0;
    std::optional<std::string_view> tag;
    if (!bind(sig, args, nargs, kwnames, argv) || !arg_u64(argv[0], "max_count", max_count) ||
        !tag_argument(argv[1], tag))
        return nullptr;
    RingState& s = ring_state(self);
    RingCall call(s, kClass);
    if (!call) return nullptr;
    switch (call.claim(kConsumer, nullptr)) {
        case Claim::Claimed: break;
        case Claim::Busy: return PyList_New(0);
        default: return nullptr;
    }
    if (!claim_across_processes(s, kConsumer)) return nullptr;
    SpscRing& ring = *s.ring;
    std::vector<Ref> raw;
    Scratch buf(s.scratch);
    std::string& staged = buf.cleared();
    std::vector<std::uint64_t> lengths;
    std::optional<SpscFrame> last;
    bool looked_again = false;
    for (std::uint64_t k = 0; k < max_count; ++k) {
        auto found = last ? ring.next_frame(*last) : ring.begin_pop();
        if (!found) {
            if (last) break;  // what was found so far is still good
            return raise(found.error());
        }
        if (!found.value() && !last && !looked_again && s.data_ready.idle(0)) {
            looked_again = true;
            --k;
            continue;
        }
        if (!found.value()) break;
        const SpscFrame frame = *found.value();
        if (tag) {
            const std::size_t at = staged.size();
            staged.resize(at + frame.length);
            ring.copy_payload(frame, reinterpret_cast<std::uint8_t*>(staged.data() + at));
            lengths.push_back(frame.length);
        } else {
            Ref out(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(frame.length)));
            char* dst = out ? PyBytes_AsString(out.get()) : nullptr;
            if (dst == nullptr) return nullptr;  // nothing consumed
            ring.copy_payload(frame, reinterpret_cast<std::uint8_t*>(dst));
            raw.push_back(std::move(out));
        }
        last = frame;
    }
    if (last) {
        ring.commit(*last);
        s.roles.saw_producer.store(true, std::memory_order_relaxed);  // for a later get(eof=True)
        s.data_ready.active();
    }
    const std::size_t count = tag ? lengths.size() : raw.size();
    Ref list(PyList_New(static_cast<Py_ssize_t>(count)));
    if (!list) return nullptr;
    std::uint64_t pos = 0;
    for (std::size_t i = 0; i < count; ++i) {
        PyObject* item = nullptr;
        if (tag) {
            std::uint64_t used = 0;
            item = decode_value(reinterpret_cast<const std::uint8_t*>(staged.data()) + pos, lengths[i], *tag, used);
            pos += lengths[i];
        } else {
            item = raw[i].release();
        }
        if (item == nullptr) return nullptr;
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);  // steals
    }
    return list.release();
}

// Copies the next message into the caller's buffer and returns its length.
// A buffer too small raises ValueError and leaves the message in the ring.
PyObject* pop_into_common(PyObject* self, PyObject* target, std::optional<Deadline> deadline, bool eof = false) {
    BufferHold hold;
    std::uint8_t* dst = nullptr;
    std::size_t room = 0;
    if (!writable_target(target, "buffer", hold, dst, room)) return nullptr;
    return consume(self, deadline, [&](RingState&, SpscRing& ring, const SpscFrame& frame) -> PyObject* {
        // A bytearray is not pinned: look it up again, a wait may have let
        // another thread resize it.
        if (!hold.held && !writable_target(target, "buffer", hold, dst, room)) return nullptr;
        if (frame.length > room)
            return raise(buffer_too_small(frame.length, room));
        large_copy(frame.length, hold.held, [&] { ring.copy_payload(frame, dst); return 0; });
        ring.commit(frame);
        return PyLong_FromUnsignedLongLong(frame.length);
    }, eof);
}

PyObject* pop_into(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"buffer"};
    static const Signature sig{"SpscRingBuffer.pop_into()", names, 1, 1};
    PyObject* argv[1];
    if (!bind(sig, args, nargs, kwnames, argv)) return nullptr;
    return pop_into_common(self, argv[0], std::nullopt);
}

PyObject* get_into(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"buffer", "timeout", "eof"};
    static const Signature sig{"SpscRingBuffer.get_into()", names, 3, 1};
    PyObject* argv[3];
    Deadline deadline = Deadline::never();
    bool eof = false;
    if (!bind(sig, args, nargs, kwnames, argv) || !timeout_argument(argv[1], deadline) ||
        !eof_argument(argv[2], eof))
        return nullptr;
    return pop_into_common(self, argv[0], deadline, eof);
}

// Queries read header words only and never wait.
template <class F>
PyObject* query(PyObject* self, F f) {
    SpscRing* ring = open_ring(ring_state(self));
    return ring ? f(*ring) : nullptr;
}

PyObject* used(PyObject* self, PyObject*) {
    return query(self, [](SpscRing& r) { return PyLong_FromUnsignedLongLong(r.used()); });
}
PyObject* capacity(PyObject* self, PyObject*) {
    return query(self, [](SpscRing& r) { return PyLong_FromUnsignedLongLong(r.capacity()); });
}
PyObject* free_bytes(PyObject* self, PyObject*) {
    return query(self, [](SpscRing& r) { return PyLong_FromUnsignedLongLong(r.free()); });
}
PyObject* is_empty(PyObject* self, PyObject*) {
    return query(self, [](SpscRing& r) { return PyBool_FromLong(r.is_empty()); });
}
PyObject* is_full(PyObject* self, PyObject*) {
    return query(self, [](SpscRing& r) { return PyBool_FromLong(r.is_full()); });
}

// Whether a producer (consumer) is attached: this process or another live one.
template <RingRole Which>
PyObject* has_role(PyObject* self, PyObject*) {
    RingState& s = ring_state(self);
    if (!open_ring(s)) return nullptr;
    auto present = s.roles.present(Which);
    return present ? PyBool_FromLong(present.value()) : raise(present.error());
}

// Waits for calls in flight (a blocked get or put gives up with "is closed"),
// then unmaps. A second close does nothing.
PyObject* close(PyObject* self, PyObject*) {
    close_object(ring_state(self));
    Py_RETURN_NONE;
}

// The descriptor an event loop waits on for one side (see core/readiness.hpp).
PyObject* side_fileno(PyObject* self, bool room) {
    RingState& s = ring_state(self);
    SpscRing* ring = open_ring(s);
    if (ring == nullptr) return nullptr;
    if (!BellListener::supported()) {
        PyErr_SetString(PyExc_NotImplementedError, "fileno() is not supported on this platform");
        return nullptr;
    }
    auto fd = room ? s.room_ready.listen(ring->room_bell()) : s.data_ready.listen(ring->data_bell());
    if (!fd) return raise(fd.error());
    return PyLong_FromLong(fd.value());
}

PyObject* fileno(PyObject* self, PyObject*) { return side_fileno(self, false); }
PyObject* room_fileno(PyObject* self, PyObject*) { return side_fileno(self, true); }

PyObject* reduce(PyObject* self, PyObject*) {
    RingState& s = ring_state(self);
    SpscRing* ring = open_ring(s);
    return ring ? reduce_by_name(s.name, ring->map_size(), "spsc") : nullptr;
}

PyObject* get_max_payload(PyObject* self, void*) {
    return query(self, [](SpscRing& r) { return PyLong_FromUnsignedLongLong(max_payload_for(r.capacity())); });
}

// SpscRingBuffer.create(name, capacity): a ring in a new segment of capacity
// + 24 bytes; open(name): the ring in an existing segment, all of it.
PyObject* create(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"name", "capacity"};
    static const Signature sig{"SpscRingBuffer.create()", names, 2, 2};
    PyObject* argv[2];
    std::string_view name;
    std::uint64_t capacity = 0;
    if (!bind(sig, args, nargs, kwnames, argv) || !arg_text(argv[0], "name", name) ||
        !arg_u64(argv[1], "capacity", capacity))
        return nullptr;
    if (auto valid = validate_name(name); !valid) return raise(valid.error());
    if (auto st = check_creator_capacity(capacity); !st) return raise(st.error());
    if (capacity > ~std::uint64_t{0} - SPSC_HEADER_SIZE)
        return raise(ShmError::value("capacity " + std::to_string(capacity) + " is too large for a segment"));
    auto made = [&] {
        const GilRelease released;
        return PlatformHandle::create(name, capacity + SPSC_HEADER_SIZE);
    }();
    if (!made) return raise(made.error());
    PyObject* ring = attach_ring(made.value(), true);
    if (ring == nullptr) (void)PlatformHandle::remove(name);
    return ring;
}

PyObject* open(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"name"};
    static const Signature sig{"SpscRingBuffer.open()", names, 1, 1};
    PyObject* argv[1];
    std::string_view name;
    if (!bind(sig, args, nargs, kwnames, argv) || !arg_text(argv[0], "name", name)) return nullptr;
    if (auto valid = validate_name(name); !valid) return raise(valid.error());
    auto opened = [&] {
        const GilRelease released;
        return PlatformHandle::open(name, std::nullopt);
    }();
    if (!opened) return raise(opened.error());
    return attach_ring(opened.value(), false);
}

PyObject* repr(PyObject* self) {
    const RingState& s = ring_state(self);
    if (!s.ring || s.life.closing()) return PyUnicode_FromString("SpscRingBuffer(closed)");
    const SpscRing& ring = *s.ring;
    const std::uint64_t cap = ring.capacity();
    const std::uint64_t in_use = ring.used();
    const std::uint64_t room = ring.free();
    const std::string text = "SpscRingBuffer(capacity=" + std::to_string(cap) + ", used=" + std::to_string(in_use) +
                             ", free=" + std::to_string(room) + ")";
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyMethodDef methods[] = {
    fast_method<push>("push",
        "push($self, data)\n--\n\n"
        "Write one message into the ring.\n\n"
        "The message is stored with a 4-byte length prefix, so the consumer reads it back\n"
        "as one unit. `data` may be bytes, bytearray, str, int, float or bool (encoded as\n"
        "by MappedView.write), or a list of such values, encoded one after another.\n"
        "Returns True when the message was written and False when the ring lacks the free\n"
        "space for it, or another thread of this process is inside a producer call\n"
        "(back-pressure: try again later). Raises ValueError for an\n"
        "unsupported value or a message longer than the ring's capacity."),
    fast_method<pop>("pop",
        "pop($self, tag=None)\n--\n\n"
        "Read the oldest message, or return None when the ring is empty (or another thread\n"
        "of this process is inside a consumer call: a non-blocking call never waits for one).\n\n"
        "Without `tag` the raw payload is returned as bytes. With a type tag (for example\n"
        "\"str\", \"int\" or \"f64\") the payload is unpacked into one value of that type.\n"
        "The message is consumed before it is decoded: if decoding fails, the ValueError\n"
        "is raised and the message is gone."),
    noargs_method<used>("used", "used($self)\n--\n\nReturn the number of bytes currently used in the ring."),
    noargs_method<capacity>("capacity",
        "capacity($self)\n--\n\nReturn the total data capacity in bytes, excluding the header."),
    noargs_method<free_bytes>("free", "free($self)\n--\n\nReturn the number of free bytes remaining."),
    noargs_method<is_empty>("is_empty", "is_empty($self)\n--\n\nReturn True when the ring holds no message."),
    noargs_method<is_full>("is_full", "is_full($self)\n--\n\nReturn True when not a single byte of the ring is free."),
    fast_method<pop_mixed>("pop_mixed",
        "pop_mixed($self, schema)\n--\n\n"
        "Pop one message and unpack it by `schema`, a list of (type tag, count) tuples.\n\n"
        "The counterpart of push() with a list. Returns the list of unpacked values, or\n"
        "None when the ring is empty. The message is consumed before it is unpacked: if\n"
        "unpacking fails, the exception is raised and the message is gone."),
    fast_method<put>("put",
        "put($self, data, timeout=None)\n--\n\n"
        "Push `data` as push() does, waiting for room.\n\n"
        "`timeout` None waits for ever, 0 does not wait, a number waits that many seconds,\n"
        "then raises queue.Full. While it waits, other threads run and Ctrl-C interrupts\n"
        "it. A message larger than the ring raises ValueError at once."),
    fast_method<get>("get",
        "get($self, tag=None, timeout=None, eof=False)\n--\n\n"
        "Pop a message as pop() does, waiting for one; raises queue.Empty when `timeout`\n"
        "(seconds; None waits for ever, 0 does not wait) passes first.\n\n"
        "With eof=True, an empty ring raises EOFError once no producer is attached and\n"
        "this handle has seen one (received a message, or found a producer attached while\n"
        "it waited): a consumer started first waits for its producer."),
    fast_method<get_mixed>("get_mixed",
        "get_mixed($self, schema, timeout=None, eof=False)\n--\n\n"
        "Pop a message as pop_mixed() does, waiting for one; raises queue.Empty when\n"
        "`timeout` passes first, and EOFError as get(eof=True) does."),
    fast_method<push_many>("push_many",
        "push_many($self, values)\n--\n\n"
        "Push values from the front of a list or tuple until one does not fit, and return\n"
        "how many were pushed. They become visible to the consumer together. A value that\n"
        "cannot be encoded raises after the values before it are published."),
    fast_method<pop_many>("pop_many",
        "pop_many($self, max_count, tag=None)\n--\n\n"
        "Pop up to `max_count` messages (raw bytes, or values of `tag`) and return them as\n"
        "a list, empty when the ring is."),
    fast_method<pop_into>("pop_into",
        "pop_into($self, buffer)\n--\n\n"
        "Copy the next message into `buffer` (a bytearray, or on CPython 3.11+ any\n"
        "writable buffer such as a numpy array) and return its length, or None when the\n"
        "ring is empty. A buffer too small raises ValueError and leaves the message."),
    fast_method<get_into>("get_into",
        "get_into($self, buffer, timeout=None, eof=False)\n--\n\n"
        "pop_into() that waits for a message; raises queue.Empty when `timeout` passes,\n"
        "and EOFError as get(eof=True) does."),
    noargs_method<has_role<RingRole::Producer>>("has_producer",
        "has_producer($self)\n--\n\n"
        "Return True when a producer is attached: a live process holds the producer role\n"
        "(this one included). A process takes the role at its first publishing call and\n"
        "keeps it until its handles close or it exits."),
    noargs_method<has_role<RingRole::Consumer>>("has_consumer",
        "has_consumer($self)\n--\n\n"
        "Return True when a consumer is attached (see has_producer)."),
    noargs_method<fileno>("fileno",
        "fileno($self)\n--\n\n"
        "A file descriptor that is readable while a message may be waiting, for event loops\n"
        "(selectors, asyncio's add_reader, trio's wait_readable; velmora.aio wraps it).\n\n"
        "Wait for it, then call pop() (or pop_many(), pop_into(), pop_mixed()): a call that\n"
        "finds the ring empty makes the descriptor unreadable again once the ring has been\n"
        "quiet for a moment, and the producer makes it readable when it publishes. Never\n"
        "read from it yourself. Closed with the ring. Linux only: elsewhere it raises\n"
        "NotImplementedError."),
    noargs_method<room_fileno>("room_fileno",
        "room_fileno($self)\n--\n\n"
        "As fileno(), for the producer: readable while room for a message may have come.\n"
        "Wait for it when push() (or push_many()) returned False, then push again."),
    noargs_method<close>("close",
        "close($self)\n--\n\n"
        "Unmap the ring now. Later calls raise ValueError; a second close() does nothing.\n"
        "A call blocked in get() or put() on another thread gives up with ValueError."),
    fast_method<create>("create",
        "create(name, capacity)\n--\n\n"
        "Create a new segment holding a ring of `capacity` data bytes (a power of two; the\n"
        "segment is capacity + 24 bytes) and return the ring. Raises FileExistsError when the\n"
        "name exists, ValueError for a capacity that is not a power of two.",
        METH_STATIC),
    fast_method<open>("open",
        "open(name)\n--\n\n"
        "Attach to the ring in an existing segment (the whole segment, as SharedMemory.open(name).spsc()).",
        METH_STATIC),
    noargs_method<enter>("__enter__", "__enter__($self)\n--\n\n"),
    {"__exit__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&exit_closing)), METH_FASTCALL,
     "__exit__($self, *exc_info)\n--\n\nClose the ring."},
    noargs_method<reduce>("__reduce__", "__reduce__($self)\n--\n\nPickle as SharedMemory.open(name).spsc()."),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"max_payload", &get_max_payload, nullptr,
     "The largest payload one message may carry (capacity less the 4-byte length prefix).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>(
        "A lock-free single-producer / single-consumer ring buffer stored entirely inside a\n"
        "shared-memory segment.\n\n"
        "It carries variable-length messages; each is prefixed with a 4-byte (u32) length\n"
        "field so the consumer knows how many bytes to read. Layout of the segment:\n\n"
        "    [ head (8 B) | tail (8 B) | capacity (8 B) | data (capacity B) ]\n\n"
        "head and tail are free-running byte counters written by the consumer and the\n"
        "producer. Only atomic integers and raw memory are used, no operating-system\n"
        "primitives, so it behaves the same on every platform.\n\n"
        "One process at a time is the producer and one the consumer: a process takes a role\n"
        "at its first publishing (or consuming) call and keeps it until its handles of the\n"
        "ring close or it exits; while another live process holds it, the call raises\n"
        "BlockingIOError. Handles and threads of one process share its roles. Obtain one\n"
        "with SpscRingBuffer.create(name, capacity), SpscRingBuffer.open(name) or SharedMemory.spsc().")},
    {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc<RingState>)},
    {Py_tp_repr, reinterpret_cast<void*>(&repr_guard<repr>)},
    {Py_tp_methods, methods},
    {Py_tp_getset, getset},
    {0, nullptr},
};

}  // namespace

PyType_Spec spsc_ring_buffer_spec = {
    "SpscRingBuffer", static_cast<int>(sizeof(Object<RingState>)), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots,
};

PyObject* attach_ring(const PlatformHandle& handle, bool creator) {
    auto mapping = handle.map();
    if (!mapping) return raise(mapping.error());
    auto ring = SpscRing::attach(std::move(mapping).value(), creator);
    if (!ring) return raise(ring.error());
    PyTypeObject* type = spsc_ring_buffer_type();
    if (type == nullptr) return nullptr;
    // If the instance cannot be allocated, the state is dropped here and the
    // mapping released with it.
    auto site = ClaimSite::of(handle);
    if (!site) return raise(site.error());
    auto shared = site.value();
    PyObject* obj = new_object<RingState>(type, RingState(std::move(ring).value(), handle.name(), std::move(site).value()));
    if (obj == nullptr) return nullptr;
    // Threads of this process take turns in a role across all its handles.
    Lifecycle& life = state_of<RingState>(obj).life;
    life.share_role(kProducer, shared->turn(claim_slot::producer));
    life.share_role(kConsumer, shared->turn(claim_slot::consumer));
    return obj;
}

}  // namespace velmora::py
