"""What a peer is to the runner.

A peer (a transport) makes a channel in the parent, which the forked children
inherit, and in a child a sending or a receiving endpoint: a namespace with
send(buf) (returns False when full if poll_send, otherwise blocks), recv()
(returns None when empty if poll_recv, otherwise blocks), finish(), and for
the batch and into streams send_many / recv_many / recv_into. A peer that is
not installed says why in missing(): its row is reported as skipped."""
import importlib
from types import SimpleNamespace

from ..common import dist_version


def endpoint(**kw):
    kw.setdefault("finish", lambda: None)
    return SimpleNamespace(**kw)


class Transport:
    key = label = ""
    kind = "peer"                 # "velmora", "native" or "peer"
    poll_send = poll_recv = False
    stream = "single"             # "single", "batch" or "into"
    lossy_start = False           # messages sent before the receiver connects may vanish
    latency = True                # has a ping-pong row
    receiver_first = False        # senders open the channel only once a receiver made it
    module = dist = None          # the import and the distribution a peer needs

    def missing(self):
        """Why this row cannot run here, or None."""
        if self.module is None:
            return None
        try:
            importlib.import_module(self.module)
        except ImportError:
            return f"n/a ({self.dist or self.module} not installed)"
        return None

    def size_note(self, size):
        """Why this row skips a size, or None."""
        return None

    def channel(self, run, size, capacity):
        raise NotImplementedError

    def close(self, chan):
        pass

    def sender(self, chan, size):
        raise NotImplementedError

    def receiver(self, chan, size):
        raise NotImplementedError

    def version(self):
        return dist_version(self.dist) if self.dist else None
