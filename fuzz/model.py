"""Independent models of what velmora's calls must do, written from the
documented behaviour with the standard library only (struct for the value
codec, byte-at-a-time placement for the ring), for the fuzzers to check the
module against. The layouts' constants (magic values, header sizes) are the
module's own table of kinds: they are facts to share, not behaviour to check.

Each model method takes the same arguments as the real method and either
returns what the real call must return or raises what it must raise. The
models are all-or-nothing: a call that raises leaves the model's state as it
was, as the module promises for its own state. Exceptions whose text is the
module's own carry `exact = True`: their message must match too; for the rest
(texts written by the interpreter) the exception class must match.
"""
import math
import operator
import struct

from velmora._kinds import BROADCAST, KINDS, MPSC, RING

MPMC = KINDS["mpmc"]

RING_HEADER = RING.header_size

U64 = 1 << 64
TAGS = {
    "bool": ("B", 1), "u8": ("B", 1), "i32": ("<i", 4), "u32": ("<I", 4), "int": ("<q", 8),
    "i64": ("<q", 8), "u64": ("<Q", 8), "f32": ("<f", 4), "float": ("<d", 8), "f64": ("<d", 8),
    "str": (None, 4),
}
SUPPORTED = "bool, int, float, f32, f64, i32, i64, u8, u32, u64, str"


def exact(exc_type, message):
    exc = exc_type(message)
    exc.exact = True
    return exc


# ---- argument binding and conversion -------------------------------------------------

class Signature:
    def __init__(self, fn, names, required):
        self.fn, self.names, self.required = fn, names, required

    def bind(self, args, kwargs):
        """The module's binder: a list of values, None for an omitted one."""
        count = len(self.names)
        if len(args) > count:
            verb = "was" if len(args) == 1 else "were"
            if self.required == count:
                raise exact(TypeError, f"{self.fn} takes {count} positional arguments but {len(args)} {verb} given")
            raise exact(TypeError, f"{self.fn} takes from {self.required} to {count} positional arguments "
                                   f"but {len(args)} {verb} given")
        out = list(args) + [None] * (count - len(args))
        given = [True] * len(args) + [False] * (count - len(args))
        for key, value in kwargs.items():
            if key not in self.names:
                raise exact(TypeError, f"{self.fn} got an unexpected keyword argument '{key}'")
            i = self.names.index(key)
            if given[i]:
                raise exact(TypeError, f"{self.fn} got multiple values for argument '{key}'")
            out[i], given[i] = value, True
        missing = [f"'{self.names[i]}'" for i in range(self.required) if not given[i]]
        if missing:
            n = len(missing)
            if n == 1:
                names = missing[0]
            elif n == 2:
                names = " and ".join(missing)
            else:
                names = ", ".join(missing[:-1]) + ", and " + missing[-1]
            raise exact(TypeError, f"{self.fn} missing {n} required positional argument{'s' if n > 1 else ''}: {names}")
        return out, given


def _prefixed(name, exc):
    if isinstance(exc, TypeError):
        new = TypeError(f"argument '{name}': {exc}")
        new.exact = getattr(exc, "exact", False)
        return new
    return exc


def _not_instance(obj, expected):
    if obj is None:
        return exact(TypeError, f"'None' is not an instance of '{expected}'")
    return exact(TypeError, f"'{type(obj).__qualname__}' object is not an instance of '{expected}'")


def to_u64(obj):
    value = operator.index(obj)  # an int (or subclass) as it is, else __index__
    if value < 0:
        raise OverflowError("can't convert negative int to unsigned")
    if value >= U64:
        raise OverflowError("int too big to convert")
    return value


def to_text(obj):
    if not isinstance(obj, str):
        raise _not_instance(obj, "str")
    obj.encode("utf-8")  # lone surrogates: UnicodeEncodeError, as the module's UTF-8 view
    return obj


def arg_u64(obj, name):
    try:
        return to_u64(obj)
    except Exception as exc:
        raise _prefixed(name, exc) from None


def arg_text(obj, name):
    try:
        return to_text(obj)
    except Exception as exc:
        raise _prefixed(name, exc) from None


