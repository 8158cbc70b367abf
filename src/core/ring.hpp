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
// Each side keeps, in its own object, the capacity it validated and the
// other side's counter as last seen, and reloads them from the header only
// when they say full (producer) or empty (consumer), or when its own counter
// in the header is not what it last wrote (a creator's reset, a forged
// header): then the header is read and validated afresh. Positions are always
// masked with a validated capacity and lengths checked against a validated
// distance, so a header rewritten at any moment can garble messages but
// never steer an access outside the mapping.
//
// Concurrency contract (the only synchronisation there is):
//   * `head` is written only by the consumer, `tail` only by the producer,
//     `capacity` only by the creator's attach.
//   * Each side loads its own counter relaxed and the other side's counter
//     with acquire, and publishes its own counter with a release store after
//     every data-area access the new value covers. So the consumer never sees
//     a half-written frame and the producer never overwrites unread bytes.
//   * No read-modify-write, fence or lock: push reports back-pressure, pop
//     reports an empty ring. push_wait and wait_pop wait with the module's one
//     wait (platform/wait.hpp), sleeping on the low 32 bits of the counter the
//     other side moves (head for room, tail for data) with bounded sleeps, so
//     a peer that never wakes anyone is still served. A side wakes the other
//     only when it may have gone to sleep: its last operation was more than
//     the wait's yield window ago. The same wake rings the other side's bell
//     (platform/bell.hpp) for a waiter in an event loop. The time of the last
//     operation is read before its publishing store and the idleness is
//     judged after it, so a waiter that saw the ring idle twice, a yield
//     window apart, is woken by the next operation however the waking side
//     was scheduled.
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

#include "velmora/error.hpp"
#include "platform/bell.hpp"
#include "platform/platform.hpp"
#include "platform/wait.hpp"

namespace velmora {

inline constexpr std::uint64_t SPSC_HEADER_SIZE = 24;

// The most payload bytes the 4-byte length prefix can describe.
inline constexpr std::uint64_t SPSC_MAX_PAYLOAD = 0xFFFF'FFFFu;

using ByteSpan = std::span<const std::uint8_t>;

// The largest payload one message may carry in a data area of `capacity`
// bytes: all of it but the length prefix, and no more than the prefix can say.
[[nodiscard]] constexpr std::uint64_t max_payload_for(std::uint64_t capacity) noexcept {
    const std::uint64_t room = capacity > 4 ? capacity - 4 : 0;
    return room < SPSC_MAX_PAYLOAD ? room : SPSC_MAX_PAYLOAD;
}

// A message located by SpscRing::begin_pop() and not yet consumed. It carries
// the capacity it was validated against, so copying it out cannot be steered
// outside the mapping by a header rewritten in the meantime.
struct SpscFrame {
    std::uint64_t head;      // stream position of the frame's length prefix
    std::uint64_t capacity;  // validated capacity that positions are masked with
    std::uint64_t length;    // payload bytes after the prefix
};

// A frame reserved by SpscRing::reserve() at the producer's tail, for the
// caller to write its payload in place. Nothing of it is visible to the
// consumer until it is published; dropping it discards it.
struct SpscLoan {
    std::uint64_t tail;      // stream position of its length prefix: the published tail at reserve()
    std::uint64_t capacity;  // validated capacity that positions are masked with
    std::uint64_t length;    // payload bytes after the prefix
};

using MutableByteSpan = std::span<std::uint8_t>;

// A pop's buffer shorter than the message: one wording for every API.
[[nodiscard]] Error buffer_too_small(std::uint64_t message, std::uint64_t buffer);

// The creator's capacity rule: a power of two (1 included), otherwise the
// ValueError that suggests the powers of two on either side.
[[nodiscard]] Status check_creator_capacity(std::uint64_t capacity);
// The segment size a ring of `capacity` data bytes needs (header included),
// or the Value error check_creator_capacity gives.
[[nodiscard]] Result<std::uint64_t> spsc_segment_size(std::uint64_t capacity);

class SpscRing {
public:
    // Takes ownership of `mapping` (unmapped again if the attach fails). A
    // creator validates the capacity and resets the header; an opener trusts
    // the header until an operation reads it. `room_topic` is the bell the
    // consumer rings for a producer waiting for room (a ring that is one of
    // many in a mapping gives each its own).
    [[nodiscard]] static Result<SpscRing> attach(Mapping mapping, bool creator, std::uint32_t room_topic = kBellRoom);

    // Producer. Appends one frame whose payload is `first` followed by
    // `second`. False when the free space is too small (nothing written).
    [[nodiscard]] Result<bool> push(ByteSpan first, ByteSpan second = {});

    // Consumer, in two steps so the caller can copy the payload straight into
    // its own result: begin_pop() finds the oldest frame (nullopt when empty),
    // copy_payload() copies its `length` bytes to `dst`, commit() consumes it.
    [[nodiscard]] Result<std::optional<SpscFrame>> begin_pop();
    void copy_payload(const SpscFrame& frame, std::uint8_t* dst) const noexcept;
    void commit(const SpscFrame& frame) noexcept;

