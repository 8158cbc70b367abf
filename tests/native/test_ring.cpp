// Native tests of the SPSC ring: attach rules, framing and wrap placement
// against a byte-at-a-time reference, back-pressure, untrusted headers and
// frames, and a two-thread stream.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.hpp"
#include "core/ring.hpp"
#include "support.hpp"

#ifndef _WIN32
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace velmora {
namespace {

constexpr std::uint64_t kTop = ~std::uint64_t{0};

using test::must;

struct Segment : test::ScratchSegment {
    explicit Segment(std::uint64_t size) : ScratchSegment("ring_test", size) {}
};

// A ring together with a raw pointer to its own mapping, for forging and
// inspecting the shared bytes behind the ring's back.
struct Attached {
    std::uint8_t* base;
    SpscRing ring;

    // A creator's ring on a fresh segment of `size` bytes.
    static Attached fresh(std::uint64_t size) { return make(Segment(size), true); }
    static Attached make(const Segment& seg, bool creator) {
        Mapping m = seg.map();
        std::uint8_t* base = m.base();
        return {base, must(SpscRing::attach(std::move(m), creator))};
    }
    std::uint64_t get(int word) const {
        std::uint64_t v;
        std::memcpy(&v, base + 8 * word, 8);
        return v;
    }
    void set(int word, std::uint64_t v) { std::memcpy(base + 8 * word, &v, 8); }
    void forge(std::uint64_t head, std::uint64_t tail, std::uint64_t capacity) {
        set(0, head), set(1, tail), set(2, capacity);
    }
    std::uint8_t* data() const { return base + SPSC_HEADER_SIZE; }
};

std::vector<std::uint8_t> bytes_of(std::size_t n, unsigned seed) {
    std::vector<std::uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::uint8_t>(seed * 31 + i * 7 + 1);
    return v;
}

// Pops one message: nullopt when empty; a ring error becomes an exception.
std::optional<std::vector<std::uint8_t>> pop(SpscRing& ring) {
    auto frame = ring.begin_pop();
    if (!frame) throw std::runtime_error(frame.error().message);
    if (!frame.value()) return std::nullopt;
    std::vector<std::uint8_t> out(frame.value()->length);
    ring.copy_payload(*frame.value(), out.data());
    ring.commit(*frame.value());
    return out;
}

bool push(SpscRing& ring, const std::vector<std::uint8_t>& payload) {
    auto r = ring.push(payload);
    if (!r) throw std::runtime_error(r.error().message);
    return r.value();
}

std::string push_error(SpscRing& ring, ByteSpan payload) {
    auto r = ring.push(payload);
    return r ? "(no error)" : r.error().message;
}

std::string pop_error(SpscRing& ring) {
    auto r = ring.begin_pop();
    return r ? "(no error)" : r.error().message;
}

// ---- attach -------------------------------------------------------------------

struct AttachCase {
    std::uint64_t map_size;
    bool creator;
    const char* error;  // nullptr: attach succeeds with `capacity`
    std::uint64_t capacity;
};

class AttachTest : public ::testing::TestWithParam<AttachCase> {};

TEST_P(AttachTest, ValidatesSizeAndCapacity) {
    const AttachCase& c = GetParam();
    Segment seg(c.map_size);
    auto r = SpscRing::attach(seg.map(), c.creator);
    if (c.error != nullptr) {
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error().kind, Error::Kind::Value);
        EXPECT_EQ(r.error().message, c.error);
        return;
    }
    ASSERT_TRUE(r.ok()) << r.error().message;
    EXPECT_EQ(r.value().capacity(), c.capacity);
    EXPECT_EQ(r.value().map_size(), c.map_size);
}

INSTANTIATE_TEST_SUITE_P(
    Ring, AttachTest,
    ::testing::Values(
        AttachCase{24, true, "map_size must be > 24 bytes (spsc header)", 0},
        AttachCase{24, false, "map_size must be > 24 bytes (spsc header)", 0},
        AttachCase{1, true, "map_size must be > 24 bytes (spsc header)", 0},
        AttachCase{25, true, nullptr, 1},
        AttachCase{26, true, nullptr, 2},
        AttachCase{27, true, "capacity 3 (a 27-byte segment less the 24-byte header) is not a power of two; try capacity 2 or 4 (segments of 26 or 28 bytes)", 0},
        AttachCase{4096, true, "capacity 4072 (a 4096-byte segment less the 24-byte header) is not a power of two; try capacity 2048 or 4096 (segments of 2072 or 4120 bytes)", 0},
        AttachCase{100, true, "capacity 76 (a 100-byte segment less the 24-byte header) is not a power of two; try capacity 64 or 128 (segments of 88 or 152 bytes)", 0},
        AttachCase{100, false, nullptr, 0},  // opener: header never initialised
        AttachCase{4120, true, nullptr, 4096}));

struct CapacityCase {
    std::uint64_t capacity;
    const char* error;
};

class CreatorCapacityTest : public ::testing::TestWithParam<CapacityCase> {};

TEST_P(CreatorCapacityTest, SuggestsNeighbouringPowersOfTwo) {
    const CapacityCase& c = GetParam();
    Status st = check_creator_capacity(c.capacity);
    if (c.error == nullptr) {
        EXPECT_TRUE(st.ok()) << st.error().message;
    } else {
        ASSERT_FALSE(st.ok());
        EXPECT_EQ(st.error().message, c.error);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Ring, CreatorCapacityTest,
    ::testing::Values(
        CapacityCase{1, nullptr}, CapacityCase{std::uint64_t{1} << 63, nullptr},
        CapacityCase{5, "capacity 5 is not a power of two; try 4 or 8"},
        CapacityCase{0, "capacity 0 is not a power of two; try 1"},
        CapacityCase{(std::uint64_t{1} << 63) - 1,
                     "capacity 9223372036854775807 is not a power of two; "
                     "try 4611686018427387904 or 9223372036854775808"},
        CapacityCase{(std::uint64_t{1} << 63) + 1,
                     "capacity 9223372036854775809 is not a power of two; "
                     "try 9223372036854775808 or 18446744073709551616"},
        CapacityCase{kTop - 24,
                     "capacity 18446744073709551591 is not a power of two; "
                     "try 9223372036854775808 or 18446744073709551616"}));

TEST(Ring, OpenerSeesUninitialisedHeaderUntilCreatorAttaches) {
    Segment seg(4120);
    Attached opener = Attached::make(seg, false);
    SpscRing& r = opener.ring;
    EXPECT_EQ(r.capacity(), 0u);
    EXPECT_EQ(r.used(), 0u);
    EXPECT_EQ(r.free(), 0u);
    EXPECT_TRUE(r.is_empty());
    EXPECT_TRUE(r.is_full());
    EXPECT_FALSE(pop(r).has_value());
    EXPECT_EQ(push_error(r, {}),
              "message too large: frame_len=4 > capacity=0 (map_size=4120); no message fits");

    Attached creator = Attached::make(seg, true);
    EXPECT_EQ(r.capacity(), 4096u);
    EXPECT_TRUE(push(r, bytes_of(3, 1)));
    EXPECT_EQ(pop(creator.ring), bytes_of(3, 1));
}

TEST(Ring, CapacityOneRefusesEveryFrame) {
    Attached a = Attached::fresh(25);
    EXPECT_EQ(push_error(a.ring, {}),
              "message too large: frame_len=4 > capacity=1 (map_size=25); no message fits");
}

TEST(Ring, CreatorAttachResetsEveryRingOnTheSegment) {
    Segment seg(56);
    Attached old_ring = Attached::make(seg, true);
    ASSERT_TRUE(push(old_ring.ring, bytes_of(5, 2)));
    ASSERT_TRUE(push(old_ring.ring, bytes_of(1, 3)));
    ASSERT_TRUE(pop(old_ring.ring).has_value());  // both counters off zero
    Attached fresh = Attached::make(seg, true);
    for (SpscRing* r : {&old_ring.ring, &fresh.ring}) {
        EXPECT_TRUE(r->is_empty());
        EXPECT_EQ(r->free(), 32u);
        EXPECT_FALSE(pop(*r).has_value());
    }
}

#ifndef _WIN32
bool is_mapped(const void* addr) {
    const long page = ::sysconf(_SC_PAGESIZE);
    return ::msync(const_cast<void*>(addr), static_cast<std::size_t>(page), MS_ASYNC) == 0;
}

TEST(Ring, MappingIsReleasedWithTheRingAndOnFailedAttach) {
    Segment good(4120), bad(100);
    Mapping m = good.map();
    void* addr = m.base();
    {
        SpscRing ring = must(SpscRing::attach(std::move(m), true));
        EXPECT_TRUE(is_mapped(addr));
    }
    EXPECT_FALSE(is_mapped(addr));

    Mapping refused = bad.map();
    addr = refused.base();
    EXPECT_FALSE(SpscRing::attach(std::move(refused), true).ok());
    EXPECT_FALSE(is_mapped(addr));
}
#endif

// ---- occupancy and back-pressure (capacity 16) --------------------------------

struct FillCase {
    std::vector<std::size_t> payloads;  // pushed in order, all accepted
    std::uint64_t used, free;
    bool full;
};

class FillTest : public ::testing::TestWithParam<FillCase> {};

TEST_P(FillTest, ReportsOccupancyAndBackPressure) {
    const FillCase& c = GetParam();
    Attached a = Attached::fresh(40);
    for (std::size_t n : c.payloads) ASSERT_TRUE(push(a.ring, bytes_of(n, 0)));
    EXPECT_EQ(a.ring.used(), c.used);
    EXPECT_EQ(a.ring.free(), c.free);
    EXPECT_EQ(a.ring.is_full(), c.full);
    EXPECT_EQ(a.ring.is_empty(), c.used == 0);
    // The largest payload that still fits is accepted, one more byte is not.
    if (c.free >= 4) {
        if (c.free < 16) {
            ASSERT_FALSE(push(a.ring, bytes_of(c.free - 3, 0)));
        }
        ASSERT_TRUE(push(a.ring, bytes_of(c.free - 4, 0)));
        EXPECT_TRUE(a.ring.is_full());
    } else {
        EXPECT_FALSE(push(a.ring, {}));
    }
    // The size test comes before the space test.
    EXPECT_EQ(push_error(a.ring, bytes_of(13, 0)),
              "message too large: frame_len=17 > capacity=16 (map_size=40); the largest payload is 12 bytes");
    EXPECT_EQ(a.get(1) - a.get(0), a.ring.used());
}

INSTANTIATE_TEST_SUITE_P(
    Ring, FillTest,
    ::testing::Values(FillCase{{}, 0, 16, false}, FillCase{{12}, 16, 0, true},
                      FillCase{{9}, 13, 3, false}, FillCase{{10}, 14, 2, false},
                      FillCase{{11}, 15, 1, false}, FillCase{{0, 0, 0}, 12, 4, false},
                      FillCase{{3, 5}, 16, 0, true}, FillCase{{2, 0}, 10, 6, false}));

TEST(Ring, EmptyPayloadIsAMessageDistinctFromAnEmptyRing) {
    Attached a = Attached::fresh(40);
    ASSERT_TRUE(push(a.ring, {}));
    ASSERT_TRUE(push(a.ring, bytes_of(2, 9)));
    EXPECT_EQ(a.ring.used(), 10u);
    auto first = pop(a.ring);
    ASSERT_TRUE(first.has_value());
    EXPECT_TRUE(first->empty());
    EXPECT_EQ(a.ring.used(), 6u);
    EXPECT_EQ(pop(a.ring), bytes_of(2, 9));
    EXPECT_FALSE(pop(a.ring).has_value());
}

// ---- placement across the wrap ----------------------------------------------------

// Where byte-at-a-time placement puts a frame: every byte at its own
// position masked by capacity - 1.
std::vector<std::uint8_t> reference_area(std::vector<std::uint8_t> area, std::uint64_t pos,
                                         const std::vector<std::uint8_t>& payload) {
    const std::uint64_t mask = area.size() - 1, n = payload.size();
    for (std::uint64_t i = 0; i < 4; ++i) area[(pos + i) & mask] = static_cast<std::uint8_t>(n >> (8 * i));
    for (std::uint64_t j = 0; j < n; ++j) area[(pos + 4 + j) & mask] = payload[j];
    return area;
}

// Every start offset, every payload length and every split of the payload
// into two parts, starting from counters near 0 and near 2^64.
TEST(Ring, FramesWrapAtEveryByteLikeByteAtATimePlacement) {
    for (std::uint64_t capacity : {4u, 8u, 16u, 32u}) {
        Attached a = Attached::fresh(SPSC_HEADER_SIZE + capacity);
        for (std::uint64_t base : {std::uint64_t{0}, kTop - capacity + 1}) {
            for (std::uint64_t s = 0; s < capacity; ++s) {
                for (std::size_t n = 0; n + 4 <= capacity; ++n) {
                    const auto payload = bytes_of(n, static_cast<unsigned>(s + n));
                    for (std::size_t k = 0; k <= n; ++k) {
                        SCOPED_TRACE("capacity " + std::to_string(capacity) + " base " + std::to_string(base) +
                                     " offset " + std::to_string(s) + " n " + std::to_string(n) + " split " +
                                     std::to_string(k));
                        const std::uint64_t pos = base + s;
                        std::memset(a.data(), 0xEE, capacity);
                        a.forge(pos, pos, capacity);
                        const std::vector<std::uint8_t> before(a.data(), a.data() + capacity);
                        auto pushed = a.ring.push(ByteSpan(payload).first(k), ByteSpan(payload).subspan(k));
                        ASSERT_TRUE(pushed.ok() && pushed.value());
                        const std::vector<std::uint8_t> after(a.data(), a.data() + capacity);
                        ASSERT_EQ(after, reference_area(before, pos, payload));
                        ASSERT_EQ(a.get(1), pos + n + 4);
                        ASSERT_EQ(a.ring.used(), n + 4);
                        ASSERT_EQ(pop(a.ring), payload);
                        ASSERT_EQ(a.get(0), pos + n + 4);
                        ASSERT_TRUE(a.ring.is_empty());
                    }
                }
            }
        }
    }
}

// A loan written through its parts and published (in place or from a copy)
// leaves the data area exactly as a push of the same payload, at every
// offset, wrapping or not, with counters near 0 and near 2^64; until it is
// published the consumer sees nothing, and a discarded one leaves no trace.
TEST(RingLoan, PublishedLoanPlacesTheFrameAsPushDoes) {
    for (std::uint64_t capacity : {8u, 16u}) {
        Attached a = Attached::fresh(SPSC_HEADER_SIZE + capacity);
        for (std::uint64_t base : {std::uint64_t{0}, kTop - capacity + 1}) {
            for (std::uint64_t s = 0; s < capacity; ++s) {
                for (std::size_t n = 0; n + 4 <= capacity; ++n) {
                    for (bool copied : {false, true}) {
                        SCOPED_TRACE("capacity " + std::to_string(capacity) + " offset " + std::to_string(s) +
                                     " n " + std::to_string(n) + (copied ? " copied" : " in place"));
                        const auto payload = bytes_of(n, static_cast<unsigned>(s + n));
                        const std::uint64_t pos = base + s;
                        std::memset(a.data(), 0xEE, capacity);
                        a.forge(pos, pos, capacity);
                        const std::vector<std::uint8_t> before(a.data(), a.data() + capacity);
                        auto loan = must(a.ring.reserve(n));
                        ASSERT_TRUE(loan.has_value());
                        const auto [first, second] = a.ring.loan_parts(*loan);
                        ASSERT_EQ(first.size() + second.size(), n);
                        if (copied) {
                            ASSERT_TRUE(a.ring.publish(*loan, ByteSpan(payload)).ok());
                        } else {
                            // (an empty part may have no address: memcpy takes none)
                            if (!first.empty()) std::memcpy(first.data(), payload.data(), first.size());
                            if (!second.empty())
                                std::memcpy(second.data(), payload.data() + first.size(), second.size());
                            ASSERT_FALSE(pop(a.ring).has_value()) << "visible before its publish";
                            ASSERT_TRUE(a.ring.publish(*loan).ok());
                        }
                        const std::vector<std::uint8_t> after(a.data(), a.data() + capacity);
                        ASSERT_EQ(after, reference_area(before, pos, payload));
                        ASSERT_EQ(pop(a.ring), payload);
                        // Discarded: never completed, nothing moves.
                        ASSERT_TRUE(must(a.ring.reserve(n)).has_value());
                        ASSERT_EQ(a.get(1), pos + n + 4);
                        ASSERT_TRUE(a.ring.is_empty());
                    }
                }
            }
        }
    }
}

TEST(RingLoan, ReserveRefusesWhatDoesNotFitAndCompleteWhatWasOverwritten) {
    Attached a = Attached::fresh(SPSC_HEADER_SIZE + 32);
    const auto too_big = a.ring.reserve(29);
    ASSERT_FALSE(too_big.ok());
    EXPECT_NE(too_big.error().message.find("the largest payload is 28 bytes"), std::string::npos)
        << too_big.error().message;
    EXPECT_EQ(too_big.error().reason, Reason::too_large);
    ASSERT_TRUE(push(a.ring, bytes_of(20, 1)));
    EXPECT_FALSE(must(a.ring.reserve(5)).has_value()) << "only 8 bytes are free";
    auto loan = must(a.ring.reserve(4));
    ASSERT_TRUE(loan.has_value());
    // Something published at the loan's tail meanwhile: the loan must not
    // write its prefix over that frame.
    ASSERT_TRUE(push(a.ring, bytes_of(0, 2)));
    const auto late = a.ring.publish(*loan, ByteSpan(bytes_of(4, 3)));
    ASSERT_FALSE(late.ok());
    EXPECT_EQ(a.get(1), 28u);
    EXPECT_EQ(pop(a.ring), bytes_of(20, 1));
    EXPECT_EQ(pop(a.ring), bytes_of(0, 2));
    auto fresh = must(a.ring.reserve(4));
    ASSERT_TRUE(fresh.has_value());
    EXPECT_FALSE(a.ring.publish(*fresh, ByteSpan(bytes_of(3, 3))).ok()) << "a copy of the wrong length";
    EXPECT_TRUE(a.ring.is_empty());
}

TEST(RingLoan, ReserveWaitGetsRoomWhenTheConsumerPopsAndTimesOutOtherwise) {
    Attached a = Attached::fresh(SPSC_HEADER_SIZE + 32);
    ASSERT_TRUE(push(a.ring, bytes_of(24, 1)));
    NoHost host;
    auto timed_out = a.ring.reserve_wait(8, Deadline::after_seconds(0.02), host);
    ASSERT_TRUE(timed_out.ok());
    EXPECT_FALSE(timed_out.value().has_value());
    std::thread consumer([&] { EXPECT_EQ(pop(a.ring), bytes_of(24, 1)); });
    auto loan = a.ring.reserve_wait(8, Deadline::after_seconds(10), host);
    consumer.join();
    ASSERT_TRUE(loan.ok() && loan.value().has_value());
    EXPECT_TRUE(a.ring.publish(*loan.value(), ByteSpan(bytes_of(8, 2))).ok());
    EXPECT_EQ(pop(a.ring), bytes_of(8, 2));
}

TEST(Ring, CountersKeepWorkingAcrossTwoToTheSixtyFour) {
    Attached a = Attached::fresh(SPSC_HEADER_SIZE + 64);
    a.forge(kTop - 20, kTop - 20, 64);
    std::uint64_t expected_tail = kTop - 20;
    unsigned popped = 0;
    for (unsigned i = 0; i < 40; ++i) {
        const auto payload = bytes_of(i % 13, i);
        ASSERT_TRUE(push(a.ring, payload));
        expected_tail += payload.size() + 4;
        ASSERT_EQ(a.ring.used(), expected_tail - a.get(0));
        if (i % 3 != 0) continue;  // let a few messages queue up across the wrap
        for (; popped <= i; ++popped) ASSERT_EQ(pop(a.ring), bytes_of(popped % 13, popped));
        ASSERT_TRUE(a.ring.is_empty());
    }
    EXPECT_EQ(a.get(1), expected_tail);
    EXPECT_LT(a.get(1), 1000u);  // it has gone round
}

// ---- batches, caches and waits ------------------------------------------------------

TEST(RingBatch, FramesBecomeVisibleTogetherAtPublish) {
    Segment seg(SPSC_HEADER_SIZE + 64);
    Attached producer = Attached::make(seg, true);
    Attached consumer = Attached::make(seg, false);
    std::uint64_t tail = producer.ring.tail_position();
    for (unsigned i = 0; i < 3; ++i) {
        auto r = producer.ring.push_more(tail, bytes_of(10, i));
        ASSERT_TRUE(r.ok() && r.value());
    }
    auto full = producer.ring.push_more(tail, bytes_of(30, 9));  // 42 + 34 > 64
    ASSERT_TRUE(full.ok());
    EXPECT_FALSE(full.value());
    EXPECT_FALSE(pop(consumer.ring).has_value()) << "a frame was visible before publish_tail";
    producer.ring.publish_tail(tail);
    EXPECT_EQ(consumer.get(1), 42u);
    // Walk the three frames, then consume them with one store of head.
    auto first = consumer.ring.begin_pop();
    ASSERT_TRUE(first.ok() && first.value());
    SpscFrame last = *first.value();
    for (unsigned i = 1; i < 3; ++i) {
        auto next = consumer.ring.next_frame(last);
        ASSERT_TRUE(next.ok() && next.value());
        std::vector<std::uint8_t> got(next.value()->length);
        consumer.ring.copy_payload(*next.value(), got.data());
        EXPECT_EQ(got, bytes_of(10, i));
        last = *next.value();
    }
    EXPECT_FALSE(consumer.ring.next_frame(last).value().has_value());
    EXPECT_EQ(consumer.get(0), 0u);
    consumer.ring.commit(last);
    EXPECT_EQ(consumer.get(0), 42u);
}

// The consumer caches tail and capacity while it has data; a forged header
// at that point may garble what it reads, but every access stays inside the
// data area, and once the cache says empty the forgery is caught.
TEST(RingCache, ForgeriesWhileCachedStayInsideAndAreCaughtOnReload) {
    Attached a = Attached::fresh(SPSC_HEADER_SIZE + 64);
    ASSERT_TRUE(push(a.ring, bytes_of(8, 1)));
    ASSERT_TRUE(push(a.ring, bytes_of(8, 2)));
    EXPECT_EQ(pop(a.ring), bytes_of(8, 1));  // the consumer has now cached tail 24
    a.set(2, 1u << 20);                        // capacity far past the mapping
    a.set(1, 1u << 19);
    EXPECT_EQ(pop(a.ring), bytes_of(8, 2));  // served from the validated cache
    EXPECT_EQ(pop_error(a.ring).rfind("ring header is corrupt: ", 0), 0u);
    EXPECT_EQ(push_error(a.ring, bytes_of(1, 0)).rfind("ring header is corrupt: ", 0), 0u);
}

TEST(RingWait, WaitPopReturnsSoonAfterAPushFromAnotherThread) {
    Segment seg(SPSC_HEADER_SIZE + 4096);
    Attached producer = Attached::make(seg, true);
    Attached consumer = Attached::make(seg, false);
    std::atomic<bool> started{false};
    std::atomic<std::uint64_t> got_at{0};
    std::thread waiter([&] {
        started = true;
        NoHost host;
        auto frame = consumer.ring.wait_pop(Deadline::after_seconds(10), host);
        got_at = monotonic_ns();
        EXPECT_TRUE(frame.ok() && frame.value().has_value());
    });
    while (!started) std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // idle: the waiter sleeps
    const std::uint64_t t0 = monotonic_ns();
    ASSERT_TRUE(push(producer.ring, bytes_of(16, 3)));
    waiter.join();
    EXPECT_LT((got_at.load() - t0) / 1'000'000, 50u);
}

TEST(RingWait, PushWaitGetsRoomWhenTheConsumerPopsAndTimesOutOtherwise) {
    Attached a = Attached::fresh(SPSC_HEADER_SIZE + 32);
    ASSERT_TRUE(push(a.ring, bytes_of(24, 1)));
    NoHost host;
    auto timed_out = a.ring.push_wait(bytes_of(8, 2), {}, Deadline::after_seconds(0.02), host);
    ASSERT_TRUE(timed_out.ok());
    EXPECT_FALSE(timed_out.value());
    std::thread consumer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_EQ(pop(a.ring), bytes_of(24, 1));
    });
    auto pushed = a.ring.push_wait(bytes_of(8, 2), {}, Deadline::after_seconds(10), host);
    consumer.join();
    ASSERT_TRUE(pushed.ok());
    EXPECT_TRUE(pushed.value());
    auto too_big = a.ring.push_wait(bytes_of(40, 2), {}, Deadline::never(), host);
    EXPECT_FALSE(too_big.ok()) << "a frame larger than the ring must not wait";
}

