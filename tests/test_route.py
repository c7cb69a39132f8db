"""The registry of request handlers by URL and phase."""
import inspect
import threading

import pytest

import ravu.mqrpc.context as context
import ravu.mqrpc.route as route
import ravu.utils.datakit as datakit
import ravu.utils.logging as logging_mod
from ravu.mqrpc.route import (PHASE_AFTER, PHASE_BEFORE, PHASE_DURING, add_response_route,
                              default_after_handle, default_before_handle,
                              default_during_handle, get_handles, get_redis_urls, get_urls,
                              response_route)
from tests._proc import run_py


@pytest.fixture(autouse=True)
def empty_registry():
    route._route_dict.clear()
    yield
    route._route_dict.clear()


def test_module_interface():
    assert route.__all__ == ["PHASE_BEFORE", "PHASE_DURING", "PHASE_AFTER", "response_route",
                             "add_response_route"]
    assert (PHASE_BEFORE, PHASE_DURING, PHASE_AFTER) == ("BEFORE", "DURING", "AFTER")
    assert route.request is context.request and context.__all__ == ["request"]
    assert isinstance(context.request, threading.local)
    assert route.get_any_from_dict is datakit.get_any_from_dict
    assert route.log is logging_mod.log
    assert route.get_ident is threading.get_ident  # werkzeug.local has none here
    sigs = {response_route: "(url, phase='DURING')",
            add_response_route: "(url, func, phase='DURING')", get_handles: "(url)",
            get_urls: "()", get_redis_urls: "()", default_before_handle: "()",
            default_during_handle: "()", default_after_handle: "()"}
    for fn, sig in sigs.items():
        assert str(inspect.signature(fn)) == sig and fn.__doc__
    decorator = response_route("u")
    assert decorator.__qualname__ == "response_route.<locals>.decorator"
    assert decorator.__name__ == "decorator" and decorator.__module__ == "ravu.mqrpc.route"
    assert str(inspect.signature(decorator)) == "(func)"
    for fn in (default_before_handle, default_during_handle, default_after_handle, get_urls):
        with pytest.raises(TypeError):
            fn(1)


# ---- the registry against the same rules in plain Python

class PyRoute:
    def __init__(self):
        self.routes = {}

    def add(self, url, func, phase="DURING"):
        handles = self.routes.get(url)
        if handles is None:
            self.routes[url] = {phase: func}
            return None
        if handles.get(phase) is not None:
            raise Exception(str(url) + " " + str(phase) + " is exist!")
        handles[phase] = func

    def handles(self, url):
        handles = self.routes[url]
        out = []
        for phase, default in (("BEFORE", "before"), ("DURING", "during"), ("AFTER", "after")):
            if handles.get(phase) is None:
                handles[phase] = default
            out.append(handles[phase])
        return tuple(out)


def f1():
    return "f1"


def f2():
    return "f2"


DEFAULTS = {"before": default_before_handle, "during": default_during_handle,
            "after": default_after_handle}
# Each step: ("add", url, func, phase) or ("handles", url); funcs by name.
SCENARIOS = {
    "decorated during only": [("add", "U", "f1", "DURING"), ("handles", "U"),
                              ("add", "U", "f2", "BEFORE")],
    "before and after first": [("add", "U", "f1", "BEFORE"), ("add", "U", "f2", "AFTER"),
                               ("handles", "U"), ("handles", "U")],
    "duplicate during": [("add", "U", "f1", "DURING"), ("add", "U", "f2", "DURING"),
                         ("handles", "U")],
    "other phase": [("add", "U", "f1", "ELSE"), ("handles", "U"), ("add", "U", "f2", "ELSE")],
    "none handler": [("add", "U", None, "DURING"), ("add", "U", "f2", "DURING"),
                     ("add", "V", None, "AFTER"), ("handles", "V")],
    "unregistered": [("add", "U", "f1", "DURING"), ("handles", "V")],
    "keys of any kind": [("add", 7, "f1", "AFTER"), ("add", 7, "f2", "AFTER"),
                         ("add", ("t", 1), "f1", 3), ("add", ("t", 1), "f1", 3),
                         ("handles", 7)],
}


