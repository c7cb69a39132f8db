"""create_cap and StreamReader: the registry by endpoint key, blocking and
non-blocking reads, time-outs with and without callback, stopped grabbers,
the properties, the function lock, and a real video file read by two
readers."""
import itertools
import threading
import weakref

import numpy as np
import pytest

import ravu.cv.stream_grabber as sg
import ravu.cv.stream_reader as sr
import ravu.utils
from tests._stream_fakes import (FakeFeed, fake_time, frame, journal, logs, threads,  # noqa: F401
                                 wait_until, write_video)

_keys = itertools.count()


@pytest.fixture
def cap(threads, request):
    """create_cap on a key of this test; every grabber it starts is stopped
    and joined at the end."""
    def make(cap_cls=FakeFeed, *args, key=None, device="cam", **kw):
        key = key if key is not None else f"{request.node.name}-{next(_keys)}"
        known = sr._camera_dict.get(key)
        r = sr.create_cap(key, device, FakeFeed() if cap_cls is FakeFeed else cap_cls, *args,
                          **kw)
        if known is None:
            threads.track(r.bound_grabber)
        return r
    return make


def push(r, value):
    """Has the grabber of `r` deliver one frame and waits until it has."""
    g = r.bound_grabber
    n = g.cur_frame_num
    g.cap.queue.put(value)
    wait_until(lambda: g.cur_frame_num > n)
    return g.cur_frame


def test_module_bindings():
    assert sr.__all__ == ["create_cap", "StreamReader"]
    assert sr.np is np and sr.StreamGrabber is sg.StreamGrabber
    for name in ravu.utils.__all__:
        assert getattr(sr, name) is getattr(ravu.utils, name)
    assert isinstance(sr._camera_dict, dict)
    # create_cap is the function lock's wrapper
    assert sr.create_cap.__name__ == "decorator" and not hasattr(sr.create_cap, "mutex")


# ---------------------------------------------------------------- create_cap


def test_create_cap_starts_one_grabber_per_key(cap):
    feed = FakeFeed()
    r = cap(feed)
    g = r.bound_grabber
    assert type(r) is sr.StreamReader and isinstance(g, sg.StreamGrabber)
    assert sr._camera_dict[r.endpoint] is g
    assert g.daemon is True and g.is_alive()
    assert g._read_timeout_callback is None and g.endpoint == r.endpoint
    count = threading.active_count()
    other = FakeFeed()
    r2 = sr.create_cap(r.endpoint, "other", other, read_timeout_callback=print)
    assert r2 is not r and r2.bound_grabber is g
    assert other.made_with is None and g.device_name == "cam"
    assert g._read_timeout_callback is None and threading.active_count() == count


def test_create_cap_passes_the_grabber_arguments_by_position(cap):
    feed = FakeFeed(kind="file")

    def cb(key):
        pass
    r = cap(feed, 10, 20, ("a",), sg.FrameMap, 3, 2, 4, 5, cb)
    g = r.bound_grabber
    assert feed.made_with == ("cam", 10, 20, ("a",))
    assert (g.reconnect_time, g.retrieve_step, g.history_size, g.map_history_size) == (3, 2, 4, 5)
    assert g._read_timeout_callback is cb


@pytest.mark.parametrize("call, message", [
    ("()", "create_cap() missing 2 required positional arguments: 'endpoint' and 'device_name'"),
    ("('k')", "create_cap() missing 1 required positional argument: 'device_name'"),
    ("('k', 'd', fps=2)", "create_cap() got an unexpected keyword argument 'fps'"),
    ("(*range(13))", "create_cap() takes from 2 to 12 positional arguments but 13 were given"),
])
def test_create_cap_arguments(call, message):
    with pytest.raises(TypeError) as e:
        eval("sr.create_cap" + call)
    assert str(e.value) == message


def test_failed_open_registers_nothing(cap):
    key = "never-opened"
    count = threading.active_count()
    with pytest.raises(Exception) as e:
        cap(FakeFeed(opened=False), key=key)
    assert e.value.args == ("cam", " not open!")
    assert key not in sr._camera_dict and threading.active_count() == count
    # the function lock was released: the next call goes through at once
    r = cap(FakeFeed(), key=key)
    assert sr._camera_dict[key] is r.bound_grabber


