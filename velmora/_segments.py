"""The shared-memory segments of this machine as the file system shows them.

On Linux every POSIX shared-memory segment is a file in /dev/shm; the segment
"/name" is the file /dev/shm/name. Everything here reads those files and
/proc directly (the extension module is not needed to look), and reads the
segment's first bytes to guess what velmora keeps in it:

* a ring: [head u64 | tail u64 | capacity u64 | data], where capacity is a
  power of two and the file is exactly capacity + 24 bytes;
* a view: [lock word i32 | data], the word being 0 (unlocked), n > 0 (held by
  n readers) or -1 (write-locked);
* a broadcast: a header that starts with its own magic value and layout
  version, followed by the slot index and one entry per subscriber place.
* a fan-in ring ("mpsc"): a 128-byte header starting with its magic value,
  the layout version, the producer count and the capacity of each producer's
  lane, then one ring-layout lane per producer.

These are readings taken without any lock, while other processes may be
changing the bytes: good for a look, not for decisions that need certainty.

Who uses a segment in which role (a ring's producer and consumer, the
processes with a view open) comes from the module's claims, read through
the extension: see claims_of().
"""
from __future__ import annotations

import ctypes
import fnmatch
import importlib
import os
import pwd
import re
import stat
import struct
import time
from dataclasses import dataclass, field

from ._kinds import BROADCAST, KINDS, MPSC, RING, VIEW

SHM_DIR = "/dev/shm"
RING_HEADER = RING.header_size
LOCK_WORD = VIEW.header_size
# A reader count above this is taken for bytes that are not a lock word.
MAX_PLAUSIBLE_READERS = 1 << 16
BROADCAST_MAGIC = BROADCAST.magic
BROADCAST_HEADER = BROADCAST.header_size
BROADCAST_ENTRY = 64
# How much of a segment is read to classify it: a broadcast header with its
# index and subscriber entries fits in this for any plausible configuration.
PEEK = 1 << 16
MPSC_MAGIC = MPSC.magic
MPSC_HEADER = MPSC.header_size
MPSC_VERSION = MPSC.version


# The extension's rule for a segment name (ValueError with its text).
_check_name = importlib.import_module("velmora._velmora")._check_name


class SegmentError(Exception):
    """A failure to report to the user as one line. `reason` tells the
    failures apart as the extension's errors do (not_found, name, corrupt,
    os)."""

    def __init__(self, text: str, reason: str = "os") -> None:
        super().__init__(text)
        self.reason = reason


def normalize(name: str) -> str:
    """'/name' for 'name', '/name' or '//name'; SegmentError for names that
    cannot be segments (the extension's rule), and for those whose file
    would not lie directly in SHM_DIR (shm_open refuses an inner '/' too)."""
    base = name.lstrip("/")
    try:
        # A file name that is not UTF-8 comes with surrogates, which the
        # extension cannot take as text: the rule looks only at '/', '.' and
        # zero bytes, so they go in as '?'.
        _check_name("/" + base.encode("utf-8", "replace").decode())
    except ValueError:
        base = ""
    if not base or "/" in base:
        raise SegmentError(f"invalid segment name {name!r}: expected /NAME", "name")
    return "/" + base


def path_of(name: str) -> str:
    return os.path.join(SHM_DIR, normalize(name)[1:])


@dataclass
class Content:
    """What the first bytes of a segment suggest it holds."""

    kind: str  # "ring", "mpsc", "view", "broadcast" or "unknown"
    state: str  # one short human-readable phrase
    details: dict = field(default_factory=dict)


def mpsc_lanes(producers: int, capacity: int, size: int):
    """The offsets of a fan-in ring's lanes, or None when they do not fit in
    `size` bytes."""
    stride = (RING_HEADER + capacity + 63) // 64 * 64
    if not 1 <= producers <= 1024 or MPSC_HEADER + producers * stride > size:
        return None
    return [MPSC_HEADER + k * stride for k in range(producers)]


