"""velmora demo: a producer process and a consumer process share one
SpscRingBuffer in a named segment.

1. A verified stream of raw, typed and mixed messages: the consumer knows the
   sequence the producer sends and checks every message it pops.
2. Throughput for 64-byte and 64-KiB messages, next to multiprocessing.Pipe
   (send_bytes / recv_bytes) measured in the same run with the same checks.

The segment is removed on every way out, Ctrl-C and SIGTERM included; the
child processes ignore Ctrl-C, leave when the parent goes, and are killed by
the parent on its way out.
"""
import multiprocessing as mp
import os
import signal
import struct
import sys
import time
import uuid

import velmora

SM = velmora.SharedMemory
CAPACITY = 1 << 20                     # 1 MiB data area: sixteen 64-KiB messages fit
MIXED_SCHEMA = [("i64", 1), ("f64", 1), ("str", 1), ("bool", 1)]
KIB = 1024


# ---- child processes --------------------------------------------------------------

def _child_setup(parent):
    """Ctrl-C goes to the whole terminal process group: let the parent handle
    it. On Linux also ask to be killed if the parent dies first."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    signal.signal(signal.SIGTERM, signal.SIG_DFL)
    if sys.platform.startswith("linux"):
        try:
            import ctypes
            ctypes.CDLL(None).prctl(1, signal.SIGKILL)   # PR_SET_PDEATHSIG
        except (OSError, AttributeError):
            pass
    if os.getppid() != parent:         # the parent went before prctl took effect
        os._exit(1)


class Spinner:
    """Busy-waits politely on a full or empty ring: spins a little, then gives
    the core away for 50 us, and leaves if the parent has gone."""

    def __init__(self, parent):
        self.parent = parent
        self.spins = 0

    def wait(self):
        self.spins += 1
        if self.spins % 64 == 0:
            time.sleep(0.00005)
            if os.getppid() != self.parent:
                os._exit(1)


def stream_message(seq):
    """The seq-th message of the verified stream: (kind, value to push)."""
    kind = seq % 5
    if kind == 0:
        return "raw", seq.to_bytes(8, "little") * (seq % 17)
    if kind == 1:
        return "str", f"message {seq} \u00e9"
    if kind == 2:
        return "int", seq * 7919 - 2**40
    if kind == 3:
        return "f64", seq / 3
    return "mixed", [seq, seq * 0.5, f"item-{seq}", seq % 2 == 0]


def _pop_as(ring, kind):
    if kind == "raw":
        return ring.pop()
    if kind == "mixed":
        return ring.pop_mixed(MIXED_SCHEMA)
    return ring.pop(kind)


def stream_producer(name, count, parent):
    _child_setup(parent)
    ring, wait = SM.open(name).spsc(), Spinner(parent).wait
    for seq in range(count):
        _, value = stream_message(seq)
        while not ring.push(value):
            wait()


def stream_consumer(name, count, parent, conn):
    _child_setup(parent)
    ring, wait = SM.open(name).spsc(), Spinner(parent).wait
    kinds, bad = {}, []
    for seq in range(count):
        kind, expected = stream_message(seq)
        got = _pop_as(ring, kind)
        while got is None:
            wait()
            got = _pop_as(ring, kind)
        if got != expected:
            bad.append(seq)
        kinds[kind] = kinds.get(kind, 0) + 1
    conn.send((kinds, bad[:10], len(bad)))


# Throughput: every message carries its sequence number in its first 8 bytes
# and the consumer checks size and number, through the ring and the pipe alike.

def ring_producer(name, size, count, parent, start):
    _child_setup(parent)
    ring, wait = SM.open(name).spsc(), Spinner(parent).wait
    push, buf = ring.push, bytearray(size)
    start.wait()
    for seq in range(count):
        struct.pack_into("<Q", buf, 0, seq)
        while not push(buf):
            wait()


def ring_consumer(name, size, count, parent, start, conn):
    _child_setup(parent)
    ring, wait = SM.open(name).spsc(), Spinner(parent).wait
    pop, bad = ring.pop, 0
    start.wait()
    t0 = time.perf_counter()
    for seq in range(count):
        msg = pop()
        while msg is None:
            wait()
            msg = pop()
        if len(msg) != size or int.from_bytes(msg[:8], "little") != seq:
            bad += 1
    conn.send((time.perf_counter() - t0, bad))


def pipe_producer(send_end, size, count, parent, start):
    _child_setup(parent)
    send, buf = send_end.send_bytes, bytearray(size)
    start.wait()
    for seq in range(count):
        struct.pack_into("<Q", buf, 0, seq)
        send(buf)


def pipe_consumer(recv_end, size, count, parent, start, conn):
    _child_setup(parent)
    recv, bad = recv_end.recv_bytes, 0
    start.wait()
    t0 = time.perf_counter()
    for seq in range(count):
        msg = recv()
        if len(msg) != size or int.from_bytes(msg[:8], "little") != seq:
            bad += 1
    conn.send((time.perf_counter() - t0, bad))


# ---- the parent -----------------------------------------------------------------------

class Demo:
    """Owns the segment and the child processes; close() releases both."""

    def __init__(self):
        self.ctx = mp.get_context("fork" if "fork" in mp.get_all_start_methods() else "spawn")
        self.name = f"/velmora-demo-{os.getpid()}-{uuid.uuid4().hex[:8]}"
        self.parent = os.getpid()
        self.children = []
        self.segment = SM.create(self.name, velmora.SpscRingBuffer.segment_size(CAPACITY))

    def fresh_ring(self):
        """The creator's spsc() resets the header: every run starts empty."""
        return self.segment.spsc()

    def run(self, jobs, timeout=120.0):
        """Starts (target, args) jobs; the last one reports through a pipe."""
        recv, send = self.ctx.Pipe(duplex=False)
        procs = []
        for i, (target, args) in enumerate(jobs):
            extra = (send,) if i == len(jobs) - 1 else ()
            p = self.ctx.Process(target=target, args=args + extra, daemon=True)
            p.start()
            procs.append(p)
            self.children.append(p)
        deadline = time.monotonic() + timeout
        while not recv.poll(0.2):
            failed = [p for p in procs if p.exitcode not in (None, 0)]
            if failed or time.monotonic() > deadline:
                raise RuntimeError(f"a child process failed or stalled: {failed or procs}")
        result = recv.recv()
        for p in procs:
            p.join(10)
        return result

    def close(self):
        # A second Ctrl-C must not cut the clean-up short.
        signal.signal(signal.SIGINT, signal.SIG_IGN)
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
        for p in self.children:
            if p.is_alive():
                p.kill()
            p.join()
        self.children.clear()
        del self.segment
        try:
            SM.remove(self.name)
        except OSError:
            pass


