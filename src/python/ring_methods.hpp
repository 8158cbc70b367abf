// The methods the ring classes have in common (SpscRingBuffer, MpscRingBuffer,
// MpmcRingBuffer), written once over a small "side" struct that says what
// differs:
//
//   using State, Ring, Frame;      the object's state, its core ring, a found frame
//   static constexpr const char* kClass;
//   struct Producer {              the ring a producer call writes to
//       std::uint64_t slot;        the claim slot of its role (ClaimSite::loans)
//       SpscRing& lane() const;    its own SPSC ring (batches, free room, loans)
//       Result<bool> push(ByteSpan, ByteSpan) const;
//       Result<bool> push_wait(ByteSpan, ByteSpan, Deadline, Host&) const;
//       void publish(std::uint64_t start, std::uint64_t tail) const;  // a batch
//   };
//   static std::optional<Producer> producer(State&);  // the claim across processes
//   static bool consumer(State&);                     // (both: raised when refused)
//   static ClaimSite& site(State&);                   // the claims of the ring's file
//   static std::optional<Frame> next(State&, std::optional<Deadline>, bool eof, bool& failed);
//   static void saw_producer(State&);                 // for a later get(eof=True)
//   static bool consumer_gone(State&);                // put()'s broken pipe, without the interpreter lock
//   static const BellAddress* data_bell(State&);      // nullptr with an exception set
//   static const BellAddress* room_bell(State&);
//
// A kind whose consumers share the ring (MpmcRingBuffer) has no frame that
// stays in place for its consumer: a message is its taker's only once it has
// been copied out and claimed. Its side says `static constexpr bool
// kTakesByCopy = true` and gives, instead of next(),
//
//   template <class Sink>
//   static std::optional<std::uint64_t> take(State&, std::optional<Deadline>, bool eof, Sink&, bool& failed);
//
// which takes one message (waiting for one when the deadline is set) into
// the buffer sink(length) gave last (Result<std::uint8_t*>; an error ends the
// take and leaves the message) and returns its length. The sink may be called
// more than once, and during a wait without the interpreter lock, so the
// consumer methods give it buffers of their own (the scratch buffer, or a
// caller's pinned buffer) and build Python objects once the take is done.
// Such a kind has no get_view().
//
// The state holds `std::optional<Ring> ring`, `std::string name, scratch`,
// `Readiness data_ready, room_ready`, `RingLending<Frame> lending` and
// `Lifecycle life`; its release() lets lending.release() drop the ring. Each class's file
// keeps what is its own (creation, queries about its roles, repr, docstrings)
// and its method table, which points at these templates.
//
// A producer's consumer gone: a put() that finds no room asks, at each poll of
// its wait (wait.hpp: about every 10 ms, never per message), whether the
// consumer role is held by no live process after one was seen (by this
// handle, or the consumer's counter has moved since the ring was made), and
// then raises BrokenPipeError instead of waiting on. Non-blocking calls keep
// their "no room" answer; velmora.aio asks _check_consumer() when one gets it.
//
// Roles: each call that moves a counter takes its role (lifecycle.hpp) for
// its length; a non-blocking call that finds the role held by another thread
// gives its "nothing now" answer (push False, pop None, push_many 0,
// pop_many []); a blocking one waits for it within its timeout.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/claims.hpp"
#include "core/mpsc.hpp"
#include "core/readiness.hpp"
#include "core/ring.hpp"
#include "python/event_fd.hpp"
#include "python/lent.hpp"
#include "python/lifecycle.hpp"
#include "python/ref.hpp"
#include "python/ring_ops.hpp"
#include "python/scratch.hpp"
#include "python/values.hpp"
#include "python/wait_host.hpp"

