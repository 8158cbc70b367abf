"""The error texts that are part of the interface, word for word: the
"{Class} is closed" the guide quotes, the README's role texts, the argument
errors of the original classes and the form of a system failure. Every other
failure is branched on by its `reason`, and its text may be reworded."""
import multiprocessing as mp

import pytest

import velmora

SM = velmora.SharedMemory
MPSC = velmora.MpscRingBuffer
CTX = mp.get_context("fork")
DEADLINE_S = 60


def _closed(make, name, call):
    obj = make(name)
    obj.close()
    with pytest.raises(ValueError) as excinfo:
        call(obj)
    return excinfo.value


@pytest.mark.parametrize("cls, make, call", [
    ("SharedMemory", lambda n: SM.create(n, 64), lambda o: o.map()),
    ("MappedView", lambda n: SM.create(n, 64).map(), lambda o: o.read_all()),
    ("SpscRingBuffer", lambda n: SM.create(n, velmora.SpscRingBuffer.segment_size(64)).spsc(), lambda o: o.pop()),
    ("MpscRingBuffer", lambda n: MPSC.create(n, 64, producers=2), lambda o: o.push(b"x")),
    ("Publisher", lambda n: velmora.Publisher.create(n, 64, 2), lambda o: o.publish(b"x")),
], ids=lambda v: v if isinstance(v, str) else "")
def test_a_closed_object_says_so_in_the_documented_words(seg_name, cls, make, call):
    exc = _closed(make, seg_name, call)
    assert str(exc) == f"{cls} is closed"
    assert exc.reason == "closed"


@pytest.mark.parametrize("call, text", [
    (lambda: SM.create("nope", 8), "name must start with '/' (e.g. \"/my_segment\")"),
    (lambda: SM.remove("/"), "name must have at least one character after '/'"),
    (lambda: SM.create("/x", 0), "size must be > 0"),
], ids=["no slash", "only slash", "zero size"])
def test_segment_argument_texts(call, text):
    with pytest.raises(ValueError) as excinfo:
        call()
    assert str(excinfo.value) == text


@pytest.mark.parametrize("opener", [
    lambda fd: SM.open(fd, 8), lambda fd: velmora.SpscRingBuffer.open(fd), lambda fd: velmora.MpscRingBuffer.open(fd),
    lambda fd: velmora.MpmcRingBuffer.open(fd), lambda fd: velmora.Subscriber.open(fd),
], ids=["SharedMemory", "SpscRingBuffer", "MpscRingBuffer", "MpmcRingBuffer", "Subscriber"])
def test_open_takes_no_descriptor_for_a_name(tmp_path, opener):
    """Only unpickling hands open() a descriptor; an int name is refused as it
    always was, even when it is the number of an open regular file."""
    with open(tmp_path / "f", "wb+") as f:
        f.truncate(4096)
        with pytest.raises(TypeError) as excinfo:
            opener(f.fileno())
    assert str(excinfo.value) == "argument 'name': 'int' object is not an instance of 'str'"


@pytest.mark.parametrize("size, call, text", [
    (4, lambda shm: shm.map(), "segment size must be > 4 bytes (rwlock header)"),
    (24, lambda shm: shm.spsc(), "map_size must be > 24 bytes (spsc header)"),
    (5, lambda shm: shm.map().write(b"ab", 0), "out of bounds: offset=0 + length=2 > data_size=1"),
    (88, lambda shm: shm.spsc().get(timeout=-1), "timeout must be a number of seconds >= 0, or None"),
    (64, lambda shm: setattr(shm.map(), "lock_timeout", -1), "lock_timeout must be a number of seconds >= 0, or None"),
], ids=["view size", "ring size", "out of bounds", "timeout", "lock_timeout"])
def test_view_and_ring_argument_texts(seg_name, size, call, text):
    shm = SM.create(seg_name, size)
    with pytest.raises(ValueError) as excinfo:
        call(shm)
    assert str(excinfo.value) == text
    assert excinfo.value.reason == "invalid_argument"


@pytest.mark.parametrize("call, text", [
    (lambda r: r.push(), "SpscRingBuffer.push() missing 1 required positional argument: 'data'"),
    (lambda r: r.pop(5), "argument 'tag': 'int' object is not an instance of 'str'"),
    (lambda r: r.pop("str", 1), "SpscRingBuffer.pop() takes from 0 to 1 positional arguments but 2 were given"),
    (lambda r: r.pop(tg="str"), "SpscRingBuffer.pop() got an unexpected keyword argument 'tg'"),
], ids=["missing", "wrong type", "too many", "unknown keyword"])
def test_binding_type_error_texts(seg_name, call, text):
    ring = SM.create(seg_name, velmora.SpscRingBuffer.segment_size(64)).spsc()
    with pytest.raises(TypeError) as excinfo:
        call(ring)
    assert str(excinfo.value) == text


def test_a_system_failure_reads_call_name_text_and_number(seg_name):
    with pytest.raises(FileNotFoundError) as excinfo:
        SM.remove(seg_name)
    assert str(excinfo.value) == f"shm_unlink('{seg_name}'): No such file or directory (errno 2)"
    assert excinfo.value.errno == 2


def test_every_producer_slot_taken_reads_as_the_readme_says(seg_name):
    first = MPSC.create(seg_name, 64, producers=1)
    second = MPSC.open(seg_name)
    assert first.push(b"takes the only slot")
    with pytest.raises(BlockingIOError) as excinfo:
        second.push(b"x")
    assert str(excinfo.value) == f"all 1 producer slots of '{seg_name}' are taken"
    assert excinfo.value.reason == "busy"


def _hold_producer(name, ready, done):
    ring = SM.open(name).spsc()
    ring.push(b"x")
    ready.set()
    done.wait(DEADLINE_S)


def test_a_role_held_by_another_process_reads_as_the_readme_says(seg_name):
    made = SM.create(seg_name, velmora.SpscRingBuffer.segment_size(64))
    made.spsc().close()  # the creator writes the ring's header
    ready, done = CTX.Event(), CTX.Event()
    p = CTX.Process(target=_hold_producer, args=(seg_name, ready, done))
    p.start()
    try:
        assert ready.wait(DEADLINE_S)
        ring = SM.open(seg_name).spsc()
        with pytest.raises(BlockingIOError) as excinfo:
            ring.push(b"y")
        assert str(excinfo.value) == f"ring '{seg_name}' already has a producer (pid {p.pid})"
        assert excinfo.value.reason == "busy"
    finally:
        done.set()
        p.join(DEADLINE_S)
