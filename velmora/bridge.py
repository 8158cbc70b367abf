"""Carrying a local channel to another host over ZeroMQ.

A sending bridge drains a local receiving handle (a ring read as its
consumer, a broadcast read as one of its subscribers) into a ZeroMQ PUSH
socket (PUB for a broadcast); a receiving bridge takes messages from a PULL
(SUB) socket and puts them into a local sending handle (a ring written as its
producer, a broadcast as its publisher). A channel is a handle or a segment
name; rings are SpscRingBuffer, and MpscRingBuffer (fan-in) where the module
has it; a broadcast is sent from a Subscriber and received into a Publisher (by
name, the receiving bridge takes the publisher role of an existing broadcast).
Either side may bind; the other connects. pyzmq is an optional dependency:
``pip install velmora[bridge]``.

    # host A                                        # host B
    ring = SharedMemory.open("/jobs").spsc()        ring = SharedMemory.open("/jobs").spsc()
    bridge.send(ring, "tcp://B:5555")               bridge.receive("tcp://*:5555", ring, bind=True)

Both block until stop() is called from another thread, Ctrl-C arrives, or the
stream ends (a source ring ends it once its producers have gone and it is
drained: get(eof=True), a broadcast once its publisher has closed and all it
published was taken; the receiving bridge then ends too and lets its ring
producer role go, or its broadcast publisher role when it opened the broadcast
by name, so the far consumers see the end as well). A ring
given as a handle is used through the bridge's own handle on the same
segment, so a producer in the same process ends the stream by closing its
handle, and a consumer in the same process sees the end as EOFError;
``wait=True`` (or seconds) waits for a segment given by name to appear.
``background=True``
runs them on a thread and returns the bridge object (``.stop()``, ``.stats``);
``Sender(...).run_async()`` / ``Receiver(...).run_async()`` under asyncio.
After a message that followed the one before closely, each bridge looks for
the next one for ``spin`` seconds without sleeping (see _LookAgain).
Peers connecting and disconnecting are logged at INFO (logger
"velmora.bridge") and counted.

Keys
----
``keygen(DIR)`` writes a CURVE key pair (DIR/bridge.key, public, and
DIR/bridge.key_secret). The side that binds is the server: ``curve_secret=``
its secret key file and ``curve_allow=`` a folder of the public key files of
the peers it lets in (or a list of Z85 keys); the side that connects gives
``curve_secret=`` its own and ``curve_server=`` the server's public key file.
Traffic is then encrypted and a peer whose key is not allowed is refused
during the handshake: it delivers nothing, and is counted (``unauthorised``)
and logged once per host. Without keys a bridge works as before; one that
binds a TCP address other than loopback warns (UserWarning and the log).

A peer is untrusted input
-------------------------
A receiving bridge checks every field of every ZeroMQ message (header size,
magic, version, flags, reserved bits, stream id, count against frames,
lengths against payloads, formats and shapes against payload sizes, sequence
numbers against 64 bits) and drops what does not pass: counted in
``malformed`` and ``refused`` (by kind) and logged once per kind; it never
stops or raises for what a peer sends. A frame larger than both the largest
message the target holds and the largest packed batch (MAX_FRAME) is refused
by ZeroMQ, which drops that connection before reading it into memory. It follows one stream: its numbers
decide gaps and duplicates, and only its end ends the bridge. Batches and
ends of another stream id are dropped and counted (``foreign``), except a
stream that starts afresh (numbers below NEW_STREAM_BELOW: a sending bridge
restarted without its state), one followed before (switched back to where it
was), or any stream once the one followed has been silent QUIET seconds. A
jump ahead within the stream followed is a gap, however far.

What is guaranteed
------------------
* Messages arrive byte-exact and in the order the source gave them. A
  broadcast message keeps its format and shape (what receive_view() shows)
  where memoryview.cast can rebuild it (native single-character formats, no
  zero dimensions); other formats arrive as plain bytes, with a warning.
* A broadcast reaches every receiving bridge subscribed at the time (SUB
  sockets that connect late start with what they get: the first sequence
  number is logged as where they joined, not as a gap). A receiving bridge
  that cannot keep up holds the sending one (no drops at ZeroMQ's mark), and
  so the local broadcast, as a slow local subscriber would.
* Back-pressure is end to end: a full target ring stops the receiving bridge
  reading, ZeroMQ's high-water marks (a few batches each side) then hold the
  sending bridge, and a held sending bridge leaves messages in its source ring,
  so the producer sees a full ring. Nothing queues without bound.
* Every message carries a sequence number within its stream (one stream per
  sending bridge; with a state file, a restarted sending bridge continues its
  stream). The receiving bridge counts gaps and logs each one with its size,
  so a crashed peer or a lost connection is visible. Messages an overwriting
  publisher ran past before the sending bridge took them are counted there
  (``missed``) and leave a gap of their size as well, and so do the messages
  a broadcast published while its sending bridge was down, when that bridge
  starts again from its state file. State files are per stream: the command
  line's default one is named after the segment, the endpoint and the
  segment's file, so a run over another endpoint or a segment made anew
  starts a new stream.

What is not
-----------
* Delivery across a connection loss or a crash is at most once: messages in
  flight (ZeroMQ queues, socket buffers, the batch a bridge holds) are lost and
  reported as a gap; they are never delivered twice. Exactly-once would need
  acknowledgements and storage on the sending side.
* A sending bridge killed in the few microseconds between taking a batch
  from its source (which consumes it) and noting its numbers loses that
  batch without a gap: the next run numbers on from the last note. (A large
  message of an SPSC ring, with a state file, is noted before it is taken
  and consumed only once it has gone out; a bridge killed meanwhile drops
  it when it starts again and reports it as a gap, whether or not it went.)
* A gap is reported when the next message arrives (a stream that stops for
  good after a loss shows no gap). A receiving bridge that restarts knows where
  it left off only with a state file (``state=``; the command line keeps one by
  default); without one it logs the sequence number it joined at.
* Messages a ring can never hold (larger than its capacity) are not delivered;
  they are counted as rejected (and in ``refused``) and the first is logged; so
  are messages a publisher refuses (larger than its slots, or a format such as
  pointers that no sending bridge sends).
* On stop, a sending bridge gives ZeroMQ `linger` seconds (1) to pass on what
  it has queued; what is left then is lost (a gap for the next receiver).
* Without CURVE keys, anyone who can reach a bound TCP port can write into
  the local channel (or read from it): give keys, or bind loopback or IPC.
  Even with keys, a peer that holds an allowed key is trusted with the
  stream's numbers.

Wire format
-----------
One ZeroMQ message (multipart) per batch. The first frame is a 28-byte
little-endian header: magic ``b"VMBx"``, version u8 (1), flags u8, reserved
u16, count u32, stream u64, first sequence number u64. With the PACKED flag
(1), two frames follow: the count payload lengths (u32 each) and the payloads
back to back; otherwise one frame per payload, sent and received without a
copy when the LARGE flag (4) is set (a large message of a broadcast whose
publisher blocks, or of an SPSC ring read by a bridge that keeps a state
file, goes out from where it lies, which the sending bridge keeps until
ZeroMQ has passed it on). With the TYPED flag (8), a frame of
formats and shapes (one entry per message; see _encode_formats) comes right
after the header; ring batches never have it. A header with the END flag (2)
and no payloads ends the stream.
"""
from __future__ import annotations

import atexit
import importlib
import itertools
import logging
import mmap
import os
import queue
import secrets
import struct
import sys
import tempfile
import threading
import time
import weakref
from array import array
from dataclasses import asdict, dataclass, field
from typing import Any

log = logging.getLogger("velmora.bridge")

HEADER = struct.Struct("<4sBBHIQQ")
MAGIC = b"VMBx"
VERSION = 1
PACKED = 1
END = 2
LARGE = 4  # payload frames large enough to be sent and received without a copy
TYPED = 8  # a frame of formats and shapes follows the header