def arg_list(obj, name):
    if not isinstance(obj, list):
        raise _prefixed(name, _not_instance(obj, "list"))
    return obj


def optional_offset(obj, given):
    return None if (not given or obj is None) else arg_u64(obj, "offset")


# ---- the value codec ----------------------------------------------------------------------

def encode(value):
    """The bytes one value is stored as (write, push and the items of lists)."""
    if isinstance(value, bool):
        return b"\x01" if value else b"\x00"
    if isinstance(value, int):
        if not -(1 << 63) <= value < (1 << 63):
            raise OverflowError("int too big to convert")
        return struct.pack("<q", value)
    if isinstance(value, float):
        return struct.pack("<d", value)
    if isinstance(value, str):
        utf8 = value.encode("utf-8")
        return struct.pack("<I", len(utf8)) + utf8
    if isinstance(value, (bytes, bytearray)):
        return bytes(value)
    raise exact(ValueError, f"unsupported type '{type(value).__name__}'; "
                            "supported: bool, int, float, str, bytes, bytearray")


def encode_list(values):
    return b"".join(encode(v) for v in values)


def pack_items(items):
    return b"".join(encode_list(i) if isinstance(i, list) else encode(i) for i in items)


def _fixed(tag, data, pos):
    fmt, _ = TAGS[tag]
    if tag == "bool":
        return data[pos] != 0
    return struct.unpack_from(fmt, data, pos)[0]


def decode_scalar(data, tag):
    """(value, bytes consumed) of one value of `tag` at the start of `data`."""
    if tag not in TAGS:
        raise exact(ValueError, f"unknown type tag '{tag}'; supported: {SUPPORTED}")
    fmt, width = TAGS[tag]
    if fmt is not None:
        if len(data) < width:
            if tag == "bool":
                raise exact(ValueError, "not enough data to read 'bool'")
            raise exact(ValueError, f"not enough data to read '{tag}': need {width}, have {len(data)}")
        return _fixed(tag, data, 0), width
    if len(data) < 4:
        raise exact(ValueError, "not enough data to read str length prefix")
    (n,) = struct.unpack_from("<I", data, 0)
    if len(data) - 4 < n:
        raise exact(ValueError, f"not enough data to read str payload: need {n + 4}, have {len(data)}")
    return bytes(data[4:4 + n]).decode("utf-8", "replace"), 4 + n


def _element(tag, data, pos):
    fmt, width = TAGS[tag]
    if width > len(data) - pos:
        raise exact(ValueError, f"out of bounds: cursor={pos} + needed={width} > data_len={len(data)}")
    if fmt is not None:
        return _fixed(tag, data, pos), pos + width
    (n,) = struct.unpack_from("<I", data, pos)
    if n > len(data) - pos - 4:
        raise exact(ValueError, f"out of bounds: cursor={pos + 4} + needed={n} > data_len={len(data)}")
    return bytes(data[pos + 4:pos + 4 + n]).decode("utf-8", "replace"), pos + 4 + n


def unpack_schema(data, schema):
    """(values, bytes consumed) of `schema`, a list of (tag, count) tuples."""
    out, pos = [], 0
    for entry in schema:
        if not isinstance(entry, tuple):
            raise exact(ValueError, "schema entries must be (type_tag, count) tuples")
        tag = to_text(entry[0])     # IndexError for an empty tuple, as PyTuple_GetItem
        count = to_u64(entry[1])
        if tag not in TAGS:
            raise exact(ValueError, f"unknown type tag '{tag}'")
        if count == 1:
            value, pos = _element(tag, data, pos)
        else:
            value = []
            for _ in range(count):
                v, pos = _element(tag, data, pos)
                value.append(v)
        out.append(value)
    return out, pos


# ---- MappedView -------------------------------------------------------------------------

def _check_range(start, length, size):
    if length == 0:
        raise exact(ValueError, "length cannot be zero")
    if start + length > size:
        raise exact(ValueError, f"out of bounds: offset={start} + length={length} > data_size={size}")


