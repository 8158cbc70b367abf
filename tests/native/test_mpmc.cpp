// Native tests of the work-sharing ring: single-consumer basics, forged
// headers, takes lost to another consumer or abandoned half-way, the
// doorbell with several sleepers, end of stream, a killed consumer, and
// producer threads x consumer threads with every message taken once.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "core/mpmc.hpp"
#include "platform/platform.hpp"
#include "support.hpp"

#ifndef _WIN32
#include <csignal>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace velmora {
namespace {

using test::must;
using Bytes = std::vector<std::uint8_t>;

struct Segment : test::ScratchSegment {
    Segment(std::uint64_t capacity, std::uint32_t producers)
        : ScratchSegment("mpmc_test", must(mpmc_segment_size(capacity, producers))) {}
};

std::atomic_ref<std::uint32_t> header_word(const Mapping& m, std::uint64_t offset) {
    return std::atomic_ref<std::uint32_t>(*reinterpret_cast<std::uint32_t*>(m.base() + offset));
}

// Message `seq` of producer `p`: (p, seq), then seq % 37 filler bytes that
// depend on both, so frames wrap at odd places and a torn copy shows.
Bytes msg(std::uint32_t p, std::uint32_t seq) {
    Bytes v(8 + seq % 37);
    std::memcpy(v.data(), &p, 4);
    std::memcpy(v.data() + 4, &seq, 4);
    for (std::size_t i = 8; i < v.size(); ++i) v[i] = static_cast<std::uint8_t>(p * 31 + seq + i);
    return v;
}

// (p, seq) of a message msg() made; throws on a message it did not make.
std::pair<std::uint32_t, std::uint32_t> decode(const Bytes& v) {
    std::uint32_t p = 0, seq = 0;
    if (v.size() >= 8) std::memcpy(&p, v.data(), 4), std::memcpy(&seq, v.data() + 4, 4);
    if (v.size() < 8 || v != msg(p, seq)) throw std::runtime_error("torn or foreign message");
    return {p, seq};
}

auto sink_into(Bytes& buf) {
    return [&buf](std::uint64_t n) -> Result<std::uint8_t*> {
        buf.resize(n);
        return buf.data();
    };
}

std::optional<Bytes> take(MpmcRing& ring) {
    Bytes buf;
    auto got = must(ring.take(sink_into(buf)));
    if (!got) return std::nullopt;
    return buf;
}

// ---- one consumer ------------------------------------------------------------

TEST(MpmcBasics, OrderFullEmptyAndTooLarge) {
    Segment seg(64, 2);
    auto ring = must(MpmcRing::create(seg.map(), 64, 2, 3));
    auto other = must(MpmcRing::open(seg.map(), "/t"));
    EXPECT_EQ(other.producers(), 2u);
    EXPECT_EQ(other.consumers(), 3u);
    EXPECT_EQ(other.capacity(), 64u);
    EXPECT_EQ(other.max_payload(), 60u);
    EXPECT_FALSE(take(other));  // empty
    // full: 8-byte payloads are 12-byte frames, five fit in 64 bytes
    std::uint32_t pushed = 0;
    while (must(ring.push(1, Bytes(8, static_cast<std::uint8_t>(pushed))))) ++pushed;
    EXPECT_EQ(pushed, 5u);
    for (std::uint8_t i = 0; i < 5; ++i) EXPECT_EQ(take(other), Bytes(8, i));
    EXPECT_FALSE(take(other));
    // too large: refused as an error, the largest fits
    EXPECT_FALSE(ring.push(0, Bytes(61)).ok());
    ASSERT_TRUE(must(ring.push(0, Bytes(60, 7))));
    EXPECT_EQ(take(other), Bytes(60, 7));
    EXPECT_TRUE(other.is_empty());
}

// Lane counters start just below 2^64 and frames of odd sizes wrap at every
// byte of the data area: all come out whole and in order.
TEST(MpmcBasics, WrapsAroundDataAndCounters) {
    Segment seg(128, 2);
    Mapping m = seg.map();
    std::uint8_t* base = m.base();
    auto ring = must(MpmcRing::create(std::move(m), 128, 2, 1));
    const std::uint64_t near_top = ~std::uint64_t{0} - 300;
    const std::uint64_t lane1 = kMpmcHeaderSize + 192;  // 24 + 128 rounded up to cache lines
    std::memcpy(base + lane1, &near_top, 8);
    std::memcpy(base + lane1 + 8, &near_top, 8);
    auto consumer = must(MpmcRing::open(seg.map(), "/t"));
    std::uint32_t next = 0;
    for (std::uint32_t seq = 0; seq < 400; ++seq) {
        ASSERT_TRUE(must(ring.push(1, msg(1, seq))));
        if (seq % 3 == 0 && seq != 399) continue;  // two in the lane at times
        while (auto got = take(consumer)) ASSERT_EQ(decode(*got), std::make_pair(1u, next++));
    }
    EXPECT_EQ(next, 400u);
    EXPECT_TRUE(consumer.is_empty());
}

// Lanes are served in turn from the lane after the one taken from last.
TEST(MpmcBasics, ServesLanesInTurn) {
    Segment seg(256, 3);
    auto ring = must(MpmcRing::create(seg.map(), 256, 3, 1));
    for (std::uint32_t k = 0; k < 3; ++k)
        for (std::uint32_t seq = 0; seq < 3; ++seq) ASSERT_TRUE(must(ring.push(k, msg(k, seq))));
    for (std::uint32_t seq = 0; seq < 3; ++seq)
        for (std::uint32_t k = 0; k < 3; ++k) EXPECT_EQ(decode(*take(ring)), std::make_pair(k, seq));
}

TEST(MpmcCreate, RefusesBadArguments) {
    Segment seg(64, 2);
    for (std::uint32_t consumers : {0u, kMpmcMaxConsumers + 1}) {
        auto r = MpmcRing::create(seg.map(), 64, 2, consumers);
        ASSERT_FALSE(r.ok());
        EXPECT_NE(r.error().message.find("consumers must be between 1 and 1024"), std::string::npos);
    }
    auto small = MpmcRing::create(seg.map(), 64, 3, 1);
    ASSERT_FALSE(small.ok());
    EXPECT_NE(small.error().message.find("an MPMC ring of 3 producers"), std::string::npos);
    EXPECT_FALSE(mpmc_segment_size(100, 2).ok());
    EXPECT_FALSE(mpmc_segment_size(64, kMpmcMaxProducers + 1).ok());
}

// ---- forged headers ----------------------------------------------------------

using test::ForgedField;

class MpmcForged : public ::testing::TestWithParam<ForgedField> {};

TEST_P(MpmcForged, IsRefusedByOpen) {
    const ForgedField& c = GetParam();
    Segment seg(64, 4);
    { auto created = must(MpmcRing::create(seg.map(), 64, 4, 2)); }
    auto r = test::open_forged(seg.map(), c, [](Mapping m) { return MpmcRing::open(std::move(m), "/t"); });
    ASSERT_FALSE(r.ok()) << c.what;
    EXPECT_EQ(r.error().kind, Error::Kind::Value);
    EXPECT_EQ(r.error().message.rfind("'/t' is not an MPMC ring segment: ", 0), 0u) << r.error().message;
    EXPECT_NE(r.error().message.find(c.expect), std::string::npos) << r.error().message;
}

INSTANTIATE_TEST_SUITE_P(
    Header, MpmcForged,
    ::testing::Values(ForgedField{"fan-in magic", 0, 0x3143'5350'4d4e'4656ull, 8, "not the MPMC magic"},
                      ForgedField{"version", 8, 2, 4, "layout version 2"},
                      ForgedField{"no producers", 12, 0, 4, "producer count 0"},
                      ForgedField{"too many producers", 12, 5, 4, "5 lanes of capacity 64 do not fit"},
                      ForgedField{"capacity not a power of two", 16, 96, 8, "lane capacity 96"},
                      ForgedField{"capacity past 2^63", 16, std::uint64_t{1} << 63, 8, "do not fit"},
                      ForgedField{"no consumers", 32, 0, 4, "consumer count 0"},
                      ForgedField{"huge consumers", 32, 0xFFFFFFFF, 4, "consumer count 4294967295"}));

// A lane header forged after open is the lane's error (head stands still, so
// it is corruption, not a lost race), never an access outside the mapping.
TEST(MpmcForgedLane, IsAnErrorNamingTheLane) {
    Segment seg(64, 2);
    Mapping m = seg.map();
    std::uint8_t* base = m.base();
    auto ring = must(MpmcRing::create(std::move(m), 64, 2, 2));
    const std::uint64_t lane1 = kMpmcHeaderSize + 128;
    const std::uint64_t tail = 1000;  // past head 0 by more than the capacity
    std::memcpy(base + lane1 + 8, &tail, 8);
    auto r = ring.begin_take();
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().message.rfind("lane 1: ring header is corrupt", 0), 0u) << r.error().message;
    const std::uint64_t prefix_only = 8;  // a frame whose length prefix runs past the tail
    const std::uint32_t length = 50;
    std::memcpy(base + lane1 + 8, &prefix_only, 8);
    std::memcpy(base + lane1 + 24, &length, 4);
    r = ring.begin_take();
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().message.rfind("lane 1: ring frame is corrupt", 0), 0u) << r.error().message;
}

