// velmora's one error model, shared by the core, the Python binding and the
// public C++ API: every failure travels back as a value (Error inside a
// Result<T> or a Status), never as an exception. The Python binding raises it
// at the method boundary (Os: OSError or its errno subclass, Value: ValueError,
// Permission: PermissionError, Timeout: TimeoutError) with `message` as the
// text, so a C++ caller sees exactly the words a Python caller would.
// Plain C++: no Python.h here.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace velmora {

// What went wrong, in words a caller branches on; the message says the rest.
// The Python binding sets the name (reason_name) as the exception's `reason`.
enum class Reason : unsigned char {
    invalid_argument,  // an argument, or a call at the wrong moment, that no retry fixes
    name,              // a segment name the system cannot use
    exists,            // create of a name that exists
    not_found,         // no segment of that name
    busy,              // a role, claim, loan or open view held by another process or call
    closed,            // the object was closed
    timeout,           // a wait ran past its deadline
    too_large,         // a message or size beyond what the segment, header or buffer holds
    corrupt,           // a header or descriptor in shared memory failed validation
    version,           // a layout version this build does not read
    peer_gone,         // the other side left: end of stream, or no consumer any more
    torn,              // data a writer left half-written when it died
    os,                // any other system failure (`code` has its number)
};

constexpr std::string_view reason_name(Reason r) noexcept {
    switch (r) {
        case Reason::invalid_argument: return "invalid_argument";
        case Reason::name: return "name";
        case Reason::exists: return "exists";
        case Reason::not_found: return "not_found";
        case Reason::busy: return "busy";
        case Reason::closed: return "closed";
        case Reason::timeout: return "timeout";
        case Reason::too_large: return "too_large";
        case Reason::corrupt: return "corrupt";
        case Reason::version: return "version";
        case Reason::peer_gone: return "peer_gone";
        case Reason::torn: return "torn";
        case Reason::os: return "os";
    }
    return "os";
}

struct Error {
    // Os and Permission carry the system's error number in `code` (errno on
    // Unix, the Win32 error code on Windows; 0 when there is none). Timeout is
    // a wait that ran past its deadline. `kind` picks the Python exception
    // class, `reason` what a caller branches on.
    enum class Kind { Os, Value, Permission, Timeout };

    Kind kind;
    std::string message;
    int code = 0;
    Reason reason = Reason::os;

    static Error os(std::string msg, int code = 0, Reason why = Reason::os) {
        return {Kind::Os, std::move(msg), code, why};
    }
    static Error value(std::string msg, Reason why = Reason::invalid_argument) {
        return {Kind::Value, std::move(msg), 0, why};
    }
    static Error permission(std::string msg, int code = 0) { return {Kind::Permission, std::move(msg), code, Reason::os}; }
    static Error timeout(std::string msg) { return {Kind::Timeout, std::move(msg), 0, Reason::timeout}; }
};

// The type's earlier name, kept for C++ callers that spell it so.
using ShmError = Error;

// A value or the error that prevented it, used like std::expected: test it
// (ok(), has_value() or bool), then take value() / *r / r-> or error().
// Taking the side it does not hold throws std::bad_variant_access.
template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : v_(std::move(value)) {}
    Result(Error error) : v_(std::move(error)) {}

    bool ok() const noexcept { return v_.index() == 0; }
    bool has_value() const noexcept { return ok(); }
    explicit operator bool() const noexcept { return ok(); }

    T& value() & { return std::get<0>(v_); }
    const T& value() const& { return std::get<0>(v_); }
    T&& value() && { return std::get<0>(std::move(v_)); }
    const Error& error() const { return std::get<1>(v_); }

    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }
    T&& operator*() && { return std::move(*this).value(); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }

private:
    std::variant<T, Error> v_;
};

// Success, or the error that happened. An empty Status is success.
class [[nodiscard]] Status {
public:
    Status() = default;
    Status(Error error) : e_(std::move(error)) {}

    bool ok() const noexcept { return !e_.has_value(); }
    explicit operator bool() const noexcept { return ok(); }
    const Error& error() const { return *e_; }

private:
    std::optional<Error> e_;
};

}  // namespace velmora
