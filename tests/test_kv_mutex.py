"""KvMutex: the Redis lock, against a private redis-server."""
import inspect
import re
import subprocess
import time
import uuid

import pytest
import redis

import ravu.utils.kv_link as kv_link
import ravu.utils.kv_mutex as kv_mutex
from ravu.utils.kv_mutex import KvMutex
from tests._proc import PY, child_env
from tests._redis import RedisServer
from tests._redis_ref import UNLOCK_SCRIPT as UNLOCK

TOKEN = re.compile(r"^[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$")


@pytest.fixture(scope="module")
def srv():
    with RedisServer() as s:
        yield s


@pytest.fixture
def conf(srv):
    c = srv.client()
    c.flushall()
    c.config_resetstat()
    return {"port": srv.port}


def calls(srv, command):
    """How many times the server ran `command` since the last reset."""
    stats = srv.client().info("commandstats")
    return stats.get(f"cmdstat_{command}", {}).get("calls", 0)


def test_module_interface():
    assert kv_mutex.__all__ == ["KvMutex"]
    assert kv_mutex._unlock_script == UNLOCK
    assert kv_mutex.redis_conn is kv_link.redis_conn
    assert str(inspect.signature(KvMutex)) == \
        "(lock_name, redis_conf=None, acquire_timeout=12, lock_timeout=None)"
    assert {"__init__", "__enter__", "__exit__"} <= set(vars(KvMutex))
    assert not hasattr(KvMutex, "acquire") and not hasattr(KvMutex, "release")


def test_defaults():
    m = KvMutex("job")
    assert vars(m) == {"redis_conf": None, "lock_name": "RAVU_RDLOCKjob", "acquire_timeout": 12,
                       "lock_timeout": 12, "uuid": None}
    assert list(vars(m)) == ["redis_conf", "lock_name", "acquire_timeout", "lock_timeout", "uuid"]


@pytest.mark.parametrize("args, kwargs, acquire, lock", [
    ((), {"acquire_timeout": 1}, 1, 2),
    ((), {"acquire_timeout": 600}, 600, 180),
    ((), {"acquire_timeout": 7.9}, 7, 7),
    ((), {"acquire_timeout": "-3"}, -3, 2),
    ((), {"lock_timeout": 1}, 12, 2),
    ((), {"lock_timeout": 1000}, 12, 180),
    ((), {"lock_timeout": 10 ** 30}, 12, 180),
    ((), {"lock_timeout": -10 ** 30}, 12, 2),
    ((), {"lock_timeout": 30.9}, 12, 30),
    ((), {"lock_timeout": "45"}, 12, 45),
    ((None, 0.5, 100), {}, 0, 100),
    ((None, 3, True), {}, 3, 2),
])
def test_time_outs_are_truncated_and_the_lock_time_out_clamped(args, kwargs, acquire, lock):
    m = KvMutex(7, *args, **kwargs)
    assert m.lock_name == "RAVU_RDLOCK7"
    assert (m.acquire_timeout, m.lock_timeout) == (acquire, lock)
    assert type(m.acquire_timeout) is int and type(m.lock_timeout) is int


@pytest.mark.parametrize("kwargs, error", [
    ({"acquire_timeout": None}, TypeError),
    ({"acquire_timeout": "soon"}, ValueError),
    ({"lock_timeout": "x"}, ValueError),
    ({"lock_timeout": float("inf")}, OverflowError),
])
def test_constructor_conversion_errors(kwargs, error):
    with pytest.raises(error):
        KvMutex("job", **kwargs)


def test_take_and_release(srv, conf):
    c = srv.client()
    m = KvMutex("job", conf, lock_timeout=30)
    assert m.__exit__(None, None, None) is None  # never entered: nothing sent
    assert calls(srv, "eval") + calls(srv, "evalsha") == 0
    with m as bound:
        assert bound is None
        assert TOKEN.match(m.uuid)
        assert c.get("RAVU_RDLOCKjob") == m.uuid.encode()
        assert 29 <= c.ttl("RAVU_RDLOCKjob") <= 30
    assert c.exists("RAVU_RDLOCKjob") == 0
    first = m.uuid
    assert TOKEN.match(first)  # __exit__ keeps the token
    with m:
        assert m.uuid != first
    assert calls(srv, "set") == 2


def test_release_after_the_script_cache_was_flushed(srv, conf):
    c = srv.client()
    with KvMutex("job", conf):
        pass  # the release script is in the server's cache now
    with KvMutex("job", conf):
        c.script_flush()
    assert c.exists("RAVU_RDLOCKjob") == 0
    assert calls(srv, "script|load") == 1


def test_failed_reload_of_the_lost_release_script_keeps_its_cause(srv, conf, monkeypatch):
    import redis

    c = srv.client()
    with KvMutex("job", conf):
        pass

    def refuse(self, script):
        raise RuntimeError("no room")

    with pytest.raises(RuntimeError, match="no room") as info:
        with KvMutex("job", conf):
            c.script_flush()
            monkeypatch.setattr(redis.Redis, "script_load", refuse)
    assert isinstance(info.value.__context__, redis.exceptions.NoScriptError)


