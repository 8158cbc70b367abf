// What the public C++ API's classes hold: the core's own objects, so every
// algorithm runs in the core and the API only adapts names and types.
#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "platform/platform.hpp"
#include "platform/wait.hpp"
#include "core/ring.hpp"
#include "core/ring_roles.hpp"
#include "core/view_attach.hpp"
#include "velmora/ring.hpp"
#include "velmora/segment.hpp"
#include "velmora/view.hpp"

namespace velmora {

struct SharedMemory::Impl {
    PlatformHandle handle;
    bool creator;
};

struct MappedView::Impl {
    Mapping mapping;
    std::string name;
    std::optional<std::chrono::nanoseconds> lock_timeout;
    mutable ViewAttachment attachment;  // this process attached; its holds of the word counted
};

struct SpscRingBuffer::Impl {
    SpscRing ring;
    RingRoles roles;
};

}  // namespace velmora
