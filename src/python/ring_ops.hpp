// What the ring classes share about messages (SpscRingBuffer, MpscRingBuffer):
// building a payload from a Python value, copying large payloads without the
// interpreter lock, taking a found frame out as bytes or decoded values, the
// tag and timeout arguments, queue.Empty / queue.Full, and the per-object role
// guard. Each class keeps its own state and its own method table.
#pragma once

#include <atomic>
#include <cstdint>
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

// Copies of at least this many bytes run without the interpreter lock.
constexpr std::size_t kLargeCopy = std::size_t{64} << 10;


inline std::uint64_t frame_length(const SpscFrame& f) noexcept { return f.length; }
inline std::uint64_t frame_length(const MpscFrame& f) noexcept { return f.frame.length; }

// One thread of this process at a time in each role of one ring object
// (SpscRingBuffer, MpscRingBuffer: `State` has the open ring, `busy`, kClass
// and claim_role(owner), the process's own claim of that role, taken on entry). Only a
// call that lets go of the interpreter lock (a wait, a large copy) could let
// a second producer (or consumer) thread into the ring, so only such a call
// claims its role, with hold(); every call first waits, without the
// interpreter lock, until no other thread holds the role. So the common call
// costs one load. The same thread coming back in while it holds the role (a
// signal handler run during a wait) is refused rather than deadlocked. The
// owner and the in-flight count change only with the interpreter lock held.
template <class State>
class RoleGuard {
public:
    RoleGuard(const RoleGuard&) = delete;
    RoleGuard& operator=(const RoleGuard&) = delete;
    RoleGuard(RoleGuard&& o) noexcept : s_(o.s_), owner_(std::exchange(o.owner_, nullptr)), held_(o.held_) {}
    ~RoleGuard() {
        if (owner_ == nullptr || !held_) return;
        owner_->store(0, std::memory_order_release);
        s_.busy.store(s_.busy.load(std::memory_order_relaxed) - 1, std::memory_order_release);
    }

    // Empty, with an exception set, when the object is closed, the caller
    // already holds this role, a signal handler raised while it waited, or
    // another process holds the role (BlockingIOError).
    static std::optional<RoleGuard> enter(State& s, std::atomic<std::uint64_t>& owner) {
        while (owner.load(std::memory_order_acquire) != 0) {
            if (owner.load() == PyThread_get_thread_ident()) {
                PyErr_Format(PyExc_RuntimeError, "%s is already in use by this thread in this role", State::kClass);
                return std::nullopt;
            }
            GilWait host;
            const auto free = [&] { return owner.load(std::memory_order_acquire) == 0; };
            if (wait_until(free, Deadline::never(), host) != WaitResult::Ready) return std::nullopt;
        }
        if (!s.ring) return raise_closed(State::kClass), std::nullopt;
        if (Status ok = s.claim_role(owner); !ok) return raise(ok.error()), std::nullopt;
        return RoleGuard(s, owner);
    }

    // Claims the role (and counts the call in flight, see InUse) before the
    // interpreter lock is let go.
    void hold() noexcept {
        if (held_) return;
        held_ = true;
        owner_->store(PyThread_get_thread_ident(), std::memory_order_relaxed);
        s_.busy.store(s_.busy.load(std::memory_order_relaxed) + 1, std::memory_order_release);
    }

private:
    RoleGuard(State& s, std::atomic<std::uint64_t>& owner) noexcept : s_(s), owner_(&owner) {}
    State& s_;
    std::atomic<std::uint64_t>* owner_;
    bool held_ = false;
};

// A message payload described without copying: a list is encoded into the
// scratch buffer; anything else is borrowed from the object. When the call
// may run other threads before it copies (`stable`), a bytearray (which they
// could resize) is staged too; other exporters are pinned by `hold`.
struct Payload {
    EncodedView enc;
    BufferHold hold;
    ByteSpan first() const { return ByteSpan(enc.head, enc.head_len); }
    ByteSpan second() const { return ByteSpan(enc.body, enc.body_len); }
    std::size_t size() const { return enc.size(); }
};

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
    Ref out(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(length)));
    char* dst = out ? PyBytes_AsString(out.get()) : nullptr;
    if (dst == nullptr) return nullptr;
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

inline PyObject* raise_queue(const char* which) {
    Ref queue(PyImport_ImportModule("queue"));
    Ref type(queue ? PyObject_GetAttrString(queue.get(), which) : nullptr);
    if (type) PyErr_SetNone(type.get());
    return nullptr;
}


struct NoDecode {
    PyObject* operator()(const std::uint8_t*, std::uint64_t, std::uint64_t&) const { return nullptr; }
};

// The optional tag of pop / get: empty for a raw pop. A non-str tag is refused
// before the ring is looked at.
inline bool tag_argument(PyObject* arg, std::optional<std::string_view>& tag) {
    if (omitted(arg)) return true;
    return arg_text(arg, "tag", tag.emplace());
}

// An optional timeout in seconds: None waits for ever.
inline bool timeout_argument(PyObject* arg, Deadline& out) {
    if (omitted(arg)) return out = Deadline::never(), true;
    const double seconds = PyFloat_AsDouble(arg);
    if (seconds == -1.0 && PyErr_Occurred()) return false;
    if (seconds != seconds || seconds < 0) {
        PyErr_SetString(PyExc_ValueError, "timeout must be a number of seconds >= 0, or None");
        return false;
    }
    out = Deadline::after_seconds(seconds);
    return true;
}


}  // namespace velmora::py
