"""Wrong use of velmora: type checkers must flag exactly the lines marked
`# error`, under CPython 3.10, 3.11 and 3.12 rules alike. Never run."""
import velmora

velmora.SharedMemory.create("/demo")  # error
shm = velmora.SharedMemory.create("/demo", 64)
view = shm.map()
text: str = view.read("f64")  # error
number: int = view.read("str")  # error
view.read()  # error
view.write(object())  # error
view.write(3j)  # error
view.read_mixed([("f64", "two")])  # error
size: int = shm.size  # error
view.lock_timeout = "soon"  # error

ring = shm.spsc()
print(len(ring.pop()))  # error
print(ring.pop("i64") + 1)  # error
ring.get("str").decode()  # error
ring.push({"a": 1})  # error
ring.put(b"x", timeout="1s")  # error
ring.pop_many("all")  # error
total: int = ring.pop_into(bytearray(8))  # error
ring.pop_into(b"x", 1)  # error
with velmora.SharedMemory.open("/demo") as opened:
    opened.spsc().read("int")  # error
view.add(4, 1.5)  # error
velmora.Record(view, {"count": "i128"})  # error
velmora.Record(view, {"count": "i64"}, 0, True)  # error

pub = velmora.Publisher.create("/frames", 64, 4, overflow="drop")  # error
velmora.Subscriber.open("/frames").receive_view(timeout="1")  # error
pub.loan(24, "<d")  # error