def classify_mpsc(data: bytes, size: int, lane_heads: dict[int, bytes] | None = None) -> Content:
    """A fan-in ring's header (and, when `data` or `lane_heads` hold them, its
    lanes' used bytes)."""
    version, producers, capacity = (MPSC.read(data, f) for f in ("version", "producers", "capacity"))
    details = {"version": version, "producers": producers, "capacity": capacity}
    if len(data) >= MPSC.header_size:
        # Producers the stream waits for (0: not set) and those registered so far.
        details |= {"expected": MPSC.read(data, "expected"), "joined": MPSC.read(data, "joined")}
    lanes = mpsc_lanes(producers, capacity, size) if capacity and capacity & (capacity - 1) == 0 else None
    if version != MPSC_VERSION or lanes is None:
        return Content("mpsc", f"version {version}, {producers} producer slots, capacity {capacity}: inconsistent",
                       details | {"consistent": False})
    used: int | None = 0
    for at in lanes:
        lane = (lane_heads or {}).get(at, data[at : at + RING_HEADER])
        if len(lane) < RING_HEADER:
            used = None
            break
        h, t = struct.unpack_from("<QQ", lane)
        used = (used or 0) + (t - h) % (1 << 64)
    state = f"{producers} producer slots, capacity {capacity}" + ("" if used is None else f", used {used}")
    return Content("mpsc", state, details | {"used": used, "consistent": True})


def classify_broadcast(head: bytes) -> Content | None:
    """A broadcast header's reading, or None when `head` does not start with one."""
    if len(head) < BROADCAST_HEADER or struct.unpack_from("<Q", head)[0] != BROADCAST_MAGIC:
        return None
    version, overflow, slot_size, _, depth, limit, publisher = struct.unpack_from("<IIQIIII", head, 8)
    (published,) = struct.unpack_from("<Q", head, 64)
    entries = BROADCAST_HEADER + (depth * 4 + 63) // 64 * 64
    active = None
    lags: dict = {}  # subscriber pid -> messages published that it has not taken yet
    if entries + limit * BROADCAST_ENTRY <= len(head):
        active = 0
        for i in range(limit):
            # an entry: state (u32, odd while in use) | pid (u32) | cursor (u64)
            state, pid, cursor = struct.unpack_from("<IIQ", head, entries + i * BROADCAST_ENTRY)
            if state & 1:
                active += 1
                lags[pid] = max(0, published - cursor)
    policy = {0: "block", 1: "overwrite"}.get(overflow, f"policy {overflow}")
    who = {0: "no publisher", 1: "publishing", 2: "closed"}.get(publisher, f"publisher state {publisher}")
    subs = "?" if active is None else str(active)
    state = f"{who}, {published} published, {subs}/{limit} subscribers, depth {depth}, {slot_size} B slots, {policy}"
    return Content("broadcast", state, {"version": version, "overflow": policy, "max_message": slot_size,
                                        "depth": depth, "subscriber_limit": limit, "subscribers": active,
                                        "published": published, "publisher": who, "lags": lags})


def classify(head: bytes, size: int) -> Content:
    """Reads a broadcast header, a ring header or a lock word from the
    segment's first bytes (`head`: up to PEEK bytes of a segment of `size` bytes)."""
    found = classify_broadcast(head)
    if found is not None:
        return found
    if len(head) >= RING_HEADER and size >= MPSC_HEADER and struct.unpack_from("<Q", head)[0] == MPSC_MAGIC:
        return classify_mpsc(head, size)
    if len(head) >= RING_HEADER:
        h, t, capacity = struct.unpack_from("<QQQ", head)
        if capacity and capacity & (capacity - 1) == 0 and capacity == size - RING_HEADER:
            used = (t - h) % (1 << 64)
            consistent = used <= capacity
            if consistent:
                state = f"capacity {capacity}, used {used}, head {h}, tail {t}"
            else:
                state = f"capacity {capacity}, head {h}, tail {t}: inconsistent"
            return Content("ring", state, {"capacity": capacity, "used": used if consistent else None,
                                           "head": h, "tail": t, "consistent": consistent})
    if len(head) < LOCK_WORD:
        return Content("unknown", "too small for a lock word", {})
    (word,) = struct.unpack_from("<i", head)
    details = {"lock_word": word}
    if word == 0:
        return Content("view", "unlocked", details | {"readers": 0, "write_locked": False})
    if word == -1:
        return Content("view", "write-locked", details | {"readers": 0, "write_locked": True})
    if 0 < word <= MAX_PLAUSIBLE_READERS:
        noun = "reader" if word == 1 else "readers"
        return Content("view", f"{word} {noun}", details | {"readers": word, "write_locked": False})
    return Content("unknown", f"lock word {word & 0xFFFFFFFF:#010x}", details)


def read_head(path: str, n: int = RING_HEADER) -> bytes:
    """Up to `n` bytes from the start of the file, read with pread(2): a file
    that shrinks meanwhile gives fewer bytes, never a signal."""
    fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC)
    try:
        return os.pread(fd, n, 0)
    finally:
        os.close(fd)


