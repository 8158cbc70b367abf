// velmora::MappedView: a mapping of a whole segment laid out as Python's MappedView
// lays it out:
//
//   [ lock word (4 bytes, i32) | data area (segment size - 4 bytes) ]
//
// Every offset is relative to the data area. Values use the codec's encoding,
// so Python reads what C++ writes and the reverse: fixed-width values are
// little-endian ("bool" 1 byte 0/1, "u8", "i32", "u32", "i64"/"int", "u64",
// "f32", "f64"/"float"); a "str" is a u32 LE byte count then that many UTF-8
// bytes; bytes are stored as they are, with no prefix.
//
// Thread / process contract: the lock word is a cross-process reader/writer
// spin lock shared by every view of the segment in every process. Reads take
// it shared, writes and zero() exclusive; each call holds it for one copy and
// releases it before returning. A call that must wait follows the module's one
// wait (spin, yield, growing sleeps) and gives up at the view's lock timeout
// with a Timeout error, having changed nothing. A MappedView may be used from any
// number of threads at once except for set_lock_timeout(), which must not run
// concurrently with other calls on the same MappedView. No re-entrancy: the lock
// cannot tell holders apart.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>

#include "velmora/error.hpp"

namespace velmora {

// The C++ types of the codec's fixed-width tags.
template <class T>
concept FixedValue = std::is_same_v<T, bool> || std::is_same_v<T, std::uint8_t> ||
                     std::is_same_v<T, std::int32_t> || std::is_same_v<T, std::uint32_t> ||
                     std::is_same_v<T, std::int64_t> || std::is_same_v<T, std::uint64_t> ||
                     std::is_same_v<T, float> || std::is_same_v<T, double>;

class MappedView {
public:
    // Bytes in the data area (segment size - 4).
    [[nodiscard]] std::uint64_t size() const noexcept;
    // The segment's name, as used in messages.
    [[nodiscard]] const std::string& name() const noexcept;

    // Raw bytes: [offset, offset + bytes.size()) must be a non-empty range
    // inside the data area (Python: read_range / write at an offset).
    [[nodiscard]] Status read(std::uint64_t offset, std::span<std::uint8_t> out) const;
    [[nodiscard]] Status write(std::uint64_t offset, std::span<const std::uint8_t> bytes);
    // Zeroes the whole data area under the exclusive lock.
    [[nodiscard]] Status zero();

    // One fixed-width value. read<T> decodes as Python's read(tag) at a cursor
    // of `offset` (the same messages); write<T> stores the encoding Python's
    // write() would (a bool as one byte 0 or 1).
    template <FixedValue T>
    [[nodiscard]] Result<T> read(std::uint64_t offset) const;
    template <FixedValue T>
    [[nodiscard]] Status write(std::uint64_t offset, T value);

    // A str value: the caller's UTF-8 bytes behind their u32 count. Returns
    // the bytes written (4 + utf8.size()). read_str returns the payload bytes
    // without checking that they are UTF-8 (Python's read("str") does check).
    [[nodiscard]] Result<std::uint64_t> write_str(std::uint64_t offset, std::string_view utf8);
    [[nodiscard]] Result<std::string> read_str(std::uint64_t offset) const;

    // Lock-free 8-byte words of the data area, for counters and flags shared
    // without the lock: each is one sequentially consistent atomic operation
    // and never waits. The word is the codec's i64 (read<std::int64_t> at the
    // same offset sees it). `offset` must be 8-byte aligned in the mapping,
    // which starts 4 bytes before the data area: offsets 4, 12, 20, ...
    // (offset % 8 == 4). Misaligned or out of range: a Value error.
    // add returns the new value (wrapping at the i64 range); compare_exchange
    // stores `desired` only if the word holds `expected` and says whether it did.
    [[nodiscard]] Result<std::int64_t> add(std::uint64_t offset, std::int64_t delta);
    [[nodiscard]] Result<bool> compare_exchange(std::uint64_t offset, std::int64_t expected, std::int64_t desired);
    [[nodiscard]] Result<std::int64_t> load(std::uint64_t offset) const;
    [[nodiscard]] Status store(std::uint64_t offset, std::int64_t value);

    // How long a call waits for the lock; nullopt (the default) waits for ever,
    // zero or less tries once. Every MappedView registers its process as attached to
    // the segment (Linux); a wait that finds the word held while no call of
    // this process holds it and no other live process is attached resets it
    // and proceeds (its holder died), as Python's MappedView does (without
    // the ResourceWarning). With other processes attached it keeps waiting.
    void set_lock_timeout(std::optional<std::chrono::nanoseconds> timeout) noexcept;
    [[nodiscard]] std::optional<std::chrono::nanoseconds> lock_timeout() const noexcept;

    // Snapshots of the lock word, taken without the lock.
    [[nodiscard]] std::int32_t reader_count() const noexcept;
    [[nodiscard]] bool is_write_locked() const noexcept;
    // Unlocks whatever the word holds. Only for recovering from a holder known
    // to be dead: a live holder is not coordinated with.
    void reset_lock() noexcept;

    MappedView(MappedView&&) noexcept;
    MappedView& operator=(MappedView&&) noexcept;
    MappedView(const MappedView&) = delete;
    MappedView& operator=(const MappedView&) = delete;
    ~MappedView();

    struct Impl;

private:
    friend class SharedMemory;
    explicit MappedView(std::unique_ptr<Impl> impl) noexcept;
    std::unique_ptr<Impl> impl_;
};

// Defined in the library for exactly the FixedValue types.
#define VELMORA_VIEW_FIXED(T)                                                    \
    extern template Result<T> MappedView::read<T>(std::uint64_t) const;                \
    extern template Status MappedView::write<T>(std::uint64_t, T);
VELMORA_VIEW_FIXED(bool)
VELMORA_VIEW_FIXED(std::uint8_t)
VELMORA_VIEW_FIXED(std::int32_t)
VELMORA_VIEW_FIXED(std::uint32_t)
VELMORA_VIEW_FIXED(std::int64_t)
VELMORA_VIEW_FIXED(std::uint64_t)
VELMORA_VIEW_FIXED(float)
VELMORA_VIEW_FIXED(double)
#undef VELMORA_VIEW_FIXED

// The class's earlier name, kept for C++ callers that spell it so.
using View = MappedView;

}  // namespace velmora
