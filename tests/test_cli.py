"""The `velmora` command against real segments in /dev/shm, including one left
behind by a process killed with SIGKILL."""
import json
import os
import signal
import struct
import subprocess
import sys
from pathlib import Path

import pytest

import velmora
from velmora import _segments
from conftest import second_mapping, unique_name

pytestmark = pytest.mark.skipif(not os.path.isdir("/dev/shm"), reason="the command reads Linux's /dev/shm")


def cli(*args, check=None):
    out = subprocess.run([sys.executable, "-m", "velmora", *args], capture_output=True, text=True, timeout=60)
    if check is not None:
        assert out.returncode == check, (out.stdout, out.stderr)
    return out


def inspect_json(name):
    return json.loads(cli("inspect", "--json", name, check=0).stdout)


@pytest.fixture
def second_name(seg_names):
    return seg_names(1)[0]


# ---- reading the content ----------------------------------------------------------------


def test_list_reads_a_ring_and_a_view(seg_name, second_name):
    ring = velmora.SharedMemory.create(seg_name, velmora.SpscRingBuffer.segment_size(1024)).spsc()
    for _ in range(3):
        ring.push(b"x" * 10)  # 14 bytes a frame
    ring.pop()
    view = velmora.SharedMemory.create(second_name, 100).map()
    rows = {r["name"]: r for r in json.loads(cli("list", "--json", check=0).stdout)}
    r, v = rows[seg_name], rows[second_name]
    assert (r["kind"], r["capacity"], r["used"], r["head"], r["tail"], r["consistent"]) == ("ring", 1024, 28, 14, 42, True)
    assert (v["kind"], v["state"], v["readers"], v["write_locked"]) == ("view", "unlocked", 0, False)
    for row, size in ((r, 1048), (v, 100)):
        assert (row["size"], row["mode"], row["processes"]) == (size, "rw-------", 1)
        assert 0 <= row["age_seconds"] < 60
    # This process pushed and popped: it holds both roles and has the view open.
    me = os.getpid()
    assert (r["producer_pids"], r["consumer_pids"], v["attached_pids"]) == ([me], [me], [me])
    table = cli("list", check=0).stdout.splitlines()
    assert table[0].split() == ["NAME", "SIZE", "OWNER", "MODE", "AGE", "PROCS", "PRODUCER", "CONSUMER", "KIND",
                                "STATE"]
    line = next(line for line in table if line.startswith(seg_name + " "))
    assert line.split()[1] == "1048" and line.split(None, 9)[6:] == [
        str(me), str(me), "ring", "capacity 1024, used 28, head 14, tail 42"]
    # the columns line up: every row starts its KIND cell where the header does
    kind_at = table[0].index("KIND")
    assert line[kind_at:].startswith("ring") and next(
        x for x in table if x.startswith(second_name + " "))[kind_at:].startswith("view")
    del ring, view


@pytest.mark.parametrize(("word", "kind", "state"), [
    (0, "view", "unlocked"),
    (1, "view", "1 reader"),
    (3, "view", "3 readers"),
    (-1, "view", "write-locked"),
    (-7, "unknown", "lock word 0xfffffff9"),
    (1 << 30, "unknown", "lock word 0x40000000"),
])
def test_lock_word_readings(seg_name, word, kind, state):
    velmora.SharedMemory.create(seg_name, 64)
    raw = second_mapping(seg_name)
    try:
        struct.pack_into("<i", raw.buf, 0, word)
        info = inspect_json(seg_name)
    finally:
        raw.close()
    assert (info["kind"], info["state"], info["lock_word"]) == (kind, state, word)


RING_4096, RING_8192 = (velmora.SpscRingBuffer.segment_size(c) for c in (4096, 8192))


