// Native tests of the fan-in ring: header rules and forged headers, the
// consumer's turn across lanes, counters across 2^64, the doorbell wait, and
// four producer threads into one consumer.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "core/mpsc.hpp"
#include "velmora/mpsc.hpp"
#include "platform/platform.hpp"
#include "support.hpp"

#ifndef _WIN32
#include <unistd.h>
#endif

namespace velmora {
namespace {

using test::must;

struct Segment : test::ScratchSegment {
    explicit Segment(std::uint64_t size) : ScratchSegment("mpsc_test", size) {}
};

std::uint64_t size_of(std::uint64_t capacity, std::uint32_t producers) {
    return must(mpsc_segment_size(capacity, producers));
}

// One message as (lane-independent) bytes: producer id and sequence number.
std::vector<std::uint8_t> msg(std::uint32_t producer, std::uint32_t seq) {
    std::vector<std::uint8_t> v(8);
    std::memcpy(v.data(), &producer, 4);
    std::memcpy(v.data() + 4, &seq, 4);
    return v;
}

std::optional<std::pair<std::uint32_t, std::uint32_t>> pop(MpscLanes& ring) {
    auto found = must(ring.begin_pop());
    if (!found) return std::nullopt;
    if (found->frame.length != 8) throw std::runtime_error("bad length " + std::to_string(found->frame.length));
    std::uint8_t out[8];
    ring.copy_payload(*found, out);
    ring.commit(*found);
    std::uint32_t p, s;
    std::memcpy(&p, out, 4);
    std::memcpy(&s, out + 4, 4);
    return std::make_pair(p, s);
}

TEST(MpscSize, RefusesBadArguments) {
    EXPECT_EQ(size_of(64, 1), 128u + 128u);  // 24 + 64 rounded up to two cache lines
    EXPECT_EQ(size_of(1024, 8), 128u + 8u * 1088u);
    EXPECT_FALSE(mpsc_segment_size(64, 0).ok());
    EXPECT_FALSE(mpsc_segment_size(64, kMpscMaxProducers + 1).ok());
    EXPECT_FALSE(mpsc_segment_size(100, 4).ok());
    EXPECT_FALSE(mpsc_segment_size(std::uint64_t{1} << 62, 8).ok());  // does not fit in 64 bits
}

TEST(MpscOpen, ReadsWhatCreateWrote) {
    Segment seg(size_of(256, 3));
    auto created = must(MpscLanes::create(seg.map(), 256, 3));
    auto opened = must(MpscLanes::open(seg.map(), "/t"));
    EXPECT_EQ(opened.producers(), 3u);
    EXPECT_EQ(opened.capacity(), 256u);
    EXPECT_EQ(opened.max_payload(), 252u);
    ASSERT_TRUE(must(created.push(2, msg(7, 1))));
    EXPECT_EQ(opened.used(), 12u);
    EXPECT_EQ(pop(opened), std::make_pair(7u, 1u));
    EXPECT_TRUE(opened.is_empty());
}

TEST(MpscCreate, RefusesASegmentTooSmall) {
    Segment seg(size_of(256, 3) - 1);
    auto r = MpscLanes::create(seg.map(), 256, 3);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().reason, Reason::too_large) << r.error().message;
    EXPECT_NE(r.error().message.find("needs 1088 bytes"), std::string::npos) << r.error().message;
}

// Forged header fields: each is refused with a message naming what was found.
using test::ForgedField;

class MpscForged : public ::testing::TestWithParam<ForgedField> {};

TEST_P(MpscForged, IsRefusedByOpen) {
    const ForgedField& c = GetParam();
    Segment seg(size_of(64, 4));
    { auto created = must(MpscLanes::create(seg.map(), 64, 4)); }
    auto r = test::open_forged(seg.map(), c, [](Mapping m) { return MpscLanes::open(std::move(m), "/t"); });
    ASSERT_FALSE(r.ok()) << c.what;
    EXPECT_EQ(r.error().reason, std::string_view(c.what) == "version" ? Reason::version : Reason::corrupt);
    EXPECT_NE(r.error().message.find(c.expect), std::string::npos) << r.error().message;
}

INSTANTIATE_TEST_SUITE_P(
    Header, MpscForged,
    ::testing::Values(ForgedField{"magic", 0, 0x1234, 8, "hold 0x0000000000001234, not the fan-in magic"},
                      ForgedField{"version", 8, 2, 4, "layout version 2"},
                      ForgedField{"no producers", 12, 0, 4, "producer count 0"},
                      ForgedField{"too many producers", 12, 5, 4, "5 lanes of capacity 64 do not fit"},
                      ForgedField{"huge producers", 12, 0xFFFFFFFF, 4, "producer count 4294967295"},
                      ForgedField{"capacity not a power of two", 16, 96, 8, "lane capacity 96"},
                      ForgedField{"capacity too large", 16, 128, 8, "do not fit"},
                      ForgedField{"capacity past 2^63", 16, std::uint64_t{1} << 63, 8, "do not fit"}));

// A lane header forged after open is a lane error, never an access outside.
TEST(MpscForgedLane, IsAnErrorNamingTheLane) {
    Segment seg(size_of(64, 2));
    Mapping m = seg.map();
    std::uint8_t* base = m.base();
    auto ring = must(MpscLanes::create(std::move(m), 64, 2));
    const std::uint64_t lane1 = kMpscHeaderSize + 128;
    const std::uint64_t tail = 1000;  // 1000 bytes past head 0: more than the capacity
    std::memcpy(base + lane1 + 8, &tail, 8);
    auto r = ring.begin_pop();
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().reason, Reason::corrupt) << r.error().message;
    EXPECT_EQ(r.error().message.rfind("lane 1: ", 0), 0u) << r.error().message;
    const std::uint64_t cap = 1 << 20;  // larger than the lane's window
    std::memcpy(base + lane1 + 8, &cap, 8);
    std::memcpy(base + lane1 + 16, &cap, 8);
    EXPECT_FALSE(ring.push(1, msg(1, 1)).ok());
}