def read_content(path: str, size: int) -> Content:
    """Classifies the segment's first bytes; any failure to read them is a "?"."""
    if size == 0:
        return Content("unknown", "empty", {})
    try:
        head = read_head(path, PEEK)
    except OSError as exc:
        return Content("?", f"? ({exc.strerror or exc})", {})
    # The file may have been truncated or grown since it was stat'ed: judge
    # the bytes by the size they came from.
    size = size if len(head) == min(size, PEEK) else len(head)
    if len(head) >= RING_HEADER and size >= MPSC_HEADER and struct.unpack_from("<Q", head)[0] == MPSC_MAGIC:
        try:
            return classify_mpsc(head, size, read_lane_heads(path, head, size))
        except OSError as exc:
            return Content("?", f"? ({exc.strerror or exc})", {})
    return classify(head, size)


def read_lane_heads(path: str, head: bytes, size: int) -> dict[int, bytes]:
    """A fan-in ring's lane headers by offset, read with pread(2) (a lane the
    file no longer holds reads short)."""
    _, producers, capacity = struct.unpack_from("<IIQ", head, 8)
    lanes = mpsc_lanes(producers, capacity, size) if capacity and capacity & (capacity - 1) == 0 else None
    if not lanes:
        return {}
    fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC)
    try:
        return {at: os.pread(fd, RING_HEADER, at) for at in lanes}
    finally:
        os.close(fd)


def display_name(entry: str) -> str:
    """A file name as one printable line: bytes that are not UTF-8, control
    characters (a newline) and the backslash itself are written as backslash
    escapes, so two names never look alike. A byte that is not UTF-8 is
    \\xHH, a character that is not printable is \\n, \\t, \\r, \\xHH below
    0x80 and \\uHHHH or \\UHHHHHHHH above it: parse_display_name() reverses it."""
    out = []
    for c in os.fsencode(entry).decode("utf-8", "surrogateescape"):
        if c == "\\":
            out.append("\\\\")
        elif "\udc80" <= c <= "\udcff":  # a byte that is not UTF-8
            out.append(f"\\x{ord(c) - 0xDC00:02x}")
        elif not c.isprintable():
            if 0x80 <= ord(c) <= 0xFF:  # \xHH would read as the lone byte
                out.append(f"\\u{ord(c):04x}")
            else:
                out.append(c.encode("unicode_escape").decode("ascii"))
        else:
            out.append(c)
    return "".join(out)


_ESCAPE = re.compile(r"\\(?:(\\)|([ntr])|x([0-9a-f]{2})|u([0-9a-f]{4})|U([0-9a-f]{8}))")


def parse_display_name(shown: str):
    """The file name that display_name() shows as `shown` (bytes that are
    not UTF-8 as surrogate escapes, as os.listdir gives them), or None when no
    name is shown that way."""

    def one(m):
        backslash, control, byte, u16, u32 = m.groups()
        if backslash:
            return "\\"
        if control:
            return {"n": "\n", "t": "\t", "r": "\r"}[control]
        if byte:
            code = int(byte, 16)
            return chr(0xDC00 + code) if code >= 0x80 else chr(code)
        return chr(min(int(u16 or u32, 16), 0x10FFFF))

    text = _ESCAPE.sub(one, shown)
    try:
        # Only the one reading display_name() gives back unchanged: an escape
        # it would not write (or a character it would have escaped) is no display.
        return text if display_name(text) == shown else None
    except UnicodeError:  # a lone surrogate that is no escaped byte
        return None


# ---- claims: roles and attachments --------------------------------------------------

@dataclass
class Claims:
    """For each claim of a kind: the pids holding it (those this user can see),
    and whether any process other than ours holds it (whoever it belongs to)."""

    pids: dict
    held: dict
    known: bool = True  # False: the segment could not be opened to read them


def claims_of(name: str, kind: str, entries: int = 0) -> Claims:
    """The claims of a segment, by role as its kind lists them (a view's
    attachments for anything that is not a channel); a role with one slot per
    producer or subscriber entry covers `entries` slots, its pids in slot
    order. Empty where the segment cannot be opened."""
    # Anything that is not a channel may be a view whose lock word reads oddly.
    claims = KINDS[kind if kind in ("ring", "mpsc", "broadcast") else "view"].claims.values()
    import velmora

    try:
        shm = velmora.SharedMemory.open(normalize(name))
    except (OSError, ValueError):  # gone, not ours, or a name the module cannot take
        return Claims({}, {}, known=False)
    found = {}
    with shm:
        for c in claims:
            pids: list = []
            held = False
            for entry in range(entries if c.per_entry else 1):
                p, h = shm._claim_holders(c.slot(entry))
                pids += p
                held = held or h
            found[c.role] = (pids, held)
    own = os.getpid()
    return Claims({role: [p for p in pids if p != own] for role, (pids, _) in found.items()},
                  {role: held for role, (_, held) in found.items()})


