"""velmora.aio against the blocking calls, in the same run.

1. Wake-up latency after 10-20 ms of idleness: a consumer process waits in
   get() (blocking) or in `await aio.get()` (asyncio default loop, uvloop);
   the producer sends a message stamped with the monotonic clock. A bare
   socketpair awaited with add_reader shows what the loop alone costs.
2. Streaming 64 B messages from a producer process: a blocking get() loop
   against `async for` (and how many times the loop had to wait on the
   descriptor for them: the other side rings only when a waiter may sleep).
3. 1,000 channels x 1 message, sent in random order by another process to
   one asyncio loop: all received, total time.
4. CPU time of an idle loop awaiting 100 channels.
5. The hot path: push + pop pairs with and without a listener on the ring
   (and publish + receive pairs with and without one on a subscriber).
6. Broadcast: a subscriber process's wake-up after 10-20 ms idle (blocking
   receive() against `await aio.receive()`), and streaming 64 B from a
   publisher process (a blocking receive() loop against `async for`).

Rows 1 and 2 run for the SPSC ring and for the fan-in ring (MpscRingBuffer,
4 producer slots, one producer sending).

AIO_SAMPLES (default 200) sets the wake-up samples; BENCH_QUICK=1 runs short.
"""
import asyncio
import multiprocessing
import os
import random
import resource
import struct
import time
import uuid

import velmora
import velmora.aio

QUICK = os.environ.get("BENCH_QUICK") == "1"
SAMPLES = int(os.environ.get("AIO_SAMPLES", "30" if QUICK else "200"))
STREAM = 100_000 if QUICK else 1_000_000
CHANNELS = 1000
CTX = multiprocessing.get_context("spawn")
SM = velmora.SharedMemory


def new_name(tag):
    return f"/velmora-ba-{tag}-{os.getpid()}-{uuid.uuid4().hex[:8]}"


def create_ring(kind, name, capacity):
    if kind == "mpsc":
        return velmora.MpscRingBuffer.create(name, capacity, producers=4)
    return SM.create(name, velmora.SpscRingBuffer.segment_size(capacity)).spsc()


def open_ring(kind, name):
    return velmora.MpscRingBuffer.open(name) if kind == "mpsc" else SM.open(name).spsc()


def pct(values, q):
    values = sorted(values)
    return values[min(len(values) - 1, int(q * len(values)))]


# ---- 1. wake-up latency -----------------------------------------------------------

def _wake_consumer(kind, name, n, mode, ready, out):
    """Receives `n` stamped messages (get, or a subscriber's receive when
    `kind` is "broadcast") and reports how late each one arrived."""
    if kind == "broadcast":
        ring, call = velmora.Subscriber.open(name), "receive"
    else:
        ring, call = open_ring(kind, name), "get"
    lat = []
    if mode == "sync":
        ready.set()
        receive = getattr(ring, call)
        for _ in range(n):
            msg = receive(timeout=10)
            lat.append(time.monotonic_ns() - struct.unpack("<q", msg)[0])
    else:
        if mode == "uvloop":
            import uvloop
            uvloop.install()

        async def main():
            receive = getattr(velmora.aio.wrap(ring), call)
            ready.set()
            for _ in range(n):
                msg = await receive(timeout=10)
                lat.append(time.monotonic_ns() - struct.unpack("<q", msg)[0])
        asyncio.run(main())
    out.put(lat)


def send_stamped(send):
    """SAMPLES messages holding the monotonic clock, each after 10-20 ms idle."""
    rng = random.Random(1)
    for _ in range(SAMPLES):
        time.sleep(rng.uniform(0.010, 0.020))
        send(struct.pack("<q", time.monotonic_ns()))


