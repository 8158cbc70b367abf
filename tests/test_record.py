"""velmora.Record: the layout rule, typed fields, all-or-nothing updates,
read-modify-write by augmented assignment, consistent snapshots across
processes, and the lock-free add."""
import multiprocessing
import pickle
import struct
import threading

import pytest

import velmora
from conftest import reap, start_all
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


def test_augmented_assignment_is_one_read_modify_write(area):
    view, _ = area
    rec = Record(view, FIELDS)
    rec.count, rec.temp, rec.name = 10, 1.5, "a"
    rec.count += 5
    rec.count -= 1
    rec.count *= 2
    rec.temp /= 2
    rec.name += "b"
    assert rec.snapshot() == {"count": 28, "temp": 0.75, "name": "ab"}
    # The update happens on the value current when it is stored, not the one read.
    seen = rec.count
    seen += 1
    assert rec.count == 28  # nothing stored yet
    view.store(4, 100)
    rec.count = seen
    assert rec.count == 101
    # A value read from another field, or plain arithmetic, stores as it is.
    rec.count = rec.count + 1
    assert rec.count == 102
    other = Record(view, {"n": "i64"}, offset=100)
    other.n = 1
    rec.count = other.n
    assert rec.count == 1


def test_threads_incrementing_by_attribute_count_exactly(area):
    view, _ = area
    rec = Record(view, FIELDS)
    rec.count = 0
    go = threading.Barrier(4)

    def work():
        go.wait()
        for _ in range(2_000):
            rec.count += 1

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


def test_inside_the_views_own_blocks(area):
    view, _ = area
    rec = Record(view, FIELDS)
    with view.write_locked():
        rec.update(count=1, name="in")
        rec.count += 1
        rec.temp = 3.0
        assert rec.snapshot() == {"count": 2, "temp": 3.0, "name": "in"}
    with view.read_locked():
        assert rec.snapshot()["count"] == 2 and rec.name == "in"
        with pytest.raises(RuntimeError):
            rec.update(count=5, name="x")
        with pytest.raises(RuntimeError):
            rec.count += 1
    assert rec.snapshot() == {"count": 2, "temp": 3.0, "name": "in"}


TOTAL = 1_000_000


def _keep_sum(name, rounds, go):
    """Moves amounts between a and c, keeping a + c == TOTAL."""
    view = SM.open(name).map()
    rec = Record(view, {"a": "i64", "b": "i64", "c": "i64"})
    go.wait()
    for k in range(rounds):
        rec.update(a=TOTAL - k, c=k)


def _check_sum(name, rounds, go, out):
    view = SM.open(name).map()
    rec = Record(view, {"a": "i64", "b": "i64", "c": "i64"})
    go.wait()
    broken = 0
    for _ in range(rounds):
        snap = rec.snapshot()
        broken += snap["a"] + snap["c"] != TOTAL
    out.put(broken)


def test_snapshots_never_see_an_update_half_done(area, seg_name):
    # a and c are not neighbours (b lies between), so each update is two
    # writes in one block.
    view, _ = area
    Record(view, {"a": "i64", "b": "i64", "c": "i64"}).update(a=TOTAL, b=0, c=0)
    go, out = SPAWN.Event(), SPAWN.Queue()
    procs = [SPAWN.Process(target=_keep_sum, args=(seg_name, 50_000, go))]
    procs += [SPAWN.Process(target=_check_sum, args=(seg_name, 50_000, go, out)) for _ in range(2)]
    start_all(procs, go)
    broken = [out.get(timeout=600) for _ in range(2)]
    assert reap(procs, 600) == [0, 0, 0]
    assert broken == [0, 0]


def _increment_attribute(name, count, go):
    rec = Record(SM.open(name).map(), FIELDS)
    go.wait()
    for _ in range(count):
        rec.count += 1


def test_two_processes_incrementing_by_attribute_count_exactly(area, seg_name):
    view, _ = area
    go = SPAWN.Event()
    procs = start_all([SPAWN.Process(target=_increment_attribute, args=(seg_name, 20_000, go)) for _ in range(2)], go)
    assert reap(procs, 600) == [0, 0]
    assert Record(view, FIELDS).count == 40_000
