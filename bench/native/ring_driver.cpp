// The native row of bench/compare.py: the ring core driven from C++, in two
// processes (fork), with the message sizes and checks of the Python rows.
//
//   velmora_bench_ring throughput SIZE COUNT CAPACITY
//       The parent pushes COUNT messages of SIZE bytes into a ring of CAPACITY
//       data bytes; the forked child pops them, checking the length and the
//       sequence number in the first 8 bytes (little-endian) of every one.
//       The child times from the first message to the last.
//   velmora_bench_ring pingpong SIZE ITERATIONS CAPACITY BUDGET_MS
//       The parent sends a message through one ring, the child checks it and
//       sends it back through a second ring; half of each round trip is one
//       one-way latency sample. Stops after ITERATIONS timed round trips or
//       once BUDGET_MS have passed (with at least 100 samples).
//
// Prints one JSON object on stdout. Exit status 0 when every message was
// right, 1 when any was wrong, 2 on a usage or system error.
#include <sched.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.hpp"
#include "core/ring.hpp"

namespace {

using velmora::ByteSpan;
using velmora::PlatformHandle;
using velmora::SpscFrame;
using velmora::SpscRing;
using Clock = std::chrono::steady_clock;

// Sequence numbers the Python rows use for control messages as well.
constexpr std::uint64_t kStop = ~std::uint64_t{0} - 1;

// Segment names still linked, removed by die() in the process that made them.
std::vector<std::string> g_linked;
pid_t g_creator = 0;

[[noreturn]] void die(const std::string& what) {
    std::fprintf(stderr, "velmora_bench_ring: %s\n", what.c_str());
    if (::getpid() == g_creator)
        for (const auto& name : g_linked) (void)PlatformHandle::remove(name);
    std::exit(2);
}

template <class T>
T must(velmora::Result<T> r, const char* what) {
    if (!r) die(std::string(what) + ": " + r.error().message);
    return std::move(r).value();
}

std::uint64_t parse(const char* text, const char* what) {
    char* end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0') die(std::string("bad ") + what + ": " + text);
    return v;
}

// Spins on a full or empty ring, handing the core over every 1024 tries so that
// a loaded machine still makes progress.
struct Spinner {
    unsigned spins = 0;
    void wait() {
        if (++spins % 1024 == 0) sched_yield();
    }
};

// A named segment made by the parent and removed once the child has opened it.
class Segment {
public:
    Segment(const std::string& tag, std::uint64_t capacity)
        : name_("/velmora-bench-native-" + std::to_string(::getpid()) + "-" + tag),
          handle_(must(PlatformHandle::create(name_, velmora::SPSC_HEADER_SIZE + capacity), "create")) {
        g_creator = ::getpid();
        g_linked.push_back(name_);
    }
    ~Segment() { unlink(); }
    Segment(const Segment&) = delete;
    Segment& operator=(const Segment&) = delete;

    SpscRing create_ring() const { return must(SpscRing::attach(must(handle_.map(), "map"), true), "attach"); }
    SpscRing open_ring() const {
        auto opened = must(PlatformHandle::open(name_, std::nullopt), "open");
        return must(SpscRing::attach(must(opened.map(), "map"), false), "attach");
    }
    void unlink() {
        if (!linked_) return;
        linked_ = false;
        (void)PlatformHandle::remove(name_);
        std::erase(g_linked, name_);
    }

private:
    std::string name_;
    PlatformHandle handle_;
    bool linked_ = true;
};

void push(SpscRing& ring, const std::vector<std::uint8_t>& msg, std::size_t length) {
    Spinner spin;
    while (!must(ring.push(ByteSpan(msg.data(), length)), "push")) spin.wait();
}

// Pops the next message into `buf` (resized only when it is too small).
// Returns its length.
std::uint64_t pop(SpscRing& ring, std::vector<std::uint8_t>& buf) {
    Spinner spin;
    for (;;) {
        auto frame = must(ring.begin_pop(), "pop");
        if (frame) {
            if (buf.size() < frame->length) buf.resize(frame->length);
            ring.copy_payload(*frame, buf.data());
            ring.commit(*frame);
            return frame->length;
        }
        spin.wait();
    }
}

std::uint64_t seq_of(const std::vector<std::uint8_t>& buf) {
    std::uint64_t v;
    std::memcpy(&v, buf.data(), 8);  // little-endian machines only, as the Python rows
    return v;
}

void set_seq(std::vector<std::uint8_t>& buf, std::uint64_t seq) { std::memcpy(buf.data(), &seq, 8); }

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// The child: dies with the parent, reports through `out`, never returns.
template <class Body>
pid_t spawn(int out, Body body) {
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid < 0) die("fork failed");
    if (pid > 0) return pid;
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(2);
    body();
    ::close(out);
    ::_exit(0);
}

void write_all(int fd, const void* data, std::size_t n) {
    const auto* p = static_cast<const std::uint8_t*>(data);
    while (n > 0) {
        const ssize_t w = ::write(fd, p, n);
        if (w <= 0) ::_exit(2);
        p += w, n -= static_cast<std::size_t>(w);
    }
}

template <class T>
T read_value(int fd) {
    T v{};
    auto* p = reinterpret_cast<std::uint8_t*>(&v);
    std::size_t n = sizeof v;
    while (n > 0) {
        const ssize_t r = ::read(fd, p, n);
        if (r <= 0) die("the child process went away");
        p += r, n -= static_cast<std::size_t>(r);
    }
    return v;
}

int reap(pid_t pid) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 2;
}

