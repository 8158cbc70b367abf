// Shared lifetime machinery of the three classes.
#include "python/lifecycle.hpp"
#include "python/segments.hpp"

#include "platform/platform.hpp"
#include "python/ref.hpp"

#include <string_view>

namespace velmora::py {

PyObject* raise_closed(const char* cls) {
    return raise(PyExc_ValueError, Reason::closed, std::string(cls) + " is closed");
}

namespace {

// The calls in flight on this thread, innermost first (a call made from a
// signal handler or a finalizer during another sits in front of it).
thread_local CallBase* t_innermost = nullptr;

// Every live guard of the process, changed with the interpreter lock held.
Lifecycle* g_first = nullptr;
bool g_fork_hook = false;

}  // namespace

Lifecycle::Lifecycle() noexcept {
    for (int r = 0; r < kMaxRoles; ++r) roles_[r] = &own_roles_[r];
    if (!g_fork_hook) {
        at_fork_child(&Lifecycle::after_fork_child);
        g_fork_hook = true;
    }
    next_ = g_first;
    if (next_ != nullptr) next_->prev_ = this;
    g_first = this;
}

Lifecycle::~Lifecycle() {
    if (prev_ != nullptr) prev_->next_ = next_;
    else g_first = next_;
    if (next_ != nullptr) next_->prev_ = prev_;
}

int Lifecycle::calls_of_this_thread() const noexcept {
    int n = 0;
    for (const CallBase* c = t_innermost; c != nullptr; c = c->outer_) n += &c->life_ == this;
    return n;
}

// Only the forking thread exists in the child: the calls and roles of the
// others are gone with them, and nothing will ever end those.
void Lifecycle::after_fork_child() noexcept {
    const unsigned long me = PyThread_get_thread_ident();
    g_exit.main_thread.store(me);  // the child's main thread, for CPython too
    for (Lifecycle* l = g_first; l != nullptr; l = l->next_) {
        l->busy_.store(l->calls_of_this_thread());
        for (std::atomic<unsigned long>* owner : l->roles_)
            if (owner->load() != me) owner->store(0);
    }
}

bool Lifecycle::begin_close() noexcept {
    if (closing_.load()) return false;
    closing_.store(true);
    return true;
}

// Under the interpreter lock no call can start (closing is set) and none can
// leave, so a count read with it held is final.
bool Lifecycle::wait_for_other_threads() {
    for (;;) {
        const int mine = calls_of_this_thread();
        if (busy_.load() <= mine) return mine == 0;
        NoHost never_gives_up;
        const GilRelease released;
        (void)wait_until([&] { return busy_.load(std::memory_order_acquire) <= mine; }, Deadline::never(),
                         never_gives_up);
    }
}

CallBase::CallBase(Lifecycle& life, const char* cls) : life_(life), cls_(cls) {
    if (life.closing()) {
        raise_closed(cls);
        return;
    }
    entered_ = true;
    life.busy_.store(life.busy_.load(std::memory_order_relaxed) + 1, std::memory_order_release);
    outer_ = t_innermost;
    t_innermost = this;
}

bool CallBase::leave() noexcept {
    if (!entered_) return false;
    entered_ = false;
    if (role_ >= 0) life_.roles_[role_]->store(0, std::memory_order_release);
    t_innermost = outer_;  // guards are scoped: this is the innermost
    const int left = life_.busy_.load(std::memory_order_relaxed) - 1;
    life_.busy_.store(left, std::memory_order_release);
    return left == 0 && life_.closing();
}

bool CallBase::still_open() const {
    if (!life_.closing()) return true;
    raise_closed(cls_);
    return false;
}

Claim CallBase::claim(int role, Deadline* deadline) {
    std::atomic<unsigned long>& owner = *life_.roles_[role];
    const unsigned long me = PyThread_get_thread_ident();
    for (;;) {
        if (!still_open()) return Claim::Failed;
        const unsigned long holder = owner.load(std::memory_order_acquire);
        if (holder == 0) {
            owner.store(me, std::memory_order_relaxed);
            role_ = role;
            return Claim::Claimed;
        }
        if (holder == me) {
            raise(PyExc_RuntimeError, Reason::busy, std::string(cls_) + " is already in use by this thread in this role");
            return Claim::Failed;
        }
        if (deadline == nullptr) return Claim::Busy;
        *deadline = deadline->anchored();
        ClosingWait host(life_);
        const auto free = [&] { return owner.load(std::memory_order_acquire) == 0 || host.closing.load(); };
        const WaitResult waited = wait_until(free, *deadline, host);
        host.gil.resume();
        if (life_.closing()) continue;  // raised at the top
        if (waited == WaitResult::TimedOut) return Claim::TimedOut;
        if (waited == WaitResult::Abandoned && !host.closed) return Claim::Failed;  // a handler raised
        // Free (or closed): look again with the interpreter lock held.
    }
}

PyObject* enter(PyObject* self, PyObject*) { return Py_NewRef(self); }

PyObject* exit_closing(PyObject* self, PyObject* const*, Py_ssize_t) {
    Ref done(PyObject_CallMethod(self, "close", nullptr));
    if (!done) return nullptr;
    Py_RETURN_FALSE;
}

// The pickled form of a class's object is a call of the class's own opener:
// `_reopen(class_name, opener, *args)`, a function of the extension module.
// The classes report __module__ "builtins", so pickle cannot find them (or
// their static methods) by name, but it finds a function of the module.
namespace {

// What stands for an anonymous segment in the pickle: the DupFd that
// multiprocessing makes for the process it is starting, which hands the
// descriptor over with the child's start; nullptr with TypeError when no
// process is being started.
PyObject* descriptor_for_child(const char* cls, const PlatformHandle& segment) {
    Ref context(PyImport_ImportModule("multiprocessing.context"));
    Ref popen(context ? PyObject_CallMethod(context.get(), "get_spawning_popen", nullptr) : nullptr);
    if (!popen) return nullptr;
    if (popen.get() == Py_None)
        return raise(PyExc_TypeError, Reason::invalid_argument,
                     std::string("an anonymous ") + cls +
                         " can be pickled only to start a multiprocessing Process that takes it "
                         "(Process(target=..., args=(channel,))); give it a name to pass it any other way");
    Ref reduction(PyImport_ImportModule("multiprocessing.reduction"));
    return reduction ? PyObject_CallMethod(reduction.get(), "DupFd", "L",
                                           static_cast<long long>(segment.descriptor()))
                     : nullptr;
}

}  // namespace

PyObject* reduce_to(const char* cls, const char* opener, std::string_view name, const PlatformHandle* anonymous,
                    std::optional<std::uint64_t> size) {
    Ref module(PyImport_ImportModule("velmora._velmora"));
    Ref reopen(module ? PyObject_GetAttrString(module.get(), "_reopen") : nullptr);
    if (!reopen) return nullptr;
    Ref segment(anonymous != nullptr
                    ? descriptor_for_child(cls, *anonymous)
                    : PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), "strict"));
    if (!segment) return nullptr;
    if (size) return Py_BuildValue("(O(ssOK))", reopen.get(), cls, opener, segment.get(),
                                   static_cast<unsigned long long>(*size));
    return Py_BuildValue("(O(ssO))", reopen.get(), cls, opener, segment.get());
}