def test_release_error_other_than_a_lost_script_loads_nothing(srv, conf, monkeypatch):
    loads = []

    def gone(self, *args):
        raise redis.ConnectionError("gone")

    m = KvMutex("job", conf)
    m.__enter__()
    monkeypatch.setattr(redis.Redis, "evalsha", gone)
    monkeypatch.setattr(redis.Redis, "script_load", lambda self, text: loads.append(text))
    with pytest.raises(redis.ConnectionError, match="gone") as info:
        m.__exit__(None, None, None)
    assert loads == [] and info.value.__context__ is None


def test_configuration_with_an_option_the_client_refuses(srv):
    # Each use fails in the getter, and the key's client is not spoilt.
    bad = {"host": "127.0.0.1", "port": srv.port, "db": 5, "colour": "red"}
    for _ in range(2):
        with pytest.raises(TypeError, match="colour"):
            with KvMutex("job", bad):
                pass
    with KvMutex("job", {"host": "127.0.0.1", "port": srv.port, "db": 5}):
        assert srv.client(db=5).exists("RAVU_RDLOCKjob") == 1


def test_exception_in_block_propagates_after_release(srv, conf):
    m = KvMutex("job", conf)
    with pytest.raises(KeyError, match="inner"):
        with m:
            raise KeyError("inner")
    assert srv.client().exists("RAVU_RDLOCKjob") == 0


@pytest.mark.parametrize("change", ["expired", "taken"])
def test_release_leaves_a_key_that_is_no_longer_ours(srv, conf, change):
    c = srv.client()
    with KvMutex("job", conf):
        c.delete("RAVU_RDLOCKjob")
        if change == "taken":
            c.set("RAVU_RDLOCKjob", "other")
    assert c.get("RAVU_RDLOCKjob") == (b"other" if change == "taken" else None)


def test_held_key_times_out_after_polling(srv, conf):
    c = srv.client()
    c.set("RAVU_RDLOCKjob", "other", ex=60)
    ran = []
    m = KvMutex("job", conf, acquire_timeout=1)
    start = time.monotonic()
    with pytest.raises(Exception) as info:
        with m:
            ran.append(1)
    assert time.monotonic() - start >= 0.95
    assert type(info.value) is Exception and info.value.args == ("KvMutex acquire_timeout",)
    assert ran == [] and m.uuid is None
    assert c.get("RAVU_RDLOCKjob") == b"other"
    # polled, but with a pause between attempts (one second holds ~100)
    assert 10 <= calls(srv, "set") <= 110


@pytest.mark.parametrize("acquire_timeout", [0, -5, 0.5])
def test_no_time_to_wait_raises_without_a_command(srv, conf, acquire_timeout):
    m = KvMutex("job", conf, acquire_timeout=acquire_timeout)
    with pytest.raises(Exception, match="^KvMutex acquire_timeout$"):
        m.__enter__()
    assert m.uuid is None and calls(srv, "set") == 0


def test_separate_objects_exclude_each_other_and_expiry_frees_the_key(srv, conf):
    c = srv.client()
    holder = KvMutex("shared", conf, lock_timeout=2)
    other = KvMutex("shared", conf, acquire_timeout=2)
    holder.__enter__()
    c.pexpire("RAVU_RDLOCKshared", 100)  # the holder outlives its lock
    with other:
        assert c.get("RAVU_RDLOCKshared") == other.uuid.encode()
    holder.__exit__(None, None, None)  # finds another token (or none): deletes nothing
    assert c.exists("RAVU_RDLOCKshared") == 0


HOLDER = """
import sys
from ravu.utils.kv_mutex import KvMutex
with KvMutex("proc", {"port": int(sys.argv[1])}, lock_timeout=60):
    print("held", flush=True)
    sys.stdin.read()
"""


def test_lock_excludes_another_process(srv, conf):
    child = subprocess.Popen([PY, "-c", HOLDER, str(srv.port)], stdin=subprocess.PIPE,
                             stdout=subprocess.PIPE, env=child_env())
    try:
        assert child.stdout.readline() == b"held\n"
        with pytest.raises(Exception, match="acquire_timeout"):
            with KvMutex("proc", conf, acquire_timeout=1):
                pass
        child.stdin.close()  # the child leaves its block
        with KvMutex("proc", conf, acquire_timeout=10) as m:
            assert m is None
    finally:
        child.kill()
        child.wait()
        child.stdout.close()


# ---- nesting on one object: an inner failure keeps the outer block's token

class FailingSecondSet:
    """A client whose SET after the first raises, as a lost server would."""

    def __init__(self, real):
        self.real = real
        self.sets = 0

    def set(self, *args, **kwargs):
        self.sets += 1
        if self.sets > 1:
            raise redis.ConnectionError("gone")
        return self.real.set(*args, **kwargs)

    def register_script(self, text):
        return self.real.register_script(text)