def wake_latency(mode, kind="spsc"):
    """p50 and p99 in µs of a consumer process woken by each stamped message;
    `kind` "broadcast": a subscriber woken by a publisher."""
    name = new_name("w")
    if kind == "broadcast":
        chan = velmora.Publisher.create(name, 64, 64, subscribers=2)
        send = chan.publish
    else:
        chan = create_ring(kind, name, 4096)
        send = chan.put
    out, ready = CTX.Queue(), CTX.Event()
    proc = CTX.Process(target=_wake_consumer, args=(kind, name, SAMPLES, mode, ready, out))
    proc.start()
    try:
        ready.wait(30)
        while kind == "broadcast" and not chan.subscribers():
            time.sleep(0.001)
        send_stamped(send)
        lat = out.get(timeout=60)
        proc.join(10)
    finally:
        chan.close()
        SM.remove(name)
    return pct(lat, 0.5) / 1000, pct(lat, 0.99) / 1000


def _floor_consumer(sock, n, ready, out):
    lat = []

    async def main():
        loop = asyncio.get_running_loop()
        ready.set()
        for _ in range(n):
            fut = loop.create_future()
            loop.add_reader(sock.fileno(), fut.set_result, None)
            await fut
            loop.remove_reader(sock.fileno())
            lat.append(time.monotonic_ns() - struct.unpack("<q", sock.recv(64))[0])

    asyncio.run(main())
    out.put(lat)


def loop_floor():
    """The same wake-up through a bare socketpair and add_reader: what the
    asyncio loop itself costs on this machine, without velmora."""
    import socket

    a, b = socket.socketpair(socket.AF_UNIX, socket.SOCK_DGRAM)
    out, ready = CTX.Queue(), CTX.Event()
    proc = CTX.Process(target=_floor_consumer, args=(b, SAMPLES, ready, out))
    proc.start()
    ready.wait(30)
    send_stamped(a.send)
    lat = out.get(timeout=60)
    proc.join(10)
    a.close()
    b.close()
    return pct(lat, 0.5) / 1000, pct(lat, 0.99) / 1000


# ---- 2. streaming ---------------------------------------------------------------------

def _stream_producer(kind, name, n, go):
    ring = open_ring(kind, name)
    msg = b"m" * 64
    batch = [msg] * 64
    go.wait(30)
    sent = 0
    while sent < n:
        k = ring.push_many(batch[: min(64, n - sent)])
        sent += k
        if k == 0:
            time.sleep(0)


def stream(mode, kind="spsc"):
    name = new_name("s")
    ring = create_ring(kind, name, 1 << 20)
    go = CTX.Event()
    proc = CTX.Process(target=_stream_producer, args=(kind, name, STREAM, go))
    proc.start()
    waits = 0
    try:
        if mode == "sync":
            get = ring.get
            go.set()
            get(timeout=30)
            t0 = time.perf_counter()
            for _ in range(STREAM - 1):
                get(timeout=30)
            dt = time.perf_counter() - t0
        else:
            readable = velmora.aio._readable

            async def counted(*args):
                nonlocal waits
                waits += 1
                return await readable(*args)

            velmora.aio._readable = counted

            async def main():
                chan = velmora.aio.wrap(ring)
                go.set()
                it = chan.__aiter__()
                await it.__anext__()
                t0 = time.perf_counter()
                n = 1
                async for _ in it:
                    n += 1
                    if n == STREAM:
                        break
                return time.perf_counter() - t0

            try:
                dt = asyncio.run(main())
            finally:
                velmora.aio._readable = readable
        proc.join(30)
    finally:
        ring.close()
        SM.remove(name)
    return (STREAM - 1) / dt, waits


# ---- 2b. streaming, broadcast ---------------------------------------------------------------

def _stream_publisher(name, n, go):
    pub = velmora.Publisher.create(name, 64, 256, subscribers=1)
    go.set()
    while not pub.subscribers():
        time.sleep(0.001)
    msg = b"m" * 64
    publish = pub.publish
    for _ in range(n):
        publish(msg)
    pub.close()