// ---- takes that do not finish ------------------------------------------------

// One producer lane of 64 bytes and two consumers' own views of it.
struct OneLaneTwoTakers {
    Segment seg{64, 1};
    MpmcRing ring = must(MpmcRing::create(seg.map(), 64, 1, 2));
    MpmcRing first = must(MpmcRing::open(seg.map(), "/t"));
    MpmcRing second = must(MpmcRing::open(seg.map(), "/t"));
};

// A consumer that copies a message and dies before its swap (a take begun and
// abandoned) takes nothing: the next consumer gets the message whole.
TEST(MpmcTake, AnAbandonedTakeLosesNothing) {
    OneLaneTwoTakers t;
    auto &ring = t.ring, &dying = t.first, &survivor = t.second;
    ASSERT_TRUE(must(ring.push(0, msg(0, 1))));
    ASSERT_TRUE(must(ring.push(0, msg(0, 2))));
    auto begun = must(dying.begin_take());
    ASSERT_TRUE(begun);
    Bytes copy(begun->frame.length);
    dying.copy_payload(*begun, copy.data());
    EXPECT_EQ(decode(copy).second, 1u);
    // ... and no finish_take: the survivor takes both, in order
    EXPECT_EQ(decode(*take(survivor)).second, 1u);
    EXPECT_EQ(decode(*take(survivor)).second, 2u);
    EXPECT_FALSE(take(survivor));
}

