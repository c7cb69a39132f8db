"""Message transfer over Redis lists, against a private redis-server."""
import inspect
import subprocess
import threading
import time

import pytest
import redis

import ravu.mqrpc.transfer as transfer
from ravu.mqrpc.transfer import (get_mq_id, recv_request, recv_result, send_request,
                                 send_result)
from tests._proc import PY, child_env
from tests._redis import RedisServer
from tests._redis_ref import ID_SCRIPT, PUSH_SCRIPT, Transfer

TIMEOUTS = ["_recv_request_timeout", "_send_result_timeout", "_send_request_timeout",
            "_recv_result_timeout"]


@pytest.fixture(scope="module")
def srv():
    with RedisServer() as s:
        yield s


@pytest.fixture
def conn(srv):
    """A client of a flushed server with fresh statistics; the module's
    time-outs are restored afterwards."""
    saved = {name: getattr(transfer, name) for name in TIMEOUTS}
    c = srv.client()
    c.flushall()
    c.config_resetstat()
    yield c
    for name, value in saved.items():
        setattr(transfer, name, value)


def calls(conn, command):
    return conn.info("commandstats").get(f"cmdstat_{command}", {}).get("calls", 0)


def test_module_interface():
    assert not hasattr(transfer, "__all__")
    assert [getattr(transfer, n) for n in TIMEOUTS] == [30, 45, 60, 30]
    assert transfer._get_mq_id_f == ID_SCRIPT and transfer._lpush_f == PUSH_SCRIPT
    sigs = {"get_mq_id": "(conn)", "send_request": "(conn, url, data)",
            "recv_request": "(conn, urls)", "send_result": "(conn, id, data)",
            "recv_result": "(conn, id)", "_lpush_expire": "(conn, key, data, timeout)",
            "set_recv_request_timeout": "(t)", "set_send_result_timeout": "(t)",
            "set_send_request_timeout": "(t)", "set_recv_result_timeout": "(t)"}
    for name, sig in sigs.items():
        assert str(inspect.signature(getattr(transfer, name))) == sig
        assert getattr(transfer, name).__doc__


def test_setters_store_unchecked(conn):
    for name in TIMEOUTS:
        setter = getattr(transfer, "set" + name)
        for value in (7, 0.5, "text"):
            assert setter(value) is None and getattr(transfer, name) == value


# ---- message ids

def test_ids_count_from_one_and_wrap_at_a_million(conn):
    assert get_mq_id(conn) == "RAVU_MQ_RESP_1"
    assert get_mq_id(conn) == "RAVU_MQ_RESP_2"
    conn.set("RAVU_MQ_ID", 999998)
    assert get_mq_id(conn) == "RAVU_MQ_RESP_999999"
    assert get_mq_id(conn) == "RAVU_MQ_RESP_0" and conn.get("RAVU_MQ_ID") == b"0"
    assert get_mq_id(conn) == "RAVU_MQ_RESP_1"
    assert type(get_mq_id(conn)) is str


@pytest.mark.parametrize("value", ["abc", "1.5", ["a list"], -5, -2, -10 ** 7, 10 ** 7,
                                   2 ** 63 - 1])
def test_counter_outside_its_range_or_no_integer_is_reset(conn, value):
    # Whatever another client left in the counter, ids keep their format.
    if isinstance(value, list):
        conn.rpush("RAVU_MQ_ID", *value)
    else:
        conn.set("RAVU_MQ_ID", value)
    assert get_mq_id(conn) == "RAVU_MQ_RESP_0"
    assert conn.get("RAVU_MQ_ID") == b"0"
    assert get_mq_id(conn) == "RAVU_MQ_RESP_1"


