// How every class's create() and open() take its segment, and what a handle
// keeps of it for messages and pickling.
//
// create(name, ...) takes a str, or None for an anonymous segment (no name:
// it goes away with the last process that has it, and reaches other
// processes only as a descriptor: fork, or pickling while a multiprocessing
// Process is started). open(name, ...) takes a str; unpickling passes it
// an int, the descriptor of an anonymous segment in this process, which is
// duplicated (the caller keeps its own). create(..., replace=True) removes a leftover of
// the name first.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/platform.hpp"
#include "python/support.hpp"

namespace velmora::py {

struct SegmentArg {
    std::string_view name;             // unused for an anonymous segment
    std::optional<std::intptr_t> fd;   // open() of an anonymous segment by descriptor
    bool replace = false;              // create(): remove a leftover of the name first
    bool none = false;                 // create(None): an anonymous segment
    bool anonymous() const noexcept { return none || fd.has_value(); }
};

// open() takes a descriptor in place of the name only inside _reopen(), which
// unpickles an anonymous segment (lifecycle.cpp): anywhere else an int name
// is refused as before. Held for the opener's call, on its thread.
class DescriptorOpen {
public:
    DescriptorOpen() noexcept { allowed_ = true; }
    ~DescriptorOpen() { allowed_ = false; }
    DescriptorOpen(const DescriptorOpen&) = delete;
    DescriptorOpen& operator=(const DescriptorOpen&) = delete;
    static bool allowed() noexcept { return allowed_; }

private:
    static thread_local bool allowed_;
};

// create()'s `name` and `replace` arguments (`replace` may be omitted:
// nullptr). replace=True without a name is refused: an anonymous segment is
// always new. False with the exception raised.
[[nodiscard]] bool arg_create_segment(PyObject* name, PyObject* replace, SegmentArg& out);
// open()'s `name` argument: a name, or a descriptor while a DescriptorOpen is held.
[[nodiscard]] bool arg_open_segment(PyObject* name, SegmentArg& out);

// Makes the segment; no Python object is touched (call it without the
// interpreter lock).
[[nodiscard]] Result<PlatformHandle> create_segment(const SegmentArg& arg, std::uint64_t size);
// Opens the segment: a descriptor directly, a name through `by_name`, the
// kind's own opener (which may read the header first where the size is not
// known).
template <class ByName>
[[nodiscard]] Result<PlatformHandle> open_segment(const SegmentArg& arg, ByName by_name) {
    if (arg.fd) return PlatformHandle::open_descriptor(*arg.fd, std::nullopt);
    return by_name(arg.name);
}
// After a create whose channel could not be set up in the new segment:
// removes the name again. An anonymous segment goes with its handle.
void undo_create(const SegmentArg& arg) noexcept;

// What a handle of an anonymous segment keeps besides its mapping: an open
// of its own, alive as long as the handle, whose descriptor pickling hands to
// a process being started (reduce_to). nullptr for a named segment, which is
// passed on by its name.
using HeldSegment = std::shared_ptr<const PlatformHandle>;
[[nodiscard]] Result<HeldSegment> hold_if_anonymous(const PlatformHandle& handle);

// The segment's name in a repr: 'name', or None for an anonymous segment.
std::string shown_name(std::string_view name, bool anonymous);

}  // namespace velmora::py
