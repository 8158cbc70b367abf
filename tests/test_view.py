"""MappedView: ranges, the cursor, the lock word as other mappings see it, and
the all-or-nothing rule for every failing call."""
import gc
import signal
import struct
import sys
from contextlib import contextmanager

import pytest

import velmora
from conftest import Index, second_mapping

SM = velmora.SharedMemory
U64_MAX = 2**64 - 1
ZERO_LEN = "length cannot be zero"
NO_DATA = "read_mixed: no data available at current cursor position"


class RawSegment:
    """A second mapping of a segment made by the standard library, used to
    forge the lock word and to look at the bytes behind a view's back."""

    def __init__(self, name):
        self._shm = second_mapping(name)

    @property
    def word(self):
        return struct.unpack_from("<i", self._shm.buf, 0)[0]

    @word.setter
    def word(self, value):
        struct.pack_into("<i", self._shm.buf, 0, value)

    def data(self):
        return bytes(self._shm.buf[4:])

    def fill(self, payload, at=0):
        self._shm.buf[4 + at:4 + at + len(payload)] = payload

    def close(self):
        self._shm.close()


@pytest.fixture
def segment(seg_name):
    """Factory: (SharedMemory creator, its view, a raw second mapping)."""
    raws = []

    def make(size=1024):
        shm = SM.create(seg_name, size)
        raws.append(RawSegment(seg_name))
        return shm, shm.map(), raws[-1]

    yield make
    for raw in raws:
        raw.close()


@contextmanager
def deadline(seconds=5.0):
    """Turns a spin that should not happen into a failure instead of a hang:
    the alarm's exception abandons the lock wait."""

    class Spun(Exception):
        pass

    def on_alarm(signum, frame):
        raise Spun(f"still waiting after {seconds} s")

    old = signal.signal(signal.SIGALRM, on_alarm)
    signal.setitimer(signal.ITIMER_REAL, seconds)
    try:
        yield
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, old)


def mapping_count(name):
    with open("/proc/self/maps") as f:
        return sum(1 for line in f if line.rstrip().endswith("/dev/shm" + name))


# ---- map() --------------------------------------------------------------------

@pytest.mark.parametrize("size", [1, 4])
def test_map_refuses_segment_without_data_area(seg_name, size):
    shm = SM.create(seg_name, size)
    with pytest.raises(ValueError) as info:
        shm.map()
    assert info.value.args == ("segment size must be > 4 bytes (rwlock header)",)
    if sys.platform.startswith("linux"):
        assert mapping_count(seg_name) == 0


def test_zero_byte_prefix_is_refused_by_size_not_by_the_os(seg_name):
    SM.create(seg_name, 4096)
    empty = SM.open(seg_name, 0)
    assert empty.size() == 0
    with pytest.raises(ValueError, check=lambda e: e.reason == "invalid_argument"):
        empty.map()
    with pytest.raises(ValueError, check=lambda e: e.reason == "invalid_argument"):
        empty.spsc()


def test_each_map_is_its_own_mapping_and_is_released(segment, seg_name):
    if not sys.platform.startswith("linux"):
        pytest.skip("reads /proc/self/maps")
    shm, view, _ = segment(4096)
    second = shm.map()
    assert mapping_count(seg_name) == 3  # two views and the raw mapping
    del view, second
    gc.collect()
    assert mapping_count(seg_name) == 1


@pytest.mark.parametrize("forged", [-1, 3, -2])
def test_creator_map_resets_the_word_opener_leaves_it(segment, seg_name, forged):
    shm, view, raw = segment()
    raw.word = forged
    opened = SM.open(seg_name).map()
    assert raw.word == forged
    assert opened.reader_count() == max(forged, 0)
    assert opened.is_write_locked() == (forged == -1)
    shm.map()
    assert raw.word == 0


# ---- the lock word as the view reports it ---------------------------------------

