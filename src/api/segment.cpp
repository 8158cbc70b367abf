// velmora::SharedMemory over the platform layer, with the checks the Python
// SharedMemory makes first.
#include <utility>

#include "api/impl.hpp"
#include "core/claims.hpp"
#include "core/lock.hpp"
#include "core/view_rules.hpp"

namespace velmora {

SharedMemory::SharedMemory(std::unique_ptr<Impl> impl) noexcept : impl_(std::move(impl)) {}
SharedMemory::SharedMemory(SharedMemory&&) noexcept = default;
SharedMemory& SharedMemory::operator=(SharedMemory&&) noexcept = default;
SharedMemory::~SharedMemory() = default;

Result<SharedMemory> SharedMemory::create(std::string_view name, std::uint64_t size) {
    if (size == 0) return Error::value("size must be > 0");
    auto made = PlatformHandle::create(name, size);
    if (!made) return made.error();
    return SharedMemory(std::make_unique<Impl>(Impl{std::move(made).value(), true}));
}

Result<SharedMemory> SharedMemory::open(std::string_view name, std::optional<std::uint64_t> size) {
    auto made = PlatformHandle::open(name, size);
    if (!made) return made.error();
    return SharedMemory(std::make_unique<Impl>(Impl{std::move(made).value(), false}));
}

Status SharedMemory::remove(std::string_view name) {
    return PlatformHandle::remove(name);
}

const std::string& SharedMemory::name() const noexcept { return impl_->handle.name(); }
std::uint64_t SharedMemory::size() const noexcept { return impl_->handle.size(); }
bool SharedMemory::creator() const noexcept { return impl_->creator; }

Result<MappedView> SharedMemory::map() const {
    auto site = ClaimSite::of(impl_->handle);
    if (!site) return site.error();
    auto mapped = impl_->handle.map();
    if (!mapped) return mapped.error();
    auto impl = std::make_unique<MappedView::Impl>(
        MappedView::Impl{std::move(mapped).value(), name(), std::nullopt, ViewAttachment(std::move(site).value())});
    if (Status attached = impl->attachment.attach(); !attached) return attached.error();
    if (Status ok = check_view_size(impl->mapping.size()); !ok) return ok.error();
    if (impl_->creator) ShmRwLock(impl->mapping.base()).init_unlocked();
    return MappedView(std::move(impl));
}

Result<SpscRingBuffer> SharedMemory::ring() const {
    // The claims first: a creator's attach writes the ring's header.
    auto site = ClaimSite::of(impl_->handle);
    if (!site) return site.error();
    auto mapped = impl_->handle.map();
    if (!mapped) return mapped.error();
    auto attached = SpscRing::attach(std::move(mapped).value(), impl_->creator);
    if (!attached) return attached.error();
    return SpscRingBuffer(std::make_unique<SpscRingBuffer::Impl>(SpscRingBuffer::Impl{std::move(attached).value(), RingRoles(std::move(site).value())}));
}

}  // namespace velmora
