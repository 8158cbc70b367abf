"""The bridge against plain pyzmq, over loopback TCP (127.0.0.1).

Bridged: producer -> ring -> sending bridge -> TCP -> receiving bridge -> ring
-> consumer, four processes. Plain: a PUSH process -> TCP -> a PULL process.
Broadcast rows: publisher -> broadcast -> sending bridge (PUB) -> TCP ->
receiving bridge (SUB) -> broadcast -> subscriber, against a plain PUB -> SUB
(which holds its sender at the mark instead of dropping, as the bridge does).

Throughput: COUNT messages of one size; the producer notes the time before its
first timed message and the consumer after the last (CLOCK_MONOTONIC is shared
by processes), after one warm-up message has gone all the way through.
Latency: one message about every millisecond carrying the send time; the consumer
takes the difference on arrival (one way). The bridge's overhead is the
difference of the p50s; it is measured with the bridges' default look-again
window (spin) and with one that spans the gap between messages. Every message carries its number in its first 8 bytes
and is checked where it arrives.

Processor time: every process of a run adds up its user and system time (all
its threads, start-up included) at its end; divided by COUNT it is what a
message costs the machine, which load from other programs barely changes.

Rounds alternate bridged and plain; figures are medians over rounds.
Environment: BENCH_QUICK=1 (one short round), BENCH_ROUNDS=N (default 3).
pyzmq is needed (`make bench` installs it).
"""
import logging
import multiprocessing as mp
import os
import resource
import statistics
import sys
import tempfile
import time

import velmora

try:
    import zmq
except ImportError:
    print("bench_bridge: pyzmq is not installed; skipped")
    sys.exit(0)
from velmora import bridge

logging.getLogger("velmora.bridge").setLevel(logging.ERROR)  # peers leaving at each run's end

QUICK = os.environ.get("BENCH_QUICK", "") not in ("", "0")
ROUNDS = 1 if QUICK else int(os.environ.get("BENCH_ROUNDS", "3"))
MIB = 1 << 20
# (label, size, messages, ring capacity)
CASES = [("64 B", 64, 20_000 if QUICK else 300_000, 1 << 22), ("1 MiB", MIB, 40 if QUICK else 400, 1 << 24)]
# (label, size, messages, broadcast depth)
BROADCAST_CASES = [("64 B", 64, 20_000 if QUICK else 200_000, 256), ("1 MiB", MIB, 40 if QUICK else 400, 16)]
LATENCY_SAMPLES = 200 if QUICK else 2000
# Latency rows: the bridges' default look-again window, and one long enough to
# span the gap between paced messages (each bridge then keeps a processor busy).
LATENCY_SPINS = [bridge.SPIN, 0.002]
PACE = 0.001
ctx = mp.get_context("fork")
# Processor seconds (user + system, every thread) spent by the processes of
# the run in progress: load from other programs slows a run down but barely
# changes what it costs.
CPU = ctx.Value("d", 0.0)


class Process(ctx.Process):
    """A process of a run; adds its processor time to CPU when it ends."""

    def run(self):
        before = resource.getrusage(resource.RUSAGE_SELF)
        try:
            super().run()
        finally:
            after = resource.getrusage(resource.RUSAGE_SELF)
            with CPU.get_lock():
                CPU.value += after.ru_utime - before.ru_utime + after.ru_stime - before.ru_stime


def message(i, size):
    return i.to_bytes(8, "little") + b"x" * (size - 8)


def number(m):
    return int.from_bytes(bytes(m[:8]), "little")


# ---- the two ends -------------------------------------------------------------------


