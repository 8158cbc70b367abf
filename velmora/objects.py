"""Python objects as messages: any picklable object through any velmora channel.

``put_object(obj)`` / ``get_object()`` on the rings, ``publish_object(obj)`` /
``receive_object()`` on broadcast, and the same under ``velmora.aio``, send
one object per message, pickled with protocol 5. Large contiguous buffers
(numpy arrays and memoryviews anywhere in the object; bytes and bytearray
objects sent as the object, or as items of a short list, tuple or dict sent
as the object) do not go through the pickle: they are copied once, straight
into the message in the channel, and once out of it into one bytearray that
the receiver owns. Arrays and memoryviews come back as writable views of that
bytearray, with their dtype (format) and shape, and nothing is copied again
(bytes and bytearray objects are copied out of it once more, as objects of
their own).

.. warning::
   Unpickling runs code chosen by whoever wrote the message. A channel that
   carries objects must be written only by processes you trust.

An object message, all numbers little-endian::

    offset  size      field
    0       4         MAGIC, b"\\x93VOB"
    4       2         LAYOUT_VERSION (1)
    6       2         alignment of the out-of-band buffers (a power of two <= 4096)
    8       4         count of out-of-band buffers
    12      4         reserved, 0
    16      8         length of the pickle
    24      8*count   length of each out-of-band buffer, in order
    then              the pickle
    then              each buffer, starting at the next multiple of the
                      alignment from the start of the message (zero padding)

and the message ends where the last of them ends. A receiver validates all
of it before unpickling: a message that is not laid out so raises ValueError
(``reason`` "corrupt", or "version" for a layout this module cannot read).

Objects and plain messages on one channel: a plain ``get()`` (``receive()``)
of an object message returns its bytes, which ``loads()`` decodes and
``is_object_message()`` recognises. A ``get_object()`` that takes a message
that is not an object message has consumed it: the ValueError it raises
carries the message's bytes as its ``data`` attribute, so nothing is lost;
so does the exception of a pickle that fails to load (a class the receiver
cannot import, say). A plain message that happens to start with the magic
and a valid layout is taken for an object: keep such messages apart.
"""

from __future__ import annotations

import io
import pickle
import struct
from typing import Any, Optional

__all__ = ["MAGIC", "LAYOUT_VERSION", "dumps", "loads", "is_object_message"]

MAGIC = b"\x93VOB"
LAYOUT_VERSION = 1
# Where buffers start, from the start of the message: enough for any dtype
# and for a cache line (the receiving bytearray's own start is 16-aligned).
ALIGN = 64
MAX_ALIGN = 4096
_HEAD = struct.Struct("<4sHHIIQ")
_LENGTH = struct.Struct("<Q")
# Smaller bytearrays and memoryviews travel inside the pickle.
OUT_OF_BAND_MIN = 1024


def _failure(reason: str, text: str, data: Any = None) -> ValueError:
    exc = ValueError(text)
    exc.reason = reason  # type: ignore[attr-defined]
    exc.data = data  # type: ignore[attr-defined]
    return exc


# ---- encoding -------------------------------------------------------------------


def _memoryview_from(buf: memoryview, fmt: str, shape: tuple) -> memoryview:
    flat: Any = memoryview(buf).cast("B")
    # cast() takes no shape with a zero in it: a 1-D view gets none.
    return flat.cast(fmt) if len(shape) == 1 else flat.cast(fmt, shape)


_castable: dict = {}


def _can_cast(fmt: str) -> bool:
    known = _castable.get(fmt)
    if known is None:
        try:
            view: Any = memoryview(bytes(struct.calcsize(fmt)))
            view.cast(fmt)
            known = True
        except (TypeError, ValueError, struct.error):
            known = False
        _castable[fmt] = known
    return known


class _Pickler(pickle.Pickler):
    # Memoryviews out of band (numpy arrays go so by themselves, through the
    # PickleBuffer their reduction gives).
    def reducer_override(self, obj: Any) -> Any:
        # (A view with no items and more than one dimension cannot be remade.)
        if type(obj) is memoryview and _can_cast(obj.format) and (obj.ndim < 2 or 0 not in (obj.shape or ())):
            flat = obj.cast("B") if obj.c_contiguous else memoryview(obj.tobytes())
            if flat.nbytes >= OUT_OF_BAND_MIN:
                return _memoryview_from, (pickle.PickleBuffer(flat), obj.format, obj.shape)
            return _memoryview_from, (bytearray(flat), obj.format, obj.shape)
        return NotImplemented


class _Carried:
    """A large bytes or bytearray, out of band: the pickler writes those types
    itself, inside the pickle, and asks no reducer about them."""

    __slots__ = ("data",)

    def __init__(self, data: Any) -> None:
        self.data = data

    def __reduce__(self) -> Any:
        return type(self.data), (pickle.PickleBuffer(self.data),)


