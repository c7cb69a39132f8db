"""ravu.mem_array.mem_array against the same rules in plain Python.

    PYTHONPATH=. /usr/bin/python3 bench/bench_mem_array.py

Python side: multiprocessing.shared_memory with np.ndarray over `buf` for
creating, an attach through _posixshmem.shm_open, os.fstat, mmap and
memoryview for reading, and the pool over queue.Queue.  The attach cases
run in a second process, as a reader would.  Prints ns/op (best of a few
rounds) and the ratio Python / C++.

    PYTHONPATH=. /usr/bin/python3 bench/bench_mem_array.py --against DIR

The hot rows against their floors (bench/floors.cpp, and the standard
segment class alone for a once-only array), this tree beside the build in
DIR (see bench/_rows.py).
"""
import json
import mmap
import os
import queue
import subprocess
import sys
import threading
import time

import _posixshmem
import numpy as np
from multiprocessing.shared_memory import SharedMemory as Ledger

from ravu.mem_array import mem_array as M

import _bench_floors as floors
import _rows

SHAPE = (1080, 1920, 3)

# ---------------------------------------------------------------- the rules in Python

N2T = {101: bool, 108: np.uint8, 208: np.int8, 116: np.uint16, 216: np.int16,
       316: np.float16, 132: np.uint32, 232: np.int32, 332: np.float32, 164: np.uint64,
       264: np.int64, 364: np.float64}
T2N = {t.__name__: c for c, t in N2T.items() if c != 101}


class PyMAType:
    def __init__(self, t):
        if isinstance(t, int):
            self._code, self._dtype = t, N2T[t]
        elif isinstance(t, str):
            self._code = T2N[t]
            self._dtype = N2T[self._code]
        elif isinstance(t, np.dtype):
            self._dtype = t.name
            self._code = T2N[t.name]
        else:
            self._dtype = t.__name__
            self._code = T2N[self._dtype]
        self._size = self._code % 100 // 8

    @property
    def code(self):
        return self._code

    @property
    def size(self):
        return self._size


class PySharedMemory:
    def __init__(self, name):
        path = "/" + name
        self._fd = _posixshmem.shm_open(path, os.O_RDWR, mode=0o600)
        self._name = path
        size = os.fstat(self._fd).st_size
        self._mmap = mmap.mmap(self._fd, size)
        self._size = size
        self._buf = memoryview(self._mmap)

    @property
    def buf(self):
        return self._buf

    def close(self):
        if self._buf is not None:
            self._buf.release()
            self._buf = None
        if self._mmap is not None:
            self._mmap.close()
            self._mmap = None
        if self._fd >= 0:
            os.close(self._fd)
            self._fd = -1


class PyMemArray:
    def __init__(self):
        self.uuid = self.shape = self.dtype = self.shm = self.data = None

    @staticmethod
    def Name(shape, dtype):
        return str(PyMAType(dtype).code) + "-" + "-".join(str(d) for d in shape)

    def release(self):
        if self.uuid is None:
            return
        self._release()
        self.uuid = self.shape = self.dtype = self.shm = self.data = None

    def _release(self):
        pass


class PyOnce(PyMemArray):
    def __init__(self, shape, dtype):
        super().__init__()
        self.shape, self.dtype = shape, dtype
        n = PyMAType(dtype).size
        for d in shape:
            n *= d
        self.shm = Ledger(create=True, size=n)
        self.uuid = self.shm.name
        self.data = np.ndarray(shape, dtype=dtype, buffer=self.shm.buf)

    def _release(self):
        self.shm.close()
        self.shm.unlink()


class PyRead(PyMemArray):
    def __init__(self, uuid, shape, dtype):
        super().__init__()
        self.uuid, self.shape, self.dtype = uuid, shape, dtype
        self.shm = PySharedMemory(uuid)
        self.data = np.ndarray(shape, dtype=dtype, buffer=self.shm.buf)

    def _release(self):
        self.shm.close()