# Batches: up to this many messages or about this many bytes.
MAX_BATCH = 4096
BATCH_BYTES = 256 * 1024
# A batch whose messages average less than this goes as two frames (lengths and
# payloads); larger messages get a frame each and are sent without a copy.
PACK_BELOW = 16 * 1024
# Payload frames from this size on travel without a copy (smaller ones are
# cheaper copied than wrapped).
ZERO_COPY_FROM = 64 * 1024
# ZeroMQ high-water marks in batches, per side.
HWM = 16
# The largest frame a sending bridge makes besides a message of its own: a
# packed batch. A receiving bridge has ZeroMQ refuse a frame larger than this
# and than the largest message its target holds (the peer's connection is
# dropped before the frame is read into memory): a peer cannot make it
# allocate without bound.
MAX_FRAME = MAX_BATCH * PACK_BELOW
# Sequence numbers are u64 on the wire.
_SEQ_MAX = (1 << 64) - 1
# A receiving bridge takes up a stream other than the one it follows when that
# one starts below this number (a sending bridge started afresh), or when the
# stream it follows has been silent this many seconds.
NEW_STREAM_BELOW = 1 << 16
QUIET = 5.0
# How often a blocked bridge looks at its stop flag, in seconds.
POLL = 0.05
# After a message, a bridge keeps looking for the next one this long (seconds)
# without sleeping, yielding the processor between looks (see _LookAgain); the
# `spin` option changes it per bridge.
SPIN = 0.0002

_LITTLE = sys.byteorder == "little"


# The frame of formats and shapes: for each message in order, one byte 0xFF for
# plain bytes, or its dimension count u8, its format's length u16 and the
# format (UTF-8), then the dimensions (u64 each).
_PLAIN = 0xFF
_FORM = struct.Struct("<BH")


def _encode_formats(formats) -> bytes:
    out = bytearray()
    for form in formats:
        if form is None:
            out.append(_PLAIN)
            continue
        fmt, shape = form
        code = fmt.encode()
        out += _FORM.pack(len(shape), len(code))
        out += code
        out += struct.pack(f"<{len(shape)}Q", *shape)
    return bytes(out)


# Bounds of an entry a peer sends: what memoryview can have.
_MAX_NDIM = 64
_MAX_FORMAT = 255


def _decode_formats(data: bytes, count: int):
    """The (format, shape) or None of `count` messages, or None when `data` is
    not exactly such a frame (a dimension count or format length out of
    bounds, a format that is not text, a shape that cannot be a buffer's).
    Whether a shape fits its payload is checked by _fits."""
    out: list = []
    at, end = 0, len(data)
    try:
        for _ in range(count):
            if data[at] == _PLAIN:
                out.append(None)
                at += 1
                continue
            ndim, n = _FORM.unpack_from(data, at)
            at += _FORM.size
            if ndim > _MAX_NDIM or not 0 < n <= _MAX_FORMAT or at + n + 8 * ndim > end:
                return None
            fmt = data[at:at + n].decode()
            at += n
            shape = struct.unpack_from(f"<{ndim}Q", data, at)
            if any(d >= 1 << 62 for d in shape):
                return None
            out.append((fmt, shape))
            at += 8 * ndim
    except (IndexError, struct.error, UnicodeDecodeError):
        return None
    return out if at == end else None


def _fits(form, size: int) -> bool:
    """Whether a (format, shape) can describe `size` bytes: its elements times
    their size where the struct module knows the format, else no more
    elements than bytes (an item has at least one)."""
    fmt, shape = form
    elements = 1
    for d in shape:
        elements *= d
    try:
        item = struct.calcsize(fmt)
    except (struct.error, TypeError, ValueError):
        return elements <= size
    return elements * item == size


class BridgeError(Exception):
    """A bridge that cannot start: no pyzmq, a channel it cannot carry, an
    endpoint that cannot be bound or connected."""


def tune_allocator() -> bool:
    """Makes glibc's malloc keep freed large buffers for reuse: buffers up to
    32 MiB come from the heap rather than a mapping of their own, and up to
    64 MiB of free heap is kept instead of being handed back. A bridge
    carrying large messages allocates one or two such buffers per message
    (the bytes taken from the source, ZeroMQ's receive buffer); without this
    each one is mapped, faulted in page by page, zeroed and unmapped again,
    which costs about as much as the copies themselves. The setting is for the
    whole process: the command line makes it; a program that runs a bridge may
    call this once. False where the C library has no mallopt (not glibc)."""
    import ctypes

    try:
        mallopt = ctypes.CDLL(None).mallopt
    except (OSError, AttributeError):
        return False
    m_trim_threshold, m_mmap_threshold = -1, -3
    return bool(mallopt(m_mmap_threshold, 32 << 20)) and bool(mallopt(m_trim_threshold, 64 << 20))


def _zmq() -> Any:
    try:
        zmq = importlib.import_module("zmq")
    except ImportError:
        raise BridgeError("the bridge needs pyzmq: pip install 'velmora[bridge]'") from None
    return zmq


# ---- channels ----------------------------------------------------------------------------
# A source gives batches of bytes-like messages; a sink takes them. Each channel
# kind is a pair of small adapters, looked up by the handle's type.


def _has_eof(method) -> bool:
    """Whether a ring's get() takes eof=True (end of stream once every
    producer has gone and the ring is drained)."""
    return "eof" in (getattr(method, "__text_signature__", None) or getattr(method, "__doc__", None) or "")


