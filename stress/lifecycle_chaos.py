"""(e) Lifecycle chaos: threads of several processes open, push, put, get,
pop_into, export views, set lock timeouts, close, fork, take signals whose
handlers close objects, and exit with daemon threads still waiting.

Each round is a new interpreter (so its exit is a real interpreter exit) that
runs for a fraction of a second to two seconds: two producer threads tag
every message with (thread, sequence) and count what push / put / push_many
report as published; two consumer threads pop with get / pop_into /
pop_many / pop, check that each producer's sequence only grows, and keep
what they took. The main thread meanwhile works a view (timeouts, exports,
writes and reads of self-consistent records), forks children that use the
same objects while the parent's threads are inside calls, and arms timers
whose handlers close objects. The round ends with a close (direct, from a
signal handler, or from another thread), the threads must all stop, the ring
is drained through a fresh mapping, and every published message must have
been taken exactly once or still be in the ring. Then the interpreter exits
with daemon threads blocked in a get, a put and a lock wait.

That round works an SpscRingBuffer with put/get and copies; the other
channel kinds have rounds of their own (lifecycle_kinds.py), taken in turn:
rings read in place with get_view() (SpscRingBuffer and MpscRingBuffer),
broadcast loans and receive_view, and velmora.aio waits, each with close()
from a third thread, from the main thread and from inside a view while the
other threads are inside calls, and, after the round's report, lent memory
entered after its owner was closed. A crash or a hang reports the "phase:"
the round was in.

Faults: a process that crashes (a signal, an abort) or exits non-zero, a
forked child that does not exit cleanly, a round that hangs (the watchdog
kills it after its time plus a grace period), a message lost, repeated or
out of order, a torn view record, an exception no call should raise."""
import json
import os
import queue
import random
import signal
import struct
import subprocess
import sys
import threading
import time
import warnings

HERE = os.path.abspath(__file__)
GRACE = 30.0  # seconds a round may run past its own time before it counts as hung


# ---- one round, in its own interpreter -------------------------------------------------