def test_create_cap_lock_times_out(cap):
    # One call opens a slow source and holds the one lock for all keys.
    entered, release = threading.Event(), threading.Event()

    class SlowFeed(FakeFeed):
        def __call__(self, *args):
            entered.set()
            release.wait(10)
            return super().__call__(*args)
    got = []
    opener = threading.Thread(target=lambda: got.append(cap(SlowFeed())))
    opener.start()
    try:
        assert entered.wait(5)
        with pytest.raises(Exception) as e:
            cap(FakeFeed())
        assert type(e.value) is Exception and e.value.args == ("create_cap acquire timeout",)
    finally:
        release.set()
        opener.join(10)
    assert len(got) == 1 and got[0].bound_grabber.is_alive()


# ---------------------------------------------------------------- readers


def test_reader_for_an_unknown_key():
    with pytest.raises(Exception) as e:
        sr.StreamReader(("no", "such", "key"))
    assert type(e.value) is Exception
    assert e.value.args == (("no", "such", "key"), " is not create!")


def test_non_blocking_before_the_first_frame(cap):
    r = cap()
    assert r.read_non_blocking() is None
    assert r.read_non_blocking(True) == (None, 0)
    assert r.read_map_non_blocking(is_return_num=True, is_copy=False) == (None, 0)
    assert r._cur_frame_num == 0


def test_blocking_read_waits_for_the_first_frame(cap):
    r = cap()
    timer = threading.Timer(0.05, r.bound_grabber.cap.queue.put, (frame(9),))
    timer.start()
    got, num = r.read(True, timeout=5)
    timer.join()
    assert num == 1 and (got == frame(9)).all()


def test_new_reader_returns_at_once_with_the_grabbers_number(cap):
    r = cap()
    for i in (1, 2, 3):
        push(r, frame(i))
    late = sr.StreamReader(r.endpoint)
    assert late._cur_frame_num == 0 and late.bound_grabber is r.bound_grabber
    got, num = late.read(is_return_num=True, timeout=0)  # counters differ: no wait
    assert num == 3 and (got == frame(3)).all()


@pytest.mark.parametrize("method", ["read_non_blocking", "read_map_non_blocking"])
def test_copies(cap, method):
    r = cap()
    held = push(r, frame(4))
    read = getattr(r, method)
    a, na = read(True)
    b, nb = read(True)
    assert na == nb == 1
    assert a is not b and a is not held and (a == b).all() and (a == held).all()
    assert a.flags.owndata and a.flags.writeable
    assert read(is_copy=False) is held


def test_blocking_read_after_a_non_blocking_one_waits_for_a_newer_frame(cap):
    calls = []
    r = cap(read_timeout_callback=calls.append)
    push(r, frame(1))
    assert r.read_non_blocking(True)[1] == 1
    with pytest.raises(Exception, match="^cam is disconnect$"):
        r.read(timeout=0)
    timer = threading.Timer(0.05, r.bound_grabber.cap.queue.put, (frame(2),))
    timer.start()
    got, num = r.read(True, 5)
    timer.join()
    assert num == 2 and (got == frame(2)).all() and calls == [r.endpoint]


def test_time_out_without_callback_stops_the_grabber(cap):
    r = cap()
    other = sr.StreamReader(r.endpoint)
    g = r.bound_grabber
    push(r, frame(1))
    r.read()
    with pytest.raises(Exception) as e:
        r.read(timeout=0)
    assert type(e.value) is Exception and e.value.args == ("cam is disconnect",)
    assert g.is_run is False and r._cur_frame_num == 1
    g.join(5)
    assert not g.is_alive()
    # stopped for good, and still registered
    later = sr.create_cap(r.endpoint, "other", FakeFeed())
    assert later.bound_grabber is g and sr._camera_dict[r.endpoint] is g
    for reader in (r, other, later):
        for read in (reader.read, reader.read_map, reader.read_non_blocking,
                     reader.read_map_non_blocking):
            with pytest.raises(Exception) as e:
                read()
            assert e.value.args == ("cam is stop",)


def test_time_out_with_callback(cap):
    calls = []
    r = cap(read_timeout_callback=calls.append)
    g = r.bound_grabber
    push(r, frame(1))
    r.read()
    for n in (1, 2):
        with pytest.raises(Exception, match="^cam is disconnect$"):
            r.read_map(timeout=0)
        assert calls == [r.endpoint] * n
    assert g.is_run is True and g.is_alive() and r._cur_frame_num == 1


def test_failing_callback_reaches_the_reader(cap):
    def cb(key):
        raise ValueError(key)
    r = cap(read_timeout_callback=cb)
    with pytest.raises(ValueError) as e:
        r.read(timeout=0)
    assert e.value.args == (r.endpoint,) and r.bound_grabber.is_run is True


