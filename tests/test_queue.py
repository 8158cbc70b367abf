"""velmora.Queue as a multiprocessing.Queue user calls it: items of any
picklable kind, queue.Empty / queue.Full, maxsize, passing to children under
every start method and to a pool, many producers and consumers, and nothing
left in /dev/shm."""
import concurrent.futures
import multiprocessing
import os
import pickle
import queue
import signal
import time

import pytest

import velmora

METHODS = [m for m in ("fork", "spawn", "forkserver") if m in multiprocessing.get_all_start_methods()]


def shm_names():
    return set(os.listdir("/dev/shm"))


@pytest.fixture
def q():
    made = velmora.Queue()
    yield made
    made.close()


def test_items_come_out_equal_and_in_order(q):
    items = [None, 1, "two", b"three", (4, [5.5, {"six": 6}]), {"nested": [(), set(), frozenset({7})]}, 2 ** 100]
    for item in items:
        q.put(item)
    assert q.qsize() == len(items) and not q.empty()
    assert [q.get() for _ in items] == items
    assert q.qsize() == 0 and q.empty()


def test_put_pickles_at_once_so_later_changes_are_not_sent(q):
    item = {"n": [1, 2]}
    q.put(item)
    item["n"].append(3)
    assert q.get(timeout=5) == {"n": [1, 2]}


@pytest.mark.parametrize("call", ["get_nowait", "get_block_false", "get_timeout"])
def test_empty_raises_queue_empty(q, call):
    t0 = time.monotonic()
    with pytest.raises(queue.Empty):
        if call == "get_nowait":
            q.get_nowait()
        elif call == "get_block_false":
            q.get(False)
        else:
            q.get(timeout=0.05)
    if call == "get_timeout":
        assert time.monotonic() - t0 >= 0.05


def test_maxsize_counts_items_and_full_raises_queue_full():
    q = velmora.Queue(2)
    try:
        q.put(1)
        q.put_nowait(2)
        assert q.full() and q.qsize() == 2
        with pytest.raises(queue.Full):
            q.put_nowait(3)
        t0 = time.monotonic()
        with pytest.raises(queue.Full):
            q.put(3, timeout=0.05)
        assert time.monotonic() - t0 >= 0.05
        assert q.get() == 1
        q.put(3, timeout=1)  # the place given back is usable
        assert [q.get(), q.get()] == [2, 3] and not q.full()
    finally:
        q.close()


def test_a_failed_put_gives_its_place_back():
    q = velmora.Queue(1, capacity=1024)
    try:
        with pytest.raises(ValueError):
            q.put(b"x" * 4096)  # larger than the lane
        assert q.qsize() == 0
        q.put_nowait("fits")
        assert q.get_nowait() == "fits"
    finally:
        q.close()


def test_closed_queue_refuses_calls_and_join_thread_needs_close():
    q = velmora.Queue()
    with pytest.raises(ValueError):
        q.join_thread()
    q.put(1)
    q.close()
    q.close()  # twice is fine
    q.join_thread()
    q.cancel_join_thread()
    for call in (lambda: q.put(2), q.get, q.qsize, q.empty):
        with pytest.raises(ValueError, match="is closed"):
            call()


def test_pickling_outside_process_spawning_is_refused(q):
    with pytest.raises(RuntimeError):
        pickle.dumps(q)


def _echo(inbox, outbox):
    while (item := inbox.get(timeout=30)) is not None:
        outbox.put((os.getpid(), item))


@pytest.mark.parametrize("method", METHODS)
def test_children_receive_it_as_an_argument(method):
    ctx = multiprocessing.get_context(method)
    inbox, outbox = velmora.Queue(), velmora.Queue()
    try:
        workers = [ctx.Process(target=_echo, args=(inbox, outbox)) for _ in range(2)]
        for w in workers:
            w.start()
        for i in range(200):
            inbox.put({"i": i})
        for _ in workers:
            inbox.put(None)
        got = [outbox.get(timeout=60) for _ in range(200)]
        for w in workers:
            w.join(60)
            assert w.exitcode == 0
        assert sorted(item["i"] for _, item in got) == list(range(200))
        assert {pid for pid, _ in got} <= {w.pid for w in workers}
    finally:
        inbox.close()
        outbox.close()


_pool_queue = None


def _keep(q):
    global _pool_queue
    _pool_queue = q


def _square_into_queue(n):
    _pool_queue.put(n * n)
    return os.getpid()


@pytest.mark.parametrize("method", METHODS)
def test_a_process_pool_gets_it_through_initargs(method):
    results = velmora.Queue()
    try:
        with concurrent.futures.ProcessPoolExecutor(2, mp_context=multiprocessing.get_context(method),
                                                    initializer=_keep, initargs=(results,)) as pool:
            list(pool.map(_square_into_queue, range(50)))
        assert sorted(results.get(timeout=30) for _ in range(50)) == [n * n for n in range(50)]
        assert results.empty()
    finally:
        results.close()


def _produce(q, p, count):
    for seq in range(count):
        q.put((p, seq))


def _consume(q, out):
    got = []
    while True:
        item = q.get(timeout=60)
        if item is None:
            break
        got.append(item)
    out.put(got)


def test_four_producers_four_consumers_each_item_once_in_producer_order():
    producers, consumers, count = 4, 4, 5000
    ctx = multiprocessing.get_context("fork" if "fork" in METHODS else "spawn")
    q, out = velmora.Queue(capacity=1 << 16), velmora.Queue(capacity=1 << 22)
    try:
        cs = [ctx.Process(target=_consume, args=(q, out)) for _ in range(consumers)]
        ps = [ctx.Process(target=_produce, args=(q, p, count)) for p in range(producers)]
        for w in cs + ps:
            w.start()
        for w in ps:
            w.join(120)
            assert w.exitcode == 0
        # Order is kept per producer only: an end mark from this process could
        # overtake the producers' last items, so it goes in once all are taken.
        deadline = time.monotonic() + 120
        while q.qsize() and time.monotonic() < deadline:
            time.sleep(0.01)
        for _ in cs:
            q.put(None)
        logs = [out.get(timeout=120) for _ in cs]
        for w in cs:
            w.join(60)
            assert w.exitcode == 0
        seen = [item for log in logs for item in log]
        assert len(seen) == producers * count and set(seen) == {(p, s) for p in range(producers) for s in range(count)}
        for log in logs:
            for p in range(producers):
                mine = [s for pp, s in log if pp == p]
                assert mine == sorted(mine)
    finally:
        q.close()
        out.close()


def _make_queues_and_die(ready):
    qs = [velmora.Queue(), velmora.Queue(4)]
    qs[0].put("left behind")
    ready.put("made")
    os.kill(os.getpid(), signal.SIGKILL)


def test_nothing_is_left_in_dev_shm_after_a_killed_process():
    before = shm_names()
    ctx = multiprocessing.get_context("fork" if "fork" in METHODS else "spawn")
    ready = ctx.SimpleQueue()
    child = ctx.Process(target=_make_queues_and_die, args=(ready,))
    child.start()
    assert ready.get() == "made"
    child.join(30)
    assert child.exitcode == -signal.SIGKILL
    assert shm_names() - before == set()
