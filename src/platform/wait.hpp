// Waiting: the one mechanism every blocking call of the module uses (the view
// lock, the ring's blocking push and pop, the C++ API). A wait spins briefly,
// then tells its host it is about to block (the Python binding releases the
// interpreter lock there), then backs off: yields, then sleeps that grow to
// kMaxSleepNs, or a kernel wait on a 32-bit word when the caller names one
// (up to kMaxWordSleepNs, cut short by the other side's wake). A waiter on a
// word sleeps only after kYieldUntilNs in which the word did not change; so a
// side that changes the word wakes sleepers only when its previous change is
// at least that old (see SpscRing), and no wake-up is ever skipped.
// The host is polled about every kPollEveryNs while blocked (the binding takes
// the interpreter lock back to run signal handlers) and the deadline is
// checked after every failed attempt past the spin.
//
// The OS primitives below are implemented once per OS variant (posix.cpp,
// win32.cpp); this header includes no OS header.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <limits>
#include <optional>

#if defined(_MSC_VER)
#include <intrin.h>
#endif

namespace velmora {

// ---- OS primitives ------------------------------------------------------------

[[nodiscard]] std::uint64_t monotonic_ns() noexcept;
// Gives the processor to another runnable thread, if there is one.
void yield_processor() noexcept;
void sleep_ns(std::uint64_t ns) noexcept;
// Blocks while *word == expected, for at most `timeout_ns`, or until
// wake_word() on the same shared memory in any process. Spurious returns are
// allowed. Where the OS has no cross-process address wait, it sleeps.
void wait_on_word(const std::uint32_t* word, std::uint32_t expected, std::uint64_t timeout_ns) noexcept;
// Wakes every waiter blocked on `word`; costs a system call even when nobody waits.
void wake_word(const std::uint32_t* word) noexcept;

// The processor's spin-wait hint: tells the core we are busy-waiting so it can
// save power and yield pipeline resources to a sibling hyper-thread.
inline void spin_pause() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(_MSC_VER) && (defined(_M_X64) || defined(_M_IX86))
    _mm_pause();
#elif defined(__aarch64__)
    __asm__ __volatile__("yield" ::: "memory");
#elif defined(_MSC_VER) && defined(_M_ARM64)
    __yield();
#endif
}

// ---- deadlines ----------------------------------------------------------------

// When a wait gives up: never, at once (a single attempt), or at a point on
// the monotonic clock. A deadline made from a duration reads the clock only
// when a wait first needs it (anchored()), so an attempt that succeeds at
// once costs no clock read.
class Deadline {
public:
    static Deadline never() noexcept { return Deadline(kNever, false); }
    static Deadline now() noexcept { return Deadline(0, false); }
    // NaN or a count <= 0 waits not at all; anything past ~290 years, for ever.
    static Deadline after_seconds(double seconds) noexcept {
        if (!(seconds > 0)) return now();
        if (seconds >= 9e9) return never();
        return after_ns(static_cast<std::uint64_t>(seconds * 1e9));
    }
    static Deadline after_ns(std::uint64_t ns) noexcept { return ns == 0 ? now() : Deadline(ns, true); }

    // The same deadline as a point on the clock, counted from `now` if it was
    // made from a duration.
    [[nodiscard]] Deadline anchored(std::uint64_t now) const noexcept {
        if (!relative_) return *this;
        return Deadline(at_ >= kNever - now ? kNever : now + at_, false);
    }
    [[nodiscard]] Deadline anchored() const noexcept { return relative_ ? anchored(monotonic_ns()) : *this; }

    bool infinite() const noexcept { return at_ == kNever; }
    bool immediate() const noexcept { return at_ == 0; }
    // Nanoseconds left at `now` of an anchored deadline; 0 once passed.
    std::uint64_t remaining(std::uint64_t now) const noexcept { return at_ > now ? at_ - now : 0; }

private:
    static constexpr std::uint64_t kNever = std::numeric_limits<std::uint64_t>::max();
    Deadline(std::uint64_t at, bool relative) noexcept : at_(at), relative_(relative) {}
    std::uint64_t at_;
    bool relative_;
};

// A wait's timeout as its deadline: the one conversion every caller makes
// (Python's seconds, the C++ API's durations). None waits for ever; zero,
// negative or NaN is a single attempt; anything past ~290 years (the C++
// API's `forever` among them) waits for ever.
inline Deadline deadline_within(std::optional<std::chrono::duration<double>> timeout) noexcept {
    return timeout ? Deadline::after_seconds(timeout->count()) : Deadline::never();
}

