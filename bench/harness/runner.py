"""The runner: child processes, the stream and ping-pong loops, rounds and medians.

Every figure comes from two processes (or more, for fan-in). Throughput: a
producer sends COUNT messages of one size, a consumer receives them and times
from the first to the last. Latency: one process sends a message, the other
sends it back, and half of each round trip is one sample. Every message
carries its sequence number in its first 8 bytes (little-endian) and is
checked for length and number where it arrives; a wrong one fails the run.
A sender keeps its end open until the receiver has counted every message (a
transport may drop what is queued when its sender closes), and every run has
a timeout after which its row fails with a reason instead of hanging.
Rounds are interleaved (every row and size once per round, in a rotating
order), a sizing run first is the warm-up, and the tables show medians."""
import ctypes
import multiprocessing as mp
import multiprocessing.connection
import os
import shutil
import signal
import statistics
import tempfile
import time

from .common import (BATCH, LATENCY_SIZES, PILOT, SEQ, SIZES, STOP, WARM, Failed, percentile, ring_capacity,
                     size_label)

def _child(target, args, conn, parent):
    """Runs one side of a measurement and sends ("ok", result) or ("error", text)."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)      # the parent handles Ctrl-C
    signal.signal(signal.SIGTERM, signal.SIG_DFL)
    try:
        ctypes.CDLL(None).prctl(1, signal.SIGKILL)      # PR_SET_PDEATHSIG
    except (OSError, AttributeError):
        pass
    if os.getppid() != parent:
        os._exit(1)
    try:
        result = ("ok", target(*args))
    except BaseException as exc:  # noqa: BLE001 - reported to the parent
        result = ("error", f"{type(exc).__name__}: {exc}")
    conn.send(result)
    conn.close()


class Spinner:
    """Waits on a full or empty channel: spins, handing the core over every 1024 tries."""

    def __init__(self):
        self.spins = 0

    def wait(self):
        self.spins += 1
        if self.spins & 1023 == 0:
            os.sched_yield()


def _first(recv, poll, spin):
    """The next message that is not a handshake leftover."""
    while True:
        msg = recv()
        while poll and msg is None:
            spin()
            msg = recv()
        if len(msg) < 8 or SEQ.unpack_from(msg)[0] != WARM:
            return msg


def _handshake_send(t, ep, size, ready):
    """Sends WARM until the other side has one: once, or every 10 ms for a
    transport that drops messages sent before its receiver is connected."""
    buf = bytearray(size)
    SEQ.pack_into(buf, 0, WARM)
    spin = Spinner().wait
    while True:
        if t.poll_send:
            while not ep.send(buf):
                spin()
        else:
            ep.send(buf)
        if not t.lossy_start or ready.wait(0.01):
            return


def _handshake_recv(t, ep, ready):
    spin = Spinner().wait
    msg = ep.recv()
    while t.poll_recv and msg is None:
        spin()
        msg = ep.recv()
    if SEQ.unpack_from(msg)[0] != WARM:
        raise RuntimeError("the first message is not the handshake")
    ready.set()


def produce(t, chan, size, count, ready, counted):
    ep = t.sender(chan, size)
    _handshake_send(t, ep, size, ready)
    pack, spin = SEQ.pack_into, Spinner().wait
    if t.stream == "batch":
        send_many = ep.send_many
        bufs = [bytearray(size) for _ in range(BATCH)]
        seq = 0
        while seq < count:
            k = min(BATCH, count - seq)
            for i in range(k):
                pack(bufs[i], 0, seq + i)
            batch = bufs if k == BATCH else bufs[:k]
            done = send_many(batch)
            while done < k:
                spin()
                done += send_many(batch[done:])
            seq += k
    else:
        send, buf = ep.send, bytearray(size)
        if t.poll_send:
            for seq in range(count):
                pack(buf, 0, seq)
                while not send(buf):
                    spin()
        else:
            for seq in range(count):
                pack(buf, 0, seq)
                send(buf)
    _close_when_counted(ep, counted)


def _close_when_counted(ep, counted):
    """A sender's end stays open until the receiver has counted every message:
    closing right after the last send lets some transports drop what is still
    queued. The receiver's own timeout ends a wait for messages that were lost."""
    counted.wait()
    ep.finish()


