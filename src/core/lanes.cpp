// Producer lanes: header rules, lane windows, the producers' side, the end
// of stream and the doorbell. The layout and the protocol are described
// once, in lanes.hpp.
#include "core/lanes.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

namespace velmora {
namespace {

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
    if (producers != 0 && stride > (top - kLaneHeaderSize) / producers) return std::nullopt;
    return kLaneHeaderSize + stride * producers;
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

Result<std::uint64_t> lane_segment_size(std::uint64_t capacity, std::uint64_t producers) {
    if (producers < 1 || producers > kLaneMaxProducers)
        return Error::value("producers must be between 1 and " + to_string(kLaneMaxProducers) + ", not " +
                               to_string(producers));
    if (auto st = check_creator_capacity(capacity); !st) return st.error();
    const auto size = size_for(capacity, producers);
    if (!size)
        return Error::value("capacity " + to_string(capacity) + " for " + to_string(producers) +
                               " producers does not fit in a 64-bit segment size", Reason::too_large);
    return *size;
}

bool starts_with_magic(const std::uint8_t* base, std::uint64_t size, std::uint64_t magic) noexcept {
    return size >= kLaneHeaderSize && load64(base + kLaneMagicAt) == magic;
}

Result<Claim> claim_free_slot(ClaimSite& site, std::uint64_t first, std::uint32_t count, std::string_view role) {
    for (std::uint32_t k = 0; k < count; ++k) {
        if (site.held_here(first + k)) continue;
        auto claimed = site.claim(first + k, ClaimMode::Exclusive);
        if (!claimed) return claimed.error();
        if (claimed.value()) return std::move(*claimed.value());
    }
    std::string msg;
    msg.append("all ").append(to_string(count)).append(" ").append(role).append(" slots of '");
    msg.append(site.name()).append("' are taken");
    return Error::os(std::move(msg), EAGAIN, Reason::busy);
}

bool slot_range_attached(const ClaimSite& site, std::uint64_t first, std::uint32_t count) {
    for (std::uint32_t k = 0; k < count; ++k) {
        if (site.held_here(first + k)) return true;
        auto elsewhere = site.held_elsewhere(first + k);
        if (!elsewhere || elsewhere.value()) return true;
    }
    return false;
}

std::vector<long> slot_range_pids(const ClaimSite& site, std::uint64_t first, std::uint32_t count) {
    std::vector<long> pids;
    for (std::uint32_t k = 0; k < count; ++k)
        for (long pid : site.holders(first + k))
            if (std::find(pids.begin(), pids.end(), pid) == pids.end()) pids.push_back(pid);
    return pids;
}

// "'/results' is not a fan-in ring segment: <what>" (appended piecewise:
// GCC 12 at -O3 warns falsely about one long operator+ chain here).
Error LaneSet::refuse(const LaneKind& kind, std::string_view name, const std::string& what, Reason why) {
    std::string msg;
    msg.append("'").append(name).append("' is not ").append(kind.ring).append(" segment: ").append(what);
    return Error::value(std::move(msg), why);
}

Status LaneSet::attach_lanes(std::uint32_t producers, bool creator) {
    lanes_.reserve(producers);
    const std::uint64_t stride = stride_for(capacity_);
    for (std::uint32_t k = 0; k < producers; ++k) {
        auto lane = SpscRing::attach(Mapping::within(mapping_, kLaneHeaderSize + k * stride,
                                                     SPSC_HEADER_SIZE + capacity_),
                                     creator, kBellPerWaiter + k);
        if (!lane) return lane.error();
        lanes_.push_back(std::move(lane).value());
    }
    return {};
}

Result<LaneSet> LaneSet::create(Mapping mapping, const LaneKind& kind, std::uint64_t capacity,
                                std::uint32_t producers, std::uint32_t expected) {
    auto size = lane_segment_size(capacity, producers);
    if (!size) return size.error();
    if (mapping.size() < *size) {
        std::string msg(kind.ring);
        msg.append(" of ").append(to_string(producers)).append(" producers of capacity ").append(to_string(capacity));
        msg.append(" needs ").append(to_string(*size)).append(" bytes, the segment has ");
        msg.append(to_string(mapping.size()));
        return Error::value(std::move(msg), Reason::too_large);
    }
    LaneSet set(std::move(mapping), kind, capacity);
    std::uint8_t* base = set.mapping_.base();
    std::memset(base, 0, kLaneHeaderSize);
    if (auto st = set.attach_lanes(producers, true); !st) return st.error();
    std::memcpy(base + kLaneVersionAt, &kind.version, 4);
    std::memcpy(base + kLaneProducersAt, &producers, 4);
    std::memcpy(base + kLaneCapacityAt, &capacity, 8);
    std::memcpy(base + kLaneExpectedAt, &expected, 4);
    set.expected_ = expected;
    return set;
}

void LaneSet::seal() noexcept {
    std::atomic_ref<std::uint64_t>(*reinterpret_cast<std::uint64_t*>(mapping_.base() + kLaneMagicAt))
        .store(kind_->magic, std::memory_order_release);
}

Result<PlatformHandle> open_lane_segment(std::string_view name, const LaneKind& kind) {
    if (PlatformHandle::size_known()) return PlatformHandle::open(name, std::nullopt);
    auto head = PlatformHandle::open(name, kLaneHeaderSize);
    if (!head) return head.error();
    std::uint64_t size = 0;
    {
        auto mapping = head->map();
        if (!mapping) return mapping.error();
        const std::uint8_t* base = mapping->base();
        if (load64(base + kLaneMagicAt) != kind.magic) return head;
        auto wanted = lane_segment_size(load64(base + kLaneCapacityAt), load32(base + kLaneProducersAt));
        if (!wanted) return head;
        size = wanted.value();
    }
    return PlatformHandle::open(name, size);
}

Result<LaneSet> LaneSet::open(Mapping mapping, const LaneKind& kind, std::string_view name) {
    const std::uint8_t* base = mapping.base();
    if (mapping.size() < kLaneHeaderSize)
        return refuse(kind, name, "the segment has " + to_string(mapping.size()) + " bytes, fewer than the " +
                      to_string(kLaneHeaderSize) + "-byte header");
    const std::uint64_t magic = load64(base + kLaneMagicAt);
    if (magic != kind.magic) {
        char hex[19];
        static const char digits[] = "0123456789abcdef";
        hex[0] = '0', hex[1] = 'x', hex[18] = '\0';
        for (int i = 0; i < 16; ++i) hex[2 + i] = digits[(magic >> (60 - 4 * i)) & 0xF];
        return refuse(kind, name, std::string("its first 8 bytes hold ") + hex + ", not the " +
                      std::string(kind.magic_name) + " magic");
    }
    const std::uint32_t version = load32(base + kLaneVersionAt);
    if (version != kind.version)
        return refuse(kind, name, "layout version " + to_string(version) + ", this build reads version " +
                      to_string(kind.version), Reason::version);
    const std::uint32_t producers = load32(base + kLaneProducersAt);
    const std::uint64_t capacity = load64(base + kLaneCapacityAt);
    if (producers < 1 || producers > kLaneMaxProducers)
        return refuse(kind, name, "producer count " + to_string(producers) + " is outside 1.." +
                      to_string(kLaneMaxProducers));
    if (!power_of_two(capacity))
        return refuse(kind, name, "lane capacity " + to_string(capacity) + " is not a power of two");
    const auto size = size_for(capacity, producers);
    if (!size || *size > mapping.size())
        return refuse(kind, name, to_string(producers) + " lanes of capacity " + to_string(capacity) +
                      " do not fit in the segment's " + to_string(mapping.size()) + " bytes");
    LaneSet set(std::move(mapping), kind, capacity);
    set.expected_ = load32(base + kLaneExpectedAt);
    if (auto st = set.attach_lanes(producers, false); !st) return st.error();
    return set;
}

std::uint32_t LaneSet::kind_word(std::uint64_t offset) const noexcept {
    return word32(offset).load(std::memory_order_acquire);
}

void LaneSet::set_kind_word(std::uint64_t offset, std::uint32_t value) noexcept {
    word32(offset).store(value, std::memory_order_relaxed);
}

Result<Claim> LaneSet::join(ClaimSite& site) {
    auto claimed = claim_free_slot(site, kLaneProducerClaim, producers(), "producer");
    if (claimed) word32(kLaneJoinedAt).fetch_add(1, std::memory_order_acq_rel);
    return claimed;
}

std::uint32_t LaneSet::joined() const noexcept { return word32(kLaneJoinedAt).load(std::memory_order_acquire); }

// `joined` is read before the slots are looked at: a producer counted there
// holds its slot until its last publish, so it is either seen attached or
// everything it published is visible to the caller's next look at the lanes.
bool LaneSet::producers_done(const ClaimSite& site, bool& seen) const {
    if (!site.supported()) return false;
    const std::uint32_t registered = joined();
    if (slot_range_attached(site, kLaneProducerClaim, producers())) return seen = true, false;
    if (expected_ != 0) return registered >= expected_;
    if (seen || registered != 0) return true;
    return std::any_of(lanes_.begin(), lanes_.end(), [](const SpscRing& l) { return l.tail_position() != 0; });
}

Result<bool> LaneSet::push(std::uint32_t k, ByteSpan first, ByteSpan second) {
    const std::uint64_t before = lanes_[k].tail_position();
    Result<bool> pushed = lanes_[k].push(first, second);
    if (pushed.ok() && pushed.value()) ring_doorbell(k, before);
    return pushed;
}

void LaneSet::publish(std::uint32_t k, std::uint64_t before, std::uint64_t tail) noexcept {
    if (tail == before) return;
    lanes_[k].publish_tail(tail);
    ring_doorbell(k, before);
}

// The lane held nothing before this publish when the consumers' head has
// reached `before`: used() is then exactly what this producer added.
void LaneSet::ring_doorbell(std::uint32_t k, std::uint64_t before) noexcept {
    if (!sleeper_marked(word32(kLaneSleepersAt))) return;
    if (lanes_[k].used() != lanes_[k].tail_position() - before) return;
    bump_doorbell();
}

void LaneSet::ring_if_sleeping() noexcept {
    if (sleeper_marked(word32(kLaneSleepersAt))) bump_doorbell();
}

void LaneSet::bump_doorbell() noexcept {
    word32(kLaneDoorbellAt).fetch_add(1, std::memory_order_release);
    wake_word(reinterpret_cast<const std::uint32_t*>(mapping_.base() + kLaneDoorbellAt));
}

std::uint64_t LaneSet::used() const noexcept {
    std::uint64_t total = 0;
    for (const SpscRing& lane : lanes_) total += lane.used();
    return total;
}

}  // namespace velmora