class ViewModel:
    """The data area (after the 4-byte lock word) and the view's cursor."""

    def __init__(self, data, cursor=0):
        self.data = bytearray(data)
        self.cursor = cursor

    def size(self):
        return len(self.data)

    def tell(self):
        return self.cursor

    def read_all(self):
        return bytes(self.data)

    def read_range(self, *args, **kwargs):
        (offset, length), _ = Signature("MappedView.read_range()", ["offset", "length"], 2).bind(args, kwargs)
        offset, length = arg_u64(offset, "offset"), arg_u64(length, "length")
        _check_range(offset, length, len(self.data))
        return bytes(self.data[offset:offset + length])

    def seek(self, *args, **kwargs):
        (pos,), given = Signature("MappedView.seek()", ["pos"], 0).bind(args, kwargs)
        pos = arg_u64(pos, "pos") if given[0] else 0
        if pos > len(self.data):
            raise exact(ValueError, f"seek position {pos} exceeds data_size {len(self.data)}")
        self.cursor = pos

    def read(self, *args, **kwargs):
        (tag,), _ = Signature("MappedView.read()", ["tag"], 1).bind(args, kwargs)
        tag = arg_text(tag, "tag")
        value, used = decode_scalar(self.data[self.cursor:], tag)
        self.cursor += used
        return value

    def read_mixed(self, *args, **kwargs):
        (schema, offset), given = Signature("MappedView.read_mixed()", ["schema", "offset"], 1).bind(args, kwargs)
        arg_list(schema, "schema")
        offset = optional_offset(offset, given[1])
        start = self.cursor if offset is None else offset
        if start >= len(self.data):
            raise exact(ValueError, "read_mixed: no data available at current cursor position")
        values, used = unpack_schema(self.data[start:], schema)
        if offset is None:
            self.cursor = start + used
        return values

    def _store(self, offset, payload):
        start = self.cursor if offset is None else offset
        _check_range(start, len(payload), len(self.data))
        self.data[start:start + len(payload)] = payload
        if offset is None:
            self.cursor = start + len(payload)

    def write(self, *args, **kwargs):
        (data, offset), given = Signature("MappedView.write()", ["data", "offset"], 1).bind(args, kwargs)
        offset = optional_offset(offset, given[1])
        self._store(offset, encode(data))

    def write_mixed(self, *args, **kwargs):
        (items, offset), given = Signature("MappedView.write_mixed()", ["items", "offset"], 1).bind(args, kwargs)
        arg_list(items, "items")
        offset = optional_offset(offset, given[1])
        self._store(offset, pack_items(items))

    def zero(self):
        self.data[:] = bytes(len(self.data))

    def reader_count(self):  # between calls nobody holds the lock
        return 0

    def is_write_locked(self):
        return False


# ---- SpscRingBuffer ------------------------------------------------------------------------

