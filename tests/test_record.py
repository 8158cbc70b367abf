"""velmora.Record: the layout rule, typed fields read as plain values,
all-or-nothing updates, read-modify-write in a locked() block, consistent
snapshots across processes, the lock-free add, and guarded records: the
write-in-progress word that exposes a writer killed mid-write and lets
snapshots read without the lock."""
import multiprocessing
import operator
import os
import pickle
import signal
import struct
import sys
import threading

import pytest

import velmora
from conftest import attached_peer, reap, start_all
from test_view import RawSegment

SM = velmora.SharedMemory
Record = velmora.Record
SPAWN = multiprocessing.get_context("spawn")
FIELDS = {"count": "i64", "temp": "f64", "name": ("str", 32)}
CODES = {"i64": "q", "int": "q", "u64": "Q", "i32": "i", "u8": "B", "f32": "f", "float": "d", "f64": "d"}


@pytest.fixture
def area(seg_name):
    view = SM.create(seg_name, 4 + 256).map()
    raw = RawSegment(seg_name)
    yield view, raw
    raw.close()


@pytest.mark.parametrize(("fields", "offset", "expected"), [
    (FIELDS, 0, [("count", "i64", 4, 8), ("temp", "f64", 12, 8), ("name", "str", 20, 36)]),
    # Aligned in the mapping (data offset + 4), each field to its own size.
    ({"flag": "bool", "n": "i32", "big": "u64", "b": "u8", "f": "f32"}, 0,
     [("flag", "bool", 0, 1), ("n", "i32", 4, 4), ("big", "u64", 12, 8), ("b", "u8", 20, 1), ("f", "f32", 24, 4)]),
    ({"s": ("str", 3), "x": "float", "i": "int"}, 1,
     [("s", "str", 4, 7), ("x", "float", 12, 8), ("i", "int", 20, 8)]),
    ({"a": "u8", "b": "i64"}, 100, [("a", "u8", 100, 1), ("b", "i64", 108, 8)]),
])
def test_layout_is_fixed_by_the_fields(area, fields, offset, expected):
    view, raw = area
    assert Record.layout(fields, offset) == expected
    rec = Record(view, fields, offset=offset)
    assert rec.size == expected[-1][2] + expected[-1][3] - offset
    # Every field lands at its documented place, as a C++ reader would find it.
    for name, tag, at, size in expected:
        if tag == "str":
            rec.update(**{name: "ab"})
            assert raw.data()[at:at + 6] == b"\x02\x00\x00\x00ab"
        elif tag == "bool":
            setattr(rec, name, True)
            assert raw.data()[at] == 1
        else:
            setattr(rec, name, 7)
            assert struct.unpack_from("<" + CODES[tag], raw.data(), at)[0] == 7
    if "i64" in (t for _, t, _, _ in expected):
        off = next(at for _, t, at, _ in expected if t == "i64")
        assert view.load(off) == 7  # i64 fields are words for the lock-free calls


@pytest.mark.parametrize(("fields", "offset", "error"), [
    ({}, 0, "at least one field"),
    ({"x": "i128"}, 0, "unknown type"),
    ({"x": ("str", 0)}, 0, "budget"),
    ({"x": ("bytes", 4)}, 0, "unknown type"),
    ({"_x": "i64"}, 0, "not usable"),
    ({"snapshot": "i64"}, 0, "not usable"),
    ({"not an id": "i64"}, 0, "not usable"),
    ({"class": "i64"}, 0, "not usable"),
    ({"self": "i64"}, 0, "not usable"),
    ({"x": "i64"}, -1, "offset must be"),
    ({"x": ("str", 250)}, 8, "out of bounds: offset=8 + length=254 > data_size=256"),
])
def test_bad_fields_are_refused(area, fields, offset, error):
    view, _ = area
    with pytest.raises(ValueError, match=error.replace("+", r"\+")):
        Record(view, fields, offset=offset)


def test_fields_read_and_write_by_name(area):
    view, _ = area
    rec = Record(view, {**FIELDS, "ok": "bool", "small": "u8"})
    rec.count, rec.temp, rec.name, rec.ok, rec.small = -5, 2.5, "héllo", True, 255
    assert (rec.count, rec.temp, rec.name, rec.ok, rec.small) == (-5, 2.5, "héllo", True, 255)
    assert rec.snapshot() == {"count": -5, "temp": 2.5, "name": "héllo", "ok": True, "small": 255}
    # A second Record over the same fields (another process's) sees the same.
    assert Record(view, FIELDS).snapshot() == {"count": -5, "temp": 2.5, "name": "héllo"}
    # The values are plain to the outside world.
    assert pickle.loads(pickle.dumps([rec.count, rec.temp, rec.name])) == [-5, 2.5, "héllo"]
    assert type(pickle.loads(pickle.dumps(rec.count))) is int
    with pytest.raises(AttributeError):
        rec.missing
    with pytest.raises(AttributeError):
        rec.missing = 1
    with pytest.raises(AttributeError):
        del rec.count


