// Ring attach, push, pop and queries. The concurrency contract and the shared
// layout are described once, in ring.hpp.
#include "core/ring.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <string>
#include <utility>

namespace velmora {
namespace {

// The counters are shared between processes, so they must be address-free.
static_assert(std::atomic_ref<std::uint64_t>::is_always_lock_free,
              "the ring needs lock-free 64-bit atomics on shared memory");

constexpr std::uint64_t kHead = 0;
constexpr std::uint64_t kTail = 8;
constexpr std::uint64_t kCapacity = 16;
constexpr std::uint64_t kPrefixLen = 4;

using std::to_string;

// A frame's length prefix: the payload length as a little-endian u32.
std::array<std::uint8_t, kPrefixLen> length_prefix(std::uint64_t n) noexcept {
    return {static_cast<std::uint8_t>(n), static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n >> 16),
            static_cast<std::uint8_t>(n >> 24)};
}

// Not std::has_single_bit: without a popcount instruction enabled it becomes a
// library call, and this test runs on every push and pop.
constexpr bool power_of_two(std::uint64_t v) noexcept { return v != 0 && (v & (v - 1)) == 0; }

Error corrupt_header(const std::string& what) {
    return Error::value("ring header is corrupt: " + what, Reason::corrupt);
}

Error corrupt_frame(const std::string& what) {
    return Error::value("ring frame is corrupt: " + what, Reason::corrupt);
}

Error too_large(std::uint64_t frame_len, std::uint64_t capacity, std::uint64_t map_size) {
    const std::string largest = capacity >= kPrefixLen
                                    ? "the largest payload is " + to_string(capacity - kPrefixLen) + " bytes"
                                    : std::string("no message fits");
    return Error::value("message too large: frame_len=" + to_string(frame_len) +
                           " > capacity=" + to_string(capacity) + " (map_size=" +
                           to_string(map_size) + "); " + largest,
                           Reason::too_large);
}

// The powers of two on either side of a capacity that is not one (the one
// above may be 2^64, which no u64 holds, hence text).
std::pair<std::string, std::string> neighbours(std::uint64_t capacity) {
    constexpr std::uint64_t top = std::uint64_t{1} << 63;
    if (capacity > top) return {to_string(top), "18446744073709551616"};
    const std::uint64_t upper = std::bit_ceil(capacity + 1);
    return {to_string(upper / 2), to_string(upper)};
}

}  // namespace

Error buffer_too_small(std::uint64_t message, std::uint64_t buffer) {
    return Error::value("buffer too small: the message has " + to_string(message) + " bytes, the buffer " +
                           to_string(buffer), Reason::too_large);
}

Status check_creator_capacity(std::uint64_t capacity) {
    if (power_of_two(capacity)) return {};
    if (capacity == 0) return Error::value("capacity 0 is not a power of two; try 1");
    const auto [lower, upper] = neighbours(capacity);
    return Error::value("capacity " + to_string(capacity) + " is not a power of two; try " + lower + " or " +
                           upper);
}

Result<std::uint64_t> spsc_segment_size(std::uint64_t capacity) {
    if (auto st = check_creator_capacity(capacity); !st) return st.error();
    if (capacity > ~std::uint64_t{0} - SPSC_HEADER_SIZE)
        return Error::value("capacity " + to_string(capacity) + " is too large for a segment", Reason::too_large);
    return capacity + SPSC_HEADER_SIZE;
}

