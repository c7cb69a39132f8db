"""ravu.utils.ticker: the Ticker thread, its pass loop, and the task registry.

Each test gets a fresh `_status` and `_task_list` (the stop status is for
the life of a process otherwise); `time` and `log` of the module are
replaced by recorders that write one journal, so pauses cost nothing and
their order against the passes is visible.
"""
import contextlib
import inspect
import re
import sys
import textwrap
import threading
import time
import traceback
import types

import pytest

import ravu.utils.logging as rlog
from ravu.utils import ticker, working
from tests._proc import run_py

HERE = __name__


@pytest.fixture
def registry(monkeypatch):
    tasks = []
    monkeypatch.setattr(ticker, "_task_list", tasks)
    monkeypatch.setattr(ticker, "_status", ticker.TIMER_STATUS_START)
    yield tasks
    ticker._status = ticker.TIMER_STATUS_STOP
    for t in tasks:
        if t.is_alive():
            t.join(10)


@pytest.fixture
def journal(monkeypatch, registry):
    events = []

    class Logger:
        def error(self, text):
            events.append(("error", text))

    monkeypatch.setattr(ticker, "log", lambda: Logger())
    monkeypatch.setattr(ticker, "time",
                        types.SimpleNamespace(sleep=lambda s: events.append(("sleep", s))))
    return events


@contextlib.contextmanager
def uncaught():
    """Exceptions that end a thread, as threading.excepthook sees them (set
    in the test body: pytest installs its own hook for the call)."""
    seen = []
    old = threading.excepthook
    threading.excepthook = lambda args: seen.append(args.exc_value)
    try:
        yield seen
    finally:
        threading.excepthook = old


class Counter(ticker.Ticker):
    """Journals its hooks; at pass n raises task_info["fail"][n] (or the
    same every pass with "fail_always") and stops every task after
    task_info["stop_after"] passes."""

    def init(self):
        self.made_in = threading.get_ident()
        self.passes = 0
        self.events = self.task_info.get("events", [])

    def init_run(self):
        self.ran_in = threading.get_ident()
        self.events.append(("init_run",))

    def do(self):
        self.passes += 1
        self.events.append(("do", self.passes, sys.exc_info()[0]))
        if self.passes == self.task_info.get("stop_after"):
            ticker.timer_stop_all()
        exc = self.task_info.get("fail", {}).get(self.passes) or self.task_info.get("fail_always")
        if exc:
            raise exc


class Stepping(Counter):
    """Sets its own interval at each pass: 1, 2, 3..."""

    def do(self):
        super().do()
        self.interval = self.passes


def run_tasks(*infos):
    for info in infos:
        ticker.timer_add_task(info)
    ticker.timer_start_all()
    return list(ticker._task_list)


def passes(events):
    return [e for e in events if e[0] != "init_run"]


# ---------------------------------------------------------------- module


def test_module_surface():
    assert ticker.__all__ == ["Ticker", "timer_add_task", "timer_start_all", "timer_stop_all"]
    assert ticker.threading is threading and ticker.time is time
    assert ticker.traceback is traceback
    assert ticker.log is rlog.log and ticker.get_class_or_func is working.get_class_or_func
    assert (ticker.TIMER_STATUS_START, ticker.TIMER_STATUS_STOP) == (0, 1)
    assert type(ticker._task_list) is list
    names = list(vars(ticker))
    order = ["threading", "time", "log", "get_class_or_func", "traceback", "_task_list",
             "Ticker", "timer_add_task", "timer_start_all", "timer_stop_all"]
    assert [names.index(n) for n in order] == sorted(names.index(n) for n in order)
    assert ticker.Ticker.__mro__ == (ticker.Ticker, threading.Thread, object)
    assert {"__init__", "init", "init_run", "do", "run"} <= set(vars(ticker.Ticker))
    assert str(inspect.signature(ticker.Ticker)) == "(task_info)"
    for name in ["init", "init_run", "do", "run"]:
        assert str(inspect.signature(getattr(ticker.Ticker, name))) == "(self, /)"
    for f in (ticker.timer_start_all, ticker.timer_stop_all):
        assert str(inspect.signature(f)) == "()"
    assert str(inspect.signature(ticker.timer_add_task)) == "(task_info)"


# ---------------------------------------------------------------- construction


@pytest.mark.parametrize("info, interval", [
    ({}, 0.001), ({"interval": None}, 0.001), ({"interval": 0}, 0), ({"interval": 0.0}, 0.0),
    ({"interval": False}, False), ({"interval": 2.5}, 2.5), ({"interval": "x"}, "x"),
])
def test_construction(info, interval):
    t = ticker.Ticker(info)
    assert t.task_info is info
    assert repr(t.interval) == repr(interval)
    assert re.fullmatch(r"Thread-\d+", t.name) and t.daemon is False
    assert ticker.Ticker(task_info=info).task_info is info


