"""velmora.Queue: a work queue for pools of processes, called as
``multiprocessing.Queue`` is.

Items travel as objects (``put_object``/``get_object``) through one
anonymous work-sharing ring: each producer process writes into a lane of its
own, each item goes to exactly one consumer, and nothing is left behind in
``/dev/shm`` however the processes end. An item is pickled by ``put()`` itself,
before it returns: there is no feeder thread, so changing an object after
``put()`` never changes what the consumer gets.

Order is kept per producer: what one process puts comes out in its order,
and the items of different processes interleave with no order between them
(``multiprocessing.Queue``'s one pipe orders them all). An end mark put by one
process can therefore overtake items another process put before it.

The item count (``qsize()``, and ``maxsize``) is one lock-free word in a small
anonymous segment of its own: ``put()`` reserves a place before it writes and
``get()`` gives it back after it has read. A process killed between the two
keeps its place counted; like ``multiprocessing``'s, the count is a hint.
"""

from __future__ import annotations

import queue
import time
from multiprocessing import context
from typing import Any, Optional

from .objects import _put_small, _small, decode_owned

__all__ = ["Queue"]

# The count's word: a lock-free i64 at an offset with offset % 8 == 4.
_COUNT = 4
# A bounded queue that is full waits for a place in naps of at most this
# many seconds (the count has no doorbell of its own).
_LONGEST_NAP = 0.002


class Queue:
    """A queue of any picklable objects for threads and processes, as
    ``multiprocessing.Queue(maxsize)``: ``put``, ``get``, ``put_nowait``,
    ``get_nowait``, ``qsize``, ``empty``, ``full``, ``close``, ``join_thread``,
    ``cancel_join_thread``, with ``queue.Full`` and ``queue.Empty``.

    ``maxsize`` counts items (0: no limit). ``capacity`` is the bytes each
    producer process may have in flight (an item larger than it raises
    ``ValueError``); ``producers`` and ``consumers`` are how many processes may
    put and get at once. Pass a Queue to children as ``multiprocessing.Queue``
    is passed: ``Process(args=(q,))`` or a pool's ``initargs``.
    """

    def __init__(self, maxsize: int = 0, *, capacity: int = 1 << 20, producers: int = 16,
                 consumers: int = 16) -> None:
        if not isinstance(maxsize, int) or isinstance(maxsize, bool):
            raise TypeError(f"maxsize must be an int, not {type(maxsize).__name__}")
        from . import MpmcRingBuffer, SharedMemory  # the package's, once it has loaded

        self._maxsize = max(maxsize, 0)
        self._ring = MpmcRingBuffer.create(None, capacity, producers=producers, consumers=consumers)
        self._count = SharedMemory.create(None, 16).map()
        self._closed = False

    # ---- passing to children -------------------------------------------------

    def __getstate__(self) -> tuple:
        context.assert_spawning(self)
        return (self._maxsize, self._ring, self._count)

    def __setstate__(self, state: tuple) -> None:
        self._maxsize, self._ring, self._count = state
        self._closed = False

    # ---- items ---------------------------------------------------------------

    def put(self, obj: Any, block: bool = True, timeout: Optional[float] = None) -> None:
        """Put `obj` on the queue, pickled now. Blocks (at most `timeout`
        seconds) while the queue holds `maxsize` items or this process's lane
        is full; raises queue.Full when that does not change in time."""
        if self._closed:
            raise ValueError(f"Queue {self!r} is closed")
        wait = None if block and timeout is None else _deadline(block, timeout)
        if self._maxsize:
            self._reserve(wait)
        else:
            self._count.add(_COUNT, 1)
        try:
            message = _small(obj)
            if message is None:
                self._ring.put_object(obj, timeout=_remaining(wait))
            else:
                _put_small(self._ring, message, _remaining(wait))
        except BaseException:
            self._count.add(_COUNT, -1)
            raise

    def get(self, block: bool = True, timeout: Optional[float] = None) -> Any:
        """Remove and return an item, waiting (at most `timeout` seconds) for
        one; raises queue.Empty when none came in time."""
        if self._closed:
            raise ValueError(f"Queue {self!r} is closed")
        data = self._ring.get_bytearray(None if block and timeout is None else _remaining(_deadline(block, timeout)))
        self._count.add(_COUNT, -1)
        return decode_owned(data)

    def put_nowait(self, obj: Any) -> None:
        self.put(obj, False)

    def get_nowait(self) -> Any:
        return self.get(False)

    def qsize(self) -> int:
        """The number of items in the queue (a hint: others may change it)."""
        self._check_open()
        return max(self._count.load(_COUNT), 0)

    def empty(self) -> bool:
        self._check_open()
        return self._ring.is_empty()

    def full(self) -> bool:
        self._check_open()
        return self._maxsize > 0 and self._count.load(_COUNT) >= self._maxsize

    # ---- ending ----------------------------------------------------------------

    def close(self) -> None:
        """This process puts and gets no more through this object. Items
        already put stay readable by the others (there is nothing to flush)."""
        if not self._closed:
            self._closed = True
            self._ring.close()
            self._count.close()

    def join_thread(self) -> None:
        """As multiprocessing.Queue's, after close(); there is no feeder thread
        to wait for, so it returns at once."""
        if not self._closed:
            raise ValueError(f"Queue {self!r} is not closed")

    def cancel_join_thread(self) -> None:
        """Nothing to cancel: put() has written its item before it returns."""

    def __repr__(self) -> str:
        state = "closed" if self._closed else f"maxsize={self._maxsize}"
        return f"<velmora.Queue {state}>"

    # ---- helpers ---------------------------------------------------------------

    def _check_open(self) -> None:
        if self._closed:
            raise ValueError(f"Queue {self!r} is closed")

    def _reserve(self, wait: Optional[float]) -> None:
        """A place for one more item, within `maxsize`."""
        count = self._count
        nap = 0.00005
        while True:
            seen = count.load(_COUNT)
            if seen < self._maxsize:
                if count.compare_exchange(_COUNT, seen, seen + 1):
                    return
                continue
            left = _remaining(wait)
            if left is not None and left <= 0:
                raise queue.Full
            time.sleep(nap if left is None else min(nap, left))
            nap = min(nap * 2, _LONGEST_NAP)


def _deadline(block: bool, timeout: Optional[float]) -> Optional[float]:
    """The monotonic time a call gives up at; None: never."""
    if not block:
        return time.monotonic()
    if timeout is None:
        return None
    if timeout < 0:
        raise ValueError("'timeout' must be a non-negative number")
    return time.monotonic() + timeout


def _remaining(deadline: Optional[float]) -> Optional[float]:
    return None if deadline is None else max(deadline - time.monotonic(), 0.0)
