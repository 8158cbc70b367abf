// Plain-data buffer formats: which ones may cross, and how large an item is.
#include "core/formats.hpp"

#include <algorithm>

namespace velmora {
namespace {

constexpr std::uint64_t kMaxItem = 0xFFFF'FFFFu;
constexpr int kMaxNesting = 16;

bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

// a * b, or nullopt past kMaxItem.
std::optional<std::uint64_t> times(std::uint64_t a, std::uint64_t b) noexcept {
    if (b != 0 && a > kMaxItem / b) return std::nullopt;
    return a * b;
}

// One pass over a format's text, structure by structure.
class Sizer {
public:
    explicit Sizer(std::string_view f) noexcept : f_(f) {}

    std::optional<std::uint32_t> top() noexcept {
        Struct s;
        if (!items(s, true, 0, false) || s.items == 0 || s.size == 0) return std::nullopt;
        // Several items outside a structure: struct.calcsize adds no end
        // padding where numpy would, so only a layout without any is taken.
        if (s.size % s.align != 0) return std::nullopt;
        return static_cast<std::uint32_t>(s.size);
    }

private:
    struct Struct {
        std::uint64_t size = 0;
        std::uint64_t align = 1;  // the largest alignment of its native items
        unsigned items = 0;
    };

    bool at(char c) const noexcept { return i_ < f_.size() && f_[i_] == c; }
    bool more() const noexcept { return i_ < f_.size(); }

    // Decimal digits (at least one), at most kMaxItem.
    std::optional<std::uint64_t> number() noexcept {
        if (!more() || !is_digit(f_[i_])) return std::nullopt;
        std::uint64_t v = 0;
        while (more() && is_digit(f_[i_])) {
            v = v * 10 + static_cast<std::uint64_t>(f_[i_++] - '0');
            if (v > kMaxItem) return std::nullopt;
        }
        return v;
    }

    // Items up to the end of the text (top) or the closing '}' (nested).
    bool items(Struct& s, bool native, int depth, bool nested) noexcept {
        for (;;) {
            while (at(' ')) ++i_;
            if (!more()) return !nested;
            const char c = f_[i_];
            if (c == '}') {
                ++i_;
                return nested;
            }
            if (c == '@' || c == '=' || c == '<' || c == '>' || c == '!') {
                native = c == '@';
                ++i_;
                continue;
            }
            if (!item(s, native, depth)) return false;
        }
    }

    bool item(Struct& s, bool native, int depth) noexcept {
        std::uint64_t repeat = 1;
        if (at('(')) {
            ++i_;
            for (;;) {
                const auto d = number();
                if (!d) return false;
                const auto r = times(repeat, *d);
                if (!r) return false;
                repeat = *r;
                if (at(',')) ++i_;
                else if (at(')')) break;
                else return false;
            }
            ++i_;
        }
        std::optional<std::uint64_t> count;
        if (more() && is_digit(f_[i_])) {
            count = number();
            if (!count) return false;
        }
        if (!more()) return false;
        const char code = f_[i_++];
        std::uint64_t size = 0, align = 1;
        switch (code) {
            case 'x': size = 1; break;  // padding: a count of bytes
            case 'c': case 'b': case 'B': case '?': size = align = 1; break;
            case 'h': case 'H': case 'e': case 'u': size = align = 2; break;
            case 'i': case 'I': case 'f': case 'w': size = align = 4; break;
            case 'q': case 'Q': case 'd': size = align = 8; break;
            case 'l': case 'L': size = align = native ? sizeof(long) : 4; break;
            case 'n': case 'N':
                if (!native) return false;  // no standard size
                size = align = sizeof(std::size_t);
                break;
            case 's': case 'p':
                size = count.value_or(1);  // the count is the length, not a repeat
                count.reset();
                break;
            case 'Z': {
                if (!more()) return false;
                const char part = f_[i_++];
                const std::uint64_t half = part == 'e' ? 2 : part == 'f' ? 4 : part == 'd' ? 8 : 0;
                if (half == 0) return false;
                size = 2 * half;
                align = half;
                break;
            }
            case 'T': {
                if (!at('{') || depth >= kMaxNesting) return false;
                ++i_;
                Struct inner;
                if (!items(inner, native, depth + 1, true) || inner.size == 0) return false;
                align = inner.align;
                size = (inner.size + align - 1) / align * align;  // end padding, as C lays it out
                break;
            }
            default: return false;
        }
        const auto n = times(size, count.value_or(1));
        const auto total = n ? times(*n, repeat) : std::nullopt;
        if (!total) return false;
        if (native) {
            if (s.size % align != 0) return false;  // padding implied before it
            s.align = std::max(s.align, align);
        }
        if (*total > kMaxItem - s.size) return false;
        s.size += *total;
        ++s.items;
        if (at(':')) {  // a field name, up to the closing ':'
            const auto close = f_.find(':', i_ + 1);
            if (close == std::string_view::npos) return false;
            i_ = close + 1;
        }
        return true;
    }

    std::string_view f_;
    std::size_t i_ = 0;
};

}  // namespace

bool format_is_plain(std::string_view format) noexcept {
    static constexpr std::string_view kPlain = "@=<>!xcbB?hHiIlLqQnNefdspuwZT{}(),0123456789 ";
    for (std::size_t i = 0; i < format.size(); ++i) {
        if (format[i] == ':') {  // a field name, up to the closing ':'
            const auto close = format.find(':', i + 1);
            if (close == std::string_view::npos) return false;
            i = close;
            continue;
        }
        if (kPlain.find(format[i]) == std::string_view::npos) return false;
    }
    return true;
}

std::optional<std::uint32_t> format_itemsize(std::string_view format) noexcept {
    if (!format_is_plain(format)) return std::nullopt;
    return Sizer(format).top();
}

}  // namespace velmora