def stream_broadcast(mode):
    """A publisher process publishes STREAM 64 B messages (block mode) to one
    subscriber: a blocking receive() loop against `async for` (eof=True)."""
    name = new_name("bs")
    go = CTX.Event()
    proc = CTX.Process(target=_stream_publisher, args=(name, STREAM, go))
    proc.start()
    waits = 0
    try:
        go.wait(30)
        sub = velmora.Subscriber.open(name)
        if mode == "sync":
            receive = sub.receive
            receive(timeout=30)
            t0 = time.perf_counter()
            for _ in range(STREAM - 1):
                receive(timeout=30)
            dt = time.perf_counter() - t0
        else:
            readable = velmora.aio._readable

            async def counted(*args):
                nonlocal waits
                waits += 1
                return await readable(*args)

            velmora.aio._readable = counted

            async def main():
                it = velmora.aio.wrap(sub, eof=True).__aiter__()
                await it.__anext__()
                t0 = time.perf_counter()
                n = 1
                async for _ in it:
                    n += 1
                dt = time.perf_counter() - t0
                assert n == STREAM, f"{n} of {STREAM} messages"
                return dt

            try:
                dt = asyncio.run(main())
            finally:
                velmora.aio._readable = readable
        sub.close()
        proc.join(30)
    finally:
        if proc.is_alive():
            proc.kill()
        try:
            SM.remove(name)
        except OSError:
            pass
    return (STREAM - 1) / dt, waits


# ---- 3. a thousand channels -----------------------------------------------------------

def _one_each(names, seed):
    rings = [SM.open(n).spsc() for n in names]
    order = list(range(len(names)))
    random.Random(seed).shuffle(order)
    for i in order:
        rings[i].push(i.to_bytes(4, "little"))


def thousand_channels():
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft < 4 * CHANNELS:
        resource.setrlimit(resource.RLIMIT_NOFILE, (min(hard, 4 * CHANNELS), hard))
    names = [new_name("k") for _ in range(CHANNELS)]
    rings = [SM.create(n, velmora.SpscRingBuffer.segment_size(256)).spsc() for n in names]
    try:
        async def main():
            waits = [asyncio.ensure_future(velmora.aio.wrap(r).get(timeout=60)) for r in rings]
            await asyncio.sleep(0.3)
            proc = CTX.Process(target=_one_each, args=(names, 3))
            proc.start()
            # Measured from when the producer has its segments open: the clock
            # starts at its first push, seen as the first wait to finish.
            done, _ = await asyncio.wait(waits, return_when=asyncio.FIRST_COMPLETED)
            t0 = time.perf_counter()
            got = await asyncio.gather(*waits)
            dt = time.perf_counter() - t0
            proc.join(30)
            ok = got == [i.to_bytes(4, "little") for i in range(CHANNELS)]
            return ok, dt

        return asyncio.run(main())
    finally:
        for r, n in zip(rings, names):
            r.close()
            SM.remove(n)


# ---- 4. idle CPU --------------------------------------------------------------------------

def idle_cpu(channels=100, seconds=2.0):
    names = [new_name("i") for _ in range(channels)]
    rings = [SM.create(n, velmora.SpscRingBuffer.segment_size(256)).spsc() for n in names]
    try:
        async def main():
            waits = [asyncio.ensure_future(velmora.aio.wrap(r).get()) for r in rings]
            await asyncio.sleep(0.5)
            c0, t0 = time.process_time(), time.monotonic()
            await asyncio.sleep(seconds)
            share = (time.process_time() - c0) / (time.monotonic() - t0)
            for w in waits:
                w.cancel()
            return share

        return asyncio.run(main())
    finally:
        for r, n in zip(rings, names):
            r.close()
            SM.remove(n)


# ---- 5. the hot path with a listener ------------------------------------------------

def hot_path(pairs=200_000 if QUICK else 1_000_000):
    """push + pop of 64 B in one process, each push into an empty ring: pairs
    per second with nobody listening and with fileno() asked for (the bell is
    rung only after idleness, so both run without a system call)."""
    rates = {}
    for listening in (False, True, False, True):
        name = new_name("h")
        ring = SM.create(name, velmora.SpscRingBuffer.segment_size(4096)).spsc()
        SM.remove(name)
        if listening:
            ring.fileno()
        push, pop, msg = ring.push, ring.pop, b"h" * 64
        t0 = time.perf_counter()
        for _ in range(pairs):
            push(msg)
            pop()
        rate = pairs / (time.perf_counter() - t0)
        rates[listening] = max(rates.get(listening, 0), rate)
        ring.close()
    return rates[False], rates[True]


