"""ravu.mem_array.mem_array: element-type codes, once-only, attached and
pooled shared arrays.  Every test checks /dev/shm afterwards: a segment it
created and left fails it."""
import collections.abc
import gc
import os
import pathlib
import pickle
import queue
import subprocess
import sys
import textwrap
import threading

import numpy as np
import pytest

from ravu.mem_array import mem_array as M

ROOT = pathlib.Path(__file__).resolve().parents[1]
SHM = pathlib.Path("/dev/shm")
OURS = ("psm_", "rvsm_")  # names the standard and the fallback class choose


def segments():
    return {p.name for p in SHM.iterdir() if p.name.startswith(OURS)}


def drain_pools():
    """Closes and unlinks every free pooled segment and forgets the pools;
    a segment still lent is not found here and shows up as a leak."""
    for pool in list(M.MemArrayOncePool._pool_dict.values()):
        while not pool.pool.empty():
            pool.pool.get_nowait().release()
    M.MemArrayOncePool._pool_dict.clear()


@pytest.fixture(autouse=True)
def no_leaks():
    """Fails a test that leaves behind a segment this process created.  The
    standard segment class registers every segment it creates with the
    resource tracker; recording those names (rather than diffing /dev/shm)
    keeps other processes' segments out of the check."""
    from multiprocessing import resource_tracker

    made, real = [], resource_tracker.register

    def register(name, rtype):
        if rtype == "shared_memory":
            made.append(name.lstrip("/"))
        return real(name, rtype)

    mp = pytest.MonkeyPatch()
    mp.setattr(resource_tracker, "register", register)
    try:
        yield made
        drain_pools()
    finally:
        mp.undo()
    left = [name for name in made if (SHM / name).exists()]
    for name in left:  # leave the machine clean, then fail
        M._posixshmem.shm_unlink("/" + name)
    assert not left, "segments left behind: %s" % left


def open_fds():
    return len(os.listdir("/proc/self/fd"))


def run_child(code, *args):
    env = dict(os.environ, PYTHONPATH=str(ROOT))
    res = subprocess.run([sys.executable, "-c", textwrap.dedent(code), *args], env=env,
                         capture_output=True, text=True, timeout=60)
    assert res.returncode == 0, res.stderr
    return res.stdout


# ---------------------------------------------------------------- module and tables

def test_module_bindings():
    import _posixshmem
    from multiprocessing import shared_memory

    assert M.__all__ == ["new_mem_array", "load_mem_array", "make_mem_array"]
    assert M.SegmentLedger is shared_memory.SharedMemory
    assert M._posixshmem is _posixshmem
    assert M.np is np
    import queue
    assert M.Queue is queue.Queue and M.threading is threading
    assert isinstance(M.MemArrayOncePool._pool_dict, dict)
    assert type(M.MemArrayOncePool._pool_mutex) is type(threading.Lock())
    for cls in (M.MemArrayOnce, M.MemArrayRead, M.MemArrayReuse):
        assert cls.__bases__ == (M.MemArray,)


def test_tables():
    rows = [(101, bool), (108, np.uint8), (208, np.int8), (116, np.uint16), (216, np.int16),
            (316, np.float16), (132, np.uint32), (232, np.int32), (332, np.float32),
            (164, np.uint64), (264, np.int64), (364, np.float64)]
    assert list(M.TYPE_DICT_n2t.items()) == rows
    assert list(M.TYPE_DICT_t2n.items()) == [(t.__name__, c) for c, t in rows[1:]]


@pytest.mark.parametrize("t, code, dtype, size", [
    (108, 108, np.uint8, 1),
    (101, 101, bool, 0),
    (364, 364, np.float64, 8),
    ("float32", 332, np.float32, 4),
    ("int8", 208, np.int8, 1),
    (np.dtype("int16"), 216, "int16", 2),
    (np.dtype(">u2"), 116, "uint16", 2),  # byte order is not part of the code
    (np.uint64, 164, "uint64", 8),
    (np.float16, 316, "float16", 2),
])
def test_matype(t, code, dtype, size):
    m = M.MAType(t)
    assert (m.code, m.dtype, m.size) == (code, dtype, size)
    assert type(m.code) is int and type(m.size) is int


@pytest.mark.parametrize("t, key", [
    ("bool", "bool"), (bool, "bool"), (np.dtype(bool), "bool"), (np.bool_, "bool_"),
    ("u1", "u1"), (float, "float"), (True, True), (7, 7), (np.dtype("S3"), "bytes24"),
])
def test_matype_unknown_key(t, key):
    with pytest.raises(KeyError) as e:
        M.MAType(t)
    assert e.value.args == (key,)


@pytest.mark.parametrize("t", [None, np.uint8(3), 1.5])
def test_matype_without_name(t):
    with pytest.raises(AttributeError):
        M.MAType(t)


@pytest.mark.parametrize("shape, dtype, key", [
    ((480, 640, 3), np.uint8, "108-480-640-3"),
    ((480, 640, 3), "uint8", "108-480-640-3"),
    ([480, 640, 3], np.dtype("uint8"), "108-480-640-3"),
    ([480, 640, 3], 108, "108-480-640-3"),
    ([2, 3], "float64", "364-2-3"),
    ((2, 3), np.dtype("float64"), "364-2-3"),
    ((), np.uint8, "108-"),
    ((np.int64(7), np.uint16(2)), "int32", "232-7-2"),
    (iter([4, 5]), "int8", "208-4-5"),
])
def test_pool_key(shape, dtype, key):
    assert M.MemArray.Name(shape, dtype) == key