@pytest.mark.parametrize("word, readers, write_locked", [
    (0, 0, False), (1, 1, False), (3, 3, False), (2**31 - 1, 2**31 - 1, False),
    (-1, 0, True), (-2, 0, False), (-2**31, 0, False),
])
def test_forged_word_snapshots(segment, word, readers, write_locked):
    _, view, raw = segment()
    raw.word = word
    assert view.reader_count() == readers
    assert view.is_write_locked() is write_locked
    assert repr(view) == (f"MappedView(data_size=1020, readers={readers}, "
                          f"write_locked={'true' if write_locked else 'false'})")
    assert raw.word == word


# (call, whether it takes the lock shared)
LOCKING_CALLS = [
    (lambda v: v.read_all(), True), (lambda v: v.read_range(0, 4), True), (lambda v: v.read("u8"), True),
    (lambda v: v.read_mixed([("u8", 1)]), True), (lambda v: v.write(b"x"), False),
    (lambda v: v.write_mixed([1]), False), (lambda v: v.zero(), False),
]


@pytest.mark.parametrize("call, shared", LOCKING_CALLS)
def test_every_locking_call_releases_the_word(segment, call, shared):
    _, view, raw = segment()
    call(view)
    assert raw.word == 0
    if shared:
        raw.word = 2  # two readers in other processes: a shared call joins and leaves
        with deadline():
            call(view)
        assert raw.word == 2


# ---- ranges and the cursor ---------------------------------------------------------

def test_five_byte_segment(segment):
    _, view, raw = segment(5)
    assert (view.size(), view.tell()) == (1, 0)
    view.write(True)
    assert view.tell() == 1 and raw.data() == b"\x01"
    with pytest.raises(ValueError, check=lambda e: e.reason == "invalid_argument"):
        view.write(True)
    with pytest.raises(ValueError, check=lambda e: e.reason == "invalid_argument"):
        view.write(7, 0)
    assert view.read_range(0, 1) == b"\x01" and view.read_all() == b"\x01"


@pytest.mark.parametrize("value, advance", [
    (True, 1), (7, 8), (1.5, 8), ("hé", 7), ("", 4), (b"abc", 3), (bytearray(b"ab"), 2),
])
def test_cursor_mode_advances_by_encoded_length(segment, value, advance):
    _, view, _ = segment()
    view.seek(10)
    view.write(value)
    assert view.tell() == 10 + advance
    view.write(value, None)
    assert view.tell() == 10 + 2 * advance
    view.write(value, 0)
    view.write(data=value, offset=500)
    assert view.tell() == 10 + 2 * advance


def test_values_land_after_the_lock_word(segment):
    _, view, raw = segment(64)
    view.write(b"\xaa\xbb", 3)
    assert raw.word == 0
    assert raw.data()[:6] == b"\0\0\0\xaa\xbb\0"


def test_write_then_read_back_by_cursor(segment):
    _, view, _ = segment()
    view.seek()
    view.write("hello")
    view.write(42)
    view.write(True)
    view.seek()
    assert [view.read("str"), view.read("int"), view.read("bool")] == ["hello", 42, True]
    assert view.tell() == 18


def test_seek_bounds(segment):
    _, view, _ = segment()
    view.seek(1020)
    assert view.tell() == 1020
    view.seek(pos=3)
    assert view.tell() == 3
    view.seek()
    assert view.tell() == 0


def test_read_mixed_empty_schema(segment):
    _, view, _ = segment()
    view.seek(7)
    assert view.read_mixed([]) == []
    assert view.read_mixed([], 1019) == []
    assert view.tell() == 7


def test_read_mixed_advances_only_in_cursor_mode(segment):
    _, view, _ = segment()
    view.write_mixed([1, [2, 3]])
    assert view.tell() == 24
    assert view.read_mixed([("i64", 3)], 0) == [[1, 2, 3]]
    assert view.tell() == 24
    view.seek(8)
    assert view.read_mixed([("i64", 2)]) == [[2, 3]]
    assert view.tell() == 24


