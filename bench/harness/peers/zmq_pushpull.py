"""pyzmq PUSH/PULL over ipc://: the receiver binds, every sender connects.

A PUSH socket closed right after its last send was seen to drop messages
still queued for the peer (the closing context returned all the same), which
stalled the receiver until the run's timeout. The runner therefore keeps a
sender's endpoint open until the receiver has counted every message, and the
sender still closes with an unlimited linger. The receiver gives up on a
message after the run's timeout (RCVTIMEO), so a lost one fails the row with
a reason instead of hanging."""
import os

from .base import Transport, endpoint


class Zmq(Transport):
    key, label = "zmq", "pyzmq PUSH/PULL ipc"
    module, dist = "zmq", "pyzmq"

    def __init__(self, key=None, label=None):
        self.key, self.label = key or self.key, label or self.label
        self.timeout = None

    def channel(self, run, size, capacity):
        self.timeout = run.settings.timeout
        return os.path.join(run.tmp, f"zmq-{run.next_id()}.ipc")

    def close(self, chan):
        try:
            os.unlink(chan)
        except OSError:
            pass

    def sender(self, chan, size):
        import zmq
        ctx = zmq.Context()
        sock = ctx.socket(zmq.PUSH)
        sock.setsockopt(zmq.LINGER, -1)
        sock.connect("ipc://" + chan)

        def finish():      # delivers what is still queued before the process ends
            sock.close(linger=-1)
            ctx.term()
        return endpoint(send=sock.send, finish=finish)

    def receiver(self, chan, size):
        import zmq
        ctx = zmq.Context()
        sock = ctx.socket(zmq.PULL)
        if self.timeout:
            sock.setsockopt(zmq.RCVTIMEO, int(self.timeout * 1000))
        sock.bind("ipc://" + chan)
        raw = sock.recv

        def recv():
            try:
                return raw()
            except zmq.Again:
                raise TimeoutError(f"no message for {self.timeout:.0f} s") from None

        def recv_many(n):
            return [recv()]
        return endpoint(recv=recv, recv_many=recv_many, finish=lambda: (sock.close(linger=0), ctx.term()))
