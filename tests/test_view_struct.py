"""MappedView.write_struct / read_struct: numbers packed and unpacked by a
'<' struct format under one hold of the lock."""
import multiprocessing
import struct

import pytest

import velmora
from conftest import reap, start_all
from test_view import RawSegment

SM = velmora.SharedMemory
SPAWN = multiprocessing.get_context("spawn")


@pytest.fixture
def area(seg_name):
    shm = SM.create(seg_name, 4 + 256)
    raw = RawSegment(seg_name)
    yield shm.map(), raw
    raw.close()


@pytest.mark.parametrize(("fmt", "values"), [
    ("<q", (-(2**63),)),
    ("<qqd", (1, -2, 0.5)),
    ("<?B2xiIfQ", (True, 255, -5, 2**32 - 1, 1.5, 2**64 - 1)),
    ("<3x2d", (float("inf"), -0.0)),
    ("<4i", (1, -1, 2**31 - 1, -(2**31))),
])
def test_bytes_are_struct_modules_and_read_back(area, fmt, values):
    view, raw = area
    raw.fill(b"\xff" * 64, at=8)  # padding comes out as zeros, as struct.pack writes it
    view.write_struct(fmt, 8, *values)
    size = struct.calcsize(fmt)
    assert raw.data()[8:8 + size] == struct.pack(fmt, *values)
    assert raw.data()[8 + size:8 + size + 1] == b"\xff"  # nothing past the layout
    assert view.read_struct(fmt, 8) == struct.unpack(fmt, struct.pack(fmt, *values))


def test_names_give_a_dict_and_ints_convert_by_index(area):
    view, _ = area

    class Seven:
        def __index__(self):
            return 7

    view.write_struct("<q?d", 0, Seven(), [1], 3)  # any truth value for '?', an int for 'd'
    assert view.read_struct("<q?d", 0, ("a", "b", "c")) == {"a": 7, "b": True, "c": 3.0}
    assert view.read_struct("<q?d", 0, names=None) == (7, True, 3.0)


@pytest.mark.parametrize(("args", "error", "match"), [
    (("qq", 0, 1, 2), ValueError, "must start with '<'"),
    (("<qz", 0, 1, 2), ValueError, "unknown code 'z'"),
    (("<3", 0), ValueError, "a count without a code"),
    (("<", 0), ValueError, "describes no bytes"),
    (("<2000000x", 0), ValueError, "count is too large"),
    (("<600000q600000x", 0), ValueError, "longer than"),
    (("<qq", 0, 1), TypeError, "has 2 values, 1 were given"),
    (("<q", 0, 1, 2), TypeError, "has 1 values, 2 were given"),
    (("<q",), TypeError, "a format, an offset"),
    (("<q", -1, 1), OverflowError, None),
    (("<qq", 250, 1, 2), ValueError, "out of bounds"),
    (("<qq", 0, 1, 1.5), TypeError, "cannot be interpreted as an integer"),
    (("<qi", 0, 1, 2**31), OverflowError, "does not fit in a i32"),
    (("<qI", 0, 1, -1), OverflowError, "does not fit in a u32"),
    (("<qB", 0, 1, 256), OverflowError, "does not fit in a u8"),
    (("<qQ", 0, 1, -1), OverflowError, None),
    (("<qq", 0, 1, 2**63), OverflowError, None),
    (("<qf", 0, 1, 1e300), OverflowError, "too large for an f32"),
    (("<qd", 0, 1, "x"), TypeError, None),
])
def test_a_bad_call_writes_nothing(area, args, error, match):
    view, raw = area
    before = raw.data()
    with pytest.raises(error, match=match):
        view.write_struct(*args)
    assert raw.data() == before  # the first value was not written either
    assert raw.word == 0


@pytest.mark.parametrize(("call", "error", "match"), [
    (lambda v: v.read_struct("<qq", 241), ValueError, "out of bounds"),
    (lambda v: v.read_struct("<q", 0, ("a", "b")), TypeError, "tuple of 1 keys"),
    (lambda v: v.read_struct("<q", 0, ["a"]), TypeError, "tuple of 1 keys"),
    (lambda v: v.read_struct("<q", 0, 1, 2), TypeError, None),
    (lambda v: v.read_struct("d", 0), ValueError, "must start with '<'"),
    (lambda v: v.write_struct("<q", 0, 1, offset=0), TypeError, "no keyword arguments"),
])
def test_argument_errors(area, call, error, match):
    view, raw = area
    with pytest.raises(error, match=match):
        call(view)
    assert raw.word == 0


def test_runs_under_the_threads_own_block(area):
    view, raw = area
    with view.write_locked():
        view.write_struct("<q", 4, 5)  # would deadlock if it took the word again
        assert view.read_struct("<q", 4) == (5,)
        assert raw.word == -1
    with view.read_locked():
        assert view.read_struct("<q", 4) == (5,)
        with pytest.raises(RuntimeError, match="read_locked"):
            view.write_struct("<q", 4, 6)
    assert view.read_struct("<q", 4) == (5,) and raw.word == 0
    view.close()
    with pytest.raises(ValueError, check=lambda e: e.reason == "closed"):
        view.read_struct("<q", 4)


WIDE = "<4x24q"  # 196 bytes: several cache lines, so an unlocked copy could tear


def _write_rows(name, rounds, started):
    view = SM.open(name).map()
    write = view.write_struct
    for k in range(rounds):
        write(WIDE, 0, *([k] * 24))
        if k == 0:
            started.set()


def test_reads_never_see_a_write_from_another_process_half_done(area, seg_name):
    view, _ = area
    started, rounds = SPAWN.Event(), 100_000
    proc = start_all([SPAWN.Process(target=_write_rows, args=(seg_name, rounds, started))])[0]
    assert started.wait(120)
    torn = seen = 0
    last = -1
    while proc.is_alive() or seen == 0:
        row = view.read_struct(WIDE, 0)
        torn += len(set(row)) != 1
        assert row[0] >= last  # one writer counting up: never back
        last = row[0]
        seen += 1
    assert reap([proc]) == [0]
    assert torn == 0
    assert view.read_struct(WIDE, 0) == (rounds - 1,) * 24