def verified_stream(demo, count):
    demo.fresh_ring()
    t0 = time.perf_counter()
    kinds, first_bad, n_bad = demo.run([
        (stream_producer, (demo.name, count, demo.parent)),
        (stream_consumer, (demo.name, count, demo.parent)),
    ])
    elapsed = time.perf_counter() - t0
    summary = ", ".join(f"{kinds[k]} {k}" for k in sorted(kinds))
    print(f"verified stream: {count} messages ({summary}) in {elapsed:.2f} s, "
          f"{n_bad} wrong" + (f" (first: {first_bad})" if n_bad else ""))
    return n_bad == 0


def measure_ring(demo, size, count):
    demo.fresh_ring()
    start = demo.ctx.Barrier(2)
    return demo.run([
        (ring_producer, (demo.name, size, count, demo.parent, start)),
        (ring_consumer, (demo.name, size, count, demo.parent, start)),
    ])


def measure_pipe(demo, size, count):
    recv_end, send_end = demo.ctx.Pipe(duplex=False)
    start = demo.ctx.Barrier(2)
    return demo.run([
        (pipe_producer, (send_end, size, count, demo.parent, start)),
        (pipe_consumer, (recv_end, size, count, demo.parent, start)),
    ])


# (label, size, ring count, pipe count): sized for about a second each.
RUNS = [("64 B", 64, 1_000_000, 200_000), ("64 KiB", 64 * KIB, 40_000, 20_000)]


def throughput(demo):
    print(f"\n{'message':>8}  {'transport':<16}{'messages/s':>14}{'MB/s':>12}{'checked':>10}")
    ok = True
    for label, size, ring_count, pipe_count in RUNS:
        for transport, measure, count in (("SpscRingBuffer", measure_ring, ring_count),
                                          ("Pipe", measure_pipe, pipe_count)):
            elapsed, bad = measure(demo, size, count)
            rate = count / elapsed
            ok = ok and bad == 0
            verdict = "ok" if bad == 0 else f"{bad} BAD"
            print(f"{label:>8}  {transport:<16}{rate:>14,.0f}{rate * size / 1e6:>12,.1f}{verdict:>10}")
    print("(one producer and one consumer process; MB = 10^6 bytes of payload)")
    return ok


def _terminate(signum, frame):
    raise KeyboardInterrupt


def main():
    # Installed explicitly: a shell starts background jobs with SIGINT ignored.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    signal.signal(signal.SIGTERM, _terminate)
    demo = Demo()
    try:
        print(f"segment {demo.name}: {CAPACITY} bytes of ring data + {velmora.SpscRingBuffer.segment_size(CAPACITY) - CAPACITY} bytes of header")
        ok = verified_stream(demo, 200_000)
        ok = throughput(demo) and ok
        return 0 if ok else 1
    except KeyboardInterrupt:
        print("\ninterrupted", file=sys.stderr)
        return 130
    finally:
        demo.close()


if __name__ == "__main__":
    sys.exit(main())
