// Broadcast: one publisher, many subscribers, over one shared-memory segment
// of fixed-size slots. Plain C++ (no Python.h) so it is tested natively.
//
// Shared layout, from offset 0 of the mapping (all words little-endian and
// naturally aligned; every block starts on a 64-byte boundary):
//
//   header (192 B)
//     0   magic (u64)              kBroadcastMagic
//     8   layout version (u32)     kBroadcastVersion
//     12  overflow policy (u32)    0 block, 1 overwrite
//     16  slot size (u64)          payload bytes per slot, a multiple of 64
//     24  slot count (u32)         depth + subscriber limit
//     28  depth (u32)              messages held for subscribers
//     32  subscriber limit (u32)
//     36  publisher state (u32)    0 none, 1 publishing, 2 closed
//     64  published (u64)          messages published so far; subscribers sleep on its low half
//     72  sleeping subscribers (u32)
//     128 progress (u32)           bumped by subscribers for a waiting publisher, who sleeps on it
//     132 publisher waiting (u32)
//     136 views held (u32)         subscribers holding a slot through a view (overwrite)
//     140 listening subscribers (u32)  entries whose listening mark may be set
//   (zero in a segment made before event-loop support: nobody listens)
//   index (depth x u32, padded to 64): slot of message n at position n % depth
//   subscriber entries (limit x 64 B):
//     0 state (u32 token: odd while in use) | 4 pid (u32) | 8 cursor (u64) | 16 held slot (u32)
//     20 listening mark (u32: the owner's token while its event loop may sleep on its bell, else 0)
//     24 asleep mark (u32: the owner's token while it is counted in the sleeping subscribers, else 0)
//   slot descriptors (slot count x 128 B):
//     0 sequence (u64: the message the slot holds, kNoMessage while written)
//     8 length (u64) | 16 ndim (u32) | 20 item size (u32) | 24 format (16 B, NUL-terminated)
//     40 shape (8 x u64)
//   slots (slot count x slot size)
//
// Messages are numbered from 0. Message n goes into a free slot s; the
// publisher writes the payload and descriptor, stores n as the descriptor's
// sequence (release), s into index[n % depth] (release), then n + 1 into
// `published` (release). A subscriber at cursor m waits until published > m,
// reads index[m % depth], and accepts the slot only if its sequence is m.
//
// Overflow policies:
//   * block: message n may be written only when every active subscriber's
//     cursor is above n - depth; the slot it reuses held message n - depth,
//     which everyone has read. A subscriber's cursor moves past a message only
//     when it is done with it (a view ends), so nothing is overwritten under a
//     reader. Dead subscribers are dropped by the publisher when it waits (the
//     caller supplies the liveness probe).
//   * overwrite: the publisher never waits. A subscriber more than depth
//     behind skips to the oldest message still held and counts the skipped
//     ones as missed. Copies are checked afterwards against the slot's
//     sequence (a seqlock): a torn copy is dropped and counted as missed. A
//     view holds its slot out of reuse: the subscriber stores the slot in its
//     entry and checks the sequence again; the publisher marks a slot busy
//     before checking the held slots, so one of the two always sees the other
//     (both sides use sequentially consistent operations). Slots beyond depth
//     (one per subscriber) guarantee a free slot even when every subscriber
//     holds one.
//
// Waiting uses the module's one wait. Sleepers announce themselves (a count
// in the header) when they pass the spin, so a publish wakes subscribers, and
// a subscriber's release wakes the publisher, only when one may sleep.
//
// Event loops wait on bells (platform/bell.hpp) instead: each subscriber
// entry has its own (kBellPerWaiter + entry index) and the publisher one for
// room (kBellRoom). A subscriber whose loop is about to sleep (its Readiness
// settled) adds itself to the listening count, then sets its entry's
// listening mark, then looks once more; the publisher, after storing
// `published`, loads the count and only when it is not zero scans the marks,
// takes each set one (a compare-exchange to zero, then the count down) and
// rings that entry's bell. All sequentially consistent: a publish either
// finds the mark or is seen by the last look. So a busy stream costs the
// publisher one load per message, and a sleeping loop one bell per sleep. A
// publisher waiting for room in a loop counts itself among the waiting
// publishers, so a subscriber's release rings the room bell where it would
// wake a blocked one.
//
// The marks hold their owner's token, so a mark left by a dead subscriber is
// taken back (and its count with it) by whoever reclaims the entry (the
// publisher dropping it, or the next subscriber joining it), never a mark of
// the entry's next owner. A dead subscriber's listening mark is also taken by
// the next publish (its bell rings nobody); while subscribers are counted
// asleep, a publish probes their entries every kSweepEveryNs and drops the
// dead ones. A subscriber killed between raising a count and setting its mark
// leaves the count one too high until its entry is joined again: publishes
// then scan the marks (loads, no system call) or wake the futex word for
// nobody.
//
// The mapping is untrusted: the geometry is validated against the mapping
// size once, slot numbers and descriptors are validated on every use, and a
// forged value is a Value error, never an access outside the mapping.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "velmora/broadcast.hpp"
#include "velmora/error.hpp"
#include "platform/bell.hpp"
#include "platform/platform.hpp"
#include "platform/wait.hpp"