@pytest.mark.parametrize(("size", "header", "kind", "consistent"), [
    (RING_4096, (0, 0, 4096), "ring", True),
    (RING_4096, (100, 4196, 4096), "ring", True),             # full
    (RING_4096, (2**64 - 8, 8, 4096), "ring", True),          # counters wrapped past 2^64
    (RING_4096, (0, 4097, 4096), "ring", False),              # more used than the capacity
    (RING_4096, (5, 4, 4096), "ring", False),                 # tail behind head
    (RING_4096, (0, 0, 4095), "view", None),                  # not a power of two
    (RING_8192, (0, 0, 4096), "view", None),                  # not the segment's size - 24
    (16, (0, 0, 0), "view", None),                            # too small for a ring header
])
def test_ring_header_readings(seg_name, size, header, kind, consistent):
    velmora.SharedMemory.create(seg_name, size)
    raw = second_mapping(seg_name)
    try:
        struct.pack_into("<QQ", raw.buf, 0, *header[:2])
        if size >= 24:
            struct.pack_into("<Q", raw.buf, 16, header[2])
        info = inspect_json(seg_name)
    finally:
        raw.close()
    assert info["kind"] == kind
    if kind == "ring":
        head, tail, capacity = header
        assert (info["head"], info["tail"], info["capacity"], info["consistent"]) == (head, tail, capacity, consistent)
        assert info["used"] == ((tail - head) % 2**64 if consistent else None)


# ---- a segment left by a killed process -------------------------------------------------

CHILD = """
import mmap, os, sys, time, velmora
view = velmora.SharedMemory.create(sys.argv[1], 4096).map()
view.write("left behind")
# Stand-in for a writer killed inside write(): the lock word stays -1.
with open("/dev/shm" + sys.argv[1], "r+b") as f, mmap.mmap(f.fileno(), 4) as m:
    m[:4] = (-1).to_bytes(4, "little", signed=True)
print("ready", flush=True)
time.sleep(60)
"""


