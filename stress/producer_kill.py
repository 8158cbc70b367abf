"""(c) A producer SIGKILLed at random moments and restarted as an opener.

A push publishes its frame with one store of `tail`, so a producer killed at
any instant has published each frame whole or not at all. The producer keeps a
journal in memory shared with this process: before pushing message `seq` it
records the ring's `tail` (which only it writes) in slot seq % 2, then commits
`seq`. A restarted producer (a new process that opens the segment) compares
the ring's `tail` with the journal: unchanged means the frame in flight was
not published and is pushed again, moved means it was, and the next one
follows. The consumer, one process for the whole run, checks that every frame
is whole and the sequence continuous; at the end it must have exactly the
messages that were published.

Messages go up to 60 KiB, so a good share of the kills land inside a copy.

Each producer is a new process that must be given the producer role: the
killed one's claim must be gone by the time it is reaped (checked from this
process with has_producer()), and no restarted producer may be refused."""
import os
import random
import signal
import struct
import time

import velmora

from common import CTX, SM, Result, make_segment, remove, second_mapping, start_workers, unique_name, wait_workers

CAPACITY = 1 << 16
TABLE = 1009
_BLOCK = random.Random(11).randbytes(CAPACITY + 8192)


def _sizes():
    rng = random.Random(5)
    return [rng.randint(0, CAPACITY - 4) if rng.random() < 0.3 else rng.randint(0, 64) for _ in range(TABLE)]


SIZES = _sizes()


def message(seq):
    n = SIZES[seq % TABLE]
    head = seq.to_bytes(8, "little")
    if n <= 8:
        return head[:n]
    start = (seq * 104729) % 8192
    return head + _BLOCK[start:start + n - 8]


def _tail(buf):
    return struct.unpack_from("<Q", buf, 8)[0]


def _producer(name, journal, refused):
    """Runs until killed. journal: [committed seq, tail before slot 0, tail before slot 1].
    A refused producer role is counted in `refused` and ends the process."""
    raw = second_mapping(name)  # to read our own `tail`
    ring = SM.open(name).spsc()
    seq = journal[0]
    if _tail(raw.buf) != journal[1 + seq % 2]:
        seq += 1  # the frame in flight was published before the kill
    spins = 0
    while True:
        journal[1 + seq % 2] = _tail(raw.buf)
        journal[0] = seq
        msg = message(seq)
        try:
            while not ring.push(msg):
                spins += 1
                if spins % 64 == 0:
                    time.sleep(0.00005)
        except BlockingIOError:
            # Only the first push takes the role; nothing was published.
            with refused.get_lock():
                refused.value += 1
            return
        seq += 1


def _consumer(name, final, progress, slot):
    ring = SM.open(name).spsc()
    seq = nbytes = bad = spins = 0
    example = None
    while True:
        msg = ring.pop()
        if msg is None:
            if final.value and seq >= final.value - 1:
                break
            spins += 1
            progress[slot] = seq + spins
            if spins % 64 == 0:
                time.sleep(0.00005)
            continue
        if msg != message(seq):
            bad += 1
            if example is None:
                got = int.from_bytes(bytes(msg[:8]).ljust(8, b"\0"), "little")
                example = f"expected message {seq} ({len(message(seq))} bytes), got {len(msg)} bytes (seq field {got})"
            # Resynchronise on the sequence field, so one fault is counted once.
            if len(msg) >= 8:
                seq = int.from_bytes(msg[:8], "little")
        nbytes += len(msg)
        seq += 1
        progress[slot] = seq + spins
    return {"messages": seq, "bytes": nbytes, "bad": bad, "example": example, "used": ring.used()}


def run(seconds):
    result = Result("(c) producer SIGKILLed and restarted")
    name = unique_name("kill")
    rng = random.Random()
    try:
        shm = make_segment(name, velmora.SpscRingBuffer.segment_size(CAPACITY))
        watch = shm.spsc()  # takes no role: only asks has_producer()
        raw = second_mapping(name)
        refused = CTX.Value("Q", 0)
        stale = 0
        journal = CTX.RawArray("Q", 3)  # seq 0 in flight, tail before it 0
        final = CTX.RawValue("Q", 0)    # 1 + messages published, set once the kills are over
        kills = republished = 0

        consumer = start_workers([(_consumer, (name, final))])
        stop = time.monotonic() + seconds
        while time.monotonic() < stop:
            proc = CTX.Process(target=_producer, args=(name, journal, refused), daemon=True)
            proc.start()
            time.sleep(rng.choice((0, 0.0002, 0.001, 0.003, 0.01, 0.03)) * rng.random())
            os.kill(proc.pid, signal.SIGKILL)
            proc.join()
            kills += 1
            # Reaped: the system has dropped its claim (a 100 ms allowance).
            gone_by = time.monotonic() + 0.1
            while watch.has_producer() and time.monotonic() < gone_by:
                time.sleep(0.001)
            if watch.has_producer():
                stale += 1
            seq = journal[0]
            if _tail(raw.buf) == journal[1 + seq % 2]:
                republished += 1  # its next incarnation pushes `seq` again
        # Published: everything before the frame in flight, and that one if its tail store happened.
        seq = journal[0]
        published = seq + (_tail(raw.buf) != journal[1 + seq % 2])
        final.value = published + 1
        (cons,) = wait_workers(result, consumer, 0, stall_seconds=30.0, grace=60.0)
        raw.close()
    finally:
        remove(name)
    result.add("kills", kills)
    result.fault("producer claim outlived its killed holder", stale)
    result.fault("restarted producer refused the role", refused.value)
    result.add("kills before the frame in flight was published", republished)
    result.add("messages published", published)
    if cons is None:
        return result
    result.add("messages", cons["messages"])
    result.add("bytes", cons["bytes"])
    result.fault("torn, lost or repeated message", cons["bad"], example=cons["example"])
    if cons["messages"] != published:
        result.fault("count mismatch", example=f"published {published}, consumed {cons['messages']}")
    if cons["used"] != 0:
        result.fault("ring not empty at the end", example=f"used {cons['used']}")
    if kills < 10:
        result.fault("too few kills to mean anything", example=str(kills))
    return result