// Every lane with something to send is served in turn, starting after the
// lane served last; the counters of lanes 1 and 2 start just below 2^64.
TEST(MpscTurn, ServesLanesInTurnAcrossTheCounterWrap) {
    Segment seg(size_of(64, 3));
    Mapping m = seg.map();
    std::uint8_t* base = m.base();
    auto ring = must(MpscLanes::create(std::move(m), 64, 3));
    for (std::uint64_t k : {1, 2}) {
        const std::uint64_t near_top = ~std::uint64_t{0} - 20 - k;
        std::memcpy(base + kMpscHeaderSize + k * 128, &near_top, 8);
        std::memcpy(base + kMpscHeaderSize + k * 128 + 8, &near_top, 8);
    }
    auto producer = must(MpscLanes::open(seg.map(), "/t"));
    for (std::uint32_t seq = 0; seq < 5; ++seq) {
        for (std::uint32_t k = 0; k < 3; ++k) ASSERT_TRUE(must(producer.push(k, msg(k, seq))));
        // a fourth message per round only on lane 0: it must not go first
        ASSERT_TRUE(must(producer.push(0, msg(0, 100 + seq))));
        std::vector<bool> served(3, false);
        for (std::uint32_t k = 0; k < 3; ++k) {
            auto got = pop(ring);
            ASSERT_TRUE(got);
            EXPECT_EQ(got->second, seq);
            served[got->first] = true;
        }
        EXPECT_EQ(served, std::vector<bool>(3, true));
        auto extra = pop(ring);
        ASSERT_TRUE(extra);
        EXPECT_EQ(*extra, std::make_pair(0u, 100 + seq));
    }
    EXPECT_FALSE(pop(ring));
}

// A consumer asleep in wait_pop is woken by the doorbell well inside the
// bounded sleep, and the sleeping mark is cleared afterwards.
TEST(MpscWait, DoorbellWakesTheConsumer) {
    Segment seg(size_of(64, 2));
    Mapping m = seg.map();
    const std::uint8_t* base = m.base();
    auto ring = must(MpscLanes::create(std::move(m), 64, 2));
    auto producer = must(MpscLanes::open(seg.map(), "/t"));
    std::atomic<bool> asleep{false};
    std::thread t([&] {
        // Push once the consumer has marked itself as a possible sleeper.
        while (std::atomic_ref<const std::uint32_t>(*reinterpret_cast<const std::uint32_t*>(base + 68)).load() == 0)
            std::this_thread::yield();
        asleep = true;
        (void)producer.push(1, msg(1, 9));
    });
    NoHost host;
    auto got = ring.wait_pop(Deadline::after_seconds(30), host);
    t.join();
    ASSERT_TRUE(got.ok());
    ASSERT_TRUE(got.value().has_value());
    EXPECT_TRUE(asleep.load());
    EXPECT_EQ(got.value()->lane, 1u);
    std::uint32_t mark;
    std::memcpy(&mark, base + 68, 4);
    EXPECT_EQ(mark, 0u);
}

// Four producer threads, each on its own lane, 20,000 messages each through
// small lanes (so they fill and wait): all arrive, each lane in order.
TEST(MpscThreads, FourProducersOneConsumer) {
    constexpr std::uint32_t kProducers = 4, kCount = 20'000;
    Segment seg(size_of(256, kProducers));
    auto consumer = must(MpscLanes::create(seg.map(), 256, kProducers));
    std::vector<std::thread> threads;
    std::atomic<bool> go{false};
    for (std::uint32_t p = 0; p < kProducers; ++p) {
        threads.emplace_back([&, p] {
            auto ring = must(MpscLanes::open(seg.map(), "/t"));
            while (!go.load()) std::this_thread::yield();
            NoHost host;
            for (std::uint32_t seq = 0; seq < kCount; ++seq) {
                const auto m = msg(p, seq);
                if (!must(ring.push_wait(p, m, {}, Deadline::after_seconds(60), host)))
                    throw std::runtime_error("push timed out");
            }
        });
    }
    go = true;
    std::vector<std::uint32_t> next(kProducers, 0);
    NoHost host;
    for (std::uint32_t got = 0; got < kProducers * kCount; ++got) {
        auto found = must(consumer.wait_pop(Deadline::after_seconds(60), host));
        ASSERT_TRUE(found) << "stalled after " << got;
        std::uint8_t out[8];
        ASSERT_EQ(found->frame.length, 8u);
        consumer.copy_payload(*found, out);
        consumer.commit(*found);
        std::uint32_t p, s;
        std::memcpy(&p, out, 4);
        std::memcpy(&s, out + 4, 4);
        ASSERT_EQ(p, found->lane);
        ASSERT_EQ(s, next[p]) << "producer " << p;
        ++next[p];
    }
    for (auto& t : threads) t.join();
    EXPECT_TRUE(consumer.is_empty());
}

