"""Stream grabber and readers: the C++ modules side by side with the same
rules written in plain Python (a threading.Thread grabber and a reader
class) over the same fake source.

    PYTHONPATH=. /usr/bin/python3 bench/bench_stream.py [--quick]

Cases: latency from update_frame to the return of a blocked read() (median
and 99th percentile over 1,000 frames); a non-blocking read(is_copy=False);
read() of a 1920x1080x3 frame against a bare np.copy; 8 reader threads on
one grabber at 30 fps for 10 s (frames missed per reader, CPU used).

    PYTHONPATH=. /usr/bin/python3 bench/bench_stream.py --against DIR

The non-blocking read without a copy against its floor (bench/floors.cpp),
this tree beside the build in DIR (see bench/_rows.py).
"""
import resource
import statistics
import sys
import threading
import time
import traceback

import numpy as np

from ravu.utils.logging import init_logger
import ravu.cv.stream_grabber as sg
import ravu.cv.stream_reader as sr

import _bench_floors as floors
import _rows

QUICK = "--quick" in sys.argv
FRAME_1080 = np.random.default_rng(1).integers(0, 255, (1080, 1920, 3), np.uint8)
SMALL = np.zeros((4, 4, 3), np.uint8)


# ---------------------------------------------------------------- the same rules in Python

def py_lock_class_func(instance, func, mutex_name="", timeout=3):
    name = "_mutex_" + mutex_name
    if name in dir(instance):
        mutex = instance.__getattribute__(name)
    else:
        mutex = threading.Lock()
        instance.__setattr__(name, mutex)

    def decorator(*args, **kwargs):
        if not mutex.acquire(timeout=timeout):
            raise Exception(func.__name__ + " acquire timeout")
        try:
            return func(*args, **kwargs)
        finally:
            mutex.release()
    instance.__setattr__(func.__name__, decorator)


class PyRing:
    def __init__(self, size):
        self.size = size
        self.queue = [None] * size
        self.cur_index = 0
        py_lock_class_func(self, self.put)

    def put(self, data):
        self.queue[self.cur_index] = data
        self.cur_index += 1
        self.cur_index = self.cur_index % self.size

    def __getitem__(self, index):
        return self.queue[(self.cur_index + index) % self.size]


class PyFrameMap:
    @staticmethod
    def map(frame, frame_num):
        return frame

    @staticmethod
    def width_map(width, height):
        return width

    @staticmethod
    def height_map(width, height):
        return height


class PyGrabber(threading.Thread):
    def __init__(self, device_name, cap_cls=None, out_width=None, out_height=None, args=(),
                 frame_map=None, reconnect_time=0, retrieve_step=1, history_size=0,
                 map_history_size=0):
        super().__init__()
        self.device_name = device_name
        self.frame_map = PyFrameMap if frame_map is None else frame_map
        self.cap = cap_cls(self.device_name, out_width, out_height, args)
        if not self.cap.is_open():
            raise Exception(device_name, " not open!")
        self.is_file = self.cap.file_or_stream() == "file"
        self.is_run = True
        self.reconnect_time = reconnect_time if reconnect_time > 0 else 0
        self.retrieve_step = retrieve_step
        self.grab_sleep_time = 1.0 / self.cap.fps()
        sg.log().info("read:" + str(device_name) + ", fps:%d" % self.cap.fps())
        self.cur_frame = None
        self.cur_map_frame = None
        self.cur_frame_num = 0
        self.event = threading.Event()
        self.history_size = history_size
        self.history = PyRing(history_size) if history_size > 0 else None
        self.map_history_size = map_history_size
        self.map_history = PyRing(map_history_size) if map_history_size > 0 else None
        py_lock_class_func(self, self.get_frame)
        py_lock_class_func(self, self.get_map_frame)
        py_lock_class_func(self, self.update_frame)
        self.catch = {}
        self.cap_lock = threading.Lock()

    def stop(self):
        self.is_run = False

    def read_frame(self):
        if self.retrieve_step == 1:
            frame = self.cap.read()
            time.sleep(self.grab_sleep_time)
        else:
            for _ in range(self.retrieve_step):
                self.cap.grab()
                if self.is_file:
                    time.sleep(self.grab_sleep_time)
            frame = self.cap.retrieve()
        if frame is None:
            return False
        self.update_frame(frame)
        return True

    def update_frame(self, frame):
        self.cur_frame_num += 1
        self.cur_frame = frame
        map_frame = self.frame_map.map(frame, self.cur_frame_num)
        self.cur_map_frame = map_frame
        if self.history is not None:
            self.history.put(frame)
        if self.map_history is not None:
            self.map_history.put(map_frame)

    def get_frame(self, frame_num):
        return None

    def get_map_frame(self, frame_num):
        return None

    def run(self):
        adjust_num = 20
        last_time = time.time()
        last_open_frame_num = -1
        xt = self.retrieve_step / self.cap.fps()
        while self.is_run:
            try:
                if self.read_frame():
                    self.event.set()
                    self.event.clear()
                if self.is_file:
                    if self.cur_frame_num % adjust_num == 0:
                        cur_time = time.time()
                        total_time = cur_time - last_time
                        last_time = cur_time
                        extra = 1 / self.cap.fps() - total_time / adjust_num / self.retrieve_step
                        self.grab_sleep_time += extra
                        if self.grab_sleep_time < 0.001:
                            self.grab_sleep_time = 0.001
                elif self.reconnect_time != 0 and \
                        (self.cur_frame_num - last_open_frame_num) * xt >= self.reconnect_time:
                    self.cap.reopen()
                    sg.log().info(self.device_name + " reconnect!")
                    last_open_frame_num = self.cur_frame_num
            except BaseException:
                if self.is_file:
                    self.stop()
                else:
                    sg.log().error(traceback.format_exc())
                    time.sleep(5)
                    self.cap.reopen()
        time.sleep(1)
        self.cap.close()


