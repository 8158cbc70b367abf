"""Fan-in: 4 producer processes -> 1 consumer, side by side in one run.

Rows: velmora MpscRingBuffer (non-blocking push/pop, blocking put/get, and
put with a consumer that takes what is waiting in one pop_many call, up to
256 messages or 64 KiB), multiprocessing.Queue, faster-fifo (get, and
get_many: its own batch call, with the same limits),
pyzmq PUSH/PULL (4 PUSH sockets into one PULL over ipc://), and velmora's own
SpscRingBuffer 1 -> 1 (push/pop and put/get) carrying the same total, for
scale. 64 B and 4 KiB messages. Producers always send one message per call.

Every message is checked by the consumer: each must equal the next message
its producer sent (so each producer's sequence arrives in order, whole).
Messages up to 1 KiB are made before the clock starts, on both sides, so the
timed loops move and compare them only (the same for every row). "share" is each
producer's part of the first half of the messages received, while all four
were still sending flat out: min..max over the producers (25% is even).

Non-blocking velmora rows retry with os.sched_yield() when full or empty; on
a 2-core machine 4 spinning producers fight the consumer for the cores, so
the blocking rows are the ones to compare with the queues.

Each row runs BENCH_ROUNDS times (default 3; the rounds interleave the
rows) and reports its median round.

The peers, the child processes and the output files are the harness's
(bench/harness/): every process of a row, the consumer too, is a forked
child that makes its own end, so no peer's state (a zmq context) is shared
by the next row's processes. A producer keeps its end open until the
consumer has counted everything, and a row that stalls for BENCH_TIMEOUT
seconds (default 600; 30 quick) fails with a reason.

BENCH_QUICK=1: few messages, one round, to check that every row works.
BENCH_OUT=DIR: where bench_fanin.md, .json and .png go (default docs/,
build/bench-quick/ when quick). BENCH_ONLY=a,b: the rows whose label
contains one of these words.
"""
import gc
import os
import struct
import sys
import time

from harness import peers, report
from harness.common import Failed, Settings, load_average, median_of
from harness.runner import Run

SETTINGS = Settings(rounds=3)
QUICK = SETTINGS.quick
PRODUCERS = 4
SIZES = (64, 4096)
COUNT = {64: 2_000, 4096: 500} if QUICK else {64: 400_000, 4096: 60_000}  # per producer (64 B: half a second or more)
HEAD = struct.Struct("<II")
TIMEOUT_S = float(os.environ.get("BENCH_TIMEOUT", "30" if QUICK else "600"))
BATCH = 256
BATCH_BYTES = 64 << 10  # and at most this many bytes of messages per batch call
ROUNDS = SETTINGS.rounds
PREBUILT_UP_TO = 1024


def lane_bytes(size):
    """Each producer's capacity. At 4 KiB a lane holds 1024 messages: enough
    to ride out a producer's time off the processor (a few ms with five
    processes on two cores) while the consumer serves the others. With 256
    one producer could fall to ~5% of the messages here, its lane drained
    while it waited for a processor."""
    return 1 << 18 if size <= 64 else 1 << 22


def all_lanes(size):
    """The 1->1 ring holds what the fan-in lanes hold together."""
    return PRODUCERS * lane_bytes(size)


def buffered_bytes(size):
    """What every bounded queue may hold: at least as much as velmora's lanes together."""
    return max(1 << 22, PRODUCERS * lane_bytes(size))