namespace velmora::py {

inline constexpr int kRingProducer = 0;
inline constexpr int kRingConsumer = 1;

template <class Frame>
std::optional<Frame> found_or_raise(const Result<std::optional<Frame>>& found, bool& failed) {
    failed = !found.ok();
    if (failed) return raise(found.error()), std::nullopt;
    return found.value();
}

// One of the ring's waits, `wait(host)`, without the interpreter lock; gives
// up on close() and on signals (failed, with the exception set).
template <class Wait>
auto closing_wait(Lifecycle& life, const char* cls, bool& failed, Wait wait) {
    ClosingWait host(life);
    const auto found = wait(host);
    host.gil.resume();
    failed = host.closed || host.gil.interrupted();
    if (host.closed) raise_closed(cls);
    using Found = std::remove_cvref_t<decltype(found.value())>;
    return failed ? Found{} : found_or_raise(found, failed);
}

// One wait for a frame until `deadline` (closing_wait).
template <class Ring>
auto wait_for_frame(Lifecycle& life, Ring& ring, Deadline deadline, const char* cls, bool& failed) {
    return closing_wait(life, cls, failed, [&](ClosingWait& host) { return ring.wait_pop(deadline, host); });
}

// How often a get(eof=True) of a lane kind looks whether every producer has gone.
inline constexpr std::uint64_t kEofProbeNs = 20'000'000;

// A lane kind's wait for its next message with eof=True: `wait(slice)` waits
// until a deadline, cut into slices of kEofProbeNs; between them, once
// `done()` says every producer's stream has ended (lanes.hpp), a last
// `look()` that finds nothing raises EOFError ("ring '<name>' is empty and
// all its producers have gone"). Empty when `deadline` passes.
template <class Done, class Look, class Wait>
auto wait_or_eof(const std::string& name, Deadline deadline, bool& failed, Done done, Look look, Wait wait) {
    const Deadline end = deadline.anchored();
    for (;;) {
        if (done()) {
            auto last = look();
            if (last || failed) return last;
            const std::string text = "ring '" + name + "' is empty and all its producers have gone";
            raise(PyExc_EOFError, Reason::peer_gone, text);
            failed = true;
            return decltype(last){};
        }
        const std::uint64_t left = end.infinite() ? kEofProbeNs : end.remaining(monotonic_ns());
        auto found = wait(Deadline::after_ns(std::min(left, kEofProbeNs)));
        if (found || failed || (!end.infinite() && end.remaining(monotonic_ns()) == 0)) return found;
    }
}

// Whether a side's consumers take by copy (see the top of this file).
template <class Side>
inline constexpr bool takes_by_copy = requires { requires Side::kTakesByCopy; };

// A batch is published (push_many) and given back (pop_many) at least
// every kBatchStep bytes, so that both sides overlap on large messages.
inline constexpr std::uint64_t kBatchStep = 64 * 1024;

// pop_many's walk: an SPSC ring reads frame after frame and consumes them
// with one store of head per kBatchStep bytes and at the end; the fan-in
// ring serves its lanes in turn, so each frame is consumed as it is taken
// and the next looked up anew.

inline Result<std::optional<SpscFrame>> batch_next(SpscRing& r, const std::optional<SpscFrame>& last) {
    return last ? r.next_frame(*last) : r.begin_pop();
}
inline void batch_taken(SpscRing&, const SpscFrame&) noexcept {}
inline void batch_end(SpscRing& r, const SpscFrame& last) noexcept { r.commit(last); }
inline Result<std::optional<MpscFrame>> batch_next(MpscLanes& r, const std::optional<MpscFrame>&) {
    return r.begin_pop();
}
inline void batch_taken(MpscLanes& r, const MpscFrame& f) noexcept { r.commit(f); }
inline void batch_end(MpscLanes&, const MpscFrame&) noexcept {}

// Whether a lent frame is still its ring's (or lane's) next one: not when
// another handle of this process consumed it meanwhile, which a commit of it
// would undo.
inline bool still_next(const SpscRing& r, const SpscFrame& f) noexcept { return r.head_position() == f.head; }
inline bool still_next(MpscLanes& r, const MpscFrame& f) noexcept {
    return r.lane(f.lane).head_position() == f.frame.head;
}

// get_view(): the frame lent in place until its `with` block ends, the
// view's own share of the process's consumer claim, and the pins of the
// mapping (lent.hpp): the lending's and those of buffers made from it. The
// mapping outlives close() while any pin is, and the claim outlives it until
// the view ends, so that no other process takes the consumer role (and reads
// the message the block was shown) before the block has consumed it.
//
// loan(): the frame reserved at the producer's tail for a `with` block to
// write, published when the block ends, counted while it is open in the
// process's loans of its role (ClaimSite::loans) so that no other handle
// writes over it. Views and loans pin the same mapping, so they share the
// pins.
template <class Frame>
struct RingLending {
    std::optional<Frame> frame;
    std::optional<velmora::Claim> consumer;
    std::optional<SpscLoan> loan;
    std::uint64_t loan_slot = 0;             // the role slot (lane) it was taken in
    std::atomic<int>* loan_count = nullptr;  // the count `loan` is in
    LentPins pins;
    // The process's count of loans in the role slot this object writes in,
    // looked up once per slot (every producer call reads it).
    std::atomic<int>& role_loans(ClaimSite& site, std::uint64_t slot) {
        if (role_count == nullptr || role_slot != slot) role_count = &site.loans(slot), role_slot = slot;
        return *role_count;
    }
    void open_loan(const SpscLoan& taken, std::uint64_t slot, std::atomic<int>& count) noexcept {
        loan = taken;
        loan_slot = slot;
        loan_count = &count;
        count.fetch_add(1, std::memory_order_relaxed);
    }
    std::optional<SpscLoan> end_loan() noexcept {
        if (loan_count != nullptr) loan_count->fetch_sub(1, std::memory_order_relaxed);
        loan_count = nullptr;
        return std::exchange(loan, std::nullopt);
    }
    // From the state's release(), once no call uses the ring: it goes now, or
    // with the last pin.
    template <class Ring>
    void release(std::optional<Ring>& ring) noexcept {
        if (pins.release()) unmap(ring);
    }
    template <class Ring>
    void pin(std::optional<Ring>& ring, int delta) noexcept {
        if (pins.change(delta)) unmap(ring);
    }
    template <class Ring>
    void unmap(std::optional<Ring>& ring) noexcept {
        frame.reset();
        consumer.reset();
        (void)end_loan();
        ring.reset();
    }

private:
    std::atomic<int>* role_count = nullptr;
    std::uint64_t role_slot = 0;
};

// The host of put()'s wait: ClosingWait's, and at each poll the question
// `gone` (asked without the interpreter lock).
template <class Gone>
struct PipeWait {
    ClosingWait inner;
    Gone gone;
    bool broken = false;
    void suspend() noexcept { inner.suspend(); }
    bool poll() {
        if (inner.poll()) return true;
        return broken = gone();
    }
};
// Clang does not deduce an aggregate's template arguments by itself.
template <class Gone>
PipeWait(ClosingWait, Gone, bool) -> PipeWait<Gone>;

// BrokenPipeError "ring '/jobs' is full and its consumer has gone"; nullptr.
inline PyObject* raise_consumer_gone(const std::string& name) {
    const std::string text = "ring '" + name + "' is full and its consumer has gone";
    return raise(PyExc_BrokenPipeError, Reason::peer_gone, text);
}

template <class Side>
struct RingMethods {
    using State = typename Side::State;
    using Ring = typename Side::Ring;
    using Frame = typename Side::Frame;
    using RingCall = Call<State>;
    static constexpr const char* kClass = Side::kClass;

    static State& state(PyObject* self) noexcept { return state_of<State>(self); }

    // "SpscRingBuffer.push()": the name argument errors give (made once per
    // method, kept in a static of the method).
    static std::string qualified(const char* method) { return std::string(kClass) + "." + method + "()"; }

    // ---- producer --------------------------------------------------------------

    // The payload is built (any __buffer__ method run) before the role is
    // claimed; that code may have closed the ring. An event loop's readiness
    // may ask for a second look when the message does not fit.
    static PyObject* push_payload(State& s, RingCall& call, PyObject* data) {
        Scratch buf(s.scratch);
        Payload p;
        // A bytearray borrowed as it is may only be copied with the interpreter lock held.
        const bool stable = !PyByteArray_Check(data);
        if (!build_payload(data, buf, false, p) || !call.still_open()) return nullptr;
        switch (call.claim(kRingProducer, nullptr)) {
            case Claim::Claimed: break;
            case Claim::Busy: Py_RETURN_FALSE;
            default: return nullptr;
        }
        const auto w = writer(s);
        if (!w) return nullptr;
        const auto attempt = [&] {
            return large_copy(p.size(), stable || PyList_Check(data), [&] { return w->push(p.first(), p.second()); });
        };
        Result<bool> pushed = attempt();
        if (pushed && !pushed.value() && s.room_ready.idle(w->lane().free())) {
            pushed = attempt();
            if (pushed && !pushed.value()) s.room_ready.recheck(w->lane().free());
        }
        if (pushed && pushed.value()) s.room_ready.active();
        return push_result(std::move(pushed));
    }