@pytest.mark.parametrize("counter, n", [(None, 1), (41, 42), (999999, 0), ("abc", 0), (-5, 0)])
def test_an_id_is_handed_out_with_an_empty_reply_list(conn, counter, n):
    # Ids are reused: a late reply to an earlier request of the same id
    # must not answer the new one.
    if counter is not None:
        conn.set("RAVU_MQ_ID", counter)
    mq_id = f"RAVU_MQ_RESP_{n}"
    conn.lpush(mq_id, "late reply to an earlier request")
    conn.lpush("RAVU_MQ_RESP_7", "pending reply of another request")
    assert get_mq_id(conn) == mq_id
    assert conn.exists(mq_id) == 0
    assert conn.lrange("RAVU_MQ_RESP_7", 0, -1) == [b"pending reply of another request"]
    send_result(conn, mq_id, "its own reply")
    assert recv_result(conn, mq_id) == (mq_id.encode(), b"its own reply")


def test_id_script_survives_a_flushed_script_cache_within_the_call(conn):
    get_mq_id(conn)
    digest = transfer._get_mq_id_sha
    conn.script_flush()
    assert get_mq_id(conn) == "RAVU_MQ_RESP_2"
    assert transfer._get_mq_id_sha == digest and conn.script_exists(digest) == [True]


def test_ids_over_a_decoding_client_fail(srv, conn):
    with pytest.raises(AttributeError, match="decode") as info:
        get_mq_id(srv.client(decode_responses=True))
    # the second run's error, raised with the first one as its context
    assert isinstance(info.value.__context__, AttributeError)


# ---- pushes and receives

def test_lists_are_first_in_first_out(conn):
    assert send_request(conn, "RAVU_MQ_URL_u", "A") == 1
    assert send_request(conn, "RAVU_MQ_URL_u", b"B") == 2
    assert recv_request(conn, ["RAVU_MQ_URL_u"]) == (b"RAVU_MQ_URL_u", b"A")
    assert recv_request(conn, "RAVU_MQ_URL_u") == (b"RAVU_MQ_URL_u", b"B")
    assert send_result(conn, "RAVU_MQ_RESP_7", 3.5) == 1
    assert recv_result(conn, "RAVU_MQ_RESP_7") == (b"RAVU_MQ_RESP_7", b"3.5")


def test_receive_takes_the_first_non_empty_list_in_order(conn):
    send_request(conn, "RAVU_MQ_URL_b", "from b")
    send_request(conn, "RAVU_MQ_URL_a", "from a")
    keys = ["RAVU_MQ_URL_a", "RAVU_MQ_URL_b"]
    assert recv_request(conn, keys) == (b"RAVU_MQ_URL_a", b"from a")
    assert recv_request(conn, keys) == (b"RAVU_MQ_URL_b", b"from b")


@pytest.mark.parametrize("send", [send_request, send_result])
def test_full_list_refuses_and_says_so(conn, send):
    conn.rpush("full", *range(999))
    assert send(conn, "full", "last") == 1000
    conn.expire("full", 500)
    assert send(conn, "full", "refused") == -1
    assert conn.llen("full") == 1000 and 490 < conn.ttl("full") <= 500
    assert conn.lindex("full", 0) == b"last"


@pytest.mark.parametrize("setup", [
    lambda c: c.set("k", "a string"),
    lambda c: c.hset("k", "f", "v"),
    lambda c: c.sadd("k", "m"),
])
def test_key_of_another_type_is_replaced_by_a_new_list(conn, setup):
    setup(conn)
    assert send_result(conn, "k", "payload") == 1
    assert conn.lrange("k", 0, -1) == [b"payload"]


def test_receive_time_outs(conn):
    transfer.set_recv_result_timeout(1)
    start = time.monotonic()
    assert recv_result(conn, "RAVU_MQ_RESP_nobody") is None
    assert time.monotonic() - start >= 0.9
    transfer.set_recv_request_timeout(0)  # waits until something arrives
    pusher = threading.Timer(0.3, send_request, (conn, "RAVU_MQ_URL_late", "late"))
    pusher.start()
    try:
        assert recv_request(conn, ["RAVU_MQ_URL_late"]) == (b"RAVU_MQ_URL_late", b"late")
    finally:
        pusher.join()


