"""(d) A writer (and, every third round, a reader) SIGKILLed while it holds the
view lock, and the two recoveries: by hand while another live process has the
view open, and automatic when nobody else has.

Each round starts a process that writes (or reads) the whole 16 MiB data area
in a loop, so it holds the lock most of the time, watches the lock word
through a second mapping until it shows the hold, and kills the process.
Then:
  * the word must still show the dead holder (-1, or the reader count), and
    new callers must be kept out (readers and writers by a dead writer,
    writers by a dead reader): with `view.lock_timeout` where views have
    it (TimeoutError), otherwise a child process whose call must not return
    within WAIT_S (it is then killed; waiting callers never change the word);
  * the recovery: `view.reset_lock()` where views have it, else the word
    reset to 0 through a second mapping, as the README describes;
  * after it, the word is 0 and a full write and read round-trip exactly.
Rounds alternate. In a "peer" round another live process keeps a view of the
segment open for the whole round, so the dead holder cannot be told apart
from a live one and the checks above apply. In an "automatic" round nobody
else is attached: the next writer must get in by itself within 1 s, with a
LockRecoveredWarning naming the value it found, and the round trip follows.
A round in which the kill landed outside the hold is counted and repeated."""
import os
import random
import signal
import struct
import time
import warnings

import velmora

from common import CTX, SM, Result, make_segment, remove, second_mapping, unique_name

AREA = 16 << 20
WAIT_S = 0.25
PATTERNS = (b"\xa5", b"\x5a")


def _holder(name, role):
    view = SM.open(name).map()
    if role == "writer":
        blocks = [p * AREA for p in PATTERNS]
        i = 0
        while True:
            view.write(blocks[i % 2], 0)
            i += 1
    while True:
        view.read_all()


def _attempt(view, op):
    if op == "read":
        view.read_range(0, 1)
    else:
        view.write(b"\x00", 0)


def _try(name, op, conn):
    view = SM.open(name).map()
    conn.send("ready")
    _attempt(view, op)
    conn.send("got in")


def _peer(name, conn):
    """A live process with the view open until told to go."""
    view = SM.open(name).map()
    conn.send("ready")
    conn.recv()
    view.close()


def _recovered_by_itself(view):
    """The next writer's call; (got in, seconds, the warnings it gave)."""
    view.lock_timeout = 5.0
    t0 = time.monotonic()
    try:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            _attempt(view, "write")
        return True, time.monotonic() - t0, [w for w in caught if issubclass(w.category, velmora.LockRecoveredWarning)]
    except TimeoutError:
        return False, time.monotonic() - t0, []
    finally:
        view.lock_timeout = None


def _word(buf):
    return struct.unpack_from("<i", buf, 0)[0]


def _kept_out(name, view, op):
    """True when a new caller of kind `op` (read or write) cannot get the lock."""
    if hasattr(view, "lock_timeout"):
        view.lock_timeout = WAIT_S
        try:
            _attempt(view, op)
        except TimeoutError:
            return True
        finally:
            view.lock_timeout = None
        return False
    ours, theirs = CTX.Pipe()
    proc = CTX.Process(target=_try, args=(name, op, theirs), daemon=True)
    proc.start()
    try:
        if not ours.poll(30) or ours.recv() != "ready":
            return False
        return not ours.poll(WAIT_S)
    finally:
        os.kill(proc.pid, signal.SIGKILL)
        proc.join()


def _recover(view, raw):
    if hasattr(view, "reset_lock"):
        view.reset_lock()
        return "view.reset_lock()"
    struct.pack_into("<i", raw.buf, 0, 0)
    return "word reset through a second mapping"


def _end_peer(peer):
    if peer is not None:
        peer[1].send("go")
        peer[0].join(30)


def run(seconds):
    result = Result("(d) lock holder SIGKILLed")
    name = unique_name("holder")
    rng = random.Random()
    try:
        shm = make_segment(name, 4 + AREA)
        view = shm.map()
        raw = second_mapping(name)
        view.write(PATTERNS[0] * AREA, 0)
        stop = time.monotonic() + seconds
        rounds = 0
        how = None
        while time.monotonic() < stop:
            role = "reader" if rounds % 3 == 2 else "writer"
            automatic = rounds % 2 == 1
            peer = None
            if not automatic:
                ours, theirs = CTX.Pipe()
                peer = (CTX.Process(target=_peer, args=(name, theirs), daemon=True), ours)
                peer[0].start()
                if not ours.poll(30) or ours.recv() != "ready":
                    result.fault("peer did not start")
            proc = CTX.Process(target=_holder, args=(name, role), daemon=True)
            proc.start()
            held = -1 if role == "writer" else 1
            deadline = time.monotonic() + 30
            # Let it run a random while, then kill it as soon as the word shows its hold.
            time.sleep(rng.random() * 0.02)
            while _word(raw.buf) != held and time.monotonic() < deadline:
                pass
            os.kill(proc.pid, signal.SIGKILL)
            proc.join()
            rounds += 1
            word = _word(raw.buf)
            if word == 0:
                result.add("kills outside the hold")
                _end_peer(peer)
                continue
            if word != held:
                result.fault("unexpected lock word", example=f"{word} after killing a {role}")
            result.add(f"{role}s killed holding")
            if automatic:
                got_in, took, caught = _recovered_by_itself(view)
                if not got_in or took > 1.0:
                    result.fault("no automatic recovery within 1 s", example=f"{role}, {took:.2f} s, word {word}")
                elif not any(f"held {word} " in str(w.message) for w in caught):
                    result.fault("automatic recovery without its warning", example=f"{[str(w.message) for w in caught]}")
                else:
                    result.add("automatic recoveries")
            else:
                # A dead writer keeps everyone out; a dead reader keeps writers out.
                for op in ("read", "write") if role == "writer" else ("write",):
                    if not _kept_out(name, view, op):
                        result.fault("lock acquired past a dead holder", example=f"{op} got in, word {word}")
                how = _recover(view, raw)
                _end_peer(peer)
            if _word(raw.buf) != 0 or view.reader_count() != 0 or view.is_write_locked():
                result.fault("recovery left the word locked", example=f"word {_word(raw.buf)}")
                continue
            fresh = bytes([rounds % 251 + 1]) * AREA
            view.write(fresh, 0)
            if view.read_all() != fresh or bytes(raw.buf[4:4 + AREA]) != fresh:
                result.fault("data wrong after recovery")
            if _word(raw.buf) != 0:
                result.fault("word not 0 after a round trip", example=str(_word(raw.buf)))
            result.add("recoveries")
        raw.close()
    finally:
        remove(name)
    result.add("rounds", rounds)
    result.add("bytes", rounds * AREA)
    if how:
        result.notes.append(f"recovery: {how}")
    if result.counts.get("recoveries", 0) == 0:
        result.fault("no kill landed inside the hold", example=f"{rounds} rounds")
    if rounds >= 8 and result.counts.get("automatic recoveries", 0) == 0:
        result.fault("no automatic recovery happened", example=f"{rounds} rounds")
    return result
