"""bench/compare.py, the side-by-side benchmark: its hand-written ring, its
message checks and watchdog, and a quick run of a few rows through the report.
The benchmark's figures are only worth something if these hold."""
import collections
import importlib.util
import os
import random
import struct
import time

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
_spec = importlib.util.spec_from_file_location("velmora_bench_compare", os.path.join(ROOT, "bench", "compare.py"))
compare = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(compare)

SEQ = struct.Struct("<Q")


@pytest.fixture
def run(tmp_path):
    settings = compare.Settings({"BENCH_QUICK": "1", "BENCH_OUT": str(tmp_path)})
    settings.timeout = 20.0
    r = compare.Run(settings)
    yield r
    r.close()


# ---- the hand-written ring ------------------------------------------------------------

def test_stdlib_ring_keeps_order_and_bytes_across_every_wrap_offset():
    capacity = 64
    buf = bytearray(compare.StdlibRing.HEADER + capacity)
    compare.StdlibRing.format(buf, capacity)
    producer, consumer = compare.StdlibRing(memoryview(buf)), compare.StdlibRing(memoryview(buf))
    model, rng, offsets = collections.deque(), random.Random(5), set()
    for i in range(3000):
        if rng.random() < 0.55:
            msg = bytes(rng.randrange(256) for _ in range(rng.choice((0, 1, 3, 7, 29, capacity - 4))))
            used = sum(4 + len(m) for m in model)
            offsets.add(producer.tail % capacity)
            pushed = producer.push(msg)
            assert pushed == (used + 4 + len(msg) <= capacity)
            if pushed:
                model.append(msg)
        else:
            got = consumer.pop()
            assert got == (model.popleft() if model else None)
    assert offsets == set(range(capacity))     # length prefixes and payloads wrapped everywhere
    with pytest.raises(ValueError):
        producer.push(b"x" * (capacity - 3))


def test_percentile_is_nearest_rank():
    assert compare.percentile([7.0], 0.99) == 7.0
    hundred = [float(i) for i in range(1, 101)]
    assert (compare.percentile(hundred, 0.50), compare.percentile(hundred, 0.99)) == (50.0, 99.0)
    thousand = [float(i) for i in range(1, 1001)]
    assert compare.percentile(thousand, 0.99) == 990.0


# ---- rows, checks and the watchdog ---------------------------------------------------

@pytest.mark.parametrize("row", [compare.Velmora, compare.Stdring, compare.Pipe], ids=lambda c: c.key)
def test_rows_measure_throughput_and_latency(run, row):
    t = row()
    # 1 MiB frames wrap in the 4 MiB ring; 64 B fills it many times over.
    for size, count in ((64, 3000), (compare.MIB, 12)):
        assert run.throughput(t, size, count) > 0
    p50, p99 = run.latency(t, 64)
    assert 0 < p50 <= p99 < 1.0


class _FullRing:
    """velmora's ring with batch, blocking and pop_into calls done in Python,
    to run the benchmark's loops for them before the module has its own."""

    def __init__(self, ring):
        self.ring, self.push, self.pop = ring, ring.push, ring.pop

    def push_many(self, values):
        for n, v in enumerate(values):
            if not self.ring.push(v):
                return n
        return len(values)

    def pop_many(self, max_count, tag=None):
        out = []
        while len(out) < max_count and (m := self.ring.pop()) is not None:
            out.append(m)
        return out

    def put(self, value, timeout=None):
        while not self.ring.push(value):
            time.sleep(0)

    def get(self, tag=None, timeout=None):
        while (m := self.ring.pop()) is None:
            time.sleep(0)
        return m

    def pop_into(self, buffer):
        m = self.ring.pop()
        if m is None:
            return None
        buffer[:len(m)] = m
        return len(m)


def _emulated(base):
    class Emulated(base):
        def missing(self):
            return None

        def _ring(self, chan):
            return _FullRing(super()._ring(chan))
    return Emulated()


@pytest.mark.parametrize("base", [compare.VelmoraBatch, compare.VelmoraPutGet, compare.VelmoraInto],
                         ids=lambda c: c.key)
def test_velmora_batch_blocking_and_into_loops(run, base):
    t = _emulated(base)
    assert run.throughput(t, 4096, 1000) > 0      # 1000 is not a multiple of the batch
    if t.latency:
        p50, p99 = run.latency(t, compare.MIB)
        assert 0 < p50 <= p99


class _Faulty(compare.Pipe):
    """A pipe whose sender spoils one message in one of three ways."""
    key = "faulty"

    def __init__(self, fault):
        self.fault = fault

    def sender(self, chan, size):
        send = chan[1].send_bytes

        def faulty(buf):
            if len(buf) >= 8 and SEQ.unpack_from(buf)[0] == 5:
                if self.fault == "drop":
                    return None
                buf = bytearray(buf)
                if self.fault == "number":
                    buf[0] ^= 1
                else:
                    del buf[-1]
            send(buf)
        return compare._endpoint(send=faulty)


@pytest.mark.parametrize("fault", ["number", "length"])
def test_a_wrong_message_fails_the_run(run, fault):
    with pytest.raises(compare.Failed, match="1 wrong messages"):
        run.throughput(_Faulty(fault), 64, 200)
    with pytest.raises(compare.Failed, match="wrong messages"):
        run.latency(_Faulty(fault), 64)


def test_a_lost_message_is_a_stall_not_a_hang(run):
    run.settings.timeout = 1.0
    started = time.monotonic()
    with pytest.raises(compare.Failed, match="stalled"):
        run.throughput(_Faulty("drop"), 64, 200)
    assert time.monotonic() - started < 10
    assert not run.children


def test_names_are_removed_after_a_run(run):
    import velmora
    run.throughput(compare.Velmora(), 64, 100)
    for name in run.segments:
        with pytest.raises(OSError):
            velmora.SharedMemory.open(name)


# ---- the report ----------------------------------------------------------------------

def test_quick_run_writes_the_tables(tmp_path):
    lines = []
    env = {"BENCH_QUICK": "1", "BENCH_OUT": str(tmp_path), "BENCH_ONLY": "velmora,native,pipe",
           "BENCH_NATIVE": str(tmp_path / "no-such-driver")}
    assert compare.main(env, log=lines.append) == 0
    text = (tmp_path / "bench.md").read_text()
    assert "Quick run" in text and "every message checked" in text
    rows = {line.split(" | ")[0].lstrip("| "): line for line in text.splitlines() if line.startswith("| ")}
    throughput = [line for line in text.split("## Throughput")[1].split("##")[0].splitlines() if line.startswith("| ")]
    ours = next(line for line in throughput if line.startswith("| velmora push/pop |"))
    assert ours.count("(") == 4 and "n/a" not in ours and "failed" not in ours
    native = next(line for line in throughput if line.startswith("| native core"))
    assert native.count("n/a") == 4
    assert "native driver not built" in text
    # The peer in the headline is the best (here: only) peer, Pipe.
    assert "(pipe)" in rows["velmora push/pop ÷ best peer"]
    assert lines[-1].startswith("wrote ")
