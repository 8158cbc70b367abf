"""(a) 4 writers and 4 readers on one MappedView.

The data area holds SLOTS records of 256 bytes. Every record is
self-consistent: a 12-byte key (writer id, sequence number) repeated to fill
256 bytes, so any mixture of two writes fails `intact()`. Writers put new
records into random slots with `write` (and `write_mixed`); readers check
slots with `read_range` and now and then the whole area with `read_all`.
No torn read is allowed.

Behind the records lie three i64 counters. Once per batch every writer adds 1
to the first two in one `write_locked()` block (read, add, write back: two
read-modify-writes under one hold) and 1 to the third with the lock-free
`add`; once per batch every reader reads the first two in one `read_locked()`
block and they must be equal. At the end each counter must hold exactly the
number of increments the writers made.

The control runs the same readers and the same check against writers that
bypass the lock (a standard-library mapping, each record written in four
pieces): the check must see tearing there, or it proves nothing."""
import random
import struct
import time

from common import SM, Result, make_segment, remove, run_workers, second_mapping, unique_name

REC = 256
SLOTS = 8
AREA = REC * SLOTS
PAIR = (AREA + 4, AREA + 12)  # i64 words: aligned in the mapping (offset % 8 == 4)
ATOMIC = AREA + 20
SEGMENT = 4 + AREA + 32
LOCK_TIMEOUT = 30.0  # used where views have a lock timeout: a longer wait is a fault


def record(writer, seq):
    key = struct.pack("<IQ", writer, seq)
    return (key * (REC // len(key) + 1))[:REC]


def intact(rec):
    return rec == (rec[:12] * (REC // 12 + 1))[:REC] and rec[:4] != b"\0\0\0\0"


def _word(view, at):
    return int.from_bytes(view.read_range(at, 8), "little", signed=True)


def _scoped_increments(view):
    """Both counters of PAIR up by one, as read-modify-writes under one hold."""
    with view.write_locked():
        for at in PAIR:
            view.write(_word(view, at) + 1, at)


def _open_view(name):
    view = SM.open(name).map()
    if hasattr(view, "lock_timeout"):
        view.lock_timeout = LOCK_TIMEOUT
    return view


def _writer(name, writer_id, seconds, progress, slot):
    view = _open_view(name)
    rng = random.Random(writer_id)
    stop = time.monotonic() + seconds
    seq = writes = increments = 0
    while time.monotonic() < stop:
        _scoped_increments(view)
        view.add(ATOMIC, 1)
        increments += 1
        for _ in range(64):
            seq += 1
            rec = record(writer_id, seq)
            at = rng.randrange(SLOTS) * REC
            if seq % 8 == 0:
                view.write_mixed([rec], at)
            else:
                view.write(rec, at)
        writes += 64
        progress[slot] = writes
    return {"writes": writes, "increments": increments}


def _reader(name, reader_id, seconds, progress, slot):
    view = _open_view(name)
    rng = random.Random(1000 + reader_id)
    stop = time.monotonic() + seconds
    reads = torn = split = 0
    example = None
    while time.monotonic() < stop:
        with view.read_locked():
            first, second = (_word(view, at) for at in PAIR)
        if first != second:
            split += 1
            example = example or f"counters {first} != {second} in one read_locked() block"
        for i in range(64):
            if i == 63:
                whole = view.read_all()
                recs = [whole[k:k + REC] for k in range(0, AREA, REC)]
            else:
                at = rng.randrange(SLOTS) * REC
                recs = [view.read_range(at, REC)]
            for rec in recs:
                reads += 1
                if not intact(rec):
                    torn += 1
                    example = example or rec[:40].hex()
        progress[slot] = reads
    return {"reads": reads, "torn": torn, "split": split, "example": example}


def _unlocked_writer(name, writer_id, seconds, progress, slot):
    """Writes records straight into the mapping, without the lock, in four pieces."""
    raw = second_mapping(name)
    buf = raw.buf
    rng = random.Random(writer_id)
    stop = time.monotonic() + seconds
    seq = 0
    try:
        while time.monotonic() < stop:
            for _ in range(64):
                seq += 1
                rec = record(writer_id, seq)
                at = 4 + rng.randrange(SLOTS) * REC
                for k in range(0, REC, 64):
                    buf[at + k:at + k + 64] = rec[k:k + 64]
            progress[slot] = seq
    finally:
        del buf
        raw.close()
    return {"writes": seq}


def _run(result, name, writer_fn, seconds):
    specs = [(writer_fn, (name, w + 1, seconds)) for w in range(4)]
    specs += [(_reader, (name, r, seconds)) for r in range(4)]
    reports = run_workers(result, specs, seconds)
    writes = sum(r["writes"] for r in reports[:4] if r)
    increments = sum(r.get("increments", 0) for r in reports[:4] if r)
    readers = [r for r in reports[4:] if r]
    return writes, increments, readers


def run(seconds):
    result = Result("(a) view, 4 writers + 4 readers")
    name = unique_name("view")
    try:
        shm = make_segment(name, SEGMENT)
        view = shm.map()  # the creator's map leaves the word unlocked
        for s in range(SLOTS):
            view.write(record(99, s + 1), s * REC)

        writes, increments, readers = _run(result, name, _writer, seconds)
        reads = sum(r["reads"] for r in readers)
        torn = sum(r["torn"] for r in readers)
        result.add("operations", writes + reads)
        result.add("writes", writes)
        result.add("reads", reads)
        result.add("bytes", (writes + reads) * REC)
        result.add("torn reads", torn)
        result.fault("torn read", torn, example=next((r["example"] for r in readers if r["example"]), None))
        split = sum(r["split"] for r in readers)
        result.add("scoped increments", increments)
        result.add("split counter reads", split)
        result.fault("counters unequal inside read_locked()", split,
                     example=next((r["example"] for r in readers if r["example"]), None))
        counters = [_word(view, at) for at in (*PAIR, ATOMIC)]
        if counters != [increments] * 3:
            result.fault("lost increments", example=f"counters {counters}, writers made {increments} each")
        if writes == 0 or reads == 0:
            result.fault("no overlap", example=f"{writes} writes, {reads} reads")
        if view.reader_count() != 0 or view.is_write_locked():
            result.fault("lock word not released", example=repr(view))
            raw = second_mapping(name)  # recover, so that this process can go on
            struct.pack_into("<i", raw.buf, 0, 0)
            raw.close()
        whole = view.read_all()
        bad = [k for k in range(SLOTS) if not intact(whole[k * REC:(k + 1) * REC])]
        result.fault("torn record at rest", len(bad), example=f"slots {bad}")

        # The control: the same check must see the tearing of unlocked writes.
        control_seconds = min(5.0, max(1.0, seconds / 4))
        _, _, creaders = _run(result, name, _unlocked_writer, control_seconds)
        ctorn = sum(r["torn"] for r in creaders)
        creads = sum(r["reads"] for r in creaders)
        result.add("control torn reads", ctorn)
        result.add("control reads", creads)
        if ctorn == 0:
            result.fault("control saw no tearing",
                         example=f"0 torn of {creads} reads with unlocked writers: the check proves nothing")
    finally:
        remove(name)
    return result
