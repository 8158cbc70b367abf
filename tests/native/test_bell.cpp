// Native tests of bells and readiness: a rung bell makes the listener's
// descriptor readable, the ring rings only when the other side may sleep (a
// busy stream makes no system call), a burst to many listeners loses none,
// a side that finds nothing to do keeps its descriptor readable for the
// settle time only, names taken by other sockets stop nobody, and a listener
// that goes leaves duplicates of its descriptor readable.
#include <gtest/gtest.h>

#if defined(__linux__)

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>

#include <atomic>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/mpsc.hpp"
#include "core/readiness.hpp"
#include "core/ring.hpp"
#include "platform/bell.hpp"
#include "platform/platform.hpp"
#include "support.hpp"

namespace velmora {
namespace {

bool readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 0) == 1 && (p.revents & POLLIN) != 0;
}

// Datagrams waiting on `fd`, read (and so drained) one by one.
int pending(int fd) {
    int n = 0;
    char buf[8];
    while (::recv(fd, buf, sizeof(buf), MSG_DONTWAIT) >= 0) ++n;
    return n;
}

// Bell `topic` of one scratch segment of these tests.
BellAddress address(std::uint32_t topic) {
    static const test::ScratchSegment seg("bell_addr", 64);
    static const Mapping mapping = seg.map();
    return BellAddress(mapping.id(), topic);
}

// A socket bound to the abstract `name` (leading zero byte included), as any
// local process may bind one.
struct Squatter {
    int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    explicit Squatter(const std::string& name) {
        sockaddr_un at{};
        at.sun_family = AF_UNIX;
        std::memcpy(at.sun_path, name.data(), name.size());
        const auto len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
        if (::bind(fd, reinterpret_cast<const sockaddr*>(&at), len) != 0) throw std::runtime_error("bind");
    }
    Squatter(const Squatter&) = delete;
    Squatter& operator=(const Squatter&) = delete;
    ~Squatter() { ::close(fd); }
};

std::string bound_name(int fd) {
    sockaddr_un at{};
    socklen_t len = sizeof(at);
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&at), &len) != 0) throw std::runtime_error("getsockname");
    return std::string(at.sun_path, len - offsetof(sockaddr_un, sun_path));
}

BellListener must_listen(const BellAddress& a) {
    auto l = BellListener::listen(a);
    if (!l) throw std::runtime_error(l.error().message);
    return std::move(l).value();
}

TEST(Bell, RingMakesListenerReadableUntilDrained) {
    BellListener l = must_listen(address(1));
    EXPECT_FALSE(readable(l.fd()));
    ring_bell(address(1));
    EXPECT_TRUE(readable(l.fd()));
    ring_bell(address(2));  // another address: nobody listens, nothing happens
    l.drain();
    EXPECT_FALSE(readable(l.fd()));
}

// Names are no secret (/proc/net/unix lists them): neither the name a
// listener would have had without a token, nor the exact name of a listener
// that has gone, keeps the next listener from listening or being rung.
TEST(Bell, SquattedNamesStopNeitherListeningNorRinging) {
    const BellAddress a = address(5);
    Squatter predictable(std::string(a.data(), a.size()));
    std::string gone;
    {
        BellListener first = must_listen(a);
        gone = bound_name(first.fd());
        ring_bell(a);
        EXPECT_TRUE(readable(first.fd()));
    }
    Squatter late(gone);  // takes the exact name of the listener that went
    BellListener next = must_listen(a);
    EXPECT_NE(bound_name(next.fd()), gone);
    ring_bell(a);
    EXPECT_TRUE(readable(next.fd()));
    EXPECT_FALSE(readable(late.fd));
    EXPECT_FALSE(readable(predictable.fd));
}

// A descriptor an event loop still watches (a duplicate) must tell its
// waiters that the listener went: rung while others still use the socket,
// readable for good once the last one has gone.
TEST(Bell, ListenerThatGoesLeavesDuplicatesReadable) {
    const BellAddress a = address(6);
    std::optional<BellListener> first(must_listen(a));
    std::optional<BellListener> second(must_listen(a));
    const int dup = ::dup(first->fd());
    first.reset();
    EXPECT_TRUE(readable(dup));
    second->drain();
    second.reset();
    EXPECT_TRUE(readable(dup));
    char buf[4];
    EXPECT_LE(::recv(dup, buf, sizeof buf, MSG_DONTWAIT), 0) << "nothing to read: readable for the shutdown";
    EXPECT_TRUE(readable(dup));
    ring_bell(a);  // nobody listens now: nothing happens
    BellListener again = must_listen(a);
    ring_bell(a);
    EXPECT_TRUE(readable(again.fd()));
    ::close(dup);
}

