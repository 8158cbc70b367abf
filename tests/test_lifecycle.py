"""close(), with, pickling by name, and the version."""
import multiprocessing
import pickle
import sys

import pytest

import velmora

SM = velmora.SharedMemory
HAS_BUFFERS = sys.version_info >= (3, 11)


@pytest.fixture
def objects(seg_name, seg_names):
    """One of each class; all but the segment and its ring get segments of
    their own (two kinds on one segment would overwrite each other's header)."""
    shm = SM.create(seg_name, velmora.SpscRingBuffer.segment_size(4096))
    view_name, fanin_name, bcast_name = seg_names(3)
    pub = velmora.Publisher.create(bcast_name, 64, 2)
    objs = {"SharedMemory": shm, "MappedView": SM.create(view_name, 68).map(), "SpscRingBuffer": shm.spsc(),
            "MpscRingBuffer": velmora.MpscRingBuffer.create(fanin_name, 64, producers=2), "Publisher": pub,
            "Subscriber": velmora.Subscriber.open(bcast_name)}
    yield objs
    for obj in objs.values():
        obj.close()


CALLS = {
    "SharedMemory": [lambda o: o.map(), lambda o: o.spsc(), lambda o: o.name(), lambda o: o.size(),
                     lambda o: pickle.dumps(o)],
    "MappedView": [lambda o: o.read_all(), lambda o: o.write(b"x", 0), lambda o: o.read("u8"), lambda o: o.tell(),
                   lambda o: o.seek(0), lambda o: o.zero(), lambda o: o.reset_lock(), lambda o: o.size(),
                   lambda o: o.read_mixed([("u8", 1)]), lambda o: pickle.dumps(o), lambda o: o.write_locked(),
                   lambda o: o.read_locked(), lambda o: o.add(4, 1), lambda o: o.compare_exchange(4, 0, 1),
                   lambda o: o.load(4), lambda o: o.store(4, 1)],
    "SpscRingBuffer": [lambda o: o.push(b"x"), lambda o: o.pop(), lambda o: o.get(timeout=0), lambda o: o.put(b"x"),
                       lambda o: o.used(), lambda o: o.is_empty(), lambda o: o.push_many([b"x"]),
                       lambda o: o.pop_many(1), lambda o: o.pop_into(bytearray(8)), lambda o: pickle.dumps(o)],
    "MpscRingBuffer": [lambda o: o.push(b"x"), lambda o: o.pop(), lambda o: o.get(), lambda o: o.used(),
                       lambda o: o.producers(), lambda o: o.max_payload],
    "Publisher": [lambda o: o.publish(b"x"), lambda o: o.loan(1)],
    "Subscriber": [lambda o: o.receive(), lambda o: o.missed(), lambda o: o.has_publisher(),
                   lambda o: pickle.dumps(o)],
}


@pytest.mark.parametrize("cls", sorted(CALLS))
def test_closed_objects_refuse_every_call_but_close_and_repr(objects, cls):
    obj = objects[cls]
    assert obj.close() is None and obj.close() is None
    if cls in ("Publisher", "Subscriber"):  # with the other end closed as well
        objects[{"Publisher": "Subscriber", "Subscriber": "Publisher"}[cls]].close()
    assert "closed" in repr(obj)
    for call in CALLS[cls]:
        with pytest.raises(ValueError, check=lambda e: e.reason == "closed"):
            call(obj)


def test_views_and_rings_outlive_a_closed_segment_handle(objects, seg_name):
    objs = objects
    objs["SharedMemory"].close()
    objs["MappedView"].write(b"still", 0)
    assert objs["MappedView"].read_range(0, 5) == b"still"
    assert objs["SpscRingBuffer"].push(b"m") and objs["SpscRingBuffer"].pop() == b"m"
    assert repr(objs["SharedMemory"]) == f"SharedMemory(name='{seg_name}', closed)"


def test_with_closes_and_does_not_remove(seg_name):
    with SM.create(seg_name, velmora.SpscRingBuffer.segment_size(4096)) as shm:
        with shm.map() as view, shm.spsc() as ring:
            view.write(b"v", 0)
        assert "closed" in repr(view) and "closed" in repr(ring)
    assert "closed" in repr(shm)
    assert SM.open(seg_name).size() == velmora.SpscRingBuffer.segment_size(4096)  # the segment is still there


@pytest.mark.skipif(not HAS_BUFFERS, reason="buffer export needs the 3.11 stable ABI")
def test_a_view_is_not_unmapped_while_exported(seg_name):
    view = SM.create(seg_name, 68).map()
    mem = memoryview(view)
    assert mem.nbytes == 64 and not mem.readonly
    mem[0:3] = b"abc"
    assert view.read_range(0, 3) == b"abc"
    with pytest.raises(BufferError):
        view.close()
    assert view.read_range(0, 3) == b"abc"
    mem.release()
    view.close()


def test_pickling_reopens_by_name_without_resetting(objects, seg_name):
    objs = objects
    view, ring = objs["MappedView"], objs["SpscRingBuffer"]
    view.write(b"data", 0)
    view.seek(3)
    assert ring.push(b"queued")
    shm2, view2, ring2 = (pickle.loads(pickle.dumps(objs[k])) for k in ("SharedMemory", "MappedView", "SpscRingBuffer"))
    assert repr(shm2) == f"SharedMemory(name='{seg_name}', size=4120, role=opener)"
    assert view2.tell() == 0  # the cursor is not carried
    assert view2.read_range(0, 4) == b"data" and ring2.pop() == b"queued"


# Unpickling calls a static opener of one of the module's classes, and
# nothing else the module holds.
@pytest.mark.parametrize("args", [(), ("SharedMemory",), ("__version__", "upper"), ("_kinds", "count", 1),
                                  (1, "open", "/x")])
def test_unpickling_helper_calls_only_class_openers(args):
    with pytest.raises(TypeError):
        velmora._velmora._reopen(*args)


def _child(ring, view, conn):
    conn.send((ring.get(timeout=10), view.read_range(0, 4)))
    view.write(b"rply", 0)  # the ring's producer role stays with the parent


def test_spawned_child_receives_a_ring_and_a_view(seg_name, seg_names):
    ring = SM.create(seg_name, velmora.SpscRingBuffer.segment_size(4096)).spsc()
    view = SM.create(seg_names(1)[0], 68).map()
    view.write(b"view", 0)
    ctx = multiprocessing.get_context("spawn")
    ours, theirs = ctx.Pipe()
    proc = ctx.Process(target=_child, args=(ring, view, theirs))
    proc.start()
    ring.put(b"hello")
    assert ours.poll(60) and ours.recv() == (b"hello", b"view")
    proc.join(10)
    assert proc.exitcode == 0
    assert view.read_range(0, 4) == b"rply"
