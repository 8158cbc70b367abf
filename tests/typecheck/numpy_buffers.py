"""A numpy producer and consumer: under CPython 3.11 and 3.12 rules, where the
extension takes any buffer, type checkers must accept every line; under 3.10
rules, where it takes the bytes-like types only, they must flag exactly the
lines marked `# 3.10: error`. Never run, only checked."""
import numpy as np
import numpy.typing as npt

import velmora

FRAME = (4, 4)


def produce(ring: velmora.SpscRingBuffer, frames: int) -> int:
    sent = 0
    for i in range(frames):
        frame = np.full(FRAME, i, dtype=np.float64)
        if ring.push(frame):  # 3.10: error
            sent += 1
    ring.put(np.arange(16, dtype=np.int32), timeout=1.0)  # 3.10: error
    ring.push_many([np.zeros(FRAME), b"last"])  # 3.10: error
    ring.push(b"header")
    return sent


def consume(ring: velmora.SpscRingBuffer) -> float:
    out: npt.NDArray[np.float64] = np.empty(FRAME, dtype=np.float64)
    total = 0.0
    while (got := ring.pop_into(out)) is not None:  # 3.10: error
        if got == out.nbytes:
            total += float(out.sum())
    ring.get_into(out.reshape(-1), timeout=2.0)  # 3.10: error
    return total


def publish(view: velmora.MappedView, values: npt.NDArray[np.float64]) -> None:
    view.write(values, 0)  # 3.10: error
    view.write(memoryview(values.tobytes()), 128)


def snapshot(view: velmora.MappedView) -> npt.NDArray[np.float64]:
    # The data area starts after the 4-byte lock word: offset=4 is 8-aligned.
    # (numpy's stubs take any buffer in frombuffer from 3.12 on, a memoryview
    # before.)
    return np.frombuffer(memoryview(view), dtype=np.float64, count=4, offset=4)  # 3.10: error