    static PyObject* push(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        static const char* const names[] = {"data"};
        static const std::string fn = qualified("push");
        static const Signature sig{fn.c_str(), names, 1, 1};
        PyObject* argv[1];
        if (!bind(sig, args, nargs, kwnames, argv)) return nullptr;
        State& s = state(self);
        RingCall call(s, kClass);
        if (!call) return nullptr;
        return push_payload(s, call, argv[0]);
    }

    static PyObject* put(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        static const char* const names[] = {"data", "timeout"};
        static const std::string fn = qualified("put");
        static const Signature sig{fn.c_str(), names, 2, 1};
        PyObject* argv[2];
        Deadline deadline = Deadline::never();
        if (!bind(sig, args, nargs, kwnames, argv) || !timeout_argument(argv[1], deadline)) return nullptr;
        State& s = state(self);
        RingCall call(s, kClass);
        if (!call) return nullptr;
        Scratch buf(s.scratch);
        Payload p;
        if (!build_payload(argv[0], buf, true, p) || !call.still_open()) return nullptr;
        switch (call.claim(kRingProducer, &deadline)) {
            case Claim::Claimed: break;
            case Claim::TimedOut: return raise_queue("Full");
            default: return nullptr;
        }
        const auto w = writer(s);
        if (!w) return nullptr;
        const auto pushed = wait_for_room(
            s, w->lane(), deadline,
            [&](auto& host) { return w->push_wait(p.first(), p.second(), deadline, host); },
            [&] { return w->push(p.first(), p.second()); }, [](const Result<bool>& r) { return r.value(); });
        if (!pushed) return nullptr;
        if (!pushed->value()) return raise_queue("Full");
        Py_RETURN_NONE;
    }

    // put()'s wait for room, and loan()'s: `wait(host)` waits until the
    // deadline, giving up on close(), a signal or a consumer gone; an event
    // loop's zero timeout takes a second look with `once()` (readiness.hpp).
    // `got(r)` says whether a result has what was waited for. Empty with the
    // exception raised; otherwise the last result, room or no room.
    template <class Wait, class Once, class Got>
    static auto wait_for_room(State& s, SpscRing& lane, Deadline deadline, Wait&& wait, Once&& once, Got&& got)
        -> std::optional<decltype(once())> {
        PipeWait host{ClosingWait(s.life), [&s] { return Side::consumer_gone(s); }, false};
        auto made = wait(host);
        host.inner.gil.resume();
        if (host.inner.closed) return raise_closed(kClass), std::nullopt;
        if (host.inner.gil.interrupted()) return std::nullopt;
        if (host.broken) return raise_consumer_gone(s.name), std::nullopt;
        if (made && !got(made) && deadline.immediate() && s.room_ready.idle(lane.free())) {
            made = once();
            if (made && !got(made)) s.room_ready.recheck(lane.free());
        }
        if (!made) return raise(made.error()), std::nullopt;
        if (got(made)) s.room_ready.active();
        return made;
    }

    // ---- writing in place ---------------------------------------------------------

    // One loan at a time, and no other producer call of the object while it
    // is open: the loan's frame sits at the producer's tail until it ends.
    // Another handle of this process with a loan open on the same ring (or
    // lane) refuses them likewise. Called with the role taken.
    static bool no_open_loan(const State& s) {
        if (!s.lending.loan) return true;
        raise(PyExc_RuntimeError, Reason::busy, std::string("a loan() of this ") + kClass + " is still open");
        return false;
    }
    static std::optional<typename Side::Producer> writer(State& s) {
        if (!no_open_loan(s)) return std::nullopt;
        auto w = Side::producer(s);
        if (w && s.lending.role_loans(Side::site(s), w->slot).load(std::memory_order_relaxed) != 0) {
            raise(PyExc_RuntimeError, Reason::busy,
                  std::string("a loan() of another ") + kClass + " of this ring is open in this process");
            return std::nullopt;
        }
        return w;
    }

    // The frame for the next message, lent for a `with` block to write in
    // place: a writable memoryview of `nbytes` bytes where the message will
    // live. A frame whose payload would wrap around the ring's end is not
    // contiguous there: the block gets a scratch buffer instead, copied in
    // when it ends. Waits for room as put() does.
    static PyObject* loan(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        static const char* const names[] = {"nbytes", "timeout"};
        static const std::string fn = qualified("loan");
        static const Signature sig{fn.c_str(), names, 2, 1};
        PyObject* argv[2];
        std::uint64_t nbytes = 0;
        Deadline deadline = Deadline::never();
        if (!bind(sig, args, nargs, kwnames, argv) || !arg_u64(argv[0], "nbytes", nbytes) ||
            !timeout_argument(argv[1], deadline))
            return nullptr;
        Ref made(new_lent(LentKind::RingLoan, self, kLoanLender));
        if (!made) return nullptr;
        State& s = state(self);
        RingCall call(s, kClass);
        if (!call) return nullptr;
        switch (call.claim(kRingProducer, &deadline)) {
            case Claim::Claimed: break;
            case Claim::TimedOut: return raise_queue("Full");
            default: return nullptr;
        }
        const auto w = writer(s);
        if (!w) return nullptr;
        SpscRing& lane = w->lane();
        const auto reserved = wait_for_room(
            s, lane, deadline, [&](auto& host) { return lane.reserve_wait(nbytes, deadline, host); },
            [&] { return lane.reserve(nbytes); },
            [](const Result<std::optional<SpscLoan>>& r) { return r.value().has_value(); });
        if (!reserved) return nullptr;
        if (!reserved->value()) return raise_queue("Full");
        const SpscLoan taken = *reserved->value();
        LentState& sc = lent(made.get());
        const auto [first, second] = lane.loan_parts(taken);
        std::uint8_t* bytes = first.data();
        if (!second.empty()) {
            // The allocation may run a finalizer that closes the object.
            char* dst = nullptr;
            sc.keep = Ref(new_bytearray(nbytes, dst));
            if (!sc.keep || !call.still_open()) return nullptr;
            bytes = reinterpret_cast<std::uint8_t*>(dst);
        }
        s.lending.open_loan(taken, w->slot, s.lending.role_loans(Side::site(s), w->slot));
        sc.lend(bytes, nbytes, false, MessageShape::bytes(nbytes));
        return made.release();
    }

