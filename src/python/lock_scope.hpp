// LockScope: what MappedView.write_locked() / read_locked() return, a context
// manager whose block holds the view's lock (see mapped_view.hpp).
#pragma once

#include "python/support.hpp"

namespace velmora::py {

// A new scope object over `view` (a MappedView), exclusive or shared. Taking
// the lock is left to its __enter__.
PyObject* new_lock_scope(PyObject* view, bool exclusive);

}  // namespace velmora::py
