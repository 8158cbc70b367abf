// Claims between processes: sharing within one process, refusal across two,
// release on close and on death, fork children that neither inherit nor drop
// their parent's claims, shared attachments, the holder pids, and failing
// closed when the claim file cannot be opened.
#include <gtest/gtest.h>

#ifndef _WIN32

#include <atomic>
#include <csignal>
#include <memory>
#include <string>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "core/claims.hpp"
#include "core/view_attach.hpp"
#include "platform/platform.hpp"
#include "platform/wait.hpp"
#include "support.hpp"
#include "velmora/velmora.hpp"

namespace velmora {
namespace {

using test::must;

// A created segment removed again at the end of the test.
struct Seg {
    std::string name = test::fresh_name("claims");
    PlatformHandle handle = must(PlatformHandle::create(name, 4096));
    ~Seg() { (void)PlatformHandle::remove(name); }
    PlatformHandle opened() const { return must(PlatformHandle::open(name, std::nullopt)); }
};

// Runs `body` in a forked child and returns its exit status (or -signal).
template <class Body>
int in_child(Body body) {
    const pid_t pid = ::fork();
    if (pid == 0) ::_exit(body());
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}

// Lowers the soft open-file limit to the lowest free descriptor, so the next
// open fails with EMFILE; restore() gives the old limit back.
struct NoFreeDescriptors {
    rlimit old{};
    NoFreeDescriptors() {
        ::getrlimit(RLIMIT_NOFILE, &old);
        const int lowest = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        ::close(lowest);
        rlimit low = old;
        low.rlim_cur = static_cast<rlim_t>(lowest);
        ::setrlimit(RLIMIT_NOFILE, &low);
    }
    void restore() const { ::setrlimit(RLIMIT_NOFILE, &old); }
};

// A child that opens the segment, claims `slot`, reports through a pipe and
// then waits until its stdin pipe closes (or it is killed).
struct Holder {
    pid_t pid = -1;
    int ready = -1, release = -1;

