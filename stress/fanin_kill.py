"""(f) Fan-in: rounds of producers streaming into one MpscRingBuffer while
one of them is SIGKILLed at a random moment (the fan-in side of (b) and (c)).

Each round starts three producer processes on a ring of four slots: two
steady ones sending a fixed number of messages and one victim sending until
it is killed. Messages carry (producer, sequence), random sizes up to 60 KiB
(so kills land inside copies) and a CRC. The consumer, this process, drains
with get(eof=True) until every producer has gone: each message must be whole,
each producer's sequence must be in order, the steady ones complete and the
victim's a prefix of what it sent. The victim's slot is taken by the next
round's producers, so slot reuse after a kill is exercised every round."""
import os
import random
import signal
import struct
import time
import zlib

import velmora
from common import CTX, Result, remove, unique_name

CAPACITY = 1 << 16
STEADY_COUNT = 400
_BLOCK = random.Random(13).randbytes(CAPACITY)


def message(producer, seq):
    rng = random.Random(producer * 1_000_003 + seq)
    n = rng.randint(0, CAPACITY - 64) if rng.random() < 0.2 else rng.randint(0, 64)
    start = rng.randrange(0, 1024)
    head = struct.pack("<II", producer, seq)
    payload = head + _BLOCK[start:start + n]
    return payload + struct.pack("<I", zlib.crc32(payload))


def _produce(name, producer, count, attached):
    ring = velmora.MpscRingBuffer.open(name)
    seq = 0
    while count is None or seq < count:
        ring.put(message(producer, seq), timeout=60)
        if seq == 0:
            attached.set()
        seq += 1
    ring.close()


def run(seconds):
    result = Result("(f) fan-in producers SIGKILLed while others stream")
    name = unique_name("fanin")
    rng = random.Random()
    rounds = messages = nbytes = bad = disorder = short = 0
    example = None
    try:
        ring = velmora.MpscRingBuffer.create(name, CAPACITY, producers=4)
        stop = time.monotonic() + seconds
        while time.monotonic() < stop:
            base = 10 * rounds
            attached = [CTX.Event() for _ in range(3)]
            procs = [CTX.Process(target=_produce, args=(name, base + i, None if i == 2 else STEADY_COUNT, attached[i]),
                                 daemon=True) for i in range(3)]
            for p in procs:
                p.start()
            if not all(ev.wait(60) for ev in attached):
                result.fault("a producer never attached")
                break
            kill_at = time.monotonic() + rng.random() * rng.choice((0.001, 0.01, 0.05))
            killed = False
            nexts = {}
            while True:
                if not killed and time.monotonic() >= kill_at:
                    os.kill(procs[2].pid, signal.SIGKILL)
                    procs[2].join()
                    killed = True
                try:
                    msg = ring.get(timeout=0.001 if not killed else 60, eof=killed)
                except EOFError:
                    break
                except Exception as exc:  # queue.Empty before the kill
                    if type(exc).__name__ != "Empty":
                        raise
                    continue
                messages += 1
                nbytes += len(msg)
                producer, seq = struct.unpack_from("<II", msg) if len(msg) >= 8 else (None, None)
                if producer is None or msg != message(producer, seq):
                    bad += 1
                    example = example or f"round {rounds}: a {len(msg)}-byte message that is not whole"
                    continue
                if seq != nexts.get(producer, 0):
                    disorder += 1
                    example = example or f"producer {producer}: {seq} after {nexts.get(producer, 0) - 1}"
                nexts[producer] = seq + 1
            for p in procs[:2]:
                p.join(60)
            for i in range(2):
                if nexts.get(base + i) != STEADY_COUNT:
                    short += 1
                    example = example or f"round {rounds}: steady producer got {nexts.get(base + i)} of {STEADY_COUNT}"
            rounds += 1
        if not ring.is_empty():
            result.fault("ring not empty at the end", example=f"used {ring.used()}")
        ring.close()
    finally:
        remove(name)
    result.add("rounds (kills)", rounds)
    result.add("messages", messages)
    result.add("bytes", nbytes)
    result.fault("torn message", bad, example=example)
    result.fault("out of order", disorder, example=example)
    result.fault("steady producer incomplete", short, example=example)
    if rounds < 5:
        result.fault("too few rounds to mean anything", example=str(rounds))
    return result