def test_read_range_matches_read_all_and_zero(segment):
    _, view, raw = segment(64)
    pattern = bytes(range(60))
    raw.fill(pattern)
    assert view.read_all() == pattern == view.read_range(0, 60)
    assert view.read_range(59, 1) == b"\x3b"
    view.seek(9)
    view.zero()
    assert view.tell() == 9 and view.read_all() == bytes(60) and raw.word == 0


def test_two_views_share_data_not_cursors(segment, seg_name):
    shm, first, _ = segment()
    second = SM.open(seg_name).map()
    first.write(b"abcd")
    second.seek(2)
    assert second.read_range(0, 4) == b"abcd"
    assert second.read("u8") == ord("c")
    assert (first.tell(), second.tell()) == (4, 3)


@pytest.mark.parametrize("remove", [False, True])
def test_view_outlives_its_shared_memory(seg_name, remove):
    shm = SM.create(seg_name, 64)
    view = shm.map()
    del shm
    gc.collect()
    if remove:
        SM.remove(seg_name)
        with pytest.raises(OSError):
            SM.open(seg_name)
    view.write("still here", 0)
    assert view.read_mixed([("str", 1)], 0) == ["still here"]
    assert view.size() == 60


# ---- failures change nothing ---------------------------------------------------------

# (cursor before the call, call, exception, message or None when only the type is fixed,
#  whether the failure comes before the lock is taken)
FAILURES = [
    (0, lambda v: v.read_range(5, 0), ValueError, ZERO_LEN, True),
    (0, lambda v: v.read_range(U64_MAX, 2), ValueError,
     "out of bounds: offset=18446744073709551615 + length=2 > data_size=1020", True),
    (0, lambda v: v.read_range(2, U64_MAX), ValueError,
     "out of bounds: offset=2 + length=18446744073709551615 > data_size=1020", True),
    (0, lambda v: v.read_range(1020, 1), ValueError, "out of bounds: offset=1020 + length=1 > data_size=1020", True),
    (0, lambda v: v.write(b""), ValueError, ZERO_LEN, True),
    (0, lambda v: v.write(bytearray(), 3), ValueError, ZERO_LEN, True),
    (1016, lambda v: v.write(1.5), ValueError, "out of bounds: offset=1016 + length=8 > data_size=1020", True),
    (0, lambda v: v.write(b"ab", 1019), ValueError, "out of bounds: offset=1019 + length=2 > data_size=1020", True),
    (0, lambda v: v.write("x" * 1017), ValueError, "out of bounds: offset=0 + length=1021 > data_size=1020", True),
    (0, lambda v: v.write(None), ValueError,
     "unsupported type 'NoneType'; supported: bool, int, float, str, bytes, bytearray", True),
    (0, lambda v: v.write(2**63), OverflowError, None, True),
    (0, lambda v: v.write("\ud800"), UnicodeEncodeError, None, True),
    (0, lambda v: v.write_mixed([]), ValueError, ZERO_LEN, True),
    (0, lambda v: v.write_mixed([[]], 4), ValueError, ZERO_LEN, True),
    (1019, lambda v: v.write_mixed([1, None]), ValueError,
     "unsupported type 'NoneType'; supported: bool, int, float, str, bytes, bytearray", True),
    (1013, lambda v: v.write_mixed([1]), ValueError, "out of bounds: offset=1013 + length=8 > data_size=1020", True),
    (5, lambda v: v.seek(1021), ValueError, "seek position 1021 exceeds data_size 1020", True),
    (5, lambda v: v.seek(None), TypeError, "argument 'pos': 'NoneType' object cannot be interpreted as an integer",
     True),
    (5, lambda v: v.seek(-1), OverflowError, None, True),
    (1020, lambda v: v.read_mixed([]), ValueError, NO_DATA, True),
    (0, lambda v: v.read_mixed([("u8", 1)], 1020), ValueError, NO_DATA, True),
    (0, lambda v: v.read_mixed([], U64_MAX), ValueError, NO_DATA, True),
    (0, lambda v: v.read_mixed(("u8", 1)), TypeError, "argument 'schema': 'tuple' object is not an instance of 'list'",
     True),
    (0, lambda v: v.write_mixed(None), TypeError, "argument 'items': 'None' is not an instance of 'list'", True),
    (0, lambda v: v.read(5), TypeError, "argument 'tag': 'int' object is not an instance of 'str'", True),
    # Conversion order: the offset is looked at before data, the list check before the offset.
    (0, lambda v: v.write(None, offset="x"), TypeError,
     "argument 'offset': 'str' object cannot be interpreted as an integer", True),
    (0, lambda v: v.read_mixed(None, offset="x"), TypeError, "argument 'schema': 'None' is not an instance of 'list'",
     True),
    (0, lambda v: v.read_range("a", -1), TypeError,
     "argument 'offset': 'str' object cannot be interpreted as an integer", True),
    (0, lambda v: v.read_range(0, 1.5), TypeError,
     "argument 'length': 'float' object cannot be interpreted as an integer", True),
    (0, lambda v: v.read_range(), TypeError, "MappedView.read_range() missing 2 required positional arguments: "
     "'offset' and 'length'", True),
    (0, lambda v: v.write(1, 2, 3), TypeError,
     "MappedView.write() takes from 1 to 2 positional arguments but 3 were given", True),
    (0, lambda v: v.write(1, data=2), TypeError, "MappedView.write() got multiple values for argument 'data'", True),
    (0, lambda v: v.read(tg="u8"), TypeError, "MappedView.read() got an unexpected keyword argument 'tg'", True),
    # The decoder's checks run under the shared lock.
    (1017, lambda v: v.read("i64"), ValueError, "not enough data to read 'i64': need 8, have 3", False),
    (3, lambda v: v.read("I64"), ValueError,
     "unknown type tag 'I64'; supported: bool, int, float, f32, f64, i32, i64, u8, u32, u64, str", False),
    (1012, lambda v: v.read_mixed([("i64", 2)]), ValueError,
     "out of bounds: cursor=8 + needed=8 > data_len=8", False),
    (0, lambda v: v.read_mixed([("u8", 1), ["i64", 1]]), ValueError,
     "schema entries must be (type_tag, count) tuples", False),
]

