// velmora::MappedView: the lock word's timed holds around one copy, the core's
// range checks and the codec's decoding, as Python's MappedView does them.
#include <array>
#include <cstring>
#include <utility>

#include "api/impl.hpp"
#include "core/codec.hpp"
#include "core/lock.hpp"
#include "core/view_rules.hpp"
#include "core/words.hpp"

namespace velmora {
namespace {

std::uint8_t* data_of(const MappedView::Impl& v) noexcept { return v.mapping.base() + RWLOCK_SIZE; }
std::uint64_t data_size_of(const MappedView::Impl& v) noexcept { return v.mapping.size() - RWLOCK_SIZE; }

// The lock wait's host: blocks nothing, and at each poll resets a word whose
// holder has gone (core/view_attach.hpp: no hold of this process, no other
// live process attached).
struct RecoveringHost {
    const ViewAttachment& attachment;
    const ShmRwLock& lock;
    void suspend() noexcept {}
    bool poll() {
        (void)attachment.recover_abandoned(lock);
        return false;
    }
};

// Runs `work` under the lock, shared or exclusive; a Timeout error (nothing
// done) when the view's lock timeout ran out first.
template <bool Exclusive, class Work>
Status with_lock(const MappedView::Impl& v, Work work) {
    if (Status attached = v.attachment.attach(); !attached) return attached;
    const ShmRwLock lock(v.mapping.base());
    const Deadline deadline = deadline_within(v.lock_timeout);
    RecoveringHost host{v.attachment, lock};
    bool held = false;
    {
        std::optional<CountedHoldOf<Exclusive>> hold;
        const auto attempt = [&] { return v.attachment.try_lock<Exclusive>(lock, hold); };
        if (wait_until(attempt, deadline, host) == WaitResult::Ready) work(), held = true;
    }
    if (held) return {};
    const double seconds = std::chrono::duration<double>(std::max(*v.lock_timeout, std::chrono::nanoseconds{0})).count();
    return lock_timeout_error(float_repr(seconds), v.name, lock.value());
}

// The tag the Python side names each FixedValue type by.
template <class T>
constexpr std::string_view tag_of() {
    if constexpr (std::is_same_v<T, bool>) return "bool";
    else if constexpr (std::is_same_v<T, std::uint8_t>) return "u8";
    else if constexpr (std::is_same_v<T, std::int32_t>) return "i32";
    else if constexpr (std::is_same_v<T, std::uint32_t>) return "u32";
    else if constexpr (std::is_same_v<T, std::int64_t>) return "i64";
    else if constexpr (std::is_same_v<T, std::uint64_t>) return "u64";
    else if constexpr (std::is_same_v<T, float>) return "f32";
    else return "f64";
}

// Python's read(tag) at a cursor of `offset`: under the shared lock only the
// bytes the decode will read are copied to `copy` (sized by `room`), then the
// codec decodes the copy as if in place (same length limit, same messages).
template <class Room>
Result<Decoded> decode_at(const MappedView::Impl& v, std::uint64_t offset, std::string_view tag, Room room) {
    if (Status ok = check_position(offset, data_size_of(v)); !ok) return ok.error();
    const std::uint64_t len = data_size_of(v) - offset;
    const Form form = *lookup_tag(tag);
    const std::uint8_t* copy = nullptr;
    Status locked = with_lock<false>(v, [&] {
        const std::uint64_t n = run_extent(form, 1, data_of(v) + offset, len, 0).end;
        std::uint8_t* dst = room(n);
        std::memcpy(dst, data_of(v) + offset, static_cast<std::size_t>(n));
        copy = dst;
    });
    if (!locked) return locked.error();
    return decode_scalar(copy, len, tag);
}

}  // namespace

MappedView::MappedView(std::unique_ptr<Impl> impl) noexcept : impl_(std::move(impl)) {}
MappedView::MappedView(MappedView&&) noexcept = default;
MappedView& MappedView::operator=(MappedView&&) noexcept = default;
MappedView::~MappedView() = default;

std::uint64_t MappedView::size() const noexcept { return data_size_of(*impl_); }
const std::string& MappedView::name() const noexcept { return impl_->name; }

Status MappedView::read(std::uint64_t offset, std::span<std::uint8_t> out) const {
    if (Status ok = check_range(offset, out.size(), size()); !ok) return ok;
    return with_lock<false>(*impl_, [&] { std::memcpy(out.data(), data_of(*impl_) + offset, out.size()); });
}

Status MappedView::write(std::uint64_t offset, std::span<const std::uint8_t> bytes) {
    if (Status ok = check_range(offset, bytes.size(), size()); !ok) return ok;
    return with_lock<true>(*impl_, [&] { std::memcpy(data_of(*impl_) + offset, bytes.data(), bytes.size()); });
}

Status MappedView::zero() {
    return with_lock<true>(*impl_, [&] { std::memset(data_of(*impl_), 0, static_cast<std::size_t>(size())); });
}

template <FixedValue T>
Result<T> MappedView::read(std::uint64_t offset) const {
    std::array<std::uint8_t, 8> buf{};
    auto got = decode_at(*impl_, offset, tag_of<T>(), [&](std::uint64_t) { return buf.data(); });
    if (!got) return got.error();
    return std::visit(
        [](auto v) -> T {
            if constexpr (std::is_arithmetic_v<decltype(v)>) return static_cast<T>(v);
            else return T{};  // a str never comes out of a fixed-width tag
        },
        got->value);
}

template <FixedValue T>
Status MappedView::write(std::uint64_t offset, T value) {
    std::array<std::uint8_t, sizeof(T)> buf;
    if constexpr (std::is_same_v<T, bool>) buf[0] = value ? 1 : 0;
    else store_le(buf.data(), value);
    return write(offset, buf);
}

Result<std::uint64_t> MappedView::write_str(std::uint64_t offset, std::string_view utf8) {
    if (Status ok = check_str_size(utf8.size()); !ok) return ok.error();
    const std::uint64_t n = kStrPrefix + utf8.size();
    if (Status ok = check_range(offset, n, size()); !ok) return ok.error();
    std::array<std::uint8_t, kStrPrefix> prefix;
    store_le(prefix.data(), static_cast<std::uint32_t>(utf8.size()));
    Status done = with_lock<true>(*impl_, [&] {
        std::memcpy(data_of(*impl_) + offset, prefix.data(), kStrPrefix);
        std::memcpy(data_of(*impl_) + offset + kStrPrefix, utf8.data(), utf8.size());
    });
    if (!done) return done.error();
    return n;
}

Result<std::string> MappedView::read_str(std::uint64_t offset) const {
    std::string buf;
    auto got = decode_at(*impl_, offset, "str", [&](std::uint64_t n) {
        buf.resize(static_cast<std::size_t>(n));
        return reinterpret_cast<std::uint8_t*>(buf.data());
    });
    if (!got) return got.error();
    buf.erase(0, kStrPrefix);
    return buf;
}

Result<std::int64_t> MappedView::add(std::uint64_t offset, std::int64_t delta) {
    if (Status ok = check_word(offset, size()); !ok) return ok.error();
    return SharedWord(data_of(*impl_), offset).add(delta);
}

Result<bool> MappedView::compare_exchange(std::uint64_t offset, std::int64_t expected, std::int64_t desired) {
    if (Status ok = check_word(offset, size()); !ok) return ok.error();
    return SharedWord(data_of(*impl_), offset).compare_exchange(expected, desired);
}

Result<std::int64_t> MappedView::load(std::uint64_t offset) const {
    if (Status ok = check_word(offset, size()); !ok) return ok.error();
    return SharedWord(data_of(*impl_), offset).load();
}

Status MappedView::store(std::uint64_t offset, std::int64_t value) {
    if (Status ok = check_word(offset, size()); !ok) return ok;
    SharedWord(data_of(*impl_), offset).store(value);
    return {};
}

void MappedView::set_lock_timeout(std::optional<std::chrono::nanoseconds> timeout) noexcept {
    impl_->lock_timeout = timeout;
}
std::optional<std::chrono::nanoseconds> MappedView::lock_timeout() const noexcept { return impl_->lock_timeout; }

std::int32_t MappedView::reader_count() const noexcept { return ShmRwLock(impl_->mapping.base()).reader_count(); }
bool MappedView::is_write_locked() const noexcept { return ShmRwLock(impl_->mapping.base()).is_write_locked(); }
void MappedView::reset_lock() noexcept { ShmRwLock(impl_->mapping.base()).init_unlocked(); }

#define VELMORA_VIEW_FIXED(T)                                    \
    template Result<T> MappedView::read<T>(std::uint64_t) const;       \
    template Status MappedView::write<T>(std::uint64_t, T);
VELMORA_VIEW_FIXED(bool)
VELMORA_VIEW_FIXED(std::uint8_t)
VELMORA_VIEW_FIXED(std::int32_t)
VELMORA_VIEW_FIXED(std::uint32_t)
VELMORA_VIEW_FIXED(std::int64_t)
VELMORA_VIEW_FIXED(std::uint64_t)
VELMORA_VIEW_FIXED(float)
VELMORA_VIEW_FIXED(double)
#undef VELMORA_VIEW_FIXED

}  // namespace velmora
