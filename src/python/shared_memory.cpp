// SharedMemory: a handle to one named segment, made only by create() and
// open(), which hands out views (map) and rings (spsc) over the whole segment.
#include <optional>
#include <string>

#include "python/lifecycle.hpp"
#include "python/support.hpp"
#include "python/wait_host.hpp"
#include "platform/platform.hpp"
#include "core/claims.hpp"
#include "python/ref.hpp"
#include "python/spsc_ring.hpp"
#include "python/mapped_view.hpp"
#include "python/segments.hpp"

namespace velmora::py {
namespace {

// The handle (empty once closed) and the role it was made in. The name is
// kept apart so that a closed object can still say which segment it was.
struct SegmentState {
    std::optional<PlatformHandle> handle;
    bool creator;
    std::string name;
    bool anonymous;

    SegmentState(PlatformHandle h, bool made)
        : handle(std::move(h)), creator(made), name(handle->name()), anonymous(handle->anonymous()) {}
};

// Runs a platform call with the interpreter lock released: reserving a large
// segment's pages, or waiting for a creator to size one, can take a while.
// The call touches no Python object (the name points into an argument the
// caller holds).
template <class Call>
auto without_gil(Call call) {
    const GilRelease released;
    return call();
}

PyObject* wrap(Result<PlatformHandle> made, bool creator) {
    if (!made) return raise(made.error());
    return new_object(shared_memory_type(), SegmentState(std::move(made).value(), creator));
}

PyObject* create(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"name", "size", "replace"};
    static const Signature sig{"SharedMemory.create()", names, 3, 2, 1};
    PyObject* argv[3];
    SegmentArg segment;
    std::uint64_t size = 0;
    if (!bind(sig, args, nargs, kwnames, argv) || !arg_create_segment(argv[0], argv[2], segment) ||
        !arg_u64(argv[1], "size", size))
        return nullptr;
    if (size == 0) return raise(Error::value("size must be > 0"));
    return wrap(without_gil([&] { return create_segment(segment, size); }), true);
}

PyObject* open(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"name", "size"};
    static const Signature sig{"SharedMemory.open()", names, 2, 1};
    PyObject* argv[2];
    SegmentArg segment;
    std::optional<std::uint64_t> size;
    if (!bind(sig, args, nargs, kwnames, argv) || !arg_open_segment(argv[0], segment)) return nullptr;
    if (!omitted(argv[1]) && !arg_u64(argv[1], "size", size.emplace())) return nullptr;
    if (segment.fd) return wrap(without_gil([&] { return PlatformHandle::open_descriptor(*segment.fd, size); }), false);
    return wrap(without_gil([&] { return PlatformHandle::open(segment.name, size); }), false);
}

PyObject* remove(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"name"};
    static const Signature sig{"SharedMemory.remove()", names, 1, 1};
    PyObject* argv[1];
    std::string_view name;
    if (!bind(sig, args, nargs, kwnames, argv) || !arg_text(argv[0], "name", name)) return nullptr;
    if (auto removed = PlatformHandle::remove(name); !removed) return raise(removed.error());
    Py_RETURN_NONE;
}

SegmentState& segment(PyObject* self) { return state_of<SegmentState>(self); }

// The handle of an open object, or nullptr with ValueError raised.
const PlatformHandle* open_handle(PyObject* self) {
    const auto& h = segment(self).handle;
    if (!h) raise_closed("SharedMemory");
    return h ? &*h : nullptr;
}

PyObject* map(PyObject* self, PyObject*) {
    const PlatformHandle* h = open_handle(self);
    return h ? map_view(*h, segment(self).creator) : nullptr;
}

PyObject* spsc(PyObject* self, PyObject*) {
    const PlatformHandle* h = open_handle(self);
    return h ? attach_ring(*h, segment(self).creator) : nullptr;
}

PyObject* name(PyObject* self, PyObject*) {
    const PlatformHandle* h = open_handle(self);
    if (h == nullptr) return nullptr;
    if (h->anonymous()) Py_RETURN_NONE;
    return PyUnicode_DecodeUTF8(h->name().data(), static_cast<Py_ssize_t>(h->name().size()), "strict");
}

PyObject* size(PyObject* self, PyObject*) {
    const PlatformHandle* h = open_handle(self);
    return h ? PyLong_FromUnsignedLongLong(h->size()) : nullptr;
}

// Closes the handle; views and rings made from it keep their own mappings.
// The segment itself stays (remove() deletes the name on Unix).
PyObject* close(PyObject* self, PyObject*) {
    segment(self).handle.reset();
    Py_RETURN_NONE;
}

// Who holds claim `slot` (core/claims.hpp) of the segment, for the command
// line: (pids, held) where pids come from a scan of the processes this user
// can see (this one included) and held says whether any process other than
// this one holds it, whoever it belongs to.
PyObject* claim_holders(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"slot"};
    static const Signature sig{"SharedMemory._claim_holders()", names, 1, 1};
    PyObject* argv[1];
    std::uint64_t slot = 0;
    if (!bind(sig, args, nargs, kwnames, argv) || !arg_u64(argv[0], "slot", slot)) return nullptr;
    const PlatformHandle* h = open_handle(self);
    if (h == nullptr) return nullptr;
    auto site = ClaimSite::of(*h);
    if (!site) return raise(site.error());
    auto elsewhere = site.value()->held_elsewhere(slot);
    if (!elsewhere) return raise(elsewhere.error());
    Ref pids(PyList_New(0));
    if (!pids) return nullptr;
    for (long pid : site.value()->holders(slot)) {
        Ref item(PyLong_FromLong(pid));
        if (!item || PyList_Append(pids.get(), item.get()) != 0) return nullptr;
    }
    return Py_BuildValue("(OO)", pids.get(), elsewhere.value() ? Py_True : Py_False);
}

