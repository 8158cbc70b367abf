// Broadcast segments: geometry, the publisher's loans and the subscribers'
// cursors. The layout and the concurrency contract are described once, in
// broadcast.hpp.
#include "core/broadcast.hpp"

#include <algorithm>
#include <climits>
#include <cstring>
#include <string>

#include "core/formats.hpp"

namespace velmora {
namespace {

using std::to_string;
using namespace bcast;

constexpr std::uint64_t kAlign = 64;
constexpr std::uint64_t kMaxSlotSize = std::uint64_t{1} << 40;
// An entry's state word is a token: odd while a subscriber is in it, even
// when free. Every join and every leave changes it, so a publisher that
// probed an entry's process drops the entry only if nobody joined it since.
constexpr bool active(std::uint32_t token) noexcept { return (token & 1) != 0; }

// Header fields not needed by both sides' hot paths.
constexpr std::uint64_t kMagic = 0;
constexpr std::uint64_t kVersion = 8;
constexpr std::uint64_t kOverflow = 12;
constexpr std::uint64_t kSlotSize = 16;
constexpr std::uint64_t kSlotCount = 24;
constexpr std::uint64_t kDepth = 28;
constexpr std::uint64_t kLimit = 32;
// Descriptor fields past the length.
constexpr std::uint64_t kNdim = 16;
constexpr std::uint64_t kItemsize = 20;
constexpr std::uint64_t kFormat = 24;
constexpr std::uint64_t kShape = 40;

constexpr std::uint64_t round_up(std::uint64_t v) noexcept { return (v + kAlign - 1) / kAlign * kAlign; }

Error corrupt_header(const std::string& what) { return Error::value("broadcast header is corrupt: " + what, Reason::corrupt); }
Error corrupt_slot(const std::string& what) {
    return Error::value("broadcast slot descriptor is corrupt: " + what, Reason::corrupt);
}

// a * b, or nullopt past 2^64.
std::optional<std::uint64_t> mul(std::uint64_t a, std::uint64_t b) noexcept {
    std::uint64_t r = 0;
    if (__builtin_mul_overflow(a, b, &r)) return std::nullopt;
    return r;
}

// Offsets of every block, or nullopt when they do not fit in 64 bits.
std::optional<BroadcastLayout> place(std::uint64_t slot_size, std::uint32_t slot_count, std::uint32_t depth,
                                     std::uint32_t limit, Overflow overflow) {
    BroadcastLayout l;
    l.slot_size = slot_size;
    l.slot_count = slot_count;
    l.depth = depth;
    l.limit = limit;
    l.overflow = overflow;
    l.index_at = kBroadcastHeaderSize;
    l.entries_at = l.index_at + round_up(std::uint64_t{depth} * 4);
    l.descriptors_at = l.entries_at + std::uint64_t{limit} * kBroadcastEntrySize;
    l.slots_at = l.descriptors_at + std::uint64_t{slot_count} * kBroadcastDescriptorSize;
    const auto slots = mul(slot_size, slot_count);
    if (!slots || *slots > ~std::uint64_t{0} - l.slots_at) return std::nullopt;
    l.total = l.slots_at + *slots;
    return l;
}

}  // namespace

Status MessageShape::check(std::uint64_t length) const {
    if (std::memchr(format, 0, sizeof format) == nullptr || format[0] == 0)
        return Error::value("the format is not a terminated text");
    if (!format_is_text(format)) return Error::value("the format is not printable ASCII text");
    if (ndim > kBroadcastMaxDims)
        return Error::value(to_string(ndim) + " dimensions, more than " + to_string(kBroadcastMaxDims));
    if (itemsize == 0) return Error::value("item size 0");
    // Readers take the items as the format says (an object format as
    // addresses, an item of 8 bytes as 8 bytes): the item size must be the
    // one the format has, and the format plain data.
    const std::string_view text(format);
    if (!format_is_plain(text)) return Error::value("format '" + std::string(text) + "' is not plain data");
    const auto size = format_itemsize(text);
    if (!size) return Error::value("format '" + std::string(text) + "' has no item size every reader agrees on");
    if (*size != itemsize)
        return Error::value("format '" + std::string(text) + "' has items of " + to_string(*size) +
                            " bytes, not " + to_string(itemsize));
    // Every dimension, and the stride of every dimension, must fit a signed
    // 64-bit size (a buffer's shape and strides are Py_ssize_t), even where a
    // zero dimension makes the message empty: `span` is the product with each
    // zero taken as one, and bounds the product itself.
    std::uint64_t n = itemsize, span = itemsize;
    for (std::uint32_t i = 0; i < ndim; ++i) {
        const auto next = mul(span, std::max<std::uint64_t>(shape[i], 1));
        if (!next || *next > static_cast<std::uint64_t>(INT64_MAX)) return Error::value("the shape overflows");
        span = *next;
        n *= shape[i];
    }
    if (n != length)
        return Error::value("the shape and item size describe " + to_string(n) + " bytes, the message has " +
                            to_string(length));
    return {};
}

Result<Overflow> parse_overflow(std::string_view text) {
    if (text == "block") return Overflow::Block;
    if (text == "overwrite") return Overflow::Overwrite;
    return Error::value("overflow must be \"block\" or \"overwrite\", not \"" + std::string(text) + "\"");
}

Result<BroadcastLayout> BroadcastLayout::from_config(const BroadcastConfig& c) {
    if (c.max_message == 0 || c.max_message > kMaxSlotSize)
        return Error::value("max_message must be between 1 and " + to_string(kMaxSlotSize));
    if (c.depth == 0 || c.depth > kBroadcastMaxDepth)
        return Error::value("depth must be between 1 and " + to_string(kBroadcastMaxDepth));
    if (c.subscribers == 0 || c.subscribers > kBroadcastMaxSubscribers)
        return Error::value("subscribers must be between 1 and " + to_string(kBroadcastMaxSubscribers));
    const auto l = place(round_up(c.max_message), c.depth + c.subscribers, c.depth, c.subscribers, c.overflow);
    if (!l) return Error::value("the broadcast segment would be larger than 2^64 bytes", Reason::too_large);
    return *l;
}

Result<std::uint64_t> broadcast_segment_size(const BroadcastConfig& config) {
    auto l = BroadcastLayout::from_config(config);
    if (!l) return l.error();
    return l->total;
}

Result<BroadcastLayout> BroadcastLayout::read_header(const Mapping& m) {
    if (m.size() < kBroadcastHeaderSize)
        return Error::value("segment of " + to_string(m.size()) + " bytes is too small for a broadcast header", Reason::corrupt);
    const auto load32 = [&](std::uint64_t at) {
        return std::atomic_ref<std::uint32_t>(*reinterpret_cast<std::uint32_t*>(m.base() + at))
            .load(std::memory_order_acquire);
    };
    const auto load64 = [&](std::uint64_t at) {
        return std::atomic_ref<std::uint64_t>(*reinterpret_cast<std::uint64_t*>(m.base() + at))
            .load(std::memory_order_acquire);
    };
    if (load64(kMagic) != kBroadcastMagic) return Error::value("segment is not a broadcast segment (bad magic)", Reason::corrupt);
    if (const auto v = load32(kVersion); v != kBroadcastVersion)
        return Error::value("broadcast layout version " + to_string(v) + " is not supported (expected " +
                               to_string(kBroadcastVersion) + ")", Reason::version);
    const std::uint32_t overflow = load32(kOverflow);
    const std::uint64_t slot_size = load64(kSlotSize);
    const std::uint32_t slot_count = load32(kSlotCount), depth = load32(kDepth), limit = load32(kLimit);
    if (overflow > 1) return corrupt_header("overflow policy " + to_string(overflow));
    if (slot_size == 0 || slot_size % kAlign != 0 || slot_size > kMaxSlotSize)
        return corrupt_header("slot size " + to_string(slot_size));
    if (depth == 0 || depth > kBroadcastMaxDepth) return corrupt_header("depth " + to_string(depth));
    if (limit == 0 || limit > kBroadcastMaxSubscribers) return corrupt_header("subscriber limit " + to_string(limit));
    if (slot_count != std::uint64_t{depth} + limit)
        return corrupt_header("slot count " + to_string(slot_count) + " is not depth + subscriber limit");
    const auto l = place(slot_size, slot_count, depth, limit, static_cast<Overflow>(overflow));
    if (!l) return corrupt_header("its slots do not fit in a segment");
    return *l;
}

Result<BroadcastLayout> BroadcastLayout::read(const Mapping& m) {
    auto l = read_header(m);
    if (!l) return l.error();
    if (l->total > m.size())
        return corrupt_header("its slots need more than the " + to_string(m.size()) + "-byte segment");
    return l;
}

Result<PlatformHandle> open_broadcast_segment(std::string_view name) {
    if constexpr (kOpenFindsSize) {
        return PlatformHandle::open(name, std::nullopt);
    } else {
        auto head = PlatformHandle::open(name, kBroadcastHeaderSize);
        if (!head) return head.error();
        auto mapping = head.value().map();
        if (!mapping) return mapping.error();
        auto l = BroadcastLayout::read_header(mapping.value());
        if (!l) return l.error();
        return PlatformHandle::open(name, l->total);
    }
}

// ---- shared queries -----------------------------------------------------------

std::uint64_t BroadcastSegment::published() const noexcept { return u64(kPublished).load(std::memory_order_acquire); }

std::uint32_t BroadcastSegment::publisher_state() const noexcept {
    return u32(kPublisherState).load(std::memory_order_acquire);
}

void BroadcastSegment::reclaim_marks(std::uint32_t i, std::uint32_t owner) const noexcept {
    if (owner == 0) return;
    std::uint32_t expected = owner;
    if (u32(entry(i) + kEntryListening).compare_exchange_strong(expected, 0, std::memory_order_seq_cst))
        u32(kListeners).fetch_sub(1, std::memory_order_seq_cst);
    expected = owner;
    if (u32(entry(i) + kEntryAsleep).compare_exchange_strong(expected, 0, std::memory_order_seq_cst))
        u32(kSleepers).fetch_sub(1, std::memory_order_seq_cst);
}

std::vector<std::pair<std::uint32_t, std::uint32_t>> BroadcastSegment::active_entries() const {
    std::vector<std::pair<std::uint32_t, std::uint32_t>> out;
    for (std::uint32_t i = 0; i < layout_.limit; ++i)
        if (active(u32(entry(i) + kEntryState).load(std::memory_order_acquire)))
            out.emplace_back(i, u32(entry(i) + kEntryPid).load(std::memory_order_relaxed));
    return out;
}

// ---- publisher ------------------------------------------------------------------

BroadcastPublisher::BroadcastPublisher(Mapping mapping, BroadcastLayout layout)
    : BroadcastSegment(std::move(mapping), layout),
      ring_slot_(layout.depth, kNoSlot),
      in_ring_(layout.slot_count),
      room_bell_(mapping_.id(), kBellRoom) {}

Result<BroadcastPublisher> BroadcastPublisher::create(Mapping mapping, const BroadcastConfig& config) {
    auto layout = BroadcastLayout::from_config(config);
    if (!layout) return layout.error();
    if (layout->total > mapping.size())
        return Error::value("segment of " + to_string(mapping.size()) + " bytes is smaller than the " +
                               to_string(layout->total) + " this broadcast needs", Reason::too_large);
    BroadcastPublisher p(std::move(mapping), *layout);
    const BroadcastLayout& l = p.layout_;
    std::memset(p.mapping_.base(), 0, l.descriptors_at);
    for (std::uint32_t s = 0; s < l.slot_count; ++s) p.u64(p.descriptor(s) + kSeq).store(kNoMessage);
    for (std::uint32_t i = 0; i < l.limit; ++i) p.u32(p.entry(i) + kEntryHeld).store(kNoSlot);
    for (std::uint32_t n = 0; n < l.depth; ++n) p.u32(p.index(n)).store(kNoSlot);
    p.u32(kOverflow).store(static_cast<std::uint32_t>(l.overflow));
    p.u64(kSlotSize).store(l.slot_size);
    p.u32(kSlotCount).store(l.slot_count);
    p.u32(kDepth).store(l.depth);
    p.u32(kLimit).store(l.limit);
    p.u32(kVersion).store(kBroadcastVersion);
    p.u32(kPublisherState).store(1);
    // The magic goes last, with release: an opener that sees it sees the rest.
    p.u64(kMagic).store(kBroadcastMagic, std::memory_order_release);
    return p;
}

Result<BroadcastPublisher> BroadcastPublisher::take_over(Mapping mapping) {
    auto layout = BroadcastLayout::read(mapping);
    if (!layout) return layout.error();
    BroadcastPublisher p(std::move(mapping), *layout);
    const std::uint64_t n = p.published();
    for (std::uint32_t pos = 0; pos < layout->depth; ++pos) {
        if (pos >= n) break;
        const std::uint32_t s = p.u32(layout->index_at + pos * 4).load(std::memory_order_acquire);
        if (s >= layout->slot_count || p.in_ring_[s]) return corrupt_header("index position " + to_string(pos));
        p.ring_slot_[pos] = s;
        p.in_ring_[s] = true;
    }
    // Whoever counted itself as a waiting publisher has gone: there is one
    // publisher at a time.
    p.u32(kPublisherWaiting).store(0, std::memory_order_seq_cst);
    p.u32(kPublisherState).store(1, std::memory_order_release);
    return p;
}

// The active subscriber that keeps message n from being written (block), or
// nullopt. The cursors are scanned only when n reaches the limit the last
// scan allowed: a subscriber that joined since then starts at or above the
// slowest cursor that scan saw.
std::optional<std::uint32_t> BroadcastPublisher::laggard(std::uint64_t n) {
    if (n < limit_) return std::nullopt;
    std::uint64_t lowest = n;
    std::optional<std::uint32_t> who;
    for (std::uint32_t i = 0; i < layout_.limit; ++i) {
        if (!active(u32(entry(i) + kEntryState).load(std::memory_order_seq_cst))) continue;
        const std::uint64_t c = u64(entry(i) + kEntryCursor).load(std::memory_order_seq_cst);
        // A cursor ahead of the stream is not one this protocol wrote; it
        // cannot hold anything back.
        if (c > n) continue;
        if (!who || c < lowest) lowest = c, who = i;
    }
    limit_ = lowest + layout_.depth;
    if (n < limit_) return std::nullopt;
    return who;
}

bool BroadcastPublisher::held_by_someone(std::uint32_t s) const noexcept {
    if (u32(kViewsHeld).load(std::memory_order_seq_cst) == 0) return false;
    for (std::uint32_t i = 0; i < layout_.limit; ++i)
        if (u32(entry(i) + kEntryHeld).load(std::memory_order_seq_cst) == s &&
            active(u32(entry(i) + kEntryState).load(std::memory_order_relaxed)))
            return true;
    return false;
}

// The slot for message n, marked busy: the one whose message falls out of
// the index, unless a view holds it (overwrite), then any slot neither
// indexed nor held. Marking comes before the check for views (see the header).
Result<std::uint32_t> BroadcastPublisher::choose_slot(std::uint64_t n) {
    const auto take = [&](std::uint32_t s) {
        auto seq = u64(descriptor(s) + kSeq);
        // An exchange, not a store: its acquire half keeps the payload's
        // writes after the mark, as a seqlock writer needs.
        const std::uint64_t old = seq.exchange(kNoMessage, std::memory_order_seq_cst);
        if (layout_.overflow == Overflow::Overwrite && held_by_someone(s)) {
            seq.store(old, std::memory_order_seq_cst);
            return false;
        }
        return true;
    };
    const std::uint32_t evicted = ring_slot_[n % layout_.depth];
    if (evicted == kNoSlot) {
        // The first pass over the index: slots are taken in order.
        for (std::uint32_t s = 0; s < layout_.slot_count; ++s)
            if (!in_ring_[s] && take(s)) return s;
    } else {
        if (take(evicted)) return evicted;
        for (std::uint32_t s = 0; s < layout_.slot_count; ++s)
            if (!in_ring_[s] && s != evicted && take(s)) return s;
    }
    return corrupt_header("no slot is free: the subscribers' held slots are forged");
}

Result<std::optional<BroadcastLoan>> BroadcastPublisher::try_loan(std::uint64_t nbytes, std::uint32_t* blocker) {
    if (nbytes > layout_.slot_size)
        return Error::value("message too large: " + to_string(nbytes) + " bytes > max_message " +
                               to_string(layout_.slot_size), Reason::too_large);
    if (loaned_ != kNoMessage) return Error::value("a loan is already outstanding", Reason::busy);
    const std::uint64_t n = u64(kPublished).load(std::memory_order_relaxed);
    if (layout_.overflow == Overflow::Block) {
        if (const auto who = laggard(n)) {
            if (blocker != nullptr) *blocker = *who;
            return std::optional<BroadcastLoan>{};
        }
    }
    auto s = choose_slot(n);
    if (!s) return s.error();
    loaned_ = n;
    return std::optional<BroadcastLoan>(BroadcastLoan{n, s.value(), layout_.slot_size});
}

Status BroadcastPublisher::commit(const BroadcastLoan& loan, std::uint64_t length, const MessageShape& shape) {
    if (loan.seq != loaned_) return Error::value("this loan is not outstanding");
    if (length > loan.capacity)
        return Error::value("message too large: " + to_string(length) + " bytes > max_message " +
                               to_string(loan.capacity), Reason::too_large);
    if (Status ok = shape.check(length); !ok) return ok.error();
    const std::uint64_t d = descriptor(loan.slot);
    u64(d + kLength).store(length, std::memory_order_relaxed);
    u32(d + kNdim).store(shape.ndim, std::memory_order_relaxed);
    u32(d + kItemsize).store(shape.itemsize, std::memory_order_relaxed);
    std::memcpy(mapping_.base() + d + kFormat, shape.format, kBroadcastFormatBytes);
    std::memcpy(mapping_.base() + d + kShape, shape.shape, sizeof shape.shape);
    u64(d + kSeq).store(loan.seq, std::memory_order_release);
    const std::uint32_t pos = static_cast<std::uint32_t>(loan.seq % layout_.depth);
    if (ring_slot_[pos] != kNoSlot) in_ring_[ring_slot_[pos]] = false;
    ring_slot_[pos] = loan.slot;
    in_ring_[loan.slot] = true;
    u32(index(loan.seq)).store(loan.slot, std::memory_order_release);
    // Sequentially consistent store and load against the sleepers' count
    // and their load of `published`: one side always sees the other.
    u64(kPublished).store(loan.seq + 1, std::memory_order_seq_cst);
    loaned_ = kNoMessage;
    if (u32(kSleepers).load(std::memory_order_seq_cst) != 0) {
        wake_word(word_ptr(kPublished));
        sweep_sleepers();
    }
    if (u32(kListeners).load(std::memory_order_seq_cst) != 0) ring_listeners();
    return {};
}

void BroadcastPublisher::sweep_sleepers() noexcept {
    if (!alive_) return;
    const std::uint64_t now = monotonic_ns();
    if (now < next_sweep_) return;
    next_sweep_ = now + kSweepEveryNs;
    for (std::uint32_t i = 0; i < layout_.limit; ++i) {
        if (u32(entry(i) + kEntryAsleep).load(std::memory_order_relaxed) == 0) continue;
        const std::uint32_t token = entry_token(i);
        if (active(token) && !alive_(i)) drop_entry(i, token);
    }
}

void BroadcastPublisher::ring_listeners() noexcept {
    for (std::uint32_t i = 0; i < layout_.limit; ++i) {
        auto mark = u32(entry(i) + kEntryListening);
        std::uint32_t owner = mark.load(std::memory_order_seq_cst);
        if (owner == 0 || !mark.compare_exchange_strong(owner, 0, std::memory_order_seq_cst)) continue;
        u32(kListeners).fetch_sub(1, std::memory_order_seq_cst);
        ring_bell(BellAddress(mapping_.id(), kBellPerWaiter + i));
    }
}

void BroadcastPublisher::listen_for_room(bool on) noexcept {
    if (on == room_listening_) return;
    room_listening_ = on;
    if (on) u32(kPublisherWaiting).fetch_add(1, std::memory_order_seq_cst);
    else u32(kPublisherWaiting).fetch_sub(1, std::memory_order_seq_cst);
}

// The slot stays marked busy: its old message (if any) was given up when it
// was lent, and the index still names it until it is reused.
void BroadcastPublisher::discard(const BroadcastLoan& loan) noexcept {
    if (loan.seq == loaned_) loaned_ = kNoMessage;
}

std::uint32_t BroadcastPublisher::entry_token(std::uint32_t i) const noexcept {
    return i < layout_.limit ? u32(entry(i) + kEntryState).load(std::memory_order_seq_cst) : 0;
}

void BroadcastPublisher::drop_entry(std::uint32_t i, std::uint32_t token) noexcept {
    if (i >= layout_.limit || !active(token)) return;
    if (u32(entry(i) + kEntryState).compare_exchange_strong(token, token + 1, std::memory_order_seq_cst)) {
        u32(entry(i) + kEntryHeld).store(kNoSlot, std::memory_order_seq_cst);
        reclaim_marks(i, token);
    }
    limit_ = 0;  // rescan
}

void BroadcastPublisher::close() noexcept {
    listen_for_room(false);
    u32(kPublisherState).store(2, std::memory_order_seq_cst);
    wake_word(word_ptr(kPublished));
    if (u32(kListeners).load(std::memory_order_seq_cst) != 0) ring_listeners();
}

// ---- subscriber -------------------------------------------------------------------

// Announces the entry, then settles the cursor: the publisher sees the entry
// in any scan after `published` moved past the cursor stored before it read
// `published` again unchanged (see laggard()).
Result<BroadcastSubscriber> BroadcastSubscriber::join(Mapping mapping, std::uint32_t index, std::uint32_t pid) {
    auto layout = BroadcastLayout::read(mapping);
    if (!layout) return layout.error();
    if (index >= layout->limit)
        return Error::value("subscriber entry " + to_string(index) + " is beyond the limit of " +
                               to_string(layout->limit), Reason::corrupt);
    BroadcastSubscriber sub(std::move(mapping), *layout, index);
    const std::uint64_t e = sub.entry(index);
    sub.u32(e + kEntryHeld).store(kNoSlot, std::memory_order_seq_cst);
    sub.u32(e + kEntryPid).store(pid, std::memory_order_relaxed);
    std::uint64_t cursor = sub.published();
    sub.u64(e + kEntryCursor).store(cursor, std::memory_order_seq_cst);
    const std::uint32_t before = sub.u32(e + kEntryState).load(std::memory_order_seq_cst);
    // The previous owner's marks, if it died with them set (a publisher
    // dropping it may take them back first: each goes once).
    if (before != 0) sub.reclaim_marks(index, active(before) ? before : before - 1);
    const std::uint32_t token = (before | 1) + 2;
    sub.u32(e + kEntryState).store(token, std::memory_order_seq_cst);
    sub.token_ = token;
    for (;;) {
        const std::uint64_t now = sub.u64(kPublished).load(std::memory_order_seq_cst);
        if (now == cursor) break;
        cursor = now;
        sub.u64(e + kEntryCursor).store(cursor, std::memory_order_seq_cst);
    }
    sub.cursor_ = cursor;
    return sub;
}

Result<BroadcastMessage> BroadcastSubscriber::describe(std::uint64_t m, std::uint32_t s) const {
    const std::uint64_t d = descriptor(s);
    BroadcastMessage msg;
    msg.seq = m;
    msg.slot = s;
    msg.data = slot(s);
    msg.length = u64(d + kLength).load(std::memory_order_relaxed);
    msg.shape.ndim = u32(d + kNdim).load(std::memory_order_relaxed);
    msg.shape.itemsize = u32(d + kItemsize).load(std::memory_order_relaxed);
    std::memcpy(msg.shape.format, mapping_.base() + d + kFormat, kBroadcastFormatBytes);
    std::memcpy(msg.shape.shape, mapping_.base() + d + kShape, sizeof msg.shape.shape);
    if (msg.length > layout_.slot_size)
        return corrupt_slot("length " + to_string(msg.length) + " exceeds the slot size " +
                            to_string(layout_.slot_size));
    if (Status ok = msg.shape.check(msg.length); !ok) return corrupt_slot(ok.error().message);
    return msg;
}

Result<std::optional<BroadcastMessage>> BroadcastSubscriber::try_next() {
    const bool overwrite = layout_.overflow == Overflow::Overwrite;
    for (;;) {
        const std::uint64_t w = u64(kPublished).load(std::memory_order_seq_cst);
        std::uint64_t m = cursor_;
        if (w == m) return std::optional<BroadcastMessage>{};
        if (w < m)
            return corrupt_header("published count " + to_string(w) + " went back below this subscriber's " +
                                  to_string(m));
        if (w - m > layout_.depth) {
            if (!overwrite)
                return corrupt_header("subscriber fell " + to_string(w - m) + " messages behind in block mode, depth " +
                                      to_string(layout_.depth));
            missed_ += w - layout_.depth - m;
            m = w - layout_.depth;
            advance(m);
        }
        const std::uint32_t s = u32(index(m)).load(std::memory_order_acquire);
        if (s >= layout_.slot_count)
            return corrupt_header("index names slot " + to_string(s) + " of " + to_string(layout_.slot_count));
        const std::uint64_t seq = u64(descriptor(s) + kSeq).load(std::memory_order_acquire);
        if (seq != m) {
            if (overwrite) {
                ++missed_;
                advance(m + 1);
                continue;
            }
            return corrupt_slot("slot " + to_string(s) + " holds message " + to_string(seq) + ", not " + to_string(m));
        }
        auto msg = describe(m, s);
        if (!msg) {
            // A descriptor read while it was rewritten is a lost message, not a forgery.
            if (overwrite && u64(descriptor(s) + kSeq).load(std::memory_order_acquire) != m) {
                ++missed_;
                advance(m + 1);
                continue;
            }
            return msg.error();
        }
        return std::optional<BroadcastMessage>(msg.value());
    }
}

bool BroadcastSubscriber::copied(const BroadcastMessage& m) noexcept {
    if (layout_.overflow == Overflow::Block) return true;
    // The seqlock reader's check: a read-modify-write that changes nothing,
    // whose release half keeps the copy's reads before it.
    if (u64(descriptor(m.slot) + kSeq).fetch_add(0, std::memory_order_acq_rel) == m.seq) return true;
    ++missed_;
    advance(m.seq + 1);
    return false;
}

bool BroadcastSubscriber::hold(BroadcastMessage& m) noexcept {
    if (layout_.overflow == Overflow::Block) return true;
    const std::uint64_t e = entry(index_);
    u32(kViewsHeld).fetch_add(1, std::memory_order_seq_cst);
    u32(e + kEntryHeld).store(m.slot, std::memory_order_seq_cst);
    if (u64(descriptor(m.slot) + kSeq).load(std::memory_order_seq_cst) == m.seq) {
        m.held = holding_ = true;
        return true;
    }
    u32(e + kEntryHeld).store(kNoSlot, std::memory_order_seq_cst);
    u32(kViewsHeld).fetch_sub(1, std::memory_order_seq_cst);
    ++missed_;
    advance(m.seq + 1);
    return false;
}

void BroadcastSubscriber::advance(std::uint64_t next) noexcept {
    cursor_ = next;
    u64(entry(index_) + kEntryCursor).store(next, std::memory_order_release);
}

void BroadcastSubscriber::release(const BroadcastMessage& m) noexcept {
    if (m.held && holding_) {
        holding_ = false;
        u32(entry(index_) + kEntryHeld).store(kNoSlot, std::memory_order_release);
        u32(kViewsHeld).fetch_sub(1, std::memory_order_release);
    }
    if (m.seq != cursor_) return;  // already moved past (torn, or skipped)
    if (layout_.overflow == Overflow::Overwrite) return advance(m.seq + 1);
    // Sequentially consistent against the waiting publisher's count and its
    // loads of the cursors. Only a subscriber a whole depth behind can be
    // what a publisher waits for: the others leave it asleep.
    cursor_ = m.seq + 1;
    u64(entry(index_) + kEntryCursor).store(cursor_, std::memory_order_seq_cst);
    if (u32(kPublisherWaiting).load(std::memory_order_seq_cst) != 0 &&
        u64(kPublished).load(std::memory_order_relaxed) - m.seq >= layout_.depth)
        wake_publisher();
}

// A blocked publisher sleeps on the progress word, one in an event loop on
// the room bell.
void BroadcastSubscriber::wake_publisher() noexcept {
    u32(kProgress).fetch_add(1, std::memory_order_release);
    wake_word(word_ptr(kProgress));
    ring_bell(room_bell_);
}

void BroadcastSubscriber::listen(bool on) noexcept {
    auto mark = u32(entry(index_) + kEntryListening);
    if (on) {
        // Still set: nothing to do (if the publisher takes it meanwhile, it rings).
        if (listening_ && mark.load(std::memory_order_seq_cst) != 0) return;
        listening_ = true;
        // The count first, so that it never falls below the marks set.
        u32(kListeners).fetch_add(1, std::memory_order_seq_cst);
        mark.store(token_, std::memory_order_seq_cst);
        return;
    }
    if (!listening_) return;
    listening_ = false;
    if (mark.exchange(0, std::memory_order_seq_cst) != 0) u32(kListeners).fetch_sub(1, std::memory_order_seq_cst);
}

void BroadcastSubscriber::leave() noexcept {
    const std::uint64_t e = entry(index_);
    if (holding_) {
        holding_ = false;
        u32(e + kEntryHeld).store(kNoSlot, std::memory_order_release);
        u32(kViewsHeld).fetch_sub(1, std::memory_order_release);
    }
    listen(false);
    const std::uint32_t token = u32(e + kEntryState).load(std::memory_order_relaxed);
    if (active(token)) u32(e + kEntryState).store(token + 1, std::memory_order_seq_cst);
    if (layout_.overflow == Overflow::Block) {
        if (u32(kPublisherWaiting).load(std::memory_order_seq_cst) != 0) wake_publisher();
    }
}

}  // namespace velmora
