// Byte-level half of the value codec: the type-tag table, little-endian
// unaligned loads and stores, and decoding of one stored value into a plain
// C++ scalar. No Python here; the binding turns a Scalar into an object.
//
// Every decode is given a byte range [data, data + len) and never reads at or
// beyond `len`, whatever a stored str count says: the range may lie in shared
// memory that another process can fill with anything.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string_view>
#include <type_traits>
#include <variant>

#include "velmora/error.hpp"

namespace velmora {

// Stored data is little-endian on every supported target, and the loads and
// stores below copy host-order bytes as they are.
static_assert(std::endian::native == std::endian::little,
              "stored values are little-endian; a big-endian host would need byte swaps");

// The nine stored forms; eleven tags name them ("int" = "i64", "float" = "f64").
enum class Form : std::uint8_t { Bool, U8, I32, U32, I64, U64, F32, F64, Str };

// Exact, case-sensitive match of the whole tag text.
[[nodiscard]] std::optional<Form> lookup_tag(std::string_view tag) noexcept;

// Bytes of the 32-bit count in front of a str payload.
inline constexpr std::uint64_t kStrPrefix = 4;
// Longest str payload the 32-bit count can frame.
inline constexpr std::uint64_t kMaxStrBytes = 0xFFFFFFFFu;

// Width of a fixed-size form; for Str, the width of its count prefix.
[[nodiscard]] constexpr std::uint64_t fixed_width(Form form) noexcept {
    switch (form) {
        case Form::Bool:
        case Form::U8: return 1;
        case Form::I32:
        case Form::U32:
        case Form::F32:
        case Form::Str: return 4;
        case Form::I64:
        case Form::U64:
        case Form::F64: return 8;
    }
    return 8;
}

// Unaligned little-endian access; memcpy compiles to a plain move.
template <class T>
[[nodiscard]] T load_le(const std::uint8_t* p) noexcept {
    static_assert(std::is_trivially_copyable_v<T>);
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

template <class T>
void store_le(std::uint8_t* p, T v) noexcept {
    static_assert(std::is_trivially_copyable_v<T>);
    std::memcpy(p, &v, sizeof v);
}

// One decoded value. A str stays a span of its undecoded UTF-8 payload,
// pointing into the caller's range, so the binding decodes it exactly once.
using Scalar = std::variant<bool, std::int64_t, std::uint64_t, double,
                            std::span<const std::uint8_t>>;

struct Decoded {
    Scalar value;
    std::uint64_t consumed;  // bytes the value occupies (4 + n for a str)
};

// Decodes one value of form `tag` from the start of [data, data + len), with
// the single-value messages (unknown tag listing the supported ones, short
// data naming the tag as passed).
[[nodiscard]] Result<Decoded> decode_scalar(const std::uint8_t* data, std::uint64_t len,
                                            std::string_view tag);

// Decodes one element of `form` at offset `pos` of [data, data + len), with
// the schema messages ("out of bounds: cursor=..."); pos <= len.
[[nodiscard]] Result<Decoded> decode_element(Form form, const std::uint8_t* data,
                                             std::uint64_t len, std::uint64_t pos);

// How far decoding `count` elements of `form` from offset `pos` of
// [data, data + len) reads: `end` is one past the last byte it would look at
// (never past `len`), `complete` whether every element would decode. Copying
// [0, end) is enough to repeat the decode elsewhere (with the same `len`, so
// every message is the same). Reads only str count prefixes.
struct RunExtent {
    std::uint64_t end;
    bool complete;
};
[[nodiscard]] RunExtent run_extent(Form form, std::uint64_t count, const std::uint8_t* data,
                                   std::uint64_t len, std::uint64_t pos) noexcept;

// The schema's unknown-tag message (shorter than decode_scalar's).
[[nodiscard]] Error unknown_schema_tag(std::string_view tag);

// The encoder's message for a value of an unsupported Python type.
[[nodiscard]] Error unsupported_type(std::string_view type_name);

// Refuses a str whose UTF-8 form cannot be framed by the 32-bit count.
[[nodiscard]] Status check_str_size(std::uint64_t utf8_bytes);

}  // namespace velmora
