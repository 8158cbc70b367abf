// Every platform call that takes a segment name checks it itself, before the
// OS sees it: nothing above the platform checks names again.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "platform/platform.hpp"

namespace velmora {
namespace {

const std::string kStart = "name must start with '/' (e.g. \"/my_segment\")";
const std::string kShort = "name must have at least one character after '/'";
const std::string kDots = "name must not be \".\" or \"..\" after '/'";

struct BadName {
    std::string name;
    std::string message;
};

class PlatformNames : public testing::TestWithParam<BadName> {};

TEST_P(PlatformNames, CreateOpenAndRemoveRefuseIt) {
    const BadName& c = GetParam();
    const auto check = [&](const Error& e, const char* call) {
        EXPECT_EQ(e.kind, Error::Kind::Value) << call;
        EXPECT_EQ(e.message, c.message) << call;
    };
    auto created = PlatformHandle::create(c.name, 64);
    ASSERT_FALSE(created);
    check(created.error(), "create");
    auto opened = PlatformHandle::open(c.name, 64);  // with a size: Windows asks for one first
    ASSERT_FALSE(opened);
    check(opened.error(), "open");
    Status removed = PlatformHandle::remove(c.name);
    ASSERT_FALSE(removed);
    check(removed.error(), "remove");
}

INSTANTIATE_TEST_SUITE_P(Rule, PlatformNames, testing::Values(
    BadName{"", kStart},
    BadName{"velmora_test_no_slash", kStart},  // glibc's shm_open would take it
    BadName{"/", kShort},
    BadName{"//", kShort},                     // Win32's empty name: a new anonymous object each time
    BadName{"/..", kDots},
    BadName{"//.", kDots},
    BadName{std::string("//a\0b", 5), "nul byte found in provided data at position: 1"}));

}  // namespace
}  // namespace velmora