def consume(t, chan, size, count, ready, counted):
    """Returns (seconds from the first message to the last, wrong messages)."""
    ep = t.receiver(chan, size)
    _handshake_recv(t, ep, ready)
    unpack, spin, bad = SEQ.unpack_from, Spinner().wait, 0
    if t.stream == "batch":
        recv_many, seq, t0 = ep.recv_many, 0, None
        while seq < count:
            msgs = recv_many(BATCH)
            if not msgs:
                spin()
                continue
            if t0 is None:
                t0 = time.perf_counter()
            for msg in msgs:
                if len(msg) != size or unpack(msg)[0] != seq:
                    bad += 1
                seq += 1
        if seq != count:
            bad += abs(seq - count)
    elif t.stream == "into":
        recv_into, buf = ep.recv_into, bytearray(size)
        t0 = None
        for seq in range(count):
            n = recv_into(buf)
            while n is None:
                spin()
                n = recv_into(buf)
            if t0 is None:
                t0 = time.perf_counter()
            if n != size or unpack(buf)[0] != seq:
                bad += 1
    else:
        recv = ep.recv
        msg = _first(recv, t.poll_recv, spin)
        t0 = time.perf_counter()
        if len(msg) != size or unpack(msg)[0] != 0:
            bad += 1
        if t.poll_recv:
            for seq in range(1, count):
                msg = recv()
                while msg is None:
                    spin()
                    msg = recv()
                if len(msg) != size or unpack(msg)[0] != seq:
                    bad += 1
        else:
            for seq in range(1, count):
                msg = recv()
                if len(msg) != size or unpack(msg)[0] != seq:
                    bad += 1
    elapsed = time.perf_counter() - t0
    counted.set()
    ep.finish()
    return elapsed, bad