def batch_of(size):
    """How many messages one batch call takes: a batch larger than the
    caches would measure the memory, for every row alike."""
    return max(1, min(BATCH, BATCH_BYTES // size))


def body(producer, seq, size):
    """The bytes after the 8-byte head: one of 16 patterns per producer."""
    k = (producer * 16 + (seq & 15)) & 0xFF
    return bytes([k]) * (size - HEAD.size)


def messages(producer, size, count):
    """Every message one producer sends, in order. Small ones are made before
    the clock starts (by the producers, and by the consumer to compare with),
    so neither side's timed loop spends its time making messages; larger ones
    as they are sent, from 16 patterns that stay in the caches (tens of MB of
    distinct messages would not, and the copies would measure the memory)."""
    pats = [body(producer, s, size) for s in range(16)]
    pack = HEAD.pack
    made = (pack(producer, seq) + pats[seq & 15] for seq in range(count))
    return list(made) if size <= PREBUILT_UP_TO else made


class Checker:
    """Checks every message in arrival order against what its producer sent:
    the producer is the message's first byte (the head is little-endian), and
    the message must be that producer's next one, whole, so one out of
    order, from nowhere or damaged anywhere fails."""

    def __init__(self, size, producers, count):
        self.next = nxt = [0] * producers
        self.total = producers * count
        self.half = None
        if size <= PREBUILT_UP_TO:
            expected = [messages(p, size, count) for p in range(producers)]

            def check(msg):
                p = msg[0]
                n = nxt[p]
                if msg != expected[p][n]:
                    raise AssertionError(f"producer {p}: message {n} wrong or out of order")
                nxt[p] = n + 1
        else:
            pats = [[body(p, s, size) for s in range(16)] for p in range(producers)]
            unpack = HEAD.unpack_from

            def check(msg):
                p, n = unpack(msg)
                if n != nxt[p] or len(msg) != size or not msg.endswith(pats[p][n & 15]):
                    raise AssertionError(f"producer {p}: message {n} wrong (expected sequence {nxt[p]})")
                nxt[p] = n + 1

        self.check = check

    def run(self, consume):
        """consume(check, n) takes exactly n messages; the shares are those
        of the first half, while all producers were still sending."""
        first = self.total // 2
        consume(self.check, first)
        self.half = list(self.next)
        consume(self.check, self.total - first)

    def shares(self):
        half = self.half or self.next
        n = sum(half) or 1
        return [h / n for h in half]


# ---- the rows: harness peers, each with its label here ---------------------------------

class Row:
    """A peer in the fan-in table: how many producers, and whether the
    consumer takes batches (recv_many) or one message per call."""

    def __init__(self, peer, label, producers=PRODUCERS, batch=False, capacity=None):
        self.peer, self.label, self.producers, self.batch = peer, label, producers, batch
        self.capacity = capacity or buffered_bytes

    def missing(self):
        return self.peer.missing()


def rows():
    V = peers.VelmoraMpsc
    return [Row(V(PRODUCERS, "push/pop"), "velmora MpscRingBuffer push/pop", capacity=lane_bytes),
            Row(V(PRODUCERS, "put/get"), "velmora MpscRingBuffer put/get", capacity=lane_bytes),
            Row(V(PRODUCERS, "put/pop_many"), "velmora MpscRingBuffer put/pop_many", batch=True,
                capacity=lane_bytes),
            Row(peers.Queue(), "multiprocessing.Queue"),
            Row(peers.FasterFifo(), "faster-fifo put/get"),
            Row(peers.FasterFifo(), "faster-fifo put/get_many", batch=True),
            Row(peers.Zmq(), "pyzmq PUSH/PULL ipc (4 PUSH)"),
            Row(peers.Velmora(), "velmora SpscRingBuffer 1->1 push/pop", producers=1, capacity=all_lanes),
            Row(peers.VelmoraPutGet(), "velmora SpscRingBuffer 1->1 put/get", producers=1, capacity=all_lanes)]


def selected():
    return [r for r in rows() if not SETTINGS.only or any(w in r.label for w in SETTINGS.only)]


# ---- one run ---------------------------------------------------------------------------

def _yield_until(call, arg=None):
    y = os.sched_yield
    if arg is None:
        while True:
            r = call()
            if r is not None:
                return r
            y()
    while not call(arg):
        y()


def _producer(row, chan, producer, size, count, opened, built, go, counted):
    """One producer: its messages made first, then sent as fast as its end
    takes them (retrying with sched_yield when a non-blocking end is full)."""
    msgs = messages(producer, size, count)
    if row.peer.receiver_first and not opened.wait(TIMEOUT_S):
        raise TimeoutError("the consumer did not make the channel")
    ep = row.peer.sender(chan, size)
    built.wait(TIMEOUT_S)
    if not go.wait(TIMEOUT_S):
        raise TimeoutError("no start")
    send = ep.send
    if row.peer.poll_send:
        for m in msgs:
            if not send(m):
                _yield_until(send, m)
    else:
        for m in msgs:
            send(m)
    counted.wait(TIMEOUT_S)     # the end stays open until the consumer has everything
    ep.finish()


def _consumer(row, chan, size, producers, count, opened, built, go, counted):
    """Takes every message, checking each; returns (msgs/s, shares)."""
    ep = row.peer.receiver(chan, size)
    opened.set()
    # Kept out of the collector's way while the clock runs.
    checker = Checker(size, producers, count)
    gc.collect()
    gc.freeze()
    built.wait(TIMEOUT_S)       # every producer has its messages ready
    time.sleep(0.05)            # and waits on the event
    started = time.perf_counter()
    go.set()
    if row.batch:
        many, limit = ep.recv_many, batch_of(size)

        def consume(check, n):
            while n > 0:
                got = many(min(limit, n))
                n -= len(got)
                for m in got:
                    check(m)
    elif row.peer.poll_recv:
        pop = ep.recv

        def consume(check, n):
            for _ in range(n):
                m = pop()
                check(m if m is not None else _yield_until(pop))
    else:
        get = ep.recv

        def consume(check, n):
            for _ in range(n):
                check(get())
    checker.run(consume)
    elapsed = time.perf_counter() - started
    counted.set()
    ep.finish()
    return checker.total / elapsed, checker.shares()


def run(harness, row, size):
    """Messages per second through `row` from its producers, and the shares."""
    count = COUNT[size] * PRODUCERS // row.producers
    chan = row.peer.channel(harness, size, row.capacity(size))
    ctx = harness.ctx
    opened, go, counted = ctx.Event(), ctx.Event(), ctx.Event()
    built = ctx.Barrier(row.producers + 1)
    try:
        results = harness.spawn(
            [(_consumer, (row, chan, size, row.producers, count, opened, built, go, counted))]
            + [(_producer, (row, chan, p, size, count, opened, built, go, counted)) for p in range(row.producers)],
            TIMEOUT_S)
    finally:
        row.peer.close(chan)
    return results[0]


def main():
    head = (f"fan-in: {PRODUCERS} producer processes -> 1 consumer, {os.cpu_count()} cores"
            + (" (BENCH_QUICK)" if QUICK else ""))
    print(head)
    results, shares_of, lines, failed = {}, {}, [], False
    harness = Run(SETTINGS)
    try:
        for size in SIZES:
            print(f"\n{size} B messages, {COUNT[size] * PRODUCERS} in all")
            print(f"{'transport':<40}{'msgs/s':>12}{'MB/s':>9}   share per producer")
            lines += ["", f"### {size} B messages, {COUNT[size] * PRODUCERS} in all", "",
                      "| transport | msgs/s | MB/s | share per producer |", "|---|---:|---:|---|"]
            # Rounds interleave the rows, so a slow spell of the machine hits
            # them alike; each row reports its median round.
            runs, why_failed = {}, {}
            for _ in range(ROUNDS):
                for row in selected():
                    if row.missing() or row.label in why_failed:
                        continue
                    try:
                        runs.setdefault(row.label, []).append(run(harness, row, size))
                    except Failed as exc:
                        why_failed[row.label] = str(exc)
                        print(f"{row.label:<40}{'failed':>12}   ({exc})", flush=True)
            for row in selected():
                why = row.missing()
                if why:
                    print(f"{row.label:<40}{'n/a':>12}   ({why})")
                    lines.append(f"| {row.label} | n/a | | {why} |")
                    continue
                if row.label in why_failed:
                    failed = failed or row.label.startswith("velmora")
                    lines.append(f"| {row.label} | failed | | {why_failed[row.label]} |")
                    continue
                rate, shares = median_of(runs[row.label])
                results[(row.label, size)] = rate
                share = "-" if row.producers == 1 else f"{min(shares):.0%}..{max(shares):.0%}"
                shares_of[(row.label, size)] = shares
                print(f"{row.label:<40}{rate:>12,.0f}{rate * size / 1e6:>9.1f}   {share}", flush=True)
                lines.append(f"| {row.label} | {rate:,.0f} | {rate * size / 1e6:.1f} | {share} |")
            found = ratios(results, size)
            for f in found:
                print("  " + f)
            lines += [""] + [f"- {f}" for f in found]
    finally:
        harness.close()
    write(head, lines, results, shares_of)
    return 1 if failed else 0


def ratios(results, size):
    """The fan-in rows against SPSC 1->1 push/pop and the peers at `size`."""
    def rate(label):
        return results.get((label, size))

    spsc = rate("velmora SpscRingBuffer 1->1 push/pop")
    found = []
    for calls in ("push/pop", "put/get", "put/pop_many"):
        mine = rate(f"velmora MpscRingBuffer {calls}")
        if mine is None:
            continue
        parts = [f"{mine / spsc:.2f}x SPSC 1->1 push/pop" if spsc else None]
        for peer in ("multiprocessing.Queue", "faster-fifo put/get", "faster-fifo put/get_many",
                     "pyzmq PUSH/PULL ipc (4 PUSH)"):
            if rate(peer):
                parts.append(f"{mine / rate(peer):.1f}x {peer}")
        found.append(f"MpscRingBuffer {calls}: " + ", ".join(p for p in parts if p))
    return found


def write(head, lines, results, shares_of):
    """bench_fanin.md, .json and (with matplotlib) .png in the output folder."""
    load = load_average()
    text = "\n".join(["# Fan-in benchmark", "", head + f"; python {sys.version.split()[0]}"
                      + (f", load average {load:.1f} at the end" if load is not None else "")
                      + f". Every message checked; each row the median of {ROUNDS} rounds.", *lines])

    def plot(path):
        plt = report.pyplot()
        if plt is None:
            return "matplotlib not installed: no plot"
        labels = [r.label for r in rows() if any((r.label, s) in results for s in SIZES)]
        fig, axes = plt.subplots(1, len(SIZES), figsize=(12, 4.8))
        for ax, size in zip(axes, SIZES):
            vals = [results.get((k, size), 0) for k in labels]
            colors = ["tab:blue" if k.startswith("velmora Mpsc") else "tab:gray" if k.startswith("velmora")
                      else "tab:orange" for k in labels]
            ax.barh(range(len(labels)), vals, color=colors)
            ax.set_yticks(range(len(labels)))
            ax.set_yticklabels(labels, fontsize=8)
            ax.invert_yaxis()
            ax.set_xscale("log")
            ax.set_xlabel("messages/s, all producers together")
            ax.set_title(f"{size} B")
        fig.suptitle(f"Fan-in: {PRODUCERS} producer processes -> 1 consumer")
        fig.tight_layout()
        fig.savefig(path, dpi=110)
        plt.close(fig)
        return None

    report.write_outputs(SETTINGS.out, "bench_fanin", text,
                         {"rate": {f"{k}|{s}": v for (k, s), v in results.items()},
                          "shares": {f"{k}|{s}": v for (k, s), v in shares_of.items()}}, plot)


if __name__ == "__main__":
    sys.exit(main())
