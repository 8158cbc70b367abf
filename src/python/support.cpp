// Error raising, argument binding and conversion for every method.
#include "python/support.hpp"

#include <cerrno>
#include <optional>
#include <string>

#include "platform/platform.hpp"
#include "python/ref.hpp"
#include "python/wait_host.hpp"

namespace velmora::py {
namespace {

// The system's error number as errno and as the OSError subclass Python code
// branches on. On Windows `code` is a Win32 error, mapped to its errno.
struct OsCode {
    PyObject* type;
    int errno_value;
};

OsCode os_code(const Error& err) {
#ifdef _WIN32
    switch (err.code) {
        case 2: return {PyExc_FileNotFoundError, 2};     // ERROR_FILE_NOT_FOUND: ENOENT
        case 183: return {PyExc_FileExistsError, 17};    // ERROR_ALREADY_EXISTS: EEXIST
        case 5: return {PyExc_PermissionError, 13};      // ERROR_ACCESS_DENIED: EACCES
    }
#else
    switch (err.code) {
        case ENOENT: return {PyExc_FileNotFoundError, ENOENT};
        case EEXIST: return {PyExc_FileExistsError, EEXIST};
        case EAGAIN: return {PyExc_BlockingIOError, EAGAIN};  // a role held by another process
        case EACCES:
        case EPERM: return {PyExc_PermissionError, err.code};
    }
#endif
    return {err.kind == Error::Kind::Permission ? PyExc_PermissionError : PyExc_OSError, err.code};
}

// Builds `type(message)` with the message as the only argument: going through
// an instance keeps OSError from reading a tuple as (errno, strerror).
Ref with_message(PyObject* type, const char* text, Py_ssize_t len) {
    Ref msg(PyUnicode_DecodeUTF8(text, len, "replace"));
    return Ref(msg ? PyObject_CallFunctionObjArgs(type, msg.get(), nullptr) : nullptr);
}

// Sets `exc.reason` to the reason's name; false with an exception set when
// that failed.
bool set_reason(PyObject* exc, Reason why) {
    const std::string_view name = reason_name(why);
    Ref text(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
    return text && PyObject_SetAttrString(exc, "reason", text.get()) == 0;
}

void raise_with_message(PyObject* type, const char* text, Py_ssize_t len, std::optional<Reason> why = {}) {
    Ref exc = with_message(type, text, len);
    if (!exc || (why && !set_reason(exc.get(), *why))) return;
    PyErr_SetObject(type, exc.get());
}

// An OS failure: the matching OSError subclass, one argument, and .errno
// (and .winerror on Windows) set on the instance when the code is known.
void raise_os(const Error& err) {
    const OsCode os = os_code(err);
    Ref exc = with_message(os.type, err.message.data(), static_cast<Py_ssize_t>(err.message.size()));
    if (!exc || !set_reason(exc.get(), err.reason)) return;
    if (err.code != 0) {
        Ref number(PyLong_FromLong(os.errno_value));
        if (!number || PyObject_SetAttrString(exc.get(), "errno", number.get()) < 0) return;
#ifdef _WIN32
        Ref win(PyLong_FromLong(err.code));
        if (!win || PyObject_SetAttrString(exc.get(), "winerror", win.get()) < 0) return;
#endif
    }
    PyErr_SetObject(os.type, exc.get());
}

// The class for failures that valid use never causes. It derives directly
// from BaseException so that `except Exception` does not swallow a bug.
PyObject* internal_error_type() {
    static PyObject* type = PyErr_NewException("velmora.InternalError", PyExc_BaseException, nullptr);
    return type;
}

}  // namespace

PyObject* raise(const Error& err) {
    const auto len = static_cast<Py_ssize_t>(err.message.size());
    switch (err.kind) {
        case Error::Kind::Os:
        case Error::Kind::Permission: raise_os(err); break;
        case Error::Kind::Timeout:
            raise_with_message(PyExc_TimeoutError, err.message.data(), len, err.reason);
            break;
        case Error::Kind::Value: raise_with_message(PyExc_ValueError, err.message.data(), len, err.reason); break;
    }
    return nullptr;
}

PyObject* raise(PyObject* type, Reason why, std::string_view text) {
    raise_with_message(type, text.data(), static_cast<Py_ssize_t>(text.size()), why);
    return nullptr;
}

PyObject* lock_recovered_warning() {
    static PyObject* type = PyErr_NewExceptionWithDoc(
        "velmora.LockRecoveredWarning",
        "A lock was taken back from a process that died holding it: what that process was\n"
        "writing may be half-written.",
        PyExc_UserWarning, nullptr);
    return type;
}

PyObject* raise_internal(const char* what) {
    PyObject* type = internal_error_type();
    if (type == nullptr) return nullptr;
    const std::string text(what);
    raise_with_message(type, text.data(), static_cast<Py_ssize_t>(text.size()));
    return nullptr;
}

PyObject* raise_current_exception() noexcept {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        raise_internal(e.what());
    } catch (...) {
        raise_internal("unknown internal failure");
    }
    return nullptr;
}

// ---- argument binding ------------------------------------------------------

namespace {

std::string quoted_list(const Signature& sig, PyObject* const* out, Py_ssize_t& n) {
    std::string names;
    n = 0;
    for (Py_ssize_t i = 0; i < sig.required; ++i) n += out[i] == nullptr;
    Py_ssize_t seen = 0;
    for (Py_ssize_t i = 0; i < sig.required; ++i) {
        if (out[i] != nullptr) continue;
        if (seen > 0) names += n == 2 ? " and " : (seen == n - 1 ? ", and " : ", ");
        names += std::string("'") + sig.names[i] + "'";
        ++seen;
    }
    return names;
}

bool report_missing(const Signature& sig, PyObject* const* out) {
    Py_ssize_t n = 0;
    const std::string names = quoted_list(sig, out, n);
    if (n == 0) return true;
    PyErr_Format(PyExc_TypeError, "%s missing %zd required positional argument%s: %s", sig.fn, n,
                 n == 1 ? "" : "s", names.c_str());
    return false;
}

bool report_too_many(const Signature& sig, Py_ssize_t given) {
    const char* verb = given == 1 ? "was" : "were";
    const Py_ssize_t positional = sig.count - sig.keyword_only;
    if (sig.required == positional)
        PyErr_Format(PyExc_TypeError, "%s takes %zd positional arguments but %zd %s given", sig.fn,
                     positional, given, verb);
    else
        PyErr_Format(PyExc_TypeError, "%s takes from %zd to %zd positional arguments but %zd %s given",
                     sig.fn, sig.required, positional, given, verb);
    return false;
}

// Puts one keyword argument in its slot, or raises.
bool bind_keyword(const Signature& sig, PyObject* key, PyObject* value, PyObject** out) {
    for (Py_ssize_t i = 0; i < sig.count; ++i) {
        if (PyUnicode_CompareWithASCIIString(key, sig.names[i]) != 0) continue;
        if (out[i] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", sig.fn, sig.names[i]);
            return false;
        }
        out[i] = value;
        return true;
    }
    PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", sig.fn, key);
    return false;
}

}  // namespace

bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
    if (nargs > sig.count - sig.keyword_only) return report_too_many(sig, nargs);
    for (Py_ssize_t i = 0; i < sig.count; ++i) out[i] = i < nargs ? args[i] : nullptr;
    const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_Size(kwnames);
    if (nkw < 0) return false;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GetItem(kwnames, k);
        if (key == nullptr || !bind_keyword(sig, key, args[nargs + k], out)) return false;
    }
    return report_missing(sig, out);
}

