// The velmora C++ API: named shared-memory segments (Segment), locked views
// with typed values (View) and the SPSC message ring (Ring), byte-for-byte
// compatible with the Python module. Link with velmora::velmora.
#pragma once

#include "velmora/broadcast.hpp"
#include "velmora/error.hpp"
#include "velmora/ring.hpp"
#include "velmora/segment.hpp"
#include "velmora/view.hpp"
