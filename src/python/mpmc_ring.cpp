// MpmcRingBuffer: the Python face of one work-sharing ring (core/mpmc.hpp).
// Producers are the fan-in ring's (lane_methods.hpp); values, tags, schemas,
// buffers and timeouts behave as on the other rings (ring_methods.hpp). What
// is its own is the consumer: a consumer slot of its own per object, taken
// at its first consuming call, and messages taken by copy, never lent in
// place (a message is its taker's only once it is copied out and claimed).
#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "core/claims.hpp"
#include "core/mpmc.hpp"
#include "python/lane_methods.hpp"
#include "python/lifecycle.hpp"
#include "python/ref.hpp"
#include "python/ring_methods.hpp"
#include "python/values.hpp"
#include "python/wait_host.hpp"

namespace velmora::py {
namespace {

constexpr const char* kClass = "MpmcRingBuffer";

// The object's state: lanes::State (lane_methods.hpp), whose consumer claim
// is a consumer slot of this object's own: threads of the process take
// turns on one object, objects take their own slots. It never lends a
// message (no get_view()) and never listens (no fileno()).
using MpmcState = lanes::State<MpmcRing, MpmcFrame>;

MpmcState& mpmc_state(PyObject* self) noexcept { return state_of<MpmcState>(self); }

// A consumer slot of its own for this object, at its first consuming call
// (and again in a fork child). BlockingIOError when live processes hold all.
bool claim_consumer(MpmcState& s) {
    return lanes::hold_consumer(s, [&s] { return s.ring->claim_consumer(*s.site); });
}

// One message taken into what `sink` gives (MpmcRing::take), waiting for one
// when `deadline` is set; with `eof`, wait_or_eof() over the lanes' rule.
template <class Sink>
std::optional<std::uint64_t> take_message(MpmcState& s, std::optional<Deadline> deadline, bool eof, Sink& sink,
                                          bool& failed) {
    MpmcRing& ring = *s.ring;
    const auto length = [](const std::optional<MpmcTaken>& t) {
        return t ? std::optional<std::uint64_t>(t->length) : std::nullopt;
    };
    const auto look = [&] { return found_or_raise(ring.take(sink), failed); };
    const auto wait = [&](Deadline until) {
        return closing_wait(s.life, kClass, failed, [&](ClosingWait& host) { return ring.wait_take(sink, until, host); });
    };
    if (!deadline) return length(look());
    if (!eof) return length(wait(*deadline));
    return length(wait_or_eof(
        s.name, *deadline, failed, [&] { return ring.producers_done(*s.site, s.seen_producer); }, look, wait));
}

// What this class's calls need of the shared ring methods (ring_methods.hpp).
struct MpmcSide {
    using State = MpmcState;
    using Ring = MpmcRing;
    using Frame = MpmcFrame;
    static constexpr const char* kClass = py::kClass;
    static constexpr bool kTakesByCopy = true;