// ---- conversions -------------------------------------------------------------

namespace {

bool wrong_type(PyObject* obj, const char* expected) {
    if (obj == Py_None) {
        PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", expected);
        return false;
    }
    Ref qualname(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__"));
    if (qualname) PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", qualname.get(), expected);
    return false;
}

// Replaces a pending TypeError with "argument '{name}': {message}", keeping
// its __cause__. Other exceptions are left as they are.
void prefix_type_error(const char* name) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    const Ref old_type(type), old(value), old_tb(tb);
    Ref text(old ? PyObject_Str(old.get()) : nullptr);
    Ref msg(text ? PyUnicode_FromFormat("argument '%s': %U", name, text.get()) : nullptr);
    Ref exc(msg ? PyObject_CallFunctionObjArgs(PyExc_TypeError, msg.get(), nullptr) : nullptr);
    if (!exc) return;
    if (PyObject* cause = PyException_GetCause(old.get())) PyException_SetCause(exc.get(), cause);  // steals
    PyErr_SetObject(PyExc_TypeError, exc.get());
}

}  // namespace

bool to_text(PyObject* obj, std::string_view& out) {
    if (!PyUnicode_Check(obj)) return wrong_type(obj, "str");
    Py_ssize_t len = 0;
    const char* data = PyUnicode_AsUTF8AndSize(obj, &len);
    if (data == nullptr) return false;
    out = std::string_view(data, static_cast<std::size_t>(len));
    return true;
}

