// Memory of a mapping lent to Python code for one `with` block: a publisher's
// loan, a subscriber's received slot, a ring's message read in place, a
// ring producer's loan. The
// lent object gives a memoryview of the memory from __enter__; leaving the
// block ends the lending (publishes, discards or gives back, as the lender
// says) and releases that memoryview.
//
// The lender's mapping is pinned (LentPins) from the moment memory is lent,
// entered or not, until the lending ends or its lent object goes, and by
// every buffer made from the memory for as long as that buffer lives: a
// close() meanwhile refuses new calls at once and leaves the unmap to the
// last pin. On CPython 3.11+ the lent object itself exports the buffer
// (format and shape included); on 3.10, where the stable ABI has no buffer
// protocol, the memoryview's exporter is a ctypes array over the memory that
// holds a pin of its own (lent.cpp).
#pragma once

#include <cstdint>

#include "core/broadcast.hpp"
#include "python/ref.hpp"
#include "python/support.hpp"

namespace velmora::py {

struct LentState;

// The pins of one owner's mapping, changed with the interpreter lock held:
// each lending, from lend() until it ends (or its lent object goes), and
// each buffer made from lent memory. The owner's close(), once no call uses
// the mapping, asks release(); a pin that goes asks unpin(); whichever of
// them says true frees the mapping (and what must go with it) then.
struct LentPins {
    Py_ssize_t count = 0;
    bool deferred = false;  // closed with pins left: the last one frees
    [[nodiscard]] bool release() noexcept {
        deferred = count > 0;
        return !deferred;
    }
    [[nodiscard]] bool change(int delta) noexcept {
        count += delta;
        if (!deferred || count > 0) return false;
        deferred = false;
        return true;
    }
};

// What a lending class provides; every hook runs with the interpreter lock.
struct Lender {
    // Ends the lending from __exit__ (`ok`: the block raised nothing): the
    // owner takes its turn, then publishes, discards or gives back. False
    // with an exception set.
    bool (*end)(LentState&, bool ok);
    // The same for a lent object dropped without `with`, only when the owner
    // is free now; never raises.
    void (*drop)(LentState&);
    // A pin of the mapping came (+1) or went (-1): the owner's LentPins
    // count them; the last one to go after close() unmaps.
    void (*pin)(LentState&, int delta);
    // What a lent object whose lending ended says when used again.
    const char* gone;
};

struct LentState {
    Ref owner;
    const Lender* lender;
    bool active = false;  // the lending has not ended
    bool pinned = false;  // the lending holds a pin of the owner's mapping
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

    // Lends `length` bytes at `bytes`, shaped as `s`, and pins the owner's
    // mapping unless the memory is a copy (`keep`, set before).
    void lend(std::uint8_t* bytes, std::uint64_t length, bool read_only, const MessageShape& s) noexcept;
    MessageShape shape_of() const noexcept;
};

LentState& lent(PyObject* self) noexcept;

// The lent objects' types: one per kind of lending, same behaviour.
enum class LentKind { BroadcastSlot, RingMessage, RingLoan };
PyObject* new_lent(LentKind kind, PyObject* owner, const Lender& lender);

}  // namespace velmora::py
