"""velmora's ring side by side with the native core and with what a Python user
would pick instead, measured in one run on one machine.

Rows: velmora push/pop, batches (push_many/pop_many), blocking put/get and
pop_into with a reused bytearray (each when the installed module has it); the
native core (bench/native/ring_driver.cpp: the same ring code driven from C++);
a hand-written ring on multiprocessing.shared_memory; multiprocessing.Pipe and
Queue; faster-fifo; pyzmq PUSH/PULL over ipc://; posix_ipc message queues;
iceoryx2's publish-subscribe. A peer that is not installed is skipped with a
note (`make bench` installs them).

Every figure comes from two processes. Throughput: a producer sends COUNT
messages of one size, a consumer receives them and times from the first to the
last. Latency: one process sends a message, the other sends it back, and half
of each round trip is one sample. Every message carries its sequence number in
its first 8 bytes (little-endian) and is checked for length and number where it
arrives; a wrong one is reported and fails the run. Rounds are interleaved
(every row and size once per round, in a rotating order) and the tables show
medians over rounds.

Environment:
  BENCH_QUICK=1      one round of few messages: checks that every row works
  BENCH_ROUNDS=N     rounds (default 5)
  BENCH_SECONDS=S    aimed length of one throughput run (default 0.5)
  BENCH_ONLY=a,b     only the rows whose key contains one of these words
                     (keys: velmora, velmora-batch, velmora-putget,
                     velmora-into, native, stdlib-ring, pipe, queue,
                     faster-fifo, zmq, posix-ipc, iceoryx2)
  BENCH_OUT=DIR      where bench.md, bench.png and bench.json (every round's
                     figures) go (default docs/; a quick run writes to
                     build/bench-quick/ unless told otherwise)
  BENCH_NATIVE=PATH  the native driver (default build/bench/velmora_bench_ring)

Linux only (fork, /proc, POSIX message queues). The machine should be quiet:
two processes that spin on a 2-core machine collapse when a third job runs.
"""
import ctypes
import datetime
import json
import multiprocessing as mp
import multiprocessing.connection
import os
import platform
import shutil
import signal
import statistics
import struct
import subprocess
import sys
import tempfile
import time
from multiprocessing import shared_memory
from types import SimpleNamespace

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

KIB, MIB = 1024, 1024 * 1024
SIZES = [64, 4 * KIB, 64 * KIB, MIB]
LATENCY_SIZES = [64, MIB]
BATCH = 64                       # messages per push_many / pop_many call

SEQ = struct.Struct("<Q")        # the sequence number at the front of every message
WARM = 2**64 - 1                 # handshake message, sent before the timed stream
STOP = 2**64 - 2                 # ends the echoing side of a ping-pong

# Messages of the first (untimed) sizing run, per size; see Settings.
PILOT = {64: 20_000, 4 * KIB: 5_000, 64 * KIB: 1_000, MIB: 100}


def size_label(size):
    return f"{size // MIB} MiB" if size >= MIB else f"{size // KIB} KiB" if size >= KIB else f"{size} B"


def ring_capacity(size):
    """Data bytes of every bounded channel for one message size: a power of
    two of at least 1 MiB that holds at least two messages (4 MiB for 1 MiB)."""
    capacity = MIB
    while capacity < 2 * (size + 4):
        capacity *= 2
    return capacity