def outcome(fn, *args):
    try:
        return ("ok", fn(*args))
    except Exception as e:
        return (type(e), str(e))


@pytest.mark.parametrize("steps", SCENARIOS.values(), ids=SCENARIOS.keys())
def test_registry_matches_plain_python(steps):
    ref = PyRoute()
    funcs = {"f1": f1, "f2": f2, None: None}
    for step in steps:
        if step[0] == "add":
            _, url, func, phase = step
            assert outcome(add_response_route, url, funcs[func], phase) == \
                outcome(ref.add, url, funcs[func], phase)
        else:
            got, want = outcome(get_handles, step[1]), outcome(ref.handles, step[1])
            if want[0] == "ok":
                want = ("ok", tuple(DEFAULTS.get(h, h) for h in want[1]))
            assert got == want
    expected = {url: {p: DEFAULTS.get(h, h) for p, h in handles.items()}
                for url, handles in ref.routes.items()}
    assert route._route_dict == expected
    assert get_urls() == list(ref.routes)


def test_decorator_registers_when_applied_and_returns_the_function():
    def handler():
        return "h"

    decorator = response_route("U", PHASE_BEFORE)
    assert route._route_dict == {}
    assert decorator(handler) is handler
    assert route._route_dict == {"U": {"BEFORE": handler}}
    with pytest.raises(Exception, match="^U BEFORE is exist!$"):
        decorator(func=f1)
    with pytest.raises(Exception, match="^U BEFORE is exist!$"):
        @response_route("U", phase=PHASE_BEFORE)
        def again():
            pass
    assert "again" not in locals()
    assert get_handles("U") == (handler, default_during_handle, default_after_handle)
    assert get_handles("U")[1]() == "ok"


def test_default_phase_is_fixed_at_definition(monkeypatch):
    monkeypatch.setattr(route, "PHASE_DURING", "CHANGED")
    add_response_route("U", f1)
    response_route("V")(f2)
    assert route._route_dict == {"U": {"DURING": f1}, "V": {"DURING": f2}}
    # get_handles reads the constants at its call
    assert get_handles("U")[1] is default_during_handle
    assert route._route_dict["U"]["CHANGED"] is default_during_handle


def test_names_are_looked_up_at_each_call(monkeypatch):
    added = []
    monkeypatch.setattr(route, "add_response_route", lambda *a, **k: added.append((a, k)))
    assert response_route("U", "P")(f1) is f1
    assert added == [(("U", f1, "P"), {})]

    seen = []

    def spy(obj, key, creator):
        seen.append((obj, key, creator()))
        return datakit.get_any_from_dict(obj, key, creator)

    monkeypatch.setattr(route, "get_any_from_dict", spy)
    monkeypatch.setattr(route, "default_after_handle", f2)
    route._route_dict["U"] = {"DURING": f1}
    assert get_handles("U") == (default_before_handle, f1, f2)
    handles = route._route_dict["U"]
    assert seen == [(handles, "BEFORE", default_before_handle),
                    (handles, "DURING", default_during_handle), (handles, "AFTER", f2)]
    monkeypatch.setattr(route, "_route_dict", {"W": {}})
    assert get_urls() == ["W"] and get_handles("W")[1] is default_during_handle


def test_url_lists_are_new_lists_in_registration_order():
    assert get_urls() == [] and get_redis_urls() == []
    add_response_route("A", f1)
    add_response_route("B", f1)
    add_response_route("A", f2, PHASE_AFTER)
    urls, keys = get_urls(), get_redis_urls()
    assert urls == ["A", "B"] and keys == ["RAVU_MQ_URL_A", "RAVU_MQ_URL_B"]
    urls.append("C")
    keys.clear()
    assert get_urls() == ["A", "B"] and get_redis_urls() == ["RAVU_MQ_URL_A", "RAVU_MQ_URL_B"]
    add_response_route(5, f1)
    assert get_urls() == ["A", "B", 5]
    with pytest.raises(TypeError, match="concatenate"):
        get_redis_urls()


