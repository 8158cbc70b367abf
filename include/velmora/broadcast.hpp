// velmora::Publisher / velmora::Subscriber: one publisher, many subscribers
// over one broadcast segment, the same segments Python's velmora.Publisher and
// velmora.Subscriber use (a C++ publisher serves Python subscribers and the
// reverse).
//
// Zero-copy at both ends: the publisher fills a loaned slot and publishes it;
// a subscriber reads a received message in place and releases it. Each
// message carries a buffer format (struct syntax, as a Python memoryview
// reports it) and a C-contiguous shape, so arrays keep their type.
//
// Thread / process contract: one publisher per segment at a time and up to
// the segment's limit of subscribers, across all processes (claims on the
// segment: a second publisher, or one subscriber too many, is an Os error with
// EAGAIN). Each object's calls must not overlap with each other. Dead
// subscribers are dropped by a waiting publisher in block mode. Timed calls
// wait like the Python side and report a timeout as a result (nullopt /
// false), not an error. The segment's bytes are untrusted: a forged header or
// slot descriptor is a Value error, never an access outside the mapping.
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

namespace velmora {

// What the publisher does when a subscriber is `depth` messages behind: wait
// for it (Block) or overwrite the oldest message (Overwrite), the subscriber
// then skipping ahead and counting what it lost.
enum class Overflow : std::uint32_t { Block = 0, Overwrite = 1 };

struct BroadcastOptions {
    std::uint64_t max_message = 0;  // bytes per message (rounded up to 64)
    std::uint32_t depth = 0;        // messages held for the subscribers
    std::uint32_t subscribers = 16;
    Overflow overflow = Overflow::Block;
};

class Publisher {
public:
    // A slot lent for the next message: fill bytes(), then hand it to
    // publish() or discard(). Only one loan is outstanding at a time.
    class Loan {
    public:
        [[nodiscard]] std::span<std::uint8_t> bytes() const noexcept { return bytes_; }

    private:
        friend class Publisher;
        std::span<std::uint8_t> bytes_;
        std::uint64_t seq_ = 0;
        std::uint32_t slot_ = 0;
    };

    // Creates the segment (its name must be new on Unix) and becomes its publisher.
    [[nodiscard]] static Result<Publisher> create(std::string_view name, const BroadcastOptions& options);

    // Waits up to `timeout` for a slot (block mode); nullopt when it ran out.
    [[nodiscard]] Result<std::optional<Loan>> loan(std::size_t nbytes,
                                                   std::chrono::nanoseconds timeout = std::chrono::nanoseconds::max());
    // Publishes the loan's first `length` bytes, as `format` items of `shape`
    // (empty: one dimension of length / item size); the shape must describe
    // exactly `length` bytes.
    [[nodiscard]] Status publish(const Loan& loan, std::size_t length, std::string_view format = "B",
                                 std::span<const std::uint64_t> shape = {});
    void discard(const Loan& loan) noexcept;
    // Copies `payload` into a slot and publishes it; false on timeout.
    [[nodiscard]] Result<bool> publish(std::span<const std::uint8_t> payload,
                                       std::chrono::nanoseconds timeout = std::chrono::nanoseconds::max());

    // The pids of the live subscribers.
    [[nodiscard]] std::vector<long> subscribers() const;
    // Ends the stream: subscribers receive what was published, then see the end.
    void close() noexcept;

    Publisher(Publisher&&) noexcept;
    Publisher& operator=(Publisher&&) noexcept;
    Publisher(const Publisher&) = delete;
    Publisher& operator=(const Publisher&) = delete;
    ~Publisher();

    struct Impl;

private:
    explicit Publisher(std::unique_ptr<Impl> impl) noexcept;
    std::unique_ptr<Impl> impl_;
};

class Subscriber {
public:
    // A received message in place: valid and unchanged until release().
    class Message {
    public:
        [[nodiscard]] std::span<const std::uint8_t> bytes() const noexcept { return bytes_; }
        [[nodiscard]] std::string_view format() const noexcept { return format_; }
        [[nodiscard]] std::span<const std::uint64_t> shape() const noexcept { return {shape_, ndim_}; }
        [[nodiscard]] std::size_t itemsize() const noexcept { return itemsize_; }
        [[nodiscard]] std::uint64_t sequence() const noexcept { return seq_; }

    private:
        friend class Subscriber;
        std::span<const std::uint8_t> bytes_;
        char format_[16] = {};
        std::uint64_t shape_[8] = {};
        std::size_t ndim_ = 0, itemsize_ = 1;
        std::uint64_t seq_ = 0;
        std::uint32_t slot_ = 0;
        bool held_ = false;
    };

    // Subscribes; the first message received is the next one published.
    [[nodiscard]] static Result<Subscriber> open(std::string_view name);

    // The next message, in place; nullopt on timeout, or (`ended`, when given)
    // once the publisher has gone and everything it published was received.
    [[nodiscard]] Result<std::optional<Message>> receive(
        std::chrono::nanoseconds timeout = std::chrono::nanoseconds::max(), bool* ended = nullptr);
    // Done with a received message: its slot may be reused.
    void release(const Message& message) noexcept;

    [[nodiscard]] std::uint64_t missed() const noexcept;
    [[nodiscard]] bool has_publisher() const;
    [[nodiscard]] std::vector<long> subscribers() const;

    Subscriber(Subscriber&&) noexcept;
    Subscriber& operator=(Subscriber&&) noexcept;
    Subscriber(const Subscriber&) = delete;
    Subscriber& operator=(const Subscriber&) = delete;
    ~Subscriber();

    struct Impl;

private:
    explicit Subscriber(std::unique_ptr<Impl> impl) noexcept;
    std::unique_ptr<Impl> impl_;
};

}  // namespace velmora
