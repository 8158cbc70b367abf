// The Win32 platform layer against the real (or Wine's) kernel32. Windows
// only: the pure text helpers are covered by test_win32_text.cpp everywhere.
#ifdef _WIN32

#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <optional>
#include <string>

#include "platform/platform.hpp"
#include "platform/win32_text.hpp"

namespace velmora {
namespace {

// A name no other test or earlier run uses.
std::string unique_name(const char* stem) {
    static int counter = 0;
    return "/velmora_w32_" + std::string(stem) + "_" + std::to_string(::GetCurrentProcessId()) + "_" +
           std::to_string(++counter);
}

bool ends_with(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// An Os error whose message is the system text, a space and the code.
void expect_os_error(const Error& err, const std::string& code) {
    EXPECT_EQ(err.kind, Error::Kind::Os);
    const std::string tail = " (" + code + ")";
    EXPECT_TRUE(ends_with(err.message, tail)) << err.message;
    EXPECT_GT(err.message.size(), tail.size()) << "no system text: " << err.message;
}

TEST(Win32Platform, CreateThenOpenShareBytes) {
    const auto name = unique_name("share");
    auto created = PlatformHandle::create(name, 4096);
    ASSERT_TRUE(created) << created.error().message;
    auto opened = PlatformHandle::open(name, 4096);
    ASSERT_TRUE(opened) << opened.error().message;
    EXPECT_EQ(opened.value().name(), name);
    EXPECT_EQ(opened.value().size(), 4096u);

    auto a = created.value().map();
    auto b = opened.value().map();
    ASSERT_TRUE(a && b);
    EXPECT_NE(a.value().base(), b.value().base());  // separate views of one object
    EXPECT_EQ(a.value().size(), 4096u);
    std::memcpy(a.value().base() + 4090, "hello", 6);
    EXPECT_STREQ(reinterpret_cast<const char*>(b.value().base() + 4090), "hello");
}

TEST(Win32Platform, LeadingSlashesReachTheSameObject) {
    const auto name = unique_name("slashes");
    const auto tripled = "//" + name;
    auto one = PlatformHandle::create(name, 64);
    auto three = PlatformHandle::open(tripled, 64);
    ASSERT_TRUE(one && three);
    EXPECT_EQ(three.value().name(), tripled);  // each caller keeps its own form
    auto a = one.value().map();
    auto b = three.value().map();
    ASSERT_TRUE(a && b);
    a.value().base()[0] = 0x5A;
    EXPECT_EQ(b.value().base()[0], 0x5A);
}

TEST(Win32Platform, CreateAttachesToExistingWithRequestedSize) {
    const auto name = unique_name("twice");
    auto first = PlatformHandle::create(name, 8192);
    auto second = PlatformHandle::create(name, 4096);
    ASSERT_TRUE(first && second);
    EXPECT_EQ(second.value().size(), 4096u);  // recorded as asked, not compared
    auto a = first.value().map();
    auto b = second.value().map();
    ASSERT_TRUE(a && b);
    a.value().base()[100] = 7;
    EXPECT_EQ(b.value().base()[100], 7);
}

TEST(Win32Platform, OpenMissingNameIsFileNotFound) {
    auto missing = PlatformHandle::open(unique_name("missing"), 64);
    ASSERT_FALSE(missing);
    expect_os_error(missing.error(), "0x80070002");
}

TEST(Win32Platform, MapLargerThanObjectIsRefused) {
    const auto name = unique_name("short");
    auto created = PlatformHandle::create(name, 4096);
    ASSERT_TRUE(created);
    auto opened = PlatformHandle::open(name, 1 << 20);  // accepted: nothing compares sizes
    ASSERT_TRUE(opened);
    auto view = opened.value().map();
    ASSERT_FALSE(view);
    EXPECT_EQ(view.error().kind, Error::Kind::Os);
    EXPECT_TRUE(ends_with(view.error().message, ")")) << view.error().message;
}

TEST(Win32Platform, OpenWithSizeZeroMapsWholeObject) {
    const auto name = unique_name("zero");
    auto created = PlatformHandle::create(name, 4096);
    auto opened = PlatformHandle::open(name, 0);
    ASSERT_TRUE(created && opened);
    auto view = opened.value().map();
    ASSERT_TRUE(view) << view.error().message;
    EXPECT_EQ(view.value().size(), 0u);  // the recorded size; callers reject it
}

bool is_mapped(const void* base) {
    MEMORY_BASIC_INFORMATION info{};
    return ::VirtualQuery(base, &info, sizeof info) == sizeof info && info.State == MEM_COMMIT;
}

TEST(Win32Platform, ViewsAndHandlesAreReleasedIndependently) {
    const auto name = unique_name("lifetime");
    const std::uint8_t* released = nullptr;
    {
        auto view = [&] {
            auto created = PlatformHandle::create(name, 4096);
            EXPECT_TRUE(created);
            auto mapped = created.value().map();
            EXPECT_TRUE(mapped);
            return std::move(mapped.value());
        }();  // the handle is closed here; the view must survive it
        released = view.base();
        view.base()[0] = 42;
        EXPECT_EQ(view.base()[0], 42);
        // The name leaves with the last handle even though a view keeps the
        // object itself alive.
        auto by_name = PlatformHandle::open(name, 4096);
        ASSERT_FALSE(by_name);
        expect_os_error(by_name.error(), "0x80070002");
    }
    EXPECT_FALSE(is_mapped(released));  // ~Mapping unmapped the view
}

TEST(Win32Platform, MovedFromMappingDoesNotUnmap) {
    auto created = PlatformHandle::create(unique_name("move"), 4096);
    ASSERT_TRUE(created);
    auto first = created.value().map();
    ASSERT_TRUE(first);
    Mapping kept;
    {
        Mapping moved(std::move(first.value()));
        kept = std::move(moved);
    }
    ASSERT_TRUE(kept);
    EXPECT_TRUE(is_mapped(kept.base()));
    kept.base()[4095] = 1;
}

TEST(Win32Platform, ValueErrorsComeBeforeTheSystem) {
    struct Case { std::string name; bool with_size; std::string message; };
    const Case cases[] = {
        {std::string("//x\0y", 5), true, "nul byte found in provided data at position: 1"},
        {std::string("/\0", 2), true, "nul byte found in provided data at position: 0"},
        // the size check precedes forming the OS name
        {std::string("/x\0", 3), false, "size is required on Windows (Win32 does not expose segment size)"},
        {"/anything", false, "size is required on Windows (Win32 does not expose segment size)"},
    };
    for (const auto& c : cases) {
        auto opened = c.with_size ? PlatformHandle::open(c.name, 64) : PlatformHandle::open(c.name, std::nullopt);
        ASSERT_FALSE(opened);
        EXPECT_EQ(opened.error().kind, Error::Kind::Value);
        EXPECT_EQ(opened.error().message, c.message);
    }
    auto created = PlatformHandle::create(std::string("//x\0y", 5), 64);
    ASSERT_FALSE(created);
    EXPECT_EQ(created.error().message, "nul byte found in provided data at position: 1");
}

TEST(Win32Platform, RemoveAlwaysSucceeds) {
    const auto name = unique_name("remove");
    auto created = PlatformHandle::create(name, 64);
    ASSERT_TRUE(created);
    for (const std::string& n : {name, unique_name("never")}) EXPECT_TRUE(PlatformHandle::remove(n));
    auto still = PlatformHandle::open(name, 64);  // removing deleted nothing
    EXPECT_TRUE(still);
}

// Claims are byte-range locks on a file of the segment's own; two opens in
// one process stand in for two processes (a lock belongs to its open).
TEST(Win32Claims, ALockBelongsToItsOpenAndGoesWithIt) {
    const std::string name = unique_name("claims");
    auto handle = PlatformHandle::create(name, 64);
    ASSERT_TRUE(handle.ok());
    ASSERT_TRUE(ClaimFile::supported());
    auto first = std::make_optional(std::move(ClaimFile::open(*handle)).value());
    auto second = ClaimFile::open(*handle);
    ASSERT_TRUE(second.ok());
    EXPECT_EQ(first->key(), second->key());
    EXPECT_TRUE(first->try_lock(1, ClaimMode::Exclusive).value());
    EXPECT_FALSE(second->try_lock(1, ClaimMode::Exclusive).value());
    EXPECT_TRUE(second->conflicts(1, ClaimMode::Exclusive).value());
    EXPECT_TRUE(second->try_lock(2, ClaimMode::Exclusive).value());  // another slot is free
    EXPECT_TRUE(first->try_lock(0, ClaimMode::Shared).value());
    EXPECT_TRUE(second->try_lock(0, ClaimMode::Shared).value());     // attachments share
    EXPECT_TRUE(second->conflicts(0, ClaimMode::Exclusive).value());
    EXPECT_FALSE(second->conflicts(0, ClaimMode::Shared).value());
    EXPECT_TRUE(second->holders(1).empty());                         // the system cannot say who
    first.reset();                                                   // closed: its locks go
    EXPECT_FALSE(second->conflicts(1, ClaimMode::Exclusive).value());
    EXPECT_TRUE(second->try_lock(1, ClaimMode::Exclusive).value());
}

TEST(Win32Claims, NamesTheSystemTellsApartGetFilesOfTheirOwn) {
    const std::string base = unique_name("Case");
    auto upper = PlatformHandle::create(base, 64);
    auto lower = PlatformHandle::create(base + "_x", 64);
    ASSERT_TRUE(upper.ok() && lower.ok());
    const std::string a = ClaimFile::open(*upper).value().key();
    const std::string b = ClaimFile::open(*lower).value().key();
    EXPECT_NE(a, b);
    EXPECT_NE(a.find("velmora-claims-velmora_5Fw32_5F_43ase"), std::string::npos) << a;
}

TEST(Win32Platform, SystemMessageForms) {
    using win32::system_message;
    const std::string not_found = system_message(ERROR_FILE_NOT_FOUND);
    EXPECT_TRUE(ends_with(not_found, " (0x80070002)")) << not_found;
    EXPECT_GT(not_found.size(), std::strlen(" (0x80070002)"));
    EXPECT_EQ(not_found.find_first_of("\r\n"), std::string::npos);

    // Codes that are not positive pass unchanged; an NT status (looked up in
    // ntdll.dll, which has no texts under Wine) may come back as the bare code.
    for (const std::uint32_t code : {0u, 0x80004005u, 0xD0000022u}) {
        const std::string message = system_message(code);
        const std::string hex = win32::format_code(code);
        EXPECT_TRUE(message == hex || ends_with(message, " (" + hex + ")")) << message;
    }
}

}  // namespace
}  // namespace velmora

#endif  // _WIN32