FAILURE_IDS = [f"{i}" for i in range(len(FAILURES))]


@pytest.mark.parametrize("cursor, call, exc_type, message, before_lock", FAILURES, ids=FAILURE_IDS)
def test_failures_change_nothing(segment, cursor, call, exc_type, message, before_lock):
    _, view, raw = segment()
    pattern = bytes((i * 7 + 1) % 256 for i in range(1020))
    raw.fill(pattern)
    view.seek(cursor)
    # A check that runs before the lock must fail even while another process
    # holds it exclusively; a spin here would be a check made too late.
    word = -1 if before_lock else 0
    raw.word = word
    with deadline(), pytest.raises(exc_type) as info:
        call(view)
    if message is not None:
        assert str(info.value) == message
        assert info.value.args == (message,)
    assert raw.word == word
    assert raw.data() == pattern
    assert view.tell() == cursor


def test_integer_arguments_take_the_index_protocol(segment):
    _, view, _ = segment(64)
    view.write(b"xyz", Index(2))
    assert view.read_range(offset=Index(2), length=True) == b"x"
    view.seek(Index(3))
    assert view.read("u8") == ord("y")
    assert view.read_mixed([("u8", 1)], offset=Index(4)) == [ord("z")]
    view.write_mixed(items=[b"q"], offset=Index(0))
    assert view.read_all()[:5] == b"q\0xyz"
