// MappedView: one mapping of a whole segment whose first RWLOCK_SIZE bytes are
// the ShmRwLock word and the rest the data area. Every method checks, encodes
// and packs before it takes the lock, so a hold covers one copy (or one
// decode) and a failed call leaves the data, the word and the cursor as they were.
#include "python/mapped_view.hpp"

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <span>
#include <limits>
#include <optional>
#include <string>

#include "core/codec.hpp"
#include "core/packing.hpp"
#include "python/values.hpp"
#include "python/lifecycle.hpp"
#include "python/ref.hpp"
#include "python/scratch.hpp"
#include "python/lock_scope.hpp"
#include "python/wait_host.hpp"
#include "core/lock.hpp"
#include "core/view_attach.hpp"
#include "core/view_rules.hpp"
#include "core/words.hpp"

namespace velmora::py {
namespace {

// The hold of a `with view.write_locked()` / `view.read_locked()` block: at
// most one per view, kept from __enter__ to __exit__ by the thread that took
// it. Only that thread's calls on this view run under it without taking the
// lock; every other thread takes the lock word as usual, so it waits for the
// block to end (or shares a read block with its own shared hold). Changed with
// the interpreter lock held, except the claim of `owner`, which a thread takes
// while it waits for the lock.
struct ScopeHold {
    std::atomic<unsigned long> owner{0};  // the thread holding (or taking) the block; 0: none
    std::atomic<bool> holding{false};     // set once the hold below is complete
    std::uint64_t generation = 0;         // fork_generation() of the process that took the hold
    // Filled by the owner's wait (counted as this process's holds, view_attach.hpp).
    std::optional<CountedHoldOf<false>> shared;
    std::optional<CountedHoldOf<true>> exclusive;

    ScopeHold() = default;
    ScopeHold(const ScopeHold&) = delete;
    ScopeHold& operator=(const ScopeHold&) = delete;
    ~ScopeHold() { end(); }

    bool held() const noexcept { return holding.load(std::memory_order_relaxed); }
    // A hold copied into a forked child: the parent still owns the lock word.
    bool inherited() const noexcept { return held() && generation != fork_generation(); }
    bool held_by(unsigned long thread) const noexcept {
        return held() && owner.load(std::memory_order_relaxed) == thread && generation == fork_generation();
    }
    // Gives the hold back, or only forgets it in a forked child, and frees the slot.
    void end() noexcept {
        if (inherited()) {
            if (shared) shared->abandon();
            if (exclusive) exclusive->abandon();
        }
        shared.reset();
        exclusive.reset();
        holding.store(false);
        owner.store(0);
    }
};

// The view's own mapping and its cursor. The cursor is private to this view
// (two views of one segment share the data and the lock, not the cursor) and
// stays within [0, data_size]. Atomic so that every read and update of it is a
// whole value, whatever runs in between.
struct ViewState {
    Mapping mapping;
    std::string name;                   // the segment's, for messages
    HeldSegment anonymous;              // an anonymous segment's own open, for pickling
    std::atomic<std::uint64_t> cursor{0};
    std::optional<std::chrono::duration<double>> lock_timeout;  // none: wait for ever
    std::string scratch;  // staging for writes and decoded reads, reused across calls
    Lifecycle life;                      // calls in flight, close()
    Py_ssize_t exports = 0;              // live buffer exports; changed with the interpreter lock held
    mutable std::atomic<std::uint64_t> recoveries{0};  // locks this handle recovered from a holder that had gone
    mutable ViewAttachment attachment;   // this process attached; its holds of the word counted
    ScopeHold scope;                     // after `mapping` and `attachment`: given back before either goes

    ViewState(Mapping m, std::string segment, std::shared_ptr<ClaimSite> site) noexcept
        : mapping(std::move(m)), name(std::move(segment)), attachment(std::move(site)) {}
    ViewState(ViewState&& other) noexcept
        : mapping(std::move(other.mapping)), name(std::move(other.name)), anonymous(std::move(other.anonymous)),
          cursor(other.cursor.load()),
          lock_timeout(other.lock_timeout), scratch(std::move(other.scratch)),
          attachment(std::move(other.attachment)) {}

    // close() inside a block (or from another thread while one is held): the
    // block's hold is given back with the mapping; its end then does nothing.
    void release() noexcept {
        scope.end();
        mapping = Mapping();
        attachment.detach();
    }

    ShmRwLock lock() const noexcept { return ShmRwLock(mapping.base()); }
    std::uint8_t* data() const noexcept { return mapping.base() + RWLOCK_SIZE; }
    std::uint64_t data_size() const noexcept { return mapping.size() - RWLOCK_SIZE; }

