// Native tests of the struct layouts MappedView.write_struct/read_struct use.
#include <gtest/gtest.h>

#include <string_view>
#include <vector>

#include "core/packing.hpp"

namespace velmora {
namespace {

std::vector<std::uint32_t> offsets(const PackLayout& layout) {
    std::vector<std::uint32_t> out;
    for (const PackItem& item : layout.items()) out.push_back(item.offset);
    return out;
}

TEST(PackLayout, PlacesItemsBackToBackWithPadding) {
    auto layout = PackLayout::parse("<?B2xiIfQ3d");
    ASSERT_TRUE(layout);
    EXPECT_EQ(layout->size(), 1u + 1 + 2 + 4 + 4 + 4 + 8 + 24);
    EXPECT_EQ(offsets(*layout), (std::vector<std::uint32_t>{0, 1, 4, 8, 12, 16, 24, 32, 40}));
    EXPECT_EQ(layout->items()[6].code, PackCode::F64);
}

TEST(PackLayout, ManyItemsGoPastTheInlineRoom) {
    auto layout = PackLayout::parse("<x100q");
    ASSERT_TRUE(layout);
    ASSERT_EQ(layout->items().size(), 100u);
    EXPECT_EQ(layout->items()[99].offset, 1u + 99 * 8);
    EXPECT_EQ(layout->size(), 801u);
}

class PackRefused : public ::testing::TestWithParam<const char*> {};

TEST_P(PackRefused, IsAValueError) {
    auto layout = PackLayout::parse(GetParam());
    ASSERT_FALSE(layout) << GetParam();
    EXPECT_EQ(layout.error().kind, Error::Kind::Value);
}

INSTANTIATE_TEST_SUITE_P(Bad, PackRefused,
                         ::testing::Values("", "q", ">q", "<", "<0q", "<3", "<qh", "<s", "<2000000x",
                                           "<99999999999999999999q", "< q"));

}  // namespace
}  // namespace velmora
