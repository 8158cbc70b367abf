// Lock-free words: the alignment and range rules, the operations' results,
// and exact counts under contention, from the core and through velmora::MappedView
// (two mappings of one segment, as two processes have).
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#if !defined(_WIN32)
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "core/words.hpp"
#include "platform/platform.hpp"
#include "support.hpp"
#include "platform/wait.hpp"
#include "velmora/velmora.hpp"

namespace velmora {
namespace {

using test::must;

struct Seg {
    SharedMemory seg;
    explicit Seg(std::uint64_t size) : seg(must(SharedMemory::create(test::fresh_name("words"), size))) {}
    ~Seg() { (void)SharedMemory::remove(seg.name()); }
};

TEST(Words, AlignmentIsCountedFromTheMapping) {
    // data_size 60: words at 4, 12, ..., 52 (the last ends at 60).
    for (std::uint64_t off = 0; off < 64; ++off) {
        const Status ok = check_word(off, 60);
        SCOPED_TRACE(off);
        if (off % 8 == 4 && off + 8 <= 60) {
            EXPECT_TRUE(ok.ok());
        } else {
            ASSERT_FALSE(ok.ok());
            EXPECT_EQ(ok.error().kind, Error::Kind::Value);
        }
    }
    EXPECT_EQ(check_word(60, 60).error().message, "out of bounds: offset=60 + length=8 > data_size=60");
    EXPECT_EQ(check_word(5, 60).error().message,
              "misaligned: offset=5 is not an 8-byte word (word offsets are 4, 12, 20, ...: offset % 8 == 4)");
    // A huge offset saturates instead of wrapping into range.
    EXPECT_FALSE(check_word(std::numeric_limits<std::uint64_t>::max() - 3, 60).ok());
}

TEST(Words, OperationsInPlace) {
    alignas(8) std::uint8_t mapping[4 + 24] = {};
    std::uint8_t* data = mapping + RWLOCK_SIZE;
    SharedWord w(data, 12);
    EXPECT_EQ(w.add(5), 5);
    EXPECT_EQ(w.add(-7), -2);
    EXPECT_FALSE(w.compare_exchange(5, 9));
    EXPECT_EQ(w.load(), -2);
    EXPECT_TRUE(w.compare_exchange(-2, 9));
    EXPECT_EQ(w.load(), 9);
    w.store(std::numeric_limits<std::int64_t>::max());
    EXPECT_EQ(w.add(1), std::numeric_limits<std::int64_t>::min());  // wraps, as the word does
    // Little-endian i64 in place; the neighbours are untouched.
    w.store(0x0102030405060708);
    const std::uint8_t expect[8] = {8, 7, 6, 5, 4, 3, 2, 1};
    EXPECT_EQ(std::memcmp(data + 12, expect, 8), 0);
    for (int i : {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 20, 21, 22, 23}) EXPECT_EQ(data[i], 0) << i;
}

TEST(Words, ViewCountsExactlyAcrossMappings) {
    Seg s(4 + 64);
    MappedView a = must(s.seg.map());
    MappedView b = must(must(SharedMemory::open(s.seg.name(), s.seg.size())).map());
    constexpr int kThreads = 4, kEach = 50'000;
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            MappedView& v = t % 2 ? a : b;
            ready.fetch_add(1);
            while (ready.load() < kThreads) {
            }
            for (int i = 0; i < kEach; ++i) {
                ASSERT_TRUE(v.add(4, 1).ok());
                // A compare-exchange loop on the next word: +2 each time.
                std::int64_t seen = must(v.load(12));
                while (!must(v.compare_exchange(12, seen, seen + 2))) seen = must(v.load(12));
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(must(a.load(4)), kThreads * kEach);
    EXPECT_EQ(must(b.load(12)), 2 * kThreads * kEach);
    // The words are the codec's i64 to the locked calls too.
    EXPECT_EQ(must(a.read<std::int64_t>(4)), kThreads * kEach);
    ASSERT_TRUE(b.write<std::int64_t>(20, -40).ok());
    EXPECT_EQ(must(a.add(20, 1)), -39);
    ASSERT_TRUE(a.store(20, 7).ok());
    EXPECT_EQ(must(b.read<std::int64_t>(20)), 7);
}

TEST(Words, ViewRefusesMisalignedAndOutOfRange) {
    Seg s(4 + 20);  // data_size 20: words at 4 and 12 only
    MappedView v = must(s.seg.map());
    for (std::uint64_t off : {0u, 1u, 8u, 11u, 13u, 20u, 28u}) {
        SCOPED_TRACE(off);
        EXPECT_FALSE(v.add(off, 1).ok());
        EXPECT_FALSE(v.compare_exchange(off, 0, 1).ok());
        EXPECT_FALSE(v.load(off).ok());
        EXPECT_FALSE(v.store(off, 1).ok());
    }
    EXPECT_EQ(v.store(20, 1).error().message, "out of bounds: offset=20 + length=8 > data_size=20");
    // Nothing was written by the refused calls.
    EXPECT_EQ(must(v.load(4)), 0);
    EXPECT_EQ(must(v.load(12)), 0);
}

// A forked child's copy of its parent's hold is forgotten, not released.
TEST(Words, AbandonedHoldLeavesTheWord) {
    alignas(8) std::int32_t word = 0;
    const ShmRwLock lock(&word);
    {
        auto held = lock.try_write();
        ASSERT_TRUE(held.has_value());
        held->abandon();
    }
    EXPECT_EQ(word, RWLOCK_WRITE_LOCKED);
    word = 2;
    {
        auto held = lock.try_read();
        ASSERT_TRUE(held.has_value());
        held->abandon();
    }
    EXPECT_EQ(word, 3);
}

#if !defined(_WIN32)
// A forked child counts one more fork than its parent; the parent's count stays.
TEST(Words, ForkGenerationCountsForks) {
    const std::uint64_t before = fork_generation();
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) ::_exit(fork_generation() == before + 1 ? 0 : 1);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(fork_generation(), before);
}
#endif

}  // namespace
}  // namespace velmora