def _round(seed):
    import velmora

    SM = velmora.SharedMemory
    warnings.simplefilter("ignore", DeprecationWarning)  # fork() with threads running
    rng = random.Random(seed)
    base = f"/velmora-stress-e-{os.getpid()}-{seed}"
    cap = rng.choice([4096, 1 << 20])
    max_msg = 1000 if cap == 4096 else 200_000  # large ones copy without the interpreter lock
    ring = SM.create(base + "-r", velmora.SpscRingBuffer.segment_size(cap)).spsc()
    side = SM.create(base + "-s", velmora.SpscRingBuffer.segment_size(4096)).spsc()  # stays empty: its waits are the ones cut short
    vseg = SM.create(base + "-v", 4 + 64)
    view = vseg.map()
    faults = []
    counts = {"forks": 0, "signals": 0, "exports": 0, "view_ops": 0}
    published = {0: 0, 1: 0}
    taken = []  # (producer, seq), in no particular order across consumers
    stop = threading.Event()

    def fault(kind, detail):
        if len(faults) < 20:
            faults.append(f"{kind}: {detail}")

    def message(tid, seq, r):
        return struct.pack("<II", tid, seq) + bytes(r.choice([0, 1, 7, 60, r.randint(0, max_msg)]))

    def producer(tid):
        r = random.Random(seed * 7 + tid)
        seq = 0
        try:
            while not stop.is_set():
                op = r.random()
                if op < 0.4:
                    n = 1 if ring.push(message(tid, seq, r)) else 0
                elif op < 0.7:
                    try:
                        ring.put(message(tid, seq, r), timeout=r.choice([0, 0.001, 0.05, 0.3]))
                        n = 1
                    except queue.Full:
                        n = 0
                else:
                    n = ring.push_many([message(tid, seq + i, r) for i in range(r.randint(1, 6))])
                seq += n
                published[tid] = seq
        except ValueError as e:
            if str(e) != "SpscRingBuffer is closed":
                fault("producer raised", repr(e))
        except BaseException as e:  # noqa: BLE001 - anything else is a finding
            fault("producer raised", repr(e))

    def consumer(cid):
        r = random.Random(seed * 13 + cid)
        last = {}
        buf = bytearray(cap)

        def took(msg):
            tid, seq = struct.unpack_from("<II", msg)
            if seq <= last.get(tid, -1):
                fault("order", f"consumer {cid} got {tid}:{seq} after {tid}:{last[tid]}")
            last[tid] = seq
            taken.append((tid, seq))

        try:
            while True:
                op = r.random()
                try:
                    if op < 0.4:
                        took(ring.get(timeout=r.choice([0.001, 0.05, None])))
                    elif op < 0.6:
                        n = ring.pop_into(buf)
                        if n is not None:
                            took(bytes(buf[:n]))
                    elif op < 0.8:
                        for m in ring.pop_many(r.randint(1, 8)):
                            took(m)
                    else:
                        m = ring.pop()
                        if m is not None:
                            took(m)
                except queue.Empty:
                    pass
                if stop.is_set() and op < 0.05:
                    return
        except ValueError as e:
            if str(e) != "SpscRingBuffer is closed":
                fault("consumer raised", repr(e))
        except BaseException as e:  # noqa: BLE001
            fault("consumer raised", repr(e))

    def forked_child():
        """In a child forked while the parent's threads sit inside calls."""
        code = 0
        try:
            # The child is a process of its own: while the parent holds the
            # consumer role of `side`, the child's calls are refused.
            try:
                side.get(timeout=0.05)
                code = 3
            except queue.Empty:
                pass
            except (ValueError, BlockingIOError):
                pass  # the parent had closed it already, or holds the role
            try:
                if side.pop() is not None:
                    code = 3
            except (ValueError, BlockingIOError):
                pass
            ring.close()
            side.close()
            try:
                view.close()
            except BufferError:
                pass
        except BaseException:  # noqa: BLE001
            code = 4
        os._exit(code)

    def view_work():
        v = view
        counts["view_ops"] += 1
        try:
            v.lock_timeout = rng.choice([None, 0, 0.001, 0.2])
            if rng.random() < 0.5:
                byte = rng.randrange(256)
                v.write(bytes([byte]) * 64, 0)
            else:
                data = v.read_all()
                if data != data[:1] * 64:
                    fault("torn record", data[:16].hex())
            if rng.random() < 0.2:
                mem = memoryview(v)
                counts["exports"] += 1
                try:
                    v.close()
                    fault("close while exported", "no BufferError")
                except BufferError:
                    pass
                mem.release()
        except TimeoutError:
            pass
        except ValueError as e:
            if str(e) != "MappedView is closed":
                fault("view raised", repr(e))

    threads = [threading.Thread(target=producer, args=(t,)) for t in (0, 1)]
    threads += [threading.Thread(target=consumer, args=(c,)) for c in (0, 1)]
    # A reader waits on the side ring all round: the role it holds must not
    # follow a fork, and close() must end its wait.
    side_waiter = threading.Thread(target=lambda: _swallow(side.get), daemon=True)
    for t in threads + [side_waiter]:
        t.start()

    closers = {"side": lambda: side.close(), "view": lambda: _swallow(view.close, BufferError)}
    end = time.monotonic() + rng.uniform(0.3, 2.0)
    while time.monotonic() < end:
        op = rng.random()
        if op < 0.4:
            view_work()
        elif op < 0.55:
            counts["forks"] += 1
            pid = os.fork()
            if pid == 0:
                forked_child()
            status = _wait_child(pid, 20)
            if status != 0:
                fault("forked child", f"exit status {status}")
        elif op < 0.7:
            counts["signals"] += 1
            which = rng.choice(sorted(closers))
            signal.signal(signal.SIGALRM, lambda *a, f=closers[which]: f())
            signal.setitimer(signal.ITIMER_REAL, rng.uniform(0.001, 0.02))
            try:
                side.get(timeout=0.05)  # the handler may close this very object
            except (queue.Empty, ValueError):
                pass
            signal.setitimer(signal.ITIMER_REAL, 0)
        else:
            time.sleep(rng.uniform(0, 0.02))

    how = rng.choice(["direct", "signal", "thread"])
    if how == "direct":
        ring.close()
    elif how == "signal":
        counts["signals"] += 1
        signal.signal(signal.SIGALRM, lambda *a: (ring.close(), side.close()))
        signal.setitimer(signal.ITIMER_REAL, 0.01)
        try:
            side.get(timeout=5)
        except (queue.Empty, ValueError):
            pass
        ring.close()  # in case the timer found the wait over
    else:
        closer = threading.Thread(target=ring.close)
        closer.start()
        closer.join(20)
    stop.set()
    for t in threads:
        t.join(20)
        if t.is_alive():
            fault("thread hung", t.name)

    # Drain what is left through a fresh mapping and account for everything.
    left = []
    rest = SM.open(base + "-r").spsc()
    while (m := rest.pop()) is not None:
        left.append(struct.unpack_from("<II", m))
    rest.close()
    got = taken + left
    if len(got) != len(set(got)):
        fault("repeated", f"{len(got) - len(set(got))} messages taken twice")
    for tid, n in published.items():
        seqs = sorted(s for t, s in set(got) if t == tid)
        if seqs != list(range(n)):
            missing = sorted(set(range(n)) - set(seqs))[:5]
            extra = sorted(set(seqs) - set(range(n)))[:5]
            fault("lost", f"producer {tid}: published {n}, missing {missing}, unexpected {extra}")
    for suffix in ("-r", "-s", "-v"):
        SM.remove(base + suffix)
    print(json.dumps({"published": sum(published.values()), "taken": len(taken), "left": len(left),
                      "faults": faults, **counts}), flush=True)

    # Exit with daemon threads waiting: in a get, a put and a view lock wait.
    full = SM.create(base + "-x", velmora.SpscRingBuffer.segment_size(64)).spsc()
    full.push(b"x" * 40)
    empty = SM.create(base + "-z", velmora.SpscRingBuffer.segment_size(64)).spsc()
    locked = SM.create(base + "-y", 4 + 8).map()
    _hold_lock(base + "-y")
    for suffix in ("-x", "-y", "-z"):
        SM.remove(base + suffix)
    for wait in (lambda: full.put(b"y" * 40), empty.get, locked.read_all):
        threading.Thread(target=_swallow, args=(wait,), daemon=True).start()
    time.sleep(0.05)


