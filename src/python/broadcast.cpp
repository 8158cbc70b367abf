// Publisher and Subscriber: one writer, many readers over a broadcast segment
// (core/broadcast.hpp). The publisher is one claim of the segment's file and
// every subscriber another (core/claims.hpp), so a process's death frees its
// place and lets a waiting publisher drop it.
//
// Zero-copy paths lend a slot (python/lent.hpp): Publisher.loan() and
// Subscriber.receive_view() return the lent object; `with` gives a memoryview
// of the slot, and leaving the block publishes the loan (or discards it
// after an exception) or gives the received slot back. A lent slot pins the
// mapping from the moment it is lent: close() while one is lent, or while
// something still uses a slot's memory, leaves the unmap to the last pin.
#include "python/event_fd.hpp"
#include "python/support.hpp"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <functional>
#include <type_traits>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/broadcast.hpp"
#include "core/broadcast_roles.hpp"
#include "core/formats.hpp"
#include "core/readiness.hpp"
#include "platform/platform.hpp"
#include "python/lent.hpp"
#include "python/lifecycle.hpp"
#include "python/ref.hpp"
#include "python/scratch.hpp"
#include "python/values.hpp"
#include "python/wait_host.hpp"

namespace velmora::py {
namespace {

// What both classes share: the segment's name, the process's claim, the
// guard of calls (lifecycle.hpp: one role, taken by every call, so one thread
// of the process at a time uses an object), and the pins of lent slots (the
// mapping outlives close() while any is).
struct Channel {
    std::string name;
    HeldSegment anonymous;  // an anonymous segment's own open, for pickling
    std::shared_ptr<ClaimSite> site;
    std::optional<velmora::Claim> claim;
    Lifecycle life;
    LentPins pins;
    bool closed = false;
    bool scope_open = false;

