// Shared lifetime machinery of the three classes.
#include "python/lifecycle.hpp"

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