namespace velmora {

inline constexpr std::uint64_t kBroadcastMagic = 0x315453434452424Dull;  // "MBRDCST1", little-endian
inline constexpr std::uint32_t kBroadcastVersion = 1;
inline constexpr std::uint64_t kBroadcastHeaderSize = 192;
inline constexpr std::uint64_t kBroadcastEntrySize = 64;
inline constexpr std::uint64_t kBroadcastDescriptorSize = 128;
inline constexpr std::uint32_t kBroadcastMaxDims = 8;
inline constexpr std::size_t kBroadcastFormatBytes = 16;  // NUL included
inline constexpr std::uint32_t kBroadcastMaxSubscribers = 1024;
inline constexpr std::uint32_t kBroadcastMaxDepth = 1u << 20;
inline constexpr std::uint64_t kNoMessage = ~std::uint64_t{0};
inline constexpr std::uint32_t kNoSlot = ~std::uint32_t{0};

// How a message's bytes are to be read: a buffer format (struct syntax, as a
// memoryview reports it), its item size and a C-contiguous shape.
// Whether a NUL-terminated format is a struct-module text: printable ASCII
// only (Python could not even show another byte: memoryview.format decodes it).
[[nodiscard]] inline bool format_is_text(const char* format) noexcept {
    for (const char* c = format; *c != 0; ++c)
        if (static_cast<unsigned char>(*c) < 0x20 || static_cast<unsigned char>(*c) > 0x7e) return false;
    return true;
}

struct MessageShape {
    char format[kBroadcastFormatBytes] = {'B', 0};
    std::uint32_t ndim = 1;
    std::uint32_t itemsize = 1;
    std::uint64_t shape[kBroadcastMaxDims] = {};

    // Plain bytes: format "B", one dimension of `length`.
    static MessageShape bytes(std::uint64_t length) noexcept {
        MessageShape s;
        s.shape[0] = length;
        return s;
    }
    // Checks that the format is terminated plain data (core/formats.hpp) whose
    // items are `itemsize` bytes, and that the shape describes exactly
    // `length` bytes; a Value error naming the fault otherwise (a sender's
    // mistake as it stands, a corrupt slot to a reader).
    [[nodiscard]] Status check(std::uint64_t length) const;
};

struct BroadcastConfig {
    std::uint64_t max_message = 0;
    std::uint32_t depth = 0;
    std::uint32_t subscribers = 16;
    Overflow overflow = Overflow::Block;
};

// The segment size a configuration needs (a Value error for one out of range).
[[nodiscard]] Result<std::uint64_t> broadcast_segment_size(const BroadcastConfig& config);

// Opens an existing broadcast segment by name. Where the platform cannot tell
// a segment's size, the header is mapped first and the size taken from it
// (validated as in BroadcastLayout::read_header; the mapping of the whole
// fails if the segment is smaller).
[[nodiscard]] Result<PlatformHandle> open_broadcast_segment(std::string_view name);

// "block" / "overwrite".
[[nodiscard]] Result<Overflow> parse_overflow(std::string_view text);

// The geometry read from a header and checked against the mapping.
struct BroadcastLayout {
    std::uint64_t slot_size = 0;
    std::uint32_t slot_count = 0;
    std::uint32_t depth = 0;
    std::uint32_t limit = 0;
    Overflow overflow = Overflow::Block;
    std::uint64_t index_at = 0, entries_at = 0, descriptors_at = 0, slots_at = 0, total = 0;