def ping(t, there, back, size, iterations, budget, ready_there, ready_back, stopped):
    """The timing side of a ping-pong: returns (sorted one-way ns samples, wrong)."""
    tx, rx = t.sender(there, size), t.receiver(back, size)
    _handshake_send(t, tx, size, ready_there)
    _handshake_recv(t, rx, ready_back)
    pack, unpack, spin, clock = SEQ.pack_into, SEQ.unpack_from, Spinner().wait, time.perf_counter_ns
    send, recv, poll_send, poll_recv = tx.send, rx.recv, t.poll_send, t.poll_recv
    into, recv_into = t.stream == "into", getattr(rx, "recv_into", None)
    buf, reply = bytearray(size), bytearray(size)
    warmup = max(20, iterations // 10)
    samples, bad, seq = [], 0, 0
    budget_ns = int(budget * 1e9)
    started = clock()
    while len(samples) < iterations:
        pack(buf, 0, seq)
        t0 = clock()
        if poll_send:
            while not send(buf):
                spin()
        else:
            send(buf)
        if into:
            n = recv_into(reply)
            while n is None:
                n = recv_into(reply)
            t1 = clock()
            ok = n == size and unpack(reply)[0] == seq
        else:
            msg = recv()
            while poll_recv and msg is None:
                msg = recv()
            t1 = clock()
            ok = len(msg) == size and unpack(msg)[0] == seq
            if not ok and len(msg) == size and unpack(msg)[0] == WARM:   # a handshake leftover
                msg = _first(recv, poll_recv, spin)
                t1 = clock()
                ok = len(msg) == size and unpack(msg)[0] == seq
        if not ok:
            bad += 1
        if seq >= warmup:
            samples.append((t1 - t0) / 2)
        seq += 1
        if t1 - started > budget_ns and len(samples) >= 100:
            break
    pack(buf, 0, STOP)
    if poll_send:
        while not send(buf):
            spin()
    else:
        send(buf)
    rx.finish()
    _close_when_counted(tx, stopped)      # until the echo has its STOP
    samples.sort()
    return samples, bad


def pong(t, there, back, size, ready_there, ready_back, stopped):
    """The echoing side of a ping-pong: returns the number of wrong messages."""
    rx, tx = t.receiver(there, size), t.sender(back, size)
    _handshake_recv(t, rx, ready_there)
    _handshake_send(t, tx, size, ready_back)
    unpack, spin = SEQ.unpack_from, Spinner().wait
    send, recv, poll_send, poll_recv = tx.send, rx.recv, t.poll_send, t.poll_recv
    into, recv_into, buf = t.stream == "into", getattr(rx, "recv_into", None), bytearray(size)
    bad, expect = 0, 0
    while True:
        if into:
            n = recv_into(buf)
            while n is None:
                n = recv_into(buf)
            msg = buf if n == size else buf[:n]
        else:
            msg = recv()
            while poll_recv and msg is None:
                msg = recv()
        got = unpack(msg)[0] if len(msg) >= 8 else None
        if got != expect or len(msg) != size:
            if got == STOP:
                stopped.set()
                break
            if got == WARM:
                continue
            bad += 1
        expect += 1
        if poll_send:
            while not send(msg):
                spin()
        else:
            send(msg)
    tx.finish()
    rx.finish()
    return bad


# ---- the parent ----------------------------------------------------------------------

class Run:
    """Owns the child processes and every named object made for them."""

    def __init__(self, settings):
        self.settings = settings
        self.ctx = mp.get_context("fork")
        self.parent = os.getpid()
        self.children = []
        self.segments, self.queues = set(), set()
        self.tmp = tempfile.mkdtemp(prefix="velmora-bench-")
        self._id = 0

    def next_id(self):
        self._id += 1
        return self._id

    def new_segment_name(self):
        name = f"/velmora-bench-{self.parent}-{self.next_id()}"
        self.segments.add(name)
        return name

    def new_queue_name(self):
        name = f"/velmora-bench-mq-{self.parent}-{self.next_id()}"
        self.queues.add(name)
        return name

    def start(self, jobs):
        """Starts (target, args) jobs in forked children: a handle for collect()."""
        conns, procs = [], []
        try:
            for target, args in jobs:
                recv_end, send_end = self.ctx.Pipe(duplex=False)
                p = self.ctx.Process(target=_child, args=(target, args, send_end, self.parent), daemon=True)
                p.start()
                send_end.close()
                procs.append(p)
                conns.append(recv_end)
                self.children.append(p)
        except BaseException:
            self._reap(procs, conns)
            raise
        return procs, conns

    def collect(self, started, timeout):
        """The children's results, in the order of their jobs. Raises Failed
        (after killing the rest) when one fails or none answers for `timeout`."""
        procs, conns = started
        try:
            results = [None] * len(procs)
            pending = set(range(len(procs)))
            deadline = time.monotonic() + timeout
            while pending:
                for conn in mp.connection.wait([conns[i] for i in pending], timeout=0.2):
                    i = conns.index(conn)
                    pending.discard(i)
                    try:
                        status, value = conn.recv()
                    except EOFError:
                        procs[i].join(1)
                        raise Failed(f"a child process died (exit code {procs[i].exitcode})") from None
                    if status != "ok":
                        raise Failed(value)
                    results[i] = value
                    deadline = time.monotonic() + timeout
                if pending and time.monotonic() > deadline:
                    raise Failed(f"stalled: no result in {timeout:.0f} s")
            for p in procs:
                p.join(10)
            return results
        finally:
            self._reap(procs, conns)

    def spawn(self, jobs, timeout):
        """start() and collect() in one."""
        return self.collect(self.start(jobs), timeout)

    def stop(self, started):
        """Kills and reaps what start() started and collect() did not; again is harmless."""
        self._reap(*started)

    def _reap(self, procs, conns):
        for p in procs:
            if p in self.children:
                if p.is_alive():
                    p.kill()
                p.join()
                self.children.remove(p)
        for conn in conns:
            conn.close()

    def throughput(self, t, size, count):
        """Messages per second from one run of `count` messages."""
        if hasattr(t, "measure_rate"):        # a row with processes of its own
            return t.measure_rate(self.settings, size, count)
        chan = t.channel(self, size, ring_capacity(size))
        try:
            ready, counted = self.ctx.Event(), self.ctx.Event()
            _, (elapsed, bad) = self.spawn([(produce, (t, chan, size, count, ready, counted)),
                                            (consume, (t, chan, size, count, ready, counted))],
                                           self.settings.timeout)
        finally:
            t.close(chan)
        if bad:
            raise Failed(f"{bad} wrong messages")
        return (count - 1) / elapsed

    def latency(self, t, size):
        """(p50, p99) of one-way latency in seconds from one ping-pong run."""
        if hasattr(t, "measure_latency"):
            return t.measure_latency(self.settings, size)
        iterations, budget = self.settings.latency_plan(size)
        there = t.channel(self, size, ring_capacity(size))
        try:
            back = t.channel(self, size, ring_capacity(size))
            try:
                r1, r2, stopped = self.ctx.Event(), self.ctx.Event(), self.ctx.Event()
                (samples, bad), bad_echo = self.spawn(
                    [(ping, (t, there, back, size, iterations, budget, r1, r2, stopped)),
                     (pong, (t, there, back, size, r1, r2, stopped))], self.settings.timeout)
            finally:
                t.close(back)
        finally:
            t.close(there)
        if bad or bad_echo:
            raise Failed(f"{bad + bad_echo} wrong messages")
        return percentile(samples, 0.50) / 1e9, percentile(samples, 0.99) / 1e9

    def close(self):
        for p in self.children:
            if p.is_alive():
                p.kill()
            p.join()
        self.children.clear()
        try:
            import velmora
            for name in self.segments:
                try:
                    velmora.SharedMemory.remove(name)
                except OSError:
                    pass
        except ImportError:
            pass
        if self.queues:
            try:
                import posix_ipc
                for name in self.queues:
                    try:
                        posix_ipc.unlink_message_queue(name)
                    except posix_ipc.ExistentialError:
                        pass
            except ImportError:
                pass
        shutil.rmtree(self.tmp, ignore_errors=True)


class Results:
    """Per (row key, size): the figures of every round, or why there are none."""

    def __init__(self, transports):
        self.transports = transports
        self.rate = {}          # (key, size) -> [msg/s, ...]
        self.lat = {}           # (key, size) -> [(p50 s, p99 s), ...]
        self.note = {}          # (key, size, "rate"/"lat") -> text instead of a figure
        self.wrong = False      # some run delivered a wrong message

    def median_rate(self, key, size):
        v = self.rate.get((key, size))
        return statistics.median(v) if v else None

    def median_lat(self, key, size):
        v = self.lat.get((key, size))
        if not v:
            return None
        return statistics.median(p for p, _ in v), statistics.median(q for _, q in v)

    def best_peer_rate(self, size):
        best = None
        for t in self.transports:
            r = self.median_rate(t.key, size) if t.kind == "peer" else None
            if r is not None and (best is None or r > best[1]):
                best = (t, r)
        return best

    def best_peer_lat(self, size):
        best = None
        for t in self.transports:
            m = self.median_lat(t.key, size) if t.kind == "peer" else None
            if m is not None and (best is None or m[0] < best[1]):
                best = (t, m[0])
        return best


def select(transports, only):
    return [t for t in transports if not only or any(w in t.key for w in only)]


def measure(run, settings, transports, log=print, sizes=SIZES, latency_sizes=LATENCY_SIZES):
    """Every row at every size: a sizing run first (also the warm-up), then
    `settings.rounds` interleaved rounds; a Results of every figure."""
    res = Results(transports)
    usable = []
    for t in transports:
        why = t.missing()
        if why:
            for size in sizes:
                res.note[(t.key, size, "rate")] = res.note[(t.key, size, "lat")] = why
            log(f"  {t.label}: {why}")
        else:
            usable.append(t)

    def cells(kind, sizes):
        for t in usable:
            for size in sizes:
                if kind == "lat" and not t.latency:
                    continue
                why = t.size_note(size)
                if why:
                    res.note[(t.key, size, kind)] = why
                    continue
                yield t, size

    def attempt(t, size, kind, fn):
        if (t.key, size, kind) in res.note:
            return None
        try:
            return fn()
        except Failed as exc:
            text = str(exc)
            res.note[(t.key, size, kind)] = f"failed: {text}"
            res.wrong = res.wrong or "wrong messages" in text
            log(f"  {t.label}, {size_label(size)}: failed: {text}")
            return None

    counts = {}
    rate_cells = list(cells("rate", sizes))
    lat_cells = list(cells("lat", latency_sizes))
    for t, size in rate_cells:
        fixed = settings.fixed_count(size)
        if fixed:
            counts[(t.key, size)] = fixed
            continue
        # A sizing run (also a warm-up): as many messages as `seconds` allow.
        rate = attempt(t, size, "rate", lambda: run.throughput(t, size, PILOT[size]))
        if rate:
            counts[(t.key, size)] = int(min(50_000_000, max(PILOT[size] // 2, rate * settings.seconds)))
    for r in range(settings.rounds):
        log(f"round {r + 1} of {settings.rounds}")
        # Each round starts at another place in the list, so no row is always first.
        shift = r * len(rate_cells) // settings.rounds
        for t, size in rate_cells[shift:] + rate_cells[:shift]:
            if (t.key, size) in counts:
                v = attempt(t, size, "rate", lambda: run.throughput(t, size, counts[(t.key, size)]))
                if v is not None:
                    res.rate.setdefault((t.key, size), []).append(v)
        shift = r * len(lat_cells) // settings.rounds
        for t, size in lat_cells[shift:] + lat_cells[:shift]:
            v = attempt(t, size, "lat", lambda: run.latency(t, size))
            if v is not None:
                res.lat.setdefault((t.key, size), []).append(v)
    return res