    // Moves the cursor past what a cursor-mode call just read or wrote at
    // `start`. `start` + `n` was checked against data_size. A compare-exchange
    // rather than an add: while the call waited for the lock, a signal handler
    // (or a thread it let run) may have seeked this view; that seek then wins
    // and the cursor can never be pushed past the data area.
    void advance(std::uint64_t start, std::uint64_t n) noexcept {
        cursor.compare_exchange_strong(start, start + n);
    }
};

ViewState& view(PyObject* self) noexcept { return state_of<ViewState>(self); }

PyObject* raise_timeout(const ViewState& v) {
    Ref seconds(PyFloat_FromDouble(v.lock_timeout ? v.lock_timeout->count() : 0));
    Ref text(seconds ? PyObject_Repr(seconds.get()) : nullptr);
    std::string_view shown;
    if (!text || !to_text(text.get(), shown)) return nullptr;
    return raise(lock_timeout_error(shown, v.name, v.lock().value()));
}

// A call of the thread that holds the view's lock scope runs under that hold:
// empty when the calling thread holds no block on this view; else true once
// `work` ran, or false with RuntimeError for a write inside read_locked().
template <bool Exclusive, class Work>
std::optional<bool> run_in_scope(const ViewState& v, Work& work) {
    if (!v.scope.held_by(PyThread_get_thread_ident())) return std::nullopt;
    if (Exclusive && !v.scope.exclusive) {
        raise(PyExc_RuntimeError, Reason::invalid_argument, "cannot write to a MappedView inside its read_locked() block");
        return false;
    }
    work();
    return true;
}

// The lock wait's host: gives up, like ClosingWait, on close() and signals;
// and at each poll resets a word whose holder is gone (view_attach.hpp), with
// a LockRecoveredWarning that names the processes that had the segment open
// when the wait began and have gone since (the word itself records no pid).
// A warning turned into an error ends the wait.
struct RecoveringWait {
    ClosingWait inner;
    const ViewState& v;
    bool warning_raised = false;
    std::optional<std::vector<long>> attached;  // the others attached at the first poll
    void suspend() noexcept { inner.suspend(); }
    bool poll() {
        if (inner.poll()) return true;
        if (!attached) attached = v.attachment.attached_elsewhere();
        const std::optional<std::int32_t> found = v.attachment.recover_abandoned(v.lock());
        if (!found) return false;
        v.recoveries.fetch_add(1, std::memory_order_relaxed);
        std::string gone;
        for (const long pid : *attached) gone += (gone.empty() ? "pid " : ", pid ") + std::to_string(pid);
        if (gone.empty()) gone = "a process that had gone before this wait began";
        inner.gil.resume();
        warning_raised = PyErr_WarnFormat(lock_recovered_warning(), 1,
                                          "MappedView '%s': the lock word held %d and its holder has gone (%s); "
                                          "the lock was reset, and data it was writing may be half-written",
                                          v.name.c_str(), static_cast<int>(*found), gone.c_str()) < 0;
        if (!warning_raised) inner.gil.suspend();
        return warning_raised;
    }
};

// Runs `work` under the lock, shared or exclusive. A wait past the short spin
// releases the interpreter lock, so `work` must touch no Python object: it
// copies bytes between the mapping and memory the caller owns. False with an
// exception set when the wait timed out (TimeoutError) or a signal handler
// raised; nothing has changed then.
template <bool Exclusive, class Work>
bool with_lock(const ViewState& v, Work work) {
    // Python code run since the call began (a __buffer__ method, a finalizer)
    // may have closed the view: then it is not waited for.
    if (v.life.closing()) return raise_closed("MappedView"), false;
    // One relaxed load when no thread holds a block on this view.
    if (v.scope.owner.load(std::memory_order_relaxed) != 0)
        if (const std::optional<bool> done = run_in_scope<Exclusive>(v, work)) return *done;
    if (Status ok = v.attachment.attach(); !ok) return raise(ok.error()), false;
    // First in, last out: the lock is released before the interpreter lock is retaken.
    RecoveringWait host{ClosingWait(v.life), v, false, std::nullopt};
    const Deadline deadline = deadline_within(v.lock_timeout);
    const ShmRwLock lock = v.lock();
    const bool held = [&] {
        std::optional<CountedHoldOf<Exclusive>> hold;
        const auto attempt = [&] { return v.attachment.try_lock<Exclusive>(lock, hold); };
        if (wait_until(attempt, deadline, host) != WaitResult::Ready) return false;
        work();
        return true;
    }();
    host.inner.gil.resume();
    if (held || host.warning_raised || host.inner.gil.interrupted()) return held;
    if (host.inner.closed) raise_closed("MappedView");
    else raise_timeout(v);
    return held;
}

// An optional offset argument: empty (cursor mode) when omitted or None.
bool optional_offset(PyObject* arg, std::optional<std::uint64_t>& out) {
    if (omitted(arg)) return true;
    return arg_u64(arg, "offset", out.emplace());
}

// Copies [start, start + n) of the data area (already range-checked) into a
// new bytes object, allocated before the lock so the hold is one memcpy.
PyObject* copy_out(const ViewState& v, std::uint64_t start, std::uint64_t n) {
    char* dst = nullptr;
    Ref out(new_bytes(n, dst));
    if (!out) return nullptr;
    if (!with_lock<false>(v, [&] { std::memcpy(dst, v.data() + start, static_cast<std::size_t>(n)); }))
        return nullptr;
    return out.release();
}

// Writes an encoding at `offset`, or at the cursor and advances it. The
// encoding's bytes must not change while the lock is awaited: they belong to
// an immutable object or to the caller's staging buffer.
PyObject* store(ViewState& v, std::optional<std::uint64_t> offset, const EncodedView& bytes) {
    const std::uint64_t start = offset.value_or(v.cursor.load());
    if (Status ok = check_range(start, bytes.size(), v.data_size()); !ok) return raise(ok.error());
    if (!with_lock<true>(v, [&] { bytes.copy_to(v.data() + start); })) return nullptr;
    if (!offset) v.advance(start, bytes.size());
    Py_RETURN_NONE;
}

// Decodes from the data area at `start` (<= data_size): under the shared lock
// only the bytes the decode will read are copied out (`extent` finds their
// end); the Python objects are built after the release, from the copy, with
// the same length limit as the data area so every result and message is what
// a decode in place would give. In cursor mode the cursor then moves past
// what was decoded.
template <class Extent, class Decode>
PyObject* decode_at(ViewState& v, std::uint64_t start, bool cursor_mode, Extent extent, Decode decode) {
    Scratch buf(v.scratch);
    const std::uint64_t len = v.data_size() - start;
    std::uint8_t* copy = nullptr;
    if (!with_lock<false>(v, [&] {
            const std::uint64_t n = extent(v.data() + start, len);
            copy = buf.room(static_cast<std::size_t>(n));
            std::memcpy(copy, v.data() + start, static_cast<std::size_t>(n));
        }))
        return nullptr;
    std::uint64_t consumed = 0;
    PyObject* result = decode(copy, len, consumed);
    if (result != nullptr && cursor_mode) v.advance(start, consumed);
    return result;
}

EncodedView borrow_bytes(const std::string& buf) noexcept {
    EncodedView view;
    view.body = reinterpret_cast<const std::uint8_t*>(buf.data());
    view.body_len = buf.size();
    return view;
}

// ---- methods ------------------------------------------------------------------

PyObject* read_all(PyObject* self, PyObject*) {
    const ViewState& v = view(self);
    return copy_out(v, 0, v.data_size());
}

PyObject* read_range(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"offset", "length"};
    static const Signature sig{"MappedView.read_range()", names, 2, 2};
    PyObject* argv[2];
    std::uint64_t offset = 0, length = 0;
    if (!bind(sig, args, nargs, kwnames, argv) || !arg_u64(argv[0], "offset", offset) ||
        !arg_u64(argv[1], "length", length))
        return nullptr;
    const ViewState& v = view(self);
    if (Status ok = check_range(offset, length, v.data_size()); !ok) return raise(ok.error());
    return copy_out(v, offset, length);
}

PyObject* write(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"data", "offset"};
    static const Signature sig{"MappedView.write()", names, 2, 1};
    PyObject* argv[2];
    std::optional<std::uint64_t> offset;
    EncodedView encoded;
    BufferHold pinned;
    if (!bind(sig, args, nargs, kwnames, argv) || !optional_offset(argv[1], offset) ||
        !encode_view(argv[0], encoded, &pinned))
        return nullptr;
    // The encoding borrows the object's own bytes. Waiting for the lock may run
    // a signal handler, which could resize a bytearray under that pointer, so a
    // bytearray is taken as it is now; bytes and str cannot change.
    ViewState& v = view(self);
    Scratch buf(v.scratch);
    if (PyByteArray_Check(argv[0])) {
        std::string& snapshot = buf.cleared();
        snapshot.assign(reinterpret_cast<const char*>(encoded.body), encoded.body_len);
        encoded = borrow_bytes(snapshot);
    }
    return store(v, offset, encoded);
}

