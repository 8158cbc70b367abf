// velmora::SpscRingBuffer: the lock-free single-producer / single-consumer ring that
// Python's SpscRingBuffer uses, over the same bytes:
//
//   [ head (u64) | tail (u64) | capacity (u64) | data (capacity bytes) ]
//
// Each message is one frame: its payload length as a u32 LE, then the payload
// (frames wrap at any byte). A Python consumer's pop() returns exactly the
// payload a C++ producer pushed, and the reverse.
//
// Thread / process contract: at any time at most one producer (the try_push
// and push calls) and one consumer (try_pop, pop, try_peek, peek, consume)
// across all processes and threads; each side's calls must not overlap with
// each other. Across processes this is enforced where the platform has claims
// (Linux): a SpscRingBuffer takes the producer (consumer) role for its process at its
// first call of that side and keeps it until it is destroyed or the process
// ends, and a call while another live process holds the role fails with an Os
// error, code EAGAIN: "ring '/jobs' already has a producer (pid 4242)". Rings
// of one process share its roles; its threads must still take turns. used(), free() and capacity() may be called from anywhere and
// are momentary snapshots. No call takes a lock; a timed call waits the way the
// Python side waits (spin, yield, growing sleeps) until its timeout, and a
// timeout is a result (false / nullopt), not an error. The segment's bytes are
// untrusted: a corrupted header or frame is a Value error, never an access
// outside the mapping.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>

#include "velmora/error.hpp"

namespace velmora {

struct SpscFrame;

using Bytes = std::span<const std::uint8_t>;

// Waits for ever (any duration this long or longer does).
inline constexpr std::chrono::nanoseconds forever = std::chrono::nanoseconds::max();

// The oldest message, left in place: its payload as one or two contiguous
// parts of the ring (second() is empty unless the payload wraps around the
// end of the data area). The parts stay valid and unchanged until the
// consumer hands the frame to SpscRingBuffer::consume() (or the SpscRingBuffer goes away).
class Frame {
public:
    [[nodiscard]] Bytes first() const noexcept { return first_; }
    [[nodiscard]] Bytes second() const noexcept { return second_; }
    [[nodiscard]] std::size_t size() const noexcept { return first_.size() + second_.size(); }

private:
    friend class SpscRingBuffer;
    Bytes first_, second_;
    std::uint64_t head_ = 0, capacity_ = 0;  // where the ring found it
    const void* ring_ = nullptr;             // the ring that found it
};

class SpscRingBuffer {
public:
    // ---- producer ----
    // Appends one message whose payload is `first` followed by `second`.
    // false: not enough free space now (nothing written). Errors: a payload
    // longer than the ring can ever hold, a corrupted header.
    [[nodiscard]] Result<bool> try_push(Bytes first, Bytes second = {});
    // The same, waiting up to `timeout` for room; false when it ran out.
    [[nodiscard]] Result<bool> push(Bytes payload, std::chrono::nanoseconds timeout);
    [[nodiscard]] Result<bool> push(Bytes first, Bytes second, std::chrono::nanoseconds timeout);

    // ---- consumer ----
    // Copies the oldest payload into `buffer` and consumes it; its length, or
    // nullopt when the ring is empty. A payload larger than `buffer` is a
    // Value error and stays in the ring.
    [[nodiscard]] Result<std::optional<std::size_t>> try_pop(std::span<std::uint8_t> buffer);
    // The same, waiting up to `timeout` for a message; nullopt when it ran out.
    [[nodiscard]] Result<std::optional<std::size_t>> pop(std::span<std::uint8_t> buffer,
                                                         std::chrono::nanoseconds timeout);
    // Zero-copy: the oldest message in place (nullopt when empty / timed out).
    // Read its parts, then consume() it; until then the producer cannot reuse
    // its bytes and the next peek returns the same frame.
    [[nodiscard]] Result<std::optional<Frame>> try_peek();
    [[nodiscard]] Result<std::optional<Frame>> peek(std::chrono::nanoseconds timeout);
    // Releases a frame from the latest peek to the producer. A frame is
    // consumed once, by the ring that peeked it, before any later pop: a
    // default Frame, another ring's, or a stale one is a Value error and
    // changes nothing.
    [[nodiscard]] Status consume(const Frame& frame);

    // ---- queries (header words only, momentarily stale) ----
    [[nodiscard]] std::uint64_t used() const noexcept;
    [[nodiscard]] std::uint64_t free() const noexcept;
    [[nodiscard]] std::uint64_t capacity() const noexcept;
    // Whether a live process (this one included) holds the role.
    [[nodiscard]] Result<bool> has_producer() const;
    [[nodiscard]] Result<bool> has_consumer() const;

    SpscRingBuffer(SpscRingBuffer&&) noexcept;
    SpscRingBuffer& operator=(SpscRingBuffer&&) noexcept;
    SpscRingBuffer(const SpscRingBuffer&) = delete;
    SpscRingBuffer& operator=(const SpscRingBuffer&) = delete;
    ~SpscRingBuffer();

    struct Impl;

private:
    friend class SharedMemory;
    explicit SpscRingBuffer(std::unique_ptr<Impl> impl) noexcept;
    Result<std::optional<Frame>> as_frame(const Result<std::optional<SpscFrame>>& found) const;
    std::unique_ptr<Impl> impl_;
};

// The class's earlier name, kept for C++ callers that spell it so.
using Ring = SpscRingBuffer;

}  // namespace velmora
