// Claims: which processes have a segment open in which role, and whether they
// are still alive. The one answer to "who is attached" for every channel kind.
//
// A claim is a record lock on one byte of the segment's file, outside the
// segment (platform.hpp: ClaimFile, kClaimBase + slot), so no layout changes
// and the system drops it when its holder dies, however it dies. Nothing here
// is checked per message: a handle takes its claim once and keeps a Claim.
//
// Interface:
//  * ClaimSite::of(segment) -> the process's site for the segment's file. Every
//    handle of the same file in one process gets the same site (whatever name
//    or PlatformHandle it came through), so handles share the process's claims.
//  * site->claim(slot, mode) -> a Claim (taken or shared with this process's
//    earlier claim of the slot), std::nullopt when another process holds a
//    conflicting claim, or an error (a system failure, or one process asking
//    for the same slot in two modes). Exclusive slots are roles (one process
//    at a time); shared slots are attachments (any number of processes).
//  * A Claim is held until the last Claim of that slot in the process is
//    destroyed or the process ends. Claims are counted per process and slot.
//  * Probes: held_here(slot) (this process), held_elsewhere(slot, mode) (a
//    live process other than this one holds a claim that conflicts with
//    `mode`: Exclusive asks "anyone at all", Shared "anyone exclusive"), and
//    holders(slot) (pids, from a scan of every process: for messages and
//    listings only, never per message).
//  * fork(): the child holds none of its parent's claims and cannot release
//    them. Its Claims become stale (current() is false; destroying them does
//    nothing), so a handle checks current() (one atomic load) at each role
//    entry and claims again when it is false.
//  * Platforms: Linux (open-file-description locks; holders named) and
//    Windows (LockFileEx on a per-segment file; no holder pids, and a probe
//    of a slot this process holds always reports a conflict, so "no other
//    process attached" is never concluded there). A build without claims at
//    all (ClaimFile::supported() is false: no OFD locks) makes sites that
//    grant every claim and see no other process; supported() says so, and
//    nothing may conclude that a holder is gone from such a site. Its own
//    claims are still counted, so held_here stays true.
//  * Failures close: where claims are supported, a file that cannot be
//    opened (EMFILE, ENFILE, EACCES, no /proc, ...) makes of() fail, and a
//    fork child that cannot open the file again (its parent's open is not
//    its own) has a site that has lost its claims: every claim() and
//    held_elsewhere() on it fails with that errno, and nothing is granted.
//    The next of() for the same file in that process that can open it hands
//    the new open to the lost site, so its handles work again.
//  * Also on a site, for the handles of one process to share: turn(slot)
//    (which thread uses a role now), loans(slot) (open loans in a role),
//    shared_counter() and shared_mutex()
//    (core/view_attach.hpp's count of lock holds and its recovery).
//
// Slot numbers belong to the channel kinds; each kind keeps to its range:
//   0              attached (every view handle, shared)
//   1, 2           SPSC ring: producer, consumer (exclusive)
//   64 and up      later kinds, on segments of their own, e.g. 64 + i for the
//                  i-th producer or subscriber; a broadcast: 64 its publisher,
//                  65 + i the subscriber in entry i (core/broadcast_roles.hpp);
//                  the lane kinds: producer k at kLaneProducerClaim + k
//                  (core/lanes.hpp), an MPMC ring's consumer j at
//                  kMpmcConsumerClaim + j, past every producer (core/mpmc.hpp)
//
// Thread safety: every member may be called from any thread; one mutex per
// process orders claims, releases and fork.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.hpp"
#include "velmora/error.hpp"

namespace velmora {

namespace claim_slot {
inline constexpr std::uint64_t attached = 0;
inline constexpr std::uint64_t producer = 1;
inline constexpr std::uint64_t consumer = 2;
inline constexpr std::uint64_t first_free = 64;
}  // namespace claim_slot

class ClaimSite;

// Counts the fork()s this process descends from: a Claim made under another
// value belongs to an ancestor.
extern std::atomic<std::uint64_t> claim_generation;

// One handle's share of its process's claim on one slot. Move-only; the
// process releases the slot when its last Claim of it goes.
class [[nodiscard]] Claim {
public:
    Claim(Claim&& other) noexcept = default;
    Claim& operator=(Claim&& other) noexcept;
    Claim(const Claim&) = delete;
    Claim& operator=(const Claim&) = delete;
    ~Claim();