// ---- structs: several numbers under one hold ------------------------------------

// Layouts up to this size are staged on the stack; longer ones in the scratch.
constexpr std::uint32_t kStackPack = 256;

// Stores `value` as `item` at `out + item.offset`. Every conversion (which may
// run Python code: __index__, __float__, __bool__) happens here, before the
// lock is taken.
bool pack_value(PyObject* value, const PackItem& item, std::uint8_t* out) {
    std::uint8_t* at = out + item.offset;
    switch (item.code) {
        case PackCode::Bool: {
            const int truth = PyObject_IsTrue(value);
            if (truth < 0) return false;
            *at = static_cast<std::uint8_t>(truth);
            return true;
        }
        case PackCode::F32:
        case PackCode::F64: {
            const double d = PyFloat_AsDouble(value);
            if (d == -1.0 && PyErr_Occurred()) return false;
            if (item.code == PackCode::F64) return store_le(at, d), true;
            const auto f = static_cast<float>(d);
            if (std::isinf(f) && !std::isinf(d)) {
                raise(PyExc_OverflowError, Reason::too_large, "float too large for an f32");
                return false;
            }
            return store_le(at, f), true;
        }
        default: break;
    }
    // Integers: an int, or an object with __index__ (not a float).
    Ref index(PyNumber_Index(value));
    if (!index) return false;
    if (item.code == PackCode::U64) {
        const unsigned long long u = PyLong_AsUnsignedLongLong(index.get());
        if (u == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
        return store_le(at, static_cast<std::uint64_t>(u)), true;
    }
    const long long n = PyLong_AsLongLong(index.get());
    if (n == -1 && PyErr_Occurred()) return false;
    const auto fits = [n](long long lo, long long hi) { return n >= lo && n <= hi; };
    switch (item.code) {
        case PackCode::I64: store_le(at, static_cast<std::int64_t>(n)); return true;
        case PackCode::I32:
            if (!fits(INT32_MIN, INT32_MAX)) break;
            store_le(at, static_cast<std::int32_t>(n));
            return true;
        case PackCode::U32:
            if (!fits(0, UINT32_MAX)) break;
            store_le(at, static_cast<std::uint32_t>(n));
            return true;
        case PackCode::U8:
            if (!fits(0, UINT8_MAX)) break;
            *at = static_cast<std::uint8_t>(n);
            return true;
        default: break;
    }
    raise(PyExc_OverflowError, Reason::too_large,
          std::to_string(n) + " does not fit in a " +
              (item.code == PackCode::I32 ? "i32" : item.code == PackCode::U32 ? "u32" : "u8"));
    return false;
}

PyObject* unpack_value(const std::uint8_t* data, const PackItem& item) {
    const std::uint8_t* at = data + item.offset;
    switch (item.code) {
        case PackCode::Bool: return PyBool_FromLong(*at != 0);
        case PackCode::U8: return PyLong_FromLong(*at);
        case PackCode::I32: return PyLong_FromLong(load_le<std::int32_t>(at));
        case PackCode::U32: return PyLong_FromUnsignedLong(load_le<std::uint32_t>(at));
        case PackCode::I64: return PyLong_FromLongLong(load_le<std::int64_t>(at));
        case PackCode::U64: return PyLong_FromUnsignedLongLong(load_le<std::uint64_t>(at));
        case PackCode::F32: return PyFloat_FromDouble(load_le<float>(at));
        case PackCode::F64: return PyFloat_FromDouble(load_le<double>(at));
    }
    return nullptr;
}

// The (format, offset) pair both struct methods start with: the layout, and
// the offset checked against the data area.
bool struct_target(const ViewState& v, PyObject* const* args, std::optional<PackLayout>& layout,
                   std::uint64_t& offset) {
    std::string_view format;
    if (!arg_text(args[0], "format", format) || !arg_u64(args[1], "offset", offset)) return false;
    Result<PackLayout> parsed = PackLayout::parse(format);
    if (!parsed) return raise(parsed.error()), false;
    layout.emplace(std::move(parsed).value());
    if (Status ok = check_range(offset, layout->size(), v.data_size()); !ok) return raise(ok.error()), false;
    return true;
}

// write_struct(format, offset, *values): positional only, so that the values
// are the call's own argument array (no tuple is built for them).
PyObject* write_struct(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (kwnames != nullptr && PyTuple_Size(kwnames) != 0) {
        PyErr_SetString(PyExc_TypeError, "MappedView.write_struct() takes no keyword arguments");
        return nullptr;
    }
    if (nargs < 2) {
        PyErr_SetString(PyExc_TypeError, "MappedView.write_struct() takes a format, an offset and the values");
        return nullptr;
    }
    ViewState& v = view(self);
    std::optional<PackLayout> layout;
    std::uint64_t offset = 0;
    if (!struct_target(v, args, layout, offset)) return nullptr;
    const std::span<const PackItem> items = layout->items();
    if (static_cast<std::size_t>(nargs - 2) != items.size()) {
        PyErr_Format(PyExc_TypeError, "MappedView.write_struct(): the format has %zd values, %zd were given",
                     static_cast<Py_ssize_t>(items.size()), nargs - 2);
        return nullptr;
    }
    const std::uint32_t n = layout->size();
    std::uint8_t stack[kStackPack];
    Scratch buf(v.scratch);
    std::uint8_t* packed = n <= kStackPack ? stack : buf.room(n);
    std::memset(packed, 0, n);  // the padding
    for (std::size_t i = 0; i < items.size(); ++i)
        if (!pack_value(args[i + 2], items[i], packed)) return nullptr;
    if (!with_lock<true>(v, [&] { std::memcpy(v.data() + offset, packed, n); })) return nullptr;
    Py_RETURN_NONE;
}

// read_struct(format, offset, names=None): one copy under the read lock, the
// objects built after the release from that copy.
PyObject* read_struct(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names_[] = {"format", "offset", "names"};
    static const Signature sig{"MappedView.read_struct()", names_, 3, 2};
    PyObject* argv[3];
    if (!bind(sig, args, nargs, kwnames, argv)) return nullptr;
    ViewState& v = view(self);
    std::optional<PackLayout> layout;
    std::uint64_t offset = 0;
    if (!struct_target(v, argv, layout, offset)) return nullptr;
    const std::span<const PackItem> items = layout->items();
    PyObject* names = omitted(argv[2]) ? nullptr : argv[2];
    if (names != nullptr) {
        if (!PyTuple_Check(names) || PyTuple_Size(names) != static_cast<Py_ssize_t>(items.size())) {
            PyErr_Format(PyExc_TypeError, "MappedView.read_struct(): names must be a tuple of %zd keys",
                         static_cast<Py_ssize_t>(items.size()));
            return nullptr;
        }
    }
    const std::uint32_t n = layout->size();
    std::uint8_t stack[kStackPack];
    Scratch buf(v.scratch);
    std::uint8_t* copy = n <= kStackPack ? stack : buf.room(n);
    if (!with_lock<false>(v, [&] { std::memcpy(copy, v.data() + offset, n); })) return nullptr;
    const auto size = static_cast<Py_ssize_t>(items.size());
    Ref out(names != nullptr ? PyDict_New() : PyTuple_New(size));
    if (!out) return nullptr;
    for (Py_ssize_t i = 0; i < size; ++i) {
        PyObject* item = unpack_value(copy, items[static_cast<std::size_t>(i)]);
        if (item == nullptr) return nullptr;
        if (names == nullptr) {
            PyTuple_SetItem(out.get(), i, item);  // steals it
            continue;
        }
        const int failed = PyDict_SetItem(out.get(), PyTuple_GetItem(names, i), item);
        Py_DECREF(item);
        if (failed < 0) return nullptr;
    }
    return out.release();
}

PyObject* seek(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"pos"};
    static const Signature sig{"MappedView.seek()", names, 1, 0};
    PyObject* argv[1];
    std::uint64_t pos = 0;
    // The default is 0, not None: an explicit None is a conversion error.
    if (!bind(sig, args, nargs, kwnames, argv) || (argv[0] != nullptr && !arg_u64(argv[0], "pos", pos)))
        return nullptr;
    ViewState& v = view(self);
    if (Status ok = check_position(pos, v.data_size()); !ok) return raise(ok.error());
    v.cursor.store(pos);
    Py_RETURN_NONE;
}

