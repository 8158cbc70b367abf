"""The value codec as a view uses it: byte layouts written by write and
write_mixed, values decoded by read and read_mixed, and their error texts."""
import enum
import random
import struct

import pytest

import velmora
from test_codec import CORNER_ENCODINGS, CORNER_REFUSALS
from test_view import RawSegment

SM = velmora.SharedMemory
DATA_SIZE = 64
UNSUPPORTED = "unsupported type '{}'; supported: bool, int, float, str, bytes, bytearray"
UNKNOWN_TAG = "unknown type tag '{}'; supported: bool, int, float, f32, f64, i32, i64, u8, u32, u64, str"


class Color(enum.IntEnum):
    RED = 258


class Meters(float):
    pass


class Label(str):
    pass


@pytest.fixture
def seg(seg_name):
    """(view, raw second mapping) over a segment with a 64-byte data area."""
    shm = SM.create(seg_name, DATA_SIZE + 4)
    raw = RawSegment(seg_name)
    yield shm.map(), raw
    raw.close()


def i64s(*values):
    return struct.pack(f"<{len(values)}q", *values)


# ---- single values: encoding ----------------------------------------------------

ENCODINGS = [
    (True, b"\x01"),  # bool is tested before int: one byte, not eight
    (False, b"\x00"),
    (1, bytes.fromhex("0100000000000000")),
    (-1, b"\xff" * 8),
    (2**63 - 1, bytes.fromhex("ffffffffffffff7f")),
    (-2**63, bytes.fromhex("0000000000000080")),
    (1.5, bytes.fromhex("000000000000f83f")),
    (-0.0, bytes.fromhex("0000000000000080")),
    (float("inf"), bytes.fromhex("000000000000f07f")),
    ("hé", bytes.fromhex("0300000068c3a9")),
    ("", b"\0\0\0\0"),
    ("a\0b", b"\x03\0\0\0a\0b"),
    (b"\x00\xffabc", b"\x00\xffabc"),
    (bytearray(b"\x10\x20"), b"\x10\x20"),
    (Color.RED, bytes.fromhex("0201000000000000")),
    (Meters(1.5), bytes.fromhex("000000000000f83f")),
    (Label("hi"), b"\x02\0\0\0hi"),
    *CORNER_ENCODINGS,
]


@pytest.mark.parametrize("value, encoded", ENCODINGS)
def test_write_lays_down_the_encoding(seg, value, encoded):
    view, raw = seg
    raw.fill(b"\xee" * DATA_SIZE)
    view.seek(3)
    view.write(value)
    assert view.tell() == 3 + len(encoded)
    assert raw.data() == b"\xee" * 3 + encoded + b"\xee" * (DATA_SIZE - 3 - len(encoded))
    assert view.read_range(3, len(encoded)) == encoded


@pytest.mark.parametrize("value, exc_type, message", [
    (None, ValueError, UNSUPPORTED.format("NoneType")),
    ([1], ValueError, UNSUPPORTED.format("list")),
    ((1,), ValueError, UNSUPPORTED.format("tuple")),
    ({}, ValueError, UNSUPPORTED.format("dict")),
    (2**63, OverflowError, None),
    (-2**63 - 1, OverflowError, None),
    ("\udc80", UnicodeEncodeError, None),
    *CORNER_REFUSALS,
])
def test_write_refuses_what_cannot_be_encoded(seg, value, exc_type, message):
    view, raw = seg
    with pytest.raises(exc_type) as info:
        view.write(value)
    if message is not None:
        assert info.value.args == (message,)
    assert raw.data() == bytes(DATA_SIZE) and view.tell() == 0


def test_bytearray_is_written_as_it_is_at_the_call(seg):
    view, _ = seg
    buf = bytearray(b"abc")
    view.write(buf, 0)
    buf[0] = ord("z")
    assert view.read_range(0, 3) == b"abc"


# ---- single values: decoding ------------------------------------------------------

DECODINGS = [
    (b"\x01", "bool", True, 1),
    (b"\x02", "bool", True, 1),
    (b"\x00", "bool", False, 1),
    (b"\xff", "u8", 255, 1),
    (b"\xff" * 4, "i32", -1, 4),
    (b"\xff" * 4, "u32", 4294967295, 4),
    (b"\xff" * 8, "int", -1, 8),
    (b"\xff" * 8, "i64", -1, 8),
    (b"\xff" * 8, "u64", 2**64 - 1, 8),
    (bytes.fromhex("cdcc8c3f"), "f32", 1.100000023841858, 4),
    (bytes.fromhex("000000000000f83f"), "float", 1.5, 8),
    (bytes.fromhex("0000000000000080"), "f64", -0.0, 8),
    (bytes.fromhex("0300000068c328"), "str", "h\ufffd(", 7),
    (b"\0\0\0\0", "str", "", 4),
    (b"\x02\0\0\0\0\0", "str", "\0\0", 6),
    (i64s(7), "i32", 7, 4),  # reads only the first four of eight bytes
]