@pytest.mark.parametrize("shape", [
    (-1, 0),
    (2**63 - 1, 1),
    (2**70, 3),  # beyond a C integer
    (True, 2),  # an int that prints otherwise
    tuple(range(1, 12)),  # many dimensions
    [7, np.int32(-3)],
])
def test_pool_key_is_the_plain_rule_on_every_call(shape):
    expected = "108-" + "-".join(map(str, shape))
    for _ in range(3):  # later calls may be served from the keys made before
        assert M.MemArray.Name(shape, "uint8") == expected
    assert M.MemArray.Name(shape, "int8") == "2" + expected[1:]


def test_pool_key_follows_its_inputs(monkeypatch):
    shape = [2, 3]
    assert M.MemArray.Name(shape, "uint8") == "108-2-3"
    shape[0] = 4  # a list may change between calls
    assert M.MemArray.Name(shape, "uint8") == "108-4-3"
    assert M.MemArray.Name((2,), np.uint8) == "108-2"
    monkeypatch.setitem(M.TYPE_DICT_t2n, "uint8", 116)  # the tables are plain dicts
    assert M.MemArray.Name((2,), np.uint8) == "116-2"
    monkeypatch.undo()
    assert M.MemArray.Name((2,), np.uint8) == "108-2"


def test_pool_key_survives_code_run_by_an_evicted_key():
    # A dtype's metadata may hold anything; when the last reference to it
    # goes, that code may ask for more keys than the process keeps at hand.
    out = run_child("""
        import numpy as np
        from ravu.mem_array.mem_array import MemArray

        class Hook:
            def __del__(self):
                for i in range(8):
                    MemArray.Name((i + 100, 7), "uint8")

        d = np.dtype("uint8", metadata={"hook": Hook()})
        shape = tuple([1, 2])
        assert MemArray.Name(shape, d) == "108-1-2"
        del d, shape
        for i in range(8):
            MemArray.Name((i, 3), "int8")
        print(all(MemArray.Name((i, 5), np.uint16) == "116-%d-5" % i for i in range(20)))
    """)
    assert out.strip() == "True"


def test_pool_key_errors():
    with pytest.raises(TypeError):
        M.MemArray.Name(5, "uint8")
    with pytest.raises(KeyError):  # the element type is looked up first
        M.MemArray.Name(5, "u1")
    with pytest.raises(AttributeError):
        M.MemArray().name
    with pytest.raises(TypeError):
        M.MemArrayOnce(5, np.uint8)


# ---------------------------------------------------------------- once-only arrays

@pytest.mark.parametrize("shape, dtype, nbytes", [
    ((480, 640, 3), np.uint8, 480 * 640 * 3),
    ([3, 5], "float32", 60),
    ((), np.float64, 8),
    ((2, 2), np.dtype("uint16"), 8),
])
def test_once_only_segment(shape, dtype, nbytes):
    with M.MemArrayOnce(shape, dtype) as a:
        assert a.shm.size == nbytes == os.stat(SHM / a.uuid).st_size
        assert a.uuid == a.shm.name and a.uuid in segments()
        assert a.data.shape == tuple(shape) and a.data.flags.c_contiguous
        assert a.data.flags.writeable and a.ndarray is a.data
        assert a.info() == {"uuid": a.uuid, "shape": shape, "dtype": dtype}
        assert a.info()["shape"] is shape and a.info()["dtype"] is dtype
        assert a.info() is not a.info()
        assert list(a.info()) == ["uuid", "shape", "dtype"]
        uuid = a.uuid
    assert uuid not in segments()
    assert (a.uuid, a.shape, a.dtype, a.shm, a.data) == (None,) * 5


def test_once_only_zero_bytes_is_the_segment_class_refusal():
    for shape, dtype in [((0, 3), np.uint8), ((4,), 101)]:
        with pytest.raises(ValueError):
            M.MemArrayOnce(shape, dtype)


def test_view_failure_unlinks_the_new_segment(monkeypatch):
    made = []

    class Recording(M.SegmentLedger):
        def __init__(self, **kw):
            super().__init__(**kw)
            made.append(self.name)

    monkeypatch.setattr(M, "SegmentLedger", Recording)  # looked up at call time
    with pytest.raises(TypeError, match="Cannot interpret '332'"):
        M.MemArrayOnce((2, 3), 332)  # a bare code: the table accepts, numpy does not
    assert len(made) == 1 and made[0] not in segments()


def test_segment_class_error_propagates(monkeypatch):
    def refuse(**kw):
        raise OSError(28, "No space left on device")

    monkeypatch.setattr(M, "SegmentLedger", refuse)
    with pytest.raises(OSError, match="No space"):
        M.new_mem_array((3,), np.uint8)


def test_release_twice_and_info_after():
    a = M.new_mem_array([2, 2], np.int32)
    assert type(a) is M.MemArrayOnce
    a.release()
    a.release()
    assert a.info() == {"uuid": None, "shape": None, "dtype": None}
    assert a.ndarray is None
    with pytest.raises(AttributeError):
        a.name


def test_release_error_leaves_the_object_live():
    a = M.new_mem_array((4,), np.uint8)
    shm = a.shm

    class Stuck:
        def close(self):
            raise RuntimeError("busy")

    a.shm = Stuck()
    with pytest.raises(RuntimeError):
        a.release()
    assert a.uuid is not None and a.data is not None
    a.shm = shm
    a.release()
    assert a.uuid is None


def test_with_block_releases_on_error():
    with pytest.raises(ZeroDivisionError):
        with M.new_mem_array((8,), np.uint8) as a:
            uuid = a.uuid
            1 / 0
    assert a.uuid is None and uuid not in segments()


def test_bare_memarray():
    m = M.MemArray()
    assert vars(m) == dict.fromkeys(["uuid", "shape", "dtype", "shm", "data"])
    assert m.__enter__() is m
    assert m.__exit__(None, None, None) is None
    assert m.release() is None
    with pytest.raises(TypeError, match=r"takes 1 positional argument but 2 were given"):
        M.MemArray(1)