PyObject* tell(PyObject* self, PyObject*) { return PyLong_FromUnsignedLongLong(view(self).cursor.load()); }

PyObject* read(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"tag"};
    static const Signature sig{"MappedView.read()", names, 1, 1};
    PyObject* argv[1];
    std::string_view tag;
    if (!bind(sig, args, nargs, kwnames, argv) || !arg_text(argv[0], "tag", tag)) return nullptr;
    ViewState& v = view(self);
    const std::optional<Form> form = lookup_tag(tag);  // unknown: nothing is read, decode reports it
    const auto extent = [form](const std::uint8_t* data, std::uint64_t len) {
        return form ? run_extent(*form, 1, data, len, 0).end : 0;
    };
    return decode_at(v, v.cursor.load(), true, extent,
                     [tag](const std::uint8_t* data, std::uint64_t len, std::uint64_t& used) {
                         return decode_value(data, len, tag, used);
                     });
}

PyObject* read_mixed(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"schema", "offset"};
    static const Signature sig{"MappedView.read_mixed()", names, 2, 1};
    PyObject* argv[2];
    std::optional<std::uint64_t> offset;
    if (!bind(sig, args, nargs, kwnames, argv) || !arg_list(argv[0], "schema") ||
        !optional_offset(argv[1], offset))
        return nullptr;
    ViewState& v = view(self);
    const std::uint64_t start = offset.value_or(v.cursor.load());
    if (start >= v.data_size())
        return raise(Error::value("read_mixed: no data available at current cursor position"));
    // Converted in full before the lock: no __index__ runs while it is held.
    ParsedSchema schema;
    if (!schema.parse(argv[0])) return nullptr;
    return decode_at(v, start, !offset,
                     [&schema](const std::uint8_t* data, std::uint64_t len) { return schema.extent(data, len); },
                     [&schema](const std::uint8_t* data, std::uint64_t len, std::uint64_t& used) {
                         return schema.decode(data, len, used);
                     });
}

