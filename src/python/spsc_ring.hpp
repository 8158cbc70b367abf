// SpscRingBuffer: the Python face of one ring attached to a segment.
#pragma once

#include "python/support.hpp"
#include "platform/platform.hpp"

namespace velmora::py {

// SharedMemory.spsc(): maps the segment behind `handle`, attaches a ring to the
// mapping (a creator initialises the header) and wraps it in a SpscRingBuffer.
PyObject* attach_ring(const PlatformHandle& handle, bool creator);

}  // namespace velmora::py
