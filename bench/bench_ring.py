"""SpscRingBuffer benchmarks.

1. Cost per call of push and pop in one process (no contention), for raw
   payloads of several sizes and for typed and mixed values; best of three
   runs. The figures include the Python loop around each call.
2. Cross-process throughput next to multiprocessing.Pipe: the harness's
   runner (two processes, every message checked by its sequence number),
   median of three runs. BENCH_QUICK=1 sends fewer messages.
"""
import os
import sys
import time
import uuid

import velmora

from harness import peers, runner
from harness.common import KIB, Failed, Settings, median_of, size_label

# (size, messages per run through the ring, through a Pipe)
STREAMS = [(64, 1_000_000, 200_000), (64 * KIB, 40_000, 20_000)]

CAPACITY = 1 << 22
SCHEMA = [("i64", 1), ("f64", 1), ("str", 1), ("bool", 1)]

CASES = [
    # (label, value pushed, pop call taking the ring)
    ("bytes 0 B", b"", lambda r: r.pop),
    ("bytes 64 B", b"x" * 64, lambda r: r.pop),
    ("bytes 1 KiB", b"x" * 1024, lambda r: r.pop),
    ("bytes 64 KiB", b"x" * 65536, lambda r: r.pop),
    ("str (16 chars)", "sixteen chars..!", lambda r: (lambda: r.pop("str"))),
    ("int", 123456789, lambda r: (lambda: r.pop("int"))),
    ("mixed [i64,f64,str,bool]", [7, 2.5, "abc", True], lambda r: (lambda: r.pop_mixed(SCHEMA))),
]


def per_call(ring, value, pop, calls):
    """Pushes a batch that fits the ring, pops it again, and repeats; times
    the pushes and the pops separately. Returns (push ns, pop ns) per call."""
    push = ring.push
    before = ring.used()
    assert push(value)
    frame = ring.used() - before
    pop()
    batch = max(1, min(1000, CAPACITY // frame))
    rounds = max(1, calls // batch)
    push_ns = pop_ns = 0
    for _ in range(rounds):
        t0 = time.perf_counter_ns()
        for _ in range(batch):
            push(value)
        t1 = time.perf_counter_ns()
        for _ in range(batch):
            pop()
        t2 = time.perf_counter_ns()
        push_ns += t1 - t0
        pop_ns += t2 - t1
    n = rounds * batch
    return push_ns / n, pop_ns / n


def in_process():
    name = f"/velmora-bench-{os.getpid()}-{uuid.uuid4().hex[:8]}"
    seg = velmora.SharedMemory.create(name, 24 + CAPACITY)
    try:
        ring = seg.spsc()
        per_call(ring, b"w" * 65536, ring.pop, 2 * CAPACITY // 65536)  # fault the pages in first
        print(f"{'payload':<26}{'push ns':>10}{'pop ns':>10}")
        for label, value, pop_of in CASES:
            calls = 10_000 if isinstance(value, bytes) and len(value) >= 65536 else 100_000
            # Best of three: the machine may be busy with something else.
            runs = [per_call(ring, value, pop_of(ring), calls) for _ in range(3)]
            push_ns, pop_ns = min(r[0] for r in runs), min(r[1] for r in runs)
            print(f"{label:<26}{push_ns:>10.0f}{pop_ns:>10.0f}")
    finally:
        velmora.SharedMemory.remove(name)


def streaming(settings):
    """Messages per second through the ring and through a Pipe; False when a run failed."""
    print(f"{'message':>8}  {'transport':<24}{'messages/s':>14}{'MB/s':>12}")
    run, ok = runner.Run(settings), True
    try:
        for size, ring_count, pipe_count in STREAMS:
            for t, count in ((peers.Velmora(), ring_count), (peers.Pipe(), pipe_count)):
                count = count // 50 if settings.quick else count
                try:
                    rate = median_of(run.throughput(t, size, count) for _ in range(1 if settings.quick else 3))
                except Failed as exc:
                    print(f"{size_label(size):>8}  {t.label:<24}  failed: {exc}")
                    ok = False
                    continue
                print(f"{size_label(size):>8}  {t.label:<24}{rate:>14,.0f}{rate * size / 1e6:>12,.1f}")
    finally:
        run.close()
    print("(one producer and one consumer process; MB = 10^6 bytes of payload)")
    return ok


def main():
    print("== one process, per call")
    in_process()
    print("\n== two processes, streaming")
    return 0 if streaming(Settings()) else 1


if __name__ == "__main__":
    sys.exit(main())
