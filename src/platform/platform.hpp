// Named shared-memory segments: the only place that talks to the operating
// system. One source per OS variant implements this header (posix.cpp,
// win32.cpp); nothing here includes an OS header, so callers stay portable.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/bell.hpp"
#include "velmora/error.hpp"

namespace velmora {

// The rule for a segment name, the same on every OS: a leading '/', then at
// least one more byte, not "." or "..", and no zero byte (its position is
// counted after the leading '/'s, so the message is the same everywhere).
// PlatformHandle::create/open/remove check it (through strip_name): callers
// do not check it again.
[[nodiscard]] Status validate_name(std::string_view name);

// The checked name without its leading '/'s: what the OS calls take.
[[nodiscard]] Result<std::string> strip_name(std::string_view name);

// Results of large messages are allocated one per message: asks the C
// allocator, once per process, to keep freed memory up to a few tens of MiB
// for reuse rather than give it back to the system and fault it in again for
// the next message. Nothing where the allocator has no such settings, or when
// the user has tuned them (MALLOC_TRIM_THRESHOLD_, MALLOC_MMAP_THRESHOLD_,
// GLIBC_TUNABLES).
void keep_freed_heap() noexcept;

// The reason a system error number stands for (errno on Unix, the Win32 code
// on Windows): not_found, exists, busy, name, or os for the rest.
[[nodiscard]] Reason os_reason(int code) noexcept;

// Runs `fn` in the child of every later fork(), in the forking thread, before
// anything else there. Nothing where the OS has no fork.
void at_fork_child(void (*fn)()) noexcept;

// One mapped view of a whole segment. Owns the mapping and unmaps it when it
// goes out of scope (moving it hands the ownership on). A window made by
// within() covers part of another mapping and unmaps nothing: its owner must
// outlive it.
class Mapping {
public:
    Mapping() = default;
    Mapping(void* base, std::uint64_t size, SegmentId id = {}) noexcept
        : base_(base), size_(size), id_(std::move(id)) {}
    static Mapping within(const Mapping& owner, std::uint64_t offset, std::uint64_t size) noexcept {
        Mapping window(owner.base() + offset, size, owner.id_);
        window.owned_ = false;
        return window;
    }
    Mapping(Mapping&& other) noexcept { swap(other); }
    Mapping& operator=(Mapping&& other) noexcept { Mapping(std::move(other)).swap(*this); return *this; }
    Mapping(const Mapping&) = delete;
    Mapping& operator=(const Mapping&) = delete;
    ~Mapping();

    std::uint8_t* base() const noexcept { return static_cast<std::uint8_t*>(base_); }
    std::uint64_t size() const noexcept { return size_; }
    explicit operator bool() const noexcept { return base_ != nullptr; }
    // The mapped segment's identity (for its bells), unknown where the OS has none.
    const SegmentId& id() const noexcept { return id_; }

private:
    void swap(Mapping& o) noexcept {
        std::swap(base_, o.base_);
        std::swap(size_, o.size_);
        std::swap(id_, o.id_);
        std::swap(owned_, o.owned_);
    }

    void* base_ = nullptr;
    std::uint64_t size_ = 0;
    SegmentId id_;
    bool owned_ = true;
};

// What an anonymous segment is called in messages: no segment name can be
// this (names start with '/'), so nothing ever opens or removes it by name.
inline constexpr std::string_view kAnonymousName = "(anonymous)";

// A created or opened segment: the caller's name, the OS handle and the size
// every view of it covers. Exists only in the successful state; releasing it
// (destruction) closes the handle and ignores any failure.
class PlatformHandle {
public:
    // Makes a segment of exactly `size` bytes (size > 0, name validated).
    // With `replace`, a segment left under that name (and, where claims live
    // in a file of their own, its claims file) is removed first; processes
    // that still map it keep their mapping.
    [[nodiscard]] static Result<PlatformHandle> create(std::string_view name, std::uint64_t size,
                                                       bool replace = false);
    // Makes a segment of exactly `size` bytes that has no name: it goes away
    // with the last descriptor and mapping of it, however their processes
    // end. Others reach it only through a descriptor passed to them (fork,
    // SCM_RIGHTS). Linux: memfd_create; other Unix: a random name removed at
    // once; Windows: not supported (an error).
    [[nodiscard]] static Result<PlatformHandle> create_anonymous(std::uint64_t size);
    // Attaches to the segment that descriptor `fd` of this process refers
    // to, through a duplicate of it (the caller keeps `fd`). The handle
    // counts as anonymous. Unix only; `size` as for open().
    [[nodiscard]] static Result<PlatformHandle> open_descriptor(std::intptr_t fd,
                                                                std::optional<std::uint64_t> size);
    // Attaches to an existing segment; `size` may be omitted where the OS can
    // tell the segment's size itself.
    [[nodiscard]] static Result<PlatformHandle> open(std::string_view name,
                                                     std::optional<std::uint64_t> size);
    // Whether open() can leave out the size on this system.
    [[nodiscard]] static bool size_known() noexcept;
    // Deletes the name where the OS keeps names apart from handles.
    [[nodiscard]] static Status remove(std::string_view name);

    // A new, independent read-write view of `size()` bytes from offset 0.
    [[nodiscard]] Result<Mapping> map() const;

