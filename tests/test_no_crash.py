"""Threads, signals, fork, interpreter exit and buffers that run Python code:
every call completes or raises, nothing crashes and nothing hangs. Each
scenario that could take the process down runs in a child interpreter."""
import atexit
import functools
import glob
import os
import shutil
import subprocess
import sys
import textwrap
import tempfile

import pytest

import velmora

HAS_FORK = hasattr(os, "fork")

PRELUDE = """
import os, queue, signal, struct, sys, threading, time, velmora
from multiprocessing import shared_memory, resource_tracker
SM = velmora.SharedMemory
_count = [0]
def name(tag):
    _count[0] += 1
    return f"/nc-{tag}-{os.getpid()}-{_count[0]}"
def ring(cap=4096):
    n = name("r")
    r = SM.create(n, velmora.SpscRingBuffer.segment_size(cap)).spsc()
    SM.remove(n)
    return r
def view():
    n = name("v")
    v = SM.create(n, 68).map()
    return n, v
_peers = []
def poke_lock(n, word):
    # the lock word as a live holder elsewhere leaves it: another process
    # keeps the view open (until this one exits), so a waiter cannot take the
    # word for a dead holder's and reset it
    import subprocess
    peer = subprocess.Popen([sys.executable, "-c", "import sys, velmora; v = velmora.SharedMemory.open(sys.argv[1]).map(); "
                             "print('ready', flush=True); sys.stdin.read()", n],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    assert peer.stdout.readline().strip() == "ready"
    _peers.append(peer)
    m = shared_memory.SharedMemory(name=n.lstrip("/"), create=False)
    resource_tracker.unregister(m._name, "shared_memory")
    m.buf[0:4] = struct.pack("<i", word)
    m.close()
"""


def run(code, timeout=60, python=sys.executable, env=None):
    """Runs `code` after PRELUDE in a new interpreter; a hang fails the test."""
    try:
        return subprocess.run([python, "-c", PRELUDE + textwrap.dedent(code)], capture_output=True, text=True,
                              timeout=timeout, env=env)
    except subprocess.TimeoutExpired as e:
        pytest.fail(f"hung for {timeout} s; output so far: {e.stdout!r} {e.stderr!r}")


def assert_clean(proc, expect=None):
    assert proc.returncode == 0, f"exit {proc.returncode}: {proc.stdout[-1000:]} {proc.stderr[-2000:]}"
    if expect is not None:
        assert proc.stdout.split() == expect, proc.stdout + proc.stderr


# ---- close() while another thread keeps calling -----------------------------------

WORKERS = {
    "get": ("r = ring()", """
        try: r.get(timeout=T)
        except queue.Empty: pass"""),
    "push": ("r = ring(1 << 20); big = b'x' * (256 << 10)", """
        if not r.push(big): r.pop_many(8)"""),
    "pop_into": ("r = ring(1 << 20); big = b'x' * (256 << 10); buf = bytearray(big)", """
        r.push(big); r.pop_into(buf)"""),
    "view": ("n, r = view(); poke_lock(n, -1); SM.remove(n); r.lock_timeout = 0.001", """
        try: r.read_all()
        except TimeoutError: pass"""),
}


@pytest.mark.parametrize("kind,timeout", [("get", 0.001), ("get", 0.005), ("get", 0.009), ("push", None),
                                          ("pop_into", None), ("view", None)])
def test_close_while_another_thread_keeps_calling(kind, timeout):
    setup, body = WORKERS[kind]
    proc = run(f"""
        T = {timeout}
        cls = "MappedView" if "{kind}" == "view" else "SpscRingBuffer"
        for _ in range(8):
            {setup}
            def work():
                while True:
                    try:
                        {textwrap.indent(textwrap.dedent(body), " " * 24).strip()}
                    except ValueError as e:
                        assert str(e) == cls + " is closed", e
                        return
            t = threading.Thread(target=work); t.start()
            time.sleep(0.02)
            r.close()
            t.join(20)
            assert not t.is_alive()
        print("ok")
        """)
    assert_clean(proc, ["ok"])


# ---- a daemon thread waiting at interpreter exit ----------------------------------

