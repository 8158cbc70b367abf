"""The view as shared state: lock-free view.add in one process and in two
processes on one counter, scoped read-modify-write in two processes, four
processes each writing four fields under one lock (Record.update() next to
four multiprocessing.Value under their shared lock), and a three-field
Record.update + snapshot pair next to multiprocessing.Value under get_lock()
and a Manager().dict(), in the same run.

BENCH_QUICK=1 runs shorter rounds."""
import multiprocessing
import os
import time
import uuid

import velmora

QUICK = bool(os.environ.get("BENCH_QUICK"))
ADDS = 200_000 if QUICK else 2_000_000
PAIRS = 20_000 if QUICK else 100_000
MANAGER_PAIRS = 500 if QUICK else 3_000
REPEAT = 3 if QUICK else 5
SPAWN = multiprocessing.get_context("spawn")
FIELDS = {"a": "i64", "b": "i64", "c": "f64"}
FIELDS4 = {"a": "i64", "b": "i64", "c": "i64", "d": "f64"}
RECORD4_AT = 160  # data offset of the four-field record (past the counters and FIELDS)
WRITERS = 4
LOCKED_UPDATES = 20_000 if QUICK else 100_000  # per process


def best(fn, n, repeat=REPEAT):
    """Best seconds per call of fn(n) (which makes n calls) over `repeat` rounds."""
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn(n)
        times.append(time.perf_counter() - t0)
    return min(times) / n


def adds(view, n):
    add = view.add
    for _ in range(n):
        add(4, 1)


def _add_worker(name, n, go, done):
    view = velmora.SharedMemory.open(name).map()
    go.wait()
    t0 = time.perf_counter()
    adds(view, n)
    done.put(time.perf_counter() - t0)


def _scoped_worker(name, n, go, done):
    view = velmora.SharedMemory.open(name).map()
    go.wait()
    t0 = time.perf_counter()
    for _ in range(n):
        with view.write_locked():
            view.seek(12)
            v = view.read("i64")
            view.write(v + 1, 12)
    done.put(time.perf_counter() - t0)


def _record4_worker(name, n, go, done):
    view = velmora.SharedMemory.open(name).map()
    update = velmora.Record(view, FIELDS4, offset=RECORD4_AT).update
    go.wait()
    t0 = time.perf_counter()
    for k in range(n):
        update(a=k, b=k, c=k, d=0.5)
    done.put(time.perf_counter() - t0)


def _value4_worker(values, n, go, done):
    a, b, c, d = values
    lock = a.get_lock()
    go.wait()
    t0 = time.perf_counter()
    for k in range(n):
        with lock:
            a.value = k
            b.value = k
            c.value = k
            d.value = 0.5
    done.put(time.perf_counter() - t0)


def processes(worker, first, n, count=2):
    """Wall seconds for `count` processes making n calls each, started
    together: `go` is a barrier they all reach once set up (spawning takes
    longer than a short run, so an event set by the parent would let the
    first ones finish before the last had begun)."""
    go, done = SPAWN.Barrier(count), SPAWN.Queue()
    procs = [SPAWN.Process(target=worker, args=(first, n, go, done)) for _ in range(count)]
    for p in procs:
        p.start()
    seconds = max(done.get(timeout=600) for _ in procs)
    for p in procs:
        p.join(60)
    return seconds


def record_pairs(rec):
    def run(n):
        update, snapshot = rec.update, rec.snapshot
        for k in range(n):
            update(a=k, b=k, c=0.5)
            snapshot()
    return run


def value_pairs(lock, a, b, c):
    def run(n):
        for k in range(n):
            with lock:
                a.value = k
                b.value = k
                c.value = 0.5
            with lock:
                {"a": a.value, "b": b.value, "c": c.value}
    return run


def manager_pairs(d):
    def run(n):
        for k in range(n):
            d.update(a=k, b=k, c=0.5)
            d.copy()
    return run


def two_processes(name, worker, n):
    return processes(worker, name, n)