def test_hooks_and_daemon_flag_follow_the_constructing_thread():
    made = {}

    def construct():
        made["task"] = Counter({})

    th = threading.Thread(target=construct, daemon=True)
    th.start()
    th.join()
    t = made["task"]
    assert t.daemon is True and t.made_in == th.ident and t.passes == 0
    base = ticker.Ticker({})
    assert base.init() is None and base.init_run() is None and base.do() is None


def test_constructor_errors_and_overrides():
    with pytest.raises(TypeError):
        ticker.Ticker()
    with pytest.raises(TypeError):
        ticker.Ticker({}, 1)
    with pytest.raises(AttributeError):
        ticker.Ticker(5)  # no .get

    class Own(ticker.Ticker):
        def __init__(self, task_info, extra):
            super().__init__(task_info)
            self.extra = extra

    o = Own({"interval": 3}, "e")
    assert (o.interval, o.extra) == (3, "e") and isinstance(o, threading.Thread)

    # The thread part is set up by Thread.__init__ itself, not by whatever
    # class a subclass's MRO puts between Ticker and Thread.
    class NeedsArgs(threading.Thread):
        def __init__(self, required):
            super().__init__(name="never")

    class Mixed(ticker.Ticker, NeedsArgs):
        pass

    m = Mixed({})
    assert re.fullmatch(r"Thread-\d+", m.name) and m.task_info == {}


# ---------------------------------------------------------------- the pass loop


@pytest.mark.parametrize("info, pause", [
    ({}, 0.001), ({"interval": None}, 0.001), ({"interval": 0}, None), ({"interval": 0.0}, None),
    ({"interval": False}, None), ({"interval": 2}, 2), ({"interval": 0.5}, 0.5),
])
def test_passes_and_pauses(journal, info, pause):
    (task,) = run_tasks(dict(info, classpath=f"{HERE}.Counter", events=journal, stop_after=3))
    expected = [("init_run",)]
    for n in (1, 2, 3):
        expected.append(("do", n, None))
        if pause is not None:
            expected.append(("sleep", pause))
    assert journal == expected
    assert task.ran_in != task.made_in == threading.get_ident()
    assert not task.is_alive() and ticker._status == ticker.TIMER_STATUS_STOP


def test_interval_is_read_at_every_pass(journal):
    run_tasks({"classpath": f"{HERE}.Stepping", "events": journal, "stop_after": 3})
    assert [e for e in journal if e[0] == "sleep"] == [("sleep", 1), ("sleep", 2), ("sleep", 3)]


@pytest.mark.parametrize("exc", [ValueError("v"), SystemExit(3), KeyboardInterrupt()])
def test_failed_pass_is_logged_paused_on_and_dropped(journal, exc):
    run_tasks({"classpath": f"{HERE}.Counter", "events": journal, "stop_after": 2,
               "fail": {1: exc}, "interval": 0.25})
    kind, text = journal[2]
    assert journal[:2] == [("init_run",), ("do", 1, None)] and kind == "error"
    assert text.startswith("Traceback (most recent call last):")
    assert text.rstrip().splitlines()[-1] == traceback.format_exception_only(exc)[-1].rstrip()
    assert "in do" in text
    # The exception is no longer the one being handled at the next pass.
    assert journal[3:] == [("sleep", 2), ("sleep", 0.25), ("do", 2, None), ("sleep", 0.25)]


def test_failing_every_pass(journal):
    run_tasks({"classpath": f"{HERE}.Counter", "events": journal, "stop_after": 3,
               "fail_always": RuntimeError("again")})
    kinds = [e[0] if e[0] != "sleep" else e for e in passes(journal)]
    assert kinds == ["do", "error", ("sleep", 2), ("sleep", 0.001)] * 3


def test_logging_failure_ends_the_thread(journal, monkeypatch):
    def no_logger():
        raise Exception("日志未初始化!")

    monkeypatch.setattr(ticker, "log", no_logger)
    with uncaught() as seen:
        run_tasks({"classpath": f"{HERE}.Counter", "events": journal,
                   "fail_always": ValueError("first")})
    assert passes(journal) == [("do", 1, None)]
    (exc,) = seen
    assert str(exc) == "日志未初始化!" and isinstance(exc.__context__, ValueError)
    assert ticker._status == ticker.TIMER_STATUS_START  # the other tasks would go on