class RingModel:
    """The whole ring segment: header words and data area, as bytes."""

    def __init__(self, segment):
        self.seg = bytearray(segment)
        self.room = len(segment) - RING_HEADER

    def _header(self):
        head, tail, cap = struct.unpack_from("<QQQ", self.seg, 0)
        return head, tail, cap

    def _check(self):
        head, tail, cap = self._header()
        used = (tail - head) % U64
        if cap != 0 and cap & (cap - 1):
            raise exact(ValueError, f"ring header is corrupt: capacity {cap} is not a power of two")
        if cap > self.room:
            raise exact(ValueError, f"ring header is corrupt: capacity {cap} exceeds the {self.room}-byte "
                                    "data area of the mapping")
        if used > cap:
            if used >= 1 << 63:  # a tail behind its head is said so, as a signed distance
                raise exact(ValueError, f"ring header is corrupt: head {head} and tail {tail}: tail is behind "
                                        f"head by {U64 - used} bytes")
            raise exact(ValueError, f"ring header is corrupt: head {head} and tail {tail} are {used} bytes "
                                    f"apart, more than capacity {cap}")
        return head, tail, cap, used

    def _byte_at(self, cap, pos):
        return self.seg[RING_HEADER + (pos % U64) % cap]  # pos & (cap - 1), one byte at a time

    def _frame(self):
        """(head, cap, payload) of the oldest message, or None when empty."""
        head, _, cap, used = self._check()
        if used == 0:
            return None
        if used < 4:
            raise exact(ValueError, f"ring frame is corrupt: {used} bytes published, too few for a length prefix")
        n = int.from_bytes(bytes(self._byte_at(cap, head + i) for i in range(4)), "little")
        if n > used - 4:
            raise exact(ValueError, f"ring frame is corrupt: length prefix {n} exceeds the {used - 4} "
                                    "bytes published after it")
        return head, cap, bytes(self._byte_at(cap, head + 4 + j) for j in range(n))

    def _consume(self, head, n):
        struct.pack_into("<Q", self.seg, 0, (head + 4 + n) % U64)

    def pop(self, *args, **kwargs):
        (tag,), given = Signature("SpscRingBuffer.pop()", ["tag"], 0).bind(args, kwargs)
        if given[0] and tag is not None:
            tag = arg_text(tag, "tag")
        else:
            tag = None
        frame = self._frame()
        if frame is None:
            return None
        head, _, payload = frame
        self._consume(head, len(payload))  # consumed before it is decoded
        if tag is None:
            return payload
        return decode_scalar(payload, tag)[0]

    def pop_mixed(self, *args, **kwargs):
        (schema,), _ = Signature("SpscRingBuffer.pop_mixed()", ["schema"], 1).bind(args, kwargs)
        arg_list(schema, "schema")
        frame = self._frame()
        if frame is None:
            return None
        head, _, payload = frame
        self._consume(head, len(payload))
        return unpack_schema(payload, schema)[0]

    def push(self, *args, **kwargs):
        (data,), _ = Signature("SpscRingBuffer.push()", ["data"], 1).bind(args, kwargs)
        payload = encode_list(data) if isinstance(data, list) else encode(data)
        _, tail, cap, used = self._check()
        frame = len(payload) + 4
        if frame > cap:
            largest = f"the largest payload is {cap - 4} bytes" if cap >= 4 else "no message fits"
            raise exact(ValueError, f"message too large: frame_len={frame} > capacity={cap} "
                                    f"(map_size={len(self.seg)}); {largest}")
        if used + frame > cap:
            return False
        for i, b in enumerate(struct.pack("<I", len(payload)) + payload):
            self.seg[RING_HEADER + ((tail + i) % U64) % cap] = b
        struct.pack_into("<Q", self.seg, 8, (tail + frame) % U64)
        return True

    def used(self):
        head, tail, _ = self._header()
        return (tail - head) % U64

    def capacity(self):
        return self._header()[2]

    def free(self):
        cap, used = self.capacity(), self.used()
        return cap - used if cap >= used else 0

    def is_empty(self):
        return self.used() == 0

    def is_full(self):
        return self.used() >= self.capacity()


# ---- producer lanes: the fan-in ring and the work-sharing ring -------------------------------

LANES = MPSC  # the header words both lane kinds share (their registry rows agree on them)
LANES_HEADER = LANES.header_size
LANES_VERSION_AT = LANES.fields["version"][0]
LANES_PRODUCERS_AT = LANES.fields["producers"][0]
LANES_CAPACITY_AT = LANES.fields["capacity"][0]
LANES_JOINED = LANES.fields["joined"][0]
LANES_DOORBELL, LANES_SLEEPERS = 64, 68  # u32 words a reader without a role never looks at
LANES_MAX_PRODUCERS = 1024
assert all(MPMC.fields[f] == MPSC.fields[f] for f in ("version", "producers", "capacity", "expected", "joined"))

MPMC_CONSUMERS_AT = MPMC.fields["consumers"][0]
MPMC_MAX_CONSUMERS = 1024


def lanes_size(capacity, producers):
    """The segment size `producers` lanes of `capacity` bytes need, or None
    when it does not fit in 64 bits. Lanes are 64-byte aligned."""
    top = U64 - 1
    if capacity > top - RING_HEADER - 64:
        return None
    stride = (RING_HEADER + capacity + 63) // 64 * 64
    if producers and stride > (top - LANES_HEADER) // producers:
        return None
    return LANES_HEADER + stride * producers


