"""Rounds of (e) lifecycle chaos for the channel kinds other than the plain
SPSC put/get round of lifecycle_chaos.py: rings read in place (get_view) on
SpscRingBuffer and MpscRingBuffer, broadcast Publisher loans and Subscriber
receive_view, and velmora.aio waits. Each runs in its own interpreter, like
that round.

In every round, threads are inside calls (a put, a get, a view or a loan
held open) when close() comes: from a third thread, from the main thread,
or from a thread inside its own view block. Then every thread must stop
within HANG seconds, and every message whose sending was acknowledged (put
returned, push said True, a loan's block ended, an awaited put returned)
must have been received exactly once or still be there to drain; a call cut
short by close() leaves its message undecided (counted, not judged).

Before each step that is known to be risky the round writes a "phase:" line
to stderr, so a crash or a hang says what it was doing. After its report a
round takes the lent objects of its kind past a close() of their owner
(taken, owner closed, then entered): the memory must stay valid, or the
call raise ValueError.
"""
import asyncio
import contextlib
import faulthandler
import json
import os
import queue
import random
import struct
import sys
import threading
import time

HANG = 5.0  # seconds every thread has to stop once the round's channels are closed

CLOSED = ("is closed",)


def phase(text):
    sys.stderr.write(f"phase: {text}\n")
    sys.stderr.flush()


def enter_lent(kind, what, lent, write=False):
    """Enters a view or loan whose owner was closed after it was taken: either
    refused (ValueError) or still reading the message it pinned, never a crash."""
    phase(f"{kind}: entering a {what} taken before its owner was closed")
    try:
        with lent as m:
            if write:
                m[:8] = b"01234567"
            elif bytes(m) != b"pinned-message":
                print(json.dumps({"kind": kind, "faults": [f"lent: {what} read {bytes(m)[:16]!r}"]}))
    except ValueError:
        pass


class Book:
    """What a round sent and received, and the faults found."""

    def __init__(self, kind):
        self.kind = kind
        self.lock = threading.Lock()
        self.acked = {}          # sender -> number of acknowledged messages (seqs 0..n-1)
        self.undecided = set()   # (sender, seq) cut short by close(): may or may not have gone
        self.taken = []          # (sender, seq) received
        self.faults = []
        self.counts = {}
        self.doing = {}          # thread name -> the call it is in
        self.closing = threading.Event()  # set just before the first close()
        self.ended_past_close = set()     # read in a view whose block ended after close() began

    def fault(self, kind, detail):
        with self.lock:
            if len(self.faults) < 20:
                self.faults.append(f"{kind}: {self.kind}: {detail}")

    def add(self, key, n=1):
        with self.lock:
            self.counts[key] = self.counts.get(key, 0) + n

    def unexpected(self, who, e):
        """True when `e` is not one a call may raise once the channel closed."""
        if isinstance(e, ValueError) and any(c in str(e) for c in CLOSED):
            return False
        self.fault(f"{who} raised", repr(e))
        return True

    def check_stream(self, got, name="drained"):
        """Every acknowledged message exactly once in `got` (taken + left)."""
        seen = {}
        for m in got:
            seen[m] = seen.get(m, 0) + 1
        twice = [m for m, n in seen.items() if n > 1]
        # A view block that ended cleanly consumed its message, as far as its
        # reader can tell: one that is there again was handed out twice.
        late = [m for m in twice if m in self.ended_past_close]
        if late:
            self.fault("view ended past close() left its message to be taken again",
                       f"{len(late)} messages, e.g. {late[:3]}")
        twice = [m for m in twice if m not in self.ended_past_close]
        if twice:
            self.fault("repeated", f"{len(twice)} messages taken twice, e.g. {twice[:3]}")
        for tid, n in self.acked.items():
            missing = [s for s in range(n) if (tid, s) not in seen and (tid, s) not in self.undecided]
            if missing:
                self.fault("lost", f"sender {tid}: acknowledged {n}, missing {missing[:5]}")
            extra = sorted(s for t, s in seen if t == tid and s >= n and (t, s) not in self.undecided)
            if extra:
                self.fault("unexpected", f"sender {tid}: never sent {extra[:5]}")

    def join(self, threads, since):
        """Waits for `threads` until HANG seconds after `since`; a thread still
        running is a hang, reported with the call it is in."""
        hung = []
        for t in threads:
            t.join(max(0.0, since + HANG - time.monotonic()))
            if t.is_alive():
                hung.append(t.name)
                self.fault("hung", f"{t.name} still in {self.doing.get(t.name, '?')} {HANG:.0f} s after close()")
        return hung

    def report(self, **extra):
        print(json.dumps({"kind": self.kind, "published": sum(self.acked.values()), "taken": len(self.taken),
                          "undecided": len(self.undecided), "faults": self.faults, **self.counts, **extra}),
              flush=True)