def test_reader_waiting_when_the_grabber_stops(cap):
    r = cap()
    g = r.bound_grabber
    stops = []
    real_stop = g.stop
    g.stop = lambda: (stops.append(1), real_stop())[1]
    errors = []

    def wait():
        try:
            r.read(timeout=0.5)
        except Exception as exc:
            errors.append(exc.args)
    waiter = threading.Thread(target=wait)
    waiter.start()
    wait_until(lambda: len(g.event._cond._waiters) == 1)
    g.stop()
    waiter.join(5)
    assert errors == [("cam is disconnect",)] and len(stops) == 2


def test_frame_after_the_wait_gave_up_still_counts(cap):
    # The second comparison alone decides: here the frame comes inside wait()
    # although the wait reports a time-out.
    r = cap()
    g = r.bound_grabber

    class LateEvent:
        def __init__(self):
            self.timeouts = []

        def wait(self, *, timeout):
            self.timeouts.append(timeout)
            g.update_frame(frame(5))
            return False
    g.event = late = LateEvent()
    got, num = r.read(True, 0.25)
    assert late.timeouts == [0.25] and num == 1 and (got == frame(5)).all()


def test_none_frames_are_not_copied(cap):
    r = cap()
    g = r.bound_grabber
    g.update_frame(None)  # a frame hook or caller may publish None
    assert r.read(True, timeout=0) == (None, 1)


def test_read_arguments(cap):
    r = cap()
    with pytest.raises(TypeError) as e:
        r._read(True, 0)
    assert str(e.value) == ("StreamReader._read() missing 3 required positional arguments: "
                            "'is_return_num', 'is_copy', and 'is_map'")
    with pytest.raises(TypeError) as e:
        r.read_non_blocking(False, True, 0)
    assert str(e.value) == ("StreamReader.read_non_blocking() takes from 1 to 3 positional "
                            "arguments but 4 were given")
    assert r._read(is_block=False, timeout=None, is_return_num=1, is_copy=0, is_map=0) == (None, 0)


# ---------------------------------------------------------------- properties and history


class HalfHook:
    @staticmethod
    def map(frame, frame_num):
        return frame[::2, ::2]

    @staticmethod
    def width_map(width, height):
        return width / 2.5

    @staticmethod
    def height_map(width, height):
        return -height / 4


def test_properties(cap):
    feed = FakeFeed(fps=12.5, width=64, height=10)
    r = cap(feed, None, None, (), HalfHook, 0, 3, 7)
    g = r.bound_grabber
    assert r.device_name == "cam" and r.endpoint == r._endpoint
    assert (r.width, r.height, r.fps) == (64, 10, 12.5)
    assert (r.map_width, r.map_height) == (25, -2)  # int() cuts toward zero
    assert r.frame_map is HalfHook and r.retrieve_step == 3 and r.history_size == 7
    assert r.cap_lock is g.cap_lock and r.catch is g.catch
    assert sr.StreamReader(r.endpoint).catch is r.catch
    with pytest.raises(AttributeError):
        r.width = 3


def test_default_hook_sizes(cap):
    r = cap(FakeFeed(width=640, height=480))
    assert (r.map_width, r.map_height) == (r.width, r.height) == (640, 480)


def test_cur_frame_num_follows_the_grabber(cap):
    r = cap()
    push(r, frame(1))
    push(r, frame(2))
    assert r.cur_frame_num == 2 and r._cur_frame_num == 0
    r.read_non_blocking()
    assert r._cur_frame_num == 2


def test_mapped_reads_and_history(cap):
    r = cap(FakeFeed(), None, None, (), HalfHook, 0, 1, 3, 3)
    g = r.bound_grabber
    for i in range(4):
        push(r, np.arange(16, dtype=np.uint8).reshape(4, 4) + i)
    got, num = r.read_map(True)
    assert num == 4 and got.shape == (2, 2) and (got == g.cur_map_frame).all()
    assert r.get_frame(0) is g.cur_frame and r.get_map_frame(frame_num=0) is g.cur_map_frame
    assert r.get_frame(2) is g.get_frame(-2) and r.get_frame(1) is None


# ---------------------------------------------------------------- a real file


def test_two_readers_of_a_real_video(cap, fake_time, tmp_path):
    fake_time.real_short_sleeps = True  # paced at the file's 100 fps
    path = write_video(tmp_path / "clip.avi", n=15, size=(64, 48), fps=100.0)
    first = cap(None, device=path, history_size=15)
    g = first.bound_grabber
    assert g.is_file is True and first.fps == pytest.approx(100.0)
    assert (first.width, first.height) == (64, 48)
    second = sr.StreamReader(first.endpoint)
    seen = {first: [], second: []}

    def consume(reader):
        while True:
            try:
                f, n = reader.read(True, timeout=1)
            except Exception:
                return
            seen[reader].append((n, round(f.mean() / 16), f.shape))
            if n == 15:
                return
    workers = [threading.Thread(target=consume, args=(x,)) for x in seen]
    for w in workers:
        w.start()
    for w in workers:
        w.join(10)
    for reader, got in seen.items():
        nums = [n for n, _, _ in got]
        assert nums == sorted(set(nums)) and nums[-1] == 15
        assert all(level == n - 1 and shape == (48, 64, 3) for n, level, shape in got)


