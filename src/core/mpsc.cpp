// Fan-in ring: header rules, lanes and the consumer's turn. The layout and
// the doorbell protocol are described once, in mpsc.hpp.
#include "core/mpsc.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

namespace velmora {
namespace {

constexpr std::uint64_t kMagicAt = 0;
constexpr std::uint64_t kLaneAlign = 64;

using std::to_string;

constexpr bool power_of_two(std::uint64_t v) noexcept { return v != 0 && (v & (v - 1)) == 0; }

// Lanes are whole cache lines apart so neighbours never share one. Only
// called with a capacity already bounded by the segment-size checks.
constexpr std::uint64_t stride_for(std::uint64_t capacity) noexcept {
    return (SPSC_HEADER_SIZE + capacity + kLaneAlign - 1) / kLaneAlign * kLaneAlign;
}

// The segment size, or nullopt when it does not fit in 64 bits.
std::optional<std::uint64_t> size_for(std::uint64_t capacity, std::uint64_t producers) noexcept {
    constexpr std::uint64_t top = ~std::uint64_t{0};
    if (capacity > top - SPSC_HEADER_SIZE - kLaneAlign) return std::nullopt;
    const std::uint64_t stride = stride_for(capacity);
    if (producers != 0 && stride > (top - kMpscHeaderSize) / producers) return std::nullopt;
    return kMpscHeaderSize + stride * producers;
}

// "'/results' is not a fan-in ring segment: <what>" (appended piecewise:
// GCC 12 at -O3 warns falsely about one long operator+ chain here).
ShmError not_mpsc(std::string_view name, const std::string& what, Reason why = Reason::corrupt) {
    std::string msg;
    msg.append("'").append(name).append("' is not a fan-in ring segment: ").append(what);
    return ShmError::value(std::move(msg), why);
}

std::uint64_t load64(const std::uint8_t* at) noexcept {
    return std::atomic_ref<std::uint64_t>(*reinterpret_cast<std::uint64_t*>(const_cast<std::uint8_t*>(at)))
        .load(std::memory_order_acquire);
}
std::uint32_t load32(const std::uint8_t* at) noexcept {
    return std::atomic_ref<std::uint32_t>(*reinterpret_cast<std::uint32_t*>(const_cast<std::uint8_t*>(at)))
        .load(std::memory_order_acquire);
}

}  // namespace

Result<std::uint64_t> mpsc_segment_size(std::uint64_t capacity, std::uint64_t producers) {
    if (producers < 1 || producers > kMpscMaxProducers)
        return ShmError::value("producers must be between 1 and " + to_string(kMpscMaxProducers) + ", not " +
                               to_string(producers));
    if (auto st = check_creator_capacity(capacity); !st) return st.error();
    const auto size = size_for(capacity, producers);
    if (!size)
        return ShmError::value("capacity " + to_string(capacity) + " for " + to_string(producers) +
                               " producers does not fit in a 64-bit segment size", Reason::too_large);
    return *size;
}

bool looks_like_mpsc(const std::uint8_t* base, std::uint64_t size) noexcept {
    return size >= kMpscHeaderSize && load64(base + kMagicAt) == kMpscMagic;
}

Result<Claim> claim_producer_slot(ClaimSite& site, std::uint32_t producers) {
    for (std::uint32_t k = 0; k < producers; ++k) {
        if (site.held_here(kMpscProducerClaim + k)) continue;
        auto claimed = site.claim(kMpscProducerClaim + k, ClaimMode::Exclusive);
        if (!claimed) return claimed.error();
        if (claimed.value()) return std::move(*claimed.value());
    }
    return ShmError::os("all " + to_string(producers) + " producer slots of '" + site.name() + "' are taken",
                        EAGAIN, Reason::busy);
}

Result<Claim> claim_consumer_role(ClaimSite& site) {
    auto claimed = site.claim(claim_slot::consumer, ClaimMode::Exclusive);
    if (!claimed) return claimed.error();
    if (!claimed.value())
        return claim_refused("ring '" + site.name() + "'", "a consumer", site.holders(claim_slot::consumer, true));
    return std::move(*claimed.value());
}

bool producer_attached(const ClaimSite& site, std::uint32_t producers) {
    for (std::uint32_t k = 0; k < producers; ++k) {
        if (site.held_here(kMpscProducerClaim + k)) return true;
        auto elsewhere = site.held_elsewhere(kMpscProducerClaim + k);
        if (!elsewhere || elsewhere.value()) return true;
    }
    return false;
}

bool consumer_attached(const ClaimSite& site) {
    if (site.held_here(claim_slot::consumer)) return true;
    auto elsewhere = site.held_elsewhere(claim_slot::consumer);
    return !elsewhere || elsewhere.value();
}

std::vector<long> producer_pids(const ClaimSite& site, std::uint32_t producers) {
    std::vector<long> pids;
    for (std::uint32_t k = 0; k < producers; ++k)
        for (long pid : site.holders(kMpscProducerClaim + k))
            if (std::find(pids.begin(), pids.end(), pid) == pids.end()) pids.push_back(pid);
    return pids;
}

std::uint64_t MpscLanes::lane_stride() const noexcept { return stride_for(capacity_); }

std::uint64_t MpscLanes::max_payload() const noexcept { return max_payload_for(capacity_); }

Status MpscLanes::attach_lanes(std::uint32_t producers, bool creator) {
    lanes_.reserve(producers);
    const std::uint64_t stride = lane_stride();
    for (std::uint32_t k = 0; k < producers; ++k) {
        auto lane = SpscRing::attach(Mapping::within(mapping_, kMpscHeaderSize + k * stride,
                                                     SPSC_HEADER_SIZE + capacity_),
                                     creator, kBellPerWaiter + k);
        if (!lane) return lane.error();
        lanes_.push_back(std::move(lane).value());
    }
    return {};
}

Result<MpscLanes> MpscLanes::create(Mapping mapping, std::uint64_t capacity, std::uint32_t producers,
                                    std::uint32_t expected) {
    auto size = mpsc_segment_size(capacity, producers);
    if (!size) return size.error();
    if (mapping.size() < *size)
        return ShmError::value("a fan-in ring of " + to_string(producers) + " producers of capacity " +
                               to_string(capacity) + " needs " + to_string(*size) + " bytes, the segment has " +
                               to_string(mapping.size()), Reason::too_large);
    MpscLanes ring(std::move(mapping), capacity);
    std::uint8_t* base = ring.mapping_.base();
    std::memset(base, 0, kMpscHeaderSize);
    if (auto st = ring.attach_lanes(producers, true); !st) return st.error();
    std::memcpy(base + kMpscVersionAt, &kMpscVersion, 4);
    std::memcpy(base + kMpscProducersAt, &producers, 4);
    std::memcpy(base + kMpscCapacityAt, &capacity, 8);
    std::memcpy(base + kMpscExpectedAt, &expected, 4);
    ring.expected_ = expected;
    // The magic goes last, with release: whoever acquires it sees the rest.
    std::atomic_ref<std::uint64_t>(*reinterpret_cast<std::uint64_t*>(base + kMagicAt))
        .store(kMpscMagic, std::memory_order_release);
    return ring;
}

Result<PlatformHandle> open_mpsc_segment(std::string_view name) {
    if (PlatformHandle::size_known()) return PlatformHandle::open(name, std::nullopt);
    auto head = PlatformHandle::open(name, kMpscHeaderSize);
    if (!head) return head.error();
    std::uint64_t size = 0;
    {
        auto mapping = head->map();
        if (!mapping) return mapping.error();
        const std::uint8_t* base = mapping->base();
        if (load64(base + kMagicAt) != kMpscMagic) return head;
        auto wanted = mpsc_segment_size(load64(base + kMpscCapacityAt), load32(base + kMpscProducersAt));
        if (!wanted) return head;
        size = wanted.value();
    }
    return PlatformHandle::open(name, size);
}

Result<MpscLanes> MpscLanes::open(Mapping mapping, std::string_view name) {
    const std::uint8_t* base = mapping.base();
    if (mapping.size() < kMpscHeaderSize)
        return not_mpsc(name, "the segment has " + to_string(mapping.size()) + " bytes, fewer than the " +
                        to_string(kMpscHeaderSize) + "-byte header");
    const std::uint64_t magic = load64(base + kMagicAt);
    if (magic != kMpscMagic) {
        char hex[19];
        static const char digits[] = "0123456789abcdef";
        hex[0] = '0', hex[1] = 'x', hex[18] = '\0';
        for (int i = 0; i < 16; ++i) hex[2 + i] = digits[(magic >> (60 - 4 * i)) & 0xF];
        return not_mpsc(name, std::string("its first 8 bytes hold ") + hex + ", not the fan-in magic");
    }
    const std::uint32_t version = load32(base + kMpscVersionAt);
    if (version != kMpscVersion)
        return not_mpsc(name, "layout version " + to_string(version) + ", this build reads version " +
                        to_string(kMpscVersion), Reason::version);
    const std::uint32_t producers = load32(base + kMpscProducersAt);
    const std::uint64_t capacity = load64(base + kMpscCapacityAt);
    if (producers < 1 || producers > kMpscMaxProducers)
        return not_mpsc(name, "producer count " + to_string(producers) + " is outside 1.." +
                        to_string(kMpscMaxProducers));
    if (!power_of_two(capacity)) return not_mpsc(name, "lane capacity " + to_string(capacity) + " is not a power of two");
    const auto size = size_for(capacity, producers);
    if (!size || *size > mapping.size())
        return not_mpsc(name, to_string(producers) + " lanes of capacity " + to_string(capacity) +
                        " do not fit in the segment's " + to_string(mapping.size()) + " bytes");
    MpscLanes ring(std::move(mapping), capacity);
    ring.expected_ = load32(base + kMpscExpectedAt);
    if (auto st = ring.attach_lanes(producers, false); !st) return st.error();
    return ring;
}

Result<Claim> MpscLanes::join(ClaimSite& site) {
    auto claimed = claim_producer_slot(site, producers());
    if (claimed) word32(kMpscJoinedAt).fetch_add(1, std::memory_order_acq_rel);
    return claimed;
}

std::uint32_t MpscLanes::joined() const noexcept { return word32(kMpscJoinedAt).load(std::memory_order_acquire); }

// `joined` is read before the slots are looked at: a producer counted there
// holds its slot until its last publish, so it is either seen attached or
// everything it published is visible to the caller's next look at the lanes.
bool MpscLanes::producers_done(const ClaimSite& site, bool& seen) const {
    if (!site.supported()) return false;
    const std::uint32_t registered = joined();
    if (producer_attached(site, producers())) return seen = true, false;
    if (expected_ != 0) return registered >= expected_;
    if (seen || registered != 0) return true;
    return std::any_of(lanes_.begin(), lanes_.end(), [](const SpscRing& l) { return l.tail_position() != 0; });
}

Result<bool> MpscLanes::push(std::uint32_t k, ByteSpan first, ByteSpan second) {
    const std::uint64_t before = lanes_[k].tail_position();
    Result<bool> pushed = lanes_[k].push(first, second);
    if (pushed.ok() && pushed.value()) ring_doorbell(k, before);
    return pushed;
}

void MpscLanes::publish(std::uint32_t k, std::uint64_t before, std::uint64_t tail) noexcept {
    if (tail == before) return;
    lanes_[k].publish_tail(tail);
    ring_doorbell(k, before);
}

// The look at the sleep mark pairs with SleepMark::suspend (see
// sleeper_marked in mpsc.hpp). The lane held nothing before this publish
// when the consumer's head has reached `before`: used() is then exactly what
// this producer added.
void MpscLanes::ring_doorbell(std::uint32_t k, std::uint64_t before) noexcept {
    if (!sleeper_marked(word32(kMpscSleeping))) return;
    if (lanes_[k].used() != lanes_[k].tail_position() - before) return;
    word32(kMpscDoorbell).fetch_add(1, std::memory_order_release);
    wake_word(reinterpret_cast<const std::uint32_t*>(mapping_.base() + kMpscDoorbell));
}

Result<std::optional<MpscFrame>> MpscLanes::begin_pop() {
    const std::uint32_t n = producers();
    for (std::uint32_t i = 0; i < n; ++i) {
        const std::uint32_t k = turn_ + i < n ? turn_ + i : turn_ + i - n;
        auto found = lanes_[k].begin_pop();
        if (!found) return ShmError::value("lane " + to_string(k) + ": " + found.error().message, found.error().reason);
        if (found.value()) return std::optional<MpscFrame>(MpscFrame{k, *found.value()});
    }
    return std::optional<MpscFrame>{};
}

void MpscLanes::commit(const MpscFrame& f) noexcept {
    lanes_[f.lane].commit(f.frame);
    turn_ = f.lane + 1 < producers() ? f.lane + 1 : 0;
}

std::uint64_t MpscLanes::used() const noexcept {
    std::uint64_t total = 0;
    for (const SpscRing& lane : lanes_) total += lane.used();
    return total;
}

}  // namespace velmora