Result<SpscRing> SpscRing::attach(Mapping mapping, bool creator, std::uint32_t room_topic) {
    if (mapping.size() <= SPSC_HEADER_SIZE)
        return Error::value("map_size must be > 24 bytes (spsc header)");
    SpscRing ring(std::move(mapping), room_topic);
    if (!creator) return ring;
    const std::uint64_t capacity = ring.map_size() - SPSC_HEADER_SIZE;
    if (!power_of_two(capacity)) {
        // Sizes here are segment sizes: say which capacity they make, and
        // which segment sizes would make the capacities on either side.
        const auto [lower, upper] = neighbours(capacity);
        const auto segment = [](const std::string& cap) {
            return cap.size() < 20 ? to_string(std::stoull(cap) + SPSC_HEADER_SIZE) : cap + " + " + to_string(SPSC_HEADER_SIZE);
        };
        return Error::value("capacity " + to_string(capacity) + " (a " + to_string(ring.map_size()) +
                               "-byte segment less the " + to_string(SPSC_HEADER_SIZE) + "-byte header) is not a power of two; try capacity " +
                               lower + " or " + upper + " (segments of " + segment(lower) + " or " +
                               segment(upper) + " bytes)");
    }
    // Capacity goes last, with release: whoever acquires a capacity that this
    // attach wrote also sees the counters it zeroed.
    ring.word(kHead).store(0, std::memory_order_relaxed);
    ring.word(kTail).store(0, std::memory_order_relaxed);
    ring.word(kCapacity).store(capacity, std::memory_order_release);
    return ring;
}

// The mapping starts on a page boundary, so every header word is aligned.
std::atomic_ref<std::uint64_t> SpscRing::word(std::uint64_t offset) const noexcept {
    return std::atomic_ref<std::uint64_t>(*reinterpret_cast<std::uint64_t*>(mapping_.base() + offset));
}

// A header is usable when capacity is 0 (never initialised: everything reads
// as empty and full) or a power of two that fits the mapping, and the
// counters are no further apart than capacity. Anything else was written by
// something that does not follow the protocol.
Status SpscRing::check_header(const Header& h) const {
    const std::uint64_t room = map_size() - SPSC_HEADER_SIZE;
    if (h.capacity != 0 && !power_of_two(h.capacity))
        return corrupt_header("capacity " + to_string(h.capacity) + " is not a power of two");
    if (h.capacity > room)
        return corrupt_header("capacity " + to_string(h.capacity) + " exceeds the " + to_string(room) +
                              "-byte data area of the mapping");
    if (h.used() > h.capacity) {
        // Distances are signed: a tail behind its head is said so, not
        // printed as a difference modulo 2^64.
        const auto distance = static_cast<std::int64_t>(h.used());
        if (distance < 0)
            return corrupt_header("head " + to_string(h.head) + " and tail " + to_string(h.tail) +
                                  ": tail is behind head by " + to_string(std::uint64_t{0} - h.used()) + " bytes");
        return corrupt_header("head " + to_string(h.head) + " and tail " + to_string(h.tail) + " are " +
                              to_string(h.used()) + " bytes apart, more than capacity " +
                              to_string(h.capacity));
    }
    return {};
}

// Copies `src` to the stream positions from `pos` on, splitting where the
// data area wraps; src.size() <= capacity. Returns the position after it.
std::uint64_t SpscRing::copy_in(std::uint64_t capacity, std::uint64_t pos, ByteSpan src) noexcept {
    if (src.empty()) return pos;
    const std::uint64_t off = pos & (capacity - 1);
    const std::uint64_t first = std::min<std::uint64_t>(src.size(), capacity - off);
    std::memcpy(data() + off, src.data(), first);
    if (first < src.size()) std::memcpy(data(), src.data() + first, src.size() - first);
    return pos + src.size();
}

// The reverse of copy_in; len <= capacity.
void SpscRing::copy_out(std::uint64_t capacity, std::uint64_t pos, std::uint8_t* dst,
                        std::uint64_t len) const noexcept {
    if (len == 0) return;
    const std::uint64_t off = pos & (capacity - 1);
    const std::uint64_t first = std::min(len, capacity - off);
    std::memcpy(dst, data() + off, first);
    if (first < len) std::memcpy(dst + first, data(), len - first);
}

