// Fixed layouts of little-endian numbers written in struct-module syntax
// ("<qqd", "<i4xq"): what MappedView.write_struct and read_struct pack and
// unpack under one hold of the lock. Plain C++; the binding converts the
// Python values.
//
// Accepted: '<' first (the only byte order: stored numbers are
// little-endian), then items, each an optional decimal count and one code:
//   x pad byte (zeros when written, skipped when read)
//   ? bool (one byte, 0 or 1)   B u8    i i32   I u32
//   q i64   Q u64   f f32   d f64
// No implied alignment: every item follows the one before it, as with '<'
// in the struct module. At most kMaxPackBytes bytes in all.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "velmora/error.hpp"

namespace velmora {

enum class PackCode : std::uint8_t { Bool, U8, I32, U32, I64, U64, F32, F64 };

inline constexpr std::uint32_t kMaxPackBytes = 1u << 20;

struct PackItem {
    PackCode code;
    std::uint32_t offset;  // from the start of the layout
};

[[nodiscard]] constexpr std::uint32_t pack_width(PackCode code) noexcept {
    switch (code) {
        case PackCode::Bool:
        case PackCode::U8: return 1;
        case PackCode::I32:
        case PackCode::U32:
        case PackCode::F32: return 4;
        default: return 8;
    }
}

class PackLayout {
public:
    // The layout of `format`, or a ValueError naming what is wrong with it.
    [[nodiscard]] static Result<PackLayout> parse(std::string_view format);

    // Bytes the layout covers, padding included.
    [[nodiscard]] std::uint32_t size() const noexcept { return size_; }
    // The values, in order (padding is not an item).
    [[nodiscard]] std::span<const PackItem> items() const noexcept {
        return more_.empty() ? std::span<const PackItem>(inline_.data(), count_) : std::span<const PackItem>(more_);
    }

private:
    void add(PackItem item);

    // Layouts up to kInline values need no allocation (a Record's fields).
    static constexpr std::size_t kInline = 24;
    std::array<PackItem, kInline> inline_{};
    std::size_t count_ = 0;
    std::vector<PackItem> more_;
    std::uint32_t size_ = 0;
};

}  // namespace velmora