PyObject* write_mixed(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"items", "offset"};
    static const Signature sig{"MappedView.write_mixed()", names, 2, 1};
    PyObject* argv[2];
    std::optional<std::uint64_t> offset;
    ViewState& v = view(self);
    Scratch buf(v.scratch);
    std::string& packed = buf.cleared();
    if (!bind(sig, args, nargs, kwnames, argv) || !arg_list(argv[0], "items") ||
        !optional_offset(argv[1], offset) || !pack_items(argv[0], packed))
        return nullptr;
    return store(v, offset, borrow_bytes(packed));
}

PyObject* zero(PyObject* self, PyObject*) {
    const ViewState& v = view(self);
    if (!with_lock<true>(v, [&] { std::memset(v.data(), 0, static_cast<std::size_t>(v.data_size())); }))
        return nullptr;
    Py_RETURN_NONE;
}

PyObject* reader_count(PyObject* self, PyObject*) { return PyLong_FromLong(view(self).lock().reader_count()); }

PyObject* is_write_locked(PyObject* self, PyObject*) {
    return PyBool_FromLong(view(self).lock().is_write_locked() ? 1 : 0);
}

PyObject* size(PyObject* self, PyObject*) { return PyLong_FromUnsignedLongLong(view(self).data_size()); }

PyObject* lock_recoveries(PyObject* self, PyObject*) {
    return PyLong_FromUnsignedLongLong(view(self).recoveries.load(std::memory_order_relaxed));
}

// ---- lock scopes and words ------------------------------------------------------

// write_locked() / read_locked(): the scope object; the lock is taken by its
// __enter__ (enter_lock_scope below).
PyObject* write_locked(PyObject* self, PyObject*) { return new_lock_scope(self, true); }
PyObject* read_locked(PyObject* self, PyObject*) { return new_lock_scope(self, false); }

// Takes the view's lock for a block, shared or exclusive, and keeps it in
// `scope` until leave_lock_scope. The wait is the one every call makes (the
// timeout, the released interpreter lock, signals, close()), for the scope
// slot first (another thread's block on this view) and then the lock word.
// False with an exception set when it was not taken.
bool enter_scope(ViewState& v, bool exclusive) {
    ScopeHold& scope = v.scope;
    if (scope.inherited()) scope.end();  // the parent's block, copied by fork()
    const unsigned long me = PyThread_get_thread_ident();
    if (scope.owner.load() == me) {
        raise(PyExc_RuntimeError, Reason::busy, "this thread already holds a lock scope of this MappedView (no re-entry)");
        return false;
    }
    if (Status ok = v.attachment.attach(); !ok) return raise(ok.error()), false;
    const ShmRwLock lock = v.lock();
    bool claimed = false;
    // Only the thread that claimed the slot fills the hold; others look at
    // `holding` first, which is set once the interpreter lock is back.
    const auto attempt = [&] {
        if (!claimed) {
            unsigned long none = 0;
            if (!(claimed = scope.owner.compare_exchange_strong(none, me))) return false;
        }
        return exclusive ? v.attachment.try_lock<true>(lock, scope.exclusive)
                         : v.attachment.try_lock<false>(lock, scope.shared);
    };
    RecoveringWait host{ClosingWait(v.life), v, false, std::nullopt};
    const WaitResult waited = wait_until(attempt, deadline_within(v.lock_timeout), host);
    host.inner.gil.resume();
    if (waited != WaitResult::Ready) {
        if (claimed) scope.owner.store(0);
        if (host.warning_raised || host.inner.gil.interrupted()) return false;
        if (host.inner.closed) raise_closed("MappedView");
        else raise_timeout(v);
        return false;
    }
    scope.generation = fork_generation();
    scope.holding.store(true);
    return true;
}

// The word at the `offset` argument: ValueError when it is misaligned in the
// mapping or out of range.
bool word_at(ViewState& v, PyObject* offset_arg, std::optional<SharedWord>& out) {
    std::uint64_t offset = 0;
    if (!arg_u64(offset_arg, "offset", offset)) return false;
    if (Status ok = check_word(offset, v.data_size()); !ok) return raise(ok.error()), false;
    out.emplace(v.data(), offset);
    return true;
}

PyObject* word_add(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"offset", "delta"};
    static const Signature sig{"MappedView.add()", names, 2, 2};
    PyObject* argv[2];
    std::int64_t delta = 0;
    std::optional<SharedWord> word;
    if (!bind(sig, args, nargs, kwnames, argv) || !arg_i64(argv[1], "delta", delta) ||
        !word_at(view(self), argv[0], word))
        return nullptr;
    return PyLong_FromLongLong(word->add(delta));
}

PyObject* word_compare_exchange(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"offset", "expected", "new"};
    static const Signature sig{"MappedView.compare_exchange()", names, 3, 3};
    PyObject* argv[3];
    std::int64_t expected = 0, desired = 0;
    std::optional<SharedWord> word;
    if (!bind(sig, args, nargs, kwnames, argv) || !arg_i64(argv[1], "expected", expected) ||
        !arg_i64(argv[2], "new", desired) || !word_at(view(self), argv[0], word))
        return nullptr;
    return PyBool_FromLong(word->compare_exchange(expected, desired) ? 1 : 0);
}

PyObject* word_load(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"offset"};
    static const Signature sig{"MappedView.load()", names, 1, 1};
    PyObject* argv[1];
    std::optional<SharedWord> word;
    if (!bind(sig, args, nargs, kwnames, argv) || !word_at(view(self), argv[0], word)) return nullptr;
    return PyLong_FromLongLong(word->load());
}