@pytest.mark.parametrize("setup,target", [
    ("r = ring()", "r.get"),
    ("r = ring(64); r.push(b'x' * 50)", "lambda: r.put(b'y' * 50)"),
    ("r = ring(1 << 16); b = bytearray(8)", "lambda: r.get_into(b)"),
    ("n, r = view(); poke_lock(n, -1); SM.remove(n)", "r.read_all"),
    ("n, r = view(); poke_lock(n, 3); SM.remove(n)", "lambda: r.write(memoryview(b'abc'))"),
])
def test_a_daemon_thread_waiting_at_exit_does_not_abort(setup, target):
    proc = run(f"""
        {setup}
        threading.Thread(target={target}, daemon=True).start()
        time.sleep(0.2)
        print("exiting")
        """)
    assert_clean(proc, ["exiting"])


# ---- buffers whose __buffer__ runs Python code (CPython 3.12+) ---------------------

@functools.lru_cache(maxsize=None)
def _package_copy():
    """The installed package copied once per run (the checkout's own velmora/
    has no extension), removed when the run ends."""
    path = tempfile.mkdtemp(prefix="velmora-py312-")
    atexit.register(shutil.rmtree, path, True)
    shutil.copytree(os.path.dirname(velmora.__file__), os.path.join(path, "velmora"))
    return path


def python_312():
    """An interpreter that calls __buffer__ methods, and an environment that
    imports this velmora there (the abi3 extension serves it too)."""
    if sys.version_info < (3, 11):
        pytest.skip("the cp310-abi3 build takes no buffer exporters")
    if sys.version_info >= (3, 12):
        return sys.executable, None
    root = os.popen("pyenv root 2>/dev/null").read().strip() or "/nonexistent"
    for v in ("3.12", "3.13"):
        found = [shutil.which(f"python{v}")] + sorted(glob.glob(f"{root}/versions/{v}.*/bin/python3"), reverse=True)
        for py in filter(None, found):
            if subprocess.run([py, "-c", "pass"], capture_output=True).returncode == 0:
                return py, dict(os.environ, PYTHONPATH=_package_copy())
    pytest.skip("no CPython 3.12 or 3.13 here")


EVIL = """
class Evil:
    def __init__(self, f): self.f = f
    def __buffer__(self, flags):
        self.f()
        return memoryview(bytearray(b"x" * 8))
"""


@pytest.mark.parametrize("scenario,expect", [
    ("r = ring(); r.push(Evil(r.close))", "closed"),
    ("r = ring(); items = []; items += [Evil(items.clear), b'a', b'b']; print(r.push_many(items)); "
     "print(r.pop(), r.pop(), r.pop(), r.pop())", "3 b'xxxxxxxx' b'a' b'b' None"),
    ("r = ring(); r.put(Evil(r.close), timeout=1)", "closed"),
    ("r = ring(); r.get_into(Evil(r.close), timeout=1)", "closed"),
    ("n, v = view(); SM.remove(n); v.lock_timeout = 2; "
     "v.write(Evil(v.close))", "closed"),
    ("r = ring(); r.push_many([b'a', Evil(r.close), b'c'])", "closed"),
])
def test_a_buffer_method_that_runs_python_code(scenario, expect):
    python, env = python_312()
    proc = run(EVIL + textwrap.dedent(f"""
        try:
            {scenario}
        except ValueError as e:
            assert str(e).endswith(" is closed"), e
            print("closed")
        """), timeout=30, python=python, env=env)
    assert_clean(proc, expect.split())


# ---- signal handlers that close the object they interrupt --------------------------

@pytest.mark.parametrize("setup,call", [
    ("r = ring()", "r.get(timeout=2)"),
    ("r = ring(64); r.push(b'x' * 50)", "r.put(b'y' * 50, timeout=2)"),
    ("n, r = view(); poke_lock(n, -1); SM.remove(n); r.lock_timeout = 2", "r.read_all()"),
])
def test_close_from_a_signal_handler_during_the_same_objects_wait(setup, call):
    proc = run(f"""
        {setup}
        signal.signal(signal.SIGALRM, lambda *a: r.close())
        signal.setitimer(signal.ITIMER_REAL, 0.1)
        t0 = time.monotonic()
        try:
            {call}
        except ValueError as e:
            assert str(e).endswith(" is closed"), e
        assert time.monotonic() - t0 < 1.5, time.monotonic() - t0
        assert "closed" in repr(r)
        print("ok")
        """)
    assert_clean(proc, ["ok"])


# ---- roles held by another thread ---------------------------------------------------

