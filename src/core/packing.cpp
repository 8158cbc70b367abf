#include "core/packing.hpp"

#include <optional>
#include <string>

namespace velmora {
namespace {

std::optional<PackCode> code_of(char c) noexcept {
    switch (c) {
        case '?': return PackCode::Bool;
        case 'B': return PackCode::U8;
        case 'i': return PackCode::I32;
        case 'I': return PackCode::U32;
        case 'q': return PackCode::I64;
        case 'Q': return PackCode::U64;
        case 'f': return PackCode::F32;
        case 'd': return PackCode::F64;
        default: return std::nullopt;
    }
}

Error bad(std::string_view format, const std::string& why) {
    return Error::value("struct format '" + std::string(format) + "': " + why);
}

}  // namespace

void PackLayout::add(PackItem item) {
    if (more_.empty() && count_ < kInline) {
        inline_[count_++] = item;
        return;
    }
    if (more_.empty()) more_.assign(inline_.begin(), inline_.begin() + static_cast<std::ptrdiff_t>(count_));
    more_.push_back(item);
}

Result<PackLayout> PackLayout::parse(std::string_view format) {
    if (format.empty() || format.front() != '<')
        return bad(format, "must start with '<' (stored numbers are little-endian)");
    PackLayout out;
    std::uint64_t pos = 0;
    for (std::size_t i = 1; i < format.size();) {
        std::uint64_t count = 1;
        if (format[i] >= '0' && format[i] <= '9') {
            count = 0;
            while (i < format.size() && format[i] >= '0' && format[i] <= '9') {
                count = count * 10 + static_cast<std::uint64_t>(format[i] - '0');
                if (count > kMaxPackBytes) return bad(format, "a count is too large");
                ++i;
            }
            if (i == format.size()) return bad(format, "a count without a code");
        }
        const char c = format[i++];
        std::optional<PackCode> code;
        if (c != 'x' && !(code = code_of(c)))
            return bad(format, std::string("unknown code '") + c + "' (one of x ? B i I q Q f d)");
        const std::uint64_t width = code ? pack_width(*code) : 1;
        if (pos + count * width > kMaxPackBytes)
            return bad(format, "longer than " + std::to_string(kMaxPackBytes) + " bytes");
        if (code)
            for (std::uint64_t k = 0; k < count; ++k)
                out.add(PackItem{*code, static_cast<std::uint32_t>(pos + k * width)});
        pos += count * width;
    }
    if (pos == 0) return bad(format, "describes no bytes");
    out.size_ = static_cast<std::uint32_t>(pos);
    return out;
}

}  // namespace velmora