// A fork child's copies belong to its parent: the child letting go of one
// does not shut the parent's socket down, and one it keeps does not keep the
// topic's locks once the parent's listener has gone.
TEST(Bell, ForkChildNeitherBreaksNorPinsItsParentsListeners) {
    const BellAddress dropped = address(7), kept = address(8);
    std::optional<BellListener> a(must_listen(dropped));
    std::optional<BellListener> b(must_listen(kept));
    int ready[2], done[2];
    ASSERT_EQ(::pipe(ready), 0);
    ASSERT_EQ(::pipe(done), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        a.reset();
        char c = 1;
        (void)!::write(ready[1], &c, 1);
        (void)!::read(done[0], &c, 1);  // b's copy stays until the parent is done
        ::_exit(0);
    }
    char c = 0;
    ASSERT_EQ(::read(ready[0], &c, 1), 1);
    EXPECT_FALSE(readable(a->fd())) << "the child's close shut the parent's socket down";
    ring_bell(dropped);
    EXPECT_TRUE(readable(a->fd()));
    b.reset();
    auto again = BellListener::listen(kept);
    EXPECT_TRUE(again.ok()) << (again.ok() ? "" : again.error().message);
    (void)!::write(done[1], &c, 1);
    int status = 0;
    ::waitpid(child, &status, 0);
    for (int fd : {ready[0], ready[1], done[0], done[1]}) ::close(fd);
}

TEST(Bell, ListenersOfOneProcessShareTheSocketUntilTheLastGoes) {
    const BellAddress a = address(3);
    int fd = -1;
    {
        BellListener first = must_listen(a);
        std::optional<BellListener> second(must_listen(a));
        EXPECT_EQ(second->fd(), first.fd());
        fd = first.fd();
        second.reset();
        ring_bell(a);
        EXPECT_TRUE(readable(first.fd()));
    }
    // The name is free again: a new listener binds it.
    BellListener again = must_listen(a);
    ring_bell(a);
    EXPECT_TRUE(readable(again.fd()));
    (void)fd;
}

TEST(Bell, BurstToManyUnreadListenersReachesEveryOne) {
    // More than one sending socket's buffer holds until the datagrams are read.
    constexpr int kListeners = 700;
    std::vector<BellListener> ls;
    ls.reserve(kListeners);
    for (int i = 0; i < kListeners; ++i) ls.push_back(must_listen(address(1000 + i)));
    for (int i = 0; i < kListeners; ++i) ring_bell(address(1000 + i));
    int missed = 0;
    for (const BellListener& l : ls) missed += readable(l.fd()) ? 0 : 1;
    EXPECT_EQ(missed, 0);
}

struct Segment : test::ScratchSegment {
    explicit Segment(std::uint64_t size) : ScratchSegment("bell_test", size) {}
    SpscRing ring(bool creator) const { return test::must(SpscRing::attach(map(), creator)); }
};

TEST(RingBell, BusyStreamRingsOnceAndIdlenessRingsAgain) {
    Segment seg(24 + 65536);
    SpscRing producer = seg.ring(true);
    SpscRing consumer = seg.ring(false);
    ASSERT_TRUE(producer.data_bell().valid());
    BellListener data = must_listen(consumer.data_bell());
    BellListener room = must_listen(producer.room_bell());
    const std::uint8_t msg[60] = {};
    for (int i = 0; i < 1000; ++i) ASSERT_TRUE(producer.push(ByteSpan(msg, sizeof(msg))).value());
    // Only the first push went into an empty ring after idleness.
    EXPECT_EQ(pending(data.fd()), 1);

    // Consuming back to back: the first pop rings the room bell; later ones
    // only if this thread was held up for a yield window.
    for (int i = 0; i < 1000; ++i) {
        auto f = consumer.begin_pop();
        ASSERT_TRUE(f.ok() && f.value().has_value());
        consumer.commit(*f.value());
    }
    const int rung = pending(room.fd());
    EXPECT_GE(rung, 1);
    EXPECT_LT(rung, 50);

    // A push into the empty ring after a yield window of quiet rings again.
    sleep_ns(2 * kYieldUntilNs);
    ASSERT_TRUE(producer.push(ByteSpan(msg, sizeof(msg))).value());
    EXPECT_EQ(pending(data.fd()), 1);
}

