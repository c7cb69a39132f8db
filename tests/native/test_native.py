"""The shared argument parser binds and refuses exactly like a Python def."""
import inspect

import pytest

from tests.native import _native_probe as probe


def f(a, b, /, c, d=None, *, e, g=None):
    return (a, b, c, d, e, g), None, None


def h(x, /):
    return x


def v(a, b=None, *args, **kwargs):
    return (a, b), args, kwargs


def f2(a, b, /, c, d=None, *, e, g=-1.5):
    return (a, b, c, d, e, g), None, None


def v2(a, b='x, y', *args, **kwargs):
    return (a, b), args, kwargs


def n():
    return "called"


def w(p, /, **kwargs):
    return (p,), None, kwargs


class C:
    def m(self, x, y=None):
        return (x, y), None, None

    def m2(self, x, y=3):
        return (x, y), None, None


CALLS = [
    (f, probe.f, "()", {}),
    (f, probe.f, "(1, 2, 3, e=5)", {}),
    (f, probe.f, "(1, 2, c=3, d=4, e=5, g=6)", {}),
    (f, probe.f, "(1, 2, 3)", {}),
    (f, probe.f, "(1, 2)", {}),
    (f, probe.f, "(1, 2, 3, 4, 5)", {}),
    (f, probe.f, "(1, 2, 3, 4, 5, e=1)", {}),
    (f, probe.f, "(1, 2, 3, e=1, zz=2)", {}),
    (f, probe.f, "(1, 2, 3, c=1, e=1)", {}),
    (f, probe.f, "(a=1, b=2, c=3, e=1)", {}),
    (h, probe.h, "(1)", {}),
    (h, probe.h, "()", {}),
    (h, probe.h, "(1, 2)", {}),
    (h, probe.h, "(x=1)", {}),
    (h, probe.h, "(y=1)", {}),
    (v, probe.v, "(1, 2, 3, 4, k=5)", {}),
    (v, probe.v, "(b=2, a=1, z=3)", {}),
    (v, probe.v, "()", {}),
    (v, probe.v, "(1, a=2)", {}),
    (w, probe.w, "(1, p=2)", {}),
    (f2, probe.f2, "(1, 2, 3, e=5)", {}),
    (f2, probe.f2, "(1, 2, c=3, d=4, e=5, g=6)", {}),
    (f2, probe.f2, "(1, 2)", {}),
    (f2, probe.f2, "(1, b=2, c=3, e=5)", {}),
    (v2, probe.v2, "(1)", {}),
    (v2, probe.v2, "(1, 2, 3, k=5)", {}),
    (v2, probe.v2, "(b=2, a=1, z=3)", {}),
    (n, probe.n, "()", {}),
    (n, probe.n, "(1)", {}),
    (n, probe.n, "(x=1)", {}),
    (w, probe.w, "(p=2)", {}),
]


def outcome(fn, call):
    try:
        return "ok", eval("fn" + call, {"fn": fn})
    except TypeError as exc:
        return "TypeError", str(exc)


@pytest.mark.parametrize("py, native, call, _", CALLS)
def test_binding_matches_python(py, native, call, _):
    assert outcome(native, call) == outcome(py, call)


@pytest.mark.parametrize("call", ["()", "(1, 2, 3)", "(1, z=2)", "(1, x=2)", "(1, y=2)", "(1)"])
def test_method_messages_count_self(call):
    assert outcome(probe.m, call) == outcome(C().m, call)


@pytest.mark.parametrize("call", ["()", "(1)", "(1, 2, 3)", "(x=1, y=2)", "(1, z=2)"])
def test_method_signature_text_counts_self(call):
    assert outcome(probe.m2, call) == outcome(C().m2, call)


@pytest.mark.parametrize("py, native", [(f2, probe.f2), (v2, probe.v2), (n, probe.n)])
def test_one_statement_gives_signature_and_doc(py, native):
    assert inspect.signature(native) == inspect.signature(py)
    assert native.__doc__ and "--" not in native.__doc__


