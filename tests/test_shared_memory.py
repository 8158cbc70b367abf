import errno
import os
import stat
import subprocess
import sys
import threading
import time

import pytest

import velmora
from conftest import Index, second_mapping_create, unique_name, view_lock_held

SM = velmora.SharedMemory
NAME_START = "name must start with '/' (e.g. \"/my_segment\")"
NAME_SHORT = "name must have at least one character after '/'"
NAME_DOTS = "name must not be \".\" or \"..\" after '/'"


class BadIndex:
    def __index__(self):
        try:
            raise KeyError("inner")
        except KeyError as exc:
            raise TypeError("index refused") from exc


# (call, exception type, exact message or None when only the type matters)
BINDING_CASES = [
    (lambda: SM.create(), TypeError,
     "SharedMemory.create() missing 2 required positional arguments: 'name' and 'size'"),
    (lambda: SM.create("/a"), TypeError, "SharedMemory.create() missing 1 required positional argument: 'size'"),
    (lambda: SM.create(size=3), TypeError, "SharedMemory.create() missing 1 required positional argument: 'name'"),
    (lambda: SM.create("/a", 1, 2), TypeError, "SharedMemory.create() takes 2 positional arguments but 3 were given"),
    (lambda: SM.open("/a", 1, 2), TypeError,
     "SharedMemory.open() takes from 1 to 2 positional arguments but 3 were given"),
    (lambda: SM.remove("/a", "/b"), TypeError, "SharedMemory.remove() takes 1 positional arguments but 2 were given"),
    (lambda: SM.open(), TypeError, "SharedMemory.open() missing 1 required positional argument: 'name'"),
    (lambda: SM.open("/a", name="/b"), TypeError, "SharedMemory.open() got multiple values for argument 'name'"),
    (lambda: SM.open("/a", bogus=1), TypeError, "SharedMemory.open() got an unexpected keyword argument 'bogus'"),
    (lambda: SM.remove(nom="/a"), TypeError, "SharedMemory.remove() got an unexpected keyword argument 'nom'"),
    (lambda: SM.create(name=1, size=10), TypeError, "argument 'name': 'int' object is not an instance of 'str'"),
    (lambda: SM.open(None), TypeError, "argument 'name': 'None' is not an instance of 'str'"),
    (lambda: SM.open(b"/a"), TypeError, "argument 'name': 'bytes' object is not an instance of 'str'"),
    (lambda: SM.create("/a", 1.5), TypeError,
     "argument 'size': 'float' object cannot be interpreted as an integer"),
    (lambda: SM.create("/a", "10"), TypeError, "argument 'size': 'str' object cannot be interpreted as an integer"),
    (lambda: SM.create(1, 1.5), TypeError, "argument 'name': 'int' object is not an instance of 'str'"),
    (lambda: SM.create("/a", -1), OverflowError, "can't convert negative int to unsigned"),
    (lambda: SM.create("/a", 2**64), OverflowError, None),
    (lambda: SM.create("/a", Index(-5)), OverflowError, None),
    (lambda: SM.create("/a\ud800", 8), UnicodeEncodeError, None),
    (lambda: SM.create("bad", 0), ValueError, "size must be > 0"),
    (lambda: SM.create("", 8), ValueError, NAME_START),
    (lambda: SM.create("abc", 8), ValueError, NAME_START),
    (lambda: SM.create("/", 8), ValueError, NAME_SHORT),
    (lambda: SM.open("demo"), ValueError, NAME_START),
    (lambda: SM.open("/"), ValueError, NAME_SHORT),
    (lambda: SM.remove("demo"), ValueError, NAME_START),
    (lambda: SM.remove(""), ValueError, NAME_START),
    *[(lambda call=call, name=name: call(name), ValueError, msg)
      for name, msg in [("/.", NAME_DOTS), ("/..", NAME_DOTS), ("//..", NAME_DOTS), ("//", NAME_SHORT)]
      for call in (lambda n: SM.create(n, 8), SM.open, SM.remove)],
    (lambda: SM.create("/a\0b", 8), ValueError, "nul byte found in provided data at position: 1"),
    (lambda: SM.create("///\0", 8), ValueError, "nul byte found in provided data at position: 0"),
    (lambda: SM.open("//ab\0", 8), ValueError, "nul byte found in provided data at position: 2"),
]