class RingSource:
    """Reads a ring (get, pop_many) as its consumer. With `in_place` (a
    sending bridge that keeps its state on an SPSC ring sets it), a large
    message is read in place (get_view) and lent to ZeroMQ until it has gone
    out, then consumed: no copy on the way out."""

    pattern = "PUSH"
    formats = None  # every message is plain bytes
    skipped = 0  # nothing is lost before a batch
    keeps_lent = True  # a lent message stays in the ring when its bridge dies

    def __init__(self, ring):
        self.ring = ring
        self.lent = None  # the view of a message sent from where it lies, until give_back()
        self.in_place = False
        self._large = False  # the last batch began with a large message: read the next in place
        self._get, self._view = ring.get, getattr(ring, "get_view", None)
        if _has_eof(ring.get):
            get, view = ring.get, self._view
            self._get = lambda timeout: get(timeout=timeout, eof=True)
            self._view = view and (lambda timeout: view(timeout=timeout, eof=True))

    def _first(self, timeout: float):
        """The batch's first message: bytes, or a view of it in the ring,
        then lent (self.lent) until give_back()."""
        if not self._large:
            return self._get(timeout=timeout)
        scope = self._view(timeout)
        mv = scope.__enter__()
        if len(mv) >= ZERO_COPY_FROM:
            self.lent = scope
            return mv
        data = mv.tobytes()
        scope.__exit__(None, None, None)
        return data

    def take(self, timeout: float):
        """Waits up to `timeout` for a message, then takes what else is there,
        up to a batch; an empty list when nothing came, None at the end of the
        stream. A message read in place is alone in its batch."""
        try:
            first = self._first(timeout)
        except queue.Empty:
            return []
        except EOFError:
            return None
        self._large = self.in_place and len(first) >= ZERO_COPY_FROM
        if self.lent is not None:
            return [first]
        more = min(MAX_BATCH, BATCH_BYTES // (len(first) + 4)) - 1
        if more <= 0:
            return [first]
        batch = self.ring.pop_many(more)
        batch.insert(0, first)
        return batch

    def give_back(self) -> None:
        """Consumes the message lent (it has gone out, or is given up)."""
        lent, self.lent = self.lent, None
        if lent is not None:
            lent.__exit__(None, None, None)

    def discard_one(self) -> None:
        """Drops the next message, if there is one."""
        self.ring.pop()


def _log_each(kind: str, what: str, *args) -> None:
    log.error(what, *args)


class RingSink:
    """Writes a ring (push_many, put) as its producer."""

    pattern = "PULL"
    FRAME = 4  # the ring's length word before each payload

    def __init__(self, ring):
        self.ring = ring
        # Says what was not delivered: report(kind, text, *args). A receiving
        # bridge sets its own, which counts by kind and logs the first of each.
        self.report = _log_each
        limit = getattr(ring, "max_payload", None)
        self.limit = limit if isinstance(limit, int) else ring.capacity() - self.FRAME

    def put(self, items: list, stop: threading.Event, note, formats=None) -> tuple:
        """Puts the items in order, waiting for room, and calls note(n) each
        time the first n have been handed on; returns (delivered, rejected).
        Stops early once `stop` is set (or Ctrl-C sets it). A message larger
        than the ring can ever hold is rejected (skipped) and logged."""
        n, limit = len(items), self.limit
        big = [i for i, m in enumerate(items) if len(m) > limit] if max(map(len, items)) > limit else []
        done = rejected = 0
        for end in (*big, n):
            done = self._put_run(items, done, end, stop, note)
            if done < end:
                break
            if end < n:
                self.report("too large", "message of %d bytes not delivered: the ring holds at most %d",
                            len(items[end]), limit)
                rejected += 1
                done += 1
                note(done)
        return done - rejected, rejected

    def _put_run(self, items, done, end, stop, note) -> int:
        ring = self.ring
        # The first message alone: push() wakes a consumer asleep on an empty
        # ring, push_many() does not (it would sleep out its wait).
        if done < end and ring.push(items[done]):
            done += 1
            if done < end:
                done += ring.push_many(items[done:end])
        while done < end:
            note(done)
            try:
                ring.put(items[done], timeout=POLL)
            except queue.Full:
                if stop.is_set():
                    break
                continue
            except BrokenPipeError:
                # The ring's consumer has gone; a relay outlives its consumers,
                # so it waits for the next one to attach.
                if stop.wait(POLL):
                    break
                continue
            except KeyboardInterrupt:
                stop.set()
                break
            done += 1
            if done < end:
                done += ring.push_many(items[done:end])
        note(done)
        return done


def _broadcast_detail(handle, key: str):
    """A detail of a broadcast's header ("overflow": "block" or "overwrite",
    "max_message": its slots' size), or None when it cannot be read."""
    from velmora import _segments

    name = _segment_name(handle)
    try:
        found = _segments.classify_broadcast(_segments.read_head(_segments.path_of(name),
                                                                 _segments.BROADCAST_HEADER))
    except (OSError, TypeError, _segments.SegmentError):
        return None
    return found.details.get(key) if found is not None else None


class SubscriberSource:
    """Reads a broadcast as one of its subscribers (receive_view, so that an
    array's format and shape come with its bytes)."""

    pattern = "PUB"
    keeps_lent = False  # a dead subscriber's slots go back; its successor starts afresh

    def __init__(self, subscriber):
        self.sub = subscriber
        self.formats = None
        self.skipped = 0
        self._missed = subscriber.missed()
        self._held = None  # a message taken after a local loss, which starts the next batch
        self.lent = None  # the slot of a message sent from where it lies, until give_back()
        # Only an overwriting publisher makes a subscriber miss messages: with
        # one that blocks, the count is not looked at per message.
        self._may_miss = _broadcast_detail(subscriber, "overflow") != "block"
        # After a batch's first message, the plain messages waiting are taken
        # as bytes in one call each few (a tenth of the time a receive_view
        # takes each): it stops before a message with a format and before one
        # after a loss, which then go through _one(). The size of the
        # broadcast's largest message bounds how many are asked for at once.
        many = getattr(subscriber, "_receive_many", None)
        self._many = many if "plain" in (getattr(many, "__text_signature__", None) or "") else None
        self._largest = _broadcast_detail(subscriber, "max_message") or BATCH_BYTES

    def position(self):
        """The broadcast's number (its publisher's count) of the next message
        this subscriber takes: its cursor in the segment's header where it is
        the only subscriber of this process, else the count published so far
        (where a subscriber opened just now starts); None when the header
        cannot be read."""
        from velmora import _segments

        try:
            head = _segments.read_head(_segments.path_of(_segment_name(self.sub)), _segments.PEEK)
            found = _segments.classify_broadcast(head)
        except (OSError, TypeError, _segments.SegmentError):
            return None
        if found is None:
            return None
        d = found.details
        entries = _segments.BROADCAST_HEADER + (d["depth"] * 4 + 63) // 64 * 64
        cursors = []
        for i in range(d["subscriber_limit"]):
            at = entries + i * _segments.BROADCAST_ENTRY
            if at + 16 > len(head):
                break
            state, pid, cursor = struct.unpack_from("<IIQ", head, at)
            if state & 1 and pid == os.getpid():
                cursors.append(cursor)
        return cursors[0] if len(cursors) == 1 else d["published"]

    def _one(self, timeout: float, lend: bool = False):
        """(bytes, format or None, messages lost just before it); queue.Empty
        when none came in time. With `lend`, a large message of a publisher
        that blocks comes as a byte view of its slot, kept until give_back()."""
        scope = self.sub.receive_view(timeout=timeout)
        mv = scope.__enter__()
        try:
            form = None if mv.ndim == 1 and mv.format == "B" else (mv.format, mv.shape)
            if lend and not self._may_miss and mv.nbytes >= ZERO_COPY_FROM:
                self.lent, scope = scope, None
                return (mv if form is None else mv.cast("B")), form, 0
            data = mv.tobytes()
        finally:
            if scope is not None:
                scope.__exit__(None, None, None)
        if not self._may_miss:
            return data, form, 0
        missed = self.sub.missed()
        lost, self._missed = missed - self._missed, missed
        return data, form, lost

    def _ended(self) -> bool:
        """After a wait that found nothing: whether the publisher has gone and
        everything it published has been taken."""
        if self.sub.has_publisher():
            return False
        try:  # published just before it went, after the wait gave up
            self._held = self._one(0)
            return False
        except queue.Empty:
            pass
        try:
            last = self.sub.receive(timeout=0, eof=True)
        except EOFError:
            return True
        self._held = (last, None, 0)
        return False

    def take(self, timeout: float):
        """As RingSource.take; `formats` is then None when every message is
        plain bytes, else each one's (format, shape) or None, and `skipped`
        the messages the subscriber lost just before the first (an overwriting
        publisher ran ahead of it)."""
        first, self._held = self._held, None
        if first is None:
            try:
                first = self._one(timeout, lend=True)
            except queue.Empty:
                if self._ended():
                    return None
                if self._held is None:
                    return []
                first, self._held = self._held, None
        data, form, self.skipped = first
        items, forms = [data], [form]
        if self.lent is not None:  # alone in its batch: no other slot may be taken meanwhile
            self.formats = None if form is None else forms
            return items
        room = min(MAX_BATCH, BATCH_BYTES // (len(data) + 4)) - 1
        size = len(data)
        many, largest = self._many, self._largest
        while room > 0 and size < BATCH_BYTES:
            if many is not None:
                want = max(1, min(room, (BATCH_BYTES - size) // largest))
                got = many(want, plain=True)
                if got:
                    items += got
                    forms += [None] * len(got)
                    room -= len(got)
                    size += sum(map(len, got))
                    if self._may_miss and self.sub.missed() != self._missed:
                        break  # lost after the last of them: the next batch starts after the loss
                    if len(got) == want:
                        continue
                    if room <= 0 or size >= BATCH_BYTES:
                        break
            try:
                data, form, lost = self._one(0)
            except queue.Empty:
                break
            if lost:  # numbered after a gap: it starts the next batch
                self._held = (data, form, lost)
                break
            items.append(data)
            forms.append(form)
            room -= 1
            size += len(data)
        self.formats = forms if any(f is not None for f in forms) else None
        return items

    def give_back(self) -> None:
        """Ends the loan of a slot sent from where it lies."""
        lent, self.lent = self.lent, None
        if lent is not None:
            lent.__exit__(None, None, None)


class PublisherSink:
    """Publishes into a broadcast as its publisher; an array's format and shape
    are given back to it (memoryview.cast) where they travelled with it."""

    pattern = "SUB"

    def __init__(self, publisher):
        self.pub = publisher
        self.report = _log_each  # as RingSink's
        self._unshaped = set()  # formats already warned about
        limit = _broadcast_detail(publisher, "max_message")
        self.limit = limit if isinstance(limit, int) else None

    def _shaped(self, data, form):
        fmt, shape = form
        try:
            return memoryview(data).cast("B").cast(fmt, shape)
        except (TypeError, ValueError, OverflowError, struct.error):
            if len(self._unshaped) < 64 and fmt not in self._unshaped:
                self._unshaped.add(fmt)
                log.warning("format %r (shape %s) cannot be rebuilt here: such messages are published as "
                            "plain bytes", fmt, shape)
            return data

    def put(self, items: list, stop: threading.Event, note, formats=None) -> tuple:
        """As RingSink.put, one publish a message: in block mode a publish
        waits for the slowest local subscriber. A message larger than the
        publisher's slots is rejected and logged."""
        publish = self.pub.publish
        rejected = 0
        for i, data in enumerate(items):
            if formats is not None and formats[i] is not None:
                data = self._shaped(data, formats[i])
            while True:
                try:
                    publish(data, timeout=0)
                    break
                except queue.Full:
                    pass
                except ValueError as exc:
                    # Too large for a slot, or a format no publisher takes
                    # (pointers, objects): no sending bridge sends that.
                    typed = formats is not None and formats[i] is not None
                    self.report("format" if typed else "too large", "message of %d bytes not delivered: %s",
                                len(items[i]), exc)
                    rejected += 1
                    break
                note(i)
                try:
                    publish(data, timeout=POLL)
                    break
                except queue.Full:
                    if stop.is_set():
                        return i - rejected, rejected
                except KeyboardInterrupt:
                    stop.set()
                    return i - rejected, rejected
        note(len(items))
        return len(items) - rejected, rejected


# The kinds a bridge carries, by their names in the registry (velmora._kinds):
# per role, the handle class, its adapter, and the class's static method that
# opens the handle by segment name. By name, the receiving side of a broadcast
# takes the publisher role of the existing segment (as unpickling a Publisher does).
_CARRIED = {
    "ring": {"source": ("SpscRingBuffer", RingSource, "open"), "sink": ("SpscRingBuffer", RingSink, "open")},
    "mpsc": {"source": ("MpscRingBuffer", RingSource, "open"), "sink": ("MpscRingBuffer", RingSink, "open")},
    "broadcast": {"source": ("Subscriber", SubscriberSource, "open"),
                  "sink": ("Publisher", PublisherSink, "_take_over")},
}


def _kinds() -> dict:
    """kind -> {"source"/"sink": (handle type, adapter, opener by segment name)}."""
    import velmora
    from velmora._kinds import KINDS

    return {kind: {role: (getattr(velmora, cls), adapter, getattr(getattr(velmora, cls), opener))
                   for role, (cls, adapter, opener) in roles.items()}
            for kind, roles in _CARRIED.items() if kind in KINDS}


# A segment that exists but does not hold a channel yet (its creator has not
# set it up) is looked at again for this long before a waiting bridge gives up.
SETUP_GRACE = 2.0


def _find(name: str, kinds: dict, wait):
    """The segment `name` once it holds a channel a bridge carries. With
    `wait` (True, or a number of seconds), a segment that does not exist yet
    is waited for, and one that does not hold a channel yet gets SETUP_GRACE
    seconds to be set up."""
    from velmora import _segments

    until = None if wait is True else time.monotonic() + (float(wait) if wait else 0.0)
    since = told = None
    while True:
        now = time.monotonic()
        try:
            seg = _segments.get_segment(name)
        except _segments.SegmentError as exc:
            if exc.reason != "not_found" or not wait or until is not None and now >= until:
                raise BridgeError(str(exc)) from None
        else:
            kind = seg.content.kind
            if kind in kinds:
                return seg
            since = since or now
            if not wait or now - since >= SETUP_GRACE or until is not None and now >= until:
                what = {"view": "a locked view"}.get(kind, "nothing a bridge can carry")
                raise BridgeError(f"{seg.name} holds {what} ({kind}: {seg.content.state}); "
                                  f"a bridge carries {', '.join(sorted(kinds))} segments")
        if told is None:
            told = True
            log.info("waiting for the segment %s to appear", name)
        time.sleep(POLL)


def _adapt(channel, role: str, wait=False):
    """(adapter, handle, owned) for a handle or a segment name; `owned` when
    the bridge opened the handle itself, and so closes it when it ends.

    A ring handle given is used through a handle of the bridge's own on the
    same segment: the caller may close theirs (which ends the stream: a
    closed producer is a producer gone) without pulling the ring from under
    the bridge, and the receiving bridge lets its producer role go when it
    ends. (A broadcast handle is used as it is: another subscriber would start
    elsewhere in the stream, another publisher is not to be had.)"""
    kinds = _kinds()
    if isinstance(channel, str):
        seg = _find(channel, kinds, wait)
        _, adapter, opener = kinds[seg.content.kind][role]
        try:
            handle = opener(seg.name)
        except (OSError, ValueError) as exc:
            raise BridgeError(f"{seg.name}: {exc}") from None
        return adapter(handle), handle, True
    for kind, entry in kinds.items():
        if isinstance(channel, entry[role][0]):
            own = _reopen(channel, entry[role][2]) if kind != "broadcast" else None
            if own is not None:
                return entry[role][1](own), own, True
            return entry[role][1](channel), channel, False
    other = "sink" if role == "source" else "source"
    for kind, entry in kinds.items():
        if isinstance(channel, entry[other][0]) and entry[other][0] is not entry[role][0]:
            side = "sending bridge reads" if role == "source" else "receiving bridge writes"
            raise BridgeError(f"a {side} a {kind} through a {entry[role][0].__name__}, "
                              f"not a {type(channel).__name__}")
    raise BridgeError(f"a bridge cannot carry a {type(channel).__name__}; "
                      f"it carries {', '.join(sorted(kinds))} handles or their segment names")


def _reopen(handle, opener):
    """A new handle on the segment under `handle`, or None."""
    name = _segment_name(handle)
    if name is None:
        return None
    try:
        return opener(name)
    except Exception:
        return None


def _segment_name(handle):
    """The name of the segment under a handle, or None."""
    try:  # pickled by name: a ring as (name, ...), a broadcast as (role, name)
        _, args = handle.__reduce__()[:2]
        return next(a for a in args if isinstance(a, str) and a.startswith("/"))
    except Exception:
        return None


# ---- where a bridge left off -------------------------------------------------------------


def default_state_path(role: str, name: str, endpoint: str = "") -> str:
    """The state file the command line uses for a bridge over segment `name`
    at `endpoint`: one per stream, told apart by the endpoint and by the
    segment itself (its file's inode), so that a run over another endpoint,
    or over a segment removed and created again, starts a stream afresh."""
    import hashlib

    from velmora import _segments

    base = os.environ.get("VELMORA_BRIDGE_STATE") or os.path.join(
        os.environ.get("XDG_RUNTIME_DIR") or tempfile.gettempdir(), f"velmora-bridge-{os.getuid()}")
    try:
        inode = _segments.locate(name)[1].st_ino
    except _segments.SegmentError:
        inode = 0
    tag = hashlib.sha256(f"{endpoint}\0{inode}".encode()).hexdigest()[:16]
    return os.path.join(base, f"{role}-{name.strip('/').replace('/', '_')}-{tag}.seq")


class _Mark:
    """(stream, next sequence number, held) kept in a small mapped file, so
    that a bridge that is killed and started again knows where its stream
    stood; `held` says that the message numbered next - 1 was being sent from
    where it lay in its ring (see Sender). A store is one write into the
    mapping, cheap enough for every batch."""

    LAYOUT = struct.Struct("<8sQQQQ")
    TAG = b"vmbrseq3"
    OLDER = ((struct.Struct("<8sQQQ"), b"vmbrseq2"),  # without `origin`
             (struct.Struct("<8sQQ"), b"vmbrseq1"))  # without `held`

    def __init__(self, path):
        self.path = os.fspath(path)
        # A broadcast's position (its publisher's count) of the message
        # numbered 0 in the stream, plus one; 0 when not known. Fixed for a
        # stream: see Sender.
        self.origin = 0
        os.makedirs(os.path.dirname(os.path.abspath(self.path)), mode=0o700, exist_ok=True)
        fd = os.open(self.path, os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o600)
        try:
            if os.fstat(fd).st_size < self.LAYOUT.size:
                os.ftruncate(fd, self.LAYOUT.size)
            self._map = mmap.mmap(fd, self.LAYOUT.size)
        finally:
            os.close(fd)

    def load(self):
        tag, stream, nxt, held, origin = self.LAYOUT.unpack_from(self._map)
        if tag == self.TAG:
            self.origin = origin
            return stream, nxt, held
        for layout, old in self.OLDER:
            tag, stream, nxt, *held = layout.unpack_from(self._map)
            if tag == old:
                return stream, nxt, (held or [0])[0]
        return None

    def store(self, stream: int, nxt: int, held: int = 0) -> None:
        self.LAYOUT.pack_into(self._map, 0, self.TAG, stream, nxt, held, self.origin)

    def close(self) -> None:
        self._map.close()


class _NoMark:
    origin = 0

    def load(self):
        return None

    def store(self, stream, nxt, held=0):
        pass

    def close(self):
        pass


def _mark(state, role, handle, endpoint):
    if state is False or state is None:
        return _NoMark()
    if state is True:
        name = _segment_name(handle)
        if name is None:
            raise BridgeError("state=True needs a channel with a segment name; give a path")
        state = default_state_path(role, name, endpoint)
    return _Mark(state)


# ---- keys --------------------------------------------------------------------------------

_HANDSHAKE_FAILED = 0
for _name in ("EVENT_HANDSHAKE_FAILED_AUTH", "EVENT_HANDSHAKE_FAILED_PROTOCOL", "EVENT_HANDSHAKE_FAILED_NO_DETAIL"):
    try:
        _HANDSHAKE_FAILED |= getattr(importlib.import_module("zmq"), _name, 0)
    except ImportError:
        break


def keygen(directory, name: str = "bridge") -> tuple:
    """Writes a CURVE key pair into `directory` (created if need be): NAME.key
    with the public key, for the peers (a server's for --curve-server, a
    client's into the server's --curve-allow folder), and NAME.key_secret,
    readable by its owner only, for this side's --curve-secret. Returns the
    two paths."""
    zmq = _zmq()
    if not zmq.has("curve"):
        raise BridgeError("this pyzmq's libzmq has no CURVE support")
    auth = importlib.import_module("zmq.auth")
    os.makedirs(directory, mode=0o700, exist_ok=True)
    for path in (os.path.join(directory, name + ".key"), os.path.join(directory, name + ".key_secret")):
        if os.path.exists(path):
            raise BridgeError(f"{path} exists already; keys are not overwritten")
    public, secret = auth.create_certificates(directory, name)
    os.chmod(secret, 0o600)
    return public, secret


def _load_key(zmq, where, secret: bool) -> tuple:
    """(public, secret or None) from a key file written by keygen (or
    zmq.auth.create_certificates), or from a Z85 key given as bytes/str
    (40 characters; a secret key alone then gives the public one)."""
    if isinstance(where, (bytes, str)) and len(where) == 40 and not os.path.exists(where):
        key = where.encode() if isinstance(where, str) else where
        return (zmq.curve_public(key), key) if secret else (key, None)
    try:
        public, secret_key = importlib.import_module("zmq.auth").load_certificate(where)
    except (OSError, ValueError) as exc:
        raise BridgeError(f"cannot read the key file {os.fsdecode(where)}: {exc}") from None
    if secret and secret_key is None:
        raise BridgeError(f"{os.fsdecode(where)} holds no secret key (give the .key_secret file)")
    return public, secret_key


def _allowed_keys(zmq, allow) -> list:
    """The public keys of the authorised peers: every key file in a folder, or
    an iterable of Z85 keys."""
    if isinstance(allow, (str, bytes, os.PathLike)):
        if not os.path.isdir(allow):
            raise BridgeError(f"--curve-allow: {os.fsdecode(allow)} is not a folder of public key files")
        try:
            keys = list(importlib.import_module("zmq.auth").load_certificates(allow))
        except (OSError, ValueError) as exc:
            raise BridgeError(f"cannot read the keys in {os.fsdecode(allow)}: {exc}") from None
        if not keys:
            raise BridgeError(f"no public key files (*.key) in {os.fsdecode(allow)}")
        return keys
    return [k.encode() if isinstance(k, str) else bytes(k) for k in allow]


def _is_local(endpoint: str) -> bool:
    """Whether an endpoint reaches only this machine (IPC, or TCP on loopback)."""
    transport, _, rest = endpoint.partition("://")
    if transport != "tcp":
        return transport in ("ipc", "inproc")
    host = rest.rsplit(":", 1)[0].strip("[]")
    if host == "localhost" or host == "::1":
        return True
    import ipaddress

    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False  # "*", an interface name, a host name


def _curve_keys(zmq, endpoint: str, bind: bool, secret=None, server=None, allow=None):
    """This bridge's CURVE keys ({"public", "secret", "server" or "allow"}),
    or None without keys, when a bridge that binds a TCP address other than
    loopback is warned about."""
    if secret is None:
        if server is not None or allow is not None:
            raise BridgeError("curve_server and curve_allow need this side's curve_secret as well")
        if bind and not _is_local(endpoint):
            import warnings

            text = (f"the bridge binds {endpoint} without CURVE keys: anyone who can reach that port reaches "
                    f"the local channel; give curve_secret and curve_allow (velmora bridge keygen)")
            log.warning("%s", text)
            warnings.warn(text, UserWarning, stacklevel=4)
        return None
    if not zmq.has("curve"):
        raise BridgeError("this pyzmq's libzmq has no CURVE support")
    public, secret_key = _load_key(zmq, secret, True)
    keys = {"public": public, "secret": secret_key}
    if bind:
        if server is not None:
            raise BridgeError("curve_server (the binding side's public key) is for the side that connects")
        if allow is None:
            raise BridgeError("a bridge that binds with a key needs curve_allow: the public keys of the "
                              "peers it lets in")
        keys["allow"] = _allowed_keys(zmq, allow)
    else:
        if allow is not None:
            raise BridgeError("curve_allow is for the side that binds")
        if server is None:
            raise BridgeError("a bridge that connects with a key needs curve_server: the public key of "
                              "the side that binds")
        keys["server"] = _load_key(zmq, server, False)[0]
    return keys


# ---- the bridges -------------------------------------------------------------------------


# Gives the processor to another runnable thread, if there is one (Windows has
# no sched_yield; a zero sleep yields there).
_yield_processor = getattr(os, "sched_yield", None) or (lambda: time.sleep(0))


class _LookAgain:
    """When a bridge looks for its next message without sleeping: for `spin`
    seconds after it has handed one on that came within `spin` of the one
    before. A message taken that way costs no wake-up of a sleeping thread
    (tens of microseconds here, each hop). One that ends a longer silence
    starts no looking: at a slow, steady pace every look would be wasted, so
    such a stream (and an idle bridge) costs no processor time, and a burst
    pays one sleeping wake-up before the looking starts."""

    __slots__ = ("spin", "looking", "_until", "_came", "_done")

    def __init__(self, spin: float):
        self.spin = spin
        self.looking = False
        self._until = self._came = 0.0
        self._done = float("-inf")

    def came(self) -> None:
        """A message was taken."""
        self._came = time.perf_counter()

    def done(self) -> None:
        """It has been handed on."""
        now = time.perf_counter()
        self.looking = self.spin > 0 and self._came - self._done <= self.spin
        self._until = now + self.spin
        self._done = now

    def found_nothing(self) -> None:
        """After a look that found nothing: yields the processor before the
        next look, or ends the looking once the time is up."""
        if self.looking and time.perf_counter() < self._until:
            _yield_processor()
        else:
            self.looking = False


@dataclass
class Stats:
    messages: int = 0
    bytes: int = 0
    batches: int = 0
    gaps: int = 0  # receiving side: gaps seen
    lost: int = 0  # receiving side: messages missing in those gaps
    duplicates: int = 0  # receiving side: messages seen again and dropped
    rejected: int = 0  # receiving side: messages the target can never hold
    unsent: int = 0  # taken from the source but never handed on (stop while held)
    malformed: int = 0  # receiving side: ZeroMQ messages that are not bridge batches
    foreign: int = 0  # receiving side: messages and ends of a stream other than the one followed, dropped
    refused: dict = field(default_factory=dict)  # receiving side: what was dropped, by kind
    unauthorised: int = 0  # peers refused at the CURVE handshake
    missed: int = 0  # sending side: messages a broadcast's publisher overwrote before the bridge took them
    connects: int = 0  # connections made with a peer
    disconnects: int = 0  # connections lost
    started: float = field(default_factory=time.monotonic)
    ended: float | None = None

    @property
    def elapsed(self) -> float:
        return (self.ended or time.monotonic()) - self.started

    def as_dict(self) -> dict:
        d = asdict(self)
        del d["started"], d["ended"]
        elapsed = self.elapsed
        d["seconds"] = round(elapsed, 3)
        d["messages_per_second"] = round(self.messages / elapsed, 1) if elapsed > 0 else 0.0
        d["bytes_per_second"] = round(self.bytes / elapsed, 1) if elapsed > 0 else 0.0
        return d


# Bridges running on threads, stopped at interpreter exit: a daemon thread
# still inside a wait when the interpreter finalizes would be torn down there.
_running: "weakref.WeakSet[_Bridge]" = weakref.WeakSet()


@atexit.register
def _stop_all() -> None:
    for b in list(_running):
        b.stop(5)


class _Bridge:
    role = ""  # "send" or "receive": its state file's
    side = ""  # "source" or "sink": the adapter it takes (_CARRIED)
    adapter: Any
    channel: Any
    _mark: Any
    _owned: bool

    def _loop(self) -> None:
        raise NotImplementedError

    def __init__(self, channel, wait, state, endpoint: str, bind: bool, hwm: int, linger: float, spin: float,
                 curve: dict):
        _zmq()
        self.adapter, self.channel, self._owned = _adapt(channel, self.side, wait)
        try:
            self._connect(endpoint, bind, hwm, linger, spin, curve)
        except BaseException:
            if self._owned:
                self.channel.close()
            raise
        self._mark = _mark(state, self.role, self.channel, self.address)

    def _connect(self, endpoint: str, bind: bool, hwm: int, linger: float, spin: float, curve: dict):
        zmq = _zmq()
        self._zmq = zmq
        self._linger = linger
        self._spin = max(0.0, float(spin))
        self.endpoint = endpoint
        self.stats = Stats()
        self._stop = threading.Event()
        # Set when a bridge on a thread has ended. Waits use it rather than
        # Thread.join, which Ctrl-C can interrupt in a way that makes later
        # joins return while the thread still runs.
        self._done = threading.Event()
        self._tracker: Any = None  # of a message sent from where it lies (Sender)
        self._thread = None
        self.error = None
        keys = _curve_keys(zmq, endpoint, bind, **curve)
        self._auth = None
        if keys is not None and bind:
            # A context of its own: ZeroMQ asks one authenticator per context,
            # and this one knows only this bridge's authorised keys.
            authenticator = importlib.import_module("zmq.auth.thread").ThreadAuthenticator
            self._ctx = zmq.Context()
            self._auth = authenticator(self._ctx, log=log.getChild("auth"))
            self._auth.start()
            self._auth.certs["*"] = {k: b"OK" for k in keys["allow"]}
        else:
            self._ctx = zmq.Context.instance()
        sock = self._ctx.socket(getattr(zmq, self.adapter.pattern))
        if keys is not None:
            sock.curve_publickey, sock.curve_secretkey = keys["public"], keys["secret"]
            if bind:
                sock.curve_server = True
            else:
                sock.curve_serverkey = keys["server"]
        sock.setsockopt(zmq.SNDHWM, hwm)
        sock.setsockopt(zmq.RCVHWM, hwm)
        sock.setsockopt(zmq.LINGER, int(linger * 1000))
        # Blocking calls return (zmq.Again) this often to look at the stop flag.
        sock.setsockopt(zmq.SNDTIMEO, int(POLL * 1000))
        sock.setsockopt(zmq.RCVTIMEO, int(POLL * 1000))
        # Messages queue only for peers that are connected: none wait in
        # ZeroMQ for a peer that may never come (or come back).
        sock.setsockopt(zmq.IMMEDIATE, 1)
        if self.adapter.pattern == "PUB":
            # A subscriber that cannot keep up holds the sending bridge (and so
            # the local broadcast) instead of losing messages at the mark.
            sock.setsockopt(zmq.XPUB_NODROP, 1)
        elif self.adapter.pattern == "SUB":
            sock.setsockopt(zmq.SUBSCRIBE, b"")
        if self.side == "sink":
            sock.setsockopt(zmq.MAXMSGSIZE, max(getattr(self.adapter, "limit", None) or 0, MAX_FRAME))
        # Peers coming and going, logged and counted: a reconnect is visible
        # even before the gap it may leave shows. Watched before the first
        # connection can happen.
        self._next_events = 0.0
        self._refused_hosts: set = set()
        self._monitor = sock.get_monitor_socket(
            zmq.EVENT_CONNECTED | zmq.EVENT_ACCEPTED | zmq.EVENT_DISCONNECTED | _HANDSHAKE_FAILED)
        try:
            if bind:
                sock.bind(endpoint)
            else:
                sock.connect(endpoint)
        except zmq.ZMQError as exc:
            sock.disable_monitor()
            self._monitor.close(0)
            sock.close(0)
            self._close_context()
            raise BridgeError(f"cannot {'bind' if bind else 'connect'} {endpoint}: {exc}") from None
        self.socket = sock
        # The bound address, with the port filled in when it was chosen by the system.
        self.address = sock.getsockopt_string(zmq.LAST_ENDPOINT) if bind else endpoint

    def _events(self) -> None:
        """Takes the monitor's events; while messages flow, at most every POLL
        seconds (a look costs a few microseconds)."""
        now = time.monotonic()
        if now < self._next_events:
            return
        self._next_events = now + POLL
        zmq, mon = self._zmq, self._monitor
        while True:
            try:
                frames = mon.recv_multipart(zmq.NOBLOCK)
            except zmq.Again:
                return
            if len(frames) != 2 or len(frames[0]) < 2:
                continue
            event = int.from_bytes(frames[0][:2], "little")
            peer = frames[1].decode(errors="replace")
            if event & (zmq.EVENT_CONNECTED | zmq.EVENT_ACCEPTED):
                self.stats.connects += 1
                log.info("peer connected (%s)", peer)
            elif event & zmq.EVENT_DISCONNECTED:
                self.stats.disconnects += 1
                log.info("peer disconnected (%s)", peer)
            elif event & _HANDSHAKE_FAILED:
                # A peer without an authorised key (or with the wrong server
                # key): ZeroMQ closes it before any message. Logged once per host.
                self.stats.unauthorised += 1
                host = peer.rsplit(":", 1)[0]
                if host not in self._refused_hosts and len(self._refused_hosts) < 256:
                    self._refused_hosts.add(host)
                    log.warning("refused a peer that failed the CURVE handshake (%s): not authorised, or the keys "
                                "do not match", peer)

    def _close_context(self) -> None:
        if self._auth is not None:
            self._auth.stop()
            self._ctx.term()

    def _wait_sent(self, until: float | None = None) -> None:
        """Waits until ZeroMQ has done with a message sent from where it lies
        (passed to the network, or dropped once the socket has closed), so
        that its memory may go back to the source; _tracker is None then. The
        wait ends early at a stop (run() waits again once the socket is
        closed) or, given `until`, at that time.monotonic()."""
        tracker = self._tracker
        while tracker is not None and not tracker.done:
            try:
                tracker.wait(POLL)
            except self._zmq.NotDone:
                if until is None and self._stop.is_set() or until is not None and time.monotonic() >= until:
                    return
        self._tracker = None

    def stop(self, timeout: float | None = None) -> None:
        """Asks the bridge to end and, when it runs on a thread, waits for it."""
        self._stop.set()
        t = self._thread
        if t is not None and t is not threading.current_thread() and t.ident is not None:
            self._done.wait(timeout)

    def start(self):
        """Runs the bridge on a daemon thread; stop() ends it. An exception that
        ends the thread is kept in `error`."""
        if self._thread is not None:
            raise RuntimeError("the bridge has already been started")

        def run():
            try:
                self.run()
            except BaseException as exc:  # kept for the caller; the thread ends
                self.error = exc
                log.error("%s bridge on %s failed: %s", self.role, self.endpoint, exc)
            finally:
                _running.discard(self)
                self._done.set()

        self._thread = threading.Thread(target=run, name=f"velmora-bridge-{self.role}", daemon=True)
        _running.add(self)
        self._thread.start()  # (a thread never started has no ident: stop() does not wait for it)
        return self

    def join(self, timeout: float | None = None) -> bool:
        """Waits for a bridge on a thread to end; True when it has."""
        return self._thread is None or self._done.wait(timeout)

    @property
    def running(self) -> bool:
        return self._thread is not None and not self._done.is_set()

    def _give_back(self) -> None:
        self.adapter.give_back()

    def run(self) -> Stats:
        """Runs the bridge in this thread until it is stopped, Ctrl-C arrives
        (which ends it like stop()) or the stream ends; returns the Stats."""
        try:
            self._loop()
        except KeyboardInterrupt:
            self._stop.set()
        finally:
            self.stats.ended = time.monotonic()
            self._next_events = 0.0
            self._events()
            self.socket.disable_monitor()
            self._monitor.close(0)
            self.socket.close()
            if getattr(self.adapter, "lent", None) is not None:
                # Closed: ZeroMQ drops what it still holds once `linger` has passed.
                self._wait_sent(time.monotonic() + self._linger + 1)
                self._give_back()
            self._mark.close()
            self._close_context()
            if self._owned:  # opened here by name: its role ends with the bridge
                self.channel.close()
        return self.stats

    async def run_async(self) -> Stats:
        """Runs the bridge on a worker thread and awaits its end; cancelling
        the awaiting task stops the bridge."""
        import asyncio

        try:
            return await asyncio.to_thread(self.run)
        except asyncio.CancelledError:
            self._stop.set()
            raise

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


class Sender(_Bridge):
    """Drains `channel` (a handle, or a segment name) into a PUSH socket (PUB
    for a broadcast)."""

    role = "send"
    side = "source"

    def __init__(self, channel, endpoint: str, bind: bool = False, *, state=None,
                 hwm: int = HWM, linger: float = 1.0, spin: float = SPIN, wait=False,
                 curve_secret=None, curve_server=None, curve_allow=None):
        super().__init__(channel, wait, state, endpoint, bind, hwm, linger, spin,
                         {"secret": curve_secret, "server": curve_server, "allow": curve_allow})
        mark = self._mark.load()
        self._down = 0  # messages a broadcast published while this stream's bridge was down
        if mark is None:
            self.stream, self.next_seq = secrets.randbits(63) or 1, 0
        else:
            self.stream, self.next_seq, held = mark
            if held and self.adapter.keeps_lent:
                # Killed while it sent a message from where it lay in the ring:
                # it may have gone out, so it goes (or, if it was consumed just
                # before the kill, the one after it does), and the numbering
                # skips one, so that whatever was lost shows as a gap.
                self.adapter.discard_one()
                self.next_seq += 1
        self._place_in_broadcast()
        self._mark.store(self.stream, self.next_seq)
        # Sending from where a message lies, and consuming it once it has
        # gone, is safe across a kill only when the state file says so (see
        # above), and only where the ring's next message after a restart is
        # the one the bridge had (an SPSC ring: a fan-in serves its lanes in
        # turn from where its consumer's process left off).
        import velmora

        self.adapter.in_place = isinstance(self._mark, _Mark) and isinstance(self.channel, velmora.SpscRingBuffer)

    def _place_in_broadcast(self) -> None:
        """A broadcast numbers its messages (its publisher's count); the
        stream's numbers keep a fixed distance to them, noted with the stream
        as `origin`: the broadcast's number of the stream's message 0. A
        subscriber that takes over a stream after its bridge was down starts
        with the next message published, so what was published meanwhile
        lies between where the stream stopped and where it starts again: it
        is numbered as skipped and shows as a gap on the far side."""
        position = getattr(self.adapter, "position", None)
        at = position() if position is not None else None
        if at is None:
            return
        mark = self._mark
        if mark.origin:
            down = (at - (mark.origin - 1) - self.next_seq) % (1 << 64)
            if 0 < down < 1 << 62:
                self._down = down
                self.stats.missed += down
                log.warning("%d messages were published while the bridge was down (seq %d..%d): the far side "
                            "sees them as a gap", down, self.next_seq, self.next_seq + down - 1)
                return
        mark.origin = (at - self.next_seq) % (1 << 64) + 1

    def _give_back(self) -> None:
        """Gives the message sent from where it lies back to the source (a
        ring consumes it), then notes that it is no longer held."""
        self.adapter.give_back()
        self._mark.store(self.stream, self.next_seq)

    def _await_peers_leaving(self) -> None:
        """After the end marker: waits (up to `linger`) for the connected peers
        to end and disconnect. A socket closed right after its last send can
        lose it (seen with PUB), so the marker gets the time to arrive."""
        deadline = time.monotonic() + self._linger
        while True:
            self._next_events = 0.0
            self._events()
            left = deadline - time.monotonic()
            if self.stats.connects <= self.stats.disconnects or self._stop.is_set() or left <= 0:
                return
            self._monitor.poll(min(left, POLL) * 1000)

    def _send(self, parts, track: bool = False) -> bool:
        """Sends one batch, waiting while ZeroMQ holds it back (SNDTIMEO
        bounds each wait); False when stopped first. Frame by frame rather
        than send_multipart, whose Python-level loop costs as much again.
        With `track`, the last frame's MessageTracker is kept in _tracker."""
        zmq, send, more = self._zmq, self.socket.send, self._zmq.SNDMORE
        # copy=False: pyzmq still copies frames below its copy_threshold (64
        # KiB) and sends larger ones (a packed batch, a large message) from the
        # bytes object itself.
        last, i = len(parts) - 1, 0
        while True:
            try:
                while i < last:  # once the first frame is queued the rest are taken
                    send(parts[i], more, copy=False)
                    i += 1
                self._tracker = send(parts[last], 0, copy=False, track=track)
                return True
            except zmq.Again:
                if self._stop.is_set():
                    return False
                self._events()
            except KeyboardInterrupt:
                self._stop.set()
                return False

    def _loop(self) -> None:
        source = self.adapter
        take, stats, stop = source.take, self.stats, self._stop
        pace = _LookAgain(self._spin)
        while not stop.is_set():
            self._events()
            items = take(0 if pace.looking else POLL)
            if items is None:  # the source has ended
                self.next_seq += self._down  # what was published while down is a gap before the end
                self._down = 0
                if self._send([HEADER.pack(MAGIC, VERSION, END, 0, 0, self.stream, self.next_seq)]):
                    self._await_peers_leaving()
                return
            if not items:
                pace.found_nothing()
                continue
            # Numbered and noted first thing: a crash from here on shows as a
            # gap. (Messages lost before the bridge took them come first.)
            skipped, down = source.skipped, self._down
            self._down = 0
            n, first = len(items), self.next_seq + down + skipped
            self.next_seq = first + n
            lent = source.lent is not None
            self._mark.store(self.stream, self.next_seq, lent and source.keeps_lent)
            pace.came()
            if skipped:  # a gap the far side reports
                stats.missed += skipped
                log.warning("%d messages overwritten before they could be sent (seq %d..%d)", skipped,
                            first - skipped, first - 1)
            lengths = array("I", map(len, items))
            size = sum(lengths)
            if n > 1 and size < PACK_BELOW * n:
                if not _LITTLE:
                    lengths.byteswap()
                flags = PACKED
                parts = [lengths, b"".join(items)]
            else:
                large = max(lengths) >= ZERO_COPY_FROM
                flags, parts = LARGE if large else 0, items
            if source.formats is not None:
                flags |= TYPED
                parts = [HEADER.pack(MAGIC, VERSION, flags, 0, n, self.stream, first),
                         _encode_formats(source.formats), *parts]
            else:
                parts = [HEADER.pack(MAGIC, VERSION, flags, 0, n, self.stream, first), *parts]
            sent = self._send(parts, lent)
            if lent:
                self._wait_sent()
                if self._tracker is None:
                    self._give_back()
            if not sent:
                stats.unsent += n
                log.warning("stopped with %d messages taken but not sent (seq %d..%d)", n, first, first + n - 1)
                return
            stats.messages += n
            stats.bytes += size
            stats.batches += 1
            pace.done()


class Receiver(_Bridge):
    """Takes batches from a PULL socket (SUB for a broadcast) and puts them into
    `channel` (a handle, or a segment name)."""

    role = "receive"
    side = "sink"

    def __init__(self, endpoint: str, channel, bind: bool = False, *, state=None,
                 hwm: int = HWM, linger: float = 0.0, spin: float = SPIN, wait=False,
                 curve_secret=None, curve_server=None, curve_allow=None, allow_objects: bool = False):
        super().__init__(channel, wait, state, endpoint, bind, hwm, linger, spin,
                         {"secret": curve_secret, "server": curve_server, "allow": curve_allow})
        self.adapter.report = self._refuse  # what the target did not take, counted by kind
        # Object messages are pickles, which run code where they are loaded:
        # taken only from authenticated peers or from this machine, unless
        # the caller says so.
        self._screen_objects = not (allow_objects or curve_secret is not None or _is_local(endpoint))
        self.stream = self.expected = None
        self._before: dict = {}  # streams followed before -> their next sequence number
        self._heard = time.monotonic()  # when the stream followed last sent a batch
        mark = self._mark.load()
        if mark is not None:
            self.stream, self.expected, _ = mark

    def _receive(self, flags: int = 0):
        """The next ZeroMQ message as (header, [payload buffers]), or None when
        RCVTIMEO passed first (at once with NOBLOCK in `flags`). Every frame
        is taken without a copy (a frame tells whether more follow, so there
        is no RCVMORE query per frame); the payloads are memoryviews of
        ZeroMQ's buffers, copied once, into the target."""
        recv = self.socket.recv
        try:
            frame = head = recv(flags, copy=False)
        except self._zmq.Again:
            return None
        rest = []
        while frame.more:  # the parts of a message arrive together: no wait
            frame = recv(copy=False)
            rest.append(frame.buffer)
        return head.bytes, rest

    @staticmethod
    def _decode(head, rest):
        """(flags, stream, first, payloads, formats) of a batch, or what is
        wrong with it (a short text, the kind under which it is counted).
        Every field is checked against the frames before anything is sliced."""
        if len(head) != HEADER.size:
            return "header size"
        magic, version, flags, reserved, count, stream, first = HEADER.unpack(head)
        if magic != MAGIC:
            return "magic"
        if version != VERSION:
            return "version"
        if flags & ~(PACKED | END | LARGE | TYPED) or reserved:
            return "flags"
        if stream == 0:  # no sending bridge numbers a stream 0
            return "stream id"
        if flags & END:
            if rest or count or flags != END:
                return "end of stream"
            return flags, stream, first, [], None
        if count == 0:
            return "count"
        if first > _SEQ_MAX - count:  # its last number would not fit
            return "sequence number"
        formats = None
        if flags & TYPED:
            if not rest:
                return "formats"
            formats = _decode_formats(bytes(rest[0]), count)
            if formats is None:
                return "formats"
            rest = rest[1:]
        if flags & PACKED:
            if len(rest) != 2 or len(rest[0]) != 4 * count or flags & LARGE:
                return "packed lengths"
            lengths = array("I")
            lengths.frombytes(rest[0])
            if not _LITTLE:
                lengths.byteswap()
            blob = rest[1]
            if sum(lengths) != len(blob):
                return "packed lengths"
            ends = list(itertools.accumulate(lengths))
            items = [blob[a:b] for a, b in zip([0, *ends], ends)]
        elif len(rest) != count:
            return "count"
        else:
            items = rest
        if formats is not None and not all(f is None or _fits(f, len(m)) for f, m in zip(formats, items)):
            return "shape"
        return flags, stream, first, items, formats

    def _refuse(self, kind: str, what: str, *args) -> None:
        """Counts a message dropped for `kind`, logging the first of each kind."""
        stats = self.stats
        seen = stats.refused.get(kind, 0)
        stats.refused[kind] = seen + 1
        if not seen:
            log.error(what + " (later ones of this kind are counted, not logged)", *args)

    def _follow(self, stream: int, first: int, end: bool) -> bool:
        """Whether a batch of `stream` from `first` on is taken. The bridge
        follows one stream: its own numbers decide gaps and duplicates and
        only its end ends the bridge. Another stream is taken up when nothing
        is followed yet, when it was followed before (its numbers go on from
        where they were), when it starts afresh (a sending bridge restarted
        without its state numbers from 0), or when the stream followed has sent
        nothing for QUIET seconds. Otherwise its batches and its end are
        dropped and counted (`foreign`): a peer cannot end the stream or move
        its numbers without knowing its id."""
        if stream == self.stream:
            self._heard = time.monotonic()
            return True
        if end:
            if self.stream is None and first == 0:  # a stream that ended before it sent anything
                return True
            self.stats.foreign += 1
            self._refuse("foreign end", "ignored the end of stream %016x at seq %d: the bridge follows %s",
                         stream, first, "no stream yet" if self.stream is None else f"stream {self.stream:016x}")
            return False
        if self.stream is None:
            log.info("joined stream %016x at seq %d", stream, first)
        elif stream in self._before:
            log.warning("stream %016x went on at seq %d (stream %016x stopped at seq %d)", stream, first,
                        self.stream, self.expected)
        elif first < NEW_STREAM_BELOW or time.monotonic() - self._heard >= QUIET:
            log.warning("a new stream %016x began at seq %d (the sender restarted without its state; "
                        "stream %016x stopped at seq %d)", stream, first, self.stream, self.expected)
        else:
            return False
        if self.stream is not None:
            self._before[self.stream] = self.expected
            while len(self._before) > 8:
                del self._before[next(iter(self._before))]
        self.stream, self.expected = stream, self._before.pop(stream, first)
        self._heard = time.monotonic()
        return True

    def _loop(self) -> None:
        zmq, stats, stop = self._zmq, self.stats, self._stop
        put = self.adapter.put
        pace = _LookAgain(self._spin)
        while not stop.is_set():
            self._events()
            message = self._receive(zmq.NOBLOCK if pace.looking else 0)  # else RCVTIMEO bounds the wait
            if message is None:
                pace.found_nothing()
                continue
            pace.came()
            try:
                batch = self._decode(*message)
            except Exception as exc:  # whatever a peer sends, the bridge goes on
                batch = f"undecodable ({type(exc).__name__})"
            if isinstance(batch, str):
                stats.malformed += 1
                self._refuse(batch, "dropped a ZeroMQ message that is not a bridge batch (%s; %d frames)",
                             batch, 1 + len(message[1]))
                continue
            flags, stream, first, items, formats = batch
            if not self._follow(stream, first, flags & END):
                if not flags & END:
                    stats.foreign += len(items)
                    self._refuse("foreign batch", "dropped %d messages of stream %016x at seq %d: the bridge "
                                 "follows stream %016x (at seq %d)", len(items), stream, first, self.stream,
                                 self.expected)
                continue
            if self.expected is None:
                self.expected = first
            skip = 0
            if first > self.expected:
                missing = first - self.expected
                stats.gaps += 1
                stats.lost += missing
                log.warning("gap: %d messages lost (seq %d..%d)", missing, self.expected, first - 1)
            elif first < self.expected:
                skip = min(len(items), self.expected - first)
                stats.duplicates += skip
                log.warning("dropped %d messages already delivered (seq %d..%d)", skip, first, first + skip - 1)
            if flags & END:
                log.info("the stream ended at seq %d", first)
                return
            todo = items[skip:] if skip else items
            if not todo:
                continue
            if skip and formats is not None:
                formats = formats[skip:]
            base = first + skip

            def note(handed, base=base, stream=stream):
                self.expected = base + handed
                self._mark.store(stream, self.expected)

            if self._screen_objects:
                delivered, rejected = self._put_screened(todo, stop, note, formats)
            else:
                delivered, rejected = put(todo, stop, note, formats)
            handed = delivered + rejected
            stats.messages += delivered
            stats.bytes += sum(map(len, todo)) if handed == len(todo) else sum(map(len, todo[:handed]))
            stats.rejected += rejected
            stats.batches += 1
            pace.done()
            if handed < len(todo):
                stats.unsent += len(todo) - handed
                log.warning("stopped with %d messages received but not delivered (seq %d..%d)",
                            len(todo) - handed, self.expected, first + len(items) - 1)
                return


    def _put_screened(self, items: list, stop: threading.Event, note, formats) -> tuple:
        """adapter.put() for a bridge that takes no object messages: the runs
        between them are put, each of them is refused (counted, logged once)."""
        from .objects import is_object_message

        delivered = rejected = start = 0
        for end in [*(i for i, m in enumerate(items) if is_object_message(m)), len(items)]:
            if end > start:
                run = items[start:end]
                done, refused = self.adapter.put(run, stop, lambda n, at=start: note(at + n),
                                                 None if formats is None else formats[start:end])
                delivered, rejected = delivered + done, rejected + refused
                if done + refused < len(run):
                    break
            if end < len(items):
                rejected += 1
                self._refuse("object", "an object message (a pickle) from an unauthenticated peer was not "
                             "delivered: give CURVE keys, use a loopback or ipc:// endpoint, or allow_objects=True")
                note(end + 1)
            start = end + 1
        return delivered, rejected


def send(channel, endpoint: str, bind: bool = False, *, background: bool = False, **options):
    """Drains `channel` into ZeroMQ at `endpoint` (connecting, or binding with
    bind=True). Blocks until stopped and returns the Stats; with
    background=True returns the running Sender instead."""
    bridge = Sender(channel, endpoint, bind, **options)
    return bridge.start() if background else bridge.run()


def receive(endpoint: str, channel, bind: bool = False, *, background: bool = False, **options):
    """Takes messages from ZeroMQ at `endpoint` into `channel`. Blocks until
    stopped and returns the Stats; with background=True returns the running
    Receiver instead."""
    bridge = Receiver(endpoint, channel, bind, **options)
    return bridge.start() if background else bridge.run()