// Unpickles as SharedMemory.open(name, size): an opener, so nothing is reset.
PyObject* reduce(PyObject* self, PyObject*) {
    const PlatformHandle* h = open_handle(self);
    return h ? reduce_to("SharedMemory", "open", h->name(), h->anonymous() ? h : nullptr, h->size()) : nullptr;
}

PyObject* repr(PyObject* self) {
    const SegmentState& s = segment(self);
    const std::string text = "SharedMemory(name=" + shown_name(s.name, s.anonymous) + ", " +
                             (s.handle ? "size=" + std::to_string(s.handle->size()) + ", role=" +
                                             (s.creator ? "creator" : "opener")
                                       : std::string("closed")) +
                             ")";
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict");
}

PyMethodDef methods[] = {
    fast_method<create>("create",
        "create(name, size, *, replace=False)\n--\n\n"
        "Create a new named segment of `size` bytes and return its handle (role creator).\n\n"
        "On Unix the name must be new: an existing one raises FileExistsError (remove it\n"
        "first to take it over, or pass replace=True to remove a leftover of the name\n"
        "first). On Windows an existing mapping is attached to. A name of None makes an\n"
        "anonymous segment: no name, gone with the last process using it, passed on to\n"
        "child processes only (fork, or a multiprocessing Process's arguments). Raises\n"
        "ValueError if `size` is 0 or the name is invalid, OSError if the operating system\n"
        "refuses.",
        METH_STATIC),
    fast_method<open>("open",
        "open(name, size=None)\n--\n\n"
        "Open an existing named segment (role opener); an int is the descriptor of an\n"
        "anonymous segment in this process (it is duplicated: the caller keeps its own).\n\n"
        "On Unix the size comes from the segment itself (fstat); a `size` may be given to\n"
        "use only that prefix of it. On Windows `size` is required. Raises ValueError for an\n"
        "invalid name, OSError if the segment does not exist or the call fails.",
        METH_STATIC),
    fast_method<remove>("remove",
        "remove(name)\n--\n\n"
        "Remove the named segment: shm_unlink on Unix (existing mappings stay valid until\n"
        "they are released); nothing on Windows, where the segment goes away with its last\n"
        "handle. Raises ValueError for an invalid name, OSError if the Unix call fails.",
        METH_STATIC),
    noargs_method<map>("map",
        "map($self)\n--\n\n"
        "Map the entire segment and return a MappedView.\n\n"
        "On a creator handle the ShmRwLock header is set to the unlocked state. Raises\n"
        "ValueError if the segment is too small for the lock header, OSError if mapping fails."),
    noargs_method<name>("name", "name($self)\n--\n\nReturn the segment name as given to create() or open(); None for an anonymous segment."),
    noargs_method<size>("size", "size($self)\n--\n\nReturn the total segment size in bytes."),
    noargs_method<spsc>("spsc",
        "spsc($self)\n--\n\n"
        "Create a SpscRingBuffer over the entire segment.\n\n"
        "The segment size minus the 24-byte ring header must be a power of two: 4096 + 24 = 4120\n"
        "works, 4096 does not. A creator handle (re)initialises the ring header. Raises\n"
        "ValueError otherwise, OSError if mapping fails."),
    noargs_method<close>("close",
        "close($self)\n--\n\n"
        "Close the handle. Views and rings made from it stay usable; the segment itself\n"
        "stays until remove(). Later calls raise ValueError; a second close() does nothing."),
    fast_method<claim_holders>("_claim_holders",
        "_claim_holders($self, slot)\n--\n\n"
        "(pids, held_elsewhere) of one claim slot: 0 attached views, 1 ring producer,\n"
        "2 ring consumer. For velmora list / inspect / unlock."),
    noargs_method<enter>("__enter__", "__enter__($self)\n--\n\n"),
    {"__exit__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&exit_closing)), METH_FASTCALL,
     "__exit__($self, *exc_info)\n--\n\nClose the handle (the segment is not removed)."},
    noargs_method<reduce>("__reduce__", "__reduce__($self)\n--\n\nPickle as SharedMemory.open(name, size)."),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>(
        "A handle to a named cross-platform shared-memory segment.\n\n"
        "All operating-system work is delegated to the platform layer (Unix: shm_open,\n"
        "ftruncate, mmap; Windows: CreateFileMappingA, MapViewOfFile). Names must start with\n"
        "'/' and have at least one more character; on Windows the leading '/' is stripped\n"
        "before the Win32 calls. On Unix call remove() once when the segment is no longer\n"
        "needed; on Windows it does nothing, because the kernel deletes the object when all\n"
        "handles are closed.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc<SegmentState>)},
    {Py_tp_repr, reinterpret_cast<void*>(&repr_guard<repr>)},
    {Py_tp_methods, methods},
    {0, nullptr},
};

}  // namespace

PyType_Spec shared_memory_spec = {
    "SharedMemory", static_cast<int>(sizeof(Object<SegmentState>)), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots,
};

}  // namespace velmora::py
