// Readiness: one side of a handle as an event loop sees it, through a file
// descriptor (fileno()) that is readable while the side may have something
// to do: a message to receive, or room to send into.
//
// The other side rings the bell only when this side may be asleep, judged by
// its own idleness (a yield window, kYieldUntilNs, since its last operation;
// see SpscRing::wake_if_idle), exactly as it wakes a blocked call. So a side
// that finds nothing to do must not sleep on the bell at once: like the
// blocking wait, which yields for a yield window before it sleeps, it keeps
// its descriptor readable (rings its own bell) until it has found nothing to
// do for kSettleNs with no progress in between, then drains the bell and
// looks once more before the caller sleeps. A bell rung after that drain
// stays pending, so no signal is lost between the last look and the sleep.
//
// Use by a channel kind's binding, per side: listen() when fileno() is first
// asked for; after a non-blocking call that did something, active(); after
// one that found nothing, idle(progress), and when it returns true, try the
// call once more (its answer is final; when it too found nothing, recheck()
// with the progress read afresh). `progress` is anything that changes
// when the other side acts without ending the wait (the free bytes for a
// sender whose message does not fit yet; 0 where there is no such case).
#pragma once

#include <cstdint>
#include <optional>
#include <utility>

#include "platform/bell.hpp"
#include "platform/wait.hpp"

namespace velmora {

inline constexpr std::uint64_t kSettleNs = 2 * kYieldUntilNs;

class Readiness {
public:
    bool listening() const noexcept { return listener_.has_value(); }

    // The descriptor, listening on `own` first if not yet. What the other
    // side rang before the listener existed is lost: the caller looks once
    // more after listening, before it waits (velmora/aio.py does).
    [[nodiscard]] Result<int> listen(const BellAddress& own) {
        if (!listener_) {
            auto l = BellListener::listen(own);
            if (!l) return l.error();
            listener_.emplace(std::move(l).value());
        }
        return listener_->fd();
    }
    void stop() noexcept { listener_.reset(); }

    void active() noexcept { quiet_ = false; }

    // True when the caller should try once more; false when it is done (the
    // descriptor stays readable while settling). A kind whose other side
    // rings on a mark set before the last look, rather than after idleness,
    // needs no settling: it passes a `settle_ns` of 0.
    [[nodiscard]] bool idle(std::uint64_t progress, std::uint64_t settle_ns = kSettleNs) noexcept {
        if (!listener_) return false;
        const std::uint64_t now = monotonic_ns();
        if (!quiet_ || progress != progress_) {
            quiet_ = true;
            since_ = now;
            progress_ = progress;
        }
        listener_->drain();
        if (now - since_ < settle_ns) {
            listener_->ring();
            return false;
        }
        return true;
    }

    // After the last try that idle() asked for found nothing to do either:
    // when `progress` moved since idle() read it, the other side acted
    // between that read and the drain, and its signal may have been drained
    // with the rest while what it did was not yet enough (room for part of a
    // message; the rest of its burst rings nobody). The descriptor is kept
    // readable and settling starts again.
    void recheck(std::uint64_t progress) noexcept {
        if (!listener_ || progress == progress_) return;
        since_ = monotonic_ns();
        progress_ = progress;
        listener_->ring();
    }

private:
    std::optional<BellListener> listener_;
    bool quiet_ = false;
    std::uint64_t since_ = 0;
    std::uint64_t progress_ = 0;
};

}  // namespace velmora
