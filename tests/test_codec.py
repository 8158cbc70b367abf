"""Codec corners that the view-level layout tests leave out: how the encoder
matches Python types, schema entries given as subclasses or index objects,
Python code that runs in the middle of an unpack, and references released
when a call fails part-way."""
import struct
import tracemalloc

import pytest

import velmora
from conftest import Index

UNSUPPORTED = "unsupported type '{}'; supported: bool, int, float, str, bytes, bytearray"
DATA_SIZE = 32


class Items(list):
    pass


class Blob(bytes):
    pass


class Entry(tuple):
    pass


class Tag(str):
    pass


class NamelessMeta(type):
    @property
    def __name__(cls):
        raise KeyError("no name")


class Nameless(metaclass=NamelessMeta):
    pass


@pytest.fixture
def view(seg_name):
    shm = velmora.SharedMemory.create(seg_name, 4 + DATA_SIZE)
    return shm.map()


def stored(view, data):
    view.write(bytes(data).ljust(DATA_SIZE, b"\0"), 0)
    view.seek(0)
    return view


NAN_WITH_PAYLOAD = bytes.fromhex("0100000000f8ff7f")


# Single values that keep their bits, match by subclass or are refused by
# their class's name: test_codec_view's write tests take them (CORNER_*).
CORNER_ENCODINGS = [
    (struct.unpack("<d", NAN_WITH_PAYLOAD)[0], NAN_WITH_PAYLOAD),
    (Blob(b"xy"), b"xy"),
]
CORNER_REFUSALS = [
    (Items([1]), ValueError, UNSUPPORTED.format("Items")),
    (1j, ValueError, UNSUPPORTED.format("complex")),
    (Nameless(), KeyError, None),  # reading __name__ raised: that error wins
]


def test_list_subclass_items_unfold_one_level(view):
    view.write_mixed([Items([7, "a"]), Blob(b"z")])
    packed = struct.pack("<q", 7) + b"\x01\0\0\0a" + b"z"
    assert view.read_range(0, len(packed)) == packed


STORED = struct.pack("<q", 2**40) + b"\x03\x00\x00\x00abc"


@pytest.mark.parametrize("schema, expected, consumed", [
    ([Entry(("i64", 1))], [2**40], 8),
    ([(Tag("int"), Index(1)), ("str", True)], [2**40, "abc"], 15),
    ([("u8", Index(3))], [[0, 0, 0]], 3),
])
def test_schema_entries_accept_subclasses_and_index_objects(view, schema, expected, consumed):
    assert stored(view, STORED).read_mixed(schema) == expected
    assert view.tell() == consumed


@pytest.mark.parametrize("data, schema, message", [
    (b"\xff\xff\xff\xff", [("str", 1)], "out of bounds: cursor=4 + needed=4294967295 > data_len=32"),
    (STORED, [("i64", 1), ("str", 1), "i64"], "schema entries must be (type_tag, count) tuples"),
    (STORED, [("i64", 1), ("I64", 0)], "unknown type tag 'I64'"),
])
def test_late_failures_undo_the_whole_unpack(view, data, schema, message):
    with pytest.raises(ValueError) as info:
        stored(view, data).read_mixed(schema)
    assert info.value.args == (message,)
    assert view.tell() == 0


def test_count_index_may_change_the_schema_under_the_unpack(view):
    schema = []

    class Shrinking:
        def __index__(self):
            schema.clear()
            return 1

    schema += [("u8", Shrinking()), ("u8", 1)]
    assert stored(view, b"\x05\x06").read_mixed(schema) == [5]
    assert view.tell() == 1


def test_failed_calls_release_what_they_built(view):
    stored(view, STORED * 2)
    failing_unpack = [("i64", 1), ("str", 2), ("u64", 9)]
    failing_pack = [2**40, ["abc", 2.5, None]]

    def churn(times):
        failures = 0
        for _ in range(times):
            for call, arg in ((view.read_mixed, failing_unpack), (view.write_mixed, failing_pack)):
                try:
                    call(arg, 0)
                except ValueError:  # plain except: pytest.raises keeps tracebacks alive
                    failures += 1
        return failures

    churn(200)
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        assert churn(20000) == 40000
        grown = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    # A single leaked int or str per call would be well over a megabyte.
    assert grown < 64 * 1024
