"""Correct use of velmora: type checkers must accept every line, under
CPython 3.10, 3.11 and 3.12 rules alike. Never run, only checked."""
import array
import sys
from typing import Any, Literal

from typing_extensions import assert_type

import velmora

assert_type(velmora.__version__, str)

shm = velmora.SharedMemory.create("/demo", 4096)
assert_type(shm.name(), str | None)
assert_type(shm.size(), int)
view = shm.map()
view.write("hello")
view.write(42)
view.write(b"raw", offset=8)
view.write(memoryview(bytearray(4)))
row = [1.5, 2.5]
view.write_mixed([row, True])
view.seek()
assert_type(view.read("str"), str)
assert_type(view.read("int"), int)
assert_type(view.read("u8"), int)
assert_type(view.read("f64"), float)
assert_type(view.read("float"), float)
assert_type(view.read("f32"), float)
assert_type(view.read("bool"), bool)
tag: str = "i32"
value = view.read(tag)
if isinstance(value, int):
    print(value + 1)
schema = [("f64", 2), ("bool", 1)]
assert_type(view.read_mixed(schema), list[Any])
assert_type(view.read_range(0, 4), bytes)
view.lock_timeout = 0.5
view.lock_timeout = None
view.reset_lock()
with velmora.SharedMemory.open("/demo").map() as other:
    assert_type(other, velmora.MappedView)
    assert_type(other.reader_count(), int)

ring = velmora.SharedMemory.create("/jobs", velmora.SpscRingBuffer.segment_size(4096)).spsc()
assert_type(ring.push(b"raw bytes"), bool)
ring.push([7, 0.5, "tag"])
ring.push(bytearray(b"x"))
message = ring.pop()
assert_type(message, bytes | None)
if message is not None:
    print(message.decode())
count = ring.pop("i64")
if count is not None:
    print(count + 1)
assert_type(ring.pop("f32"), float | None)
assert_type(ring.pop("str"), str | None)
assert_type(ring.pop_mixed([("i64", 1)]), list[Any] | None)
ring.put(b"payload", timeout=1.0)
assert_type(ring.get(), bytes)
assert_type(ring.get("u64", timeout=None), int)
assert_type(ring.get("bool"), bool)
assert_type(ring.get_mixed(schema, 0.1), list[Any])
assert_type(ring.push_many([b"a", b"b"]), int)
assert_type(ring.pop_many(16), list[bytes])
assert_type(ring.pop_many(16, "f64"), list[float])
buffer = bytearray(64)
got = ring.pop_into(buffer)
if got is not None:
    print(buffer[:got])
assert_type(ring.get_into(memoryview(buffer), timeout=2), int)
if sys.version_info >= (3, 11):
    ring.push(array.array("d", [1.0]))
    view.write(array.array("b", [1]))

with velmora.SharedMemory.open("/jobs") as opened, opened.spsc() as consumer:
    assert_type(opened, velmora.SharedMemory)
    assert_type(consumer.used(), int)
    assert_type(consumer.is_empty(), bool)
with view.write_locked() as held:
    assert_type(held, velmora.MappedView)
    assert_type(view.held_scope, Literal["write", "read"] | None)
assert_type(view.add(4, 1), int)
assert_type(view.compare_exchange(4, 1, 2), bool)
assert_type(view.load(4), int)
rec = velmora.Record(view, {"count": "i64", "name": ("str", 16)}, offset=0)
rec.update(count=1, name="x")
assert_type(rec.snapshot(), dict[str, Any])
assert_type(rec.add("count", 2), int)
with velmora.Record(view, {"count": "i64"}, offset=64, guarded=True).locked() as held_rec:
    assert_type(held_rec, velmora.Record)
    held_rec.count += 1
assert_type(rec.reset_torn(), bool)
try:
    rec.snapshot()
except velmora.TornRecordError as torn:
    assert_type(torn, velmora.TornRecordError)
shm.close()
velmora.SharedMemory.remove("/demo")

pub = velmora.Publisher.create("/frames", 1 << 20, 4, subscribers=4, overflow="overwrite")
pub.publish(b"frame", timeout=0.5)
with pub.loan(16) as slot:
    assert_type(slot, memoryview)
    slot[:5] = b"hello"
with pub.loan(24, 0.5, format="<d", shape=(3,)) as typed:
    assert_type(typed, memoryview)
sub = velmora.Subscriber.open("/frames")
assert_type(sub.receive(), bytes)
assert_type(sub.receive(timeout=1.0, eof=True), bytes)
with sub.receive_view(timeout=1) as mv:
    assert_type(mv, memoryview)
assert_type(sub.missed(), int)
assert_type(sub.fileno(), int)
assert_type(pub.room_fileno(), int)
assert_type(sub.has_publisher(), bool)
assert_type(pub.subscribers(), list[int])
sub.close()
pub.close()