# ---- processes that map a segment ----------------------------------------------------


@dataclass
class Mappers:
    """Which processes map which file, from /proc/*/maps, keyed by (device,
    inode), and the credentials of the processes whose maps could not be
    read (another user's, for a user who is not root)."""

    by_file: dict
    hidden: set = field(default_factory=set)  # {(uids, gids)}; None: not known

    @property
    def complete(self) -> bool:
        return not self.hidden

    def pids(self, st: os.stat_result) -> list:
        return sorted(self.by_file.get((st.st_dev, st.st_ino), ()))

    def complete_for(self, st: os.stat_result) -> bool:
        """True when no process whose maps were unreadable could have opened
        this file: only then is the count of its mappers known to be whole."""
        return not any(_may_open(creds, st) for creds in self.hidden)


def _may_open(creds, st: os.stat_result) -> bool:
    if creds is None:
        return True
    uids, gids = creds
    if 0 in uids:
        return True
    if st.st_uid in uids:
        return bool(st.st_mode & 0o600)
    if st.st_gid in gids:
        return bool(st.st_mode & 0o060)
    return bool(st.st_mode & 0o006)


def _credentials(status_path: str):
    """(uids, gids) of a process from /proc/PID/status, or None."""
    uids = gids = None
    try:
        with open(status_path, encoding="utf-8", errors="replace") as f:
            for line in f:
                key, _, rest = line.partition(":")
                if key == "Uid":
                    uids = frozenset(int(x) for x in rest.split())
                elif key in ("Gid", "Groups"):
                    gids = (gids or frozenset()) | frozenset(int(x) for x in rest.split())
    except (OSError, ValueError):
        return None
    return (uids, gids or frozenset()) if uids else None


def scan_mappers(proc: str = "/proc") -> Mappers:
    """Every process's file mappings under SHM_DIR. Our own process is left
    out: it maps nothing of its own, and mapping to look must not count."""
    own = os.getpid()
    by_file: dict = {}
    hidden: set = set()
    try:
        entries = os.listdir(proc)
    except OSError:
        return Mappers({}, {None})
    for entry in entries:
        if not entry.isdigit() or int(entry) == own:
            continue
        try:
            with open(os.path.join(proc, entry, "maps"), encoding="utf-8", errors="replace") as f:
                lines = f.readlines()
        except FileNotFoundError:  # the process has gone
            continue
        except OSError:
            creds = _credentials(os.path.join(proc, entry, "status"))
            if os.path.isdir(os.path.join(proc, entry)):
                hidden.add(creds)
            continue
        for line in lines:
            # address perms offset dev inode path; the path may contain blanks
            parts = line.split(maxsplit=5)
            if len(parts) < 6 or not parts[5].startswith(SHM_DIR + "/"):
                continue
            try:
                major, minor = (int(x, 16) for x in parts[3].split(":"))
                key = (os.makedev(major, minor), int(parts[4]))
            except ValueError:
                continue
            by_file.setdefault(key, set()).add(int(entry))
    return Mappers(by_file, hidden)


def command_of(pid: int, proc: str = "/proc") -> str:
    try:
        with open(os.path.join(proc, str(pid), "cmdline"), "rb") as f:
            raw = f.read()
    except OSError:
        raw = b""
    if raw:
        text = raw.rstrip(b"\0").replace(b"\0", b" ").decode(errors="replace")
        return " ".join(text.split())  # one line, whatever the arguments held
    try:
        with open(os.path.join(proc, str(pid), "comm"), encoding="utf-8", errors="replace") as f:
            return "[" + f.read().strip() + "]"
    except OSError:
        return "?"


# ---- one segment ---------------------------------------------------------------------


def _birth_time(path: str):
    """The file's creation time from statx(2), or None where it is not known."""
    try:
        libc = ctypes.CDLL(None, use_errno=True)
        statx = libc.statx
    except (OSError, AttributeError):
        return None
    buf = ctypes.create_string_buffer(256)
    at_fdcwd, at_symlink_nofollow, statx_btime = -100, 0x100, 0x800
    if statx(at_fdcwd, os.fsencode(path), at_symlink_nofollow, statx_btime, buf) != 0:
        return None
    (mask,) = struct.unpack_from("<I", buf.raw, 0)
    if not mask & statx_btime:
        return None
    sec, nsec = struct.unpack_from("<qI", buf.raw, 80)
    return sec + nsec / 1e9