// ---- untrusted header and frames --------------------------------------------------

struct CorruptHeaderCase {
    const char* what;
    std::uint64_t head, tail, capacity;
};

class CorruptHeaderTest : public ::testing::TestWithParam<CorruptHeaderCase> {};

TEST_P(CorruptHeaderTest, PushAndPopRefuseAndTouchNothing) {
    const CorruptHeaderCase& c = GetParam();
    Attached a = Attached::fresh(SPSC_HEADER_SIZE + 64);
    a.forge(c.head, c.tail, c.capacity);
    std::memset(a.data(), 0x5A, 64);
    const std::vector<std::uint8_t> before(a.base, a.base + SPSC_HEADER_SIZE + 64);

    EXPECT_EQ(push_error(a.ring, bytes_of(1, 0)).rfind("ring header is corrupt: ", 0), 0u) << c.what;
    EXPECT_EQ(pop_error(a.ring).rfind("ring header is corrupt: ", 0), 0u) << c.what;
    // Queries read header words only and report what they see, clamped.
    const std::uint64_t apart = c.tail - c.head;
    EXPECT_EQ(a.ring.used(), apart);
    EXPECT_EQ(a.ring.free(), apart > c.capacity ? 0 : c.capacity - apart);
    EXPECT_EQ(a.ring.is_full(), apart >= c.capacity);
    EXPECT_EQ(std::vector<std::uint8_t>(a.base, a.base + SPSC_HEADER_SIZE + 64), before) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Ring, CorruptHeaderTest,
    ::testing::Values(CorruptHeaderCase{"capacity not a power of two", 0, 0, 48},
                      CorruptHeaderCase{"capacity past the mapping", 0, 0, 128},
                      CorruptHeaderCase{"capacity huge", 0, 0, std::uint64_t{1} << 40},
                      CorruptHeaderCase{"tail too far ahead", 0, 65, 64},
                      CorruptHeaderCase{"tail behind head", 10, 6, 64},
                      CorruptHeaderCase{"counters apart with capacity 0", 0, 4, 0}));

