"""Event loops: fileno() / room_fileno() and velmora.aio, with producers in
other processes, under the default asyncio loop and uvloop."""
import asyncio
import contextlib
import multiprocessing as mp
import os
import queue
import random
import resource
import selectors
import signal
import socket
import subprocess
import sys
import threading
import time

import pytest

import velmora
import velmora.aio

from conftest import LOOPS, idle_loop_cpu, run_loop, settle_selector

SM = velmora.SharedMemory
OPEN = {"spsc": lambda name: SM.open(name).spsc(), "mpsc": velmora.MpscRingBuffer.open}

pytestmark = pytest.mark.skipif(not sys.platform.startswith("linux"), reason="fileno() is Linux-only")

CTX = mp.get_context("spawn")
run = run_loop


def payload(seq):
    return seq.to_bytes(4, "little") + bytes([seq % 251]) * (seq * 7 % 300)


def ring_pair_of(kind, name):
    """A consumer and a producer handle of a 4 KiB ring ("spsc"), or of a
    fan-in ring of three 1 KiB lanes ("mpsc", whose consumer waits on every
    lane at once)."""
    if kind == "spsc":
        return SM.create(name, velmora.SpscRingBuffer.segment_size(4096)).spsc(), SM.open(name).spsc()
    return velmora.MpscRingBuffer.create(name, 1024, producers=3), velmora.MpscRingBuffer.open(name)


@pytest.fixture
def ring_pair(request, seg_name):
    """`ring_pair_of` the kind the test names (indirect), a ring by default."""
    pair = ring_pair_of(getattr(request, "param", "spsc"), seg_name)
    yield pair
    for handle in pair:
        handle.close()


# ---- helpers run in other processes -------------------------------------------------

def _produce(name, count, start_event, gaps):
    ring = SM.open(name).spsc()
    rng = random.Random(5)
    start_event.wait(30)
    for seq in range(count):
        ring.put(payload(seq), timeout=30)
        if gaps == "sleeps" and seq % 97 == 0:
            time.sleep(0.002)  # idle gaps: the consumer goes to sleep on its descriptor
        elif gaps == "around_window":
            # Gaps of 0-200 us, around the 50 us of quiet after which the
            # producer judges that the consumer may sleep: a wake lost there
            # shows up as a get that times out.
            until = time.perf_counter() + rng.uniform(0, 200e-6)
            while time.perf_counter() < until:
                pass


def _push_later(kind, name, delay, data):
    ring = OPEN[kind](name)
    time.sleep(delay)
    assert ring.push(data)
    ring.close()


def _take_later(kind, name, delay, count):
    """Takes `count` messages after `delay` (as a consumer in another process)."""
    ring = OPEN[kind](name)
    time.sleep(delay)
    for _ in range(count):
        assert ring.get(timeout=60) is not None
    ring.close()


def _one_each(names, seed):
    rings = [SM.open(n).spsc() for n in names]
    order = list(range(len(names)))
    random.Random(seed).shuffle(order)
    for i in order:
        assert rings[i].push(i.to_bytes(4, "little"))


def _listen(name, conn):
    ring = SM.open(name).spsc()
    try:
        ring.fileno()
        conn.send("listening")
    except OSError as e:
        conn.send(("refused", e.errno))
        return
    time.sleep(60)


# ---- streaming ----------------------------------------------------------------------

@pytest.mark.parametrize("loop_kind", LOOPS)
@pytest.mark.parametrize(("how", "gaps"), [("async_for", "sleeps"), ("get", "sleeps"), ("get", "around_window")])
def test_stream_from_producer_process(seg_name, loop_kind, how, gaps):
    count = 3000
    SM.create(seg_name, velmora.SpscRingBuffer.segment_size(4096)).spsc()
    ring = SM.open(seg_name).spsc()
    go = CTX.Event()
    proc = CTX.Process(target=_produce, args=(seg_name, count, go, gaps))
    proc.start()

    async def consume():
        chan = velmora.aio.wrap(ring, batch=16)
        got = []
        go.set()
        if how == "async_for":
            async for msg in chan:
                got.append(msg)
                if len(got) == count:
                    break
        else:
            while len(got) < count:
                got.append(await chan.get(timeout=10))
        return got

    try:
        got = run(loop_kind, consume())
    finally:
        proc.join(30)
    assert proc.exitcode == 0
    assert len(got) == count
    bad = [i for i, m in enumerate(got) if m != payload(i)]
    assert bad == []