    Channel(std::string n, std::shared_ptr<ClaimSite> s, velmora::Claim c)
        : name(std::move(n)), site(std::move(s)), claim(std::move(c)) {}
    Channel(Channel&& o) noexcept
        : name(std::move(o.name)), anonymous(std::move(o.anonymous)), site(std::move(o.site)),
          claim(std::move(o.claim)) {}
};

// A publisher or a subscriber: its side of the core, the readiness of its
// descriptor (room_fileno() / fileno()), and what ends the side, `End` (the
// publisher's close: its subscribers see the end of the stream; the
// subscriber's leave), run by close() or when dropped without one. After
// close() the mapping goes at once or with the last pin of a lent slot. A
// subscriber's entry holds the slot of its open receive_view(), so it leaves
// (and gives up its claim) only then too; a publisher's end of the stream
// does not wait for an open loan, whose slot nobody else reads.
template <class Core, void (Core::*End)() noexcept>
struct Side : Channel {
    static constexpr bool kLeavesWithLastPin = std::is_same_v<Core, BroadcastSubscriber>;
    std::optional<Core> core;
    Readiness ready;
    Side(std::string n, std::shared_ptr<ClaimSite> s, velmora::Claim c, Core side)
        : Channel(std::move(n), std::move(s), std::move(c)), core(std::move(side)) {}
    Side(Side&& o) noexcept : Channel(std::move(o)), core(std::move(o.core)) {}
    void release() noexcept {
        if (closed) return;
        closed = true;
        scope_open = false;
        ready.stop();
        if (!kLeavesWithLastPin) end_side();
        if (pins.release()) unmap();
    }
    // Ends this side in the segment (once: the claim goes with it).
    void end_side() noexcept {
        if (core && holds(claim)) ((*core).*End)();
        claim.reset();
    }
    void unmap() noexcept {
        end_side();
        core.reset();
    }
    ~Side() {
        if (core && holds(claim) && !closed) ((*core).*End)();
    }
};

struct PublisherState : Side<BroadcastPublisher, &BroadcastPublisher::close> {
    static constexpr const char* kName = "Publisher";
    using Side::Side;
    std::string scratch;
    BroadcastLoan loan;  // the slot a loan() lends, while scope_open
};

struct SubscriberState : Side<BroadcastSubscriber, &BroadcastSubscriber::leave> {
    static constexpr const char* kName = "Subscriber";
    using Side::Side;
    BroadcastMessage held;  // the slot a receive_view() lends, while scope_open
};

// Every call takes the object's one role for its length: one thread of the
// process at a time uses an object. A call that may wait waits for the role
// within its own deadline; `Busy` and `TimedOut` are the call's "nothing now".
constexpr int kTurn = 0;

enum class Entered { Yes, NothingNow, Failed };

template <class State>
Entered take_turn(Call<State>& call, const State& s, Deadline* deadline) {
    if (!call) return Entered::Failed;
    switch (call.claim(kTurn, deadline)) {
        case Claim::Claimed: break;
        case Claim::Busy:
        case Claim::TimedOut: return Entered::NothingNow;
        case Claim::Failed: return Entered::Failed;
    }
    if (!holds(s.claim)) {
        raise(PyExc_RuntimeError, Reason::invalid_argument,
              std::string(State::kName) + " belongs to the process that made it; open a new one here");
        return Entered::Failed;
    }
    return Entered::Yes;
}

// A method's turn: nullopt when the call holds it; otherwise what the call
// returns, `nothing_now()` when the turn was not free in time (queue.Empty
// or queue.Full raised, an empty list) and nullptr with the error raised.
template <class State, class NothingNow>
std::optional<PyObject*> turn_refused(Call<State>& call, const State& s, Deadline* deadline, NothingNow nothing_now) {
    switch (take_turn(call, s, deadline)) {
        case Entered::Yes: return std::nullopt;
        case Entered::NothingNow: return nothing_now();
        case Entered::Failed: break;
    }
    return nullptr;
}

const auto empty = [] { return raise_queue("Empty"); };
const auto full = [] { return raise_queue("Full"); };

PublisherState& publisher(PyObject* self) noexcept { return state_of<PublisherState>(self); }
SubscriberState& subscriber(PyObject* self) noexcept { return state_of<SubscriberState>(self); }

bool u32_argument(PyObject* arg, const char* name, std::uint32_t& out) {
    std::uint64_t v = 0;
    if (!arg_u64(arg, name, v)) return false;
    if (v > 0xFFFF'FFFFu) {
        raise(PyExc_ValueError, Reason::too_large, std::string(name) + " is too large");
        return false;
    }
    out = static_cast<std::uint32_t>(v);
    return true;
}

// ---- lent slots: loans and received views (python/lent.hpp) ------------------------

template <class State>
State& owner_of(LentState& sc) noexcept {
    return state_of<State>(sc.owner.get());
}

// The mapping goes once the owner is closed and nothing pins it.
template <class State>
void lent_pin(LentState& sc, int delta) {
    State& s = owner_of<State>(sc);
    if (s.pins.change(delta)) s.unmap();
}

// Ends a lending with the owner's turn taken: publishes the loan (`ok`) or
// discards it, or gives the received slot back. After the owner's close()
// there is nothing to end.
Status finish(PublisherState& s, LentState& sc, bool ok) {
    if (!ok) {
        s.core->discard(s.loan);
        return {};
    }
    return s.core->commit(s.loan, static_cast<std::uint64_t>(sc.len), sc.shape_of());
}
Status finish(SubscriberState& s, LentState&, bool) {
    s.core->release(s.held);
    return {};
}
// A loan whose block ended well after its publisher closed: nothing was
// published, which the caller must hear (a subscriber's view has nothing left
// to give back).
template <class State>
Status closed_under(bool ok) {
    if (std::is_same_v<State, PublisherState> && ok)
        return Error::value("Publisher is closed: the loaned message was not published", Reason::closed);
    return {};
}

template <class State>
Status finish_lent(State& s, LentState& sc, bool ok) {
    if (!sc.active) return {};
    sc.active = false;
    s.scope_open = false;
    if (s.closed) return closed_under<State>(ok);
    return finish(s, sc, ok);
}

template <class State>
bool lent_end(LentState& sc, bool ok) {
    State& s = owner_of<State>(sc);
    Deadline never = Deadline::never();
    Call<State> call(s, State::kName);
    if (take_turn(call, s, &never) != Entered::Yes) {
        // Closed meanwhile (or used from a fork child): nothing to give back.
        PyErr_Clear();
        sc.active = false;
        s.scope_open = false;
        const Status lost = closed_under<State>(ok);
        if (!lost) return raise(lost.error()), false;
        return true;
    }
    const Status done = finish_lent(s, sc, ok);
    if (!done) return raise(done.error()), false;
    return true;
}

// A slot dropped without `with` goes back, unless another thread is using
// the object (then it stays taken until the object closes).
template <class State>
void lent_drop(LentState& sc) {
    State& s = owner_of<State>(sc);
    if (s.closed) return;
    Call<State> call(s, State::kName);
    if (call && call.claim(kTurn, nullptr) == Claim::Claimed && holds(s.claim)) (void)finish_lent(s, sc, false);
}

template <class State>
constexpr Lender kSlotLender{&lent_end<State>, &lent_drop<State>, &lent_pin<State>,
                             "this slot was already given back"};

// ---- payloads -----------------------------------------------------------------------

// A message to publish, described without copying: a buffer exporter's bytes
// with its format and shape (pinned by `hold`), or a value's encoding (bytes,
// str, numbers as the ring encodes them; a list encoded into scratch).
struct Payload {
    EncodedView enc;
    BufferHold hold;
    MessageShape shape;
    bool stable = true;  // safe to copy without the interpreter lock
};

// The format and number of dimensions of a message, as a slot descriptor
// holds them: up to kBroadcastFormatBytes - 1 printable ASCII characters and
// kBroadcastMaxDims dimensions. What the items must be is MessageShape::check's.
bool describe(std::string_view format, std::size_t ndim, MessageShape& out) {
    if (format.size() >= kBroadcastFormatBytes || ndim > kBroadcastMaxDims) {
        raise(PyExc_ValueError, Reason::invalid_argument,
              "a broadcast message takes formats of up to " + std::to_string(kBroadcastFormatBytes - 1) +
                  " characters and up to " + std::to_string(kBroadcastMaxDims) + " dimensions");
        return false;
    }
    std::memset(out.format, 0, sizeof out.format);
    std::memcpy(out.format, format.data(), format.size());
    if (format.empty() || format.find('\0') != std::string_view::npos || !format_is_text(out.format)) {
        raise(PyExc_ValueError, Reason::invalid_argument, "a broadcast message's format must be printable ASCII text");
        return false;
    }
    out.ndim = static_cast<std::uint32_t>(ndim);
    return true;
}

bool build_payload(PyObject* data, Scratch& buf, Payload& p) {
#if defined(Py_LIMITED_API) && Py_LIMITED_API + 0 >= 0x030B0000
    if (PyObject_CheckBuffer(data) && !PyBytes_Check(data)) {
        // Objects and pointers are refused as the rings refuse them.
        if (!take_plain_buffer(data, p.hold, 0)) return false;
        const Py_buffer& v = p.hold.view;
        if (v.itemsize <= 0 || v.ndim < 0) {
            raise(PyExc_ValueError, Reason::invalid_argument,
                  "a broadcast message's buffer must have items of one size or more");
            return false;
        }
        if (!describe(v.format != nullptr ? v.format : "B", static_cast<std::size_t>(v.ndim), p.shape)) return false;
        p.shape.itemsize = static_cast<std::uint32_t>(v.itemsize);
        for (int i = 0; i < v.ndim; ++i) p.shape.shape[i] = static_cast<std::uint64_t>(v.shape[i]);
        // What a subscriber would refuse (an item size its format does not
        // have, say) is refused here, before any wait for room.
        if (Status ok = p.shape.check(static_cast<std::uint64_t>(v.len)); !ok) return raise(ok.error()), false;
        p.enc = EncodedView{};
        p.enc.body = static_cast<const std::uint8_t*>(v.buf);
        p.enc.body_len = static_cast<std::size_t>(v.len);
        return true;
    }
#endif
    if (PyList_Check(data)) {
        std::string& bytes = buf.cleared();
        if (!encode_list(data, bytes)) return false;
        p.enc = EncodedView{};
        p.enc.body = reinterpret_cast<const std::uint8_t*>(bytes.data());
        p.enc.body_len = bytes.size();
    } else {
        if (!encode_view(data, p.enc, nullptr)) return false;
        p.stable = !PyByteArray_Check(data);
    }
    p.shape = MessageShape::bytes(p.enc.size());
    return true;
}

// ---- Publisher ----------------------------------------------------------------------

// Waits for a loan as the deadline allows. Empty with no exception set: no
// room in time (block mode).
std::optional<BroadcastLoan> take_loan(PublisherState& s, std::uint64_t nbytes, Deadline deadline, ClosingWait& host,
                                       bool& failed) {
    failed = true;
    const EntryAlive alive = broadcast_entry_probe(s.site);
    auto loan = s.core->loan_wait(nbytes, deadline, host, alive);
    // An event loop's last look (core/readiness.hpp), counted as a waiting
    // publisher so that a subscriber's release rings the room bell (which
    // needs no settling, as for subscribers).
    if (loan && !loan.value() && deadline.immediate() && !host.closed && !host.gil.interrupted() &&
        s.ready.idle(0, 0)) {
        s.core->listen_for_room(true);
        loan = s.core->loan_wait(nbytes, deadline, host, alive);
    }
    if (loan && loan.value()) {
        s.ready.active();
        s.core->listen_for_room(false);
    }
    if (host.closed) {
        host.gil.resume();
        return raise_closed("Publisher"), std::nullopt;
    }
    if (host.gil.interrupted()) return std::nullopt;
    if (!loan) {
        host.gil.resume();
        return raise(loan.error()), std::nullopt;
    }
    failed = false;
    return loan.value();
}

PyObject* wrap_publisher(const PlatformHandle& handle, Result<BroadcastAttachment<BroadcastPublisher>> made) {
    if (!made) return raise(made.error());
    auto& a = made.value();
    auto held = hold_if_anonymous(handle);
    if (!held) return raise(held.error());
    PyTypeObject* type = publisher_type();
    if (type == nullptr) return nullptr;
    PublisherState state(handle.name(), std::move(a.site), std::move(a.claim), std::move(a.side));
    state.anonymous = std::move(held).value();
    return new_object(type, std::move(state));
}

PyObject* create_publisher(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"name", "max_message", "depth", "subscribers", "overflow", "replace"};
    static const Signature sig{"Publisher.create()", names, 6, 3, 1};
    PyObject* argv[6];
    SegmentArg segment;
    std::string_view overflow_text = "block";
    BroadcastConfig config;
    if (!bind(sig, args, nargs, kwnames, argv) || !arg_create_segment(argv[0], argv[5], segment) ||
        !arg_u64(argv[1], "max_message", config.max_message) || !u32_argument(argv[2], "depth", config.depth) ||
        (!omitted(argv[3]) && !u32_argument(argv[3], "subscribers", config.subscribers)) ||
        (!omitted(argv[4]) && !arg_text(argv[4], "overflow", overflow_text)))
        return nullptr;
    auto overflow = parse_overflow(overflow_text);
    if (!overflow) return raise(overflow.error());
    config.overflow = overflow.value();
    auto size = broadcast_segment_size(config);
    if (!size) return raise(size.error());
    Result<PlatformHandle> handle = [&] {
        const GilRelease released;
        return create_segment(segment, size.value());
    }();
    if (!handle) return raise(handle.error());
    return wrap_publisher(handle.value(), attach_publisher(handle.value(), config));
}

// Takes the publisher role of an existing segment (unpickling).
PyObject* take_over_publisher(const SegmentArg& segment) {
    auto handle = open_segment(segment, [](std::string_view name) { return open_broadcast_segment(name); });
    if (!handle) return raise(handle.error());
    return wrap_publisher(handle.value(), attach_publisher(handle.value(), std::nullopt));
}

PyObject* publisher_take_over(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"name"};
    static const Signature sig{"Publisher._take_over()", names, 1, 1};
    PyObject* argv[1];
    SegmentArg segment;
    if (!bind(sig, args, nargs, kwnames, argv) || !arg_open_segment(argv[0], segment)) return nullptr;
    return take_over_publisher(segment);
}

