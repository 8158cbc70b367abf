// The binding's host for the module's one wait (platform/wait.hpp): a wait
// that outlasts its short spin releases the interpreter lock, so the other
// threads of the process keep running, and takes it back only to run signal
// handlers (Ctrl-C raises KeyboardInterrupt in the main thread) and, at the
// end of the scope, to return to Python.
#pragma once

#include "python/support.hpp"
#include "platform/wait.hpp"

#include <atomic>
#include <optional>
#include <utility>

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#define VELMORA_FORCED_UNWIND 1
#endif

namespace velmora::py {

// At interpreter exit CPython ends a daemon thread that tries to take the
// interpreter lock back with pthread_exit, whose forced unwind runs every
// destructor on the way up. So nothing that may take the lock back (this
// header's guards, the waits, the method wrappers) is noexcept, and the thread
// notes it is ending: a destructor that would touch a Python object then
// leaves it alone (the lock is not held, and the process is going away).
inline thread_local bool t_thread_ending = false;

inline bool thread_ending() noexcept { return t_thread_ending; }

// A forced unwind can only pass through this module's frames when the module
// and the interpreter share one unwinder, which a statically linked C++
// runtime does not. So the binding keeps daemon threads from meeting it:
// only the main thread ever runs signal handlers, so other threads never take
// the interpreter lock back in the middle of a wait; and once the module's
// atexit hook has run (by then only daemon threads are left), a thread other
// than the main one that finishes a wait keeps waiting for the exit rather
// than take the lock back.
struct ExitState {
    std::atomic<unsigned long> main_thread{0};
    std::atomic<bool> exiting{false};
};
inline ExitState g_exit;

inline bool on_main_thread() noexcept {
    return PyThread_get_thread_ident() == g_exit.main_thread.load(std::memory_order_relaxed);
}

inline void restore_thread(PyThreadState* saved) {
    if (g_exit.exiting.load(std::memory_order_acquire) && !on_main_thread())
        for (;;) sleep_ns(1'000'000'000);  // ended by the process's exit
#if defined(VELMORA_FORCED_UNWIND)
    try {
        PyEval_RestoreThread(saved);
    } catch (...) {  // a C function: only the forced unwind comes out of it
        t_thread_ending = true;
        throw;
    }
#else
    PyEval_RestoreThread(saved);
#endif
}

// Declare it before anything that must be released without the interpreter
// lock (a lock guard), so that those go first when the scope ends. Between
// suspend() and the end of the scope, no Python object may be touched.
class GilWait {
public:
    GilWait() = default;
    GilWait(const GilWait&) = delete;
    GilWait& operator=(const GilWait&) = delete;
    ~GilWait() noexcept(false) { resume(); }

    void suspend() noexcept {
        if (saved_ == nullptr) saved_ = PyEval_SaveThread();
    }
    void resume() {
        if (saved_ != nullptr) restore_thread(std::exchange(saved_, nullptr));
    }
    // Runs pending signal handlers; true (give up, exception set) if one raised.
    // Only the main thread runs them, so the others do not take the lock back.
    bool poll() {
        if (!on_main_thread()) return false;
        resume();
        interrupted_ = PyErr_CheckSignals() != 0;
        if (!interrupted_) suspend();
        return interrupted_;
    }
    bool interrupted() const noexcept { return interrupted_; }

private:
    PyThreadState* saved_ = nullptr;
    bool interrupted_ = false;
};

// Releases the interpreter lock for one scope (a blocking call that touches no
// Python object), and takes it back however the scope is left.
class GilRelease {
public:
    GilRelease() noexcept : saved_(PyEval_SaveThread()) {}
    GilRelease(const GilRelease&) = delete;
    GilRelease& operator=(const GilRelease&) = delete;
    ~GilRelease() noexcept(false) { restore_thread(saved_); }

private:
    PyThreadState* saved_;
};

// A blocking call's optional `timeout` argument in seconds: None (or omitted)
// waits for ever; a negative or NaN value raises ValueError.
[[nodiscard]] bool timeout_argument(PyObject* arg, Deadline& out);

// The `eof` flag of a blocking read, read before anything else happens (its
// truth test may run Python code).
[[nodiscard]] bool eof_argument(PyObject* arg, bool& out);

// Binds the arguments of a read that takes (timeout=None, eof=False).
[[nodiscard]] bool timeout_eof_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kwnames, Deadline& deadline, bool& eof);

// Raises queue.Full or queue.Empty (`which`) for a blocking call that timed
// out. Always returns nullptr.
PyObject* raise_queue(const char* which);

}  // namespace velmora::py
