"""StreamGrabber: construction, publishing and history, the reading loop with
its pacing, reopening and error handling, and the OpenCV capture source."""
import threading
from fractions import Fraction

import numpy as np
import pytest

import ravu.cv.stream_grabber as sg
import ravu.utils
from ravu.cv.feeds.feed_base import FeedBase
from ravu.cv.feeds.plain_feed import PlainFeed
from ravu.utils.datakit import CircularQueue
from tests._stream_fakes import (FakeFeed, fake_time, frame, journal, logs, threads,  # noqa: F401
                                 wait_until, write_video)

LOCK_TYPE = type(threading.Lock())


def make(feed=None, **kw):
    return sg.StreamGrabber("cam", feed or FakeFeed(), **kw)


# ---------------------------------------------------------------- module


def test_module_bindings():
    assert not hasattr(sg, "__all__")
    assert sg.Thread is threading.Thread and sg.Event is threading.Event
    assert sg.Lock is threading.Lock and sg.np is np
    import time, traceback
    assert sg.time is time and sg.traceback is traceback
    for name in ravu.utils.__all__:
        assert getattr(sg, name) is getattr(ravu.utils, name)
    assert sg.PlainFeed is PlainFeed and sg.FeedBase is FeedBase
    assert sg.StreamGrabber.__mro__[1] is threading.Thread
    assert sg.StreamGrabber.__module__ == "ravu.cv.stream_grabber"


def test_frame_map_is_identity():
    fm = sg.FrameMap
    a = frame(1)
    assert fm.map(a, 1) is a and fm.map(frame=a, frame_num=7) is a
    assert fm.width_map(640, 480) == 640 and fm.height_map(width=640, height=480) == 480
    assert fm().map(a, 1) is a
    with pytest.raises(TypeError, match=r"map\(\) missing 1 required positional argument"):
        fm.map(a)


# ---------------------------------------------------------------- construction


def test_construction_state(logs):
    feed = FakeFeed(kind="stream", fps=25.0)
    g = sg.StreamGrabber("cam1", feed, 640, 480, ("x", 1), None, -5, 2, 3, 0)
    assert feed.made_with == ("cam1", 640, 480, ("x", 1))  # args as one value
    assert g.device_name == "cam1" and g.cap is feed and g.frame_map is sg.FrameMap
    assert g.is_file is False and g.is_run is True
    assert g.reconnect_time == 0 and g.retrieve_step == 2
    assert type(g.grab_sleep_time) is float and g.grab_sleep_time == 1.0 / 25.0
    assert (g.cur_frame, g.cur_map_frame, g.cur_frame_num) == (None, None, 0)
    assert isinstance(g.event, threading.Event) and not g.event.is_set()
    assert g.history_size == 3 and isinstance(g.history, CircularQueue) and g.history.size == 3
    assert g.map_history_size == 0 and g.map_history is None
    assert g.catch == {} and type(g.cap_lock) is LOCK_TYPE and not g.cap_lock.locked()
    assert type(g._mutex_) is LOCK_TYPE
    for name in ("get_frame", "get_map_frame", "update_frame"):
        assert vars(g)[name].__name__ == "decorator"  # the locked wrappers
    assert isinstance(g, threading.Thread) and not g.is_alive() and g.daemon is False
    assert logs.messages() == ["read:cam1, fps:25"]


def test_defaults_by_keyword(logs):
    feed = FakeFeed(kind="file")
    g = sg.StreamGrabber(device_name="clip", cap_cls=feed, history_size=0)
    assert feed.made_with == ("clip", None, None, ())
    assert g.is_file is True and g.retrieve_step == 1 and g.history is None


@pytest.mark.parametrize("name, fps, line", [
    ("cam1", 25.0, "read:cam1, fps:25"),
    ("cam2", 29.97, "read:cam2, fps:29"),
    (3, 30, "read:3, fps:30"),
])
def test_read_line(logs, name, fps, line):
    sg.StreamGrabber(name, FakeFeed(fps=fps))
    assert logs.messages("INFO") == [line]


@pytest.mark.parametrize("given, stored", [(-5, 0), (0, 0), (60, 60), (0.5, 0.5)])
def test_reconnect_time_stored(logs, given, stored):
    assert make(reconnect_time=given).reconnect_time == stored