PyObject* word_store(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"offset", "value"};
    static const Signature sig{"MappedView.store()", names, 2, 2};
    PyObject* argv[2];
    std::int64_t value = 0;
    std::optional<SharedWord> word;
    if (!bind(sig, args, nargs, kwnames, argv) || !arg_i64(argv[1], "value", value) ||
        !word_at(view(self), argv[0], word))
        return nullptr;
    word->store(value);
    Py_RETURN_NONE;
}

// Refused while the data area is exported (a memoryview or array would be
// left pointing at nothing); otherwise waits for calls in flight (a call
// blocked on the lock gives up with "is closed"), then unmaps.
PyObject* close(PyObject* self, PyObject*) {
    ViewState& v = view(self);
    if (v.life.closing()) Py_RETURN_NONE;
    if (v.exports > 0) {
        raise(PyExc_BufferError, Reason::busy, "cannot close MappedView: its data area is still exported");
        return nullptr;
    }
    close_object(v);
    Py_RETURN_NONE;
}

PyObject* reduce(PyObject* self, PyObject*) {
    const ViewState& v = view(self);
    // The opener below is what unpickling calls.
    return reduce_to("MappedView", "_open", v.name, v.anonymous.get(), v.mapping.size());
}

// MappedView._open(name, size): a view of the existing segment's first `size`
// bytes, as SharedMemory.open(name, size).map() makes it (unpickling).
PyObject* open_by_name(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"name", "size"};
    static const Signature sig{"MappedView._open()", names, 2, 2};
    PyObject* argv[2];
    SegmentArg segment;
    std::uint64_t size = 0;
    if (!bind(sig, args, nargs, kwnames, argv) || !arg_open_segment(argv[0], segment) ||
        !arg_u64(argv[1], "size", size))
        return nullptr;
    auto opened = [&] {
        const GilRelease released;
        return segment.fd ? PlatformHandle::open_descriptor(*segment.fd, size) : PlatformHandle::open(segment.name, size);
    }();
    if (!opened) return raise(opened.error());
    return map_view(opened.value(), false);
}

#if defined(Py_LIMITED_API) && Py_LIMITED_API + 0 >= 0x030B0000
// The data area as a writable buffer, without the lock: for zero-copy use by
// code that does its own coordination. The view stays mapped while exported.
int get_buffer(PyObject* self, Py_buffer* out, int flags) {
    ViewState& v = view(self);
    if (v.life.closing()) return raise_closed("MappedView"), -1;
    if (PyBuffer_FillInfo(out, self, v.data(), static_cast<Py_ssize_t>(v.data_size()), 0, flags) < 0) return -1;
    ++v.exports;
    return 0;
}

void release_buffer(PyObject* self, Py_buffer*) { --view(self).exports; }
#endif

PyObject* reset_lock(PyObject* self, PyObject*) {
    view(self).lock().init_unlocked();
    Py_RETURN_NONE;
}

PyObject* get_lock_timeout(PyObject* self, void*) {
    const auto& t = view(self).lock_timeout;
    if (!t) Py_RETURN_NONE;
    return PyFloat_FromDouble(t->count());
}

// None (or deleting the attribute) waits for ever; otherwise seconds >= 0.
int set_lock_timeout(PyObject* self, PyObject* value, void*) {
    auto& t = view(self).lock_timeout;
    if (value == nullptr || value == Py_None) {
        t.reset();
        return 0;
    }
    const double seconds = PyFloat_AsDouble(value);
    if (seconds == -1.0 && PyErr_Occurred()) return -1;
    if (!(seconds >= 0)) {
        raise(PyExc_ValueError, Reason::invalid_argument, "lock_timeout must be a number of seconds >= 0, or None");
        return -1;
    }
    t = std::chrono::duration<double>(seconds);
    return 0;
}