def test_waiting_for_a_role_counts_against_the_timeout_and_close_ends_it():
    proc = run("""
        r = ring(64)
        started = threading.Event()
        out = []
        def blocked_get():
            started.set()
            try: r.get()
            except ValueError as e: out.append(str(e))
        a = threading.Thread(target=blocked_get); a.start(); started.wait()
        time.sleep(0.05)
        t0 = time.monotonic()
        try: r.get(timeout=0.3); print("no-empty")
        except queue.Empty: pass
        assert 0.25 < time.monotonic() - t0 < 1.5, time.monotonic() - t0
        t0 = time.monotonic()
        print(r.pop(), r.pop_many(4), r.pop_into(bytearray(8)))   # nothing now
        assert time.monotonic() - t0 < 0.5
        r.push(b'x' * 50)
        def blocked_put():
            try: r.put(b'y' * 50)
            except ValueError as e: out.append(str(e))
        b = threading.Thread(target=blocked_put); b.start()
        a.join(5)                                           # the consumer took the x
        time.sleep(0.05)
        r.close()
        b.join(5)
        assert not a.is_alive() and not b.is_alive()
        print(len(out), out[-1] if out else None)
        """)
    assert_clean(proc)
    lines = proc.stdout.splitlines()
    assert lines[0] == "None [] None", proc.stdout


def test_a_non_blocking_push_does_not_wait_for_a_blocked_put():
    proc = run("""
        r = ring(64)
        r.push(b'x' * 50)
        started = threading.Event()
        def blocked_put():
            started.set()
            try: r.put(b'y' * 50)
            except ValueError: pass
        t = threading.Thread(target=blocked_put); t.start(); started.wait(); time.sleep(0.05)
        t0 = time.monotonic()
        print(r.push(b'a'), r.push_many([b'a']))
        assert time.monotonic() - t0 < 0.5
        r.close(); t.join(5); assert not t.is_alive()
        """)
    assert_clean(proc, ["False", "0"])


@pytest.mark.skipif(not HAS_FORK, reason="needs fork")
def test_a_forked_child_starts_with_no_roles_and_no_calls_in_flight():
    proc = run("""
        import warnings
        warnings.simplefilter("ignore", DeprecationWarning)   # fork with threads
        r = ring(64)
        n, v = view(); poke_lock(n, -1); SM.remove(n)
        started = threading.Event()
        def wait_get():
            started.set()
            try: r.get()
            except ValueError: pass
        def wait_lock():
            try: v.read_all()
            except ValueError: pass
        for f in (wait_get, wait_lock): threading.Thread(target=f, daemon=True).start()
        started.wait(); time.sleep(0.1)
        # The parent's waiting thread shares the ring with the child: the
        # child starts once the parent has closed its handles, so that thread
        # cannot take the child's message.
        rfd, wfd = os.pipe()
        pid = os.fork()
        if pid == 0:
            try:
                os.read(rfd, 1)
                t0 = time.monotonic()
                try: r.get(timeout=0.5)
                except queue.Empty: pass
                waited = time.monotonic() - t0
                popped = r.pop()
                r.push(b"c"); again = r.pop()
                r.close(); v.close()
                print("child", popped, again, 0.4 < waited < 3, flush=True)
                os._exit(0)
            finally:
                os._exit(4)
        r.close(); v.close(); os.write(wfd, b"x")
        _, status = os.waitpid(pid, 0)
        print(os.waitstatus_to_exitcode(status))
        """)
    assert_clean(proc, ["child", "None", "b'c'", "True", "0"])


# ---- lent memory (loan, receive_view, get_view) and close() -------------------------

LENDING = """
try:
    import numpy as np
except ImportError:
    np = None
SIZE = 1 << 16
_alive = []
def lender(kind):
    # (owner, lend): an owner with a message waiting and the call that lends memory of its mapping
    n = name(kind[:2])
    if kind in ("receive_view", "loan"):
        pub = velmora.Publisher.create(n, SIZE, 4, subscribers=1)
        sub = velmora.Subscriber.open(n)
        SM.remove(n)
        _alive.extend((pub, sub))
        if kind == "loan":
            return pub, lambda: pub.loan(SIZE)
        pub.publish(b"m" * SIZE)
        return sub, sub.receive_view
    r = ring(2 * SIZE) if kind == "spsc" else velmora.MpscRingBuffer.create(n, 2 * SIZE, producers=2)
    if kind == "mpsc":
        SM.remove(n)
    r.push(b"m" * SIZE)
    return r, r.get_view
def use(v):
    # every byte of a lent memoryview read (and a loan's written first)
    if not v.readonly:
        v[:] = b"w" * len(v)
    data = bytes(v)
    assert len(data) == SIZE and data.count(data[:1]) == SIZE, (len(data), data[:8])
"""