def _owner(uid: int) -> str:
    try:
        return pwd.getpwuid(uid).pw_name
    except KeyError:
        return str(uid)


@dataclass
class Segment:
    name: str
    path: str
    size: int
    owner: str
    mode: str
    created: float  # seconds since the epoch (last change where creation is unknown)
    content: Content
    pids: list
    pids_complete: bool
    claims: Claims = field(default_factory=lambda: Claims({}, {}))
    ident: tuple | None = None  # (st_dev, st_ino) of the file looked at

    @property
    def age(self) -> float:
        return max(0.0, time.time() - self.created)

    def as_dict(self, commands: bool = False) -> dict:
        d = {
            "name": self.name,
            "path": self.path,
            "size": self.size,
            "owner": self.owner,
            "mode": self.mode,
            "created": self.created,
            "age_seconds": round(self.age, 3),
            "processes": len(self.pids),
            "processes_complete": self.pids_complete,
            "kind": self.content.kind,
            "state": self.content.state,
        }
        d.update(self.content.details)
        for role, pids in self.claims.pids.items():
            d[f"{role}_pids"] = pids
        if commands:
            d["mapped_by"] = [{"pid": p, "command": command_of(p)} for p in self.pids]
        return d


def _entries(content: Content) -> int:
    """How many per-entry claim slots a segment's header says it has: a
    fan-in ring's producer slots, a broadcast's subscriber places."""
    if not content.details.get("consistent", True):
        return 0
    count = content.details.get("producers" if content.kind == "mpsc" else "subscriber_limit", 0)
    return count if isinstance(count, int) and 0 <= count <= 1024 else 0


def _segment(path: str, st: os.stat_result, mappers: Mappers) -> Segment:
    name = "/" + os.path.basename(path)
    content = read_content(path, st.st_size)
    return Segment(
        name="/" + display_name(os.path.basename(path)),
        path=path,
        size=st.st_size,
        owner=_owner(st.st_uid),
        mode=stat.filemode(st.st_mode)[1:],
        created=_birth_time(path) or st.st_ctime,
        content=content,
        pids=mappers.pids(st),
        pids_complete=mappers.complete_for(st),
        # A file too small for any header has no claims to look for (and opening
        # it would wait for a creator to size it).
        claims=claims_of(name, content.kind, _entries(content)) if st.st_size >= LOCK_WORD else Claims({}, {}),
        ident=(st.st_dev, st.st_ino),
    )


def _check_dir() -> None:
    if not os.path.isdir(SHM_DIR):
        raise SegmentError(f"{SHM_DIR} not found: this command reads Linux's shared-memory file system")


def list_segments(pattern: str | None = None) -> list:
    """Every segment, or those whose name (with or without its leading '/')
    matches the shell-style `pattern`."""
    _check_dir()
    found = []
    for entry in sorted(os.listdir(SHM_DIR)):
        if pattern is not None and not (fnmatch.fnmatchcase(entry, pattern.lstrip("/"))
                                        or fnmatch.fnmatchcase(display_name(entry), pattern.lstrip("/"))):
            continue
        path = os.path.join(SHM_DIR, entry)
        try:
            st = os.lstat(path)
        except OSError:  # removed while we looked, or not ours to see
            continue
        # glibc keeps named POSIX semaphores in the same directory as sem.NAME.
        if stat.S_ISREG(st.st_mode) and not entry.startswith("sem."):
            found.append((path, st))
    mappers = scan_mappers()
    return [_segment(path, st, mappers) for path, st in found]


def _as_typed(base: str) -> str:
    """A name the user gave, for messages: as typed when it reads as a
    display (escapes included), else its bytes escaped."""
    return "/" + (base if parse_display_name(base) is not None else display_name(base))


def resolve(name: str) -> str:
    """The file name in SHM_DIR that `name` addresses: the name's own bytes
    (as the shell passed them), or the name as list and inspect show it, with
    its escapes read back (/odd\\xff for the file odd<byte 0xff>). When both
    readings name files, the name is refused: nothing may act on a segment
    the user did not mean."""
    base = normalize(name)[1:]
    real = parse_display_name(base)
    if real is None or real == base:
        return base
    typed, shown = (os.path.lexists(os.path.join(SHM_DIR, n)) for n in (base, real))
    if typed and shown:
        raise SegmentError(f"{_as_typed(base)} names two segments: /{display_name(base)} as typed and "
                           f"/{display_name(real)} as shown by list; nothing changed (rename one of them)", "name")
    return real if shown else base


