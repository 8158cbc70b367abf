// Named shared-memory segments: the only place that talks to the operating
// system. One source per OS variant implements this header (posix.cpp,
// win32.cpp); nothing here includes an OS header, so callers stay portable.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "velmora/error.hpp"

namespace velmora {

// Checks the caller's form of a segment name: a leading '/' and at least one
// more byte. Run before anything else looks at the name.
[[nodiscard]] Status validate_name(std::string_view name);

// The rest of the name after every leading '/'; fails if it holds a zero byte
// (position counted within the rest, so the message is the same everywhere).
[[nodiscard]] Result<std::string> strip_name(std::string_view name);

// One mapped view of a whole segment. Owns the mapping and unmaps it when it
// goes out of scope (moving it hands the ownership on). A window made by
// within() covers part of another mapping and unmaps nothing: its owner must
// outlive it.
class Mapping {
public:
    Mapping() = default;
    Mapping(void* base, std::uint64_t size) noexcept : base_(base), size_(size) {}
    static Mapping within(const Mapping& owner, std::uint64_t offset, std::uint64_t size) noexcept {
        Mapping window(owner.base() + offset, size);
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

private:
    void swap(Mapping& o) noexcept {
        std::swap(base_, o.base_);
        std::swap(size_, o.size_);
        std::swap(owned_, o.owned_);
    }

    void* base_ = nullptr;
    std::uint64_t size_ = 0;
    bool owned_ = true;
};

// A created or opened segment: the caller's name, the OS handle and the size
// every view of it covers. Exists only in the successful state; releasing it
// (destruction) closes the handle and ignores any failure.
class PlatformHandle {
public:
    // Makes a segment of exactly `size` bytes (size > 0, name validated).
    [[nodiscard]] static Result<PlatformHandle> create(std::string_view name, std::uint64_t size);
    // Attaches to an existing segment; `size` may be omitted where the OS can
    // tell the segment's size itself.
    [[nodiscard]] static Result<PlatformHandle> open(std::string_view name,
                                                     std::optional<std::uint64_t> size);
    // Deletes the name where the OS keeps names apart from handles.
    [[nodiscard]] static Status remove(std::string_view name);

    // A new, independent read-write view of `size()` bytes from offset 0.
    [[nodiscard]] Result<Mapping> map() const;

    const std::string& name() const noexcept { return name_; }
    std::uint64_t size() const noexcept { return size_; }

    PlatformHandle(PlatformHandle&& other) noexcept;
    PlatformHandle& operator=(PlatformHandle&&) = delete;
    PlatformHandle(const PlatformHandle&) = delete;
    PlatformHandle& operator=(const PlatformHandle&) = delete;
    ~PlatformHandle();

private:
    PlatformHandle(std::string name, std::intptr_t handle, std::uint64_t size)
        : name_(std::move(name)), handle_(handle), size_(size) {}

    std::string name_;
    std::intptr_t handle_;  // fd on POSIX, HANDLE on Windows; kNoHandle once moved from
    std::uint64_t size_;

    static constexpr std::intptr_t kNoHandle = -1;
};

}  // namespace velmora