def hot_path_broadcast(pairs=200_000 if QUICK else 1_000_000):
    """publish + receive of 64 B in one process: pairs per second with nobody
    listening and with the subscriber's fileno() asked for (a publish rings
    only a subscriber whose loop sleeps: both run without a system call)."""
    rates = {}
    for listening in (False, True, False, True):
        name = new_name("hb")
        pub = velmora.Publisher.create(name, 64, 64, subscribers=2)
        sub = velmora.Subscriber.open(name)
        SM.remove(name)
        if listening:
            sub.fileno()
        publish, receive, msg = pub.publish, sub.receive, b"h" * 64
        t0 = time.perf_counter()
        for _ in range(pairs):
            publish(msg)
            receive(timeout=0)
        rate = pairs / (time.perf_counter() - t0)
        rates[listening] = max(rates.get(listening, 0), rate)
        sub.close()
        pub.close()
    return rates[False], rates[True]


def main():
    print(f"wake-up after 10-20 ms idle ({SAMPLES} samples), p50 / p99:")
    modes = [("sync", "blocking get()"), ("aio", "await aio.get() (asyncio)")]
    try:
        import uvloop  # noqa: F401
        modes.append(("uvloop", "await aio.get() (uvloop)"))
    except ImportError:
        print("  (uvloop is not installed: its row is skipped)")
    for kind, ring_label in (("spsc", ""), ("mpsc", "fan-in ")):
        for mode, label in modes:
            p50, p99 = wake_latency(mode, kind)
            print(f"  {ring_label + label:<36} {p50:8.1f} us  {p99:8.1f} us")
    p50, p99 = loop_floor()
    print(f"  {'bare socket + add_reader':<36} {p50:8.1f} us  {p99:8.1f} us  (asyncio alone, no velmora)")
    for mode, label in [("sync", "receive()"), ("aio", "aio.receive() (asyncio)")] + \
            ([("uvloop", "aio.receive() (uvloop)")] if any(m == "uvloop" for m, _ in modes) else []):
        p50, p99 = wake_latency(mode, "broadcast")
        print(f"  {'broadcast ' + label:<36} {p50:8.1f} us  {p99:8.1f} us")
    for kind, ring_label in (("spsc", ""), ("mpsc", "fan-in ")):
        print(f"streaming 64 B, {STREAM:,} messages from another process{' (fan-in ring, one producer)' if ring_label else ''}:")
        sync_rate, _ = stream("sync", kind)
        aio_rate, waits = stream("aio", kind)
        print(f"  {ring_label + 'blocking get() loop':<36} {sync_rate / 1e6:8.2f} M msg/s")
        print(f"  {ring_label + 'async for (asyncio)':<36} {aio_rate / 1e6:8.2f} M msg/s  "
              f"({aio_rate / sync_rate:.2f}x; {waits} descriptor waits)")
    print(f"streaming 64 B, {STREAM:,} messages from a broadcast publisher process:")
    sync_rate, _ = stream_broadcast("sync")
    aio_rate, waits = stream_broadcast("aio")
    print(f"  {'broadcast receive() loop':<36} {sync_rate / 1e6:8.2f} M msg/s")
    print(f"  {'broadcast async for':<36} {aio_rate / 1e6:8.2f} M msg/s  "
          f"({aio_rate / sync_rate:.2f}x; {waits} descriptor waits)")
    ok, dt = thousand_channels()
    print(f"{CHANNELS:,} channels x 1 message, random order, one asyncio loop: "
          f"{'all received' if ok else 'MISSING MESSAGES'} in {dt * 1000:.1f} ms")
    print(f"idle asyncio loop awaiting 100 channels: {idle_cpu() * 100:.3f}% of a core")
    quiet, listened = hot_path()
    print(f"push+pop 64 B in one process: {quiet / 1e6:.2f} M pairs/s, with fileno() listening "
          f"{listened / 1e6:.2f} M pairs/s ({listened / quiet:.2f}x)")
    quiet, listened = hot_path_broadcast()
    print(f"publish+receive 64 B in one process: {quiet / 1e6:.2f} M pairs/s, with fileno() listening "
          f"{listened / 1e6:.2f} M pairs/s ({listened / quiet:.2f}x)")


if __name__ == "__main__":
    main()
