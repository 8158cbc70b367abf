"""multiprocessing.Queue, bounded to hold about as many bytes as the ring."""
from .base import Transport, endpoint


class Queue(Transport):
    key, label = "queue", "multiprocessing.Queue"

    def channel(self, run, size, capacity):
        return run.ctx.Queue(maxsize=max(2, capacity // size))

    def close(self, chan):
        chan.close()
        chan.join_thread()

    def sender(self, chan, size):
        put = chan.put
        # put() pickles later, in a feeder thread: hand it a copy.
        return endpoint(send=lambda buf: put(bytes(buf)), finish=lambda: (chan.close(), chan.join_thread()))

    def receiver(self, chan, size):
        return endpoint(recv=chan.get)
