#include "core/codec.hpp"

#include <algorithm>

#include <array>
#include <string>
#include <utility>

namespace velmora {

namespace {

struct TagEntry {
    std::string_view tag;
    Form form;
};

constexpr std::array<TagEntry, 11> kTags{{
    {"bool", Form::Bool}, {"int", Form::I64},   {"float", Form::F64}, {"f32", Form::F32},
    {"f64", Form::F64},   {"i32", Form::I32},   {"i64", Form::I64},   {"u8", Form::U8},
    {"u32", Form::U32},   {"u64", Form::U64},   {"str", Form::Str},
}};

std::string quoted(std::string_view tag) {
    std::string s;
    s.reserve(tag.size() + 2);
    s += '\'';
    s += tag;
    s += '\'';
    return s;
}

Error unknown_tag(std::string_view tag) {
    return Error::value("unknown type tag " + quoted(tag) +
                           "; supported: bool, int, float, f32, f64, i32, i64, u8, u32, u64, str");
}

Error short_fixed(Form form, std::string_view tag, std::uint64_t have) {
    if (form == Form::Bool) return Error::value("not enough data to read 'bool'");
    return Error::value("not enough data to read " + quoted(tag) + ": need " +
                           std::to_string(fixed_width(form)) + ", have " + std::to_string(have));
}

Error short_payload(std::uint64_t n, std::uint64_t have) {
    // n is at most 2^32 - 1, so n + 4 cannot wrap in 64 bits.
    return Error::value("not enough data to read str payload: need " +
                           std::to_string(n + kStrPrefix) + ", have " + std::to_string(have));
}

Error out_of_bounds(std::uint64_t cursor, std::uint64_t needed, std::uint64_t len) {
    return Error::value("out of bounds: cursor=" + std::to_string(cursor) +
                           " + needed=" + std::to_string(needed) +
                           " > data_len=" + std::to_string(len));
}

// Reads a fixed-width form; the caller has checked that fixed_width(form)
// bytes are there.
Scalar read_fixed(Form form, const std::uint8_t* p) noexcept {
    switch (form) {
        case Form::Bool: return p[0] != 0;
        case Form::U8: return std::uint64_t{p[0]};
        case Form::I32: return std::int64_t{load_le<std::int32_t>(p)};
        case Form::U32: return std::uint64_t{load_le<std::uint32_t>(p)};
        case Form::I64: return load_le<std::int64_t>(p);
        case Form::U64: return load_le<std::uint64_t>(p);
        case Form::F32: return double{load_le<float>(p)};
        case Form::F64: return load_le<double>(p);
        case Form::Str: break;
    }
    return std::span<const std::uint8_t>{};  // Str is never read here
}

// The str whose count starts at p; the caller has checked that count and
// payload are both inside the range.
Decoded str_at(const std::uint8_t* p, std::uint32_t n) noexcept {
    return {std::span<const std::uint8_t>(p + kStrPrefix, n), kStrPrefix + n};
}

}  // namespace

std::optional<Form> lookup_tag(std::string_view tag) noexcept {
    for (const TagEntry& e : kTags) {
        if (e.tag == tag) return e.form;
    }
    return std::nullopt;
}

Result<Decoded> decode_scalar(const std::uint8_t* data, std::uint64_t len, std::string_view tag) {
    const std::optional<Form> form = lookup_tag(tag);
    if (!form) return unknown_tag(tag);
    if (*form != Form::Str) {
        if (len < fixed_width(*form)) return short_fixed(*form, tag, len);
        return Decoded{read_fixed(*form, data), fixed_width(*form)};
    }
    if (len < kStrPrefix) return Error::value("not enough data to read str length prefix");
    const std::uint32_t n = load_le<std::uint32_t>(data);
    if (len - kStrPrefix < n) return short_payload(n, len);
    return str_at(data, n);
}

Result<Decoded> decode_element(Form form, const std::uint8_t* data, std::uint64_t len,
                               std::uint64_t pos) {
    // Every comparison is against what is left (len - pos), so no sum can wrap.
    const std::uint64_t width = fixed_width(form);
    if (width > len - pos) return out_of_bounds(pos, width, len);
    if (form != Form::Str) return Decoded{read_fixed(form, data + pos), width};
    const std::uint32_t n = load_le<std::uint32_t>(data + pos);
    if (n > len - pos - kStrPrefix) return out_of_bounds(pos + kStrPrefix, n, len);
    return str_at(data + pos, n);
}

// Mirrors decode_element's checks: a fixed run is one multiplication, a str
// run walks its count prefixes (at least 4 bytes each, so at most len / 4 steps).
RunExtent run_extent(Form form, std::uint64_t count, const std::uint8_t* data, std::uint64_t len,
                     std::uint64_t pos) noexcept {
    const std::uint64_t width = fixed_width(form);
    if (form != Form::Str) {
        const std::uint64_t fit = (len - pos) / width;
        return {pos + std::min(count, fit) * width, count <= fit};
    }
    for (std::uint64_t k = 0; k < count; ++k) {
        if (width > len - pos) return {pos, false};
        const std::uint32_t n = load_le<std::uint32_t>(data + pos);
        if (n > len - pos - kStrPrefix) return {pos + kStrPrefix, false};
        pos += kStrPrefix + n;
    }
    return {pos, true};
}

Error unknown_schema_tag(std::string_view tag) {
    return Error::value("unknown type tag " + quoted(tag));
}

Error unsupported_type(std::string_view type_name) {
    return Error::value("unsupported type " + quoted(type_name) +
                           "; supported: bool, int, float, str, bytes, bytearray");
}

Status check_str_size(std::uint64_t utf8_bytes) {
    if (utf8_bytes <= kMaxStrBytes) return {};
    return Error::value("str too long to encode: its UTF-8 form has " +
                           std::to_string(utf8_bytes) + " bytes, the limit is " +
                           std::to_string(kMaxStrBytes), Reason::too_large);
}

}  // namespace velmora
