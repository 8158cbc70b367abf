"""Broadcast: one publisher process to 1 and to 4 subscriber processes.

Rows:
  velmora            Publisher.publish (one copy in) / Subscriber.receive (bytes, one copy out)
  velmora-zc         Publisher.loan / Subscriber.receive_view: zero-copy at both ends
  iceoryx2           publish-subscribe, loan_slice_uninit / the payload read in place: zero-copy;
                     lossless: safe overflow off, retry until delivered
  pool               a hand-made multiprocessing.shared_memory slot pool: the publisher
                     writes into a free slot, subscribers read in place and move their cursors

The zero-copy rows (velmora-zc, iceoryx2, pool) produce each message in its
slot: the publisher writes the message's stamps into the loaned memory and
nothing else, so they measure the transport, not a memcpy of the payload (the
copying row, velmora, moves every byte twice). The frame case copies whole
frames in on both sides and checks every byte.

Every message carries its sequence number in its first and last 8 bytes and
every subscriber checks both and that nothing is missing or out of order.
Throughput is per subscriber (messages from its first to its last, median of
the subscribers); latency is one-way (the publisher's clock when it starts a
send to the subscriber's clock when the message is in its hands, messages sent
one at a time), p50. The frame case sends 1920x1080x3 uint8 numpy frames to one
subscriber that checks each one's CRC-32: velmora publish(frame) +
receive_view, against the pool.

Environment: BENCH_QUICK=1 (one short round), BENCH_ROUNDS=N (default 5),
BENCH_OUT=DIR (bench_broadcast.md, .json and .png; default docs/, build/bench-quick/ when quick),
BENCH_TIMEOUT=S (how long a case may stall before it fails; default 120).
Rounds are interleaved and the tables show medians; a case that fails shows
"failed" and its reason. The subscribers run as the harness's children
(bench/harness/), iceoryx2's service is the harness's peer. Linux only.
"""
import ctypes
import os
import statistics
import sys
import time
import zlib
from multiprocessing import resource_tracker, shared_memory

import velmora

from harness import report
from harness.common import KIB, MIB, SEQ, WARM, Failed, Settings, load_average, size_label
from harness.peers import iceoryx2_pubsub
from harness.runner import Run

SETTINGS = Settings(rounds=5)
QUICK = SETTINGS.quick
ROUNDS = SETTINGS.rounds
SIZES = [64, 64 * KIB, MIB]
SUBSCRIBERS = [1, 4]
COUNTS = {64: 2_000 if QUICK else 200_000, 64 * KIB: 300 if QUICK else 20_000, MIB: 50 if QUICK else 4_000}
DEPTH = {64: 64, 64 * KIB: 16, MIB: 8}
LATENCY_SAMPLES = 30 if QUICK else 300
FRAME_SHAPE = (1080, 1920, 3)
FRAMES = 30 if QUICK else 400
TIMEOUT = SETTINGS.timeout
label = size_label


def payload(size):
    return bytearray(os.urandom(size))


def stamp(buf, seq):
    SEQ.pack_into(buf, 0, seq)
    SEQ.pack_into(buf, len(buf) - 8, seq)


Bad = Failed


def check(head, tail, seq):
    if head != seq or tail != seq:
        raise Bad(f"message {seq}: found {head}/{tail}")


# ---- velmora -------------------------------------------------------------------------------

class Velmora:
    key = "velmora"
    zero_copy = False

    def setup(self, name, size, subs):
        self.pub = velmora.Publisher.create(name, size, DEPTH[size], subscribers=subs)

    def teardown(self, name):
        self.pub.close()
        velmora.SharedMemory.remove(name)

    def sender(self, name, size):
        pub = self.pub
        buf = payload(size)
        if self.zero_copy:
            def send(seq):
                with pub.loan(size) as slot:
                    stamp(slot, seq)
        else:
            def send(seq):
                stamp(buf, seq)
                pub.publish(buf)
        return send, None

    def receiver(self, name, size):
        sub = velmora.Subscriber.open(name)
        if self.zero_copy:
            def recv():
                with sub.receive_view(timeout=TIMEOUT) as mv:
                    return SEQ.unpack_from(mv, 0)[0], SEQ.unpack_from(mv, size - 8)[0]
        else:
            def recv():
                msg = sub.receive(timeout=TIMEOUT)
                return SEQ.unpack_from(msg, 0)[0], SEQ.unpack_from(msg, size - 8)[0]
        return recv, sub

    def ready(self, handle, subs):
        return len(self.pub.subscribers()) >= subs