@pytest.mark.parametrize(("call", "exc_type", "message"), BINDING_CASES)
def test_argument_errors(call, exc_type, message):
    with pytest.raises(exc_type) as info:
        call()
    assert type(info.value) is exc_type
    if message is not None:
        assert str(info.value) == message
        assert info.value.args == (message,)


# The command line's reader of /dev/shm asks the extension's rule: a name the
# platform refuses is refused there too (it adds the leading '/' itself).
@pytest.mark.parametrize(("name", "message"), [
    ("/", NAME_SHORT), ("//..", NAME_DOTS), ("/.", NAME_DOTS),
    ("/a\0b", "nul byte found in provided data at position: 1"),
    ("//\0", "nul byte found in provided data at position: 0"),
])
def test_the_segment_reader_uses_the_platform_name_rule(name, message):
    from velmora import _segments, _velmora
    with pytest.raises(ValueError, match=f"^{message}$"):
        _velmora._check_name(name)
    with pytest.raises(ValueError, match=f"^{message}$"):
        SM.open(name, 8)
    with pytest.raises(_segments.SegmentError, match="^invalid segment name .*: expected /NAME$"):
        _segments.normalize(name)


def test_prefixed_type_error_keeps_cause():
    with pytest.raises(TypeError) as info:
        SM.create("/a", BadIndex())
    assert str(info.value) == "argument 'size': index refused"
    assert isinstance(info.value.__cause__, KeyError)


@pytest.mark.parametrize("size", [True, 1, Index(3), 4096, Index(4096)])
def test_size_conversions(seg_name, size):
    shm = SM.create(seg_name, size)
    assert shm.size() == int(size.__index__())


def test_keywords_and_str_subclass(seg_name):
    class Text(str):
        pass

    shm = SM.create(size=32, name=Text(seg_name))
    assert shm.name() == seg_name
    assert SM.open(size=None, name=seg_name).size() == 32
    assert SM.remove(name=seg_name) is None


def test_create_open_name_size_repr(seg_name):
    shm = SM.create(seg_name, 4096)
    assert (shm.name(), shm.size()) == (seg_name, 4096)
    assert repr(shm) == f"SharedMemory(name='{seg_name}', size=4096, role=creator)"
    other = SM.open(seg_name, 4096)
    assert repr(other) == f"SharedMemory(name='{seg_name}', size=4096, role=opener)"
    assert repr(SM.open(seg_name)) == repr(other)
    assert SM.open(seg_name, 100).size() == 100


@pytest.mark.parametrize("size", [256, 512, 1])
def test_create_refuses_an_existing_name_and_leaves_it_alone(seg_name, size):
    view = SM.create(seg_name, 256).map()
    view.write(b"precious", 0)
    with view_lock_held(seg_name):
        with pytest.raises(FileExistsError) as info:
            SM.create(seg_name, size)
        assert view.is_write_locked(), "a refused create reset a live lock word"
    exc = info.value
    assert exc.errno == errno.EEXIST and exc.args == (str(exc),)
    assert str(exc) == f"shm_open('{seg_name}'): File exists (errno 17)"
    assert view.read_range(0, 8) == b"precious" and SM.open(seg_name).size() == 256


def test_create_is_usable_by_its_owner_whatever_the_umask(seg_name):
    old = os.umask(0o277)
    try:
        SM.create(seg_name, 64)
    finally:
        os.umask(old)
    assert SM.open(seg_name).map().size() == 60


def test_a_squatted_name_is_refused_not_written(seg_name):
    squatter = second_mapping_create(seg_name, 4096)
    try:
        with pytest.raises(FileExistsError):
            SM.create(seg_name, 4096).map()
        assert bytes(squatter.buf[:8]) == bytes(8)
    finally:
        squatter.close()


