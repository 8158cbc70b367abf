"""faster-fifo's Queue, bounded by bytes; get, or its own batch call get_many."""
from .base import Transport, endpoint

WAIT_S = 3600    # its calls take a timeout; the run's own timeout ends a stall


class FasterFifo(Transport):
    key, label = "faster-fifo", "faster-fifo"
    module, dist = "faster_fifo", "faster-fifo"

    def __init__(self, key=None, label=None):
        self.key, self.label = key or self.key, label or self.label

    def channel(self, run, size, capacity):
        import faster_fifo
        return faster_fifo.Queue(max_size_bytes=capacity)

    def close(self, chan):
        chan.close()

    def sender(self, chan, size):
        put = chan.put
        return endpoint(send=lambda buf: put(buf, timeout=WAIT_S))

    def receiver(self, chan, size):
        get, get_many = chan.get, chan.get_many
        return endpoint(recv=lambda: get(timeout=WAIT_S),
                        recv_many=lambda n: get_many(timeout=WAIT_S, max_messages_to_get=n))