class VelmoraZeroCopy(Velmora):
    key = "velmora-zc"
    zero_copy = True


# ---- iceoryx2 -------------------------------------------------------------------------------

class Iceoryx2:
    key = "iceoryx2"

    def missing(self):
        try:
            import iceoryx2  # noqa: F401
        except ImportError:
            return "iceoryx2 not installed"
        return None

    def setup(self, name, size, subs):
        pass

    def teardown(self, name):
        pass

    def _service(self, name, size):
        return iceoryx2_pubsub.open_service("velmora-bench" + name, DEPTH[size], max_subscribers=8)

    def sender(self, name, size):
        iox2, node, service = self._service(name, size)
        publisher = iceoryx2_pubsub.publisher(iox2, service, size)
        loan, memmove = publisher.loan_slice_uninit, ctypes.memmove

        def send(seq):
            sample = loan(size)
            stamp_bytes = SEQ.pack(seq)
            memmove(sample.payload_ptr, stamp_bytes, 8)
            memmove(sample.payload_ptr + size - 8, stamp_bytes, 8)
            sample.assume_init().send()
        return send, (node, service, publisher)

    def receiver(self, name, size):
        iox2, node, service = self._service(name, size)
        subscriber = service.subscriber_builder().buffer_size(DEPTH[size]).create()
        receive, string_at = subscriber.receive, ctypes.string_at

        def recv():
            spins = 0
            while True:
                sample = receive()
                if sample is not None:
                    break
                spins += 1
                if spins > 64:
                    time.sleep(0)
            ptr = sample.payload_ptr
            got = SEQ.unpack(string_at(ptr, 8))[0], SEQ.unpack(string_at(ptr + size - 8, 8))[0]
            sample.delete()
            return got
        return recv, (node, service, subscriber)

    def ready(self, handle, subs):
        return None  # subscribers announce themselves by receiving a warm-up message


# ---- the hand-made pool -------------------------------------------------------------------

def _attach(name):
    shm = shared_memory.SharedMemory(name=name.lstrip("/"))
    try:
        resource_tracker.unregister(shm._name, "shared_memory")
    except Exception:  # noqa: BLE001
        pass
    return shm


class _Mapped:
    """A stdlib segment and the views cast from it, released in order."""

    def __init__(self, shm, *views):
        self.shm, self.views = shm, views

    def __del__(self):
        for v in self.views:
            v.release()
        self.shm.close()


class Pool:
    """[published u64 | subscribers u64 | cursor u64 x 8 | slots]: counters are
    single 8-byte items of a cast memoryview (never struct.pack_into, which
    zeroes its target first)."""
    key = "pool"
    HEAD = 80

    def setup(self, name, size, subs):
        shm = shared_memory.SharedMemory(name=name.lstrip("/"), create=True, size=self.HEAD + DEPTH[size] * size)
        resource_tracker.unregister(shm._name, "shared_memory")
        shm.buf[:self.HEAD] = bytes(self.HEAD)
        shm.close()

    def teardown(self, name):
        velmora.SharedMemory.remove(name)

    def sender(self, name, size, subs=None):
        shm = _attach(name)
        words = shm.buf[:self.HEAD].cast("Q")
        depth = DEPTH[size]
        slots = shm.buf[self.HEAD:]

        def send(seq):
            n = words[0]
            joined = words[1]
            spins = 0
            while n - min(words[2 + i] for i in range(joined)) >= depth if joined else False:
                spins += 1
                if spins > 64:
                    time.sleep(0)
                    if spins == 65:
                        give_up = time.monotonic() + TIMEOUT
                    elif spins & 0xFFF == 0 and time.monotonic() > give_up:
                        raise Failed(f"a subscriber took nothing for {TIMEOUT:.0f} s")
            at = (n % depth) * size
            SEQ.pack_into(slots, at, seq)
            SEQ.pack_into(slots, at + size - 8, seq)
            words[0] = n + 1
        return send, _Mapped(shm, words, slots)

    def receiver(self, name, size):
        shm = _attach(name)
        words = shm.buf[:self.HEAD].cast("Q")
        me = words[1]
        words[2 + me] = words[0]
        words[1] = me + 1
        depth = DEPTH[size]
        slots = shm.buf[self.HEAD:]

        def recv():
            n = words[2 + me]
            spins = 0
            while words[0] == n:
                spins += 1
                if spins > 64:
                    time.sleep(0)
            at = (n % depth) * size
            got = SEQ.unpack_from(slots, at)[0], SEQ.unpack_from(slots, at + size - 8)[0]
            words[2 + me] = n + 1
            return got
        return recv, _Mapped(shm, words, slots)

    def ready(self, handle, subs):
        return None