def locked_updates(name):
    """Updates per second, all WRITERS processes together, of four fields
    under one lock: velmora's Record.update() and four multiprocessing.Value
    sharing one lock (each .value store takes it again, as a Value does).
    Best of REPEAT rounds (processes started anew each round, alternating)."""
    lock = SPAWN.RLock()
    values = [SPAWN.Value("q", 0, lock=lock), SPAWN.Value("q", 0, lock=lock),
              SPAWN.Value("q", 0, lock=lock), SPAWN.Value("d", 0.0, lock=lock)]
    ours, theirs = [], []
    for _ in range(min(REPEAT, 3)):
        ours.append(processes(_record4_worker, name, LOCKED_UPDATES, WRITERS))
        theirs.append(processes(_value4_worker, values, LOCKED_UPDATES, WRITERS))
    total = WRITERS * LOCKED_UPDATES
    return total / min(ours), total / min(theirs), total / max(ours), total / max(theirs)


def main():
    name = f"/velmora-bench-state-{os.getpid()}-{uuid.uuid4().hex[:8]}"
    shm = velmora.SharedMemory.create(name, 4 + 256)
    try:
        view = shm.map()
        one = 1 / best(lambda n: adds(view, n), ADDS)
        view.store(4, 0)
        wall = two_processes(name, _add_worker, ADDS // 2)
        exact = view.load(4) == ADDS
        scoped_n = ADDS // 20
        scoped_wall = two_processes(name, _scoped_worker, scoped_n)
        scoped_exact = view.load(12) == 2 * scoped_n

        ours4, theirs4, ours4_low, theirs4_low = locked_updates(name)

        rec = velmora.Record(view, FIELDS, offset=100)
        lock = SPAWN.RLock()
        values = [SPAWN.Value("q", 0, lock=lock), SPAWN.Value("q", 0, lock=lock), SPAWN.Value("d", 0.0, lock=lock)]
        with SPAWN.Manager() as manager:
            shared = manager.dict(a=0, b=0, c=0.0)
            ours = best(record_pairs(rec), PAIRS)
            theirs_value = best(value_pairs(lock, *values), PAIRS)
            theirs_manager = best(manager_pairs(shared), MANAGER_PAIRS, repeat=min(REPEAT, 3))
        del view, rec

        print(f"view.add, one process:   {one / 1e6:6.2f} M ops/s (goal >= 10)")
        print(f"view.add, 2 processes:   {ADDS / wall / 1e6:6.2f} M ops/s together, "
              f"{ADDS} adds, total {'exact' if exact else 'WRONG'}")
        print(f"write_locked() read-modify-write, 2 processes: {2 * scoped_n / scoped_wall / 1e3:6.1f} k ops/s, "
              f"{2 * scoped_n} increments, total {'exact' if scoped_exact else 'WRONG'}")
        print(f"4-field update under one lock, {WRITERS} processes (k updates/s together, best; worst):")
        print(f"  velmora Record.update()            {ours4 / 1e3:7.1f}  ({ours4_low / 1e3:.1f})")
        print(f"  multiprocessing.Value x4, one lock {theirs4 / 1e3:7.1f}  ({theirs4_low / 1e3:.1f})   "
              f"ratio {ours4 / theirs4:5.2f}x (goal >= 1.5)")
        print("3-field update + snapshot pair (ns per pair, best of rounds):")
        print(f"  velmora.Record                     {ours * 1e9:9.0f}")
        print(f"  multiprocessing.Value x3, get_lock {theirs_value * 1e9:9.0f}   "
              f"ratio {theirs_value / ours:5.1f}x (goal >= 3)")
        print(f"  multiprocessing.Manager().dict()   {theirs_manager * 1e9:9.0f}   "
              f"ratio {theirs_manager / ours:5.0f}x (goal >= 100)")
    finally:
        velmora.SharedMemory.remove(name)


if __name__ == "__main__":
    main()
