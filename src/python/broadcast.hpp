// Publisher and Subscriber: the Python faces of a broadcast segment.
#pragma once

#include "python/support.hpp"

namespace velmora::py {

// _reopen_broadcast(kind, name): unpickling helper; "publisher" takes the
// publisher role of an existing segment, "subscriber" subscribes to it.
PyObject* reopen_broadcast(PyObject* module, PyObject* args);

}  // namespace velmora::py
