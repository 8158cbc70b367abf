// Pure pieces of the Windows error text; see win32_text.hpp. Built on every
// platform so the conversions are tested natively, not only under Windows.
#include "platform/win32_text.hpp"

#include <cstdio>

namespace velmora::win32 {
namespace {

constexpr bool is_high_surrogate(char32_t c) noexcept { return c >= 0xD800 && c <= 0xDBFF; }
constexpr bool is_low_surrogate(char32_t c) noexcept { return c >= 0xDC00 && c <= 0xDFFF; }

void append_utf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

}  // namespace

std::uint32_t result_code(std::uint32_t last_error) noexcept {
    if (static_cast<std::int32_t>(last_error) > 0) return 0x80070000u | (last_error & 0xFFFFu);
    return last_error;
}

MessageLookup message_lookup(std::uint32_t code) noexcept {
    if ((code & kNtStatusBit) != 0) return {code & ~kNtStatusBit, true};
    return {code, false};
}

std::u16string_view trim_trailing_space(std::u16string_view text) noexcept {
    const auto last = text.find_last_not_of(u"\t\n\v\f\r ");
    return last == std::u16string_view::npos ? std::u16string_view{} : text.substr(0, last + 1);
}

std::string to_utf8(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t c = text[i];
        if (is_high_surrogate(c) && i + 1 < text.size() && is_low_surrogate(text[i + 1])) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (is_high_surrogate(c) || is_low_surrogate(c)) {
            c = 0xFFFD;
        }
        append_utf8(out, c);
    }
    return out;
}

std::string format_code(std::uint32_t code) {
    char buf[11];
    std::snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(code));
    return buf;
}

std::string compose_message(std::u16string_view system_text, std::uint32_t code) {
    std::string text = to_utf8(trim_trailing_space(system_text));
    if (text.empty()) return format_code(code);
    return text + " (" + format_code(code) + ")";
}

}  // namespace velmora::win32