def test_subclass_hooks_are_looked_up():
    calls = []

    class Tracked(M.MemArrayOnce):
        def _release(self):
            calls.append(self.uuid)
            super()._release()

    with Tracked((3,), "uint8") as t:
        uuid = t.uuid
        assert t.name == "108-3"
    assert calls == [uuid] and uuid not in segments()


# ---------------------------------------------------------------- attaching

def test_attach_shares_the_elements():
    with M.new_mem_array((3, 4), np.float32) as a:
        a.data[:] = 1.5
        r = M.load_mem_array(a.info())
        assert type(r) is M.MemArrayRead
        assert r.info() == a.info() and r.shm.name == a.uuid
        np.testing.assert_array_equal(r.data, a.data)
        r.data[1, 2] = -7
        assert a.data[1, 2] == -7
        r.release()
        assert r.uuid is None and a.uuid in segments()  # the reader removed nothing


def test_attach_view_matches_numpy():
    with M.new_mem_array((6, 5), np.uint16) as a:
        for shape, dtype in [([6, 5], "uint16"), ((30,), np.uint8), ((), "<f8"), ((2, 3), ">i4")]:
            with M.MemArrayRead(a.uuid, shape, dtype) as r:
                ref = np.ndarray(shape, dtype=dtype, buffer=r.shm.buf)
                assert r.data.dtype == ref.dtype and r.data.shape == ref.shape
                assert r.data.strides == ref.strides and r.data.flags == ref.flags
                assert type(r.data.base) is type(ref.base)
                assert r.data.ctypes.data == ref.ctypes.data
                del ref


def test_attach_after_creator_release():
    a = M.make_mem_array(np.arange(5, dtype=np.int64))
    info = a.info()
    r = M.load_mem_array(info)
    a.release()
    with pytest.raises(FileNotFoundError):
        M.load_mem_array(info)
    r.data[0] = 42  # the earlier attachment keeps its mapping
    assert list(r.data) == [42, 1, 2, 3, 4]
    r.release()


def test_load_mem_array_arguments():
    with pytest.raises(KeyError, match="uuid"):
        M.load_mem_array({"shape": (1,), "dtype": "uint8"})
    with pytest.raises(KeyError, match="shape"):
        M.load_mem_array({"uuid": "x", "dtype": "uint8"})
    with pytest.raises(KeyError, match="dtype"):
        M.load_mem_array({"uuid": "x", "shape": (1,)})
    with pytest.raises(TypeError, match="positional-only"):
        M.load_mem_array(info={})

    class Descriptor(collections.abc.Mapping):
        def __init__(self, d):
            self.d, self.read = d, []

        def __getitem__(self, k):
            self.read.append(k)
            return self.d[k]

        def __iter__(self):
            return iter(self.d)

        def __len__(self):
            return len(self.d)

    with M.new_mem_array((2,), np.uint8) as a:
        desc = Descriptor(a.info())
        with M.load_mem_array(desc) as r:
            assert r.uuid == a.uuid
        assert desc.read == ["uuid", "shape", "dtype"]


def test_shared_memory_reader():
    with M.new_mem_array((10,), np.uint8) as a:
        s = M.SharedMemory(a.uuid)
        assert s.name == a.uuid and s._name == "/" + a.uuid
        assert s.size == 10 and len(s.buf) == 10 and s._fd >= 0
        assert isinstance(s.buf, memoryview) and not s.buf.readonly
        s.buf[3] = 9
        assert a.data[3] == 9
        assert s.close() is None
        assert s.buf is None and s._mmap is None and s._fd == -1
        s.close()
        assert s.name == a.uuid


def test_dropped_reader_gives_back_its_descriptor():
    with M.new_mem_array((10,), np.uint8) as a:
        fds = open_fds()
        for _ in range(20):
            M.SharedMemory(a.uuid)  # dropped unclosed
        assert open_fds() == fds


def test_shared_memory_reader_errors():
    with pytest.raises(TypeError, match="concatenate"):
        M.SharedMemory(5)
    with pytest.raises(FileNotFoundError) as e:
        M.SharedMemory("ravu_test_no_such_segment")
    assert e.value.filename == "/ravu_test_no_such_segment"
    with pytest.raises(ValueError, match="null"):
        M.SharedMemory("a\0b")


def test_close_refuses_while_the_view_is_exported():
    with M.new_mem_array((4,), np.uint8) as a:
        s = M.SharedMemory(a.uuid)
        held = np.frombuffer(s.buf, dtype=np.uint8)  # holds a buffer of the view
        with pytest.raises(BufferError):
            s.close()
        del held
        s.close()
        assert s.buf is None


def test_larger_segment_is_fine_smaller_is_refused():
    with M.new_mem_array((100,), np.uint8) as a:
        with M.MemArrayRead(a.uuid, (10,), np.uint8) as r:
            assert r.shm.size == 100 and r.data.shape == (10,)
        fds = open_fds()
        with pytest.raises(TypeError, match="buffer is too small"):
            M.MemArrayRead(a.uuid, (101,), np.uint8)
        with pytest.raises(TypeError, match="Cannot interpret"):
            M.MemArrayRead(a.uuid, (10,), 332)
        assert open_fds() == fds  # the failed attaches closed what they opened


@pytest.mark.parametrize("shape, dtype", [
    ((4,), object), ([4], "O"), ((2,), [("a", "u8"), ("b", "O")]), (4, object),
])
def test_attach_refuses_object_elements(shape, dtype):
    # Raw bytes from another process are no object pointers.
    with M.new_mem_array((4,), np.uint64) as a:
        a.data[:] = 0x41414141
        fds = open_fds()
        with pytest.raises(TypeError, match="OBJECT"):
            M.load_mem_array({"uuid": a.uuid, "shape": shape, "dtype": dtype})
        assert open_fds() == fds


