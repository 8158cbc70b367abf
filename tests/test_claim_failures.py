"""A claim that cannot be taken for a reason other than a live holder (here the
open-file limit, EMFILE) fails the call that needed it and changes nothing:
no role, attachment or lock is ever used unclaimed, and no lock word is reset
unless its holder is known to be dead. Each scenario runs in a child
interpreter, which lowers its own RLIMIT_NOFILE."""
import errno
import os
import subprocess
import sys
import textwrap

import pytest

import velmora
from conftest import UNDER_ASAN

SM = velmora.SharedMemory

PRELUDE = """
import errno, os, resource, sys, velmora
SM = velmora.SharedMemory
name = sys.argv[1]
SOFT, HARD = resource.getrlimit(resource.RLIMIT_NOFILE)
def limit(spare):
    # only `spare` descriptors left: the lowest free one and those above it
    fd = os.open(os.devnull, os.O_RDONLY)
    os.close(fd)
    resource.setrlimit(resource.RLIMIT_NOFILE, (fd + spare, HARD))
def unlimit():
    resource.setrlimit(resource.RLIMIT_NOFILE, (SOFT, HARD))
def refused(call):
    try:
        call()
    except OSError as exc:
        return exc.errno
    return "accepted"
"""


def run(code, name, timeout=60):
    try:
        proc = subprocess.run([sys.executable, "-c", PRELUDE + textwrap.dedent(code), name],
                              capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired as e:
        pytest.fail(f"hung for {timeout} s; output so far: {e.stdout!r} {e.stderr!r}")
    assert proc.returncode == 0, f"exit {proc.returncode}: {proc.stdout[-1000:]} {proc.stderr[-2000:]}"
    return proc.stdout.split()


# Per case: the segment as the test makes it, the child's calls (what it
# prints is compared with `expect`), and what the test then finds in the
# segment. By-name opens leave one descriptor: enough to open the segment
# (checked first), not for the claim file as well.
CASES = {
    "ring producer": (
        lambda n: SM.create(n, velmora.SpscRingBuffer.segment_size(4096)).spsc(),
        """
        sm = SM.open(name)
        limit(0)
        print(refused(lambda: sm.spsc().put(b"torn")))
        unlimit()
        sm.spsc().put(b"ok")
        """,
        lambda ring: (ring.pop(), ring.pop(), ring.has_producer()),
        (b"ok", None, False)),
    "ring consumer": (
        lambda n: SM.create(n, velmora.SpscRingBuffer.segment_size(4096)).spsc(),
        """
        sm = SM.open(name)
        limit(0)
        print(refused(lambda: sm.spsc().pop()))
        unlimit()
        print(sm.spsc().pop().decode())
        """,
        lambda ring: (ring.has_consumer(), ring.pop()),
        (False, None)),
    "fan-in producer": (
        lambda n: velmora.MpscRingBuffer.create(n, 4096, producers=2),
        """
        limit(1)
        SM.open(name).close()
        print(refused(lambda: velmora.MpscRingBuffer.open(name).put(b"torn")))
        unlimit()
        velmora.MpscRingBuffer.open(name).put(b"ok")
        """,
        lambda ring: (ring.pop(), ring.pop(), ring.has_producer()),
        (b"ok", None, False)),
    "broadcast subscriber": (
        lambda n: velmora.Publisher.create(n, 64, 4, subscribers=1),
        """
        limit(1)
        SM.open(name).close()
        print(refused(lambda: velmora.Subscriber.open(name)))
        unlimit()
        with velmora.Subscriber.open(name) as sub:
            print(sub.has_publisher())
        """,
        lambda pub: (pub.subscribers(),),
        ([],)),
    "view write_locked": (
        lambda n: SM.create(n, 64).map(),
        """
        sm = SM.open(name)
        limit(0)
        def write():
            with sm.map().write_locked() as v:
                v.write(b"torn")
        print(refused(write))
        unlimit()
        sm.map().write(b"ok")
        """,
        lambda view: (view.read_range(0, 2), view.is_write_locked()),
        (b"ok", False)),
}


@pytest.mark.parametrize("case", sorted(CASES))
def test_a_claim_file_that_cannot_be_opened_fails_the_call_and_changes_nothing(seg_name, case):
    make, code, inspect, expected = CASES[case]
    obj = make(seg_name)
    if case == "ring consumer":
        obj.put(b"kept")  # for the consumer that fails to leave in place
    out = run(code, seg_name)
    assert out[0] == str(errno.EMFILE), out
    if case == "ring consumer":
        assert out[1:] == ["kept"]  # the failed call took nothing: the later one gets it
    if case == "broadcast subscriber":
        assert out[1:] == ["True"]
    assert inspect(obj) == expected
    obj.close()


# A fork child made with no descriptor to spare cannot open the claim file
# again: it can neither attach to a view nor tell whether a lock word's holder
# is alive. Holding the lock unattached would let the other process reset it
# under the child's feet; waiting on a lock it cannot judge would reset a live
# holder's word. Both fail with EMFILE instead, until a handle of the segment
# opened in the child (with the limit raised) gives the claims back.
FORK = """
sm = SM.open(name)
view = sm.map()
view.lock_timeout = 5
r, w = os.pipe()
limit(0)
pid = os.fork()
if pid == 0:
    def call():
        with view.write_locked() as v:
            v.write(b"child")
    os.write(w, str(refused(call)).encode() + b" ")
    unlimit()
    if ROLE == "holds":
        SM.open(name).map()
        call()
    os.write(w, b"done")
    os._exit(0)
os.close(w)
os.waitpid(pid, 0)
out = b""
while chunk := os.read(r, 100):
    out += chunk
print(out.decode())
"""


# The address sanitizer's runtime needs descriptors of its own in a fork
# child: at the limit the child dies before it reports (the rest of this file
# runs under it).
@pytest.mark.skipif(UNDER_ASAN, reason="a fork child with no descriptor to spare dies in the sanitizer's runtime")
@pytest.mark.parametrize("role", ["holds", "waits"])
def test_a_fork_child_without_its_claims_neither_holds_nor_recovers_a_view_lock(seg_name, role):
    view = SM.create(seg_name, 64).map()
    if role == "waits":
        # A live holder in this process: the child must not take its word
        # for a dead holder's.
        with view.write_locked():
            view.write(b"parent")
            out = run(f"ROLE = {role!r}\n" + FORK, seg_name)
            assert view.is_write_locked()
        assert view.read_range(0, 6) == b"parent"
    else:
        out = run(f"ROLE = {role!r}\n" + FORK, seg_name)
        assert view.read_range(0, 5) == b"child"  # written once the claims were back
    assert out == [str(errno.EMFILE), "done"]
    assert not view.is_write_locked()
    view.close()