    // Ends a loan: publishes it with the producer role this thread takes
    // (waiting for it), or discards it (`ok` false), which touches nothing:
    // the ring's tail never moved. Once the object is closed nothing is
    // published, which a block that ended well must hear.
    static bool loan_end(LentState& sc, bool ok) {
        State& s = state(sc.owner.get());
        sc.active = false;
        if (!ok) return (void)s.lending.end_loan(), true;
        RingCall call(s, kClass);
        Deadline never = Deadline::never();
        const Claim got = call ? call.claim(kRingProducer, &never) : Claim::Failed;
        // Counted until the role is ours, so that no other handle writes first.
        const std::optional<SpscLoan> taken = s.lending.end_loan();
        if (!taken || s.life.closing()) {
            PyErr_Clear();
            const std::string text = std::string(kClass) + " is closed: the loaned message was not published";
            return raise(PyExc_ValueError, Reason::closed, text), false;
        }
        if (got != Claim::Claimed) return false;
        const auto w = Side::producer(s);
        if (!w) return false;
        if (w->slot != s.lending.loan_slot)  // a fork child's object, on a lane of its own
            return raise(PyExc_RuntimeError, Reason::busy,
                         "this loan's lane is no longer this object's: the loaned message was not published"),
                   false;
        std::optional<ByteSpan> copy;
        if (sc.keep)
            copy = ByteSpan(reinterpret_cast<const std::uint8_t*>(PyByteArray_AsString(sc.keep.get())),
                            static_cast<std::size_t>(PyByteArray_Size(sc.keep.get())));
        const auto tail = w->lane().complete(*taken, copy);
        if (!tail) return raise(tail.error()), false;
        w->publish(taken->tail, tail.value());
        s.room_ready.active();
        return true;
    }
    // A loan dropped without `with` is discarded.
    static void loan_drop(LentState& sc) {
        sc.active = false;
        (void)state(sc.owner.get()).lending.end_loan();
    }
    // Views and loans pin the same mapping (RingLending).
    static void lending_pin(LentState& sc, int delta) {
        State& s = state(sc.owner.get());
        s.lending.pin(s.ring, delta);
    }
    static constexpr Lender kLoanLender{&loan_end, &loan_drop, &lending_pin,
                                        "this loan was already published or discarded"};

    // Pushes from the front of a list or tuple until a value does not fit.
    // Frames go out with one store of tail per kBatchStep bytes, so that a
    // consumer starts on a batch of large messages while the rest is copied;
    // those written before a value that fails to encode are published before
    // it raises.
    static PyObject* push_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        static const char* const names[] = {"values"};
        static const std::string fn = qualified("push_many");
        static const Signature sig{fn.c_str(), names, 1, 1};
        PyObject* argv[1];
        if (!bind(sig, args, nargs, kwnames, argv)) return nullptr;
        PyObject* values = argv[0];
        if (!PyList_Check(values) && !PyTuple_Check(values)) {
            PyErr_Format(PyExc_TypeError, "argument 'values': expected a list or tuple");
            return nullptr;
        }
        State& s = state(self);
        RingCall call(s, kClass);
        if (!call) return nullptr;
        Batch batch;
        if (!batch.prepare(values) || (batch.taken() && !call.still_open())) return nullptr;
        switch (call.claim(kRingProducer, nullptr)) {
            case Claim::Claimed: break;
            case Claim::Busy: return PyLong_FromLong(0);
            default: return nullptr;
        }
        const auto w = writer(s);
        if (!w) return nullptr;
        SpscRing& lane = w->lane();
        std::uint64_t start = lane.tail_position();
        std::uint64_t tail = start;
        Py_ssize_t pushed = 0;
        const std::uint64_t first = start;
        bool failed = false;
        // One scratch buffer for the whole batch: each value is copied into
        // the ring before the next is encoded. When not even the first fits,
        // an event loop's readiness may ask for a second look.
        Scratch buf(s.scratch);
        for (int look = 0; look < 2 && pushed == 0 && !failed; ++look) {
            if (look == 1 && (batch.size() == 0 || !s.room_ready.idle(lane.free()))) break;
            for (Py_ssize_t i = 0; i < batch.size(); ++i) {
                Payload own;
                Payload* p = batch.item(i, buf, own);
                if (p == nullptr) { failed = true; break; }
                Result<bool> r = lane.push_more(tail, p->first(), p->second());
                if (!r) { raise(r.error()); failed = true; break; }
                if (!r.value()) break;
                ++pushed;
                if (tail - start >= kBatchStep) {
                    w->publish(start, tail);
                    start = tail;
                    s.room_ready.active();
                }
            }
        }
        if (tail != start) {
            w->publish(start, tail);
            s.room_ready.active();
        } else if (tail == first && !failed && batch.size() > 0) {
            s.room_ready.recheck(lane.free());
        }
        if (failed) return nullptr;
        return PyLong_FromSsize_t(pushed);
    }

    // For event loops, after a push that found no room: BrokenPipeError when
    // the consumer has gone (the rule above), else None.
    static PyObject* check_consumer(PyObject* self, PyObject*) {
        State& s = state(self);
        if (!open_ring(s)) return nullptr;
        if (Side::consumer_gone(s)) return raise_consumer_gone(s.name);
        Py_RETURN_NONE;
    }

    // ---- consumer --------------------------------------------------------------

