// Bells: readiness signals for event loops. A handle that waits in an event
// loop (asyncio, selectors, trio) cannot block in a futex; it needs a file
// descriptor. A bell is that descriptor: the waiting side listens on an
// address derived from the segment's identity and a topic, and the other side
// rings it (one datagram) on the same path where it wakes a blocked call, so
// a busy stream never makes the system call (see SpscRing::wake_if_idle).
//
// Linux: an abstract-namespace unix datagram socket. Its name exists only
// while a process holds the socket, so nothing is left in the file system
// after a crash, and ringing an address nobody listens on fails at once.
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
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "velmora/error.hpp"

namespace velmora {

// What identifies a segment while it exists: device and inode of its object.
// Zero (unknown) where the OS has no such identity.
struct SegmentId {
    std::uint64_t dev = 0;
    std::uint64_t ino = 0;
    bool known() const noexcept { return dev != 0 || ino != 0; }
};

inline constexpr std::uint32_t kBellData = 0;       // the receiving side waits for a message
inline constexpr std::uint32_t kBellRoom = 1;       // the sending side waits for room
inline constexpr std::uint32_t kBellPerWaiter = 16; // + slot: one bell per waiter of a many-waiter kind

class BellAddress {
public:
    BellAddress() = default;  // rings nobody
    BellAddress(SegmentId id, std::uint32_t topic) noexcept;

    bool valid() const noexcept { return length_ != 0; }
    // The abstract name: a leading zero byte, then text.
    const char* data() const noexcept { return name_; }
    std::size_t size() const noexcept { return length_; }

private:
    char name_[64] = {};
    std::size_t length_ = 0;
};

// One datagram to whoever listens on `address`; nothing happens when nobody
// does, or when the listener already has signals it has not drained. About a
// microsecond: call it only where a listener may be asleep.
void ring_bell(const BellAddress& address) noexcept;

// The listening side. Handles of one process that listen on the same address
// share one socket (it is closed with the last of them). Another process
// listening on it already is an error.
class BellListener {
public:
    [[nodiscard]] static bool supported() noexcept;
    [[nodiscard]] static Result<BellListener> listen(const BellAddress& address);

    BellListener(BellListener&& other) noexcept : key_(std::move(other.key_)), fd_(other.fd_) { other.fd_ = -1; }
    BellListener& operator=(BellListener&&) = delete;
    BellListener(const BellListener&) = delete;
    BellListener& operator=(const BellListener&) = delete;
    ~BellListener();

    // Readable once the bell rang since the last drain().
    int fd() const noexcept { return fd_; }
    // Reads every pending signal without blocking.
    void drain() const noexcept;

private:
    BellListener(std::string key, int fd) noexcept : key_(std::move(key)), fd_(fd) {}
    std::string key_;
    int fd_ = -1;
};

}  // namespace velmora
