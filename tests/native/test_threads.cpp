// Threaded tests written for ThreadSanitizer as much as for the plain build:
// every thread works through the same addresses (one mapping), so TSan sees
// each data-area byte and each counter or lock word that orders it. (The other
// two-thread ring test uses two mappings of one segment, which TSan cannot
// relate.) `make test-sanitize` runs these under -fsanitize=thread.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.hpp"
#include "core/lock.hpp"
#include "core/ring.hpp"
#include "support.hpp"

#ifndef _WIN32
#include <unistd.h>
#endif

namespace velmora {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kGenerous = std::chrono::seconds(60);

// A mapping of a fresh segment whose name is removed at once.
Mapping fresh_mapping(std::uint64_t size) { return test::ScratchSegment("threads_test", size).map(); }

// Message `seq`: a size from a fixed mix (up to max) and bytes derived from seq.
std::vector<std::uint8_t> message(std::uint32_t seq, std::size_t max) {
    const std::uint32_t r = seq * 2654435761u;
    const std::size_t n = (r % 8 == 0) ? r % (max + 1) : r % 19;
    std::vector<std::uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::uint8_t>(seq * 131 + i * 7 + 3);
    return v;
}

// A wait loop that yields and gives up after a generous bound, so a broken
// protocol fails the test instead of hanging it.
template <class Ready>
bool wait_until(Ready ready) {
    const auto deadline = Clock::now() + kGenerous;
    for (std::uint32_t tries = 0; !ready(); ++tries) {
        if (Clock::now() > deadline) return false;
        // A short spin, then naps: two threads spinning on a busy two-core
        // machine mostly keep each other from running.
        if (tries < 64) std::this_thread::yield();
        else std::this_thread::sleep_for(std::chrono::microseconds(20));
    }
    return true;
}

// One ring object, one mapping, two threads: producer and consumer touch the
// same data-area addresses, ordered only by the release/acquire counters.
// Starting the counters just below 2^64 makes them wrap during the run.
TEST(ThreadsSharedMapping, RingStreamThroughOneMapping) {
    for (std::uint64_t start : {std::uint64_t{0}, ~std::uint64_t{0} - 5000}) {
        constexpr std::uint64_t capacity = 512;
        constexpr std::uint32_t count = 5000;
        Mapping m = fresh_mapping(SPSC_HEADER_SIZE + capacity);
        std::uint8_t* base = m.base();
        auto attached = SpscRing::attach(std::move(m), true);
        ASSERT_TRUE(attached.ok()) << attached.error().message;
        SpscRing ring = std::move(attached).value();
        std::memcpy(base, &start, 8);      // head, before any thread starts
        std::memcpy(base + 8, &start, 8);  // tail

        std::atomic<bool> failed{false};
        std::string producer_error;
        std::thread producer([&] {
            for (std::uint32_t seq = 0; seq < count && !failed; ++seq) {
                const auto msg = message(seq, capacity - 4);
                const bool ok = wait_until([&] {
                    if (failed) return true;
                    auto r = ring.push(msg);
                    if (!r) {
                        producer_error = r.error().message;
                        failed = true;
                        return true;
                    }
                    return r.value();
                });
                if (!ok) {
                    producer_error = "timed out pushing " + std::to_string(seq);
                    failed = true;
                }
            }
        });
        std::uint32_t received = 0, mismatches = 0;
        std::string consumer_error;
        while (received < count && !failed) {
            std::optional<SpscFrame> frame;
            const bool ok = wait_until([&] {
                if (failed) return true;
                auto r = ring.begin_pop();
                if (!r) {
                    consumer_error = r.error().message;
                    failed = true;
                    return true;
                }
                frame = r.value();
                return frame.has_value();
            });
            if (!ok) {
                consumer_error = "timed out popping " + std::to_string(received);
                failed = true;
            }
            if (failed) break;
            std::vector<std::uint8_t> got(frame->length);
            ring.copy_payload(*frame, got.data());
            ring.commit(*frame);
            if (got != message(received, capacity - 4)) ++mismatches;
            ++received;
        }
        producer.join();
        EXPECT_EQ(producer_error, "");
        EXPECT_EQ(consumer_error, "");
        EXPECT_EQ(received, count);
        EXPECT_EQ(mismatches, 0u);
        EXPECT_TRUE(ring.is_empty());
    }
}

// Readers and writers over one plain block: every writer fills it with one
// value, every reader checks it is uniform. The word must be back at 0 at the
// end: a release that does not give the hold back shows here (a writer that
// then waits for the lock gives up after a generous bound and fails the test).
TEST(ThreadsSharedMapping, ReadersAndWritersLeaveTheWordUnlocked) {
    alignas(4) std::int32_t word = 0;
    ShmRwLock lock(&word);
    std::uint64_t block[32] = {};
    constexpr int kWrites = 5000;
    std::atomic<int> started{0}, torn{0}, stuck{0};
    std::atomic<bool> done{false};

    auto writer = [&](std::uint64_t id) {
        ++started;
        wait_until([&] { return started.load() == 4; });
        for (int i = 1; i <= kWrites; ++i) {
            auto g = lock.write_lock(NoHost{}, Deadline::after_seconds(60));
            if (!g) { ++stuck; return; }
            for (auto& v : block) v = id * 1000000 + i;
        }
    };
    auto reader = [&] {
        ++started;
        wait_until([&] { return started.load() == 4; });
        while (!done) {
            auto g = lock.read_lock(NoHost{}, Deadline::after_seconds(60));
            if (!g) { ++stuck; return; }
            for (auto v : block) if (v != block[0]) { ++torn; break; }
        }
    };
    std::thread r1(reader), r2(reader);
    std::thread w1(writer, 1), w2(writer, 2);
    w1.join();
    w2.join();
    done = true;
    r1.join();
    r2.join();
    EXPECT_EQ(stuck.load(), 0);
    EXPECT_EQ(torn.load(), 0);
    EXPECT_EQ(std::atomic_ref<std::int32_t>(word).load(), 0);
}

}  // namespace
}  // namespace velmora
