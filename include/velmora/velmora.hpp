// The velmora C++ API: named shared-memory segments (Segment), locked views
// with typed values (View), the SPSC message ring (Ring) and the fan-in ring
// (MpscRing), byte-for-byte compatible with the Python module. Link with velmora::velmora.
#pragma once

#include "velmora/broadcast.hpp"
#include "velmora/error.hpp"
#include "velmora/mpsc.hpp"
#include "velmora/ring.hpp"
#include "velmora/segment.hpp"
#include "velmora/view.hpp"
