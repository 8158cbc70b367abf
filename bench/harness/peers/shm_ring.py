"""A ring on multiprocessing.shared_memory, written as a Python user would."""
import struct
from multiprocessing import shared_memory

from .base import Transport, endpoint


class StdlibRing:
    """The ring a Python user would write on multiprocessing.shared_memory: the
    same layout as velmora's (head u64, tail u64, capacity u64, then the data;
    frames of a u32 little-endian length and the payload, wrapping at any
    byte), with each side keeping its own counter locally. The counters are
    read and written as items of a memoryview cast to unsigned 64-bit, one
    8-byte load or store each (struct.pack_into would zero the word first, and
    the other side could read that zero); that the counter store becomes
    visible after the data it publishes relies on x86-64 store ordering, as
    such hand-written code does. It trusts the other side and checks nothing."""

    HEADER = 24
    WORD = struct.Struct("Q")
    LEN = struct.Struct("<I")

    def __init__(self, buf):
        self.buf = buf
        self.words = buf[:self.HEADER].cast("Q")  # head, tail, capacity
        self.cap = self.words[2]
        self.mask = self.cap - 1
        self.data = buf[self.HEADER:self.HEADER + self.cap]
        self.head = self.words[0]
        self.tail = self.words[1]

    @classmethod
    def format(cls, buf, capacity):
        cls.WORD.pack_into(buf, 0, 0)
        cls.WORD.pack_into(buf, 8, 0)
        cls.WORD.pack_into(buf, 16, capacity)

    def _write(self, pos, payload):
        off = pos & self.mask
        end = off + len(payload)
        if end <= self.cap:
            self.data[off:end] = payload
        else:
            cut = self.cap - off
            view = memoryview(payload)
            self.data[off:] = view[:cut]
            self.data[:end - self.cap] = view[cut:]

    def _read(self, pos, n):
        off = pos & self.mask
        end = off + n
        if end <= self.cap:
            return self.data[off:end].tobytes()
        return self.data[off:].tobytes() + self.data[:end - self.cap].tobytes()

    def push(self, payload):
        n = len(payload)
        tail = self.tail
        if n + 4 > self.cap:
            raise ValueError("message larger than the ring")
        if tail + 4 + n - self.words[0] > self.cap:
            return False
        off = tail & self.mask
        if off + 4 <= self.cap:
            self.LEN.pack_into(self.data, off, n)
        else:
            self._write(tail, self.LEN.pack(n))
        self._write(tail + 4, payload)
        self.tail = tail = tail + 4 + n
        self.words[1] = tail
        return True

    def pop(self):
        head = self.head
        if self.words[1] == head:
            return None
        off = head & self.mask
        if off + 4 <= self.cap:
            n = self.LEN.unpack_from(self.data, off)[0]
        else:
            n = self.LEN.unpack(self._read(head, 4))[0]
        msg = self._read(head + 4, n)
        self.head = head = head + 4 + n
        self.words[0] = head
        return msg


class Stdring(Transport):
    key, label = "stdlib-ring", "hand-written ring on shared_memory"
    poll_send = poll_recv = True

    def channel(self, run, size, capacity):
        shm = shared_memory.SharedMemory(create=True, size=StdlibRing.HEADER + capacity)
        StdlibRing.format(shm.buf, capacity)
        return shm

    def close(self, chan):
        chan.close()
        chan.unlink()

    def sender(self, chan, size):
        return endpoint(send=StdlibRing(chan.buf).push)

    def receiver(self, chan, size):
        return endpoint(recv=StdlibRing(chan.buf).pop)