def test_receive_without_keys_is_the_servers_error(conn):
    with pytest.raises(redis.ResponseError):
        recv_request(conn, [])


# ---- expiry: every push expires after the time-out of its own call

def test_each_push_expires_after_its_own_time_out(conn):
    transfer._lpush_sha = None  # as in a fresh process
    transfer.set_send_result_timeout(10)
    send_result(conn, "reply", 1)
    send_request(conn, "RAVU_MQ_URL_x", 1)
    assert conn.ttl("reply") == 10 and conn.ttl("RAVU_MQ_URL_x") == 60
    transfer.set_send_request_timeout(120)
    transfer.set_send_result_timeout(20)
    send_request(conn, "RAVU_MQ_URL_x", 2)
    send_result(conn, "reply", 2)
    assert conn.ttl("RAVU_MQ_URL_x") == 120 and conn.ttl("reply") == 20
    digest_20 = transfer._lpush_sha  # the digest loaded last
    send_result(conn, "reply", 3)
    send_request(conn, "RAVU_MQ_URL_x", 3)
    assert transfer._lpush_sha == digest_20
    # one script per expiry value, each loaded once
    assert calls(conn, "script|load") == 4 and calls(conn, "evalsha") == 6
    assert transfer._lpush_expire(conn, "direct", "d", 99999999999999) == 1
    assert conn.ttl("direct") > 10 ** 13


@pytest.mark.parametrize("timeout", [0, -1, 0.5, 10.0, True, "30", None, 10 ** 14])
def test_send_time_out_that_is_not_a_positive_int_is_refused(conn, timeout):
    transfer.set_send_request_timeout(timeout)
    with pytest.raises(ValueError, match="send time-out"):
        send_request(conn, "RAVU_MQ_URL_t", "data")
    transfer.set_send_result_timeout(timeout)
    with pytest.raises(ValueError, match="send time-out"):
        send_result(conn, "reply", "data")
    assert conn.exists("RAVU_MQ_URL_t", "reply") == 0
    assert calls(conn, "evalsha") == 0 and calls(conn, "script|load") == 0


def test_push_survives_a_flushed_script_cache_pushing_once(conn):
    send_request(conn, "RAVU_MQ_URL_f", "before")
    conn.script_flush()
    assert send_request(conn, "RAVU_MQ_URL_f", "after") == 2
    assert conn.lrange("RAVU_MQ_URL_f", 0, -1) == [b"after", b"before"]
    assert conn.ttl("RAVU_MQ_URL_f") == 60


class Flaky:
    """Forwards to a real client; the first evalsha raises `error` after
    running the push (as a read time-out would), or before it."""

    def __init__(self, real, error, after_push):
        self.real, self.error, self.after_push = real, error, after_push
        self.log = []

    def script_load(self, text):
        self.log.append("script_load")
        return self.real.script_load(text)

    def evalsha(self, *args):
        self.log.append("evalsha")
        if self.error:
            error, self.error = self.error, None
            if self.after_push:
                self.real.evalsha(*args)
            raise error
        return self.real.evalsha(*args)


@pytest.mark.parametrize("error", [redis.ConnectionError("lost"), redis.TimeoutError("slow"),
                                   redis.ResponseError("ERR failed")])
def test_other_errors_reload_and_raise_without_pushing_twice(conn, error):
    send_result(conn, "warm", 0)  # the script of this expiry is loaded
    flaky = Flaky(conn, error, after_push=True)
    with pytest.raises(type(error)):
        send_result(flaky, "reply", "once")
    assert flaky.log == ["evalsha", "script_load"]
    assert conn.lrange("reply", 0, -1) == [b"once"]