@pytest.mark.parametrize(("values", "exc", "match"), [
    ({"count": 1.5}, TypeError, "'count'"),
    ({"count": "1"}, TypeError, "'count'"),
    ({"count": 2**63}, ValueError, "'count'"),
    ({"temp": "warm"}, TypeError, "'temp'"),
    ({"name": b"raw"}, TypeError, "'name' is a str"),
    ({"name": "x" * 33}, ValueError, "33 UTF-8 bytes exceed its budget of 32"),
    ({"other": 1}, TypeError, "unexpected field 'other'"),
])
def test_a_bad_value_writes_nothing(area, values, exc, match):
    view, raw = area
    rec = Record(view, FIELDS)
    rec.update(count=1, temp=1.0, name="before")
    before = raw.data()
    with pytest.raises(exc, match=match):
        rec.update(**{"count": 2, "temp": 2.0, "name": "after", **values})
    assert raw.data() == before
    name, value = next(iter(values.items()))
    if name != "other":
        with pytest.raises(exc, match=match):
            setattr(rec, name, value)
        assert raw.data() == before


def test_a_record_of_numbers_writes_all_fields_in_one_piece(area):
    # Its snapshot() and update() of every field are written out for its
    # layout; every other update goes the general way. Both must agree.
    view, raw = area
    given = {"a": "i64", "small": "u8", "b": "f64", "c": "u32"}
    rec = Record(view, given, offset=2)
    assert isinstance(rec, Record) and type(rec).__name__ == "Record"
    assert [at for _, _, at, _ in Record.layout(given, 2)] == [4, 12, 20, 28]
    raw.fill(b"\xff" * 40)
    rec.update(a=-1, small=2, b=3.5, c=4)
    # The record's padding is zeroed (from its offset on), nothing before it.
    assert raw.data()[:4] == b"\xff\xff\x00\x00" and raw.data()[13:20] == bytes(7)
    assert rec.snapshot() == {"a": -1, "small": 2, "b": 3.5, "c": 4}
    assert struct.unpack_from("<qBxxxxxxxdI", raw.data(), 4) == (-1, 2, 3.5, 4)
    rec.update(b=1.0, c=5)
    assert rec.snapshot() == {"a": -1, "small": 2, "b": 1.0, "c": 5}
    before = raw.data()
    for values, exc in [({"a": 1.5}, TypeError), ({"small": 256}, ValueError), ({"c": -1}, ValueError),
                        ({"d": 1}, TypeError)]:
        with pytest.raises(exc):
            rec.update(**{"a": 1, "small": 1, "b": 0.0, "c": 1, **values})
        assert raw.data() == before, values


def test_a_shorter_string_is_padded_and_a_forged_count_is_refused(area):
    view, raw = area
    rec = Record(view, FIELDS)
    rec.name = "x" * 32
    rec.name = "ab"
    assert raw.data()[20:56] == b"\x02\x00\x00\x00ab" + bytes(30)
    raw.fill(struct.pack("<I", 33), at=20)  # more bytes than the budget holds
    for read in (lambda: rec.name, rec.snapshot):
        with pytest.raises(ValueError, match="stored byte count 33 exceeds its budget of 32"):
            read()


def test_update_writes_only_the_named_fields(area):
    view, raw = area
    rec = Record(view, {"a": "i64", "gap": "i64", "b": "u8", "c": "f64", "s": ("str", 4)})
    rec.update(a=1, gap=2, b=3, c=4.0, s="s")
    for _ in range(2):  # the second round takes the remembered packing
        rec.update(b=3, s="s")
        rec.update(c=5.0, a=6)
        rec.update(a=7, gap=8)
        assert rec.snapshot() == {"a": 7, "gap": 8, "b": 3, "c": 5.0, "s": "s"}
        rec.update(b=9, s="t")
        assert rec.snapshot() == {"a": 7, "gap": 8, "b": 9, "c": 5.0, "s": "t"}
    rec.update()  # nothing to do


def _aug(op, operand):
    def apply(x):
        return op(x, operand)  # operator.iadd(x, 1) is `x += 1`
    return apply


