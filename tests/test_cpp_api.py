"""The C++ API against real Python processes: the examples in examples/cpp/
are built against the installed C++ package, then a C++ producer streams into a
ring this process consumes, and a C++ reader reads (and answers in) a view this
process wrote. Every byte is checked."""
import os
import pathlib
import queue
import shutil
import struct
import subprocess
import sys

import pytest

import velmora
from conftest import kill_running, pop_from, running, until_eof, wait_for

ROOT = pathlib.Path(__file__).resolve().parent.parent
EXAMPLES = ROOT / "build" / "cpp" / "examples"
DEADLINE_S = 120


@pytest.fixture(scope="module")
def examples():
    if shutil.which("g++") is None and shutil.which("c++") is None:
        pytest.fail("a C++ compiler (g++) is needed to build examples/cpp")
    env = dict(os.environ)
    bindir = pathlib.Path(sys.executable).parent  # cmake and ninja from the venv
    for tool in ("cmake", "ninja"):
        if (bindir / tool).exists():
            env[tool.upper()] = str(bindir / tool)
    subprocess.run([str(ROOT / "scripts" / "build-cpp-example.sh")], check=True, env=env,
                   stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=900)
    return EXAMPLES


def expected_message(seq, capacity):
    n = capacity * 3 // 4 if seq % 50 == 0 else seq * 131 % 1000
    return bytes((seq * 7 + i) & 0xFF for i in range(n))


@pytest.mark.parametrize("capacity", [4096, 1 << 16])
def test_cpp_producer_streams_to_python_consumer(examples, seg_name, capacity):
    count = 1500
    ring = velmora.SharedMemory.create(seg_name, velmora.SpscRingBuffer.segment_size(capacity)).spsc()
    with running(examples / "ring_producer", seg_name, count) as proc:
        got, out, err = pop_from(ring, proc, count, DEADLINE_S)
    assert proc.returncode == 0, err
    assert out.strip() == f"sent {count}"
    bad = [(seq, len(msg)) for seq, msg in enumerate(got) if msg != expected_message(seq, capacity)]
    assert (len(got), bad[:5]) == (count, [])
    assert ring.pop() is None and ring.used() == 0


def test_cpp_reader_reads_every_value_python_wrote(examples, seg_name):
    view = velmora.SharedMemory.create(seg_name, 4096).map()
    view.write(True, 0)
    view.write(-1234567890123, 1)
    view.write(0.0025, 9)
    view.write("héllo ✓", 17)
    view.write(struct.pack("<BiIQf", 200, -7, 4_000_000_000, 2**64 - 1, 1.5), 64)
    view.write(bytes(range(85, 128)), 85)  # the rest of the dumped range, byte by byte
    proc = subprocess.run([str(examples / "view_reader"), seg_name], capture_output=True, timeout=DEADLINE_S)
    assert proc.returncode == 0, proc.stderr.decode()
    lines = dict(line.split("=", 1) for line in proc.stdout.decode().splitlines())
    assert lines.pop("hex") == view.read_range(0, 128).hex()
    assert float(lines.pop("f64")) == 0.0025
    assert float(lines.pop("f32")) == 1.5
    assert lines == {"bool": "True", "i64": "-1234567890123", "str": "héllo ✓", "u8": "200",
                     "i32": "-7", "u32": "4000000000", "u64": str(2**64 - 1)}
    # What C++ wrote back reads with Python's own decoding.
    view.seek(256)
    assert view.read("str") == "réponse from C++"
    assert view.read("int") == -1234567890123 + 200 - 7 + 4_000_000_000
    assert view.reader_count() == 0 and not view.is_write_locked()


