// The view's checks and messages, shared by the Python MappedView and the C++
// velmora::MappedView so that both refuse the same things with the same words.
// A view maps a whole segment: [ lock word (RWLOCK_SIZE) | data area ].
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "velmora/error.hpp"

namespace velmora {

// A mapping must hold the lock word and at least one data byte.
[[nodiscard]] Status check_view_size(std::uint64_t map_size);

// [start, start + length) must be a non-empty range inside the data area. The
// end saturates instead of wrapping, so a huge offset cannot wrap into range.
[[nodiscard]] Status check_range(std::uint64_t start, std::uint64_t length, std::uint64_t data_size);

// A read position past the end of the data area (the end itself is allowed).
[[nodiscard]] Status check_position(std::uint64_t pos, std::uint64_t data_size);

// "unlocked", "1 reader", "3 readers", "write-locked" or "invalid".
[[nodiscard]] std::string describe_word(std::int32_t word);

// The Timeout error of a lock wait on segment `name`; `seconds` is the
// timeout as Python's repr() of a float shows it.
[[nodiscard]] Error lock_timeout_error(std::string_view seconds, std::string_view name,
                                          std::int32_t word);

// Python's repr() of a finite float >= 0: shortest round-trip digits, fixed
// notation for exponents -4..15 ("0.25", "3.0"), else "1e-05" / "1e+16".
[[nodiscard]] std::string float_repr(double value);

}  // namespace velmora
