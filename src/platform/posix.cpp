// POSIX shared memory: shm_open + ftruncate (+ posix_fallocate on Linux) to
// create, fstat to learn an opened segment's size, mmap/munmap for views.
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/platform.hpp"

namespace velmora {
namespace {

// "{call}('{name}'): {strerror} (errno {n})"; EACCES/EPERM are permission failures.
ShmError os_error(const char* call, std::string_view name, int err) {
    std::string msg = std::string(call) + "('" + std::string(name) + "'): " + std::strerror(err) +
                      " (errno " + std::to_string(err) + ")";
    if (err == EACCES || err == EPERM) return ShmError::permission(std::move(msg));
    return ShmError::os(std::move(msg));
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

}  // namespace

Mapping::~Mapping() {
    if (base_ != nullptr) ::munmap(base_, static_cast<std::size_t>(size_));
}

Result<PlatformHandle> PlatformHandle::create(std::string_view name, std::uint64_t size) {
    auto os_name = strip_name(name);
    if (!os_name) return os_name.error();
    const std::string path(name);
    Fd fd(::shm_open(path.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600));
    if (fd.get() < 0) {
        if (errno != EEXIST) return os_error("shm_open", name, errno);
        // Attach to the existing segment, but never resize it.
        auto existing = open(name, std::nullopt);
        if (!existing) return existing.error();
        if (existing.value().size() != size)
            return ShmError::value("segment '" + path + "' already exists with size " +
                                   std::to_string(existing.value().size()) + ", not " + std::to_string(size));
        return existing;
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

PlatformHandle::PlatformHandle(PlatformHandle&& other) noexcept
    : name_(std::move(other.name_)), handle_(other.handle_), size_(other.size_) {
    other.handle_ = kNoHandle;
}

PlatformHandle::~PlatformHandle() {
    if (handle_ != kNoHandle) ::close(static_cast<int>(handle_));
}

}  // namespace velmora