@pytest.mark.parametrize(("field", "start", "change", "local", "meanwhile"), [
    # The value read is a copy: a later store of it does not redo the += on
    # whatever another process wrote in between.
    ("count", 6, _aug(operator.iadd, 1), 7, 100),
    ("count", 5, _aug(operator.itruediv, 2), 2.5, 100),
    ("count", 4, _aug(operator.ipow, -1), 0.25, 100),
    ("name", "ab", _aug(operator.iadd, "c"), "abc", "zz"),
])
def test_a_value_read_is_plain_and_stores_as_it_is(area, field, start, change, local, meanwhile):
    view, _ = area
    rec = Record(view, FIELDS)
    setattr(rec, field, start)
    x = change(getattr(rec, field))
    assert x == local and type(x) is type(local)
    assert getattr(rec, field) == start  # nothing stored yet
    Record(view, FIELDS).update(**{field: meanwhile})  # another writer
    target = field if type(local) is type(start) else "temp"
    for _ in range(2):  # storing it twice stores the same value
        setattr(rec, target, x)
        assert getattr(rec, target) == local


@pytest.mark.parametrize("guarded", [False, True])
@pytest.mark.parametrize(("tag", "value"), [
    ("i64", -2**63), ("int", 2**63 - 1), ("u64", 2**64 - 1), ("i32", -5), ("u32", 7), ("u8", 255),
    ("f64", 0.1), ("float", -1.5), ("f32", 0.5), ("bool", True), (("str", 8), "héllo"),
])
def test_every_tag_reads_as_its_plain_type(area, tag, value, guarded):
    view, _ = area
    rec = Record(view, {"pad": "u8", "x": tag}, guarded=guarded)
    rec.x = value
    for got in (rec.x, rec.snapshot()["x"]):
        assert got == value and type(got) is type(value)
    with rec.locked() as r:
        assert type(r.x) is type(value)


@pytest.mark.parametrize("guarded", [False, True])
def test_threads_incrementing_in_locked_blocks_count_exactly(area, guarded):
    view, _ = area
    rec = Record(view, FIELDS, guarded=guarded)
    rec.count = 0
    go = threading.Barrier(4)

    def work():
        go.wait()
        for _ in range(2_000):
            with rec.locked() as r:
                r.count += 1

    pool = [threading.Thread(target=work) for _ in range(4)]
    for t in pool:
        t.start()
    for t in pool:
        t.join()
    assert rec.count == 8_000


def test_add_is_lock_free_and_not_lost_under_updates(area):
    view, raw = area
    rec = Record(view, FIELDS)
    assert rec.add("count", 3) == 3 and rec.add("count") == 4
    with pytest.raises(TypeError, match="add\\(\\) needs an i64 field; 'temp' is f64"):
        rec.add("temp", 1)
    raw.word = -1  # a writer holds the lock: add still goes through
    assert rec.add("count", 1) == 5
    raw.word = 0
    stop = threading.Event()

    def updates():
        while not stop.is_set():
            rec.update(temp=1.0, name="busy")

    t = threading.Thread(target=updates)
    t.start()
    try:
        for _ in range(20_000):
            rec.add("count", 1)
    finally:
        stop.set()
        t.join()
    assert rec.count == 20_005


@pytest.mark.parametrize("guarded", [False, True])
def test_inside_the_views_own_blocks(area, guarded):
    view, _ = area
    rec = Record(view, FIELDS, guarded=guarded)
    with view.write_locked():
        rec.update(count=1, name="in")
        rec.count += 1
        rec.temp = 3.0
        assert rec.snapshot() == {"count": 2, "temp": 3.0, "name": "in"}
        # locked() takes the block's hold; nested again, the same hold. A guarded
        # record's own mark is not a tear to the reads inside.
        with rec.locked() as r:
            r.count += 1
            with r.locked():
                r.update(temp=4.0)
                assert r.snapshot() == {"count": 3, "temp": 4.0, "name": "in"}
        assert view.held_scope == "write"
    with view.read_locked():
        assert rec.snapshot()["count"] == 3 and rec.name == "in"
        with pytest.raises(RuntimeError):
            rec.update(count=5, name="x")
        with pytest.raises(RuntimeError):
            rec.count += 1
        with pytest.raises(RuntimeError, match="read_locked"):
            with rec.locked():
                pass
    assert view.held_scope is None and not view.is_write_locked()
    assert rec.snapshot() == {"count": 3, "temp": 4.0, "name": "in"}
    # An exception ends the block as a normal exit does: the write stays, the lock goes.
    with pytest.raises(KeyError):
        with rec.locked() as r:
            r.count = 10
            raise KeyError
    assert not view.is_write_locked() and rec.count == 10


