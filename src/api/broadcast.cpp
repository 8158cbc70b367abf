// velmora::Publisher / velmora::Subscriber: the core broadcast's calls under
// the public names, with the claims of core/broadcast_roles.hpp. Waits are
// the core's own, with a host that blocks nothing.
#include <cstring>
#include <utility>

#include "api/impl.hpp"
#include "core/broadcast.hpp"
#include "core/broadcast_roles.hpp"
#include "velmora/broadcast.hpp"

namespace velmora {

// Each side keeps its handle open: on Windows a segment's name lasts only as
// long as some process has a handle of it.
struct Publisher::Impl {
    BroadcastAttachment<BroadcastPublisher> a;
    PlatformHandle handle;
    bool closed = false;
};

struct Subscriber::Impl {
    BroadcastAttachment<BroadcastSubscriber> a;
    PlatformHandle handle;
};

namespace {

BroadcastConfig config_of(const BroadcastOptions& o) {
    BroadcastConfig c;
    c.max_message = o.max_message;
    c.depth = o.depth;
    c.subscribers = o.subscribers;
    c.overflow = o.overflow;
    return c;
}

// A format and shape as the core carries them; an empty shape is one
// dimension of length / item size.
Result<MessageShape> shape_of(std::size_t length, std::string_view format, std::span<const std::uint64_t> shape,
                              std::size_t itemsize) {
    MessageShape s;
    if (format.empty() || format.size() >= sizeof s.format)
        return Error::value("format must have 1 to " + std::to_string(sizeof s.format - 1) + " characters");
    if (shape.size() > kBroadcastMaxDims)
        return Error::value("a shape has at most " + std::to_string(kBroadcastMaxDims) + " dimensions");
    std::memset(s.format, 0, sizeof s.format);
    std::memcpy(s.format, format.data(), format.size());
    s.itemsize = static_cast<std::uint32_t>(itemsize);
    if (shape.empty()) {
        s.ndim = 1;
        s.shape[0] = itemsize == 0 ? 0 : length / itemsize;
    } else {
        s.ndim = static_cast<std::uint32_t>(shape.size());
        for (std::size_t i = 0; i < shape.size(); ++i) s.shape[i] = shape[i];
    }
    return s;
}

// The item size of a struct-syntax format of one item kind (a byte-order
// prefix and a count allowed): enough for the formats arrays use.
std::size_t itemsize_of(std::string_view format) {
    std::size_t i = 0;
    if (i < format.size() && std::strchr("@=<>!", format[i]) != nullptr) ++i;
    std::size_t count = 0;
    while (i < format.size() && format[i] >= '0' && format[i] <= '9') count = count * 10 + (format[i++] - '0');
    if (i + 1 != format.size()) return 0;
    std::size_t size = 0;
    switch (format[i]) {
        case 'c': case 'b': case 'B': case '?': case 's': case 'x': size = 1; break;
        case 'h': case 'H': case 'e': size = 2; break;
        case 'i': case 'I': case 'l': case 'L': case 'f': size = 4; break;
        case 'q': case 'Q': case 'd': case 'n': case 'N': case 'P': size = 8; break;
        default: return 0;
    }
    return size * (count == 0 ? 1 : count);
}

}  // namespace

// ---- Publisher ------------------------------------------------------------------

Publisher::Publisher(std::unique_ptr<Impl> impl) noexcept : impl_(std::move(impl)) {}
Publisher::Publisher(Publisher&&) noexcept = default;
Publisher& Publisher::operator=(Publisher&&) noexcept = default;
Publisher::~Publisher() {
    if (impl_) close();
}

Result<Publisher> Publisher::create(std::string_view name, const BroadcastOptions& options) {
    const BroadcastConfig config = config_of(options);
    auto size = broadcast_segment_size(config);
    if (!size) return size.error();
    auto handle = PlatformHandle::create(name, size.value());
    if (!handle) return handle.error();
    auto attached = attach_publisher(handle.value(), config);
    if (!attached) return attached.error();
    return Publisher(std::make_unique<Impl>(Impl{std::move(attached).value(), std::move(handle).value()}));
}

Result<std::optional<Publisher::Loan>> Publisher::loan(std::size_t nbytes, std::chrono::nanoseconds timeout) {
    if (impl_->closed) return Error::value("Publisher is closed", Reason::closed);
    NoHost host;
    auto lent = impl_->a.side.loan_wait(nbytes, deadline_within(timeout), host, broadcast_entry_probe(impl_->a.site));
    if (!lent) return lent.error();
    if (!lent.value()) return std::optional<Loan>{};
    Loan loan;
    loan.bytes_ = impl_->a.side.loan_bytes(*lent.value()).first(nbytes);
    loan.seq_ = lent.value()->seq;
    loan.slot_ = lent.value()->slot;
    return std::optional<Loan>(loan);
}

Status Publisher::publish(const Loan& loan, std::size_t length, std::string_view format,
                          std::span<const std::uint64_t> shape) {
    const std::size_t itemsize = itemsize_of(format);
    if (itemsize == 0) return Error::value("format '" + std::string(format) + "' is not a single item kind");
    auto s = shape_of(length, format, shape, itemsize);
    if (!s) return s.error();
    const BroadcastLoan core{loan.seq_, loan.slot_, impl_->a.side.layout().slot_size};
    if (length > loan.bytes_.size()) {
        impl_->a.side.discard(core);
        return Error::value("message too large: " + std::to_string(length) + " bytes > the loan's " +
                               std::to_string(loan.bytes_.size()), Reason::too_large);
    }
    Status done = impl_->a.side.commit(core, length, s.value());
    if (!done) impl_->a.side.discard(core);
    return done;
}

void Publisher::discard(const Loan& loan) noexcept {
    impl_->a.side.discard(BroadcastLoan{loan.seq_, loan.slot_, 0});
}

Result<bool> Publisher::publish(std::span<const std::uint8_t> payload, std::chrono::nanoseconds timeout) {
    auto lent = loan(payload.size(), timeout);
    if (!lent) return lent.error();
    if (!lent.value()) return false;
    if (!payload.empty()) std::memcpy(lent.value()->bytes().data(), payload.data(), payload.size());
    if (Status done = publish(*lent.value(), payload.size()); !done) return done.error();
    return true;
}

std::vector<long> Publisher::subscribers() const { return broadcast_subscribers(impl_->a.side, *impl_->a.site); }

void Publisher::close() noexcept {
    if (impl_->closed) return;
    impl_->closed = true;
    if (impl_->a.claim.current()) impl_->a.side.close();
}

// ---- Subscriber -----------------------------------------------------------------

Subscriber::Subscriber(std::unique_ptr<Impl> impl) noexcept : impl_(std::move(impl)) {}
Subscriber::Subscriber(Subscriber&&) noexcept = default;
Subscriber& Subscriber::operator=(Subscriber&&) noexcept = default;
Subscriber::~Subscriber() {
    if (impl_ && impl_->a.claim.current()) impl_->a.side.leave();
}

Result<Subscriber> Subscriber::open(std::string_view name) {
    auto handle = open_broadcast_segment(name);
    if (!handle) return handle.error();
    auto attached = attach_subscriber(handle.value());
    if (!attached) return attached.error();
    return Subscriber(std::make_unique<Impl>(Impl{std::move(attached).value(), std::move(handle).value()}));
}

// A view holds its slot (overwrite mode); one overwritten before it could be
// held counts as missed and the next is taken.
Result<std::optional<Subscriber::Message>> Subscriber::receive(std::chrono::nanoseconds timeout, bool* ended) {
    BroadcastSubscriber& core = impl_->a.side;
    const ClaimSite& site = *impl_->a.site;
    const std::function<bool()> gone = [&] { return broadcast_publisher_gone(core, site); };
    const Deadline deadline = deadline_within(timeout).anchored();
    for (;;) {
        NoHost host;
        bool over = false;
        auto found = core.wait_next(deadline, host, ended != nullptr ? &gone : nullptr, over);
        if (ended != nullptr) *ended = over;
        if (!found) return found.error();
        if (!found.value()) return std::optional<Message>{};
        BroadcastMessage m = *found.value();
        if (!core.hold(m)) continue;
        Message out;
        out.bytes_ = {m.data, static_cast<std::size_t>(m.length)};
        std::memcpy(out.format_, m.shape.format, sizeof out.format_);
        std::memcpy(out.shape_, m.shape.shape, sizeof out.shape_);
        out.ndim_ = m.shape.ndim;
        out.itemsize_ = m.shape.itemsize;
        out.seq_ = m.seq;
        out.slot_ = m.slot;
        out.held_ = m.held;
        return std::optional<Message>(out);
    }
}

void Subscriber::release(const Message& message) noexcept {
    BroadcastMessage m;
    m.seq = message.seq_;
    m.slot = message.slot_;
    m.held = message.held_;
    impl_->a.side.release(m);
}

std::uint64_t Subscriber::missed() const noexcept { return impl_->a.side.missed(); }
bool Subscriber::has_publisher() const { return !broadcast_publisher_gone(impl_->a.side, *impl_->a.site); }
std::vector<long> Subscriber::subscribers() const { return broadcast_subscribers(impl_->a.side, *impl_->a.site); }

}  // namespace velmora