Result<bool> SpscRing::push(ByteSpan first, ByteSpan second) {
    std::uint64_t tail = tail_position();
    auto pushed = push_more(tail, first, second);
    if (pushed.ok() && pushed.value()) publish_tail(tail);
    return pushed;
}

std::uint64_t SpscRing::tail_position() const noexcept { return word(kTail).load(std::memory_order_relaxed); }
std::uint64_t SpscRing::head_position() const noexcept { return word(kHead).load(std::memory_order_relaxed); }

Status SpscRing::refresh_producer(std::uint64_t tail) {
    const Header h{word(kCapacity).load(std::memory_order_acquire), word(kHead).load(std::memory_order_acquire),
                   tail};
    if (auto st = check_header(h); !st) return st;
    producer_ = {word(kTail).load(std::memory_order_relaxed), h.head, h.capacity, true};
    return {};
}

// Writes one frame at `tail` (the producer's unpublished position, at or past
// the published tail) and advances it; nothing is visible to the consumer
// until publish_tail().
Result<bool> SpscRing::push_more(std::uint64_t& tail, ByteSpan first, ByteSpan second) {
    if (first.size() > SPSC_MAX_PAYLOAD || second.size() > SPSC_MAX_PAYLOAD - first.size())
        return Error::value("message too large for its 4-byte length prefix: payload of " +
                               to_string(std::uint64_t{first.size()} + second.size()) +
                               " bytes > 4294967295",
                               Reason::too_large);
    const std::uint64_t n = first.size() + second.size();
    auto room = room_for(tail, n + kPrefixLen);
    if (!room || !room.value()) return room;
    const std::uint64_t capacity = producer_.capacity;
    const auto prefix = length_prefix(n);
    std::uint64_t pos = copy_in(capacity, tail, prefix);
    pos = copy_in(capacity, pos, first);
    tail = copy_in(capacity, pos, second);
    return true;
}

// The cached head and capacity are trusted while they show room; otherwise,
// or when the tail in the header is not the one this side wrote, the header
// is read and validated again.
Result<bool> SpscRing::room_for(std::uint64_t tail, std::uint64_t frame_len) {
    SideCache& c = producer_;
    const bool mine = c.valid && (tail == c.own || word(kTail).load(std::memory_order_relaxed) == c.own);
    if (!mine || tail - c.other + frame_len > c.capacity) {
        if (auto st = refresh_producer(tail); !st) return st.error();
        if (frame_len > c.capacity) return too_large(frame_len, c.capacity, map_size());
        if (tail - c.other + frame_len > c.capacity) return false;
    }
    return true;
}

Result<std::optional<SpscLoan>> SpscRing::reserve(std::uint64_t length) {
    if (length > SPSC_MAX_PAYLOAD)
        return Error::value("message too large for its 4-byte length prefix: payload of " + to_string(length) +
                                " bytes > 4294967295",
                            Reason::too_large);
    const std::uint64_t tail = tail_position();
    auto room = room_for(tail, length + kPrefixLen);
    if (!room) return room.error();
    if (!room.value()) return std::optional<SpscLoan>{};
    return std::optional<SpscLoan>(SpscLoan{tail, producer_.capacity, length});
}

std::pair<MutableByteSpan, MutableByteSpan> SpscRing::loan_parts(const SpscLoan& loan) const noexcept {
    const std::uint64_t off = (loan.tail + kPrefixLen) & (loan.capacity - 1);
    const std::uint64_t first = std::min(loan.length, loan.capacity - off);
    return {MutableByteSpan(data() + off, first), MutableByteSpan(data(), loan.length - first)};
}

// The prefix goes in last of all the loan's bytes, though only the release
// store of the tail makes any of them visible.
Result<std::uint64_t> SpscRing::complete(const SpscLoan& loan, std::optional<ByteSpan> copy) {
    if (copy && copy->size() != loan.length)
        return Error::value("a loan of " + to_string(loan.length) + " bytes cannot be filled with " +
                            to_string(copy->size()));
    if (tail_position() != loan.tail)
        return Error::value("the ring's tail moved while the loan was open: the loaned message was not published",
                            Reason::busy);
    if (copy) copy_in(loan.capacity, loan.tail + kPrefixLen, *copy);
    copy_in(loan.capacity, loan.tail, length_prefix(loan.length));
    return loan.tail + kPrefixLen + loan.length;
}