class LanesModel:
    """A segment of producer lanes as <CLASS>.open(name) finds it: the header
    refused with the text open() gives, or lanes that are each a RingModel,
    served in turn from lane 0, this process producing into lane 0 (the first
    free slot) and, for a kind with several consumers, taking from the first
    consumer slot, whose turn starts at lane 0 too."""
    KIND = None        # the registry row
    CLASS = ""         # "MpscRingBuffer"
    RING = ""          # "a fan-in ring", in open's refusals
    MAGIC_NAME = ""    # "fan-in"

    def __init__(self, segment, name):
        size = len(segment)

        def refused(what):
            return exact(ValueError, f"'{name}' is not {self.RING} segment: {what}")

        if size < LANES_HEADER:
            raise refused(f"the segment has {size} bytes, fewer than the {LANES_HEADER}-byte header")
        (magic,) = struct.unpack_from("<Q", segment, 0)
        (version,) = struct.unpack_from("<I", segment, LANES_VERSION_AT)
        (producers,) = struct.unpack_from("<I", segment, LANES_PRODUCERS_AT)
        (capacity,) = struct.unpack_from("<Q", segment, LANES_CAPACITY_AT)
        if magic != self.KIND.magic:
            raise refused(f"its first 8 bytes hold 0x{magic:016x}, not the {self.MAGIC_NAME} magic")
        if version != self.KIND.version:
            raise refused(f"layout version {version}, this build reads version {self.KIND.version}")
        if not 1 <= producers <= LANES_MAX_PRODUCERS:
            raise refused(f"producer count {producers} is outside 1..{LANES_MAX_PRODUCERS}")
        if capacity == 0 or capacity & (capacity - 1):
            raise refused(f"lane capacity {capacity} is not a power of two")
        need = lanes_size(capacity, producers)
        if need is None or need > size:
            raise refused(f"{producers} lanes of capacity {capacity} do not fit in the segment's {size} bytes")
        self._check_kind_words(segment, refused)
        self.seg = bytearray(segment)
        self.cap = capacity
        self.stride = (RING_HEADER + capacity + 63) // 64 * 64
        self.lanes = [RingModel(self.seg[self._at(k):self._at(k) + RING_HEADER + capacity]) for k in range(producers)]
        self.turn = 0
        self.producing = False

    def _check_kind_words(self, segment, refused):
        """The kind's own header words, checked after the shared ones."""

    def _taken(self, k):
        """After a message was taken from lane k."""

    def _at(self, k):
        return LANES_HEADER + k * self.stride

    def _word(self, at):
        return struct.unpack_from("<I", self.seg, at)[0]

    def _bump(self, at):
        struct.pack_into("<I", self.seg, at, (self._word(at) + 1) % (1 << 32))

    def bytes(self):
        """The whole segment as the model has it."""
        out = bytearray(self.seg)
        for k, lane in enumerate(self.lanes):
            out[self._at(k):self._at(k) + len(lane.seg)] = lane.seg
        return bytes(out)

    def _sig(self, method, names, required):
        return Signature(f"{self.CLASS}.{method}()", names, required)

    def _next(self):
        """The payload of the next message in turn, taken; None when every lane is empty."""
        n = len(self.lanes)
        for i in range(n):
            k = (self.turn + i) % n
            try:
                frame = self.lanes[k]._frame()
            except ValueError as exc:
                raise exact(ValueError, f"lane {k}: {exc}") from None
            if frame is not None:
                head, _, payload = frame
                self.lanes[k]._consume(head, len(payload))
                self.turn = (k + 1) % n
                self._taken(k)
                return payload
        return None

    def pop(self, *args, **kwargs):
        (tag,), given = self._sig("pop", ["tag"], 0).bind(args, kwargs)
        tag = arg_text(tag, "tag") if given[0] and tag is not None else None
        payload = self._next()
        if payload is None or tag is None:
            return payload
        return decode_scalar(payload, tag)[0]

    def pop_mixed(self, *args, **kwargs):
        (schema,), _ = self._sig("pop_mixed", ["schema"], 1).bind(args, kwargs)
        arg_list(schema, "schema")
        payload = self._next()
        return None if payload is None else unpack_schema(payload, schema)[0]

    def pop_many(self, *args, **kwargs):
        """Messages in turn until `max_count`, an empty (or broken, after the
        first) lane set, or one lane's capacity of payload bytes taken; tagged
        ones are decoded once all are taken."""
        (max_count, tag), given = self._sig("pop_many", ["max_count", "tag"], 1).bind(args, kwargs)
        max_count = arg_u64(max_count, "max_count")
        tag = arg_text(tag, "tag") if given[1] and tag is not None else None
        taken, nbytes = [], 0
        while len(taken) < max_count and nbytes < self.cap:
            try:
                payload = self._next()
            except ValueError:
                if taken:
                    break
                raise
            if payload is None:
                break
            taken.append(payload)
            nbytes += len(payload)
        return taken if tag is None else [decode_scalar(p, tag)[0] for p in taken]

    def push(self, *args, **kwargs):
        """Into lane 0 (this object's slot). A publish into an empty lane
        while a consumer is marked as a possible sleeper bumps the doorbell."""
        (data,), _ = self._sig("push", ["data"], 1).bind(args, kwargs)
        payload = encode_list(data) if isinstance(data, list) else encode(data)
        if not self.producing:  # the slot is claimed once the payload is built,
            self.producing = True  # and the claim counts one more producer joined
            self._bump(LANES_JOINED)
        lane = self.lanes[0]
        if not lane.push(data):
            return False
        if self._word(LANES_SLEEPERS) and lane.used() == len(payload) + 4:
            self._bump(LANES_DOORBELL)
        return True

    def used(self):
        return sum(lane.used() for lane in self.lanes) % U64

    def capacity(self):
        return self.cap

    def free(self):
        return self.lanes[0].free() if self.producing else self.cap

    def is_empty(self):
        return self.used() == 0


