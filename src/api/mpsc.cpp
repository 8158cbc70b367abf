// velmora::MpscRingBuffer: the core fan-in lanes and their claims under the public
// names. Slots and the consumer role are claimed as the Python side claims
// them (core/mpsc.hpp), so C++ and Python producers share one ring.
#include <memory>
#include <string>
#include <utility>

#include "api/impl.hpp"
#include "core/claims.hpp"
#include "core/mpsc.hpp"
#include "velmora/mpsc.hpp"

namespace velmora {

struct MpscRingBuffer::Impl {
    MpscLanes lanes;
    std::shared_ptr<ClaimSite> site;
    std::string name;
    std::optional<Claim> slot, consumer;
    // Kept open with the ring: on Windows the segment's name lasts only
    // while a handle to it does.
    std::shared_ptr<PlatformHandle> handle;
};

MpscRingBuffer::MpscRingBuffer(std::unique_ptr<Impl> impl) noexcept : impl_(std::move(impl)) {}
MpscRingBuffer::MpscRingBuffer(MpscRingBuffer&&) noexcept = default;
MpscRingBuffer& MpscRingBuffer::operator=(MpscRingBuffer&&) noexcept = default;
MpscRingBuffer::~MpscRingBuffer() = default;

namespace {

Result<MpscRingBuffer::Impl> attach(PlatformHandle& handle, Result<MpscLanes> lanes) {
    if (!lanes) return lanes.error();
    auto site = ClaimSite::of(handle);
    if (!site) return site.error();
    std::string name = handle.name();
    return MpscRingBuffer::Impl{std::move(lanes).value(), std::move(site).value(), std::move(name), {}, {},
                          std::make_shared<PlatformHandle>(std::move(handle))};
}

}  // namespace

Result<MpscRingBuffer> MpscRingBuffer::create(std::string_view name, std::uint64_t capacity, std::uint32_t producers) {
    auto size = mpsc_segment_size(capacity, producers);
    if (!size) return size.error();
    auto handle = PlatformHandle::create(name, *size);
    if (!handle) return handle.error();
    auto mapping = handle->map();
    if (!mapping) return (void)PlatformHandle::remove(name), mapping.error();
    auto impl = attach(*handle, MpscLanes::create(std::move(mapping).value(), capacity, producers));
    if (!impl) return (void)PlatformHandle::remove(name), impl.error();
    return MpscRingBuffer(std::make_unique<Impl>(std::move(impl).value()));
}

Result<MpscRingBuffer> MpscRingBuffer::open(std::string_view name) {
    auto handle = open_mpsc_segment(name);
    if (!handle) return handle.error();
    auto mapping = handle->map();
    if (!mapping) return mapping.error();
    auto impl = attach(*handle, MpscLanes::open(std::move(mapping).value(), name));
    if (!impl) return impl.error();
    return MpscRingBuffer(std::make_unique<Impl>(std::move(impl).value()));
}

Result<std::uint32_t> MpscRingBuffer::lane() {
    if (!holds(impl_->slot)) {
        impl_->slot.reset();
        auto claimed = impl_->lanes.join(*impl_->site);
        if (!claimed) return claimed.error();
        impl_->slot.emplace(std::move(claimed).value());
    }
    return static_cast<std::uint32_t>(impl_->slot->slot() - kMpscProducerClaim);
}

Status MpscRingBuffer::consumer() {
    if (holds(impl_->consumer)) return {};
    impl_->consumer.reset();
    auto claimed = claim_consumer_role(*impl_->site);
    if (!claimed) return claimed.error();
    impl_->consumer.emplace(std::move(claimed).value());
    return {};
}

Result<bool> MpscRingBuffer::try_push(Bytes first, Bytes second) {
    auto k = lane();
    if (!k) return k.error();
    return impl_->lanes.push(*k, first, second);
}

Result<bool> MpscRingBuffer::push(Bytes payload, std::chrono::nanoseconds timeout) {
    auto k = lane();
    if (!k) return k.error();
    NoHost host;
    return impl_->lanes.push_wait(*k, payload, {}, deadline_within(timeout), host);
}

namespace {

Result<std::optional<std::size_t>> take(MpscLanes& lanes, const Result<std::optional<MpscFrame>>& found,
                                        std::span<std::uint8_t> buffer) {
    if (!found) return found.error();
    if (!*found) return std::optional<std::size_t>{};
    const MpscFrame& frame = **found;
    if (frame.frame.length > buffer.size())
        return Error::value("buffer too small: message of " + std::to_string(frame.frame.length) +
                               " bytes > buffer of " + std::to_string(buffer.size()) + " bytes",
                               Reason::too_large);
    lanes.copy_payload(frame, buffer.data());
    lanes.commit(frame);
    return std::optional<std::size_t>(static_cast<std::size_t>(frame.frame.length));
}

}  // namespace

Result<std::optional<std::size_t>> MpscRingBuffer::try_pop(std::span<std::uint8_t> buffer) {
    if (Status st = consumer(); !st) return st.error();
    return take(impl_->lanes, impl_->lanes.begin_pop(), buffer);
}

Result<std::optional<std::size_t>> MpscRingBuffer::pop(std::span<std::uint8_t> buffer, std::chrono::nanoseconds timeout) {
    if (Status st = consumer(); !st) return st.error();
    NoHost host;
    return take(impl_->lanes, impl_->lanes.wait_pop(deadline_within(timeout), host), buffer);
}

const std::string& MpscRingBuffer::name() const noexcept { return impl_->name; }
std::uint32_t MpscRingBuffer::producers() const noexcept { return impl_->lanes.producers(); }
std::uint64_t MpscRingBuffer::capacity() const noexcept { return impl_->lanes.capacity(); }
std::uint64_t MpscRingBuffer::max_payload() const noexcept { return impl_->lanes.max_payload(); }
std::uint64_t MpscRingBuffer::used() const noexcept { return impl_->lanes.used(); }
std::vector<long> MpscRingBuffer::producer_pids() const { return velmora::producer_pids(*impl_->site, producers()); }
bool MpscRingBuffer::has_producer() const { return producer_attached(*impl_->site, producers()); }

}  // namespace velmora
