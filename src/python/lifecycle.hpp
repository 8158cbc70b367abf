// What every class shares about its lifetime: close(), the "is closed" error,
// the guard of calls in flight and of roles (which close() and fork() respect),
// `with`, and pickling by name.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "python/segments.hpp"
#include "python/support.hpp"
#include "python/wait_host.hpp"

namespace velmora::py {

// Raises ValueError "{cls} is closed"; returns nullptr.
PyObject* raise_closed(const char* cls);

// ---- the lifecycle guard ---------------------------------------------------------
//
// Every class whose calls may let go of the interpreter lock (a wait, a large
// copy) or run Python code in the middle (a finalizer, a __buffer__ method, a
// signal handler) uses this one guard. Its state holds a `Lifecycle life;`
// and has a `void release() noexcept` that frees what close() frees (the
// mapping); then, in a binding file:
//
//     PyObject* method(PyObject* self, ...) {
//         State& s = state_of<State>(self);
//         Call<State> call(s, "ClassName");        // refuses a closed object
//         if (!call) return nullptr;
//         ... acquire buffers, own items (may run Python code) ...
//         if (!call.still_open()) return nullptr;  // that code may have closed it
//         switch (call.claim(kRole, &deadline)) { ... }   // optional: a role
//                                                 // (nullptr: non-blocking)
//         ... work; waits use ClosingWait host(s.life) as their host ...
//     }
//     PyObject* close(PyObject* self, PyObject*) { close_object(state_of<State>(self)); Py_RETURN_NONE; }
//
// What it guarantees:
//   * close() refuses new calls at once; calls in flight on other threads see
//     it at their next host poll and give up with "{cls} is closed"; close()
//     waits for them to leave. The resource is released only after the last
//     call using it has left, whatever the interleaving: when close() runs
//     inside a call of the same thread (a signal handler, a finalizer, a
//     __buffer__ method), that outer call releases it on its way out and
//     raises "is closed" at its next look (its waits end with it).
//   * Roles: up to kMaxRoles exclusive roles per object (a ring's producer and
//     consumer), each held by at most one thread of the process. A blocking
//     call waits for the role within its own deadline (close() and signal
//     handlers end that wait); a non-blocking call does not wait for another
//     thread: claim() says Busy and the call gives its "nothing now" answer
//     (a pop None, a push False). The same thread coming back in while it holds
//     the role (from a signal handler) gets RuntimeError.
//   * fork(): the child starts with no roles held and no calls in flight but
//     those of the forking thread itself (the other threads do not exist there).
//
// Counts and owners change with the interpreter lock held (so plain loads and
// stores do); they are atomic only so that waits may watch them without it.
class Lifecycle {
public:
    static constexpr int kMaxRoles = 2;

    Lifecycle() noexcept;
    // A state moved into its object gets a fresh guard: nothing can be in
    // flight on a state that is not yet an object.
    Lifecycle(Lifecycle&&) noexcept : Lifecycle() {}
    Lifecycle(const Lifecycle&) = delete;
    Lifecycle& operator=(const Lifecycle&) = delete;
    Lifecycle& operator=(Lifecycle&&) = delete;
    ~Lifecycle();

    bool closing() const noexcept { return closing_.load(std::memory_order_acquire); }
    const std::atomic<bool>& closing_flag() const noexcept { return closing_; }

    // Starts close(): false when it had already begun. Then waits, without
    // the interpreter lock, until every call of other threads has left;
    // returns true when no call of this thread is in flight either, so the
    // caller releases the resource now (else the outermost call does).
    bool begin_close() noexcept;
    // Makes role `role` use `owner`, a word that outlives this guard.
    void share_role(int role, std::atomic<unsigned long>& owner) noexcept { roles_[role] = &owner; }
    bool wait_for_other_threads();

private:
    friend class CallBase;

    int calls_of_this_thread() const noexcept;
    // The child's side of fork() (registered with the first guard made).
    static void after_fork_child() noexcept;

