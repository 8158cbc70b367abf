// A C++ producer streaming to a C++ consumer in another process, through the
// public API (velmora::SpscRingBuffer push/pop with waits) and through the core
// SpscRing directly (push_wait / wait_pop / copy_payload / commit), in the same
// run, at 64 B, 4 KiB, 64 KiB and 1 MiB. Both sides wait the same way; the
// consumer checks each message's sequence number. Rounds alternate between
// the two paths and each keeps its best round, since the machine may be shared.
// POSIX only (fork). Build and run: make cpp-bench.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.hpp"
#include "platform/wait.hpp"
#include "core/ring.hpp"
#include "velmora/velmora.hpp"

namespace {

using namespace velmora;

constexpr std::uint64_t kCapacity = std::uint64_t{1} << 22;  // 4 MiB data area
int kRounds = 5;  // argv[1] overrides

struct Size {
    std::size_t bytes;
    std::uint64_t count;
    const char* label;
};
constexpr Size kSizes[] = {{64, 1'000'000, "64 B"}, {4096, 100'000, "4 KiB"},
                           {65536, 8'000, "64 KiB"}, {1 << 20, 500, "1 MiB"}};

[[noreturn]] void die(const std::string& what) {
    std::fprintf(stderr, "cpp_api_bench: %s\n", what.c_str());
    std::exit(1);
}

template <class T>
T must(Result<T> r) {
    if (!r) die(r.error().message);
    return std::move(r).value();
}

std::uint64_t seq_of(const std::uint8_t* p) {
    std::uint64_t s;
    std::memcpy(&s, p, 8);
    return s;
}

// Consumer loops: seconds from the first message to the last, or < 0 on a
// wrong sequence number.
double consume_core(const std::string& name, const Size& size) {
    auto handle = must(PlatformHandle::open(name, std::nullopt));
    SpscRing ring = must(SpscRing::attach(must(handle.map()), false));
    std::vector<std::uint8_t> buf(size.bytes);
    NoHost host;
    std::uint64_t t0 = 0;
    for (std::uint64_t seq = 0; seq < size.count; ++seq) {
        auto frame = must(ring.wait_pop(Deadline::never(), host));
        if (seq == 0) t0 = monotonic_ns();
        ring.copy_payload(*frame, buf.data());
        ring.commit(*frame);
        if (frame->length != size.bytes || seq_of(buf.data()) != seq) return -1;
    }
    return static_cast<double>(monotonic_ns() - t0) / 1e9;
}

double consume_api(const std::string& name, const Size& size) {
    SharedMemory segment = must(SharedMemory::open(name));
    SpscRingBuffer ring = must(segment.ring());
    std::vector<std::uint8_t> buf(size.bytes);
    std::uint64_t t0 = 0;
    for (std::uint64_t seq = 0; seq < size.count; ++seq) {
        auto n = must(ring.pop(buf, forever));
        if (seq == 0) t0 = monotonic_ns();
        if (*n != size.bytes || seq_of(buf.data()) != seq) return -1;
    }
    return static_cast<double>(monotonic_ns() - t0) / 1e9;
}

void produce_core(const PlatformHandle& handle, const Size& size, std::vector<std::uint8_t>& msg) {
    SpscRing ring = must(SpscRing::attach(must(handle.map()), false));
    NoHost host;
    for (std::uint64_t seq = 0; seq < size.count; ++seq) {
        std::memcpy(msg.data(), &seq, 8);
        if (!must(ring.push_wait(msg, {}, Deadline::never(), host))) die("push_wait gave up");
    }
}

void produce_api(const std::string& name, const Size& size, std::vector<std::uint8_t>& msg) {
    SharedMemory segment = must(SharedMemory::open(name));
    SpscRingBuffer ring = must(segment.ring());
    for (std::uint64_t seq = 0; seq < size.count; ++seq) {
        std::memcpy(msg.data(), &seq, 8);
        if (!must(ring.push(msg, forever))) die("push gave up");
    }
}

// One measurement: a fresh ring header, a consumer process, this process producing.
double run(const PlatformHandle& handle, const Size& size, bool api) {
    (void)must(SpscRing::attach(must(handle.map()), true));
    int fds[2];
    if (pipe(fds) != 0) die("pipe");
    const pid_t child = fork();
    if (child < 0) die("fork");
    if (child == 0) {
        close(fds[0]);
        const double secs = api ? consume_api(handle.name(), size) : consume_core(handle.name(), size);
        const ssize_t w = write(fds[1], &secs, sizeof secs);
        _exit(w == sizeof secs ? 0 : 1);
    }
    close(fds[1]);
    std::vector<std::uint8_t> msg(size.bytes, 0x5A);
    if (api) produce_api(handle.name(), size, msg);
    else produce_core(handle, size, msg);
    double secs = -1;
    if (read(fds[0], &secs, sizeof secs) != sizeof secs) secs = -1;
    close(fds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    if (secs <= 0) die("consumer failed or saw a wrong message");
    return secs;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1) kRounds = std::max(1, std::atoi(argv[1]));
    const std::size_t only = argc > 2 ? static_cast<std::size_t>(std::atoll(argv[2])) : 0;  // one size
    const std::string name = "/velmora_cpp_bench_" + std::to_string(getpid());
    // The name stays until the end: every consumer process opens it anew.
    PlatformHandle segment = must(PlatformHandle::create(name, kCapacity + SPSC_HEADER_SIZE));
    std::printf("two processes, ring capacity %llu KiB, best of %d alternating rounds\n\n",
                static_cast<unsigned long long>(kCapacity >> 10), kRounds);
    std::printf("| message | core SpscRing msg/s | core GB/s | C++ API msg/s | C++ API GB/s | API / core |\n");
    std::printf("|---|---|---|---|---|---|\n");
    for (const Size& size : kSizes) {
        if (only != 0 && size.bytes != only) continue;
        double best_core = 1e30, best_api = 1e30;
        for (int r = 0; r < kRounds; ++r) {
            best_core = std::min(best_core, run(segment, size, false));
            best_api = std::min(best_api, run(segment, size, true));
        }
        // Messages after the first, over the time from the first to the last.
        const auto rate = [&](double secs) { return static_cast<double>(size.count - 1) / secs; };
        const auto gbps = [&](double secs) { return rate(secs) * static_cast<double>(size.bytes) / 1e9; };
        std::printf("| %s | %.3g M | %.2f | %.3g M | %.2f | %.1f%% |\n", size.label, rate(best_core) / 1e6,
                    gbps(best_core), rate(best_api) / 1e6, gbps(best_api), 100.0 * best_core / best_api);
        std::fflush(stdout);
    }
    (void)PlatformHandle::remove(name);
    return 0;
}
