"""One publisher and subscriber processes: every message carries its sequence
number and a checksum, so a lost, repeated, reordered or torn message shows
up at the subscriber. Block mode delivers everything to everyone, a killed
subscriber (even one inside a receive_view) is dropped quickly, and overwrite
mode never holds the publisher back while missed() accounts for every gap."""
import multiprocessing as mp
import os
import queue
import signal
import struct
import time
import zlib

import pytest

import velmora

Publisher, Subscriber = velmora.Publisher, velmora.Subscriber
DEADLINE_S = 120
BODY = bytes(range(256)) * 2
SLOW = 0.0005  # a slow subscriber's pause after each message



def _receive_or_end(sub):
    """The next message, or None at the end of the stream."""
    try:
        return sub.receive(timeout=DEADLINE_S, eof=True)
    except EOFError:
        return None

def message(seq):
    body = BODY[seq % 251:seq % 251 + 8 + seq % 97]
    return struct.pack("<II", seq, zlib.crc32(body)) + body


def check(msg):
    """The sequence number of a whole message, or None for a torn one."""
    seq, crc = struct.unpack_from("<II", msg)
    return seq if zlib.crc32(msg[8:]) == crc and msg == message(seq) else None


def _subscribe(name, ready, conn, view_at=None, pause=0):
    """Receives until the end of the stream and reports (sequence numbers in
    order, torn count, missed). With `view_at`, stops inside a receive_view of
    that message and waits to be killed; with `pause`, sleeps that long after
    each message (a slow subscriber)."""
    sub = Subscriber.open(name)
    ready.set()
    seqs, torn = [], 0
    deadline = time.monotonic() + DEADLINE_S
    while time.monotonic() < deadline:
        if view_at is not None and len(seqs) == view_at:
            with sub.receive_view(timeout=DEADLINE_S) as mv:
                conn.send(("holding", check(bytes(mv))))
                time.sleep(DEADLINE_S)
        msg = _receive_or_end(sub)
        if msg is None:
            break
        seq = check(msg)
        if seq is None:
            torn += 1
        else:
            seqs.append(seq)
        if pause:
            time.sleep(pause)
    conn.send(("done", seqs, torn, sub.missed()))


def start(target, *args):
    ready = mp.Event()
    parent, child = mp.Pipe(duplex=False)
    proc = mp.Process(target=target, args=(args[0], ready, child) + args[1:], daemon=True)
    proc.start()
    assert ready.wait(DEADLINE_S)
    return proc, parent


def finish(proc, conn):
    assert conn.poll(DEADLINE_S), "subscriber did not report"
    report = conn.recv()
    proc.join(DEADLINE_S)
    return report


def test_block_mode_three_subscribers_receive_everything_in_order(seg_name):
    count = 10_000
    pub = Publisher.create(seg_name, 512, 32, subscribers=4)
    subs = [start(_subscribe, seg_name) for _ in range(3)]
    for seq in range(count):
        pub.publish(message(seq), timeout=DEADLINE_S)
    pub.close()
    for proc, conn in subs:
        _, seqs, torn, missed = finish(proc, conn)
        assert torn == 0 and missed == 0
        assert seqs == list(range(count))


@pytest.mark.parametrize("holding_view", [False, True], ids=["receiving", "inside-receive_view"])
def test_killed_subscriber_is_dropped_and_the_others_miss_nothing(seg_name, holding_view):
    count, depth, view_at = 3000, 8, 100
    pub = Publisher.create(seg_name, 512, depth, subscribers=4)
    others = [start(_subscribe, seg_name) for _ in range(2)]
    if holding_view:
        victim, victim_conn = start(_subscribe, seg_name, view_at)
        kill_at = view_at + depth  # the first publish that has to wait for it
    else:
        victim, victim_conn = start(_subscribe, seg_name, None, SLOW)  # holds the stream back
        kill_at = 1000
    killed, dropped_after = None, None
    for seq in range(count):
        if seq == kill_at:
            if holding_view:
                assert victim_conn.poll(DEADLINE_S) and victim_conn.recv() == ("holding", view_at)
            os.kill(victim.pid, signal.SIGKILL)
            killed = time.monotonic()
        pub.publish(message(seq), timeout=DEADLINE_S)
        if killed is not None and dropped_after is None and len(pub.subscribers()) == 2:
            dropped_after = time.monotonic() - killed
    pub.close()
    victim.join(DEADLINE_S)
    for proc, conn in others:
        _, seqs, torn, missed = finish(proc, conn)
        assert torn == 0 and missed == 0 and seqs == list(range(count))
    assert dropped_after is not None and dropped_after < 2.0, dropped_after


def test_killed_subscriber_frees_a_waiting_publisher_quickly(seg_name):
    """From the kill of the subscriber that holds the publisher back (inside a
    receive_view) to the end of the publish that waited for it."""
    pub = Publisher.create(seg_name, 64, 2, subscribers=2)
    victim, conn = start(_subscribe, seg_name, 0)
    pub.publish(message(0))
    assert conn.poll(DEADLINE_S) and conn.recv() == ("holding", 0)
    pub.publish(message(1))
    with pytest.raises(queue.Full):
        pub.publish(message(2), timeout=0.05)
    os.kill(victim.pid, signal.SIGKILL)
    killed = time.monotonic()
    pub.publish(message(2), timeout=DEADLINE_S)
    waited = time.monotonic() - killed
    victim.join(DEADLINE_S)
    pub.close()
    assert waited < 1.0, waited  # well under 100 ms on a quiet machine; generous under load


def test_overwrite_never_blocks_and_missed_accounts_for_every_gap(seg_name):
    count = 4000
    pub = Publisher.create(seg_name, 512, 16, subscribers=2, overflow="overwrite")
    proc, conn = start(_subscribe, seg_name, None, SLOW)
    for seq in range(count):
        pub.publish(message(seq), timeout=0)  # would raise queue.Full if it had to wait
    pub.close()
    _, seqs, torn, missed = finish(proc, conn)
    assert torn == 0
    assert seqs == sorted(set(seqs)) and seqs[-1] == count - 1
    gaps = seqs[0] + sum(b - a - 1 for a, b in zip(seqs, seqs[1:]))
    assert missed == gaps and missed + len(seqs) == count
    assert missed > 0  # the slow subscriber did fall behind


def _publish_then_die(name, count, started):
    pub = Publisher.create(name, 512, 8, subscribers=2)
    started.set()
    while not pub.subscribers():
        time.sleep(0.001)
    for seq in range(count):
        pub.publish(message(seq), timeout=DEADLINE_S)
    os.kill(os.getpid(), signal.SIGKILL)  # no close(): the end is seen by the claim going


def test_end_of_stream_after_the_publisher_dies(seg_name):
    started = mp.Event()
    proc = mp.Process(target=_publish_then_die, args=(seg_name, 200, started), daemon=True)
    proc.start()
    assert started.wait(DEADLINE_S)
    sub = Subscriber.open(seg_name)
    got = []
    while (msg := _receive_or_end(sub)) is not None:
        got.append(check(msg))
    proc.join(DEADLINE_S)
    assert got == list(range(200)) and not sub.has_publisher()
