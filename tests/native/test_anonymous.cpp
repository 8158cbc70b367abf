// Segments without a name: made by create_anonymous(), reached by others
// only through a descriptor (open_descriptor), gone with the last of them;
// and create(name, size, replace) over a leftover of the name.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "core/claims.hpp"
#include "platform/platform.hpp"
#include "support.hpp"

#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace velmora {
namespace {

using test::must;

#ifndef _WIN32

// What the system says descriptor `fd` of this process is open on.
std::string fd_target(std::intptr_t fd) {
    char buf[256] = {};
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    const ssize_t n = ::readlink(path.c_str(), buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
}

TEST(Anonymous, CreateMakesANamelessCloseOnExecSegmentOfTheSizeAsked) {
    const PlatformHandle h = must(PlatformHandle::create_anonymous(4096 + 24));
    EXPECT_TRUE(h.anonymous());
    EXPECT_EQ(h.name(), kAnonymousName);
    EXPECT_EQ(h.size(), 4096u + 24u);
#ifdef __linux__
    // A memfd: no file in /dev/shm (or anywhere) is it.
    EXPECT_EQ(fd_target(h.descriptor()).rfind("/memfd:velmora", 0), 0u) << fd_target(h.descriptor());
#endif
    const int flags = ::fcntl(static_cast<int>(h.descriptor()), F_GETFD);
    ASSERT_GE(flags, 0);
    EXPECT_TRUE(flags & FD_CLOEXEC);
}

TEST(Anonymous, ADescriptorOpensTheSameBytesAndOutlivesTheCreatorsHandle) {
    std::optional<PlatformHandle> made(must(PlatformHandle::create_anonymous(8192)));
    const Mapping first = must(made->map());
    std::memcpy(first.base(), "hello", 5);
    const PlatformHandle opened = must(PlatformHandle::open_descriptor(made->descriptor(), std::nullopt));
    EXPECT_NE(opened.descriptor(), made->descriptor());  // a duplicate: the caller keeps its own
    EXPECT_TRUE(opened.anonymous());
    EXPECT_EQ(opened.size(), 8192u);
    made.reset();
    const Mapping second = must(opened.map());
    EXPECT_EQ(std::memcmp(second.base(), "hello", 5), 0);
    second.base()[5] = '!';
    EXPECT_EQ(first.base()[5], '!');
    // Two opens of one segment are one file: its claims and bells are shared.
    EXPECT_TRUE(first.id().known());
    EXPECT_EQ(first.id().ino, second.id().ino);
}

TEST(Anonymous, APrefixMayBeOpenedButNotMoreThanTheSegment) {
    const PlatformHandle h = must(PlatformHandle::create_anonymous(4096));
    EXPECT_EQ(must(PlatformHandle::open_descriptor(h.descriptor(), 64)).size(), 64u);
    auto larger = PlatformHandle::open_descriptor(h.descriptor(), 4097);
    ASSERT_FALSE(larger);
    EXPECT_EQ(larger.error().reason, Reason::too_large);
}

TEST(Anonymous, OpenRefusesWhatIsNoWritableSegment) {
    int pipe_fds[2];
    ASSERT_EQ(::pipe(pipe_fds), 0);
    auto piped = PlatformHandle::open_descriptor(pipe_fds[0], std::nullopt);
    ::close(pipe_fds[0]);
    ::close(pipe_fds[1]);
    ASSERT_FALSE(piped);
    EXPECT_EQ(piped.error().kind, Error::Kind::Value);

    auto bad = PlatformHandle::open_descriptor(-1, std::nullopt);
    ASSERT_FALSE(bad);
    EXPECT_EQ(bad.error().code, EBADF);

    const PlatformHandle h = must(PlatformHandle::create_anonymous(4096));
    const std::string path = "/proc/self/fd/" + std::to_string(h.descriptor());
    const int read_only = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(read_only, 0);
    auto refused = PlatformHandle::open_descriptor(read_only, std::nullopt);
    ::close(read_only);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().code, EACCES);
}

TEST(Anonymous, ClaimsWorkAcrossForkAndAKilledHoldersClaimGoes) {
    const PlatformHandle h = must(PlatformHandle::create_anonymous(4096));
    auto site = must(ClaimSite::of(h));
    ASSERT_TRUE(site->supported());
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t pid = ::fork();
    if (pid == 0) {
        // The child reaches the segment through its inherited descriptor only.
        auto mine = PlatformHandle::open_descriptor(h.descriptor(), std::nullopt);
        auto child_site = mine ? ClaimSite::of(*mine) : Result<std::shared_ptr<ClaimSite>>(mine.error());
        auto claim = child_site ? child_site.value()->claim(claim_slot::producer, ClaimMode::Exclusive)
                                : Result<std::optional<Claim>>(child_site.error());
        const char answer = claim && claim.value() ? 'y' : 'n';
        (void)!::write(ready[1], &answer, 1);
        ::pause();
        ::_exit(0);
    }
    ::close(ready[1]);
    char answer = 0;
    ASSERT_EQ(::read(ready[0], &answer, 1), 1);
    ::close(ready[0]);
    EXPECT_EQ(answer, 'y');
    EXPECT_TRUE(must(site->held_elsewhere(claim_slot::producer)));
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    EXPECT_FALSE(must(site->held_elsewhere(claim_slot::producer)));
}

TEST(Replace, CreateOverALeftoverMakesANewSegmentAndLeavesOldMappingsAlone) {
    const std::string name = test::fresh_name("replace");
    std::optional<PlatformHandle> old(must(PlatformHandle::create(name, 4096)));
    const Mapping old_view = must(old->map());
    old_view.base()[0] = 7;
    auto again = PlatformHandle::create(name, 4096);
    ASSERT_FALSE(again);
    EXPECT_EQ(again.error().reason, Reason::exists);
    const PlatformHandle fresh = must(PlatformHandle::create(name, 8192, true));
    EXPECT_FALSE(fresh.anonymous());
    const Mapping view = must(must(PlatformHandle::open(name, std::nullopt)).map());
    EXPECT_EQ(view.size(), 8192u);
    EXPECT_EQ(view.base()[0], 0);
    EXPECT_EQ(old_view.base()[0], 7);
    ASSERT_TRUE(PlatformHandle::remove(name));
    // Nothing left to replace is no failure.
    (void)must(PlatformHandle::create(name, 64, true));
    ASSERT_TRUE(PlatformHandle::remove(name));
}

#else

TEST(Anonymous, IsRefusedOnWindows) {
    auto made = PlatformHandle::create_anonymous(4096);
    ASSERT_FALSE(made);
    EXPECT_EQ(made.error().code, ENOTSUP);
}

#endif

}  // namespace
}  // namespace velmora