Status SpscRing::publish(const SpscLoan& loan, std::optional<ByteSpan> copy) {
    auto tail = complete(loan, copy);
    if (!tail) return tail.error();
    publish_tail(tail.value());
    return {};
}

// The release store after every copy it covers: the consumer that acquires
// this tail sees whole frames.
// Every publish (push, push_many, the C++ batch) wakes a consumer that may
// sleep: only a publish into an empty ring can end its wait for data (the
// consumer cannot move head past the published tail, so an empty ring seen
// before the store is still empty up to it).
void SpscRing::publish_tail(std::uint64_t tail) noexcept {
    const std::uint64_t before = word(kTail).load(std::memory_order_relaxed);
    const bool was_empty = word(kHead).load(std::memory_order_relaxed) == before;
    word(kTail).store(tail, std::memory_order_release);
    producer_.own = tail;
    if (was_empty) wake_if_idle(kTail, push_clock_);
}

// The one place a side wakes the other: the futex word for a blocked call and
// the bell for an event loop. Both cost a system call, so they are made only
// when the side's previous checked operation was a yield window ago: a
// waiter that saw that operation's store keeps yielding for a window after
// it (wait.hpp) and so is awake at this store. "Ago" is measured from a
// stamp read before that store. One clock read per operation, after its
// store, serves both: it is the check of this operation and, being before
// the next one's store, the stamp of the next (a stamp older than need be
// only makes a wake more likely).
void SpscRing::wake_if_idle(std::uint64_t offset, WakeClock& clock) noexcept {
    const std::uint64_t now = monotonic_ns();
    if (now - clock.stamp >= kYieldUntilNs) {
        wake_word(low_half(offset));
        ring_bell(offset == kTail ? data_bell_ : room_bell_);
    }
    clock.stamp = clock.read;
    clock.read = now;
}

// A head in the header that is not the one this side wrote means a reset
// (or a forgery): the cache is dropped and the header validated afresh.
Result<std::optional<SpscFrame>> SpscRing::begin_pop() {
    const std::uint64_t head = word(kHead).load(std::memory_order_relaxed);
    if (head != consumer_.own) consumer_.valid = false;
    return frame_at(head);
}

Result<std::optional<SpscFrame>> SpscRing::next_frame(const SpscFrame& after) {
    return frame_at(after.head + kPrefixLen + after.length);
}

Status SpscRing::refresh_consumer(std::uint64_t head) {
    Header h{};
    h.head = head;
    h.tail = word(kTail).load(std::memory_order_acquire);
    h.capacity = word(kCapacity).load(std::memory_order_acquire);
    if (auto st = check_header(h); !st) return st;
    consumer_ = {consumer_.valid ? consumer_.own : head, h.tail, h.capacity, true};
    return {};
}

