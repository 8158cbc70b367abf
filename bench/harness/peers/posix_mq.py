"""posix_ipc's POSIX message queues (bounded by msg_max and msgsize_max)."""
from .base import Transport, endpoint


def _proc_int(path, default):
    try:
        with open(path) as f:
            return int(f.read())
    except (OSError, ValueError):
        return default


class PosixIpc(Transport):
    key, label = "posix-ipc", "posix_ipc message queue"
    dist = "posix_ipc"

    def missing(self):
        try:
            import posix_ipc
        except ImportError:
            return "n/a (posix_ipc not installed)"
        if not posix_ipc.MESSAGE_QUEUES_SUPPORTED:
            return "n/a (no POSIX message queues here)"
        return None

    def msgsize_max(self):
        return _proc_int("/proc/sys/fs/mqueue/msgsize_max", 8192)

    def size_note(self, size):
        limit = self.msgsize_max()
        return f"skipped above msgsize_max ({limit} B)" if size > limit else None

    def channel(self, run, size, capacity):
        import posix_ipc
        depth = max(1, min(_proc_int("/proc/sys/fs/mqueue/msg_max", 10), capacity // size))
        name = run.new_queue_name()
        return posix_ipc.MessageQueue(name, posix_ipc.O_CREX, max_messages=depth, max_message_size=size)

    def close(self, chan):
        chan.close()
        chan.unlink()

    def sender(self, chan, size):
        return endpoint(send=chan.send)

    def receiver(self, chan, size):
        receive = chan.receive
        return endpoint(recv=lambda: receive()[0])

    def version(self):
        return super().version()

