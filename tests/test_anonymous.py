"""Channels without a name (create(None, ...)) and create(..., replace=True).

An anonymous channel reaches a child process as a descriptor: inherited
under fork, handed over with the child's start under spawn and forkserver.
Nothing of it is left once its processes are gone, however they end."""
import multiprocessing as mp
import os
import pickle
import signal
import subprocess
import sys
import textwrap
import threading

import pytest

import velmora
from conftest import unique_name

pytestmark = pytest.mark.skipif(not sys.platform.startswith("linux"), reason="anonymous segments are a Linux memfd")

SM, SPSC, MPSC, MPMC, PUB = (velmora.SharedMemory, velmora.SpscRingBuffer, velmora.MpscRingBuffer,
                             velmora.MpmcRingBuffer, velmora.Publisher)

# Each kind's create() with its required sizes, after the name.
CREATE = {
    "shared_memory": lambda name, **kw: SM.create(name, 4096, **kw),
    "spsc": lambda name, **kw: SPSC.create(name, 4096, **kw),
    "mpsc": lambda name, **kw: MPSC.create(name, 4096, producers=2, **kw),
    "mpmc": lambda name, **kw: MPMC.create(name, 4096, producers=2, consumers=2, **kw),
    "broadcast": lambda name, **kw: PUB.create(name, 64, 4, **kw),
}
KINDS = list(CREATE)
METHODS = [m for m in ("fork", "spawn", "forkserver") if m in mp.get_all_start_methods()]

MESSAGE = b"from the child"


def _child(kind, handle, ready):
    """The child's half: it sends MESSAGE through the channel it was given
    (a subscriber receives it instead) and exits 0 when all went well."""
    if kind == "shared_memory":
        handle.map().write(MESSAGE, 0)
    elif kind == "broadcast":
        # A forked child cannot use its parent's Subscriber: it subscribes
        # through the Publisher it inherited.
        if isinstance(handle, velmora.Publisher):
            handle = handle.subscribe()
        ready.set()
        if handle.receive(timeout=60) != MESSAGE:
            sys.exit(3)
    else:
        handle.put(MESSAGE, timeout=60)
    handle.close()


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("kind", KINDS)
def test_an_anonymous_channel_works_in_a_child_process(kind, method):
    ctx = mp.get_context(method)
    made = CREATE[kind](None)
    given = made.subscribe() if kind == "broadcast" and method != "fork" else made
    ready = ctx.Event()
    child = ctx.Process(target=_child, args=(kind, given, ready))
    child.start()
    try:
        if kind == "shared_memory":
            child.join(60)
            assert made.map().read_range(0, len(MESSAGE)) == MESSAGE
        elif kind == "broadcast":
            assert ready.wait(60)
            if given is not made:
                given.close()  # the child opened a subscriber of its own
            made.publish(MESSAGE, timeout=60)
        else:
            assert made.get(timeout=60) == MESSAGE
        child.join(60)
        assert child.exitcode == 0
    finally:
        if child.is_alive():
            child.kill()
            child.join()
        made.close()


def test_what_an_anonymous_channel_shows_for_its_name():
    shm = SM.create(None, 4096)
    assert shm.name() is None
    assert repr(shm).startswith("SharedMemory(name=None, size=4096")
    for kind in ("mpsc", "mpmc", "broadcast"):
        with CREATE[kind](None) as handle:
            assert "(name=None," in repr(handle)
    shm.close()


@pytest.mark.parametrize("kind", KINDS)
def test_pickling_an_anonymous_channel_outside_a_process_start_is_refused(kind):
    made = CREATE[kind](None)
    handles = [made] + ([made.subscribe()] if kind == "broadcast" else []) + \
              ([made.map()] if kind == "shared_memory" else [])
    for handle in handles:
        with pytest.raises(TypeError, match="can be pickled only to start a multiprocessing Process") as err:
            pickle.dumps(handle)
        assert err.value.reason == "invalid_argument"
        handle.close()


def test_an_anonymous_view_pickles_into_a_spawned_child():
    ctx = mp.get_context("spawn")
    shm = SM.create(None, 4096)
    view = shm.map()
    child = ctx.Process(target=_write_through_view, args=(view,))
    child.start()
    child.join(60)
    assert child.exitcode == 0
    assert view.read_range(0, 5) == b"view!"
    view.close()
    shm.close()


def _write_through_view(view):
    view.write(b"view!", 0)


@pytest.mark.parametrize("kind", KINDS)
def test_replace_needs_a_name(kind):
    with pytest.raises(ValueError, match="replace=True needs a name") as err:
        CREATE[kind](None, replace=True)
    assert err.value.reason == "invalid_argument"


# ---- nothing left behind ---------------------------------------------------------