def test_empty_segment_attach_closes_its_descriptor():
    import _posixshmem

    name = "psm_ravu_test_empty_%d" % os.getpid()
    os.close(_posixshmem.shm_open("/" + name, os.O_CREAT | os.O_EXCL | os.O_RDWR, mode=0o600))
    try:
        fds = open_fds()
        with pytest.raises(ValueError, match="empty"):
            M.SharedMemory(name)
        assert open_fds() == fds
    finally:
        _posixshmem.shm_unlink("/" + name)


def test_reader_uses_the_bound_posixshmem(monkeypatch):
    real, calls = M._posixshmem, []

    class Spy:
        @staticmethod
        def shm_open(path, flags, mode=0o777):
            calls.append((path, flags, mode))
            return real.shm_open(path, flags, mode=mode)

    with M.new_mem_array((4,), np.uint8) as a:
        monkeypatch.setattr(M, "_posixshmem", Spy)  # looked up at call time
        with M.load_mem_array(a.info()) as r:
            r.data[0] = 1
        assert calls == [("/" + a.uuid, os.O_RDWR, 0o600)]


def test_reader_process_exit_keeps_the_segment():
    a = M.make_mem_array(np.zeros((4, 4), dtype=np.int32))
    child = """
        import sys
        from ravu.mem_array.mem_array import load_mem_array
        r = load_mem_array({"uuid": sys.argv[1], "shape": [4, 4], "dtype": "int32"})
        print(int(r.data.sum()))
        r.data[:] = 3
        # exits without release: the process' end must not remove the segment
    """
    try:
        a.data[0, 0] = 5
        assert run_child(child, a.uuid).strip() == "5"
        assert a.uuid in segments()
        assert int(a.data.sum()) == 48
        with M.load_mem_array(a.info()) as r:  # still reachable by its descriptor
            assert int(r.data.sum()) == 48
        assert run_child(child, a.uuid).strip() == "48"
    finally:
        a.release()


def test_child_creates_parent_attaches():
    # Two-way talk with a live child: it creates, we attach and write, it sees.
    env = dict(os.environ, PYTHONPATH=str(ROOT))
    code = textwrap.dedent("""
        import numpy as np
        from ravu.mem_array.mem_array import make_mem_array
        a = make_mem_array(np.arange(6, dtype=np.uint8))
        print(a.uuid, flush=True)
        input()
        print(list(a.data), flush=True)
        a.release()
    """)
    with subprocess.Popen([sys.executable, "-c", code], env=env, stdin=subprocess.PIPE,
                          stdout=subprocess.PIPE, text=True) as p:  # closes the pipes
        try:
            uuid = p.stdout.readline().strip()
            with M.load_mem_array({"uuid": uuid, "shape": (6,), "dtype": np.uint8}) as r:
                assert list(r.data) == [0, 1, 2, 3, 4, 5]
                r.data[::2] = 9
            p.stdin.write("\n")
            p.stdin.flush()
            assert p.stdout.readline().strip() == "[9, 1, 9, 3, 9, 5]"
            assert p.wait(timeout=30) == 0
        finally:
            if p.poll() is None:
                p.kill()
                p.wait()
    assert uuid not in segments()


# ---------------------------------------------------------------- reference pages

SIGNATURES = [
    (M.new_mem_array, "(shape, dtype, max_pool_size=0)"),
    (M.make_mem_array, "(array, max_pool_size=0)"),
    (M.load_mem_array, "(info, /)"),
    (M.SharedMemory, "(name)"),
    (M.SharedMemory.close, "(self, /)"),
    (M.MAType, "(t)"),
    (M.MemArray, "()"),
    (M.MemArray.info, "(self, /)"),
    (M.MemArray.Name, "(shape, dtype)"),
    (M.MemArray.release, "(self, /)"),
    (M.MemArray.__exit__, "(self, /, exc_type, exc_val, exc_tb)"),
    (M.MemArrayOnce, "(shape, dtype)"),
    (M.MemArrayRead, "(uuid, shape, dtype)"),
    (M.MemArrayReuse, "(shape, dtype, max_pool_size)"),
    (M.MemArrayOncePool, "(shape, dtype, max_pool_size)"),
    (M.MemArrayOncePool.get, "(self, /)"),
    (M.MemArrayOncePool.push_back, "(self, /, ma)"),
    (M.MemArrayOncePool.get_pool, "(shape, dtype, max_pool_size)"),
]


@pytest.mark.parametrize("obj, text", SIGNATURES, ids=[t[0].__qualname__ for t in SIGNATURES])
def test_public_callables_show_their_signature_and_a_docstring(obj, text):
    import inspect

    assert str(inspect.signature(obj)) == text
    assert obj.__doc__ and len(obj.__doc__.strip()) > 20


def test_signature_errors_are_those_of_a_def():
    with pytest.raises(TypeError, match=r"new_mem_array\(\) missing 1 required positional "
                                        r"argument: 'dtype'"):
        M.new_mem_array((3,))
    with pytest.raises(TypeError, match=r"MemArrayOncePool.get\(\) takes 1 positional "
                                        r"argument but 2 were given"):
        M.MemArrayOncePool((3,), np.uint8, 1).get(1)
    with pytest.raises(TypeError, match=r"MemArrayRead.__init__\(\) got an unexpected "
                                        r"keyword argument 'size'"):
        M.MemArrayRead("x", (3,), np.uint8, size=3)


# ---------------------------------------------------------------- views after release

