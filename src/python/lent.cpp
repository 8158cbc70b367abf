#include "python/lent.hpp"

#include <cstdint>
#include <cstring>

namespace velmora::py {

LentState& lent(PyObject* self) noexcept { return state_of<LentState>(self); }

void LentState::lend(std::uint8_t* bytes, std::uint64_t length, bool read_only, const MessageShape& s) noexcept {
    data = bytes;
    len = static_cast<Py_ssize_t>(length);
    readonly = read_only;
    std::memcpy(format, s.format, sizeof format);
    format[sizeof format - 1] = 0;
    ndim = static_cast<int>(s.ndim);
    itemsize = static_cast<Py_ssize_t>(s.itemsize);
    Py_ssize_t stride = itemsize;
    for (int i = ndim - 1; i >= 0; --i) {
        shape[i] = static_cast<Py_ssize_t>(s.shape[i]);
        strides[i] = stride;
        stride *= shape[i];
    }
    active = true;
    if (!keep && !pinned) {
        pinned = true;
        lender->pin(*this, +1);
    }
}

MessageShape LentState::shape_of() const noexcept {
    MessageShape s;
    std::memcpy(s.format, format, sizeof format);
    s.ndim = static_cast<std::uint32_t>(ndim);
    s.itemsize = static_cast<std::uint32_t>(itemsize);
    for (int i = 0; i < ndim; ++i) s.shape[i] = static_cast<std::uint64_t>(shape[i]);
    return s;
}

namespace {

// The lending's own pin goes once the lending has ended, or with the lent
// object (`going`): nothing reaches the memory through it after that.
void unpin_lending(LentState& sc, bool going = false) {
    if (!sc.pinned || (sc.active && !going)) return;
    sc.pinned = false;
    sc.lender->pin(sc, -1);
}

// The memoryview __enter__ gave, while something still holds it. The lent
// object keeps only a weak reference: the memoryview holds the lent object
// (its exporter), and a strong reference back would make a cycle that
// nothing collects, keeping the lending open for ever.
Ref live_view(const LentState& sc) {
    if (!sc.view) return Ref();
    Ref v(PyObject_CallNoArgs(sc.view.get()));
    if (!v) PyErr_Clear();
    if (!v || v.get() == Py_None) return Ref();
    return v;
}

// Releases that memoryview. A view something else still exports from
// (memoryview.release() refuses) stays usable by that thing; the lending
// ends all the same.
void release_view(LentState& sc) {
    Ref v = live_view(sc);
    sc.view = Ref();
    if (!v) return;
    Ref done(PyObject_CallMethod(v.get(), "release", nullptr));
    if (!done) PyErr_Clear();
}

#if !(defined(Py_LIMITED_API) && Py_LIMITED_API + 0 >= 0x030B0000)
// CPython 3.10: the stable ABI has no buffer protocol, and a memoryview of
// bare memory (PyMemoryView_FromMemory) owns nothing, so a slice or an array
// made from it would outlive the mapping. The exporter is a ctypes array at
// the lent address instead; its instance holds a capsule that holds the lent
// object and a pin of the mapping, both given up when the last memoryview,
// slice or array made from it goes.

constexpr const char* kPinCapsule = "velmora.lent_pin";

void drop_pin(PyObject* capsule) {
    auto* self = static_cast<PyObject*>(PyCapsule_GetPointer(capsule, kPinCapsule));
    if (self == nullptr) return PyErr_Clear();
    LentState& sc = lent(self);
    sc.lender->pin(sc, -1);
    Py_DECREF(self);
}

// The ctypes array class of `len` bytes (a subclass, so that its instances
// take an attribute), kept for the lengths used lately.
Ref array_class(Py_ssize_t len) {
    static PyObject* classes = nullptr;  // {length: class}, for the process's life
    static PyObject* base = nullptr;     // ctypes.Array
    static PyObject* ubyte = nullptr;    // ctypes.c_ubyte
    if (classes == nullptr) {
        Ref ctypes(PyImport_ImportModule("ctypes"));
        if (!ctypes) return Ref();
        Ref b(PyObject_GetAttrString(ctypes.get(), "Array"));
        Ref u(b ? PyObject_GetAttrString(ctypes.get(), "c_ubyte") : nullptr);
        Ref d(u ? PyDict_New() : nullptr);
        if (!d) return Ref();
        base = b.release(), ubyte = u.release(), classes = d.release();
    }
    Ref key(PyLong_FromSsize_t(len));
    if (!key) return Ref();
    if (PyObject* found = PyDict_GetItemWithError(classes, key.get())) return Ref::borrow(found);
    if (PyErr_Occurred()) return Ref();
    Ref made(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s(O){sOsOss}", "LentMemory", base,
                                   "_type_", ubyte, "_length_", key.get(), "__module__", "velmora"));
    if (!made) return Ref();
    if (PyDict_Size(classes) >= 64) PyDict_Clear(classes);
    if (PyDict_SetItem(classes, key.get(), made.get()) < 0) return Ref();
    return made;
}

Ref pinned_bytes(PyObject* self, LentState& sc) {
    Ref cls = array_class(sc.len);
    Ref array(cls ? PyObject_CallMethod(cls.get(), "from_address", "n",
                                        static_cast<Py_ssize_t>(reinterpret_cast<std::intptr_t>(sc.data)))
                  : nullptr);
    if (!array) return Ref();
    Py_INCREF(self);
    Ref pin(PyCapsule_New(self, kPinCapsule, &drop_pin));
    if (!pin) {
        Py_DECREF(self);
        return Ref();
    }
    sc.lender->pin(sc, +1);  // the capsule's, given up by drop_pin
    if (PyObject_SetAttrString(array.get(), "_pin", pin.get()) < 0) return Ref();
    Ref view(PyMemoryView_FromObject(array.get()));
    Ref bytes(view ? PyObject_CallMethod(view.get(), "cast", "s", "B") : nullptr);
    if (bytes && sc.readonly) bytes = Ref(PyObject_CallMethod(bytes.get(), "toreadonly", nullptr));
    return bytes;
}
#endif

// A memoryview of the lent memory, shaped as described.
Ref view_of_memory(PyObject* self, LentState& sc) {
#if defined(Py_LIMITED_API) && Py_LIMITED_API + 0 >= 0x030B0000
    (void)sc;
    return Ref(PyMemoryView_FromObject(self));
#else
    // A byte view of the memory, cast to its format and shape where
    // memoryview can.
    Ref bytes = pinned_bytes(self, sc);
    if (bytes && (std::strcmp(sc.format, "B") != 0 || sc.ndim != 1)) {
        Ref shape(PyTuple_New(sc.ndim));
        for (int i = 0; shape && i < sc.ndim; ++i) {
            PyObject* n = PyLong_FromSsize_t(sc.shape[i]);
            if (n == nullptr) return Ref();
            PyTuple_SetItem(shape.get(), i, n);
        }
        if (!shape) return Ref();
        // A format or shape memoryview cannot cast to leaves the byte view.
        Ref cast(PyObject_CallMethod(bytes.get(), "cast", "sO", sc.format, shape.get()));
        if (cast) bytes = std::move(cast);
        else PyErr_Clear();
    }
    return bytes;
#endif
}

PyObject* lent_enter(PyObject* self, PyObject*) {
    LentState& sc = lent(self);
    if (Ref v = live_view(sc)) return v.release();
    if (!sc.active) {
        raise(PyExc_ValueError, Reason::closed, sc.lender->gone);
        return nullptr;
    }
    // A copy is viewed directly: the view holds it, whatever outlives the lent object.
    Ref made = sc.keep ? Ref(PyMemoryView_FromObject(sc.keep.get())) : view_of_memory(self, sc);
    if (!made) return nullptr;
    sc.view = Ref(PyWeakref_NewRef(made.get(), nullptr));
    if (!sc.view) return nullptr;
    return made.release();
}

PyObject* lent_exit(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    LentState& sc = lent(self);
    const bool failed = nargs > 0 && args[0] != Py_None;
    release_view(sc);
    const bool ended = !sc.active || sc.lender->end(sc, !failed);
    unpin_lending(sc);
    if (!ended) return nullptr;
    Py_RETURN_FALSE;
}

void lent_dealloc(PyObject* self) {
    LentState& sc = lent(self);
    if (sc.active) {
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        sc.lender->drop(sc);
        PyErr_Clear();
        PyErr_Restore(type, value, tb);
    }
    unpin_lending(sc, true);
    dealloc<LentState>(self);
}

#if defined(Py_LIMITED_API) && Py_LIMITED_API + 0 >= 0x030B0000
int lent_getbuffer(PyObject* self, Py_buffer* view, int flags) {
    LentState& sc = lent(self);
    if (!sc.active) {
        raise(PyExc_BufferError, Reason::closed, sc.lender->gone);
        return -1;
    }
    if (sc.readonly && (flags & PyBUF_WRITABLE) == PyBUF_WRITABLE) {
        raise(PyExc_BufferError, Reason::invalid_argument, "a received message is read-only");
        return -1;
    }
    const bool nd = (flags & PyBUF_ND) == PyBUF_ND;
    view->buf = sc.data;
    view->obj = Py_NewRef(self);
    view->len = sc.len;
    view->readonly = sc.readonly ? 1 : 0;
    view->itemsize = nd ? sc.itemsize : 1;
    view->format = (flags & PyBUF_FORMAT) == PyBUF_FORMAT ? sc.format : nullptr;
    if (!nd && std::strcmp(sc.format, "B") != 0 && view->format != nullptr) view->format = nullptr;
    view->ndim = nd ? sc.ndim : 1;
    view->shape = nd ? sc.shape : nullptr;
    view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? sc.strides : nullptr;
    view->suboffsets = nullptr;
    view->internal = nullptr;
    if (!sc.keep) sc.lender->pin(sc, +1);
    return 0;
}

void lent_releasebuffer(PyObject* self, Py_buffer*) {
    LentState& sc = lent(self);
    if (!sc.keep) sc.lender->pin(sc, -1);
}
#endif

PyMethodDef lent_methods[] = {
    noargs_method<lent_enter>("__enter__", "__enter__($self)\n--\n\nThe memoryview of the lent memory."),
    {"__exit__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&lent_exit)), METH_FASTCALL,
     "__exit__($self, *exc_info)\n--\n\nEnd the lending: publish a loan (discard it after an exception), give a\n"
     "received slot back, consume a ring's message."},
    {nullptr, nullptr, 0, nullptr},
};

template <const char* Doc>
PyType_Slot lent_slots[] = {
    {Py_tp_doc, const_cast<char*>(Doc)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&lent_dealloc)},
    {Py_tp_methods, lent_methods},
#if defined(Py_LIMITED_API) && Py_LIMITED_API + 0 >= 0x030B0000
    {Py_bf_getbuffer, reinterpret_cast<void*>(&lent_getbuffer)},
    {Py_bf_releasebuffer, reinterpret_cast<void*>(&lent_releasebuffer)},
#endif
    {0, nullptr},
};

