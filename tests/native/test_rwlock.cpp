// ShmRwLock over a plain aligned word: state transitions, the unavailable
// negative values, recovery, poll-driven abandonment and exclusion between threads.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <climits>
#include <cstdint>
#include <thread>
#include <vector>

#include "core/lock.hpp"

namespace velmora {
namespace {

struct Word {
    alignas(4) std::int32_t value;
    std::int32_t load() { return std::atomic_ref<std::int32_t>(value).load(); }
    void store(std::int32_t v) { std::atomic_ref<std::int32_t>(value).store(v); }
};

// A wait host that gives up on its `give_up_at`-th poll and counts its polls.
struct CountingPoll {
    std::atomic<int>* calls;
    int give_up_at;
    void suspend() const {}
    bool poll() const { return calls->fetch_add(1) + 1 >= give_up_at; }
};

// Waits (with a generous bound) until `calls` reaches `n`.
bool wait_for_polls(const std::atomic<int>& calls, int n) {
    for (int i = 0; i < 2'000'000 && calls.load() < n; ++i) std::this_thread::yield();
    return calls.load() >= n;
}

TEST(RwLockSnapshot, ReaderCountAndWriteLockedFollowTheWord) {
    struct Case { std::int32_t word; std::int32_t readers; bool write_locked; };
    const Case cases[] = {
        {0, 0, false}, {1, 1, false}, {2, 2, false}, {INT32_MAX, INT32_MAX, false},
        {-1, 0, true}, {-2, 0, false}, {INT32_MIN, 0, false},
    };
    for (const auto& c : cases) {
        Word w{c.word};
        ShmRwLock lock(&w.value);
        EXPECT_EQ(lock.reader_count(), c.readers) << "word " << c.word;
        EXPECT_EQ(lock.is_write_locked(), c.write_locked) << "word " << c.word;
        EXPECT_EQ(w.load(), c.word) << "snapshots must not change the word";
    }
}

// Each acquire is tried with a host that gives up at its first poll, so an
// unavailable lock comes back empty after one poll period.
TEST(RwLockTransitions, AcquireAndReleaseFromEachWordValue) {
    struct Case { std::int32_t word; bool read_ok; bool write_ok; };
    const Case cases[] = {
        {0, true, true},   {1, true, false},        {2, true, false},
        {-1, false, false}, {-2, false, false},     {INT32_MIN, false, false},
        {INT32_MAX, false, false},  // the reader limit: one more would wrap
    };
    for (const auto& c : cases) {
        Word w{c.word};
        ShmRwLock lock(&w.value);
        std::atomic<int> calls{0};
        {
            auto g = lock.read_lock(CountingPoll{&calls, 1});
            EXPECT_EQ(g.has_value(), c.read_ok) << "word " << c.word;
            EXPECT_EQ(w.load(), c.read_ok ? c.word + 1 : c.word) << "word " << c.word;
            EXPECT_EQ(calls.load(), c.read_ok ? 0 : 1) << "word " << c.word;
        }
        EXPECT_EQ(w.load(), c.word) << "after read release, word " << c.word;
        calls = 0;
        {
            auto g = lock.write_lock(CountingPoll{&calls, 1});
            EXPECT_EQ(g.has_value(), c.write_ok) << "word " << c.word;
            EXPECT_EQ(w.load(), c.write_ok ? -1 : c.word) << "word " << c.word;
        }
        EXPECT_EQ(w.load(), c.word) << "after write release, word " << c.word;
    }
}

TEST(RwLockTransitions, SharedHoldsStackAndUnwind) {
    Word w{0};
    ShmRwLock lock(&w.value);
    {
        auto a = lock.read_lock();
        auto b = lock.read_lock();
        EXPECT_EQ(w.load(), 2);
        EXPECT_EQ(lock.reader_count(), 2);
        {
            ShmReadGuard moved = std::move(*a);  // the moved-from guard must not release
        }
        EXPECT_EQ(w.load(), 1);
    }
    EXPECT_EQ(w.load(), 0);
    {
        auto g = lock.write_lock();
        ShmWriteGuard moved = std::move(*g);
        g.reset();
        EXPECT_EQ(w.load(), -1) << "destroying a moved-from write guard released the lock";
    }
    EXPECT_EQ(w.load(), 0);
}

TEST(RwLockInit, InitUnlockedRecoversAnyWord) {
    for (std::int32_t start : {3, -1, -2, 0, INT32_MIN}) {
        Word w{start};
        ShmRwLock lock(&w.value);
        lock.init_unlocked();
        EXPECT_EQ(w.load(), 0) << "from " << start;
        std::atomic<int> calls{0};
        EXPECT_TRUE(lock.write_lock(CountingPoll{&calls, 1}).has_value()) << "from " << start;
        EXPECT_EQ(calls.load(), 0) << "from " << start;
    }
}

TEST(RwLockPoll, PollIsCalledUntilItGivesUpAndWordIsUntouched) {
    for (int give_up_at : {1, 3}) {
        Word w{-1};
        ShmRwLock lock(&w.value);
        std::atomic<int> read_calls{0}, write_calls{0};
        EXPECT_FALSE(lock.read_lock(CountingPoll{&read_calls, give_up_at}).has_value());
        EXPECT_FALSE(lock.write_lock(CountingPoll{&write_calls, give_up_at}).has_value());
        EXPECT_EQ(read_calls.load(), give_up_at);
        EXPECT_EQ(write_calls.load(), give_up_at);
        EXPECT_EQ(w.load(), -1);
    }
}

TEST(RwLockThreads, WritersIncrementToExactTotal) {
    constexpr int kPerThread = 200'000;
    Word w{0};
    ShmRwLock lock(&w.value);
    std::uint64_t counter = 0;  // plain: only the lock keeps the increments apart
    auto work = [&] {
        for (int i = 0; i < kPerThread; ++i) {
            auto g = lock.write_lock();
            counter = counter + 1;
        }
    };
    std::thread a(work), b(work);
    a.join();
    b.join();
    EXPECT_EQ(counter, 2u * kPerThread);
    EXPECT_EQ(w.load(), 0);
}

TEST(RwLockThreads, ReadersNeverSeeAHalfWrittenBlock) {
    constexpr int kRounds = 5'000;
    Word w{0};
    ShmRwLock lock(&w.value);
    std::array<std::uint32_t, 64> block{};
    std::atomic<bool> done{false};
    std::atomic<int> torn{0}, reads{0}, flags_wrong{0}, started{0};

    // Each reader counts itself in after its first read; the writer starts only
    // then, so the readers overlap the writes however the threads are scheduled.
    // The lock has no writer preference: readers that re-take it back to back
    // can hold the writer out for seconds, so each lets the others run between
    // its reads.
    auto reader = [&] {
        for (bool first = true; !done.load(); first = false) {
            {
                auto g = lock.read_lock();
                if (lock.is_write_locked() || lock.reader_count() < 1) ++flags_wrong;
                for (auto v : block) if (v != block[0]) { ++torn; break; }
                ++reads;
                if (first) ++started;
            }
            std::this_thread::yield();
        }
    };
    std::thread r1(reader), r2(reader);
    while (started.load() < 2) std::this_thread::yield();
    for (std::uint32_t round = 1; round <= kRounds; ++round) {
        auto g = lock.write_lock();
        if (lock.reader_count() != 0) ++flags_wrong;
        for (auto& v : block) v = round;
    }
    done = true;
    r1.join();
    r2.join();
    EXPECT_EQ(torn.load(), 0);
    EXPECT_EQ(flags_wrong.load(), 0);
    EXPECT_GT(reads.load(), 0);
    EXPECT_EQ(block[63], static_cast<std::uint32_t>(kRounds));
    EXPECT_EQ(w.load(), 0);
}

// The poll calls show the waiter is spinning; it must stay out until the last
// conflicting hold is gone, then get in.
TEST(RwLockThreads, WriterWaitsForEveryReader) {
    Word w{0};
    ShmRwLock lock(&w.value);
    auto r1 = lock.read_lock();
    auto r2 = lock.read_lock();
    std::atomic<int> calls{0};
    std::atomic<bool> acquired{false};
    std::thread writer([&] {
        auto g = lock.write_lock(CountingPoll{&calls, INT_MAX});
        acquired = g.has_value() && w.load() == -1;
    });
    ASSERT_TRUE(wait_for_polls(calls, 2));
    EXPECT_FALSE(acquired.load());
    r1.reset();
    const int seen = calls.load();
    ASSERT_TRUE(wait_for_polls(calls, seen + 2));
    EXPECT_FALSE(acquired.load()) << "writer got in while one reader still held the lock";
    r2.reset();
    writer.join();
    EXPECT_TRUE(acquired.load());
    EXPECT_EQ(w.load(), 0);
}

TEST(RwLockThreads, ReaderWaitsForWriter) {
    Word w{0};
    ShmRwLock lock(&w.value);
    auto held = lock.write_lock();
    std::atomic<int> calls{0};
    std::atomic<std::int32_t> word_inside{0};
    std::thread reader([&] {
        auto g = lock.read_lock(CountingPoll{&calls, INT_MAX});
        word_inside = w.load();
    });
    ASSERT_TRUE(wait_for_polls(calls, 2));
    EXPECT_EQ(word_inside.load(), 0);
    EXPECT_EQ(w.load(), -1);
    held.reset();
    reader.join();
    EXPECT_EQ(word_inside.load(), 1);
    EXPECT_EQ(w.load(), 0);
}

}  // namespace
}  // namespace velmora