# Containers this short, sent as the object, have their large bytes and
# bytearray items carried out of band; deeper ones stay in the pickle (finding
# them would cost a walk over every object).
CARRY_ITEMS = 64


def _carry(obj: Any) -> Any:
    seen: dict = {}

    def one(item: Any) -> Any:
        kind = type(item)
        if (kind is bytes or kind is bytearray) and len(item) >= OUT_OF_BAND_MIN:
            carried = seen.get(id(item))
            if carried is None:  # one object sent twice stays one
                carried = seen[id(item)] = _Carried(item)
            return carried
        return item

    kind = type(obj)
    if (kind is list or kind is tuple) and len(obj) <= CARRY_ITEMS:
        items = [one(x) for x in obj]
        return obj if not seen else kind(items)
    if kind is dict and len(obj) <= CARRY_ITEMS:
        values = {k: one(v) for k, v in obj.items()}
        return obj if not seen else values
    return one(obj)


class Encoded:
    """One object pickled and laid out, ready to be written: `size` bytes."""

    __slots__ = ("pickled", "raws", "offsets", "size")

    def __init__(self, obj: Any) -> None:
        buffers: list = []
        out = io.BytesIO()
        _Pickler(out, protocol=5, buffer_callback=buffers.append).dump(_carry(obj))
        self.pickled = out.getbuffer()
        # raw() is the bytes of a C- or Fortran-contiguous buffer, as they lie.
        self.raws = [b.raw() for b in buffers]
        pos = _HEAD.size + _LENGTH.size * len(self.raws) + self.pickled.nbytes
        self.offsets = []
        for raw in self.raws:
            pos = -(-pos // ALIGN) * ALIGN
            self.offsets.append(pos)
            pos += raw.nbytes
        self.size = pos

    def write(self, into: memoryview) -> None:
        """Lays the message out in `into`, exactly `size` bytes."""
        head = _HEAD.size + _LENGTH.size * len(self.raws)
        _HEAD.pack_into(into, 0, MAGIC, LAYOUT_VERSION, ALIGN, len(self.raws), 0, self.pickled.nbytes)
        for i, raw in enumerate(self.raws):
            _LENGTH.pack_into(into, _HEAD.size + _LENGTH.size * i, raw.nbytes)
        end = head + self.pickled.nbytes
        into[head:end] = self.pickled
        for at, raw in zip(self.offsets, self.raws):
            into[end:at] = bytes(at - end)
            end = at + raw.nbytes
            into[at:end] = raw


def dumps(obj: Any) -> bytearray:
    """`obj` as an object message (what put_object() writes into the channel)."""
    encoded = Encoded(obj)
    out = bytearray(encoded.size)
    encoded.write(memoryview(out))
    return out


# ---- decoding -------------------------------------------------------------------


def _layout(view: memoryview, data: Any) -> tuple:
    """The pickle's (start, end) and each buffer's (start, end) in `view`, all
    checked to lie within it; ValueError when the message is not laid out as
    an object message."""
    size = view.nbytes
    if size < _HEAD.size or bytes(view[:4]) != MAGIC:
        raise _failure("corrupt", f"not an object message ({size} bytes without its header)", data)
    _, version, align, count, reserved, pickle_len = _HEAD.unpack_from(view, 0)
    if version != LAYOUT_VERSION:
        raise _failure("version", f"object message layout {version}: this build reads layout {LAYOUT_VERSION}",
                       data)
    if reserved != 0 or align == 0 or align > MAX_ALIGN or align & (align - 1):
        raise _failure("corrupt", "object message header is forged (alignment or reserved field)", data)
    head = _HEAD.size + _LENGTH.size * count
    if head > size or pickle_len > size - head:
        raise _failure("corrupt", f"object message header claims more than the message's {size} bytes", data)
    end = head + pickle_len
    parts = []
    for i in range(count):
        (length,) = _LENGTH.unpack_from(view, _HEAD.size + _LENGTH.size * i)
        at = -(-end // align) * align
        if at > size or length > size - at:
            raise _failure("corrupt", f"object message buffer {i} lies past the message's {size} bytes", data)
        parts.append((at, at + length))
        end = at + length
    if end != size:
        raise _failure("corrupt", f"object message of {size} bytes ends at {end}", data)
    return (head, head + pickle_len), parts


def is_object_message(buffer: Any) -> bool:
    """Whether `buffer` (any bytes-like object) is laid out as an object message."""
    try:
        with memoryview(buffer) as view:
            _layout(view.cast("B") if view.format != "B" or view.ndim != 1 else view, None)
    except (ValueError, TypeError):
        return False
    return True


def decode_owned(data: bytearray) -> Any:
    """The object in `data`, a bytearray the caller gives up: arrays and
    memoryviews in the object are views of it."""
    view = memoryview(data)
    try:
        # A small object's message (as _small() lays it out) goes straight to
        # the unpickler; any other is checked field by field.
        if data.startswith(_SMALL_HEAD) and int.from_bytes(view[16:24], "little") == len(data) - _HEAD.size:
            return pickle.loads(view[_HEAD.size:])
        (p0, p1), parts = _layout(view, data)
        return pickle.loads(view[p0:p1], buffers=[view[a:b] for a, b in parts])
    except Exception as exc:
        # A layout's failure carries the message already; an unpickling one
        # (a class the receiver lacks, a forged pickle) gets it too, as the
        # message was consumed.
        if getattr(exc, "data", None) is None:
            try:
                exc.data = data  # type: ignore[attr-defined]
            except AttributeError:
                pass
        raise


def loads(data: Any) -> Any:
    """The object in an object message (bytes-like, e.g. what get() returned).
    A bytearray is decoded in place (arrays in the object are views of it);
    anything else is copied once into a new one, so arrays come out writable."""
    return decode_owned(data if type(data) is bytearray else bytearray(data))


# ---- the channels' methods ------------------------------------------------------


def _loaned(channel: Any, encoded: Encoded, timeout: Optional[float]) -> Any:
    try:
        return channel.loan(encoded.size, timeout)
    except ValueError as exc:
        if getattr(exc, "reason", None) != "too_large":
            raise
        error = ValueError(f"this object's message is {encoded.size} bytes, more than the channel holds: {exc}")
        error.reason = "too_large"  # type: ignore[attr-defined]
        raise error from None


def send(channel: Any, encoded: Encoded, timeout: Optional[float]) -> None:
    """Writes `encoded` into the channel in place (its loan())."""
    with _loaned(channel, encoded, timeout) as into:
        encoded.write(into)


def received(lent: Any) -> bytearray:
    """A subscriber's lent message copied out, once, into a bytearray."""
    with lent as view:
        return bytearray(view)


# Pickles up to this size are sent by copy, the header and the pickle in one
# put(): a loan costs more than copying them. Such a message has no buffers,
# so its header up to the pickle's length is always these bytes.
SMALL = 16384
_SMALL_HEAD = _HEAD.pack(MAGIC, LAYOUT_VERSION, ALIGN, 0, 0, 0)[:_HEAD.size - _LENGTH.size]


def _small(obj: Any) -> Optional[bytes]:
    """`obj` as a whole message when it pickles small with no buffer out of
    band (no array, no memoryview, nothing _carry() takes out); else None."""
    buffers: list = []
    try:
        pickled = pickle.dumps(obj, 5, buffer_callback=buffers.append)
    except TypeError:  # (a memoryview: the module's Pickler takes those)
        return None
    if buffers or len(pickled) > SMALL:  # (a pickle this small holds no large bytes in it)
        return None
    return b"".join((_SMALL_HEAD, len(pickled).to_bytes(8, "little"), pickled))


def _put_small(channel: Any, message: bytes, timeout: Optional[float]) -> None:
    try:
        channel.put(message, timeout)
    except ValueError as exc:
        if getattr(exc, "reason", None) != "too_large":
            raise
        error = ValueError(f"this object's message is {len(message)} bytes, more than the channel holds: {exc}")
        error.reason = "too_large"  # type: ignore[attr-defined]
        raise error from None


def put_object(self: Any, obj: Any, timeout: Optional[float] = None) -> None:
    """Send `obj` (any picklable object) as one message, waiting for room as put()
    does (queue.Full). A message larger than the ring holds raises ValueError
    (reason "too_large") and leaves the ring as it was. Only processes you trust
    may write a channel that carries objects: unpickling runs code."""
    message = _small(obj)
    if message is not None:
        _put_small(self, message, timeout)
    else:
        send(self, Encoded(obj), timeout)


def get_object(self: Any, timeout: Optional[float] = None, eof: bool = False) -> Any:
    """The next message as the object it carries, waiting as get() does (queue.Empty;
    eof=True: EOFError). A message that is not an object message is consumed and
    raises ValueError with its bytes as `data`."""
    return decode_owned(self.get_bytearray(timeout, eof))


def publish_object(self: Any, obj: Any, timeout: Optional[float] = None) -> None:
    """Publish `obj` (any picklable object) as one message, waiting as publish()
    does (queue.Full). A message larger than max_message raises ValueError
    (reason "too_large"), and nothing is published."""
    send(self, Encoded(obj), timeout)


def receive_object(self: Any, timeout: Optional[float] = None, eof: bool = False) -> Any:
    """The next message as the object it carries, waiting and ending as receive()
    does. A message that is not an object message raises ValueError with its
    bytes as `data`."""
    return decode_owned(received(self.receive_view(timeout, eof)))


def _install(module: Any) -> None:
    """Adds the object methods to the extension's channel classes."""
    for name in ("SpscRingBuffer", "MpscRingBuffer", "MpmcRingBuffer"):
        cls = getattr(module, name)
        cls.put_object = put_object
        cls.get_object = get_object
    module.Publisher.publish_object = publish_object
    module.Subscriber.receive_object = receive_object
