// Bells (bell.hpp): abstract unix datagram sockets on Linux, found through
// record locks on the segment's file; unsupported elsewhere. The only OS code
// of the event-loop support.
#include "platform/bell.hpp"
#include "platform/platform.hpp"

#include <cstdio>
#include <cstring>

#if defined(__linux__)
#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <pthread.h>
#include <sys/syscall.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <utility>
#endif

namespace velmora {

#if defined(__linux__) && defined(F_OFD_GETLK)

// One open of a segment's file per process: the ringing side probes its
// locks through it, and a listener opens the file again from it.
class BellFile {
public:
    BellFile(int fd, std::uint64_t dev, std::uint64_t ino) noexcept : fd_(fd), dev_(dev), ino_(ino) {}
    BellFile(const BellFile&) = delete;
    BellFile& operator=(const BellFile&) = delete;
    ~BellFile() { ::close(fd_); }
    int fd() const noexcept { return fd_; }
    std::pair<std::uint64_t, std::uint64_t> key() const noexcept { return {dev_, ino_}; }

private:
    int fd_;
    std::uint64_t dev_, ino_;
};

namespace {

// Eight random bytes from the kernel: the getrandom system call (the libc
// wrapper is missing from the old glibc the portable wheels build against),
// else /dev/urandom. False with errno set when neither gives them.
bool random_word(std::uint64_t& out) noexcept {
#if defined(SYS_getrandom)
    if (::syscall(SYS_getrandom, &out, sizeof(out), 0) == static_cast<long>(sizeof(out))) return true;
#endif
    const int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const ssize_t n = ::read(fd, &out, sizeof(out));
    const int err = errno;
    ::close(fd);
    errno = err;
    return n == static_cast<ssize_t>(sizeof(out));
}

// Where a topic's locks lie: past the claims (kClaimBase + slot, slots far
// below 2^40) and below 2^63 for every topic.
constexpr std::uint64_t kBellBase = std::uint64_t{1} << 41;
constexpr std::uint64_t kBellStride = std::uint64_t{1} << 36;  // tokens 1 .. kBellStride - 1

std::uint64_t topic_base(std::uint32_t topic) noexcept { return kBellBase + std::uint64_t{topic} * kBellStride; }

struct flock bell_lock(std::uint64_t start, std::uint64_t len, short type) noexcept {
    struct flock fl {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = static_cast<off_t>(start);
    fl.l_len = static_cast<off_t>(len);
    fl.l_pid = 0;  // must be 0 for open-file-description locks
    return fl;
}

// The token of whoever listens on `address`, 0 when nobody does. Another
// open's lock is all this sees, so a lock that is not one byte inside the
// token range is nobody's bell.
std::uint64_t find_token(const BellAddress& address) noexcept {
    const std::uint64_t base = topic_base(address.topic());
    struct flock fl = bell_lock(base + 1, kBellStride - 1, F_WRLCK);
    if (::fcntl(address.file()->fd(), F_OFD_GETLK, &fl) != 0 || fl.l_type == F_UNLCK) return 0;
    if (fl.l_len != 1 || fl.l_start < 0) return 0;
    const auto at = static_cast<std::uint64_t>(fl.l_start);
    if (at <= base || at - base >= kBellStride) return 0;
    return at - base;
}

socklen_t to_sockaddr(const char* name, std::size_t size, sockaddr_un& out) noexcept {
    std::memset(&out, 0, sizeof(out));
    out.sun_family = AF_UNIX;
    std::memcpy(out.sun_path, name, size);
    return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + size);
}

socklen_t to_sockaddr(const BellAddress& address, std::uint64_t token, sockaddr_un& out) noexcept {
    socklen_t len = to_sockaddr(address.data(), address.size(), out);
    const std::size_t room = sizeof(out.sun_path) - address.size();
    const int n = std::snprintf(out.sun_path + address.size(), room, ".%llx", static_cast<unsigned long long>(token));
    if (n > 0 && static_cast<std::size_t>(n) < room) len = static_cast<socklen_t>(len + n);
    return len;
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

// One datagram to `to`: true when it was sent or the listener is readable
// already, false when nobody listens there (any more).
bool send_to(const sockaddr_un& to, socklen_t len) noexcept {
    const char byte = 1;
    int current = g_current.load(std::memory_order_relaxed);
    for (int tries = 0; tries < 2; ++tries) {
        const int fd = sender(current);
        if (fd < 0) return true;
        if (::sendto(fd, &byte, 1, MSG_DONTWAIT | MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&to), len) >= 0)
            return true;
        // ECONNREFUSED: nobody binds the name; EPIPE: its socket was shut down.
        if (errno == ECONNREFUSED || errno == EPIPE) return false;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return true;
        const int next = (current + 1) % kSenders;
        g_current.compare_exchange_strong(current, next, std::memory_order_relaxed);
        current = next;
    }
    return true;
}

// The files this process has bells on, by (dev, ino); an entry goes with the
// last address or mapping of its file.
std::mutex g_files_mutex;
std::map<std::pair<std::uint64_t, std::uint64_t>, std::weak_ptr<const BellFile>>& files() {
    static auto* table = new std::map<std::pair<std::uint64_t, std::uint64_t>, std::weak_ptr<const BellFile>>();
    return *table;
}

// The sockets this process listens on, by address without token, with their users.
struct Entry {
    int fd;            // the socket
    int lock_fd;       // the open of the segment's file holding the topic's locks; -1 in a fork child
    int users;
    std::string name;  // bound, token included
    pid_t owner;       // the process that made it; a fork child shares it without owning it
};
std::mutex g_mutex;
std::map<std::string, Entry>& listeners() {
    static auto* table = new std::map<std::string, Entry>();  // never destroyed: used up to exit
    return *table;
}

// In a fork child: the parent's sockets and locks are the parent's. The
// child lets go of its copy of the locks (or they would outlive the parent's
// listener, and nobody could listen on the topic again); its handles keep
// the socket's descriptor, which they close without shutting the parent's
// socket down.
void forget_locks_after_fork() noexcept {
    for (auto& [key, entry] : listeners()) {
        if (entry.lock_fd >= 0) ::close(entry.lock_fd);
        entry.lock_fd = -1;
    }
}

Error os_failure(const std::string& what, int err) {
    return Error::os(what + ": " + std::strerror(err) + " (errno " + std::to_string(err) + ")", err,
                        os_reason(err));
}

// Closes a descriptor when the scope ends, unless released.
struct Closer {
    int fd;
    ~Closer() { if (fd >= 0) ::close(fd); }
    int release() noexcept { return std::exchange(fd, -1); }
};

}  // namespace

std::shared_ptr<const BellFile> bell_file(std::intptr_t fd) noexcept {
    struct stat st {};
    if (::fstat(static_cast<int>(fd), &st) != 0) return nullptr;
    const std::pair<std::uint64_t, std::uint64_t> key{static_cast<std::uint64_t>(st.st_dev),
                                                      static_cast<std::uint64_t>(st.st_ino)};
    try {
        const std::lock_guard<std::mutex> guard(g_files_mutex);
        auto& table = files();
        if (auto it = table.find(key); it != table.end())
            if (auto alive = it->second.lock()) return alive;
        const int mine = ::fcntl(static_cast<int>(fd), F_DUPFD_CLOEXEC, 0);
        if (mine < 0) return nullptr;
        std::shared_ptr<const BellFile> made(new BellFile(mine, key.first, key.second), [](const BellFile* f) {
            {
                const std::lock_guard<std::mutex> g(g_files_mutex);
                auto& t = files();
                if (auto it = t.find(f->key()); it != t.end() && it->second.expired()) t.erase(it);
            }
            delete f;
        });
        table[key] = made;
        return made;
    } catch (...) {
        return nullptr;
    }
}

BellAddress::BellAddress(const SegmentId& id, std::uint32_t topic) noexcept {
    if (!id.known() || topic >= kBellTopics) return;
    // name_[0] stays 0: the abstract namespace.
    const int n = std::snprintf(name_ + 1, sizeof(name_) - 1, "velmora.%llx.%llx.%x",
                                static_cast<unsigned long long>(id.dev), static_cast<unsigned long long>(id.ino),
                                static_cast<unsigned>(topic));
    if (n <= 0 || static_cast<std::size_t>(n) >= sizeof(name_) - 1) return;
    length_ = static_cast<std::size_t>(n) + 1;
    topic_ = topic;
    file_ = id.file;
}

void ring_bell(const BellAddress& address) noexcept {
    if (!address.valid()) return;
    const std::uint64_t token = find_token(address);
    if (token == 0) return;  // nobody listens
    sockaddr_un to;
    const socklen_t len = to_sockaddr(address, token, to);
    (void)send_to(to, len);
}

bool BellListener::supported() noexcept { return true; }

Result<BellListener> BellListener::listen(const BellAddress& address) {
    if (!address.valid()) return Error::value("this segment has no identity to listen on");
    std::string key(address.data(), address.size());
    static std::once_flag hooked;
    std::call_once(hooked, [] { ::pthread_atfork(nullptr, nullptr, &forget_locks_after_fork); });
    const std::lock_guard<std::mutex> guard(g_mutex);
    auto& table = listeners();
    if (auto it = table.find(key); it != table.end()) {
        ++it->second.users;
        return BellListener(std::move(key), it->second.name, it->second.fd);
    }
    // The topic's locks are held through an open of the file of its own: no
    // other open in this process (the one the ringing side probes through)
    // shares them, and they go when this listener closes it.
    const std::string path = "/proc/self/fd/" + std::to_string(address.file()->fd());
    Closer lock_fd{::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY)};
    if (lock_fd.fd < 0) return os_failure("open(" + path + ")", errno);
    const std::uint64_t base = topic_base(address.topic());
    struct flock mark = bell_lock(base, 1, F_WRLCK);
    if (::fcntl(lock_fd.fd, F_OFD_SETLK, &mark) != 0) {
        const int err = errno;
        if (err == EAGAIN || err == EACCES)
            return Error::os("another process already waits on this side of the channel (errno " +
                                    std::to_string(EADDRINUSE) + ")",
                                EADDRINUSE, Reason::busy);
        return os_failure("fcntl()", err);
    }
    Closer fd{::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0)};
    if (fd.fd < 0) return os_failure("socket()", errno);
    // A fresh random token per listener; a name taken already (a process
    // that guessed it) only costs another draw.
    std::uint64_t token = 0;
    std::string name;
    for (int tries = 0;; ++tries) {
        std::uint64_t random = 0;
        if (!random_word(random)) return os_failure("getrandom()", errno);
        token = 1 + random % (kBellStride - 1);
        sockaddr_un at;
        const socklen_t len = to_sockaddr(address, token, at);
        if (::bind(fd.fd, reinterpret_cast<const sockaddr*>(&at), len) == 0) {
            name.assign(at.sun_path, len - offsetof(sockaddr_un, sun_path));
            break;
        }
        const int err = errno;
        if (err != EADDRINUSE || tries >= 16) return os_failure("bind()", err);
    }
    // Published only once bound: whoever finds the token can ring it.
    struct flock where = bell_lock(base + token, 1, F_RDLCK);
    if (::fcntl(lock_fd.fd, F_OFD_SETLK, &where) != 0) return os_failure("fcntl()", errno);
    table.emplace(key, Entry{fd.fd, lock_fd.fd, 1, name, ::getpid()});
    const int socket_fd = fd.release();
    lock_fd.release();
    return BellListener(std::move(key), std::move(name), socket_fd);
}

