"""(h) Work sharing: producers streaming into one MpmcRingBuffer while its
consumers are SIGKILLed mid-stream again and again, and one producer is
SIGKILLed at a random moment each round (as in (f)).

Each round starts three producer processes on a ring of four producer slots
(two steady ones sending a fixed number of messages, one victim sending until
it is killed), then three consumer processes. While the steady producers
run, this process SIGKILLs a random consumer every few milliseconds and
starts another in its place, which takes a consumer slot the dead one left.
Messages carry (producer, sequence), random sizes up to 60 KiB and a CRC.
Every consumer notes what it got, as it gets it, in memory shared with this
process, and drains with get(eof=True) until every producer has gone.

A consumer holds nothing between its takes, so a kill costs at most the one
message it had taken and not yet noted. Checked for each round: every message
whole; no message delivered twice (across all consumers, killed ones
included); each consumer got each producer's messages in the order they were
sent; the messages nobody noted (the steady producers' missing ones and the
victim's gaps below the last one seen) are at most one per killed consumer.
The victim's slot is taken by the next round's producers, so slot reuse after
a kill is exercised every round."""
import os
import random
import signal
import struct
import time
import zlib

import velmora
from common import CTX, Result, remove, unique_name

CAPACITY = 1 << 16
STEADY_COUNT = 300
VICTIM_MAX = 2000  # the victim stops there if it outlives its kill time
CONSUMERS = 3
LOG = 2 * STEADY_COUNT + VICTIM_MAX + 1  # [count, entries...]: what one consumer got
_BLOCK = random.Random(17).randbytes(CAPACITY)


def message(producer, seq):
    rng = random.Random(producer * 1_000_003 + seq)
    n = rng.randint(0, CAPACITY - 64) if rng.random() < 0.1 else rng.randint(0, 64)
    start = rng.randrange(0, 1024)
    head = struct.pack("<II", producer, seq)
    payload = head + _BLOCK[start:start + n]
    return payload + struct.pack("<I", zlib.crc32(payload))


def _produce(name, producer, count, attached):
    ring = velmora.MpmcRingBuffer.open(name)
    for seq in range(count):
        ring.put(message(producer, seq), timeout=60)
        if seq == 0:
            attached.set()
    ring.close()


# A log entry: producer << 32 | seq, or one of these for what was not a whole message.
TORN = (1 << 64) - 1


def _consume(name, log, started, refused):
    ring = velmora.MpmcRingBuffer.open(name)
    try:
        ring.pop_many(0)  # takes a consumer slot before it says it has started
    except BlockingIOError:
        refused.value = 1
        return
    finally:
        started.set()
    n = 0
    while True:
        try:
            msg = ring.get(timeout=60, eof=True)
        except EOFError:
            break
        producer, seq = struct.unpack_from("<II", msg) if len(msg) >= 8 else (0, 0)
        log[1 + n] = TORN if len(msg) < 12 or msg != message(producer, seq) else producer << 32 | seq
        n += 1
        log[0] = n
    ring.close()


def _kill(proc):
    """SIGKILL, unless it has ended (and been reaped by a start()) already."""
    try:
        os.kill(proc.pid, signal.SIGKILL)
    except ProcessLookupError:
        pass
    proc.join()


class Consumer:
    def __init__(self, name):
        self.log = CTX.RawArray("Q", LOG)
        self.started = CTX.Event()
        self.refused = CTX.RawValue("i", 0)
        self.proc = CTX.Process(target=_consume, args=(name, self.log, self.started, self.refused), daemon=True)
        self.proc.start()

    def entries(self):
        return list(self.log[1:1 + self.log[0]])


