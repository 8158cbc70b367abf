"""asyncio support: await velmora channels from an event loop.

``wrap(channel)`` gives an adapter whose calls are the channel's blocking
calls as coroutines::

    ring = velmora.SharedMemory.open("/jobs").spsc()
    jobs = velmora.aio.wrap(ring)
    msg = await jobs.get(timeout=5)
    await jobs.put(b"done")
    async for msg in jobs:
        ...

Broadcast works the same way: ``wrap(subscriber)`` gives ``await receive()``,
``await receive_view()`` and ``async for`` (with ``eof=True`` it ends when the
publisher has closed or died), ``wrap(publisher)`` gives ``await publish()``.

No thread waits on the adapter's behalf and nothing polls: each call tries
the channel's non-blocking form first and, when there is nothing to do,
awaits the channel's file descriptor (``fileno()`` for receiving,
``room_fileno()`` for sending) with ``loop.add_reader``, then tries again.
Any asyncio loop that implements ``add_reader`` works (the default one and
uvloop). A ring's descriptor stays readable for a moment after the channel
goes quiet (the other side only signals a waiter that may be asleep), so an
idle channel costs a few loop iterations and then nothing; a subscriber's
sleeps at once (the publisher signals subscribers that marked themselves
asleep).

Cancellation: a receiving call consumes a message only in the same step that
returns it, so a cancelled ``get`` never loses one (the next ``get`` receives
it). ``async for`` takes each message from the channel only as it yields it,
so a loop left by ``break``, ``return``, an exception or cancellation leaves
every message it did not yield in the channel, in order, for the next call of
any adapter or of the channel itself. A ``put`` that returns has published
its message; one that raises (``CancelledError``, ``queue.Full``,
``BrokenPipeError`` when the ring's consumer has gone, as the blocking
``put`` raises it) has not.

Objects: ``await put_object(obj)`` / ``await get_object()`` and
``publish_object`` / ``receive_object`` send any picklable object as the
channels' calls of the same names do (see velmora.objects, and its warning:
unpickling runs code, so only trusted processes may write such a channel).

Closing: ``close()`` on the channel (or on the adapter) ends every call
awaiting it, in any loop, with the channel's "is closed" ValueError.
"""

from __future__ import annotations

import asyncio
import errno
import os
import queue
from typing import Any, AsyncIterator, Callable, Optional

from . import objects

__all__ = ["wrap", "Channel"]

# Accepted by wrap() for compatibility: `async for` no longer takes messages
# ahead of what it yields.
DEFAULT_BATCH = 256
# A producer's end sends no signal, so a call waiting with eof=True also looks
# again this often (the blocking calls learn of it the same way, from a poll).
EOF_RECHECK = 0.1
# Nor does a consumer's: a put waiting for room looks whether it has gone this often.
CONSUMER_RECHECK = 0.1


# ---- waiting for a descriptor -------------------------------------------------------

def _resolve(fut: asyncio.Future, value: bool) -> None:
    if not fut.done():
        fut.set_result(value)


async def _readable(loop: asyncio.AbstractEventLoop, fd: Callable[[], int], deadline: Optional[float]) -> bool:
    """Waits until the channel's descriptor, fd(), is readable (True) or the
    loop's clock passes `deadline` (False).

    The loop watches a duplicate of the descriptor that belongs to this wait
    alone: each wait has its own registration (add_reader keeps one callback
    per descriptor), and a number that the channel's close() gives back, and
    the next channel reuses, is never the one watched. The channel's close()
    shuts its socket down, which leaves the duplicate readable: the wait ends
    and the next try raises the channel's "is closed" error."""
    number = fd()
    try:
        own = os.dup(number)
    except OSError as exc:
        if exc.errno != errno.EBADF:
            raise
        fd()  # closed by another thread since: raises the channel's "is closed" error
        return True  # the number went and came back: look again
    try:
        # Closed by another thread between fd() and dup(), the number may
        # name someone else's file by now: a closed channel's fd() raises.
        if fd() != number:
            return True
        fut = loop.create_future()
        loop.add_reader(own, _resolve, fut, True)
        timer = loop.call_at(deadline, _resolve, fut, False) if deadline is not None else None
        try:
            return await fut
        finally:
            if timer is not None:
                timer.cancel()
            loop.remove_reader(own)
    finally:
        os.close(own)