# Makes one anonymous channel of every kind, forks a child that takes a role
# in each (so that claims and bells are held in both processes), and waits to
# be killed.
_HOLD_ALL = r"""
import os, sys, velmora
SM, SPSC, MPSC, MPMC, PUB = (velmora.SharedMemory, velmora.SpscRingBuffer, velmora.MpscRingBuffer,
                             velmora.MpmcRingBuffer, velmora.Publisher)
view = SM.create(None, 4096).map()
spsc = SPSC.create(None, 4096)
mpsc = MPSC.create(None, 4096, producers=2)
mpmc = MPMC.create(None, 4096, producers=2, consumers=2)
pub = PUB.create(None, 64, 4, overflow="overwrite")
sub = pub.subscribe()
sub.fileno()   # a bell: an abstract socket and locks on the segment's file
spsc.fileno()
if os.fork() == 0:
    spsc.put(b"x"); mpsc.put(b"x"); mpmc.put(b"x")
    mine = pub.subscribe()
    mine.fileno()
    with view.write_locked():
        os.write(1, f"child {os.getpid()}\n".encode())
        sys.stdin.read()
else:
    spsc.get(timeout=60); mpsc.get(timeout=60); mpmc.get(timeout=60)
    pub.publish(b"x")
    os.write(1, f"parent {os.getpid()}\n".encode())
    sys.stdin.read()
"""


def _shm_names():
    return set(os.listdir("/dev/shm"))


def test_nothing_is_left_once_every_process_of_anonymous_channels_was_killed():
    before = _shm_names()
    proc = subprocess.Popen([sys.executable, "-c", _HOLD_ALL], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, start_new_session=True)
    # Both processes are in the new session's group: a failure ends them all.
    watchdog = threading.Timer(60, os.killpg, (proc.pid, signal.SIGKILL))
    watchdog.start()
    pids = {}
    try:
        for _ in range(2):
            line = proc.stdout.readline().split()
            assert len(line) == 2, proc.stderr.read() if proc.poll() is not None else line
            pids[line[0]] = int(line[1])
        mine = {p for p in _shm_names() - before if str(pids["parent"]) in p or str(pids["child"]) in p}
        assert not mine  # nothing named while they run either
        for pid in pids.values():
            os.kill(pid, signal.SIGKILL)
    finally:
        watchdog.cancel()
        try:
            os.killpg(proc.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        proc.wait()
    # Other developers' runs may add and remove their own names meanwhile:
    # anything of these two processes would carry one of their pids.
    left = {p for p in _shm_names() - before if any(str(pid) in p for pid in pids.values())}
    assert not left
    # The bells' abstract socket names went with their sockets.
    with open("/proc/net/unix") as table:
        assert not [line for line in table if "velmora." in line and any(
            f" {pid} " in line for pid in pids.values())]


_ANON_FD_COUNT = """
import os, velmora
r = velmora.SpscRingBuffer.create(None, 4096)
fd = []
for f in os.listdir("/proc/self/fd"):
    try:
        if os.readlink(f"/proc/self/fd/{f}").startswith("/memfd:velmora"):
            fd.append(int(f))
    except FileNotFoundError:  # the listing's own descriptor
        pass
print(len(fd) > 0, all(not os.get_inheritable(f) for f in fd))
"""


def test_an_anonymous_segment_is_a_close_on_exec_memfd():
    out = subprocess.run([sys.executable, "-c", _ANON_FD_COUNT], capture_output=True, text=True, timeout=60)
    assert out.stdout.split() == ["True", "True"], out.stderr


# ---- replace=True ------------------------------------------------------------------

def _leftover(kind, name):
    """A channel of `kind` left under `name` by a process that was killed
    while it held it (its roles claimed, a message in it)."""
    code = textwrap.dedent(f"""
        import os, signal, velmora
        SM, SPSC, MPSC, MPMC, PUB = (velmora.SharedMemory, velmora.SpscRingBuffer, velmora.MpscRingBuffer,
                                     velmora.MpmcRingBuffer, velmora.Publisher)
        kind, name = {kind!r}, {name!r}
        if kind == "shared_memory":
            SM.create(name, 4096).map().write(b"old", 0)
        elif kind == "broadcast":
            PUB.create(name, 64, 4).publish(b"old")
        elif kind == "spsc":
            SPSC.create(name, 4096).put(b"old")
        elif kind == "mpsc":
            MPSC.create(name, 4096, producers=2).put(b"old")
        else:
            MPMC.create(name, 4096, producers=2, consumers=2).put(b"old")
        os.kill(os.getpid(), signal.SIGKILL)
    """)
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert done.returncode == -signal.SIGKILL, done.stderr


@pytest.mark.parametrize("kind", KINDS)
def test_replace_takes_over_a_leftover_of_the_name(kind):
    name = unique_name("replace")
    _leftover(kind, name)
    try:
        with pytest.raises(FileExistsError):
            CREATE[kind](name)
        made = CREATE[kind](name, replace=True)
        # A new, empty channel: nothing of the old one's contents or roles.
        if kind == "shared_memory":
            assert made.map().read_range(0, 3) == b"\0\0\0"
        elif kind == "broadcast":
            sub = velmora.Subscriber.open(name)
            made.publish(b"new")
            assert sub.receive(timeout=60) == b"new"
            sub.close()
        else:
            assert made.pop() is None
            made.put(b"new", timeout=60)
            assert type(made).open(name).get(timeout=60) == b"new"
        made.close()
        # replace=True where nothing is left is a plain create.
        SM.remove(name)
        CREATE[kind](name, replace=True).close()
    finally:
        try:
            SM.remove(name)
        except FileNotFoundError:
            pass