    // False once the process forked and this is the child's copy.
    [[nodiscard]] bool current() const noexcept {
        return site_ != nullptr && generation_ == claim_generation.load(std::memory_order_relaxed);
    }
    std::uint64_t slot() const noexcept { return slot_; }

private:
    friend class ClaimSite;
    Claim(std::shared_ptr<ClaimSite> site, std::uint64_t slot, std::uint64_t generation) noexcept
        : site_(std::move(site)), slot_(slot), generation_(generation) {}
    void release() noexcept;

    std::shared_ptr<ClaimSite> site_;
    std::uint64_t slot_ = 0;
    std::uint64_t generation_ = 0;
};

// Whether `claim` is present and still this process's own.
[[nodiscard]] inline bool holds(const std::optional<Claim>& claim) noexcept {
    return claim.has_value() && claim->current();
}

class ClaimSite : public std::enable_shared_from_this<ClaimSite> {
public:
    [[nodiscard]] static Result<std::shared_ptr<ClaimSite>> of(const PlatformHandle& segment);

    [[nodiscard]] Result<std::optional<Claim>> claim(std::uint64_t slot, ClaimMode mode);
    [[nodiscard]] bool held_here(std::uint64_t slot) const;
    [[nodiscard]] Result<bool> held_elsewhere(std::uint64_t slot, ClaimMode mode = ClaimMode::Exclusive) const;
    // Pids holding `slot`, this process included; `others` leaves it out.
    [[nodiscard]] std::vector<long> holders(std::uint64_t slot, bool others = false) const;

    // Whether this build has claims (the same for every site); a site that
    // lost its open after fork() still says true and fails its calls.
    [[nodiscard]] bool supported() const noexcept { return supported_; }
    const std::string& name() const noexcept { return name_; }

    // For the handles of this file in this process to share: a counter (the
    // view counts the process's holds of the segment's lock word here), a
    // mutex (one lock recovery at a time) and one word per role slot (the
    // thread whose call is using the role, so threads on different handles
    // take turns as they do on one handle).
    std::atomic<std::int64_t>& shared_counter() noexcept { return counter_; }
    std::mutex& shared_mutex() noexcept { return mutex_; }
    std::atomic<unsigned long>& turn(std::uint64_t slot);
    // The loans open in a slot's role (a ring producer's frame reserved at
    // its tail, written in place): while one handle has one, the other
    // handles' calls in the role must not write over it.
    std::atomic<int>& loans(std::uint64_t slot);

    // `file` empty: the build has no claims (supported() is false).
    ClaimSite(std::optional<ClaimFile> file, std::string name);

private:
    friend class Claim;
    friend struct ClaimRegistry;

    struct Count {
        ClaimMode mode;
        std::uint64_t count;
    };

    // The site's open, taken under the registry's mutex; calls that go to
    // the system keep a reference outside it, so one can be handed a new
    // open while another probes.
    [[nodiscard]] Result<std::shared_ptr<const ClaimFile>> open_file() const;
    [[nodiscard]] Error lost_error() const;

    std::shared_ptr<ClaimFile> file_;  // guarded by the registry's mutex
    bool supported_;
    int lost_ = 0;                     // errno of a failed open in a fork child; guarded likewise
    std::string name_;
    std::map<std::uint64_t, Count> counts_;  // guarded by the registry's mutex
    std::atomic<std::int64_t> counter_{0};
    std::mutex mutex_;
    std::map<std::uint64_t, std::unique_ptr<std::atomic<unsigned long>>> turns_;  // guarded by the registry's mutex
    std::map<std::uint64_t, std::unique_ptr<std::atomic<int>>> loans_;  // guarded likewise
};

// "ring '/jobs' already has a producer (pid 4242)": `what` is "ring '/jobs'",
// `role` "a producer"; the pids are the other holders (none named when the
// platform cannot tell). An Os error with EAGAIN (BlockingIOError in Python).
[[nodiscard]] Error claim_refused(const std::string& what, const std::string& role, const std::vector<long>& pids);

}  // namespace velmora
