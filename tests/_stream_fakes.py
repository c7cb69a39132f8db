"""Fake capture sources, a stand-in clock for the grabber module, the log
capture and a small video file, shared by the two stream test files."""
import collections
import logging
import queue
import threading
import time

import cv2
import numpy as np
import pytest

import ravu.cv.stream_grabber as sg
from ravu.utils.logging import init_logger
import ravu.utils

_real_sleep = time.sleep


def frame(i, shape=(2, 3, 3)):
    return np.full(shape, i, np.uint8)


class FakeFeed:
    """A capture source; the grabber calls it as its capture-source class and
    gets the feed itself.  Frames come from `source()` when given, else from
    `queue` (None when it stays empty for a moment)."""

    def __init__(self, kind="stream", fps=25.0, opened=True, width=8, height=6, source=None,
                 journal=None):
        self.kind, self._fps, self.opened = kind, fps, opened
        self._width, self._height = width, height
        self.source = source
        self.queue = queue.Queue()
        self.calls = collections.Counter()
        self.journal = journal if journal is not None else []
        self.made_with = None
        self.reopen_failures = 0      # how many reopen() calls raise next
        self.reopened_at = []         # cur_frame_num of `grabber` at each reopen
        self.grabber = None
        self.closed = threading.Event()

    def __call__(self, *args):
        self.made_with = args
        return self

    def is_open(self):
        return self.opened

    def file_or_stream(self):
        return self.kind

    def fps(self):
        return self._fps

    def width(self):
        return self._width

    def height(self):
        return self._height

    def _next(self):
        if self.source is not None:
            return self.source()
        try:
            return self.queue.get(timeout=0.002)
        except queue.Empty:
            return None

    def read(self):
        self.calls["read"] += 1
        return self._next()

    def grab(self):
        self.calls["grab"] += 1
        return True

    def retrieve(self):
        self.calls["retrieve"] += 1
        return self._next()

    def reopen(self):
        self.calls["reopen"] += 1
        self.journal.append("reopen")
        if self.grabber is not None:
            self.reopened_at.append(self.grabber.cur_frame_num)
        if self.reopen_failures:
            self.reopen_failures -= 1
            raise ConnectionError("network down")

    def close(self):
        self.calls["close"] += 1
        self.journal.append("close")
        self.closed.set()


class FakeTime:
    """Stands in for the grabber module's `time`: records every sleep in
    `journal` and sleeps for real only briefly (long pauses become 10 ms);
    `time()` is the real clock unless `now` is set."""

    def __init__(self, journal):
        self.journal = journal
        self.now = None
        self.real_short_sleeps = False  # pauses below 0.5 s for real (real pacing)

    def sleep(self, seconds):
        self.journal.append(("sleep", seconds))
        if seconds >= 0.5:
            _real_sleep(0.01)
        else:
            _real_sleep(seconds if self.real_short_sleeps else 0)

    def time(self):
        return time.time() if self.now is None else self.now

    def sleeps(self):
        return [s for e, s in (x for x in self.journal if isinstance(x, tuple)) if e == "sleep"]


class LogCapture(logging.Handler):
    def __init__(self):
        super().__init__(logging.DEBUG)
        self.records = []

    def emit(self, record):
        self.records.append((record.levelname, record.getMessage()))

    def messages(self, level=None):
        return [m for lv, m in self.records if level is None or lv == level]


@pytest.fixture
def logs():
    """The process logger, set up quietly once, with a capture handler."""
    init_logger(appname="ravu_stream_tests", open_console=False, open_localfile=False,
                exist_ok=True)
    logger = ravu.utils.log()
    handler = LogCapture()
    logger.addHandler(handler)
    yield handler
    logger.removeHandler(handler)


@pytest.fixture
def journal():
    return []


@pytest.fixture
def fake_time(monkeypatch, journal):
    ft = FakeTime(journal)
    monkeypatch.setattr(sg, "time", ft)
    return ft


@pytest.fixture
def threads(logs, fake_time):
    """Starts grabbers and stops and joins every one at the end."""
    started = []

    def start(g):
        g.daemon = True
        g.start()
        started.append(g)
        return g

    start.track = started.append
    yield start
    for g in started:
        g.stop()
    for g in started:
        g.join(10)
        assert not g.is_alive()


def wait_until(pred, timeout=5.0):
    end = time.monotonic() + timeout
    while not pred():
        if time.monotonic() > end:
            raise AssertionError("condition not reached")
        _real_sleep(0.001)


def write_video(path, n=12, size=(64, 48), fps=100.0):
    """An MJPG file of n frames; frame i is uniformly grey at 16 * i (n <= 16)."""
    w = cv2.VideoWriter(str(path), cv2.VideoWriter_fourcc(*"MJPG"), fps, size)
    assert w.isOpened()
    for i in range(n):
        w.write(np.full((size[1], size[0], 3), 16 * i, np.uint8))
    w.release()
    return str(path)
