"""What every benchmark shares: sizes and their labels, the sequence stamp
every message carries, the environment settings, percentiles, versions and
the machine's description."""
import datetime
import os
import platform
import struct

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

KIB, MIB = 1024, 1024 * 1024
SIZES = [64, 4 * KIB, 64 * KIB, MIB]      # the side-by-side comparison's sizes
LATENCY_SIZES = [64, MIB]
BATCH = 64                       # messages per push_many / pop_many call

SEQ = struct.Struct("<Q")        # the sequence number at the front of every message
WARM = 2**64 - 1                 # handshake message, sent before the timed stream
STOP = 2**64 - 2                 # ends the echoing side of a ping-pong

# Messages of the first (untimed) sizing run, per size; see Settings.
PILOT = {64: 20_000, 4 * KIB: 5_000, 64 * KIB: 1_000, MIB: 100}


class Failed(Exception):
    """A run that did not produce a figure: a child failed, stalled, or a
    message arrived wrong. The row shows "failed" and the reason is logged."""


def size_label(size):
    return f"{size // MIB} MiB" if size >= MIB else f"{size // KIB} KiB" if size >= KIB else f"{size} B"


def ring_capacity(size):
    """Data bytes of every bounded channel for one message size: a power of
    two of at least 1 MiB that holds at least two messages (4 MiB for 1 MiB)."""
    capacity = MIB
    while capacity < 2 * (size + 4):
        capacity *= 2
    return capacity


def percentile(sorted_samples, q):
    """Nearest-rank percentile, as the native driver computes it."""
    rank = max(1, -(-round(q * 1000) * len(sorted_samples) // 1000))
    return sorted_samples[min(rank, len(sorted_samples)) - 1]


def median_of(values):
    """The middle of an odd count, the lower middle of an even one: a figure
    that was measured, not an average of two."""
    ordered = sorted(values)
    return ordered[(len(ordered) - 1) // 2] if ordered else None


class Settings:
    """The environment of every benchmark:

      BENCH_QUICK=1      one round of few messages: checks that every row works
      BENCH_ROUNDS=N     rounds (each script has its default)
      BENCH_SECONDS=S    aimed length of one throughput run (default 0.5)
      BENCH_ONLY=a,b     only the rows whose key contains one of these words
      BENCH_OUT=DIR      where the tables, plots and JSON go (default docs/,
                         build/bench-quick/ for a quick run)
      BENCH_TIMEOUT=S    how long one run may take before its row fails
                         (default 30 quick, 120 otherwise)
      BENCH_NATIVE=PATH  the native driver (default build/bench/velmora_bench_ring)
    """

    def __init__(self, env=os.environ, rounds=5):
        self.quick = env.get("BENCH_QUICK", "") not in ("", "0")
        self.rounds = int(env.get("BENCH_ROUNDS", "1" if self.quick else str(rounds)))
        self.seconds = float(env.get("BENCH_SECONDS", "0.5"))
        self.only = [w.strip() for w in env.get("BENCH_ONLY", "").split(",") if w.strip()]
        default_out = os.path.join(ROOT, "build", "bench-quick") if self.quick else os.path.join(ROOT, "docs")
        self.out = env.get("BENCH_OUT", default_out)
        self.native = env.get("BENCH_NATIVE", os.path.join(ROOT, "build", "bench", "velmora_bench_ring"))
        self.timeout = float(env.get("BENCH_TIMEOUT", "30" if self.quick else "120"))

    def fixed_count(self, size):
        """Messages per throughput run without a sizing run (quick mode)."""
        return PILOT[size] // 4 if self.quick else None

    def latency_plan(self, size):
        """(round trips, time budget in seconds) of one latency run."""
        if self.quick:
            return (300 if size < MIB else 50), 0.2
        return (20_000 if size < MIB else 2_000), 2 * self.seconds


def dist_version(name):
    try:
        from importlib.metadata import version
        return version(name)
    except Exception:  # noqa: BLE001
        return None


def machine_info():
    model = platform.processor() or "unknown CPU"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    try:
        usable = len(os.sched_getaffinity(0))
    except AttributeError:
        usable = os.cpu_count()
    return {
        "cpu": model,
        "cores": os.cpu_count(),
        "usable": usable,
        "python": f"{platform.python_implementation()} {platform.python_version()}",
        "os": f"{platform.system()} {platform.release()}",
        "date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
    }


def load_average():
    try:
        return os.getloadavg()[0]
    except OSError:
        return None