TOTAL = 1_000_000


SUM_FIELDS = {"a": "i64", "b": "i64", "c": "i64"}


def _keep_sum(name, rounds, go, guarded):
    """Moves amounts between a and c, keeping a + c == TOTAL."""
    view = SM.open(name).map()
    rec = Record(view, SUM_FIELDS, guarded=guarded)
    go.wait()
    for k in range(rounds):
        rec.update(a=TOTAL - k, c=k)


def _check_sum(name, rounds, go, out, guarded):
    view = SM.open(name).map()
    rec = Record(view, SUM_FIELDS, guarded=guarded)
    go.wait()
    broken = 0
    for _ in range(rounds):
        snap = rec.snapshot()
        broken += snap["a"] + snap["c"] != TOTAL
    out.put(broken)


@pytest.mark.parametrize(("guarded", "rounds"), [(False, 50_000), (True, 30_000)])
def test_snapshots_never_see_an_update_half_done(area, seg_name, guarded, rounds):
    # a and c are not neighbours (b lies between), so each update is two
    # writes in one block. A guarded record's snapshots take no lock.
    view, _ = area
    Record(view, SUM_FIELDS, guarded=guarded).update(a=TOTAL, b=0, c=0)
    go, out = SPAWN.Event(), SPAWN.Queue()
    procs = [SPAWN.Process(target=_keep_sum, args=(seg_name, rounds, go, guarded))]
    procs += [SPAWN.Process(target=_check_sum, args=(seg_name, rounds, go, out, guarded)) for _ in range(2)]
    start_all(procs, go)
    broken = [out.get(timeout=600) for _ in range(2)]
    assert reap(procs, 600) == [0, 0, 0]
    assert broken == [0, 0]


def _increment_locked(name, count, go, guarded):
    rec = Record(SM.open(name).map(), FIELDS, guarded=guarded)
    go.wait()
    for _ in range(count):
        with rec.locked() as r:
            r.count += 1


@pytest.mark.parametrize("guarded", [False, True])
def test_four_processes_incrementing_in_locked_blocks_count_exactly(area, seg_name, guarded):
    view, _ = area
    go = SPAWN.Event()
    procs = start_all([SPAWN.Process(target=_increment_locked, args=(seg_name, 5_000, go, guarded))
                       for _ in range(4)], go)
    assert reap(procs, 600) == [0, 0, 0, 0]
    assert Record(view, FIELDS, guarded=guarded).snapshot()["count"] == 20_000


# ---- guarded records ------------------------------------------------------------


@pytest.mark.parametrize(("fields", "offset", "word"), [
    (FIELDS, 0, 60),                 # ends at 56; the next 8-byte place in the mapping
    ({"a": "u8"}, 0, 4),
    ({"x": "i32"}, 0, 4),            # ends at 4, already in place
    ({"s": ("str", 3)}, 10, 20),     # s at 12, ends at 19
])
def test_the_guard_word_follows_the_last_field(area, seg_names, fields, offset, word):
    view, raw = area
    plain = Record.layout(fields, offset)
    assert Record.layout(fields, offset, guarded=True) == plain + [("_seq", "i64", word, 8)]
    rec = Record(view, fields, offset=offset, guarded=True)
    assert rec.guarded and rec.size == word + 8 - offset
    assert Record(view, fields, offset=offset).size == plain[-1][2] + plain[-1][3] - offset
    # The fields stay where an unguarded record has them; each write moves
    # the word on by two (odd while it ran).
    name = plain[0][0]
    value = "ab" if plain[0][1] == "str" else 1
    for k in (1, 2):
        rec.update(**{name: value})
        assert view.load(word) == 2 * k
    assert Record(view, fields, offset=offset).snapshot()[name] == value
    # A record that fills its view exactly has no room for the word.
    small = SM.create(seg_names(1)[0], 4 + plain[-1][2] + plain[-1][3]).map()
    Record(small, fields, offset=offset)
    with pytest.raises(ValueError, match="out of bounds"):
        Record(small, fields, offset=offset, guarded=True)


def _lock_free(rec, on):
    """Reads from the view's buffer (3.11+ builds) or, off, under the lock as
    where the view exports no buffer."""
    object.__setattr__(rec, "_buffer", on and rec._buffer)
    return rec