@pytest.fixture
def receiver(request, seg_name):
    """(receiving handle, a call that sends one message of the i64 41, a call
    that is true when nothing is left to receive) of a ring, a fan-in ring or
    a broadcast segment, as the test names (indirect)."""
    if request.param == "broadcast":
        pub = velmora.Publisher.create(seg_name, 64, 4, subscribers=2)
        sub = velmora.Subscriber.open(seg_name)
        yield sub, lambda: pub.publish(I64_41), lambda: bool(pytest.raises(queue.Empty, sub.receive, timeout=0))
        handles = (sub, pub)
    else:
        handles = consumer, producer = ring_pair_of(request.param, seg_name)
        yield consumer, lambda: producer.push([41]), lambda: consumer.pop() is None
    for handle in handles:
        handle.close()


I64_41 = (41).to_bytes(8, "little", signed=True)
RECEIVES = {  # call: (how it awaits a message, what it gives for the i64 41)
    "get": (lambda chan, buf: chan.get(), I64_41),
    "get_tag": (lambda chan, buf: chan.get("i64"), 41),
    "get_into": (lambda chan, buf: chan.get_into(buf), 8),
    "get_mixed": (lambda chan, buf: chan.get_mixed([("i64", 1)]), [41]),
    "receive": (lambda chan, buf: chan.receive(), I64_41),
    "receive_view": (lambda chan, buf: _view_bytes(chan.receive_view()), I64_41),
    "async_for": (lambda chan, buf: chan.__aiter__().__anext__(), I64_41),
}


async def _view_bytes(view):
    with await view as mv:
        return bytes(mv)


@pytest.mark.parametrize("loop_kind", LOOPS)
@pytest.mark.parametrize(("receiver", "call"), [(kind, call) for kind in ("spsc", "mpsc") for call in (
    "get", "get_tag", "get_into", "get_mixed", "async_for")] + [("broadcast", call) for call in (
    "receive", "receive_view", "async_for")], indirect=["receiver"])
def test_cancelled_receive_consumes_nothing(receiver, loop_kind, call):
    handle, send, nothing_left = receiver
    receive, expected = RECEIVES[call]
    buf = bytearray(64)

    async def main():
        chan = velmora.aio.wrap(handle, tag="i64" if call == "get_tag" else None)
        pending = asyncio.ensure_future(receive(chan, buf))
        await asyncio.sleep(0.05)  # past the settle: it sleeps on the descriptor
        assert not pending.done()
        pending.cancel()
        with pytest.raises(asyncio.CancelledError):
            await pending
        send()
        return await asyncio.wait_for(receive(chan, buf), 10)

    assert run(loop_kind, main()) == expected
    if call == "get_into":
        assert bytes(buf[:8]) == I64_41
    assert nothing_left()


@pytest.mark.parametrize("loop_kind", LOOPS)
@pytest.mark.parametrize(("ring_pair", "lane"), [("spsc", 0), ("mpsc", 0), ("mpsc", 2)],
                         ids=["spsc", "mpsc-lane0", "mpsc-lane2"], indirect=["ring_pair"])
def test_wake_after_idle_from_other_process(ring_pair, seg_name, loop_kind, lane):
    """A consumer asleep on its descriptor is woken by a producer in another
    process; on a fan-in ring by a producer of any lane (the earlier lanes
    are held by this process's own producer handles)."""
    consumer, _ = ring_pair
    kind = "spsc" if isinstance(consumer, velmora.SpscRingBuffer) else "mpsc"
    held = [velmora.MpscRingBuffer.open(seg_name) for _ in range(lane)]
    for h in held:
        assert h.push(b"held") and consumer.pop() == b"held"

    async def main():
        chan = velmora.aio.wrap(consumer)
        proc = CTX.Process(target=_push_later, args=(kind, seg_name, 0.3, b"late"))
        proc.start()
        t0 = time.monotonic()
        msg = await chan.get(timeout=60)
        proc.join(30)
        return msg, time.monotonic() - t0, proc.exitcode

    try:
        msg, waited, code = run(loop_kind, main())
    finally:
        for h in held:
            h.close()
    assert (msg, code) == (b"late", 0)
    assert waited < 20