struct CorruptFrameCase {
    std::uint64_t tail;
    std::uint32_t prefix;
    bool ok;
};

class CorruptFrameTest : public ::testing::TestWithParam<CorruptFrameCase> {};

TEST_P(CorruptFrameTest, LengthPrefixMustFitThePublishedBytes) {
    const CorruptFrameCase& c = GetParam();
    Attached a = Attached::fresh(SPSC_HEADER_SIZE + 16);
    const std::uint64_t head = 14;  // the prefix wraps: data offsets 14, 15, 0, 1
    a.forge(head, head + c.tail, 16);
    for (int i = 0; i < 4; ++i) a.data()[(head + i) & 15] = static_cast<std::uint8_t>(c.prefix >> (8 * i));
    if (c.ok) {
        auto got = pop(a.ring);
        ASSERT_TRUE(got.has_value());
        EXPECT_EQ(got->size(), c.prefix);
        return;
    }
    EXPECT_EQ(pop_error(a.ring).rfind("ring frame is corrupt: ", 0), 0u);
    EXPECT_EQ(a.get(0), head);
}

INSTANTIATE_TEST_SUITE_P(Ring, CorruptFrameTest,
                         ::testing::Values(CorruptFrameCase{8, 4, true}, CorruptFrameCase{8, 5, false},
                                           CorruptFrameCase{16, 12, true}, CorruptFrameCase{16, 13, false},
                                           CorruptFrameCase{8, 0xFFFF'FFFFu, false},
                                           CorruptFrameCase{3, 0, false}, CorruptFrameCase{1, 0, false}));

// Every byte of the length prefix is little-endian, including the top one.
TEST(Ring, LargePayloadCarriesAllFourPrefixBytes) {
    const std::size_t n = (std::size_t{1} << 24) + 0x030201;
    Attached a = Attached::fresh(SPSC_HEADER_SIZE + (std::uint64_t{1} << 25));
    const auto payload = bytes_of(n, 4);
    ASSERT_TRUE(push(a.ring, payload));
    EXPECT_EQ(std::vector<std::uint8_t>(a.data(), a.data() + 4), (std::vector<std::uint8_t>{1, 2, 3, 1}));
    EXPECT_EQ(pop(a.ring), payload);
}

#ifndef _WIN32
// A payload that the 4-byte prefix cannot describe is refused before a byte of
// it is read: the parts lie in reserved memory that cannot be touched.
TEST(Ring, PayloadPastTheLengthPrefixIsRefusedUnread) {
    const std::size_t reserve = std::size_t{1} << 32;
    void* p = ::mmap(nullptr, reserve + 1, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    ASSERT_NE(p, MAP_FAILED);
    const auto* bytes = static_cast<const std::uint8_t*>(p);
    Attached a = Attached::fresh(SPSC_HEADER_SIZE + 64);
    const auto whole = a.ring.push(ByteSpan(bytes, reserve));
    ASSERT_FALSE(whole.ok());
    EXPECT_EQ(whole.error().reason, Reason::too_large) << whole.error().message;
    const auto split = a.ring.push(ByteSpan(bytes, 2), ByteSpan(bytes, reserve - 1));
    EXPECT_FALSE(split.ok());
    EXPECT_EQ(a.get(1), 0u);
    ::munmap(p, reserve + 1);
}
#endif

// ---- two threads --------------------------------------------------------------------

std::size_t message_size(std::uint32_t seq, std::size_t max) {
    const std::uint32_t r = seq * 2654435761u;
    return (r % 16 == 0) ? r % (max + 1) : r % 24;  // mostly small, some up to the limit
}

TEST(Ring, TwoThreadStreamArrivesIntactAndInOrder) {
    constexpr std::uint64_t capacity = 1024;
    constexpr std::uint32_t count = 10000;
    Segment seg(SPSC_HEADER_SIZE + capacity);
    SpscRing producer = must(SpscRing::attach(seg.map(), true));
    SpscRing consumer = must(SpscRing::attach(seg.map(), false));  // its own view of the segment

    // Both sides sleep in the ring's own waits when it is full or empty
    // (spinning threads starve each other on a busy two-core machine). Either
    // side that hits a ring error or waits a whole deadline in vain raises
    // `stop`, so the other gives up too.
    constexpr std::int64_t kPatienceNs = 30'000'000'000;
    std::atomic<bool> stop{false};
    std::string producer_error, consumer_error;
    std::thread t([&] {
        NoHost host;
        for (std::uint32_t seq = 0; seq < count && !stop; ++seq) {
            const auto msg = bytes_of(message_size(seq, capacity - 4), seq);
            auto r = producer.push_wait(msg, {}, Deadline::after_ns(kPatienceNs), host);
            if (!r || !r.value()) {
                producer_error = r ? "timed out pushing " + std::to_string(seq) : r.error().message;
                stop = true;
            }
        }
    });
    std::uint32_t mismatches = 0, received = 0;
    NoHost host;
    while (received < count && !stop) {
        auto frame = consumer.wait_pop(Deadline::after_ns(kPatienceNs), host);
        if (!frame || !frame.value()) {
            consumer_error = frame ? "timed out popping " + std::to_string(received) : frame.error().message;
            stop = true;
            break;
        }
        std::vector<std::uint8_t> got(frame.value()->length);
        consumer.copy_payload(*frame.value(), got.data());
        consumer.commit(*frame.value());
        if (got != bytes_of(message_size(received, capacity - 4), received)) ++mismatches;
        ++received;
    }
    t.join();
    EXPECT_EQ(producer_error, "");
    EXPECT_EQ(consumer_error, "");
    EXPECT_EQ(received, count);
    EXPECT_EQ(mismatches, 0u);
    EXPECT_TRUE(consumer.is_empty());
    EXPECT_FALSE(pop(consumer).has_value());
}

}  // namespace
}  // namespace velmora
