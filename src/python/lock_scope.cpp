// LockScope: `with view.write_locked():` / `with view.read_locked():`. The
// object only names the view and the mode; the hold itself lives in the view
// (one per view), so the view's own calls can tell they run inside the block.
#include "python/lock_scope.hpp"

#include <utility>

#include "python/mapped_view.hpp"
#include "python/ref.hpp"

namespace velmora::py {
namespace {

struct ScopeState {
    Ref view;
    bool exclusive;

    ScopeState(Ref v, bool excl) noexcept : view(std::move(v)), exclusive(excl) {}
    ScopeState(ScopeState&&) noexcept = default;
};

ScopeState& scope(PyObject* self) noexcept { return state_of<ScopeState>(self); }

PyObject* scope_enter(PyObject* self, PyObject*) {
    const ScopeState& s = scope(self);
    return enter_lock_scope(s.view.get(), s.exclusive);
}

// Never suppresses the block's exception.
PyObject* scope_exit(PyObject* self, PyObject* const*, Py_ssize_t) {
    Ref done(leave_lock_scope(scope(self).view.get()));
    if (!done) return nullptr;
    Py_RETURN_FALSE;
}

PyObject* scope_exit_guard(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept {
    try { return scope_exit(self, args, nargs); } catch (...) { return raise_current_exception(); }
}

PyObject* repr(PyObject* self) {
    return PyUnicode_FromString(scope(self).exclusive ? "LockScope(write)" : "LockScope(read)");
}

PyMethodDef methods[] = {
    noargs_method<scope_enter>("__enter__",
        "__enter__($self)\n--\n\nTake the view's lock for the block; returns the view."),
    {"__exit__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&scope_exit_guard)), METH_FASTCALL,
     "__exit__($self, *exc_info)\n--\n\nRelease the view's lock."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>(
        "The lock of a MappedView held for a `with` block: made by the view's\n"
        "write_locked() and read_locked(). The lock is taken when the block is entered\n"
        "and released when it is left, however it is left.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc<ScopeState>)},
    {Py_tp_repr, reinterpret_cast<void*>(&repr_guard<repr>)},
    {Py_tp_methods, methods},
    {0, nullptr},
};

}  // namespace

PyType_Spec lock_scope_spec = {
    "LockScope", static_cast<int>(sizeof(Object<ScopeState>)), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots,
};

PyObject* new_lock_scope(PyObject* view, bool exclusive) {
    PyTypeObject* type = lock_scope_type();
    if (type == nullptr) return nullptr;
    return new_object(type, ScopeState(Ref::borrow(view), exclusive));
}

}  // namespace velmora::py
