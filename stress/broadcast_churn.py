"""(g) Broadcast with subscribers that come and go by SIGKILL.

A publisher streams messages of random sizes (sequence number and CRC-32 in
each) while subscriber processes join, read (copies and views), and are
SIGKILLed at random moments, a share of them inside a receive_view and a
share while reading from an event loop (velmora.aio, the listening mark set
or not). Half the
time runs in block mode: two steady subscribers must receive every message,
whole and in order, and the publisher must never stay held back by a dead
subscriber (the longest wait of a publish is reported and a wait over 2 s is
a fault). The other half runs in overwrite mode with a deliberately slow
steady subscriber: every message it gets is whole and in order, and what it
received plus what missed() counted is exactly what was published after it
joined."""
import asyncio
import os
import queue
import random
import signal
import struct
import sys
import threading
import time
import zlib

from common import CTX, Result, remove, start_workers, unique_name, wait_workers

import velmora
import velmora.aio

MAX_MESSAGE = 16 << 10
_BLOCK = random.Random(3).randbytes(MAX_MESSAGE + 4096)
HEAD = struct.Struct("<QI")


def message(seq):
    n = (seq * 7919) % (MAX_MESSAGE - HEAD.size) if seq % 5 == 0 else (seq * 31) % 200
    start = (seq * 104729) % 4096
    body = _BLOCK[start:start + n]
    return HEAD.pack(seq, zlib.crc32(body)) + body


def whole(msg):
    if len(msg) < HEAD.size:
        return None
    seq, crc = HEAD.unpack_from(msg)
    return seq if zlib.crc32(msg[HEAD.size:]) == crc and len(msg) == len(message(seq)) else None


def _steady(name, slow, progress, slot):
    sub = velmora.Subscriber.open(name)
    first = expect = None
    got = torn = disorder = 0
    views = 0
    while True:
        if got % 3 == 2 and sub.has_publisher():
            try:
                with sub.receive_view(timeout=0.2) as mv:
                    msg = bytes(mv)
            except queue.Empty:
                continue
            views += 1
        else:
            try:
                msg = sub.receive(timeout=30, eof=True)
            except EOFError:
                break
        seq = whole(msg)
        if seq is None:
            torn += 1
            continue
        if first is None:
            first = expect = seq
        if seq != expect:
            disorder += 1 if seq < expect or not slow else 0
        expect = seq + 1
        got += 1
        progress[slot] = got
        if slow:
            time.sleep(0.0003)
    return {"first": first, "last": expect, "got": got, "torn": torn, "disorder": disorder,
            "missed": sub.missed(), "views": views}


def _churner(name, seed):
    """Reads a while, then waits to be killed (in a view, between calls, or
    asleep in an event loop with its listening mark set)."""
    rng = random.Random(seed)
    sub = velmora.Subscriber.open(name)
    if sys.platform.startswith("linux") and rng.random() < 0.3:
        async def listen():
            chan = velmora.aio.wrap(sub)
            while True:
                try:
                    await chan.receive(timeout=0.2)
                except queue.Empty:
                    pass

        asyncio.run(listen())
    for _ in range(rng.randint(0, 200)):
        try:
            sub.receive(timeout=0.2)
        except Exception:  # noqa: BLE001
            pass
    if rng.random() < 0.5:
        with sub.receive_view(timeout=30):
            time.sleep(60)
    time.sleep(60)


def phase(result, overflow, seconds):
    name = unique_name("bcast")
    rng = random.Random()
    pub = velmora.Publisher.create(name, MAX_MESSAGE, 16, subscribers=6, overflow=overflow)
    try:
        steady = start_workers([(_steady, (name, overflow == "overwrite"))] +
                               ([(_steady, (name, False))] if overflow == "block" else []))
        deadline = time.monotonic() + 30
        want = 2 if overflow == "block" else 1
        while len(pub.subscribers()) < want and time.monotonic() < deadline:
            time.sleep(0.001)
        # Churners are started and killed by their own thread, so that one
        # holding the publisher back is killed while the publisher waits.
        stop = time.monotonic() + seconds
        kills = [0]

        def churn():
            while time.monotonic() < stop:
                churner = CTX.Process(target=_churner, args=(name, rng.random()), daemon=True)
                churner.start()
                time.sleep(rng.choice((0.001, 0.01, 0.05, 0.2)) * rng.random())
                os.kill(churner.pid, signal.SIGKILL)
                churner.join()
                kills[0] += 1

        killer = threading.Thread(target=churn)
        killer.start()
        seq = 0
        longest = 0.0
        while time.monotonic() < stop:
            t0 = time.monotonic()
            pub.publish(message(seq), timeout=30)
            longest = max(longest, time.monotonic() - t0)
            seq += 1
        killer.join()
        kills = kills[0]
        pub.close()
        reports = wait_workers(result, steady, 0, stall_seconds=40.0, grace=60.0)
    finally:
        pub.close()
        remove(name)
    result.add(f"{overflow}: published", seq)
    result.add(f"{overflow}: subscribers killed", kills)
    result.add(f"{overflow}: longest publish (ms)", int(longest * 1000))
    if overflow == "block" and longest > 2.0:
        result.fault("publisher held back by a dead subscriber", example=f"{longest:.2f} s")
    for r in reports:
        if r is None:
            continue
        result.add(f"{overflow}: received", r["got"])
        result.add(f"{overflow}: views", r["views"])
        result.fault("torn message", r["torn"])
        result.fault("message out of order", r["disorder"])
        if r["first"] is None:
            result.fault("steady subscriber got nothing")
            continue
        # The steady subscribers joined before the first publish.
        if overflow == "block":
            if r["missed"] or r["got"] != seq or r["first"] != 0:
                result.fault("lost message in block mode",
                             example=f"{r['got']} of {seq} from {r['first']}, missed {r['missed']}")
        else:
            result.add("overwrite: missed", r["missed"])
            if r["got"] + r["missed"] != seq:
                result.fault("missed() does not account for the gaps",
                             example=f"received {r['got']} + missed {r['missed']} != published {seq}")
    if kills < 5:
        result.fault("too few kills to mean anything", example=f"{overflow}: {kills}")


def run(seconds):
    result = Result("(g) broadcast subscribers SIGKILLed at random")
    phase(result, "block", seconds / 2)
    phase(result, "overwrite", seconds / 2)
    return result
