"""What a blocked get() costs and how fast it wakes.

1. Wake-up latency: a consumer process blocks in get(); the producer sends a
   message after 10-20 ms of idleness with push, put or push_many, stamped
   with the monotonic clock (the same clock in both processes). Latency =
   receive time - stamp. And the room side: a producer blocked in put() for
   want of room, and a pop after 10-20 ms of idleness that makes it.
2. CPU time of a get(timeout=2) on an empty ring, from the process's own
   CPU clock.
"""
import multiprocessing
import os
import random
import struct
import time
import uuid

import velmora

SAMPLES = int(os.environ.get("WAIT_SAMPLES", "200"))


PUBLISH = {
    "push": lambda ring, msg: ring.push(msg),
    "put": lambda ring, msg: ring.put(msg) is None,
    "push_many": lambda ring, msg: ring.push_many([msg]),
}


def consumer(name, n, out):
    ring = velmora.SharedMemory.open(name).spsc()
    lat = []
    for _ in range(n):
        msg = ring.get(timeout=10)
        lat.append(time.monotonic_ns() - struct.unpack("<q", msg)[0])
    out.put(lat)


def summary(lat_ns):
    lat = sorted(lat_ns)
    p = lambda q: lat[min(len(lat) - 1, int(q * len(lat)))] / 1000
    return {"p50": p(0.5), "p99": p(0.99), "max": lat[-1] / 1000, "over_1ms": sum(x > 1_000_000 for x in lat)}


def wake_latency(publish="put"):
    """Data side: a consumer blocked in get() and a producer that publishes
    one message with `publish` after 10-20 ms of idleness."""
    name = f"/velmora-bw-{os.getpid()}-{uuid.uuid4().hex[:8]}"
    ring = velmora.SharedMemory.create(name, velmora.SpscRingBuffer.segment_size(4096)).spsc()
    ctx = multiprocessing.get_context("fork")
    out = ctx.Queue()
    proc = ctx.Process(target=consumer, args=(name, SAMPLES, out))
    proc.start()
    try:
        rng = random.Random(1)
        for _ in range(SAMPLES):
            time.sleep(rng.uniform(0.010, 0.020))
            assert PUBLISH[publish](ring, struct.pack("<q", time.monotonic_ns()))
        lat = out.get(timeout=60)
        proc.join(10)
    finally:
        velmora.SharedMemory.remove(name)
    return summary(lat)


FILLER, BIG = 1496, 3000  # a ring under half full that has no room for BIG


def room_consumer(name, n, out):
    ring = velmora.SharedMemory.open(name).spsc()
    rng = random.Random(2)
    pops = []
    for _ in range(n):
        time.sleep(rng.uniform(0.010, 0.020))
        at = time.monotonic_ns()
        assert len(ring.get(timeout=10)) == FILLER
        pops.append(at)
        assert len(ring.get(timeout=10)) == BIG
    out.put(pops)


def room_latency():
    """Room side: a producer blocked in put(3000 B) on a ring that is under
    half full, and a consumer that pops after 10-20 ms of idleness. Latency =
    put's return - the pop's start."""
    name = f"/velmora-bw-{os.getpid()}-{uuid.uuid4().hex[:8]}"
    ring = velmora.SharedMemory.create(name, velmora.SpscRingBuffer.segment_size(4096)).spsc()
    ctx = multiprocessing.get_context("fork")
    out = ctx.Queue()
    proc = ctx.Process(target=room_consumer, args=(name, SAMPLES, out))
    proc.start()
    filler, big = b"f" * FILLER, b"b" * BIG
    returns = []
    try:
        for _ in range(SAMPLES):
            ring.put(filler, timeout=10)
            ring.put(big, timeout=10)
            returns.append(time.monotonic_ns())
        pops = out.get(timeout=60)
        proc.join(10)
    finally:
        velmora.SharedMemory.remove(name)
    return summary([r - p for r, p in zip(returns, pops)])


def idle_cpu():
    name = f"/velmora-bw-{os.getpid()}-{uuid.uuid4().hex[:8]}"
    ring = velmora.SharedMemory.create(name, velmora.SpscRingBuffer.segment_size(4096)).spsc()
    try:
        cpu0, t0 = time.process_time(), time.monotonic()
        try:
            ring.get(timeout=2)
        except Exception:
            pass
        return (time.process_time() - cpu0) / (time.monotonic() - t0)
    finally:
        velmora.SharedMemory.remove(name)


def main():
    print(f"wake-up after 10-20 ms idle ({SAMPLES} samples each), microseconds")
    print("| pair | p50 | p99 | max | over 1 ms |")
    print("|---|---|---|---|---|")
    rows = [(f"{p} -> get()", wake_latency(p)) for p in PUBLISH]
    rows.append((f"pop -> put({BIG} B) waiting for room, ring under half full", room_latency()))
    for label, r in rows:
        print(f"| {label} | {r['p50']:.1f} | {r['p99']:.1f} | {r['max']:.1f} | {r['over_1ms']} |")
    print(f"get(timeout=2) on an empty ring: {100 * idle_cpu():.2f}% of a core")


if __name__ == "__main__":
    main()