def test_method_text_signature_starts_with_self():
    assert probe.m2.__text_signature__ == "($self, x, y=3)"


def test_global_lookup_sees_current_binding_and_builtins():
    assert probe.global_of("__name__") == "tests.native._native_probe"
    assert probe.global_of("len") is len
    probe.later = 1
    assert probe.global_of("later") == 1
    with pytest.raises(NameError, match="name 'nothing' is not defined"):
        probe.global_of("nothing")


def test_saved_error_restores_or_chains_like_finally():
    with pytest.raises(KeyError, match="first"):
        probe.finally_raises(lambda: None)

    def cleanup():
        raise ValueError("second")

    with pytest.raises(ValueError, match="second") as info:
        probe.finally_raises(cleanup)
    assert isinstance(info.value.__context__, KeyError)


# ---- the Redis script runner: what follows a failed run, by its rule

LOST, RELOAD_ANY, RERUN_ANY = range(3)


class Script:
    """run(digest) and load() of a script whose runs raise `errors` in
    turn (then succeed); load() hands out d1, d2, ... or raises."""

    def __init__(self, *errors, load_error=None):
        self.errors, self.load_error, self.log = list(errors), load_error, []

    def run(self, digest):
        self.log.append(digest)
        if self.errors:
            raise self.errors.pop(0)
        return "ran " + digest

    def load(self):
        self.log.append("load")
        if self.load_error:
            raise self.load_error
        return "d%d" % self.log.count("load")


def fresh_error(name):
    """A fresh error of each kind the table names (an error raised twice
    would carry its first context along)."""
    import redis
    return {"lost": lambda: redis.exceptions.NoScriptError("lost"),
            "gone": lambda: ConnectionError("gone"), "again": lambda: KeyError("again"),
            "interrupt": KeyboardInterrupt}[name]()


RUNNER = [
    # rule, digest, errors of the runs, load error, calls, result or (error, its context)
    (LOST, "d0", [], None, ["d0"], "ran d0"),
    (RERUN_ANY, None, [], None, ["load", "d1"], "ran d1"),
    (LOST, "d0", ["lost"], None, ["d0", "load", "d1"], "ran d1"),
    (LOST, "d0", ["gone"], None, ["d0"], (ConnectionError, None)),
    (LOST, "d0", ["lost", "gone"], None, ["d0", "load", "d1"], (ConnectionError, "lost")),
    (RELOAD_ANY, "d0", ["gone"], None, ["d0", "load"], (ConnectionError, None)),
    (RELOAD_ANY, "d0", ["lost"], None, ["d0", "load", "d1"], "ran d1"),
    (RELOAD_ANY, "d0", ["gone"], ValueError("no room"), ["d0", "load"], (ValueError, "gone")),
    (RERUN_ANY, "d0", ["gone"], None, ["d0", "load", "d1"], "ran d1"),
    (RERUN_ANY, "d0", ["gone", "again"], None, ["d0", "load", "d1"], (KeyError, "gone")),
    (RERUN_ANY, "d0", ["interrupt"], None, ["d0"], (KeyboardInterrupt, None)),
    (LOST, None, [], ValueError("no room"), ["load"], (ValueError, None)),
]


@pytest.mark.parametrize("rule, digest, errors, load_error, log, outcome", RUNNER)
def test_script_runner_rules(rule, digest, errors, load_error, log, outcome):
    script = Script(*map(fresh_error, errors), load_error=load_error)
    if isinstance(outcome, str):
        assert probe.run_script(rule, digest, script.run, script.load) == outcome
    else:
        error, context = outcome
        with pytest.raises(error) as info:
            probe.run_script(rule, digest, script.run, script.load)
        got = info.value.__context__
        assert (got if got is None else str(got).strip("'")) == context
    assert script.log == log