def test_default_capture_class_is_plain_feed(monkeypatch, logs):
    seen = []
    monkeypatch.setattr(sg, "PlainFeed", lambda *a: seen.append(a) or FakeFeed())
    sg.StreamGrabber("rtsp://cam")
    assert seen == [("rtsp://cam", None, None, ())]


def test_source_not_open(logs):
    with pytest.raises(Exception) as e:
        sg.StreamGrabber("cam9", FakeFeed(opened=False))
    assert type(e.value) is Exception and e.value.args == ("cam9", " not open!")
    assert logs.messages() == []


def test_zero_frame_rate(logs):
    with pytest.raises(ZeroDivisionError):
        sg.StreamGrabber("cam", FakeFeed(fps=0))


def test_no_logger_no_grabber(monkeypatch):
    def log():
        raise Exception("日志未初始化!")
    monkeypatch.setattr(sg, "log", log)

    class Counting(FakeFeed):
        def fps(self):
            self.calls["fps"] += 1
            return super().fps()
    feed = Counting()
    with pytest.raises(Exception, match="日志未初始化!"):
        sg.StreamGrabber("cam", feed)
    assert feed.calls["fps"] == 1  # log() fails before the line is made


@pytest.mark.parametrize("call, message", [
    (lambda: sg.StreamGrabber(), "StreamGrabber.__init__() missing 1 required positional "
                                 "argument: 'device_name'"),
    (lambda: sg.StreamGrabber(*range(11)), "StreamGrabber.__init__() takes from 2 to 11 "
                                           "positional arguments but 12 were given"),
    (lambda: sg.StreamGrabber("a", fps=1), "StreamGrabber.__init__() got an unexpected keyword "
                                           "argument 'fps'"),
])
def test_constructor_arguments(call, message):
    with pytest.raises(TypeError) as e:
        call()
    assert str(e.value) == message


# ---------------------------------------------------------------- frames and history


class Hook:
    def __init__(self):
        self.calls = []

    def map(self, frame, frame_num):
        self.calls.append(frame_num)
        return ("mapped", frame, frame_num)


def test_update_frame_publishes(logs):
    hook = Hook()
    g = make(frame_map=hook, history_size=2, map_history_size=2)
    g.update_frame(10)
    g.update_frame(frame=11)
    assert hook.calls == [1, 2]
    assert (g.cur_frame_num, g.cur_frame, g.cur_map_frame) == (2, 11, ("mapped", 11, 2))
    assert g.history.getall() == [10, 11]
    assert g.map_history.getall() == [("mapped", 10, 1), ("mapped", 11, 2)]


def test_default_hook_maps_to_the_frame_itself(logs):
    g = make()
    a = frame(1)
    g.update_frame(a)
    assert g.cur_map_frame is a and g.cur_frame is a


HISTORY = [
    (10, [(10, 10), (0, 10), (8, 8), (-2, 8), (9, 9), (-1, 9), (7, None), (11, None),
          (-3, None)]),
    (1, [(1, 1), (0, 1), (-1, None), (-2, None), (2, None)]),
    (0, [(0, None), (1, None), (-1, None)]),
]


@pytest.mark.parametrize("delivered, cases", HISTORY)
def test_history_lookups(logs, delivered, cases):
    hook = Hook()
    g = make(frame_map=hook, history_size=3, map_history_size=3)
    for i in range(1, delivered + 1):
        g.update_frame(i)
    for num, want in cases:
        assert g.get_frame(num) == want, num
        assert g.get_map_frame(frame_num=num) == (None if want is None else ("mapped", want, want))


@pytest.mark.parametrize("size", [0, -1])
def test_no_history(logs, size):
    g = make(history_size=size, map_history_size=size)
    assert g.history is None and g.map_history is None
    g.update_frame(1)
    assert [g.get_frame(n) for n in (-1, 0, 1)] == [None] * 3
    assert [g.get_map_frame(n) for n in (-1, 0, 1)] == [None] * 3


def test_hook_that_reads_history_waits_out_the_lock(logs):
    # map() runs under the instance lock; a lookup from inside it cannot take it.
    class Greedy:
        @staticmethod
        def map(frame, frame_num):
            return g.get_frame(0)
    g = make(frame_map=Greedy, history_size=2)
    with pytest.raises(Exception) as e:
        g.update_frame(1)
    assert e.value.args == ("get_frame acquire timeout",)
    assert not g._mutex_.locked()


# ---------------------------------------------------------------- read_frame