def _failure(cls: type[Exception], reason: str, *text: str) -> Exception:
    """`cls(*text)` with `reason` set, as the extension's own exceptions have it."""
    exc = cls(*text)
    exc.reason = reason  # type: ignore[attr-defined]
    return exc


def _deadline(loop: asyncio.AbstractEventLoop, timeout: Optional[float]) -> Optional[float]:
    if timeout is None:
        return None
    if not timeout >= 0:  # also refuses NaN
        raise _failure(ValueError, "invalid_argument", "timeout must be a number of seconds >= 0, or None")
    return loop.time() + timeout


async def _until(attempt: Callable[[], Any], fd: Callable[[], int], timeout: Optional[float], gave_up: type,
                 recheck: Optional[float] = None) -> Any:
    """Calls attempt() until it returns something other than None, awaiting fd()
    in between (and at least every `recheck` seconds when given)."""
    result = attempt()
    if result is not None:
        return result
    loop = asyncio.get_running_loop()
    deadline = _deadline(loop, timeout)
    fd()
    # The descriptor may be new: a signal sent before it listened reached
    # nobody, so look again now that it listens (this look also starts the
    # settling that makes waiting on it safe).
    result = attempt()
    if result is not None:
        return result
    while True:
        if timeout == 0:
            raise gave_up
        until = deadline
        if recheck is not None:
            until = loop.time() + recheck if deadline is None else min(deadline, loop.time() + recheck)
        if not await _readable(loop, fd, until) and deadline is not None and loop.time() >= deadline:
            raise gave_up
        result = attempt()
        if result is not None:
            return result


def _empty_as_none(call: Callable[[], Any]) -> Callable[[], Any]:
    def attempt() -> Any:
        try:
            return call()
        except queue.Empty:
            return None

    return attempt


def _full_as_none(call: Callable[[], Any]) -> Callable[[], Any]:
    def attempt() -> Any:
        try:
            call()
        except queue.Full:
            return None
        return True

    return attempt


# ---- the adapter -----------------------------------------------------------------


