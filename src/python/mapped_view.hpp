// MappedView: a locked, bounds-checked window over a whole segment.
#pragma once

#include "python/support.hpp"
#include "platform/platform.hpp"

namespace velmora::py {

// SharedMemory.map(): maps the segment behind `handle` and wraps the mapping in
// a new MappedView; a creator resets the lock word first.
PyObject* map_view(const PlatformHandle& handle, bool creator);

}  // namespace velmora::py