BellListener::~BellListener() {
    if (fd_ < 0) return;
    const std::lock_guard<std::mutex> guard(g_mutex);
    auto& table = listeners();
    auto it = table.find(key_);
    if (it == table.end()) return;
    const bool owned = it->second.owner == ::getpid();
    if (--it->second.users > 0) {
        if (!owned) return;
        // The socket stays for the others; this handle's waiters must still
        // wake to learn that it is gone.
        ring();
        return;
    }
    // Unpublished first, so that nobody looks it up again; then shut down,
    // so that a duplicate of the descriptor left in an event loop is readable
    // and rings to the name fail.
    if (it->second.lock_fd >= 0) ::close(it->second.lock_fd);
    if (owned) ::shutdown(it->second.fd, SHUT_RD);
    ::close(it->second.fd);
    table.erase(it);
}

void BellListener::drain() const noexcept {
    char buf[16];
    while (::recv(fd_, buf, sizeof(buf), MSG_DONTWAIT) > 0) {
    }
}

void BellListener::ring() const noexcept {
    if (fd_ < 0) return;
    sockaddr_un to;
    const socklen_t len = to_sockaddr(name_.data(), name_.size(), to);
    (void)send_to(to, len);
}

#else

class BellFile {};

std::shared_ptr<const BellFile> bell_file(std::intptr_t) noexcept { return nullptr; }

BellAddress::BellAddress(const SegmentId& id, std::uint32_t topic) noexcept {
    (void)id;
    (void)topic;
}

void ring_bell(const BellAddress&) noexcept {}

bool BellListener::supported() noexcept { return false; }

Result<BellListener> BellListener::listen(const BellAddress&) {
    return Error::value("file descriptors for event loops are not supported on this platform");
}

BellListener::~BellListener() = default;

void BellListener::drain() const noexcept {}

void BellListener::ring() const noexcept {}

#endif

}  // namespace velmora