def _check_round(rnd, base, consumers, kills, counts):
    """Faults of one round's logs; returns an example of the first one, if any."""
    example = None
    seen = set()
    for c in consumers:
        last = {}
        for e in c.entries():
            if e == TORN:
                counts["torn"] += 1
                example = example or f"round {rnd}: a message that is not whole"
                continue
            producer, seq = e >> 32, e & 0xFFFFFFFF
            counts["messages"] += 1
            if (producer, seq) in seen:
                counts["twice"] += 1
                example = example or f"round {rnd}: producer {producer} message {seq} delivered twice"
            seen.add((producer, seq))
            if seq <= last.get(producer, -1):
                counts["disorder"] += 1
                example = example or f"round {rnd}: a consumer got producer {producer}'s {seq} after {last[producer]}"
            last[producer] = seq
    missing = 0
    for i in range(3):
        got = [s for p, s in seen if p == base + i]
        sent = STEADY_COUNT if i < 2 else max(got, default=-1) + 1  # the victim's: up to the last one seen
        missing += sent - len(got)
    counts["lost"] += missing
    if missing > kills:
        counts["overlost"] += missing - kills
        example = example or f"round {rnd}: {missing} messages lost to {kills} consumer kills"
    return example


def run(seconds):
    result = Result("(h) MPMC consumers SIGKILLed mid-stream, a producer killed each round")
    name = unique_name("mpmc")
    rng = random.Random()
    rounds = kills = refused = 0
    counts = dict.fromkeys(("messages", "torn", "twice", "disorder", "lost", "overlost"), 0)
    example = None
    try:
        ring = velmora.MpmcRingBuffer.create(name, CAPACITY, producers=4, consumers=CONSUMERS + 3)
        # This process holds a consumer slot and never takes: a producer
        # whose lane is full while no consumer is attached (between rounds,
        # or between a kill and its replacement) would rightly give up with
        # BrokenPipeError, which is not what this scenario is about.
        ring.pop_many(0)
        stop = time.monotonic() + seconds
        while time.monotonic() < stop:
            base = 10 * rounds
            attached = [CTX.Event() for _ in range(3)]
            procs = [CTX.Process(target=_produce, args=(name, base + i, VICTIM_MAX if i == 2 else STEADY_COUNT,
                                                         attached[i]), daemon=True) for i in range(3)]
            for p in procs:
                p.start()
            if not all(ev.wait(60) for ev in attached):
                result.fault("a producer never attached")
                break
            # Consumers start once every producer is there: the stream of a
            # round ends when they have all gone.
            everyone = [Consumer(name) for _ in range(CONSUMERS)]
            live = list(everyone)
            if not all(c.started.wait(60) for c in live):
                result.fault("a consumer never started")
                break
            refused += sum(c.refused.value for c in live)
            victim_at = time.monotonic() + rng.random() * rng.choice((0.001, 0.01, 0.05))
            victim_killed = False
            round_kills = 0
            while procs[0].is_alive() or procs[1].is_alive():
                if not victim_killed and time.monotonic() >= victim_at:
                    _kill(procs[2])
                    victim_killed = True
                time.sleep(rng.random() * rng.choice((0.001, 0.005, 0.02)))
                c = live.pop(rng.randrange(len(live)))
                _kill(c.proc)
                round_kills += 1
                fresh = Consumer(name)
                everyone.append(fresh)
                live.append(fresh)
                if not fresh.started.wait(60):
                    result.fault("a consumer never started")
                    break
                refused += fresh.refused.value
            if not victim_killed:
                _kill(procs[2])
            for p in procs:
                p.join(60)
            for c in live:
                c.proc.join(60)
                if c.proc.exitcode != 0:
                    result.fault("a consumer did not drain to the end of the stream",
                                 example=f"round {rounds}: exit status {c.proc.exitcode}")
            example = example or _check_round(rounds, base, everyone, round_kills, counts)
            kills += round_kills
            rounds += 1
        if not ring.is_empty():
            result.fault("ring not empty at the end", example=f"used {ring.used()}")
        ring.close()
    finally:
        remove(name)
    result.add("rounds", rounds)
    result.add("consumer kills", kills)
    result.add("messages", counts["messages"])
    result.add("lost to kills", counts["lost"])
    result.fault("torn message", counts["torn"], example=example)
    result.fault("delivered twice", counts["twice"], example=example)
    result.fault("out of order within a consumer", counts["disorder"], example=example)
    result.fault("more lost than consumers killed", counts["overlost"], example=example)
    result.fault("consumer refused a slot a killed one left", refused)
    if rounds < 5 or kills < 10:
        result.fault("too few rounds or kills to mean anything", example=f"{rounds} rounds, {kills} kills")
    return result
