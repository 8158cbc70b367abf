// Bells: readiness signals for event loops. A handle that waits in an event
// loop (asyncio, selectors, trio) cannot block in a futex; it needs a file
// descriptor. A bell is that descriptor: the waiting side listens on an
// address of the segment and a topic, and the other side rings it (one
// datagram) on the same path where it wakes a blocked call, so a busy stream
// never makes the system call (see SpscRing::wake_if_idle).
//
// Linux: an abstract-namespace unix datagram socket. Its name exists only
// while a process holds the socket, so nothing is left in the file system
// after a crash, and ringing an address nobody listens on fails at once.
// Any local process may bind any abstract name, so the name must be one
// nobody else can know in advance: the listener binds
// "velmora.<dev>.<ino>.<topic>.<token>" with a fresh random token, and tells
// it only to processes that can open the segment's file, as the offset of a
// record lock it holds on that file (an open-file-description lock, dropped
// with its holder like the socket's name):
//
//   kBellBase + topic * kBellStride + 0       held exclusive: the topic has a
//                                              listener (one process at a time)
//   kBellBase + topic * kBellStride + token   held shared: where it listens
//
// far past any segment's end and past the claims (kClaimBase + slot). The
// ringing side finds the token with one F_OFD_GETLK over the topic's range
// each time it rings. It keeps no token from one ring to the next: names are
// listed in /proc/net/unix, and a process that bound a name once its
// listener had gone would receive every later ring sent to it. A listener
// unlocks its token before its socket lets go of the name, so a token read
// from a lock names the listener's own socket.
// Elsewhere bells are unsupported: addresses are never valid, ringing does
// nothing and listening reports it (BellListener::supported()).
//
// For a channel kind: take the SegmentId of its mapping (Mapping::id()),
// make one BellAddress per thing a side may wait for (a topic below; a kind
// with many waiters, such as one per subscriber slot, uses kBellPerWaiter +
// slot), ring it where the kind already wakes a sleeper that may be asleep,
// and expose BellListener::fd() as fileno(). A listener that found nothing to
// do re-checks the channel once, at least the wait's yield window
// (kYieldUntilNs) after it first saw it idle, before it trusts the bell alone:
// the ringing side only rings after that much idleness (velmora/aio.py waits
// 1 ms).
//
// fork(): a child shares its parent's listening sockets (as before it
// forked, listening in the child finds the parent's) but lets go of its copy
// of their locks at once, and never shuts a socket it did not make down.
//
// Closing: when the last listener of a socket in the process goes, the socket
// is shut down for reading before it is closed. Whoever still holds a
// duplicate of the descriptor (an event loop's registration) then sees it
// readable for good, and a ring to its name fails, so the ringing side looks
// up the next listener.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "velmora/error.hpp"

namespace velmora {

// The segment's file, open in this process, where bells are looked up: one
// per file and process, shared by every mapping of it (opaque outside
// bell.cpp). Made by the platform's map().
class BellFile;

// What identifies a segment while it exists: device and inode of its object,
// and its file for bells. Zero (unknown) and no file where the OS has no such
// identity.
struct SegmentId {
    std::uint64_t dev = 0;
    std::uint64_t ino = 0;
    std::shared_ptr<const BellFile> file;
    bool known() const noexcept { return file != nullptr; }
};

// The BellFile of the file open as `fd` (a segment's descriptor); nullptr
// where bells are unsupported or the descriptor cannot be shared.
[[nodiscard]] std::shared_ptr<const BellFile> bell_file(std::intptr_t fd) noexcept;

inline constexpr std::uint32_t kBellData = 0;       // the receiving side waits for a message
inline constexpr std::uint32_t kBellRoom = 1;       // the sending side waits for room
inline constexpr std::uint32_t kBellPerWaiter = 16; // + slot: one bell per waiter of a many-waiter kind

// Topics go up to kBellTopics - 1; an address of a larger one is invalid.
inline constexpr std::uint32_t kBellTopics = std::uint32_t{1} << 26;

class BellAddress {
public:
    BellAddress() = default;  // rings nobody
    BellAddress(const SegmentId& id, std::uint32_t topic) noexcept;

    bool valid() const noexcept { return length_ != 0; }
    // The abstract name without the listener's token: a leading zero byte,
    // then text. Equal for every listener of the topic.
    const char* data() const noexcept { return name_; }
    std::size_t size() const noexcept { return length_; }
    std::uint32_t topic() const noexcept { return topic_; }
    const std::shared_ptr<const BellFile>& file() const noexcept { return file_; }

private:
    char name_[64] = {};
    std::size_t length_ = 0;
    std::uint32_t topic_ = 0;
    std::shared_ptr<const BellFile> file_;
};

// One datagram to whoever listens on `address`; nothing happens when nobody
// does, or when the listener already has signals it has not drained. About a
// microsecond, with the lock probe that finds the listener: call it only
// where a listener may be asleep.
void ring_bell(const BellAddress& address) noexcept;

// The listening side. Handles of one process that listen on the same address
// share one socket (it is shut down and closed with the last of them; one
// that leaves before the others rings it, so that its own waiters look at
// their handle again). Another process listening on it already is an error.
class BellListener {
public:
    [[nodiscard]] static bool supported() noexcept;
    [[nodiscard]] static Result<BellListener> listen(const BellAddress& address);

    BellListener(BellListener&& other) noexcept
        : key_(std::move(other.key_)), name_(std::move(other.name_)), fd_(other.fd_) {
        other.fd_ = -1;
    }
    BellListener& operator=(BellListener&&) = delete;
    BellListener(const BellListener&) = delete;
    BellListener& operator=(const BellListener&) = delete;
    ~BellListener();

    // Readable once the bell rang since the last drain().
    int fd() const noexcept { return fd_; }
    // Reads every pending signal without blocking.
    void drain() const noexcept;
    // Makes fd() readable, as a ring from the other side would.
    void ring() const noexcept;

private:
    BellListener(std::string key, std::string name, int fd) noexcept
        : key_(std::move(key)), name_(std::move(name)), fd_(fd) {}
    std::string key_;   // the address without the token: one socket per key and process
    std::string name_;  // the name bound, token included
    int fd_ = -1;
};

}  // namespace velmora
