// The binding layer's shared machinery: raising Error values, the argument
// binder and converters, C++-exception containment at the method boundary,
// and the generic object layout used by every class.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <exception>
#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif
#include <new>
#include <string_view>
#include <utility>

#include "python/classes.hpp"
#include "velmora/error.hpp"

namespace velmora::py {

// ---- errors -----------------------------------------------------------------

// Raises `err` as OSError / ValueError / PermissionError / TimeoutError with
// the message as the only argument and `reason` set to the name of err.reason.
// Always returns nullptr, for `return raise(e);`.
PyObject* raise(const Error& err);

// Raises `type(text)` with `reason` set, for the failures the binding finds
// itself. Always returns nullptr.
PyObject* raise(PyObject* type, Reason why, std::string_view text);

// Raises the module's internal-failure exception (derives from BaseException).
PyObject* raise_internal(const char* what);

// velmora.LockRecoveredWarning (a UserWarning, shown by default): a lock was
// taken back from a holder that had gone. A borrowed reference; nullptr with
// an exception set when it could not be made.
PyObject* lock_recovered_warning();

// Converts whatever C++ exception is in flight into a Python exception.
PyObject* raise_current_exception() noexcept;

// ---- results ------------------------------------------------------------------

// Copies of at least this many bytes run without the interpreter lock, and
// results this large ask the allocator to keep freed memory (keep_freed_heap).
constexpr std::size_t kLargeCopy = std::size_t{64} << 10;

// A new bytes object of `length` bytes for a message to be copied into, its
// buffer in `dst`; nullptr with an exception set when it cannot be had.
PyObject* new_bytes(std::uint64_t length, char*& dst);
// The same as a bytearray, for a message its receiver owns and may write to.
PyObject* new_bytearray(std::uint64_t length, char*& dst);

// ---- arguments ----------------------------------------------------------------

// A method's parameter list: `fn` as it appears in messages ("SharedMemory.open()"),
// the parameter names, and how many of them (from the front) are required.
// The last `keyword_only` of them may be given by keyword only.
struct Signature {
    const char* fn;
    const char* const* names;
    Py_ssize_t count;
    Py_ssize_t required;
    Py_ssize_t keyword_only = 0;
};

// Binds FASTCALL arguments to `out[0..sig.count)`: borrowed references, nullptr
// for an omitted parameter (callers treat Py_None as omitted where the default
// is None). Raises the TypeError of a missing/unknown/duplicate/surplus argument
// and returns false. The positional-only path does not allocate.
[[nodiscard]] bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames, PyObject** out);

// Converters without an argument name (schema entries and the like). The text
// view points into the str object's cached UTF-8 and lives as long as it does.
[[nodiscard]] bool to_text(PyObject* obj, std::string_view& out);
[[nodiscard]] bool to_u64(PyObject* obj, std::uint64_t& out);
[[nodiscard]] bool to_i64(PyObject* obj, std::int64_t& out);

// The same for a named argument: a TypeError gets "argument '{name}': " in front
// (its __cause__ kept); any other exception passes through unchanged.
[[nodiscard]] bool arg_text(PyObject* obj, const char* name, std::string_view& out);
[[nodiscard]] bool arg_u64(PyObject* obj, const char* name, std::uint64_t& out);
[[nodiscard]] bool arg_i64(PyObject* obj, const char* name, std::int64_t& out);
// Checks that a named argument is a list (or subclass).
[[nodiscard]] bool arg_list(PyObject* obj, const char* name);

inline bool omitted(PyObject* arg) noexcept { return arg == nullptr || arg == Py_None; }

// ---- method boundary --------------------------------------------------------

using FastFn = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
using NoArgsFn = PyObject* (*)(PyObject*, PyObject*);

// Wrappers that keep C++ exceptions from crossing into the interpreter:
// std::bad_alloc becomes MemoryError, anything else the internal failure.
// The one exception let through is the forced unwind of a thread that
// CPython ends at exit (see wait_host.hpp): it is not an error, it must reach
// the thread's start, and so these wrappers are not noexcept.
// The handler of the forced unwind binds a reference to an exception that
// has no C++ object, which the undefined-behaviour sanitizer reports as a
// null reference: the wrappers are left out of that check.
#if defined(__GLIBCXX__)
#define VELMORA_CONTAIN(expr)                                          \
    try { return expr; }                                               \
    catch (abi::__forced_unwind&) { throw; }                           \
    catch (...) { return raise_current_exception(); }
#define VELMORA_BOUNDARY __attribute__((no_sanitize("undefined")))
#else
#define VELMORA_CONTAIN(expr)                                          \
    try { return expr; } catch (...) { return raise_current_exception(); }
#define VELMORA_BOUNDARY
#endif

template <FastFn F>
VELMORA_BOUNDARY PyObject* fast_guard(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    VELMORA_CONTAIN(F(self, args, nargs, kw))
}
template <NoArgsFn F>
VELMORA_BOUNDARY PyObject* noargs_guard(PyObject* self, PyObject* unused) {
    VELMORA_CONTAIN(F(self, unused))
}

template <reprfunc F>
VELMORA_BOUNDARY PyObject* repr_guard(PyObject* self) {
    VELMORA_CONTAIN(F(self))
}

template <FastFn F>
inline PyMethodDef fast_method(const char* name, const char* doc, int extra_flags = 0) {
    return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&fast_guard<F>)),
            METH_FASTCALL | METH_KEYWORDS | extra_flags, doc};
}
template <NoArgsFn F>
inline PyMethodDef noargs_method(const char* name, const char* doc) {
    return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&noargs_guard<F>)),
            METH_NOARGS, doc};
}

// ---- objects ----------------------------------------------------------------

// Every class is a PyObject header followed by one C++ state value, built with
// placement new and destroyed in tp_dealloc; the state's destructor releases
// the OS resource it owns.
template <class State>
struct Object {
    PyObject_HEAD
    State state;
};

template <class State>
State& state_of(PyObject* self) noexcept {
    return reinterpret_cast<Object<State>*>(self)->state;
}

// Allocates an instance of `type` and moves `state` into it. If allocation
// fails, `state` is destroyed by the caller's scope, releasing its resource.
template <class State>
PyObject* new_object(PyTypeObject* type, State&& state) {
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* self = alloc(type, 0);
    if (self == nullptr) return nullptr;
    new (&reinterpret_cast<Object<State>*>(self)->state) State(std::move(state));
    return self;
}

template <class State>
void dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    try {
        state_of<State>(self).~State();
    } catch (...) {
        raise_current_exception();
        PyErr_WriteUnraisable(nullptr);
    }
    auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_fn(self);
    Py_DECREF(type);
}

// The classes (python/classes.hpp), created once per process on first use
// (nullptr and an exception set on failure). Each class's source provides its
// PyType_Spec.
#define VELMORA_DECLARE_CLASS(name, stem) \
    PyTypeObject* stem##_type();          \
    extern PyType_Spec stem##_spec;
VELMORA_CLASSES(VELMORA_DECLARE_CLASS)
#undef VELMORA_DECLARE_CLASS

}  // namespace velmora::py