# ---------------------------------------------------------------- the rules behind the reads


def test_public_reads_go_through_read(cap):
    calls = []

    class Recording(sr.StreamReader):
        def _read(self, *args):
            calls.append(args)
            return "x"
    r = cap()
    sub = Recording(r.endpoint)
    # an instance attribute shadows the method as well
    plain = sr.StreamReader(r.endpoint)
    plain._read = lambda *args: (calls.append(args), "x")[1]
    want = [(True, 8, False, True, False), (True, 2, True, False, False),
            (True, 0.5, False, True, True), (False, 0, False, False, False),
            (False, 0, True, True, True)]
    def every_read(reader):
        del calls[:]
        assert (reader.read(), reader.read(True, 2, False), reader.read_map(timeout=0.5),
                reader.read_non_blocking(is_copy=False),
                reader.read_map_non_blocking(True)) == ("x",) * 5
        assert calls == want
    for reader in (sub, plain):
        every_read(reader)
    # and so does a replacement on the class itself, as a mock patch makes one
    other = sr.StreamReader(r.endpoint)
    own = sr.StreamReader.__dict__["_read"]
    sr.StreamReader._read = lambda self, *args: (calls.append(args), "x")[1]
    try:
        every_read(other)
    finally:
        sr.StreamReader._read = own
    assert not isinstance(other.read_non_blocking(is_copy=False), str)


def test_copies_are_made_by_the_module_numpy(cap, monkeypatch):
    copied = []

    class Np:
        @staticmethod
        def copy(a):
            copied.append(a)
            return "copy"
    r = cap()
    held = push(r, frame(1))
    monkeypatch.setattr(sr, "np", Np)
    assert r.read_non_blocking() == "copy" and copied == [held]
    assert r.read_non_blocking(is_copy=False) is held and len(copied) == 1


def test_reads_see_every_write_to_the_grabber(cap):
    # Readers take the grabber's attributes as they are now, whoever set them.
    r = cap()
    g = r.bound_grabber
    held = push(r, frame(1))
    assert r.read_non_blocking(is_copy=False) is held
    other = frame(2)
    g.cur_frame = other
    assert r.read_non_blocking(is_copy=False) is other
    g.cur_map_frame = "mapped"
    assert r.read_map_non_blocking(is_copy=False) == "mapped"
    vars(g)["cur_frame_num"] = 41
    assert r.read(True, timeout=0, is_copy=False) == (other, 41)
    g.is_run = False
    with pytest.raises(Exception, match="^cam is stop$"):
        r.read_non_blocking()
    g.is_run = True


def test_read_while_the_replaced_frame_is_freed(cap):
    # The interpreter's own attribute store drops the old value before the
    # dict shows the change; a read from inside that drop (a weak-reference
    # callback of the old frame) gets the new frame, not the dying one.
    class NoMap:
        @staticmethod
        def map(frame, frame_num):
            return None
    r = cap(FakeFeed(), None, None, (), NoMap)
    g = r.bound_grabber
    seen, refs = [], []

    def store(value):
        g.cur_frame = value

    for _ in range(100):
        old, new = frame(1), frame(2)
        g.update_frame(old)  # the only holder of `old` is now the grabber
        refs.append(weakref.ref(old, lambda ref: seen.append(r.read_non_blocking(is_copy=False))))
        del old
        store(new)
        assert seen[-1] is new


@pytest.mark.parametrize("call, message", [
    ("read(False, is_return_num=True)", "StreamReader.read() got multiple values for argument "
                                        "'is_return_num'"),
    ("read_non_blocking(timeout=1)", "StreamReader.read_non_blocking() got an unexpected "
                                     "keyword argument 'timeout'"),
    ("read_map(1, 2, 3, 4)", "StreamReader.read_map() takes from 1 to 4 positional arguments "
                             "but 5 were given"),
])
def test_read_argument_errors(cap, call, message):
    r = cap()
    with pytest.raises(TypeError) as e:
        eval("r." + call)
    assert str(e.value) == message


def test_keywords_by_any_name_object(cap):
    r = cap()
    kw = {"".join(["is_", "copy"]): False, "".join(["is_return", "_num"]): True}  # not interned
    assert r.read_non_blocking(**kw) == (None, 0)


