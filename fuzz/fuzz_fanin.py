#!/usr/bin/env python3
"""Fuzzer: MpscRingBuffer.open on forged fan-in headers, then pop / pop(tag)
/ pop_mixed / pop_many / push and the queries on forged lanes, checked
against the fan-in model.

Each input makes a segment (mostly the size a producer count and lane
capacity call for, sometimes a little more or less), forges its 128-byte
header (magic, layout version, producer count, lane capacity, doorbell and
sleep mark: mostly valid, sometimes anything) and every lane (header and
data, as the ring fuzzer forges a ring) through a second mapping, then opens
it by name: a refused header must be refused with the model's text; an
accepted one runs a few operations, whose results and errors must be the
model's, and after each the whole segment must hold exactly the model's
bytes. Nothing may be read or written outside the mapping (the extension is
built with AddressSanitizer).

    python fuzz/fuzz_fanin.py [libFuzzer options] [corpus dirs or files]
"""
import os
import sys

import atheris

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import common  # noqa: E402
with atheris.instrument_imports(include=["model"]):
    import model

import velmora  # noqa: E402


def TestOneInput(data):
    common.lanes_case(atheris.FuzzedDataProvider(data), model, model.FaninModel, velmora.MpscRingBuffer.open,
                      "fanin")


if __name__ == "__main__":
    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()
