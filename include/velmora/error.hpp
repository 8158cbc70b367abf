// velmora's one error model, shared by the core, the Python binding and the
// public C++ API: every failure travels back as a value (ShmError inside a
// Result<T> or a Status), never as an exception. The Python binding raises it
// at the method boundary (Os: OSError or its errno subclass, Value: ValueError,
// Permission: PermissionError, Timeout: TimeoutError) with `message` as the
// text, so a C++ caller sees exactly the words a Python caller would.
// Plain C++: no Python.h here.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace velmora {

struct ShmError {
    // Os and Permission carry the system's error number in `code` (errno on
    // Unix, the Win32 error code on Windows; 0 when there is none). Timeout is
    // a wait that ran past its deadline.
    enum class Kind { Os, Value, Permission, Timeout };

    Kind kind;
    std::string message;
    int code = 0;

    static ShmError os(std::string msg, int code = 0) { return {Kind::Os, std::move(msg), code}; }
    static ShmError value(std::string msg) { return {Kind::Value, std::move(msg), 0}; }
    static ShmError permission(std::string msg, int code = 0) { return {Kind::Permission, std::move(msg), code}; }
    static ShmError timeout(std::string msg) { return {Kind::Timeout, std::move(msg), 0}; }
};

// A value or the error that prevented it, used like std::expected: test it
// (ok(), has_value() or bool), then take value() / *r / r-> or error().
// Taking the side it does not hold throws std::bad_variant_access.
template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : v_(std::move(value)) {}
    Result(ShmError error) : v_(std::move(error)) {}

    bool ok() const noexcept { return v_.index() == 0; }
    bool has_value() const noexcept { return ok(); }
    explicit operator bool() const noexcept { return ok(); }

    T& value() & { return std::get<0>(v_); }
    const T& value() const& { return std::get<0>(v_); }
    T&& value() && { return std::get<0>(std::move(v_)); }
    const ShmError& error() const { return std::get<1>(v_); }

    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }
    T&& operator*() && { return std::move(*this).value(); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }

private:
    std::variant<T, ShmError> v_;
};

// Success, or the error that happened. An empty Status is success.
class [[nodiscard]] Status {
public:
    Status() = default;
    Status(ShmError error) : e_(std::move(error)) {}

    bool ok() const noexcept { return !e_.has_value(); }
    explicit operator bool() const noexcept { return ok(); }
    const ShmError& error() const { return *e_; }

private:
    std::optional<ShmError> e_;
};

}  // namespace velmora