@pytest.mark.parametrize("stored, tag, expected, consumed", DECODINGS)
def test_read_decodes_by_tag(seg, stored, tag, expected, consumed):
    view, raw = seg
    raw.fill(b"\xab" * 5 + stored + b"\xcd" * 8)
    view.seek(5)
    value = view.read(tag)
    assert type(value) is type(expected) and value == expected
    assert str(value) == str(expected)  # tells -0.0 from 0.0
    assert view.tell() == 5 + consumed


# (bytes at the very end of the data area, tag, message)
DECODE_FAILURES = [
    (b"\0\0\0", "i64", "not enough data to read 'i64': need 8, have 3"),
    (b"\0\0\0", "int", "not enough data to read 'int': need 8, have 3"),
    (b"\0" * 7, "f64", "not enough data to read 'f64': need 8, have 7"),
    (b"\0" * 7, "u64", "not enough data to read 'u64': need 8, have 7"),
    (b"\0\0", "f32", "not enough data to read 'f32': need 4, have 2"),
    (b"", "u32", "not enough data to read 'u32': need 4, have 0"),
    (b"", "u8", "not enough data to read 'u8': need 1, have 0"),
    (b"", "bool", "not enough data to read 'bool'"),
    (b"\x05\0", "str", "not enough data to read str length prefix"),
    (bytes.fromhex("050000006869"), "str", "not enough data to read str payload: need 9, have 6"),
    (b"\xff\xff\xff\xff" + b"\0" * 8, "str", "not enough data to read str payload: need 4294967299, have 12"),
    (b"", "I64", UNKNOWN_TAG.format("I64")),
    (b"\0" * 20, "str16", UNKNOWN_TAG.format("str16")),
    (b"\0" * 20, "", UNKNOWN_TAG.format("")),
]


@pytest.mark.parametrize("tail, tag, message", DECODE_FAILURES)
def test_read_failures_leave_the_cursor(seg, tail, tag, message):
    view, raw = seg
    start = DATA_SIZE - len(tail)
    raw.fill(tail, start)
    view.seek(start)
    with pytest.raises(ValueError) as info:
        view.read(tag)
    assert info.value.args == (message,)
    assert view.tell() == start and raw.word == 0


# ---- mixed runs: packing ------------------------------------------------------------

PACKINGS = [
    ([1, [2, 3], "a"], i64s(1, 2, 3) + b"\x01\0\0\0a"),
    ([[1.0, 2.5], [True, False]], struct.pack("<2d", 1.0, 2.5) + b"\x01\x00"),
    ([b"ab", [bytearray(b"c"), ""], -1], b"abc\0\0\0\0" + b"\xff" * 8),
]


@pytest.mark.parametrize("items, packed", PACKINGS, ids=["scalars-and-list", "float-and-bool-lists", "raw-bytes"])
def test_write_mixed_packs_back_to_back(seg, items, packed):
    view, raw = seg
    view.seek(2)
    view.write_mixed(items)
    assert view.tell() == 2 + len(packed)
    assert raw.data()[:2 + len(packed) + 1] == b"\0\0" + packed + b"\0"
    view.write_mixed(items, 34)
    assert view.read_range(34, len(packed)) == packed and view.tell() == 2 + len(packed)


@pytest.mark.parametrize("items, exc_type, message", [
    ([("f32", [1.0, 2.5])], ValueError, UNSUPPORTED.format("tuple")),
    ([[[1]]], ValueError, UNSUPPORTED.format("list")),
    ([1, None], ValueError, UNSUPPORTED.format("NoneType")),
    ([1, [2, {}]], ValueError, UNSUPPORTED.format("dict")),
    ([1, [2**64]], OverflowError, None),
    ([b"x" * 57, 1], ValueError, "out of bounds: offset=0 + length=65 > data_size=64"),
    ((1, 2), TypeError, "argument 'items': 'tuple' object is not an instance of 'list'"),
])
def test_write_mixed_failures_write_nothing(seg, items, exc_type, message):
    view, raw = seg
    with pytest.raises(exc_type) as info:
        view.write_mixed(items)
    if message is not None:
        assert info.value.args == (message,)
    assert raw.data() == bytes(DATA_SIZE) and view.tell() == 0


# ---- mixed runs: unpacking ----------------------------------------------------------