    [[nodiscard]] static Result<BroadcastLayout> from_config(const BroadcastConfig& config);
    // Validates the header of `mapping` (magic, version, geometry within it).
    [[nodiscard]] static Result<BroadcastLayout> read(const Mapping& mapping);
    // The same checks, except that the geometry may reach past `mapping`
    // (which may hold the header alone).
    [[nodiscard]] static Result<BroadcastLayout> read_header(const Mapping& mapping);
};

// What the segment's shared words look like, for either side.
class BroadcastSegment {
public:
    [[nodiscard]] const BroadcastLayout& layout() const noexcept { return layout_; }
    [[nodiscard]] std::uint64_t map_size() const noexcept { return mapping_.size(); }
    [[nodiscard]] std::uint64_t published() const noexcept;
    // 0 none, 1 publishing, 2 closed.
    [[nodiscard]] std::uint32_t publisher_state() const noexcept;
    // (entry index, pid) of each entry marked active.
    [[nodiscard]] std::vector<std::pair<std::uint32_t, std::uint32_t>> active_entries() const;

protected:
    BroadcastSegment(Mapping mapping, BroadcastLayout layout) noexcept
        : mapping_(std::move(mapping)), layout_(layout) {}

    std::atomic_ref<std::uint64_t> u64(std::uint64_t offset) const noexcept {
        return std::atomic_ref<std::uint64_t>(*reinterpret_cast<std::uint64_t*>(mapping_.base() + offset));
    }
    std::atomic_ref<std::uint32_t> u32(std::uint64_t offset) const noexcept {
        return std::atomic_ref<std::uint32_t>(*reinterpret_cast<std::uint32_t*>(mapping_.base() + offset));
    }
    const std::uint32_t* word_ptr(std::uint64_t offset) const noexcept {
        return reinterpret_cast<const std::uint32_t*>(mapping_.base() + offset);
    }
    std::uint64_t entry(std::uint32_t i) const noexcept { return layout_.entries_at + i * kBroadcastEntrySize; }
    std::uint64_t descriptor(std::uint32_t s) const noexcept {
        return layout_.descriptors_at + s * kBroadcastDescriptorSize;
    }
    std::uint8_t* slot(std::uint32_t s) const noexcept {
        return mapping_.base() + layout_.slots_at + s * layout_.slot_size;
    }
    std::uint64_t index(std::uint64_t n) const noexcept { return layout_.index_at + (n % layout_.depth) * 4; }
    std::uint32_t* mark_ptr(std::uint32_t i, std::uint64_t field) const noexcept {
        return reinterpret_cast<std::uint32_t*>(mapping_.base() + entry(i) + field);
    }
    // Takes back the listening and asleep marks `owner` (an entry token) left
    // in entry i, with their counts; marks of another owner stay.
    void reclaim_marks(std::uint32_t i, std::uint32_t owner) const noexcept;

