// The module's one wait: spin, suspend the host, back off, poll, deadline;
// the lock's timed acquires and releases that survive a reset.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <limits>
#include <cstdint>
#include <thread>

#include "platform/wait.hpp"
#include "core/lock.hpp"

namespace velmora {
namespace {

struct RecordingHost {
    int suspends = 0;
    int polls = 0;
    int give_up_at = 0;  // 0: never
    void suspend() { ++suspends; }
    bool poll() { return ++polls == give_up_at; }
};

std::uint64_t elapsed_ms(std::uint64_t since) { return (monotonic_ns() - since) / 1'000'000; }

TEST(Wait, ReadyAtOnceNeverSuspendsTheHost) {
    RecordingHost host;
    EXPECT_EQ(wait_until([] { return true; }, Deadline::never(), host), WaitResult::Ready);
    EXPECT_EQ(host.suspends, 0);
}

TEST(Wait, ImmediateDeadlineIsOneAttempt) {
    RecordingHost host;
    int attempts = 0;
    EXPECT_EQ(wait_until([&] { ++attempts; return false; }, Deadline::now(), host), WaitResult::TimedOut);
    EXPECT_EQ(attempts, 1);
    EXPECT_EQ(host.suspends, 0);
}

TEST(Wait, TimesOutNoEarlierThanTheDeadlineAndSuspendsOnce) {
    for (double seconds : {0.01, 0.06}) {
        RecordingHost host;
        const std::uint64_t t0 = monotonic_ns();
        EXPECT_EQ(wait_until([] { return false; }, Deadline::after_seconds(seconds), host), WaitResult::TimedOut);
        const std::uint64_t ms = elapsed_ms(t0);
        EXPECT_GE(ms, static_cast<std::uint64_t>(seconds * 1000) - 1);
        EXPECT_LT(ms, static_cast<std::uint64_t>(seconds * 1000) + 500) << "overslept";
        EXPECT_EQ(host.suspends, 1);
    }
}

TEST(Wait, HostIsPolledWhileBlockedAndCanAbandon) {
    RecordingHost host;
    host.give_up_at = 3;
    EXPECT_EQ(wait_until([] { return false; }, Deadline::never(), host), WaitResult::Abandoned);
    EXPECT_EQ(host.polls, 3);
}

TEST(Wait, BadTimeoutsDoNotWait) {
    for (double s : {0.0, -1.0, std::numeric_limits<double>::quiet_NaN()})
        EXPECT_TRUE(Deadline::after_seconds(s).immediate()) << s;
    EXPECT_TRUE(Deadline::after_seconds(1e300).infinite());
}

// Seconds (Python) and the C++ API's durations make the same deadlines; the
// API's `forever` and no timeout at all never end, <= 0 is one attempt.
TEST(Wait, EveryTimeoutConvertsAlike) {
    using namespace std::chrono;
    EXPECT_TRUE(deadline_within(std::nullopt).infinite());
    EXPECT_TRUE(deadline_within(nanoseconds::max()).infinite());
    for (nanoseconds ns : {nanoseconds(0), nanoseconds(-5), nanoseconds::min()})
        EXPECT_TRUE(deadline_within(ns).immediate()) << ns.count();
    EXPECT_TRUE(deadline_within(duration<double>(std::numeric_limits<double>::quiet_NaN())).immediate());
    EXPECT_EQ(deadline_within(milliseconds(1500)).anchored(100).remaining(100), 1'500'000'000u);
    EXPECT_EQ(deadline_within(duration<double>(1.5)).anchored(100).remaining(100), 1'500'000'000u);
}

// A waiter blocked on a word returns soon after another thread changes it
// and wakes it, long before its own bounded sleeps would have let it look.
TEST(Wait, WakeWordEndsTheSleepEarly) {
    alignas(4) std::uint32_t word = 0;
    std::atomic<bool> started{false};
    std::atomic<std::uint64_t> woke_at{0};
    std::thread waiter([&] {
        std::uint32_t seen = 0;
        started = true;
        const auto attempt = [&] {
            seen = std::atomic_ref<std::uint32_t>(word).load();
            return seen != 0;
        };
        EXPECT_EQ(wait_until(attempt, Deadline::after_seconds(10), WaitWord{&word, &seen}), WaitResult::Ready);
        woke_at = monotonic_ns();
    });
    while (!started) std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(30));  // let it reach its sleeps
    const std::uint64_t t0 = monotonic_ns();
    std::atomic_ref<std::uint32_t>(word).store(1);
    wake_word(&word);
    waiter.join();
    EXPECT_LT((woke_at.load() - t0) / 1'000'000, 100u);
}

struct Word {
    alignas(4) std::int32_t value;
    std::int32_t load() { return std::atomic_ref<std::int32_t>(value).load(); }
};

TEST(RwLockDeadline, TimedAcquireOnAHeldWordChangesNothing) {
    for (std::int32_t start : {-1, 1}) {
        Word w{start};
        ShmRwLock lock(&w.value);
        EXPECT_FALSE(lock.write_lock(NoHost{}, Deadline::after_seconds(0.02)).has_value()) << start;
        if (start < 0) {
            EXPECT_FALSE(lock.read_lock(NoHost{}, Deadline::now()).has_value());
        }
        EXPECT_EQ(w.load(), start);
    }
}

// After a reset under live holders, their releases must not unlock or
// corrupt the word that others now hold.
TEST(RwLockRelease, ReleasesAfterAResetLeaveTheNewHolderAlone) {
    Word w{0};
    ShmRwLock lock(&w.value);
    {
        auto reader = lock.read_lock();
        lock.init_unlocked();
        {
            auto writer = lock.write_lock();
            reader.reset();
            EXPECT_EQ(w.load(), -1) << "a stale reader release changed a write-locked word";
        }
        EXPECT_EQ(w.load(), 0);
    }
    {
        auto writer = lock.write_lock();
        lock.init_unlocked();
        auto reader = lock.read_lock();
        writer.reset();
        EXPECT_EQ(w.load(), 1) << "a stale writer release unlocked a reader's hold";
        auto stale_reader = lock.read_lock();
        lock.init_unlocked();
        reader.reset();
        stale_reader.reset();
        EXPECT_EQ(w.load(), 0) << "reader releases took the word below zero";
    }
}

}  // namespace
}  // namespace velmora