def test_timeout_raises_empty_and_keeps_later_message(ring_pair):
    consumer, producer = ring_pair

    async def main():
        chan = velmora.aio.wrap(consumer)
        with pytest.raises(queue.Empty):
            await chan.get(timeout=0.05)
        with pytest.raises(queue.Empty):
            await chan.get(timeout=0)
        with pytest.raises(ValueError, check=lambda e: e.reason == "invalid_argument"):
            await chan.get(timeout=-1)
        producer.push(b"after")
        return await chan.get(timeout=5)

    assert asyncio.run(main()) == b"after"


# ---- sending --------------------------------------------------------------------------

def test_put_waits_for_room_and_cancelled_put_publishes_nothing(ring_pair):
    consumer, producer = ring_pair
    big = b"x" * 3000  # fits once in 4096

    async def main():
        chan = velmora.aio.wrap(producer)
        await chan.put(big)
        # A second one does not fit: cancel it while it waits.
        pending = asyncio.ensure_future(chan.put(b"y" * 3000))
        await asyncio.sleep(0.05)
        pending.cancel()
        with pytest.raises(asyncio.CancelledError):
            await pending
        used_after_cancel = producer.used()
        with pytest.raises(queue.Full):
            await chan.put(b"z" * 3000, timeout=0.05)
        # A consumer thread frees the room after the put went to sleep.
        waiting = asyncio.ensure_future(chan.put(b"w" * 3000, timeout=20))
        await asyncio.sleep(0.05)
        started = threading.Event()

        def pop_later():
            started.set()
            assert consumer.get(timeout=10) == big

        t = threading.Thread(target=pop_later)
        t.start()
        await waiting
        t.join()
        return used_after_cancel

    used_after_cancel = asyncio.run(main())
    assert used_after_cancel == 3004
    assert consumer.pop() == b"w" * 3000
    assert consumer.pop() is None


# ---- many channels, threads, idle CPU -----------------------------------------------

def test_thousand_channels_one_loop(seg_names):
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft < 4096:
        resource.setrlimit(resource.RLIMIT_NOFILE, (min(hard, 4096), hard))
    n = 1000
    names = seg_names(n, "aio")
    rings = []
    try:
        for name in names:
            rings.append(SM.create(name, velmora.SpscRingBuffer.segment_size(256)).spsc())
        threads_before = threading.active_count()
        tasks_before = len(os.listdir("/proc/self/task"))

        async def main():
            chans = [velmora.aio.wrap(r) for r in rings]
            waits = [asyncio.ensure_future(c.get(timeout=60)) for c in chans]
            await asyncio.sleep(0.2)
            assert not any(w.done() for w in waits)
            extra = len(os.listdir("/proc/self/task")) - tasks_before
            proc = CTX.Process(target=_one_each, args=(names, 7))
            t0 = time.monotonic()
            proc.start()
            got = await asyncio.gather(*waits)
            elapsed = time.monotonic() - t0
            proc.join(30)
            return got, extra, elapsed, proc.exitcode

        got, extra, elapsed, code = asyncio.run(main())
        assert code == 0
        assert got == [i.to_bytes(4, "little") for i in range(n)]
        assert extra <= 2
        assert threading.active_count() == threads_before
        assert elapsed < 60
    finally:
        for r in rings:
            r.close()


@pytest.mark.parametrize(("kind", "count"), [("spsc", 100), ("mpsc", 20)])
def test_idle_loop_awaiting_many_rings_uses_little_cpu(seg_names, kind, count):
    names = seg_names(count, "idle")
    rings = [SM.create(n, velmora.SpscRingBuffer.segment_size(256)).spsc() if kind == "spsc" else velmora.MpscRingBuffer.create(n, 256, producers=4)
             for n in names]
    try:
        share, done = idle_loop_cpu(kind, names)
    finally:
        for r in rings:
            r.close()
    assert done == 0
    assert share <= 0.01, f"{share:.2%} of a core while idle"