class PyPool:
    _pool_dict = {}
    _pool_mutex = threading.Lock()

    def __init__(self, shape, dtype, max_pool_size):
        self.max_pool_size, self.shape, self.dtype = max_pool_size, shape, dtype
        self.pool = queue.Queue()
        self.size = 0
        self.mutex = threading.Lock()

    def is_empty(self):
        return self.pool.qsize() == 0

    def _add(self):
        if self.size >= self.max_pool_size:
            return False
        with self.mutex:
            if self.size >= self.max_pool_size:
                return False
            self.pool.put(PyOnce(self.shape, self.dtype))
            self.size += 1
        return True

    def get(self):
        if self.is_empty() and not self._add():
            return None
        try:
            return self.pool.get_nowait()
        except Exception:
            return None

    def push_back(self, ma):
        self.pool.put(ma)

    @classmethod
    def get_pool(cls, shape, dtype, max_pool_size):
        key = PyMemArray.Name(shape, dtype)
        pool = cls._pool_dict.get(key)
        if pool is not None:
            return pool
        with cls._pool_mutex:
            pool = cls._pool_dict.get(key)
            if pool is None:
                pool = cls._pool_dict[key] = cls(shape, dtype, max_pool_size)
        return pool


class PyReuse(PyMemArray):
    def __init__(self, shape, dtype, max_pool_size):
        super().__init__()
        self.shape, self.dtype, self.max_pool_size = shape, dtype, max_pool_size
        self.pool = PyPool.get_pool(self.shape, self.dtype, self.max_pool_size)
        self.src_ma = self.pool.get()
        if self.src_ma is None:
            return
        s = self.src_ma
        self.uuid, self.shape, self.dtype, self.shm, self.data = (
            s.uuid, s.shape, s.dtype, s.shm, s.data)

    def _release(self):
        self.pool.push_back(self.src_ma)
        self.src_ma = None


def py_new(shape, dtype, max_pool_size=0):
    return PyOnce(shape, dtype) if max_pool_size == 0 else PyReuse(shape, dtype, max_pool_size)


def py_make(array, max_pool_size=0):
    ma = py_new(list(array.shape), array.dtype, max_pool_size)
    np.copyto(ma.data, array)
    return ma


def py_load(info):
    return PyRead(info["uuid"], info["shape"], info["dtype"])


# ---------------------------------------------------------------- timing

