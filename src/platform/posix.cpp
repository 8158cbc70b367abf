// POSIX shared memory: shm_open + ftruncate (+ posix_fallocate on Linux) to
// create, fstat to learn an opened segment's size, mmap/munmap for views;
// claims are open-file-description record locks (Linux).
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <string>
#include <sys/sysmacros.h>
#include <utility>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/futex.h>
#include <malloc.h>
#include <sys/syscall.h>
#endif

#include "platform/platform.hpp"
#include "platform/wait.hpp"

namespace velmora {
namespace {

// "{call}('{name}'): {strerror} (errno {n})"; EACCES/EPERM are permission failures.
Error os_error(const char* call, std::string_view name, int err) {
    std::string msg = std::string(call) + "('" + std::string(name) + "'): " + std::strerror(err) +
                      " (errno " + std::to_string(err) + ")";
    if (err == EACCES || err == EPERM) return Error::permission(std::move(msg), err);
    // shm_open and shm_unlink take EINVAL for a name they cannot use (glibc:
    // longer than NAME_MAX, or a '/' past the first); nothing else they get is.
    const bool bad_name = err == EINVAL && std::string_view(call).starts_with("shm_");
    return Error::os(std::move(msg), err, bad_name ? Reason::name : os_reason(err));
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

// The size of the segment open as `fd`, waited for while its creator has
// not sized it yet (see open()), and checked against the `size` asked for.
[[nodiscard]] Result<std::uint64_t> usable_size(int fd, std::string_view name, std::optional<std::uint64_t> size);

#ifdef __linux__
// memfd_create through the system call: the portable wheels build against a
// glibc without the wrapper (and kernel headers without the number).
#ifndef SYS_memfd_create
#if defined(__x86_64__)
#define SYS_memfd_create 319
#elif defined(__aarch64__)
#define SYS_memfd_create 279
#elif defined(__i386__)
#define SYS_memfd_create 356
#endif
#endif
constexpr unsigned kMemfdCloexec = 1;  // MFD_CLOEXEC

// A new anonymous file, close-on-exec; -1 with errno set (ENOSYS on a
// kernel before 3.17, where the caller falls back to a removed name).
int memfd(const char* label) noexcept {
#ifdef SYS_memfd_create
    return static_cast<int>(::syscall(SYS_memfd_create, label, kMemfdCloexec));
#else
    (void)label;
    errno = ENOSYS;
    return -1;
#endif
}
#endif

// An anonymous segment where there is no memfd: a fresh random name made
// exclusively and removed at once, so that only the descriptor reaches it.
int unlinked_segment() noexcept {
    static std::atomic<std::uint64_t> counter{0};
    for (int tries = 0; tries < 16; ++tries) {
        timespec ts{};
        ::clock_gettime(CLOCK_MONOTONIC, &ts);
        char path[64];
        std::snprintf(path, sizeof path, "/velmora.anon.%ld.%llx.%llx", static_cast<long>(::getpid()),
                      static_cast<unsigned long long>(counter.fetch_add(1)),
                      static_cast<unsigned long long>(ts.tv_nsec) ^ static_cast<unsigned long long>(ts.tv_sec));
        const int fd = ::shm_open(path, O_RDWR | O_CREAT | O_EXCL, 0600);
        if (fd >= 0) {
            ::shm_unlink(path);
            return fd;
        }
        if (errno != EEXIST) return -1;
    }
    errno = EEXIST;
    return -1;
}

// How long open() waits for a segment that has no size yet: 100 x 1 ms.
constexpr int kSizeWaitTries = 100;
constexpr std::uint64_t kSizeWaitStepNs = 1'000'000;

}  // namespace

Mapping::~Mapping() {
    if (base_ != nullptr && owned_) ::munmap(base_, static_cast<std::size_t>(size_));
}

Result<PlatformHandle> PlatformHandle::create(std::string_view name, std::uint64_t size, bool replace) {
    auto os_name = strip_name(name);
    if (!os_name) return os_name.error();
    const std::string path(name);
    // A leftover that is already gone is what replace wants; the claims live
    // on the segment's own file, so they go with it.
    if (replace && ::shm_unlink(path.c_str()) != 0 && errno != ENOENT) return os_error("shm_unlink", name, errno);
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

Result<PlatformHandle> PlatformHandle::create_anonymous(std::uint64_t size) {
    const std::string_view name = kAnonymousName;
#ifdef __linux__
    int made = memfd("velmora");
    if (made < 0 && errno == ENOSYS) made = unlinked_segment();
    Fd fd(made);
    if (fd.get() < 0) return os_error("memfd_create", name, errno);
#else
    Fd fd(unlinked_segment());
    if (fd.get() < 0) return os_error("shm_open", name, errno);
    if (::fcntl(fd.get(), F_SETFD, FD_CLOEXEC) != 0) return os_error("fcntl", name, errno);
#endif
    if (auto st = size_new_segment(fd.get(), name, size); !st) return st.error();
    return PlatformHandle(std::string(name), fd.release(), size, true);
}

Result<PlatformHandle> PlatformHandle::open_descriptor(std::intptr_t fd, std::optional<std::uint64_t> size) {
    const std::string_view name = kAnonymousName;
    if (fd < 0 || fd > INT_MAX) return os_error("fcntl", name, EBADF);
    Fd own(::fcntl(static_cast<int>(fd), F_DUPFD_CLOEXEC, 0));
    if (own.get() < 0) return os_error("fcntl", name, errno);
    // Only a shared-memory file can be a segment: not a pipe, socket or tty
    // that happened to be passed.
    struct stat st {};
    if (::fstat(own.get(), &st) != 0) return os_error("fstat", name, errno);
    if (!S_ISREG(st.st_mode))
        return Error::value("descriptor " + std::to_string(fd) + " is not a shared-memory segment");
    const int access = ::fcntl(own.get(), F_GETFL);
    if (access < 0) return os_error("fcntl", name, errno);
    if ((access & O_ACCMODE) != O_RDWR) return os_error("open", name, EACCES);
    auto usable = usable_size(own.get(), name, size);
    if (!usable) return usable.error();
    return PlatformHandle(std::string(name), own.release(), usable.value(), true);
}

Result<PlatformHandle> PlatformHandle::duplicate() const {
    Fd own(::fcntl(static_cast<int>(handle_), F_DUPFD_CLOEXEC, 0));
    if (own.get() < 0) return os_error("fcntl", name_, errno);
    return PlatformHandle(name_, own.release(), size_, anonymous_);
}

bool PlatformHandle::size_known() noexcept { return true; }

namespace {
Result<std::uint64_t> usable_size(int fd, std::string_view name, std::optional<std::uint64_t> size) {
    auto actual = segment_size(fd, name);
    if (!actual) return actual.error();
    // A creator sizes its segment just after making it: give it a moment.
    for (int tries = 0; actual.value() == 0 && tries < kSizeWaitTries; ++tries) {
        sleep_ns(kSizeWaitStepNs);
        actual = segment_size(fd, name);
        if (!actual) return actual.error();
    }
    if (actual.value() == 0)
        return Error::value("segment '" + std::string(name) + "' has no size yet: its creator has not finished creating it", Reason::busy);
    if (size && *size > actual.value())
        return Error::value("size " + std::to_string(*size) + " exceeds the segment's size " +
                               std::to_string(actual.value()), Reason::too_large);
    return size.value_or(actual.value());
}
}  // namespace

Result<PlatformHandle> PlatformHandle::open(std::string_view name, std::optional<std::uint64_t> size) {
    auto os_name = strip_name(name);
    if (!os_name) return os_name.error();
    const std::string path(name);
    Fd fd(::shm_open(path.c_str(), O_RDWR, 0));
    if (fd.get() < 0) return os_error("shm_open", name, errno);
    auto usable = usable_size(fd.get(), name, size);
    if (!usable) return usable.error();
    return PlatformHandle(path, fd.release(), usable.value());
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
    struct stat st {};
    SegmentId id;
    if (::fstat(static_cast<int>(handle_), &st) == 0)
        id = {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino), bell_file(handle_)};
    return Mapping(base, size_, std::move(id));
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

// ---- claims ------------------------------------------------------------------------

#ifdef F_OFD_SETLK
namespace {

struct flock lock_request(std::uint64_t slot, short type) noexcept {
    struct flock fl {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = static_cast<off_t>(kClaimBase + slot);
    fl.l_len = 1;
    fl.l_pid = 0;  // must be 0 for open-file-description locks
    return fl;
}

short lock_type(ClaimMode mode) noexcept { return mode == ClaimMode::Exclusive ? F_WRLCK : F_RDLCK; }

std::string file_key(const struct stat& st) {
    return std::to_string(static_cast<unsigned long long>(st.st_dev)) + ":" +
           std::to_string(static_cast<unsigned long long>(st.st_ino));
}

// A new open file description of what `fd` refers to, even once its name is
// gone: /proc/self/fd/N opens the file itself, not the name.
int reopen(int fd) noexcept {
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    return ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY);
}

// Whole contents of a small /proc file ("" when it cannot be read).
std::string read_small(const std::string& path) {
    std::string out;
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) return out;
    char buf[4096];
    for (;;) {
        const ssize_t n = ::read(fd.get(), buf, sizeof buf);
        if (n <= 0) break;
        out.append(buf, static_cast<std::size_t>(n));
    }
    return out;
}

// Whether a lock listing (an fdinfo file, or /proc/locks) has an OFD lock on
// `offset` of the file with device (major, minor) and inode `ino`. Its lines
// read "lock:\t1: OFDLCK ADVISORY  WRITE -1 00:1b:440998 1099511627777 1099511627777"
// (fdinfo) or the same without "lock:\t" (/proc/locks).
bool lists_lock(const std::string& info, unsigned maj, unsigned min, unsigned long long ino, std::uint64_t offset) {
    std::size_t at = 0;
    while (at < info.size()) {
        const std::size_t end = info.find('\n', at);
        const std::string line = info.substr(at, end == std::string::npos ? std::string::npos : end - at);
        at = end == std::string::npos ? info.size() : end + 1;
        const std::size_t kind = line.find("OFDLCK");
        if (kind == std::string::npos) continue;
        char mode[16] = {}, access[16] = {};
        long pid = 0;
        unsigned lmaj = 0, lmin = 0;
        unsigned long long lino = 0, start = 0;
        char last[32] = {};
        if (std::sscanf(line.c_str() + kind, "OFDLCK %15s %15s %ld %x:%x:%llu %llu %31s", mode, access, &pid, &lmaj,
                        &lmin, &lino, &start, last) != 8)
            continue;
        const unsigned long long stop = std::strcmp(last, "EOF") == 0 ? ~0ull : std::strtoull(last, nullptr, 10);
        if (lmaj == maj && lmin == min && lino == ino && start <= offset && offset <= stop) return true;
    }
    return false;
}

bool all_digits(const char* s) noexcept {
    if (*s == '\0') return false;
    for (; *s != '\0'; ++s)
        if (*s < '0' || *s > '9') return false;
    return true;
}

struct Dir {
    DIR* d;
    explicit Dir(const std::string& path) : d(::opendir(path.c_str())) {}
    Dir(const Dir&) = delete;
    Dir& operator=(const Dir&) = delete;
    ~Dir() { if (d != nullptr) ::closedir(d); }
};

}  // namespace

bool ClaimFile::supported() noexcept { return true; }

Result<ClaimFile> ClaimFile::open(const PlatformHandle& segment) {
    Fd fd(reopen(static_cast<int>(segment.handle_)));
    if (fd.get() < 0) return os_error("open", segment.name(), errno);
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return os_error("fstat", segment.name(), errno);
    return ClaimFile(fd.release(), file_key(st), segment.name());
}

Result<bool> ClaimFile::try_lock(std::uint64_t slot, ClaimMode mode) const {
    struct flock fl = lock_request(slot, lock_type(mode));
    if (::fcntl(static_cast<int>(handle_), F_OFD_SETLK, &fl) == 0) return true;
    if (errno == EAGAIN || errno == EACCES) return false;
    return os_error("fcntl", name_, errno);
}

void ClaimFile::unlock(std::uint64_t slot) const noexcept {
    struct flock fl = lock_request(slot, F_UNLCK);
    ::fcntl(static_cast<int>(handle_), F_OFD_SETLK, &fl);
}

Result<bool> ClaimFile::conflicts(std::uint64_t slot, ClaimMode mode) const {
    struct flock fl = lock_request(slot, lock_type(mode));
    if (::fcntl(static_cast<int>(handle_), F_OFD_GETLK, &fl) != 0) return os_error("fcntl", name_, errno);
    return fl.l_type != F_UNLCK;
}

std::vector<long> ClaimFile::holders(std::uint64_t slot) const {
    std::vector<long> pids;
    struct stat mine {};
    if (::fstat(static_cast<int>(handle_), &mine) != 0) return pids;
    const unsigned maj = major(mine.st_dev), min = minor(mine.st_dev);
    const auto ino = static_cast<unsigned long long>(mine.st_ino);
    // One read of the system's lock table says whether anyone holds it at
    // all; only then are the processes' descriptors looked through.
    if (!lists_lock(read_small("/proc/locks"), maj, min, ino, kClaimBase + slot)) return pids;
    Dir proc("/proc");
    if (proc.d == nullptr) return pids;
    while (const dirent* p = ::readdir(proc.d)) {
        if (!all_digits(p->d_name)) continue;
        const std::string base = std::string("/proc/") + p->d_name;
        Dir fds(base + "/fd");
        if (fds.d == nullptr) continue;  // gone, or another user's
        while (const dirent* f = ::readdir(fds.d)) {
            if (!all_digits(f->d_name)) continue;
            struct stat st {};
            // stat() follows the descriptor to its file: only opens of ours are read.
            if (::stat((base + "/fd/" + f->d_name).c_str(), &st) != 0) continue;
            if (st.st_dev != mine.st_dev || st.st_ino != mine.st_ino) continue;
            if (lists_lock(read_small(base + "/fdinfo/" + f->d_name), maj, min, ino, kClaimBase + slot)) {
                pids.push_back(std::strtol(p->d_name, nullptr, 10));
                break;
            }
        }
    }
    return pids;
}

int ClaimFile::renew_after_fork() noexcept {
    if (handle_ == -1) return EBADF;
    const int old = static_cast<int>(handle_);
    const int fresh = reopen(old);
    // dup3 puts the new description under the old number and lets go of the
    // inherited one in one step.
    const int err = fresh < 0 ? errno : ::dup3(fresh, old, O_CLOEXEC) < 0 ? errno : 0;
    if (fresh >= 0) ::close(fresh);
    if (err != 0) {
        ::close(old);
        handle_ = -1;
    }
    return err;
}

#else  // no open-file-description locks: no claims

bool ClaimFile::supported() noexcept { return false; }

Result<ClaimFile> ClaimFile::open(const PlatformHandle& segment) {
    return Error::os("claims on '" + segment.name() + "' are not supported on this system", ENOTSUP);
}
Result<bool> ClaimFile::try_lock(std::uint64_t, ClaimMode) const { return true; }
void ClaimFile::unlock(std::uint64_t) const noexcept {}
Result<bool> ClaimFile::conflicts(std::uint64_t, ClaimMode) const { return false; }
std::vector<long> ClaimFile::holders(std::uint64_t) const { return {}; }
int ClaimFile::renew_after_fork() noexcept { return ENOTSUP; }

#endif

ClaimFile::ClaimFile(ClaimFile&& other) noexcept
    : handle_(std::exchange(other.handle_, -1)), key_(std::move(other.key_)), name_(std::move(other.name_)) {}

ClaimFile::~ClaimFile() {
    if (handle_ != -1) ::close(static_cast<int>(handle_));
}

void at_fork(void (*prepare)(), void (*parent)(), void (*child)()) noexcept {
    ::pthread_atfork(prepare, parent, child);
}

long current_pid() noexcept { return static_cast<long>(::getpid()); }

PlatformHandle::PlatformHandle(PlatformHandle&& other) noexcept
    : name_(std::move(other.name_)), handle_(other.handle_), size_(other.size_), anonymous_(other.anonymous_) {
    other.handle_ = kNoHandle;
}

PlatformHandle::~PlatformHandle() {
    if (handle_ != kNoHandle) ::close(static_cast<int>(handle_));
}

}  // namespace velmora

namespace velmora {

void at_fork_child(void (*fn)()) noexcept { (void)::pthread_atfork(nullptr, nullptr, fn); }

// glibc gives a freed block back to the system when the heap's top grows
// past the trim threshold (128 KiB until it adapts to the sizes seen), so
// that a batch of 64 KiB results faults in fresh pages every time. Setting
// either threshold turns the adaptation off, so both are set: blocks up to
// 32 MiB (glibc's largest mmap threshold) come from the heap, and up to
// 64 MiB of free heap stays for the next messages.
void keep_freed_heap() noexcept {
#if defined(__GLIBC__)
    static std::atomic<bool> done{false};
    if (done.exchange(true, std::memory_order_relaxed)) return;
    if (std::getenv("MALLOC_TRIM_THRESHOLD_") || std::getenv("MALLOC_MMAP_THRESHOLD_")) return;
    if (const char* t = std::getenv("GLIBC_TUNABLES"); t && std::strstr(t, "malloc.")) return;
    (void)::mallopt(M_MMAP_THRESHOLD, 32 << 20);
    (void)::mallopt(M_TRIM_THRESHOLD, 64 << 20);
#endif
}

Reason os_reason(int code) noexcept {
    switch (code) {
        case ENOENT: return Reason::not_found;
        case EEXIST: return Reason::exists;
        case EAGAIN: return Reason::busy;
        case ENAMETOOLONG: return Reason::name;
        default: return Reason::os;
    }
}

namespace {
std::atomic<std::uint64_t> forks_so_far{0};
void count_fork_in_child() { forks_so_far.fetch_add(1, std::memory_order_relaxed); }
}  // namespace

// Counted from the first call on: a hold recorded before then cannot exist.
std::uint64_t fork_generation() noexcept {
    static const bool counting = (at_fork_child(&count_fork_in_child), true);
    (void)counting;
    return forks_so_far.load(std::memory_order_relaxed);
}

}  // namespace velmora
