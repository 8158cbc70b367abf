// velmora::SpscRingBuffer: the core SpscRing's calls under the public names. The waits
// are the ring's own (push_wait / wait_pop), with a host that blocks nothing.
// Every producer (consumer) call first makes sure this SpscRingBuffer holds the role
// for its process (core/ring_roles.hpp), as the Python ring does.
#include <algorithm>
#include <cstring>
#include <string>
#include <tuple>
#include <utility>

#include "api/impl.hpp"

namespace velmora {
SpscRingBuffer::SpscRingBuffer(std::unique_ptr<Impl> impl) noexcept : impl_(std::move(impl)) {}
SpscRingBuffer::SpscRingBuffer(SpscRingBuffer&&) noexcept = default;
SpscRingBuffer& SpscRingBuffer::operator=(SpscRingBuffer&&) noexcept = default;
SpscRingBuffer::~SpscRingBuffer() = default;

Result<bool> SpscRingBuffer::try_push(Bytes first, Bytes second) {
    if (Status ok = impl_->roles.claim(RingRole::Producer); !ok) return ok.error();
    return impl_->ring.push(first, second);
}

Result<bool> SpscRingBuffer::push(Bytes payload, std::chrono::nanoseconds timeout) { return push(payload, {}, timeout); }

Result<bool> SpscRingBuffer::push(Bytes first, Bytes second, std::chrono::nanoseconds timeout) {
    if (Status ok = impl_->roles.claim(RingRole::Producer); !ok) return ok.error();
    NoHost host;
    return impl_->ring.push_wait(first, second, deadline_within(timeout), host);
}

namespace {

// Copies a found frame out and consumes it, or leaves it when `buffer` is short.
Result<std::optional<std::size_t>> take(SpscRing& ring, const Result<std::optional<SpscFrame>>& found,
                                        std::span<std::uint8_t> buffer) {
    if (!found) return found.error();
    if (!*found) return std::optional<std::size_t>{};
    const SpscFrame& frame = **found;
    if (frame.length > buffer.size()) return buffer_too_small(frame.length, buffer.size());
    ring.copy_payload(frame, buffer.data());
    ring.commit(frame);
    return std::optional<std::size_t>(static_cast<std::size_t>(frame.length));
}

}  // namespace

Result<std::optional<std::size_t>> SpscRingBuffer::try_pop(std::span<std::uint8_t> buffer) {
    if (Status ok = impl_->roles.claim(RingRole::Consumer); !ok) return ok.error();
    return take(impl_->ring, impl_->ring.begin_pop(), buffer);
}

Result<std::optional<std::size_t>> SpscRingBuffer::pop(std::span<std::uint8_t> buffer, std::chrono::nanoseconds timeout) {
    if (Status ok = impl_->roles.claim(RingRole::Consumer); !ok) return ok.error();
    NoHost host;
    return take(impl_->ring, impl_->ring.wait_pop(deadline_within(timeout), host), buffer);
}

// A found frame as the public Frame: its parts in the mapping plus where it
// was found, which consume() hands back to the core.
Result<std::optional<Frame>> SpscRingBuffer::as_frame(const Result<std::optional<SpscFrame>>& found) const {
    if (!found) return found.error();
    if (!*found) return std::optional<Frame>{};
    const SpscFrame& at = **found;
    Frame frame;
    std::tie(frame.first_, frame.second_) = impl_->ring.payload_parts(at);
    frame.head_ = at.head;
    frame.capacity_ = at.capacity;
    frame.ring_ = impl_.get();
    return std::optional<Frame>(frame);
}

Result<std::optional<Frame>> SpscRingBuffer::try_peek() {
    if (Status ok = impl_->roles.claim(RingRole::Consumer); !ok) return ok.error();
    return as_frame(impl_->ring.begin_pop());
}

Result<std::optional<Frame>> SpscRingBuffer::peek(std::chrono::nanoseconds timeout) {
    if (Status ok = impl_->roles.claim(RingRole::Consumer); !ok) return ok.error();
    NoHost host;
    return as_frame(impl_->ring.wait_pop(deadline_within(timeout), host));
}

// A frame is good once, on the ring that found it, while the consumer's head
// is still where it was found: a default Frame, another ring's, or one
// consumed already (or passed by a later pop) would deliver a message twice
// and move head to where no frame starts.
Status SpscRingBuffer::consume(const Frame& frame) {
    if (frame.ring_ != impl_.get()) return Error::value("frame was not found by this ring");
    if (frame.head_ != impl_->ring.head_position())
        return Error::value("frame is stale: it was consumed already, or a later pop passed it");
    impl_->ring.commit(SpscFrame{frame.head_, frame.capacity_, frame.size()});
    return {};
}

std::uint64_t SpscRingBuffer::used() const noexcept { return impl_->ring.used(); }
std::uint64_t SpscRingBuffer::free() const noexcept { return impl_->ring.free(); }
std::uint64_t SpscRingBuffer::capacity() const noexcept { return impl_->ring.capacity(); }

Result<bool> SpscRingBuffer::has_producer() const { return impl_->roles.present(RingRole::Producer); }
Result<bool> SpscRingBuffer::has_consumer() const { return impl_->roles.present(RingRole::Consumer); }

}  // namespace velmora