def cycle(size):
    """Messages are numbered 1..cycle(size) over and over (built beforehand)."""
    return max(1, min(1000, 16 * MIB // size))


def produce(put, size, count, go, start):
    """Warm-up message 0 (again every 10 ms until the consumer has one: a
    PUB/SUB path loses what it carries before it is connected), then count
    timed ones; start is the time before them."""
    put(message(0, size))
    while not go.wait(0.01):
        put(message(0, size))
    msgs = [message(i, size) for i in range(1, cycle(size) + 1)]
    k = len(msgs)
    start.value = time.perf_counter()
    for i in range(count):
        put(msgs[i % k])


def consume(get, size, count, go, end):
    m = get()
    assert number(m) == 0 and len(m) == size
    go.set()
    k = cycle(size)
    m = get()
    while number(m) == 0:  # warm-up messages sent before go arrived
        m = get()
    for i in range(count):
        if i:
            m = get()
        if len(m) != size or number(m) != i % k + 1:
            raise SystemExit(f"wrong message {number(m)} where {i % k + 1} was due")
    end.value = time.perf_counter()


def produce_paced(put, size, samples, go):
    put(message(0, size))
    go.wait()
    pad = b"x" * (size - 16)
    for i in range(1, samples + 1):
        put(i.to_bytes(8, "little") + time.perf_counter_ns().to_bytes(8, "little") + pad)
        time.sleep(PACE)  # sleeps, not spins: the other processes need the cores


def consume_paced(get, size, samples, go, out):
    get()
    go.set()
    lat = []
    for i in range(1, samples + 1):
        m = get()
        now = time.perf_counter_ns()
        if number(m) != i:
            raise SystemExit(f"wrong message {number(m)} where {i} was due")
        lat.append(now - int.from_bytes(bytes(m[8:16]), "little"))
    lat.sort()
    out[0], out[1] = lat[len(lat) // 2], lat[len(lat) * 99 // 100]


# ---- the two paths ------------------------------------------------------------------


def free_endpoint():
    """A loopback TCP endpoint on a port free a moment ago."""
    import socket

    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return f"tcp://127.0.0.1:{s.getsockname()[1]}"


def finish(prod, cons, others=()):
    """Waits for the consumer and the producer; True when both succeeded."""
    cons.join(300)
    prod.join(60)
    ok = cons.exitcode == 0 and prod.exitcode == 0
    for p in (*others, prod, cons):
        if p.is_alive():
            p.kill()
    return ok


def through_bridges(a, b, open_a, open_b, job, job_args, spin=bridge.SPIN):
    """The job's producer on segment `a`, a sending bridge from `a`, a
    receiving bridge into `b`, and the job's consumer on `b`; both bridges
    look again for `spin` seconds after a message."""
    endpoint = free_endpoint()
    stop = ctx.Event()

    def bridge_proc(role):
        # As the command line does: malloc keeps large buffers, and each
        # bridge keeps its state in a file (new for each run).
        bridge.tune_allocator()
        with tempfile.TemporaryDirectory(prefix="velmora-bench-") as d:
            state = os.path.join(d, f"{role}.seq")
            if role == "receive":
                b_ = bridge.Receiver(endpoint, b, bind=True, spin=spin, state=state)
            else:
                b_ = bridge.Sender(a, endpoint, spin=spin, state=state)
            b_.start()
            stop.wait()
            b_.stop(10)

    procs = [Process(target=bridge_proc, args=(r,)) for r in ("receive", "send")]
    prod, cons = job(open_a, open_b, *job_args)
    for p in procs + [cons]:
        p.start()
    prod.start()
    cons.join(300)
    prod.join(60)
    stop.set()
    for p in procs:
        p.join(30)
    return finish(prod, cons, procs)


def run_bridged(size, capacity, job, *job_args, spin=bridge.SPIN):
    a = f"/velmora-bench-bridge-a-{os.getpid()}"
    b = f"/velmora-bench-bridge-b-{os.getpid()}"
    velmora.SharedMemory.create(a, velmora.SpscRingBuffer.segment_size(capacity)).spsc()
    velmora.SharedMemory.create(b, velmora.SpscRingBuffer.segment_size(capacity)).spsc()
    try:
        return through_bridges(a, b, lambda: velmora.SharedMemory.open(a).spsc(),
                               lambda: velmora.SharedMemory.open(b).spsc(), job, job_args, spin)
    finally:
        velmora.SharedMemory.remove(a)
        velmora.SharedMemory.remove(b)


def run_bridged_broadcast(size, depth, job, *job_args, spin=bridge.SPIN):
    a = f"/velmora-bench-bridge-a-{os.getpid()}"
    b = f"/velmora-bench-bridge-b-{os.getpid()}"
    # Both publishers let go at once: the producer takes over the first, the
    # receiving bridge the second.
    velmora.Publisher.create(a, size, depth).close()
    velmora.Publisher.create(b, size, depth).close()
    try:
        return through_bridges(a, b, lambda: Publishing(velmora.Publisher._take_over(a)),
                               lambda: Receiving(velmora.Subscriber.open(b)), job, job_args, spin)
    finally:
        velmora.SharedMemory.remove(a)
        velmora.SharedMemory.remove(b)


class Publishing:
    def __init__(self, pub):
        self.put = pub.publish


class Receiving:
    def __init__(self, sub):
        self.get = sub.receive


def run_plain_broadcast(size, depth, job, *job_args):
    endpoint = free_endpoint()
    big = size >= 65536

    def pub_end():
        sock = zmq.Context().socket(zmq.PUB)
        sock.setsockopt(zmq.XPUB_NODROP, 1)
        sock.bind(endpoint)

        def put(m):
            while True:
                try:
                    return sock.send(m, copy=not big)
                except zmq.Again:
                    sock.poll(100, zmq.POLLOUT)

        return put

    def sub_end():
        sock = zmq.Context().socket(zmq.SUB)
        sock.setsockopt(zmq.SUBSCRIBE, b"")
        sock.connect(endpoint)
        return sock.recv

    prod, cons = job(pub_end, sub_end, *job_args)
    cons.start()
    prod.start()
    return finish(prod, cons)


def run_plain(size, capacity, job, *job_args):
    endpoint = free_endpoint()
    big = size >= 65536

    def push_end():
        sock = zmq.Context().socket(zmq.PUSH)
        sock.bind(endpoint)
        return lambda m: sock.send(m, copy=not big)

    def pull_end():
        sock = zmq.Context().socket(zmq.PULL)
        sock.connect(endpoint)
        return sock.recv

    prod, cons = job(push_end, pull_end, *job_args)
    prod.start()
    cons.start()
    return finish(prod, cons)


def throughput_job(open_src, open_dst, size, count, start, end):
    go = ctx.Event()

    def prod():
        end_ = open_src()
        put = end_.put if hasattr(end_, "put") else end_
        produce(put, size, count, go, start)

    def cons():
        end_ = open_dst()
        get = end_.get if hasattr(end_, "get") else end_
        consume(get, size, count, go, end)

    return Process(target=prod), Process(target=cons)


def latency_job(open_src, open_dst, size, samples, out):
    go = ctx.Event()

    def prod():
        end_ = open_src()
        produce_paced(end_.put if hasattr(end_, "put") else end_, size, samples, go)

    def cons():
        end_ = open_dst()
        consume_paced(end_.get if hasattr(end_, "get") else end_, size, samples, go, out)

    return Process(target=prod), Process(target=cons)


def main():
    rates = {}
    cpu = {}  # processor microseconds per message
    lat = {"plain": [], **{spin: [] for spin in LATENCY_SPINS}}
    for rnd in range(ROUNDS):
        for label, size, count, capacity in CASES:
            for path, run in (("bridged", run_bridged), ("plain", run_plain)):
                start, end = ctx.Value("d", 0.0), ctx.Value("d", 0.0)
                CPU.value = 0.0
                if not run(size, capacity, throughput_job, size, count, start, end):
                    raise SystemExit(f"bench_bridge: {path} {label} failed")
                rates.setdefault((label, path), []).append(count / (end.value - start.value))
                cpu.setdefault((label, path), []).append(CPU.value / count * 1e6)
        for label, size, count, depth in BROADCAST_CASES:
            for path, run in (("bridged", run_bridged_broadcast), ("plain", run_plain_broadcast)):
                start, end = ctx.Value("d", 0.0), ctx.Value("d", 0.0)
                CPU.value = 0.0
                if not run(size, depth, throughput_job, size, count, start, end):
                    raise SystemExit(f"bench_bridge: broadcast {path} {label} failed")
                rates.setdefault(("bc " + label, path), []).append(count / (end.value - start.value))
                cpu.setdefault(("bc " + label, path), []).append(CPU.value / count * 1e6)
        for path in lat:
            out = ctx.Array("q", 2)
            if path == "plain":
                ok = run_plain(64, 1 << 20, latency_job, 64, LATENCY_SAMPLES, out)
            else:
                ok = run_bridged(64, 1 << 20, latency_job, 64, LATENCY_SAMPLES, out, spin=path)
            if not ok:
                raise SystemExit(f"bench_bridge: {path} latency failed")
            lat[path].append((out[0], out[1]))
    print(f"bridge vs plain pyzmq PUSH->PULL, loopback TCP, {ROUNDS} round(s), medians "
          f"({os.cpu_count()} CPUs, load {os.getloadavg()[0]:.1f})")
    print(f"{'size':<8}{'bridged msg/s':>16}{'plain msg/s':>16}{'ratio':>8}{'bridged MB/s':>14}"
          f"{'CPU us/msg bridged / plain':>30}")

    def row(label, size, key):
        b = statistics.median(rates[(key, "bridged")])
        p = statistics.median(rates[(key, "plain")])
        cb = statistics.median(cpu[(key, "bridged")])
        cp = statistics.median(cpu[(key, "plain")])
        print(f"{label:<8}{b:>16,.0f}{p:>16,.0f}{b / p:>8.2f}{b * size / 1e6:>14,.0f}{cb:>21,.1f} / {cp:,.1f}")

    for label, size, _, _ in CASES:
        row(label, size, label)
    print("broadcast: publisher -> bridge (PUB) -> bridge (SUB) -> subscriber vs plain pyzmq PUB->SUB")
    for label, size, _, _ in BROADCAST_CASES:
        row(label, size, "bc " + label)
    p50 = statistics.median(x[0] for x in lat["plain"]) / 1000
    p99 = statistics.median(x[1] for x in lat["plain"]) / 1000
    print(f"latency 64 B one way, one message a millisecond: plain p50 {p50:.1f} us (p99 {p99:.1f})")
    for spin in LATENCY_SPINS:
        b50 = statistics.median(x[0] for x in lat[spin]) / 1000
        b99 = statistics.median(x[1] for x in lat[spin]) / 1000
        print(f"  bridged, spin={spin:g} s: p50 {b50:.1f} us (p99 {b99:.1f}); bridge overhead p50 {b50 - p50:.1f} us")


if __name__ == "__main__":
    main()