    // The consumer's turn for one call: its role, waited for within
    // `deadline`, and its claim across processes. False with `out` the
    // call's answer instead (None, or nullptr with queue.Empty or an error).
    static bool consumer_turn(State& s, RingCall& call, std::optional<Deadline>& deadline, PyObject*& out) {
        out = nullptr;
        switch (call.claim(kRingConsumer, deadline ? &*deadline : nullptr)) {
            case Claim::Claimed: break;
            case Claim::Busy: Py_INCREF(Py_None); out = Py_None; return false;
            case Claim::TimedOut: raise_queue("Empty"); return false;
            case Claim::Failed: return false;
        }
        return no_open_view(s) && Side::consumer(s);
    }

    // Every pop shares one body: take the consumer role, find the next frame
    // (waiting for one when `deadline` is set), then hand it to `take`, which
    // copies it out and commits it. An empty ring gives None without a
    // deadline and queue.Empty with one; with `eof`, Side::next raises
    // EOFError once the stream has ended.
    template <class Take>
    static PyObject* consume(PyObject* self, std::optional<Deadline> deadline, bool eof, Take take) {
        State& s = state(self);
        RingCall call(s, kClass);
        if (!call) return nullptr;
        PyObject* out = nullptr;
        if (!consumer_turn(s, call, deadline, out)) return out;
        Ring& ring = *s.ring;
        bool failed = false;
        std::optional<Frame> frame = Side::next(s, deadline, eof, failed);
        if (failed) return nullptr;
        if (!frame && (!deadline || deadline->immediate()) && s.data_ready.idle(0)) {
            frame = found_or_raise(ring.begin_pop(), failed);
            if (failed) return nullptr;
        }
        if (!frame) {
            if (deadline) return raise_queue("Empty");
            Py_RETURN_NONE;
        }
        Side::saw_producer(s);
        s.data_ready.active();
        return take(s, ring, *frame);
    }

    // consume() of a kind that takes by copy: Side::take() fills what
    // `sink` gives, then `done(length)` makes the call's answer.
    template <class Sink, class Done>
    static PyObject* consume_copy(PyObject* self, std::optional<Deadline> deadline, bool eof, Sink sink, Done done) {
        State& s = state(self);
        RingCall call(s, kClass);
        if (!call) return nullptr;
        PyObject* out = nullptr;
        if (!consumer_turn(s, call, deadline, out)) return out;
        bool failed = false;
        const std::optional<std::uint64_t> length = Side::take(s, deadline, eof, sink, failed);
        if (failed) return nullptr;
        if (!length) {
            if (deadline) return raise_queue("Empty");
            Py_RETURN_NONE;
        }
        Side::saw_producer(s);
        return done(*length);
    }

    template <class Decode>
    static PyObject* pop_common(PyObject* self, std::optional<Deadline> deadline, bool eof, bool raw, Decode decode) {
        if constexpr (takes_by_copy<Side>) {
            // Staged in the scratch buffer: the take may run without the
            // interpreter lock, where no bytes object can be made.
            Scratch buf(state(self).scratch);
            std::uint8_t* staged = nullptr;
            const auto sink = [&](std::uint64_t n) -> Result<std::uint8_t*> {
                return staged = buf.room(static_cast<std::size_t>(n));
            };
            return consume_copy(self, deadline, eof, sink, [&](std::uint64_t length) -> PyObject* {
                std::uint64_t used = 0;  // bytes after the decoded values go with the message
                if (!raw) return decode(staged, length, used);
                char* dst = nullptr;
                Ref out(new_bytes(length, dst));
                if (out) large_copy(length, true, [&] { std::memcpy(dst, staged, length); return 0; });
                return out.release();
            });
        } else {
            return consume(self, deadline, eof, [&](State& s, Ring& ring, const Frame& frame) {
                return raw ? take_raw(ring, frame) : take_decoded(s.scratch, ring, frame, decode);
            });
        }
    }

    static PyObject* pop_by_tag(PyObject* self, std::optional<std::string_view> tag, std::optional<Deadline> deadline,
                                bool eof) {
        if (!tag) return pop_common(self, deadline, eof, true, NoDecode{});
        const std::string_view t = *tag;  // points into the str argument, which the caller holds
        return pop_common(self, deadline, eof, false, [t](const std::uint8_t* data, std::uint64_t len, std::uint64_t& used) {
            return decode_value(data, len, t, used);
        });
    }

    static PyObject* pop_by_schema(PyObject* self, PyObject* schema, std::optional<Deadline> deadline, bool eof) {
        return pop_common(self, deadline, eof, false,
                          [schema](const std::uint8_t* data, std::uint64_t len, std::uint64_t& used) {
                              return unpack_schema(data, len, schema, used);
                          });
    }

    static PyObject* pop(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        static const char* const names[] = {"tag"};
        static const std::string fn = qualified("pop");
        static const Signature sig{fn.c_str(), names, 1, 0};
        PyObject* argv[1];
        std::optional<std::string_view> tag;
        if (!bind(sig, args, nargs, kwnames, argv) || !tag_argument(argv[0], tag)) return nullptr;
        return pop_by_tag(self, tag, std::nullopt, false);
    }