# Each case leaves `views` (arrays taken from `data`, and slices of them)
# alive after the objects were released; `uuid` names the segment.  The
# creator's pages are the segment class's own mapping, so when arrays
# outlive its release the segment's close() (its descriptors and mapping)
# waits for the last of them; a reader's descriptor closes at its release.
CREATOR_VIEWS = {"creator", "with block"}
VIEW_CASES = {
    "creator": """
        a = M.make_mem_array(np.ones(1000))
        uuid, views = a.uuid, [a.data, a.ndarray[10:20]]
        a.release()
    """,
    "with block": """
        with M.make_mem_array(np.ones(1000)) as a:
            uuid, views = a.uuid, [a.data[::2]]
    """,
    "reader": """
        a = M.make_mem_array(np.ones(1000))
        r = M.load_mem_array(a.info())
        uuid, views = a.uuid, [r.data, r.data[-5:]]
        r.release()
        a.release()
    """,
    "reader's own SharedMemory": """
        a = M.make_mem_array(np.ones(1000))
        r = M.MemArrayRead(a.uuid, (1000,), np.float64)
        uuid, views = a.uuid, [r.data]
        r.shm.close()
        a.release()
        r.release()
    """,
}


@pytest.mark.parametrize("case", sorted(VIEW_CASES))
def test_arrays_taken_from_data_outlive_the_release(case):
    # In a child: an array over unmapped memory would kill the interpreter.
    code = textwrap.dedent("""
        import gc
        import os
        import numpy as np
        from ravu.mem_array import mem_array as M

        def mapped(uuid):
            with open("/proc/self/maps") as f:
                return uuid in f.read()

        M.make_mem_array(np.ones(1)).release()  # the resource tracker's pipe, once
        fds = len(os.listdir("/proc/self/fd"))
    """) + textwrap.dedent(VIEW_CASES[case]) + textwrap.dedent("""
        # The release did all else at once: object emptied, name removed,
        # descriptors closed (the creator's with its pages).
        assert a.uuid is None and a.shm is None and a.info()["uuid"] is None
        assert not os.path.exists("/dev/shm/" + uuid)
        assert (len(os.listdir("/proc/self/fd")) == fds) == FDS_AT_RELEASE
        assert mapped(uuid)
        assert [float(v.sum()) for v in views] == [v.size for v in views]
        views[-1][:] = 2  # still writable
        assert float(views[-1].sum()) == 2 * views[-1].size
        views.pop(0)
        gc.collect()
        assert mapped(uuid) == bool(views)
        views.clear()
        gc.collect()
        assert not mapped(uuid)  # the mapping went with the last view
        assert len(os.listdir("/proc/self/fd")) == fds
        print("ok")
    """).replace("FDS_AT_RELEASE", str(case not in CREATOR_VIEWS))
    assert run_child(code).strip() == "ok"


# A child that maps a once-only array, runs `steps` and reports how often
# the segment is mapped at each "mark" and whether its name still exists.
SINGLE_MAPPING = textwrap.dedent("""
    import gc
    import os
    import numpy as np
    from ravu.mem_array import mem_array as M

    def mark():
        gc.collect()
        with open("/proc/self/maps") as f:
            print(f.read().count(uuid), os.path.exists("/dev/shm/" + uuid))

    a = M.new_mem_array((3, 4096), np.uint8)
    uuid = a.uuid
    a.data[:] = 5
""")

# (what the child does after creating `a`, the marks it prints)
SINGLE_MAPPING_CASES = {
    # the pages are mapped once, by the segment class, and go at release
    "released": ("mark(); a.release(); mark()", ["1 True", "0 False"]),
    # an array outliving the release keeps them until it goes
    "outlived": ("v = a.data[1]; a.release(); mark(); assert v.sum() == 5 * 4096; "
                 "v[:] = 6; del v; mark()", ["1 False", "0 False"]),
    # an object dropped unreleased keeps its name; its arrays keep the pages
    "dropped": ("v = a.ndarray[2:]; del a; mark(); assert v.sum() == 5 * 4096; del v; "
                "mark(); M._posixshmem.shm_unlink('/' + uuid)", ["1 True", "0 True"]),
    # the segment's own close() refuses while arrays stand on its pages
    # (the standard class alone would unmap them under the arrays)
    "closed by hand": ("v = a.data[1]\ntry:\n    a.shm.close()\nexcept BufferError:\n"
                       "    print('refused')\nassert v.sum() == 5 * 4096\ndel v\n"
                       "a.release(); mark()", ["refused", "0 False"]),
    # the pooled segment's arrays stand on the same single mapping
    "pooled": ("p = M.new_mem_array((3, 4096), np.uint8, 1); v = p.data; p.release(); mark(); "
               "a.release(); mark(); del v", ["1 True", "0 False"]),
}


@pytest.mark.parametrize("case", sorted(SINGLE_MAPPING_CASES))
def test_once_only_pages_are_mapped_once(case):
    steps, marks = SINGLE_MAPPING_CASES[case]
    out = run_child(SINGLE_MAPPING + steps + "\nprint('end')\n")
    assert out.split("\n")[:-1] == marks + ["end"]


def test_release_with_outliving_arrays_when_the_unlink_fails(monkeypatch):
    # The unlink after the arrays' close was handed to them fails: the
    # object stays live with an array over the same pages, and a second
    # release, once the outliving array is gone, closes and unlinks.
    a = M.new_mem_array((8,), np.uint8)
    a.data[:] = 3
    kept = a.data[2:]
    unlink = type(a.shm).unlink
    monkeypatch.setattr(type(a.shm), "unlink", lambda self: 1 / 0)
    with pytest.raises(ZeroDivisionError):
        a.release()
    assert a.uuid is not None and list(a.data) == [3] * 8
    a.data[0] = 9
    monkeypatch.setattr(type(a.shm), "unlink", unlink)
    del kept
    uuid = a.uuid
    a.release()
    assert a.uuid is None and uuid not in segments()


