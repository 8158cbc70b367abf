"""The native core: bench/native/ring_driver.cpp drives the same ring code
from C++ in two processes of its own, with the sizes and checks of the
Python rows, and prints one JSON object (see the driver's header)."""
import json
import os
import subprocess

from ..common import ROOT, Failed, ring_capacity
from .base import Transport


class Native(Transport):
    key, label, kind = "native", "native core (C++, same ring)", "native"

    def __init__(self, path):
        self.path = path

    def missing(self):
        if not os.access(self.path, os.X_OK):
            return f"n/a (native driver not built: {os.path.relpath(self.path, ROOT)}; `make bench` builds it)"
        return None

    # The runner hands a row that measures itself its size and plan.
    def measure_rate(self, settings, size, count):
        out = self._run(settings, "throughput", size, count, ring_capacity(size))
        return (count - 1) / out["elapsed_s"]

    def measure_latency(self, settings, size):
        iterations, budget = settings.latency_plan(size)
        out = self._run(settings, "pingpong", size, iterations, ring_capacity(size), int(budget * 1000))
        return out["p50_ns"] / 1e9, out["p99_ns"] / 1e9

    def _run(self, settings, *args):
        cmd = [self.path] + [str(a) for a in args]
        try:
            proc = subprocess.run(cmd, capture_output=True, text=True, timeout=settings.timeout)
        except subprocess.TimeoutExpired:
            raise Failed(f"stalled: no result in {settings.timeout:.0f} s") from None
        if proc.returncode not in (0, 1) or not proc.stdout.strip():
            raise Failed(proc.stderr.strip() or f"exit code {proc.returncode}")
        out = json.loads(proc.stdout)
        if out["bad"]:
            raise Failed(f"{out['bad']} wrong messages")
        return out