// A take that loses the race is refused at its swap even when the producer
// has meanwhile written over the frame it copied; the loser's next take is
// whole.
TEST(MpmcTake, ALostTakeIsRefusedAndTheNextIsWhole) {
    OneLaneTwoTakers t;
    auto &ring = t.ring, &slow = t.first, &fast = t.second;
    ASSERT_TRUE(must(ring.push(0, Bytes(40, 1))));
    auto begun = must(slow.begin_take());
    ASSERT_TRUE(begun);
    EXPECT_EQ(take(fast), Bytes(40, 1));
    ASSERT_TRUE(must(ring.push(0, Bytes(50, 2))));  // wraps over the bytes of the first
    Bytes copy(begun->frame.length);
    slow.copy_payload(*begun, copy.data());
    EXPECT_NE(copy, Bytes(40, 1));  // torn: exactly why the swap must refuse it
    EXPECT_FALSE(slow.finish_take(*begun));
    EXPECT_EQ(take(slow), Bytes(50, 2));
    EXPECT_FALSE(take(fast));
}

// ---- the doorbell --------------------------------------------------------------

// With a sleeper marked, a producer rings for a message into an empty lane
// only, and a taker rings when it leaves something in its lane.
TEST(MpmcBell, ProducersRingOnEmptyLanesTakersPassTheRestOn) {
    Segment seg(256, 1);
    Mapping m = seg.map();
    auto ring = must(MpmcRing::create(seg.map(), 256, 1, 2));
    header_word(m, kLaneSleepersAt).store(1);  // a consumer that may sleep
    const auto bell = [&] { return header_word(m, kLaneDoorbellAt).load(); };
    ASSERT_TRUE(must(ring.push(0, msg(0, 0))));
    EXPECT_EQ(bell(), 1u);
    ASSERT_TRUE(must(ring.push(0, msg(0, 1))));
    EXPECT_EQ(bell(), 1u);  // behind message 0: its taker passes it on
    ASSERT_TRUE(take(ring));
    EXPECT_EQ(bell(), 2u);
    ASSERT_TRUE(take(ring));
    EXPECT_EQ(bell(), 2u);  // nothing left behind
    header_word(m, kLaneSleepersAt).store(0);
    ASSERT_TRUE(must(ring.push(0, msg(0, 2))));
    EXPECT_EQ(bell(), 2u);  // nobody to wake
}

