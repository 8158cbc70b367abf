// The module's `_kinds`: the registry of channel kinds (core/kinds.hpp).
#pragma once

#include "python/support.hpp"

namespace velmora::py {

// A new reference to the table, or nullptr with an exception set.
PyObject* kinds_table();

}  // namespace velmora::py