# ---- runs ------------------------------------------------------------------------------------

def _subscriber(t, name, size, count, ready, warmed, latency):
    if True:
        recv, keep = t.receiver(name, size)
        ready.set()
        clock = time.perf_counter_ns
        counted = False
        while True:  # warm-up messages until the first real one
            head, tail = recv()
            if head != WARM:
                break
            if not counted:
                with warmed.get_lock():
                    warmed.value += 1
                counted = True
        expect, first = 0, clock()
        lat = []
        while True:
            if latency:
                lat.append(clock() - head)  # the publisher's clock in place of the number
            else:
                check(head, tail, expect)
            expect += 1
            if expect == count:
                break
            head, tail = recv()
        del keep
        return (count - 1) / ((clock() - first) / 1e9) if count > 1 else 0.0, lat


def run_case(harness, t, size, subs, count, latency=False):
    """[(per-subscriber msgs/s, latency samples)], one per subscriber; Failed
    when a subscriber fails, a message is wrong or the case stalls."""
    name = harness.new_segment_name()
    t.setup(name, size, subs)
    warmed = harness.ctx.Value("i", 0)
    readies = [harness.ctx.Event() for _ in range(subs)]
    children = harness.start([(_subscriber, (t, name, size, count, ready, warmed, latency)) for ready in readies])
    try:
        for ready in readies:
            if not ready.wait(TIMEOUT):
                raise Bad("a subscriber did not start")
        send, handle = t.sender(name, size)
        # Warm-up: some transports connect a subscriber on its first receive.
        deadline = time.monotonic() + TIMEOUT
        if t.ready(handle, subs) is None:
            # Until every subscriber has one (those not connected yet lose theirs).
            while warmed.value < subs:
                if time.monotonic() > deadline:
                    raise Bad("subscribers did not connect")
                send(WARM)
                time.sleep(0.005)
        else:
            while not t.ready(handle, subs):
                if time.monotonic() > deadline:
                    raise Bad("subscribers did not join")
                time.sleep(0.001)
        if latency:
            for _ in range(count):
                send(time.perf_counter_ns())
                time.sleep(0.0005)
        else:
            for seq in range(count):
                send(seq)
        results = harness.collect(children, TIMEOUT)
        del handle
        return results
    finally:
        harness.stop(children)
        t.teardown(name)


# ---- frames ------------------------------------------------------------------------------------

def _frame_subscriber(kind, name, count, crcs, ready):
    import numpy as np
    if True:
        if kind == "velmora":
            sub = velmora.Subscriber.open(name)
            ready.set()
            first = None
            for i in range(count):
                with sub.receive_view(timeout=TIMEOUT) as mv:
                    arr = np.asarray(mv)
                    if arr.shape != FRAME_SHAPE or arr.dtype != np.uint8 or zlib.crc32(arr) != crcs[i % len(crcs)]:
                        raise Bad(f"frame {i} is wrong")
                if first is None:
                    first = time.perf_counter()
        else:
            size = int(np.prod(FRAME_SHAPE))
            recv_shm = _attach(name)
            words = recv_shm.buf[:Pool.HEAD].cast("Q")
            words[2] = words[0]
            words[1] = 1
            ready.set()
            slots = recv_shm.buf[Pool.HEAD:]
            first = None
            for i in range(count):
                spins = 0
                while words[0] == i:
                    spins += 1
                    if spins > 64:
                        time.sleep(0)
                at = (i % 4) * size
                arr = np.frombuffer(slots[at:at + size], np.uint8).reshape(FRAME_SHAPE)
                if zlib.crc32(arr) != crcs[i % len(crcs)]:
                    raise Bad(f"frame {i} is wrong")
                del arr
                words[2] = i + 1
                if first is None:
                    first = time.perf_counter()
            del slots, words
        return (count - 1) / (time.perf_counter() - first)


