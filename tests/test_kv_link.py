"""Cached redis-py clients and the "redis.json" configuration."""
import collections.abc
import copy
import decimal
import inspect
import json
import pickle
import threading

import numpy as np
import pytest
import redis

import ravu.utils.kv_link as kv_link
from ravu.utils.kv_link import (_redis_pool_key, get_redis_socket_timeout, redis_conn,
                                redis_conn_local, redis_conn_pool, set_redis_socket_timeout)
from tests._proc import run_py
from tests._redis import RedisServer, free_port

MODULE_CONF = getattr(kv_link, "__redis_conf")


@pytest.fixture(scope="module")
def srv():
    with RedisServer() as s:
        yield s


@pytest.fixture
def socket_timeout():
    """Restores the module's socket time-out after the test."""
    before = get_redis_socket_timeout()
    yield
    set_redis_socket_timeout(before)


class Conf(collections.abc.Mapping):
    """A configuration that is a mapping but not a dict."""

    def __init__(self, **kw):
        self.d = kw

    def __getitem__(self, k):
        return self.d[k]

    def __iter__(self):
        return iter(self.d)

    def __len__(self):
        return len(self.d)


def test_module_interface():
    assert kv_link.__all__ == ["redis_conn", "redis_conn_local", "redis_conn_pool",
                               "get_redis_socket_timeout", "set_redis_socket_timeout"]
    assert redis_conn is redis_conn_pool
    for fn in (redis_conn_local, redis_conn_pool):
        assert fn.__annotations__["return"] is redis.Redis
        assert str(inspect.signature(fn)) == "(index=None)"
        assert fn.__doc__
        # copied and pickled by name, as a module's function is
        assert copy.copy(fn) is fn and copy.deepcopy({"f": fn})["f"] is fn
        assert pickle.loads(pickle.dumps(fn)) is fn
    assert get_redis_socket_timeout() == getattr(kv_link, "_socket_timeout") == 100
    with pytest.raises(TypeError):
        redis_conn_pool({}, {})
    with pytest.raises(TypeError):
        redis_conn_local(config={})


KEYS = [
    ({}, "127.0.0.1-6379-0"),
    ({"host": "h", "port": 6380, "db": 2}, "h-6380-2"),
    ({"host": None, "port": None, "db": None}, "127.0.0.1-6379-0"),
    ({"host": "", "port": 0}, "-0-0"),
    ({"port": 6379.9}, "127.0.0.1-6379-0"),
    ({"port": -7.9, "db": True}, "127.0.0.1--7-1"),
    ({"db": False}, "127.0.0.1-6379-0"),
    ({"host": 5, "port": np.int64(7000), "db": np.uint8(3)}, "5-7000-3"),
    ({"port": decimal.Decimal("6380.7")}, "127.0.0.1-6380-0"),
    (Conf(host="m", port=1), "m-1-0"),
]


@pytest.mark.parametrize("conf, key", KEYS)
def test_pool_key_returns_key_and_the_very_configuration(conf, key):
    got_key, got_conf = _redis_pool_key(conf)
    assert got_key == key and got_conf is conf


def test_pool_key_of_none_is_the_module_configuration():
    assert _redis_pool_key(None) == ("127.0.0.1-6379-0", MODULE_CONF)
    assert _redis_pool_key(None)[1] is MODULE_CONF
    assert MODULE_CONF == {"host": "127.0.0.1", "port": 6379}


@pytest.mark.parametrize("fn", [redis_conn_local, redis_conn_pool])
@pytest.mark.parametrize("bad", [{"port": "6379"}, {"port": b"1"}, {"db": ""}, {"db": object()},
                                 {"port": [1]}])
def test_port_or_db_without_int_conversion_is_refused_before_anything_is_made(fn, bad):
    pools = dict(getattr(kv_link, "__pool_dict"))
    with pytest.raises(TypeError, match="^an integer is required$"):
        fn(dict(bad, host="never-made"))
    assert getattr(kv_link, "__pool_dict") == pools


@pytest.mark.parametrize("fn", [redis_conn_local, redis_conn_pool, _redis_pool_key])
def test_configuration_without_get_raises_attribute_error(fn):
    with pytest.raises(AttributeError):
        fn(["host", "port"])