    using Producer = lanes::Producer<MpmcRing>;
    static std::optional<Producer> producer(MpmcState& s) { return lanes::producer(s); }
    static bool consumer(MpmcState& s) { return claim_consumer(s); }
    static ClaimSite& site(MpmcState& s) noexcept { return *s.site; }
    template <class Sink>
    static std::optional<std::uint64_t> take(MpmcState& s, std::optional<Deadline> deadline, bool eof, Sink& sink,
                                             bool& failed) {
        return take_message(s, deadline, eof, sink, failed);
    }
    static void saw_producer(MpmcState& s) noexcept { s.seen_producer = true; }
    static bool consumer_gone(MpmcState& s) {
        return lanes::consumer_gone(s, [&s] { return s.ring->consumer_attached(*s.site); });
    }
};

using M = RingMethods<MpmcSide>;

// ---- queries ----------------------------------------------------------------

template <class F>
PyObject* query(PyObject* self, F f) {
    MpmcState& s = mpmc_state(self);
    if (!M::open_ring(s)) return nullptr;
    return f(s, *s.ring);
}

PyObject* end(PyObject* self, PyObject*) { return lanes::end<MpmcState>(self, kClass); }

PyObject* free_bytes(PyObject* self, PyObject*) {
    return query(self, [](MpmcState& s, MpmcRing&) { return lanes::free_bytes(s); });
}
PyObject* has_consumer(PyObject* self, PyObject*) {
    return query(self, [](MpmcState& s, MpmcRing& r) { return PyBool_FromLong(r.consumer_attached(*s.site)); });
}
PyObject* has_producer(PyObject* self, PyObject*) {
    return query(self, [](MpmcState& s, MpmcRing& r) { return PyBool_FromLong(r.producer_attached(*s.site)); });
}
PyObject* producers(PyObject* self, PyObject*) {
    return query(self, [](MpmcState& s, MpmcRing& r) { return lanes::pid_list(r.producer_pids(*s.site)); });
}
PyObject* consumers(PyObject* self, PyObject*) {
    return query(self, [](MpmcState& s, MpmcRing& r) { return lanes::pid_list(r.consumer_pids(*s.site)); });
}

PyObject* get_slots(PyObject* self, void*) {
    return query(self, [](MpmcState&, MpmcRing& r) { return PyLong_FromUnsignedLong(r.producers()); });
}
PyObject* get_consumer_slots(PyObject* self, void*) {
    return query(self, [](MpmcState&, MpmcRing& r) { return PyLong_FromUnsignedLong(r.consumers()); });
}
PyObject* get_expected(PyObject* self, void*) {
    return query(self, [](MpmcState&, MpmcRing& r) { return lanes::expected(r); });
}

// Event loops: a message behind another in its lane is announced to
// sleepers on the doorbell word only (mpmc.hpp), never to a descriptor, so
// a loop waiting on one could sleep through it.
PyObject* no_fileno(PyObject* self, PyObject*) {
    if (!M::open_ring(mpmc_state(self))) return nullptr;
    return raise(PyExc_NotImplementedError, Reason::invalid_argument,
                 "MpmcRingBuffer has no descriptor for event loops: wait with get() or put() in a thread");
}

// ---- lifetime ---------------------------------------------------------------

PyObject* reduce(PyObject* self, PyObject*) {
    MpmcState& s = mpmc_state(self);
    if (!M::open_ring(s)) return nullptr;
    return reduce_to(kClass, "open", s.name, s.anonymous.get());
}

PyObject* repr(PyObject* self) {
    const MpmcState& s = mpmc_state(self);
    if (!s.ring || s.life.closing()) return PyUnicode_FromString("MpmcRingBuffer(closed)");
    const std::string text = "MpmcRingBuffer(name=" + shown_name(s.name, s.anonymous != nullptr) + ", producers=" + std::to_string(s.ring->producers()) +
                             ", consumers=" + std::to_string(s.ring->consumers()) +
                             ", capacity=" + std::to_string(s.ring->capacity()) +
                             ", used=" + std::to_string(s.ring->used()) + ")";
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict");
}

PyObject* wrap(PlatformHandle handle, Result<MpmcRing> made) {
    if (!made) return raise(made.error());
    auto site = ClaimSite::of(handle);
    if (!site) return raise(site.error());
    auto held = hold_if_anonymous(handle);
    if (!held) return raise(held.error());
    PyTypeObject* type = mpmc_ring_buffer_type();
    if (type == nullptr) return nullptr;
    return new_object<MpmcState>(type, MpmcState(std::move(made).value(), std::move(site).value(), handle.name(),
                                                                   std::move(held).value()));
}

PyObject* segment_size(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"capacity", "producers"};
    static const Signature sig{"MpmcRingBuffer.segment_size()", names, 2, 1};
    PyObject* argv[2];
    std::uint64_t capacity = 0, producers = 8;
    if (!bind(sig, args, nargs, kwnames, argv) || !arg_u64(argv[0], "capacity", capacity) ||
        (!omitted(argv[1]) && !arg_u64(argv[1], "producers", producers)))
        return nullptr;
    auto size = mpmc_segment_size(capacity, producers);
    return size ? PyLong_FromUnsignedLongLong(*size) : raise(size.error());
}

PyObject* create(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"name", "capacity", "producers", "consumers", "expect", "replace"};
    static const Signature sig{"MpmcRingBuffer.create()", names, 6, 2, 1};
    PyObject* argv[6];
    SegmentArg segment;
    std::uint64_t capacity = 0, producers = 8, consumers = 8, expect = 0;
    if (!bind(sig, args, nargs, kwnames, argv) || !arg_create_segment(argv[0], argv[5], segment) ||
        !arg_u64(argv[1], "capacity", capacity) || (!omitted(argv[2]) && !arg_u64(argv[2], "producers", producers)) ||
        (!omitted(argv[3]) && !arg_u64(argv[3], "consumers", consumers)) ||
        (!omitted(argv[4]) && !arg_u64(argv[4], "expect", expect)))
        return nullptr;
    if (expect > 0xFFFF'FFFFu) {
        raise(PyExc_ValueError, Reason::invalid_argument, "expect must be at most 4294967295 producers (None: not set)");
        return nullptr;
    }
    if (consumers < 1 || consumers > kMpmcMaxConsumers) {
        const std::string text = "consumers must be between 1 and " + std::to_string(kMpmcMaxConsumers) + ", not " +
                                 std::to_string(consumers);
        raise(PyExc_ValueError, Reason::invalid_argument, text);
        return nullptr;
    }
    auto size = mpmc_segment_size(capacity, producers);
    if (!size) return raise(size.error());
    auto made = [&] {
        const GilRelease released;
        return create_segment(segment, *size);
    }();
    if (!made) return raise(made.error());
    auto mapping = made.value().map();
    Result<MpmcRing> ring = mapping ? MpmcRing::create(std::move(mapping).value(), capacity,
                                                       static_cast<std::uint32_t>(producers),
                                                       static_cast<std::uint32_t>(consumers),
                                                       static_cast<std::uint32_t>(expect))
                                    : Result<MpmcRing>(mapping.error());
    if (!ring) undo_create(segment);
    return wrap(std::move(made).value(), std::move(ring));
}

