"""Named fields at fixed offsets of a MappedView: shared state by name.

    rec = velmora.Record(view, {"count": "i64", "temp": "f64", "name": ("str", 32)})
    rec.count                       # a plain int, read under the lock
    rec.update(temp=21.5, name="probe")   # both fields under one write lock
    with rec.locked() as r:         # several fields, one hold of the write lock
        r.count += 1
    rec.snapshot()                  # every field, one consistent read
    rec.add("count", 1)             # lock-free, for i64 fields

Layout
------
The layout depends only on the fields, ``offset`` and ``guarded``, so every
process (or a C++ program) that uses the same fields finds the same bytes:

* fields are placed in the order they are given, starting at ``offset``
  (a data-area offset, as every MappedView offset is);
* each field starts at the first position that is aligned *in the mapping*
  to the field's alignment. The mapping begins with the 4-byte lock word, so
  a data offset ``p`` is aligned to ``a`` when ``(p + 4) % a == 0``: 8-byte
  fields sit at data offsets 4, 12, 20, ...;
* the bytes skipped for alignment are padding (written as zeros by update());
* numbers are little-endian, in the codec's encodings:

  ==========  ====  =========  ===========================================
  tag         size  alignment  C++ (velmora::MappedView)
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

Values and updates
------------------
Reading a field gives a plain ``int``, ``float``, ``str`` or ``bool``: it is a
copy, and nothing done to it later reaches the record. So ``rec.count += 1``
is a read followed by a write, two calls on the view: another process's
update between them is lost (as with ``multiprocessing.Value``). Update
atomically with one of:

* ``rec.add(name, delta)``: the view's lock-free word add, for i64 fields;
* ``rec.update(**fields)``: the named fields under one hold of the write lock;
* ``with rec.locked() as r:``: one hold of the write lock for the whole block;
  every read and write of the record inside it runs under that hold, so
  ``r.count += 1`` there is one read-modify-write. It also works inside the
  caller's own ``view.write_locked()`` block (it uses that hold), and an
  exception in the block ends it as a normal exit would: what was written
  stays written.

add() does not take the lock, so a counter should be changed either only by
add() or only by locked writes: a locked read-modify-write that runs across
an add() writes back over it. update() writes only the fields it names, so it
never overwrites an add() to another field. snapshot() reads every field in
one consistent read. Inside the view's own ``write_locked()`` block every one
of these runs under the block's hold.

Guarded records: a writer that dies mid-write
---------------------------------------------
``Record(view, fields, guarded=True)`` adds an i64 *write-in-progress word*
right after the last field, at the first data offset ``p`` with
``(p + 4) % 8 == 0`` (so the view's ``load``/``store``/``add`` work on it).
``Record.layout(fields, offset, guarded=True)`` lists it last as
``("_seq", "i64", p, 8)`` and ``rec.size`` counts it. Every write of a
guarded record (a field store, update(), a locked() block) makes the word odd
under the write lock before it writes and even again after, so:

* a record whose writer died mid-write keeps an odd word while nobody holds
  the lock. Reading a field, snapshot() or locked() then raise
  ``TornRecordError`` (and so does writing only some fields) until the record
  is rewritten: an update() of every field, or ``rec.reset_torn()`` once the
  caller has checked or rewritten the fields another way;
* snapshot() and field reads need no lock: they copy the bytes from the
  view's buffer between two looks at the word, and keep them when the word
  was even and did not change. While the word is odd and the write lock is
  held, a live writer is in its block: the read waits for the lock instead
  (a dead holder's lock is recovered or timed out as every lock wait's is).
  Under steady writes a few retries give way to a read under the lock. Where
  the view exports no buffer (the cp310 build) every read is a locked one.

Why it is not the default: the word takes up to 16 bytes past the last field,
so a record that fills its view exactly, or one that a program placed right
before other data at a fixed offset, would stop fitting or would write its
word over its neighbour; and it only protects when every writer marks it,
which a C++ ``velmora::MappedView`` cannot do around its writes (each holds the lock
for one copy). Guard a record that Python processes write; leave a record
that C++ writes unguarded (its reads take the lock, as before). All the
processes that share a record must agree on ``guarded``.
"""

from __future__ import annotations

import keyword
import operator
import struct
import threading
from contextlib import nullcontext
from typing import Any, Mapping

__all__ = ["Record", "TornRecordError"]

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


class TornRecordError(RuntimeError):
    """A guarded Record's write-in-progress word is odd while no writer holds
    the lock: its last writer stopped mid-write (killed, or its process
    died), so the fields may be half old, half new. Rewrite every field with
    update(), or call reset_torn() once the fields are known to be right."""

    reason = "torn"


