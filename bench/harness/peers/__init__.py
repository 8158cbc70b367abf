"""One module per peer. `side_by_side(settings)` lists the rows of the
side-by-side comparison in the order of its tables."""
from .base import Transport, endpoint
from .faster_fifo_queue import FasterFifo
from .iceoryx2_pubsub import Iceoryx2
from .mp_pipe import Pipe
from .mp_queue import Queue
from .native import Native
from .posix_mq import PosixIpc
from .shm_ring import StdlibRing, Stdring
from .velmora_ring import Velmora, VelmoraBatch, VelmoraInto, VelmoraMpsc, VelmoraPutGet
from .zmq_pushpull import Zmq

__all__ = ["Transport", "endpoint", "FasterFifo", "Iceoryx2", "Pipe", "Queue", "Native", "PosixIpc",
           "StdlibRing", "Stdring", "Velmora", "VelmoraBatch", "VelmoraInto", "VelmoraMpsc", "VelmoraPutGet",
           "Zmq", "side_by_side"]


def side_by_side(settings):
    return [Velmora(), VelmoraBatch(), VelmoraPutGet(), VelmoraInto(), Native(settings.native),
            Stdring(), Pipe(), Queue(), FasterFifo(), Zmq(), PosixIpc(), Iceoryx2()]