def test_a_source_named_by_a_number(cap):
    # A camera index names a source too; the messages show it as text.
    r = cap(device=0)
    assert r.device_name == 0
    with pytest.raises(Exception) as e:
        r.read(timeout=0)
    assert e.value.args == ("0 is disconnect",)
    with pytest.raises(Exception) as e:
        r.read_non_blocking()
    assert e.value.args == ("0 is stop",)


def test_create_cap_takes_the_grabber_class_at_call_time(cap, monkeypatch):
    # A subclass reaches every attribute through the ordinary protocol.
    class Doubling(sg.StreamGrabber):
        @property
        def cur_frame_num(self):
            return 2 * vars(self)["cur_frame_num"]

        @cur_frame_num.setter
        def cur_frame_num(self, value):
            vars(self)["cur_frame_num"] = value
    monkeypatch.setattr(sr, "StreamGrabber", Doubling)
    r = cap()
    assert type(r.bound_grabber) is Doubling and r.bound_grabber.is_alive()
    push(r, frame(3))
    got, num = r.read(True, timeout=0)
    assert num == 2 and r.cur_frame_num == 2 and (got == frame(3)).all()


class Truth:
    def __init__(self, value):
        self.value = value

    def __bool__(self):
        if isinstance(self.value, Exception):
            raise self.value
        return self.value


@pytest.mark.parametrize("flag", [True, False, None, 0, 1, [], [0], "", np.bool_(True),
                                  np.bool_(False), Truth(True), Truth(False)], ids=repr)
def test_read_flags_by_their_truth(cap, flag):
    r = cap()
    g = r.bound_grabber
    g.update_frame(np.zeros((2, 2, 3), np.uint8))
    got = r.read_non_blocking(is_return_num=flag, is_copy=flag)
    frame = got[0] if bool(flag) else got
    assert (type(got) is tuple) == bool(flag)
    assert (frame is not g.cur_frame) == bool(flag)
    g.is_run = flag
    if bool(flag):
        r.read_non_blocking()
    else:
        with pytest.raises(Exception, match="^cam is stop$"):
            r.read_non_blocking()


def test_read_flag_truth_errors_propagate(cap):
    r = cap()
    r.bound_grabber.update_frame(np.zeros((2, 2, 3), np.uint8))
    with pytest.raises(ZeroDivisionError):
        r.read_non_blocking(is_copy=Truth(ZeroDivisionError()))
    r.bound_grabber.is_run = Truth(KeyError("x"))
    with pytest.raises(KeyError):
        r.read_non_blocking()


class Swap:
    """A flag whose truth test first runs `act` (the reader calls it between
    two of its look-ups of the grabber's attributes)."""

    def __init__(self, value, act):
        self.value, self.act = value, act

    def __bool__(self):
        self.act()
        return self.value


def test_reads_look_again_after_code_ran(cap):
    # Code run by a truth test may change the grabber, even give it another
    # __dict__: the attributes read after it are those it left, as Python's
    # own look-ups would find them.
    r = cap()
    g = r.bound_grabber
    first, second = np.zeros((2, 2, 3), np.uint8), np.ones((2, 2, 3), np.uint8)
    g.update_frame(first)

    def new_dict():
        d = dict(vars(g))
        d["cur_frame"], d["cur_frame_num"] = second, 7
        g.__dict__ = d

    def in_place():
        g.cur_frame, g.cur_frame_num = second, 9

    # (the read, its flags' truth tests running `act`, what it returns)
    cases = [
        # is_run is tested first: number and frame come from the new dict
        (lambda: r.read_non_blocking(True, is_copy=False), "is_run", new_dict, (second, 7)),
        # is_map before the frame is taken, after the number
        (lambda: r._read(False, 0, True, False, Swap(False, new_dict)), None, None, (second, 1)),
        (lambda: r._read(False, 0, True, False, Swap(False, in_place)), None, None, (second, 1)),
        # is_return_num last: the frame was taken before
        (lambda: r.read_non_blocking(Swap(True, new_dict), is_copy=False), None, None,
         (first, 1)),
    ]
    for read, flag, act, expected in cases:
        vars(g).update(cur_frame=first, cur_frame_num=1, is_run=True)
        if flag:
            setattr(g, flag, Swap(True, act))
        got = read()
        assert got[0] is expected[0] and got[1] == expected[1]
    g.is_run = Swap(True, lambda: g.__dict__.pop("cur_frame"))
    with pytest.raises(AttributeError, match="cur_frame"):
        r.read_non_blocking(is_copy=False)
    g.is_run = True
