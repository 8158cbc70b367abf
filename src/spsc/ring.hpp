// The lock-free single-producer / single-consumer ring that lives entirely in
// one shared-memory mapping. Plain C++ (no Python.h) so it is tested natively.
//
// Shared layout, from offset 0 of the mapping:
//
//   [ head (u64) | tail (u64) | capacity (u64) | data (capacity bytes) ]
//
// `head` and `tail` are free-running stream positions (bytes consumed and
// produced since the creator's attach); the byte at position p lives at data
// offset p & (capacity - 1), and every difference is taken modulo 2^64. A
// message is one frame: its payload length as a little-endian u32, then the
// payload. Frames are packed and may wrap at any byte.
//
// Concurrency contract (the only synchronisation there is):
//   * `head` is written only by the consumer, `tail` only by the producer,
//     `capacity` only by the creator's attach.
//   * Each side loads its own counter relaxed and the other side's counter
//     with acquire, and publishes its own counter with a release store after
//     every data-area access the new value covers. So the consumer never sees
//     a half-written frame and the producer never overwrites unread bytes.
//   * No read-modify-write, fence, lock or wait: push reports back-pressure,
//     pop reports an empty ring.
// The mapping is untrusted: another process may write anything into it. Every
// push and pop validates the header words it uses and the length prefix it
// reads, so no operation ever touches a byte outside the mapping.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>

#include "module/shm_error.hpp"
#include "platform/platform.hpp"
#include "platform/wait.hpp"

namespace velmora {

inline constexpr std::uint64_t SPSC_HEADER_SIZE = 24;

// The most payload bytes the 4-byte length prefix can describe.
inline constexpr std::uint64_t SPSC_MAX_PAYLOAD = 0xFFFF'FFFFu;

using ByteSpan = std::span<const std::uint8_t>;

// A message located by SpscRing::begin_pop() and not yet consumed. It carries
// the capacity it was validated against, so copying it out cannot be steered
// outside the mapping by a header rewritten in the meantime.
struct SpscFrame {
    std::uint64_t head;      // stream position of the frame's length prefix
    std::uint64_t capacity;  // validated capacity that positions are masked with
    std::uint64_t length;    // payload bytes after the prefix
};

// The creator's capacity rule: a power of two (1 included), otherwise the
// ValueError that suggests the powers of two on either side.
[[nodiscard]] Status check_creator_capacity(std::uint64_t capacity);

class SpscRing {
public:
    // Takes ownership of `mapping` (unmapped again if the attach fails). A
    // creator validates the capacity and resets the header; an opener trusts
    // the header until an operation reads it.
    [[nodiscard]] static Result<SpscRing> attach(Mapping mapping, bool creator);

    // Producer. Appends one frame whose payload is `first` followed by
    // `second`. False when the free space is too small (nothing written).
    [[nodiscard]] Result<bool> push(ByteSpan first, ByteSpan second = {});

    // Consumer, in two steps so the caller can copy the payload straight into
    // its own result: begin_pop() finds the oldest frame (nullopt when empty),
    // copy_payload() copies its `length` bytes to `dst`, commit() consumes it.
    [[nodiscard]] Result<std::optional<SpscFrame>> begin_pop() const;
    void copy_payload(const SpscFrame& frame, std::uint8_t* dst) const noexcept;
    void commit(const SpscFrame& frame) noexcept;

    // ---- waiting forms (placeholder: minimal versions until the ring's own land) ----
    // push() retried with the module's one wait; false when the deadline
    // passed or the host gave up (nothing written).
    template <class Host>
    [[nodiscard]] Result<bool> push_wait(ByteSpan first, ByteSpan second, Deadline deadline, Host& host) {
        std::optional<ShmError> failed;
        const auto attempt = [&] {
            Result<bool> r = push(first, second);
            if (!r) failed = r.error();
            return !r || r.value();
        };
        const WaitResult got = wait_until(attempt, deadline, host);
        if (failed) return *failed;
        return got == WaitResult::Ready;
    }
    // begin_pop() retried the same way; nullopt on timeout or when the host gave up.
    template <class Host>
    [[nodiscard]] Result<std::optional<SpscFrame>> wait_pop(Deadline deadline, Host& host) {
        std::optional<ShmError> failed;
        std::optional<SpscFrame> frame;
        const auto attempt = [&] {
            auto r = begin_pop();
            if (!r) failed = r.error();
            else frame = r.value();
            return failed.has_value() || frame.has_value();
        };
        (void)wait_until(attempt, deadline, host);
        if (failed) return *failed;
        return frame;
    }
    // The payload of a frame from begin_pop() in place: one or two contiguous
    // parts of the data area (the second empty unless the payload wraps).
    [[nodiscard]] std::pair<ByteSpan, ByteSpan> payload_parts(const SpscFrame& frame) const noexcept;

    // Occupancy, read afresh from the header on every call; momentarily stale
    // when the other side is active. They read header words only.
    [[nodiscard]] std::uint64_t used() const noexcept;
    [[nodiscard]] std::uint64_t free() const noexcept;
    [[nodiscard]] std::uint64_t capacity() const noexcept;
    [[nodiscard]] bool is_empty() const noexcept;
    [[nodiscard]] bool is_full() const noexcept;

    [[nodiscard]] std::uint64_t map_size() const noexcept { return mapping_.size(); }

private:
    struct Header {
        std::uint64_t capacity;
        std::uint64_t head;
        std::uint64_t tail;
        std::uint64_t used() const noexcept { return tail - head; }
    };

    explicit SpscRing(Mapping mapping) noexcept : mapping_(std::move(mapping)) {}

    std::atomic_ref<std::uint64_t> word(std::uint64_t offset) const noexcept;
    std::uint8_t* data() const noexcept { return mapping_.base() + SPSC_HEADER_SIZE; }
    [[nodiscard]] Status check_header(const Header& h) const;
    std::uint64_t copy_in(std::uint64_t capacity, std::uint64_t pos, ByteSpan src) noexcept;
    void copy_out(std::uint64_t capacity, std::uint64_t pos, std::uint8_t* dst,
                  std::uint64_t len) const noexcept;

    Mapping mapping_;
};

}  // namespace velmora
