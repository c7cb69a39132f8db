"""Locks, ring and get-or-insert: C++ against the same rules in plain Python.

Run: PYTHONPATH=. /usr/bin/python3 bench/bench_lock_ring.py
"""
import threading
import time

from ravu.utils.datakit import CircularQueue, get_any_from_dict
from ravu.utils.lock import lock_func


# ---- the same rules in plain Python
def py_get_new_func(func, timeout, mutex):
    def decorator(*args, **kwargs):
        if mutex.acquire(timeout=timeout):
            try:
                return func(*args, **kwargs)
            finally:
                mutex.release()
        raise Exception(func.__name__ + " acquire timeout")
    return decorator


def py_lock_class_func(instance, func, mutex_name="", timeout=3):
    name = "_mutex_" + mutex_name
    if name in dir(instance):
        lock = instance.__getattribute__(name)
    else:
        lock = threading.Lock()
        instance.__setattr__(name, lock)
    instance.__setattr__(func.__name__, py_get_new_func(func, timeout, lock))


class PyCircularQueue:
    def __init__(self, size):
        self.size = size
        self.queue = [None] * self.size
        self.cur_index = 0
        py_lock_class_func(self, self.put)
        py_lock_class_func(self, self.getall)

    def put(self, data):
        self.queue[self.cur_index] = data
        self.cur_index += 1
        self.cur_index = self.cur_index % self.size

    def __getitem__(self, index):
        return self.queue[(self.cur_index + index) % self.size]

    def getall(self):
        out = []
        for i in range(self.size):
            out.append(self[i])
        return out


def py_get_any_from_dict(obj, key, creator):
    v = obj.get(key)
    if v is None:
        v = creator()
        obj[key] = v
    return v


def ns_per_op(fn, n=200_000, repeat=7):
    for _ in range(n // 10):
        fn()
    best = float("inf")
    for _ in range(repeat):
        t = time.perf_counter_ns()
        for _ in range(n):
            fn()
        best = min(best, (time.perf_counter_ns() - t) / n)
    return best


def main():
    def target(x):
        return x

    cpp_w = lock_func()(target)
    py_w = py_get_new_func(target, 3, threading.Lock())
    cq, pq = CircularQueue(32), PyCircularQueue(32)
    for i in range(40):
        cq.put(i), pq.put(i)
    hit = {"k": 1}
    miss = {}

    def reset():
        miss.pop("k", None)

    def c_miss():
        miss.pop("k", None)
        get_any_from_dict(miss, "k", list)

    def p_miss():
        miss.pop("k", None)
        py_get_any_from_dict(miss, "k", list)

    rows = [
        ("lock_func() wrapper call", lambda: cpp_w(1), lambda: py_w(1)),
        ("CircularQueue.put", lambda: cq.put(1), lambda: pq.put(1)),
        ("CircularQueue.getall (32)", cq.getall, pq.getall),
        ("q[-1]", lambda: cq[-1], lambda: pq[-1]),
        ("get_any_from_dict hit", lambda: get_any_from_dict(hit, "k", list),
         lambda: py_get_any_from_dict(hit, "k", list)),
        ("get_any_from_dict miss", c_miss, p_miss, reset),
    ]
    empty = ns_per_op(lambda: None)
    print(f"{'operation':28} {'C++ ns':>8} {'Python ns':>10} {'speed-up':>9}")
    for name, c, p, *base in rows:
        floor = ns_per_op(base[0]) if base else empty
        tc, tp = ns_per_op(c) - floor, ns_per_op(p) - floor
        print(f"{name:28} {tc:8.1f} {tp:10.1f} {tp / tc:8.1f}x")
    print(f"(the cost of the calling lambda, {empty:.1f} ns, and for the miss of the key's"
          " removal, is subtracted from both columns)")


if __name__ == "__main__":
    main()
