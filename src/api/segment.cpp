// velmora::Segment over the platform layer, with the checks the Python
// SharedMemory makes first.
#include <utility>

#include "api/impl.hpp"
#include "core/claims.hpp"
#include "core/lock.hpp"
#include "core/view_rules.hpp"

namespace velmora {

Segment::Segment(std::unique_ptr<Impl> impl) noexcept : impl_(std::move(impl)) {}
Segment::Segment(Segment&&) noexcept = default;
Segment& Segment::operator=(Segment&&) noexcept = default;
Segment::~Segment() = default;

Result<Segment> Segment::create(std::string_view name, std::uint64_t size) {
    if (size == 0) return Error::value("size must be > 0");
    auto made = PlatformHandle::create(name, size);
    if (!made) return made.error();
    return Segment(std::make_unique<Impl>(Impl{std::move(made).value(), true}));
}

Result<Segment> Segment::open(std::string_view name, std::optional<std::uint64_t> size) {
    auto made = PlatformHandle::open(name, size);
    if (!made) return made.error();
    return Segment(std::make_unique<Impl>(Impl{std::move(made).value(), false}));
}

Status Segment::remove(std::string_view name) {
    return PlatformHandle::remove(name);
}

const std::string& Segment::name() const noexcept { return impl_->handle.name(); }
std::uint64_t Segment::size() const noexcept { return impl_->handle.size(); }
bool Segment::creator() const noexcept { return impl_->creator; }

Result<View> Segment::map() const {
    auto site = ClaimSite::of(impl_->handle);
    if (!site) return site.error();
    auto mapped = impl_->handle.map();
    if (!mapped) return mapped.error();
    auto impl = std::make_unique<View::Impl>(
        View::Impl{std::move(mapped).value(), name(), std::nullopt, ViewAttachment(std::move(site).value())});
    if (Status attached = impl->attachment.attach(); !attached) return attached.error();
    if (Status ok = check_view_size(impl->mapping.size()); !ok) return ok.error();
    if (impl_->creator) ShmRwLock(impl->mapping.base()).init_unlocked();
    return View(std::move(impl));
}

Result<Ring> Segment::ring() const {
    // The claims first: a creator's attach writes the ring's header.
    auto site = ClaimSite::of(impl_->handle);
    if (!site) return site.error();
    auto mapped = impl_->handle.map();
    if (!mapped) return mapped.error();
    auto attached = SpscRing::attach(std::move(mapped).value(), impl_->creator);
    if (!attached) return attached.error();
    return Ring(std::make_unique<Ring::Impl>(Ring::Impl{std::move(attached).value(), RingRoles(std::move(site).value())}));
}

}  // namespace velmora