KINDS = ["receive_view", "loan", "spsc", "mpsc"]


@pytest.mark.parametrize("kind", KINDS)
def test_lent_memory_stays_mapped_when_its_owner_closes_first(kind):
    proc = run(LENDING + textwrap.dedent(f"""
        def through(lent, close=None):
            # a loan left after its publisher closed says it was not published
            try:
                with lent as v:
                    if close is not None:
                        close()
                    use(v)
            except ValueError as e:
                assert "{kind}" == "loan" and "not published" in str(e), e
            else:
                assert "{kind}" != "loan", "a loan ended after close() was taken as published"
        o, lend = lender("{kind}")
        lent = lend()
        o.close()
        through(lent)               # lent, closed, then entered
        o, lend = lender("{kind}")
        through(lend(), o.close)    # closed inside the block
        o, lend = lender("{kind}")
        lent = lend()
        o.close()
        del lent                    # never entered
        print("ok")
        """))
    assert_clean(proc, ["ok"])


@pytest.mark.parametrize("kind", KINDS)
def test_memory_kept_past_the_block_stays_mapped_after_close(kind):
    proc = run(LENDING + textwrap.dedent(f"""
        o, lend = lender("{kind}")
        with lend() as v:
            use(v)
            kept = [v[1:], memoryview(v)[:-1], v.cast("B")[::2]]
            if np is not None:
                kept.append(np.frombuffer(v, dtype=np.uint8))
        o.close()
        print(sorted({{bytes(k)[:1] for k in kept}}) in ([b"m"], [b"w"]), [len(bytes(k)) for k in kept][:3])
        """))
    assert_clean(proc, ["True", f"[{(1 << 16) - 1},", f"{(1 << 16) - 1},", f"{1 << 15}]"])


# One thread lends and reads (or writes) in a loop, another feeds it, a third
# closes the owner once the first has lent a few times.
RACES = {
    "subscriber": ("sub", """
        with sub.receive_view(timeout=0.01) as v: bytes(v)""", """
        pub.publish(b"m" * 4096, timeout=0.01)"""),
    "publisher": ("pub", """
        with pub.loan(4096, timeout=0.01) as v: v[:] = b"w" * 4096""", """
        with sub.receive_view(timeout=0.01) as v: bytes(v)"""),
    "spsc": ("r", """
        with r.get_view(timeout=0.01) as v: bytes(v)""", """
        r.put(b"m" * 4096, timeout=0.01)"""),
    "mpsc": ("r", """
        with r.get_view(timeout=0.01) as v: bytes(v)""", """
        r.put(b"m" * 4096, timeout=0.01)"""),
}


@pytest.mark.parametrize("kind", list(RACES))
def test_close_from_a_third_thread_while_lending_in_a_loop(kind):
    owner, lending, feeding = RACES[kind]
    make = {"spsc": "r = ring(1 << 16)",
            "mpsc": "r = velmora.MpscRingBuffer.create(n, 1 << 16, producers=2); SM.remove(n)"}.get(
        kind, "pub = velmora.Publisher.create(n, 4096, 4, subscribers=1); sub = velmora.Subscriber.open(n); "
              "SM.remove(n)")
    proc = run(f"""
        def loop(body, count=None):
            while True:
                try:
                    body()
                    if count is not None:
                        count.append(1)
                        if len(count) >= 5: going.set()
                except (queue.Empty, queue.Full):
                    pass
                except ValueError as e:     # the owner closed (or, feeding, its peer)
                    assert e.reason == "closed", e
                    return
                if stop.is_set():
                    return
        def lend():
            {lending.strip()}
        def feed():
            {feeding.strip()}
        for _ in range(20):
            n = name("race")
            {make}
            going, stop = threading.Event(), threading.Event()
            a = threading.Thread(target=loop, args=(lend, [])); b = threading.Thread(target=loop, args=(feed,))
            a.start(); b.start()
            going.wait(20)
            threading.Thread(target={owner}.close).start()
            a.join(20); stop.set(); b.join(20)
            assert not a.is_alive() and not b.is_alive()
        print("ok")
        """)
    assert_clean(proc, ["ok"])
