"""iceoryx2's publish-subscribe with a byte-slice payload. Nothing is lost:
the service has safe overflow off and the publisher retries until delivered."""
import ctypes
import os
from types import SimpleNamespace

from .base import Transport, endpoint


def open_service(name, depth, max_subscribers=None):
    """(iceoryx2, node, service) of a lossless byte-slice service whose
    subscribers each buffer `depth` samples."""
    import iceoryx2 as iox2
    iox2.set_log_level(iox2.LogLevel.Error)
    node = iox2.NodeBuilder.new().create(iox2.ServiceType.Ipc)
    builder = (node.service_builder(iox2.ServiceName.new(name))
               .publish_subscribe(iox2.Slice[ctypes.c_uint8])
               .enable_safe_overflow(False)
               .subscriber_max_buffer_size(depth))
    if max_subscribers:
        builder = builder.max_subscribers(max_subscribers)
    return iox2, node, builder.history_size(0).open_or_create()


def publisher(iox2, service, size):
    return (service.publisher_builder().initial_max_slice_len(size)
            .backpressure_strategy(iox2.BackpressureStrategy.RetryUntilDelivered).create())


class Iceoryx2(Transport):
    """The subscriber's buffer holds as many messages as the ring holds bytes (capped)."""
    key, label = "iceoryx2", "iceoryx2 publish-subscribe"
    module = dist = "iceoryx2"
    poll_recv, lossy_start = True, True     # connects on its first receive()
    MAX_BUFFER = 1024

    def channel(self, run, size, capacity):
        depth = max(2, min(self.MAX_BUFFER, capacity // (size + 4)))
        return SimpleNamespace(name=f"velmora-bench/{os.getpid()}/{run.next_id()}", depth=depth)

    def sender(self, chan, size):
        iox2, node, service = open_service(chan.name, chan.depth)
        pub = publisher(iox2, service, size)
        loan, memmove, char_array = pub.loan_slice_uninit, ctypes.memmove, ctypes.c_char * size
        keep = [node, service, pub]

        def send(buf):          # bytes go to memmove as they are, a bytearray through a ctypes view
            n = len(buf)
            sample = loan(n)
            if type(buf) is not bytes:
                buf = (char_array if n == size else ctypes.c_char * n).from_buffer(buf)
            memmove(sample.payload_ptr, buf, n)
            sample.assume_init().send()
        return endpoint(send=send, keep=keep)

    def receiver(self, chan, size):
        iox2, node, service = open_service(chan.name, chan.depth)
        subscriber = service.subscriber_builder().buffer_size(chan.depth).create()
        receive, string_at = subscriber.receive, ctypes.string_at
        keep = [node, service, subscriber]

        def recv():
            sample = receive()
            if sample is None:
                return None
            msg = string_at(sample.payload_ptr, sample.header.number_of_elements)
            sample.delete()
            return msg
        return endpoint(recv=recv, keep=keep)