def busy(book):
    """What the round's threads are in, for a phase line."""
    return ", ".join(f"{k} in {v}" for k, v in sorted(book.doing.items()) if v != "done") or "no thread in a call"


def tag(tid, seq, size):
    return struct.pack("<II", tid, seq) + bytes(max(0, size - 8))


def _doing(book, what):
    book.doing[threading.current_thread().name] = what


# ---- rings read in place: SpscRingBuffer and MpscRingBuffer -------------------------------

def ring_round(seed, kind):
    import velmora

    rng = random.Random(seed)
    book = Book(kind)
    base = f"/velmora-stress-e-{os.getpid()}-{seed}"
    cap = rng.choice([4096, 1 << 16])
    if kind == "mpsc":
        owner = velmora.MpscRingBuffer.create(base, cap, producers=4)
        # The second sender writes through an object of its own: a lane of its own.
        senders = [owner, velmora.MpscRingBuffer.open(base)]
    else:
        owner = velmora.SharedMemory.create(base, velmora.SpscRingBuffer.segment_size(cap)).spsc()
        senders = [owner, owner]
    closables = [owner] + [s for s in senders if s is not owner]
    stop = threading.Event()
    holding = threading.Event()   # a consumer holds a get_view() not yet entered
    limit = min(cap // 4, 2000)

    def producer(tid):
        r = random.Random(seed * 7 + tid)
        ring = senders[tid]
        seq = 0
        book.acked[tid] = 0
        try:
            while not stop.is_set():
                op = r.random()
                if op < 0.4:
                    _doing(book, "push")
                    n = 1 if ring.push(tag(tid, seq, r.randint(8, limit))) else 0
                elif op < 0.8:
                    _doing(book, "put")
                    try:
                        ring.put(tag(tid, seq, r.randint(8, limit)), timeout=r.choice([0, 0.001, 0.05, None]))
                        n = 1
                    except queue.Full:
                        n = 0
                else:
                    k = r.randint(1, 5)
                    _doing(book, "push_many")
                    try:
                        n = ring.push_many([tag(tid, seq + i, r.randint(8, 64)) for i in range(k)])
                    except BaseException:
                        book.undecided.update((tid, seq + i) for i in range(k))
                        raise
                    seq += n
                    book.acked[tid] = seq
                    continue
                seq += n
                book.acked[tid] = seq
        except BaseException as e:  # noqa: BLE001
            book.undecided.add((tid, seq))
            book.unexpected(f"producer {tid}", e)
        _doing(book, "done")

    def consumer(cid):
        r = random.Random(seed * 13 + cid)
        last = {}
        buf = bytearray(cap)

        def took(msg):
            m = struct.unpack_from("<II", msg)
            if m[1] <= last.get(m[0], -1):
                book.fault("order", f"consumer {cid} got {m} after seq {last[m[0]]}")
            last[m[0]] = m[1]
            book.taken.append(m)

        while True:
            op = r.random()
            try:
                if op < 0.5:
                    _doing(book, "get_view")
                    lent = owner.get_view(timeout=r.choice([0.001, 0.05, None]))
                    if r.random() < 0.1 and not holding.is_set():
                        holding.set()  # the closer may close the ring now, before the block starts
                        time.sleep(0.002)
                    _doing(book, "get_view block")
                    got = None
                    try:
                        with lent as m:
                            got = struct.unpack_from("<II", m)
                            book.add("views")
                            if r.random() < 0.05:
                                book.add("closed inside a view")
                                book.closing.set()
                                phase(f"{kind}: close() from inside a view block ({busy(book)})")
                                for c in closables:
                                    c.close()  # from inside this thread's own block
                    except BaseException:
                        if got is not None:
                            book.undecided.add(got)  # read, but was it consumed?
                        raise
                    if book.closing.is_set():
                        book.ended_past_close.add(got)
                    took(struct.pack("<II", *got))
                elif op < 0.75:
                    _doing(book, "get")
                    took(owner.get(timeout=r.choice([0.001, 0.05, None])))
                elif op < 0.9:
                    _doing(book, "pop_many")
                    for m in owner.pop_many(r.randint(1, 8)):
                        took(m)
                else:
                    _doing(book, "pop_into")
                    n = owner.pop_into(buf)
                    if n is not None:
                        took(bytes(buf[:n]))
            except queue.Empty:
                pass
            except RuntimeError as e:  # the other consumer is inside a view block
                if "get_view() of this" not in str(e):
                    book.fault(f"consumer {cid} raised", repr(e))
                    break
            except BaseException as e:  # noqa: BLE001
                book.unexpected(f"consumer {cid}", e)
                break
            if stop.is_set() and op < 0.05:
                break
        _doing(book, "done")

    threads = [threading.Thread(target=producer, args=(t,), name=f"producer-{t}", daemon=True) for t in (0, 1)]
    threads += [threading.Thread(target=consumer, args=(c,), name=f"consumer-{c}", daemon=True) for c in (0, 1)]
    for t in threads:
        t.start()
    how = rng.choice(["a third thread", "the main thread", "a third thread while a view is held"])
    book.add(f"closed from {how}")

    def close_all():
        book.closing.set()
        phase(f"{kind}: close() from {how} ({busy(book)})")
        for c in closables:
            c.close()

    if how.endswith("held"):
        holding.wait(rng.uniform(0.2, 1.5))
    else:
        time.sleep(rng.uniform(0.2, 1.5))
    if how == "the main thread":
        close_all()
    else:
        closer = threading.Thread(target=close_all, name="closer", daemon=True)
        closer.start()
        threads.append(closer)
    closed_at = time.monotonic()
    stop.set()
    hung = book.join(threads, closed_at)
    if hung:
        book.report()
        os._exit(0)

    left = []
    rest = velmora.MpscRingBuffer.open(base) if kind == "mpsc" else velmora.SharedMemory.open(base).spsc()
    while (m := rest.pop()) is not None:
        left.append(struct.unpack_from("<II", m))
    rest.close()
    book.check_stream(book.taken + left)
    velmora.SharedMemory.remove(base)
    book.report(left=len(left))

    # Past the report: a get_view() taken, its ring closed, then entered.
    ring = velmora.MpscRingBuffer.create(base, 4096, producers=2) if kind == "mpsc" else \
        velmora.SharedMemory.create(base, velmora.SpscRingBuffer.segment_size(4096)).spsc()
    velmora.SharedMemory.remove(base)
    ring.push(b"pinned-message")
    lent = ring.get_view()
    ring.close()
    enter_lent(kind, "get_view()", lent)
    phase("done")


# ---- broadcast: publisher loans, subscriber receive_view ---------------------------------

def broadcast_round(seed):
    import velmora

    rng = random.Random(seed)
    book = Book("broadcast")
    base = f"/velmora-stress-e-{os.getpid()}-{seed}"
    size = rng.choice([64, 4096])
    pub = velmora.Publisher.create(base, size, rng.choice([2, 4, 8]), subscribers=4, overflow="block")
    subs = [velmora.Subscriber.open(base) for _ in range(2)]
    received = [[] for _ in subs]
    ended = [False for _ in subs]   # read to the end of the stream (not closed under it)
    stop = threading.Event()
    book.acked[0] = 0

    # Guarded rounds take and enter every loan and receive_view under a lock
    # that close() takes too, so no lent object outlives its owner's close()
    # before it is entered; unguarded rounds close wherever the others are.
    guarded = rng.random() < 0.5
    book.add("guarded rounds" if guarded else "unguarded rounds")
    pub_guard = threading.Lock() if guarded else contextlib.nullcontext()
    sub_guards = [threading.Lock() if guarded else contextlib.nullcontext() for _ in subs]
    waits = [0, 0.01, 0.2] if guarded else [0, 0.01, 0.2, None]

    def publisher():
        r = random.Random(seed * 7)
        seq = 0
        try:
            while not stop.is_set():
                if r.random() < 0.5:
                    _doing(book, "publish")
                    try:
                        pub.publish(tag(0, seq, r.randint(8, size)), timeout=r.choice([0, 0.01, 0.2, None]))
                    except queue.Full:
                        continue
                else:
                    with pub_guard:
                        _doing(book, "loan")
                        try:
                            lent = pub.loan(r.randint(8, size), timeout=r.choice(waits))
                        except queue.Full:
                            continue
                        _doing(book, "loan block")
                        with lent as buf:
                            struct.pack_into("<II", buf, 0, 0, seq)
                            book.add("loans")
                seq += 1
                book.acked[0] = seq
        except BaseException as e:  # noqa: BLE001
            book.undecided.add((0, seq))
            book.unexpected("publisher", e)
        _doing(book, "done")

    def subscriber(i):
        r = random.Random(seed * 13 + i)
        sub, got = subs[i], received[i]
        while True:
            try:
                if r.random() < 0.5:
                    _doing(book, "receive")
                    msg = sub.receive(timeout=r.choice([0.001, 0.05, None]), eof=True)
                    got.append(struct.unpack_from("<II", msg))
                else:
                    with sub_guards[i]:
                        _doing(book, "receive_view")
                        lent = sub.receive_view(timeout=r.choice(waits[1:]), eof=True)
                        _doing(book, "receive_view block")
                        with lent as m:
                            got.append(struct.unpack_from("<II", m.cast("B")))
                            book.add("receive views")
            except queue.Empty:
                continue
            except EOFError:
                ended[i] = True
                break
            except BaseException as e:  # noqa: BLE001
                book.unexpected(f"subscriber {i}", e)
                break
        _doing(book, "done")

    threads = [threading.Thread(target=publisher, name="publisher", daemon=True)]
    threads += [threading.Thread(target=subscriber, args=(i,), name=f"subscriber-{i}", daemon=True)
                for i in range(len(subs))]
    for t in threads:
        t.start()
    # A third thread closes one subscriber, or the publisher, while the
    # others are inside calls; the main thread closes the publisher last.
    victim = rng.choice(["subscriber 0", "publisher", "none"])
    book.add(f"closed the {victim} from a third thread" if victim != "none" else "no third-thread close")

    def close_one():
        time.sleep(rng.uniform(0.05, 0.8))
        guard = sub_guards[0] if victim == "subscriber 0" else pub_guard
        with guard:
            book.closing.set()
            phase(f"broadcast: close() of the {victim} from a third thread, "
                  f"{'guarded' if guarded else 'unguarded'} ({busy(book)})")
            (subs[0] if victim == "subscriber 0" else pub).close()

    if victim != "none":
        closer = threading.Thread(target=close_one, name="closer", daemon=True)
        closer.start()
        threads.append(closer)
    time.sleep(rng.uniform(0.3, 1.5))
    stop.set()
    with pub_guard:
        book.closing.set()
        phase(f"broadcast: close() of the publisher from the main thread, "
              f"{'guarded' if guarded else 'unguarded'} ({busy(book)})")
        pub.close()
    hung = book.join(threads, time.monotonic())
    for s in subs:
        s.close()
    if hung:
        book.report()
        os._exit(0)

    # Block mode skips nothing: each subscriber got every acknowledged message
    # from the first on, in order, up to where it stopped (to the end, if it
    # read to the end of the stream).
    n = book.acked[0]
    for i, got in enumerate(received):
        seqs = [s for _, s in got]
        if any(b <= a for a, b in zip(seqs, seqs[1:])):
            book.fault("order", f"subscriber {i} got {seqs[:20]}")
        have = set(seqs)
        upto = n if ended[i] else (max(seqs) + 1 if seqs else 0)
        missing = [s for s in range(upto) if s not in have and (0, s) not in book.undecided]
        if missing:
            book.fault("lost", f"subscriber {i} ({'to the end' if ended[i] else 'closed'}): "
                               f"acknowledged {n}, missing {missing[:5]}")
        book.taken.extend(got)
    velmora.SharedMemory.remove(base)
    book.report()

    # Past the report: a loan and a receive_view taken, their owner closed, then entered.
    p = velmora.Publisher.create(base, 64, 4, subscribers=2)
    s = velmora.Subscriber.open(base)
    velmora.SharedMemory.remove(base)
    p.publish(b"pinned-message")
    view = s.receive_view(timeout=5)
    s.close()
    enter_lent("broadcast", "receive_view()", view)
    loan = p.loan(8)
    p.close()
    enter_lent("broadcast", "Publisher.loan()", loan, write=True)
    phase("done")


# ---- velmora.aio waits ----------------------------------------------------------------------

def aio_round(seed):
    import velmora
    import velmora.aio

    rng = random.Random(seed)
    book = Book("aio")
    base = f"/velmora-stress-e-{os.getpid()}-{seed}"
    ring = velmora.SharedMemory.create(base + "-r", velmora.SpscRingBuffer.segment_size(4096)).spsc()
    pub = velmora.Publisher.create(base + "-b", 64, 4, subscribers=2)
    sub = velmora.Subscriber.open(base + "-b")
    book.acked = {0: 0, 1: 0}   # 0: the ring's sender, 1: the publisher
    got_ring, got_sub = [], []
    how = rng.choice(["another thread", "the loop"])
    book.add(f"closed from {how}")
    started = threading.Event()

    async def sender(ch, tid, call):
        seq = 0
        try:
            while True:
                _doing(book, f"aio {call}")
                try:
                    await getattr(ch, call)(tag(tid, seq, 8 + rng.randrange(40)), timeout=rng.choice([0.01, None]))
                except queue.Full:
                    continue
                seq += 1
                book.acked[tid] = seq
                if rng.random() < 0.3:
                    await asyncio.sleep(0)
        except BaseException as e:  # noqa: BLE001
            book.undecided.add((tid, seq))
            if not isinstance(e, asyncio.CancelledError):
                book.unexpected(f"aio {call}", e)

    async def ring_reader(ch):
        while True:
            _doing(book, "aio get")
            try:
                got_ring.append(struct.unpack_from("<II", await ch.get(timeout=rng.choice([0.05, None]))))
            except queue.Empty:
                continue
            except BaseException as e:  # noqa: BLE001
                if not isinstance(e, asyncio.CancelledError):
                    book.unexpected("aio get", e)
                return

    async def sub_reader(ch):
        try:
            while True:
                _doing(book, "aio receive_view")
                with await ch.receive_view(timeout=rng.choice([0.05, None]), eof=True) as m:
                    got_sub.append(struct.unpack_from("<II", m.cast("B")))
        except (queue.Empty, EOFError):
            return
        except BaseException as e:  # noqa: BLE001
            if not isinstance(e, asyncio.CancelledError):
                book.unexpected("aio receive_view", e)

    chans = {}

    async def main():
        chans["loop"] = asyncio.get_running_loop()
        chans["ring"] = velmora.aio.wrap(ring)
        chans["pub"] = velmora.aio.wrap(pub)
        chans["sub"] = velmora.aio.wrap(sub)
        tasks = [asyncio.ensure_future(c) for c in (
            sender(chans["ring"], 0, "put"), ring_reader(chans["ring"]),
            sender(chans["pub"], 1, "publish"), sub_reader(chans["sub"]))]
        started.set()
        await asyncio.gather(*tasks, return_exceptions=True)

    loop_thread = threading.Thread(target=lambda: asyncio.run(main()), name="event loop", daemon=True)
    loop_thread.start()
    started.wait(10)
    time.sleep(rng.uniform(0.2, 1.2))
    if how == "another thread":
        phase(f"aio: close() of the ring, the publisher and the subscriber from another thread ({busy(book)})")
        closer = threading.Thread(target=lambda: [c.close() for c in (ring, pub, sub)], name="closer", daemon=True)
        closer.start()
        closer.join(HANG)
    else:
        phase(f"aio: the adapters' close() on their loop ({busy(book)})")
        for key in ("ring", "pub", "sub"):
            chans["loop"].call_soon_threadsafe(chans[key].close)
    hung = book.join([loop_thread], time.monotonic())
    for c in (ring, pub, sub):
        c.close()
    book.taken = got_ring + got_sub
    if hung:
        book.report()
        os._exit(0)
    left = []
    rest = velmora.SharedMemory.open(base + "-r").spsc()
    while (m := rest.pop()) is not None:
        left.append(struct.unpack_from("<II", m))
    rest.close()
    book.taken = got_ring + got_sub
    saved = book.acked
    book.acked = {0: saved[0]}
    book.check_stream(got_ring + left)
    seqs = [s for _, s in got_sub]
    if any(b <= a for a, b in zip(seqs, seqs[1:])):
        book.fault("order", f"subscriber got {seqs[:20]}")
    book.acked = saved
    for suffix in ("-r", "-b"):
        velmora.SharedMemory.remove(base + suffix)
    book.report(left=len(left))
    phase("done")


ROUNDS = {"spsc-view": lambda s: ring_round(s, "spsc-view"), "mpsc": lambda s: ring_round(s, "mpsc"),
          "broadcast": broadcast_round, "aio": aio_round}


def run_round(kind, seed):
    faulthandler.enable()
    ROUNDS[kind](seed)