class Channel:
    """A channel's calls as coroutines; made by ``wrap()``.

    Each call takes the arguments of the channel's blocking call of the same
    name, ``timeout=`` included (``queue.Empty`` / ``queue.Full`` when it
    passes). The channel must be used from one event loop at a time.
    """

    def __init__(self, channel: Any, *, tag: Optional[str] = None, batch: int = DEFAULT_BATCH,
                 eof: bool = False) -> None:
        if batch < 1:
            raise _failure(ValueError, "invalid_argument", "batch must be >= 1")
        self._ch = channel
        self._tag = tag
        self._batch = batch
        self._eof = eof

    @property
    def channel(self) -> Any:
        return self._ch

    def _recv_fd(self) -> int:
        return self._ch.fileno()

    def _send_fd(self) -> int:
        return self._ch.room_fileno() if hasattr(self._ch, "room_fileno") else self._ch.fileno()

    # ---- receiving ----

    def _attempt(self, blocking: str, nonblocking: str, args: tuple, eof: bool) -> Callable[[], Any]:
        """One non-blocking try of the channel's `blocking` call (None when there
        is nothing yet): its `nonblocking` form where it has one (it answers None
        itself), else the call with timeout=0; with eof, the call with eof=True
        (EOFError at the end of the stream)."""
        ch = self._ch
        if eof:
            call = getattr(ch, blocking)
            return _empty_as_none(lambda: call(*args, timeout=0, eof=True))
        if hasattr(ch, nonblocking):
            call = getattr(ch, nonblocking)
            return (lambda: call(*args)) if args else call
        call = getattr(ch, blocking)
        return _empty_as_none(lambda: call(*args, timeout=0))

    async def _receive(self, blocking: str, nonblocking: str, args: tuple, timeout: Optional[float],
                       eof: bool) -> Any:
        return await _until(self._attempt(blocking, nonblocking, args, eof), self._recv_fd, timeout, queue.Empty,
                            EOF_RECHECK if eof else None)

    async def get(self, tag: Optional[str] = None, timeout: Optional[float] = None, eof: bool = False) -> Any:
        """With eof=True, EOFError once the stream has ended (as the blocking get)."""
        return await self._receive("get", "pop", () if tag is None else (tag,), timeout, eof)

    async def get_into(self, buffer: Any, timeout: Optional[float] = None, eof: bool = False) -> int:
        return await self._receive("get_into", "pop_into", (buffer,), timeout, eof)

    async def get_mixed(self, schema: list, timeout: Optional[float] = None, eof: bool = False) -> list:
        return await self._receive("get_mixed", "pop_mixed", (schema,), timeout, eof)

    async def receive(self, timeout: Optional[float] = None, eof: bool = False) -> Any:
        """The channel's receive() (broadcast subscribers): with eof=True, EOFError
        once the publisher has closed or died and everything it published was received."""
        ch = self._ch
        attempt = _empty_as_none(lambda: ch.receive(timeout=0, eof=eof))
        return await _until(attempt, self._recv_fd, timeout, queue.Empty, EOF_RECHECK if eof else None)

    async def receive_view(self, timeout: Optional[float] = None, eof: bool = False) -> Any:
        """The channel's receive_view() (broadcast subscribers): use the result in a
        ``with`` block, as the blocking call's."""
        ch = self._ch
        attempt = _empty_as_none(lambda: ch.receive_view(timeout=0, eof=eof))
        return await _until(attempt, self._recv_fd, timeout, queue.Empty, EOF_RECHECK if eof else None)

    # ---- sending ----

    async def put(self, data: Any, timeout: Optional[float] = None) -> None:
        ch = self._ch
        recheck = None
        if hasattr(ch, "push"):
            check = getattr(ch, "_check_consumer", None)

            def attempt() -> Any:
                if ch.push(data):
                    return True
                # no room: BrokenPipeError once the consumer has gone, as the
                # blocking put() raises (asked only when the ring is full)
                if check is not None:
                    check()
                return None

            recheck = CONSUMER_RECHECK if check is not None else None
        else:
            attempt = _full_as_none(lambda: ch.put(data, timeout=0))
        await _until(attempt, self._send_fd, timeout, queue.Full, recheck)

    async def publish(self, *args: Any, timeout: Optional[float] = None, **kwargs: Any) -> None:
        """The channel's publish() (broadcast publishers)."""
        ch = self._ch
        await _until(_full_as_none(lambda: ch.publish(*args, timeout=0, **kwargs)), self._send_fd, timeout, queue.Full)

    # ---- objects (velmora.objects) ----

    def _room_attempt(self, send: Callable[[], None]) -> tuple[Callable[[], Any], Optional[float]]:
        """One try of `send` (queue.Full when there is no room), and how often
        to look again: as put(), BrokenPipeError once a ring's consumer has gone."""
        check = getattr(self._ch, "_check_consumer", None)

        def attempt() -> Any:
            try:
                send()
            except queue.Full:
                if check is not None:
                    check()
                return None
            return True

        return attempt, (CONSUMER_RECHECK if check is not None else None)

    async def put_object(self, obj: Any, timeout: Optional[float] = None) -> None:
        """The channel's put_object(): pickled once, then written in place when there is room."""
        encoded = objects.Encoded(obj)
        attempt, recheck = self._room_attempt(lambda: objects.send(self._ch, encoded, 0))
        await _until(attempt, self._send_fd, timeout, queue.Full, recheck)

    async def publish_object(self, obj: Any, timeout: Optional[float] = None) -> None:
        """The channel's publish_object() (broadcast publishers)."""
        await self.put_object(obj, timeout)

    async def get_object(self, timeout: Optional[float] = None, eof: bool = False) -> Any:
        """The channel's get_object(): a cancelled call leaves the message in the channel."""
        ch = self._ch
        attempt = _empty_as_none(lambda: ch.get_bytearray(timeout=0, eof=eof))
        data = await _until(attempt, self._recv_fd, timeout, queue.Empty, EOF_RECHECK if eof else None)
        return objects.decode_owned(data)

    async def receive_object(self, timeout: Optional[float] = None, eof: bool = False) -> Any:
        """The channel's receive_object() (broadcast subscribers)."""
        ch = self._ch
        attempt = _empty_as_none(lambda: objects.received(ch.receive_view(timeout=0, eof=eof)))
        data = await _until(attempt, self._recv_fd, timeout, queue.Empty, EOF_RECHECK if eof else None)
        return objects.decode_owned(data)

    # ---- iteration ----

    def __aiter__(self) -> AsyncIterator[Any]:
        return self._iterate()

    async def _iterate(self) -> AsyncIterator[Any]:
        # One message per step, taken as it is yielded: a loop that stops
        # early leaves the rest in the channel.
        attempt = self._step()
        recheck = EOF_RECHECK if self._eof else None
        try:
            while True:
                item = attempt()
                if item is None:
                    item = await _until(attempt, self._recv_fd, None, queue.Empty, recheck)
                yield item
        except EOFError:
            return

    def _step(self) -> Callable[[], Any]:
        """One non-blocking take of the next message (None when there is none;
        EOFError at the end of the stream with eof): a subscriber's
        _receive_many of one, else the channel's get."""
        ch, eof = self._ch, self._eof
        if hasattr(ch, "_receive_many"):
            taken = ch._receive_many

            def from_subscriber() -> Any:
                got = taken(1, eof)
                if got is None:  # the end of the stream (eof=True)
                    raise _failure(EOFError, "peer_gone")
                return got[0] if got else None

            return from_subscriber
        args = () if self._tag is None else (self._tag,)
        if not eof:
            return self._attempt("get", "pop", args, False)
        quick = getattr(ch, "pop", None)
        last = self._attempt("get", "pop", args, True)

        def from_ring() -> Any:
            # pop() first: the eof form costs a raised Empty when nothing waits.
            if quick is not None:
                item = quick(*args)
                if item is not None:
                    return item
            return last()  # EOFError at the end of the stream

        return from_ring

    # ---- lifetime ----

    def close(self) -> None:
        """Closes the channel: every call awaiting it ends with the channel's
        "is closed" ValueError."""
        self._ch.close()

    async def __aenter__(self) -> "Channel":
        return self

    async def __aexit__(self, *exc: Any) -> None:
        self.close()


def wrap(channel: Any, *, tag: Optional[str] = None, batch: int = DEFAULT_BATCH, eof: bool = False) -> Channel:
    """An asyncio adapter for `channel` (an SpscRingBuffer, a broadcast
    Subscriber or Publisher, or any channel with fileno() or room_fileno()).
    `tag` decodes the messages of ``async for`` as get(tag) does; `batch` is
    accepted for compatibility (``async for`` takes one message per step, so
    leaving it early leaves the rest in the channel); with `eof`
    True, ``async for`` ends at the end of the stream (as get(eof=True) raises
    EOFError there, as a subscriber's receive(eof=True) does)."""
    if not hasattr(channel, "fileno") and not hasattr(channel, "room_fileno"):
        raise TypeError(f"{type(channel).__name__} has no fileno(): it cannot be awaited")
    return Channel(channel, tag=tag, batch=batch, eof=eof)
