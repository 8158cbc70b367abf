// Native tests of plain-data formats: what may cross between processes, and
// the item size a reader of each format will assume (numpy's own formats
// included, with their item sizes as numpy reports them).
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>

#include "core/formats.hpp"

namespace velmora {
namespace {

struct Sized {
    const char* format;
    std::uint32_t size;
};

class FormatSize : public ::testing::TestWithParam<Sized> {};

TEST_P(FormatSize, IsWhatReadersAssume) {
    EXPECT_TRUE(format_is_plain(GetParam().format));
    EXPECT_EQ(format_itemsize(GetParam().format), std::optional<std::uint32_t>(GetParam().size)) << GetParam().format;
}

INSTANTIATE_TEST_SUITE_P(
    Plain, FormatSize,
    ::testing::Values(Sized{"B", 1}, Sized{"d", 8}, Sized{"<d", 8}, Sized{"@i", 4}, Sized{"e", 2}, Sized{"?", 1},
                      Sized{"l", sizeof(long)}, Sized{"<l", 4}, Sized{"n", sizeof(std::size_t)}, Sized{"Zd", 16},
                      Sized{"Zf", 8}, Sized{"10s", 10}, Sized{"3w", 12}, Sized{"3d", 24}, Sized{"(2,3)h", 12},
                      Sized{"<dB", 9}, Sized{"4x", 4},
                      // numpy structured dtypes: packed, aligned (end padding implied), nested
                      Sized{"T{=d:x:@i:y:}", 12}, Sized{"T{d:x:i:y:}", 16}, Sized{"T{B:x:=d:y:}", 9},
                      Sized{"T{B:x:xxxxxxxd:y:B:z:}", 24}, Sized{"T{(2,3)h:x:f:y:}", 16},
                      Sized{"T{T{d:b:B:c:}:a:}", 16}, Sized{"T{Zd:x:B:y:}", 24}, Sized{"T{3s:x:=2w:y:}", 11}));

class FormatRefused : public ::testing::TestWithParam<const char*> {};

TEST_P(FormatRefused, HasNoItemSize) { EXPECT_EQ(format_itemsize(GetParam()), std::nullopt) << GetParam(); }

INSTANTIATE_TEST_SUITE_P(
    Refused, FormatRefused,
    ::testing::Values("O", "P", "&d", "dO", "T{O:x:}", "g",          // objects, pointers, not plain
                      "", "<", "T{}", "0s", "i2", "(2,h", "Zq", "Z",  // nothing, or no parse
                      "T{d", "d}", "d:x", "<n",                       // unclosed, no standard size
                      "dB", "Bd", "T{B:x:d:y:}",                      // native padding readers disagree on
                      "4294967296B", "65536(65536)B", "T{T{T{T{T{T{T{T{T{T{T{T{T{T{T{T{T{B}}}}}}}}}}}}}}}}}"));

TEST(FormatPlain, RefusesObjectsAndPointersAnywhere) {
    EXPECT_TRUE(format_is_plain("T{<d:O:}"));  // a field may be called anything
    EXPECT_FALSE(format_is_plain("O"));
    EXPECT_FALSE(format_is_plain("T{<d:x:O:y:}"));
    EXPECT_FALSE(format_is_plain("P"));
    EXPECT_FALSE(format_is_plain("T{d:unclosed"));
}

}  // namespace
}  // namespace velmora
