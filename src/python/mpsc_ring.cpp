// MpscRingBuffer: the Python face of one fan-in ring. Values, tags, schemas,
// buffers and timeouts behave as on SpscRingBuffer (the methods are shared,
// in ring_methods.hpp); what is its own is the producer slot and the consumer role,
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
#include "python/lane_methods.hpp"
#include "python/lifecycle.hpp"
#include "python/ref.hpp"
#include "python/ring_methods.hpp"
#include "python/scratch.hpp"
#include "python/values.hpp"
#include "python/wait_host.hpp"

namespace velmora::py {
namespace {

// The object's state: lanes::State (lane_methods.hpp).
using MpscState = lanes::State<MpscLanes, MpscFrame>;

constexpr const char* kClass = "MpscRingBuffer";

// The object's two roles (ring_methods.hpp), each held by one thread of the
// process at a time for the length of a call: the producer role is this
// object's lane; the consumer role is shared by the process's handles of the
// ring. Slots and the consumer claim across processes are taken by the calls
// that need them (producer_lane, claim_consumer), after the role.
MpscState& mpsc_state(PyObject* self) noexcept { return state_of<MpscState>(self); }

// ---- claims -----------------------------------------------------------------

// This object's lane: lanes::producer_lane (lane_methods.hpp).
std::optional<std::uint32_t> producer_lane(MpscState& s) { return lanes::producer_lane(s); }

bool claim_consumer(MpscState& s) {
    return lanes::hold_consumer(s, [&s] { return claim_consumer_role(*s.site); });
}

bool producer_attached(const MpscState& s) { return velmora::producer_attached(*s.site, s.ring->producers()); }

// put()'s broken pipe: lanes::consumer_gone (lane_methods.hpp).
bool consumer_gone(MpscState& s) {
    return lanes::consumer_gone(s, [&s] { return velmora::consumer_attached(*s.site); });
}

// ---- pops -------------------------------------------------------------------

// The next message in turn, waiting for one when `deadline` is set. With
// `eof`, wait_or_eof() (ring_methods.hpp) over MpscLanes::producers_done.
std::optional<MpscFrame> next_message(MpscState& s, std::optional<Deadline> deadline, bool eof, bool& failed) {
    if (!deadline) return found_or_raise(s.ring->begin_pop(), failed);
    if (!eof) return wait_for_frame(s.life, *s.ring, *deadline, kClass, failed);
    return wait_or_eof(
        s.name, *deadline, failed, [&] { return s.ring->producers_done(*s.site, s.seen_producer); },
        [&] { return found_or_raise(s.ring->begin_pop(), failed); },
        [&](Deadline slice) { return wait_for_frame(s.life, *s.ring, slice, kClass, failed); });
}

// What this class's calls need of the shared ring methods (ring_methods.hpp).
struct MpscSide {
    using State = MpscState;
    using Ring = MpscLanes;
    using Frame = MpscFrame;
    static constexpr const char* kClass = py::kClass;

    using Producer = lanes::Producer<MpscLanes>;
    static std::optional<Producer> producer(MpscState& s) { return lanes::producer(s); }
    static bool consumer(MpscState& s) { return claim_consumer(s); }
    static ClaimSite& site(MpscState& s) noexcept { return *s.site; }
    static std::optional<MpscFrame> next(MpscState& s, std::optional<Deadline> deadline, bool eof, bool& failed) {
        return next_message(s, deadline, eof, failed);
    }
    static void saw_producer(MpscState& s) noexcept { s.seen_producer = true; }
    static bool consumer_gone(MpscState& s) { return py::consumer_gone(s); }