class FailingStart(Counter):
    def init_run(self):
        raise LookupError("no start")


def test_init_run_failure_ends_the_thread_unlogged(journal):
    with uncaught() as seen:
        run_tasks({"classpath": f"{HERE}.FailingStart", "events": journal})
    assert journal == [] and [type(e) for e in seen] == [LookupError]


@pytest.mark.parametrize("interval, error", [(-1, ValueError), ("1", TypeError)])
def test_bad_interval_ends_the_thread(registry, interval, error):
    events = []
    with uncaught() as seen:
        run_tasks({"classpath": f"{HERE}.Counter", "events": events, "interval": interval})
    assert passes(events) == [("do", 1, None)] and [type(e) for e in seen] == [error]


def test_loop_without_pause_lets_other_threads_run(tmp_path):
    # Base Ticker, no pause: do() is native, so the loop itself must yield
    # the GIL, or start() never returns.  In a child, so that a hang fails.
    _, out, _ = run_py(tmp_path, """
        from ravu.utils import ticker
        t = ticker.Ticker({"interval": 0})
        t.start()
        ticker.timer_stop_all()
        t.join()
        print("joined")
    """, timeout=30)
    assert out == "joined\n"


# ---------------------------------------------------------------- registry


def test_start_all_with_nothing_registered(registry):
    assert ticker.timer_start_all() is None


def test_stop_before_start(journal):
    ticker.timer_add_task({"classpath": f"{HERE}.Counter", "events": journal})
    ticker.timer_add_task({"classpath": f"{HERE}.Counter", "events": journal})
    assert ticker.timer_stop_all() is None
    ticker.timer_start_all()
    assert journal == [("init_run",), ("init_run",)]


def test_one_task_stops_all(journal):
    a, b = run_tasks({"classpath": f"{HERE}.Counter", "events": journal, "stop_after": 5,
                      "interval": 0},
                     {"classpath": f"{HERE}.Counter", "interval": 0})
    assert a.passes == 5 and not b.is_alive()


def test_same_class_twice_gives_independent_tasks(journal):
    info_a = {"classpath": f"{HERE}.Counter", "interval": 0, "stop_after": 2}
    info_b = {"classpath": f"{HERE}.Counter", "interval": 7}
    a, b = run_tasks(info_a, info_b)
    assert a is not b and a.passes == 2 and hasattr(b, "ran_in")
    assert (a.task_info, a.interval, b.task_info, b.interval) == (info_a, 0, info_b, 7)


def test_second_start_all_fails_before_joining(journal):
    run_tasks({"classpath": f"{HERE}.Counter", "events": journal, "stop_after": 1})
    with pytest.raises(RuntimeError, match="started once"):
        ticker.timer_start_all()


class BadInit(ticker.Ticker):
    def init(self):
        raise ArithmeticError("init")


@pytest.mark.parametrize("info, error", [
    ({"interval": 1}, KeyError),
    ({"classpath": "no_such_module_q.Task"}, ModuleNotFoundError),
    ({"classpath": f"{HERE}.Missing"}, AttributeError),
    ({"classpath": f"{HERE}.BadInit"}, ArithmeticError),
])
def test_add_task_errors_register_nothing(registry, info, error):
    with pytest.raises(error):
        ticker.timer_add_task(info)
    assert registry == []


def test_add_task_constructs_now_through_the_global(registry, monkeypatch):
    asked = []
    monkeypatch.setattr(ticker, "get_class_or_func", lambda p: asked.append(p) or Counter)
    info = {"classpath": "any.Where"}
    assert ticker.timer_add_task(task_info=info) is None
    (task,) = registry
    assert asked == ["any.Where"] and task.task_info is info
    assert task.made_in == threading.get_ident() and not task.is_alive()


def test_failed_task_logs_through_the_real_logger(tmp_path):
    _, _, err = run_py(tmp_path, """
        import types
        from ravu.utils.logging import init_logger
        from ravu.utils import ticker

        class Task(ticker.Ticker):
            def do(self):
                self.n = getattr(self, "n", 0) + 1
                if self.n == 1:
                    raise ValueError("boom")
                ticker.timer_stop_all()

        ticker.time = types.SimpleNamespace(sleep=lambda s: None)
        init_logger("tasks")
        ticker.timer_add_task({"classpath": "__main__.Task"})
        ticker.timer_start_all()
        print("done")
    """)
    log = (tmp_path / "logs" / "tasks.log").read_text()
    assert "|ERROR]" in log and "Traceback (most recent call last):" in log
    assert "ValueError: boom" in log