    const std::string& name() const noexcept { return name_; }
    std::uint64_t size() const noexcept { return size_; }
    // Made by create_anonymous() or open_descriptor(): it has no name
    // (name() is kAnonymousName) and is passed on only as a descriptor.
    bool anonymous() const noexcept { return anonymous_; }
    // The descriptor (Unix) or HANDLE (Windows) this handle owns, for passing
    // it to another process; it stays owned by this handle.
    std::intptr_t descriptor() const noexcept { return handle_; }
    // A second handle of the same segment with its own descriptor.
    [[nodiscard]] Result<PlatformHandle> duplicate() const;

    PlatformHandle(PlatformHandle&& other) noexcept;
    PlatformHandle& operator=(PlatformHandle&&) = delete;
    PlatformHandle(const PlatformHandle&) = delete;
    PlatformHandle& operator=(const PlatformHandle&) = delete;
    ~PlatformHandle();

private:
    friend class ClaimFile;
    PlatformHandle(std::string name, std::intptr_t handle, std::uint64_t size, bool anonymous = false)
        : name_(std::move(name)), handle_(handle), size_(size), anonymous_(anonymous) {}

    std::string name_;
    std::intptr_t handle_;  // fd on POSIX, HANDLE on Windows; kNoHandle once moved from
    std::uint64_t size_;
    bool anonymous_;

    static constexpr std::intptr_t kNoHandle = -1;
};

// How many fork()s made this process from the one that was started: 0 there,
// the parent's count + 1 in a child. State that belongs to the process that
// made it (a lock hold) records the count and can tell a forked copy of
// itself by a larger count. No system call (getpid() is one); always 0 where
// there is no fork().
[[nodiscard]] std::uint64_t fork_generation() noexcept;
// ---- claims ------------------------------------------------------------------------
// A claim is a record lock on one byte of a segment's file, at kClaimBase +
// slot: far past the end of any segment, so it takes no room in the layout.
// It belongs to one open of the file (on Linux an open file description), not
// to a descriptor, a thread or the mapping: it lasts until that open unlocks
// it or is closed, and the system drops it when the holding process dies.
// core/claims.hpp builds the per-process sharing of claims on top of this.

enum class ClaimMode { Shared, Exclusive };

// Whether PlatformHandle::open can find a segment's size by itself (POSIX) or
// must be told it (Win32 does not expose a mapping object's size).
#if defined(_WIN32)
inline constexpr bool kOpenFindsSize = false;
#else
inline constexpr bool kOpenFindsSize = true;
#endif

inline constexpr std::uint64_t kClaimBase = std::uint64_t{1} << 40;

// One private open of a segment's file on which claims are taken. Closing it
// (destruction) drops every claim taken through it.
class ClaimFile {
public:
    // Whether this build can hold claims at all (fixed at build time). Where
    // it cannot, open() fails with ENOTSUP; where it can, a failed open() is
    // a failure like any other, never a reason to go without claims.
    [[nodiscard]] static bool supported() noexcept;

    // A new open of the file behind `segment`, sharing no claims with any
    // other open, the segment's own included.
    [[nodiscard]] static Result<ClaimFile> open(const PlatformHandle& segment);

    // Names the file: equal for every open of the same file in one process.
    const std::string& key() const noexcept { return key_; }

    // One attempt, no waiting: true when taken, false when another open
    // holds a claim on `slot` that conflicts with `mode`. Taking a slot this
    // open already holds replaces the mode.
    [[nodiscard]] Result<bool> try_lock(std::uint64_t slot, ClaimMode mode) const;
    void unlock(std::uint64_t slot) const noexcept;
    // Whether another open holds a claim on `slot` that conflicts with
    // `mode`. This open's own claims never conflict. Changes nothing.
    [[nodiscard]] Result<bool> conflicts(std::uint64_t slot, ClaimMode mode) const;
    // The pids of processes holding a claim on `slot` through any open of the
    // file, this process included; empty where the system cannot tell. Scans
    // every process: for messages and listings, never per message.
    [[nodiscard]] std::vector<long> holders(std::uint64_t slot) const;

    // In a child just after fork(): replaces the inherited open, which the
    // parent still shares, with a new one holding no claims, so that the
    // child can neither keep the parent's claims alive nor drop them. 0, or
    // the error number when no new open could be made (the old one is closed
    // anyway).
    [[nodiscard]] int renew_after_fork() noexcept;

    ClaimFile(ClaimFile&& other) noexcept;
    ClaimFile& operator=(ClaimFile&&) = delete;
    ClaimFile(const ClaimFile&) = delete;
    ClaimFile& operator=(const ClaimFile&) = delete;
    ~ClaimFile();

private:
    ClaimFile(std::intptr_t handle, std::string key, std::string name) noexcept
        : handle_(handle), key_(std::move(key)), name_(std::move(name)) {}

    std::intptr_t handle_;  // fd on POSIX, HANDLE on Windows; -1 once moved from or closed
    std::string key_;
    std::string name_;      // the segment's name, for messages
};

// Runs `prepare` in the parent before every fork(), and `parent` / `child`
// after it in each process (pthread_atfork; nothing where there is no fork).
void at_fork(void (*prepare)(), void (*parent)(), void (*child)()) noexcept;

// This process's id.
[[nodiscard]] long current_pid() noexcept;

}  // namespace velmora