def locate(name: str) -> tuple:
    """(file name in SHM_DIR, its status) of the segment `name` addresses;
    SegmentError when there is no such segment."""
    _check_dir()
    base = resolve(name)
    path = os.path.join(SHM_DIR, base)
    try:
        st = os.lstat(path)
    except FileNotFoundError:
        raise SegmentError(f"no segment named {_as_typed(base)} (no {SHM_DIR}{_as_typed(base)})", "not_found") from None
    except OSError as exc:
        raise SegmentError(f"{_as_typed(base)}: {exc.strerror}") from None
    if not stat.S_ISREG(st.st_mode):
        raise SegmentError(f"{SHM_DIR}/{display_name(base)} is not a shared-memory segment", "corrupt")
    return base, st


def get_segment(name: str) -> Segment:
    base, st = locate(name)
    return _segment(os.path.join(SHM_DIR, base), st, scan_mappers())


def remove_segment(name: str) -> str:
    """Unlinks the segment `name` addresses (what shm_unlink does on Linux:
    the file under SHM_DIR goes, mappings stay) and returns its shown name."""
    base, _ = locate(name)
    shown = "/" + display_name(base)
    try:
        os.unlink(os.path.join(SHM_DIR, base))
    except OSError as exc:
        raise SegmentError(f"cannot remove {shown}: {exc.strerror or exc}") from None
    return shown


def reset_lock_word(seg: Segment, expect=None) -> int:
    """Writes 0 over the lock word of the file `seg` was read from and
    returns the word it replaced; with `expect`, only when the word still
    reads `expect`. A word that reads 0 is left as it is.

    The word is read and written with pread/pwrite, never through a mapping:
    a file truncated meanwhile reads short instead of raising SIGBUS. Every
    way this could have changed nothing, or something else, is a
    SegmentError: the file replaced since it was looked at, shorter than a
    word, a word other than `expect`, a file that shrank while it was
    written, or a word that does not read 0 afterwards."""
    if seg.size < LOCK_WORD:
        raise SegmentError(f"{seg.name} is {seg.size} bytes, too small for a lock word", "corrupt")
    try:
        fd = os.open(seg.path, os.O_RDWR | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC)
    except OSError as exc:
        raise SegmentError(f"cannot open {SHM_DIR}{seg.name} for writing: {exc.strerror}") from None
    try:
        return _reset_at(fd, seg, expect)
    except OSError as exc:
        raise SegmentError(f"cannot reset the lock word of {seg.name}: {exc.strerror or exc}") from None
    finally:
        os.close(fd)


def _reset_at(fd: int, seg: Segment, expect) -> int:
    st = os.fstat(fd)
    if seg.ident is not None and (st.st_dev, st.st_ino) != seg.ident:
        raise SegmentError(f"{seg.name} was replaced by another file since it was looked at; nothing changed")
    head = os.pread(fd, LOCK_WORD, 0)
    if len(head) < LOCK_WORD:
        raise SegmentError(f"{seg.name} shrank below a lock word")
    (before,) = struct.unpack("<i", head)
    if expect is not None and before != expect:
        raise SegmentError(f"{seg.name}: the lock word changed while it was looked at (it read "
                           f"{classify(struct.pack('<i', expect), LOCK_WORD).state}); nothing changed, try again")
    if before == 0:
        return 0
    size = st.st_size
    # A write past the end would grow the file: the size is looked at again
    # right before it, and after it (a shrink in between is reported, not hidden).
    if os.fstat(fd).st_size < LOCK_WORD:
        raise SegmentError(f"{seg.name} shrank below a lock word")
    os.pwrite(fd, bytes(LOCK_WORD), 0)
    after_size = os.fstat(fd).st_size
    after = os.pread(fd, LOCK_WORD, 0)
    if after_size < size or len(after) < LOCK_WORD:
        raise SegmentError(f"{seg.name} was truncated while its lock word was reset (now {after_size} bytes); "
                           "its lock word may not have been reset")
    if after != bytes(LOCK_WORD):
        now = classify(after, LOCK_WORD).state
        raise SegmentError(f"{seg.name}: the lock word reads {now} right after the reset; another process "
                           "has taken it again or wrote over it")
    return before
