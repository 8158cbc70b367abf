// A byte buffer an object keeps between calls, so that building a payload or
// staging a message allocates nothing once the buffer has grown to the sizes
// in use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

namespace velmora::py {

// Borrows an object's scratch buffer for one call. Encoding and decoding can
// run Python code (a finalizer, an __index__, a signal handler) that may call
// back into the same object; such a nested call finds the slot empty and grows
// its own buffer, so it can never change the bytes this call is still using.
class Scratch {
public:
    explicit Scratch(std::string& slot) noexcept : slot_(slot), buf_(std::move(slot)) {}
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    // A buffer grown past kKeepBytes by one large message is freed rather
    // than kept for the object's lifetime.
    ~Scratch() {
        if (buf_.capacity() <= kKeepBytes) slot_ = std::move(buf_);
    }

    static constexpr std::size_t kKeepBytes = std::size_t{1} << 20;

    // Empty, keeping the capacity.
    std::string& cleared() noexcept {
        buf_.clear();
        return buf_;
    }
    // Room for `n` bytes. Grows only: zero-filling is paid once per new size.
    std::uint8_t* room(std::size_t n) {
        if (buf_.size() < n) buf_.resize(n);
        return reinterpret_cast<std::uint8_t*>(buf_.data());
    }

private:
    std::string& slot_;
    std::string buf_;
};

}  // namespace velmora::py