constexpr char kSlotDoc[] =
    "A slot of a broadcast segment lent for one `with` block: Publisher.loan() or\n"
    "Subscriber.receive_view(). The block gets a memoryview of the slot; leaving it\n"
    "publishes the loan (an exception discards it) or gives the received slot back,\n"
    "and releases the memoryview.";
constexpr char kMessageDoc[] =
    "A ring's next message, read in place for one `with` block (get_view()). The\n"
    "block gets a read-only memoryview of it; leaving the block consumes the message\n"
    "(also after an exception) and releases the memoryview.";

constexpr char kLoanDoc[] =
    "A ring's next message, lent for one `with` block to write in place (loan()). The\n"
    "block gets a writable memoryview of it; leaving the block publishes the message (an\n"
    "exception discards it) and releases the memoryview.";

PyType_Spec lent_specs[] = {
    {"velmora.BroadcastSlot", static_cast<int>(sizeof(Object<LentState>)), 0,
     Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, lent_slots<kSlotDoc>},
    {"velmora.RingMessage", static_cast<int>(sizeof(Object<LentState>)), 0,
     Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, lent_slots<kMessageDoc>},
    {"velmora.RingLoan", static_cast<int>(sizeof(Object<LentState>)), 0,
     Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, lent_slots<kLoanDoc>},
};

}  // namespace

// Not among the module's public classes: each made once per process on first use.
PyObject* new_lent(LentKind kind, PyObject* owner, const Lender& lender) {
    static PyObject* types[3] = {};
    const auto k = static_cast<int>(kind);
    if (types[k] == nullptr) types[k] = PyType_FromSpec(&lent_specs[k]);
    if (types[k] == nullptr) return nullptr;
    return new_object(reinterpret_cast<PyTypeObject*>(types[k]), LentState(owner, &lender));
}

}  // namespace velmora::py
