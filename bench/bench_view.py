"""Per-call cost of MappedView's locked typed access next to unlocked struct
and slicing on a multiprocessing.shared_memory buffer, in the same run."""
import os
import timeit
import uuid
from multiprocessing import shared_memory

import velmora

NUMBER = 300_000
REPEAT = 5


def per_call_ns(stmt, setup="pass", env=None):
    timer = timeit.Timer(stmt, setup=setup, globals=env)
    return min(timer.repeat(repeat=REPEAT, number=NUMBER)) / NUMBER * 1e9


def main():
    # read("i64") advances the cursor, so the area holds one i64 per call.
    area = NUMBER * 8
    name = f"/velmora-bench-{os.getpid()}-{uuid.uuid4().hex[:8]}"
    shm = velmora.SharedMemory.create(name, area + 4)
    std = shared_memory.SharedMemory(create=True, size=area + 4)
    try:
        view = shm.map()
        env = {"view": view, "buf": std.buf, "struct": __import__("struct")}
        rows = [
            ("write(int) at offset 0", per_call_ns("view.write(12345, 0)", env=env),
             "struct.pack_into('<q')", per_call_ns("struct.pack_into('<q', buf, 4, 12345)", env=env)),
            ("read('i64') at cursor", per_call_ns("view.read('i64')", "view.seek(0)", env),
             "struct.unpack_from('<q')", per_call_ns("struct.unpack_from('<q', buf, 4)", env=env)),
            ("read_range(0, 64)", per_call_ns("view.read_range(0, 64)", env=env),
             "bytes(buf[4:68])", per_call_ns("bytes(buf[4:68])", env=env)),
            ("write_mixed([1,[2.5,3.5],True])", per_call_ns("view.write_mixed([1, [2.5, 3.5], True], 0)", env=env),
             "struct.pack_into('<qdd?')", per_call_ns("struct.pack_into('<qdd?', buf, 4, 1, 2.5, 3.5, True)", env=env)),
            ("read_mixed(i64,f64*2,bool)", per_call_ns("view.read_mixed(schema, 0)",
                                                       "schema = [('i64', 1), ('f64', 2), ('bool', 1)]", env),
             "struct.unpack_from('<qdd?')", per_call_ns("struct.unpack_from('<qdd?', buf, 4)", env=env)),
        ]
        del env, view
        print(f"{NUMBER} calls, best of {REPEAT} (ns per call; struct/slicing take no lock)")
        for ours, ours_ns, theirs, theirs_ns in rows:
            print(f"  {ours:<34} {ours_ns:7.1f}    {theirs:<26} {theirs_ns:7.1f}")
    finally:
        velmora.SharedMemory.remove(name)
        std.close()
        std.unlink()


if __name__ == "__main__":
    main()
