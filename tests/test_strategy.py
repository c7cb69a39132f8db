"""Trigger records by time window and by frequency."""
import time
import warnings

import numpy as np
import pytest

import ravu.utils.strategy as strategy
from ravu.utils.strategy import RecordByFrequency, RecordByTime


class Clock:
    """Stands in for the module's `time`, with a hand-set wall clock."""

    def __init__(self, now=1000.0):
        self.now = now

    def time(self):
        return self.now


@pytest.fixture
def clock(monkeypatch):
    c = Clock()
    monkeypatch.setattr(strategy, "time", c)
    return c


def test_module_interface():
    assert strategy.__all__ == ["RecordByTime", "RecordByFrequency"]
    assert strategy.time is time and strategy.np is np
    assert RecordByTime.MAX_LEN == 100
    assert RecordByTime.__bases__ == (object,) and RecordByFrequency.__bases__ == (object,)


# ---------------------------------------------------------------- RecordByTime

def test_time_constructor_state():
    r = RecordByTime(num=3, sec=1.5)
    assert list(vars(r)) == ["queue", "sec", "num"]
    assert r.queue == [] and r.sec == 1.5 and r.num == 3
    with pytest.raises(TypeError, match=r"^RecordByTime.__init__\(\) missing 1 required"):
        RecordByTime(1)
    with pytest.raises(TypeError, match=r"takes 1 positional argument but 2 were given"):
        RecordByTime(1, 2).set(1)


def test_time_stamps_are_wall_clock_floats():
    r = RecordByTime(10, 2)
    before = time.time()
    assert r.set() is False
    assert r.set() is True
    after = time.time()
    assert all(type(s) is float and before <= s <= after for s in r.queue)
    assert r.queue[0] <= r.queue[1]


def test_time_window(clock):
    r = RecordByTime(1, 3)
    results = []
    for t in (0.0, 0.3, 0.6):
        clock.now = 1000.0 + t
        results.append(r.set())
    assert results == [False, False, True]
    clock.now = 1000.6 + 1.5
    assert r.get() is False
    assert r.queue == []


def test_time_age_equal_to_sec_still_counts(clock):
    r = RecordByTime(2, 2)
    clock.now = 1000.0
    r.set()
    clock.now = 1002.0
    assert r.set() is True and r.queue == [1000.0, 1002.0]
    clock.now = 1002.0 + 1e-9
    assert r.get() is False and r.queue == [1002.0]


def test_time_only_the_front_expires(clock):
    r = RecordByTime(5, 1)
    r.queue.extend([990.0, 999.0, 980.0])  # out of order on purpose
    assert r.get() is True
    assert r.queue == [999.0, 980.0]  # stops at the first stamp inside the window


@pytest.mark.parametrize("num, first", [(1, True), (0, True), (-3, True), (2, False)])
def test_time_small_num(clock, num, first):
    r = RecordByTime(1, num)
    if num <= 0:
        assert r.get() is True
    assert r.set() is first


def test_time_cap_keeps_newest_stamps(clock):
    r = RecordByTime(1000, 100)
    answers = []
    for i in range(150):
        clock.now = 1000.0 + i * 0.001
        answers.append(r.set())
    assert answers.index(True) == 99 and all(answers[99:])
    assert len(r.queue) == 100 and r.queue[0] == 1000.0 + 50 * 0.001
    never = RecordByTime(1000, 101)
    assert not any(never.set() for _ in range(150))


def test_time_max_len_read_through_instance(clock):
    r = RecordByTime(1000, 1)
    r.MAX_LEN = 3
    for i in range(5):
        clock.now += 1
        r.set()
    assert r.queue == [1003.0, 1004.0, 1005.0]

    class Short(RecordByTime):
        MAX_LEN = 2

    s = Short(1000, 1)
    for _ in range(4):
        s.set()
    assert len(s.queue) == 2


def test_time_clear_keeps_list_and_settings(clock):
    r = RecordByTime(1, 1)
    q = r.queue
    r.set()
    assert r.clear() is None
    assert r.queue is q and q == [] and r.sec == 1 and r.num == 1
    assert r.get() is False


