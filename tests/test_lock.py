"""Time-out locks: the wrapper, function locks and instance locks."""
import contextlib
import threading
import time

import pytest

import ravu.utils.lock as lockmod
from ravu.utils.lock import get_new_func, lock_class_func, lock_func


@contextlib.contextmanager
def held(lock):
    """Holds `lock` in another thread until the block ends, so that a slow
    machine cannot let it go before the waiter has timed out."""
    taken, done = threading.Event(), threading.Event()

    def run():
        with lock:
            taken.set()
            done.wait()

    t = threading.Thread(target=run)
    t.start()
    taken.wait()
    try:
        yield
    finally:
        done.set()
        t.join()


class RecordingLock:
    """A lock-like object that records how it is called."""

    def __init__(self, result=True):
        self.calls = []
        self.result = result

    def acquire(self, *args, **kwargs):
        self.calls.append(("acquire", args, kwargs))
        return self.result

    def release(self):
        self.calls.append(("release",))


def test_module_interface():
    assert lockmod.__all__ == ["lock_class_func", "lock_func"]
    from ravu.utils import lock as again
    assert again.get_new_func is get_new_func


def test_wrapper_looks_like_the_closure_and_copies_nothing():
    def f(x):
        """doc"""
        return x

    f.extra = 1
    w = lock_func()(f)
    assert w.__name__ == "decorator"
    assert w.__qualname__ == "get_new_func.<locals>.decorator"
    assert w.__module__ == "ravu.utils.lock"
    assert w.__doc__ is None
    assert not hasattr(w, "mutex") and not hasattr(w, "extra")
    assert isinstance(f.mutex, type(threading.Lock()))
    assert lock_func().__qualname__ == "lock_func.<locals>.decorator_func"


def test_arguments_results_and_exceptions_pass_through():
    def f(*args, **kwargs):
        if kwargs.get("boom"):
            raise KeyError("boom")
        return args, kwargs

    w = lock_func()(f)
    assert w(1, 2, a=3) == ((1, 2), {"a": 3})
    assert lock_func()(lambda: None)() is None
    with pytest.raises(KeyError):
        w(boom=True)
    assert not f.mutex.locked()


def test_any_lock_object_is_called_with_the_timeout_keyword():
    m = RecordingLock()
    w = get_new_func(lambda: "r", 7, m)
    assert w() == "r"
    assert m.calls == [("acquire", (), {"timeout": 7}), ("release",)]


def test_timeout_raises_without_calling_or_releasing():
    m = RecordingLock(result=0)
    called = []

    def job():
        called.append(1)

    with pytest.raises(Exception) as info:
        get_new_func(job, 0.5, m)()
    assert type(info.value) is Exception
    assert info.value.args == ("job acquire timeout",)
    assert called == [] and m.calls == [("acquire", (), {"timeout": 0.5})]


def test_default_timeout_is_three_seconds_on_a_held_lock():
    def raw():
        return 1

    wrapped = lock_func()(raw)
    with held(raw.mutex):
        start = time.monotonic()
        with pytest.raises(Exception, match="^raw acquire timeout$"):
            wrapped()
        elapsed = time.monotonic() - start
    assert elapsed > 2.8  # waited out the time-out; the lock stayed held throughout
    assert wrapped() == 1


def test_waiting_releases_the_gil():
    m = threading.Lock()
    w = get_new_func(lambda: None, 1.0, m)
    ticks = []
    stop = threading.Event()

    def spin():
        while not stop.is_set():
            ticks.append(1)
            time.sleep(0.01)

    with held(m):
        s = threading.Thread(target=spin)
        s.start()
        with pytest.raises(Exception):
            w()
        stop.set()
        s.join()
    assert len(ticks) > 20


def test_recursion_on_a_plain_lock_times_out_then_frees():
    depth = []

    def rec(n):
        depth.append(n)
        return rec_w(n - 1) if n else "bottom"

    rec_w = get_new_func(rec, 0.3, threading.Lock())
    with pytest.raises(Exception, match="^rec acquire timeout$"):
        rec_w(1)
    assert depth == [1]
    assert rec_w(0) == "bottom"


def test_release_error_replaces_the_result_and_chains():
    class BadRelease(RecordingLock):
        def release(self):
            raise RuntimeError("release failed")

    with pytest.raises(RuntimeError, match="release failed"):
        get_new_func(lambda: 1, 3, BadRelease())()

    def fails():
        raise KeyError("inner")

    with pytest.raises(RuntimeError) as info:
        get_new_func(fails, 3, BadRelease())()
    assert isinstance(info.value.__context__, KeyError)


def test_acquire_errors_pass_and_nothing_runs():
    called = []
    w = get_new_func(lambda: called.append(1), "soon", threading.Lock())
    with pytest.raises(TypeError):
        w()
    w = get_new_func(lambda: called.append(1), -5, threading.Lock())
    with pytest.raises(ValueError):
        w()
    assert called == []


def py_get_new_func(func, timeout, mutex):
    """The wrapper's rule in plain Python."""
    def decorator(*args, **kwargs):
        if mutex.acquire(timeout=timeout):
            try:
                return func(*args, **kwargs)
            finally:
                mutex.release()
        raise Exception(func.__name__ + " acquire timeout")
    return decorator