def run_frames(harness, kind):
    import numpy as np
    rng = np.random.default_rng(7)
    frames = [rng.integers(0, 256, FRAME_SHAPE, dtype=np.uint8) for _ in range(3)]
    crcs = [zlib.crc32(f) for f in frames]
    size = frames[0].nbytes
    name = harness.new_segment_name()
    if kind == "velmora":
        pub = velmora.Publisher.create(name, size, 4, subscribers=1)
    else:
        shm = shared_memory.SharedMemory(name=name.lstrip("/"), create=True, size=Pool.HEAD + 4 * size)
        resource_tracker.unregister(shm._name, "shared_memory")
        words = shm.buf[:Pool.HEAD].cast("Q")
        slots = shm.buf[Pool.HEAD:]
    ready = harness.ctx.Event()
    children = harness.start([(_frame_subscriber, (kind, name, FRAMES, crcs, ready))])
    try:
        if not ready.wait(TIMEOUT):
            raise Bad("the frame subscriber did not start")
        for i in range(FRAMES):
            frame = frames[i % len(frames)]
            if kind == "velmora":
                pub.publish(frame, timeout=TIMEOUT)
            else:
                give_up = time.monotonic() + TIMEOUT
                while i - words[2] >= 4:
                    time.sleep(0)
                    if time.monotonic() > give_up:
                        raise Bad(f"the frame subscriber took nothing for {TIMEOUT:.0f} s")
                at = (i % 4) * size
                np.frombuffer(slots[at:at + size], np.uint8)[:] = frame.reshape(-1)
                words[0] = i + 1
        return harness.collect(children, TIMEOUT)[0]
    finally:
        harness.stop(children)
        if kind == "velmora":
            pub.close()
        else:
            del words, slots
            shm.close()
        velmora.SharedMemory.remove(name)


def plot(med, keys, path):
    """Grouped bars: per-subscriber throughput by size and subscriber count (log scale)."""
    plt = report.pyplot()
    if plt is None:
        return "matplotlib not installed: no plot"
    cases = [(size, subs) for size in SIZES for subs in SUBSCRIBERS]
    fig, ax = plt.subplots(figsize=(10, 4.5))
    width = 0.8 / len(keys)
    for i, k in enumerate(keys):
        ax.bar([c + i * width for c in range(len(cases))], [med.get((k, s, n), 0) for s, n in cases], width,
               label=k)
    ax.set_xticks([c + 0.4 - width / 2 for c in range(len(cases))])
    ax.set_xticklabels([f"{label(s)}\n{n} sub" for s, n in cases])
    ax.set_yscale("log")
    ax.set_ylabel("messages/s per subscriber")
    ax.set_title("Broadcast: one publisher process to 1 and 4 subscriber processes")
    ax.legend()
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return None


# ---- main -------------------------------------------------------------------------------------

