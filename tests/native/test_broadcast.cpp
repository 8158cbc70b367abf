// Native tests of broadcast segments: geometry rules, shapes carried with
// messages, late joiners, both overflow policies (blocking on the slowest
// subscriber, dropping a dead one, exact missed counts, views held out of
// reuse), forged headers and descriptors, and a threaded stream.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.hpp"
#include "core/broadcast.hpp"
#include "support.hpp"
#include "velmora/broadcast.hpp"

#include <cerrno>

#ifndef _WIN32
#include <unistd.h>
#endif
#if defined(__linux__)
#include <sys/socket.h>

#include "platform/bell.hpp"
#endif

namespace velmora {
namespace {

using test::must;
using test::this_pid;

// A segment sized for `config`; every map() is a new view of the same bytes.
struct Segment : test::ScratchSegment {
    BroadcastConfig config;
    explicit Segment(const BroadcastConfig& c)
        : ScratchSegment("bcast_test", must(broadcast_segment_size(c))), config(c) {}
    // A publisher created on a fresh view.
    BroadcastPublisher publisher() { return must(BroadcastPublisher::create(map(), config)); }
};

BroadcastConfig config(std::uint64_t max_message, std::uint32_t depth, std::uint32_t subs, Overflow o) {
    BroadcastConfig c;
    c.max_message = max_message;
    c.depth = depth;
    c.subscribers = subs;
    c.overflow = o;
    return c;
}

// Publishes `value` as one 8-byte message; false when the publisher has no room.
bool publish(BroadcastPublisher& p, std::uint64_t value) {
    auto loan = must(p.try_loan(8));
    if (!loan) return false;
    std::memcpy(p.loan_bytes(*loan).data(), &value, 8);
    EXPECT_TRUE(p.commit(*loan, 8, MessageShape::bytes(8)).ok());
    return true;
}

// The next message's value, or nullopt; releases it.
std::optional<std::uint64_t> receive(BroadcastSubscriber& s) {
    for (;;) {
        auto m = must(s.try_next());
        if (!m) return std::nullopt;
        std::uint64_t v = 0;
        std::memcpy(&v, m->data, 8);
        if (!s.copied(*m)) continue;
        s.release(*m);
        return v;
    }
}

TEST(BroadcastGeometry, ConfigurationLimits) {
    EXPECT_FALSE(broadcast_segment_size(config(0, 4, 1, Overflow::Block)).ok());
    EXPECT_FALSE(broadcast_segment_size(config(64, 0, 1, Overflow::Block)).ok());
    EXPECT_FALSE(broadcast_segment_size(config(64, 4, 0, Overflow::Block)).ok());
    EXPECT_FALSE(broadcast_segment_size(config(64, 4, kBroadcastMaxSubscribers + 1, Overflow::Block)).ok());
    // Slots are rounded up to 64 bytes; one per message held plus one per subscriber.
    const auto size = must(broadcast_segment_size(config(100, 4, 2, Overflow::Block)));
    EXPECT_EQ(size, kBroadcastHeaderSize + 64 + 2 * kBroadcastEntrySize + 6 * kBroadcastDescriptorSize + 6 * 128);
    EXPECT_TRUE(parse_overflow("block").ok());
    EXPECT_FALSE(parse_overflow("drop").ok());
}

TEST(Broadcast, ShapeTravelsAndLateSubscriberStartsAtNext) {
    Segment seg(config(256, 4, 2, Overflow::Block));
    auto pub = seg.publisher();
    ASSERT_TRUE(publish(pub, 1));  // before anyone joined: nobody receives it
    auto sub = must(BroadcastSubscriber::join(seg.map(), 0, 1));
    auto loan = must(pub.try_loan(24));
    ASSERT_TRUE(loan);
    MessageShape shape;
    std::strcpy(shape.format, "<h");
    shape.itemsize = 2;
    shape.ndim = 2;
    shape.shape[0] = 3;
    shape.shape[1] = 4;
    for (int i = 0; i < 24; ++i)
        pub.loan_bytes(*loan)[i] = static_cast<std::uint8_t>(i);
    ASSERT_TRUE(pub.commit(*loan, 24, shape).ok());
    auto m = must(sub.try_next());
    ASSERT_TRUE(m);
    EXPECT_EQ(m->seq, 1u);
    EXPECT_EQ(m->length, 24u);
    EXPECT_STREQ(m->shape.format, "<h");
    EXPECT_EQ(m->shape.ndim, 2u);
    EXPECT_EQ(m->shape.shape[1], 4u);
    EXPECT_EQ(m->data[23], 23);
    sub.release(*m);
    EXPECT_FALSE(must(sub.try_next()));

    // A shape that does not describe the length is refused before publishing.
    auto bad = must(pub.try_loan(8));
    ASSERT_TRUE(bad);
    EXPECT_FALSE(pub.commit(*bad, 8, shape).ok());
    pub.discard(*bad);
    EXPECT_FALSE(must(sub.try_next()));
}

// Dimensions and strides become signed sizes: an empty message (a zero
// dimension) whose other dimensions do not fit one is refused all the same.
TEST(Broadcast, ShapeBeyondSignedSizesIsRefused) {
    MessageShape s;
    s.ndim = 2;
    s.shape[0] = 0;
    s.shape[1] = std::uint64_t{1} << 63;
    EXPECT_FALSE(s.check(0).ok());
    s.shape[1] = std::uint64_t{1} << 62;
    EXPECT_TRUE(s.check(0).ok());
    s.shape[0] = 4;
    EXPECT_FALSE(s.check(0).ok());
}

TEST(Broadcast, BlockWaitsForSlowestAndDropsTheDead) {
    Segment seg(config(64, 3, 2, Overflow::Block));
    auto pub = seg.publisher();
    auto fast = must(BroadcastSubscriber::join(seg.map(), 0, 1));
    auto slow = must(BroadcastSubscriber::join(seg.map(), 1, 2));
    for (std::uint64_t i = 0; i < 3; ++i) ASSERT_TRUE(publish(pub, i));
    for (std::uint64_t i = 0; i < 3; ++i) EXPECT_EQ(receive(fast), i);
    std::uint32_t blocker = kNoSlot;
    EXPECT_FALSE(must(pub.try_loan(8, &blocker)));
    EXPECT_EQ(blocker, 1u);
    EXPECT_EQ(receive(slow), 0u);
    ASSERT_TRUE(publish(pub, 3));
    EXPECT_FALSE(publish(pub, 4));

    // The slow one "dies": a waiting publish drops it and carries on.
    NoHost host;
    const EntryAlive alive = [](std::uint32_t i) { return i != 1; };
    auto loan = must(pub.loan_wait(8, Deadline::after_ns(2'000'000'000), host, alive));
    ASSERT_TRUE(loan);
    pub.discard(*loan);
    EXPECT_EQ(pub.active_entries().size(), 1u);
    EXPECT_EQ(receive(fast), 3u);
}

TEST(Broadcast, BlockViewKeepsItsSlotUntilReleased) {
    Segment seg(config(64, 2, 1, Overflow::Block));
    auto pub = seg.publisher();
    auto sub = must(BroadcastSubscriber::join(seg.map(), 0, 1));
    ASSERT_TRUE(publish(pub, 10));
    auto m = must(sub.try_next());
    ASSERT_TRUE(m && sub.hold(*m));
    ASSERT_TRUE(publish(pub, 11));
    EXPECT_FALSE(publish(pub, 12));  // would reuse the viewed slot
    std::uint64_t v = 0;
    std::memcpy(&v, m->data, 8);
    EXPECT_EQ(v, 10u);
    sub.release(*m);
    EXPECT_TRUE(publish(pub, 12));
}

TEST(Broadcast, OverwriteNeverBlocksAndCountsMissedExactly) {
    Segment seg(config(64, 4, 1, Overflow::Overwrite));
    auto pub = seg.publisher();
    auto sub = must(BroadcastSubscriber::join(seg.map(), 0, 1));
    for (std::uint64_t i = 0; i < 10; ++i) ASSERT_TRUE(publish(pub, i));
    // Six were overwritten; the four held are delivered in order.
    for (std::uint64_t i = 6; i < 10; ++i) EXPECT_EQ(receive(sub), i);
    EXPECT_EQ(sub.missed(), 6u);
    EXPECT_FALSE(receive(sub));
}

TEST(Broadcast, OverwriteViewIsNeverOverwrittenUnderIt) {
    Segment seg(config(64, 2, 2, Overflow::Overwrite));
    auto pub = seg.publisher();
    auto sub = must(BroadcastSubscriber::join(seg.map(), 0, 1));
    ASSERT_TRUE(publish(pub, 100));
    auto m = must(sub.try_next());
    ASSERT_TRUE(m && sub.hold(*m));
    for (std::uint64_t i = 0; i < 50; ++i) ASSERT_TRUE(publish(pub, 1000 + i));
    std::uint64_t v = 0;
    std::memcpy(&v, m->data, 8);
    EXPECT_EQ(v, 100u);
    sub.release(*m);
    EXPECT_EQ(receive(sub), 1048u);
    EXPECT_EQ(sub.missed(), 48u);
}

TEST(Broadcast, OverwriteHoldLosesToASlotAlreadyRewritten) {
    Segment seg(config(64, 1, 1, Overflow::Overwrite));
    auto pub = seg.publisher();
    auto sub = must(BroadcastSubscriber::join(seg.map(), 0, 1));
    ASSERT_TRUE(publish(pub, 1));
    auto m = must(sub.try_next());
    ASSERT_TRUE(m);
    ASSERT_TRUE(publish(pub, 2));  // reuses message 0's slot: the hold must fail
    ASSERT_TRUE(publish(pub, 3));
    EXPECT_FALSE(sub.hold(*m));
    EXPECT_EQ(sub.missed(), 1u);
    EXPECT_EQ(receive(sub), 3u);
    EXPECT_EQ(sub.missed(), 2u);
}

// Writes a little-endian word into the mapping behind the objects' backs.
template <class T>
void poke(Mapping& m, std::uint64_t at, T v) {
    std::memcpy(m.base() + at, &v, sizeof v);
}

#if defined(__linux__)
// ---- event loops: listening marks and bells ----------------------------------------

// Reads a shared word as the other side's threads may be writing it.
std::uint32_t peek32(const Mapping& m, std::uint64_t at) {
    return std::atomic_ref<std::uint32_t>(*reinterpret_cast<std::uint32_t*>(m.base() + at))
        .load(std::memory_order_seq_cst);
}

// Bells waiting on `fd`, drained.
int rings(int fd) {
    int n = 0;
    char buf[8];
    while (::recv(fd, buf, sizeof buf, MSG_DONTWAIT) >= 0) ++n;
    return n;
}

BellListener listen_on(const BellAddress& a) {
    auto l = BellListener::listen(a);
    if (!l) throw std::runtime_error(l.error().message);
    return std::move(l).value();
}

TEST(BroadcastBell, PublishRingsOnlyAListeningSubscriberAndOncePerSleep) {
    Segment seg(config(64, 64, 2, Overflow::Block));
    Mapping raw = seg.map();
    auto pub = seg.publisher();
    auto a = must(BroadcastSubscriber::join(seg.map(), 0, 1));
    auto b = must(BroadcastSubscriber::join(seg.map(), 1, 2));
    ASSERT_TRUE(a.data_bell().valid());
    BellListener la = listen_on(a.data_bell()), lb = listen_on(b.data_bell());

    // Nobody listens: a stream of publishes rings nothing (no system call).
    for (std::uint64_t i = 0; i < 20; ++i) ASSERT_TRUE(publish(pub, i));
    EXPECT_EQ(rings(la.fd()), 0);
    EXPECT_EQ(rings(lb.fd()), 0);

    // A listens: the next publish takes its mark and rings it once; B is left alone.
    a.listen(true);
    EXPECT_EQ(peek32(raw, bcast::kListeners), 1u);
    for (std::uint64_t i = 20; i < 40; ++i) ASSERT_TRUE(publish(pub, i));
    EXPECT_EQ(rings(la.fd()), 1);
    EXPECT_EQ(rings(lb.fd()), 0);
    EXPECT_EQ(peek32(raw, bcast::kListeners), 0u);

    // Listening again after the mark was taken, then finding a message: the
    // mark and its count go with it, and nothing rings.
    a.listen(true);
    a.listen(true);  // idempotent
    EXPECT_EQ(peek32(raw, bcast::kListeners), 1u);
    a.listen(false);
    EXPECT_EQ(peek32(raw, bcast::kListeners), 0u);
    for (int i = 0; i < 40; ++i) ASSERT_TRUE(receive(a) && receive(b));
    ASSERT_TRUE(publish(pub, 40));
    EXPECT_EQ(rings(la.fd()), 0);

    // Closing the stream rings whoever listens, so an event loop sees the end.
    b.listen(true);
    pub.close();
    EXPECT_EQ(rings(lb.fd()), 1);
    EXPECT_EQ(rings(la.fd()), 0);
}

TEST(BroadcastBell, ReleaseRingsAPublisherWaitingForRoomInALoop) {
    Segment seg(config(64, 2, 1, Overflow::Block));
    Mapping raw = seg.map();
    auto pub = seg.publisher();
    auto sub = must(BroadcastSubscriber::join(seg.map(), 0, 1));
    BellListener room = listen_on(pub.room_bell());
    ASSERT_TRUE(publish(pub, 0) && publish(pub, 1));
    ASSERT_FALSE(publish(pub, 2));
    EXPECT_EQ(receive(sub), 0u);  // nobody waits for room yet: no bell
    EXPECT_EQ(rings(room.fd()), 0);
    ASSERT_TRUE(publish(pub, 2));
    ASSERT_FALSE(publish(pub, 3));
    pub.listen_for_room(true);
    EXPECT_EQ(peek32(raw, bcast::kPublisherWaiting), 1u);
    EXPECT_EQ(receive(sub), 1u);
    EXPECT_EQ(rings(room.fd()), 1);
    ASSERT_TRUE(publish(pub, 3));
    pub.listen_for_room(false);
    EXPECT_EQ(peek32(raw, bcast::kPublisherWaiting), 0u);
}

// A subscriber that dies with its marks set (its loop listening, or asleep in
// a blocking receive) leaves counts raised; whoever reclaims the entry takes
// them back, and never the marks of the entry's next owner.
TEST(BroadcastBell, DeadSubscribersMarksAreTakenBackByTheReclaimer) {
    Segment seg(config(64, 4, 2, Overflow::Block));
    Mapping raw = seg.map();
    auto pub = seg.publisher();
    const BroadcastLayout& l = pub.layout();
    const auto entry = [&](std::uint32_t i) { return l.entries_at + i * kBroadcastEntrySize; };
    // Leaves the subscriber in entry i "asleep" as a blocked receive would.
    const auto asleep = [&](std::uint32_t i) {
        const std::uint32_t token = peek32(raw, entry(i) + bcast::kEntryState);
        poke(raw, bcast::kSleepers, peek32(raw, bcast::kSleepers) + 1);
        poke(raw, entry(i) + bcast::kEntryAsleep, token);
        return token;
    };
    {
        auto dying = must(BroadcastSubscriber::join(seg.map(), 0, 1));
        dying.listen(true);
        asleep(0);
    }  // gone without leaving
    {
        auto dying = must(BroadcastSubscriber::join(seg.map(), 1, 2));
        dying.listen(true);
        const std::uint32_t token = asleep(1);
        EXPECT_EQ(peek32(raw, bcast::kListeners), 2u);
        EXPECT_EQ(peek32(raw, bcast::kSleepers), 2u);
        pub.drop_entry(1, token);  // the publisher's liveness probe found it dead
    }
    EXPECT_EQ(peek32(raw, bcast::kListeners), 1u);
    EXPECT_EQ(peek32(raw, bcast::kSleepers), 1u);
    const std::uint32_t dead = peek32(raw, entry(0) + bcast::kEntryState);
    auto next = must(BroadcastSubscriber::join(seg.map(), 0, 3));  // the next owner of entry 0
    EXPECT_EQ(peek32(raw, bcast::kListeners), 0u);
    EXPECT_EQ(peek32(raw, bcast::kSleepers), 0u);

    // A late drop of the dead owner leaves the new owner's mark alone.
    BellListener bell = listen_on(next.data_bell());
    next.listen(true);
    pub.drop_entry(0, dead);
    EXPECT_EQ(peek32(raw, bcast::kListeners), 1u);
    ASSERT_TRUE(publish(pub, 7));
    EXPECT_EQ(rings(bell.fd()), 1);
    EXPECT_EQ(receive(next), 7u);
}

// A subscriber killed asleep (overwrite: nobody waits for it) is found by
// the publish's sweep, which leaves the live sleepers alone.
TEST(BroadcastBell, PublishSweepDropsADeadSleeperOnly) {
    Segment seg(config(64, 4, 2, Overflow::Overwrite));
    Mapping raw = seg.map();
    auto pub = seg.publisher();
    pub.set_liveness([](std::uint32_t i) { return i != 1; });
    const BroadcastLayout& l = pub.layout();
    auto live = must(BroadcastSubscriber::join(seg.map(), 0, 1));
    auto dead = must(BroadcastSubscriber::join(seg.map(), 1, 2));
    for (std::uint32_t i = 0; i < 2; ++i) {
        const std::uint64_t e = l.entries_at + i * kBroadcastEntrySize;
        poke(raw, bcast::kSleepers, peek32(raw, bcast::kSleepers) + 1);
        poke(raw, e + bcast::kEntryAsleep, peek32(raw, e + bcast::kEntryState));
    }
    ASSERT_TRUE(publish(pub, 1));
    EXPECT_EQ(peek32(raw, bcast::kSleepers), 1u);
    ASSERT_EQ(pub.active_entries().size(), 1u);
    EXPECT_EQ(pub.active_entries()[0].first, 0u);
    EXPECT_EQ(receive(live), 1u);
}

TEST(BroadcastThreads, BlockedReceiveCountsItselfAsleepUntilWoken) {
    Segment seg(config(64, 4, 1, Overflow::Block));
    Mapping raw = seg.map();
    auto pub = seg.publisher();
    auto sub = must(BroadcastSubscriber::join(seg.map(), 0, 1));
    const std::uint64_t mark = pub.layout().entries_at + bcast::kEntryAsleep;
    std::atomic<bool> got{false};
    std::thread t([&] {
        NoHost host;
        bool ended = false;
        auto m = must(sub.wait_next(Deadline::after_ns(20'000'000'000), host, nullptr, ended));
        if (m) sub.release(*m);
        got = m.has_value();
    });
    const std::uint64_t start = monotonic_ns();
    while (peek32(raw, mark) == 0 && monotonic_ns() - start < 10'000'000'000u) sleep_ns(1'000'000);
    EXPECT_EQ(peek32(raw, bcast::kSleepers), 1u);
    EXPECT_EQ(peek32(raw, mark), peek32(raw, pub.layout().entries_at + bcast::kEntryState));
    ASSERT_TRUE(publish(pub, 1));
    t.join();
    EXPECT_TRUE(got);
    EXPECT_EQ(peek32(raw, bcast::kSleepers), 0u);
    EXPECT_EQ(peek32(raw, mark), 0u);
}
#endif  // __linux__

TEST(BroadcastUntrusted, ForgedHeadersAreRefused) {
    Segment seg(config(64, 4, 2, Overflow::Block));
    auto pub = seg.publisher();
    struct Forgery {
        std::uint64_t at;
        std::uint64_t value;
        int width;
    };
    const Forgery forgeries[] = {
        {0, 0x1234, 8},                 // magic
        {8, 2, 4},                      // layout version
        {12, 7, 4},                     // overflow policy
        {16, 65, 8},                    // slot size not a multiple of 64
        {16, std::uint64_t{1} << 39, 8},  // slots beyond the mapping
        {24, 5, 4},                     // slot count
        {28, 0, 4},                     // depth
        {32, 5000, 4},                  // subscriber limit
    };
    for (const auto& f : forgeries) {
        Mapping m = seg.map();
        std::uint8_t saved[8];
        std::memcpy(saved, m.base() + f.at, 8);
        if (f.width == 8) poke<std::uint64_t>(m, f.at, f.value);
        else poke<std::uint32_t>(m, f.at, static_cast<std::uint32_t>(f.value));
        EXPECT_FALSE(BroadcastSubscriber::join(seg.map(), 0, 1).ok()) << "offset " << f.at;
        std::memcpy(m.base() + f.at, saved, 8);
    }
    EXPECT_TRUE(BroadcastSubscriber::join(seg.map(), 0, 1).ok());
}

TEST(BroadcastUntrusted, ForgedDescriptorsAndIndexAreRefused) {
    Segment seg(config(64, 4, 1, Overflow::Block));
    auto pub = seg.publisher();
    auto layout = must(BroadcastLayout::read(seg.map()));
    auto sub = must(BroadcastSubscriber::join(seg.map(), 0, 1));
    ASSERT_TRUE(publish(pub, 7));
    Mapping m = seg.map();
    const std::uint64_t d = layout.descriptors_at;  // message 0 went to slot 0
    const auto forged = [&](auto&& forge) {
        std::vector<std::uint8_t> saved(m.base(), m.base() + layout.slots_at);
        forge();
        const bool refused = !sub.try_next().ok();
        std::memcpy(m.base(), saved.data(), saved.size());
        return refused;
    };
    EXPECT_TRUE(forged([&] { poke<std::uint64_t>(m, d + 8, 65); }));             // length beyond the slot
    EXPECT_TRUE(forged([&] { poke<std::uint64_t>(m, d + 40, 9); }));             // shape says 9 bytes
    EXPECT_TRUE(forged([&] { poke<std::uint32_t>(m, d + 16, 9); }));             // too many dimensions
    EXPECT_TRUE(forged([&] { std::memset(m.base() + d + 24, 'B', 16); }));       // unterminated format
    EXPECT_TRUE(forged([&] { poke<std::uint8_t>(m, d + 25, 0xff); }));          // format not ASCII text
    EXPECT_TRUE(forged([&] { poke<std::uint32_t>(m, d + 20, 0); }));             // item size 0
    EXPECT_TRUE(forged([&] { poke<std::uint32_t>(m, layout.index_at, 99); }));   // slot out of range
    EXPECT_TRUE(forged([&] { poke<std::uint64_t>(m, d, 5); }));                  // slot holds another message
    EXPECT_TRUE(forged([&] { poke<std::uint64_t>(m, 64, 1000); }));              // far ahead in block mode
    EXPECT_EQ(receive(sub), 7u);
}

// A descriptor whose format is not plain data, or whose item size is not its
// format's, would have readers take addresses of another process or read past
// the message: it is a corrupt slot, named as such, and stays one until fixed.
TEST(BroadcastUntrusted, ForgedFormatsAreRefusedByName) {
    Segment seg(config(64, 4, 1, Overflow::Block));
    auto pub = seg.publisher();
    auto layout = must(BroadcastLayout::read(seg.map()));
    auto sub = must(BroadcastSubscriber::join(seg.map(), 0, 1));
    ASSERT_TRUE(publish(pub, 7));
    Mapping m = seg.map();
    const std::uint64_t d = layout.descriptors_at;
    struct Forgery {
        const char* format;
        std::uint32_t itemsize;
        std::uint64_t items;
        const char* named;
    };
    const Forgery forgeries[] = {
        {"O", 8, 1, "format 'O' is not plain data"},
        {"P", 8, 1, "format 'P' is not plain data"},
        {"T{d:a:O:b:}", 16, 0, "format 'T{d:a:O:b:}' is not plain data"},
        {"d", 1, 8, "format 'd' has items of 8 bytes, not 1"},
        {"<i2", 2, 4, "format '<i2' has no item size"},
    };
    for (const auto& f : forgeries) {
        std::vector<std::uint8_t> saved(m.base(), m.base() + layout.slots_at);
        char format[kBroadcastFormatBytes] = {};
        std::strcpy(format, f.format);
        std::memcpy(m.base() + d + 24, format, sizeof format);
        poke<std::uint32_t>(m, d + 20, f.itemsize);
        poke<std::uint64_t>(m, d + 40, f.items);
        auto got = sub.try_next();
        ASSERT_FALSE(got.ok()) << f.format;
        EXPECT_EQ(got.error().reason, Reason::corrupt) << got.error().message;
        EXPECT_NE(got.error().message.find(f.named), std::string::npos) << got.error().message;
        EXPECT_FALSE(sub.try_next().ok()) << f.format;  // nothing moved past it
        std::memcpy(m.base(), saved.data(), saved.size());
    }
    EXPECT_EQ(receive(sub), 7u);

    // The publisher is held to the same rule.
    auto loan = must(pub.try_loan(8));
    ASSERT_TRUE(loan);
    MessageShape pointers;
    std::strcpy(pointers.format, "P");
    pointers.itemsize = 8;
    pointers.shape[0] = 1;
    EXPECT_FALSE(pub.commit(*loan, 8, pointers).ok());
    pub.discard(*loan);
    EXPECT_FALSE(must(sub.try_next()));
}

// Three subscriber threads each receive every message of a blocking stream, in order.
TEST(BroadcastThreads, BlockStreamReachesEverySubscriberInOrder) {
    Segment seg(config(256, 8, 3, Overflow::Block));
    auto pub = seg.publisher();
    constexpr std::uint64_t kCount = 4000;
    std::vector<BroadcastSubscriber> subs;
    for (std::uint32_t i = 0; i < 3; ++i) subs.push_back(must(BroadcastSubscriber::join(seg.map(), i, i + 1)));
    std::atomic<int> bad{0};
    std::vector<std::thread> threads;
    for (auto& s : subs)
        threads.emplace_back([&s, &bad] {
            NoHost host;
            for (std::uint64_t expect = 0; expect < kCount;) {
                bool ended = false;
                auto m = must(s.wait_next(Deadline::after_ns(10'000'000'000), host, nullptr, ended));
                if (!m) { ++bad; return; }
                std::uint64_t v = 0;
                std::memcpy(&v, m->data, 8);
                const bool whole = m->length == 8 + v % 200 && (m->length == 8 || m->data[m->length - 1] == (v & 0xFF));
                if (v != expect || !whole) ++bad;
                s.release(*m);
                ++expect;
            }
        });
    NoHost host;
    for (std::uint64_t i = 0; i < kCount; ++i) {
        auto loan = must(pub.loan_wait(256, Deadline::after_ns(10'000'000'000), host, nullptr));
        ASSERT_TRUE(loan);
        const std::uint64_t len = 8 + i % 200;
        auto bytes = pub.loan_bytes(*loan);
        std::memset(bytes.data(), static_cast<int>(i & 0xFF), len);
        std::memcpy(bytes.data(), &i, 8);
        ASSERT_TRUE(pub.commit(*loan, len, MessageShape::bytes(len)).ok());
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(bad.load(), 0);
}

}  // namespace
}  // namespace velmora

// ---- the public C++ API ---------------------------------------------------------

namespace velmora {
namespace {

std::string api_name() { return test::fresh_name("bcast_api"); }

TEST(BroadcastApi, LoanPublishAndReceiveInPlaceWithShape) {
    const std::string name = api_name();
    BroadcastOptions options;
    options.max_message = 64;
    options.depth = 2;
    options.subscribers = 1;
    auto pub = must(Publisher::create(name, options));
    struct Remove {
        std::string name;
        ~Remove() { (void)PlatformHandle::remove(name); }
    } remove{name};
    auto sub = must(Subscriber::open(name));
    auto second = Subscriber::open(name);
    ASSERT_FALSE(second.ok());
    EXPECT_EQ(second.error().code, EAGAIN);
    EXPECT_EQ(pub.subscribers().size(), 1u);

    auto loan = must(pub.loan(24));
    ASSERT_TRUE(loan);
    for (std::size_t i = 0; i < 24; ++i) loan->bytes()[i] = static_cast<std::uint8_t>(i);
    const std::uint64_t shape[] = {2, 3};
    ASSERT_TRUE(pub.publish(*loan, 24, "<i", shape).ok());
    auto m = must(sub.receive(std::chrono::seconds(1)));
    ASSERT_TRUE(m);
    EXPECT_EQ(m->format(), "<i");
    EXPECT_EQ(m->itemsize(), 4u);
    ASSERT_EQ(m->shape().size(), 2u);
    EXPECT_EQ(m->shape()[1], 3u);
    EXPECT_EQ(m->bytes()[23], 23);
    sub.release(*m);

    const std::uint8_t text[] = {'h', 'i'};
    EXPECT_TRUE(must(pub.publish(std::span<const std::uint8_t>(text))));
    EXPECT_FALSE(pub.publish(*must(pub.loan(8)), 8, "<i", shape).ok());  // 6 items are not 8 bytes
    bool ended = false;
    m = must(sub.receive(std::chrono::seconds(1), &ended));
    ASSERT_TRUE(m);
    EXPECT_EQ(m->bytes().size(), 2u);
    sub.release(*m);
    EXPECT_TRUE(sub.has_publisher());
    pub.close();
    EXPECT_FALSE(sub.has_publisher());
    m = must(sub.receive(std::chrono::seconds(5), &ended));
    EXPECT_FALSE(m);
    EXPECT_TRUE(ended);
}

}  // namespace
}  // namespace velmora