    // Consumers that share one ring, each through an SpscRing of its own,
    // take a frame by copy-then-compare-and-swap: begin_shared_pop() finds
    // the frame at the head it loads (with acquire, so the tail read after it
    // is at least as new) and says which head that was; the caller copies
    // the payload out; try_commit() moves head from the frame's start to its
    // end only if head is still there. The producer cannot overwrite a frame
    // before head has moved past it, so a successful swap means the copy is
    // whole; a failed one means another consumer took the frame (drop the
    // copy). A verdict of corruption stands only when head_moved_from() says
    // head did not move meanwhile: otherwise the frame was read while
    // another consumer's take let the producer write over it.
    [[nodiscard]] Result<std::optional<SpscFrame>> begin_shared_pop(std::uint64_t& head);
    [[nodiscard]] bool try_commit(const SpscFrame& frame) noexcept;
    // Whether head is no longer `head`: a read-modify-write, so it sees the
    // latest head there is, never a stale one.
    [[nodiscard]] bool head_moved_from(std::uint64_t head) noexcept;

    // Waiting forms: push_wait gives false and wait_pop nullopt when the
    // deadline passed or the host gave up (wait_until's host contract); errors
    // end the wait at once. Called by the producer / consumer only.
    template <class Host>
    [[nodiscard]] Result<bool> push_wait(ByteSpan first, ByteSpan second, Deadline deadline, Host& host);
    template <class Host>
    [[nodiscard]] Result<std::optional<SpscFrame>> wait_pop(Deadline deadline, Host& host);

    // Batches: frames appended by push_more() after `tail` (or read by
    // next_frame() after `frame`) are published with one store by
    // publish_tail() / commit(). Producer / consumer only.
    [[nodiscard]] Result<bool> push_more(std::uint64_t& tail, ByteSpan first, ByteSpan second = {});
    [[nodiscard]] std::uint64_t tail_position() const noexcept;
    // The consumer's position: where the next frame starts.
    [[nodiscard]] std::uint64_t head_position() const noexcept;
    void publish_tail(std::uint64_t tail) noexcept;
    [[nodiscard]] Result<std::optional<SpscFrame>> next_frame(const SpscFrame& after);

    // The payload's one or two contiguous parts in the mapping (the second is
    // empty unless the payload wraps). Valid until the frame is committed.
    [[nodiscard]] std::pair<ByteSpan, ByteSpan> payload_parts(const SpscFrame& frame) const noexcept;

    // Writing in place (producer only, one loan at a time, no push while it
    // is open): reserve() finds room for a frame of `length` payload bytes at
    // the published tail (nullopt when there is too little; too large as
    // push); loan_parts() gives the payload's one or two contiguous parts in
    // the mapping (the second empty unless the payload wraps); complete()
    // writes the length prefix, after copying `copy` (exactly `length`
    // bytes) into the parts when it is given, and returns the tail to publish
    // (publish_tail, or a lane set's publish). complete() refuses a loan
    // whose tail is no longer the ring's: something else was published over
    // it. A loan is discarded by not completing it: the tail never moved.
    [[nodiscard]] Result<std::optional<SpscLoan>> reserve(std::uint64_t length);
    template <class Host>
    [[nodiscard]] Result<std::optional<SpscLoan>> reserve_wait(std::uint64_t length, Deadline deadline, Host& host);
    [[nodiscard]] std::pair<MutableByteSpan, MutableByteSpan> loan_parts(const SpscLoan& loan) const noexcept;
    [[nodiscard]] Result<std::uint64_t> complete(const SpscLoan& loan, std::optional<ByteSpan> copy = std::nullopt);
    // complete() and publish_tail() in one.
    [[nodiscard]] Status publish(const SpscLoan& loan, std::optional<ByteSpan> copy = std::nullopt);

    // Occupancy, read afresh from the header on every call; momentarily stale
    // when the other side is active. They read header words only.
    [[nodiscard]] std::uint64_t used() const noexcept;
    [[nodiscard]] std::uint64_t free() const noexcept;
    [[nodiscard]] std::uint64_t capacity() const noexcept;
    [[nodiscard]] bool is_empty() const noexcept;
    [[nodiscard]] bool is_full() const noexcept;

    [[nodiscard]] std::uint64_t map_size() const noexcept { return mapping_.size(); }

    // What an event loop listens on to learn that a message (data) or room
    // may have come; invalid where bells are unsupported.
    [[nodiscard]] const BellAddress& data_bell() const noexcept { return data_bell_; }
    [[nodiscard]] const BellAddress& room_bell() const noexcept { return room_bell_; }

private:
    struct Header {
        std::uint64_t capacity;
        std::uint64_t head;
        std::uint64_t tail;
        std::uint64_t used() const noexcept { return tail - head; }
    };

