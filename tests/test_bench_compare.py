"""The benchmark harness (bench/harness/) and bench/compare.py on it: the
hand-written ring, the message checks, the watchdog, a sender kept open until
its receiver has everything, the ratios and targets of the report, fan-in's
checker, and a quick run of a few rows through the report. The benchmarks'
figures are only worth something if these hold."""
import collections
import importlib.util
import os
import random
import struct
import sys
import time
from types import SimpleNamespace

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "bench"))
from harness import common, peers, report, runner  # noqa: E402


def _load(name):
    found = importlib.util.spec_from_file_location(f"velmora_bench_{name}", os.path.join(ROOT, "bench", f"{name}.py"))
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


compare = _load("compare")
SEQ = struct.Struct("<Q")


@pytest.fixture
def run(tmp_path):
    settings = common.Settings({"BENCH_QUICK": "1", "BENCH_OUT": str(tmp_path)})
    settings.timeout = 20.0
    r = runner.Run(settings)
    yield r
    r.close()


# ---- the hand-written ring ------------------------------------------------------------

def test_stdlib_ring_keeps_order_and_bytes_across_every_wrap_offset():
    capacity = 64
    buf = bytearray(peers.StdlibRing.HEADER + capacity)
    peers.StdlibRing.format(buf, capacity)
    producer, consumer = peers.StdlibRing(memoryview(buf)), peers.StdlibRing(memoryview(buf))
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
    assert common.percentile([7.0], 0.99) == 7.0
    hundred = [float(i) for i in range(1, 101)]
    assert (common.percentile(hundred, 0.50), common.percentile(hundred, 0.99)) == (50.0, 99.0)
    thousand = [float(i) for i in range(1, 1001)]
    assert common.percentile(thousand, 0.99) == 990.0


# ---- rows, checks and the watchdog ---------------------------------------------------

@pytest.mark.parametrize("row", [peers.Velmora, peers.Stdring, peers.Pipe, peers.Zmq], ids=lambda c: c.key)
def test_rows_measure_throughput_and_latency(run, row):
    t = row()
    if t.missing():
        pytest.skip(t.missing())
    # 1 MiB frames wrap in the 4 MiB ring; 64 B fills it many times over.
    for size, count in ((64, 3000), (common.MIB, 12)):
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


@pytest.mark.parametrize("base", [peers.VelmoraBatch, peers.VelmoraPutGet, peers.VelmoraInto],
                         ids=lambda c: c.key)
def test_velmora_batch_blocking_and_into_loops(run, base):
    t = _emulated(base)
    assert run.throughput(t, 4096, 1000) > 0      # 1000 is not a multiple of the batch
    if t.latency:
        p50, p99 = run.latency(t, common.MIB)
        assert 0 < p50 <= p99


class _Faulty(peers.Pipe):
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
        return peers.endpoint(send=faulty)


@pytest.mark.parametrize("fault", ["number", "length"])
def test_a_wrong_message_fails_the_run(run, fault):
    with pytest.raises(common.Failed, match="1 wrong messages"):
        run.throughput(_Faulty(fault), 64, 200)
    with pytest.raises(common.Failed, match="wrong messages"):
        run.latency(_Faulty(fault), 64)


def test_a_lost_message_is_a_stall_not_a_hang(run):
    run.settings.timeout = 1.0
    started = time.monotonic()
    with pytest.raises(common.Failed, match="stalled"):
        run.throughput(_Faulty("drop"), 64, 200)
    assert time.monotonic() - started < 10
    assert not run.children


class _DropsOnClose(peers.Pipe):
    """A pipe that loses what is still in flight when its sender closes, as a
    pyzmq PUSH socket closed right after its last send did: the sender's
    finish() fails the run if the receiver has not taken everything. The
    receiver is slow, so a sender that closes right after its last send
    always closes early."""
    key = "drops-on-close"

    def channel(self, run, size, capacity):
        return super().channel(run, size, capacity), run.ctx.Value("q", 0, lock=False), run.ctx.Value("q", 0, lock=False)

    def close(self, chan):
        super().close(chan[0])

    def sender(self, chan, size):
        (_, w), sent, taken = chan

        def send(buf):
            w.send_bytes(buf)
            sent.value += 1

        def finish():
            if taken.value < sent.value:
                raise RuntimeError(f"closed with {sent.value - taken.value} messages in flight")
        return peers.endpoint(send=send, finish=finish)

    def receiver(self, chan, size):
        (r, _), sent, taken = chan

        def recv():
            msg = r.recv_bytes()
            time.sleep(0.001)
            taken.value += 1
            return msg
        return peers.endpoint(recv=recv)


def test_a_sender_stays_open_until_its_receiver_has_everything(run):
    t = _DropsOnClose()
    assert run.throughput(t, 64, 40) > 0
    run.settings.latency_plan = lambda size: (30, 0.05)
    p50, p99 = run.latency(t, 64)       # the STOP that ends the echo is in flight too
    assert 0 < p50 <= p99


def test_a_peer_that_is_not_installed_is_skipped_not_run(run):
    class Absent(peers.Transport):
        key, label = "absent", "absent peer"
        module, dist = "velmora_bench_no_such_peer", "no-such-peer"

        def channel(self, run, size, capacity):
            raise AssertionError("a missing peer was run")

    res = runner.measure(run, run.settings, [Absent()], log=lambda _: None, sizes=[64], latency_sizes=[64])
    assert res.note == {("absent", 64, "rate"): "n/a (no-such-peer not installed)",
                        ("absent", 64, "lat"): "n/a (no-such-peer not installed)"}
    assert not res.rate and not res.lat and not res.wrong