# ---- interpreter exit -------------------------------------------------------------------

EXIT_SCRIPT = r"""
import asyncio, faulthandler, signal, sys, time, velmora, velmora.aio
faulthandler.register(signal.SIGUSR1)  # the test's view of a child that does not end
signal.signal(signal.SIGINT, signal.default_int_handler)  # Ctrl-C, even run from a background job, which ignores it
empty = velmora.SharedMemory.open(sys.argv[1]).spsc()
full = velmora.SharedMemory.open(sys.argv[2]).spsc()
returned = None
async def main():
    global returned
    pending = [asyncio.ensure_future(velmora.aio.wrap(empty).get()),   # pending when main returns
               asyncio.ensure_future(velmora.aio.wrap(full).put(b"x" * 200))]  # no room: pending too
    await asyncio.sleep(0.2)
    print("ready" if not any(f.done() for f in pending) else [f.exception() for f in pending if f.done()], flush=True)
    if sys.argv[3] == "sigint":
        await velmora.aio.wrap(empty).get()
    returned = time.monotonic()
asyncio.run(main())
print(time.monotonic() - returned)
"""


@pytest.mark.parametrize("loop_kind", LOOPS)
@pytest.mark.parametrize("how", ["return", "sigint"])
def test_asyncio_run_exits_promptly_with_pending_waits(seg_names, loop_kind, how):
    names = seg_names(2, "exit")
    rings = [SM.create(n, velmora.SpscRingBuffer.segment_size(256)).spsc() for n in names]
    assert rings[1].push(b"f" * 250)
    rings[1].close()  # the producer role goes with it: the child's put is to wait for room, not be refused
    script = EXIT_SCRIPT
    if loop_kind == "uvloop":
        script = "import uvloop; uvloop.install()\n" + script
    proc = subprocess.Popen([sys.executable, "-c", script, *names, how], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)
    try:
        assert proc.stdout.readline().strip() == "ready"
        if how == "sigint":
            t0 = time.monotonic()
            proc.send_signal(signal.SIGINT)
        try:
            proc.wait(timeout=30)  # the little it prints fits in the pipes
        except subprocess.TimeoutExpired:
            proc.send_signal(signal.SIGUSR1)
            time.sleep(1)
            proc.kill()
            pytest.fail(f"the child did not end; its threads:\n{proc.communicate()[1]}")
        out, err = proc.stdout.read(), proc.stderr.read()
    finally:
        proc.kill()
        proc.wait()
        for r in rings:
            r.close()
    if how == "sigint":
        # Ctrl-C ends a loop that awaits a channel, as it ends any other await.
        assert time.monotonic() - t0 < 5
        assert "KeyboardInterrupt" in err
    else:
        assert proc.returncode == 0, err
        assert float(out) < 1.0  # from main's return to the end of asyncio.run


# ---- the descriptor itself -----------------------------------------------------------

def test_selectors_on_fileno_and_room_fileno(ring_pair, seg_name):
    consumer, producer = ring_pair
    sel = selectors.DefaultSelector()
    sel.register(consumer.fileno(), selectors.EVENT_READ, "data")
    sel.register(producer.room_fileno(), selectors.EVENT_READ, "room")

    settle_selector(sel, "data", consumer.pop)
    proc = CTX.Process(target=_push_later, args=("spsc", seg_name, 0.1, b"hello"))
    proc.start()
    ready = sel.select(20)
    proc.join(10)
    assert [key.data for key, _ in ready] == ["data"]
    assert consumer.pop() == b"hello"

    # Room: fill the ring, settle the sending side, free room elsewhere.
    sel.unregister(consumer.fileno())
    while producer.push(b"r" * 1000):
        pass
    settle_selector(sel, "room", lambda: producer.push(b"r" * 1000))
    done = threading.Event()

    def drain():
        time.sleep(0.1)
        while consumer.pop() is not None:
            pass
        done.set()

    t = threading.Thread(target=drain)
    t.start()
    ready = sel.select(20)
    t.join()
    assert [key.data for key, _ in ready] == ["room"]
    assert producer.push(b"r" * 1000)
    sel.close()