// Three consumers asleep in wait_take, then three messages into one lane: one
// rings the doorbell, the takers pass the rest on, each consumer gets one, and
// each wait takes its count back out of `sleepers`.
TEST(MpmcBell, WakesSeveralSleepingConsumers) {
    constexpr std::uint32_t kConsumers = 3;
    Segment seg(256, 2);
    Mapping m = seg.map();
    auto ring = must(MpmcRing::create(seg.map(), 256, 2, kConsumers));
    std::vector<std::optional<Bytes>> got(kConsumers);
    std::vector<std::thread> threads;
    for (std::uint32_t c = 0; c < kConsumers; ++c)
        threads.emplace_back([&, c] {
            auto consumer = must(MpmcRing::open(seg.map(), "/t"));
            Bytes buf;
            NoHost host;
            if (must(consumer.wait_take(sink_into(buf), Deadline::after_seconds(60), host))) got[c] = buf;
        });
    while (header_word(m, kLaneSleepersAt).load() != kConsumers) std::this_thread::yield();
    const std::uint32_t bell = header_word(m, kLaneDoorbellAt).load();
    for (std::uint32_t seq = 0; seq < kConsumers; ++seq) ASSERT_TRUE(must(ring.push(1, msg(1, seq))));
    for (auto& t : threads) t.join();
    std::vector<std::uint32_t> seqs;
    for (const auto& g : got) {
        ASSERT_TRUE(g);
        seqs.push_back(decode(*g).second);
    }
    std::sort(seqs.begin(), seqs.end());
    EXPECT_EQ(seqs, (std::vector<std::uint32_t>{0, 1, 2}));
    EXPECT_NE(header_word(m, kLaneDoorbellAt).load(), bell);
    EXPECT_EQ(header_word(m, kLaneSleepersAt).load(), 0u);
}

// ---- roles and end of stream --------------------------------------------------

TEST(MpmcRoles, ConsumerSlotsAreClaimsOfTheirOwn) {
    Segment seg(64, 2);
    auto site = must(ClaimSite::of(seg.handle()));
    if (!site->supported()) GTEST_SKIP() << "no claims on this platform";
    auto ring = must(MpmcRing::create(seg.map(), 64, 2, 2));
    EXPECT_FALSE(ring.consumer_attached(*site));
    std::optional<Claim> a(must(ring.claim_consumer(*site)));
    Claim b = must(ring.claim_consumer(*site));
    EXPECT_EQ(a->slot(), kMpmcConsumerClaim);
    EXPECT_EQ(b.slot(), kMpmcConsumerClaim + 1);
    auto refused = ring.claim_consumer(*site);
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error().message, "all 2 consumer slots of '" + site->name() + "' are taken");
    EXPECT_TRUE(ring.consumer_attached(*site));
    EXPECT_FALSE(ring.producer_attached(*site));  // consumers hold no producer slot
    Claim producer = must(ring.join(*site));
    EXPECT_EQ(producer.slot(), kMpmcProducerClaim);
    EXPECT_TRUE(ring.producer_attached(*site));
    a.reset();
    EXPECT_EQ(must(ring.claim_consumer(*site)).slot(), kMpmcConsumerClaim);  // a's slot passed on
}

