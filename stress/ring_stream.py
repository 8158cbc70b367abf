"""(b) A ring stream between two processes at capacities 8, 64, 4096 and 1 MiB.

Message `seq` has a size from a fixed random table (0 .. capacity - 4, the
edges often) and content derived from seq alone, so the consumer rebuilds
each expected message and compares every byte: a lost, duplicated,
reordered, torn or corrupted message is a mismatch. Before either side
starts, head = tail is forged to just below 2^64 in the freshly created
ring's header, so the counters wrap during the run.

Where the ring has them, the blocking and batch calls take turns with
push/pop: put/get (waits with timeouts), push_many/pop_many."""
import queue
import random
import struct
import time

import velmora

from common import CTX, SM, Result, make_segment, remove, run_workers, second_mapping, unique_name

CAPACITIES = (8, 64, 4096, 1 << 20)
TABLE = 1009          # sizes repeat with this period (prime, so unrelated to modes)
TWO64 = 1 << 64
WAIT_TIMEOUT = 30.0   # a blocking call that waits this long on a live peer is a fault
_BLOCK = random.Random(7).randbytes((1 << 20) + 4096)


def sizes_for(capacity):
    rng = random.Random(capacity)
    top = capacity - 4
    table = []
    for _ in range(TABLE):
        pick = rng.random()
        if pick < 0.1:
            table.append(top)
        elif pick < 0.2:
            table.append(0)
        elif pick < 0.6:
            table.append(rng.randint(0, min(top, 40)))
        else:
            table.append(rng.randint(0, top))
    return table


def message(seq, sizes):
    n = sizes[seq % TABLE]
    head = seq.to_bytes(8, "little")
    if n <= 8:
        return head[:n]
    start = (seq * 7919) % 4096
    return head + _BLOCK[start:start + n - 8]


def _modes(ring, producer):
    """The ways of moving messages this ring offers, taken in turns."""
    names = ["push", "put", "push_many"] if producer else ["pop", "get", "pop_many"]
    return [m for m in names if hasattr(ring, m)]


def _producer(name, capacity, seconds, produced, done, progress, slot):
    ring = SM.open(name).spsc()
    sizes = sizes_for(capacity)
    modes = _modes(ring, True)
    stop = time.monotonic() + seconds
    seq = spins = 0
    used_modes = set()
    try:
        while time.monotonic() < stop:
            mode = modes[(seq // 97) % len(modes)]
            used_modes.add(mode)
            if mode == "push_many":
                batch = [message(s, sizes) for s in range(seq, seq + 16)]
                n = ring.push_many(batch)
                if not 0 <= n <= len(batch):
                    raise AssertionError(f"push_many returned {n} for {len(batch)} values")
                seq += n
                ok = n > 0
            elif mode == "put":
                try:
                    ring.put(message(seq, sizes), timeout=WAIT_TIMEOUT)
                except queue.Full:
                    raise AssertionError(f"put waited {WAIT_TIMEOUT} s with a live consumer") from None
                seq += 1
                ok = True
            else:
                ok = ring.push(message(seq, sizes))
                seq += ok
            produced.value = seq
            progress[slot] = seq + spins
            if not ok:
                spins += 1
                if spins % 64 == 0:
                    time.sleep(0.00005)
    finally:
        produced.value = seq
        done.value = 1
    return {"messages": seq, "modes": sorted(used_modes)}


def _consumer(name, capacity, produced, done, progress, slot):
    ring = SM.open(name).spsc()
    sizes = sizes_for(capacity)
    modes = _modes(ring, False)
    seq = nbytes = bad = spins = 0
    example = None
    used_modes = set()
    while True:
        mode = modes[(seq // 89) % len(modes)]
        used_modes.add(mode)
        if mode == "pop_many":
            got = ring.pop_many(16)
        elif mode == "get":
            try:
                got = [ring.get(timeout=0.01)]
            except queue.Empty:
                got = []
        else:
            msg = ring.pop()
            got = [] if msg is None else [msg]
        for msg in got:
            want = message(seq, sizes)
            if msg != want:
                bad += 1
                if example is None:
                    at = next((i for i, (a, b) in enumerate(zip(msg, want)) if a != b), min(len(msg), len(want)))
                    example = (f"message {seq}: {len(msg)} bytes, expected {len(want)}; first difference at byte "
                               f"{at}: {bytes(msg[at:at + 8]).hex()} instead of {want[at:at + 8].hex()}")
            nbytes += len(msg)
            seq += 1
        progress[slot] = seq + spins
        if not got:
            if done.value and seq >= produced.value:
                break
            spins += 1
            if spins % 64 == 0:
                time.sleep(0.00005)
    return {"messages": seq, "bytes": nbytes, "bad": bad, "example": example,
            "left": ring.pop(), "used": ring.used(), "modes": sorted(used_modes)}


def run_one(result, capacity, seconds, start):
    name = unique_name(f"ring{capacity}")
    try:
        shm = make_segment(name, velmora.SpscRingBuffer.segment_size(capacity))
        shm.spsc()  # the creator's attach initialises the header
        raw = second_mapping(name)
        struct.pack_into("<QQ", raw.buf, 0, start, start)  # head, tail: fresh ring, not yet in use
        produced, done = CTX.RawValue("Q", 0), CTX.RawValue("b", 0)
        reports = run_workers(result, [(_producer, (name, capacity, seconds, produced, done)),
                                       (_consumer, (name, capacity, produced, done))], seconds)
        head, tail = struct.unpack_from("<QQ", raw.buf, 0)
        raw.close()
    finally:
        remove(name)
    prod, cons = reports
    if not (prod and cons):
        return
    tag = f"capacity {capacity}"
    result.add("messages", cons["messages"])
    result.add("bytes", cons["bytes"])
    result.fault("corrupt, lost or reordered message", cons["bad"], example=cons["example"] and f"{tag}: {cons['example']}")
    if cons["messages"] != prod["messages"]:
        result.fault("count mismatch", example=f"{tag}: produced {prod['messages']}, consumed {cons['messages']}")
    if cons["left"] is not None or cons["used"] != 0:
        result.fault("ring not empty at the end", example=f"{tag}: used {cons['used']}")
    moved = (tail - start) % TWO64
    if head != tail or not tail < start or moved < capacity:
        result.fault("counters did not wrap", example=f"{tag}: start {start}, head {head}, tail {tail}")
    result.notes.append(f"{tag}: {cons['messages']} messages, {cons['bytes']} bytes, tail {start} -> {tail}; "
                        f"producer {'/'.join(prod['modes'])}, consumer {'/'.join(cons['modes'])}")


def run(seconds):
    result = Result("(b) ring stream")
    rng = random.Random()
    for capacity in CAPACITIES:
        # A few frames before the wrap at most: it happens early in the run.
        start = TWO64 - rng.randint(1, 3 * capacity)
        run_one(result, capacity, seconds / len(CAPACITIES), start)
    return result
