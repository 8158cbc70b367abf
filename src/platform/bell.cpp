// Bells (bell.hpp): abstract unix datagram sockets on Linux, unsupported
// elsewhere. The only OS code of the event-loop support.
#include "platform/bell.hpp"

#include <cstdio>
#include <cstring>

#if defined(__linux__)
#include <atomic>
#include <cerrno>
#include <map>
#include <mutex>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#endif

namespace velmora {

BellAddress::BellAddress(SegmentId id, std::uint32_t topic) noexcept {
#if defined(__linux__)
    if (!id.known()) return;
    // name_[0] stays 0: the abstract namespace.
    const int n = std::snprintf(name_ + 1, sizeof(name_) - 1, "velmora.%llx.%llx.%x",
                                static_cast<unsigned long long>(id.dev), static_cast<unsigned long long>(id.ino),
                                static_cast<unsigned>(topic));
    if (n > 0 && static_cast<std::size_t>(n) < sizeof(name_) - 1) length_ = static_cast<std::size_t>(n) + 1;
#else
    (void)id;
    (void)topic;
#endif
}

#if defined(__linux__)
namespace {

socklen_t to_sockaddr(const BellAddress& address, sockaddr_un& out) noexcept {
    std::memset(&out, 0, sizeof(out));
    out.sun_family = AF_UNIX;
    std::memcpy(out.sun_path, address.data(), address.size());
    return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + address.size());
}

// One unbound socket per process sends every bell; made at the first ring.
std::atomic<int> g_sender{-1};

int sender() noexcept {
    int fd = g_sender.load(std::memory_order_acquire);
    if (fd >= 0) return fd;
    const int mine = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (mine < 0) return -1;
    if (g_sender.compare_exchange_strong(fd, mine, std::memory_order_acq_rel)) return mine;
    ::close(mine);
    return fd;
}

// The sockets this process listens on, by name, with their users.
struct Entry {
    int fd;
    int users;
};
std::mutex g_mutex;
std::map<std::string, Entry>& listeners() {
    static auto* table = new std::map<std::string, Entry>();  // never destroyed: used up to exit
    return *table;
}

}  // namespace

void ring_bell(const BellAddress& address) noexcept {
    if (!address.valid()) return;
    const int fd = sender();
    if (fd < 0) return;
    sockaddr_un to;
    const socklen_t len = to_sockaddr(address, to);
    const char byte = 1;
    // ECONNREFUSED (nobody listens) and EAGAIN (signals pending) both mean
    // there is nothing more to do.
    (void)::sendto(fd, &byte, 1, MSG_DONTWAIT | MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&to), len);
}

bool BellListener::supported() noexcept { return true; }

Result<BellListener> BellListener::listen(const BellAddress& address) {
    if (!address.valid()) return ShmError::value("this segment has no identity to listen on");
    std::string key(address.data(), address.size());
    const std::lock_guard<std::mutex> guard(g_mutex);
    auto& table = listeners();
    if (auto it = table.find(key); it != table.end()) {
        ++it->second.users;
        return BellListener(std::move(key), it->second.fd);
    }
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        const int err = errno;
        return ShmError::os(std::string("socket(): ") + std::strerror(err) + " (errno " + std::to_string(err) + ")",
                            err);
    }
    sockaddr_un at;
    const socklen_t len = to_sockaddr(address, at);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&at), len) != 0) {
        const int err = errno;
        ::close(fd);
        std::string msg = err == EADDRINUSE
                              ? "another process already waits on this side of the channel"
                              : std::string("bind(): ") + std::strerror(err);
        return ShmError::os(msg + " (errno " + std::to_string(err) + ")", err);
    }
    table.emplace(key, Entry{fd, 1});
    return BellListener(std::move(key), fd);
}

BellListener::~BellListener() {
    if (fd_ < 0) return;
    const std::lock_guard<std::mutex> guard(g_mutex);
    auto& table = listeners();
    auto it = table.find(key_);
    if (it == table.end() || --it->second.users > 0) return;
    ::close(it->second.fd);
    table.erase(it);
}

void BellListener::drain() const noexcept {
    char buf[16];
    while (::recv(fd_, buf, sizeof(buf), MSG_DONTWAIT) >= 0) {
    }
}

#else

void ring_bell(const BellAddress&) noexcept {}

bool BellListener::supported() noexcept { return false; }

Result<BellListener> BellListener::listen(const BellAddress&) {
    return ShmError::value("file descriptors for event loops are not supported on this platform");
}

BellListener::~BellListener() = default;

void BellListener::drain() const noexcept {}

#endif

}  // namespace velmora