class Scripted:
    """Forwards to a real client; its evalsha calls raise the given errors
    in turn (None: run for real)."""

    def __init__(self, real, *errors):
        self.real, self.errors, self.log = real, list(errors), []

    def script_load(self, text):
        self.log.append("script_load")
        return self.real.script_load(text)

    def evalsha(self, *args):
        self.log.append("evalsha")
        error = self.errors.pop(0) if self.errors else None
        if error:
            raise error
        return self.real.evalsha(*args)


def test_missing_script_error_alone_is_retried_once(conn):
    send_result(conn, "warm", 0)
    ok = Scripted(conn, redis.exceptions.NoScriptError("gone"))
    assert send_result(ok, "reply", "x") == 1
    assert ok.log == ["evalsha", "script_load", "evalsha"]
    failing = Scripted(conn, redis.exceptions.NoScriptError("gone"), redis.ConnectionError("x"))
    with pytest.raises(redis.ConnectionError) as info:
        send_result(failing, "reply", "y")
    assert isinstance(info.value.__context__, redis.exceptions.NoScriptError)
    assert failing.log == ["evalsha", "script_load", "evalsha"]
    assert conn.lrange("reply", 0, -1) == [b"x"]


def test_failed_reload_raises_with_the_push_error_as_context(conn):
    class Dead:
        def evalsha(self, *args):
            raise redis.ConnectionError("push failed")

        def script_load(self, text):
            raise redis.ConnectionError("reload failed")

    send_result(conn, "warm", 0)
    with pytest.raises(redis.ConnectionError, match="reload failed") as info:
        send_result(Dead(), "reply", "x")
    assert str(info.value.__context__) == "push failed"


# ---- the module against the same rules in plain Python, on the server

def server_state(conn):
    """Every key: its type, its value and its time to live."""
    state = {}
    for key in sorted(conn.keys()):
        kind = conn.type(key)
        value = conn.lrange(key, 0, -1) if kind == b"list" else conn.dump(key)
        state[key] = (kind, value, conn.ttl(key))
    return state


def play(conn, side, steps):
    """Runs steps on a flushed server through `side` (the module or the
    reference); gives each step's outcome and the server's final state."""
    conn.flushall()
    conn.script_flush()
    outcomes = []
    for name, *args in steps:
        if name == "server":  # a command on the server itself
            getattr(conn, args[0])(*args[1:])
            continue
        fn = getattr(side, name)
        try:
            outcomes.append(fn(*args) if name.startswith("set_") else fn(conn, *args))
        except Exception as e:
            outcomes.append(type(e))
    return outcomes, server_state(conn)


RULES = {
    "ids from a new counter": [("get_mq_id",)] * 3,
    "ids wrap": [("server", "set", "RAVU_MQ_ID", 999998)] + [("get_mq_id",)] * 3,
    "counter holding text": [("server", "set", "RAVU_MQ_ID", "x"), ("get_mq_id",)],
    "counter of another type": [("server", "sadd", "RAVU_MQ_ID", "m"), ("get_mq_id",)],
    "counter below zero": [("server", "set", "RAVU_MQ_ID", -5), ("get_mq_id",), ("get_mq_id",)],
    "reply list left from an earlier request": [
        ("server", "set", "RAVU_MQ_ID", 41), ("server", "lpush", "RAVU_MQ_RESP_42", "late"),
        ("server", "lpush", "RAVU_MQ_RESP_43", "next"), ("get_mq_id",)],
    "ids after a script flush": [("get_mq_id",), ("server", "script_flush"), ("get_mq_id",)],
    "first in first out": [("send_request", "RAVU_MQ_URL_u", "A"),
                           ("send_request", "RAVU_MQ_URL_u", 2),
                           ("recv_request", ["RAVU_MQ_URL_v", "RAVU_MQ_URL_u"]),
                           ("recv_request", "RAVU_MQ_URL_u"),
                           ("send_result", "RAVU_MQ_RESP_3", b"r"),
                           ("recv_result", "RAVU_MQ_RESP_3")],
    "list filling up": [("server", "rpush", "q", *range(998)),
                        ("send_request", "q", "a"), ("send_result", "q", "b"),
                        ("send_request", "q", "c")],
    "key of another type": [("server", "set", "k", "v"), ("send_result", "k", "p"),
                            ("server", "hset", "h", "f", "v"), ("send_request", "h", "p")],
    "expiry per call": [("set_send_result_timeout", 10), ("send_result", "r", 1),
                        ("send_request", "q", 1), ("set_send_request_timeout", 120),
                        ("send_request", "q", 2), ("set_send_result_timeout", 20),
                        ("send_result", "r2", 1)],
    "pushes after a script flush": [("send_request", "q", 1), ("server", "script_flush"),
                                    ("send_request", "q", 2), ("send_result", "r", 3)],
    "refused time-outs": [("set_send_request_timeout", 0), ("send_request", "q", 1),
                          ("set_send_request_timeout", 2.0), ("send_request", "q", 1),
                          ("set_send_result_timeout", True), ("send_result", "r", 1),
                          ("set_send_result_timeout", "5"), ("send_result", "r", 1)],
    "receive without keys": [("recv_request", [])],
}