class FaninModel(LanesModel):
    """MpscRingBuffer: one consumer, whose sleep mark is a flag."""
    KIND, CLASS, RING, MAGIC_NAME = MPSC, "MpscRingBuffer", "a fan-in ring", "fan-in"


class MpmcModel(LanesModel):
    """MpmcRingBuffer: the consumer count among the kind's words, and a taker
    that leaves more behind in its lane rings the doorbell for the sleepers
    (a count: any non-zero value) that the producer did not ring for."""
    KIND, CLASS, RING, MAGIC_NAME = MPMC, "MpmcRingBuffer", "an MPMC ring", "MPMC"

    def _check_kind_words(self, segment, refused):
        (consumers,) = struct.unpack_from("<I", segment, MPMC_CONSUMERS_AT)
        if not 1 <= consumers <= MPMC_MAX_CONSUMERS:
            raise refused(f"consumer count {consumers} is outside 1..{MPMC_MAX_CONSUMERS}")

    def _taken(self, k):
        if self._word(LANES_SLEEPERS) and self.lanes[k].used():
            self._bump(LANES_DOORBELL)


# ---- comparing outcomes ---------------------------------------------------------------------

def same(a, b):
    """Equal values of the same type; floats bit-for-bit except any NaN matches any NaN."""
    if type(a) is not type(b):
        return False
    if isinstance(a, float):
        if math.isnan(a) or math.isnan(b):
            return math.isnan(a) and math.isnan(b)
        return struct.pack("<d", a) == struct.pack("<d", b)
    if isinstance(a, list):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    return a == b


class Mismatch(AssertionError):
    pass


def outcome(fn, *args, **kwargs):
    try:
        return ("ok", fn(*args, **kwargs))
    except Exception as exc:  # noqa: BLE001 - compared below
        return ("raised", exc)


def check(what, want, got):
    """Raises Mismatch unless the real outcome `got` is the modelled `want`."""
    if want[0] == "ok" and got[0] == "ok":
        if not same(want[1], got[1]):
            raise Mismatch(f"{what}: returned {got[1]!r}, expected {want[1]!r}")
        return
    if want[0] == "raised" and got[0] == "raised":
        w, g = want[1], got[1]
        if type(w) is not type(g):
            raise Mismatch(f"{what}: raised {type(g).__name__}({g}), expected {type(w).__name__}({w})")
        if getattr(w, "exact", False) and str(w) != str(g):
            raise Mismatch(f"{what}: message {str(g)!r}, expected {str(w)!r}")
        return
    show = lambda o: f"returned {o[1]!r}" if o[0] == "ok" else f"raised {type(o[1]).__name__}({o[1]})"  # noqa: E731
    raise Mismatch(f"{what}: {show(got)}, expected: {show(want)}")