    Mapping mapping_;
    BroadcastLayout layout_;
};

// Offsets of the header words.
namespace bcast {
inline constexpr std::uint64_t kPublished = 64;
inline constexpr std::uint64_t kSleepers = 72;
inline constexpr std::uint64_t kProgress = 128;
inline constexpr std::uint64_t kPublisherWaiting = 132;
inline constexpr std::uint64_t kViewsHeld = 136;
inline constexpr std::uint64_t kListeners = 140;
inline constexpr std::uint64_t kPublisherState = 36;
// Entry fields.
inline constexpr std::uint64_t kEntryState = 0;
inline constexpr std::uint64_t kEntryPid = 4;
inline constexpr std::uint64_t kEntryCursor = 8;
inline constexpr std::uint64_t kEntryHeld = 16;
inline constexpr std::uint64_t kEntryListening = 20;
inline constexpr std::uint64_t kEntryAsleep = 24;
// Descriptor fields.
inline constexpr std::uint64_t kSeq = 0;
inline constexpr std::uint64_t kLength = 8;

// A wait's host that counts itself in a shared word from the moment it may
// sleep until the wait ends, so the other side wakes it only when needed.
// With `mark` (a subscriber's asleep mark), the count is also noted there,
// under `token`, so that a reclaimer can take a dead sleeper's count back; the
// count goes down only with the mark (whoever clears it).
template <class Host>
class Announced {
public:
    Announced(Host& inner, std::atomic_ref<std::uint32_t> count) noexcept : inner_(inner), count_(count) {}
    Announced(Host& inner, std::atomic_ref<std::uint32_t> count, std::uint32_t* mark, std::uint32_t token) noexcept
        : inner_(inner), count_(count), mark_(mark), token_(token) {}
    Announced(const Announced&) = delete;
    Announced& operator=(const Announced&) = delete;
    ~Announced() {
        if (!counted_) return;
        if (mark_ == nullptr || std::atomic_ref<std::uint32_t>(*mark_).exchange(0, std::memory_order_seq_cst) != 0)
            count_.fetch_sub(1, std::memory_order_seq_cst);
    }
    void suspend() {
        if (!counted_) {
            counted_ = true;
            count_.fetch_add(1, std::memory_order_seq_cst);
            if (mark_ != nullptr) std::atomic_ref<std::uint32_t>(*mark_).store(token_, std::memory_order_seq_cst);
        }
        inner_.suspend();
    }
    bool poll() { return inner_.poll(); }

private:
    Host& inner_;
    std::atomic_ref<std::uint32_t> count_;
    std::uint32_t* mark_ = nullptr;
    std::uint32_t token_ = 0;
    bool counted_ = false;
};
}  // namespace bcast

// A slot lent to the publisher for message `seq`.
struct BroadcastLoan {
    std::uint64_t seq = 0;
    std::uint32_t slot = kNoSlot;
    std::uint64_t capacity = 0;
};

// Tells whether subscriber entry `index` still belongs to a live process.
using EntryAlive = std::function<bool(std::uint32_t index)>;

class BroadcastPublisher : public BroadcastSegment {
public:
    // Initialises the segment (which must hold broadcast_segment_size bytes).
    [[nodiscard]] static Result<BroadcastPublisher> create(Mapping mapping, const BroadcastConfig& config);
    // Takes over an existing segment whose publisher has gone: the in-process
    // record of which slots hold messages is rebuilt from the index.
    [[nodiscard]] static Result<BroadcastPublisher> take_over(Mapping mapping);

    // Lends the slot for the next message; nullopt in block mode while the
    // slowest active subscriber is depth messages behind (the index of that
    // subscriber in `blocker`). The slot's old message is invalidated.
    [[nodiscard]] Result<std::optional<BroadcastLoan>> try_loan(std::uint64_t nbytes, std::uint32_t* blocker = nullptr);
    // Waits for room as long as `deadline` allows; dead subscribers found by
    // `alive` (probed at most every kProbeEveryNs while waiting) are dropped.
    template <class Host>
    [[nodiscard]] Result<std::optional<BroadcastLoan>> loan_wait(std::uint64_t nbytes, Deadline deadline, Host& host,
                                                                 const EntryAlive& alive);

    [[nodiscard]] std::span<std::uint8_t> loan_bytes(const BroadcastLoan& loan) const noexcept {
        return {slot(loan.slot), static_cast<std::size_t>(loan.capacity)};
    }
    // Publishes the loan's first `length` bytes with `shape` (checked).
    [[nodiscard]] Status commit(const BroadcastLoan& loan, std::uint64_t length, const MessageShape& shape);
    // Gives a loan back unpublished.
    void discard(const BroadcastLoan& loan) noexcept;

    // An entry's state token, read before probing its process; drop_entry
    // frees the entry (its held slot and cursor with it) only if the token
    // is unchanged, so a subscriber that joined since is left alone.
    [[nodiscard]] std::uint32_t entry_token(std::uint32_t index) const noexcept;
    void drop_entry(std::uint32_t index, std::uint32_t token) noexcept;
    // Marks the stream closed (subscribers then see the end) and wakes them,
    // event loops included.
    void close() noexcept;