@pytest.mark.parametrize("hold, buf_left", [
    # an export of the segment's buffer: its close() refuses at once
    (lambda shm: pickle.PickleBuffer(shm.buf), True),
    # a slice of it: the close releases the buffer, then the mapping refuses
    (lambda shm: shm.buf[:2], False),
], ids=["buffer export", "buffer slice"])
def test_release_when_the_close_fails_after_the_array_went(hold, buf_left):
    # The release raises the close's error and the object stays live; its
    # array views the pages again while the segment still has a buffer.
    a = M.new_mem_array((8,), np.uint8)
    a.data[:] = 4
    held = hold(a.shm)
    with pytest.raises(BufferError):
        a.release()
    assert a.uuid is not None and (a.shm.buf is not None) == buf_left
    if buf_left:
        assert list(a.data) == [4] * 8
    else:
        assert a.data is None
    del held
    gc.collect()
    a.release()
    assert a.uuid is None


def test_pooled_view_sees_the_next_borrower():
    first = M.new_mem_array((4,), np.uint8, 1)
    view = first.data
    first.release()
    with M.new_mem_array((4,), np.uint8, 1) as second:
        second.data[:] = 7
        assert list(view) == [7, 7, 7, 7]


# Shapes refused before the segment class is called: it fails on some of
# them only after creating the object.
BAD_SHAPES = [
    ((240 / 2, 320, 3), np.uint8, TypeError, "'float' object cannot be interpreted"),
    (("2", 3), np.uint8, TypeError, "'str' object cannot be interpreted"),
    ((2**63,), np.uint8, OverflowError, "too large"),
    ((2**62, 4), np.uint8, OverflowError, "too large"),
    ((2**61, 3), np.uint16, OverflowError, "too large"),
    ((2**70, 2**70), np.float64, OverflowError, "too large"),
    ((-1, 3), np.uint8, ValueError, "negative dimensions"),
    ([-2, -3], np.uint8, ValueError, "negative dimensions"),  # a positive product
    ((-2**70, 3), np.uint8, ValueError, "negative dimensions"),
]


@pytest.mark.parametrize("shape, dtype, exc, message", BAD_SHAPES)
def test_bad_shapes_are_refused_before_a_segment_exists(monkeypatch, shape, dtype, exc, message):
    calls = []
    real = M.SegmentLedger

    def spy(**kw):
        calls.append(kw)
        return real(**kw)

    before = segments()
    monkeypatch.setattr(M, "SegmentLedger", spy)
    for make in (lambda: M.new_mem_array(shape, dtype), lambda: M.MemArrayOnce(shape, dtype),
                 lambda: M.new_mem_array(shape, dtype, 2)):
        with pytest.raises(exc, match=message):
            make()
    assert calls == [] and segments() <= before
    assert M.MemArrayOncePool.get_pool(shape, dtype, 2).size == 0


def test_bad_shapes_leave_nothing_with_the_real_segment_class():
    before = segments()
    for shape, dtype, exc, _ in BAD_SHAPES:
        with pytest.raises(exc):
            M.new_mem_array(shape, dtype)
    assert segments() <= before


# ---------------------------------------------------------------- pools

@pytest.mark.parametrize("limit", [0, 0.0, False])
def test_zero_limit_is_once_only(limit):
    with M.new_mem_array((3,), np.uint8, limit) as a:
        assert type(a) is M.MemArrayOnce
    with M.make_mem_array(np.ones(3), max_pool_size=limit) as b:
        assert type(b) is M.MemArrayOnce
    assert M.MemArrayOncePool._pool_dict == {}


def test_pool_lends_refuses_and_takes_back():
    a = M.new_mem_array((2, 3), np.uint8, 2)
    b = M.new_mem_array((2, 3), "uint8", max_pool_size=2)
    c = M.new_mem_array([2, 3], np.dtype("uint8"), 2)
    assert type(a) is type(b) is type(c) is M.MemArrayReuse
    assert None not in (a.uuid, b.uuid) and a.uuid != b.uuid
    assert (c.uuid, c.data, c.shm, c.src_ma) == (None,) * 4
    assert c.shape == [2, 3] and c.dtype == np.dtype("uint8")
    assert c.info() == {"uuid": None, "shape": [2, 3], "dtype": np.dtype("uint8")}
    c.release()  # empty: pushes nothing
    pool = a.pool
    assert b.pool is pool is c.pool and pool.size == 2 and pool.is_empty()
    # A borrower sees the pool's first caller's shape and dtype, and the
    # lent array's own objects.
    assert b.dtype == np.uint8 and b.shape == (2, 3) and b.data is b.src_ma.data
    a.data[:] = 4
    ua, ub = a.uuid, b.uuid
    a.release()
    a.release()  # returns once
    b.release()
    assert pool.pool.qsize() == 2 and pool.size == 2 and not pool.is_empty()
    d = M.new_mem_array((2, 3), np.uint8, 2)
    e = M.new_mem_array((2, 3), np.uint8, 2)
    assert (d.uuid, e.uuid) == (ua, ub)  # first returned, first lent
    assert int(d.data.sum()) == 24  # a reused segment keeps its elements
    assert pool.size == 2
    d.release()
    e.release()
    assert ua in segments()  # pooled segments live as long as the process


def test_get_pool_first_caller_decides():
    p1 = M.MemArrayOncePool.get_pool((480, 640, 3), "uint8", 1)
    p2 = M.MemArrayOncePool.get_pool([480, 640, 3], np.uint8, 5)
    p3 = M.MemArrayOncePool.get_pool(shape=(480, 640, 3), dtype=np.dtype("uint8"),
                                     max_pool_size=3)
    assert p1 is p2 is p3 and p1.max_pool_size == 1
    assert p1.shape == (480, 640, 3) and p1.dtype == "uint8"
    assert p1.name() == "108-480-640-3" and p1.size == 0
    assert list(vars(p1)) == ["max_pool_size", "shape", "dtype", "pool", "size", "mutex"]
    assert M.MemArrayOncePool._pool_dict == {"108-480-640-3": p1}
    ma = p1.get()
    assert type(ma) is M.MemArrayOnce and p1.get() is None
    p1.push_back(ma)
    assert p1.get() is ma
    p1.push_back(ma)


