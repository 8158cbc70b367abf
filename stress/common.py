"""Shared machinery of the stress scenarios: segment names, a second mapping
made by the standard library (to forge or inspect bytes behind the module's
back), worker processes that report back, a watchdog that turns a stalled or
hung worker into a fault, and the result record every scenario returns."""
import multiprocessing
import os
import signal
import sys
import time
import traceback
import uuid
from dataclasses import dataclass, field
from multiprocessing import resource_tracker, shared_memory

import velmora

SM = velmora.SharedMemory
# Fork: workers start in microseconds with the module already imported, which
# the kill-and-restart scenario depends on. The stress runs are Unix-only.
CTX = multiprocessing.get_context("fork")


def unique_name(tag):
    return f"/velmora-stress-{tag}-{os.getpid()}-{uuid.uuid4().hex[:10]}"


def second_mapping(name):
    """The segment mapped again by the standard library, kept away from the
    resource tracker (the segment is not its to unlink)."""
    if sys.version_info >= (3, 13):
        return shared_memory.SharedMemory(name=name.lstrip("/"), create=False, track=False)
    shm = shared_memory.SharedMemory(name=name.lstrip("/"), create=False)
    resource_tracker.unregister(shm._name, "shared_memory")
    return shm


def remove(name):
    try:
        SM.remove(name)
    except OSError:
        pass


def make_segment(name, size):
    """A new segment, refusing to attach to an existing name: these runs must
    never share a segment with anything else, whatever `create` does."""
    try:
        SM.open(name)
    except OSError:
        return SM.create(name, size)
    raise RuntimeError(f"segment {name} already exists")


@dataclass
class Result:
    """What a scenario did and the faults it found, by kind."""
    name: str
    counts: dict = field(default_factory=dict)   # operations, messages, bytes, ...
    faults: dict = field(default_factory=dict)   # kind -> number found
    notes: list = field(default_factory=list)    # first examples of each fault, and remarks

    def add(self, key, n=1):
        self.counts[key] = self.counts.get(key, 0) + n

    def fault(self, kind, n=1, example=None):
        if n <= 0:
            return
        self.faults[kind] = self.faults.get(kind, 0) + n
        if example is not None and sum(1 for x in self.notes if x.startswith(kind)) < 3:
            self.notes.append(f"{kind}: {example}")

    @property
    def fault_total(self):
        return sum(self.faults.values())


def human(n):
    if n >= 10**9:
        return f"{n / 1e9:.2f} G"
    if n >= 10**6:
        return f"{n / 1e6:.2f} M"
    if n >= 10**4:
        return f"{n / 1e3:.1f} k"
    return str(n)


def report(result):
    counts = ", ".join(f"{k} {human(v) if isinstance(v, int) else v}" for k, v in result.counts.items())
    faults = ", ".join(f"{k} {v}" for k, v in sorted(result.faults.items())) or "none"
    print(f"stress {result.name}: {counts}; faults: {faults}", flush=True)
    for note in result.notes:
        print(f"    {note}", flush=True)


# ---- workers ----------------------------------------------------------------------

class Worker:
    """A forked process running fn(*args, progress_slot) that sends one report
    dict back (or the traceback of what it raised). `progress` is a shared
    array: each worker bumps its own slot so the watchdog can see it move."""

    def __init__(self, fn, args, queue, progress, slot):
        self.slot = slot
        self.proc = CTX.Process(target=self._main, args=(fn, args, queue, progress, slot), daemon=True)

    @staticmethod
    def _main(fn, args, queue, progress, slot):
        try:
            out = fn(*args, progress, slot)
            queue.put((slot, "ok", out))
        except BaseException:  # noqa: BLE001 - everything a worker raises is a finding
            queue.put((slot, "raised", traceback.format_exc(limit=6)))

    def start(self):
        self.proc.start()
        return self


def start_workers(specs):
    """Starts [(fn, args), ...] as workers; returns the handle wait_workers takes."""
    queue = CTX.SimpleQueue()
    progress = CTX.RawArray("Q", len(specs))
    workers = [Worker(fn, args, queue, progress, i).start() for i, (fn, args) in enumerate(specs)]
    return queue, progress, workers


def run_workers(result, specs, seconds, stall_seconds=20.0, grace=30.0):
    """Runs workers that stop by themselves after `seconds`; see wait_workers."""
    return wait_workers(result, start_workers(specs), seconds, stall_seconds, grace)


def wait_workers(result, started, seconds, stall_seconds=20.0, grace=30.0):
    """Returns the workers' reports in order (None for one that never
    reported). A worker whose progress counter does not move for
    `stall_seconds`, or that has not reported `grace` seconds after `seconds`
    from now, is a "stalled worker" fault and is killed; the others are
    still waited for, so their reports count."""
    queue, progress, workers = started
    reports = [None] * len(workers)
    last = [0] * len(workers)
    moved = [time.monotonic()] * len(workers)
    end = time.monotonic() + seconds + grace
    pending = set(range(len(workers)))
    while pending:
        while not queue.empty():
            slot, status, out = queue.get()
            pending.discard(slot)
            if status == "ok":
                reports[slot] = out
            else:
                result.fault("worker raised", example=out.strip().splitlines()[-1])
                result.notes.append(out.rstrip())
        if not pending:
            break
        now = time.monotonic()
        for i in pending:
            if progress[i] != last[i]:
                last[i], moved[i] = progress[i], now
        stuck = sorted(i for i in pending if now - moved[i] > stall_seconds or now > end)
        if stuck:
            late = now > end
            result.fault("stalled worker", len(stuck),
                         example=f"workers {stuck} still running {grace:.0f} s after the end" if late
                         else f"workers {stuck} made no progress for {stall_seconds:.0f} s")
            for i in stuck:
                os.kill(workers[i].proc.pid, signal.SIGKILL)
                pending.discard(i)
        time.sleep(0.05)
    for w in workers:
        w.proc.join(10)
    return reports
