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

// Unbound sockets that send every bell of the process, made as needed. A
// datagram is charged to its sender until it is read, so a burst of bells to
// many listeners that are yet to read them (a thousand channels woken at
// once) can fill one sender: the next one takes over. EAGAIN from a second
// sender in a row means the listener's own queue is full, so it is readable
// already.
constexpr int kSenders = 16;
std::atomic<int> g_senders[kSenders] = {};  // descriptor + 1; 0 until made
std::atomic<int> g_current{0};

int sender(int index) noexcept {
    std::atomic<int>& slot = g_senders[index];
    int stored = slot.load(std::memory_order_acquire);
    if (stored != 0) return stored - 1;
    const int mine = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (mine < 0) return -1;
    if (slot.compare_exchange_strong(stored, mine + 1, std::memory_order_acq_rel)) return mine;
    ::close(mine);
    return stored - 1;
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
    sockaddr_un to;
    const socklen_t len = to_sockaddr(address, to);
    const char byte = 1;
    // ECONNREFUSED (nobody listens) means there is nothing to do.
    int current = g_current.load(std::memory_order_relaxed);
    for (int tries = 0; tries < 2; ++tries) {
        const int fd = sender(current);
        if (fd < 0) return;
        if (::sendto(fd, &byte, 1, MSG_DONTWAIT | MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&to), len) >= 0 ||
            (errno != EAGAIN && errno != EWOULDBLOCK))
            return;
        const int next = (current + 1) % kSenders;
        g_current.compare_exchange_strong(current, next, std::memory_order_relaxed);
        current = next;
    }
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