// With `expected` set the stream ends once that many producers have
// registered and gone; what they sent is still there to take after that.
TEST(MpmcEndOfStream, WaitsForTheExpectedProducers) {
    Segment seg(64, 2);
    auto site = must(ClaimSite::of(seg.handle()));
    if (!site->supported()) GTEST_SKIP() << "no claims on this platform";
    auto ring = must(MpmcRing::create(seg.map(), 64, 2, 2, 2));
    auto consumer = must(MpmcRing::open(seg.map(), "/t"));
    EXPECT_EQ(consumer.expected(), 2u);
    bool seen = false;
    EXPECT_FALSE(consumer.producers_done(*site, seen));
    for (std::uint32_t p = 0; p < 2; ++p) {
        {
            Claim slot = must(ring.join(*site));
            const auto lane = static_cast<std::uint32_t>(slot.slot() - kMpmcProducerClaim);
            ASSERT_TRUE(must(ring.push(lane, msg(p, 0))));
            EXPECT_FALSE(consumer.producers_done(*site, seen));
        }
        EXPECT_EQ(consumer.joined(), p + 1);
        EXPECT_EQ(consumer.producers_done(*site, seen), p == 1);
    }
    EXPECT_TRUE(take(consumer));
    EXPECT_TRUE(take(consumer));
    EXPECT_FALSE(take(consumer));
}

#ifndef _WIN32
// A consumer killed while asleep in a wait leaves `sleepers` one too high:
// its slot is free again, and the others still take everything.
TEST(MpmcKill, AConsumerKilledAsleepBlocksNobody) {
    Segment seg(64, 1);
    auto site = must(ClaimSite::of(seg.handle()));
    if (!site->supported()) GTEST_SKIP() << "no claims on this platform";
    Mapping m = seg.map();
    auto ring = must(MpmcRing::create(seg.map(), 64, 1, 1));
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        auto mine = MpmcRing::open(seg.map(), "/t");
        auto own_site = ClaimSite::of(seg.handle());
        if (!mine || !own_site) ::_exit(1);
        auto slot = mine->claim_consumer(**own_site);
        if (!slot) ::_exit(2);
        Bytes buf;
        NoHost host;
        (void)mine->wait_take(sink_into(buf), Deadline::never(), host);
        ::_exit(3);
    }
    int status = 0;
    while (header_word(m, kLaneSleepersAt).load() == 0) {
        ASSERT_NE(::waitpid(child, &status, WNOHANG), child) << "the child ended first: " << status;
        std::this_thread::yield();
    }
    ASSERT_EQ(::kill(child, SIGKILL), 0);
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(header_word(m, kLaneSleepersAt).load(), 1u);
    Claim slot = must(ring.claim_consumer(*site));  // the only slot, the child's
    ASSERT_TRUE(must(ring.push(0, msg(0, 5))));
    Bytes buf;
    NoHost host;
    ASSERT_TRUE(must(ring.wait_take(sink_into(buf), Deadline::after_seconds(30), host)));
    EXPECT_EQ(decode(buf).second, 5u);
}

// A consumer process killed in the middle of a stream: what it took and
// logged, plus what the survivor takes afterwards, is every message at most
// once, and at most one (the one it was taking when killed) is missing.
TEST(MpmcKill, AConsumerKilledMidStreamLosesAtMostOneMessage) {
    constexpr std::uint32_t kCount = 5'000;
    Segment seg(256, 1);
    test::ScratchSegment log_seg("mpmc_log", 8 + 4 * kCount);
    Mapping log = log_seg.map();
    const auto logged = [&] { return std::atomic_ref<std::uint32_t>(*reinterpret_cast<std::uint32_t*>(log.base())); };
    auto ring = must(MpmcRing::create(seg.map(), 256, 1, 2));
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        auto mine = MpmcRing::open(seg.map(), "/t");
        if (!mine) ::_exit(1);
        Bytes buf;
        NoHost host;
        for (std::uint32_t n = 0;; ++n) {
            auto got = mine->wait_take(sink_into(buf), Deadline::never(), host);
            if (!got || !got.value() || buf.size() < 8) ::_exit(2);
            std::memcpy(log.base() + 8 + 4 * n, buf.data() + 4, 4);
            logged().store(n + 1, std::memory_order_release);
        }
    }
    std::thread producer([&] {
        NoHost host;
        for (std::uint32_t seq = 0; seq < kCount; ++seq)
            if (!must(ring.push_wait(0, msg(0, seq), {}, Deadline::after_seconds(120), host)))
                throw std::runtime_error("push timed out");
    });
    int status = 0;
    while (logged().load(std::memory_order_acquire) < kCount / 4) {
        ASSERT_NE(::waitpid(child, &status, WNOHANG), child) << "the child ended first: " << status;
        std::this_thread::yield();
    }
    ASSERT_EQ(::kill(child, SIGKILL), 0);
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status));
    std::vector<int> times(kCount, 0);
    const std::uint32_t n = logged().load(std::memory_order_acquire);
    for (std::uint32_t i = 0; i < n; ++i) {
        std::uint32_t seq;
        std::memcpy(&seq, log.base() + 8 + 4 * i, 4);
        ASSERT_LT(seq, kCount);
        ++times[seq];
    }
    Bytes buf;
    NoHost host;
    std::uint32_t last = 0;
    for (bool first = true; times[kCount - 1] == 0; first = false) {
        // the producer may still be pushing: wait for it, then drain
        auto got = must(ring.wait_take(sink_into(buf), Deadline::after_seconds(first ? 20 : 5), host));
        if (!got) break;
        const std::uint32_t seq = decode(buf).second;
        EXPECT_TRUE(first || seq > last) << seq;
        last = seq;
        ++times[seq];
        if (seq == kCount - 1) break;
    }
    producer.join();
    EXPECT_EQ(std::count(times.begin(), times.end(), 2), 0) << "a message taken twice";
    EXPECT_LE(std::count(times.begin(), times.end(), 0), 1) << "more than one message lost";
}
#endif

