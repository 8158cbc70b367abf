"""The channel kinds as the extension states them: one row per kind, with
its magic value and layout version, its header's size and readable fields,
and the claim slots its roles take. Everything in the package that needs one
of these facts (the segment readers, the command line, the bridge) reads it
here; nothing restates it."""
from __future__ import annotations

import importlib
import struct
from dataclasses import dataclass

_TABLE = importlib.import_module("velmora._velmora")._kinds


@dataclass(frozen=True)
class Claim:
    role: str
    first: int
    per_entry: bool  # one slot per producer or subscriber entry: first + i
    exclusive: bool

    def slot(self, entry: int = 0) -> int:
        return self.first + entry if self.per_entry else self.first


@dataclass(frozen=True)
class Kind:
    name: str
    classes: tuple[str, ...]
    magic: int  # 0: recognised by its shape
    version: int
    header_size: int
    fields: dict[str, tuple[int, str]]  # name -> (offset, struct code)
    claims: dict[str, Claim]

    def read(self, data: bytes, name: str) -> int:
        """Field `name` of the header at the start of `data` (little-endian)."""
        at, code = self.fields[name]
        return struct.unpack_from("<" + code, data, at)[0]


KINDS: dict[str, Kind] = {
    name: Kind(name, tuple(classes.split()), magic, version, header,
               {f: (at, code) for f, at, code in fields},
               {role: Claim(role, first, per_entry, exclusive) for role, first, per_entry, exclusive in claims})
    for name, classes, magic, version, header, fields, claims in _TABLE
}

VIEW, RING, MPSC, BROADCAST = (KINDS[k] for k in ("view", "ring", "mpsc", "broadcast"))
