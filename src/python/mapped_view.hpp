// MappedView: a locked, bounds-checked window over a whole segment.
#pragma once

#include "python/support.hpp"
#include "platform/platform.hpp"

namespace velmora::py {

// SharedMemory.map(): maps the segment behind `handle` and wraps the mapping in
// a new MappedView; a creator resets the lock word first.
PyObject* map_view(const PlatformHandle& handle, bool creator);

// The two ends of a `with view.write_locked()` / `read_locked()` block, for
// the scope object (python/lock_scope.cpp). enter returns a new reference to
// the view, or nullptr with an exception set (TimeoutError, RuntimeError on
// re-entry, ValueError on a closed view, an interrupting signal's exception);
// leave returns None or nullptr with RuntimeError.
PyObject* enter_lock_scope(PyObject* view, bool exclusive);
PyObject* leave_lock_scope(PyObject* view);

}  // namespace velmora::py
