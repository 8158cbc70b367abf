// Shared lifetime machinery of the three classes.
#include "python/lifecycle.hpp"

#include "python/ref.hpp"

#include <string_view>

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

// The pickled form names the module's private `_reopen`: the classes report
// __module__ "builtins", so pickle cannot find them (or their static methods)
// by name, but it finds a function of the velmora module.
PyObject* reduce_by_name(const std::string& name, std::uint64_t size, const char* method) {
    Ref module(PyImport_ImportModule("velmora"));
    Ref reopen(module ? PyObject_GetAttrString(module.get(), "_reopen") : nullptr);
    Ref text(reopen ? PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), "strict") : nullptr);
    if (!text) return nullptr;
    return Py_BuildValue("(O(OKs))", reopen.get(), text.get(), static_cast<unsigned long long>(size),
                         method == nullptr ? "" : method);
}

// _reopen(name, size, method): SharedMemory.open(name, size), then .map() or
// .spsc() when `method` names one; "mpsc" is MpscRingBuffer.open(name).
PyObject* reopen(PyObject*, PyObject* args) {
    PyObject* name = nullptr;
    PyObject* size = nullptr;
    const char* method = nullptr;
    if (!PyArg_ParseTuple(args, "OOs", &name, &size, &method)) return nullptr;
    if (std::string_view(method) == "mpsc")
        return PyObject_CallMethod(reinterpret_cast<PyObject*>(mpsc_ring_buffer_type()), "open", "O", name);
    Ref open(PyObject_GetAttrString(reinterpret_cast<PyObject*>(shared_memory_type()), "open"));
    Ref segment(open ? PyObject_CallFunctionObjArgs(open.get(), name, size, nullptr) : nullptr);
    if (!segment || *method == '\0') return segment.release();
    return PyObject_CallMethod(segment.get(), method, nullptr);
}

}  // namespace velmora::py