def ns_per_op(*fns, n, rounds=7):
    """Best ns/op of each function; their rounds alternate, so that load
    from elsewhere on the machine falls on all of them alike."""
    for fn in fns:
        for _ in range(max(1, n // 10)):
            fn()
    best = [float("inf")] * len(fns)
    for _ in range(rounds):
        for i, fn in enumerate(fns):
            t0 = time.perf_counter_ns()
            for _ in range(n):
                fn()
            best[i] = min(best[i], (time.perf_counter_ns() - t0) / n)
    return best


def attach_cases(uuid):
    """Runs in the reading process."""
    info = {"uuid": uuid, "shape": SHAPE, "dtype": np.uint8}
    cpp, py = ns_per_op(lambda: M.load_mem_array(info).release(),
                        lambda: py_load(info).release(), n=20000)
    return {"cpp": cpp, "py": py}


def drain_pools():
    for pool in list(M.MemArrayOncePool._pool_dict.values()) + list(PyPool._pool_dict.values()):
        while not pool.pool.empty():
            pool.pool.get_nowait().release()


def hot_rows():
    nbytes = int(np.prod(SHAPE))

    def ledger_alone():
        s = Ledger(create=True, size=nbytes)
        s.close()
        s.unlink()

    names = {"S": SHAPE, "u8": np.uint8, "py_new": py_new, "new": M.new_mem_array,
             "floor": floors, "ledger_alone": ledger_alone, "n": nbytes}
    rows = [("new_mem_array + release, 1080p once-only", 2000, {
        "python": ("py_new(S, u8).release()", names),
        "ravu": ("new(S, u8).release()", names),
        "floor": ("ledger_alone()", names),  # the segment class the module must use
        "bare system calls": ("floor.segment_syscalls(n)", names)})]
    for new in (M.new_mem_array, py_new):
        new(SHAPE, np.uint8, 2).release()
    rows.append(("pooled borrow + release", 200000, {
        "python": ("py_new(S, u8, 2).release()", names),
        "ravu": ("new(S, u8, 2).release()", names),
        "floor": ("floor.new_mem_array(S, u8, 2).release()", names)}))
    return rows


def main():
    if _rows.main_rows(sys.argv, hot_rows):
        drain_pools()
        return
    if len(sys.argv) == 3 and sys.argv[1] == "--attach":
        print(json.dumps(attach_cases(sys.argv[2])))
        return

    rows = []
    frame = np.random.default_rng(1).integers(0, 255, SHAPE, dtype=np.uint8)

    # Once-only create + release.
    rows.append(("new_mem_array + release, once-only 1080p u8", *ns_per_op(
        lambda: M.new_mem_array(SHAPE, np.uint8).release(),
        lambda: py_new(SHAPE, np.uint8).release(), n=2000)))

    # Attach + release from another process.
    owner = M.new_mem_array(SHAPE, np.uint8)
    try:
        env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
        out = subprocess.run([sys.executable, __file__, "--attach", owner.uuid], env=env,
                             capture_output=True, text=True, check=True).stdout
        r = json.loads(out)
        rows.append(("load_mem_array + release, other process", r["cpp"], r["py"]))
    finally:
        owner.release()

    # Borrow + release from a warm pool.
    held = [M.new_mem_array(SHAPE, np.uint8, 2), py_new(SHAPE, np.uint8, 2)]
    for h in held:
        h.release()
    rows.append(("pool borrow + release (warm)", *ns_per_op(
        lambda: M.new_mem_array(SHAPE, np.uint8, 2).release(),
        lambda: py_new(SHAPE, np.uint8, 2).release(), n=200000)))

    # The same with a second thread alive, which could be waiting on the
    # pool's queue: each return then wakes the queue's condition.
    stop = threading.Event()
    other = threading.Thread(target=stop.wait)
    other.start()
    try:
        rows.append(("pool borrow + release, another thread alive", *ns_per_op(
            lambda: M.new_mem_array(SHAPE, np.uint8, 2).release(),
            lambda: py_new(SHAPE, np.uint8, 2).release(), n=200000)))
    finally:
        stop.set()
        other.join()

    # The pool key of a frame shape, made at every borrow.
    rows.append(("MemArray.Name(shape, np.uint8)", *ns_per_op(
        lambda: M.MemArray.Name(SHAPE, np.uint8),
        lambda: PyMemArray.Name(SHAPE, np.uint8), n=200000)))

    # make_mem_array of a 1080p frame; the bare copy into an existing array
    # is the floor, timed in the same rounds.
    dst = np.empty_like(frame)
    pooled, py, floor = ns_per_op(lambda: M.make_mem_array(frame, 2).release(),
                               lambda: py_make(frame, 2).release(),
                               lambda: np.copyto(dst, frame), n=300)
    rows.append(("make_mem_array 1080p, pooled (warm)", pooled, py))
    rows.append(("make_mem_array 1080p, once-only", *ns_per_op(
        lambda: M.make_mem_array(frame).release(),
        lambda: py_make(frame).release(), n=100)))

    print("%-46s %14s %14s %8s" % ("case", "C++ ns/op", "Python ns/op", "ratio"))
    for name, cpp, py in rows:
        print("%-46s %14.0f %14.0f %7.2fx" % (name, cpp, py, py / cpp))
    print("%-46s %14.0f" % ("np.copyto into an existing 1080p array", floor))
    print("make_mem_array pooled / np.copyto floor: %.2fx" % (pooled / floor))

    drain_pools()


if __name__ == "__main__":
    main()