// The cached tail and capacity are trusted until the cache says empty, or
// until what it shows looks corrupt: a verdict is only ever given on a header
// read afresh.
Result<std::optional<SpscFrame>> SpscRing::frame_at(std::uint64_t head) {
    SideCache& c = consumer_;
    // Empty when last seen and still at the same tail: nothing to validate
    // (a fan-in consumer asks every idle lane this on each pop).
    if (c.valid && c.other == head && word(kTail).load(std::memory_order_acquire) == head)
        return std::optional<SpscFrame>{};
    bool fresh = false;
    if (!c.valid || c.other == head) {
        if (auto st = refresh_consumer(head); !st) return st.error();
        fresh = true;
    }
    for (;; fresh = true) {
        const std::uint64_t used = c.other - head;
        if (used == 0) return std::optional<SpscFrame>{};
        std::uint64_t n = 0;
        if (used >= kPrefixLen) {
            std::uint8_t prefix[kPrefixLen];
            copy_out(c.capacity, head, prefix, kPrefixLen);
            n = std::uint64_t{prefix[0]} | std::uint64_t{prefix[1]} << 8 | std::uint64_t{prefix[2]} << 16 |
                std::uint64_t{prefix[3]} << 24;
            if (n <= used - kPrefixLen) return std::optional<SpscFrame>(SpscFrame{head, c.capacity, n});
        }
        if (!fresh) {
            if (auto st = refresh_consumer(head); !st) return st.error();
            continue;
        }
        if (used < kPrefixLen)
            return corrupt_frame(to_string(used) + " bytes published, too few for a length prefix");
        return corrupt_frame("length prefix " + to_string(n) + " exceeds the " + to_string(used - kPrefixLen) +
                             " bytes published after it");
    }
}

void SpscRing::copy_payload(const SpscFrame& frame, std::uint8_t* dst) const noexcept {
    copy_out(frame.capacity, frame.head + kPrefixLen, dst, frame.length);
}

std::pair<ByteSpan, ByteSpan> SpscRing::payload_parts(const SpscFrame& frame) const noexcept {
    const std::uint64_t off = (frame.head + kPrefixLen) & (frame.capacity - 1);
    const std::uint64_t first = std::min(frame.length, frame.capacity - off);
    return {ByteSpan(data() + off, first), ByteSpan(data(), frame.length - first)};
}

// Any commit may free the room a waiting producer needs, however full the
// ring was, so every one looks at the clock (the system calls are made only
// when the previous commit is old enough that the producer may sleep).
void SpscRing::commit(const SpscFrame& frame) noexcept {
    const std::uint64_t head = frame.head + kPrefixLen + frame.length;
    word(kHead).store(head, std::memory_order_release);
    consumer_.own = head;
    wake_if_idle(kHead, pop_clock_);
}

Result<std::optional<SpscFrame>> SpscRing::begin_shared_pop(std::uint64_t& head) {
    head = word(kHead).load(std::memory_order_acquire);
    if (head != consumer_.own) consumer_.valid = false;
    return frame_at(head);
}

// Acquire-release: on success the copy made before it happens before any
// producer write that the new head allows (the producer acquires head).
bool SpscRing::try_commit(const SpscFrame& frame) noexcept {
    std::uint64_t expected = frame.head;
    const std::uint64_t head = frame.head + kPrefixLen + frame.length;
    if (!word(kHead).compare_exchange_strong(expected, head, std::memory_order_acq_rel, std::memory_order_acquire))
        return false;
    consumer_.own = head;
    wake_if_idle(kHead, pop_clock_);
    return true;
}

bool SpscRing::head_moved_from(std::uint64_t head) noexcept {
    return word(kHead).fetch_add(0, std::memory_order_acq_rel) != head;
}

// Queries belong to neither side, so every load is acquire: that keeps the
// loads in the order given (head before tail means a stale head can only
// overstate `used`, never make it wrap below zero).
std::uint64_t SpscRing::used() const noexcept {
    const std::uint64_t head = word(kHead).load(std::memory_order_acquire);
    return word(kTail).load(std::memory_order_acquire) - head;
}

std::uint64_t SpscRing::free() const noexcept {
    const std::uint64_t capacity = this->capacity();
    const std::uint64_t in_use = used();
    return capacity >= in_use ? capacity - in_use : 0;
}

std::uint64_t SpscRing::capacity() const noexcept {
    return word(kCapacity).load(std::memory_order_acquire);
}

bool SpscRing::is_empty() const noexcept { return used() == 0; }

bool SpscRing::is_full() const noexcept {
    const std::uint64_t in_use = used();
    return in_use >= capacity();
}

}  // namespace velmora