    // Event loops. Every lane rings the one data bell of the segment (the
    // lanes are windows of one mapping, so they share its identity) and its
    // own room bell (kBellPerWaiter + lane), so each producer process
    // listens for room on its own lane only; room_fileno() claims the
    // object's producer slot as its first publishing call would.
    //
    // Why a consumer that settled cannot miss a message of any lane: each
    // lane is an unchanged SPSC ring, whose producer rings the data bell
    // after a publish into an empty lane when its previous such publish was
    // stamped (before its store) a yield window or more ago. The consumer's
    // readiness (core/readiness.hpp) trusts the bell only after two looks at
    // every lane, kSettleNs (two yield windows) apart with no pop in between,
    // found all of them empty; the second look follows the drain of the bell.
    // Take any lane, and the first publish P into it that the second look did
    // not see (the lane was empty then, so P rings if its clock allows). The
    // lane's previous publish was visible to the first look already: had it
    // come between the looks, the second would have found it, as nothing was
    // popped in between. So the stamp its producer keeps (of that publish or
    // an earlier one) was read before the first look, and P, which reads the
    // clock after the second look, finds it more than a yield window old and
    // rings; its datagram comes after the drain and keeps the descriptor
    // readable. Each lane has its own producer and stamp, so this holds for
    // every lane at once.
    static const BellAddress* data_bell(MpscState& s) noexcept { return &s.ring->data_bell(); }
    static const BellAddress* room_bell(MpscState& s) {
        const auto k = producer_lane(s);
        return k ? &s.ring->lane(*k).room_bell() : nullptr;
    }
};

using M = RingMethods<MpscSide>;

// ---- end of stream ----------------------------------------------------------

// end(): lanes::end (lane_methods.hpp), refused while a loan is open.
PyObject* end(PyObject* self, PyObject*) { return lanes::end<MpscState>(self, kClass, &M::no_open_loan); }

// ---- queries ----------------------------------------------------------------

template <class F>
PyObject* query(PyObject* self, F f) {
    MpscState& s = mpsc_state(self);
    if (!M::open_ring(s)) return nullptr;
    return f(s, *s.ring);
}

PyObject* free_bytes(PyObject* self, PyObject*) {
    return query(self, [](MpscState& s, MpscLanes&) { return lanes::free_bytes(s); });
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
    return query(self, [](MpscState& s, MpscLanes& r) { return lanes::pid_list(producer_pids(*s.site, r.producers())); });
}

PyObject* get_slots(PyObject* self, void*) {
    return query(self, [](MpscState&, MpscLanes& r) { return PyLong_FromUnsignedLong(r.producers()); });
}

PyObject* get_expected(PyObject* self, void*) {
    return query(self, [](MpscState&, MpscLanes& r) { return lanes::expected(r); });
}

// ---- lifetime ---------------------------------------------------------------

PyObject* reduce(PyObject* self, PyObject*) {
    MpscState& s = mpsc_state(self);
    if (!M::open_ring(s)) return nullptr;
    return reduce_to("MpscRingBuffer", "open", s.name, s.anonymous.get());
}

PyObject* repr(PyObject* self) {
    const MpscState& s = mpsc_state(self);
    if (!s.ring || s.life.closing()) return PyUnicode_FromString("MpscRingBuffer(closed)");
    const std::string text = "MpscRingBuffer(name=" + shown_name(s.name, s.anonymous != nullptr) + ", producers=" + std::to_string(s.ring->producers()) +
                             ", capacity=" + std::to_string(s.ring->capacity()) +
                             ", used=" + std::to_string(s.ring->used()) + ")";
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict");
}

PyObject* wrap(PlatformHandle handle, Result<MpscLanes> made) {
    if (!made) return raise(made.error());
    auto site = ClaimSite::of(handle);
    if (!site) return raise(site.error());
    auto held = hold_if_anonymous(handle);
    if (!held) return raise(held.error());
    PyTypeObject* type = mpsc_ring_buffer_type();
    if (type == nullptr) return nullptr;
    auto shared = site.value();
    PyObject* obj = new_object<MpscState>(type, MpscState(std::move(made).value(), std::move(site).value(), handle.name(),
                                                                   std::move(held).value()));
    if (obj == nullptr) return nullptr;
    // Threads of this process take turns as the consumer across all its handles.
    state_of<MpscState>(obj).life.share_role(kRingConsumer, shared->turn(claim_slot::consumer));
    return obj;
}

PyObject* segment_size(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"capacity", "producers"};
    static const Signature sig{"MpscRingBuffer.segment_size()", names, 2, 1};
    PyObject* argv[2];
    std::uint64_t capacity = 0, producers = 8;
    if (!bind(sig, args, nargs, kwnames, argv) || !arg_u64(argv[0], "capacity", capacity) ||
        (!omitted(argv[1]) && !arg_u64(argv[1], "producers", producers)))
        return nullptr;
    auto size = mpsc_segment_size(capacity, producers);
    return size ? PyLong_FromUnsignedLongLong(*size) : raise(size.error());
}

PyObject* create(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"name", "capacity", "producers", "expect", "replace"};
    static const Signature sig{"MpscRingBuffer.create()", names, 5, 2, 1};
    PyObject* argv[5];
    SegmentArg segment;
    std::uint64_t capacity = 0, producers = 8, expect = 0;
    if (!bind(sig, args, nargs, kwnames, argv) || !arg_create_segment(argv[0], argv[4], segment) ||
        !arg_u64(argv[1], "capacity", capacity) || (!omitted(argv[2]) && !arg_u64(argv[2], "producers", producers)) ||
        (!omitted(argv[3]) && !arg_u64(argv[3], "expect", expect)))
        return nullptr;
    if (expect > 0xFFFF'FFFFu) {
        raise(PyExc_ValueError, Reason::invalid_argument, "expect must be at most 4294967295 producers (None: not set)");
        return nullptr;
    }
    auto size = mpsc_segment_size(capacity, producers);
    if (!size) return raise(size.error());
    auto made = [&] {
        const GilRelease released;
        return create_segment(segment, *size);
    }();
    if (!made) return raise(made.error());
    auto mapping = made.value().map();
    Result<MpscLanes> ring = mapping ? MpscLanes::create(std::move(mapping).value(), capacity,
                                                       static_cast<std::uint32_t>(producers),
                                                       static_cast<std::uint32_t>(expect))
                                    : Result<MpscLanes>(mapping.error());
    if (!ring) undo_create(segment);
    return wrap(std::move(made).value(), std::move(ring));
}