def outcome(call):
    try:
        return ("returned", call())
    except Exception as e:
        return (type(e), str(e))


# Every kind of time-out an exact lock may get; on a held lock only those
# that end at once or after a short wait.
FREE_TIMEOUTS = [3, 0.5, 0, -1, -1.0, True, False, None, "x", -2, float("nan"),
                 float("inf"), 1e300, 2**70]
HELD_TIMEOUTS = [0.05, 0, False, None, "x", -2, float("nan"), 1e300, 2**70]


@pytest.mark.parametrize("taken, timeout", [(False, t) for t in FREE_TIMEOUTS] +
                         [(True, t) for t in HELD_TIMEOUTS])
def test_plain_lock_takes_any_timeout_as_the_keyword_call_does(taken, timeout):
    results = []
    for make in (py_get_new_func, get_new_func):
        lock = threading.Lock()

        def job(x):
            return x + 1

        call = make(job, timeout, lock)
        with held(lock) if taken else contextlib.nullcontext():
            results.append(outcome(lambda: call(1)))
        assert not lock.locked()
    assert results[1] == results[0]


def test_shared_and_separate_function_locks():
    m = threading.Lock()
    deco = lock_func(mutex=m)

    def a():
        pass

    def b():
        pass

    deco(a), lock_func(m)(b)
    assert a.mutex is m and b.mutex is m
    d = lock_func()

    def c():
        pass

    def e():
        pass

    d(c), d(e)
    assert c.mutex is not e.mutex


def test_decorator_func_takes_one_positional_argument():
    d = lock_func()
    with pytest.raises(TypeError, match="positional-only"):
        d(func=lambda: None)
    with pytest.raises(TypeError, match="takes 1 positional argument but 2 were given"):
        d(print, print)
    with pytest.raises(AttributeError):
        d(len)  # a builtin takes no new attribute: no wrapper is made


def test_wrapper_binds_in_a_class_body_but_not_on_an_instance():
    class A:
        m = get_new_func(lambda self, x: (self, x), 3, threading.Lock())

    a = A()
    assert a.m(5) == (a, 5)
    assert A.m(a, 6) == (a, 6)
    a.direct = get_new_func(lambda x: x, 3, threading.Lock())
    assert a.direct(7) == 7


class Box:
    def put(self, x):
        return ("put", x)

    def getall(self):
        return "all"

    def other(self):
        return "other"


def test_instance_lock_shared_by_name_and_separate_by_other_name():
    b = Box()
    assert lock_class_func(b, b.put) is None
    lock_class_func(b, b.getall)
    lock_class_func(b, b.other, "x", timeout=1)
    assert isinstance(b._mutex_, type(threading.Lock()))
    assert b._mutex_x is not b._mutex_
    assert b.__dict__["put"].__name__ == "decorator"
    assert b.put(1) == ("put", 1) and b.getall() == "all" and b.other() == "other"
    assert "put" not in vars(Box()) and Box().put(2) == ("put", 2)
    with held(b._mutex_):
        assert b.other() == "other"  # separate lock: not blocked


def test_put_and_getall_share_one_lock():
    b = Box()
    lock_class_func(b, b.put, timeout=0.2)
    lock_class_func(b, b.getall, timeout=0.2)
    with held(b._mutex_):
        for call, name in ((lambda: b.put(1), "put"), (b.getall, "getall")):
            with pytest.raises(Exception, match=f"^{name} acquire timeout$"):
                call()


def test_class_attribute_lock_is_shared_by_every_instance():
    class Shared(Box):
        _mutex_ = threading.Lock()

    one, two = Shared(), Shared()
    lock_class_func(one, one.put, timeout=0.2)
    lock_class_func(two, two.put, timeout=0.2)
    assert "_mutex_" not in vars(one) and "_mutex_" not in vars(two)
    with held(Shared._mutex_):
        for obj in (one, two):
            with pytest.raises(Exception, match="^put acquire timeout$"):
                obj.put(1)


def test_wrapping_a_wrapper_stores_it_under_decorator():
    b = Box()
    lock_class_func(b, b.put)
    first = b.put
    lock_class_func(b, b.put)
    assert b.put is first and b.decorator.__name__ == "decorator"


def test_lock_class_func_errors():
    b = Box()
    with pytest.raises(TypeError):
        lock_class_func(b, b.put, 5)
    assert "put" not in vars(b)
    b._mutex_odd = "not a lock"
    lock_class_func(b, b.put, "odd")
    with pytest.raises(AttributeError):
        b.put(1)


def test_threading_lock_state_is_what_its_own_methods_see():
    m = threading.Lock()
    seen = []
    w = get_new_func(lambda: seen.append(m.locked()), 3, m)
    w()
    assert seen == [True] and not m.locked()

    def releases_itself():
        m.release()

    with pytest.raises(RuntimeError, match="release unlocked lock"):
        get_new_func(releases_itself, 3, m)()
    assert not m.locked() and m.acquire(False)
    m.release()