class PyReader:
    def __init__(self, grabber, endpoint="bench"):
        self._endpoint = endpoint
        self.bound_grabber = grabber
        self._cur_frame_num = 0

    def _read(self, is_block, timeout, is_return_num, is_copy, is_map):
        g = self.bound_grabber
        if not g.is_run:
            raise Exception(g.device_name + " is stop")
        if is_block:
            if g.cur_frame_num == self._cur_frame_num:
                g.event.wait(timeout=timeout)
            if g.cur_frame_num == self._cur_frame_num:
                if g._read_timeout_callback is None:
                    g.stop()
                else:
                    g._read_timeout_callback(self._endpoint)
                raise Exception(g.device_name + " is disconnect")
        self._cur_frame_num = g.cur_frame_num
        frame = g.cur_map_frame if is_map else g.cur_frame
        if frame is not None and is_copy:
            frame = np.copy(frame)
        if is_return_num:
            return frame, self._cur_frame_num
        return frame

    def read(self, is_return_num=False, timeout=8, is_copy=True):
        return self._read(True, timeout, is_return_num, is_copy, False)

    def read_non_blocking(self, is_return_num=False, is_copy=True):
        return self._read(False, 0, is_return_num, is_copy, False)


# ---------------------------------------------------------------- the source

class BenchFeed:
    """A stream that delivers `frame` on every read, at `rate` frames per second."""

    def __init__(self, frame, rate=30.0):
        self.frame, self.rate = frame, rate

    def __call__(self, *args):
        return self

    def is_open(self):
        return True

    def file_or_stream(self):
        return "stream"

    def fps(self):
        return self.rate

    def width(self):
        return self.frame.shape[1]

    def height(self):
        return self.frame.shape[0]

    def read(self):
        return self.frame

    def reopen(self):
        pass

    def close(self):
        pass


_keys = iter(range(10 ** 6))


def make_pair(impl, frame, rate=30.0):
    """(grabber, reader) of one implementation; the grabber is not started."""
    feed = BenchFeed(frame, rate)
    if impl == "C++":
        key = "bench-%d" % next(_keys)
        g = sg.StreamGrabber("bench", feed)
        g._read_timeout_callback = None
        g.endpoint = key
        sr._camera_dict[key] = g  # registered by hand: not started yet
        return g, sr.StreamReader(key)
    g = PyGrabber("bench", feed)
    g._read_timeout_callback = None
    return g, PyReader(g)


# ---------------------------------------------------------------- cases

def latency(impl, n):
    g, r = make_pair(impl, SMALL)
    woke = []

    def reader():
        for _ in range(n):
            r.read(timeout=5)
            woke.append(time.perf_counter_ns())
    t = threading.Thread(target=reader)
    t.start()
    sent = []
    waiters = g.event._cond._waiters
    for i in range(n):
        while not waiters:
            time.sleep(0.0002)
        sent.append(time.perf_counter_ns())
        g.update_frame(SMALL)   # what the grabbing thread does after a read
        g.event.set()
        g.event.clear()
        while len(woke) <= i:
            time.sleep(0.0002)
    t.join()
    lat = sorted(b - a for a, b in zip(sent, woke))
    return statistics.median(lat), lat[int(0.99 * (len(lat) - 1))]


