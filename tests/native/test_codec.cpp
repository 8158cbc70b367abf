#include "core/codec.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

#if defined(__unix__)
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace velmora {
namespace {

using Bytes = std::vector<std::uint8_t>;
// A Scalar with the str span turned into an owned string, so it compares.
using Plain = std::variant<bool, std::int64_t, std::uint64_t, double, std::string>;

Plain plain(const Scalar& s) {
    return std::visit([](auto v) -> Plain {
        if constexpr (std::is_same_v<decltype(v), std::span<const std::uint8_t>>) {
            return std::string(v.begin(), v.end());
        } else {
            return v;
        }
    }, s);
}

std::string error_of(const Result<Decoded>& r) { return r.ok() ? "<ok>" : r.error().message; }

TEST(CodecTags, ExactCaseSensitiveMatch) {
    struct Case { std::string_view tag; std::optional<Form> form; };
    const Case cases[] = {
        {"bool", Form::Bool}, {"u8", Form::U8},   {"i32", Form::I32},  {"u32", Form::U32},
        {"int", Form::I64},   {"i64", Form::I64}, {"u64", Form::U64},  {"f32", Form::F32},
        {"float", Form::F64}, {"f64", Form::F64}, {"str", Form::Str},
        {"Bool", {}}, {"INT", {}}, {"I64", {}}, {"Str", {}}, {"str16", {}}, {"st", {}},
        {"", {}}, {" i64", {}}, {"i64 ", {}}, {"u16", {}}, {"double", {}},
        {std::string_view("bool\0", 5), {}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(lookup_tag(c.tag), c.form) << "tag '" << c.tag << "'";
    }
}

TEST(CodecDecode, ValuesAndConsumed) {
    struct Case { std::string_view tag; Bytes data; Plain want; std::uint64_t consumed; };
    const Case cases[] = {
        {"bool", {0x00}, false, 1},
        {"bool", {0x07, 0x00}, true, 1},
        {"u8", {0xFF}, std::uint64_t{255}, 1},
        {"i32", {0xFF, 0xFF, 0xFF, 0xFF}, std::int64_t{-1}, 4},
        {"i32", {0xFE, 0xFF, 0xFF, 0xFF, 1, 2, 3, 4}, std::int64_t{-2}, 4},
        {"u32", {0xFF, 0xFF, 0xFF, 0xFF}, std::uint64_t{4294967295u}, 4},
        {"int", Bytes(8, 0xFF), std::int64_t{-1}, 8},
        {"i64", {1, 0, 0, 0, 0, 0, 0, 0x80, 9}, std::int64_t{INT64_MIN + 1}, 8},
        {"u64", Bytes(8, 0xFF), std::uint64_t{UINT64_MAX}, 8},
        {"f32", {0xCD, 0xCC, 0x8C, 0x3F}, 1.100000023841858, 4},
        {"float", {0, 0, 0, 0, 0, 0, 0xF8, 0x3F}, 1.5, 8},
        {"f64", {0, 0, 0, 0, 0, 0, 0, 0x80}, -0.0, 8},
        {"str", {0, 0, 0, 0}, std::string(), 4},
        {"str", {3, 0, 0, 0, 'h', 0xC3, 0x28, 'x'}, std::string("h\xC3("), 7},
        {"str", {2, 0, 0, 0, 'a', 0}, std::string("a\0", 2), 6},
    };
    for (const Case& c : cases) {
        Result<Decoded> r = decode_scalar(c.data.data(), c.data.size(), c.tag);
        ASSERT_TRUE(r.ok()) << c.tag << ": " << error_of(r);
        EXPECT_EQ(plain(r.value().value), c.want) << c.tag;
        EXPECT_EQ(r.value().consumed, c.consumed) << c.tag;
    }
}

TEST(CodecDecode, NegativeZeroKeepsItsSign) {
    const Bytes b{0, 0, 0, 0, 0, 0, 0, 0x80};
    Result<Decoded> r = decode_scalar(b.data(), b.size(), "f64");
    ASSERT_TRUE(r.ok());
    EXPECT_TRUE(std::signbit(std::get<double>(r.value().value)));
}

TEST(CodecDecode, FailureMessages) {
    struct Case { std::string_view tag; Bytes data; std::string message; };
    const std::string unknown_tail =
        "; supported: bool, int, float, f32, f64, i32, i64, u8, u32, u64, str";
    const Case cases[] = {
        {"bool", {}, "not enough data to read 'bool'"},
        {"u8", {}, "not enough data to read 'u8': need 1, have 0"},
        {"i32", {1, 2, 3}, "not enough data to read 'i32': need 4, have 3"},
        {"u32", {}, "not enough data to read 'u32': need 4, have 0"},
        {"f32", {1}, "not enough data to read 'f32': need 4, have 1"},
        {"int", {1, 2, 3}, "not enough data to read 'int': need 8, have 3"},
        {"i64", {1, 2, 3}, "not enough data to read 'i64': need 8, have 3"},
        {"u64", Bytes(7), "not enough data to read 'u64': need 8, have 7"},
        {"float", Bytes(4), "not enough data to read 'float': need 8, have 4"},
        {"f64", {}, "not enough data to read 'f64': need 8, have 0"},
        {"str", {}, "not enough data to read str length prefix"},
        {"str", {5, 0}, "not enough data to read str length prefix"},
        {"str", {5, 0, 0}, "not enough data to read str length prefix"},
        {"str", {5, 0, 0, 0, 'h', 'i'}, "not enough data to read str payload: need 9, have 6"},
        {"str", {1, 0, 0, 0}, "not enough data to read str payload: need 5, have 4"},
        // Counts near 2^32: n + 4 must be computed in 64 bits, never wrap.
        {"str", {0xFF, 0xFF, 0xFF, 0xFF, 1},
         "not enough data to read str payload: need 4294967299, have 5"},
        {"str", {0xFD, 0xFF, 0xFF, 0xFF},
         "not enough data to read str payload: need 4294967297, have 4"},
        {"I64", Bytes(8), "unknown type tag 'I64'" + unknown_tail},
        {"str16", {}, "unknown type tag 'str16'" + unknown_tail},
        {"", {}, "unknown type tag ''" + unknown_tail},
    };
    for (const Case& c : cases) {
        const Result<Decoded> r = decode_scalar(c.data.data(), c.data.size(), c.tag);
        EXPECT_EQ(error_of(r), c.message) << "tag '" << c.tag << "', " << c.data.size() << " bytes";
        if (!r.ok()) {
            EXPECT_EQ(r.error().kind, Error::Kind::Value);
        }
    }
}

TEST(CodecElement, OutOfBoundsMessages) {
    struct Case { Form form; Bytes data; std::uint64_t pos; std::string message; };
    const Case cases[] = {
        {Form::I64, Bytes(12), 8, "out of bounds: cursor=8 + needed=8 > data_len=12"},
        {Form::Bool, {}, 0, "out of bounds: cursor=0 + needed=1 > data_len=0"},
        {Form::F32, Bytes(5), 2, "out of bounds: cursor=2 + needed=4 > data_len=5"},
        {Form::Str, {10, 0, 0, 0, 1, 2, 3, 4, 5, 6}, 0,
         "out of bounds: cursor=4 + needed=10 > data_len=10"},
        {Form::Str, {1, 2}, 0, "out of bounds: cursor=0 + needed=4 > data_len=2"},
        {Form::Str, {9, 9, 0xFF, 0xFF, 0xFF, 0xFF}, 2,
         "out of bounds: cursor=6 + needed=4294967295 > data_len=6"},
    };
    for (const Case& c : cases) {
        const Result<Decoded> r = decode_element(c.form, c.data.data(), c.data.size(), c.pos);
        EXPECT_EQ(error_of(r), c.message);
    }
}

TEST(CodecElement, DecodesAtOffset) {
    const Bytes b{0xAA, 2, 0, 0, 0, 'o', 'k', 0xFF, 0xFF, 0xFF, 0xFF};
    Result<Decoded> s = decode_element(Form::Str, b.data(), b.size(), 1);
    ASSERT_TRUE(s.ok()) << error_of(s);
    EXPECT_EQ(plain(s.value().value), Plain(std::string("ok")));
    EXPECT_EQ(s.value().consumed, 6u);
    Result<Decoded> i = decode_element(Form::I32, b.data(), b.size(), 7);
    ASSERT_TRUE(i.ok()) << error_of(i);
    EXPECT_EQ(plain(i.value().value), Plain(std::int64_t{-1}));
    EXPECT_EQ(i.value().consumed, 4u);
}

TEST(CodecBytes, UnalignedStoreAndLoadAtEveryOffset) {
    for (std::size_t off = 0; off < 8; ++off) {
        std::uint8_t buf[24] = {};
        store_le<std::uint64_t>(buf + off, 0x0807060504030201u);
        for (std::size_t i = 0; i < sizeof buf; ++i) {
            const bool inside = i >= off && i < off + 8;
            EXPECT_EQ(buf[i], inside ? i - off + 1 : 0u) << "offset " << off << " byte " << i;
        }
        EXPECT_EQ(load_le<std::uint64_t>(buf + off), 0x0807060504030201u);
        EXPECT_EQ(load_le<std::uint32_t>(buf + off + 1), 0x05040302u);
        store_le<double>(buf + off + 3, -2.25);
        EXPECT_EQ(load_le<double>(buf + off + 3), -2.25);
        store_le<float>(buf + off + 13, 0.1f);
        EXPECT_EQ(load_le<float>(buf + off + 13), 0.1f);
    }
}

TEST(CodecEncode, StrSizeLimit) {
    EXPECT_TRUE(check_str_size(0).ok());
    EXPECT_TRUE(check_str_size(0xFFFFFFFFu).ok());
    const Status s = check_str_size(0x100000000u);
    ASSERT_FALSE(s.ok());
    EXPECT_EQ(s.error().kind, Error::Kind::Value);
}

#if defined(__unix__)
// A range that ends right at an inaccessible page: any read at or past its
// length faults instead of passing unnoticed.
class GuardedRange {
public:
    GuardedRange() {
        page_ = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
        void* p = mmap(nullptr, 2 * page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        base_ = p == MAP_FAILED ? nullptr : static_cast<std::uint8_t*>(p);
        if (base_ != nullptr) mprotect(base_ + page_, page_, PROT_NONE);
    }
    ~GuardedRange() { if (base_ != nullptr) munmap(base_, 2 * page_); }
    // The last `n` bytes before the guard page, filled with `fill`.
    std::uint8_t* tail(std::size_t n, std::uint8_t fill) {
        std::uint8_t* p = base_ + page_ - n;
        std::fill(p, p + n, fill);
        return p;
    }
    bool ok() const { return base_ != nullptr; }

private:
    std::size_t page_ = 0;
    std::uint8_t* base_ = nullptr;
};

TEST(CodecBounds, NeverReadsPastTheRange) {
    GuardedRange g;
    ASSERT_TRUE(g.ok());
    const std::string_view tags[] = {"bool", "u8", "i32", "u32", "int", "i64",
                                     "u64", "f32", "float", "f64", "str"};
    const std::uint8_t fills[] = {0x00, 0x01, 0xFF};
    for (std::string_view tag : tags) {
        for (std::uint8_t fill : fills) {
            for (std::size_t n = 0; n <= 9; ++n) {
                const std::uint8_t* data = g.tail(n, fill);
                Result<Decoded> r = decode_scalar(data, n, tag);
                if (r.ok()) {
                    EXPECT_LE(r.value().consumed, n) << tag;
                }
                const Result<Decoded> e = decode_element(*lookup_tag(tag), data, n, 0);
                EXPECT_EQ(r.ok(), e.ok()) << tag << " " << n;
            }
        }
    }
}
#endif

}  // namespace
}  // namespace velmora