@pytest.mark.parametrize("recover", ["update", "reset_torn"])
@pytest.mark.parametrize("buffer", [True, False])
def test_a_torn_record_is_refused_until_rewritten(area, buffer, recover):
    view, raw = area
    rec = _lock_free(Record(view, FIELDS, guarded=True), buffer)
    rec.update(count=1, temp=1.0, name="old")
    assert rec.reset_torn() is False
    view.store(60, view.load(60) + 1)  # a writer's mark left behind, the lock free
    before = raw.data()
    refused = [lambda: rec.count, rec.snapshot, lambda: rec.locked().__enter__(),
               lambda: setattr(rec, "temp", 2.0), lambda: rec.update(count=2, name="new")]
    for call in refused:
        with pytest.raises(velmora.TornRecordError, check=lambda e: e.reason == "torn"):
            call()
    assert raw.data() == before and not view.is_write_locked()
    with view.write_locked():  # also inside the caller's own block
        with pytest.raises(velmora.TornRecordError):
            rec.name
    if recover == "update":
        rec.update(count=2, temp=2.0, name="new")
        assert rec.snapshot() == {"count": 2, "temp": 2.0, "name": "new"}
    else:
        assert rec.reset_torn() is True and rec.reset_torn() is False
        assert rec.snapshot() == {"count": 1, "temp": 1.0, "name": "old"}
    assert view.load(60) % 2 == 0
    rec.count += 1


def _die_in_a_block(name, conn):
    rec = Record(SM.open(name).map(), FIELDS, guarded=True)
    with rec.locked() as r:
        r.count = 1  # temp and name not yet written
        conn.send("inside")
        conn.recv()  # killed here


def test_a_writer_killed_in_its_block_leaves_a_torn_record(area, seg_name):
    view, _ = area
    rec = Record(view, FIELDS, guarded=True)
    rec.update(count=0, temp=0.0, name="before")
    parent, child = SPAWN.Pipe()
    proc = SPAWN.Process(target=_die_in_a_block, args=(seg_name, child))
    proc.start()
    try:
        assert parent.poll(120) and parent.recv() == "inside"
    finally:
        os.kill(proc.pid, signal.SIGKILL)
        proc.join()
    assert proc.exitcode == -signal.SIGKILL and view.is_write_locked()
    # The dead writer's lock is recovered by the wait on it (no one else is
    # attached); the mark it left says the record is half written.
    with pytest.warns(velmora.LockRecoveredWarning), pytest.raises(velmora.TornRecordError):
        rec.snapshot()
    with pytest.raises(velmora.TornRecordError):  # now odd with the lock free
        rec.count
    rec.update(count=5, temp=5.0, name="after")
    assert rec.snapshot() == {"count": 5, "temp": 5.0, "name": "after"}


def test_a_snapshot_waits_for_a_live_writer_in_its_block(area):
    view, _ = area
    rec = Record(view, FIELDS, guarded=True)
    rec.update(count=0, temp=0.0, name="before")
    inside, finish, got = threading.Event(), threading.Event(), []

    def writer():
        with rec.locked() as r:
            r.count = 1
            inside.set()
            finish.wait()
            r.update(temp=1.0, name="after")

    def reader():
        got.append(rec.snapshot())
        got.append(rec.name)

    w = threading.Thread(target=writer)
    w.start()
    inside.wait()
    r = threading.Thread(target=reader)
    r.start()
    r.join(0.3)
    assert r.is_alive() and got == []  # odd with the lock held: a live writer, not a tear
    finish.set()
    w.join()
    r.join()
    assert got == [{"count": 1, "temp": 1.0, "name": "after"}, "after"]


@pytest.mark.skipif(sys.version_info < (3, 11), reason="without an exported buffer (3.10) a guarded read takes the read lock")
def test_guarded_reads_take_no_lock(area, seg_name):
    view, raw = area
    rec = Record(view, FIELDS, guarded=True)
    rec.update(count=3, temp=1.0, name="x")
    view.lock_timeout = 0
    with attached_peer(seg_name):  # a forged lock word is a live holder's
        raw.word = -1
        assert rec.snapshot() == {"count": 3, "temp": 1.0, "name": "x"} and rec.count == 3
        with pytest.raises(TimeoutError):
            Record(view, FIELDS).snapshot()  # an unguarded one waits for the lock
        view.store(60, view.load(60) + 1)  # a write in progress: wait, not torn
        with pytest.raises(TimeoutError):
            rec.snapshot()
        raw.word = 0
    with pytest.raises(velmora.TornRecordError):  # no writer holds the lock now
        rec.snapshot()