    // The bell a subscriber rings where it would wake a blocked publisher.
    [[nodiscard]] const BellAddress& room_bell() const noexcept { return room_bell_; }
    // While on, this publisher counts as waiting for room (its event loop is
    // about to sleep on room_bell()): set it before the last try, clear it
    // once a loan succeeds. Idempotent.
    void listen_for_room(bool on) noexcept;
    // How a publish tells a dead sleeper from a live one: while subscribers
    // are counted asleep, a publish probes those entries at most every
    // kSweepEveryNs and drops the dead ones (their counts with them), so a
    // subscriber killed in a blocking receive does not cost every later
    // publish a wake-up call. Unset: no sweep.
    void set_liveness(EntryAlive alive) { alive_ = std::move(alive); }

    static constexpr std::uint64_t kProbeEveryNs = 2'000'000;
    static constexpr std::uint64_t kSweepEveryNs = 100'000'000;

private:
    BroadcastPublisher(Mapping mapping, BroadcastLayout layout);
    // Takes every listening mark and rings its entry's bell.
    void ring_listeners() noexcept;
    void sweep_sleepers() noexcept;
    [[nodiscard]] std::optional<std::uint32_t> laggard(std::uint64_t n);
    [[nodiscard]] bool held_by_someone(std::uint32_t s) const noexcept;
    [[nodiscard]] Result<std::uint32_t> choose_slot(std::uint64_t n);

    std::vector<std::uint32_t> ring_slot_;  // slot at each index position (kNoSlot: unused)
    std::vector<bool> in_ring_;             // slot referenced by the index
    std::uint64_t limit_ = 0;               // block: messages below this need no scan of the cursors
    std::uint64_t loaned_ = kNoMessage;     // message of the outstanding loan
    BellAddress room_bell_;
    bool room_listening_ = false;
    EntryAlive alive_;
    std::uint64_t next_sweep_ = 0;
};

// A message found by a subscriber, not yet released.
struct BroadcastMessage {
    std::uint64_t seq = 0;
    std::uint32_t slot = kNoSlot;
    const std::uint8_t* data = nullptr;
    std::uint64_t length = 0;
    MessageShape shape;
    bool held = false;  // a view holds its slot (overwrite)
};

enum class ReceiveEnd { Message, Empty, Ended };

class BroadcastSubscriber : public BroadcastSegment {
public:
    // Attaches through entry `index`, which the caller has claimed for this
    // process; the subscriber starts with the next message published.
    [[nodiscard]] static Result<BroadcastSubscriber> join(Mapping mapping, std::uint32_t index, std::uint32_t pid);

    // The next message (nullopt: none yet). In overwrite mode, messages that
    // were overwritten before they could be read are counted in missed().
    [[nodiscard]] Result<std::optional<BroadcastMessage>> try_next();
    // Waits for the next message as long as `deadline` allows. With
    // `publisher_gone` (probed when the stream is empty, at most every
    // kProbeEveryNs), `ended` is set once the publisher has gone and every
    // message it published has been received.
    template <class Host>
    [[nodiscard]] Result<std::optional<BroadcastMessage>> wait_next(Deadline deadline, Host& host,
                                                                    const std::function<bool()>* publisher_gone,
                                                                    bool& ended);

    // After copying a message out: true when the copy is whole. A torn copy
    // (overwrite only) counts as missed and moves past the message.
    [[nodiscard]] bool copied(const BroadcastMessage& m) noexcept;
    // Holds a found message's slot for a view (overwrite; block needs
    // nothing). False: it was overwritten meanwhile (counted as missed).
    [[nodiscard]] bool hold(BroadcastMessage& m) noexcept;
    // Done with a message: moves the cursor past it, drops a hold, wakes a
    // waiting publisher.
    void release(const BroadcastMessage& m) noexcept;
    // Frees the entry (the caller then gives up its claim).
    void leave() noexcept;

    [[nodiscard]] std::uint64_t missed() const noexcept { return missed_; }
    [[nodiscard]] std::uint32_t entry_index() const noexcept { return index_; }