def test_get_pool_works_on_its_class():
    class Mine(M.MemArrayOncePool):
        _pool_dict = {}

    p = Mine.get_pool((2,), "int8", 1)
    assert type(p) is Mine and Mine._pool_dict == {"208-2": p}
    assert M.MemArrayOncePool._pool_dict == {}
    with M.new_mem_array((2,), "int8", 1) as r:  # MemArrayReuse uses the base class
        assert type(r.pool) is M.MemArrayOncePool


def test_negative_limit_never_creates():
    for _ in range(2):
        r = M.new_mem_array((3,), np.int16, -1)
        assert r.uuid is None and r.pool.size == 0
    assert r.pool._add() is False


def test_incomparable_limit():
    with pytest.raises(TypeError):
        M.new_mem_array((3,), np.int16, "two")
    assert "216-3" in M.MemArrayOncePool._pool_dict
    with pytest.raises(TypeError):
        M.MemArrayReuse((3,), np.int16, 4)


def test_pool_creation_error_propagates(monkeypatch):
    def refuse(**kw):
        raise OSError(28, "No space left on device")

    monkeypatch.setattr(M, "SegmentLedger", refuse)
    for _ in range(2):
        with pytest.raises(OSError):
            M.new_mem_array((3,), np.uint8, 2)
    pool = M.MemArrayOncePool._pool_dict["108-3"]
    assert pool.size == 0 and not pool.mutex.locked()
    monkeypatch.undo()
    with M.new_mem_array((3,), np.uint8, 2) as r:
        assert r.uuid is not None and pool.size == 1


def test_pool_view_failure_leaves_no_segment():
    with pytest.raises(TypeError):
        M.new_mem_array((3,), 332, 2)
    assert M.MemArrayOncePool._pool_dict["332-3"].size == 0


class StepByStep(M.MemArrayReuse):
    """A subclass stores every field through the attribute protocol, one
    step after the other: the reference for what construction leaves."""


def describe(obj):
    """The instance dict in order, the pool and the lent array's own
    objects named rather than compared."""
    d = vars(obj)
    marks = {id(d["pool"]): "pool"} if "pool" in d else {}
    src = d.get("src_ma")
    if isinstance(src, M.MemArray):
        marks.update({id(getattr(src, k)): "src." + k for k in ("uuid", "shm", "data")})
        marks[id(src)] = "src"
    return [(k, marks.get(id(v), v)) for k, v in d.items()]


@pytest.mark.parametrize("case", ["borrowed", "exhausted", "unknown element type",
                                  "segment class refuses", "pool lends a non-array"])
def test_pooled_construction_leaves_the_fields_of_the_step_by_step_one(monkeypatch, case):
    shape, dtype = (3,), ("u1" if case == "unknown element type" else "uint8")

    def construct(how):
        drain_pools()
        held = None
        if case == "exhausted":
            held = M.new_mem_array(shape, dtype, 1)
        elif case == "pool lends a non-array":
            M.MemArrayOncePool.get_pool(shape, dtype, 1).push_back("token")
        elif case == "segment class refuses":
            monkeypatch.setattr(M, "SegmentLedger", lambda **kw: 1 / 0)
        obj, error = None, None
        try:
            if how == "new_mem_array":
                obj = M.new_mem_array(shape, dtype, 1)
            else:
                cls = StepByStep if how == "reference" else M.MemArrayReuse
                obj = cls.__new__(cls)  # kept whatever __init__ does
                obj.__init__(shape, dtype, 1)
        except Exception as e:
            error = type(e)
        monkeypatch.undo()
        seen = (describe(obj) if obj is not None else None), error
        if obj is not None and isinstance(vars(obj).get("src_ma"), M.MemArray):
            obj.release()
        if held is not None:
            held.release()
        return seen

    reference = construct("reference")
    assert construct("__init__") == reference
    fields, error = construct("new_mem_array")
    assert error is reference[1] and fields == (None if error else reference[0])
    if case == "borrowed":
        assert [k for k, _ in fields] == ["uuid", "shape", "dtype", "shm", "data",
                                          "max_pool_size", "pool", "src_ma"]


@pytest.mark.parametrize("make_queue, check", [
    # A queue of another class is used through its own methods: a LIFO
    # queue lends the array returned last.
    (queue.LifoQueue, "lifo"),
    # A bounded queue's put waits for room, and a take wakes it.
    (lambda: queue.Queue(maxsize=1), "bounded"),
])
def test_pool_queue_is_used_through_its_own_rules(make_queue, check):
    pool = M.MemArrayOncePool.get_pool((2,), "uint8", 0)  # creates nothing
    pool.pool = make_queue()
    if check == "lifo":
        pool.push_back("a")
        pool.push_back("b")
        assert (pool.get(), pool.get(), pool.get()) == ("b", "a", None)
    else:
        pool.push_back("a")
        t = threading.Thread(target=pool.push_back, args=("b",))
        t.start()
        while not pool.pool.not_full._waiters:
            threading.Event().wait(0.001)
        assert pool.get() == "a"
        t.join(10)
        assert not t.is_alive() and pool.get() == "b"
    assert pool.pool.unfinished_tasks == 2


