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

namespace velmora::py {

// Declare it before anything that must be released without the interpreter
// lock (a lock guard), so that those go first when the scope ends. Between
// suspend() and the end of the scope, no Python object may be touched.
class GilWait {
public:
    GilWait() = default;
    GilWait(const GilWait&) = delete;
    GilWait& operator=(const GilWait&) = delete;
    ~GilWait() { resume(); }

    void suspend() noexcept {
        if (saved_ == nullptr) saved_ = PyEval_SaveThread();
    }
    void resume() noexcept {
        if (saved_ != nullptr) PyEval_RestoreThread(std::exchange(saved_, nullptr));
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
    ~GilRelease() { PyEval_RestoreThread(saved_); }

private:
    PyThreadState* saved_;
};

// Seconds as a Deadline: None waits for ever.
inline Deadline deadline_from(const std::optional<double>& seconds) noexcept {
    return seconds ? Deadline::after_seconds(*seconds) : Deadline::never();
}

}  // namespace velmora::py
