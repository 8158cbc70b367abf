// The core's error values are the public C++ API's: one definition, in
// include/velmora/error.hpp (found relative to this file, so no include path
// beyond src/ is needed to build the core).
#pragma once

#include "../../include/velmora/error.hpp"
