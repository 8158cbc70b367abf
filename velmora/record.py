"""Named fields at fixed offsets of a MappedView: shared state by name.

    rec = velmora.Record(view, {"count": "i64", "temp": "f64", "name": ("str", 32)})
    rec.count += 1                  # one read-modify-write under the write lock
    rec.update(temp=21.5, name="probe")   # both fields under one write lock
    rec.snapshot()                  # every field, read under one shared lock
    rec.add("count", 1)             # lock-free, for i64 fields

Layout
------
The layout depends only on the fields and ``offset``, so every process
(or a C++ program) that uses the same fields finds the same bytes:

* fields are placed in the order they are given, starting at ``offset``
  (a data-area offset, as every MappedView offset is);
* each field starts at the first position that is aligned *in the mapping*
  to the field's alignment. The mapping begins with the 4-byte lock word, so
  a data offset ``p`` is aligned to ``a`` when ``(p + 4) % a == 0``: 8-byte
  fields sit at data offsets 4, 12, 20, ...;
* the bytes skipped for alignment are padding (written as zeros by update());
* numbers are little-endian, in the codec's encodings:

  ==========  ====  =========  ===========================================
  tag         size  alignment  C++ (velmora::View)
  ==========  ====  =========  ===========================================
  i64, int    8     8          read/write<std::int64_t>, add, load, store
  u64         8     8          read/write<std::uint64_t>
  f64, float  8     8          read/write<double>
  i32         4     4          read/write<std::int32_t>
  u32         4     4          read/write<std::uint32_t>
  f32         4     4          read/write<float>
  u8          1     1          read/write<std::uint8_t>
  bool        1     1          read/write<bool> (one byte, 0 or 1)
  (str, n)    4+n   4          u32 byte count, UTF-8, zeros up to n bytes;
                               read_str(offset) gives the text
  ==========  ====  =========  ===========================================

So ``{"count": "i64", "temp": "f64", "name": ("str", 32)}`` at offset 0 puts
``count`` at 4, ``temp`` at 12 and ``name`` at 20 (36 bytes: up to 56).
``Record.layout(fields, offset)`` lists the offsets without a view.

Consistency: one attribute read or write is one call on the view (one hold of
its lock); update() and the read-modify-write of an augmented assignment hold
the write lock once for all they do; snapshot() reads every field under one
shared hold. add() is the view's lock-free word add: it never waits, and an
update() of other fields does not overwrite it (update writes only the fields
it names). It does not take the lock, so a counter should be changed either
only by add() or only by locked writes (``rec.count += 1``, update): a locked
read-modify-write that runs across an add() writes back over it. Inside the
view's own ``write_locked()`` block every one of these runs under the block's
hold.

An augmented assignment replays its operation when the result is stored back
into the same field of the same Record: ``x = rec.count; x += 1; rec.count = x``
adds 1 to the value current at the store, not to the value read.
"""

from __future__ import annotations

import keyword
import operator
import struct
from contextlib import nullcontext
from typing import Any, Mapping

__all__ = ["Record"]

_LOCK_WORD = 4  # bytes before the data area in the mapping

# tag -> (struct code, size); alignment == size for numbers
_NUMBERS = {
    "i64": ("q", 8), "int": ("q", 8), "u64": ("Q", 8), "f64": ("d", 8), "float": ("d", 8),
    "i32": ("i", 4), "u32": ("I", 4), "f32": ("f", 4), "u8": ("B", 1), "bool": ("?", 1),
}
_STR_ALIGN = 4
_COUNT = struct.Struct("<I")


class _Field:
    __slots__ = ("name", "tag", "offset", "size", "lead", "index", "code", "budget", "packer")

    def __init__(self, name, tag, offset, size, lead, index, code, budget):
        self.name, self.tag, self.offset, self.size = name, tag, offset, size
        self.lead, self.index, self.code, self.budget = lead, index, code, budget
        self.packer = struct.Struct("<" + code) if code else None


