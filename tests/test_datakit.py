"""Dictionary get-or-insert and the ring buffer."""
import collections
import threading

import pytest

import ravu.utils
import ravu.utils.datakit as datakit
import ravu.utils.lock as lockmod
from ravu.utils.datakit import (CircularQueue, get_any_from_dict, get_dict_from_dict,
                                get_list_from_dict)


def test_module_interface_and_reexports():
    assert datakit.__all__ == ["get_dict_from_dict", "get_list_from_dict", "get_any_from_dict",
                               "CircularQueue"]
    assert datakit.lock_class_func is lockmod.lock_class_func
    for name, mod in (("CircularQueue", datakit), ("get_any_from_dict", datakit),
                      ("lock_func", lockmod), ("lock_class_func", lockmod)):
        assert getattr(ravu.utils, name) is getattr(mod, name)
    ns = {}
    exec("from ravu.utils import *", ns)
    assert set(ns) - {"__builtins__"} <= set(ravu.utils.__all__)


@pytest.mark.parametrize("mapping", [dict, collections.OrderedDict, collections.defaultdict])
def test_get_or_insert_replaces_missing_and_none_only(mapping):
    d = mapping()
    d["none"] = None
    d["zero"] = 0
    d["empty"] = []
    got = get_list_from_dict(d, "none")
    assert got == [] and d["none"] is got and get_list_from_dict(d, "none") is got
    assert get_dict_from_dict(d, "new") == {} and type(d["new"]) is dict
    calls = []

    def creator():
        calls.append(1)
        return "made"

    assert get_any_from_dict(d, "zero", creator) == 0
    assert get_any_from_dict(d, "empty", creator) == []
    assert calls == []
    assert get_any_from_dict(d, "k", creator) == "made" and calls == [1]
    assert get_any_from_dict(d, "n", lambda: None) is None and "n" in d


def test_get_or_insert_passes_errors_and_stores_nothing_on_failure():
    d = {}

    def boom():
        raise ValueError("no")

    with pytest.raises(ValueError):
        get_any_from_dict(d, "k", boom)
    assert d == {}
    with pytest.raises(TypeError):
        get_dict_from_dict(d, ["unhashable"])
    with pytest.raises(AttributeError):
        get_dict_from_dict([], 0)
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'creator'"):
        get_any_from_dict(d, "k")


def test_ring_before_and_after_wrap():
    q = CircularQueue(4)
    q.put("a"), q.put("b")
    assert (q.cur_index, q.getall(), q[-1], q[-2], q[0]) == (2, [None, None, "a", "b"], "b", "a",
                                                            None)
    for x in "cde":
        assert q.put(x) is None
    assert q.queue == ["e", "b", "c", "d"] and q.cur_index == 1
    assert q.getall() == ["b", "c", "d", "e"] == list(q)
    assert (q[0], q[-1], q[4], q[-5], q[10**30 + 2]) == ("b", "e", "b", "e", "d")


def test_ring_attributes_are_plain_instance_attributes():
    q = CircularQueue(size=3)
    assert list(vars(q)) == ["size", "queue", "cur_index", "_mutex_", "put", "getall"]
    assert q.put.__name__ == "decorator" and isinstance(q._mutex_, type(threading.Lock()))
    # Callers may assign them; every operation reads them again.
    q.cur_index = 2
    q.put("x")
    assert q.queue == [None, None, "x"] and q.cur_index == 0
    CircularQueue.put(q, "y")  # through the class: no lock, same effect
    assert q.getall() == [None, "x", "y"]


def test_iteration_reads_each_slot_when_taken():
    q = CircularQueue(3)
    for x in (1, 2, 3):
        q.put(x)
    it = iter(q)
    assert next(it) == 1
    q.put(4)  # shifts what the later steps see
    assert list(it) == [3, 4]


@pytest.mark.parametrize("size, put_err, index_err, getall", [
    (0, IndexError, ZeroDivisionError, []),
    (-2, IndexError, IndexError, []),
])
def test_empty_and_negative_sizes(size, put_err, index_err, getall):
    q = CircularQueue(size)
    assert q.queue == []
    with pytest.raises(put_err):
        q.put(1)
    assert q.cur_index == 0
    with pytest.raises(index_err):
        q[0]
    assert q.getall() == getall and list(q) == []


def test_bad_sizes_and_indexes():
    with pytest.raises(TypeError, match="can't multiply sequence by non-int of type 'float'"):
        CircularQueue(2.0)
    q = CircularQueue(2)
    with pytest.raises(TypeError):
        q[0.5]
    with pytest.raises(TypeError):
        q[0:1]
    with pytest.raises(TypeError, match=r"CircularQueue.__init__\(\) missing 1 required"):
        CircularQueue()


def test_subclass_goes_through_the_attribute_protocol():
    class Logged(CircularQueue):
        def __getitem__(self, i):
            return ("item", super().__getitem__(i))

    q = Logged(2)
    q.put(1)
    assert q.getall() == [("item", None), ("item", 1)]


def test_put_times_out_while_the_ring_is_locked():
    q = CircularQueue(2)
    taken, done = threading.Event(), threading.Event()

    def holder():
        with q._mutex_:
            taken.set()
            done.wait()

    t = threading.Thread(target=holder)
    t.start()
    taken.wait()
    try:
        with pytest.raises(Exception, match="^put acquire timeout$"):
            q.put(1)
    finally:
        done.set()
        t.join()
    assert q.queue == [None, None] and q.cur_index == 0
    assert q[0] is None  # indexing takes no lock


def test_concurrent_puts_lose_nothing():
    q = CircularQueue(4000)

    def writer(base):
        for i in range(1000):
            q.put(base + i)

    threads = [threading.Thread(target=writer, args=(k * 1000,)) for k in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert sorted(q.getall()) == list(range(4000)) and q.cur_index == 0
