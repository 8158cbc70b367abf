"""Fan-in: 4 producer processes -> 1 consumer, side by side in one run.

Rows: velmora MpscRingBuffer (non-blocking push/pop, blocking put/get, and
put with a consumer that takes what is waiting in one pop_many call, up to
256 messages or 64 KiB), multiprocessing.Queue, faster-fifo (get, and
get_many: its own batch call, with the same limits),
pyzmq PUSH/PULL (4 PUSH sockets into one PULL over ipc://), and velmora's own
SpscRingBuffer 1 -> 1 (push/pop and put/get) carrying the same total, for
scale. 64 B and 4 KiB messages. Producers always send one message per call.

Every message is checked by the consumer: each must equal the next message
its producer sent (so each producer's sequence arrives in order, whole).
Messages up to 1 KiB are made before the clock starts, on both sides, so the
timed loops move and compare them only (the same for every row). "share" is each
producer's part of the first half of the messages received, while all four
were still sending flat out: min..max over the producers (25% is even).

Non-blocking velmora rows retry with os.sched_yield() when full or empty; on
a 2-core machine 4 spinning producers fight the consumer for the cores, so
the blocking rows are the ones to compare with the queues.

Each row runs BENCH_ROUNDS times (default 3; the rounds interleave the
rows) and reports its median round.

BENCH_QUICK=1: few messages, one round, to check that every row works.
BENCH_OUT=DIR: where bench_fanin.md, .json and .png go (default docs/,
build/bench-quick/ when quick).
"""
import gc
import json
import multiprocessing as mp
import os
import struct
import sys
import tempfile
import time
import uuid

import velmora

QUICK = os.environ.get("BENCH_QUICK", "") not in ("", "0")
PRODUCERS = 4
SIZES = (64, 4096)
COUNT = {64: 2_000, 4096: 500} if QUICK else {64: 400_000, 4096: 60_000}  # per producer (64 B: half a second or more)
HEAD = struct.Struct("<II")
CTX = mp.get_context("fork")
TIMEOUT_S = 600
BATCH = 256
BATCH_BYTES = 64 << 10  # and at most this many bytes of messages per batch call
ROUNDS = 1 if QUICK else int(os.environ.get("BENCH_ROUNDS", "3"))
PREBUILT_UP_TO = 1024
OUT = os.environ.get("BENCH_OUT") or os.path.join(os.path.dirname(os.path.abspath(__file__)), "..",
                                                  "build/bench-quick" if QUICK else "docs")


def lane_bytes(size):
    """Each producer's capacity. At 4 KiB a lane holds 1024 messages: enough
    to ride out a producer's time off the processor (a few ms with five
    processes on two cores) while the consumer serves the others. With 256
    one producer could fall to ~5% of the messages here, its lane drained
    while it waited for a processor."""
    return 1 << 18 if size <= 64 else 1 << 22


def buffered_bytes(size):
    """What every bounded queue may hold: at least as much as velmora's lanes together."""
    return max(1 << 22, PRODUCERS * lane_bytes(size))


