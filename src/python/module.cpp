// Module definition: multi-phase initialisation with one execution slot that
// registers the classes of python/classes.hpp. The class objects are made once per process.
#include "platform/platform.hpp"
#include "python/kinds.hpp"
#include "python/lifecycle.hpp"
#include "python/support.hpp"
#include "python/ref.hpp"
#include "python/wait_host.hpp"

#include <string>

namespace velmora::py {
namespace {

// The interpreter that made the class objects. They are process-wide, so an
// import in another (sub-)interpreter must fail rather than share them.
std::int64_t owner_interpreter = -1;

bool check_interpreter() {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id < 0) return false;
    if (owner_interpreter == -1) owner_interpreter = id;
    if (owner_interpreter == id) return true;
    PyErr_SetString(PyExc_ImportError, "velmora cannot be imported in more than one interpreter per process");
    return false;
}

// A class should read <class 'SharedMemory'> with __module__ "builtins", as
// the interpreter's own types do. The PyType_Spec gets a dotted name (an undotted one
// draws a DeprecationWarning), which sets __module__; renaming the class to its
// bare name then makes the printed type name bare too.
PyObject* make_type(PyType_Spec& type_spec) {
    const std::string bare = type_spec.name;
    // The type may keep pointing at this name; like the class, it lives
    // for the rest of the process.
    const auto* dotted = new std::string("builtins." + bare);
    PyType_Spec named = type_spec;
    named.name = dotted->c_str();
    Ref type(PyType_FromSpec(&named));
    const Ref text(type ? PyUnicode_FromString(bare.c_str()) : nullptr);
    if (!text || PyObject_SetAttrString(type.get(), "__name__", text.get()) < 0) return nullptr;
    return type.release();
}

PyTypeObject* cached_type(PyObject*& cache, PyType_Spec& type_spec) {
    if (!check_interpreter()) return nullptr;
    if (cache == nullptr) cache = make_type(type_spec);
    return reinterpret_cast<PyTypeObject*>(cache);
}

Ref all_list(PyObject* module) {
    Ref all(PyObject_GetAttrString(module, "__all__"));
    if (all || !PyErr_ExceptionMatches(PyExc_AttributeError)) return all;
    PyErr_Clear();
    all = Ref(PyList_New(0));
    if (all && PyModule_AddObjectRef(module, "__all__", all.get()) < 0) return Ref();
    return all;
}

bool add_class(PyObject* module, const char* name, PyTypeObject* type) {
    if (type == nullptr) return false;
    const Ref all = all_list(module);
    const Ref text(all ? PyUnicode_FromString(name) : nullptr);
    return text && PyList_Append(all.get(), text.get()) == 0 &&
           PyModule_AddObjectRef(module, name, reinterpret_cast<PyObject*>(type)) == 0;
}

#ifndef VELMORA_VERSION
#define VELMORA_VERSION "0+unknown"
#endif

// atexit hook (see wait_host.hpp): from here on only daemon threads are left.
PyObject* at_exit(PyObject*, PyObject*) {
    g_exit.exiting.store(true, std::memory_order_release);
    Py_RETURN_NONE;
}

PyMethodDef at_exit_def = {"_at_exit", &at_exit, METH_NOARGS, nullptr};

// Notes the main thread and registers the atexit hook.
bool watch_exit(PyObject* module) {
    const Ref threading(PyImport_ImportModule("threading"));
    const Ref main(threading ? PyObject_CallMethod(threading.get(), "main_thread", nullptr) : nullptr);
    const Ref ident(main ? PyObject_GetAttrString(main.get(), "ident") : nullptr);
    if (!ident) return false;
    g_exit.main_thread.store(PyLong_AsUnsignedLong(ident.get()));
    if (PyErr_Occurred()) return false;
    const Ref hook(PyCFunction_NewEx(&at_exit_def, nullptr, module));
    const Ref atexit(hook ? PyImport_ImportModule("atexit") : nullptr);
    const Ref done(atexit ? PyObject_CallMethod(atexit.get(), "register", "O", hook.get()) : nullptr);
    return static_cast<bool>(done);
}

int exec_module(PyObject* module) {
    if (!PyModule_Check(module)) return PyErr_BadArgument(), -1;
    if (!watch_exit(module)) return -1;
    if (PyModule_AddStringConstant(module, "__version__", VELMORA_VERSION) < 0) return -1;
    const Ref kinds(kinds_table());
    if (!kinds || PyModule_AddObjectRef(module, "_kinds", kinds.get()) < 0) return -1;
#define VELMORA_ADD_CLASS(name, stem) \
    if (!add_class(module, name, stem##_type())) return -1;
    VELMORA_CLASSES(VELMORA_ADD_CLASS)
#undef VELMORA_ADD_CLASS
    if (!add_class(module, "LockRecoveredWarning", reinterpret_cast<PyTypeObject*>(lock_recovered_warning())))
        return -1;
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
    {0, nullptr},
};

const char module_doc[] =
    "Fast, byte-exact data exchange between processes through named shared memory.\n\n"
    "SharedMemory creates, opens and removes a named segment; MappedView reads and\n"
    "writes it under a cross-process reader/writer lock, raw or as typed values;\n"
    "SpscRingBuffer passes messages from one producer to one consumer without locks.\n\n"
    "    import velmora\n"
    "    ring = velmora.SharedMemory.create(\"/jobs\", 4096 + 24).spsc()   # producer\n"
    "    ring.put(b\"hello\")\n"
    "    ring = velmora.SharedMemory.open(\"/jobs\").spsc()               # consumer\n"
    "    ring.get(timeout=1.0)                                            # b'hello'\n";

// _check_name(name): the platform's rule for a segment name, for the
// package's readers of /dev/shm; ValueError with the rule's text if broken.
PyObject* check_name(PyObject*, PyObject* arg) {
    std::string_view name;
    if (!arg_text(arg, "name", name)) return nullptr;
    if (Status valid = validate_name(name); !valid) return raise(valid.error());
    Py_RETURN_NONE;
}

PyMethodDef module_functions[] = {
    {"_check_name", &check_name, METH_O,
     "_check_name(name)\n--\n\nRaise ValueError if `name` cannot name a segment on any platform."},
    {"_reopen", &reopen, METH_VARARGS,
     "_reopen(class_name, opener, *args)\n--\n\nUnpickling helper: the class's static method `opener`(*args)."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "velmora._velmora", module_doc, 0, module_functions, module_slots, nullptr, nullptr, nullptr,
};

#define VELMORA_CLASS_CACHE(name, stem) PyObject* stem##_cache = nullptr;
VELMORA_CLASSES(VELMORA_CLASS_CACHE)
#undef VELMORA_CLASS_CACHE

}  // namespace

#define VELMORA_CLASS_TYPE(name, stem) \
    PyTypeObject* stem##_type() { return cached_type(stem##_cache, stem##_spec); }
VELMORA_CLASSES(VELMORA_CLASS_TYPE)
#undef VELMORA_CLASS_TYPE

}  // namespace velmora::py

PyMODINIT_FUNC PyInit__velmora(void) { return PyModuleDef_Init(&velmora::py::module_def); }