bool to_u64(PyObject* obj, std::uint64_t& out) {
    if (PyLong_Check(obj)) {
        out = PyLong_AsUnsignedLongLong(obj);
        return !(out == static_cast<std::uint64_t>(-1) && PyErr_Occurred());
    }
    const Ref index(PyNumber_Index(obj));
    if (!index) return false;
    out = PyLong_AsUnsignedLongLong(index.get());
    return !(out == static_cast<std::uint64_t>(-1) && PyErr_Occurred());
}

bool to_i64(PyObject* obj, std::int64_t& out) {
    if (PyLong_Check(obj)) {
        out = PyLong_AsLongLong(obj);
        return !(out == -1 && PyErr_Occurred());
    }
    const Ref index(PyNumber_Index(obj));
    if (!index) return false;
    out = PyLong_AsLongLong(index.get());
    return !(out == -1 && PyErr_Occurred());
}

bool arg_text(PyObject* obj, const char* name, std::string_view& out) {
    if (to_text(obj, out)) return true;
    prefix_type_error(name);
    return false;
}

bool arg_u64(PyObject* obj, const char* name, std::uint64_t& out) {
    if (to_u64(obj, out)) return true;
    prefix_type_error(name);
    return false;
}

bool arg_i64(PyObject* obj, const char* name, std::int64_t& out) {
    if (to_i64(obj, out)) return true;
    prefix_type_error(name);
    return false;
}

bool arg_list(PyObject* obj, const char* name) {
    if (PyList_Check(obj)) return true;
    wrong_type(obj, "list");
    prefix_type_error(name);
    return false;
}

bool timeout_argument(PyObject* arg, Deadline& out) {
    if (omitted(arg)) return out = Deadline::never(), true;
    // An int converts without a float object made on the way.
    const double seconds = PyLong_Check(arg) ? PyLong_AsDouble(arg) : PyFloat_AsDouble(arg);
    if (seconds == -1.0 && PyErr_Occurred()) return false;
    if (seconds != seconds || seconds < 0) {
        raise(PyExc_ValueError, Reason::invalid_argument, "timeout must be a number of seconds >= 0, or None");
        return false;
    }
    out = deadline_within(std::chrono::duration<double>(seconds));
    return true;
}

bool eof_argument(PyObject* arg, bool& out) {
    if (omitted(arg)) return out = false, true;
    const int truth = PyObject_IsTrue(arg);
    if (truth < 0) return false;
    return out = truth != 0, true;
}

bool timeout_eof_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                           Deadline& deadline, bool& eof) {
    PyObject* argv[2];
    deadline = Deadline::never();
    eof = false;
    return bind(sig, args, nargs, kwnames, argv) && timeout_argument(argv[0], deadline) &&
           eof_argument(argv[1], eof);
}

PyObject* raise_queue(const char* which) {
    Ref queue(PyImport_ImportModule("queue"));
    Ref type(queue ? PyObject_GetAttrString(queue.get(), which) : nullptr);
    if (type) PyErr_SetNone(type.get());
    return nullptr;
}


namespace {
// A new object of `length` bytes from `make`, its buffer from `data`.
template <class Make, class Data>
PyObject* new_message(std::uint64_t length, char*& dst, Make make, Data data) {
    if (length > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) return PyErr_NoMemory();
    if (length >= kLargeCopy) keep_freed_heap();
    PyObject* out = make(nullptr, static_cast<Py_ssize_t>(length));
    dst = out ? data(out) : nullptr;
    if (dst == nullptr) Py_XDECREF(out);
    return dst == nullptr ? nullptr : out;
}
}  // namespace

PyObject* new_bytes(std::uint64_t length, char*& dst) {
    return new_message(length, dst, PyBytes_FromStringAndSize, PyBytes_AsString);
}

PyObject* new_bytearray(std::uint64_t length, char*& dst) {
    return new_message(length, dst, PyByteArray_FromStringAndSize, PyByteArray_AsString);
}

}  // namespace velmora::py