def per_op(stmt, names, n, repeat=7):
    """ns per execution of `stmt`, best of `repeat` loops of n after a
    warm-up, the cost of the bare loop taken off."""
    def loop(body):
        code = compile("def _f(_n):\n    for _ in range(_n):\n        %s\n" % body, "<bench>",
                       "exec")
        ns = dict(names)
        exec(code, ns)
        f = ns["_f"]
        f(max(1, n // 10))
        best = None
        for _ in range(repeat):
            t0 = time.perf_counter_ns()
            f(n)
            dt = (time.perf_counter_ns() - t0) / n
            best = dt if best is None else min(best, dt)
        return best
    return loop(stmt) - loop("pass")


def non_blocking(impl, n):
    g, r = make_pair(impl, SMALL)
    g.update_frame(SMALL)
    return per_op("read(is_copy=False)", {"read": r.read_non_blocking}, n)


def read_1080(impl, n):
    g, r = make_pair(impl, FRAME_1080)
    g.update_frame(FRAME_1080)
    # a newer frame is there, so read() returns at once
    return per_op("r._cur_frame_num = 0; r.read()", {"r": r}, n)


def hot_rows():
    gc, rc = make_pair("C++", SMALL)
    gc.update_frame(SMALL)
    gp, rp = make_pair("Python", SMALL)
    gp.update_frame(SMALL)
    names = {"rc": rc, "rp": rp, "rf": floors.Reader(gc)}
    return [("non-blocking read without a copy", 500000, {
        "python": ("rp.read_non_blocking(is_copy=False)", names),
        "ravu": ("rc.read_non_blocking(is_copy=False)", names),
        "floor": ("rf.read_non_blocking(is_copy=False)", names)})]


def cpu_seconds():
    u = resource.getrusage(resource.RUSAGE_SELF)
    return u.ru_utime + u.ru_stime


def fan_out(impl, readers, seconds, frame):
    g, r0 = make_pair(impl, frame, 30.0)
    reader_list = [r0] + [(sr.StreamReader(r0.endpoint) if impl == "C++" else PyReader(g))
                          for _ in range(readers - 1)]
    stats = [[0, 0] for _ in reader_list]   # frames read, frames missed
    done = threading.Event()

    def consume(i, r):
        last = None
        while not done.is_set():
            try:
                _, num = r.read(True, timeout=2)
            except Exception:
                return
            if last is not None:
                stats[i][1] += num - last - 1
            stats[i][0] += 1
            last = num
    workers = [threading.Thread(target=consume, args=(i, r)) for i, r in enumerate(reader_list)]
    g.daemon = True
    g.start()
    for w in workers:
        w.start()
    time.sleep(0.5)  # warm-up: every reader is in its loop
    for s in stats:
        s[0] = s[1] = 0
    c0, t0, f0 = cpu_seconds(), time.monotonic(), g.cur_frame_num
    time.sleep(seconds)
    c1, t1, f1 = cpu_seconds(), time.monotonic(), g.cur_frame_num
    done.set()
    for w in workers:
        w.join()
    g.stop()
    g.join()
    missed = [s[1] for s in stats]
    return (f1 - f0) / (t1 - t0), max(missed), sum(missed), 100.0 * (c1 - c0) / (t1 - t0)


def main():
    init_logger(appname="bench_stream", open_console=False, open_localfile=False)
    if _rows.main_rows(sys.argv, hot_rows):
        return
    n_lat = 200 if QUICK else 1000
    n_ops = 20000 if QUICK else 200000
    n_big = 50 if QUICK else 300
    secs = 2 if QUICK else 10

    print("%-44s %14s %14s %8s" % ("case", "C++", "Python", "ratio"))
    for impl_case, label in [(latency, "update_frame -> blocked read()")]:
        impl_case("C++", 100)      # warm-up of both
        impl_case("Python", 100)
        c = impl_case("C++", n_lat)
        p = impl_case("Python", n_lat)
        print("%-44s %11.1f us %11.1f us %7.2fx" % (label + ", median", c[0] / 1e3, p[0] / 1e3,
                                                    p[0] / c[0]))
        print("%-44s %11.1f us %11.1f us %7.2fx" % (label + ", p99", c[1] / 1e3, p[1] / 1e3,
                                                    p[1] / c[1]))
    c, p = non_blocking("C++", n_ops), non_blocking("Python", n_ops)
    print("%-44s %11.0f ns %11.0f ns %7.2fx" % ("read_non_blocking(is_copy=False)", c, p, p / c))
    floor = per_op("copy(frame)", {"copy": np.copy, "frame": FRAME_1080}, n_big)
    c, p = read_1080("C++", n_big), read_1080("Python", n_big)
    print("%-44s %11.0f us %11.0f us %7.2fx" % ("read() of 1920x1080x3", c / 1e3, p / 1e3, p / c))
    print("%-44s %11.0f us %14s %7.2fx" % ("  bare np.copy (floor); C++ read / floor", floor / 1e3,
                                            "", c / floor))
    for frame, name in [(FRAME_1080, "1080p"), (SMALL, "4x4")]:
        res = {impl: fan_out(impl, 8, secs, frame) for impl in ("C++", "Python")}
        label = "8 readers, 30 fps, %d s, %s frames" % (secs, name)
        print(label)
        print("%-44s %14.1f %14.1f" % ("  delivered fps", res["C++"][0], res["Python"][0]))
        print("%-44s %14d %14d" % ("  frames missed, worst reader", res["C++"][1], res["Python"][1]))
        print("%-44s %14d %14d" % ("  frames missed, all readers", res["C++"][2], res["Python"][2]))
        print("%-44s %12.1f %% %12.1f %% %7.2fx" % ("  CPU of one core", res["C++"][3],
                                                   res["Python"][3],
                                                   res["Python"][3] / max(res["C++"][3], 1e-9)))
    for key in [k for k in sr._camera_dict if str(k).startswith("bench-")]:
        g = sr._camera_dict[key]
        g.stop()
        if g.is_alive():
            g.join()


if __name__ == "__main__":
    main()