def test_time_generic_values(clock, monkeypatch):
    # Other number kinds and a replaced clock function go the Python way.
    from fractions import Fraction
    r = RecordByTime(Fraction(1, 2), 2.0)
    clock.now = Fraction(1000)
    r.set()
    clock.now = Fraction(2001, 2)
    assert r.set() is True
    clock.now = Fraction(1001)
    assert r.get() is False and r.queue == [Fraction(2001, 2)]
    monkeypatch.setattr(strategy, "time", time)
    monkeypatch.setattr(time, "time", lambda: 5.0)
    r2 = RecordByTime(1, 1)
    assert r2.set() is True and r2.queue == [5.0]


class PyRecordByTime:
    """The rule in plain Python, with the clock of the module's `time`."""
    MAX_LEN = 100

    def __init__(self, sec, num):
        self.queue = []
        self.sec = sec
        self.num = num

    def set(self):
        now = strategy.time.time()
        while self.queue and now - self.queue[0] > self.sec:
            del self.queue[0]
        self.queue.append(now)
        while len(self.queue) > self.MAX_LEN:
            del self.queue[0]
        return len(self.queue) >= self.num

    def get(self):
        now = strategy.time.time()
        while self.queue and now - self.queue[0] > self.sec:
            del self.queue[0]
        return len(self.queue) >= self.num


def reorder(r):
    for name in ("sec", "queue"):  # now num, sec, queue
        setattr(r, name, vars(r).pop(name))


def max_len_first(r):
    state = dict(vars(r))
    vars(r).clear()
    r.MAX_LEN = 2
    vars(r).update(state)


# How the instance dict may look when set() and get() run.
LAYOUTS = {"as made": lambda r: None, "reordered": reorder,
           "extra attribute": lambda r: setattr(r, "note", 1),
           "own MAX_LEN 3": lambda r: setattr(r, "MAX_LEN", 3),
           "own MAX_LEN 0": lambda r: setattr(r, "MAX_LEN", 0),
           "MAX_LEN first": max_len_first, "float num": lambda r: setattr(r, "num", 2.5)}
STEPS = [("set", 0.0), ("set", 0.1), ("set", 0.2), ("get", 0.3), ("set", 0.5), ("set", 1.15),
         ("get", 1.3), ("set", 2.6), ("set", 2.6), ("set", 2.6), ("set", 2.6), ("get", 3.7),
         ("set", 3.7)]


@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("class_cap", [100, 2])
def test_time_follows_its_rule(clock, monkeypatch, layout, class_cap):
    monkeypatch.setattr(RecordByTime, "MAX_LEN", class_cap)
    monkeypatch.setattr(PyRecordByTime, "MAX_LEN", class_cap)
    r, ref = RecordByTime(1, 3), PyRecordByTime(1, 3)
    LAYOUTS[layout](r)
    LAYOUTS[layout](ref)
    for op, t in STEPS:
        clock.now = 1000.0 + t
        assert (getattr(r, op)(), r.queue) == (getattr(ref, op)(), ref.queue), (op, t)
    assert vars(r) == vars(ref)


# ---------------------------------------------------------------- RecordByFrequency

def test_frequency_constructor_state():
    r = RecordByFrequency(mean_over=0.5, size=4)
    assert list(vars(r)) == ["data", "mean_over", "index", "size"]
    assert r.data.dtype == np.float32 and r.data.shape == (4,) and not r.data.any()
    assert r.index == 0 and r.size == 4 and r.mean_over == 0.5


def test_frequency_sequence():
    r = RecordByFrequency(4, 0.5)
    got = [r.set(v) for v in (1, 1, 0, 0, 0)]
    assert got == [False, True, True, True, False]
    assert all(type(g) is np.bool_ for g in got)
    assert r.data.tolist() == [0.0, 1.0, 0.0, 0.0] and r.index == 1
    assert type(r.get()) is np.bool_


def test_frequency_clear_keeps_index():
    r = RecordByFrequency(3, 0.0)
    data = r.data
    r.set(5)
    r.set(5)
    assert r.clear() is None
    assert r.data is data and not data.any() and r.index == 2
    assert r.get() == True  # noqa: E712  (mean 0 >= 0)
    r.mean_over = 1e-9
    assert r.get() == False  # noqa: E712
    r.set(7)
    assert data.tolist() == [0.0, 0.0, 7.0] and r.index == 0