TEST(Readiness, StaysReadableWhileSettlingThenAsksForALastLook) {
    Readiness ready;
    const BellAddress own = address(50);
    EXPECT_FALSE(ready.idle(0)) << "without a listener there is nothing to settle";
    auto fd = ready.listen(own);
    ASSERT_TRUE(fd.ok());
    const std::uint64_t start = monotonic_ns();
    bool last_look = false;
    while (!(last_look = ready.idle(0))) {
        EXPECT_TRUE(readable(fd.value())) << "a settling side must keep its descriptor readable";
        ASSERT_LT(monotonic_ns() - start, 1'000'000'000u);
    }
    EXPECT_GE(monotonic_ns() - start, kSettleNs);
    EXPECT_FALSE(readable(fd.value())) << "the last look starts from a drained bell";

    // Progress (the other side moved without ending the wait) restarts the settle.
    EXPECT_FALSE(ready.idle(7));
    EXPECT_TRUE(readable(fd.value()));
    ready.active();
    EXPECT_FALSE(ready.idle(7));
}

TEST(Readiness, RecheckKeepsTheDescriptorReadableOnlyWhenProgressMoved) {
    Readiness ready;
    auto fd = ready.listen(address(51));
    ASSERT_TRUE(fd.ok());
    const std::uint64_t start = monotonic_ns();
    while (!ready.idle(100)) ASSERT_LT(monotonic_ns() - start, 1'000'000'000u);
    ready.recheck(100);  // the last look found what the settle saw: sleep
    EXPECT_FALSE(readable(fd.value()));
    ready.recheck(140);  // room came between the last progress read and the drain
    EXPECT_TRUE(readable(fd.value()));
    EXPECT_FALSE(ready.idle(140)) << "settling starts again from the new progress";
}

// A fan-in ring's lanes: one data bell for the consumer, a room bell per lane
// (its producer's own), none of them the SPSC ring's room topic.
TEST(MpscBells, EveryLaneRingsTheDataBellAndOnlyItsOwnRoomBell) {
    const std::uint64_t size = 128 + 2 * ((24 + 1024 + 63) / 64 * 64);
    Segment seg(size);
    auto mapping = seg.handle().map();
    ASSERT_TRUE(mapping.ok());
    const SegmentId id = mapping.value().id();
    auto made = MpscLanes::create(std::move(mapping).value(), 1024, 2);
    ASSERT_TRUE(made.ok()) << made.error().message;
    MpscLanes& ring = made.value();
    BellListener data = must_listen(ring.data_bell());
    BellListener room0 = must_listen(ring.lane(0).room_bell());
    BellListener room1 = must_listen(ring.lane(1).room_bell());
    EXPECT_TRUE(BellListener::listen(BellAddress(id, kBellRoom)).ok()) << "the SPSC room topic is free";
    const std::uint8_t msg[16] = {};
    for (std::uint32_t k = 0; k < 2; ++k) {
        sleep_ns(2 * kYieldUntilNs);
        ASSERT_TRUE(ring.push(k, ByteSpan(msg, sizeof(msg))).value());
        EXPECT_EQ(pending(data.fd()), 1) << "lane " << k;
    }
    for (std::uint32_t k = 0; k < 2; ++k) {
        sleep_ns(2 * kYieldUntilNs);
        auto f = ring.begin_pop();
        ASSERT_TRUE(f.ok() && f.value().has_value());
        EXPECT_EQ(f.value()->lane, k);
        ring.commit(*f.value());
        EXPECT_EQ(pending((k == 0 ? room0 : room1).fd()), 1) << "lane " << k;
        EXPECT_EQ(pending((k == 0 ? room1 : room0).fd()), 0) << "lane " << k;
    }
}

}  // namespace
}  // namespace velmora

#endif  // __linux__