def main():
    transports = [Velmora(), VelmoraZeroCopy(), Iceoryx2(), Pool()]
    notes = []
    for t in list(transports):
        why = getattr(t, "missing", lambda: None)()
        if why:
            notes.append(f"{t.key}: skipped ({why})")
            transports.remove(t)
    thr = {}    # (key, size, subs) -> [per-subscriber msg/s medians per round]
    lat = {}    # key -> [p50 ns per round]
    frames = {}
    failed = {}  # (key, size, subs) or (key, "latency") or ("frames", kind) -> why
    harness = Run(SETTINGS)

    def attempt(what, fn):
        if what in failed:
            return None
        try:
            return fn()
        except Failed as exc:
            failed[what] = str(exc)
            print(f"  {what}: failed: {exc}", flush=True)
            return None

    try:
        for rnd in range(ROUNDS):
            order = transports[rnd % len(transports):] + transports[:rnd % len(transports)]
            for size in SIZES:
                for subs in SUBSCRIBERS:
                    for t in order:
                        res = attempt((t.key, size, subs), lambda: run_case(harness, t, size, subs, COUNTS[size]))
                        if res:
                            thr.setdefault((t.key, size, subs), []).append(statistics.median(v for v, _ in res))
            for t in order:
                if t.key in ("velmora-zc", "iceoryx2", "pool"):
                    res = attempt((t.key, "latency"),
                                  lambda: run_case(harness, t, MIB, 1, LATENCY_SAMPLES, latency=True))
                    if res:
                        lat.setdefault(t.key, []).append(statistics.median(res[0][1]))
            try:
                for kind in ("velmora", "pool") if rnd % 2 == 0 else ("pool", "velmora"):
                    v = attempt(("frames", kind), lambda: run_frames(harness, kind))
                    if v is not None:
                        frames.setdefault(kind, []).append(v)
            except ImportError:
                if "frames: skipped (numpy not installed)" not in notes:
                    notes.append("frames: skipped (numpy not installed)")
            print(f"round {rnd + 1}/{ROUNDS} done", flush=True)
    finally:
        harness.close()

    med = {k: statistics.median(v) for k, v in thr.items() if k not in failed}
    load = load_average()
    lines = ["# Broadcast benchmark", "",
             f"One run, {ROUNDS} interleaved round(s), medians; python {sys.version.split()[0]}, "
             f"{os.cpu_count()} CPUs" + (f", load average {load:.1f} at the end" if load is not None else "")
             + ". Per-subscriber throughput in messages/s.", ""]
    keys = [t.key for t in transports]
    lines.append("| size | subscribers | " + " | ".join(keys) + " |")
    lines.append("|---|---|" + "---|" * len(keys))
    for size in SIZES:
        for subs in SUBSCRIBERS:
            cells = [f"{med[(k, size, subs)]:,.0f}" if (k, size, subs) in med else "failed" for k in keys]
            lines.append(f"| {label(size)} | {subs} | " + " | ".join(cells) + " |")
    lines.append("")
    lat = {k: v for k, v in lat.items() if (k, "latency") not in failed}
    frames = {k: v for k, v in frames.items() if ("frames", k) not in failed}
    if lat:
        lines.append("One-way latency, 1 MiB, one subscriber, p50: " +
                     ", ".join(f"{k} {statistics.median(v) / 1000:.0f} µs" for k, v in lat.items()))
        lines.append("")
    if frames:
        lines.append("1920x1080x3 uint8 frames, CRC-32 checked on the subscriber: " +
                     ", ".join(f"{k} {statistics.median(v):.0f} frames/s" for k, v in frames.items()))
        lines.append("")
    goals = []
    if "iceoryx2" in keys:
        for subs in SUBSCRIBERS:
            r = report.ratio(med.get(("velmora-zc", MIB, subs)), med.get(("iceoryx2", MIB, subs)))
            if r is not None:
                goals.append(f"1 MiB zero-copy, {subs} subscriber(s): {r:.2f}x iceoryx2 (goal >= 1.5x)")
            for k in ("velmora", "velmora-zc"):
                r = report.ratio(med.get((k, 64, subs)), med.get(("iceoryx2", 64, subs)))
                if r is not None:
                    goals.append(f"64 B {k}, {subs} subscriber(s): {r:.2f}x iceoryx2 (goal >= 3x)")
        if "velmora-zc" in lat and "iceoryx2" in lat:
            r = statistics.median(lat["velmora-zc"]) / statistics.median(lat["iceoryx2"])
            goals.append(f"1 MiB one-way latency p50: {r:.2f}x iceoryx2's (goal <= 1x)")
    if len(frames) == 2:
        r = statistics.median(frames["velmora"]) / statistics.median(frames["pool"])
        goals.append(f"frames: {r:.2f}x the hand-made pool (goal >= 1x)")
    notes += [f"{' '.join(map(str, what))}: failed: {why}" for what, why in failed.items()]
    lines += ["Against the goals:", ""] + [f"- {g}" for g in goals] + [""] + [f"- {n}" for n in notes]
    text = "\n".join(lines)
    print(text)
    report.write_outputs(SETTINGS.out, "bench_broadcast", text,
                         {"throughput": {f"{k}|{s}|{n}": v for (k, s, n), v in thr.items()},
                          "latency_ns": lat, "frames_per_s": frames, "failed": {str(k): v for k, v in failed.items()}},
                         lambda path: plot(med, keys, path))
    own = [what for what in failed if str(what[0]).startswith("velmora") or what == ("frames", "velmora")]
    return 1 if own else 0


if __name__ == "__main__":
    sys.exit(main())
