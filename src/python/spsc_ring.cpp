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
#include "python/ring_methods.hpp"
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
    std::optional<SpscRing> ring;  // what RingMethods reads: ring, name, scratch, readiness, life
    std::string name;
    HeldSegment anonymous;  // an anonymous segment's own open, for pickling
    std::string scratch;
    Readiness data_ready, room_ready;
    RingLending<SpscFrame> lending;
    RingRoles roles;  // before the guard, which may point at the site's role words
    Lifecycle life;

    RingState(SpscRing r, std::string segment, HeldSegment held, std::shared_ptr<ClaimSite> site)
        : ring(std::move(r)), name(std::move(segment)), anonymous(std::move(held)), roles(std::move(site)) {}
    RingState(RingState&& o) noexcept
        : ring(std::move(o.ring)), name(std::move(o.name)), anonymous(std::move(o.anonymous)),
          scratch(std::move(o.scratch)), roles(std::move(o.roles)) {}
    void release() noexcept {
        data_ready.stop();
        room_ready.stop();
        lending.release(ring);
        roles.release();
    }
};

constexpr const char* kClass = "SpscRingBuffer";

// After the thread's turn in a role: the process's claim of it, taken at the
// handle's first call in the role (BlockingIOError while another live
// process holds it; nothing in the ring touched).
bool claim_across_processes(RingState& s, RingRole role) {
    Status ok = s.roles.claim(role);
    if (!ok) raise(ok.error());
    return ok.ok();
}

// Whether a producer has been there since the ring was made: this handle saw
// one attached, or the ring's tail has moved from where the creator put it
// (whichever handle or process looks). A producer that attached and left
// without publishing leaves no trace in the ring.
bool producer_was_there(RingState& s) noexcept {
    return s.roles.saw_producer.load() || s.ring->tail_position() != 0;
}

// The host of get(eof=True)'s wait: gives up, like ClosingWait, on close()
// and signals, and also once no producer is attached after one was there
// (producer_was_there). Asks without the interpreter lock (a failure is kept
// for later).
struct StreamWait {
    ClosingWait inner;
    RingState& s;
    bool producer_gone = false;
    std::optional<Error> failure;
    void suspend() noexcept { inner.suspend(); }
    bool poll() {
        if (inner.poll()) return true;
        auto present = s.roles.producer_assumed_present();
        if (!present) return failure = present.error(), true;
        if (present.value()) s.roles.saw_producer.store(true);
        return producer_gone = !present.value() && producer_was_there(s);
    }
};