# ---- buffer formats --------------------------------------------------------------------------

PLAIN_CHARS = set("@=<>!xcbB?hHiIlLqQnNefdspuwZT{}(),0123456789 ")
# (native size, standard size) of each code; None: no such size
CODE_SIZES = {**{c: (1, 1) for c in "xcbB?"}, **{c: (2, 2) for c in "hHeu"}, **{c: (4, 4) for c in "iIfw"},
              **{c: (8, 8) for c in "qQd"}, "l": (struct.calcsize("l"), 4), "L": (struct.calcsize("L"), 4),
              "n": (struct.calcsize("n"), None), "N": (struct.calcsize("N"), None)}


def plain_format(text):
    """No object or pointer items: only plain codes outside ':field names:'."""
    parts = text.split(":")
    if len(parts) % 2 == 0:
        return False  # a name left open
    return all(c in PLAIN_CHARS for c in "".join(parts[0::2]))


def format_itemsize(text):
    """One item's size in bytes of a plain struct-syntax format (numpy's
    structures included), or None where readers would not agree on one: no
    parse, nothing in it, padding implied in native mode (before an item, or
    at the end of several items outside a structure), or past 2^32 - 1."""
    if not plain_format(text):
        return None
    limit = (1 << 32) - 1
    pos = [0]

    def peek():
        return text[pos[0]] if pos[0] < len(text) else ""

    def digits():
        start = pos[0]
        while peek().isdigit():
            pos[0] += 1
        if pos[0] == start:
            return None
        if int(text[start:pos[0]]) > limit:
            raise ValueError("too large")
        return int(text[start:pos[0]])

    def body(native, depth, closing):
        """(size, largest native alignment, item count) up to `closing`."""
        size, align, count = 0, 1, 0
        while True:
            c = peek()
            if c == "":
                if closing:
                    raise ValueError("open structure")
                return size, align, count
            pos[0] += 1
            if c == " ":
                continue
            if c == closing:
                return size, align, count
            if c in "@=<>!":
                native = c == "@"
                continue
            pos[0] -= 1
            n, a = one(native, depth)
            if native:
                if size % a:
                    raise ValueError("implied padding")
                align = max(align, a)
            size += n
            count += 1
            if size > limit:
                raise ValueError("too large")
            if peek() == ":":
                end = text.find(":", pos[0] + 1)
                pos[0] = end + 1  # plain_format saw it closed

    def one(native, depth):
        mult = 1
        if peek() == "(":
            pos[0] += 1
            while True:
                d = digits()
                if d is None:
                    raise ValueError("dimension")
                mult *= d
                if mult > limit:
                    raise ValueError("too large")
                c = peek()
                pos[0] += 1
                if c == ")":
                    break
                if c != ",":
                    raise ValueError("dimensions")
        count = digits()
        c = peek()
        pos[0] += 1
        if c in ("s", "p"):
            n, a = (1 if count is None else count), 1
            count = None
        elif c == "x":
            n, a = 1, 1
        elif c == "Z":
            half = {"e": 2, "f": 4, "d": 8}.get(peek())
            if half is None:
                raise ValueError("complex")
            pos[0] += 1
            n, a = 2 * half, half
        elif c == "T":
            if peek() != "{" or depth >= 16:
                raise ValueError("structure")
            pos[0] += 1
            inner, a, items = body(native, depth + 1, "}")
            if inner == 0:
                raise ValueError("empty structure")
            n = -(-inner // a) * a
        elif c in CODE_SIZES:
            n = CODE_SIZES[c][0 if native else 1]
            if n is None:
                raise ValueError("no standard size")
            a = n
        else:
            raise ValueError("code")
        n *= 1 if count is None else count
        total = n * mult
        if n > limit or total > limit:
            raise ValueError("too large")
        return total, a

    try:
        size, align, count = body(True, 0, None)
    except ValueError:
        return None
    if count == 0 or size == 0 or size % align:
        return None
    return size


# ---- broadcast subscriber --------------------------------------------------------------

class BroadcastModel:
    """What Subscriber.receive(timeout=0) / receive_view(timeout=0) must do on
    a segment whose bytes anyone may have rewritten: `seg` is the segment's
    bytes (a bytearray, read afresh by the caller before each call), the
    geometry is what Subscriber.open validated, `cursor` the next message the
    subscriber wants. A message is the bytes its slot descriptor describes, if
    the descriptor is whole (a terminated format of printable ASCII, at most 8 dimensions, a
    non-zero item size, a plain-data format whose items are that size (format_itemsize), a
    shape that describes exactly its length, no longer than a slot); anything else is a ValueError, as is an index naming no slot
    or (block mode) a slot holding another message or a stream that went
    backwards or more than depth ahead. In overwrite mode a slot holding
    another message, or a stream more than depth ahead, is missed, not an error.
    Moves of the cursor before an error stay, as they do in the module."""
    HEADER, ENTRY, DESCRIPTOR = BROADCAST.header_size, 64, 128

    def __init__(self, seg, cursor):
        self.seg = seg
        magic, version, overflow, self.slot_size, self.slot_count, self.depth, self.limit = \
            struct.unpack_from("<QIIQIII", seg, 0)
        self.overwrite = overflow == 1
        self.index_at = self.HEADER
        self.entries_at = self.index_at + (self.depth * 4 + 63) // 64 * 64
        self.descriptors_at = self.entries_at + self.limit * self.ENTRY
        self.slots_at = self.descriptors_at + self.slot_count * self.DESCRIPTOR
        self.cursor = cursor
        self.missed = 0

    def _next(self):
        while True:
            (w,) = struct.unpack_from("<Q", self.seg, 64)
            m = self.cursor
            if w == m:
                return None
            if w < m:
                raise ValueError("went back")
            if w - m > self.depth:
                if not self.overwrite:
                    raise ValueError("too far ahead")
                self.missed += w - self.depth - m
                m = self.cursor = w - self.depth
            (s,) = struct.unpack_from("<I", self.seg, self.index_at + (m % self.depth) * 4)
            if s >= self.slot_count:
                raise ValueError("no such slot")
            d = self.descriptors_at + s * self.DESCRIPTOR
            seq, length, ndim, itemsize = struct.unpack_from("<QQII", self.seg, d)
            if seq != m:
                if self.overwrite:
                    self.missed += 1
                    self.cursor = m + 1
                    continue
                raise ValueError("another message")
            fmt = bytes(self.seg[d + 24:d + 40])
            shape = struct.unpack_from("<8Q", self.seg, d + 40)
            text = fmt.split(b"\0")[0]
            if (length > self.slot_size or b"\0" not in fmt or fmt[0] == 0 or ndim > 8 or itemsize == 0
                    or any(c < 0x20 or c > 0x7E for c in text)):
                raise ValueError("descriptor")
            if format_itemsize(text.decode("ascii")) != itemsize:
                raise ValueError("format")  # objects, pointers, or items of another size
            n = span = itemsize
            for x in shape[:ndim]:
                n *= x
                span *= max(x, 1)  # dimensions and strides are signed sizes, zero dimensions or not
                if span >= U64 // 2:
                    raise ValueError("shape overflows")
            if n != length:
                raise ValueError("shape")
            at = self.slots_at + s * self.slot_size
            return m, bytes(self.seg[at:at + length]), text.decode("ascii"), tuple(shape[:ndim])

    def receive(self):
        found = self._next()
        if found is None:
            raise QueueEmpty()
        self.cursor = found[0] + 1
        return found[1]

    def receive_view(self):
        """(bytes, format, shape) of the view."""
        found = self._next()
        if found is None:
            raise QueueEmpty()
        self.cursor = found[0] + 1
        return found[1], found[2], found[3]


try:
    from queue import Empty as QueueEmpty
except ImportError:  # pragma: no cover
    QueueEmpty = Exception