def test_pool_client_is_one_per_key_for_the_process():
    a = redis_conn_pool()
    assert redis_conn() is a and redis_conn_pool(None) is a and redis_conn_pool(index=None) is a
    assert redis_conn_pool({"host": "127.0.0.1", "port": 6379, "password": "x"}) is a
    seen = []
    t = threading.Thread(target=lambda: seen.append(redis_conn_pool()))
    t.start()
    t.join()
    assert seen == [a]
    kw = a.connection_pool.connection_kwargs
    assert (kw["host"], kw["port"], kw.get("socket_timeout")) == ("127.0.0.1", 6379, None)


def test_first_configuration_of_a_key_decides_its_client():
    first = redis_conn_pool({"host": "pw-host", "password": "one"})
    second = redis_conn_pool({"host": "pw-host", "password": "two", "port": 6379.5})
    assert first is second
    assert first.connection_pool.connection_kwargs["password"] == "one"


def test_local_client_is_one_per_thread_and_never_the_pooled_one():
    a = redis_conn_local()
    assert redis_conn_local() is a and redis_conn_local(MODULE_CONF) is a
    assert a is not redis_conn_pool()
    seen = []

    def worker():
        seen.append(redis_conn_local())
        seen.append(redis_conn_local())

    t = threading.Thread(target=worker)
    t.start()
    t.join()
    assert seen[0] is seen[1] and seen[0] is not a
    assert a.connection_pool is not seen[0].connection_pool


def test_mapping_configuration_is_copied_into_keywords():
    conf = Conf(host="mapping-host", port=6390, db=4)
    for fn in (redis_conn_local, redis_conn_pool):
        kw = fn(conf).connection_pool.connection_kwargs
        assert (kw["host"], kw["port"], kw["db"]) == ("mapping-host", 6390, 4)
    assert dict(conf) == {"host": "mapping-host", "port": 6390, "db": 4}


def test_socket_timeout_applies_to_later_local_clients_only(socket_timeout):
    before = redis_conn_local({"host": "st-before"})
    set_redis_socket_timeout(5)
    assert get_redis_socket_timeout() == 5
    after = redis_conn_local({"host": "st-after"})
    assert after.connection_pool.connection_kwargs["socket_timeout"] == 5
    assert before.connection_pool.connection_kwargs["socket_timeout"] == 100
    assert redis_conn_local({"host": "st-before"}) is before
    pooled = redis_conn_pool({"host": "st-after"})
    assert pooled.connection_pool.connection_kwargs.get("socket_timeout") is None
    set_redis_socket_timeout("anything")  # stored unchecked
    assert get_redis_socket_timeout() == "anything"


def test_socket_timeout_in_a_local_configuration():
    conf = {"host": "st-conf", "socket_timeout": 3}
    for _ in range(2):  # refused every time a client would be made
        with pytest.raises(TypeError, match="socket_timeout"):
            redis_conn_local(conf)
    cached = redis_conn_local({"host": "st-conf"})
    assert redis_conn_local(conf) is cached
    pooled = redis_conn_pool(conf)
    assert pooled.connection_pool.connection_kwargs["socket_timeout"] == 3
    assert conf == {"host": "st-conf", "socket_timeout": 3}


@pytest.mark.parametrize("fn, conf, error", [
    (redis_conn_local, {"host": "bad-kw", "no_such_keyword": 1}, TypeError),
    (redis_conn_pool, {"host": "bad-kw", "max_connections": -1}, ValueError),
])
def test_constructor_errors_propagate_and_nothing_is_cached(fn, conf, error):
    for _ in range(2):
        with pytest.raises(error):
            fn(conf)
    assert "bad-kw-6379-0" not in getattr(kv_link, "__pool_dict")
    # The lock was given back: a later creation proceeds.
    assert fn({"host": "bad-kw"}) is fn({"host": "bad-kw"})


# ---- options of the connections: a pool makes its connections at the
# first command, after the client is cached; an option its connection class
# refuses must fail the getter instead, leaving nothing cached

REFUSED = [
    (redis_conn_pool, {"colour": "red"}, TypeError, "colour"),
    (redis_conn_pool, {"retry_on_timeout": True, "retry_on_error": 5}, AttributeError, "append"),
    (redis_conn_pool, {"ssl_cert_reqs": "none"}, TypeError, "ssl_cert_reqs"),
    (redis_conn_local, {"colour": "red"}, TypeError, "colour"),
    (redis_conn_local, {"ssl": True, "ssl_cert_reqs": "bogus"}, redis.RedisError, "Certificate"),
]


@pytest.mark.parametrize("db, fn, option, error, message",
                         [(db, *case) for db, case in enumerate(REFUSED, 1)])
