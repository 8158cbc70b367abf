// Memory of a mapping lent to Python code for one `with` block: a publisher's
// loan, a subscriber's received slot, a ring's message read in place. The
// lent object gives a memoryview of the memory from __enter__; leaving the
// block ends the lending (publishes, discards or gives back, as the lender
// says) and releases that memoryview. On CPython 3.11+ the lent object itself
// exports the buffer (format and shape included), so a memoryview or an
// array made from it keeps the lender's mapping alive: a close() while
// something still uses the memory defers the unmap to the last release.
#pragma once

#include <cstdint>

#include "core/broadcast.hpp"
#include "python/ref.hpp"
#include "python/support.hpp"

namespace velmora::py {

struct LentState;

// What a lending class provides; every hook runs with the interpreter lock.
struct Lender {
    // Ends the lending from __exit__ (`ok`: the block raised nothing): the
    // owner takes its turn, then publishes, discards or gives back. False
    // with an exception set.
    bool (*end)(LentState&, bool ok);
    // The same for a lent object dropped without `with`, only when the owner
    // is free now; never raises.
    void (*drop)(LentState&);
    // A buffer exported from the memory came (+1) or went (-1): the owner
    // keeps its mapping after close() until the last one went.
    void (*exports)(LentState&, int delta);
    // What a lent object whose lending ended says when used again.
    const char* gone;
};

struct LentState {
    Ref owner;
    const Lender* lender;
    bool active = false;  // the lending has not ended
    Ref view;             // a weak reference to the memoryview __enter__ gave
    Ref keep;             // what owns the memory when it is a copy, not the lender's mapping
    std::uint8_t* data = nullptr;
    Py_ssize_t len = 0;
    bool readonly = true;
    char format[kBroadcastFormatBytes] = {'B', 0};
    int ndim = 1;
    Py_ssize_t itemsize = 1;
    Py_ssize_t shape[kBroadcastMaxDims] = {};
    Py_ssize_t strides[kBroadcastMaxDims] = {};

    LentState(PyObject* o, const Lender* l) : owner(Ref::borrow(o)), lender(l) {}
    LentState(LentState&&) noexcept = default;

    // Lends `length` bytes at `bytes`, shaped as `s`.
    void lend(std::uint8_t* bytes, std::uint64_t length, bool read_only, const MessageShape& s) noexcept;
    MessageShape shape_of() const noexcept;
};

LentState& lent(PyObject* self) noexcept;

// The lent objects' types: one per kind of lending, same behaviour.
enum class LentKind { BroadcastSlot, RingMessage };
PyObject* new_lent(LentKind kind, PyObject* owner, const Lender& lender);

}  // namespace velmora::py