def test_open_waits_briefly_for_a_creator_to_size_the_segment(seg_name):
    fd = os.open("/dev/shm" + seg_name, os.O_RDWR | os.O_CREAT | os.O_EXCL, 0o600)
    try:
        timer = threading.Timer(0.02, os.ftruncate, (fd, 4096))
        timer.start()
        assert SM.open(seg_name).size() == 4096
        timer.join()
        os.ftruncate(fd, 0)
        t0 = time.monotonic()
        with pytest.raises(ValueError) as info:
            SM.open(seg_name)
        assert 0.05 < time.monotonic() - t0 < 2
        assert str(info.value) == (f"segment '{seg_name}' has no size yet: "
                                   "its creator has not finished creating it")
    finally:
        os.close(fd)


def test_open_larger_than_segment(seg_name):
    SM.create(seg_name, 100)
    with pytest.raises(ValueError) as info:
        SM.open(seg_name, 101)
    assert str(info.value) == "size 101 exceeds the segment's size 100"


def test_open_missing_segment():
    name = unique_name("missing")
    with pytest.raises(OSError) as info:
        SM.open(name)
    exc = info.value
    assert type(exc) is FileNotFoundError and exc.errno == errno.ENOENT
    assert exc.strerror is None and exc.filename is None and exc.args == (str(exc),)
    assert str(exc) == f"shm_open('{name}'): No such file or directory (errno 2)"
    with pytest.raises(FileNotFoundError):
        SM.remove(name)


def test_remove(seg_name):
    SM.create(seg_name, 64)
    assert SM.remove(seg_name) is None
    with pytest.raises(FileNotFoundError, check=lambda e: e.reason == "not_found"):
        SM.remove(seg_name)
    with pytest.raises(OSError):
        SM.open(seg_name)


def test_leading_slashes_reach_the_same_segment(seg_name):
    SM.create(seg_name, 48)
    doubled = "//" + seg_name
    opened = SM.open(doubled)
    assert opened.size() == 48 and opened.name() == doubled


@pytest.mark.skipif(not os.path.isdir("/dev/shm"), reason="needs /dev/shm")
def test_segment_mode_is_private(seg_name):
    SM.create(seg_name, 64)
    mode = os.stat("/dev/shm" + seg_name).st_mode
    assert stat.S_IMODE(mode) == 0o600


def test_second_process_opens_by_name(seg_name):
    SM.create(seg_name, 12345)
    code = (
        "import sys, velmora\n"
        f"s = velmora.SharedMemory.open({seg_name!r})\n"
        "print(repr(s))\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60,
                         env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == f"SharedMemory(name='{seg_name}', size=12345, role=opener)"


def _resources():
    with open("/proc/self/maps") as maps:
        return len(os.listdir("/proc/self/fd")), sum(1 for _ in maps)


@pytest.mark.skipif(not os.path.isdir("/proc/self/fd"), reason="needs /proc")
def test_no_descriptor_or_mapping_leaks(seg_name, seg_names):
    ring_name, tmp_name, absent_name = seg_names(3)
    SM.create(seg_name, 4096)
    SM.create(ring_name, velmora.SpscRingBuffer.segment_size(4096))
    fds, maps = _resources()
    for _ in range(2000):
        shm = SM.create(tmp_name, 4096)
        SM.remove(tmp_name)
        view = SM.open(seg_name).map()
        ring = SM.open(ring_name).spsc()
        with pytest.raises(ValueError):
            shm.spsc()  # 4072 is no power of two: the refused mapping must go too
        del shm, view, ring
        with pytest.raises(OSError):
            SM.open(absent_name)
        with pytest.raises(FileExistsError):
            SM.create(seg_name, 1)
    after_fds, after_maps = _resources()
    # A leak would show thousands more; allow the interpreter a little slack.
    assert after_fds <= fds and after_maps <= maps + 8