def test_segment_left_by_a_sigkilled_process(seg_name):
    child = subprocess.Popen([sys.executable, "-c", CHILD, seg_name], stdout=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline().strip() == "ready"
        info = inspect_json(seg_name)
        assert info["processes"] == 1 and info["mapped_by"][0]["pid"] == child.pid
        assert "python" in info["mapped_by"][0]["command"]
        refused = cli("unlock", seg_name, check=1)
        assert f"mapped by 1 other process(es) (pid {child.pid})" in refused.stderr
        assert inspect_json(seg_name)["state"] == "write-locked"
    finally:
        os.kill(child.pid, signal.SIGKILL)
        child.wait()
    assert child.returncode == -signal.SIGKILL

    row = next(r for r in json.loads(cli("list", "--json", check=0).stdout) if r["name"] == seg_name)
    assert (row["processes"], row["kind"], row["state"]) == (0, "view", "write-locked")
    text = cli("inspect", seg_name, check=0).stdout
    assert "state:" in text and "write-locked" in text and "PID" not in text

    assert cli("unlock", seg_name, check=0).stdout.strip() == f"{seg_name}: lock word reset (was write-locked)"
    view = velmora.SharedMemory.open(seg_name).map()
    assert not view.is_write_locked() and view.read("str") == "left behind"
    del view
    assert cli("unlock", seg_name, check=0).stdout.strip() == f"{seg_name}: already unlocked"

    assert cli("remove", seg_name, check=0).stdout.strip() == f"removed {seg_name}"
    assert not os.path.exists("/dev/shm" + seg_name)
    assert seg_name not in cli("list", check=0).stdout


# ---- unlock, remove, errors -------------------------------------------------------------


def test_unlock_refuses_a_ring_unless_forced(seg_name):
    ring = velmora.SharedMemory.create(seg_name, velmora.SpscRingBuffer.segment_size(64)).spsc()
    ring.push(b"abc")
    del ring  # nobody maps it any more
    refused = cli("unlock", seg_name, check=1)
    assert "holds a ring" in refused.stderr and "--force" in refused.stderr
    assert inspect_json(seg_name)["tail"] == 7
    forced = json.loads(cli("unlock", "--force", "--json", seg_name, check=0).stdout)
    assert forced == {"name": seg_name, "unlocked": True, "lock_word_before": 0, "was": "unlocked"}


def test_unlock_force_while_mapped(seg_name):
    view = velmora.SharedMemory.create(seg_name, 64).map()
    raw = second_mapping(seg_name)
    try:
        struct.pack_into("<i", raw.buf, 0, 2)
        assert cli("unlock", seg_name, check=1).stderr.count("\n") == 1
        assert "was 2 readers" in cli("unlock", seg_name, "--force", check=0).stdout
        assert view.reader_count() == 0
    finally:
        raw.close()


def test_remove_several_names_reports_each(seg_name, second_name):
    velmora.SharedMemory.create(seg_name, 64)
    velmora.SharedMemory.create(second_name, 64)
    missing = unique_name()
    out = cli("remove", seg_name, missing, second_name.lstrip("/"), check=1)
    assert out.stdout.splitlines() == [f"removed {seg_name}", f"removed {second_name}"]
    assert out.stderr.splitlines() == [f"velmora: no segment named {missing} (no /dev/shm{missing})"]
    assert not os.path.exists("/dev/shm" + seg_name) and not os.path.exists("/dev/shm" + second_name)


@pytest.mark.parametrize("command", [["inspect"], ["remove"], ["unlock"], ["unlock", "--force"],
                                     ["inspect", "--json"]])
def test_a_name_that_does_not_exist_is_one_line_and_exit_1(command):
    name = unique_name()
    out = cli(*command, name, check=1)
    assert out.stdout == ""
    assert out.stderr == f"velmora: no segment named {name} (no /dev/shm{name})\n"


@pytest.mark.parametrize(("args", "code", "message"), [
    ([], 2, "required: COMMAND"),
    (["frobnicate"], 2, "invalid choice"),
    (["unlock"], 2, "required: NAME"),
    (["remove"], 2, "required: NAME"),
    (["list", "--bogus"], 2, "unrecognized arguments"),
    (["inspect", "a/b"], 1, "invalid segment name 'a/b'"),
    (["inspect", "/"], 1, "invalid segment name '/'"),
    (["remove", ".."], 1, "invalid segment name '..'"),
])
def test_usage_errors(args, code, message):
    out = cli(*args, check=code)
    assert message in out.stderr and out.stdout == ""


def test_console_script_and_json_flag_placement(seg_name):
    velmora.SharedMemory.create(seg_name, 64)
    script = Path(sys.executable).with_name("velmora")
    if not script.exists():
        pytest.skip("velmora is not installed as a console script next to this interpreter")
    before = subprocess.run([script, "--json", "inspect", seg_name], capture_output=True, text=True, timeout=60)
    after = subprocess.run([script, "inspect", seg_name, "--json"], capture_output=True, text=True, timeout=60)
    assert before.returncode == after.returncode == 0
    a, b = json.loads(before.stdout), json.loads(after.stdout)
    assert a["name"] == b["name"] == seg_name and a["size"] == 64
    assert "Exit status" in subprocess.run([script, "--help"], capture_output=True, text=True).stdout


@pytest.mark.parametrize(("forge", "state"), [
    (None, "3 producer slots, capacity 256, used 9"),
    ((12, "<I", 9), "version 1, 9 producer slots, capacity 256: inconsistent"),
    ((8, "<I", 2), "version 2, 3 producer slots, capacity 256: inconsistent"),
])
def test_fan_in_rings_are_listed_as_mpsc(seg_name, forge, state):
    ring = velmora.MpscRingBuffer.create(seg_name, 256, producers=3)
    ring.push(b"hello")
    if forge:
        raw = second_mapping(seg_name)
        try:
            struct.pack_into(forge[1], raw.buf, forge[0], forge[2])
        finally:
            raw.close()
    info = inspect_json(seg_name)
    ring.close()
    assert (info["kind"], info["state"]) == ("mpsc", state)


# ---- segments velmora did not make, odd files, odd names ---------------------------------


@pytest.fixture
def shm_file():
    """A file made straight in /dev/shm (bytes name), removed afterwards."""
    made = []

    def make(suffix: bytes, content: bytes = b"") -> bytes:
        path = b"/dev/shm/velmora-cli-%d-%d" % (os.getpid(), len(made)) + suffix
        with open(path, "wb") as f:
            f.write(content)
        made.append(path)
        return path

    yield make
    for path in made:
        try:
            os.unlink(path)
        except FileNotFoundError:
            pass


@pytest.mark.parametrize("content", [b"\x70\x11\x01\x00not-a-velmora-segment", b"\xff\xff\xff\x7f" + bytes(60),
                                     b"ab"], ids=["bad-word", "huge-count", "short"])
def test_unlock_leaves_what_does_not_read_as_a_held_lock_word(shm_file, content):
    path = shm_file(b"", content)
    name = "/" + os.path.basename(path).decode()
    out = cli("unlock", name, check=1)
    assert "nothing changed" in out.stderr and out.stdout == ""
    with open(path, "rb") as f:
        assert f.read() == content


def test_unlock_leaves_a_standard_library_segment_alone(seg_name):
    from conftest import second_mapping_create

    shm = second_mapping_create(seg_name, 64)
    try:
        shm.buf[:8] = b"payload!"
        out = cli("unlock", seg_name, check=1)
        assert "(lock word 0x6c796170); nothing changed" in out.stderr and bytes(shm.buf[:8]) == b"payload!"
    finally:
        shm.close()


def test_unlock_resets_readers_left_by_dead_processes(seg_name):
    view = velmora.SharedMemory.create(seg_name, 64).map()
    view.close()
    raw = second_mapping(seg_name)
    try:
        struct.pack_into("<i", raw.buf, 0, 2)
    finally:
        raw.close()
    assert cli("unlock", seg_name, check=0).stdout.strip() == f"{seg_name}: lock word reset (was 2 readers)"
    assert inspect_json(seg_name)["state"] == "unlocked"


def test_list_and_inspect_survive_a_file_being_truncated_under_them(shm_file):
    path = shm_file(b"", bytes(4096))
    name = "/" + os.path.basename(path).decode()
    toggler = subprocess.Popen([sys.executable, "-c", f"""
import os, time
fd = os.open({path!r}, os.O_RDWR)
end = time.monotonic() + 30
while time.monotonic() < end:
    os.ftruncate(fd, 0); os.ftruncate(fd, 4096); os.ftruncate(fd, 2)
"""])
    try:
        for _ in range(15):
            for args in (["list"], ["inspect", name], ["list", "--json"]):
                out = cli(*args)
                assert out.returncode == 0 and "Traceback" not in out.stderr, (args, out.stderr)
    finally:
        toggler.kill()
        toggler.wait()


def test_names_that_are_not_utf8_or_hold_a_newline_are_escaped(shm_file):
    odd = [shm_file(b"-\xff\xfe", bytes(8)), shm_file(b"-a\nb", bytes(8)), shm_file(b"-back\\slash", bytes(8))]
    env = dict(os.environ, PYTHONIOENCODING="utf-8:strict")
    out = subprocess.run([sys.executable, "-m", "velmora", "list"], capture_output=True, text=True, env=env,
                         timeout=60)
    assert out.returncode == 0, out.stderr
    stems = [os.path.basename(p).decode("utf-8", "surrogateescape") for p in odd]
    expected = [stems[0][:-2] + "\\xff\\xfe", stems[1][:-3] + "a\\nb", stems[2].replace("\\", "\\\\")]
    ours = [s[:s.rindex("-")] + "-" for s in (stems[0][:-2], stems[1][:-3], stems[2])]  # ".../velmora-cli-PID-N-"
    rows = [line.split()[0] for line in out.stdout.splitlines()[1:] if any(o in line for o in ours)]
    assert sorted(rows) == sorted("/" + e for e in expected)


def test_version():
    out = cli("--version", check=0)
    assert out.stdout.strip() == f"velmora {velmora.__version__}"


def test_unreadable_processes_make_a_count_uncertain_only_where_they_could_open_the_file(tmp_path):
    from velmora import _segments

    path = tmp_path / "f"
    path.write_bytes(b"x")
    me, group = os.getuid(), os.getgid()
    other = (frozenset({me + 4242}), frozenset({group + 4242}))
    mine = (frozenset({me}), frozenset({group}))
    root = (frozenset({0}), frozenset({0}))
    for mode, hidden, complete in [
        (0o600, {other}, True), (0o604, {other}, False), (0o660, {other}, True),
        (0o600, {mine}, False), (0o600, {root}, False), (0o600, {None}, False), (0o600, set(), True),
    ]:
        os.chmod(path, mode)
        st = os.stat(path)
        assert _segments.Mappers({}, set(hidden)).complete_for(st) is complete, (oct(mode), hidden)


def test_without_pyzmq_velmora_imports_and_bridge_says_what_is_missing():
    """pyzmq is an optional extra: hidden here, whether or not it is installed."""
    code = ("import sys; sys.modules['zmq'] = None\n"
            "import velmora, velmora.bridge, velmora.cli\n"
            "sys.exit(velmora.cli.main(['bridge', 'receive', '--connect', 'tcp://127.0.0.1:1', '/x']))\n")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert (out.returncode, out.stderr) == (1, "velmora: the bridge needs pyzmq: pip install 'velmora[bridge]'\n")


def test_list_reads_a_broadcast(seg_name):
    pub = velmora.Publisher.create(seg_name, 100, 4, subscribers=3, overflow="overwrite")
    sub = velmora.Subscriber.open(seg_name)
    pub.publish(b"x")
    rows = {r["name"]: r for r in json.loads(cli("list", "--json", check=0).stdout)}
    b = rows[seg_name]
    assert (b["kind"], b["published"], b["subscribers"], b["subscriber_limit"], b["depth"], b["max_message"],
            b["overflow"], b["publisher"]) == ("broadcast", 1, 1, 3, 4, 128, "overwrite", "publishing")
    pub.close()
    sub.close()
    row = {r["name"]: r for r in json.loads(cli("list", "--json", check=0).stdout)}[seg_name]
    assert (row["publisher"], row["subscribers"]) == ("closed", 0)


# ---- unlock and remove act on the file they name, and say what they did ----------------

LOCKED = struct.pack("<i", -1) + b"payload"


def word_of(path):
    with open(path, "rb") as f:
        return struct.unpack("<i", f.read(4))[0]


@pytest.mark.parametrize("command", [["unlock", "--force"], ["unlock"], ["remove"]])
@pytest.mark.parametrize("given", ["bytes", "shown", "shown-and-decoy"])
def test_odd_names_address_their_own_file(shm_file, request, command, given):
    """A name with a byte that is not UTF-8, given as its bytes or as list
    shows it (with \\xff): the command acts on that file or refuses, and never
    on the file whose name is the escaped text (the decoy)."""
    target = shm_file(b"-\xff", LOCKED)
    shown = os.path.basename(target).decode("ascii", "backslashreplace").encode()  # ...-\xff, as text
    decoy = None
    if given == "shown-and-decoy":
        decoy = os.path.join(b"/dev/shm", shown)
        with open(decoy, "xb") as f:
            f.write(LOCKED)
        request.addfinalizer(lambda: os.unlink(decoy))
    arg = b"/" + (os.path.basename(target) if given == "bytes" else shown)
    out = subprocess.run([sys.executable, "-m", "velmora", *command, arg], capture_output=True, timeout=60)
    stdout, stderr = out.stdout.decode(), out.stderr.decode()
    assert "Traceback" not in stderr
    if decoy is not None:  # both readings name a file: refused, both left as they were
        assert (out.returncode, stdout) == (1, "") and "names two segments" in stderr
        assert word_of(target) == word_of(decoy) == -1
        return
    if command == ["unlock"]:  # the module cannot open such a name to see who has it open
        assert (out.returncode, stdout) == (1, "") and "cannot tell whether other processes" in stderr
        assert word_of(target) == -1
        return
    assert out.returncode == 0, stderr
    name = "/" + shown.decode()
    if command == ["remove"]:
        assert stdout == f"removed {name}\n" and not os.path.exists(target)
    else:
        assert stdout == f"{name}: lock word reset (was write-locked)\n" and word_of(target) == 0


def test_a_name_shown_and_typed_alike_is_its_own(shm_file):
    """A file whose name really holds a backslash is addressed by those bytes
    too (no file reads back from the escape)."""
    path = shm_file(b"-\\xff", LOCKED)
    name = "/" + os.path.basename(path).decode()
    assert cli("unlock", "--force", name, check=0).stdout.endswith("lock word reset (was write-locked)\n")
    assert word_of(path) == 0


def _retake(fd, write):  # another process takes the lock again right after the reset
    write(fd, struct.pack("<i", -1), 0)


def _truncate(fd, write):  # the file shrinks to nothing under the reset
    os.ftruncate(fd, 0)


@pytest.mark.parametrize("force", [False, True], ids=["checked", "forced"])
@pytest.mark.parametrize(("interfere", "message"), [
    ("retake", "has taken it again"),
    ("truncate", "was truncated while its lock word was reset"),
    ("replace", "was replaced by another file since it was looked at; nothing changed"),
])
def test_unlock_reports_success_only_for_a_word_it_reset(shm_file, monkeypatch, capsys, force, interfere, message):
    """Whatever happens to the file between the look and the write, unlock
    says it reset the word only when the file it showed reads 0 after it."""
    from velmora import _segments, cli as velmora_cli

    path = shm_file(b"", LOCKED)
    name = "/" + os.path.basename(path).decode()
    if interfere == "replace":  # after the look, the name is given to a new file
        looked = _segments.get_segment

        def get_segment(n):
            seg = looked(n)
            os.unlink(path)
            with open(path, "wb") as f:
                f.write(LOCKED)
            return seg

        monkeypatch.setattr(_segments, "get_segment", get_segment)
    else:
        write = os.pwrite
        hook = {"retake": (None, _retake), "truncate": (_truncate, None)}[interfere]

        def pwrite(fd, data, offset):
            if hook[0]:
                hook[0](fd, write)
            n = write(fd, data, offset)
            if hook[1]:
                hook[1](fd, write)
            return n

        monkeypatch.setattr(os, "pwrite", pwrite)
    code = velmora_cli.main(["unlock", *(["--force"] if force else []), name])
    out = capsys.readouterr()
    assert (code, out.out) == (1, "") and message in out.err, out.err
    if interfere != "truncate":
        assert word_of(path) == -1


RACE = """
import contextlib, io, os, sys, time
from velmora import _segments, cli
# Looking for other processes takes most of a call: without it the calls
# follow each other fast enough to meet the truncation between every step.
_segments.scan_mappers = lambda proc="/proc": _segments.Mappers({})
_segments.claims_of = lambda name, kind, entries=0: _segments.Claims({}, {})
name, deadline = sys.argv[1], time.monotonic() + float(sys.argv[2])
calls = 0
while time.monotonic() < deadline:
    err, out = io.StringIO(), io.StringIO()
    with contextlib.redirect_stderr(err), contextlib.redirect_stdout(out):
        code = cli.main(["unlock", "--force", name])
    calls += 1
    lines = err.getvalue().splitlines()
    ok = (code == 0 and not lines and ("lock word reset" in out.getvalue() or "already unlocked" in out.getvalue())
          or code == 1 and len(lines) == 1 and lines[0].startswith("velmora: ") and not out.getvalue())
    if not ok:
        sys.exit(f"call {calls}: exit {code}, out {out.getvalue()!r}, err {err.getvalue()!r}")
print(calls)
"""


def test_unlock_force_survives_a_file_truncated_under_it(shm_file):
    """unlock --force while another process keeps shrinking and regrowing the
    file (and taking its lock word): never a signal or a traceback, each call
    a reset or one line of why not."""
    path = shm_file(b"", bytes(4096))
    name = "/" + os.path.basename(path).decode()
    toggler = subprocess.Popen([sys.executable, "-c", f"""
import os, struct
fd = os.open({path!r}, os.O_RDWR)
while True:
    os.ftruncate(fd, 0); os.ftruncate(fd, 4096); os.pwrite(fd, struct.pack("<i", -1), 0); os.ftruncate(fd, 2)
"""])
    try:
        out = subprocess.run([sys.executable, "-c", RACE, name, "8"], capture_output=True, text=True, timeout=120)
    finally:
        toggler.kill()
        toggler.wait()
    assert out.returncode == 0, (out.returncode, out.stdout[-500:], out.stderr[-2000:])
    assert int(out.stdout) > 0


HOLDER = """
import sys, velmora
kind, name = sys.argv[1], sys.argv[2]
if kind == "mpsc":
    ring = velmora.MpscRingBuffer.open(name)
    ring.push(b"x")
    assert ring.pop() == b"x"
    held = [ring]
else:
    pub = velmora.Publisher.create(name, 64, 4, subscribers=3)
    sub = velmora.Subscriber.open(name)
    pub.publish(b"a"); pub.publish(b"b")
    assert sub.receive(timeout=5) == b"a"
    held = [pub, sub]
print("ready", flush=True)
sys.stdin.read()
"""


@pytest.mark.parametrize(("kind", "roles", "lags"), [
    ("mpsc", {"producer", "consumer"}, None),
    ("broadcast", {"publisher", "subscriber"}, 1),
])
def test_live_roles_are_listed_for_every_kind(seg_name, kind, roles, lags):
    if kind == "mpsc":
        velmora.MpscRingBuffer.create(seg_name, 256, producers=3, expect=2).close()
    child = subprocess.Popen([sys.executable, "-c", HOLDER, kind, seg_name], stdin=subprocess.PIPE,
                             stdout=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline().strip() == "ready"
        info = inspect_json(seg_name)
        for role in roles:
            assert info[f"{role}_pids"] == [child.pid], role
        if lags is not None:
            assert info["lags"] == {str(child.pid): lags}
        else:  # the producers the stream waits for, and those that came
            assert (info["expected"], info["joined"]) == (2, 1)
        row = next(line for line in cli("list").stdout.splitlines() if line.startswith(seg_name + " "))
        assert row.split()[6:8] == [str(child.pid)] * 2
    finally:
        child.stdin.close()
        child.wait(timeout=30)


def test_list_filters_by_pattern_and_keeps_the_name_column_narrow(seg_names):
    short, other = seg_names(2)
    long_name = short + "-" + "x" * 100
    for n in (short, other, long_name):
        velmora.SharedMemory.create(n, 64)
    try:
        rows = cli("list", short + "*").stdout.splitlines()
        names = [r.split()[0] for r in rows[1:] if r.startswith("/")]
        assert names[0] == short and len(names) == 2 and other not in names
        assert names[1].startswith(short[:10]) and "..." in names[1] and len(names[1]) <= 40
        assert "no segments" in cli("list", "/no-such-segment-*").stdout
    finally:
        velmora.SharedMemory.remove(long_name)


@pytest.mark.parametrize("call, reason", [
    (lambda: _segments.get_segment("/" + unique_name("absent")), "not_found"),
    (lambda: _segments.normalize("a/b"), "name"),
    (lambda: _segments.normalize("/.."), "name"),
])
def test_segment_errors_carry_a_reason(call, reason):
    """The bridge waits for a segment on reason not_found alone, not on its text."""
    with pytest.raises(_segments.SegmentError) as exc:
        call()
    assert exc.value.reason == reason
