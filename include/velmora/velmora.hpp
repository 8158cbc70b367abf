// The velmora C++ API: named shared-memory segments (SharedMemory), locked views
// with typed values (MappedView), the SPSC message ring (SpscRingBuffer) and the fan-in ring
// (MpscRingBuffer), byte-for-byte compatible with the Python module. Link with velmora::velmora.
#pragma once

#include "velmora/broadcast.hpp"
#include "velmora/error.hpp"
#include "velmora/mpsc.hpp"
#include "velmora/ring.hpp"
#include "velmora/segment.hpp"
#include "velmora/view.hpp"