    SpscRing(Mapping mapping, std::uint32_t room_topic) noexcept
        : mapping_(std::move(mapping)),
          data_bell_(mapping_.id(), kBellData),
          room_bell_(mapping_.id(), room_topic) {}

    // The frame at stream position `head` (the consumer's, committed or not).
    [[nodiscard]] Result<std::optional<SpscFrame>> frame_at(std::uint64_t head);
    // Reloads and validates the header words a side caches.
    [[nodiscard]] Status refresh_producer(std::uint64_t tail);
    [[nodiscard]] Status refresh_consumer(std::uint64_t head);
    // One side's clock for its wake checks (see wake_if_idle).
    struct WakeClock {
        std::uint64_t stamp = 0;  // read before the store of the side's last checked operation
        std::uint64_t read = 0;   // read after it (so before the next one's store)
    };
    // Wakes sleepers on `word` (a futex wait, or a listener of the bell that
    // goes with it) when this side was idle long enough that they may sleep.
    // Called right after the store that may end their wait.
    void wake_if_idle(std::uint64_t offset, WakeClock& clock) noexcept;
    const std::uint32_t* low_half(std::uint64_t offset) const noexcept {
        return reinterpret_cast<const std::uint32_t*>(mapping_.base() + offset);
    }

    std::atomic_ref<std::uint64_t> word(std::uint64_t offset) const noexcept;
    std::uint8_t* data() const noexcept { return mapping_.base() + SPSC_HEADER_SIZE; }
    [[nodiscard]] Status check_header(const Header& h) const;
    // Whether a frame of `frame_len` bytes fits at `tail` (the producer's,
    // published or not), reading the header again when the cache says no.
    [[nodiscard]] Result<bool> room_for(std::uint64_t tail, std::uint64_t frame_len);
    std::uint64_t copy_in(std::uint64_t capacity, std::uint64_t pos, ByteSpan src) noexcept;
    void copy_out(std::uint64_t capacity, std::uint64_t pos, std::uint8_t* dst,
                  std::uint64_t len) const noexcept;

    // One side's cached view of the header: its own counter as it last wrote
    // it, the other side's as last seen, and the capacity they were
    // validated with. Each is touched by its own side only.
    struct SideCache {
        std::uint64_t own = 0;
        std::uint64_t other = 0;
        std::uint64_t capacity = 0;
        bool valid = false;
    };

    Mapping mapping_;
    SideCache producer_, consumer_;
    WakeClock push_clock_, pop_clock_;  // the producer's and the consumer's
    BellAddress data_bell_;           // rung for a consumer waiting for data
    BellAddress room_bell_;           // rung for a producer waiting for room
};

// Attempts until one succeeds or fails; a full ring is the only reason to wait.
// Room (a message) already there is taken without reading the other side's
// counter for the wait, whose cache line that side writes on every operation:
// a stream that never waits leaves it with its writer.
template <class Host>
Result<bool> SpscRing::push_wait(ByteSpan first, ByteSpan second, Deadline deadline, Host& host) {
    Result<bool> last = push(first, second);
    if (!last.ok() || last.value()) return last;
    std::uint32_t seen = 0;
    const auto attempt = [&] {
        seen = std::atomic_ref<std::uint32_t>(*const_cast<std::uint32_t*>(low_half(0))).load(std::memory_order_relaxed);
        last = push(first, second);
        return !last.ok() || last.value();
    };
    (void)wait_until(attempt, deadline, host, WaitWord{low_half(0), &seen});
    return last;
}

template <class Host>
Result<std::optional<SpscLoan>> SpscRing::reserve_wait(std::uint64_t length, Deadline deadline, Host& host) {
    Result<std::optional<SpscLoan>> last = reserve(length);
    if (!last.ok() || last.value().has_value()) return last;
    std::uint32_t seen = 0;
    const auto attempt = [&] {
        seen = std::atomic_ref<std::uint32_t>(*const_cast<std::uint32_t*>(low_half(0))).load(std::memory_order_relaxed);
        last = reserve(length);
        return !last.ok() || last.value().has_value();
    };
    (void)wait_until(attempt, deadline, host, WaitWord{low_half(0), &seen});
    return last;
}

template <class Host>
Result<std::optional<SpscFrame>> SpscRing::wait_pop(Deadline deadline, Host& host) {
    Result<std::optional<SpscFrame>> last = begin_pop();
    if (!last.ok() || last.value().has_value()) return last;
    std::uint32_t seen = 0;
    const auto attempt = [&] {
        seen = std::atomic_ref<std::uint32_t>(*const_cast<std::uint32_t*>(low_half(8))).load(std::memory_order_relaxed);
        last = begin_pop();
        return !last.ok() || last.value().has_value();
    };
    (void)wait_until(attempt, deadline, host, WaitWord{low_half(8), &seen});
    return last;
}

}  // namespace velmora