PyObject* publish(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"data", "timeout"};
    static const Signature sig{"Publisher.publish()", names, 2, 1};
    PyObject* argv[2];
    Deadline deadline = Deadline::never();
    if (!bind(sig, args, nargs, kwnames, argv) || !timeout_argument(argv[1], deadline)) return nullptr;
    PublisherState& s = publisher(self);
    // Everything that may run Python code comes before the call is entered.
    Scratch buf(s.scratch);
    Payload p;
    if (!build_payload(argv[0], buf, p)) return nullptr;
    Call<PublisherState> call(s, "Publisher");
    if (auto refused = turn_refused(call, s, &deadline, full)) return *refused;
    ClosingWait host(s.life);
    bool failed = false;
    const auto loan = take_loan(s, p.enc.size(), deadline, host, failed);
    if (failed) return nullptr;
    if (!loan) {
        host.gil.resume();
        return raise_queue("Full");
    }
    if (p.enc.size() >= kLargeCopy && p.stable) host.gil.suspend();
    else host.gil.resume();
    p.enc.copy_to(s.core->loan_bytes(*loan).data());
    Status done = s.core->commit(*loan, p.enc.size(), p.shape);
    host.gil.resume();
    if (!done) {
        s.core->discard(*loan);
        return raise(done.error());
    }
    Py_RETURN_NONE;
}