# kind, retrieve_step, a frame comes?, sleeps, reads, grabs, retrieves
READS = [
    ("stream", 1, False, 1, 1, 0, 0),
    ("stream", 1, True, 1, 1, 0, 0),
    ("file", 1, True, 1, 1, 0, 0),
    ("file", 3, True, 3, 0, 3, 1),
    ("file", 3, False, 3, 0, 3, 1),
    ("stream", 3, True, 0, 0, 3, 1),
    # no frame and no pause in the grabs: one pause, or a broken stream spins
    ("stream", 3, False, 1, 0, 3, 1),
    ("stream", 0, False, 1, 0, 0, 1),
]


@pytest.mark.parametrize("kind, step, comes, sleeps, reads, grabs, retrieves", READS)
def test_read_frame(logs, fake_time, kind, step, comes, sleeps, reads, grabs, retrieves):
    feed = FakeFeed(kind=kind, fps=50.0, source=lambda: frame(7) if comes else None)
    g = make(feed, retrieve_step=step, history_size=1)
    assert g.read_frame() is comes
    assert fake_time.sleeps() == [0.02] * sleeps
    assert (feed.calls["read"], feed.calls["grab"], feed.calls["retrieve"]) == (reads, grabs,
                                                                               retrieves)
    assert g.cur_frame_num == int(comes)
    assert (g.cur_frame is not None) is comes and (g.history[-1] is not None) is comes
    assert not g.event.is_set()


# ---------------------------------------------------------------- the loop


def test_file_source_loop_and_stop(logs, fake_time, journal, threads):
    feed = FakeFeed(kind="file", fps=200.0, journal=journal)
    g = threads(make(feed))
    woke = []
    waiter = threading.Thread(target=lambda: woke.append(g.event.wait(5)))
    waiter.start()
    wait_until(lambda: len(g.event._cond._waiters) == 1)  # the waiter waits
    feed.queue.put(frame(1))
    waiter.join(5)
    assert woke == [True] and g.cur_frame_num == 1 and not g.event.is_set()
    g.stop()
    assert g.is_run is False
    g.join(5)
    assert not g.is_alive()
    # after the loop: a 1 s pause, then close, once
    assert journal[-2:] == [("sleep", 1), "close"] and feed.calls["close"] == 1
    assert feed.calls["reopen"] == 0


def test_file_source_error_stops(logs, fake_time, journal, threads):
    def broken():
        raise OSError("bad sector")
    feed = FakeFeed(kind="file", source=broken, journal=journal)
    g = threads(make(feed))
    g.join(5)
    assert not g.is_alive() and g.is_run is False
    assert journal[-2:] == [("sleep", 1), "close"]
    assert feed.calls["read"] == 1 and feed.calls["reopen"] == 0
    assert logs.messages("ERROR") == []


def test_stream_error_logs_waits_and_reopens(logs, fake_time, journal, threads):
    state = {"n": 0}

    def source():
        state["n"] += 1
        if state["n"] == 3:
            raise ConnectionResetError("peer gone")
        return frame(state["n"]) if state["n"] <= 6 else None
    feed = FakeFeed(kind="stream", fps=200.0, source=source, journal=journal)
    g = make(feed, history_size=8)
    feed.grabber = g
    threads(g)
    wait_until(lambda: g.cur_frame_num == 5)
    errors = logs.messages("ERROR")
    assert len(errors) == 1
    assert errors[0].startswith("Traceback (most recent call last):")
    assert "ConnectionResetError: peer gone" in errors[0]
    i = journal.index("reopen")
    assert journal[i - 1] == ("sleep", 5)
    assert feed.reopened_at == [2] and g.is_run is True
    # the counter went on: the 5th delivered frame is the 6th read
    assert [round(g.get_frame(n).mean()) for n in range(1, 6)] == [1, 2, 4, 5, 6]


def test_periodic_reopen_worked_numbers(logs, fake_time, threads):
    # 25 fps, one frame per pass, every 60 s of stream: at 1499, then 2999.
    feed = FakeFeed(kind="stream", fps=25.0, source=lambda: 1)
    g = make(feed, reconnect_time=60)
    feed.grabber = g
    threads(g)
    wait_until(lambda: g.cur_frame_num > 3000, timeout=20)
    assert feed.reopened_at[:2] == [1499, 2999]
    assert logs.messages("INFO")[1:3] == ["cam reconnect!"] * 2


