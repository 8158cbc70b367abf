// What the ring classes share about messages (SpscRingBuffer, MpscRingBuffer):
// building a payload from a Python value, copying large payloads without the
// interpreter lock, taking a found frame out as bytes or decoded values, the
// tag and timeout arguments, queue.Empty / queue.Full. Calls and roles go
// through the one lifecycle guard (lifecycle.hpp). Each class keeps its own
// state and its own method table.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "core/mpsc.hpp"
#include "core/ring.hpp"
#include "python/lifecycle.hpp"
#include "python/ref.hpp"
#include "python/scratch.hpp"
#include "python/support.hpp"
#include "python/values.hpp"
#include "python/wait_host.hpp"

namespace velmora::py {


inline std::uint64_t frame_length(const SpscFrame& f) noexcept { return f.length; }
inline std::uint64_t frame_length(const MpscFrame& f) noexcept { return f.frame.length; }

// A message payload described without copying: a list is encoded into the
// scratch buffer; anything else is borrowed from the object. When the call
// may run other threads before it copies (`stable`), a bytearray (which they
// could resize) is staged too; other exporters are pinned by `hold`.
struct Payload {
    EncodedView enc;
    BufferHold hold;
    bool failed = false;  // push_many: taking the buffer raised (err)
    PyObject* err[3] = {nullptr, nullptr, nullptr};
    ~Payload() {
        if (!thread_ending())
            for (PyObject* o : err) Py_XDECREF(o);
    }
    ByteSpan first() const { return ByteSpan(enc.head, enc.head_len); }
    ByteSpan second() const { return ByteSpan(enc.body, enc.body_len); }
    std::size_t size() const { return enc.size(); }
};

// True for a value whose encoding runs no Python code (the codec's own types
// and lists of them).
inline bool plain_value(PyObject* v) {
    return PyLong_Check(v) || PyFloat_Check(v) || PyUnicode_Check(v) || PyBytes_Check(v) || PyByteArray_Check(v) ||
           PyList_Check(v);
}

inline bool build_payload(PyObject* data, Scratch& buf, bool stable, Payload& out) {
    if (PyList_Check(data)) {
        std::string& bytes = buf.cleared();
        if (!encode_list(data, bytes)) return false;
        out.enc = EncodedView{};
        out.enc.body = reinterpret_cast<const std::uint8_t*>(bytes.data());
        out.enc.body_len = bytes.size();
        return true;
    }
    if (!encode_view(data, out.enc, &out.hold)) return false;
    if (stable && PyByteArray_Check(data)) {
        std::string& copy = buf.cleared();
        copy.assign(reinterpret_cast<const char*>(out.enc.body), out.enc.body_len);
        out.enc.body = reinterpret_cast<const std::uint8_t*>(copy.data());
    }
    return true;
}

// The values of one push_many, ready to be encoded while a role is held.
// Values of the codec's own types are encoded with nothing of Python
// running, straight from the borrowed items. Any other buffer exporter may
// run Python code when its buffer is taken (a __buffer__ method on 3.12+),
// which could change the sequence or close the ring: then the items are
// owned (a tuple of them) and every such buffer is taken in prepare(),
// before the role.
class Batch {
public:
    // False with an exception set. The caller checks the object is still
    // open afterwards (taken() says whether Python code may have run).
    bool prepare(PyObject* values) {
        values_ = values;
        n_ = PyList_Check(values) ? PyList_Size(values) : PyTuple_Size(values);
        if (n_ < 0) return false;
        for (Py_ssize_t i = 0; i < n_ && !taken_; ++i) {
            PyObject* item = at(i);
            if (item != nullptr && !plain_value(item)) taken_ = std::make_unique<Payload[]>(static_cast<std::size_t>(n_));
        }
        if (!taken_) return true;
        owned_ = Ref(PySequence_Tuple(values));
        if (!owned_) return false;
        values_ = owned_.get();
        for (Py_ssize_t i = 0; i < n_; ++i) {
            PyObject* item = PyTuple_GetItem(values_, i);
            if (plain_value(item)) continue;
            if (!encode_view(item, taken_[i].enc, &taken_[i].hold)) {
                taken_[i].failed = true;  // raised in order, after the values before it
                PyErr_Fetch(&taken_[i].err[0], &taken_[i].err[1], &taken_[i].err[2]);
                break;
            }
        }
        return true;
    }
    bool taken() const noexcept { return taken_ != nullptr; }
    Py_ssize_t size() const noexcept { return n_; }