def test_make_mem_array():
    src = np.arange(6, dtype=np.float32).reshape(2, 3)
    with M.make_mem_array(src) as a:
        assert a.info()["shape"] == [2, 3] and type(a.info()["shape"]) is list
        assert a.dtype is src.dtype
        np.testing.assert_array_equal(a.data, src)
        assert not np.shares_memory(a.data, src)
    with M.make_mem_array(src, 1) as b:
        assert type(b) is M.MemArrayReuse
        np.testing.assert_array_equal(b.data, src)
        with pytest.raises(TypeError, match="copyto"):
            M.make_mem_array(src, 1)  # pool exhausted
    with M.make_mem_array(src.T) as t:  # non-contiguous source: numpy's copy
        np.testing.assert_array_equal(t.data, src.T)
    swapped = src.astype(">f4")
    with M.make_mem_array(swapped, 1) as s:  # pool's native float32, source big-endian
        np.testing.assert_array_equal(s.data, src)


def test_make_mem_array_copy_failure_gives_the_segment_back():
    class NotAnArray:
        shape = (3,)
        dtype = np.dtype("uint8")

    with pytest.raises(TypeError):
        M.make_mem_array(NotAnArray())
    with pytest.raises(TypeError):
        M.make_mem_array(NotAnArray(), 1)
    assert M.MemArrayOncePool._pool_dict["108-3"].pool.qsize() == 1  # returned


def test_lookup_and_refusal_take_no_lock():
    first = M.new_mem_array((5,), np.uint8, 1)  # the pool exists and is exhausted
    pool = first.pool
    result = []

    def borrow():
        result.append(M.new_mem_array((5,), np.uint8, 1))

    with M.MemArrayOncePool._pool_mutex, pool.mutex:  # held: a lock taken would hang
        t = threading.Thread(target=borrow)
        t.start()
        t.join(5)
        finished = not t.is_alive()
    t.join()
    assert finished and result[0].uuid is None and result[0].pool is pool
    first.release()


def test_push_back_wakes_a_waiting_queue_reader():
    pool = M.MemArrayOncePool.get_pool((2,), "uint8", 1)
    got = []
    t = threading.Thread(target=lambda: got.append(pool.pool.get(timeout=10)))
    t.start()
    while not pool.pool.not_empty._waiters:
        threading.Event().wait(0.001)
    pool.push_back("token")
    t.join(10)
    assert got == ["token"] and pool.pool.unfinished_tasks == 1


def test_push_back_wakes_a_reader_of_a_bare_thread():
    # A thread started without the threading module is known to nobody
    # but the interpreter; its wait must be woken all the same.
    import _thread
    pool = M.MemArrayOncePool.get_pool((3,), "uint8", 1)
    got, done = [], threading.Event()

    def reader():
        got.append(pool.pool.get(timeout=10))
        done.set()

    _thread.start_new_thread(reader, ())
    while not pool.pool.not_empty._waiters:
        threading.Event().wait(0.001)
    pool.push_back("token")
    assert done.wait(10) and got == ["token"]


def test_threads_share_a_pool():
    limit, threads, rounds = 3, 8, 300
    lent, lock, errors = set(), threading.Lock(), []

    def work():
        try:
            for _ in range(rounds):
                r = M.new_mem_array((16,), np.uint8, limit)
                if r.uuid is None:
                    continue
                with lock:
                    assert r.uuid not in lent
                    lent.add(r.uuid)
                r.data[:] = 1
                with lock:
                    lent.discard(r.uuid)
                r.release()
        except Exception as e:  # reported below
            errors.append(e)

    ts = [threading.Thread(target=work) for _ in range(threads)]
    for t in ts:
        t.start()
    for t in ts:
        t.join()
    assert not errors
    pool = M.MemArrayOncePool._pool_dict["108-16"]
    assert 1 <= pool.size <= limit and pool.pool.qsize() == pool.size


# ---------------------------------------------------------------- fallback modules

def test_compat_segment_class():
    from ravu._compat import _posixshmem
    from ravu._compat.segment_ledger import SharedMemory

    s = SharedMemory(create=True, size=100)
    try:
        assert s.name.startswith("rvsm_") and s.size == 100 and len(s.buf) == 100
        assert os.stat(SHM / s.name).st_size == 100
        s.buf[:3] = b"abc"
        r = M.SharedMemory(s.name)
        assert bytes(r.buf[:3]) == b"abc"
        r.close()
        other = SharedMemory(s.name)
        assert bytes(other.buf[:3]) == b"abc"
        other.close()
        other.close()
    finally:
        s.close()
        s.unlink()
    assert s.name not in segments()
    with pytest.raises(ValueError):
        SharedMemory(create=True, size=0)
    with pytest.raises(FileNotFoundError) as e:
        _posixshmem.shm_open("/ravu_test_missing", os.O_RDWR, mode=0o600)
    assert e.value.filename == "/ravu_test_missing"
    with pytest.raises(OSError):
        _posixshmem.shm_open("/a/b", os.O_RDWR)


def test_fallback_when_standard_modules_are_missing():
    out = run_child("""
        import sys
        sys.modules["_posixshmem"] = None  # makes its import fail
        import numpy as np
        from ravu.mem_array import mem_array as M
        import ravu._compat, ravu._compat.segment_ledger as sl
        assert M._posixshmem is ravu._compat._posixshmem
        assert M.SegmentLedger is sl.SharedMemory
        a = M.make_mem_array(np.arange(4, dtype=np.int16))
        with M.load_mem_array(a.info()) as r:
            r.data[0] = 11
        print(a.uuid, list(a.data))
        p = M.new_mem_array((2,), "uint8", 1)
        names = [a.uuid, p.uuid]
        p.release()
        M.MemArrayOncePool._pool_dict["108-2"].pool.get().release()
        a.release()
        import os
        assert not [n for n in names if os.path.exists("/dev/shm/" + n)]
    """)
    uuid, values = out.split(" ", 1)
    assert uuid.startswith("rvsm_") and values.strip() == "[11, 1, 2, 3]"