// The end of the stream: with `expected` set it waits for that many
// producers to have registered, however they come and go; without it, for any
// one; and a segment from a build that kept neither word ends once a lane's
// tail has moved. Every producer here is a claim of this process, which
// counts as attached as long as it is held.
TEST(MpscEndOfStream, WaitsForTheExpectedProducersToComeAndGo) {
    Segment seg(size_of(64, 1));
    auto site = must(ClaimSite::of(seg.handle()));
    if (!site->supported()) GTEST_SKIP() << "no claims on this platform";
    auto ring = must(MpscLanes::create(seg.map(), 64, 1, 3));
    EXPECT_EQ(must(MpscLanes::open(seg.map(), "/t")).expected(), 3u);
    bool seen = false;
    EXPECT_FALSE(ring.producers_done(*site, seen));
    for (std::uint32_t i = 0; i < 3; ++i) {
        {
            Claim producer = must(ring.join(*site));
            EXPECT_EQ(ring.joined(), i + 1);
            EXPECT_FALSE(ring.producers_done(*site, seen));
            EXPECT_TRUE(seen);
        }
        EXPECT_EQ(ring.producers_done(*site, seen), i == 2) << i;
    }
}

TEST(MpscEndOfStream, WithoutExpectedAnyProducerThatWasThereCounts) {
    Segment seg(size_of(64, 2));
    auto site = must(ClaimSite::of(seg.handle()));
    if (!site->supported()) GTEST_SKIP() << "no claims on this platform";
    auto ring = must(MpscLanes::create(seg.map(), 64, 2));
    bool seen = false;
    EXPECT_FALSE(ring.producers_done(*site, seen));
    // an older build's producer: it published on lane 1 without registering
    ASSERT_TRUE(must(ring.push(1, msg(1, 1))));
    EXPECT_EQ(ring.joined(), 0u);
    EXPECT_TRUE(ring.producers_done(*site, seen));
    EXPECT_FALSE(seen);
    // a fresh segment, a producer that registered and went without a message
    Segment other(size_of(64, 2));
    auto other_site = must(ClaimSite::of(other.handle()));
    auto quiet = must(MpscLanes::create(other.map(), 64, 2));
    { Claim producer = must(quiet.join(*other_site)); }
    EXPECT_TRUE(quiet.producers_done(*other_site, seen));
}

// The public API: each object of a process is a producer of its own, so a
// third object of a two-slot ring is refused until one goes; the consumer
// takes messages of both in turn.
TEST(MpscApi, SlotsPerObjectAndTurns) {
    const std::string name = "/velmora_mpsc_api_" + std::to_string(static_cast<long>(::getpid()));
    (void)PlatformHandle::remove(name);
    auto consumer = must(MpscRing::create(name, 64, 2));
    EXPECT_EQ(consumer.max_payload(), 60u);
    std::optional<MpscRing> a(must(MpscRing::open(name))), b(must(MpscRing::open(name)));
    auto c = must(MpscRing::open(name));
    const std::uint8_t one[] = {1}, two[] = {2, 2};
    ASSERT_TRUE(must(a->try_push(one)));
    ASSERT_TRUE(must(b->try_push(two)));
    auto refused = c.try_push(one);
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error().message, "all 2 producer slots of '" + name + "' are taken");
    EXPECT_EQ(refused.error().reason, Reason::busy);
    EXPECT_TRUE(consumer.has_producer());
    std::uint8_t buf[8];
    EXPECT_EQ(must(consumer.try_pop(buf)), std::optional<std::size_t>(1));
    EXPECT_EQ(must(consumer.pop(buf, std::chrono::seconds(5))), std::optional<std::size_t>(2));
    EXPECT_EQ(must(consumer.try_pop(buf)), std::nullopt);
    a.reset();
    ASSERT_TRUE(must(c.try_push(one)));  // a's slot passed on
    auto opened = MpscRing::open("/velmora_mpsc_api_missing_" + std::to_string(static_cast<long>(::getpid())));
    EXPECT_FALSE(opened.ok());
    (void)PlatformHandle::remove(name);
}

}  // namespace
}  // namespace velmora