    // Item i's payload: one taken in prepare(), or `own` built now (into
    // `buf`, which the previous item no longer needs). nullptr with an
    // exception set.
    Payload* item(Py_ssize_t i, Scratch& buf, Payload& own) {
        if (taken_ && !plain_value(PyTuple_GetItem(values_, i))) {
            Payload& p = taken_[i];
            if (!p.failed) return &p;
            PyErr_Restore(p.err[0], p.err[1], p.err[2]);
            p.err[0] = p.err[1] = p.err[2] = nullptr;
            return nullptr;
        }
        PyObject* item = at(i);
        if (item == nullptr || !build_payload(item, buf, false, own)) return nullptr;
        return &own;
    }

private:
    PyObject* at(Py_ssize_t i) const {
        return PyList_Check(values_) ? PyList_GetItem(values_, i) : PyTuple_GetItem(values_, i);
    }
    PyObject* values_ = nullptr;
    Ref owned_;
    std::unique_ptr<Payload[]> taken_;
    Py_ssize_t n_ = 0;
};

// Runs `copy` without the interpreter lock when it moves kLargeCopy bytes or
// more; its source and destination must then be stable (see build_payload).
template <class Copy>
auto large_copy(std::size_t n, bool stable, Copy copy) {
    if (n < kLargeCopy || !stable) return copy();
    const GilRelease released;
    return copy();
}

inline PyObject* push_result(Result<bool> pushed) {
    if (!pushed) return raise(pushed.error());
    return PyBool_FromLong(pushed.value());
}

// Raw pop: the payload goes straight into a new bytes object. Allocating a
// bytes object never runs Python code, so nothing else can consume the frame
// between finding it and committing it. If the allocation fails, the message
// stays in the ring.
template <class Ring, class Frame>
PyObject* take_raw(Ring& ring, const Frame& frame) {
    const std::uint64_t length = frame_length(frame);
    char* dst = nullptr;
    Ref out(new_bytes(length, dst));
    if (!out) return nullptr;
    large_copy(length, true, [&] { ring.copy_payload(frame, reinterpret_cast<std::uint8_t*>(dst)); return 0; });
    ring.commit(frame);
    return out.release();
}

// Decoded pop: copy into the scratch buffer, consume the message, then decode.
// A decoding failure is raised after the message is gone.
template <class Ring, class Frame, class Decode>
PyObject* take_decoded(std::string& scratch, Ring& ring, const Frame& frame, Decode decode) {
    const std::uint64_t length = frame_length(frame);
    Scratch buf(scratch);
    std::uint8_t* payload = buf.room(static_cast<std::size_t>(length));
    ring.copy_payload(frame, payload);
    ring.commit(frame);
    std::uint64_t consumed = 0;  // bytes after the decoded values go with the message
    return decode(payload, length, consumed);
}

// raise_queue and timeout_argument: python/wait_host.hpp.

struct NoDecode {
    PyObject* operator()(const std::uint8_t*, std::uint64_t, std::uint64_t&) const { return nullptr; }
};

// The optional tag of pop / get: empty for a raw pop. A non-str tag is refused
// before the ring is looked at.
inline bool tag_argument(PyObject* arg, std::optional<std::string_view>& tag) {
    if (omitted(arg)) return true;
    return arg_text(arg, "tag", tag.emplace());
}



}  // namespace velmora::py
