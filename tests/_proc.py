"""Running a short Python program in a child process, with the repository on
its path and a working directory of the test's own (so the logs root lies
in tmp_path), and UDP helpers on free loopback ports."""
import os
import pickle
import socket
import struct
import subprocess
import textwrap

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PY = "/usr/bin/python3"


def child_env():
    env = dict(os.environ)
    env["PYTHONPATH"] = ROOT
    env.pop("PYTHONSTARTUP", None)
    return env


def run_py(cwd, source, script="worker.py", timeout=30, check=True, link=None):
    """Writes `source` to cwd/script and runs it there (through the symbolic
    link cwd/link when given); returns (returncode, stdout, stderr)."""
    path = os.path.join(str(cwd), script)
    with open(path, "w", encoding="utf-8") as f:
        f.write(textwrap.dedent(source))
    if link:
        os.symlink(path, os.path.join(str(cwd), link))
        path = os.path.join(str(cwd), link)
    proc = subprocess.run([PY, path], cwd=str(cwd), env=child_env(), capture_output=True,
                          timeout=timeout)
    out = proc.stdout.decode("utf-8", "replace")
    err = proc.stderr.decode("utf-8", "replace")
    if check and proc.returncode != 0:
        raise AssertionError(f"child failed ({proc.returncode}):\n{out}\n{err}")
    return proc.returncode, out, err


class UdpSink:
    """A socket on a free loopback port that collects datagrams."""

    def __init__(self):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind(("127.0.0.1", 0))
        self.sock.settimeout(10)
        self.port = self.sock.getsockname()[1]

    def recv(self):
        data, _ = self.sock.recvfrom(70000)
        return data

    def record(self):
        """The next datagram decoded (trusted: it comes from our own child)."""
        data = self.recv()
        (n,) = struct.unpack(">L", data[:4])
        assert n == len(data) - 4
        return pickle.loads(data[4:]), data

    def close(self):
        self.sock.close()


def free_udp_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]