    std::atomic<int> busy_{0};
    std::atomic<bool> closing_{false};
    // Each role's owner: this guard's own word, or one shared by every handle
    // of the same ring in the process (share_role), so that threads take
    // turns across handles too.
    std::atomic<unsigned long> own_roles_[kMaxRoles] = {};
    std::atomic<unsigned long>* roles_[kMaxRoles];
    Lifecycle* prev_ = nullptr;  // every live guard of the process, for fork
    Lifecycle* next_ = nullptr;
};

// The result of claiming a role.
enum class Claim {
    Claimed,   // held until the call leaves
    Busy,      // a non-blocking call found it held by another thread
    TimedOut,  // a blocking call's deadline passed while another thread held it
    Failed,    // exception set: closed, held by this thread, or a signal handler raised
};

// The part of a call guard that does not depend on the class.
class CallBase {
public:
    CallBase(const CallBase&) = delete;
    CallBase& operator=(const CallBase&) = delete;

    explicit operator bool() const noexcept { return entered_; }
    // False, with "{cls} is closed" raised, once close() has begun.
    [[nodiscard]] bool still_open() const;
    // Claims role `role` (< kMaxRoles): at once without a deadline (Busy when
    // another thread holds it), else waiting for it until `*deadline`, which
    // is anchored on the clock when it waits, so that the rest of the call
    // counts against the same deadline.
    [[nodiscard]] Claim claim(int role, Deadline* deadline);

protected:
    CallBase(Lifecycle& life, const char* cls);
    // True when this was the last call out of a closed object: its owner
    // releases the resource.
    bool leave() noexcept;

private:
    Lifecycle& life_;
    const char* cls_;
    CallBase* outer_ = nullptr;  // the next call out on this thread
    int role_ = -1;
    bool entered_ = false;
    friend class Lifecycle;
};

// The guard of one call on an object whose state is `State` (see above).
// State::release() must be idempotent: the closer and the last call out may
// both get to it.
template <class State>
class Call : public CallBase {
public:
    Call(State& s, const char* cls) : CallBase(s.life, cls), state_(s) {}
    ~Call() {
        if (leave()) state_.release();
    }

private:
    State& state_;
};

// close(): refuses new calls, ends waits, waits for other threads' calls,
// then releases (or leaves that to this thread's call in flight). A second
// close() does nothing.
template <class State>
void close_object(State& s) {
    if (!s.life.begin_close()) return;
    if (s.life.wait_for_other_threads()) s.release();
}

// A wait's host that also gives up when close() begins on the object.
struct ClosingWait {
    GilWait gil;
    const std::atomic<bool>& closing;
    bool closed = false;
    ClosingWait(const Lifecycle& life) : closing(life.closing_flag()) {}
    void suspend() noexcept { gil.suspend(); }
    bool poll() {
        if (closing.load()) return closed = true;
        if (gil.poll()) return true;
        return closed = closing.load();  // a signal handler may have closed it
    }
};

// __enter__ returns the object, __exit__ closes it (and never suppresses).
PyObject* enter(PyObject* self, PyObject*);
PyObject* exit_closing(PyObject* self, PyObject* const* args, Py_ssize_t nargs);

// The pickled form of an object of class `cls`: unpickling calls its static
// method `opener` with the segment's name (and `size` when given). An
// anonymous segment has no name to pass: it pickles only while a
// multiprocessing Process is being started (spawn, forkserver), as a
// multiprocessing.reduction.DupFd of its descriptor that the child's
// unpickling turns back into a descriptor for `opener`; anywhere else
// pickling it raises TypeError. Under fork nothing is pickled: the child
// inherits the descriptor with the object.
// `anonymous` is the handle's open of an anonymous segment (its descriptor
// must stay open until the process has started), nullptr for a named one.
PyObject* reduce_to(const char* cls, const char* opener, std::string_view name, const PlatformHandle* anonymous,
                    std::optional<std::uint64_t> size = std::nullopt);

// The module's private function that unpickling calls (see reduce_to).
PyObject* reopen(PyObject* module, PyObject* args);

}  // namespace velmora::py
