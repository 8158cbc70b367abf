// Buffer formats (struct-module syntax, as a memoryview reports them) that may
// cross between processes: plain data only. Plain C++, shared by the binding
// (which refuses what a caller passes) and the broadcast core (which
// validates what it reads from shared memory).
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace velmora {

// True when a format describes plain data: numbers, chars, bytes, padding,
// and structures and arrays of those (field names skipped). An object ('O')
// or pointer ('P', '&') item holds an address of its own process, which
// means nothing to another one and must not be overwritten by it.
[[nodiscard]] bool format_is_plain(std::string_view format) noexcept;

// The size in bytes of one item of a plain format, or nullopt when it is not
// plain, does not parse, is empty, or has no single size every reader agrees
// on. Byte-order marks ('@', '=', '<', '>', '!') may stand before any item
// and hold for the rest of their structure. Items: an optional "(d,d,...)"
// array, an optional count, then a code; 's' and 'p' take the count as their
// byte length, "Z" before 'e', 'f' or 'd' is a complex pair, "T{...}" a
// structure, ":name:" after an item names it. In native mode ('@', or no
// mark) an item must already sit at a multiple of its alignment (no implied
// padding before it); a structure is padded at its end to its alignment, as
// C and numpy lay one out, while a format of several items outside any
// structure must need no such padding (readers disagree on it). At most
// 2^32 - 1 bytes.
[[nodiscard]] std::optional<std::uint32_t> format_itemsize(std::string_view format) noexcept;

}  // namespace velmora
