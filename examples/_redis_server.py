"""A throw-away redis-server on a free loopback port for the examples that
talk to Redis.  Not an example itself: scripts/setup runs only the numbered
files."""
import contextlib
import shutil
import socket
import subprocess
import tempfile
import time
from typing import Iterator

from ravu.utils.kv_link import redis_conn_pool


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