# Write blocks this thread has open on a guarded record, by (id(view), word
# offset): inside one the odd word is this thread's own mark, not a tear.
_local = threading.local()


def _own_marks() -> set[tuple[int, int | None]]:
    try:
        return _local.marks
    except AttributeError:
        marks: set[tuple[int, int | None]] = set()
        _local.marks = marks
        return marks


_SPINS = 64  # lock-free read attempts before a read under the lock


def _seq_offset(layout: list[_Field]) -> int:
    end = layout[-1].offset + layout[-1].size
    return _aligned(end, 8)


class Record:
    """Named, typed fields at fixed offsets of a MappedView (see the module's
    docstring for the layout rule). Reading a field is ``rec.name`` (a plain
    value), writing it ``rec.name = value``; each is one call on the view."""

    __slots__ = ("_view", "_offset", "_size", "_fields", "_by_name", "_whole", "_build", "_has_str", "_plans",
                 "_seq", "_key", "_buffer", "_end")

    def __new__(cls, view, fields: Mapping[str, Any], offset: int = 0, *, guarded: bool = False) -> Record:
        if cls is Record and not guarded:
            cls = _specialised(_parse(fields, offset), offset)
        return object.__new__(cls)

    def __init__(self, view, fields: Mapping[str, Any], offset: int = 0, *, guarded: bool = False) -> None:
        if not isinstance(guarded, bool):
            raise TypeError(f"guarded must be a bool, not {type(guarded).__name__}")
        layout = _parse(fields, offset)
        end = layout[-1].offset + layout[-1].size
        seq = _seq_offset(layout) if guarded else None
        size = (seq + 8 if seq is not None else end) - offset
        data_size = view.size()
        if offset + size > data_size:
            raise ValueError(f"out of bounds: offset={offset} + length={size} > data_size={data_size}")
        # The whole record as one struct, padding included, for snapshot().
        fmt, pos = ["<"], offset
        for f in layout:
            fmt.append(f"{f.offset - pos}x" if f.offset > pos else "")
            fmt.append(f.code if f.code else f"I{f.budget}s")
            pos = f.offset + f.size
        buffer = False
        if seq is not None:
            try:  # the view's buffer, for reads without the lock (3.11+ builds)
                memoryview(view).release()
                buffer = True
            except TypeError:
                pass
        setattr_ = object.__setattr__
        setattr_(self, "_view", view)
        setattr_(self, "_offset", offset)
        setattr_(self, "_size", size)
        setattr_(self, "_end", end)
        setattr_(self, "_fields", tuple(layout))
        setattr_(self, "_by_name", {f.name: f for f in layout})
        setattr_(self, "_whole", struct.Struct("".join(fmt)))
        setattr_(self, "_has_str", any(f.code is None for f in layout))
        # The snapshot's dict from the unpacked items, as one dict display.
        items = ", ".join(f"{f.name!r}: t[{i}]" for i, f in enumerate(layout))
        setattr_(self, "_build", eval(f"lambda t: {{{items}}}"))  # names are checked identifiers
        setattr_(self, "_plans", {})
        setattr_(self, "_seq", seq)
        setattr_(self, "_key", (id(view), seq))
        setattr_(self, "_buffer", buffer)

    @staticmethod
    def layout(fields: Mapping[str, Any], offset: int = 0, *, guarded: bool = False) -> list[tuple[str, str, int, int]]:
        """(name, tag, data offset, size) of each field, in order, as a Record
        over the same fields and offset places them; with guarded=True, the
        write-in-progress word last, as ("_seq", "i64", offset, 8)."""
        layout = _parse(fields, offset)
        out = [(f.name, f.tag, f.offset, f.size) for f in layout]
        if guarded:
            out.append(("_seq", "i64", _seq_offset(layout), 8))
        return out

    @property
    def size(self) -> int:
        """Bytes from the record's offset to the end of its last field (of its
        write-in-progress word, when guarded)."""
        return self._size

    @property
    def view(self):
        return self._view

    @property
    def guarded(self) -> bool:
        """Whether the record keeps a write-in-progress word (see the module's docstring)."""
        return self._seq is not None

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
        return self._decode(f, self._bytes(f.offset, f.size))

    def _torn(self, word: int) -> TornRecordError:
        return TornRecordError(
            f"{self!r} at offset {self._offset} of {self._view!r} is torn: its write-in-progress word ({word}) is odd "
            f"and no writer holds the lock, so its last writer stopped mid-write; rewrite every field with update() "
            f"or call reset_torn()")

    def _bytes(self, start: int, size: int) -> bytes:
        """The bytes [start, start + size) of the data area as one consistent
        read: under the lock for an unguarded record; for a guarded one checked
        against the write-in-progress word (see the module's docstring)."""
        view, seq = self._view, self._seq
        if seq is None:
            return view.read_range(start, size)
        if view.held_scope is not None:  # this thread holds the lock: no writer runs
            data = view.read_range(start, size)
            word = view.load(seq)
            if word & 1 and self._key not in _own_marks():
                raise self._torn(word)
            return data
        if self._buffer:
            end = start + size
            for _ in range(_SPINS):
                word = view.load(seq)
                if word & 1:
                    if view.is_write_locked():
                        break  # a writer in its block (or a dead one's lock): wait on the lock
                    if view.load(seq) == word:
                        # Odd with the lock free: its writer gave up the lock
                        # without ending its mark, so it died mid-write.
                        raise self._torn(word)
                    continue
                with memoryview(view) as mv:
                    data = mv[start:end].tobytes()
                # A read-modify-write that changes nothing: kept only when no
                # write began since the first look (and ordered after the copy).
                if view.compare_exchange(seq, word, word):
                    return data
        with view.read_locked():
            data = view.read_range(start, size)
            word = view.load(seq)
        if word & 1:
            raise self._torn(word)
        return data

    def _write(self, chunks: list[tuple[int, bytes]], whole: bool) -> None:
        """Writes (offset, bytes) pieces under one hold of the write lock (the
        caller's, if this thread holds one). A guarded record's word is odd
        for the length of the writes; a torn record takes only a write of
        every field (`whole`), which ends the tear."""
        view, seq = self._view, self._seq
        if seq is None and len(chunks) == 1:
            view.write(chunks[0][1], chunks[0][0])  # one call, one hold
            return
        scope = view.held_scope
        if scope == "read":
            raise RuntimeError("cannot write to a MappedView inside its read_locked() block")
        with nullcontext() if scope else view.write_locked():
            if seq is None:
                for at, data in chunks:
                    view.write(data, at)
                return
            if self._key in _own_marks():  # inside this thread's locked() block: marked already
                for at, data in chunks:
                    view.write(data, at)
                return
            word = view.load(seq)
            if word & 1 and not whole:
                raise self._torn(word)
            mark = word + 2 if word & 1 else word + 1
            view.store(seq, mark)
            done = 0
            try:
                for at, data in chunks:
                    view.write(data, at)
                    done += 1
            finally:
                # A write cut short after its first piece stays marked: torn.
                if done == len(chunks):
                    view.store(seq, mark + 1)
                elif done == 0:
                    view.store(seq, word)

    # ---- attribute access ---------------------------------------------------------

    def __getattr__(self, name: str):
        f = self._by_name.get(name) if not name.startswith("_") else None
        if f is None:
            raise AttributeError(f"{type(self).__name__} has no field {name!r}")
        return self._read(f)

    def __setattr__(self, name: str, value) -> None:
        f = self._by_name.get(name)
        if f is None:
            raise AttributeError(f"{type(self).__name__} has no field {name!r}")
        self._write([(f.offset, self._encode(f, value))], len(self._fields) == 1)

    def __delattr__(self, name: str) -> None:
        raise AttributeError(f"{type(self).__name__} fields cannot be deleted")

    def __dir__(self):
        return sorted(set(super().__dir__()) | set(self._by_name))

    # ---- whole-record calls ----------------------------------------------------------

    def snapshot(self) -> dict[str, Any]:
        """Every field, from one consistent read."""
        values = self._whole.unpack(self._bytes(self._offset, self._end - self._offset))
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
                self._write([(plan[0], data)], len(values) == len(self._fields))
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
        if len(chunks) == 1:
            self._plan(values)
        self._write(chunks, len(values) == len(self._fields))

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

    def locked(self) -> _LockedScope:
        """``with rec.locked() as r:`` holds the view's write lock for the
        block (the caller's own ``write_locked()`` hold, inside one): every
        read and write of the record in it runs under that one hold, so
        ``r.count += 1`` there is one read-modify-write. A guarded record is
        marked as being written for the block; a torn one raises
        TornRecordError here."""
        return _LockedScope(self)

    def reset_torn(self) -> bool:
        """Ends a guarded record's tear (see TornRecordError) without writing
        its fields, once the caller knows them to be right; True when it was
        torn. Under the write lock, so it never cuts into a live writer."""
        view, seq = self._view, self._seq
        if seq is None:
            return False
        scope = view.held_scope
        if scope == "read":
            raise RuntimeError("cannot write to a MappedView inside its read_locked() block")
        with nullcontext() if scope else view.write_locked():
            if self._key in _own_marks():
                return False  # this thread's own block's mark, not a tear
            word = view.load(seq)
            if not word & 1:
                return False
            view.store(seq, word + 1)
            return True

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
        return f"Record({fields}" + (f", guarded @{self._seq})" if self._seq is not None else ")")