PyObject* open(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"name"};
    static const Signature sig{"MpmcRingBuffer.open()", names, 1, 1};
    PyObject* argv[1];
    SegmentArg segment;
    if (!bind(sig, args, nargs, kwnames, argv) || !arg_open_segment(argv[0], segment)) return nullptr;
    auto opened = [&] {
        const GilRelease released;
        return open_segment(segment, [](std::string_view name) { return open_mpmc_segment(name); });
    }();
    if (!opened) return raise(opened.error());
    auto mapping = opened.value().map();
    if (!mapping) return raise(mapping.error());
    const std::string name = opened.value().name();
    return wrap(std::move(opened).value(), MpmcRing::open(std::move(mapping).value(), name));
}

PyMethodDef methods[] = {
    fast_method<segment_size>("segment_size",
        "segment_size(capacity, producers=8)\n--\n\n"
        "The size of the segment create(name, capacity, producers) makes, its header and\n"
        "lanes included (the consumer count takes no room).",
        METH_STATIC),
    fast_method<create>("create",
        "create(name, capacity, producers=8, consumers=8, expect=None, *, replace=False)\n--\n\n"
        "Create a new segment holding a work-sharing ring: up to `producers` producer\n"
        "processes at once, each with `capacity` bytes (a power of two) of messages in flight,\n"
        "and up to `consumers` consumers, each message going to exactly one of them. Raises\n"
        "FileExistsError when the name exists, ValueError for a capacity that is not a power\n"
        "of two or a producer or consumer count outside 1..1024. `expect` as on\n"
        "MpscRingBuffer.create(): the producers the stream has in all, for get(eof=True).\n"
        "replace=True removes a leftover of the name first; a name of None makes an\n"
        "anonymous segment (see SharedMemory.create).",
        METH_STATIC),
    fast_method<open>("open",
        "open(name)\n--\n\n"
        "Open an existing work-sharing ring; its header gives the counts and capacity.\n"
        "Raises ValueError when the segment is not one.",
        METH_STATIC),
    fast_method<&M::push>("push",
        "push($self, data)\n--\n\n"
        "Write one message, as MpscRingBuffer.push(): the first publishing call of an object\n"
        "claims a producer slot (BlockingIOError when live producers hold all). Returns False\n"
        "when this producer's capacity is full."),
    fast_method<&M::put>("put",
        "put($self, data, timeout=None)\n--\n\n"
        "Push `data` as push() does, waiting for room; raises queue.Full when `timeout` passes,\n"
        "BrokenPipeError once no live process consumes although one did."),
    fast_method<&M::push_many>("push_many",
        "push_many($self, values)\n--\n\n"
        "Push values from the front of a list or tuple until one does not fit, and return how\n"
        "many were pushed."),
    fast_method<&M::pop>("pop",
        "pop($self, tag=None)\n--\n\n"
        "Take the next message (raw bytes, or one value of `tag`), or None when every lane is\n"
        "empty. Each message goes to exactly one consumer; what one consumer takes from one\n"
        "producer comes in the order it was sent. The first consuming call of an object claims\n"
        "a consumer slot, kept until it closes or its process ends (BlockingIOError when live\n"
        "consumers hold all)."),
    fast_method<&M::get>("get",
        "get($self, tag=None, timeout=None, eof=False)\n--\n\n"
        "pop() that waits; raises queue.Empty when `timeout` passes. With eof=True it raises\n"
        "EOFError once the stream has ended and no message is left, as MpscRingBuffer.get()."),
    fast_method<&M::pop_mixed>("pop_mixed",
        "pop_mixed($self, schema)\n--\n\nPop one message and unpack it by `schema`, as SpscRingBuffer.pop_mixed()."),
    fast_method<&M::get_mixed>("get_mixed",
        "get_mixed($self, schema, timeout=None, eof=False)\n--\n\npop_mixed() that waits, as get()."),
    fast_method<&M::pop_many>("pop_many",
        "pop_many($self, max_count, tag=None)\n--\n\n"
        "Take up to `max_count` messages and return them as a list, empty when none waits.\n"
        "One call takes at most about one lane's capacity of bytes."),
    fast_method<&M::pop_into>("pop_into",
        "pop_into($self, buffer)\n--\n\n"
        "Copy the next message into `buffer` and return its length, or None when empty. A buffer\n"
        "too small raises ValueError and leaves the message for any consumer."),
    fast_method<&M::get_bytearray>("get_bytearray",
        "get_bytearray($self, timeout=None, eof=False)\n--\n\n"
        "The next message as a new bytearray, copied once out of the ring: a buffer of your\n"
        "own to read and write. Waits and ends (queue.Empty, eof=True: EOFError) as get() does."),
    fast_method<&M::loan>("loan",
        "loan($self, nbytes, timeout=None)\n--\n\n"
        "Write the next message in place, in this object's producer lane, as\n"
        "SpscRingBuffer.loan(): a `with` block gets a writable memoryview of `nbytes` bytes,\n"
        "published when the block ends and discarded when it raises. A message that would\n"
        "wrap around the lane's end is written to a scratch buffer and copied in at the end."),
    fast_method<&M::get_into>("get_into",
        "get_into($self, buffer, timeout=None, eof=False)\n--\n\npop_into() that waits, as get()."),
    noargs_method<&M::used>("used", "used($self)\n--\n\nReturn the bytes used in all producers' lanes together."),
    noargs_method<&M::capacity>("capacity",
        "capacity($self)\n--\n\nReturn the bytes each producer may have in flight (one lane's data capacity)."),
    noargs_method<free_bytes>("free",
        "free($self)\n--\n\nReturn the free bytes of this object's producer lane (the capacity before its first push)."),
    noargs_method<&M::is_empty>("is_empty", "is_empty($self)\n--\n\nReturn True when no producer's lane holds a message."),
    noargs_method<has_consumer>("has_consumer",
        "has_consumer($self)\n--\n\nReturn True when a live process (this one included) holds a consumer slot."),
    noargs_method<has_producer>("has_producer",
        "has_producer($self)\n--\n\nReturn True when a live process (this one included) holds a producer slot."),
    noargs_method<producers>("producers",
        "producers($self)\n--\n\nReturn the pids of the processes attached as producers, in slot order."),
    noargs_method<consumers>("consumers",
        "consumers($self)\n--\n\nReturn the pids of the processes attached as consumers, in slot order."),
    noargs_method<no_fileno>("fileno",
        "fileno($self)\n--\n\n"
        "Raises NotImplementedError: a work-sharing ring passes wake-ups between its consumers\n"
        "on its own doorbell, which no descriptor follows. Wait with get() in a thread."),
    noargs_method<no_fileno>("room_fileno",
        "room_fileno($self)\n--\n\nRaises NotImplementedError, as fileno()."),
    noargs_method<end>("end",
        "end($self)\n--\n\n"
        "End this object's stream as a producer: give up its slot, as close() and death do,\n"
        "keeping the object open (its consumer slot too). What it sent is still delivered. A\n"
        "later push registers it again as a new producer."),
    noargs_method<&M::check_consumer>("_check_consumer",
        "_check_consumer($self)\n--\n\n"
        "After push() returned False: raise BrokenPipeError when every consumer has gone, as\n"
        "put() does; otherwise return None."),
    noargs_method<&M::close>("close",
        "close($self)\n--\n\n"
        "Unmap the ring and give up this object's producer and consumer slots. Later calls\n"
        "raise ValueError; a call blocked in get() or put() on another thread gives up."),
    noargs_method<enter>("__enter__", "__enter__($self)\n--\n\n"),
    {"__exit__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&exit_closing)), METH_FASTCALL,
     "__exit__($self, *exc_info)\n--\n\nClose the ring."},
    noargs_method<reduce>("__reduce__", "__reduce__($self)\n--\n\nPickle as MpmcRingBuffer.open(name)."),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"max_payload", &M::max_payload, nullptr,
     "The largest payload one message may carry (capacity less the 4-byte length prefix).", nullptr},
    {"slots", &get_slots, nullptr, "The number of producer slots.", nullptr},
    {"consumer_slots", &get_consumer_slots, nullptr, "The number of consumer slots.", nullptr},
    {"expected", &get_expected, nullptr, "The producers create(expect=N) said to wait for, or None.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>(
        "A work-sharing ring: many producer processes, many consumer processes, in one\n"
        "shared-memory segment; each message goes to exactly one consumer.\n\n"
        "Producers are as on MpscRingBuffer: one lock-free lane of `capacity` bytes each.\n"
        "Consumers take messages by copy and hold no lock: one killed mid-take loses at most\n"
        "the message it had claimed, never duplicates one. Messages are always copied out\n"
        "(there is no get_view()). Make one with MpmcRingBuffer.create(), attach with open().")},
    {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc<MpmcState>)},
    {Py_tp_repr, reinterpret_cast<void*>(&repr_guard<repr>)},
    {Py_tp_methods, methods},
    {Py_tp_getset, getset},
    {0, nullptr},
};

}  // namespace

PyType_Spec mpmc_ring_buffer_spec = {
    "MpmcRingBuffer", static_cast<int>(sizeof(Object<MpmcState>)), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots,
};

}  // namespace velmora::py