    static PyObject* get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        static const char* const names[] = {"tag", "timeout", "eof"};
        static const std::string fn = qualified("get");
        static const Signature sig{fn.c_str(), names, 3, 0};
        PyObject* argv[3];
        std::optional<std::string_view> tag;
        Deadline deadline = Deadline::never();
        bool eof = false;
        if (!bind(sig, args, nargs, kwnames, argv) || !tag_argument(argv[0], tag) ||
            !timeout_argument(argv[1], deadline) || !eof_argument(argv[2], eof))
            return nullptr;
        return pop_by_tag(self, tag, deadline, eof);
    }

    static PyObject* pop_mixed(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        static const char* const names[] = {"schema"};
        static const std::string fn = qualified("pop_mixed");
        static const Signature sig{fn.c_str(), names, 1, 1};
        PyObject* argv[1];
        if (!bind(sig, args, nargs, kwnames, argv) || !arg_list(argv[0], "schema")) return nullptr;
        return pop_by_schema(self, argv[0], std::nullopt, false);
    }

    static PyObject* get_mixed(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        static const char* const names[] = {"schema", "timeout", "eof"};
        static const std::string fn = qualified("get_mixed");
        static const Signature sig{fn.c_str(), names, 3, 1};
        PyObject* argv[3];
        Deadline deadline = Deadline::never();
        bool eof = false;
        if (!bind(sig, args, nargs, kwnames, argv) || !arg_list(argv[0], "schema") ||
            !timeout_argument(argv[1], deadline) || !eof_argument(argv[2], eof))
            return nullptr;
        return pop_by_schema(self, argv[0], deadline, eof);
    }

    // Up to `max_count` messages (see batch_next). Raw payloads are copied
    // into new bytes objects as they are found; tagged ones are staged and
    // decoded once all are consumed (a decoding failure raises; the messages
    // are gone).
    static PyObject* pop_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        static const char* const names[] = {"max_count", "tag"};
        static const std::string fn = qualified("pop_many");
        static const Signature sig{fn.c_str(), names, 2, 1};
        PyObject* argv[2];
        std::uint64_t max_count = 0;
        std::optional<std::string_view> tag;
        if (!bind(sig, args, nargs, kwnames, argv) || !arg_u64(argv[0], "max_count", max_count) ||
            !tag_argument(argv[1], tag))
            return nullptr;
        State& s = state(self);
        RingCall call(s, kClass);
        if (!call) return nullptr;
        switch (call.claim(kRingConsumer, nullptr)) {
            case Claim::Claimed: break;
            case Claim::Busy: return PyList_New(0);
            default: return nullptr;
        }
        if (!no_open_view(s) || !Side::consumer(s)) return nullptr;
        if constexpr (takes_by_copy<Side>) return take_many(s, max_count, tag);
        else return pop_many_in_place(s, max_count, tag);
    }

    // pop_many() of a kind read in place, its role and claim held.
    static PyObject* pop_many_in_place(State& s, std::uint64_t max_count, std::optional<std::string_view> tag) {
        Ring& ring = *s.ring;
        std::vector<Ref> raw;
        Scratch buf(s.scratch);
        std::string& staged = buf.cleared();
        std::vector<std::uint64_t> lengths;
        std::optional<Frame> last;
        bool looked_again = false;
        std::uint64_t uncommitted = 0;
        std::uint64_t taken_bytes = 0;
        const std::uint64_t limit = ring.capacity();
        for (std::uint64_t k = 0; k < max_count; ++k) {
            auto found = batch_next(ring, last);
            if (!found) {
                if (last) break;  // what was found so far is still good
                return raise(found.error());
            }
            if (!found.value() && !last && !looked_again && s.data_ready.idle(0)) {
                looked_again = true;
                --k;
                continue;
            }
            if (!found.value()) break;
            const Frame frame = *found.value();
            const std::uint64_t length = frame_length(frame);
            if (tag) {
                const std::size_t at = staged.size();
                staged.resize(at + length);
                ring.copy_payload(frame, reinterpret_cast<std::uint8_t*>(staged.data() + at));
                lengths.push_back(length);
            } else {
                char* dst = nullptr;
                Ref out(new_bytes(length, dst));
                if (!out) return nullptr;  // this one not consumed
                ring.copy_payload(frame, reinterpret_cast<std::uint8_t*>(dst));
                raw.push_back(std::move(out));
            }
            batch_taken(ring, frame);
            last = frame;
            uncommitted += length;
            if (uncommitted >= kBatchStep) {  // give the producer its room as we go
                batch_end(ring, frame);
                uncommitted = 0;
            }
            // At most one ring's worth a call: the producer refills what was
            // given back, and a batch of large messages would otherwise grow
            // without bound, in memory the allocator hands out fresh.
            taken_bytes += length;
            if (taken_bytes >= limit) break;
        }
        if (last) {
            batch_end(ring, *last);
            Side::saw_producer(s);
            s.data_ready.active();
        }
        const std::size_t count = tag ? lengths.size() : raw.size();
        Ref list(PyList_New(static_cast<Py_ssize_t>(count)));
        if (!list) return nullptr;
        std::uint64_t pos = 0;
        for (std::size_t i = 0; i < count; ++i) {
            PyObject* item = nullptr;
            if (tag) {
                std::uint64_t used = 0;
                item = decode_value(reinterpret_cast<const std::uint8_t*>(staged.data()) + pos, lengths[i], *tag, used);
                pos += lengths[i];
            } else {
                item = raw[i].release();
            }
            if (item == nullptr) return nullptr;
            PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);  // steals
        }
        return list.release();
    }

    // pop_many() of a kind that takes by copy, its role and claim held: each
    // message is taken on its own, its payload appended to the scratch buffer,
    // and the list made once all are taken (a decoding failure raises; the
    // messages are gone).
    static PyObject* take_many(State& s, std::uint64_t max_count, std::optional<std::string_view> tag) {
        Scratch buf(s.scratch);
        std::string& staged = buf.cleared();
        std::vector<std::uint64_t> lengths;
        std::size_t at = 0;
        const auto sink = [&](std::uint64_t n) -> Result<std::uint8_t*> {
            staged.resize(at + static_cast<std::size_t>(n));
            return reinterpret_cast<std::uint8_t*>(staged.data() + at);
        };
        const std::uint64_t limit = s.ring->capacity();  // about one ring's worth a call, as pop_many()
        std::uint64_t taken_bytes = 0;
        while (lengths.size() < max_count && taken_bytes < limit) {
            bool failed = false;
            const std::optional<std::uint64_t> length = Side::take(s, std::nullopt, false, sink, failed);
            if (failed && lengths.empty()) return nullptr;
            if (failed) PyErr_Clear();  // what was taken so far is still good
            if (failed || !length) break;
            lengths.push_back(*length);
            at += static_cast<std::size_t>(*length);
            taken_bytes += *length;
        }
        if (!lengths.empty()) Side::saw_producer(s);
        Ref list(PyList_New(static_cast<Py_ssize_t>(lengths.size())));
        if (!list) return nullptr;
        std::uint64_t pos = 0;
        for (std::size_t i = 0; i < lengths.size(); ++i) {
            const std::uint8_t* data = reinterpret_cast<const std::uint8_t*>(staged.data()) + pos;
            std::uint64_t used = 0;
            PyObject* item = tag ? decode_value(data, lengths[i], *tag, used)
                                 : PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data),
                                                             static_cast<Py_ssize_t>(lengths[i]));
            if (item == nullptr) return nullptr;
            pos += lengths[i];
            PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);  // steals
        }
        return list.release();
    }

    // Copies the next message into the caller's buffer and returns its
    // length. A buffer too small raises ValueError and leaves the message.
    static PyObject* pop_into_common(PyObject* self, PyObject* target, std::optional<Deadline> deadline, bool eof) {
        BufferHold hold;
        std::uint8_t* dst = nullptr;
        std::size_t room = 0;
        if (!writable_target(target, "buffer", hold, dst, room)) return nullptr;
        if constexpr (takes_by_copy<Side>) {
            // A pinned buffer is filled by the take itself; a bytearray (which
            // another thread may resize while a wait runs without the lock)
            // through the scratch buffer, and looked up again afterwards.
            Scratch buf(state(self).scratch);
            std::uint8_t* staged = nullptr;
            const auto sink = [&](std::uint64_t n) -> Result<std::uint8_t*> {
                if (n > room) return buffer_too_small(n, room);
                return staged = hold.held ? dst : buf.room(static_cast<std::size_t>(n));
            };
            return consume_copy(self, deadline, eof, sink, [&](std::uint64_t length) -> PyObject* {
                if (!hold.held) {
                    if (!writable_target(target, "buffer", hold, dst, room)) return nullptr;
                    if (length > room) return raise(buffer_too_small(length, room));  // resized meanwhile
                    std::memcpy(dst, staged, length);
                }
                return PyLong_FromUnsignedLongLong(length);
            });
        } else {
            return pop_into_in_place(self, target, deadline, eof, hold, dst, room);
        }
    }

    static PyObject* pop_into_in_place(PyObject* self, PyObject* target, std::optional<Deadline> deadline, bool eof,
                                       BufferHold& hold, std::uint8_t*& dst, std::size_t& room) {
        return consume(self, deadline, eof, [&](State&, Ring& ring, const Frame& frame) -> PyObject* {
            // A bytearray is not pinned: look it up again, a wait may have
            // let another thread resize it.
            if (!hold.held && !writable_target(target, "buffer", hold, dst, room)) return nullptr;
            const std::uint64_t length = frame_length(frame);
            if (length > room) return raise(buffer_too_small(length, room));
            large_copy(length, hold.held, [&] { ring.copy_payload(frame, dst); return 0; });
            ring.commit(frame);
            return PyLong_FromUnsignedLongLong(length);
        });
    }

    static PyObject* pop_into(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        static const char* const names[] = {"buffer"};
        static const std::string fn = qualified("pop_into");
        static const Signature sig{fn.c_str(), names, 1, 1};
        PyObject* argv[1];
        if (!bind(sig, args, nargs, kwnames, argv)) return nullptr;
        return pop_into_common(self, argv[0], std::nullopt, false);
    }

    static PyObject* get_into(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        static const char* const names[] = {"buffer", "timeout", "eof"};
        static const std::string fn = qualified("get_into");
        static const Signature sig{fn.c_str(), names, 3, 1};
        PyObject* argv[3];
        Deadline deadline = Deadline::never();
        bool eof = false;
        if (!bind(sig, args, nargs, kwnames, argv) || !timeout_argument(argv[1], deadline) ||
            !eof_argument(argv[2], eof))
            return nullptr;
        return pop_into_common(self, argv[0], deadline, eof);
    }

    // The next message as a new bytearray, copied once out of the ring: a
    // buffer its receiver owns and may write to (velmora.objects decodes
    // arrays in it in place). Waits and ends as get() does.
    static PyObject* get_bytearray(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        static const char* const names[] = {"timeout", "eof"};
        static const std::string fn = qualified("get_bytearray");
        static const Signature sig{fn.c_str(), names, 2, 0};
        Deadline deadline = Deadline::never();
        bool eof = false;
        if (!timeout_eof_arguments(sig, args, nargs, kwnames, deadline, eof)) return nullptr;
        if constexpr (takes_by_copy<Side>) {
            return take_bytearray(self, deadline, eof);
        } else {
            return consume(self, deadline, eof, [&](State&, Ring& ring, const Frame& frame) -> PyObject* {
                const std::uint64_t length = frame_length(frame);
                char* dst = nullptr;
                Ref out(new_bytearray(length, dst));  // never runs Python code (take_raw)
                if (!out) return nullptr;             // the message stays
                large_copy(length, true, [&] { ring.copy_payload(frame, reinterpret_cast<std::uint8_t*>(dst)); return 0; });
                ring.commit(frame);
                return out.release();
            });
        }
    }

    // get_bytearray() of a kind that takes by copy. The take copies the
    // message straight into the bytearray, which only a call holding the
    // interpreter lock can make: so a message is taken only by a look that
    // holds it, and a wait (which runs without it) only finds one, leaving it
    // to the look that follows. Another consumer may take it first: then the
    // call waits again, until the same deadline.
    static PyObject* take_bytearray(PyObject* self, Deadline deadline, bool eof) {
        const Deadline end = deadline.anchored();
        for (;;) {
            Ref out;
            const auto direct = [&](std::uint64_t n) -> Result<std::uint8_t*> {
                char* dst = nullptr;
                out = Ref(new_bytearray(n, dst));  // again, with its length, after a lost take
                if (!out) {
                    PyErr_Clear();
                    return Error::value("no memory for a message of " + std::to_string(n) + " bytes",
                                        Reason::too_large);
                }
                return reinterpret_cast<std::uint8_t*>(dst);
            };
            Ref now(consume_copy(self, std::nullopt, false, direct, [&](std::uint64_t) { return out.release(); }));
            if (!now || now.get() != Py_None) return now.release();
            bool seen = false;
            const auto leave = [&](std::uint64_t) -> Result<std::uint8_t*> {
                seen = true;
                return Error::value("a message is there: left for a take that holds the interpreter lock");
            };
            Ref waited(consume_copy(self, end, eof, leave, [](std::uint64_t) -> PyObject* { Py_RETURN_NONE; }));
            // Anything else (queue.Empty, EOFError, a signal's exception) is the answer.
            if (!seen || !PyErr_ExceptionMatches(PyExc_ValueError)) return waited.release();
            PyErr_Clear();  // "closed" included: the next look raises it again
        }
    }

    // ---- reading in place ---------------------------------------------------------

    // One view at a time, and no other read while it is open: the message it
    // shows is the ring's next one until the view's block ends.
    static bool no_open_view(const State& s) {
        if (!s.lending.frame) return true;
        raise(PyExc_RuntimeError, Reason::busy, std::string("a get_view() of this ") + kClass + " is still open");
        return false;
    }

    // The next message lent in place: a read-only memoryview of its bytes in
    // the ring for a `with` block, consumed when the block ends. A message
    // that wraps around the ring's end is not contiguous there: it is copied
    // out and consumed at once, and the block gets the copy.
    static PyObject* get_view(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        static const char* const names[] = {"timeout", "eof"};
        static const std::string fn = qualified("get_view");
        static const Signature sig{fn.c_str(), names, 2, 0};
        Deadline deadline = Deadline::never();
        bool eof = false;
        if (!timeout_eof_arguments(sig, args, nargs, kwnames, deadline, eof)) return nullptr;
        Ref made(new_lent(LentKind::RingMessage, self, kLender));
        if (!made) return nullptr;
        return consume(self, deadline, eof, [&](State& s, Ring& ring, const Frame& frame) -> PyObject* {
            LentState& sc = lent(made.get());
            const auto [first, second] = ring.payload_parts(frame);
            const std::uint64_t length = frame_length(frame);
            if (!second.empty()) {
                sc.keep = Ref(take_raw(ring, frame));
                if (!sc.keep) return nullptr;
                sc.lend(reinterpret_cast<std::uint8_t*>(PyBytes_AsString(sc.keep.get())), length, true,
                        MessageShape::bytes(length));
                return made.release();
            }
            auto share = Side::site(s).claim(claim_slot::consumer, ClaimMode::Exclusive);
            if (!share || !share.value()) {
                if (share) raise(PyExc_RuntimeError, Reason::busy, "this process no longer holds the consumer role");
                else raise(share.error());
                return nullptr;
            }
            s.lending.consumer = std::move(*share.value());
            s.lending.frame = frame;
            sc.lend(const_cast<std::uint8_t*>(first.data()), length, true, MessageShape::bytes(length));
            return made.release();
        });
    }

    // Ends a view: consumes its message as the block ended, with the
    // consumer role this thread takes (waiting for it with `wait`, at once
    // without), or, once the object is closed, without it: close() waited for
    // the object's calls, and none reads while a view is open. Only where the
    // view's share of the consumer claim is this process's own, so never in a
    // fork child's copy of the view, and only while the message is still the
    // ring's next one. A drop that finds the role busy leaves both the message
    // and the view.
    static void finish_view(LentState& sc, Deadline* wait) {
        // A copy was consumed when it was made; it goes with the lent object,
        // which every buffer exported from it holds.
        if (sc.keep) return (void)(sc.active = false);
        State& s = state(sc.owner.get());
        RingCall call(s, kClass);
        const Claim got = call ? call.claim(kRingConsumer, wait) : Claim::Failed;
        if (got == Claim::Busy) return;
        PyErr_Clear();
        sc.active = false;
        const std::optional<Frame> frame = std::exchange(s.lending.frame, std::nullopt);
        const std::optional<velmora::Claim> role = std::exchange(s.lending.consumer, std::nullopt);
        const bool turn = got == Claim::Claimed || (!call && s.life.closing());
        if (frame && turn && holds(role) && s.ring && still_next(*s.ring, *frame)) {
            s.ring->commit(*frame);
            if (call) s.data_ready.active();
        }
    }
    static bool view_end(LentState& sc, bool) {
        Deadline never = Deadline::never();
        finish_view(sc, &never);
        return true;
    }
    static void view_drop(LentState& sc) { finish_view(sc, nullptr); }
    static constexpr Lender kLender{&view_end, &view_drop, &lending_pin, "this message was already consumed"};

    // ---- queries (header words only; they never wait) ---------------------------

    // The ring of an open object, or nullptr with ValueError raised.
    static Ring* open_ring(State& s) {
        if (!s.ring || s.life.closing()) return raise_closed(kClass), nullptr;
        return &*s.ring;
    }

    template <class F>
    static PyObject* query(PyObject* self, F f) {
        Ring* ring = open_ring(state(self));
        return ring ? f(*ring) : nullptr;
    }

    static PyObject* used(PyObject* self, PyObject*) {
        return query(self, [](Ring& r) { return PyLong_FromUnsignedLongLong(r.used()); });
    }
    static PyObject* capacity(PyObject* self, PyObject*) {
        return query(self, [](Ring& r) { return PyLong_FromUnsignedLongLong(r.capacity()); });
    }
    static PyObject* is_empty(PyObject* self, PyObject*) {
        return query(self, [](Ring& r) { return PyBool_FromLong(r.is_empty()); });
    }
    static PyObject* max_payload(PyObject* self, void*) {
        return query(self, [](Ring& r) { return PyLong_FromUnsignedLongLong(max_payload_for(r.capacity())); });
    }

    // Waits for calls in flight (a blocked get or put gives up with "is
    // closed"), then unmaps. A second close does nothing.
    static PyObject* close(PyObject* self, PyObject*) {
        close_object(state(self));
        Py_RETURN_NONE;
    }

    // ---- event loops -------------------------------------------------------------

    // The descriptor an event loop waits on for one side (see core/readiness.hpp).
    static PyObject* side_fileno(PyObject* self, bool room) {
        State& s = state(self);
        if (open_ring(s) == nullptr) return nullptr;
        const auto bell = [&] { return room ? Side::room_bell(s) : Side::data_bell(s); };
        return readiness_fileno(room ? s.room_ready : s.data_ready, bell, false);
    }
    static PyObject* fileno(PyObject* self, PyObject*) { return side_fileno(self, false); }
    static PyObject* room_fileno(PyObject* self, PyObject*) { return side_fileno(self, true); }
};

}  // namespace velmora::py
