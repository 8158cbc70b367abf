// fileno() and room_fileno() of every kind: the descriptor an event loop
// waits on for one side of a handle (core/readiness.hpp). A kind's binding
// makes its own checks (closed, role, process), then hands over here.
#pragma once

#include "core/readiness.hpp"
#include "platform/bell.hpp"
#include "python/support.hpp"

namespace velmora::py {

// NotImplementedError where the OS has no bells; otherwise `bell()` names
// the side's bell (nullptr with an exception set when it cannot), the side
// listens on it if not yet, and its descriptor is returned. With `wake`, a
// new listener rings the bell once, so the descriptor starts readable: for a
// kind whose other side rings only for a mark set by a call made after
// listening (broadcast), the loop's next call then settles it.
template <class BellOf>
PyObject* readiness_fileno(Readiness& ready, BellOf bell, bool wake) {
    if (!BellListener::supported()) {
        raise(PyExc_NotImplementedError, Reason::os, "fileno() is not supported on this platform");
        return nullptr;
    }
    const BellAddress* at = bell();
    if (at == nullptr) return nullptr;
    const bool first = !ready.listening();
    auto fd = ready.listen(*at);
    if (!fd) return raise(fd.error());
    if (wake && first) ring_bell(*at);
    return PyLong_FromLong(fd.value());
}

}  // namespace velmora::py