def test_frequency_stores_float32():
    r = RecordByFrequency(1, 0.1)
    r.set(0.1)
    assert r.data[0] == np.float32(0.1) and float(r.data[0]) != 0.1
    # float32(0.1) is above 0.1; mean_over itself is never rounded to 32 bits
    assert r.get() == True  # noqa: E712
    r.mean_over = float(np.float32(0.1)) + 1e-12
    assert r.get() == False  # noqa: E712
    r.mean_over = 2 ** 24 + 1
    r.set(2 ** 24 + 1)  # rounds to 2**24 in float32
    assert r.data[0] == 2 ** 24 and r.get() == False  # noqa: E712


@pytest.mark.parametrize("value", [2 ** 53 + 1, 16777217, -7, True, np.float64(0.3),
                                   np.float32(2.5), 10 ** 30, float("inf"), float("nan"), "1.5"],
                         ids=repr)
def test_frequency_set_converts_like_numpy(value):
    ref = np.zeros(1, np.float32)
    ref[0] = value
    r = RecordByFrequency(1, 0.0)
    r.set(value)
    assert r.data.tobytes() == ref.tobytes()


def test_frequency_mean_matches_numpy():
    rng = np.random.default_rng(7)
    for n in (1, 7, 8, 9, 100, 128, 129, 1000, 8193, 20000):
        r = RecordByFrequency(n, 0.0)
        r.data[:] = rng.random(n, dtype=np.float32) * 1000
        m = r.data.mean()
        r.mean_over = float(m)
        assert r.get() == True, n  # noqa: E712
        r.mean_over = float(np.nextafter(m, np.float32(np.inf)))
        assert r.get() == False, n  # noqa: E712


def test_frequency_size_zero():
    r = RecordByFrequency(0, 0.5)
    with pytest.raises(IndexError):
        r.set(1)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        assert r.get() == False  # noqa: E712


def test_frequency_generic_state():
    r = RecordByFrequency(3, 2)
    r.data = np.zeros(3)  # float64 now: numpy's own path
    r.set(6.0)
    assert r.index == 1 and r.data.tolist() == [6.0, 0.0, 0.0]
    assert r.get() == True  # noqa: E712

    class Sub(RecordByFrequency):
        pass

    s = Sub(2, 0.5)
    assert [s.set(1), s.set(0), s.set(0)] == [True, True, False]
    assert s.index == 1


def test_time_queue_of_other_stamps(clock):
    r = RecordByTime(5, 3)
    r.queue.extend([990, 991.0, 998, 999.5])  # ints among the floats
    clock.now = 1000.0
    assert r.set() is True
    assert r.queue == [998, 999.5, 1000.0]
    del r.queue
    with pytest.raises(AttributeError):
        r.get()


class PyRecordByFrequency:
    """The rule in plain Python."""

    def __init__(self, size, mean_over):
        self.data = np.zeros(size, dtype=np.float32)
        self.mean_over = mean_over
        self.index = 0
        self.size = size

    def set(self, n):
        self.data[self.index] = n
        self.index = self.index + 1
        self.index = self.index % self.size
        return self.data.mean() >= self.mean_over


def reorder_frequency(r):
    for name in ("data", "index"):  # now mean_over, size, data, index
        setattr(r, name, vars(r).pop(name))


# The state set() may meet, each applied alike to the record and the rule.
FREQUENCY_STATES = {
    "as made": lambda r: None,
    "reordered": reorder_frequency,
    "extra attribute": lambda r: setattr(r, "note", 1),
    "index past the slots": lambda r: setattr(r, "index", 7),
    "negative index": lambda r: setattr(r, "index", -2),
    "size beyond the slots": lambda r: setattr(r, "size", 9),
    "negative size": lambda r: setattr(r, "size", -4),
    "int threshold": lambda r: setattr(r, "mean_over", 1),
    "numpy threshold": lambda r: setattr(r, "mean_over", np.float32(0.5)),
    "float64 slots": lambda r: setattr(r, "data", np.zeros(5)),
}


@pytest.mark.parametrize("state", FREQUENCY_STATES)
def test_frequency_follows_its_rule(state):
    r, ref = RecordByFrequency(5, 0.5), PyRecordByFrequency(5, 0.5)
    FREQUENCY_STATES[state](r)
    FREQUENCY_STATES[state](ref)
    for value in (1, 1, 0.5, 3, 0, 1, 2.5, 0):
        try:
            expected = ref.set(value)
        except IndexError as e:
            with pytest.raises(IndexError, match=str(e)):
                r.set(value)
            break
        got = r.set(value)
        assert (type(got), got) == (type(expected), expected)
        assert r.index == ref.index and r.data.tobytes() == ref.data.tobytes()