class _LockedScope:
    """Record.locked()'s context manager (a class rather than a generator:
    this is the per-block cost of every locked read-modify-write)."""

    __slots__ = ("_rec", "_hold", "_word")

    def __init__(self, rec: Record) -> None:
        self._rec, self._hold, self._word = rec, None, None

    def __enter__(self) -> Record:
        rec = self._rec
        view, seq = rec._view, rec._seq
        scope = view.held_scope
        if scope == "read":
            raise RuntimeError("Record.locked() inside the view's read_locked() block: the write lock cannot be taken")
        if not scope:
            hold = view.write_locked()
            hold.__enter__()
            self._hold = hold
        if seq is None:
            return rec
        try:
            marks = _own_marks()
            if rec._key in marks:
                return rec
            word = view.load(seq)
            if word & 1:
                raise rec._torn(word)
            view.store(seq, word + 1)
            marks.add(rec._key)
            self._word = word
        except BaseException:
            self._release(None, None, None)
            raise
        return rec

    def __exit__(self, *exc_info) -> None:
        word, self._word = self._word, None
        if word is None:
            self._release(*exc_info)
            return
        rec = self._rec
        try:
            _own_marks().discard(rec._key)
            rec._view.store(rec._seq, word + 2)
        finally:
            self._release(*exc_info)

    def _release(self, *exc_info) -> None:
        hold, self._hold = self._hold, None
        if hold is not None:
            hold.__exit__(*exc_info)


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
    with one struct of the whole record (padding included) that the view
    packs and unpacks under one hold (MappedView.write_struct/read_struct),
    no bytes object in between and no loop. Any other update() takes
    Record's own path."""
    if any(f.code is None for f in layout):
        return Record
    key = (offset, tuple((f.name, f.tag, f.offset) for f in layout))
    cls = _SPECIALISED.get(key)
    if cls is not None:
        return cls
    names = [f.name for f in layout]
    fmt = "<" + "".join((f"{f.lead}x" if f.lead else "") + (f.code or "") for f in layout)
    start = layout[0].offset - layout[0].lead
    params = ", ".join(f"{n}=_MISSING" for n in names)
    given = ", ".join(f"{n!r}: {n}" for n in names)
    missing = " or ".join(f"{n} is _MISSING" for n in names)
    getters = "".join(
        f"def get_{f.name}(self):\n"
        f"    return _field_{f.name}(self._view.read_range({f.offset}, {f.size}))[0]\n"
        for f in layout)
    names_tuple = tuple(names)
    source = getters + (
        f"def snapshot(self):\n"
        f"    return self._view.read_struct(_FORMAT, {start}, _NAMES)\n"
        f"def update(self, {params}):\n"
        f"    if {missing}:\n"
        f"        return _general_update(self, {{{given}}})\n"
        f"    try:\n"
        f"        self._view.write_struct(_FORMAT, {start}, {', '.join(names)})\n"
        f"    except (TypeError, OverflowError):\n"
        f"        # a value that does not convert: nothing was written; the\n"
        f"        # general path names the field at fault\n"
        f"        return _general_update(self, {{{given}}})\n"
        f"def __setattr__(self, name, value):\n"
        f"    at = _AT.get(name)\n"
        f"    if at is None:\n"
        f"        return _record_setattr(self, name, value)\n"
        f"    try:\n"
        f"        self._view.write_struct(at[0], at[1], value)\n"
        f"    except (TypeError, OverflowError):\n"
        f"        _record_setattr(self, name, value)\n"
    )
    namespace: dict[str, Any] = {"_FORMAT": fmt, "_NAMES": names_tuple,
                                 "_MISSING": _MISSING, "_general_update": _general_update,
                                 "_AT": {f.name: ("<" + f.code, f.offset) for f in layout},
                                 "_record_setattr": Record.__setattr__}
    namespace.update({f"_field_{f.name}": f.packer.unpack for f in layout if f.packer})
    exec(source, namespace)  # the names are checked identifiers, none a keyword
    for fn in ("snapshot", "update", "__setattr__"):
        namespace[fn].__doc__ = getattr(Record, fn).__doc__
        namespace[fn].__qualname__ = f"Record.{fn}"
    members = {"__slots__": (), "__module__": __name__, "__doc__": Record.__doc__,
               "snapshot": namespace["snapshot"], "update": namespace["update"],
               "__setattr__": namespace["__setattr__"]}
    # Fields read as properties (no failed lookup first); a store is one
    # write_struct() of its field, Record.__setattr__ for anything else (an
    # unknown name, a value that does not convert: the messages).
    members.update({f.name: property(namespace[f"get_{f.name}"]) for f in layout})
    cls = type("Record", (Record,), members)
    if len(_SPECIALISED) < 256:
        _SPECIALISED[key] = cls
    return cls
