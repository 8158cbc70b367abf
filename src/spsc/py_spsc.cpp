// SpscRingBuffer: the Python face of one ring. Payloads are built with the
// value codec and copied into the ring in one pass; popped payloads are copied
// out once, the message is consumed, and only then is the result decoded, so
// the producer can reuse the space while the consumer is still decoding.
#include "spsc/py_spsc.hpp"

#include <cstring>
#include <string>
#include <utility>

#include "mixed/py_codec.hpp"
#include "module/py_ref.hpp"
#include "module/py_scratch.hpp"
#include "spsc/ring.hpp"

namespace velmora::py {
namespace {

// The ring (which owns the object's own mapping) and a scratch buffer reused
// across calls, so a list push or a decoded pop allocates nothing once the
// buffer has grown to the message sizes in use.
struct RingState {
    SpscRing ring;
    std::string scratch;
};

RingState& ring_state(PyObject* self) noexcept { return state_of<RingState>(self); }

PyObject* push_result(Result<bool> pushed) {
    if (!pushed) return raise(pushed.error());
    return PyBool_FromLong(pushed.value());
}

// A single value is copied straight from the object: no Python code runs
// between describing its bytes and copying them, so the borrowed body holds.
PyObject* push_value(RingState& s, PyObject* data) {
    EncodedView enc;
    if (!encode_view(data, enc)) return nullptr;
    return push_result(s.ring.push(ByteSpan(enc.head, enc.head_len), ByteSpan(enc.body, enc.body_len)));
}

PyObject* push_list(RingState& s, PyObject* list) {
    Scratch buf(s.scratch);
    std::string& payload = buf.cleared();
    if (!encode_list(list, payload)) return nullptr;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(payload.data());
    return push_result(s.ring.push(ByteSpan(bytes, payload.size())));
}

// Raw pop: the payload goes straight into a new bytes object. Allocating a
// bytes object never runs Python code, so nothing else can consume the frame
// between finding it and committing it. If the allocation fails, the message
// stays in the ring.
PyObject* pop_raw(RingState& s) {
    auto found = s.ring.begin_pop();
    if (!found) return raise(found.error());
    if (!found.value()) Py_RETURN_NONE;
    const SpscFrame frame = *found.value();
    Ref out(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(frame.length)));
    char* dst = out ? PyBytes_AsString(out.get()) : nullptr;
    if (dst == nullptr) return nullptr;
    s.ring.copy_payload(frame, reinterpret_cast<std::uint8_t*>(dst));
    s.ring.commit(frame);
    return out.release();
}

// Decoded pop: copy into the scratch buffer, consume the message, then decode.
// A decoding failure is raised after the message is gone.
template <class Decode>
PyObject* pop_decoded(RingState& s, Decode decode) {
    auto found = s.ring.begin_pop();
    if (!found) return raise(found.error());
    if (!found.value()) Py_RETURN_NONE;
    const SpscFrame frame = *found.value();
    Scratch buf(s.scratch);
    std::uint8_t* payload = buf.room(static_cast<std::size_t>(frame.length));
    s.ring.copy_payload(frame, payload);
    s.ring.commit(frame);
    std::uint64_t consumed = 0;  // bytes after the decoded values go with the message
    return decode(payload, frame.length, consumed);
}

// ---- methods ------------------------------------------------------------------

PyObject* push(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"data"};
    static const Signature sig{"SpscRingBuffer.push()", names, 1, 1};
    PyObject* argv[1];
    if (!bind(sig, args, nargs, kwnames, argv)) return nullptr;
    RingState& s = ring_state(self);
    return PyList_Check(argv[0]) ? push_list(s, argv[0]) : push_value(s, argv[0]);
}

PyObject* pop(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"tag"};
    static const Signature sig{"SpscRingBuffer.pop()", names, 1, 0};
    PyObject* argv[1];
    if (!bind(sig, args, nargs, kwnames, argv)) return nullptr;
    if (omitted(argv[0])) return pop_raw(ring_state(self));
    std::string_view tag;  // points into the str argument, which the caller holds
    if (!arg_text(argv[0], "tag", tag)) return nullptr;
    return pop_decoded(ring_state(self), [tag](const std::uint8_t* data, std::uint64_t len, std::uint64_t& used) {
        return decode_value(data, len, tag, used);
    });
}

PyObject* pop_mixed(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"schema"};
    static const Signature sig{"SpscRingBuffer.pop_mixed()", names, 1, 1};
    PyObject* argv[1];
    if (!bind(sig, args, nargs, kwnames, argv) || !arg_list(argv[0], "schema")) return nullptr;
    PyObject* schema = argv[0];
    return pop_decoded(ring_state(self), [schema](const std::uint8_t* data, std::uint64_t len, std::uint64_t& used) {
        return unpack_schema(data, len, schema, used);
    });
}

PyObject* used(PyObject* self, PyObject*) { return PyLong_FromUnsignedLongLong(ring_state(self).ring.used()); }

PyObject* capacity(PyObject* self, PyObject*) {
    return PyLong_FromUnsignedLongLong(ring_state(self).ring.capacity());
}

PyObject* free_bytes(PyObject* self, PyObject*) {
    return PyLong_FromUnsignedLongLong(ring_state(self).ring.free());
}

PyObject* is_empty(PyObject* self, PyObject*) { return PyBool_FromLong(ring_state(self).ring.is_empty()); }

PyObject* is_full(PyObject* self, PyObject*) { return PyBool_FromLong(ring_state(self).ring.is_full()); }

PyObject* repr(PyObject* self) {
    const SpscRing& ring = ring_state(self).ring;
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
        "space for it (back-pressure: try again later). Raises ValueError for an\n"
        "unsupported value or a message longer than the ring's capacity."),
    fast_method<pop>("pop",
        "pop($self, tag=None)\n--\n\n"
        "Read the oldest message, or return None when the ring is empty.\n\n"
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
    {nullptr, nullptr, 0, nullptr},
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
        "primitives, so it behaves the same on every platform. Exactly one producer and one\n"
        "consumer may use it at a time; anything else is a data race. Obtain one with\n"
        "SharedMemory.spsc().")},
    {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc<RingState>)},
    {Py_tp_repr, reinterpret_cast<void*>(&repr_guard<repr>)},
    {Py_tp_methods, methods},
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
    return new_object<RingState>(type, RingState{std::move(ring).value(), std::string()});
}

}  // namespace velmora::py