def _abstract_names():
    with open("/proc/net/unix") as f:
        return {line.split()[-1] for line in f.readlines()[1:] if line.split()[-1].startswith("@velmora.")}


def test_listener_is_shared_in_process_refused_across_and_dies_with_its_process(ring_pair, seg_name):
    consumer, _ = ring_pair
    before = _abstract_names()
    other = SM.open(seg_name).spsc()
    fd = consumer.fileno()
    assert other.fileno() == fd  # two handles of one process share the descriptor
    mine = _abstract_names() - before
    assert len(mine) == 1 and not any(os.path.exists(n.lstrip("@")) for n in mine)
    other.close()
    os.fstat(fd)  # still open for the remaining handle

    parent, child = CTX.Pipe()
    proc = CTX.Process(target=_listen, args=(seg_name, child))
    proc.start()
    import errno
    assert parent.recv() == ("refused", errno.EADDRINUSE)
    proc.join(10)

    consumer.close()
    assert not (_abstract_names() & mine)
    # Killed while listening: the kernel drops the name with the process.
    proc = CTX.Process(target=_listen, args=(seg_name, child))
    proc.start()
    assert parent.recv() == "listening"
    os.kill(proc.pid, signal.SIGKILL)
    proc.join(10)
    assert not (_abstract_names() & mine)


def test_close_wakes_pending_calls_and_closed_ring_has_no_fileno(ring_pair):
    consumer, _ = ring_pair

    async def main():
        chan = velmora.aio.wrap(consumer)
        pending = asyncio.ensure_future(chan.get())
        await asyncio.sleep(0.05)
        chan.close()
        with pytest.raises(ValueError, check=lambda e: e.reason == "closed"):
            await asyncio.wait_for(pending, 5)

    asyncio.run(main())
    with pytest.raises(ValueError, check=lambda e: e.reason == "closed"):
        consumer.fileno()


def test_wrap_refuses_objects_without_fileno():
    with pytest.raises(TypeError, match="fileno"):
        velmora.aio.wrap(object())


# ---- leaving `async for` early -------------------------------------------------------------

def _stream_of(kind, name):
    """(receiving handle, send(i), the handle's own non-blocking receive, handles)."""
    if kind == "broadcast":
        pub = velmora.Publisher.create(name, 64, 16, subscribers=1)
        sub = velmora.Subscriber.open(name)
        return sub, lambda i: pub.publish(bytes([i])), _empty_as_none(lambda: sub.receive(timeout=0)), (sub, pub)
    consumer, producer = ring_pair_of(kind, name)
    return consumer, lambda i: producer.push(bytes([i])), consumer.pop, (consumer, producer)


def _empty_as_none(call):
    def attempt():
        try:
            return call()
        except queue.Empty:
            return None
    return attempt


async def _three_then(chan, how):
    """Iterates `chan` and leaves the loop after three messages by `how`."""
    got = []
    if how == "break":
        async for msg in chan:
            got.append(msg)
            if len(got) == 3:
                break
        return got

    async def upto_three():
        async for msg in chan:
            got.append(msg)
            if len(got) == 3:
                if how == "return":
                    return
                if how == "raise":
                    raise LookupError
                three.set()
                await asyncio.Event().wait()  # cancelled here, inside the loop

    three = asyncio.Event()
    task = asyncio.ensure_future(upto_three())
    if how == "cancel":
        await three.wait()
        task.cancel()
    with pytest.raises((LookupError, asyncio.CancelledError)) if how in ("raise", "cancel") else contextlib.nullcontext():
        await task
    return got