@pytest.mark.parametrize("steps", RULES.values(), ids=RULES.keys())
def test_module_follows_the_plain_python_rules(conn, steps):
    want = play(conn, Transfer(), steps)
    transfer._get_mq_id_sha = transfer._lpush_sha = None  # as in a new process
    assert play(conn, transfer, steps) == want


class Recorder:
    """Records the calls the module makes on its client."""

    def __init__(self):
        self.log = []

    def script_load(self, text):
        self.log.append(("script_load", text))
        return "digest-%d" % len(self.log)

    def evalsha(self, *args, **kwargs):
        self.log.append(("evalsha", args, kwargs))
        return b"5" if args[1] == 0 else 1

    def brpop(self, *args, **kwargs):
        self.log.append(("brpop", args, kwargs))
        return None


def test_calls_made_on_the_client(conn):
    transfer._get_mq_id_sha = transfer._lpush_sha = None
    rec = Recorder()
    assert get_mq_id(rec) == "RAVU_MQ_RESP_5"
    assert send_request(rec, "RAVU_MQ_URL_u", "d") == 1
    transfer.set_recv_request_timeout(7)
    transfer.set_recv_result_timeout(0.25)
    recv_request(rec, ["RAVU_MQ_URL_u"])
    recv_result(conn=rec, id="RAVU_MQ_RESP_5")
    assert rec.log == [
        ("script_load", ID_SCRIPT.format(key="RAVU_MQ_ID", max_id=1000000)),
        ("evalsha", ("digest-1", 0), {}),
        ("script_load", PUSH_SCRIPT.format(max_size=1000, expire_time=60)),
        ("evalsha", ("digest-3", 1, "RAVU_MQ_URL_u", "d"), {}),
        ("brpop", (["RAVU_MQ_URL_u"], 7), {}),
        ("brpop", ("RAVU_MQ_RESP_5", 0.25), {}),
    ]
    transfer._get_mq_id_sha = transfer._lpush_sha = None


SERVER = """
import sys
import redis
from ravu.mqrpc.transfer import recv_request, send_result
conn = redis.Redis(port=int(sys.argv[1]))
for _ in range(3):
    key, payload = recv_request(conn, ["RAVU_MQ_URL_echo"])
    mq_id, text = payload.decode().split("|", 1)
    send_result(conn, mq_id, text.upper())
"""


def test_two_processes_exchange_requests_and_results(srv, conn):
    child = subprocess.Popen([PY, "-c", SERVER, str(srv.port)], env=child_env())
    try:
        for word in ("one", "two", "three"):
            mq_id = get_mq_id(conn)
            send_request(conn, "RAVU_MQ_URL_echo", f"{mq_id}|{word}")
            assert recv_result(conn, mq_id) == (mq_id.encode(), word.upper().encode())
        assert child.wait(30) == 0
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
