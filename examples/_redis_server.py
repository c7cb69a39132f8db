"""What the examples that talk to Redis share: a throw-away redis-server on
a free loopback port, and the request loop a serving process runs (it lies
outside the modules).  Not an example itself: scripts/setup runs only the
numbered files."""
import contextlib
import json
import re
import shutil
import socket
import subprocess
import tempfile
import threading
import time
from typing import Iterator

import redis  # type: ignore[import]  # redis-py ships no type information here

from ravu.mqrpc.context import request
from ravu.mqrpc.route import get_handles, get_redis_urls
from ravu.mqrpc.transfer import recv_request, send_result
from ravu.utils.kv_link import redis_conn_pool

URL_PREFIX = "RAVU_MQ_URL_"
MQ_ID = re.compile(r"RAVU_MQ_RESP_[0-9]{1,6}")


@contextlib.contextmanager
def local_redis() -> Iterator[int]:
    """Starts redis-server, gives its port once it answers, and stops it and
    removes its directory when the block ends."""
    workdir = tempfile.mkdtemp(prefix="ravu-example-")
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port: int = s.getsockname()[1]
    server = subprocess.Popen(
        ["redis-server", "--port", str(port), "--bind", "127.0.0.1", "--save", "",
         "--appendonly", "no", "--dir", workdir],
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        conn = redis_conn_pool({"host": "127.0.0.1", "port": port})
        deadline = time.monotonic() + 10
        while True:
            try:
                conn.ping()
                break
            except Exception:
                if time.monotonic() > deadline or server.poll() is not None:
                    raise RuntimeError("redis-server did not start")
                time.sleep(0.05)
        yield port
    finally:
        server.terminate()
        server.wait()
        shutil.rmtree(workdir, ignore_errors=True)


def dispatcher(conn: redis.Redis, stop: threading.Event) -> None:
    """Answers requests of every routed URL until `stop` is set: the URL's
    handlers run with the request's id and arguments in `request`, and the
    result (or the handler's error) goes onto the request's reply list."""
    while not stop.is_set():
        popped = recv_request(conn, get_redis_urls())
        if popped is None:  # receive time-out: look at the stop flag again
            continue
        key, payload = popped
        url = key.decode()[len(URL_PREFIX):]
        try:
            message = json.loads(payload)
            mq_id = message["mq_id"]
        except (ValueError, KeyError, TypeError):
            continue  # no reply list to answer on
        # Answer only on a reply list's key: never onto another key that a
        # sender names (fullmatch: "$" alone would let a final newline in).
        if not isinstance(mq_id, str) or not MQ_ID.fullmatch(mq_id):
            continue
        request.mq_id, request.args = mq_id, message.get("args")
        before, during, after = get_handles(url)
        try:
            before()
            result = during()
            after()
        except Exception as exc:  # a failing handler answers with its error
            result = {"error": f"{type(exc).__name__}: {exc}"}
        send_result(conn, mq_id, json.dumps(result))