def _aligned(pos: int, align: int) -> int:
    """The first data offset >= pos that is aligned to `align` in the mapping."""
    return -((-(pos + _LOCK_WORD)) // align) * align - _LOCK_WORD


def _parse(fields: Mapping[str, Any], offset: int) -> list[_Field]:
    if not isinstance(offset, int) or offset < 0:
        raise ValueError(f"offset must be an int >= 0, not {offset!r}")
    if not fields:
        raise ValueError("a Record needs at least one field")
    placed, pos = [], offset
    for index, (name, kind) in enumerate(fields.items()):
        if (not isinstance(name, str) or not name.isidentifier() or keyword.iskeyword(name)
                or name.startswith("_") or name in _RESERVED):
            raise ValueError(f"field name {name!r} is not usable: an identifier, not a keyword, not starting with '_', "
                             f"and none of {sorted(_RESERVED)}")
        if isinstance(kind, tuple) and len(kind) == 2 and kind[0] == "str":
            budget = kind[1]
            if not isinstance(budget, int) or isinstance(budget, bool) or budget < 1:
                raise ValueError(f"field {name!r}: a str budget must be an int >= 1, not {budget!r}")
            tag, code, size, align = "str", None, _COUNT.size + budget, _STR_ALIGN
        elif isinstance(kind, str) and kind in _NUMBERS:
            code, size = _NUMBERS[kind]
            tag, budget, align = kind, 0, size
        else:
            raise ValueError(f"field {name!r}: unknown type {kind!r} (one of {sorted(_NUMBERS)} or ('str', n))")
        start = _aligned(pos, align)
        placed.append(_Field(name, tag, start, size, start - pos, index, code, budget))
        pos = start + size
    return placed


class _Pending:
    """Mixed into the values that reading a field gives: an augmented
    assignment (``rec.count += 1``) yields a value that remembers the
    operations, and storing it back into the same field of the same record
    replays them on the current value under one write lock. Any other use is
    the plain value."""

    _record: Record
    _name: str
    _ops: tuple[tuple[Any, Any], ...]

    def _plain(self) -> Any:
        raise NotImplementedError

    def _then(self, op, operand):
        value = op(self._plain(), operand)  # the preview; raises as the plain op would
        out = type(self)(value)
        out._record, out._name, out._ops = self._record, self._name, self._ops + ((op, operand),)
        return out

    def __iadd__(self, x): return self._then(operator.add, x)
    def __isub__(self, x): return self._then(operator.sub, x)
    def __imul__(self, x): return self._then(operator.mul, x)
    def __itruediv__(self, x): return self._then(operator.truediv, x)
    def __ifloordiv__(self, x): return self._then(operator.floordiv, x)
    def __imod__(self, x): return self._then(operator.mod, x)
    def __ipow__(self, x): return self._then(operator.pow, x)
    def __ilshift__(self, x): return self._then(operator.lshift, x)
    def __irshift__(self, x): return self._then(operator.rshift, x)
    def __iand__(self, x): return self._then(operator.and_, x)
    def __ior__(self, x): return self._then(operator.or_, x)
    def __ixor__(self, x): return self._then(operator.xor, x)


class _Int(_Pending, int):
    def _plain(self): return int(self)
    def __reduce__(self): return (int, (int(self),))


class _Float(_Pending, float):
    def _plain(self): return float(self)
    def __reduce__(self): return (float, (float(self),))


class _Str(_Pending, str):
    def _plain(self): return str(self)
    def __reduce__(self): return (str, (str(self),))


def _wrapped(rec: Record, name: str, value: Any) -> Any:
    """A field's value as reading it gives it: able to replay an augmented
    assignment (see _Pending); a bool as it is."""
    out = (_Int if isinstance(value, int) and not isinstance(value, bool)
           else _Float if isinstance(value, float) else _Str if isinstance(value, str) else None)
    if out is None:
        return value
    wrapped = out(value)
    wrapped._record, wrapped._name, wrapped._ops = rec, name, ()
    return wrapped


class Record:
    """Named, typed fields at fixed offsets of a MappedView (see the module's
    docstring for the layout rule). Reading a field is ``rec.name``, writing
    it ``rec.name = value``; each is one locked call on the view."""

    __slots__ = ("_view", "_offset", "_size", "_fields", "_by_name", "_whole", "_build", "_has_str", "_plans")

    def __new__(cls, view, fields: Mapping[str, Any], offset: int = 0) -> Record:
        if cls is Record:
            cls = _specialised(_parse(fields, offset), offset)
        return object.__new__(cls)

    def __init__(self, view, fields: Mapping[str, Any], offset: int = 0) -> None:
        layout = _parse(fields, offset)
        size = layout[-1].offset + layout[-1].size - offset
        data_size = view.size()
        if offset + size > data_size:
            raise ValueError(f"out of bounds: offset={offset} + length={size} > data_size={data_size}")
        # The whole record as one struct, padding included, for snapshot().
        fmt, pos = ["<"], offset
        for f in layout:
            fmt.append(f"{f.offset - pos}x" if f.offset > pos else "")
            fmt.append(f.code if f.code else f"I{f.budget}s")
            pos = f.offset + f.size
        setattr_ = object.__setattr__
        setattr_(self, "_view", view)
        setattr_(self, "_offset", offset)
        setattr_(self, "_size", size)
        setattr_(self, "_fields", tuple(layout))
        setattr_(self, "_by_name", {f.name: f for f in layout})
        setattr_(self, "_whole", struct.Struct("".join(fmt)))
        setattr_(self, "_has_str", any(f.code is None for f in layout))
        # The snapshot's dict from the unpacked items, as one dict display.
        items = ", ".join(f"{f.name!r}: t[{i}]" for i, f in enumerate(layout))
        setattr_(self, "_build", eval(f"lambda t: {{{items}}}"))  # names are checked identifiers
        setattr_(self, "_plans", {})

    @staticmethod
    def layout(fields: Mapping[str, Any], offset: int = 0) -> list[tuple[str, str, int, int]]:
        """(name, tag, data offset, size) of each field, in order, as a Record
        over the same fields and offset places them."""
        return [(f.name, f.tag, f.offset, f.size) for f in _parse(fields, offset)]

    @property
    def size(self) -> int:
        """Bytes from the record's offset to the end of its last field."""
        return self._size

    @property
    def view(self):
        return self._view

    # ---- values -----------------------------------------------------------------

    def _encode(self, f: _Field, value) -> bytes:
        if f.code is None:
            if not isinstance(value, str):
                raise TypeError(f"field {f.name!r} is a str, not {type(value).__name__}")
            data = value.encode("utf-8")
            if len(data) > f.budget:
                raise ValueError(f"field {f.name!r}: {len(data)} UTF-8 bytes exceed its budget of {f.budget}")
            return _COUNT.pack(len(data)) + data + bytes(f.budget - len(data))
        try:
            return f.packer.pack(value)
        except struct.error as e:
            wrong_type = not isinstance(value, (int, float)) or (isinstance(value, float) and f.code in "qQiIB")
            raise (TypeError if wrong_type else ValueError)(f"field {f.name!r} ({f.tag}): {e}") from None

    def _decode(self, f: _Field, data: bytes, at: int = 0):
        if f.code is not None:
            return f.packer.unpack_from(data, at)[0]
        n = _COUNT.unpack_from(data, at)[0]
        if n > f.budget:
            raise ValueError(f"field {f.name!r}: stored byte count {n} exceeds its budget of {f.budget}")
        start = at + _COUNT.size
        return data[start:start + n].decode("utf-8")

    def _read(self, f: _Field):
        return self._decode(f, self._view.read_range(f.offset, f.size))

    def _write_hold(self):
        """The write lock for several calls: the caller's own write block if
        this thread is in one (a read block makes the writes raise)."""
        if self._view.held_scope is not None:
            return nullcontext()
        return self._view.write_locked()

    # ---- attribute access ---------------------------------------------------------

    def __getattr__(self, name: str):
        f = self._by_name.get(name) if not name.startswith("_") else None
        if f is None:
            raise AttributeError(f"{type(self).__name__} has no field {name!r}")
        return _wrapped(self, name, self._read(f))

    def __setattr__(self, name: str, value) -> None:
        f = self._by_name.get(name)
        if f is None:
            raise AttributeError(f"{type(self).__name__} has no field {name!r}")
        if isinstance(value, _Pending) and value._record is self and value._name == name and value._ops:
            ops = value._ops
            with self._write_hold():
                current = self._read(f)
                for op, operand in ops:
                    current = op(current, operand)
                self._view.write(self._encode(f, current), f.offset)
            return
        if isinstance(value, _Pending):
            value = value._plain()
        self._view.write(self._encode(f, value), f.offset)

    def __delattr__(self, name: str) -> None:
        raise AttributeError(f"{type(self).__name__} fields cannot be deleted")

    def __dir__(self):
        return sorted(set(super().__dir__()) | set(self._by_name))

    # ---- whole-record calls ----------------------------------------------------------

    def snapshot(self) -> dict[str, Any]:
        """Every field, read under one shared hold of the lock."""
        values = self._whole.unpack(self._view.read_range(self._offset, self._size))
        if self._has_str:
            values = _pairs(values, self._fields)
        return self._build(values)

    def update(self, **values: Any) -> None:
        """Write the named fields under one hold of the write lock; the others
        are left as they are. Every value is checked before anything is written."""
        # Numbers only, neighbouring fields in the given order: one packed write
        # (one hold), its struct kept per set of names.
        plan = self._plans.get(tuple(values))
        if plan is not None:
            try:
                data = plan[1].pack(*values.values())
            except struct.error:
                pass  # the general path below names the field at fault
            else:
                self._view.write(data, plan[0])
                return
        chunks: list[tuple[int, bytes]] = []  # runs of neighbouring fields
        last = -2
        for f in sorted(map(self._named, values), key=operator.attrgetter("index")):
            encoded = self._encode(f, values[f.name])
            if f.lead:
                encoded = bytes(f.lead) + encoded
            if f.index == last + 1:
                chunks[-1] = (chunks[-1][0], chunks[-1][1] + encoded)
            else:
                chunks.append((f.offset - f.lead, encoded))
            last = f.index
        if not chunks:
            return
        write = self._view.write
        if len(chunks) == 1:
            self._plan(values)
            write(chunks[0][1], chunks[0][0])
            return
        with self._write_hold():
            for at, data in chunks:
                write(data, at)

    def _plan(self, values: dict) -> None:
        """Keeps the struct of one run of neighbouring number fields, in the
        order the names came, for the next update() with the same names."""
        fields = [self._by_name[n] for n in values]
        if any(f.code is None or f.code == "?" for f in fields) or len(self._plans) >= 64:
            return
        ordered = sorted(fields, key=operator.attrgetter("index"))
        if fields != ordered:
            return
        fmt = "<" + "".join((f"{f.lead}x" if f.lead else "") + f.code for f in fields)
        self._plans[tuple(values)] = (fields[0].offset - fields[0].lead, struct.Struct(fmt))

    def add(self, name: str, delta: int = 1) -> int:
        """Add `delta` to an i64 field with the view's lock-free word add; the new value."""
        f = self._field(name)
        if f.code != "q":
            raise TypeError(f"add() needs an i64 field; {name!r} is {f.tag}")
        return self._view.add(f.offset, delta)

    def _field(self, name: str) -> _Field:
        f = self._by_name.get(name)
        if f is None:
            raise AttributeError(f"{type(self).__name__} has no field {name!r}")
        return f

    def _named(self, name: str) -> _Field:
        """update()'s keyword `name`: an unknown one is a TypeError, as for any call."""
        f = self._by_name.get(name)
        if f is None:
            raise TypeError(f"update() got an unexpected field {name!r}")
        return f

    def __repr__(self) -> str:
        fields = ", ".join(f"{f.name}: {f.tag}" + (f"[{f.budget}]" if f.code is None else "") + f" @{f.offset}"
                           for f in self._fields)
        return f"Record({fields})"


def _pairs(values: tuple, fields: tuple) -> list:
    """The snapshot struct's items as field values: a str field is two items
    (count, budget bytes); the rest one each."""
    out, i = [], 0
    for f in fields:
        if f.code is None:
            n, raw = values[i], values[i + 1]
            if n > f.budget:
                raise ValueError(f"field {f.name!r}: stored byte count {n} exceeds its budget of {f.budget}")
            out.append(raw[:n].decode("utf-8"))
            i += 2
        else:
            out.append(values[i])
            i += 1
    return out


_RESERVED = frozenset({"self", *(n for n in dir(Record) if not n.startswith("_"))})

_MISSING: Any = object()
_SPECIALISED: dict[tuple, type] = {}


def _general_update(rec: Record, given: dict) -> None:
    Record.update(rec, **{k: v for k, v in given.items() if v is not _MISSING})


def _specialised(layout: list[_Field], offset: int) -> type:
    """A Record subclass whose snapshot() and update() of every field are
    written out for this layout: a record of numbers only, read and written
    with one struct of the whole record (padding included) and no loop. Any
    other update() takes Record's own path."""
    if any(f.code is None for f in layout):
        return Record
    key = (offset, tuple((f.name, f.tag, f.offset) for f in layout))
    cls = _SPECIALISED.get(key)
    if cls is not None:
        return cls
    names = [f.name for f in layout]
    fmt = "<" + "".join((f"{f.lead}x" if f.lead else "") + (f.code or "") for f in layout)
    start = layout[0].offset - layout[0].lead
    size = layout[-1].offset + layout[-1].size - start
    items = ", ".join(f"{n!r}: t[{i}]" for i, n in enumerate(names))
    params = ", ".join(f"{n}=_MISSING" for n in names)
    given = ", ".join(f"{n!r}: {n}" for n in names)
    missing = " or ".join(f"{n} is _MISSING" for n in names)
    getters = "".join(
        f"def get_{f.name}(self):\n"
        f"    return _wrapped(self, {f.name!r}, _field_{f.name}(self._view.read_range({f.offset}, {f.size}))[0])\n"
        for f in layout)
    source = getters + (
        f"def snapshot(self):\n"
        f"    t = _unpack(self._view.read_range({start}, {size}))\n"
        f"    return {{{items}}}\n"
        f"def update(self, {params}):\n"
        f"    if {missing}:\n"
        f"        return _general_update(self, {{{given}}})\n"
        f"    try:\n"
        f"        data = _pack({', '.join(names)})\n"
        f"    except _error:\n"
        f"        return _general_update(self, {{{given}}})\n"
        f"    self._view.write(data, {start})\n"
    )
    whole = struct.Struct(fmt)
    namespace: dict[str, Any] = {"_unpack": whole.unpack, "_pack": whole.pack, "_error": struct.error,
                                 "_MISSING": _MISSING, "_general_update": _general_update, "_wrapped": _wrapped}
    namespace.update({f"_field_{f.name}": f.packer.unpack for f in layout if f.packer})
    exec(source, namespace)  # the names are checked identifiers, none a keyword
    for fn in ("snapshot", "update"):
        namespace[fn].__doc__ = getattr(Record, fn).__doc__
        namespace[fn].__qualname__ = f"Record.{fn}"
    members = {"__slots__": (), "__module__": __name__, "__doc__": Record.__doc__,
               "snapshot": namespace["snapshot"], "update": namespace["update"]}
    # Fields read as properties (no failed lookup first); stores still go
    # through Record.__setattr__.
    members.update({f.name: property(namespace[f"get_{f.name}"]) for f in layout})
    cls = type("Record", (Record,), members)
    if len(_SPECIALISED) < 256:
        _SPECIALISED[key] = cls
    return cls
