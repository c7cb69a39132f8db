"""The rules of the Redis modules written once in plain Python: the script
texts, the message transfer, the lock and get_handles.  The tests compare
the modules with them; the benchmark times them beside the modules."""
import time
import uuid

import redis

ID_SCRIPT = """
local id = redis.pcall("incr", "{key}")
local t = type(id)
if (t ~= "number") then
  id = 0
  redis.call("set", "{key}", 0)
end
if (id < 0 or id >= {max_id})
then
  id = 0
  redis.call("set", "{key}", 0)
end
redis.call("del", "RAVU_MQ_RESP_" .. id)
return tostring(id)
"""

PUSH_SCRIPT = """
local url = KEYS[1]
local l = redis.pcall("llen", url)
local t = type(l)
if (t ~= "number") then
  redis.call("del", url)
  l = 0
end
if (l >= {max_size}) then
  return -1
end
redis.call("lpush", url, ARGV[1])
redis.call("expire", url, {expire_time})
return l+1
"""

UNLOCK_SCRIPT = """
if redis.call("get",KEYS[1]) == ARGV[1] then
    return redis.call("del",KEYS[1])
else
    return 0
end
"""


class Transfer:
    """The transfer functions with their time-outs and loaded digests: one
    push script per expiry, a push retried only after a missing script."""

    def __init__(self):
        self.recv_request_timeout = 30
        self.send_result_timeout = 45
        self.send_request_timeout = 60
        self.recv_result_timeout = 30
        self.id_sha = None
        self.push_shas = {}

    def set_recv_request_timeout(self, t):
        self.recv_request_timeout = t

    def set_send_result_timeout(self, t):
        self.send_result_timeout = t

    def set_send_request_timeout(self, t):
        self.send_request_timeout = t

    def set_recv_result_timeout(self, t):
        self.recv_result_timeout = t

    def _load_id(self, conn):
        self.id_sha = conn.script_load(ID_SCRIPT.format(key="RAVU_MQ_ID", max_id=1000000))
        return self.id_sha

    def get_mq_id(self, conn):
        sha = self.id_sha if self.id_sha is not None else self._load_id(conn)
        try:
            return "RAVU_MQ_RESP_" + conn.evalsha(sha, 0).decode()
        except Exception:
            return "RAVU_MQ_RESP_" + conn.evalsha(self._load_id(conn), 0).decode()

    def _load_push(self, conn, timeout):
        sha = conn.script_load(PUSH_SCRIPT.format(max_size=1000, expire_time=timeout))
        self.push_shas[timeout] = sha
        return sha

    def lpush_expire(self, conn, key, data, timeout):
        if type(timeout) is bool or not isinstance(timeout, int) or not 1 <= timeout < 10 ** 14:
            raise ValueError("send time-out must be a whole number of seconds")
        timeout = int(timeout)
        sha = self.push_shas.get(timeout) or self._load_push(conn, timeout)
        try:
            return conn.evalsha(sha, 1, key, data)
        except Exception as e:
            sha = self._load_push(conn, timeout)
            if not isinstance(e, redis.exceptions.NoScriptError):
                raise
            return conn.evalsha(sha, 1, key, data)

    def send_request(self, conn, url, data):
        return self.lpush_expire(conn, url, data, self.send_request_timeout)

    def send_result(self, conn, id, data):
        return self.lpush_expire(conn, id, data, self.send_result_timeout)

    def recv_request(self, conn, urls):
        return conn.brpop(urls, self.recv_request_timeout)

    def recv_result(self, conn, id):
        return conn.brpop(id, self.recv_result_timeout)


class KvMutex:
    """The Redis lock."""

    def __init__(self, lock_name, redis_conf=None, acquire_timeout=12, lock_timeout=None):
        from ravu.utils.kv_link import redis_conn
        self.redis_conn = redis_conn
        self.redis_conf = redis_conf
        self.lock_name = "RAVU_RDLOCK" + str(lock_name)
        self.acquire_timeout = int(acquire_timeout)
        self.lock_timeout = self.acquire_timeout if lock_timeout is None else int(lock_timeout)
        self.lock_timeout = min(max(self.lock_timeout, 2), 180)
        self.uuid = None

    def __enter__(self):
        self.uuid = str(uuid.uuid4())
        end = time.time() + self.acquire_timeout
        while time.time() < end:
            if self.redis_conn(self.redis_conf).set(self.lock_name, self.uuid,
                                                    ex=self.lock_timeout, nx=True):
                return
            time.sleep(0.01)
        self.uuid = None
        raise Exception("KvMutex acquire_timeout")

    def __exit__(self, exc_type, exc_val, exc_tb):
        if self.uuid is None:
            return
        script = self.redis_conn(self.redis_conf).register_script(UNLOCK_SCRIPT)
        script(keys=[self.lock_name], args=[self.uuid])


def get_handles(routes, url):
    """route.get_handles over the registry `routes`."""
    from ravu.mqrpc import route
    from ravu.utils.datakit import get_any_from_dict
    handles = routes[url]
    before = get_any_from_dict(handles, "BEFORE", lambda: route.default_before_handle)
    during = get_any_from_dict(handles, "DURING", lambda: route.default_during_handle)
    after = get_any_from_dict(handles, "AFTER", lambda: route.default_after_handle)
    return before, during, after
