// Shared lifetime machinery of the three classes.
#include "module/py_lifecycle.hpp"

#include "module/py_ref.hpp"

namespace velmora::py {

PyObject* raise_closed(const char* cls) {
    PyErr_Format(PyExc_ValueError, "%s is closed", cls);
    return nullptr;
}

void wait_until_unused(const std::atomic<int>& count) {
    NoHost never_gives_up;
    const GilRelease released;
    (void)wait_until([&] { return count.load() == 0; }, Deadline::never(), never_gives_up);
}

PyObject* enter(PyObject* self, PyObject*) { return Py_NewRef(self); }

PyObject* exit_closing(PyObject* self, PyObject* const*, Py_ssize_t) {
    Ref done(PyObject_CallMethod(self, "close", nullptr));
    if (!done) return nullptr;
    Py_RETURN_FALSE;
}

PyObject* reduce_by_name(const std::string& name, std::uint64_t size, const char* method) {
    Ref text(PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), "strict"));
    Ref open(PyObject_GetAttrString(reinterpret_cast<PyObject*>(shared_memory_type()), "open"));
    if (!text || !open) return nullptr;
    if (method == nullptr) return Py_BuildValue("(O(OK))", open.get(), text.get(), static_cast<unsigned long long>(size));
    // open(name, size).method(): the segment object pickles by name itself.
    Ref segment(PyObject_CallFunction(open.get(), "OK", text.get(), static_cast<unsigned long long>(size)));
    Ref operator_module(segment ? PyImport_ImportModule("operator") : nullptr);
    Ref caller(operator_module ? PyObject_CallMethod(operator_module.get(), "methodcaller", "s", method) : nullptr);
    if (!caller) return nullptr;
    return Py_BuildValue("(O(O))", caller.get(), segment.get());
}

}  // namespace velmora::py