// next_message() for get(eof=True): `ended` when the ring is empty, no
// producer is attached and one was there. The producer's absence is read
// before the ring, so everything it published before it left is still
// delivered first.
std::optional<SpscFrame> next_or_end(RingState& s, SpscRing& ring, Deadline deadline, bool& failed, bool& ended) {
    for (;;) {
        auto known = s.roles.producer_assumed_present();
        if (!known) return raise(known.error()), failed = true, std::nullopt;
        const bool present = known.value();
        if (present) s.roles.saw_producer.store(true);
        std::optional<SpscFrame> found = found_or_raise(ring.begin_pop(), failed);
        if (failed || found) return found;
        if (!present && producer_was_there(s)) return ended = true, std::nullopt;
        StreamWait host{ClosingWait(s.life), s, false, std::nullopt};
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

// What this class's calls need of the shared ring methods (ring_methods.hpp).
struct SpscSide {
    using State = RingState;
    using Ring = SpscRing;
    using Frame = SpscFrame;
    static constexpr const char* kClass = py::kClass;

    struct Producer {
        SpscRing* ring;
        std::uint64_t slot = claim_slot::producer;
        SpscRing& lane() const noexcept { return *ring; }
        Result<bool> push(ByteSpan first, ByteSpan second) const { return ring->push(first, second); }
        template <class Host>
        Result<bool> push_wait(ByteSpan first, ByteSpan second, Deadline deadline, Host& host) const {
            return ring->push_wait(first, second, deadline, host);
        }
        void publish(std::uint64_t, std::uint64_t tail) const noexcept { ring->publish_tail(tail); }
    };
    static std::optional<Producer> producer(RingState& s) {
        if (!claim_across_processes(s, RingRole::Producer)) return std::nullopt;
        return Producer{&*s.ring};
    }
    static bool consumer(RingState& s) { return claim_across_processes(s, RingRole::Consumer); }
    static ClaimSite& site(RingState& s) noexcept { return *s.roles.site; }

    // The next frame, waiting for one when `deadline` is set; with `eof`,
    // EOFError once the ring is empty and its producer has gone.
    static std::optional<SpscFrame> next(RingState& s, std::optional<Deadline> deadline, bool eof, bool& failed) {
        SpscRing& ring = *s.ring;
        if (!deadline) return found_or_raise(ring.begin_pop(), failed);
        if (!eof) return wait_for_frame(s.life, ring, *deadline, kClass, failed);
        bool ended = false;
        std::optional<SpscFrame> frame = next_or_end(s, ring, *deadline, failed, ended);
        if (ended) {
            const std::string text = "ring '" + s.name + "' is empty and its producer has gone";
            raise(PyExc_EOFError, Reason::peer_gone, text);
            failed = true;
        }
        return frame;
    }
    static void saw_producer(RingState& s) noexcept { s.roles.saw_producer.store(true, std::memory_order_relaxed); }
    // The consumer role held by no live process after one was there: this
    // handle saw it, or the ring's head has moved since the ring was made.
    static bool consumer_gone(RingState& s) { return s.roles.gone(RingRole::Consumer, s.ring->head_position() != 0); }

    static const BellAddress* data_bell(RingState& s) noexcept { return &s.ring->data_bell(); }
    static const BellAddress* room_bell(RingState& s) noexcept { return &s.ring->room_bell(); }
};

using M = RingMethods<SpscSide>;

RingState& ring_state(PyObject* self) noexcept { return state_of<RingState>(self); }

PyObject* free_bytes(PyObject* self, PyObject*) {
    return M::query(self, [](SpscRing& r) { return PyLong_FromUnsignedLongLong(r.free()); });
}
PyObject* is_full(PyObject* self, PyObject*) {
    return M::query(self, [](SpscRing& r) { return PyBool_FromLong(r.is_full()); });
}

// Whether a producer (consumer) is attached: this process or another live one.
template <RingRole Which>
PyObject* has_role(PyObject* self, PyObject*) {
    RingState& s = ring_state(self);
    if (!M::open_ring(s)) return nullptr;
    auto present = s.roles.present(Which);
    return present ? PyBool_FromLong(present.value()) : raise(present.error());
}

PyObject* reduce(PyObject* self, PyObject*) {
    RingState& s = ring_state(self);
    SpscRing* ring = M::open_ring(s);
    return ring ? reduce_to("SpscRingBuffer", "open", s.name, s.anonymous.get()) : nullptr;
}

// SpscRingBuffer.segment_size(capacity): the bytes a ring of `capacity` needs.
PyObject* segment_size(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"capacity"};
    static const Signature sig{"SpscRingBuffer.segment_size()", names, 1, 1};
    PyObject* argv[1];
    std::uint64_t capacity = 0;
    if (!bind(sig, args, nargs, kwnames, argv) || !arg_u64(argv[0], "capacity", capacity)) return nullptr;
    auto size = spsc_segment_size(capacity);
    return size ? PyLong_FromUnsignedLongLong(*size) : raise(size.error());
}

// SpscRingBuffer.create(name, capacity): a ring in a new segment of
// segment_size(capacity) bytes; open(name): the ring in an existing segment, all of it.
PyObject* create(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"name", "capacity", "replace"};
    static const Signature sig{"SpscRingBuffer.create()", names, 3, 2, 1};
    PyObject* argv[3];
    SegmentArg segment;
    std::uint64_t capacity = 0;
    if (!bind(sig, args, nargs, kwnames, argv) || !arg_create_segment(argv[0], argv[2], segment) ||
        !arg_u64(argv[1], "capacity", capacity))
        return nullptr;
    auto size = spsc_segment_size(capacity);
    if (!size) return raise(size.error());
    auto made = [&] {
        const GilRelease released;
        return create_segment(segment, *size);
    }();
    if (!made) return raise(made.error());
    PyObject* ring = attach_ring(made.value(), true);
    if (ring == nullptr) undo_create(segment);
    return ring;
}