struct ThroughputReport {
    double elapsed;
    std::uint64_t bad;
};

int throughput(std::uint64_t size, std::uint64_t count, std::uint64_t capacity) {
    if (size < 8 || count < 2) die("throughput needs SIZE >= 8 and COUNT >= 2");
    Segment seg("t", capacity);
    SpscRing producer = seg.create_ring();
    int fds[2];
    if (::pipe(fds) != 0) die("pipe failed");
    const pid_t child = spawn(fds[1], [&] {
        ::close(fds[0]);
        SpscRing ring = seg.open_ring();
        const char ready = 'r';
        write_all(fds[1], &ready, 1);
        std::vector<std::uint8_t> buf(size);
        ThroughputReport report{0.0, 0};
        Clock::time_point t0;
        for (std::uint64_t seq = 0; seq < count; ++seq) {
            const std::uint64_t n = pop(ring, buf);
            if (seq == 0) t0 = Clock::now();
            if (n != size || seq_of(buf) != seq) ++report.bad;
        }
        report.elapsed = seconds(Clock::now() - t0);
        write_all(fds[1], &report, sizeof report);
    });
    ::close(fds[1]);
    (void)read_value<char>(fds[0]);
    seg.unlink();
    std::vector<std::uint8_t> msg(size, 0x5a);
    for (std::uint64_t seq = 0; seq < count; ++seq) {
        set_seq(msg, seq);
        push(producer, msg, size);
    }
    const auto report = read_value<ThroughputReport>(fds[0]);
    if (reap(child) != 0) die("the consumer process failed");
    std::printf("{\"count\": %llu, \"elapsed_s\": %.9f, \"bad\": %llu}\n",
                static_cast<unsigned long long>(count), report.elapsed,
                static_cast<unsigned long long>(report.bad));
    return report.bad == 0 ? 0 : 1;
}

// Nearest-rank percentile of sorted samples, in thousandths (the Python rows
// use the same rule).
double percentile(const std::vector<double>& sorted, std::size_t permille) {
    const std::size_t rank = std::max<std::size_t>(1, (permille * sorted.size() + 999) / 1000);
    return sorted[std::min(rank, sorted.size()) - 1];
}

int pingpong(std::uint64_t size, std::uint64_t iterations, std::uint64_t capacity, std::uint64_t budget_ms) {
    if (size < 8 || iterations < 1) die("pingpong needs SIZE >= 8 and ITERATIONS >= 1");
    Segment there("a", capacity), back("b", capacity);
    SpscRing out = there.create_ring();
    SpscRing in = back.create_ring();
    int fds[2];
    if (::pipe(fds) != 0) die("pipe failed");
    const pid_t child = spawn(fds[1], [&] {
        ::close(fds[0]);
        SpscRing rx = there.open_ring();
        SpscRing tx = back.open_ring();
        const char ready = 'r';
        write_all(fds[1], &ready, 1);
        std::vector<std::uint8_t> buf(size);
        std::uint64_t bad = 0;
        for (std::uint64_t expect = 0;; ++expect) {
            const std::uint64_t n = pop(rx, buf);
            if (n == size && seq_of(buf) == kStop) break;
            if (n != size || seq_of(buf) != expect) ++bad;
            push(tx, buf, n);
        }
        write_all(fds[1], &bad, sizeof bad);
    });
    ::close(fds[1]);
    (void)read_value<char>(fds[0]);
    there.unlink();
    back.unlink();

    // A tenth of the round trips (at least 20) warm up untimed.
    const std::uint64_t warmup = std::max<std::uint64_t>(20, iterations / 10);
    const auto budget = std::chrono::milliseconds(budget_ms);
    std::vector<std::uint8_t> msg(size, 0x5a), reply(size);
    std::vector<double> samples;
    samples.reserve(iterations);
    std::uint64_t bad = 0, seq = 0;
    const auto started = Clock::now();
    for (; samples.size() < iterations; ++seq) {
        set_seq(msg, seq);
        const auto t0 = Clock::now();
        push(out, msg, size);
        const std::uint64_t n = pop(in, reply);
        const auto t1 = Clock::now();
        if (n != size || seq_of(reply) != seq) ++bad;
        if (seq >= warmup) samples.push_back(std::chrono::duration<double, std::nano>(t1 - t0).count() / 2);
        if (samples.size() >= 100 && t1 - started > budget) break;
    }
    set_seq(msg, kStop);
    push(out, msg, size);
    bad += read_value<std::uint64_t>(fds[0]);
    if (reap(child) != 0) die("the echo process failed");
    std::sort(samples.begin(), samples.end());
    std::printf("{\"samples\": %zu, \"p50_ns\": %.1f, \"p99_ns\": %.1f, \"bad\": %llu}\n", samples.size(),
                percentile(samples, 500), percentile(samples, 990), static_cast<unsigned long long>(bad));
    return bad == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "throughput" && argc == 5)
        return throughput(parse(argv[2], "SIZE"), parse(argv[3], "COUNT"), parse(argv[4], "CAPACITY"));
    if (mode == "pingpong" && argc == 6)
        return pingpong(parse(argv[2], "SIZE"), parse(argv[3], "ITERATIONS"), parse(argv[4], "CAPACITY"),
                        parse(argv[5], "BUDGET_MS"));
    std::fprintf(stderr,
                 "usage: %s throughput SIZE COUNT CAPACITY\n"
                 "       %s pingpong SIZE ITERATIONS CAPACITY BUDGET_MS\n",
                 argv[0], argv[0]);
    return 2;
}
