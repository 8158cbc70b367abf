#!/usr/bin/env python3
"""Fuzzer: MpmcRingBuffer.open on forged work-sharing headers, then pop /
pop(tag) / pop_mixed / pop_many / push and the queries on forged lanes,
checked against the MPMC model.

The lanes and the producers' side are the fan-in ring's, and so is this
fuzzer's input (common.lanes_case): a segment mostly of the size a producer
count and lane capacity call for, its 128-byte header forged (magic, layout
version, producer count, lane capacity, doorbell, and here also the consumer
count, the sleeper count and the joined count: mostly valid, sometimes
anything), every lane forged as the ring fuzzer forges a ring. A refused
header must be refused with the model's text; an accepted one runs a few
operations, whose results and errors must be the model's (a single consumer
takes as the fan-in consumer does, and rings the doorbell when it leaves more
behind in a lane while someone may sleep), and after each the whole segment
must hold exactly the model's bytes. Nothing may be read or written outside
the mapping (the extension is built with AddressSanitizer).

    python fuzz/fuzz_mpmc.py [libFuzzer options] [corpus dirs or files]
"""
import os
import struct
import sys

import atheris

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import common  # noqa: E402
with atheris.instrument_imports(include=["model"]):
    import model

import velmora  # noqa: E402

U32 = (1 << 32) - 1


def kind_words(fdp):
    """The consumer count (mostly 1..8), and now and then a sleeper count
    left high by consumers killed asleep or a joined count about to wrap."""
    consumers = fdp.ConsumeIntInRange(1, 8)
    if fdp.ConsumeIntInRange(0, 7) == 0:
        consumers = common.pick(fdp, [0, model.MPMC_MAX_CONSUMERS, model.MPMC_MAX_CONSUMERS + 1, U32,
                                      fdp.ConsumeIntInRange(0, U32)])
    words = {model.MPMC_CONSUMERS_AT: struct.pack("<I", consumers)}
    if fdp.ConsumeIntInRange(0, 3) == 0:
        words[model.LANES_SLEEPERS] = struct.pack("<I", common.pick(fdp, [3, 1000, U32, fdp.ConsumeIntInRange(0, U32)]))
    if fdp.ConsumeIntInRange(0, 7) == 0:
        words[model.LANES_JOINED] = struct.pack("<I", common.pick(fdp, [U32, fdp.ConsumeIntInRange(0, U32)]))
    return words


def TestOneInput(data):
    common.lanes_case(atheris.FuzzedDataProvider(data), model, model.MpmcModel, velmora.MpmcRingBuffer.open,
                      "mpmc", kind_words)


if __name__ == "__main__":
    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()
