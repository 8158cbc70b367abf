// What every class shares about its lifetime: close(), the "is closed" error,
// in-flight calls that close() waits for, `with`, and pickling by name.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "python/support.hpp"
#include "python/wait_host.hpp"

namespace velmora::py {

// Raises ValueError "{cls} is closed"; returns nullptr.
PyObject* raise_closed(const char* cls);

// Counts a call that may run without the interpreter lock (a wait, a large
// copy) while it uses an object's mapping; close() waits until none is left.
// Made and dropped with the interpreter lock held, after the caller checked
// the object is open, so no call can start once close() has begun. The lock
// orders every change, so plain loads and stores do (no locked instruction on
// the hot path); atomic only so that close() may watch it without the lock.
class InUse {
public:
    explicit InUse(std::atomic<int>& count) noexcept : count_(count) { bump(1); }
    InUse(const InUse&) = delete;
    InUse& operator=(const InUse&) = delete;
    ~InUse() { bump(-1); }

private:
    void bump(int by) noexcept {
        count_.store(count_.load(std::memory_order_relaxed) + by, std::memory_order_release);
    }
    std::atomic<int>& count_;
};

// Called by close() with the interpreter lock held: waits, without it, until
// `count` drops to 0. Calls that are blocked waiting see `closing` and give up.
void wait_until_unused(const std::atomic<int>& count);

// A wait's host that also gives up when close() begins on the object.
struct ClosingWait {
    GilWait gil;
    const std::atomic<bool>& closing;
    bool closed = false;
    void suspend() noexcept { gil.suspend(); }
    bool poll() {
        if (closing.load()) return closed = true;
        return gil.poll();
    }
};

// __enter__ returns the object, __exit__ closes it (and never suppresses).
PyObject* enter(PyObject* self, PyObject*);
PyObject* exit_closing(PyObject* self, PyObject* const* args, Py_ssize_t nargs);

// The pickled form of an object that reopens by name: `SharedMemory.open(name,
// size)` itself, or that followed by a call of `method` ("map", "spsc").
PyObject* reduce_by_name(const std::string& name, std::uint64_t size, const char* method);

// The module's private function that unpickling calls (see reduce_by_name).
PyObject* reopen(PyObject* module, PyObject* args);

}  // namespace velmora::py