def test_periodic_reopen_of_a_numbered_source(logs, fake_time, threads):
    feed = FakeFeed(kind="stream", fps=4.0, source=lambda: 1)
    g = sg.StreamGrabber(2, feed, reconnect_time=1)
    feed.grabber = g
    threads(g)
    wait_until(lambda: g.cur_frame_num > 8)
    assert feed.reopened_at[:2] == [3, 7]
    assert logs.messages("INFO")[1:3] == ["2 reconnect!"] * 2 and logs.messages("ERROR") == []


def test_no_periodic_reopen_for_files_or_zero(logs, fake_time, threads):
    file_feed = FakeFeed(kind="file", fps=1000.0, source=lambda: 1)
    stream_feed = FakeFeed(kind="stream", fps=1000.0, source=lambda: 1)
    a = threads(make(file_feed, reconnect_time=0.001))
    b = threads(make(stream_feed, reconnect_time=-5))
    wait_until(lambda: a.cur_frame_num > 50 and b.cur_frame_num > 50)
    assert file_feed.calls["reopen"] == 0 and stream_feed.calls["reopen"] == 0


@pytest.mark.parametrize("fps, first, second, after_first, after_second", [
    # 20 frames in 1.0 s at 25 fps: 0.04 - 0.05 -> 0.03; then 20 in 0.6 s: +0.01
    (25.0, 0.05, 0.03, 0.03, 0.04),
    # far too slow: never below 0.001
    (1000.0, 1.0, 1.0, 0.001, 0.001),
])
def test_pacing(logs, fake_time, threads, fps, first, second, after_first, after_second):
    fake_time.now = 1000.0
    state = {"n": 0}

    def source():
        state["n"] += 1
        n = state["n"]
        if n > 40:
            g.stop()
            return None
        fake_time.now += first if n <= 20 else second
        return n
    g = make(FakeFeed(kind="file", fps=fps, source=source))
    threads(g)
    g.join(5)
    sleeps = fake_time.sleeps()
    assert sleeps[:20] == [pytest.approx(1 / fps)] * 20
    assert sleeps[20:40] == [pytest.approx(after_first)] * 20
    assert sleeps[40] == pytest.approx(after_second)
    # the pass without a frame, still at 40, took the step once more
    assert g.grab_sleep_time == pytest.approx(after_second + 1 / fps)


def reference_pacing(fps, step, start, steps):
    """The pacing rule in plain Python: the pause after each 20th frame, and
    once more after the last pass, which brings no frame and so finds the
    count still at a multiple of 20."""
    pause, last, now, seen = 1.0 / fps, start, start, []
    for n, dt in enumerate(steps + [None], 1):
        if dt is None:
            n -= 1
        else:
            now += dt
        if n % 20 == 0:
            total = now - last
            last = now
            pause += 1 / fps - total / 20 / step
            if pause < 0.001:
                pause = 0.001
            seen.append(pause)
    return seen


@pytest.mark.parametrize("fps, step, start, dts", [
    (25.0, 1, 1000.0, [0.05, 0.03, 0.041]),
    (30, 2, 1000, [1, 0, 2]),               # ints throughout: int - int stays an int
    (29.97, 3, 1e9 + 0.1, [0.1, 0.013, 0.7]),
    (Fraction(25), 1, 50.0, [0.01, 0.05]),  # a number type of its own: Python's operators
    (25.0, 2, Fraction(50), [Fraction(1, 50), Fraction(3, 50)]),
])
def test_pacing_computes_what_python_computes(logs, fake_time, fps, step, start, dts):
    steps = [dt for dt in dts for _ in range(20)]
    fake_time.now = start
    calls = iter(range(1, len(steps) + 2))
    seen = []

    def source():  # the pause as each 20th frame's pacing left it
        n = next(calls)
        if n > 1 and (n - 1) % 20 == 0:
            seen.append(g.grab_sleep_time)
        if n > len(steps):
            g.stop()
            return None
        fake_time.now += steps[n - 1]
        return n
    g = make(FakeFeed(kind="file", fps=fps, source=source), retrieve_step=step)
    g.run()
    seen.append(g.grab_sleep_time)
    expected = reference_pacing(fps, step, start, steps)
    assert [(type(v), v) for v in seen] == [(type(v), v) for v in expected]


