// velmora::SharedMemory: one named shared-memory segment, the same object the
// Python module's SharedMemory handles (a Python process can open what C++
// created and the reverse).
//
// Errors: every fallible call returns a velmora::Result<T> or velmora::Status
// (error.hpp) carrying the Error the Python side would raise; nothing here
// throws except std::bad_alloc.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "velmora/error.hpp"

namespace velmora {

class MappedView;
class SpscRingBuffer;

// Move-only owner of the operating-system handle; closing it (destruction)
// never unmaps the Views and Rings made from it, which hold their own mappings.
// Contract: a SharedMemory may be used from any thread, one call at a time; the
// static functions are safe from any thread at any time.
class SharedMemory {
public:
    // A new segment of exactly `size` bytes (> 0). `name` starts with '/' and
    // has at least one more character. On Unix the name must be new.
    [[nodiscard]] static Result<SharedMemory> create(std::string_view name, std::uint64_t size);
    // An existing segment. On Unix `size` may be omitted (the segment's own
    // size is used) or name a prefix of it; Windows needs it.
    [[nodiscard]] static Result<SharedMemory> open(std::string_view name,
                                              std::optional<std::uint64_t> size = std::nullopt);
    // Deletes the name on Unix (existing mappings stay valid); nothing on Windows.
    [[nodiscard]] static Status remove(std::string_view name);

    // The name as given to create() / open(), and the size every mapping covers.
    [[nodiscard]] const std::string& name() const noexcept;
    [[nodiscard]] std::uint64_t size() const noexcept;
    // True for a SharedMemory made by create(): its map() and ring() reset the
    // shared header (lock word / ring counters), as in Python.
    [[nodiscard]] bool creator() const noexcept;

    // A locked view over the whole segment (Python: SharedMemory.map()).
    [[nodiscard]] Result<MappedView> map() const;
    // An SPSC ring over the whole segment (Python: SharedMemory.spsc()); the
    // size minus 24 must be a power of two.
    [[nodiscard]] Result<SpscRingBuffer> ring() const;

    SharedMemory(SharedMemory&&) noexcept;
    SharedMemory& operator=(SharedMemory&&) noexcept;
    SharedMemory(const SharedMemory&) = delete;
    SharedMemory& operator=(const SharedMemory&) = delete;
    ~SharedMemory();

    struct Impl;

private:
    explicit SharedMemory(std::unique_ptr<Impl> impl) noexcept;
    std::unique_ptr<Impl> impl_;
};

// The class's earlier name, kept for C++ callers that spell it so.
using Segment = SharedMemory;

}  // namespace velmora
