#include "core/view_rules.hpp"

#include <charconv>
#include <cstdlib>
#include <limits>

#include "core/lock.hpp"

namespace velmora {

Status check_view_size(std::uint64_t map_size) {
    if (map_size > RWLOCK_SIZE) return {};
    return Error::value("segment size must be > 4 bytes (rwlock header)");
}

Status check_range(std::uint64_t start, std::uint64_t length, std::uint64_t data_size) {
    if (length == 0) return Error::value("length cannot be zero");
    constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
    const std::uint64_t end = start > kMax - length ? kMax : start + length;
    if (end <= data_size) return {};
    return Error::value("out of bounds: offset=" + std::to_string(start) + " + length=" +
                           std::to_string(length) + " > data_size=" + std::to_string(data_size));
}

Status check_position(std::uint64_t pos, std::uint64_t data_size) {
    if (pos <= data_size) return {};
    return Error::value("seek position " + std::to_string(pos) + " exceeds data_size " +
                           std::to_string(data_size));
}

std::string describe_word(std::int32_t word) {
    if (word == 0) return "unlocked";
    if (word == RWLOCK_WRITE_LOCKED) return "write-locked";
    if (word > 0) return std::to_string(word) + (word == 1 ? " reader" : " readers");
    return "invalid";
}

Error lock_timeout_error(std::string_view seconds, std::string_view name, std::int32_t word) {
    return Error::timeout("timed out after " + std::string(seconds) + " s waiting for the lock of '" +
                             std::string(name) + "' (lock word " + std::to_string(word) + ": " +
                             describe_word(word) + ")");
}

std::string float_repr(double value) {
    // Shortest scientific form first ("1.5e+00"), then laid out as Python does.
    char buf[64];
    const auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
    const std::string_view text(buf, static_cast<std::size_t>(res.ptr - buf));
    const std::size_t e = text.find('e');
    std::string digits(text.substr(0, e));
    if (digits.size() > 1) digits.erase(1, 1);  // drop the '.'
    const int exp = std::atoi(std::string(text.substr(e + 1)).c_str());
    std::string out;
    if (exp < -4 || exp >= 16) {
        out.append(digits, 0, 1);
        if (digits.size() > 1) out.append(".").append(digits, 1);
        const int mag = exp < 0 ? -exp : exp;
        out.append(exp < 0 ? "e-" : "e+").append(mag < 10 ? "0" : "").append(std::to_string(mag));
    } else if (exp < 0) {
        out.append("0.").append(static_cast<std::size_t>(-exp - 1), '0').append(digits);
    } else {
        const auto whole = static_cast<std::size_t>(exp) + 1;
        if (digits.size() <= whole) out.append(digits).append(whole - digits.size(), '0').append(".0");
        else out.append(digits, 0, whole).append(".").append(digits, whole);
    }
    return out;
}

}  // namespace velmora
