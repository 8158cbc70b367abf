"""What a blocked get() costs and how fast it wakes.

1. Wake-up latency: a consumer process blocks in get(); the producer sends a
   message after 10-20 ms of idleness, stamped with the monotonic clock (the
   same clock in both processes). Latency = receive time - stamp.
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


def consumer(name, n, out):
    ring = velmora.SharedMemory.open(name).spsc()
    lat = []
    for _ in range(n):
        msg = ring.get(timeout=10)
        lat.append(time.monotonic_ns() - struct.unpack("<q", msg)[0])
    out.put(lat)


def wake_latency():
    name = f"/velmora-bw-{os.getpid()}-{uuid.uuid4().hex[:8]}"
    ring = velmora.SharedMemory.create(name, 4096 + 24).spsc()
    ctx = multiprocessing.get_context("fork")
    out = ctx.Queue()
    proc = ctx.Process(target=consumer, args=(name, SAMPLES, out))
    proc.start()
    try:
        rng = random.Random(1)
        for _ in range(SAMPLES):
            time.sleep(rng.uniform(0.010, 0.020))
            ring.put(struct.pack("<q", time.monotonic_ns()))
        lat = sorted(out.get(timeout=60))
        proc.join(10)
    finally:
        velmora.SharedMemory.remove(name)
    p = lambda q: lat[min(len(lat) - 1, int(q * len(lat)))] / 1000
    return p(0.5), p(0.99)


def idle_cpu():
    name = f"/velmora-bw-{os.getpid()}-{uuid.uuid4().hex[:8]}"
    ring = velmora.SharedMemory.create(name, 4096 + 24).spsc()
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
    p50, p99 = wake_latency()
    print(f"get() woken after 10-20 ms idle: p50 {p50:.1f} us, p99 {p99:.1f} us ({SAMPLES} samples)")
    print(f"get(timeout=2) on an empty ring: {100 * idle_cpu():.2f}% of a core")


if __name__ == "__main__":
    main()
