// The module's classes, one row each: the Python name and the stem of the
// C++ names. A row gives the class its PyType_Spec declaration (`<stem>_spec`,
// defined in the class's own file), its accessor `<stem>_type()` and its place
// in the module and in __all__, in the order of the rows.
#pragma once

#define VELMORA_CLASSES(X)                        \
    X("SharedMemory", shared_memory)              \
    X("MappedView", mapped_view)                  \
    X("SpscRingBuffer", spsc_ring_buffer)         \
    X("MpscRingBuffer", mpsc_ring_buffer)         \
    X("MpmcRingBuffer", mpmc_ring_buffer)         \
    X("Publisher", publisher)                     \
    X("Subscriber", subscriber)                   \
    X("LockScope", lock_scope)
