"""Fast, byte-exact data exchange between processes through named shared memory.

The classes live in the compiled ``velmora._velmora``; this package re-exports
them under the names and in the order the extension gives, and adds the
pure-Python parts and the paths a C++ build needs.
"""

import os as _os

try:
    from . import _velmora
except ImportError as _error:
    # The source checkout's velmora/ has no compiled extension in it; run from
    # the checkout root, it shadows the installed package.
    if not any(n.startswith("_velmora.") for n in _os.listdir(_os.path.dirname(__file__))):
        raise ImportError(
            f"velmora's compiled extension is not in {_os.path.dirname(__file__)}: that is the source tree. "
            "Install velmora (make install, or pip install .) and run Python from outside the source tree."
        ) from None
    raise
from ._velmora import *  # noqa: F401,F403
from ._velmora import __version__  # noqa: F401
from ._queue import Queue
from .record import Record, TornRecordError
from . import objects as _objects

# put_object() / get_object() and publish_object() / receive_object().
_objects._install(_velmora)

__all__ = [*_velmora.__all__, "Queue", "Record", "TornRecordError"]
__doc__ = _velmora.__doc__


def get_include() -> str:
    """The folder that holds the C++ headers (``velmora/velmora.hpp``)."""
    return _os.path.join(_os.path.dirname(__file__), "include")


def get_cmake_dir() -> str:
    """The CMake package folder: pass it as ``-Dvelmora_DIR=...`` to ``find_package(velmora CONFIG)``."""
    return _os.path.join(_os.path.dirname(__file__), "lib", "cmake", "velmora")


def __getattr__(name: str):
    # velmora.aio imports asyncio: loaded on first use, not with the package.
    if name == "aio":
        import importlib

        return importlib.import_module(".aio", __name__)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