PyObject* repr(PyObject* self) {
    const ViewState& v = view(self);
    if (!v.mapping || v.life.closing()) return PyUnicode_FromString("MappedView(closed)");
    const std::string text = "MappedView(data_size=" + std::to_string(v.data_size()) +
                             ", readers=" + std::to_string(v.lock().reader_count()) +
                             ", write_locked=" + (v.lock().is_write_locked() ? "true" : "false") + ")";
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

// Every method but close() refuses a closed view, and counts itself in flight.
template <FastFn F>
PyObject* open_fast(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Call<ViewState> call(view(self), "MappedView");
    return call ? F(self, args, nargs, kwnames) : nullptr;
}
template <NoArgsFn F>
PyObject* open_noargs(PyObject* self, PyObject* unused) {
    Call<ViewState> call(view(self), "MappedView");
    return call ? F(self, unused) : nullptr;
}

// ---- type -----------------------------------------------------------------------

PyMethodDef methods[] = {
    noargs_method<open_noargs<read_all>>("read_all",
        "read_all($self)\n--\n\n"
        "Read the entire data area under the read lock and return it as bytes."),
    fast_method<open_fast<read_range>>("read_range",
        "read_range($self, offset, length)\n--\n\n"
        "Read `length` bytes at `offset` (relative to the data area) under the read lock.\n\n"
        "Raises ValueError if `length` is 0 or the range passes the end of the data area."),
    fast_method<open_fast<write>>("write",
        "write($self, data, offset=None)\n--\n\n"
        "Write `data` under the write lock.\n\n"
        "With `offset`, write there and leave the cursor where it is; without it (or with\n"
        "None), write at the cursor and advance it by the number of bytes written.\n\n"
        "Accepted types: bytes, bytearray (as they are), str (4-byte length + UTF-8),\n"
        "int (i64), float (f64), bool (1 byte). Raises ValueError if the write would pass\n"
        "the end of the data area or `data` is empty."),
    fast_method<open_fast<write_struct>>("write_struct",
        "write_struct($self, format, offset, /, *values)\n--\n\n"
        "Pack `values` by `format` and write them at `offset` under one hold of the write lock.\n\n"
        "`format` is in struct-module syntax, '<' and then items (an optional count and a\n"
        "code): x (a zero pad byte), ? (bool), B (u8), i (i32), I (u32), q (i64), Q (u64),\n"
        "f (f32), d (f64), with no implied alignment. Every value is converted before the\n"
        "lock is taken; a value that does not convert (TypeError, OverflowError) or a\n"
        "range past the data area (ValueError) writes nothing. Equivalent to\n"
        "view.write(struct.pack(format, *values), offset) without the bytes in between."),
    fast_method<open_fast<read_struct>>("read_struct",
        "read_struct($self, format, offset, names=None)\n--\n\n"
        "Read the numbers `format` describes at `offset` under one hold of the read lock.\n\n"
        "A tuple, as struct.unpack(format, view.read_range(offset, size)) gives it; or,\n"
        "with `names` (a tuple with a key for each value), a dict of those keys. The\n"
        "format is write_struct()'s."),
    fast_method<open_fast<seek>>("seek",
        "seek($self, pos=0)\n--\n\n"
        "Reset the auto-advance cursor to `pos` (default 0).\n\n"
        "Raises ValueError if `pos` is beyond the data area."),
    noargs_method<open_noargs<tell>>("tell",
        "tell($self)\n--\n\n"
        "Return the current cursor position."),
    fast_method<open_fast<read>>("read",
        "read($self, tag)\n--\n\n"
        "Read one value at the cursor and advance the cursor past it.\n\n"
        "The type tag must match what was written there: \"bool\", \"int\" / \"i64\",\n"
        "\"float\" / \"f64\", \"f32\", \"i32\", \"u8\", \"u32\", \"u64\", \"str\".\n\n"
        "Example:\n"
        "    view.seek()\n"
        "    view.write(\"hello\"); view.write(42); view.write(True)\n"
        "    view.seek()\n"
        "    view.read(\"str\"), view.read(\"int\"), view.read(\"bool\")  # ('hello', 42, True)"),
    fast_method<open_fast<read_mixed>>("read_mixed",
        "read_mixed($self, schema, offset=None)\n--\n\n"
        "Read from `offset` and unpack by `schema`, a list of (type_tag, count) tuples.\n\n"
        "Each entry gives its value itself for a count of 1, else a list of `count`\n"
        "values. Without `offset` (or with None), read at the cursor and advance it."),
    fast_method<open_fast<write_mixed>>("write_mixed",
        "write_mixed($self, items, offset=None)\n--\n\n"
        "Pack `items` (values, or lists of values, each encoded as write() does) back to\n"
        "back and write them under the write lock.\n\n"
        "Without `offset` (or with None), write at the cursor and advance it."),
    noargs_method<open_noargs<zero>>("zero",
        "zero($self)\n--\n\n"
        "Zero the entire data area under the write lock. The cursor is not moved."),
    noargs_method<open_noargs<reader_count>>("reader_count",
        "reader_count($self)\n--\n\n"
        "Return the number of processes or threads currently holding the read lock."),
    noargs_method<open_noargs<is_write_locked>>("is_write_locked",
        "is_write_locked($self)\n--\n\n"
        "Return True if a writer currently holds the lock."),
    noargs_method<open_noargs<size>>("size",
        "size($self)\n--\n\n"
        "Return the usable data area size in bytes (total size minus the 4-byte lock word)."),
    noargs_method<lock_recoveries>("lock_recoveries",
        "lock_recoveries($self)\n--\n\n"
        "How many times this view found the lock word held by a process that had gone and\n"
        "reset it (each time with a LockRecoveredWarning). The data that process was\n"
        "writing may be half-written."),
    noargs_method<open_noargs<reset_lock>>("reset_lock",
        "reset_lock($self)\n--\n\n"
        "Set the lock word to unlocked, whatever it holds.\n\n"
        "Only for recovering from a holder known to be dead (a process killed while it\n"
        "held the lock): a live holder is not coordinated with. Its later release then\n"
        "leaves the word alone."),
    noargs_method<open_noargs<write_locked>>("write_locked",
        "write_locked($self)\n--\n\n"
        "A context manager that holds the write lock for the whole `with` block.\n\n"
        "    with view.write_locked():\n"
        "        view.seek(4)\n"
        "        n = view.read(\"i64\")\n"
        "        view.write(n + 1, 4)\n\n"
        "Calls on this view from the same thread inside the block run under that hold\n"
        "without taking the lock again; other threads and processes wait for the block\n"
        "to end. Entering waits as a call does (lock_timeout: TimeoutError, Ctrl-C).\n"
        "The block's end, or an exception leaving it, releases the lock. Entering a\n"
        "block again from the thread that holds one raises RuntimeError. `as` gives the view."),
    noargs_method<open_noargs<read_locked>>("read_locked",
        "read_locked($self)\n--\n\n"
        "A context manager that holds the read lock for the whole `with` block, so that\n"
        "several reads see one consistent state. Writes on this view from the block\n"
        "raise RuntimeError; otherwise as write_locked()."),
    fast_method<open_fast<word_add>>("add",
        "add($self, offset, delta)\n--\n\n"
        "Atomically add `delta` to the i64 word at `offset` and return the new value.\n\n"
        "Lock-free: takes no lock and never waits. The word must be 8-byte aligned in\n"
        "the mapping, which begins with the 4-byte lock word: offsets 4, 12, 20, ...\n"
        "(offset % 8 == 4). Raises ValueError if misaligned or out of range. The value\n"
        "wraps at the i64 range."),
    fast_method<open_fast<word_compare_exchange>>("compare_exchange",
        "compare_exchange($self, offset, expected, new)\n--\n\n"
        "Atomically store `new` in the i64 word at `offset` if it holds `expected`;\n"
        "return whether it did. Lock-free; the word rules of add() apply."),
    fast_method<open_fast<word_load>>("load",
        "load($self, offset)\n--\n\n"
        "Atomically read the i64 word at `offset` (sequentially consistent, lock-free)."),
    fast_method<open_fast<word_store>>("store",
        "store($self, offset, value)\n--\n\n"
        "Atomically write the i64 `value` to the word at `offset` (sequentially\n"
        "consistent, lock-free)."),
    noargs_method<close>("close",
        "close($self)\n--\n\n"
        "Unmap the view now. Later calls raise ValueError; a second close() does nothing.\n"
        "Raises BufferError while the data area is exported (memoryview(view))."),
    noargs_method<enter>("__enter__", "__enter__($self)\n--\n\n"),
    {"__exit__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&exit_closing)), METH_FASTCALL,
     "__exit__($self, *exc_info)\n--\n\nClose the view."},
    noargs_method<open_noargs<reduce>>("__reduce__",
        "__reduce__($self)\n--\n\nPickle as SharedMemory.open(name).map(); the cursor is not carried."),
    fast_method<open_by_name>("_open",
        "_open(name, size)\n--\n\nUnpickling: SharedMemory.open(name, size).map().", METH_STATIC),
    {nullptr, nullptr, 0, nullptr},
};

// "write" or "read" while the calling thread is inside a block of this view, else None.
PyObject* get_held_scope(PyObject* self, void*) {
    const ViewState& v = view(self);
    if (v.life.closing() || !v.scope.held_by(PyThread_get_thread_ident())) Py_RETURN_NONE;
    return PyUnicode_InternFromString(v.scope.exclusive ? "write" : "read");
}

PyGetSetDef getset[] = {
    {"lock_timeout", get_lock_timeout, set_lock_timeout,
     "Seconds a call waits for the lock before it raises TimeoutError, or None (the\n"
     "default) to wait for ever. A call that times out changes nothing.",
     nullptr},
    {"held_scope", get_held_scope, nullptr,
     "\"write\" or \"read\" while the calling thread is inside this view's write_locked()\n"
     "or read_locked() block, else None. Read-only.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>(
        "A view into a shared-memory segment with an integrated cross-process\n"
        "reader/writer lock.\n\n"
        "The first 4 bytes of the segment hold the lock word:\n\n"
        "    [ ShmRwLock (4 B) | user data (size - 4 B) ]\n\n"
        "Every `offset` argument is relative to the start of the user data area. Reads\n"
        "take a shared lock; write, write_mixed and zero take an exclusive lock. Locks are\n"
        "released automatically before each call returns; `with view.write_locked():` and\n"
        "`with view.read_locked():` hold the lock for a whole block instead, so that\n"
        "several calls (a read-modify-write, a consistent read of several values) act as\n"
        "one. add, compare_exchange, load and store work on aligned i64 words without\n"
        "the lock and never wait. The lock state lives in the\n"
        "shared memory itself, so every process that maps the segment shares it. A call\n"
        "that has to wait for the lock lets the process's other threads run, can be\n"
        "interrupted (KeyboardInterrupt) and gives up after lock_timeout seconds\n"
        "(TimeoutError); it then changes nothing.\n\n"
        "Instances come from SharedMemory.map().")},
    {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc<ViewState>)},
    {Py_tp_repr, reinterpret_cast<void*>(&repr_guard<repr>)},
    {Py_tp_methods, methods},
    {Py_tp_getset, getset},