// A loan's message described as publish() describes an array of `format`
// and `shape` (None: one dimension of as many items as `nbytes` holds),
// checked as publish() checks one, so that a subscriber sees that dtype and
// shape. Refused before anything is taken.
bool loan_shape(PyObject* format_arg, PyObject* shape_arg, std::uint64_t nbytes, MessageShape& out) {
    std::string_view format = "B";
    if (!omitted(format_arg) && !arg_text(format_arg, "format", format)) return false;
    std::vector<std::uint64_t> dims;
    if (omitted(shape_arg)) {
        dims.push_back(0);  // set below, once the item size is known
    } else {
        const bool one = PyIndex_Check(shape_arg) != 0;
        Ref seq(one ? Ref::borrow(shape_arg) : Ref(PySequence_Tuple(shape_arg)));
        if (!seq) {
            if (PyErr_ExceptionMatches(PyExc_TypeError)) {
                PyErr_Clear();
                PyErr_SetString(PyExc_TypeError, "argument 'shape': an int or a sequence of ints, or None");
            }
            return false;
        }
        const Py_ssize_t n = one ? 1 : PyTuple_Size(seq.get());
        for (Py_ssize_t i = 0; i < n; ++i) {
            std::int64_t d = 0;
            if (!arg_i64(one ? shape_arg : PyTuple_GetItem(seq.get(), i), "shape", d)) return false;
            if (d < 0) {
                raise(PyExc_ValueError, Reason::invalid_argument, "a loan's shape must have no negative dimension");
                return false;
            }
            dims.push_back(static_cast<std::uint64_t>(d));
        }
    }
    if (!describe(format, dims.size(), out)) return false;
    // A format without one agreed item size fails check() before the item
    // size is compared: 1 only stands in for it there.
    out.itemsize = format_itemsize(out.format).value_or(1);
    if (omitted(shape_arg)) dims[0] = nbytes / out.itemsize;
    for (std::size_t i = 0; i < dims.size(); ++i) out.shape[i] = dims[i];
    if (Status ok = out.check(nbytes); !ok) return raise(ok.error()), false;
    return true;
}

PyObject* loan(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    // format and shape are keyword-only: timeout stays the second positional argument.
    static const char* const names[] = {"nbytes", "timeout", "format", "shape"};
    static const Signature sig{"Publisher.loan()", names, 4, 1};
    if (nargs > 2) {
        PyErr_Format(PyExc_TypeError, "Publisher.loan() takes from 1 to 2 positional arguments but %zd were given",
                     nargs);
        return nullptr;
    }
    PyObject* argv[4];
    std::uint64_t nbytes = 0;
    Deadline deadline = Deadline::never();
    MessageShape shape;
    if (!bind(sig, args, nargs, kwnames, argv) || !arg_u64(argv[0], "nbytes", nbytes) ||
        !timeout_argument(argv[1], deadline) || !loan_shape(argv[2], argv[3], nbytes, shape))
        return nullptr;
    PublisherState& s = publisher(self);
    Ref made(new_lent(LentKind::BroadcastSlot, self, kSlotLender<PublisherState>));
    if (!made) return nullptr;
    Call<PublisherState> call(s, "Publisher");
    if (auto refused = turn_refused(call, s, &deadline, full)) return *refused;
    if (s.scope_open) {
        raise(PyExc_RuntimeError, Reason::busy, "a loan of this Publisher is still open");
        return nullptr;
    }
    ClosingWait host(s.life);
    bool failed = false;
    const auto taken = take_loan(s, nbytes, deadline, host, failed);
    host.gil.resume();
    if (failed) return nullptr;
    if (!taken) return raise_queue("Full");
    s.loan = *taken;
    lent(made.get()).lend(s.core->loan_bytes(*taken).data(), nbytes, false, shape);
    s.scope_open = true;
    return made.release();
}

// ---- Subscriber ---------------------------------------------------------------------

