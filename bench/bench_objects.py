"""put_object / get_object next to put / get_into, for video frames.

1920x1080x3 uint8 numpy frames from this process to another through an
SpscRingBuffer: the raw path puts the array and gets it into a buffer the
consumer made once; the object path puts the array as an object and gets a
new array (its own, writable) per frame. The consumer times from its first
frame to its last; best of three runs of each, taken in turns. BENCH_QUICK=1 sends fewer frames.
"""
import multiprocessing as mp
import os
import time
import uuid

import velmora

try:
    import numpy as np
except ImportError:
    np = None

SHAPE = (1080, 1920, 3)
FRAMES = 60 if os.environ.get("BENCH_QUICK") else 300
CAPACITY = 64 << 20
CTX = mp.get_context("fork")


def consume(name, path, frames, out):
    ring = velmora.SpscRingBuffer.open(name)
    buf = np.empty(SHAPE, dtype=np.uint8)
    start = 0.0
    for i in range(frames):
        if path == "raw":
            ring.get_into(buf, timeout=60)
            frame = buf
        else:
            frame = ring.get_object(timeout=60)
        if i == 0:
            start = time.perf_counter()
        if frame[0, 0, 0] != i % 256 or frame.shape != SHAPE:
            out.put(None)
            return
    out.put((frames - 1) / (time.perf_counter() - start))
    ring.close()


def run(path):
    name = f"/velmora-bench-objects-{os.getpid()}-{uuid.uuid4().hex[:8]}"
    ring = velmora.SpscRingBuffer.create(name, CAPACITY)
    try:
        frame = np.random.default_rng(1).integers(0, 256, SHAPE, dtype=np.uint8)
        out = CTX.Queue()
        child = CTX.Process(target=consume, args=(name, path, FRAMES, out))
        child.start()
        for i in range(FRAMES):
            frame[0, 0, 0] = i % 256
            if path == "raw":
                ring.put(frame, timeout=60)
            else:
                ring.put_object(frame, timeout=60)
        rate = out.get(timeout=120)
        child.join(60)
        if rate is None:
            raise SystemExit(f"{path}: a frame came out wrong")
        return rate
    finally:
        ring.close()
        velmora.SharedMemory.remove(name)


def main():
    if np is None:
        print("numpy is not installed: bench_objects skipped")
        return
    mib = np.prod(SHAPE) / (1 << 20)
    rates: dict = {"raw": [], "objects": []}
    for _ in range(3):  # taken in turns, so that a busy moment of the machine falls on both
        for path in rates:
            rates[path].append(run(path))
    best = {path: max(got) for path, got in rates.items()}
    for path, rate in best.items():
        print(f"{path:8s} {rate:8.1f} frames/s  {rate * mib:8.0f} MiB/s")
    print(f"objects / raw: {best['objects'] / best['raw']:.2f}")


if __name__ == "__main__":
    main()