PyObject* open(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"name"};
    static const Signature sig{"MpscRingBuffer.open()", names, 1, 1};
    PyObject* argv[1];
    SegmentArg segment;
    if (!bind(sig, args, nargs, kwnames, argv) || !arg_open_segment(argv[0], segment)) return nullptr;
    auto opened = [&] {
        const GilRelease released;
        return open_segment(segment, [](std::string_view name) { return open_mpsc_segment(name); });
    }();
    if (!opened) return raise(opened.error());
    auto mapping = opened.value().map();
    if (!mapping) return raise(mapping.error());
    const std::string name = opened.value().name();
    return wrap(std::move(opened).value(), MpscLanes::open(std::move(mapping).value(), name));
}

PyMethodDef methods[] = {
    fast_method<segment_size>("segment_size",
        "segment_size(capacity, producers=8)\n--\n\n"
        "The size of the segment create(name, capacity, producers) makes, its header and\n"
        "lanes included.",
        METH_STATIC),
    fast_method<create>("create",
        "create(name, capacity, producers=8, expect=None, *, replace=False)\n--\n\n"
        "Create a new segment holding a fan-in ring: up to `producers` producer processes\n"
        "at once, each with `capacity` bytes (a power of two) of messages in flight, and one\n"
        "consumer. Raises FileExistsError when the name exists, ValueError for a capacity\n"
        "that is not a power of two or a producer count outside 1..1024.\n\n"
        "`expect` is how many producers the stream has in all (kept in the segment, so every\n"
        "consumer sees it; they may be more than the slots, one after another): get(eof=True)\n"
        "then ends only once that many have registered and none is attached any more. Each\n"
        "object that takes a slot counts once per process: a forked child that publishes\n"
        "through a handle it inherited registers again. replace=True removes a leftover of\n"
        "the name first; a name of None makes an anonymous segment (see SharedMemory.create).",
        METH_STATIC),
    fast_method<open>("open",
        "open(name)\n--\n\n"
        "Open an existing fan-in ring; its header gives the producer count and capacity.\n"
        "Raises ValueError when the segment is not a fan-in ring.",
        METH_STATIC),
    fast_method<&M::push>("push",
        "push($self, data)\n--\n\n"
        "Write one message, as SpscRingBuffer.push(). The first publishing call of an object\n"
        "claims a producer slot for it, kept until it closes or its process ends; when live\n"
        "producers hold every slot it raises BlockingIOError. Returns False when this\n"
        "producer's capacity is full."),
    fast_method<&M::put>("put",
        "put($self, data, timeout=None)\n--\n\n"
        "Push `data` as push() does, waiting for room; raises queue.Full when `timeout` passes.\n"
        "While it waits it raises BrokenPipeError (within about 10 ms) once no live process\n"
        "holds the consumer role although one was there (this object saw it attached, or it\n"
        "has consumed from this producer's lane); push() keeps returning False."),
    fast_method<&M::push_many>("push_many",
        "push_many($self, values)\n--\n\n"
        "Push values from the front of a list or tuple until one does not fit, and return how\n"
        "many were pushed; they become visible to the consumer in order, at least every 64 KiB\n"
        "of messages."),
    fast_method<&M::pop>("pop",
        "pop($self, tag=None)\n--\n\n"
        "Read the next message in turn (raw bytes, or one value of `tag`), or None when every\n"
        "producer's lane is empty. Producers with something to send are served in turn; each\n"
        "producer's messages arrive in the order it sent them. The first consuming call claims\n"
        "the consumer role (BlockingIOError while another process holds it)."),
    fast_method<&M::get>("get",
        "get($self, tag=None, timeout=None, eof=False)\n--\n\n"
        "pop() that waits for a message from any producer; raises queue.Empty when `timeout`\n"
        "passes. With eof=True it raises EOFError once every message has been taken, no\n"
        "producer is attached and: `expect` producers have registered (create(expect=N)), or,\n"
        "without expect, any producer was there. A producer registers when it takes its slot\n"
        "and ends with end(), close() or its death."),
    fast_method<&M::pop_mixed>("pop_mixed",
        "pop_mixed($self, schema)\n--\n\nPop one message and unpack it by `schema`, as SpscRingBuffer.pop_mixed()."),
    fast_method<&M::get_mixed>("get_mixed",
        "get_mixed($self, schema, timeout=None, eof=False)\n--\n\npop_mixed() that waits, as get()."),
    fast_method<&M::pop_many>("pop_many",
        "pop_many($self, max_count, tag=None)\n--\n\n"
        "Pop up to `max_count` messages in turn and return them as a list, empty when none waits.\n"
        "One call takes at most about one lane's capacity of bytes."),
    fast_method<&M::pop_into>("pop_into",
        "pop_into($self, buffer)\n--\n\n"
        "Copy the next message into `buffer` and return its length, or None when empty. A buffer\n"
        "too small raises ValueError and leaves the message."),
    fast_method<&M::get_bytearray>("get_bytearray",
        "get_bytearray($self, timeout=None, eof=False)\n--\n\n"
        "The next message as a new bytearray, copied once out of the ring: a buffer of your\n"
        "own to read and write. Waits and ends (queue.Empty, eof=True: EOFError) as get() does."),
    fast_method<&M::get_into>("get_into",
        "get_into($self, buffer, timeout=None, eof=False)\n--\n\npop_into() that waits, as get()."),
    fast_method<&M::loan>("loan",
        "loan($self, nbytes, timeout=None)\n--\n\n"
        "Write the next message in place, in this object's producer lane, as\n"
        "SpscRingBuffer.loan(): a `with` block gets a writable memoryview of `nbytes` bytes,\n"
        "published when the block ends and discarded when it raises. A message that would\n"
        "wrap around the lane's end is written to a scratch buffer and copied in at the end."),
    fast_method<&M::get_view>("get_view",
        "get_view($self, timeout=None, eof=False)\n--\n\n"
        "Read the next message in place, as SpscRingBuffer.get_view(): a `with` block gets a\n"
        "read-only memoryview of it in its producer's lane, and leaving the block consumes it."),
    noargs_method<&M::used>("used", "used($self)\n--\n\nReturn the bytes used in all producers' lanes together."),
    noargs_method<&M::capacity>("capacity",
        "capacity($self)\n--\n\nReturn the bytes each producer may have in flight (one lane's data capacity)."),
    noargs_method<free_bytes>("free",
        "free($self)\n--\n\nReturn the free bytes of this object's producer lane (the capacity before its first push)."),
    noargs_method<&M::is_empty>("is_empty", "is_empty($self)\n--\n\nReturn True when no producer's lane holds a message."),
    noargs_method<has_consumer>("has_consumer",
        "has_consumer($self)\n--\n\nReturn True when a live process (this one included) holds the consumer role."),
    noargs_method<has_producer>("has_producer",
        "has_producer($self)\n--\n\nReturn True when a live process (this one included) holds a producer slot."),
    noargs_method<producers>("producers",
        "producers($self)\n--\n\nReturn the pids of the processes attached as producers."),
    noargs_method<&M::fileno>("fileno",
        "fileno($self)\n--\n\n"
        "A file descriptor that is readable while a message from any producer may be waiting,\n"
        "for event loops (selectors, asyncio's add_reader, trio's wait_readable; velmora.aio\n"
        "wraps it), as SpscRingBuffer.fileno(). Wait for it, then call pop() (or pop_many(),\n"
        "pop_into(), pop_mixed()). Never read from it yourself. Closed with the ring. Linux\n"
        "only: elsewhere it raises NotImplementedError."),
    noargs_method<&M::room_fileno>("room_fileno",
        "room_fileno($self)\n--\n\n"
        "As fileno(), for a producer: readable while room in this object's lane may have come.\n"
        "Wait for it when push() (or push_many()) returned False, then push again. Claims a\n"
        "producer slot as the first push would (BlockingIOError when all are taken)."),
    noargs_method<end>("end",
        "end($self)\n--\n\n"
        "End this object's stream as a producer: give up its slot, as close() and death do,\n"
        "keeping the object open (its consumer role too). What it sent is still delivered. A\n"
        "later push registers it again as a new producer."),
    noargs_method<&M::check_consumer>("_check_consumer",
        "_check_consumer($self)\n--\n\n"
        "For event loops, after push() returned False: raise BrokenPipeError when the consumer\n"
        "has gone, as put() does; otherwise return None."),
    noargs_method<&M::close>("close",
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
    {"max_payload", &M::max_payload, nullptr,
     "The largest payload one message may carry (capacity less the 4-byte length prefix).", nullptr},
    {"slots", &get_slots, nullptr, "The number of producer slots.", nullptr},
    {"expected", &get_expected, nullptr, "The producers create(expect=N) said to wait for, or None.", nullptr},
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