def test_names_are_removed_after_a_run(run):
    import velmora
    run.throughput(peers.Velmora(), 64, 100)
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


def _results(rates=(), lats=()):
    res = runner.Results(peers.side_by_side(SimpleNamespace(native="/nonexistent")))
    for key, size, values in rates:
        res.rate[(key, size)] = list(values)
    for key, size, values in lats:
        res.lat[(key, size)] = list(values)
    return res


def _target(res, starts):
    return next(row[1:] for row in report.targets(res) if row[0].startswith(starts))


@pytest.mark.parametrize("rates, measured, met", [
    # The median round, not the mean (which 1000 would drag to 1.34×).
    ([("velmora", 64, [100, 1000, 110]), ("native", 64, [300])], "0.37×", "yes"),
    ([("velmora", 64, [80]), ("native", 64, [300, 290, 310])], "0.27×", "no"),
    ([("velmora", 64, [80])], "–", "–"),                 # no native row: no verdict
], ids=["median", "below", "missing"])
def test_push_pop_target_is_the_ratio_of_medians(rates, measured, met):
    assert _target(_results(rates), "push/pop, 64 B") == (measured, met)


@pytest.mark.parametrize("put_get, measured, met", [
    ([95, 99, 80, 95], "0.80× (lowest)", "no"),        # one size below 0.9 fails it
    ([95, 99, 91, 95], "0.91× (lowest)", "yes"),
    ([95, 99, None, 95], "–", "–"),                    # a missing size: no verdict
], ids=["one-low", "all-high", "gap"])
def test_put_get_target_takes_the_lowest_size(put_get, measured, met):
    rates = [("velmora", s, [100]) for s in common.SIZES]
    rates += [("velmora-putget", s, [v]) for s, v in zip(common.SIZES, put_get) if v is not None]
    assert _target(_results(rates), "put/get stream") == (measured, met)


def test_headline_divides_by_the_native_core_and_the_best_peer_only():
    # The native core is faster than every peer: it must not count as the best peer.
    rates = [("velmora", 64, [100]), ("native", 64, [1000]), ("pipe", 64, [80]), ("stdlib-ring", 64, [50]),
             ("velmora-batch", 64, [500]), ("velmora", 4096, [10])]
    lats = [("velmora", 64, [(1e-6, 2e-6)]), ("native", 64, [(0.5e-6, 1e-6)]), ("pipe", 64, [(4e-6, 9e-6)])]
    res = _results(rates, lats)
    assert res.best_peer_rate(64)[0].key == "pipe"
    settings = common.Settings({"BENCH_QUICK": "1"})
    info = dict(cpu="cpu", cores=2, usable=2, os="os", python="py", date="today")
    text = report.render(res, settings, info, None, None, {"velmora": "0"})
    throughput = text.split("## Headline")[1].split("Latency ratio")[0]
    rows = {line.split(" | ")[0].lstrip("| "): line.split(" | ")[1:] for line in throughput.splitlines()
            if line.startswith("| ")}
    assert rows["velmora push/pop ÷ native core"][:2] == ["0.10×", "–"]      # 4 KiB: no native figure
    assert rows["velmora push/pop ÷ best peer"][0] == "1.25× (pipe)"
    assert rows["velmora push/pop ÷ best peer"][1] == "–"                    # 4 KiB: no peer figure
    # Latency: velmora's p50 over theirs (below 1: quicker).
    latency = text.split("Latency ratio")[1]
    assert "| velmora push/pop ÷ native core | 2.00× | – |" in latency
    assert "| velmora push/pop ÷ best peer | 0.25× (pipe) | – |" in latency


# ---- fan-in on the harness --------------------------------------------------------

fanin = _load("bench_fanin")


def _stream(size, producers, count):
    """Every producer's messages, interleaved round-robin, as a consumer gets them."""
    per = [list(fanin.messages(p, size, count)) for p in range(producers)]
    return [per[p][i] for i in range(count) for p in range(producers)]


def _reorder(msgs):
    msgs[2], msgs[4] = msgs[4], msgs[2]        # producer 0's messages 1 and 2 swap


def _damage(msgs):
    m = bytearray(msgs[5])
    m[-1] ^= 0xFF
    msgs[5] = bytes(m)


def _foreign(msgs):
    msgs[3] = list(fanin.messages(0, len(msgs[3]), 5))[1]      # producer 0's message, out of turn


@pytest.mark.parametrize("size", [64, 4096], ids=["prebuilt", "patterned"])
@pytest.mark.parametrize("fault", [None, _reorder, _damage, _foreign], ids=["clean", "reorder", "damage", "foreign"])
def test_fanin_checker_takes_each_producers_stream_whole_and_in_order(size, fault):
    producers, count = 2, 8
    msgs = _stream(size, producers, count)
    if fault:
        fault(msgs)
    checker = fanin.Checker(size, producers, count)
    feed = iter(msgs)

    def consume(check, n):
        for _ in range(n):
            check(next(feed))

    if fault is None:
        checker.run(consume)
        assert checker.shares() == [0.5, 0.5]
    else:
        with pytest.raises(AssertionError):
            checker.run(consume)


@pytest.mark.parametrize("index", [1, 3, 6], ids=["mpsc-put-get", "queue", "zmq"])
def test_fanin_rows_deliver_every_message(run, monkeypatch, index):
    row = fanin.rows()[index]
    if row.missing():
        pytest.skip(row.missing())
    monkeypatch.setitem(fanin.COUNT, 64, 400)
    monkeypatch.setattr(fanin, "TIMEOUT_S", 20.0)
    rate, shares = fanin.run(run, row, 64)
    assert rate > 0 and len(shares) == fanin.PRODUCERS and abs(sum(shares) - 1) < 1e-9
