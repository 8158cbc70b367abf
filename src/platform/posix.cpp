// POSIX shared memory: shm_open + ftruncate (+ posix_fallocate on Linux) to
// create, fstat to learn an opened segment's size, mmap/munmap for views.
#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sched.h>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/futex.h>
#include <sys/syscall.h>
#endif

#include "platform/platform.hpp"
#include "platform/wait.hpp"

namespace velmora {
namespace {

// "{call}('{name}'): {strerror} (errno {n})"; EACCES/EPERM are permission failures.
ShmError os_error(const char* call, std::string_view name, int err) {
    std::string msg = std::string(call) + "('" + std::string(name) + "'): " + std::strerror(err) +
                      " (errno " + std::to_string(err) + ")";
    if (err == EACCES || err == EPERM) return ShmError::permission(std::move(msg), err);
    return ShmError::os(std::move(msg), err);
}

// Owns a descriptor until handed to a PlatformHandle.
class Fd {
public:
    explicit Fd(int fd) noexcept : fd_(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { if (fd_ >= 0) ::close(fd_); }
    int get() const noexcept { return fd_; }
    int release() noexcept { int fd = fd_; fd_ = -1; return fd; }

private:
    int fd_;
};

[[nodiscard]] Result<std::uint64_t> segment_size(int fd, std::string_view name) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return os_error("fstat", name, errno);
    return static_cast<std::uint64_t>(st.st_size);
}

// Gives a new segment its size and, on Linux, its pages, so that a full
// /dev/shm is an error now rather than a SIGBUS on first touch later.
[[nodiscard]] Status size_new_segment(int fd, std::string_view name, std::uint64_t size) {
    if (size > static_cast<std::uint64_t>(INT64_MAX)) return os_error("ftruncate", name, EFBIG);
    const auto len = static_cast<off_t>(size);
    if (::ftruncate(fd, len) != 0) return os_error("ftruncate", name, errno);
#ifdef __linux__
    if (int err = ::posix_fallocate(fd, 0, len); err != 0) return os_error("posix_fallocate", name, err);
#endif
    return {};
}

// How long open() waits for a segment that has no size yet: 100 x 1 ms.
constexpr int kSizeWaitTries = 100;
constexpr std::uint64_t kSizeWaitStepNs = 1'000'000;

}  // namespace

Mapping::~Mapping() {
    if (base_ != nullptr && owned_) ::munmap(base_, static_cast<std::size_t>(size_));
}

Result<PlatformHandle> PlatformHandle::create(std::string_view name, std::uint64_t size) {
    auto os_name = strip_name(name);
    if (!os_name) return os_name.error();
    const std::string path(name);
    // Exclusive: an existing name is refused, never attached to, so nobody's
    // live lock word or ring header is reset and a name squatted by another
    // user is not written into.
    Fd fd(::shm_open(path.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600));
    if (fd.get() < 0) return os_error("shm_open", name, errno);
    // The umask may have taken bits from 0600; the owner needs both.
    if (::fchmod(fd.get(), 0600) != 0) {
        const int err = errno;
        ::shm_unlink(path.c_str());
        return os_error("fchmod", name, err);
    }
    if (auto st = size_new_segment(fd.get(), name, size); !st) {
        ::shm_unlink(path.c_str());
        return st.error();
    }
    return PlatformHandle(path, fd.release(), size);
}

Result<PlatformHandle> PlatformHandle::open(std::string_view name, std::optional<std::uint64_t> size) {
    auto os_name = strip_name(name);
    if (!os_name) return os_name.error();
    const std::string path(name);
    Fd fd(::shm_open(path.c_str(), O_RDWR, 0));
    if (fd.get() < 0) return os_error("shm_open", name, errno);
    auto actual = segment_size(fd.get(), name);
    if (!actual) return actual.error();
    // A creator sizes its segment just after making it: give it a moment.
    for (int tries = 0; actual.value() == 0 && tries < kSizeWaitTries; ++tries) {
        sleep_ns(kSizeWaitStepNs);
        actual = segment_size(fd.get(), name);
        if (!actual) return actual.error();
    }
    if (actual.value() == 0)
        return ShmError::value("segment '" + path + "' has no size yet: its creator has not finished creating it");
    if (size && *size > actual.value())
        return ShmError::value("size " + std::to_string(*size) + " exceeds the segment's size " +
                               std::to_string(actual.value()));
    return PlatformHandle(path, fd.release(), size.value_or(actual.value()));
}

Status PlatformHandle::remove(std::string_view name) {
    if (auto os_name = strip_name(name); !os_name) return os_name.error();
    const std::string path(name);
    if (::shm_unlink(path.c_str()) != 0) return os_error("shm_unlink", name, errno);
    return {};
}

Result<Mapping> PlatformHandle::map() const {
    // An opener may ask for a zero-byte prefix; mmap refuses a zero length, so
    // hand back an empty view and let the view and ring refuse its size, as
    // they do everywhere else.
    if (size_ == 0) return Mapping();
    if (size_ > SIZE_MAX) return os_error("mmap", name_, ENOMEM);
    void* base = ::mmap(nullptr, static_cast<std::size_t>(size_), PROT_READ | PROT_WRITE, MAP_SHARED,
                        static_cast<int>(handle_), 0);
    if (base == MAP_FAILED) return os_error("mmap", name_, errno);
    return Mapping(base, size_);
}

// ---- waiting ----------------------------------------------------------------------

std::uint64_t monotonic_ns() noexcept {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1'000'000'000u + static_cast<std::uint64_t>(ts.tv_nsec);
}

void yield_processor() noexcept { ::sched_yield(); }

namespace {
timespec to_timespec(std::uint64_t ns) noexcept {
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(ns / 1'000'000'000u);
    ts.tv_nsec = static_cast<long>(ns % 1'000'000'000u);
    return ts;
}
}  // namespace

// An interrupted sleep just returns early: every caller re-checks its condition.
void sleep_ns(std::uint64_t ns) noexcept {
    const timespec ts = to_timespec(ns);
    ::nanosleep(&ts, nullptr);
}

// Not FUTEX_*_PRIVATE: waiter and waker may be different processes mapping the
// same shared pages.
void wait_on_word(const std::uint32_t* word, std::uint32_t expected, std::uint64_t timeout_ns) noexcept {
#ifdef __linux__
    const timespec ts = to_timespec(timeout_ns);
    ::syscall(SYS_futex, word, FUTEX_WAIT, expected, &ts, nullptr, 0);
#else
    (void)word;
    (void)expected;
    sleep_ns(timeout_ns);
#endif
}

void wake_word(const std::uint32_t* word) noexcept {
#ifdef __linux__
    ::syscall(SYS_futex, word, FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
#else
    (void)word;
#endif
}

PlatformHandle::PlatformHandle(PlatformHandle&& other) noexcept
    : name_(std::move(other.name_)), handle_(other.handle_), size_(other.size_) {
    other.handle_ = kNoHandle;
}

PlatformHandle::~PlatformHandle() {
    if (handle_ != kNoHandle) ::close(static_cast<int>(handle_));
}

}  // namespace velmora