def test_cpp_producers_fan_in_to_python_consumer(examples, seg_name):
    """Two C++ producer processes and a Python producer thread into a Python
    consumer: every message whole, each producer's in order, then EOFError."""
    import threading

    count = 2000
    ring = velmora.MpscRingBuffer.create(seg_name, 4096, producers=4)
    procs = [subprocess.Popen([str(examples / "mpsc_producer"), seg_name, str(i), str(count)],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE) for i in (1, 2)]

    def produce_here():
        with velmora.MpscRingBuffer.open(seg_name) as own:
            for seq in range(count):
                body = bytes((3 * 31 + seq + i) & 0xFF for i in range(seq % 300))
                own.put(struct.pack("<II", 3, seq) + body, timeout=DEADLINE_S)

    own = threading.Thread(target=produce_here)
    try:
        wait_for(lambda: len(ring.producers()) >= 2, DEADLINE_S)   # both attached: eof is meaningful
        assert sorted(ring.producers()) == sorted(p.pid for p in procs)
        own.start()
        nexts = {1: 0, 2: 0, 3: 0}
        for msg in until_eof(ring.get, DEADLINE_S):
            pid, seq = struct.unpack_from("<II", msg)
            assert seq == nexts[pid], (pid, seq)
            assert msg[8:] == bytes((pid * 31 + seq + i) & 0xFF for i in range(seq % 300))
            nexts[pid] += 1
        outs = [p.communicate(timeout=DEADLINE_S) for p in procs]
    finally:
        kill_running(*procs)
        if own.is_alive():
            own.join(DEADLINE_S)
    assert [p.returncode for p in procs] == [0, 0], [err.decode() for _, err in outs]
    assert [out.decode().strip() for out, _ in outs] == [f"sent {count}"] * 2
    assert nexts == {1: count, 2: count, 3: count}
    ring.close()


def test_cpp_counts_into_a_python_record_with_the_same_layout(examples, seg_name):
    view = velmora.SharedMemory.create(seg_name, 4 + 64).map()
    rec = velmora.Record(view, {"count": "i64", "temp": "f64", "name": ("str", 32)})
    rec.update(count=0, temp=20.5, name="probe ✓")
    with running(examples / "record_counter", seg_name, 20000) as proc:
        for _ in range(20000):  # both sides add at once
            rec.add("count", 1)
        out, err = proc.communicate(timeout=DEADLINE_S)
    assert proc.returncode == 0, err.decode()
    lines = dict(line.split("=", 1) for line in out.decode().splitlines())
    assert (float(lines["temp"]), lines["name"]) == (20.5, "probe ✓")
    assert 20000 <= int(lines["last"]) <= 40000
    assert rec.snapshot() == {"count": 40000, "temp": 21.5, "name": "probe ✓"}


def _cpp_frames(name, ready, conn):
    import numpy as np
    sub = velmora.Subscriber.open(name)
    ready.set()
    seqs, bad, gone = [], 0, False
    while True:
        try:
            scope = sub.receive_view(timeout=0 if gone else 1)
        except queue.Empty:
            if gone:
                break  # the publisher closed and everything it sent is in
            gone = not sub.has_publisher()
            continue
        with scope as mv:
            arr = np.asarray(mv)
            seq = int(arr[0, 0]) // 32 if arr.size else -1
            ok = (arr.dtype == np.dtype("<u2") and arr.shape == (4, 8) and
                  (arr.ravel() == (np.arange(32, dtype=np.uint32) + seq * 32).astype(np.uint16)).all())
            bad += not ok
            seqs.append(seq)
    conn.send((seqs, bad))


def test_cpp_publisher_broadcasts_arrays_to_python_subscribers(examples, seg_name):
    pytest.importorskip("numpy")
    import multiprocessing as mp
    count, subs = 500, 3
    with running(examples / "broadcast_publisher", seg_name, subs, count) as proc:
        assert proc.stdout.readline().strip() == b"ready"
        children = []
        for _ in range(subs):
            ready = mp.Event()
            parent, child = mp.Pipe(duplex=False)
            p = mp.Process(target=_cpp_frames, args=(seg_name, ready, child), daemon=True)
            p.start()
            assert ready.wait(DEADLINE_S)
            children.append((p, parent))
        out, err = proc.communicate(timeout=DEADLINE_S)
        assert proc.returncode == 0, err.decode()
        for p, conn in children:
            assert conn.poll(DEADLINE_S)
            seqs, bad = conn.recv()
            p.join(DEADLINE_S)
            assert bad == 0 and seqs == [s % 2048 for s in range(count)]
