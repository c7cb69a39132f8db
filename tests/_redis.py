"""A private redis-server for the tests: started on a free loopback port
with nothing saved, stopped by its own pid.  Nothing touches port 6379 or
any server the tests did not start."""
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time

SERVER = shutil.which("redis-server") or "/usr/bin/redis-server"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class RedisServer:
    """`with RedisServer() as srv:` gives `srv.port` and `srv.client()`."""

    def __init__(self):
        self.port = None
        self.proc = None
        self.dir = None

    def start(self):
        self.dir = tempfile.mkdtemp(prefix="ravu-redis-")
        for _ in range(5):
            self.port = free_port()
            self.proc = subprocess.Popen(
                [SERVER, "--port", str(self.port), "--bind", "127.0.0.1", "--save", "",
                 "--appendonly", "no", "--dir", self.dir],
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            deadline = time.monotonic() + 10
            while time.monotonic() < deadline and self.proc.poll() is None:
                try:
                    with socket.create_connection(("127.0.0.1", self.port), timeout=0.2) as s:
                        s.sendall(b"PING\r\n")
                        if s.recv(16).startswith(b"+PONG"):
                            return self
                except OSError:
                    time.sleep(0.02)
            self.stop()  # the port was taken meanwhile: another one
        raise RuntimeError("redis-server did not start")

    def stop(self):
        if self.proc and self.proc.poll() is None:
            os.kill(self.proc.pid, signal.SIGTERM)
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                os.kill(self.proc.pid, signal.SIGKILL)
                self.proc.wait()
        self.proc = None
        if self.dir:
            shutil.rmtree(self.dir, ignore_errors=True)
            self.dir = None

    def client(self, **kw):
        import redis
        return redis.Redis(host="127.0.0.1", port=self.port, **kw)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()