UNPACKINGS = [
    (i64s(-5, 9) + b"\x01", [("i64", 2), ("bool", 1)], [[-5, 9], True], 17),
    (i64s(-5), [("i64", 1)], [-5], 8),
    (b"\xff", [("u8", 0)], [[]], 0),
    (b"\xff", [("u8", 0), ("u8", 1)], [[], 255], 1),
    (i64s(4), [("i64", 1, "ignored")], [4], 8),
    (b"\x07", [("bool", True)], [True], 1),
    (b"\x02\0\0\0h\xff" + b"\x01\0\0\0z", [("str", 2)], [["h\ufffd", "z"]], 11),
    (bytes.fromhex("cdcc8c3f") + b"\xff\xff", [("f32", 1), ("i32", 0), ("u8", 2)],
     [1.100000023841858, [], [255, 255]], 6),
]


@pytest.mark.parametrize("stored, schema, expected, consumed", UNPACKINGS)
def test_read_mixed_unpacks_by_schema(seg, stored, schema, expected, consumed):
    view, raw = seg
    raw.fill(b"\x99" + stored)
    view.seek(1)
    assert view.read_mixed(schema) == expected
    assert view.tell() == 1 + consumed
    assert view.read_mixed(list(schema), offset=1) == expected
    assert view.tell() == 1 + consumed


class NotAnIndex:
    pass


# (bytes at the very end of the data area, schema, exception, message or None)
UNPACK_FAILURES = [
    (b"\0" * 12, [("i64", 2)], ValueError, "out of bounds: cursor=8 + needed=8 > data_len=12"),
    (b"\x0a\0\0\0" + b"\0" * 6, [("str", 1)], ValueError, "out of bounds: cursor=4 + needed=10 > data_len=10"),
    (b"\0\0", [("str", 1)], ValueError, "out of bounds: cursor=0 + needed=4 > data_len=2"),
    (b"\0\0", [("u8", 2**64 - 1)], ValueError, "out of bounds: cursor=2 + needed=1 > data_len=2"),
    (b"\0" * 8, [("str16", 3)], ValueError, "unknown type tag 'str16'"),
    (b"\0" * 8, [("u8", 1), ("str16", 0)], ValueError, "unknown type tag 'str16'"),
    (b"\0" * 8, [["i64", 1]], ValueError, "schema entries must be (type_tag, count) tuples"),
    (b"\0" * 8, [("i64",)], IndexError, None),
    (b"\0" * 8, [()], IndexError, None),
    (b"\0" * 8, [(5, 1)], TypeError, "'int' object is not an instance of 'str'"),
    (b"\0" * 8, [(None, 1)], TypeError, "'None' is not an instance of 'str'"),
    (b"\0" * 8, [("i64", -1)], OverflowError, None),
    (b"\0" * 8, [("i64", 2**64)], OverflowError, None),
    (b"\0" * 8, [("i64", NotAnIndex())], TypeError, None),
    (b"\0" * 8, [("\ud800", 1)], UnicodeEncodeError, None),
]


@pytest.mark.parametrize("tail, schema, exc_type, message", UNPACK_FAILURES)
def test_read_mixed_failures_leave_the_cursor(seg, tail, schema, exc_type, message):
    view, raw = seg
    start = DATA_SIZE - len(tail)
    raw.fill(tail, start)
    view.seek(start)
    with pytest.raises(exc_type) as info:
        view.read_mixed(schema)
    if message is not None:
        assert info.value.args == (message,)
    if exc_type is TypeError:
        assert not str(info.value).startswith("argument")
    assert view.tell() == start and raw.word == 0


# ---- str decoding against Python's own -------------------------------------------------

# Bytes that exercise UTF-8 decoding: ASCII, continuations, every kind of lead
# byte, the never-valid bytes, and the edges of the overlong/surrogate/too-big ranges.
INTERESTING = (list(range(0x00, 0x80, 9)) + list(range(0x80, 0xC0, 5)) +
               [0xC0, 0xC1, 0xC2, 0xDF, 0xE0, 0xE1, 0xEC, 0xED, 0xEE, 0xEF,
                0xF0, 0xF1, 0xF3, 0xF4, 0xF5, 0xF8, 0xFE, 0xFF, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF])


def test_str_payloads_decode_like_python_replace(seg):
    view, _ = seg
    rng = random.Random(20240607)
    for _ in range(3000):
        n = rng.randrange(0, DATA_SIZE - 4 + 1)
        payload = bytes(rng.choice(INTERESTING) for _ in range(n))
        view.write(struct.pack("<I", n) + payload, 0)
        view.seek()
        assert view.read("str") == payload.decode("utf-8", "replace"), payload.hex()
        assert view.tell() == 4 + n


def test_str_written_reads_back(seg):
    view, _ = seg
    for text in ["", "plain", "é€😀", "\0mid\0", "a" * 60]:
        view.write(text, 0)
        view.seek()
        assert view.read("str") == text
        assert view.read_mixed([("str", 1)], 0) == [text]