PyObject* open_subscriber(const SegmentArg& segment) {
    Result<PlatformHandle> handle = [&] {
        const GilRelease released;
        return open_segment(segment, [](std::string_view name) { return open_broadcast_segment(name); });
    }();
    if (!handle) return raise(handle.error());
    auto made = attach_subscriber(handle.value());
    if (!made) return raise(made.error());
    auto& a = made.value();
    auto held = hold_if_anonymous(handle.value());
    if (!held) return raise(held.error());
    PyTypeObject* type = subscriber_type();
    if (type == nullptr) return nullptr;
    SubscriberState state(handle->name(), std::move(a.site), std::move(a.claim), std::move(a.side));
    state.anonymous = std::move(held).value();
    return new_object(type, std::move(state));
}

// Publisher.subscribe(): a new Subscriber of the same segment, opened by its
// name or, for an anonymous segment (which has no name to open), through the
// publisher's own descriptor of it.
PyObject* publisher_subscribe(PyObject* self, PyObject*) {
    const PublisherState& s = publisher(self);
    if (s.closed) return raise_closed("Publisher");
    SegmentArg segment;
    if (s.anonymous) segment.fd = s.anonymous->descriptor();
    else segment.name = s.name;
    return open_subscriber(segment);
}

PyObject* subscriber_open(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"name"};
    static const Signature sig{"Subscriber.open()", names, 1, 1};
    PyObject* argv[1];
    SegmentArg segment;
    if (!bind(sig, args, nargs, kwnames, argv) || !arg_open_segment(argv[0], segment)) return nullptr;
    return open_subscriber(segment);
}

bool publisher_gone(const SubscriberState& s) { return broadcast_publisher_gone(*s.core, *s.site); }

// The next message, waiting as `deadline` allows. Empty with no exception
// set: none in time, or (`ended`) the stream is over.
std::optional<BroadcastMessage> next_message(SubscriberState& s, Deadline deadline, bool eof, bool& ended,
                                             bool& failed) {
    failed = true;
    ClosingWait host(s.life);
    const std::function<bool()> gone = [&s] { return publisher_gone(s); };
    auto found = s.core->wait_next(deadline, host, eof ? &gone : nullptr, ended);
    host.gil.resume();
    if (host.closed) return raise_closed("Subscriber"), std::nullopt;
    if (host.gil.interrupted()) return std::nullopt;
    if (!found) return raise(found.error()), std::nullopt;
    failed = false;
    return found.value();
}

// next_message() for the receiving calls: with timeout=0, an event loop's
// readiness (core/readiness.hpp) asks for a last look, taken with the
// listening mark set, so that the next publish rings this subscriber's bell.
// The publisher rings on the mark, not after idleness, so there is no settling:
// the loop sleeps at once rather than spin through its descriptor.
std::optional<BroadcastMessage> next_or_listen(SubscriberState& s, Deadline deadline, bool eof, bool& ended,
                                               bool& failed) {
    auto m = next_message(s, deadline, eof, ended, failed);
    if (failed || ended) return m;
    if (!m && deadline.immediate() && s.ready.idle(0, 0)) {
        s.core->listen(true);
        m = next_message(s, deadline, eof, ended, failed);
        if (failed || ended) return m;
    }
    if (m) {
        s.ready.active();
        s.core->listen(false);
    }
    return m;
}

// The end of the stream for a call made with eof=True, as the rings say it.
PyObject* raise_ended(const SubscriberState& s) {
    const std::string text = "broadcast '" + s.name + "' has ended: its publisher has gone and every message "
                             "it published was received";
    return raise(PyExc_EOFError, Reason::peer_gone, text);
}

bool no_open_view(const SubscriberState& s) {
    if (!s.scope_open) return true;
    raise(PyExc_RuntimeError, Reason::busy, "a receive_view of this Subscriber is still open");
    return false;
}

// A found message as bytes, then given back. Empty with no exception set:
// overwritten while copied (counted as missed; the cursor moved past it).
Ref copy_out(SubscriberState& s, const BroadcastMessage& m, bool& failed) {
    failed = true;
    char* dst = nullptr;
    Ref out(new_bytes(m.length, dst));
    if (!out) return Ref();
    failed = false;
    if (m.length >= kLargeCopy) {
        const GilRelease released;
        std::memcpy(dst, m.data, m.length);
    } else {
        std::memcpy(dst, m.data, m.length);
    }
    if (!s.core->copied(m)) return Ref();
    s.core->release(m);
    return out;
}

PyObject* receive(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"timeout", "eof"};
    static const Signature sig{"Subscriber.receive()", names, 2, 0};
    Deadline deadline = Deadline::never();
    bool eof = false;
    if (!timeout_eof_arguments(sig, args, nargs, kwnames, deadline, eof)) return nullptr;
    SubscriberState& s = subscriber(self);
    Call<SubscriberState> call(s, "Subscriber");
    if (auto refused = turn_refused(call, s, &deadline, empty)) return *refused;
    if (!no_open_view(s)) return nullptr;
    for (;;) {
        bool ended = false, failed = false;
        const auto m = next_or_listen(s, deadline, eof, ended, failed);
        if (failed) return nullptr;
        if (ended) return raise_ended(s);
        if (!m) return raise_queue("Empty");
        Ref out = copy_out(s, *m, failed);
        if (failed) return nullptr;
        if (out) return out.release();
    }
}