def batch_of(size):
    """How many messages one batch call takes: a batch larger than the
    caches would measure the memory, for every row alike."""
    return max(1, min(BATCH, BATCH_BYTES // size))


def body(producer, seq, size):
    """The bytes after the 8-byte head: one of 16 patterns per producer."""
    k = (producer * 16 + (seq & 15)) & 0xFF
    return bytes([k]) * (size - HEAD.size)


def messages(producer, size, count):
    """Every message one producer sends, in order. Small ones are made before
    the clock starts (by the producers, and by the consumer to compare with),
    so neither side's timed loop spends its time making messages; larger ones
    as they are sent, from 16 patterns that stay in the caches (tens of MB of
    distinct messages would not, and the copies would measure the memory)."""
    pats = [body(producer, s, size) for s in range(16)]
    pack = HEAD.pack
    made = (pack(producer, seq) + pats[seq & 15] for seq in range(count))
    return list(made) if size <= PREBUILT_UP_TO else made


class Checker:
    """Checks every message in arrival order against what its producer sent:
    the producer is the message's first byte (the head is little-endian), and
    the message must be that producer's next one, whole, so one out of
    order, from nowhere or damaged anywhere fails."""

    def __init__(self, size, producers, count):
        self.next = nxt = [0] * producers
        self.total = producers * count
        self.half = None
        if size <= PREBUILT_UP_TO:
            expected = [messages(p, size, count) for p in range(producers)]

            def check(msg):
                p = msg[0]
                n = nxt[p]
                if msg != expected[p][n]:
                    raise AssertionError(f"producer {p}: message {n} wrong or out of order")
                nxt[p] = n + 1
        else:
            pats = [[body(p, s, size) for s in range(16)] for p in range(producers)]
            unpack = HEAD.unpack_from

            def check(msg):
                p, n = unpack(msg)
                if n != nxt[p] or len(msg) != size or not msg.endswith(pats[p][n & 15]):
                    raise AssertionError(f"producer {p}: message {n} wrong (expected sequence {nxt[p]})")
                nxt[p] = n + 1

        self.check = check

    def run(self, consume):
        """consume(check, n) takes exactly n messages; the shares are those
        of the first half, while all producers were still sending."""
        first = self.total // 2
        consume(self.check, first)
        self.half = list(self.next)
        consume(self.check, self.total - first)

    def shares(self):
        half = self.half or self.next
        n = sum(half) or 1
        return [h / n for h in half]


class RowFailed(Exception):
    """A peer that did not deliver every message: reported, not timed."""


# ---- transports: each gives (setup, producer body, consumer loop) ---------------------

def _yield_until(call, arg=None):
    y = os.sched_yield
    if arg is None:
        while True:
            r = call()
            if r is not None:
                return r
            y()
    while not call(arg):
        y()


class Velmora:
    def __init__(self, blocking, spsc=False, batch=False):
        self.blocking, self.spsc, self.batch = blocking, spsc, batch
        kind = "SpscRingBuffer 1->1" if spsc else "MpscRingBuffer"
        calls = "put/pop_many" if batch else "put/get" if blocking else "push/pop"
        self.label = f"velmora {kind} {calls}"

    def setup(self, size):
        self.size = size
        self.name = f"/velmora-fanin-{os.getpid()}-{uuid.uuid4().hex[:8]}"
        lane = lane_bytes(size)
        if self.spsc:
            self.ring = velmora.SpscRingBuffer.create(self.name, lane * PRODUCERS)
        else:
            self.ring = velmora.MpscRingBuffer.create(self.name, lane, producers=PRODUCERS)

    def produce(self, msgs):
        cls = velmora.SpscRingBuffer if self.spsc else velmora.MpscRingBuffer
        ring = cls.open(self.name)
        if self.blocking:
            put = ring.put
            for m in msgs:
                put(m)
        else:
            push = ring.push
            for m in msgs:
                if not push(m):
                    _yield_until(push, m)
        ring.close()

    def consume(self, check, n):
        if self.batch:
            # Everything waiting in one call; a blocking get when nothing is.
            many, get = self.ring.pop_many, self.ring.get
            while n > 0:
                got = many(min(batch_of(self.size), n))
                if not got:
                    got = [get(timeout=TIMEOUT_S)]
                n -= len(got)
                for m in got:
                    check(m)
        elif self.blocking:
            get = self.ring.get
            for _ in range(n):
                check(get(timeout=TIMEOUT_S))
        else:
            pop = self.ring.pop
            for _ in range(n):
                m = pop()
                check(m if m is not None else _yield_until(pop))

    def teardown(self):
        self.ring.close()
        velmora.SharedMemory.remove(self.name)


class MpQueue:
    label = "multiprocessing.Queue"

    def setup(self, size):
        self.q = CTX.Queue(maxsize=max(64, buffered_bytes(size) // size))

    def produce(self, msgs):
        put = self.q.put
        for m in msgs:
            put(m)
        self.q.close()
        self.q.join_thread()

    def consume(self, check, n):
        get = self.q.get
        for _ in range(n):
            check(get())

    def teardown(self):
        self.q.close()


class FasterFifo:
    def __init__(self, batch=False):
        self.batch = batch
        self.label = "faster-fifo put/get_many" if batch else "faster-fifo put/get"

    def missing(self):
        try:
            import faster_fifo  # noqa: F401
        except ImportError:
            return "faster-fifo not installed"
        return None

    def setup(self, size):
        import faster_fifo
        self.size = size
        self.q = faster_fifo.Queue(max_size_bytes=buffered_bytes(size))

    def produce(self, msgs):
        put = self.q.put
        for m in msgs:
            put(m, timeout=TIMEOUT_S)

    def consume(self, check, n):
        if self.batch:
            many = self.q.get_many
            while n > 0:
                got = many(timeout=TIMEOUT_S, max_messages_to_get=min(batch_of(self.size), n))
                n -= len(got)
                for m in got:
                    check(m)
            return
        get = self.q.get
        for _ in range(n):
            check(get(timeout=TIMEOUT_S))

    def teardown(self):
        self.q.close()


class Zmq:
    label = "pyzmq PUSH/PULL ipc (4 PUSH)"

    def missing(self):
        try:
            import zmq  # noqa: F401
        except ImportError:
            return "pyzmq not installed"
        return None

    def setup(self, size):
        self.path = os.path.join(tempfile.gettempdir(), f"velmora-fanin-{os.getpid()}-{uuid.uuid4().hex[:8]}.ipc")
        self.ctx = self.pull = None
        # A PUSH that closes while the PULL's queue is at its high-water mark
        # was seen to lose its last few hundred messages (its context ended
        # all the same): producers keep their sockets until all has arrived.
        self.finished = CTX.Event()

    def produce(self, msgs):
        import zmq
        ctx = zmq.Context()
        sock = ctx.socket(zmq.PUSH)
        sock.setsockopt(zmq.LINGER, -1)
        sock.connect("ipc://" + self.path)
        send = sock.send
        for m in msgs:
            send(m)
        self.finished.wait(TIMEOUT_S)
        sock.close()
        ctx.term()

    def ready(self):
        # Bound only after the producers were forked (a zmq context does not
        # survive fork()), and before they start sending.
        import zmq
        self.ctx = zmq.Context()
        self.pull = self.ctx.socket(zmq.PULL)
        self.pull.setsockopt(zmq.RCVTIMEO, 30_000)   # a stall raises zmq.Again instead of hanging
        self.pull.bind("ipc://" + self.path)

    def consume(self, check, n):
        import zmq
        recv = self.pull.recv
        try:
            for _ in range(n):
                check(recv())
        except zmq.Again:
            raise RowFailed("a message did not arrive for 30 s") from None

    def done(self):
        self.finished.set()

    def teardown(self):
        if self.pull is not None:
            self.pull.close(linger=0)
            self.ctx.term()
        try:
            os.unlink(self.path)
        except OSError:
            pass


# ---- one run ---------------------------------------------------------------------------

def _producer_main(t, producer, size, count, built, go):
    msgs = messages(producer, size, count)
    built.wait(TIMEOUT_S)
    go.wait(TIMEOUT_S)
    t.produce(msgs)


def run(t, size, producers):
    """Messages per second through `t` from `producers` processes, and the shares."""
    count = COUNT[size] * PRODUCERS // producers
    t.setup(size)
    go, built = CTX.Event(), CTX.Barrier(producers + 1)
    procs = [CTX.Process(target=_producer_main, args=(t, p, size, count, built, go)) for p in range(producers)]
    for p in procs:
        p.start()
    try:
        if hasattr(t, "ready"):
            t.ready()
        # Made after the fork, so its pages are not shared copy-on-write with
        # the producers, and kept out of the collector's way.
        checker = Checker(size, producers, count)
        gc.collect()
        gc.freeze()
        built.wait(TIMEOUT_S)   # every producer has its messages ready
        time.sleep(0.05)   # and waits on the event
        started = time.perf_counter()
        go.set()
        try:
            checker.run(t.consume)
        finally:
            getattr(t, "done", lambda: None)()
        elapsed = time.perf_counter() - started
    finally:
        for p in procs:
            p.join(TIMEOUT_S)
        t.teardown()
    if any(p.exitcode != 0 for p in procs):
        raise RuntimeError(f"{t.label}: a producer failed")
    return checker.total / elapsed, checker.shares()


def rows():
    return [Velmora(False), Velmora(True), Velmora(True, batch=True), MpQueue(), FasterFifo(),
            FasterFifo(batch=True), Zmq(), Velmora(False, spsc=True), Velmora(True, spsc=True)]


def one(index, size):
    """One row in this fresh interpreter (a peer's state, such as a zmq
    context, must not leak into the next row's forked producers)."""
    t = rows()[index]
    producers = 1 if getattr(t, "spsc", False) else PRODUCERS
    try:
        rate, shares = run(t, size, producers)
    except RowFailed as exc:
        print(f"FAILED {exc}")
        return 0
    print(rate, *shares)
    return 0


def in_child(index, size):
    import subprocess
    out = subprocess.run([sys.executable, os.path.abspath(__file__), "--one", str(index), str(size)],
                         capture_output=True, text=True, timeout=TIMEOUT_S * 2)
    if out.returncode != 0:
        raise RuntimeError(f"row {index} failed: {out.stderr[-2000:]}")
    last = out.stdout.strip().splitlines()[-1]
    if last.startswith("FAILED "):
        raise RowFailed(last[len("FAILED "):])
    rate, *shares = map(float, last.split())
    return rate, shares


def main():
    head = (f"fan-in: {PRODUCERS} producer processes -> 1 consumer, {os.cpu_count()} cores"
            + (" (BENCH_QUICK)" if QUICK else ""))
    print(head)
    results, shares_of, lines = {}, {}, []
    for size in SIZES:
        print(f"\n{size} B messages, {COUNT[size] * PRODUCERS} in all")
        print(f"{'transport':<40}{'msgs/s':>12}{'MB/s':>9}   share per producer")
        lines += ["", f"### {size} B messages, {COUNT[size] * PRODUCERS} in all", "",
                  "| transport | msgs/s | MB/s | share per producer |", "|---|---:|---:|---|"]
        # Rounds interleave the rows, so a slow spell of the machine hits
        # them alike; each row reports its median round.
        runs = {}
        for _ in range(ROUNDS):
            for index, t in enumerate(rows()):
                if getattr(t, "missing", lambda: None)() or runs.get(index) == "failed":
                    continue
                try:
                    runs.setdefault(index, []).append(in_child(index, size))
                except RowFailed as exc:
                    runs[index] = "failed"
                    print(f"{t.label:<40}{'failed':>12}   ({exc})", flush=True)
                    lines.append(f"| {t.label} | failed | | {exc} |")
        for index, t in enumerate(rows()):
            why = getattr(t, "missing", lambda: None)()
            if why:
                print(f"{t.label:<40}{'n/a':>12}   ({why})")
                lines.append(f"| {t.label} | n/a | | {why} |")
                continue
            if runs.get(index) == "failed":
                continue
            producers = 1 if getattr(t, "spsc", False) else PRODUCERS
            done = sorted(runs[index], key=lambda r: r[0])
            rate, shares = done[len(done) // 2]
            results[(t.label, size)] = rate
            share = "-" if producers == 1 else f"{min(shares):.0%}..{max(shares):.0%}"
            shares_of[(t.label, size)] = shares
            print(f"{t.label:<40}{rate:>12,.0f}{rate * size / 1e6:>9.1f}   {share}", flush=True)
            lines.append(f"| {t.label} | {rate:,.0f} | {rate * size / 1e6:.1f} | {share} |")
        found = ratios(results, size)
        for f in found:
            print("  " + f)
        lines += [""] + [f"- {f}" for f in found]
    write(head, lines, results, shares_of)
    return 0


def ratios(results, size):
    """The fan-in rows against SPSC 1->1 push/pop and the peers at `size`."""
    def rate(label):
        return results.get((label, size))

    spsc = rate("velmora SpscRingBuffer 1->1 push/pop")
    found = []
    for calls in ("push/pop", "put/get", "put/pop_many"):
        mine = rate(f"velmora MpscRingBuffer {calls}")
        if mine is None:
            continue
        parts = [f"{mine / spsc:.2f}x SPSC 1->1 push/pop" if spsc else None]
        for peer in ("multiprocessing.Queue", "faster-fifo put/get", "faster-fifo put/get_many",
                     "pyzmq PUSH/PULL ipc (4 PUSH)"):
            if rate(peer):
                parts.append(f"{mine / rate(peer):.1f}x {peer}")
        found.append(f"MpscRingBuffer {calls}: " + ", ".join(p for p in parts if p))
    return found


def write(head, lines, results, shares_of):
    """bench_fanin.md, .json and (with matplotlib) .png in OUT."""
    os.makedirs(OUT, exist_ok=True)
    text = "\n".join(["# Fan-in benchmark", "", head + f"; python {sys.version.split()[0]}, "
                      f"load average {os.getloadavg()[0]:.1f} at the end. Every message checked; "
                      f"each row the median of {ROUNDS} rounds.", *lines])
    with open(os.path.join(OUT, "bench_fanin.md"), "w") as f:
        f.write(text + "\n")
    with open(os.path.join(OUT, "bench_fanin.json"), "w") as f:
        json.dump({"rate": {f"{k}|{s}": v for (k, s), v in results.items()},
                   "shares": {f"{k}|{s}": v for (k, s), v in shares_of.items()}}, f, indent=1)
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return
    labels = [t.label for t in rows() if any((t.label, s) in results for s in SIZES)]
    fig, axes = plt.subplots(1, len(SIZES), figsize=(12, 4.8))
    for ax, size in zip(axes, SIZES):
        vals = [results.get((k, size), 0) for k in labels]
        colors = ["tab:blue" if k.startswith("velmora Mpsc") else "tab:gray" if k.startswith("velmora")
                  else "tab:orange" for k in labels]
        ax.barh(range(len(labels)), vals, color=colors)
        ax.set_yticks(range(len(labels)))
        ax.set_yticklabels(labels, fontsize=8)
        ax.invert_yaxis()
        ax.set_xscale("log")
        ax.set_xlabel("messages/s, all producers together")
        ax.set_title(f"{size} B")
    fig.suptitle(f"Fan-in: {PRODUCERS} producer processes -> 1 consumer")
    fig.tight_layout()
    fig.savefig(os.path.join(OUT, "bench_fanin.png"), dpi=110)
    plt.close(fig)


if __name__ == "__main__":
    if sys.argv[1:2] == ["--one"]:
        sys.exit(one(int(sys.argv[2]), int(sys.argv[3])))
    sys.exit(main())