def test_option_the_connections_refuse_fails_the_getter_and_caches_nothing(srv, db, fn, option,
                                                                         error, message):
    conf = {"host": "127.0.0.1", "port": srv.port, "db": db}
    for _ in range(2):
        with pytest.raises(error, match=message):
            fn(dict(conf, **option))
    good = fn(conf)
    assert good.ping() and fn(dict(conf, **option)) is good


@pytest.mark.parametrize("fn", [redis_conn_pool, redis_conn_local])
def test_getters_open_no_connection(srv, fn):
    down = fn({"host": "127.0.0.1", "port": free_port()})  # nothing listens there
    with pytest.raises(redis.ConnectionError):
        down.ping()
    # The connection made up front waits in the pool for the first command:
    # a pool of one connection still serves.
    one = fn({"host": "127.0.0.1", "port": srv.port, "db": 9, "max_connections": 1})
    assert one.ping() and one.ping()


def test_clients_reach_the_server(srv):
    conf = {"port": srv.port}
    assert redis_conn(conf).ping() and redis_conn_local(conf).ping()
    redis_conn_local(conf).set("k", "v")
    assert redis_conn_pool(conf).get("k") == b"v"


# ---- "redis.json": read once at import from the configuration directory,
# which is fixed when ravu._internal.path is first imported; each case runs
# in a child process with a working directory of its own.
CHILD = """
    import json
    import ravu.utils.kv_link as k
    conf = getattr(k, "__redis_conf")
    try:
        key = k._redis_pool_key(None)[0]
    except Exception as e:
        key = type(e).__name__
    print(json.dumps({"conf": conf, "key": key}))
"""

FILES = [
    (None, {"host": "127.0.0.1", "port": 6379}, "127.0.0.1-6379-0"),
    ('{"host": "h", "db": 3}', {"host": "h", "db": 3}, "h-6379-3"),
    ('{"host": "h", "port": 1, ', {"host": "127.0.0.1", "port": 6379}, "127.0.0.1-6379-0"),
    ("", {"host": "127.0.0.1", "port": 6379}, "127.0.0.1-6379-0"),
    # a file that holds no mapping leaves the defaults too
    ("[1, 2]", {"host": "127.0.0.1", "port": 6379}, "127.0.0.1-6379-0"),
    ("6380", {"host": "127.0.0.1", "port": 6379}, "127.0.0.1-6379-0"),
    ('"127.0.0.2"', {"host": "127.0.0.1", "port": 6379}, "127.0.0.1-6379-0"),
    ("null", {"host": "127.0.0.1", "port": 6379}, "127.0.0.1-6379-0"),
    ('{"port": "6379"}', {"port": "6379"}, "TypeError"),
    ("{}", {}, "127.0.0.1-6379-0"),
]


@pytest.mark.parametrize("text, conf, key", FILES)
def test_configuration_file(tmp_path, text, conf, key):
    if text is not None:
        (tmp_path / "conf").mkdir()
        (tmp_path / "conf" / "redis.json").write_text(text)
    _, out, err = run_py(tmp_path, CHILD)
    assert json.loads(out) == {"conf": conf, "key": key}
    assert err == ""


def test_configuration_directory_that_is_a_file_leaves_the_defaults(tmp_path):
    (tmp_path / "conf").write_text("not a directory")
    _, out, err = run_py(tmp_path, CHILD)
    assert json.loads(out)["conf"] == {"host": "127.0.0.1", "port": 6379} and err == ""


def test_configuration_file_drives_the_default_clients(tmp_path, srv):
    (tmp_path / "conf").mkdir()
    (tmp_path / "conf" / "redis.json").write_text(json.dumps({"port": srv.port, "db": 2}))
    run_py(tmp_path, """
        from ravu.utils.kv_link import redis_conn, redis_conn_local
        redis_conn().set("from-file", "pooled")
        assert redis_conn_local().get("from-file") == b"pooled"
    """)
    assert srv.client(db=2).get("from-file") == b"pooled"


@pytest.mark.parametrize("fn, shared", [(redis_conn_pool, True), (redis_conn_local, False)])
def test_threads_racing_for_a_new_key(fn, shared):
    start = threading.Barrier(8)
    seen = []

    def worker():
        start.wait()
        seen.append((threading.get_ident(), fn({"host": f"race-{shared}"})))

    threads = [threading.Thread(target=worker) for _ in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    clients = {id(client) for _, client in seen}
    assert len(clients) == (1 if shared else 8)