    // This entry's bell, rung by the publisher for a listening subscriber.
    [[nodiscard]] const BellAddress& data_bell() const noexcept { return data_bell_; }
    // While on, the publisher rings data_bell() at its next publish (and at
    // close): set it when the event loop is about to sleep, before the last
    // look; clear it once a message is found. Idempotent; costs nothing when
    // already in the asked state.
    void listen(bool on) noexcept;

    static constexpr std::uint64_t kProbeEveryNs = 2'000'000;

private:
    BroadcastSubscriber(Mapping mapping, BroadcastLayout layout, std::uint32_t index) noexcept
        : BroadcastSegment(std::move(mapping), layout), index_(index),
          data_bell_(mapping_.id(), kBellPerWaiter + index), room_bell_(mapping_.id(), kBellRoom) {}
    void wake_publisher() noexcept;
    void advance(std::uint64_t next) noexcept;
    [[nodiscard]] Result<BroadcastMessage> describe(std::uint64_t m, std::uint32_t s) const;

    std::uint32_t index_;
    std::uint32_t token_ = 0;  // this subscriber's entry token
    std::uint64_t cursor_ = 0;
    std::uint64_t missed_ = 0;
    bool holding_ = false;    // a view holds a slot (overwrite)
    bool listening_ = false;  // the listening mark was set (the publisher may have taken it since)
    BellAddress data_bell_, room_bell_;
};

// ---- waits ----------------------------------------------------------------------

template <class Host>
Result<std::optional<BroadcastLoan>> BroadcastPublisher::loan_wait(std::uint64_t nbytes, Deadline deadline, Host& host,
                                                                   const EntryAlive& alive) {
    Result<std::optional<BroadcastLoan>> last = std::optional<BroadcastLoan>{};
    std::uint32_t seen = 0;
    std::uint64_t next_probe = 0;
    const std::uint32_t* progress = word_ptr(bcast::kProgress);
    bcast::Announced<Host> announced(host, u32(bcast::kPublisherWaiting));
    const auto attempt = [&] {
        seen = u32(bcast::kProgress).load(std::memory_order_acquire);
        std::uint32_t blocker = kNoSlot;
        last = try_loan(nbytes, &blocker);
        if (!last.ok() || last.value().has_value()) return true;
        if (blocker != kNoSlot && alive) {
            const std::uint64_t now = monotonic_ns();
            if (now >= next_probe) {
                next_probe = now + kProbeEveryNs;
                const std::uint32_t token = entry_token(blocker);
                if (!alive(blocker)) {
                    drop_entry(blocker, token);
                    last = try_loan(nbytes, &blocker);
                    return !last.ok() || last.value().has_value();
                }
            }
        }
        return false;
    };
    const WaitResult r = wait_until(attempt, deadline, announced, WaitWord{progress, &seen});
    (void)r;
    return last;
}

template <class Host>
Result<std::optional<BroadcastMessage>> BroadcastSubscriber::wait_next(Deadline deadline, Host& host,
                                                                      const std::function<bool()>* publisher_gone,
                                                                      bool& ended) {
    ended = false;
    Result<std::optional<BroadcastMessage>> last = std::optional<BroadcastMessage>{};
    std::uint32_t seen = 0;
    std::uint64_t next_probe = 0;
    bcast::Announced<Host> announced(host, u32(bcast::kSleepers), mark_ptr(index_, bcast::kEntryAsleep), token_);
    const auto attempt = [&] {
        seen = u32(bcast::kPublished).load(std::memory_order_seq_cst);
        last = try_next();
        if (!last.ok() || last.value().has_value()) return true;
        if (publisher_gone == nullptr) return false;
        const std::uint64_t now = monotonic_ns();
        if (now < next_probe) return false;
        next_probe = now + kProbeEveryNs;
        if (!(*publisher_gone)()) return false;
        // Gone: whatever it published before going is still delivered.
        last = try_next();
        if (!last.ok() || last.value().has_value()) return true;
        return ended = true;
    };
    (void)wait_until(attempt, deadline, announced, WaitWord{word_ptr(bcast::kPublished), &seen});
    return last;
}

}  // namespace velmora