def percentile(sorted_samples, q):
    """Nearest-rank percentile, as the native driver computes it."""
    rank = max(1, -(-round(q * 1000) * len(sorted_samples) // 1000))
    return sorted_samples[min(rank, len(sorted_samples)) - 1]


class Settings:
    def __init__(self, env=os.environ):
        self.quick = env.get("BENCH_QUICK", "") not in ("", "0")
        self.rounds = int(env.get("BENCH_ROUNDS", "1" if self.quick else "5"))
        self.seconds = float(env.get("BENCH_SECONDS", "0.5"))
        self.only = [w.strip() for w in env.get("BENCH_ONLY", "").split(",") if w.strip()]
        default_out = os.path.join(ROOT, "build", "bench-quick") if self.quick else os.path.join(ROOT, "docs")
        self.out = env.get("BENCH_OUT", default_out)
        self.native = env.get("BENCH_NATIVE", os.path.join(ROOT, "build", "bench", "velmora_bench_ring"))
        self.timeout = 30.0 if self.quick else 120.0

    def fixed_count(self, size):
        """Messages per throughput run without a sizing run (quick mode)."""
        return PILOT[size] // 4 if self.quick else None

    def latency_plan(self, size):
        """(round trips, time budget in seconds) of one latency run."""
        if self.quick:
            return (300 if size < MIB else 50), 0.2
        return (20_000 if size < MIB else 2_000), 2 * self.seconds


# ---- child processes --------------------------------------------------------------

class Failed(Exception):
    """A run that did not produce a figure: a child failed or stalled."""


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


def produce(t, chan, size, count, ready):
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
    ep.finish()


def consume(t, chan, size, count, ready):
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
    ep.finish()
    return elapsed, bad


def ping(t, there, back, size, iterations, budget, ready_there, ready_back):
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
    tx.finish()
    rx.finish()
    samples.sort()
    return samples, bad


def pong(t, there, back, size, ready_there, ready_back):
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


# ---- transports -------------------------------------------------------------------
#
# A transport makes a channel in the parent (inherited by the forked children)
# and, in a child, a sending or receiving endpoint: a namespace with send(buf)
# (returns False when full if poll_send, otherwise blocks), recv() (returns None
# when empty if poll_recv, otherwise blocks), finish(), and for the batch and
# into streams send_many / recv_many / recv_into.

def _endpoint(**kw):
    kw.setdefault("finish", lambda: None)
    return SimpleNamespace(**kw)


class Transport:
    key = label = ""
    kind = "peer"                 # "velmora", "native" or "peer"
    poll_send = poll_recv = False
    stream = "single"             # "single", "batch" or "into"
    lossy_start = False           # messages sent before the receiver connects may vanish
    latency = True                # has a ping-pong row

    def missing(self):
        """Why this row cannot run here, or None."""
        return None

    def size_note(self, size):
        """Why this row skips a size, or None."""
        return None

    def channel(self, run, size, capacity):
        raise NotImplementedError

    def close(self, chan):
        pass

    def sender(self, chan, size):
        raise NotImplementedError

    def receiver(self, chan, size):
        raise NotImplementedError

    def version(self):
        return None


def _dist_version(name):
    try:
        from importlib.metadata import version
        return version(name)
    except Exception:  # noqa: BLE001
        return None


class Velmora(Transport):
    key, label, kind = "velmora", "velmora push/pop", "velmora"
    poll_send = poll_recv = True
    needs = ()

    def missing(self):
        try:
            import velmora
        except ImportError as exc:
            return f"n/a (velmora not importable: {exc})"
        absent = [m for m in self.needs if not hasattr(velmora.SpscRingBuffer, m)]
        return f"n/a (not built: no {', '.join(absent)})" if absent else None

    def channel(self, run, size, capacity):
        import velmora
        name = run.new_segment_name()
        seg = velmora.SharedMemory.create(name, 24 + capacity)
        seg.spsc()                  # the creator's attach resets the header
        return SimpleNamespace(name=name, seg=seg)

    def close(self, chan):
        import velmora
        chan.seg = None
        try:
            velmora.SharedMemory.remove(chan.name)
        except OSError:
            pass

    def _ring(self, chan):
        import velmora
        return velmora.SharedMemory.open(chan.name).spsc()

    def sender(self, chan, size):
        ring = self._ring(chan)
        return _endpoint(send=ring.push, send_many=getattr(ring, "push_many", None), ring=ring)

    def receiver(self, chan, size):
        ring = self._ring(chan)
        return _endpoint(recv=ring.pop, recv_many=getattr(ring, "pop_many", None),
                         recv_into=getattr(ring, "pop_into", None), ring=ring)

    def version(self):
        return _dist_version("velmora")


class VelmoraBatch(Velmora):
    key, label = "velmora-batch", f"velmora push_many/pop_many ({BATCH})"
    stream, latency = "batch", False
    needs = ("push_many", "pop_many")


class VelmoraPutGet(Velmora):
    key, label = "velmora-putget", "velmora put/get"
    poll_send = poll_recv = False
    needs = ("put", "get")

    def sender(self, chan, size):
        ring = self._ring(chan)
        return _endpoint(send=ring.put, ring=ring)

    def receiver(self, chan, size):
        ring = self._ring(chan)
        return _endpoint(recv=ring.get, ring=ring)


class VelmoraInto(Velmora):
    key, label = "velmora-into", "velmora push/pop_into"
    stream = "into"
    needs = ("pop_into",)


class Native(Transport):
    """Runs bench/native/ring_driver.cpp; see Run.native_* for the protocol."""
    key, label, kind = "native", "native core (C++, same ring)", "native"

    def __init__(self, path):
        self.path = path

    def missing(self):
        if not os.access(self.path, os.X_OK):
            return f"n/a (native driver not built: {os.path.relpath(self.path, ROOT)}; `make bench` builds it)"
        return None


class StdlibRing:
    """The ring a Python user would write on multiprocessing.shared_memory: the
    same layout as velmora's (head u64, tail u64, capacity u64, then the data;
    frames of a u32 little-endian length and the payload, wrapping at any
    byte), with each side keeping its own counter locally. The counters are
    read and written as items of a memoryview cast to unsigned 64-bit, one
    8-byte load or store each (struct.pack_into would zero the word first, and
    the other side could read that zero); that the counter store becomes
    visible after the data it publishes relies on x86-64 store ordering, as
    such hand-written code does. It trusts the other side and checks nothing."""

    HEADER = 24
    WORD = struct.Struct("Q")
    LEN = struct.Struct("<I")

    def __init__(self, buf):
        self.buf = buf
        self.words = buf[:self.HEADER].cast("Q")  # head, tail, capacity
        self.cap = self.words[2]
        self.mask = self.cap - 1
        self.data = buf[self.HEADER:self.HEADER + self.cap]
        self.head = self.words[0]
        self.tail = self.words[1]

    @classmethod
    def format(cls, buf, capacity):
        cls.WORD.pack_into(buf, 0, 0)
        cls.WORD.pack_into(buf, 8, 0)
        cls.WORD.pack_into(buf, 16, capacity)

    def _write(self, pos, payload):
        off = pos & self.mask
        end = off + len(payload)
        if end <= self.cap:
            self.data[off:end] = payload
        else:
            cut = self.cap - off
            view = memoryview(payload)
            self.data[off:] = view[:cut]
            self.data[:end - self.cap] = view[cut:]

    def _read(self, pos, n):
        off = pos & self.mask
        end = off + n
        if end <= self.cap:
            return self.data[off:end].tobytes()
        return self.data[off:].tobytes() + self.data[:end - self.cap].tobytes()

    def push(self, payload):
        n = len(payload)
        tail = self.tail
        if n + 4 > self.cap:
            raise ValueError("message larger than the ring")
        if tail + 4 + n - self.words[0] > self.cap:
            return False
        off = tail & self.mask
        if off + 4 <= self.cap:
            self.LEN.pack_into(self.data, off, n)
        else:
            self._write(tail, self.LEN.pack(n))
        self._write(tail + 4, payload)
        self.tail = tail = tail + 4 + n
        self.words[1] = tail
        return True

    def pop(self):
        head = self.head
        if self.words[1] == head:
            return None
        off = head & self.mask
        if off + 4 <= self.cap:
            n = self.LEN.unpack_from(self.data, off)[0]
        else:
            n = self.LEN.unpack(self._read(head, 4))[0]
        msg = self._read(head + 4, n)
        self.head = head = head + 4 + n
        self.words[0] = head
        return msg


class Stdring(Transport):
    key, label = "stdlib-ring", "hand-written ring on shared_memory"
    poll_send = poll_recv = True

    def channel(self, run, size, capacity):
        shm = shared_memory.SharedMemory(create=True, size=StdlibRing.HEADER + capacity)
        StdlibRing.format(shm.buf, capacity)
        return shm

    def close(self, chan):
        chan.close()
        chan.unlink()

    def sender(self, chan, size):
        return _endpoint(send=StdlibRing(chan.buf).push)

    def receiver(self, chan, size):
        return _endpoint(recv=StdlibRing(chan.buf).pop)


class Pipe(Transport):
    key, label = "pipe", "multiprocessing.Pipe"

    def channel(self, run, size, capacity):
        return run.ctx.Pipe(duplex=False)

    def close(self, chan):
        for end in chan:
            end.close()

    def sender(self, chan, size):
        return _endpoint(send=chan[1].send_bytes)

    def receiver(self, chan, size):
        return _endpoint(recv=chan[0].recv_bytes)


class Queue(Transport):
    key, label = "queue", "multiprocessing.Queue"

    def channel(self, run, size, capacity):
        return run.ctx.Queue(maxsize=max(2, capacity // size))

    def close(self, chan):
        chan.close()
        chan.join_thread()

    def sender(self, chan, size):
        put = chan.put
        # put() pickles later, in a feeder thread: hand it a copy.
        return _endpoint(send=lambda buf: put(bytes(buf)), finish=lambda: (chan.close(), chan.join_thread()))

    def receiver(self, chan, size):
        return _endpoint(recv=chan.get)


class FasterFifo(Transport):
    key, label = "faster-fifo", "faster-fifo"

    def missing(self):
        try:
            import faster_fifo  # noqa: F401
        except ImportError:
            return "n/a (faster-fifo not installed)"
        return None

    def channel(self, run, size, capacity):
        import faster_fifo
        return faster_fifo.Queue(max_size_bytes=capacity)

    def close(self, chan):
        chan.close()

    def sender(self, chan, size):
        put = chan.put
        return _endpoint(send=lambda buf: put(buf, timeout=3600))

    def receiver(self, chan, size):
        get = chan.get
        return _endpoint(recv=lambda: get(timeout=3600))

    def version(self):
        return _dist_version("faster-fifo")


class Zmq(Transport):
    key, label = "zmq", "pyzmq PUSH/PULL ipc"

    def missing(self):
        try:
            import zmq  # noqa: F401
        except ImportError:
            return "n/a (pyzmq not installed)"
        return None

    def channel(self, run, size, capacity):
        return os.path.join(run.tmp, f"zmq-{run.next_id()}.ipc")

    def close(self, chan):
        try:
            os.unlink(chan)
        except OSError:
            pass

    def sender(self, chan, size):
        import zmq
        ctx = zmq.Context()
        sock = ctx.socket(zmq.PUSH)
        sock.connect("ipc://" + chan)

        def finish():      # delivers what is still queued before the process ends
            sock.close(linger=-1)
            ctx.term()
        return _endpoint(send=sock.send, finish=finish)

    def receiver(self, chan, size):
        import zmq
        ctx = zmq.Context()
        sock = ctx.socket(zmq.PULL)
        sock.bind("ipc://" + chan)
        return _endpoint(recv=sock.recv, finish=lambda: (sock.close(linger=0), ctx.term()))

    def version(self):
        return _dist_version("pyzmq")


def _proc_int(path, default):
    try:
        with open(path) as f:
            return int(f.read())
    except (OSError, ValueError):
        return default


class PosixIpc(Transport):
    key, label = "posix-ipc", "posix_ipc message queue"

    def missing(self):
        try:
            import posix_ipc
        except ImportError:
            return "n/a (posix_ipc not installed)"
        if not posix_ipc.MESSAGE_QUEUES_SUPPORTED:
            return "n/a (no POSIX message queues here)"
        return None

    def msgsize_max(self):
        return _proc_int("/proc/sys/fs/mqueue/msgsize_max", 8192)

    def size_note(self, size):
        limit = self.msgsize_max()
        return f"skipped above msgsize_max ({limit} B)" if size > limit else None

    def channel(self, run, size, capacity):
        import posix_ipc
        depth = max(1, min(_proc_int("/proc/sys/fs/mqueue/msg_max", 10), capacity // size))
        name = run.new_queue_name()
        return posix_ipc.MessageQueue(name, posix_ipc.O_CREX, max_messages=depth, max_message_size=size)

    def close(self, chan):
        chan.close()
        chan.unlink()

    def sender(self, chan, size):
        return _endpoint(send=chan.send)

    def receiver(self, chan, size):
        receive = chan.receive
        return _endpoint(recv=lambda: receive()[0])

    def version(self):
        return _dist_version("posix_ipc")


class Iceoryx2(Transport):
    """Publish-subscribe with a byte-slice payload. Nothing is lost: the service
    has safe overflow off and the publisher retries until delivered. The
    subscriber's buffer holds as many messages as the ring holds bytes (capped)."""
    key, label = "iceoryx2", "iceoryx2 publish-subscribe"
    poll_recv, lossy_start = True, True     # connects on its first receive()
    MAX_BUFFER = 1024

    def missing(self):
        try:
            import iceoryx2  # noqa: F401
        except ImportError:
            return "n/a (iceoryx2 not installed)"
        return None

    def channel(self, run, size, capacity):
        depth = max(2, min(self.MAX_BUFFER, capacity // (size + 4)))
        return SimpleNamespace(name=f"velmora-bench/{os.getpid()}/{run.next_id()}", depth=depth)

    def _service(self, chan):
        import iceoryx2 as iox2
        iox2.set_log_level(iox2.LogLevel.Error)
        node = iox2.NodeBuilder.new().create(iox2.ServiceType.Ipc)
        service = (node.service_builder(iox2.ServiceName.new(chan.name))
                   .publish_subscribe(iox2.Slice[ctypes.c_uint8])
                   .enable_safe_overflow(False)
                   .subscriber_max_buffer_size(chan.depth)
                   .history_size(0)
                   .open_or_create())
        return iox2, node, service

    def sender(self, chan, size):
        iox2, node, service = self._service(chan)
        publisher = (service.publisher_builder().initial_max_slice_len(size)
                     .backpressure_strategy(iox2.BackpressureStrategy.RetryUntilDelivered).create())
        loan, memmove, char_array = publisher.loan_slice_uninit, ctypes.memmove, ctypes.c_char * size
        keep = [node, service, publisher]

        def send(buf):          # bytes go to memmove as they are, a bytearray through a ctypes view
            n = len(buf)
            sample = loan(n)
            if type(buf) is not bytes:
                buf = (char_array if n == size else ctypes.c_char * n).from_buffer(buf)
            memmove(sample.payload_ptr, buf, n)
            sample.assume_init().send()
        return _endpoint(send=send, keep=keep)

    def receiver(self, chan, size):
        iox2, node, service = self._service(chan)
        subscriber = service.subscriber_builder().buffer_size(chan.depth).create()
        receive, string_at = subscriber.receive, ctypes.string_at
        keep = [node, service, subscriber]

        def recv():
            sample = receive()
            if sample is None:
                return None
            msg = string_at(sample.payload_ptr, sample.header.number_of_elements)
            sample.delete()
            return msg
        return _endpoint(recv=recv, keep=keep)

    def version(self):
        return _dist_version("iceoryx2")


def all_transports(settings):
    return [Velmora(), VelmoraBatch(), VelmoraPutGet(), VelmoraInto(), Native(settings.native),
            Stdring(), Pipe(), Queue(), FasterFifo(), Zmq(), PosixIpc(), Iceoryx2()]


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

    def spawn(self, jobs, timeout):
        """Runs (target, args) jobs in forked children; returns their results.
        Raises Failed (after killing the rest) when one fails or time runs out."""
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
            results = [None] * len(jobs)
            pending = set(range(len(jobs)))
            deadline = time.monotonic() + timeout
            while pending:
                for conn in mp.connection.wait([conns[i] for i in pending], timeout=0.2):
                    i = conns.index(conn)
                    pending.discard(i)
                    try:
                        status, value = conn.recv()
                    except EOFError:
                        procs[i].join(1)
                        raise Failed(f"a child process died (exit code {procs[i].exitcode})")
                    if status != "ok":
                        raise Failed(value)
                    results[i] = value
                if pending and time.monotonic() > deadline:
                    raise Failed(f"stalled for {timeout:.0f} s")
            for p in procs:
                p.join(10)
            return results
        finally:
            for p in procs:
                if p.is_alive():
                    p.kill()
                p.join()
                self.children.remove(p)
            for conn in conns:
                conn.close()

    def throughput(self, t, size, count):
        """Messages per second from one run of `count` messages."""
        if isinstance(t, Native):
            out = self._native("throughput", size, count, ring_capacity(size))
            if out["bad"]:
                raise Failed(f"{out['bad']} wrong messages")
            return (count - 1) / out["elapsed_s"]
        chan = t.channel(self, size, ring_capacity(size))
        try:
            ready = self.ctx.Event()
            _, (elapsed, bad) = self.spawn([(produce, (t, chan, size, count, ready)),
                                            (consume, (t, chan, size, count, ready))], self.settings.timeout)
        finally:
            t.close(chan)
        if bad:
            raise Failed(f"{bad} wrong messages")
        return (count - 1) / elapsed

    def latency(self, t, size):
        """(p50, p99) of one-way latency in seconds from one ping-pong run."""
        iterations, budget = self.settings.latency_plan(size)
        if isinstance(t, Native):
            out = self._native("pingpong", size, iterations, ring_capacity(size), int(budget * 1000))
            if out["bad"]:
                raise Failed(f"{out['bad']} wrong messages")
            return out["p50_ns"] / 1e9, out["p99_ns"] / 1e9
        there = t.channel(self, size, ring_capacity(size))
        try:
            back = t.channel(self, size, ring_capacity(size))
            try:
                r1, r2 = self.ctx.Event(), self.ctx.Event()
                (samples, bad), bad_echo = self.spawn(
                    [(ping, (t, there, back, size, iterations, budget, r1, r2)),
                     (pong, (t, there, back, size, r1, r2))], self.settings.timeout)
            finally:
                t.close(back)
        finally:
            t.close(there)
        if bad or bad_echo:
            raise Failed(f"{bad + bad_echo} wrong messages")
        return percentile(samples, 0.50) / 1e9, percentile(samples, 0.99) / 1e9

    def _native(self, *args):
        cmd = [self.settings.native] + [str(a) for a in args]
        try:
            proc = subprocess.run(cmd, capture_output=True, text=True, timeout=self.settings.timeout)
        except subprocess.TimeoutExpired:
            raise Failed(f"stalled for {self.settings.timeout:.0f} s") from None
        if proc.returncode not in (0, 1) or not proc.stdout.strip():
            raise Failed(proc.stderr.strip() or f"exit code {proc.returncode}")
        return json.loads(proc.stdout)

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


def measure(run, settings, transports, log=print):
    res = Results(transports)
    usable = []
    for t in transports:
        why = t.missing()
        if why:
            for size in SIZES:
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
    rate_cells = list(cells("rate", SIZES))
    lat_cells = list(cells("lat", LATENCY_SIZES))
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


# ---- report ----------------------------------------------------------------------------

def machine_info():
    model = platform.processor() or "unknown CPU"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    try:
        usable = len(os.sched_getaffinity(0))
    except AttributeError:
        usable = os.cpu_count()
    return {
        "cpu": model,
        "cores": os.cpu_count(),
        "usable": usable,
        "python": f"{platform.python_implementation()} {platform.python_version()}",
        "os": f"{platform.system()} {platform.release()}",
        "date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
    }


def load_average():
    try:
        return os.getloadavg()[0]
    except OSError:
        return None


def fmt_rate(rate, size):
    k = rate / 1e3
    text = f"{k:,.0f}" if k >= 100 else f"{k:.1f}" if k >= 1 else f"{k:.2f}"
    return f"{text} ({rate * size / 1e9:.2f})"


def fmt_us(seconds):
    us = seconds * 1e6
    return f"{us:,.0f}" if us >= 100 else f"{us:.1f}" if us >= 10 else f"{us:.2f}"


def _cell(res, t, size, kind):
    note = res.note.get((t.key, size, kind))
    if kind == "rate":
        m = res.median_rate(t.key, size)
        return fmt_rate(m, size) if m is not None else _short(note)
    if not t.latency:
        return "–"
    m = res.median_lat(t.key, size)
    return f"{fmt_us(m[0])} / {fmt_us(m[1])}" if m is not None else _short(note)


def _short(note):
    if not note:
        return "–"
    if note.startswith("n/a"):
        return "n/a"
    if note.startswith("skipped"):
        return "–"
    return "failed"


def targets(res):
    """The velmora ring's performance targets, each with this run's figure:
    rows of (target, measured, "yes" / "no" / "–" when a row is missing)."""
    rate, lat = res.median_rate, res.median_lat

    def ratio(a, b):
        return a / b if a and b else None

    def p50(key, size):
        m = lat(key, size)
        return m[0] if m else None

    def row(text, value, shown, ok):
        if value is None:
            return text, "–", "–"
        return text, shown(value), "yes" if ok(value) else "no"

    put_get = [ratio(rate("velmora-putget", s), rate("velmora", s)) for s in SIZES]
    put_get = min(put_get) if put_get and None not in put_get else None
    ice = p50("iceoryx2", MIB)
    return [
        row("push/pop, 64 B: at least 0.30 × the native core", ratio(rate("velmora", 64), rate("native", 64)),
            lambda v: f"{v:.2f}×", lambda v: v >= 0.30),
        row(f"push_many/pop_many ({BATCH}), 64 B: at least 0.60 × the native core",
            ratio(rate("velmora-batch", 64), rate("native", 64)), lambda v: f"{v:.2f}×", lambda v: v >= 0.60),
        row("pop_into, 1 MiB: at least 0.90 × the native core",
            ratio(rate("velmora-into", MIB), rate("native", MIB)), lambda v: f"{v:.2f}×", lambda v: v >= 0.90),
        row("pop, 1 MiB: at least 0.75 × the native core", ratio(rate("velmora", MIB), rate("native", MIB)),
            lambda v: f"{v:.2f}×", lambda v: v >= 0.75),
        row("put/get stream: at least 0.90 × push/pop at every size", put_get,
            lambda v: f"{v:.2f}× (lowest)", lambda v: v >= 0.90),
        row("put/get ping-pong, 64 B: at most 1.3 × push/pop's p50",
            ratio(p50("velmora-putget", 64), p50("velmora", 64)), lambda v: f"{v:.2f}×", lambda v: v <= 1.3),
        row("push/pop one-way latency, 64 B: p50 at most 0.4 µs", p50("velmora", 64),
            lambda v: f"{v * 1e6:.2f} µs", lambda v: v <= 0.4e-6),
        row("pop_into one-way latency, 1 MiB: p50 no more than iceoryx2's", p50("velmora-into", MIB),
            lambda v: f"{v * 1e6:.0f} µs" + (f" (iceoryx2 {ice * 1e6:.0f} µs)" if ice else ""),
            lambda v: ice is not None and v <= ice),
    ]


def render(res, settings, info, load_before, load_after, versions):
    ts = res.transports
    velmora_rows = [t for t in ts if t.kind == "velmora"]
    native = next((t for t in ts if t.kind == "native"), None)
    lines = ["# velmora side by side", ""]
    if settings.quick:
        lines += ["> **Quick run** (`BENCH_QUICK=1`: one round of few messages). It checks that every row "
                  "works; its figures are not for publication.", ""]
    quiet = "" if load_before is None else f"; load average {load_before:.2f} before, {load_after:.2f} after"
    lines += [f"{info['cpu']}, {info['cores']} cores ({info['usable']} usable), {info['os']}, {info['python']}; "
              f"{info['date']}{quiet}.",
              f"Medians of {settings.rounds} interleaved round{'s' if settings.rounds != 1 else ''}; "
              "two processes; every message checked by its sequence number.", ""]

    lines += ["## Headline", "",
              "Throughput ratio: velmora's messages per second ÷ the other row's, same size, same run "
              "(above 1: velmora moves more).", ""]
    head = "| velmora ÷ | " + " | ".join(size_label(s) for s in SIZES) + " |"
    lines += [head, "|---" * (len(SIZES) + 1) + "|"]
    for v in velmora_rows:
        row_native, row_peer = [], []
        for size in SIZES:
            mine = res.median_rate(v.key, size)
            theirs = res.median_rate(native.key, size) if native else None
            row_native.append(f"{mine / theirs:.2f}×" if mine and theirs else "–")
            best = res.best_peer_rate(size)
            row_peer.append(f"{mine / best[1]:.2f}× ({best[0].key})" if mine and best else "–")
        lines.append(f"| {v.label} ÷ native core | " + " | ".join(row_native) + " |")
        lines.append(f"| {v.label} ÷ best peer | " + " | ".join(row_peer) + " |")
    lines += ["", "Latency ratio: velmora's p50 one-way latency ÷ the other row's (below 1: velmora is quicker).", "",
              "| velmora ÷ | " + " | ".join(size_label(s) for s in LATENCY_SIZES) + " |",
              "|---" * (len(LATENCY_SIZES) + 1) + "|"]
    for v in velmora_rows:
        if not v.latency:
            continue
        row_native, row_peer = [], []
        for size in LATENCY_SIZES:
            mine = res.median_lat(v.key, size)
            theirs = res.median_lat(native.key, size) if native else None
            row_native.append(f"{mine[0] / theirs[0]:.2f}×" if mine and theirs else "–")
            best = res.best_peer_lat(size)
            row_peer.append(f"{mine[0] / best[1]:.2f}× ({best[0].key})" if mine and best else "–")
        lines.append(f"| {v.label} ÷ native core | " + " | ".join(row_native) + " |")
        lines.append(f"| {v.label} ÷ best peer | " + " | ".join(row_peer) + " |")

    lines += ["", "## Targets", "", "| target | measured | met |", "|---|---|---|"]
    for text, measured, met in targets(res):
        lines.append(f"| {text} | {measured} | {met} |")

    lines += ["", "## Throughput", "", "k messages/s (GB/s of payload, 10^9 bytes), producer and consumer processes.", "",
              "| | " + " | ".join(size_label(s) for s in SIZES) + " |", "|---" * (len(SIZES) + 1) + "|"]
    for t in ts:
        lines.append(f"| {t.label} | " + " | ".join(_cell(res, t, s, "rate") for s in SIZES) + " |")
    lines += ["", "## One-way latency", "", "Half the round trip of a ping-pong between two processes, µs, p50 / p99.", "",
              "| | " + " | ".join(size_label(s) for s in LATENCY_SIZES) + " |",
              "|---" * (len(LATENCY_SIZES) + 1) + "|"]
    for t in ts:
        lines.append(f"| {t.label} | " + " | ".join(_cell(res, t, s, "lat") for s in LATENCY_SIZES) + " |")

    notes = []
    for t in ts:
        seen = []
        for size in SIZES:
            for kind in ("rate", "lat"):
                n = res.note.get((t.key, size, kind))
                if n and n not in seen:
                    seen.append(n)
        if seen:
            notes.append(f"- {t.label}: " + "; ".join(seen))
    lines += ["", "## Notes", ""] + notes + [
        f"- Bounded channels hold the same bytes as the ring: {size_label(MIB)} of data for messages up to "
        f"64 KiB, {size_label(ring_capacity(MIB))} for 1 MiB (faster-fifo's byte limit, the Queue's item limit, "
        "iceoryx2's subscriber buffer, capped at 1024 messages; posix_ipc also by msg_max); "
        f"batches of {BATCH} for push_many/pop_many.",
        "- Rows that wait by spinning (velmora push/pop, pop_into and batches, the hand-written ring, the "
        "native core, iceoryx2's subscriber) use a core per side while they wait; the others sleep in the "
        "kernel.",
        "- Versions: " + ", ".join(f"{k} {v}" for k, v in versions.items()) + ".",
        ""]
    return "\n".join(lines)


def plot(res, settings, info, path):
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return "matplotlib not installed: no plot"
    fig, (left, right) = plt.subplots(1, 2, figsize=(13, 5.5))
    left.set_prop_cycle(color=plt.get_cmap("tab20").colors)
    for t in res.transports:
        xs = [s for s in SIZES if res.median_rate(t.key, s)]
        if not xs:
            continue
        style = {"velmora": dict(lw=2.2, marker="o"), "native": dict(lw=1.5, ls="--", marker="s", color="black"),
                 "peer": dict(lw=1, marker=".", alpha=0.85)}[t.kind]
        left.plot(xs, [res.median_rate(t.key, s) for s in xs], label=t.label, **style)
    left.set(xscale="log", yscale="log", xlabel="message size (bytes)", ylabel="messages / s",
             title="Throughput, two processes")
    left.set_xticks(SIZES, [size_label(s) for s in SIZES])
    left.grid(True, which="both", alpha=0.3)
    left.legend(fontsize=7)

    rows = [t for t in res.transports if t.latency and any(res.median_lat(t.key, s) for s in LATENCY_SIZES)]
    width = 0.4
    for i, size in enumerate(LATENCY_SIZES):
        ys, p50, p99 = [], [], []
        for j, t in enumerate(rows):
            m = res.median_lat(t.key, size)
            if m:
                ys.append(j + (i - 0.5) * width)
                p50.append(m[0] * 1e6)
                p99.append(m[1] * 1e6)
        right.barh(ys, p50, height=width, label=f"{size_label(size)} p50")
        right.scatter(p99, ys, marker="|", color=("black", "dimgray")[i], s=60, label=f"{size_label(size)} p99")
    right.set_yticks(range(len(rows)), [t.label for t in rows], fontsize=7)
    right.invert_yaxis()
    right.set(xscale="log", xlabel="one-way latency (µs)", title="Ping-pong latency (bar p50, tick p99)")
    right.grid(True, axis="x", which="both", alpha=0.3)
    right.legend(fontsize=7)
    title = f"velmora side by side — {info['cpu']}, {info['cores']} cores, {info['python']}, {info['date']}"
    if settings.quick:
        title += " — QUICK RUN, not for publication"
    fig.suptitle(title, fontsize=9)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return None


def raw(res, settings, info):
    """Every round's figure, for whoever wants more than the medians."""
    rows = {}
    for t in res.transports:
        rows[t.key] = {
            "label": t.label,
            "msgs_per_s": {str(s): res.rate.get((t.key, s), []) for s in SIZES},
            "latency_p50_p99_s": {str(s): res.lat.get((t.key, s), []) for s in LATENCY_SIZES},
            "notes": {f"{s} {k}": v for (key, s, k), v in res.note.items() if key == t.key},
        }
    return {"machine": info, "rounds": settings.rounds, "quick": settings.quick, "rows": rows}


def _terminate(signum, frame):
    raise KeyboardInterrupt


def main(env=os.environ, log=print):
    settings = Settings(env)
    if "fork" not in mp.get_all_start_methods():
        log("this benchmark needs fork (Linux)")
        return 2
    signal.signal(signal.SIGINT, signal.default_int_handler)
    signal.signal(signal.SIGTERM, _terminate)
    transports = select(all_transports(settings), settings.only)
    load_before = load_average()
    if load_before is not None and load_before > 0.5 and not settings.quick:
        log(f"warning: load average {load_before:.2f}: the machine is not quiet, figures will suffer")
    run = Run(settings)
    started = time.monotonic()
    try:
        res = measure(run, settings, transports, log)
    except KeyboardInterrupt:
        log("interrupted")
        return 130
    finally:
        run.close()
    versions = {"velmora": _dist_version("velmora") or "?"}
    versions.update({t.key: t.version() for t in transports if t.kind == "peer" and t.version()})
    info = machine_info()
    text = render(res, settings, info, load_before, load_average(), versions)
    os.makedirs(settings.out, exist_ok=True)
    md = os.path.join(settings.out, "bench.md")
    with open(md, "w") as f:
        f.write(text)
    with open(os.path.join(settings.out, "bench.json"), "w") as f:
        json.dump(raw(res, settings, info), f, indent=1)
    log(text)
    why = plot(res, settings, info, os.path.join(settings.out, "bench.png"))
    log(f"wrote {md}" + (f" ({why})" if why else f" and {os.path.join(settings.out, 'bench.png')}")
        + f" in {time.monotonic() - started:.0f} s")
    failed_own = [k for k, v in res.note.items() if k[0].startswith(("velmora", "native")) and v.startswith("failed")]
    if res.wrong or failed_own:
        log("FAILED: " + ("wrong messages were delivered" if res.wrong else "a velmora or native row failed"))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