#if defined(Py_LIMITED_API) && Py_LIMITED_API + 0 >= 0x030B0000
    {Py_bf_getbuffer, reinterpret_cast<void*>(&get_buffer)},
    {Py_bf_releasebuffer, reinterpret_cast<void*>(&release_buffer)},
#endif
    {0, nullptr},
};

}  // namespace

PyType_Spec mapped_view_spec = {
    "MappedView", static_cast<int>(sizeof(Object<ViewState>)), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots,
};

PyObject* enter_lock_scope(PyObject* view_object, bool exclusive) {
    ViewState& v = view(view_object);
    Call<ViewState> call(v, "MappedView");
    if (!call || !enter_scope(v, exclusive)) return nullptr;
    return Py_NewRef(view_object);
}

// Leaving a block: gives its hold back. Nothing to do on a view closed inside
// the block (close() gave it back) or in a forked child (the hold is the
// parent's: forgotten, the lock word left alone). Another thread's block, or
// none at all: RuntimeError.
PyObject* leave_lock_scope(PyObject* view_object) {
    ViewState& v = view(view_object);
    if (v.life.closing()) Py_RETURN_NONE;
    ScopeHold& scope = v.scope;
    if (scope.inherited()) {
        scope.end();
        Py_RETURN_NONE;
    }
    if (!scope.held_by(PyThread_get_thread_ident())) {
        raise(PyExc_RuntimeError, Reason::invalid_argument, "this thread holds no lock scope of this MappedView");
        return nullptr;
    }
    scope.end();
    Py_RETURN_NONE;
}

PyObject* map_view(const PlatformHandle& handle, bool creator) {
    Result<Mapping> mapped = handle.map();
    if (!mapped) return raise(mapped.error());
    auto site = ClaimSite::of(handle);
    if (!site) return raise(site.error());
    auto held = hold_if_anonymous(handle);
    if (!held) return raise(held.error());
    ViewState state(std::move(mapped).value(), handle.name(), std::move(site).value());
    state.anonymous = std::move(held).value();
    // Beyond this point the mapping is released with `state` on every failure.
    if (Status ok = check_view_size(state.mapping.size()); !ok) return raise(ok.error());
    if (Status ok = state.attachment.attach(); !ok) return raise(ok.error());
    if (creator) state.lock().init_unlocked();
    PyTypeObject* type = mapped_view_type();
    if (type == nullptr) return nullptr;
    return new_object(type, std::move(state));
}

}  // namespace velmora::py
