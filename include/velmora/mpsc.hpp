// velmora::MpscRingBuffer: the fan-in ring Python's MpscRingBuffer uses, over the
// same bytes: up to `producers` producer processes at once, one consumer.
// Each producer has a lane of `capacity` bytes of its own (the SPSC ring's
// layout, so its messages keep their order and never wait for another
// producer); the consumer serves the producers with something to send in
// turn and sleeps on one doorbell word while all lanes are empty.
//
// A process becomes a producer at its first push (claiming a free slot, kept
// until this object goes or the process ends) and the consumer at its first
// pop; a second consumer process, or a producer when every slot is held by a
// live one, gets an Os error with code EAGAIN. Errors follow error.hpp: the
// same words the Python side raises. Thread contract: one thread at a time
// per object and side.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "velmora/error.hpp"
#include "velmora/ring.hpp"

namespace velmora {

class MpscRingBuffer {
public:
    // A new segment holding a fan-in ring (capacity: a power of two).
    [[nodiscard]] static Result<MpscRingBuffer> create(std::string_view name, std::uint64_t capacity,
                                                 std::uint32_t producers = 8);
    // An existing one; a segment that is not a fan-in ring is a Value error.
    [[nodiscard]] static Result<MpscRingBuffer> open(std::string_view name);

    // ---- producer ----
    [[nodiscard]] Result<bool> try_push(Bytes first, Bytes second = {});
    [[nodiscard]] Result<bool> push(Bytes payload, std::chrono::nanoseconds timeout);

    // ---- consumer ----
    // Copies the next message in turn into `buffer` and consumes it; its
    // length, or nullopt when every lane is empty (or the timeout ran out).
    // A message larger than `buffer` is a Value error and stays.
    [[nodiscard]] Result<std::optional<std::size_t>> try_pop(std::span<std::uint8_t> buffer);
    [[nodiscard]] Result<std::optional<std::size_t>> pop(std::span<std::uint8_t> buffer,
                                                         std::chrono::nanoseconds timeout);

    // ---- queries ----
    [[nodiscard]] const std::string& name() const noexcept;
    [[nodiscard]] std::uint32_t producers() const noexcept;   // slots
    [[nodiscard]] std::uint64_t capacity() const noexcept;    // per producer
    [[nodiscard]] std::uint64_t max_payload() const noexcept;
    [[nodiscard]] std::uint64_t used() const noexcept;        // all lanes
    // Pids of the processes holding producer slots; whether any is attached.
    [[nodiscard]] std::vector<long> producer_pids() const;
    [[nodiscard]] bool has_producer() const;

    MpscRingBuffer(MpscRingBuffer&&) noexcept;
    MpscRingBuffer& operator=(MpscRingBuffer&&) noexcept;
    MpscRingBuffer(const MpscRingBuffer&) = delete;
    MpscRingBuffer& operator=(const MpscRingBuffer&) = delete;
    ~MpscRingBuffer();

    struct Impl;

private:
    explicit MpscRingBuffer(std::unique_ptr<Impl> impl) noexcept;
    [[nodiscard]] Result<std::uint32_t> lane();
    [[nodiscard]] Status consumer();
    std::unique_ptr<Impl> impl_;
};

// The class's earlier name, kept for C++ callers that spell it so.
using MpscRing = MpscRingBuffer;

}  // namespace velmora