// ---- producers x consumers ----------------------------------------------------

// (producers, consumers): every message is taken exactly once, whole, and
// what one consumer takes from one producer comes in that producer's order.
class MpmcThreads : public ::testing::TestWithParam<std::tuple<std::uint32_t, std::uint32_t>> {};

TEST_P(MpmcThreads, EveryMessageOnceInProducerOrder) {
    const auto [producers, consumers] = GetParam();
    constexpr std::uint32_t kCount = 2'000;
    const std::uint64_t total = std::uint64_t{producers} * kCount;
    Segment seg(256, producers);
    auto created = must(MpmcRing::create(seg.map(), 256, producers, consumers));
    std::atomic<std::uint64_t> taken{0};
    std::atomic<bool> go{false};
    std::vector<std::vector<std::pair<std::uint32_t, std::uint32_t>>> log(consumers);
    std::vector<std::thread> threads;
    for (std::uint32_t p = 0; p < producers; ++p)
        threads.emplace_back([&, p] {
            auto ring = must(MpmcRing::open(seg.map(), "/t"));
            while (!go.load()) std::this_thread::yield();
            NoHost host;
            for (std::uint32_t seq = 0; seq < kCount; ++seq)
                if (!must(ring.push_wait(p, msg(p, seq), {}, Deadline::after_seconds(60), host)))
                    throw std::runtime_error("push timed out");
        });
    for (std::uint32_t c = 0; c < consumers; ++c)
        threads.emplace_back([&, c] {
            auto ring = must(MpmcRing::open(seg.map(), "/t"));
            while (!go.load()) std::this_thread::yield();
            NoHost host;
            Bytes buf;
            // the deadline only bounds each wait so the loop sees the count
            const std::uint64_t give_up = monotonic_ns() + 300'000'000'000ull;
            while (taken.load() < total && monotonic_ns() < give_up)
                if (must(ring.wait_take(sink_into(buf), Deadline::after_seconds(0.05), host))) {
                    log[c].push_back(decode(buf));
                    taken.fetch_add(1);
                }
        });
    go = true;
    for (auto& t : threads) t.join();
    std::vector<std::vector<bool>> seen(producers, std::vector<bool>(kCount, false));
    for (const auto& mine : log) {
        std::vector<std::int64_t> last(producers, -1);
        for (const auto& [p, seq] : mine) {
            ASSERT_LT(p, producers);
            ASSERT_LT(seq, kCount);
            ASSERT_GT(static_cast<std::int64_t>(seq), last[p]) << "producer " << p << " out of order";
            last[p] = seq;
            ASSERT_FALSE(seen[p][seq]) << "(" << p << ", " << seq << ") taken twice";
            seen[p][seq] = true;
        }
    }
    EXPECT_EQ(taken.load(), total);
    EXPECT_TRUE(created.is_empty());
}

INSTANTIATE_TEST_SUITE_P(Shapes, MpmcThreads,
                         ::testing::Values(std::make_tuple(1u, 4u), std::make_tuple(4u, 1u),
                                           std::make_tuple(3u, 3u), std::make_tuple(2u, 5u)));

}  // namespace
}  // namespace velmora