@pytest.mark.parametrize("kind", ["spsc", "mpsc", "broadcast"])
@pytest.mark.parametrize("how", ["break", "return", "raise", "cancel"])
@pytest.mark.parametrize("then", ["handle", "wrapper"])
def test_async_for_left_early_leaves_the_rest_in_the_channel(seg_name, kind, how, then):
    handle, send, take, handles = _stream_of(kind, seg_name)
    sent = [bytes([i]) for i in range(10)]
    for i in range(10):
        send(i)

    async def main():
        got = await _three_then(velmora.aio.wrap(handle), how)
        if then == "handle":
            rest = list(iter(take, None))
        else:
            again = velmora.aio.wrap(handle)
            call = again.receive if kind == "broadcast" else again.get
            rest = [await call(timeout=1) for _ in range(10 - len(got))]
        return got, rest

    try:
        got, rest = asyncio.run(main())
    finally:
        for h in handles:
            h.close()
    assert got == sent[:3]
    assert rest == sent[3:]


# ---- closing a handle under a waiting call ---------------------------------------------------

def _waiting_side(kind, call, name):
    """(handle that waits, coroutine function of one await on it, send() that ends
    such an await on a fresh pair, handles) for `call` on a `kind` channel."""
    if kind == "broadcast":
        pub = velmora.Publisher.create(name, 64, 4, subscribers=1)
        sub = velmora.Subscriber.open(name)
        return sub, lambda chan: chan.receive(timeout=10), lambda: pub.publish(b"x"), (sub, pub)
    consumer, producer = ring_pair_of(kind, name)
    if call == "get":
        return consumer, lambda chan: chan.get(timeout=10), lambda: producer.push(b"x"), (consumer, producer)
    while producer.push(bytes(200)):  # full: a put waits for room
        pass
    return producer, lambda chan: chan.put(bytes(200), timeout=10), consumer.pop, (consumer, producer)


@pytest.mark.parametrize("loop_kind", LOOPS)
@pytest.mark.parametrize(("kind", "call"), [("spsc", "get"), ("mpsc", "get"), ("broadcast", "receive"),
                                            ("spsc", "put"), ("mpsc", "put")])
def test_closing_the_handle_ends_its_await_and_the_next_channel_still_wakes(seg_names, loop_kind, kind, call):
    names = seg_names(2)
    first = _waiting_side(kind, call, names[0])
    second = _waiting_side(kind, call, names[1])
    waiter, await_one, _, _ = first

    async def main():
        pending = asyncio.ensure_future(await_one(velmora.aio.wrap(waiter)))
        await asyncio.sleep(0.05)  # past the settle: asleep on the descriptor
        assert not pending.done()
        waiter.close()  # the handle itself, not the adapter
        with pytest.raises(ValueError, check=lambda e: e.reason == "closed"):
            await asyncio.wait_for(pending, 5)
        # A new channel, whose descriptor may well take the closed one's number.
        handle, await_next, send, _ = second
        nxt = asyncio.ensure_future(await_next(velmora.aio.wrap(handle)))
        await asyncio.sleep(0.05)
        assert not nxt.done()
        send()
        await asyncio.wait_for(nxt, 5)

    try:
        run(loop_kind, main())
    finally:
        for h in first[3] + second[3]:
            h.close()


# ---- names taken by other processes ---------------------------------------------------------

def _predictable_names(seg_name, topics):
    st = os.stat("/dev/shm" + seg_name)
    return [f"velmora.{st.st_dev:x}.{st.st_ino:x}.{t:x}" for t in topics]


def _bind_abstract(name):
    s = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    s.bind(b"\0" + (name.encode() if isinstance(name, str) else name))
    return s


def _squat(names, conn):
    socks = [_bind_abstract(n) for n in names]  # noqa: F841 (held until killed)
    conn.send("bound")
    time.sleep(60)


