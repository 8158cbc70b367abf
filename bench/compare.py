"""velmora's ring side by side with the native core and with what a Python user
would pick instead, measured in one run on one machine.

Rows: velmora push/pop, batches (push_many/pop_many), blocking put/get and
pop_into with a reused bytearray (each when the installed module has it); the
native core (bench/native/ring_driver.cpp: the same ring code driven from C++);
a hand-written ring on multiprocessing.shared_memory; multiprocessing.Pipe and
Queue; faster-fifo; pyzmq PUSH/PULL over ipc://; posix_ipc message queues;
iceoryx2's publish-subscribe. A peer that is not installed is skipped with a
note (`make bench` installs them).

Every figure comes from two processes. Throughput: a producer sends COUNT
messages of one size, a consumer receives them and times from the first to the
last. Latency: one process sends a message, the other sends it back, and half
of each round trip is one sample. Every message carries its sequence number in
its first 8 bytes (little-endian) and is checked for length and number where it
arrives; a wrong one is reported and fails the run. Rounds are interleaved
(every row and size once per round, in a rotating order) and the tables show
medians over rounds.

The peers, the runner and the report are the harness's (bench/harness/);
this script picks the rows and writes bench.md, bench.png and bench.json
(every round's figures).

Environment: see harness.common.Settings (BENCH_QUICK, BENCH_ROUNDS,
BENCH_SECONDS, BENCH_ONLY, BENCH_OUT, BENCH_TIMEOUT, BENCH_NATIVE). The keys
BENCH_ONLY matches: velmora, velmora-batch, velmora-putget, velmora-into,
native, stdlib-ring, pipe, queue, faster-fifo, zmq, posix-ipc, iceoryx2.

Linux only (fork, /proc, POSIX message queues). The machine should be quiet:
two processes that spin on a 2-core machine collapse when a third job runs.
"""
import multiprocessing as mp
import os
import signal
import sys
import time

from harness import peers, report, runner
from harness.common import Settings, dist_version, load_average, machine_info


def _terminate(signum, frame):
    raise KeyboardInterrupt


def main(env=os.environ, log=print):
    settings = Settings(env)
    if "fork" not in mp.get_all_start_methods():
        log("this benchmark needs fork (Linux)")
        return 2
    signal.signal(signal.SIGINT, signal.default_int_handler)
    signal.signal(signal.SIGTERM, _terminate)
    transports = runner.select(peers.side_by_side(settings), settings.only)
    load_before = load_average()
    if load_before is not None and load_before > 0.5 and not settings.quick:
        log(f"warning: load average {load_before:.2f}: the machine is not quiet, figures will suffer")
    run = runner.Run(settings)
    started = time.monotonic()
    try:
        res = runner.measure(run, settings, transports, log)
    except KeyboardInterrupt:
        log("interrupted")
        return 130
    finally:
        run.close()
    versions = {"velmora": dist_version("velmora") or "?"}
    versions.update({t.key: t.version() for t in transports if t.kind == "peer" and t.version()})
    info = machine_info()
    text = report.render(res, settings, info, load_before, load_average(), versions)
    paths, why = report.write_outputs(settings.out, "bench", text, report.raw(res, settings, info),
                                      lambda path: report.plot(res, settings, info, path))
    log(text)
    log(f"wrote {', '.join(paths)}" + (f" ({why})" if why else "") + f" in {time.monotonic() - started:.0f} s")
    failed_own = [k for k, v in res.note.items() if k[0].startswith(("velmora", "native")) and v.startswith("failed")]
    if res.wrong or failed_own:
        log("FAILED: " + ("wrong messages were delivered" if res.wrong else "a velmora or native row failed"))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