// _reopen(class_name, opener, *args): the module's class `class_name`, then
// its static method `opener` called with args. A first argument that is
// neither a name nor a descriptor is the DupFd of an anonymous segment
// (reduce_to): its detach() gives this process's descriptor, which the opener
// duplicates and which is closed here once it has.
PyObject* reopen(PyObject* module, PyObject* args) {
    const Py_ssize_t n = PyTuple_Size(args);
    if (n < 0) return nullptr;
    PyObject* cls = n >= 2 ? PyTuple_GetItem(args, 0) : nullptr;
    PyObject* opener = n >= 2 ? PyTuple_GetItem(args, 1) : nullptr;
    if (cls == nullptr || !PyUnicode_Check(cls) || !PyUnicode_Check(opener)) {
        PyErr_SetString(PyExc_TypeError, "_reopen() takes a class name, an opener name and its arguments");
        return nullptr;
    }
    Ref type(PyObject_GetAttr(module, cls));
    if (!type) return nullptr;
    if (!PyType_Check(type.get())) {
        PyErr_Format(PyExc_TypeError, "_reopen(): %R is not a class of the module", cls);
        return nullptr;
    }
    Ref open(PyObject_GetAttr(type.get(), opener));
    Ref rest(open ? PyTuple_GetSlice(args, 2, n) : nullptr);
    if (!rest) return nullptr;
    PyObject* first = n > 2 ? PyTuple_GetItem(rest.get(), 0) : nullptr;
    if (first == nullptr || PyUnicode_Check(first) || PyLong_Check(first))
        return PyObject_Call(open.get(), rest.get(), nullptr);
    Ref fd(PyObject_CallMethod(first, "detach", nullptr));
    if (!fd) return nullptr;
    if (!PyLong_Check(fd.get())) {
        PyErr_SetString(PyExc_TypeError, "_reopen(): a segment's descriptor must be an int");
        return nullptr;
    }
    Py_INCREF(fd.get());
    if (PyTuple_SetItem(rest.get(), 0, fd.get()) != 0) return nullptr;
    Ref opened([&] {
        const DescriptorOpen by_descriptor;
        return Ref(PyObject_Call(open.get(), rest.get(), nullptr));
    }());
    // The opener holds a duplicate (or failed): this descriptor is closed
    // either way, and the opener's exception is the one that stays.
    PyObject *err_type = nullptr, *err_value = nullptr, *err_tb = nullptr;
    if (!opened) PyErr_Fetch(&err_type, &err_value, &err_tb);
    Ref os(PyImport_ImportModule("os"));
    Ref closed(os ? PyObject_CallMethod(os.get(), "close", "O", fd.get()) : nullptr);
    if (!opened) {
        PyErr_Clear();
        PyErr_Restore(err_type, err_value, err_tb);
        return nullptr;
    }
    return closed ? opened.release() : nullptr;
}

}  // namespace velmora::py