# ---- default handlers

class FakeLogger:
    def __init__(self, events):
        self.events = events

    @property
    def info(self):
        self.events.append("info looked up")
        return lambda text: self.events.append(text)


class Request:
    def __init__(self, events, mq_id):
        self.events, self._mq_id = events, mq_id

    @property
    def mq_id(self):
        self.events.append("mq_id read")
        if self._mq_id is None:
            raise AttributeError("mq_id")
        return self._mq_id


@pytest.fixture
def events(monkeypatch):
    events = []
    monkeypatch.setattr(route, "log", lambda: events.append("log()") or FakeLogger(events))
    return events


@pytest.mark.parametrize("handler, head", [(default_before_handle, "RECV"),
                                           (default_after_handle, "SEND")])
def test_default_log_lines(monkeypatch, events, handler, head):
    monkeypatch.setattr(route, "request", Request(events, "RAVU_MQ_RESP_9"))
    assert handler() is None
    assert events == ["log()", "info looked up", "mq_id read",
                      f"{head}[{threading.get_ident()}]:RAVU_MQ_RESP_9"]


@pytest.mark.parametrize("ident, text", [(12.7, "12"), (True, "1"), (-3, "-3")])
def test_thread_identity_is_written_as_an_integer(monkeypatch, events, ident, text):
    monkeypatch.setattr(route, "request", Request(events, 5))
    monkeypatch.setattr(route, "get_ident", lambda: ident)
    default_after_handle()
    assert events[-1] == f"SEND[{text}]:5"


def test_default_handler_errors(monkeypatch, events):
    monkeypatch.setattr(route, "request", Request(events, None))
    with pytest.raises(AttributeError):
        default_before_handle()
    assert events == ["log()", "info looked up", "mq_id read"]
    monkeypatch.setattr(route, "request", Request(events, 1))
    monkeypatch.setattr(route, "get_ident", lambda: "not a number")
    with pytest.raises(TypeError):
        default_after_handle()


def test_each_thread_logs_its_own_request(events):
    def serve(mq_id):
        context.request.mq_id = mq_id
        default_before_handle()

    threads = [threading.Thread(target=serve, args=(f"RAVU_MQ_RESP_{i}",)) for i in range(3)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    lines = [e for e in events if e.startswith("RECV")]
    assert sorted(line.split(":")[1] for line in lines) == [f"RAVU_MQ_RESP_{i}" for i in range(3)]
    assert sorted(int(line[5:line.index("]")]) for line in lines) == \
        sorted(t.ident for t in threads)
    assert not hasattr(context.request, "mq_id")  # never set in this thread


def test_defaults_with_the_real_logger(tmp_path):
    _, out, err = run_py(tmp_path, """
        import threading
        from ravu.mqrpc import route
        from ravu.mqrpc.context import request
        from ravu.utils.logging import init_logger
        assert route.default_during_handle() == "ok"
        for handler in (route.default_before_handle, route.default_after_handle):
            try:
                handler()
            except Exception as e:
                print(type(e).__name__, e)
        init_logger("routes", open_localfile=False)
        request.mq_id = "RAVU_MQ_RESP_42"
        route.default_before_handle()
        route.default_after_handle()
        print(threading.get_ident())
    """)
    lines = out.splitlines()
    assert lines[:2] == ["Exception 日志未初始化!"] * 2
    ident = lines[2]
    assert f"RECV[{ident}]:RAVU_MQ_RESP_42" in err and f"SEND[{ident}]:RAVU_MQ_RESP_42" in err
    assert "|INFO]" in err