def _hold_lock(name):
    """Leaves the view's lock word write-locked, as a holder that died would."""
    from multiprocessing import resource_tracker, shared_memory

    m = shared_memory.SharedMemory(name=name.lstrip("/"), create=False)
    resource_tracker.unregister(m._name, "shared_memory")
    m.buf[0:4] = struct.pack("<i", -1)
    m.close()


def _swallow(fn, *extra):
    try:
        fn()
    except (ValueError, queue.Empty, queue.Full, *extra):
        pass


def _wait_child(pid, seconds):
    """The exit status of a forked child; killed (and -9) when it outlives `seconds`."""
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return os.waitstatus_to_exitcode(status)
        time.sleep(0.005)
    os.kill(pid, signal.SIGKILL)
    os.waitpid(pid, 0)
    return -9


# ---- the scenario -------------------------------------------------------------------------

KINDS = ["spsc", "spsc-view", "mpsc", "broadcast", "aio"]


def _phase(err):
    """The last step a round said it was taking, from its stderr."""
    steps = [ln[len("phase: "):] for ln in err.splitlines() if ln.startswith("phase: ")]
    return steps[-1] if steps else "the spsc round"


def run(seconds, parallel=2):
    from common import Result

    result = Result("(e) lifecycle chaos")
    end = time.monotonic() + seconds
    seed = random.randrange(1 << 30)
    running = []

    def start():
        nonlocal seed
        seed += 1
        kind = KINDS[seed % len(KINDS)]
        p = subprocess.Popen([sys.executable, HERE, "--round", str(seed), kind], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True)
        running.append((p, seed, time.monotonic()))

    def finish(p, s, out, err):
        result.add("processes")
        kind = KINDS[s % len(KINDS)]
        if p.returncode != 0:
            what = f"signal {-p.returncode}" if p.returncode < 0 else f"exit {p.returncode}"
            fatal = [ln for ln in err.splitlines() if ln.startswith(("Fatal Python error", "Traceback"))]
            tail = err.strip().splitlines()[-1] if err.strip() else ""
            # A crash is counted by the step it happened in: a known crash
            # shows under its own name, apart from new ones.
            step = _phase(err)
            result.fault(f"crashed in {kind} round: {step.split(' (')[0]}" if p.returncode < 0 else "process died",
                         example=f"round {s}: {what} {(fatal or [''])[0]} in {step}; {tail}")
        lines = [ln for ln in out.splitlines() if ln.startswith("{")]
        if not lines:
            if p.returncode == 0:
                result.fault("no report", example=f"round {s}: {err.strip()[-300:]}")
            return
        result.add(f"{kind} rounds")
        for line in lines:
            rep = json.loads(line)
            for key, n in rep.items():
                if isinstance(n, int) and key != "kind":
                    result.add(key, n)
            for f in rep["faults"]:
                result.fault(f.split(":", 1)[0] + (f" ({kind})" if kind != "spsc" else ""),
                             example=f"round {s}: {f}")

    while time.monotonic() < end or running:
        while time.monotonic() < end and len(running) < parallel:
            start()
        for entry in list(running):
            p, s, t0 = entry
            if p.poll() is not None:
                out, err = p.communicate()
                running.remove(entry)
                finish(p, s, out, err)
            elif time.monotonic() - t0 > 2.0 + GRACE:
                p.kill()
                out, err = p.communicate()
                running.remove(entry)
                result.add("processes")
                result.fault("hung", example=f"round {s} ({KINDS[s % len(KINDS)]}): killed after "
                                             f"{2.0 + GRACE:.0f} s in {_phase(err)}; {out[-200:]}")
        time.sleep(0.02)
    return result


if __name__ == "__main__":
    if len(sys.argv) == 4 and sys.argv[1] == "--round":
        if sys.argv[3] == "spsc":
            _round(int(sys.argv[2]))
        else:
            sys.path.insert(0, os.path.dirname(HERE))
            import lifecycle_kinds

            lifecycle_kinds.run_round(sys.argv[3], int(sys.argv[2]))
    else:
        sys.path.insert(0, os.path.dirname(HERE))
        from common import report

        report(run(float(sys.argv[1]) if len(sys.argv) > 1 else 20.0))