// ---- the wait -------------------------------------------------------------------

enum class WaitResult { Ready, TimedOut, Abandoned };

// A word to block on instead of sleeping: the wait sleeps while *word still
// holds *expected, the value the last failed attempt saw (the attempt keeps
// *expected up to date, so a change between the attempt and the sleep is not
// slept through).
struct WaitWord {
    const std::uint32_t* word = nullptr;
    const std::uint32_t* expected = nullptr;
};

inline constexpr std::uint32_t kSpinAttempts = 64;          // ~2-5 us of pause hints
inline constexpr std::uint64_t kYieldUntilNs = 50'000;      // then yields for this long
inline constexpr std::uint64_t kFirstSleepNs = 50'000;      // then sleeps, doubling
inline constexpr std::uint64_t kMaxSleepNs = 1'000'000;     // up to 1 ms
// Where a sleep on a word is ended early by the other side's wake (Linux's
// futex), it may last longer (fewer idle wake-ups), yet stays bounded for a
// peer that never wakes anyone. Elsewhere it is a plain sleep.
#if defined(__linux__)
inline constexpr std::uint64_t kMaxWordSleepNs = 5'000'000;
#else
inline constexpr std::uint64_t kMaxWordSleepNs = kMaxSleepNs;
#endif
inline constexpr std::uint64_t kPollEveryNs = 10'000'000;   // host polled every 10 ms

// A host that never blocks anything else and never gives up.
struct NoHost {
    void suspend() noexcept {}
    bool poll() noexcept { return false; }
};

// Calls attempt() until it returns true (Ready), the deadline passes
// (TimedOut) or host.poll() returns true (Abandoned). attempt() must change
// shared state only when it succeeds, so an unsuccessful wait leaves
// everything as it found it.
//
// Host contract: suspend() is called once, when the short spin is over and
// the wait is about to yield and sleep; poll() is called every kPollEveryNs
// after that. The wait never resumes the host: whoever suspended it (the
// binding's scope guard) resumes it after the caller's work is done.
template <class Attempt, class Host>
[[nodiscard]] WaitResult wait_until(Attempt&& attempt, Deadline deadline, Host& host, WaitWord on = {}) {
    for (std::uint32_t i = 0; i < kSpinAttempts; ++i) {
        if (attempt()) return WaitResult::Ready;
        if (deadline.immediate()) return WaitResult::TimedOut;
        spin_pause();
    }
    host.suspend();
    const std::uint64_t start = monotonic_ns();
    deadline = deadline.anchored(start);
    std::uint64_t next_poll = start + kPollEveryNs;
    std::uint64_t sleep = kFirstSleepNs;
    std::uint64_t yield_from = start;
    std::uint32_t seen = on.word != nullptr ? *on.expected : 0;
    for (;;) {
        if (attempt()) return WaitResult::Ready;
        const std::uint64_t now = monotonic_ns();
        // The other side moved the word without satisfying us (room freed,
        // but not enough): yield again before sleeping. So a waiter sleeps
        // only after kYieldUntilNs without a change, and a side that changed
        // the word less than that ago knows nobody sleeps on it unwoken.
        if (on.word != nullptr && *on.expected != seen) {
            seen = *on.expected;
            yield_from = now;
            sleep = kFirstSleepNs;
        }
        const std::uint64_t left = deadline.remaining(now);
        if (left == 0) return WaitResult::TimedOut;
        if (now >= next_poll) {
            if (host.poll()) return WaitResult::Abandoned;
            next_poll = now + kPollEveryNs;
        }
        if (now - yield_from < kYieldUntilNs) {
            yield_processor();
            continue;
        }
        const std::uint64_t step = std::min({sleep, left, next_poll - std::min(next_poll, now) + 1});
        if (on.word != nullptr) wait_on_word(on.word, *on.expected, step);
        else sleep_ns(step);
        sleep = std::min(sleep * 2, on.word != nullptr ? kMaxWordSleepNs : kMaxSleepNs);
    }
}

// The same without a host: a plain C++ caller that blocks nothing else.
template <class Attempt>
[[nodiscard]] WaitResult wait_until(Attempt&& attempt, Deadline deadline, WaitWord on = {}) {
    NoHost host;
    return wait_until(attempt, deadline, host, on);
}

}  // namespace velmora