def test_nested_time_out_keeps_the_outer_token(srv, conf):
    c = srv.client()
    m = KvMutex("nest", conf, acquire_timeout=1)
    with m:
        outer = m.uuid
        with pytest.raises(Exception, match="acquire_timeout"):
            with m:
                pass
        assert m.uuid == outer
        assert c.get("RAVU_RDLOCKnest") == outer.encode()
    assert c.exists("RAVU_RDLOCKnest") == 0
    # Outside nesting the old rules hold: a time-out clears the token.
    c.set("RAVU_RDLOCKnest", "other")
    with pytest.raises(Exception, match="acquire_timeout"):
        m.__enter__()
    assert m.uuid is None


def test_nested_error_keeps_the_outer_token(srv, conf, monkeypatch):
    c = srv.client()
    fake = FailingSecondSet(kv_link.redis_conn(conf))
    monkeypatch.setattr(kv_mutex, "redis_conn", lambda conf: fake)
    m = KvMutex("nest", conf)
    with m:
        outer = m.uuid
        with pytest.raises(redis.ConnectionError):
            m.__enter__()
        assert m.uuid == outer
    assert c.exists("RAVU_RDLOCKnest") == 0
    # Not nested: an error leaves the token of the failed attempt.
    with pytest.raises(redis.ConnectionError):
        m.__enter__()
    assert TOKEN.match(m.uuid) and m.uuid != outer


class Recorder:
    """A client that records the calls the lock makes on it."""

    def __init__(self, results):
        self.results = list(results)
        self.log = []

    def set(self, *args, **kwargs):
        self.log.append(("set", args, kwargs))
        return self.results.pop(0)

    def register_script(self, text):
        self.log.append(("register_script", (text,), {}))
        return lambda **kw: self.log.append(("script", (), kw))


def test_calls_made_on_the_client(monkeypatch):
    rec = Recorder([None, None, True])
    confs = []
    monkeypatch.setattr(kv_mutex, "redis_conn", lambda conf: confs.append(conf) or rec)
    conf = {"host": "x"}
    m = KvMutex("job", conf, lock_timeout=5)
    with m:
        pass
    token = m.uuid
    assert rec.log == [("set", ("RAVU_RDLOCKjob", token), {"ex": 5, "nx": True})] * 3 + [
        ("register_script", (UNLOCK,), {}),
        ("script", (), {"keys": ["RAVU_RDLOCKjob"], "args": [token]})]
    assert len(confs) == 4 and all(c is conf for c in confs)  # looked up per attempt


def test_attributes_are_read_at_use(monkeypatch):
    rec = Recorder([True])
    monkeypatch.setattr(kv_mutex, "redis_conn", lambda conf: rec)
    m = KvMutex("job")
    m.lock_name, m.lock_timeout = "custom", 99
    with m:
        m.uuid = "replaced"
    assert rec.log[0][1][0] == "custom" and rec.log[0][2]["ex"] == 99
    assert rec.log[-1][2] == {"keys": ["custom"], "args": ["replaced"]}


# ---- the clock, the pause and the token come from the module's `time` and
# `uuid`, looked up at each use: a scripted clock shows the polling exactly

class ScriptedTime:
    """Stands for the module's `time`: a clock that only sleeps advance."""

    def __init__(self, step):
        self.now, self.step, self.sleeps = 1000.0, step, []

    def time(self):
        return self.now

    def sleep(self, seconds):
        self.sleeps.append(seconds)
        self.now += self.step


class FixedUuid:
    """Stands for the module's `uuid`."""

    @staticmethod
    def uuid4():
        return uuid.UUID("12345678-1234-4234-8234-123456789abc")


@pytest.mark.parametrize("acquire_timeout, step, results, sets, held", [
    (1, 0.4, [None] * 9, 3, False),         # attempts at 0, 0.4 and 0.8 s
    (1, 0.4, [None, None, True], 3, True),  # the last attempt before the deadline wins
    (1, 1.0, [None] * 9, 1, False),
    (2, 0.5, [None, True], 2, True),
    (0, 0.4, [], 0, False),                 # no time: no attempt, no pause
])
def test_polling_by_the_module_clock(monkeypatch, acquire_timeout, step, results, sets, held):
    clock, rec = ScriptedTime(step), Recorder(results)
    monkeypatch.setattr(kv_mutex, "time", clock)
    monkeypatch.setattr(kv_mutex, "uuid", FixedUuid)
    monkeypatch.setattr(kv_mutex, "redis_conn", lambda conf: rec)
    m = KvMutex("job", acquire_timeout=acquire_timeout)
    if held:
        m.__enter__()
        assert m.uuid == "12345678-1234-4234-8234-123456789abc"
    else:
        with pytest.raises(Exception, match="^KvMutex acquire_timeout$"):
            m.__enter__()
        assert m.uuid is None
    assert [entry[1] for entry in rec.log] == [("RAVU_RDLOCKjob",
                                                "12345678-1234-4234-8234-123456789abc")] * sets
    assert clock.sleeps == [0.01] * (sets - held)