    Holder(const std::string& name, std::uint64_t slot, ClaimMode mode) {
        int up[2], down[2];
        if (::pipe(up) != 0 || ::pipe(down) != 0) throw std::runtime_error("pipe");
        pid = ::fork();
        if (pid == 0) {
            ::close(up[0]);
            ::close(down[1]);
            auto handle = PlatformHandle::open(name, std::nullopt);
            char ok = 0;
            if (handle) {
                auto site = ClaimSite::of(*handle);
                auto claim = site ? (*site)->claim(slot, mode) : Result<std::optional<Claim>>(site.error());
                ok = claim && claim->has_value() ? 'y' : 'n';
                (void)!::write(up[1], &ok, 1);
                char c;
                (void)!::read(down[0], &c, 1);
            } else {
                (void)!::write(up[1], &ok, 1);
            }
            ::_exit(0);
        }
        ::close(up[1]);
        ::close(down[0]);
        ready = up[0];
        release = down[1];
    }
    // 'y' when the child took its claim.
    char wait_ready() const {
        char c = 0;
        return ::read(ready, &c, 1) == 1 ? c : 0;
    }
    void finish() {
        if (release >= 0) ::close(release);
        release = -1;
        if (pid > 0) ::waitpid(pid, nullptr, 0);
        pid = -1;
    }
    void kill() {
        ::kill(pid, SIGKILL);
        finish();
    }
    ~Holder() {
        if (pid > 0) kill();
        ::close(ready);
    }
};

TEST(Claims, HandlesOfOneProcessShareOneSiteAndItsClaims) {
    Seg seg;
    const PlatformHandle second = seg.opened();
    auto a = must(ClaimSite::of(seg.handle));
    auto b = must(ClaimSite::of(second));
    ASSERT_TRUE(a->supported());
    EXPECT_EQ(a.get(), b.get());
    auto first = must(a->claim(claim_slot::producer, ClaimMode::Exclusive));
    auto again = must(b->claim(claim_slot::producer, ClaimMode::Exclusive));
    ASSERT_TRUE(first && again);
    EXPECT_TRUE(must(a->held_elsewhere(claim_slot::producer)) == false);
    first.reset();
    // One handle let go; the process still holds the role.
    EXPECT_TRUE(a->held_here(claim_slot::producer));
    Holder other(seg.name, claim_slot::producer, ClaimMode::Exclusive);
    EXPECT_EQ(other.wait_ready(), 'n');
    other.finish();
    again.reset();
    EXPECT_FALSE(a->held_here(claim_slot::producer));
    Holder later(seg.name, claim_slot::producer, ClaimMode::Exclusive);
    EXPECT_EQ(later.wait_ready(), 'y');
}

TEST(Claims, AnotherProcessIsRefusedAndNamedUntilItsHolderCloses) {
    Seg seg;
    auto site = must(ClaimSite::of(seg.handle));
    Holder holder(seg.name, claim_slot::consumer, ClaimMode::Exclusive);
    ASSERT_EQ(holder.wait_ready(), 'y');
    EXPECT_TRUE(must(site->held_elsewhere(claim_slot::consumer)));
    EXPECT_FALSE(must(site->held_elsewhere(claim_slot::producer)));
    EXPECT_FALSE(must(site->claim(claim_slot::consumer, ClaimMode::Exclusive)).has_value());
    EXPECT_EQ(site->holders(claim_slot::consumer), std::vector<long>{holder.pid});
    EXPECT_TRUE(site->holders(claim_slot::producer).empty());
    holder.finish();
    EXPECT_FALSE(must(site->held_elsewhere(claim_slot::consumer)));
    auto mine = must(site->claim(claim_slot::consumer, ClaimMode::Exclusive));
    ASSERT_TRUE(mine.has_value());
    EXPECT_EQ(site->holders(claim_slot::consumer), std::vector<long>{::getpid()});
    EXPECT_TRUE(site->holders(claim_slot::consumer, true).empty());
}

TEST(Claims, AKilledHoldersClaimIsGoneOnceItIsReaped) {
    Seg seg;
    auto site = must(ClaimSite::of(seg.handle));
    Holder holder(seg.name, claim_slot::producer, ClaimMode::Exclusive);
    ASSERT_EQ(holder.wait_ready(), 'y');
    ASSERT_TRUE(must(site->held_elsewhere(claim_slot::producer)));
    holder.kill();
    EXPECT_FALSE(must(site->held_elsewhere(claim_slot::producer)));
    EXPECT_TRUE(must(site->claim(claim_slot::producer, ClaimMode::Exclusive)).has_value());
}

TEST(Claims, AForkChildNeitherHoldsNorReleasesItsParentsClaims) {
    Seg seg;
    auto site = must(ClaimSite::of(seg.handle));
    auto mine = must(site->claim(claim_slot::producer, ClaimMode::Exclusive));
    ASSERT_TRUE(mine.has_value());
    const int status = in_child([&] {
        if (mine->current()) return 1;
        if (site->held_here(claim_slot::producer)) return 2;
        auto elsewhere = site->held_elsewhere(claim_slot::producer);
        if (!elsewhere || !elsewhere.value()) return 3;  // the parent's claim, seen from outside
        auto refused = site->claim(claim_slot::producer, ClaimMode::Exclusive);
        if (!refused || refused->has_value()) return 4;
        mine.reset();  // the child's stale copy: gives nothing back
        return 0;
    });
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(mine->current());
    EXPECT_TRUE(site->held_here(claim_slot::producer));
    Holder other(seg.name, claim_slot::producer, ClaimMode::Exclusive);
    EXPECT_EQ(other.wait_ready(), 'n');
}

TEST(Claims, AForkChildCanClaimOnceItsParentLetsGo) {
    Seg seg;
    auto site = must(ClaimSite::of(seg.handle));
    // The child claims through the site it inherited; the parent, which holds
    // nothing, sees it as another process.
    int up[2];
    ASSERT_EQ(::pipe(up), 0);
    const pid_t pid = ::fork();
    if (pid == 0) {
        auto claim = site->claim(claim_slot::consumer, ClaimMode::Exclusive);
        const char ok = claim && claim->has_value() ? 'y' : 'n';
        (void)!::write(up[1], &ok, 1);
        ::pause();
        ::_exit(0);
    }
    char c = 0;
    ASSERT_EQ(::read(up[0], &c, 1), 1);
    EXPECT_EQ(c, 'y');
    EXPECT_TRUE(must(site->held_elsewhere(claim_slot::consumer)));
    EXPECT_EQ(site->holders(claim_slot::consumer, true), std::vector<long>{pid});
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    ::close(up[0]);
    ::close(up[1]);
    EXPECT_FALSE(must(site->held_elsewhere(claim_slot::consumer)));
}

TEST(Claims, SharedAttachmentsCoexistAndShowWhetherAnyoneElseIsAttached) {
    Seg seg;
    auto site = must(ClaimSite::of(seg.handle));
    auto mine = must(site->claim(claim_slot::attached, ClaimMode::Shared));
    ASSERT_TRUE(mine.has_value());
    // Alone: nobody else would stop an exclusive claim.
    EXPECT_FALSE(must(site->held_elsewhere(claim_slot::attached, ClaimMode::Exclusive)));
    Holder reader(seg.name, claim_slot::attached, ClaimMode::Shared);
    ASSERT_EQ(reader.wait_ready(), 'y');
    EXPECT_TRUE(must(site->held_elsewhere(claim_slot::attached, ClaimMode::Exclusive)));
    EXPECT_FALSE(must(site->held_elsewhere(claim_slot::attached, ClaimMode::Shared)));
    reader.kill();
    EXPECT_FALSE(must(site->held_elsewhere(claim_slot::attached, ClaimMode::Exclusive)));
    // One process cannot hold a slot in both modes.
    EXPECT_FALSE(site->claim(claim_slot::attached, ClaimMode::Exclusive).ok());
}

TEST(Claims, ARefusalNamesWhatRoleAndHolders) {
    struct Case { std::vector<long> pids; const char* text; };
    const Case cases[] = {
        {{}, "ring '/jobs' already has a producer"},
        {{4242}, "ring '/jobs' already has a producer (pid 4242)"},
        {{7, 9}, "ring '/jobs' already has a producer (pids 7, 9)"},
    };
    for (const Case& c : cases) {
        const Error e = claim_refused("ring '/jobs'", "a producer", c.pids);
        EXPECT_EQ(e.message, c.text);
        EXPECT_EQ(e.code, EAGAIN);
        EXPECT_EQ(e.kind, Error::Kind::Os);
        EXPECT_EQ(e.reason, Reason::busy);
    }
}

// A claim file that cannot be opened is an error with its errno, never a
// site that grants everything; once it can be opened, claims work again.
TEST(Claims, AClaimFileThatCannotBeOpenedFailsWithItsErrno) {
    Seg seg;
    const int status = in_child([&] {
        const NoFreeDescriptors limit;
        auto refused = ClaimSite::of(seg.handle);
        if (refused || refused.error().code != EMFILE) return 1;
        limit.restore();
        auto site = ClaimSite::of(seg.handle);
        if (!site) return 2;
        auto claim = site.value()->claim(claim_slot::producer, ClaimMode::Exclusive);
        return claim && claim->has_value() ? 0 : 3;
    });
    EXPECT_EQ(status, 0);
}

// A fork child that cannot open the claim file again holds nothing and can
// tell nobody apart: every claim and probe fails with the errno (a view
// cannot attach, so it cannot hold the lock word unseen, and recovers
// nothing), until an open of the same file in the child succeeds.
TEST(Claims, AForkChildThatCannotReopenFailsEveryClaimUntilOpenedAgain) {
    Seg seg;
    Mapping mapping = must(seg.handle.map());
    const ShmRwLock lock(mapping.base());
    auto site = must(ClaimSite::of(seg.handle));
    const int status = in_child([&] {
        const NoFreeDescriptors limit;
        return in_child([&] {  // forked with no descriptor to spare
            auto claim = site->claim(claim_slot::producer, ClaimMode::Exclusive);
            if (claim || claim.error().code != EMFILE) return 1;
            auto probe = site->held_elsewhere(claim_slot::attached, ClaimMode::Exclusive);
            if (probe || probe.error().code != EMFILE) return 2;
            // On the heap: GCC's flow analysis of the sanitizer build misreads
            // the optional claim of one inlined this deep as uninitialised.
            const auto view = std::make_unique<ViewAttachment>(site);
            const Status attached = view->attach();
            if (attached || attached.error().code != EMFILE) return 3;
            const auto held = lock.try_write();  // a word that may be a live holder's
            if (view->recover_abandoned(lock) || !lock.is_write_locked()) return 4;
            limit.restore();
            if (must(ClaimSite::of(seg.handle)) != site) return 5;  // the same site, open again
            if (!view->attach().ok()) return 6;
            auto again = site->claim(claim_slot::producer, ClaimMode::Exclusive);
            return again && again->has_value() ? 0 : 7;
        });
    });
    EXPECT_EQ(status, 0);
    EXPECT_FALSE(must(site->held_elsewhere(claim_slot::producer)));
}

// A view's lock word is reset by a waiter only when nobody can be holding it:
// no hold of this process counted, no other process attached.
TEST(ViewAttachment, RecoversAWordOnlyWhenNoLiveHolderCanExist) {
    Seg seg;
    Mapping mapping = must(seg.handle.map());
    const ShmRwLock lock(mapping.base());
    ViewAttachment view(must(ClaimSite::of(seg.handle)));
    ASSERT_TRUE(view.attach().ok());

    struct Case { std::int32_t word; bool recovered; };
    for (const Case c : {Case{0, false}, Case{-1, true}, Case{3, true}, Case{-7, true}}) {
        std::atomic_ref<std::int32_t>(*reinterpret_cast<std::int32_t*>(mapping.base())).store(c.word);
        const auto found = view.recover_abandoned(lock);
        EXPECT_EQ(found.has_value(), c.recovered) << c.word;
        if (found) {
            EXPECT_EQ(*found, c.word);
        }
        EXPECT_EQ(lock.value(), 0) << c.word;
    }

    // A hold of this process (another handle's) is live: never reset.
    ViewAttachment other(must(ClaimSite::of(seg.opened())));
    ASSERT_TRUE(other.attach().ok());
    {
        std::optional<CountedHoldOf<true>> hold;
        ASSERT_TRUE(other.try_lock<true>(lock, hold));
        EXPECT_FALSE(view.recover_abandoned(lock).has_value());
        EXPECT_TRUE(lock.is_write_locked());
    }
    EXPECT_EQ(lock.value(), 0);  // released, and the count with it
    const auto uncounted = lock.try_write();  // a hold nobody counted: taken for a dead one's
    ASSERT_TRUE(uncounted.has_value());
    EXPECT_EQ(view.recover_abandoned(lock), std::optional<std::int32_t>(-1));

    // Another live process attached: the word may be its own.
    Holder reader(seg.name, claim_slot::attached, ClaimMode::Shared);
    ASSERT_EQ(reader.wait_ready(), 'y');
    EXPECT_TRUE(must(view.others_attached()));
    std::atomic_ref<std::int32_t>(*reinterpret_cast<std::int32_t*>(mapping.base())).store(-1);
    EXPECT_FALSE(view.recover_abandoned(lock).has_value());
    EXPECT_EQ(lock.value(), -1);
    reader.kill();
    EXPECT_EQ(view.recover_abandoned(lock), std::optional<std::int32_t>(-1));
}

// An attachment refused (some process holds the slot exclusively) fails the
// call: a handle unattached could hold the word unseen.
TEST(ViewAttachment, AnAttachmentThatCannotBeTakenFailsTheCall) {
    Seg seg;
    Holder squatter(seg.name, claim_slot::attached, ClaimMode::Exclusive);
    ASSERT_EQ(squatter.wait_ready(), 'y');
    ViewAttachment view(must(ClaimSite::of(seg.handle)));
    const Status attached = view.attach();
    ASSERT_FALSE(attached.ok());
    EXPECT_EQ(attached.error().code, EAGAIN);
    squatter.kill();
    EXPECT_TRUE(view.attach().ok());
}

// The C++ API's SpscRingBuffer takes its roles the way the Python ring does.
TEST(RingRolesApi, ASecondProcessIsRefusedUntilTheFirstRingGoes) {
    const std::string name = test::fresh_name("claims");
    auto seg = std::make_optional(must(SharedMemory::create(name, 24 + 64)));
    auto ring = std::make_optional(must(seg->ring()));
    EXPECT_FALSE(must(ring->has_producer()));
    const std::uint8_t byte[1] = {7};
    ASSERT_TRUE(must(ring->try_push(byte)));
    EXPECT_TRUE(must(ring->has_producer()));
    EXPECT_FALSE(must(ring->has_consumer()));
    const std::string expected = "ring '" + name + "' already has a producer (pid " + std::to_string(::getpid()) + ")";
    const int status = in_child([&] {
        auto other = SharedMemory::open(name);
        auto theirs = other ? other->ring() : Result<SpscRingBuffer>(other.error());
        if (!theirs) return 1;
        auto refused = theirs->try_push(byte);
        if (refused || refused.error().code != EAGAIN || refused.error().message != expected) return 2;
        std::uint8_t out[4];
        auto popped = theirs->try_pop(out);  // the consumer role is free
        return popped && popped.value() == std::optional<std::size_t>(1) ? 0 : 3;
    });
    EXPECT_EQ(status, 0);
    ring.reset();  // the producer Ring goes: the role is free again
    const int later = in_child([&] {
        auto theirs = must(must(Segment::open(name)).ring());
        return must(theirs.try_push(byte)) ? 0 : 1;
    });
    EXPECT_EQ(later, 0);
    (void)Segment::remove(name);
}

}  // namespace
}  // namespace velmora

#endif  // _WIN32