@pytest.mark.parametrize("ring_pair", ["spsc", "mpsc"], indirect=True)
def test_squatted_bell_names_stop_neither_fileno_nor_wake_ups(ring_pair, seg_name):
    consumer, producer = ring_pair
    # Another process holds the names a listener could once be found under:
    # the data bell and every room bell of the ring.
    parent, child = CTX.Pipe()
    squatter = CTX.Process(target=_squat, args=(_predictable_names(seg_name, [0, 1, 16, 17, 18]), child))
    squatter.start()
    try:
        assert parent.recv() == "bound"
        producer.room_fileno()

        async def wake_once(handle):
            chan = velmora.aio.wrap(handle)
            pending = asyncio.ensure_future(chan.get(timeout=10))
            await asyncio.sleep(0.05)
            assert not pending.done()
            producer.push(b"x")
            return await asyncio.wait_for(pending, 5)

        with socket.socket(fileno=os.dup(consumer.fileno())) as s:
            gone = s.getsockname()
        assert asyncio.run(wake_once(consumer)) == b"x"
        # The exact name of a listener that has gone, taken by someone else,
        # does not catch the next listener's wake-ups either.
        again = OPEN["spsc" if isinstance(consumer, velmora.SpscRingBuffer) else "mpsc"](seg_name)
        consumer.close()
        late = _bind_abstract(gone[1:])
        try:
            assert asyncio.run(wake_once(again)) == b"x"
        finally:
            late.close()
            again.close()
    finally:
        squatter.kill()
        squatter.join(10)


# ---- end of stream ----------------------------------------------------------------------

def _produce_and_exit(name, count):
    ring = SM.open(name).spsc()
    for seq in range(count):
        ring.put(payload(seq), timeout=30)


@pytest.mark.skipif(not hasattr(velmora.SpscRingBuffer, "has_producer"), reason="needs producer roles (eof)")
@pytest.mark.parametrize("how", ["async_for", "get"])
def test_eof_ends_the_stream_after_the_last_message(seg_name, how):
    SM.create(seg_name, velmora.SpscRingBuffer.segment_size(4096)).spsc()
    ring = SM.open(seg_name).spsc()

    async def main():
        chan = velmora.aio.wrap(ring, eof=True)
        proc = CTX.Process(target=_produce_and_exit, args=(seg_name, 50))
        proc.start()
        got = []
        if how == "async_for":
            async for msg in chan:
                got.append(msg)
        else:
            with pytest.raises(EOFError):
                while True:
                    got.append(await chan.get(timeout=30, eof=True))
        proc.join(10)
        return got

    got = asyncio.run(asyncio.wait_for(main(), 60))
    assert got == [payload(i) for i in range(50)]


@pytest.mark.parametrize("loop_kind", LOOPS)
@pytest.mark.parametrize(("ring_pair", "first"), [("spsc", 1500), ("spsc", 3000), ("mpsc", None)],
                         ids=["spsc-ring_under_half_full", "spsc-ring_over_half_full", "mpsc-full_lane"],
                         indirect=["ring_pair"])
def test_put_woken_by_consumer_in_other_process(ring_pair, seg_name, loop_kind, first):
    """A put waits until a consumer in another process takes messages: on a
    ring, a put waiting for more room than half the ring is woken by one pop,
    however full the ring was; on a fan-in ring, the producer's full lane is
    drained."""
    consumer, producer = ring_pair
    if first:
        kind, big, takes = "spsc", b"b" * 3000, 1
        assert producer.push(b"a" * first)
    else:
        kind, big, takes = "mpsc", b"g" * 300, 2
        while producer.push(b"f" * 300):
            pass
        assert consumer.used() > 0
        consumer.close()  # the consumer role goes to the other process

    async def main():
        chan = velmora.aio.wrap(producer)
        proc = CTX.Process(target=_take_later, args=(kind, seg_name, 0.3, takes))
        proc.start()
        t0 = time.monotonic()
        await chan.put(big, timeout=30)
        waited = time.monotonic() - t0
        proc.join(30)
        return waited, proc.exitcode

    waited, code = run(loop_kind, main())
    assert code == 0
    assert 0.2 < waited < 30
    if kind == "spsc":
        assert consumer.pop() == big


def test_a_wait_whose_descriptor_was_closed_under_it_raises_closed_not_ebadf():
    """close() from another thread between the wait's look at fileno() and its
    dup of it: the wait ends with the channel's "is closed" error."""
    import resource
    gone = resource.getrlimit(resource.RLIMIT_NOFILE)[0] - 1  # open nowhere in this process
    looks = iter([gone])

    def fd():
        for number in looks:
            return number
        raise ValueError("SpscRingBuffer is closed")

    async def wait():
        await velmora.aio._readable(asyncio.get_running_loop(), fd, None)

    with pytest.raises(ValueError, match="is closed"):
        asyncio.run(wait())