PyObject* open(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"name"};
    static const Signature sig{"SpscRingBuffer.open()", names, 1, 1};
    PyObject* argv[1];
    SegmentArg segment;
    if (!bind(sig, args, nargs, kwnames, argv) || !arg_open_segment(argv[0], segment)) return nullptr;
    auto opened = [&] {
        const GilRelease released;
        return open_segment(segment, [](std::string_view name) { return PlatformHandle::open(name, std::nullopt); });
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
    fast_method<&M::push>("push",
        "push($self, data)\n--\n\n"
        "Write one message into the ring.\n\n"
        "The message is stored with a 4-byte length prefix, so the consumer reads it back\n"
        "as one unit. `data` may be bytes, bytearray, str, int, float or bool (encoded as\n"
        "by MappedView.write), or a list of such values, encoded one after another.\n"
        "Returns True when the message was written and False when the ring lacks the free\n"
        "space for it, or another thread of this process is inside a producer call\n"
        "(back-pressure: try again later). Raises ValueError for an\n"
        "unsupported value or a message longer than the ring's capacity."),
    fast_method<&M::pop>("pop",
        "pop($self, tag=None)\n--\n\n"
        "Read the oldest message, or return None when the ring is empty (or another thread\n"
        "of this process is inside a consumer call: a non-blocking call never waits for one).\n\n"
        "Without `tag` the raw payload is returned as bytes. With a type tag (for example\n"
        "\"str\", \"int\" or \"f64\") the payload is unpacked into one value of that type.\n"
        "The message is consumed before it is decoded: if decoding fails, the ValueError\n"
        "is raised and the message is gone."),
    noargs_method<&M::used>("used", "used($self)\n--\n\nReturn the number of bytes currently used in the ring."),
    noargs_method<&M::capacity>("capacity",
        "capacity($self)\n--\n\nReturn the total data capacity in bytes, excluding the header."),
    noargs_method<free_bytes>("free", "free($self)\n--\n\nReturn the number of free bytes remaining."),
    noargs_method<&M::is_empty>("is_empty", "is_empty($self)\n--\n\nReturn True when the ring holds no message."),
    noargs_method<is_full>("is_full", "is_full($self)\n--\n\nReturn True when not a single byte of the ring is free."),
    fast_method<&M::pop_mixed>("pop_mixed",
        "pop_mixed($self, schema)\n--\n\n"
        "Pop one message and unpack it by `schema`, a list of (type tag, count) tuples.\n\n"
        "The counterpart of push() with a list. Returns the list of unpacked values, or\n"
        "None when the ring is empty. The message is consumed before it is unpacked: if\n"
        "unpacking fails, the exception is raised and the message is gone."),
    fast_method<&M::put>("put",
        "put($self, data, timeout=None)\n--\n\n"
        "Push `data` as push() does, waiting for room.\n\n"
        "`timeout` None waits for ever, 0 does not wait, a number waits that many seconds,\n"
        "then raises queue.Full. While it waits, other threads run and Ctrl-C interrupts\n"
        "it. A message larger than the ring raises ValueError at once.\n\n"
        "While it waits for room it raises BrokenPipeError (within about 10 ms) once no live\n"
        "process holds the consumer role although one was there: this handle saw it attached,\n"
        "or the ring's head has moved since the ring was made. A consumer that attaches again\n"
        "makes put() wait again; push() keeps returning False."),
    fast_method<&M::loan>("loan",
        "loan($self, nbytes, timeout=None)\n--\n\n"
        "Write the next message in place: `with ring.loan(nbytes) as buf:` gives a writable\n"
        "memoryview (format 'B') of exactly `nbytes` bytes where the message will live in the\n"
        "ring; leaving the block publishes it, an exception inside discards it. Waits for\n"
        "room, and raises queue.Full, ValueError (a message larger than the ring holds) and\n"
        "BrokenPipeError, as put() does. One loan per ring object at a time: a second loan,\n"
        "or any other producer call of the object while it is open, raises RuntimeError, as\n"
        "do those of this process's other handles of the ring.\n"
        "A message whose bytes would wrap around the end of the ring is written to a scratch\n"
        "buffer instead and copied in (one copy) when the block ends. After a close() the\n"
        "memoryview stays valid, and leaving the block raises ValueError: nothing is\n"
        "published. Keep no reference to the memory past the block."),
    fast_method<&M::get>("get",
        "get($self, tag=None, timeout=None, eof=False)\n--\n\n"
        "Pop a message as pop() does, waiting for one; raises queue.Empty when `timeout`\n"
        "(seconds; None waits for ever, 0 does not wait) passes first.\n\n"
        "With eof=True, an empty ring raises EOFError once no producer is attached and one\n"
        "was there: the ring's tail has moved since the ring was made (whichever handle or\n"
        "process asks), or this handle saw a producer attached. A consumer started first\n"
        "waits for its producer. A producer that attached and left without sending anything\n"
        "leaves no trace for a handle that did not see it: give such a get a timeout."),
    fast_method<&M::get_mixed>("get_mixed",
        "get_mixed($self, schema, timeout=None, eof=False)\n--\n\n"
        "Pop a message as pop_mixed() does, waiting for one; raises queue.Empty when\n"
        "`timeout` passes first, and EOFError as get(eof=True) does."),
    fast_method<&M::push_many>("push_many",
        "push_many($self, values)\n--\n\n"
        "Push values from the front of a list or tuple until one does not fit, and return\n"
        "how many were pushed. They become visible to the consumer in order, at least every\n"
        "64 KiB of messages, so the consumer starts on a large batch while the rest is copied.\n"
        "A value that cannot be encoded raises after the values before it are published."),
    fast_method<&M::pop_many>("pop_many",
        "pop_many($self, max_count, tag=None)\n--\n\n"
        "Pop up to `max_count` messages (raw bytes, or values of `tag`) and return them as\n"
        "a list, empty when the ring is. One call takes at most about one ring's worth of\n"
        "bytes (the capacity), however fast the producer refills it."),
    fast_method<&M::pop_into>("pop_into",
        "pop_into($self, buffer)\n--\n\n"
        "Copy the next message into `buffer` (a bytearray, or on CPython 3.11+ any\n"
        "writable buffer such as a numpy array) and return its length, or None when the\n"
        "ring is empty. A buffer too small raises ValueError and leaves the message."),
    fast_method<&M::get_bytearray>("get_bytearray",
        "get_bytearray($self, timeout=None, eof=False)\n--\n\n"
        "The next message as a new bytearray, copied once out of the ring: a buffer of your\n"
        "own to read and write. Waits and ends (queue.Empty, eof=True: EOFError) as get() does."),
    fast_method<&M::get_into>("get_into",
        "get_into($self, buffer, timeout=None, eof=False)\n--\n\n"
        "pop_into() that waits for a message; raises queue.Empty when `timeout` passes,\n"
        "and EOFError as get(eof=True) does."),
    fast_method<&M::get_view>("get_view",
        "get_view($self, timeout=None, eof=False)\n--\n\n"
        "Read the next message in place, without a copy: `with ring.get_view() as m:` gives\n"
        "a read-only memoryview of its bytes in the ring, and leaving the block consumes it\n"
        "(also after an exception), after a close() too: the view keeps the consumer role\n"
        "until it ends, so no other process reads the message meanwhile. Until then no\n"
        "other read of this ring may run (RuntimeError). Waits, and raises queue.Empty and EOFError, as get() does. A\n"
        "message that wraps around the end of the ring is copied out instead. Keep no\n"
        "reference to the memory past the block: the producer reuses it."),
    noargs_method<has_role<RingRole::Producer>>("has_producer",
        "has_producer($self)\n--\n\n"
        "Return True when a producer is attached: a live process holds the producer role\n"
        "(this one included). A process takes the role at its first publishing call and\n"
        "keeps it until its handles close or it exits."),
    noargs_method<has_role<RingRole::Consumer>>("has_consumer",
        "has_consumer($self)\n--\n\n"
        "Return True when a consumer is attached (see has_producer)."),
    noargs_method<&M::fileno>("fileno",
        "fileno($self)\n--\n\n"
        "A file descriptor that is readable while a message may be waiting, for event loops\n"
        "(selectors, asyncio's add_reader, trio's wait_readable; velmora.aio wraps it).\n\n"
        "Wait for it, then call pop() (or pop_many(), pop_into(), pop_mixed()): a call that\n"
        "finds the ring empty makes the descriptor unreadable again once the ring has been\n"
        "quiet for a moment, and the producer makes it readable when it publishes. Never\n"
        "read from it yourself. Closed with the ring. Linux only: elsewhere it raises\n"
        "NotImplementedError."),
    noargs_method<&M::room_fileno>("room_fileno",
        "room_fileno($self)\n--\n\n"
        "As fileno(), for the producer: readable while room for a message may have come.\n"
        "Wait for it when push() (or push_many()) returned False, then push again."),
    noargs_method<&M::check_consumer>("_check_consumer",
        "_check_consumer($self)\n--\n\n"
        "For event loops, after push() returned False: raise BrokenPipeError when the consumer\n"
        "has gone, as put() does; otherwise return None."),
    noargs_method<&M::close>("close",
        "close($self)\n--\n\n"
        "Unmap the ring now. Later calls raise ValueError; a second close() does nothing.\n"
        "A call blocked in get() or put() on another thread gives up with ValueError."),
    fast_method<segment_size>("segment_size",
        "segment_size(capacity)\n--\n\n"
        "The size of the segment a ring of `capacity` data bytes (a power of two) takes,\n"
        "its header included: what SharedMemory.create() needs before .spsc().",
        METH_STATIC),
    fast_method<create>("create",
        "create(name, capacity, *, replace=False)\n--\n\n"
        "Create a new segment holding a ring of `capacity` data bytes (a power of two; the\n"
        "segment is capacity + 24 bytes) and return the ring. Raises FileExistsError when the\n"
        "name exists, ValueError for a capacity that is not a power of two. replace=True\n"
        "removes a leftover of the name first; a name of None makes an anonymous segment\n"
        "(see SharedMemory.create).",
        METH_STATIC),
    fast_method<open>("open",
        "open(name)\n--\n\n"
        "Attach to the ring in an existing segment (the whole segment, as SharedMemory.open(name).spsc());\n"
        "an int is the descriptor of an anonymous segment.",
        METH_STATIC),
    noargs_method<enter>("__enter__", "__enter__($self)\n--\n\n"),
    {"__exit__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&exit_closing)), METH_FASTCALL,
     "__exit__($self, *exc_info)\n--\n\nClose the ring."},
    noargs_method<reduce>("__reduce__", "__reduce__($self)\n--\n\nPickle as SpscRingBuffer.open(name)."),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"max_payload", &M::max_payload, nullptr,
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
    // The claims first: a creator's attach writes the ring's header.
    auto site = ClaimSite::of(handle);
    if (!site) return raise(site.error());
    auto mapping = handle.map();
    if (!mapping) return raise(mapping.error());
    auto ring = SpscRing::attach(std::move(mapping).value(), creator);
    if (!ring) return raise(ring.error());
    auto held = hold_if_anonymous(handle);
    if (!held) return raise(held.error());
    PyTypeObject* type = spsc_ring_buffer_type();
    if (type == nullptr) return nullptr;
    // If the instance cannot be allocated, the state is dropped here and the
    // mapping released with it.
    auto shared = site.value();
    PyObject* obj = new_object<RingState>(
        type, RingState(std::move(ring).value(), handle.name(), std::move(held).value(), std::move(site).value()));
    if (obj == nullptr) return nullptr;
    // Threads of this process take turns in a role across all its handles.
    Lifecycle& life = state_of<RingState>(obj).life;
    life.share_role(kRingProducer, shared->turn(claim_slot::producer));
    life.share_role(kRingConsumer, shared->turn(claim_slot::consumer));
    return obj;
}

}  // namespace velmora::py