// Plain bytes: what receive_view() shows as format 'B', one dimension.
bool plain_bytes(const MessageShape& shape) noexcept {
    return shape.ndim == 1 && shape.format[0] == 'B' && shape.format[1] == 0;
}

// The messages already waiting, up to `max_count`, as bytes, without waiting
// (velmora.aio's `async for` batches with it). With eof=True, None once the
// stream has ended; otherwise [] when nothing is waiting (an event loop's
// readiness then settles as after receive(timeout=0)). A failure after some
// messages returns those; the next call raises it. With `plain`, the list
// stops before a message that is not plain bytes and before one that comes
// after a loss (missed() grew): those are left for the next receive, which
// tells its format and, by missed(), where the loss lies (the bridge's
// batches).
PyObject* receive_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"max_count", "eof", "plain"};
    static const Signature sig{"Subscriber._receive_many()", names, 3, 1};
    PyObject* argv[3];
    std::uint64_t max_count = 0;
    bool eof = false, plain = false;
    if (!bind(sig, args, nargs, kwnames, argv) || !arg_u64(argv[0], "max_count", max_count) ||
        !eof_argument(argv[1], eof) || !eof_argument(argv[2], plain))
        return nullptr;
    SubscriberState& s = subscriber(self);
    Deadline now = Deadline::now();
    Call<SubscriberState> call(s, "Subscriber");
    if (auto refused = turn_refused(call, s, &now, [] { return PyList_New(0); })) return *refused;
    if (!no_open_view(s)) return nullptr;
    Ref list(PyList_New(0));
    if (!list) return nullptr;
    bool ended = false, failed = false;
    const std::uint64_t missed = s.core->missed();
    auto m = next_or_listen(s, now, eof, ended, failed);
    if (failed) return nullptr;
    if (ended) Py_RETURN_NONE;
    for (std::uint64_t n = 0; m && n < max_count;) {
        if (plain && (!plain_bytes(m->shape) || s.core->missed() != missed)) break;
        Ref out = copy_out(s, *m, failed);
        if (failed) return nullptr;
        if (out) {
            if (PyList_Append(list.get(), out.get()) < 0) return nullptr;
            ++n;
        }
        auto next = s.core->try_next();
        if (!next) {
            if (PyList_Size(list.get()) > 0) break;  // what was found so far is still good
            return raise(next.error());
        }
        m = next.value();
    }
    return list.release();
}

PyObject* receive_view(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"timeout", "eof"};
    static const Signature sig{"Subscriber.receive_view()", names, 2, 0};
    Deadline deadline = Deadline::never();
    bool eof = false;
    if (!timeout_eof_arguments(sig, args, nargs, kwnames, deadline, eof)) return nullptr;
    SubscriberState& s = subscriber(self);
    Ref made(new_lent(LentKind::BroadcastSlot, self, kSlotLender<SubscriberState>));
    if (!made) return nullptr;
    Call<SubscriberState> call(s, "Subscriber");
    if (auto refused = turn_refused(call, s, &deadline, empty)) return *refused;
    if (!no_open_view(s)) return nullptr;
    for (;;) {
        bool ended = false, failed = false;
        auto m = next_or_listen(s, deadline, eof, ended, failed);
        if (failed) return nullptr;
        if (ended) return raise_ended(s);
        if (!m) return raise_queue("Empty");
        if (!s.core->hold(*m)) continue;  // overwritten before it could be held: missed
        s.held = *m;
        lent(made.get()).lend(const_cast<std::uint8_t*>(m->data), m->length, true, m->shape);
        s.scope_open = true;
        return made.release();
    }
}

// The descriptors event loops wait on (python/event_fd.hpp): a subscriber's
// listens on its entry's bell, the publisher's on the room bell. The
// publisher rings them only for a side that set its mark, which only a call
// made after listening can do: so a new descriptor starts readable.
// Overwrite: a publish never waits for room, so the publisher's stays
// readable (nothing drains it: only a publish that found no room does).
template <bool Pub>
PyObject* side_fileno(PyObject* self, PyObject*) {
    auto& s = [&]() -> auto& {
        if constexpr (Pub) return publisher(self);
        else return subscriber(self);
    }();
    const char* cls = Pub ? "Publisher" : "Subscriber";
    if (s.closed) return raise_closed(cls);
    if (!holds(s.claim)) {
        raise(PyExc_RuntimeError, Reason::invalid_argument,
              std::string(cls) + " belongs to the process that made it; open a new one here");
        return nullptr;
    }
    const auto bell = [&] {
        if constexpr (Pub) return &s.core->room_bell();
        else return &s.core->data_bell();
    };
    return readiness_fileno(s.ready, bell, true);
}

PyObject* missed(PyObject* self, PyObject*) {
    SubscriberState& s = subscriber(self);
    if (s.closed) return raise_closed("Subscriber");
    return PyLong_FromUnsignedLongLong(s.core->missed());
}

// ---- shared ---------------------------------------------------------------------------

const BroadcastSegment* segment_of(PyObject* self, bool pub) {
    if (pub) {
        PublisherState& s = publisher(self);
        if (s.closed) return raise_closed("Publisher"), nullptr;
        return &*s.core;
    }
    SubscriberState& s = subscriber(self);
    if (s.closed) return raise_closed("Subscriber"), nullptr;
    return &*s.core;
}

Channel& channel_of(PyObject* self, bool pub) {
    return pub ? static_cast<Channel&>(publisher(self)) : static_cast<Channel&>(subscriber(self));
}

