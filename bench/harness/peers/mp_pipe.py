"""multiprocessing.Pipe, one way."""
from .base import Transport, endpoint


class Pipe(Transport):
    key, label = "pipe", "multiprocessing.Pipe"

    def channel(self, run, size, capacity):
        return run.ctx.Pipe(duplex=False)

    def close(self, chan):
        for end in chan:
            end.close()

    def sender(self, chan, size):
        return endpoint(send=chan[1].send_bytes)

    def receiver(self, chan, size):
        return endpoint(recv=chan[0].recv_bytes)
