// An owned (strong) reference to a Python object, released when it goes out
// of scope, so every early return on a failed C API call drops what was built.
#pragma once

#include "python/support.hpp"

#include <utility>

namespace velmora::py {

class Ref {
public:
    Ref() = default;
    // Takes over `owned`, a new reference or nullptr.
    explicit Ref(PyObject* owned) noexcept : p_(owned) {}
    // Adds a reference to a borrowed object (nullptr stays nullptr).
    [[nodiscard]] static Ref borrow(PyObject* borrowed) noexcept {
        Py_XINCREF(borrowed);
        return Ref(borrowed);
    }
    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        Ref(std::move(other)).swap(*this);
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    // Hands the reference to the caller.
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }

private:
    void swap(Ref& other) noexcept { std::swap(p_, other.p_); }

    PyObject* p_ = nullptr;
};

}  // namespace velmora::py
