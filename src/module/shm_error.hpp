// Error values of the core. Every failure the core detects travels back as a
// ShmError until the Python method boundary, where the binding layer raises it.
// Plain C++: no Python.h here, so the core can be built and tested natively.
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

// A value or the error that prevented it.
template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : v_(std::move(value)) {}
    Result(ShmError error) : v_(std::move(error)) {}

    bool ok() const noexcept { return v_.index() == 0; }
    explicit operator bool() const noexcept { return ok(); }

    T& value() & { return std::get<0>(v_); }
    const T& value() const& { return std::get<0>(v_); }
    T&& value() && { return std::get<0>(std::move(v_)); }
    const ShmError& error() const { return std::get<1>(v_); }

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