// Pids of the subscribers whose processes hold their entries.
template <bool Pub>
PyObject* subscribers(PyObject* self, PyObject*) {
    const BroadcastSegment* seg = segment_of(self, Pub);
    if (seg == nullptr) return nullptr;
    const Channel& c = channel_of(self, Pub);
    Ref out(PyList_New(0));
    if (!out) return nullptr;
    for (const long pid : broadcast_subscribers(*seg, *c.site)) {
        Ref n(PyLong_FromLong(pid));
        if (!n || PyList_Append(out.get(), n.get()) < 0) return nullptr;
    }
    return out.release();
}

PyObject* has_publisher(PyObject* self, PyObject*) {
    SubscriberState& s = subscriber(self);
    if (s.closed) return raise_closed("Subscriber");
    return PyBool_FromLong(!publisher_gone(s));
}

// Waits for calls in flight (a blocked call gives up with "is closed"),
// leaves the segment and drops the claim; the mapping goes now, or with the
// last pin of a lent slot (a subscriber leaves with it).
template <bool Pub>
PyObject* close(PyObject* self, PyObject*) {
    if constexpr (Pub) close_object(publisher(self));
    else close_object(subscriber(self));
    Py_RETURN_NONE;
}

template <bool Pub>
PyObject* reduce(PyObject* self, PyObject*) {
    const Channel& c = channel_of(self, Pub);
    if (c.closed) return raise_closed(Pub ? "Publisher" : "Subscriber");
    return Pub ? reduce_to("Publisher", "_take_over", c.name, c.anonymous.get())
               : reduce_to("Subscriber", "open", c.name, c.anonymous.get());
}

