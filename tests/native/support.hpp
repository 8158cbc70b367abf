// Helpers shared by the native tests: unique segment names, unwrapping a
// Result that the test expects to hold a value, and scratch segments whose
// name is removed at once (their handle still maps new views).
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

#include "platform/platform.hpp"
#include "platform/wait.hpp"
#include "velmora/error.hpp"

#ifndef _WIN32
#include <unistd.h>
#endif

namespace velmora::test {

// This process's id where there is one to tell processes apart by.
inline long this_pid() {
#ifndef _WIN32
    return static_cast<long>(::getpid());
#else
    return 0;
#endif
}

// "/velmora_<tag>_<pid or clock>_<n>": unique per process and per call.
inline std::string fresh_name(const std::string& tag) {
    static std::atomic<int> counter{0};
#ifndef _WIN32
    const std::string who = std::to_string(this_pid());
#else
    const std::string who = std::to_string(monotonic_ns() % 1'000'000'007);
#endif
    return "/velmora_" + tag + "_" + who + "_" + std::to_string(counter++);
}

template <class T>
T must(Result<T> r) {
    if (!r) throw std::runtime_error(r.error().message);
    return std::move(r).value();
}

// A header field of a fresh segment overwritten with a forged value, and a
// text the open's refusal must contain.
struct ForgedField {
    const char* what;
    std::uint64_t offset;
    std::uint64_t value;
    int width;
    const char* expect;
};

// What `open` (a kind's open of a mapping) gives for `m` with `f` forged in.
template <class Open>
auto open_forged(Mapping m, const ForgedField& f, Open open) {
    std::memcpy(m.base() + f.offset, &f.value, static_cast<std::size_t>(f.width));
    return open(std::move(m));
}

// A segment of `size` bytes whose name is removed at once; every map() is a
// new view of the same bytes.
class ScratchSegment {
public:
    ScratchSegment(const std::string& tag, std::uint64_t size) {
        const std::string name = fresh_name(tag);
        handle_.emplace(must(PlatformHandle::create(name, size)));
        (void)PlatformHandle::remove(name);
    }
    Mapping map() const { return must(handle_->map()); }
    const PlatformHandle& handle() const { return *handle_; }

private:
    std::optional<PlatformHandle> handle_;
};

}  // namespace velmora::test
