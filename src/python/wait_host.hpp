// The binding's host for the module's one wait (platform/wait.hpp): a wait
// that outlasts its short spin releases the interpreter lock, so the other
// threads of the process keep running, and takes it back only to run signal
// handlers (Ctrl-C raises KeyboardInterrupt in the main thread) and, at the
// end of the scope, to return to Python.
#pragma once

#include "python/support.hpp"
#include "platform/wait.hpp"

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

inline void restore_thread(PyThreadState* saved) {
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
    bool poll() {
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

// Seconds as a Deadline: None waits for ever.
inline Deadline deadline_from(const std::optional<double>& seconds) noexcept {
    return seconds ? Deadline::after_seconds(*seconds) : Deadline::never();
}

}  // namespace velmora::py