template <bool Pub>
PyObject* repr(PyObject* self) {
    const Channel& c = channel_of(self, Pub);
    std::string text = std::string(Pub ? "Publisher" : "Subscriber") + "(name=" + shown_name(c.name, c.anonymous != nullptr);
    if (c.closed) {
        text += ", closed)";
    } else {
        const BroadcastSegment& seg = Pub ? static_cast<const BroadcastSegment&>(*publisher(self).core)
                                          : static_cast<const BroadcastSegment&>(*subscriber(self).core);
        const BroadcastLayout& l = seg.layout();
        text += ", max_message=" + std::to_string(l.slot_size) + ", depth=" + std::to_string(l.depth) +
                ", subscribers=" + std::to_string(l.limit) +
                ", overflow=" + (l.overflow == Overflow::Block ? "'block'" : "'overwrite'") +
                ", published=" + std::to_string(seg.published()) + ")";
    }
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

PyMethodDef publisher_methods[] = {
    fast_method<create_publisher>("create",
        "create(name, max_message, depth, subscribers=16, overflow='block', *, replace=False)\n--\n\n"
        "Create a broadcast segment and become its publisher.\n\n"
        "Each message holds up to `max_message` bytes (rounded up to 64); `depth` messages are\n"
        "kept for the subscribers, of which there may be up to `subscribers`. With overflow\n"
        "'block' a publish waits for the slowest live subscriber (one whose process died is\n"
        "dropped); with 'overwrite' it never waits and a subscriber that falls more than\n"
        "`depth` behind skips ahead, counting what it lost in missed(). The segment stays\n"
        "until SharedMemory.remove(name). replace=True removes a leftover of the name first;\n"
        "a name of None makes an anonymous segment (see SharedMemory.create).",
        METH_STATIC),
    fast_method<publish>("publish",
        "publish($self, data, timeout=None)\n--\n\n"
        "Publish one message, copied once into a slot.\n\n"
        "`data` is bytes, str, a number or a list of values (encoded as SpscRingBuffer.push\n"
        "encodes them), or on CPython 3.11+ any C-contiguous buffer of plain data (no objects\n"
        "or pointers: ValueError), whose format and shape travel with it. In block mode it waits up to `timeout` seconds (None: for ever) for\n"
        "the slowest subscriber, then raises queue.Full."),
    fast_method<loan>("loan",
        "loan($self, nbytes, timeout=None, *, format='B', shape=None)\n--\n\n"
        "Lend the slot for the next message, for a `with` block: it gives a writable\n"
        "memoryview of `nbytes` bytes; leaving the block publishes it, an exception inside\n"
        "discards it. Waits for room as publish() does.\n\n"
        "The message is described as publish() describes an array of `format` (struct\n"
        "syntax, plain data, e.g. numpy's dtype.str) and `shape` (None: one dimension of\n"
        "nbytes / item size), so a subscriber's receive_view() has that format and shape;\n"
        "shape times the item size must be `nbytes` (ValueError, nothing taken). The\n"
        "memoryview has the same format and shape: numpy.asarray(view) is a writable array\n"
        "of that dtype and shape (on 3.10 a format memoryview cannot cast to stays bytes)."),
    noargs_method<side_fileno<true>>("room_fileno",
        "room_fileno($self)\n--\n\n"
        "A file descriptor that is readable while room for a message may have come, for event\n"
        "loops (selectors, asyncio's add_reader, trio's wait_readable; velmora.aio wraps it).\n\n"
        "Wait for it when publish(..., timeout=0) (or loan) raised queue.Full, then publish\n"
        "again. In overwrite mode a publish never waits and the descriptor is always readable.\n"
        "Never read from it yourself. Closed with the publisher. Linux only: elsewhere it\n"
        "raises NotImplementedError."),
    noargs_method<subscribers<true>>("subscribers",
        "subscribers($self)\n--\n\nThe process ids of the live subscribers."),
    noargs_method<close<true>>("close",
        "close($self)\n--\n\n"
        "Stop publishing: subscribers receive what was published, then see the end of the\n"
        "stream (receive(eof=True) returns None). A second close() does nothing."),
    noargs_method<enter>("__enter__", "__enter__($self)\n--\n\n"),
    {"__exit__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&exit_closing)), METH_FASTCALL,
     "__exit__($self, *exc_info)\n--\n\nClose the publisher."},
    noargs_method<reduce<true>>("__reduce__",
        "__reduce__($self)\n--\n\nPickle by name: unpickling takes over the publisher role of the segment."),
    noargs_method<publisher_subscribe>("subscribe",
        "subscribe($self)\n--\n\n"
        "Open a new Subscriber of this publisher's segment, as Subscriber.open(name) does; the\n"
        "way to subscribe to an anonymous one (create(None, ...)), which has no name to open."),
    fast_method<publisher_take_over>("_take_over",
        "_take_over(name)\n--\n\nTake the publisher role of an existing broadcast segment (unpickling).",
        METH_STATIC),
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef subscriber_methods[] = {
    fast_method<subscriber_open>("open",
        "open(name)\n--\n\n"
        "Subscribe to a broadcast segment; the first message received is the next one\n"
        "published. Raises BlockingIOError when it already has its limit of subscribers.",
        METH_STATIC),
    fast_method<receive>("receive",
        "receive($self, timeout=None, eof=False)\n--\n\n"
        "The next message as bytes (a copy). Waits up to `timeout` seconds (None: for ever),\n"
        "then raises queue.Empty. With eof=True it raises EOFError once the publisher has\n"
        "closed or died and every message it published was received."),
    fast_method<receive_view>("receive_view",
        "receive_view($self, timeout=None, eof=False)\n--\n\n"
        "The next message in place, for a `with` block: it gives a read-only memoryview of\n"
        "the slot with the format and shape the message was published with (numpy.asarray\n"
        "makes an array of it without a copy). The slot is not reused until the block ends;\n"
        "the memoryview is released then, and what was made from it must not be used after.\n"
        "Waits and ends (eof=True: EOFError) as receive() does."),
    fast_method<receive_many>("_receive_many",
        "_receive_many($self, max_count, eof=False, plain=False)\n--\n\n"
        "Up to `max_count` messages already waiting, as bytes, without waiting: [] when there\n"
        "is none; with eof=True, None once the stream has ended. For velmora.aio's batches.\n"
        "With plain=True it stops before a message that is not plain bytes or that follows\n"
        "a loss (the bridge's batches)."),
    noargs_method<side_fileno<false>>("fileno",
        "fileno($self)\n--\n\n"
        "A file descriptor that is readable while a message may be waiting for this subscriber\n"
        "(or the publisher closed), for event loops (selectors, asyncio's add_reader, trio's\n"
        "wait_readable; velmora.aio wraps it).\n\n"
        "Wait for it, then call receive(timeout=0) (or receive_view): a call that finds nothing\n"
        "makes the descriptor unreadable again once the stream has been quiet for a moment,\n"
        "and the publisher makes it readable when it publishes. Never read from it yourself.\n"
        "Closed with the subscriber. Linux only: elsewhere it raises NotImplementedError."),
    noargs_method<missed>("missed",
        "missed($self)\n--\n\nHow many messages this subscriber lost to overwriting (overwrite mode)."),
    noargs_method<has_publisher>("has_publisher",
        "has_publisher($self)\n--\n\nWhether a live publisher is attached and has not closed."),
    noargs_method<subscribers<false>>("subscribers",
        "subscribers($self)\n--\n\nThe process ids of the live subscribers."),
    noargs_method<close<false>>("close",
        "close($self)\n--\n\nUnsubscribe; a second close() does nothing."),
    noargs_method<enter>("__enter__", "__enter__($self)\n--\n\n"),
    {"__exit__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&exit_closing)), METH_FASTCALL,
     "__exit__($self, *exc_info)\n--\n\nClose the subscriber."},
    noargs_method<reduce<false>>("__reduce__",
        "__reduce__($self)\n--\n\nPickle by name: unpickling subscribes again."),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot publisher_slots[] = {
    {Py_tp_doc, const_cast<char*>(
        "The one publisher of a broadcast segment: every message it publishes reaches every\n"
        "subscriber. Made by Publisher.create().")},
    {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc<PublisherState>)},
    {Py_tp_repr, reinterpret_cast<void*>(&repr_guard<repr<true>>)},
    {Py_tp_methods, publisher_methods},
    {0, nullptr},
};

PyType_Slot subscriber_slots[] = {
    {Py_tp_doc, const_cast<char*>(
        "One subscriber of a broadcast segment: it receives every message published after\n"
        "it joined, in order. Made by Subscriber.open().")},
    {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc<SubscriberState>)},
    {Py_tp_repr, reinterpret_cast<void*>(&repr_guard<repr<false>>)},
    {Py_tp_methods, subscriber_methods},
    {0, nullptr},
};

}  // namespace

PyType_Spec publisher_spec = {
    "Publisher", static_cast<int>(sizeof(Object<PublisherState>)), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, publisher_slots,
};

PyType_Spec subscriber_spec = {
    "Subscriber", static_cast<int>(sizeof(Object<SubscriberState>)), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, subscriber_slots,
};

}  // namespace velmora::py
