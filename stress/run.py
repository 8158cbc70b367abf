"""Multi-process stress runs with exact checks (`make stress`).

    (a) 4 writers + 4 readers on one view, self-consistent records: 0 torn reads,
        and a control with unlocked writers that must show tearing;
    (b) ring streams at capacities 8, 64, 4096 and 1 MiB, random sizes, every
        byte checked, counters started just below 2^64 so they wrap;
    (c) a producer SIGKILLed at random moments and restarted as an opener: the
        consumer sees whole frames in an unbroken sequence;
    (d) a writer (and a reader) SIGKILLed while holding the view lock, and the
        documented recovery;
    (e) lifecycle chaos: threads of several processes push, put, get, pop_into,
        export views, set lock timeouts, close, fork, take signals whose
        handlers close objects, and exit with daemon threads waiting; rounds
        for get_view on both ring kinds, broadcast loans and receive_view and
        velmora.aio waits, closed from a third thread, the main thread or
        inside a view while the others are in calls: every acknowledged
        message accounted for, no crash, no hang (a crash names its phase);
    (f) fan-in: producers streaming into one MpscRingBuffer while one of them
        is SIGKILLed at a random moment each round, its slot reused by the next.
    (g) broadcast subscribers SIGKILLed at random (also inside a view): block
        mode loses nothing and never stalls on the dead, overwrite mode counts
        every gap in missed().
    (h) work sharing: producers streaming into one MpmcRingBuffer while its
        consumers are SIGKILLed mid-stream many times and one producer once a
        round: no message twice, at most one lost per killed consumer, each
        producer's order kept within each consumer.

Each scenario runs for --seconds (STRESS_SECONDS), prints what it did and the
faults it found; the exit status is 1 if any scenario found a fault.
"""
import argparse
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import fanin_kill  # noqa: E402
import broadcast_churn  # noqa: E402
import lifecycle_chaos  # noqa: E402
import lock_holder_kill  # noqa: E402
import mpmc_kill  # noqa: E402
import producer_kill  # noqa: E402
import ring_stream  # noqa: E402
import view_records  # noqa: E402
from common import report  # noqa: E402

SCENARIOS = {
    "a": view_records,
    "b": ring_stream,
    "c": producer_kill,
    "d": lock_holder_kill,
    "e": lifecycle_chaos,
    "f": fanin_kill,
    "g": broadcast_churn,
    "h": mpmc_kill,
}


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seconds", type=float, default=60.0, help="length of each scenario")
    parser.add_argument("--only", default="".join(SCENARIOS), help="scenarios to run, for example 'ab'")
    args = parser.parse_args()
    if sys.platform == "win32":
        print("stress: needs fork and SIGKILL; skipped on Windows")
        return 0
    total = 0
    started = time.monotonic()
    for key in args.only:
        t0 = time.monotonic()
        result = SCENARIOS[key].run(args.seconds)
        report(result)
        print(f"    ({time.monotonic() - t0:.1f} s)", flush=True)
        total += result.fault_total
    verdict = "FAILED" if total else "passed"
    print(f"stress: {verdict}: {total} faults in {time.monotonic() - started:.0f} s", flush=True)
    return 1 if total else 0


if __name__ == "__main__":
    sys.exit(main())
