"""velmora's own rows: SpscRingBuffer with push/pop, push_many/pop_many,
put/get and pop_into, and MpscRingBuffer for fan-in."""
from types import SimpleNamespace

from ..common import BATCH, dist_version
from .base import Transport, endpoint


class Velmora(Transport):
    key, label, kind = "velmora", "velmora push/pop", "velmora"
    poll_send = poll_recv = True
    needs = ()

    def missing(self):
        try:
            import velmora
        except ImportError as exc:
            return f"n/a (velmora not importable: {exc})"
        absent = [m for m in self.needs if not hasattr(velmora.SpscRingBuffer, m)]
        return f"n/a (not built: no {', '.join(absent)})" if absent else None

    def channel(self, run, size, capacity):
        import velmora
        name = run.new_segment_name()
        seg = velmora.SharedMemory.create(name, 24 + capacity)
        seg.spsc()                  # the creator's attach resets the header
        return SimpleNamespace(name=name, seg=seg)

    def close(self, chan):
        import velmora
        chan.seg = None
        try:
            velmora.SharedMemory.remove(chan.name)
        except OSError:
            pass

    def _ring(self, chan):
        import velmora
        return velmora.SharedMemory.open(chan.name).spsc()

    def sender(self, chan, size):
        ring = self._ring(chan)
        return endpoint(send=ring.push, send_many=getattr(ring, "push_many", None), ring=ring)

    def receiver(self, chan, size):
        ring = self._ring(chan)
        return endpoint(recv=ring.pop, recv_many=getattr(ring, "pop_many", None),
                        recv_into=getattr(ring, "pop_into", None), ring=ring)

    def version(self):
        return dist_version("velmora")


class VelmoraBatch(Velmora):
    key, label = "velmora-batch", f"velmora push_many/pop_many ({BATCH})"
    stream, latency = "batch", False
    needs = ("push_many", "pop_many")


class VelmoraPutGet(Velmora):
    key, label = "velmora-putget", "velmora put/get"
    poll_send = poll_recv = False
    needs = ("put", "get")

    def sender(self, chan, size):
        ring = self._ring(chan)
        return endpoint(send=ring.put, ring=ring)

    def receiver(self, chan, size):
        ring = self._ring(chan)
        return endpoint(recv=ring.get, ring=ring)


class VelmoraInto(Velmora):
    key, label = "velmora-into", "velmora push/pop_into"
    stream = "into"
    needs = ("pop_into",)


class VelmoraMpsc(Velmora):
    """MpscRingBuffer: `producers` lanes of `capacity` bytes each. push/pop
    (non-blocking), put/get (blocking), or put with a consumer that takes what
    is waiting in one pop_many call (recv_many; a blocking get when nothing is).
    The consumer's end is the creator's, so the receiver makes the ring and
    the senders open it after (receiver_first)."""
    receiver_first = True

    def __init__(self, producers, calls="push/pop"):
        self.producers, self.calls = producers, calls
        self.key = "velmora-mpsc-" + calls.replace("/", "-").replace("_", "-")
        self.label = f"velmora MpscRingBuffer {calls}"
        self.poll_send = self.poll_recv = calls == "push/pop"

    def missing(self):
        try:
            import velmora
        except ImportError as exc:
            return f"n/a (velmora not importable: {exc})"
        return None if hasattr(velmora, "MpscRingBuffer") else "n/a (not built: no MpscRingBuffer)"

    def channel(self, run, size, capacity):
        return SimpleNamespace(name=run.new_segment_name(), capacity=capacity, seg=None)

    def sender(self, chan, size):
        import velmora
        ring = velmora.MpscRingBuffer.open(chan.name)
        return endpoint(send=ring.push if self.poll_send else ring.put, finish=ring.close, ring=ring)

    def receiver(self, chan, size):
        import velmora
        ring = velmora.MpscRingBuffer.create(chan.name, chan.capacity, producers=self.producers)
        get = ring.get

        def recv_many(n):
            got = ring.pop_many(n)
            return got if got else [get()]
        return endpoint(recv=ring.pop if self.poll_recv else get, recv_many=recv_many, finish=ring.close, ring=ring)