def test_failing_reopen_keeps_recovering(logs, fake_time, journal, threads):
    # The network is down for two more reopens, then the stream comes back.
    feed = FakeFeed(kind="stream", fps=200.0, journal=journal)
    state = {"n": 0}

    def source():
        state["n"] += 1
        if state["n"] == 2:
            raise ConnectionError("stream lost")
        return frame(state["n"])
    feed.source = source
    feed.reopen_failures = 3
    g = make(feed)
    threads(g)
    wait_until(lambda: g.cur_frame_num >= 3)
    assert g.is_alive() and g.is_run is True
    assert feed.calls["reopen"] == 4
    errors = logs.messages("ERROR")
    assert len(errors) == 4
    assert "ConnectionError: stream lost" in errors[0]
    assert all("ConnectionError: network down" in e and "stream lost" not in e
               for e in errors[1:])
    # every attempt paused 5 s before its reopen
    reopens = [i for i, x in enumerate(journal) if x == "reopen"]
    assert all(journal[i - 1] == ("sleep", 5) for i in reopens)


def test_stop_ends_a_failing_recovery(logs, fake_time, journal, threads):
    def dead():
        raise ConnectionError("stream lost")
    feed = FakeFeed(kind="stream", source=dead, journal=journal)
    feed.reopen_failures = 10 ** 9
    g = threads(make(feed))
    wait_until(lambda: feed.calls["reopen"] >= 2)
    g.stop()
    g.join(5)
    assert not g.is_alive()
    assert journal[-2:] == [("sleep", 1), "close"]


def test_broken_stream_with_grabs_does_not_spin(logs, fake_time, threads):
    # grab() returns at once and retrieve() gives nothing: each pass pauses.
    feed = FakeFeed(kind="stream", fps=100.0, source=lambda: None)
    g = threads(make(feed, retrieve_step=4))
    wait_until(lambda: feed.calls["retrieve"] >= 20)
    g.stop()
    g.join(5)
    assert len(fake_time.sleeps()) == feed.calls["retrieve"] + 1  # and the final 1 s
    assert feed.calls["grab"] == 4 * feed.calls["retrieve"]


# ---------------------------------------------------------------- the OpenCV source


@pytest.fixture
def clip(tmp_path):
    return write_video(tmp_path / "clip.avi", n=12, size=(64, 48), fps=100.0)


def test_plain_feed_reads_a_file(clip):
    feed = PlainFeed(clip)
    try:
        assert isinstance(feed, FeedBase)
        assert feed.is_open() and feed.file_or_stream() == "file"
        assert feed.fps() == pytest.approx(100.0)
        assert (feed.width(), feed.height()) == (64, 48)
        frames = []
        while (f := feed.read()) is not None:
            frames.append(f)
        assert len(frames) == 12 and frames[0].shape == (48, 64, 3)
        assert [round(f.mean() / 16) for f in frames] == list(range(12))
        feed.reopen()
        assert feed.grab() and feed.grab()
        assert round(feed.retrieve().mean() / 16) == 1
    finally:
        feed.close()
    assert not feed.is_open()


@pytest.mark.parametrize("out, size", [((32, 24), (32, 24)), ((32, None), (32, 24)),
                                       ((None, 12), (16, 12)), ((100, 10), (100, 10))])
def test_plain_feed_resizes(clip, out, size):
    feed = PlainFeed(clip, *out)
    try:
        assert (feed.width(), feed.height()) == size
        assert feed.read().shape == (size[1], size[0], 3)
    finally:
        feed.close()


def test_plain_feed_missing_source(tmp_path):
    feed = PlainFeed(str(tmp_path / "nothing.avi"))
    assert feed.file_or_stream() == "stream" and not feed.is_open()
    assert feed.fps() == PlainFeed.DEFAULT_FPS  # never 0
    assert feed.read() is None
    feed.close()


def test_feed_base_is_an_interface():
    base = FeedBase("x", 1, 2, [3])
    assert (base.device_name, base.out_width, base.out_height, base.args) == ("x", 1, 2, (3,))
    for name in ("is_open", "file_or_stream", "fps", "width", "height", "read", "grab",
                 "retrieve", "reopen", "close"):
        with pytest.raises(NotImplementedError):
            getattr(base, name)()


def test_grabber_over_a_real_file(logs, fake_time, threads, clip):
    g = sg.StreamGrabber(clip, history_size=12)
    assert g.is_file is True and isinstance(g.cap, PlainFeed)
    assert logs.messages("INFO") == [f"read:{clip}, fps:100"]
    threads(g)
    wait_until(lambda: g.cur_frame_num == 12)
    assert [round(g.get_frame(n).mean() / 16) for n in range(1, 13)] == list(range(12))
