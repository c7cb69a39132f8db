"""The log collection server, run in child processes on free loopback ports.

A hub child has tmp_path as its working directory, so its logs root is
tmp_path/logs.  Records are sent as the collect handler sends them: a
'>L' length and a protocol-1 pickle of the record dictionary.
"""
import datetime
import os
import pickle
import queue
import re
import signal
import socket
import struct
import subprocess
import threading
import time

import pytest

from ravu._internal import path as base_dirs
from ravu.utils import journal_hub as jh
from tests._proc import PY, child_env, run_py

LOG_TIME = r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{6}"


def record(**over):
    d = {"name": "svc", "msg": "hello", "args": None, "levelname": "INFO", "levelno": 20,
         "pathname": "/home/u/proj/src/app/main.py", "filename": "main.py", "module": "main",
         "exc_info": None, "exc_text": None, "stack_info": None, "lineno": 12,
         "funcName": "run", "created": 1.0, "msecs": 0.0, "relativeCreated": 1.0,
         "thread": 140234567890123, "threadName": "MainThread", "processName": "MainProcess",
         "process": 4321, "asctime": "2024-01-08 09:15:02,417", "log_id": None,
         "hostname": "cam-host"}
    d.update(over)
    for k in [k for k, v in over.items() if v is KeyError]:
        del d[k]
    return d


def datagram(d, protocol=1, extra_len=0):
    body = pickle.dumps(d, protocol)
    return struct.pack(">L", len(body) + extra_len) + body


class Hub:
    """A child process serving start_journal_hub on a free loopback port."""

    def __init__(self, cwd, prelude=""):
        self.cwd = cwd
        self.port = self._free_port()
        self.err_path = cwd / "hub.err"
        script = cwd / "hub_main.py"
        script.write_text(prelude + "\nimport sys\n"
                          "from ravu.utils.journal_hub import start_journal_hub\n"
                          "start_journal_hub('127.0.0.1', int(sys.argv[1]))\n")
        self.err = open(str(self.err_path), "wb")
        self.proc = subprocess.Popen([PY, str(script), str(self.port)], cwd=str(cwd),
                                     env=child_env(), stdout=subprocess.DEVNULL,
                                     stderr=self.err)
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self._wait_bound()

    @staticmethod
    def _free_port():
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            s.bind(("127.0.0.1", 0))
            return s.getsockname()[1]

    def _wait_bound(self):
        # Read from the kernel's socket table: a probing bind of our own
        # could hold the port at the moment the hub binds it.
        local = "0100007F:%04X" % self.port
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline:
            assert self.proc.poll() is None, self.stderr()
            with open("/proc/net/udp") as table:
                if any(row.split()[1] == local for row in list(table)[1:]):
                    return
            time.sleep(0.02)
        raise AssertionError("hub did not bind")

    def send(self, data):
        self.sock.sendto(data, ("127.0.0.1", self.port))

    def file(self, app, day=None):
        day = day or datetime.date.today().isoformat()
        return self.cwd / "logs" / app / (day + ".log")

    def lines(self, app, count, timeout=10):
        """The file's text once it holds `count` records (line feeds)."""
        path = self.file(app)
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if path.exists():
                text = path.read_text(encoding="utf-8")
                if text.count("\n") >= count:
                    return text
            time.sleep(0.01)
        raise AssertionError(f"{path}: fewer than {count} lines\n{self.stderr()}")

    def served(self, tag):
        """Sends a marker record and waits for its line: all sent before is done."""
        self.send(datagram(record(name="marker", msg=tag)))
        self._markers = getattr(self, "_markers", 0) + 1
        text = self.lines("marker", self._markers)
        assert tag in text

    def stderr(self):
        self.err.flush()
        return self.err_path.read_text(encoding="utf-8", errors="replace")

    def close(self):
        self.sock.close()
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait(10)
        self.err.close()


@pytest.fixture
def hub(tmp_path):
    h = Hub(tmp_path)
    yield h
    h.close()


# ---------------------------------------------------------------- module surface


def test_module_state():
    assert jh.__all__ == ["start_journal_hub"]
    assert type(jh._log_queue) is queue.Queue and jh._log_queue.maxsize == 0
    assert jh._app_dict == {}
    assert jh._format == ("{log_time}|HN:{hostname}|AD:{ip}:{port}|LID:{log_id}|"
                          "PID:{process}|ATIME:{asctime}|LEV:{levelname}|({pathname}|{lineno})"
                          ":{msg}\n")
    for name in base_dirs.__all__:
        assert getattr(jh, name) is getattr(base_dirs, name)


@pytest.mark.parametrize("args, kwargs, message", [
    ((1, 2, 3), {}, "takes from 0 to 2 positional arguments but 3 were given"),
    ((), {"bogus": 1}, "got an unexpected keyword argument 'bogus'"),
    (("h",), {"host": "h"}, "got multiple values for argument 'host'"),
])
def test_bad_arguments_are_refused_before_anything_starts(args, kwargs, message):
    before = threading.active_count()
    with pytest.raises(TypeError, match=re.escape("start_journal_hub() " + message)):
        jh.start_journal_hub(*args, **kwargs)
    assert threading.active_count() == before
    with pytest.raises(TypeError, match="takes 0 positional arguments"):
        jh._log_thread(1)


# ---------------------------------------------------------------- lines


def test_line_format_and_order(hub):
    hub.send(datagram(record(msg="first")))
    hub.send(datagram(record(msg="second", log_id="job-7", levelname="ERROR", lineno=99)))
    text = hub.lines("svc", 2)
    first, second = text.splitlines()
    m = re.match(rf"^({LOG_TIME})\|HN:cam-host\|AD:127\.0\.0\.1:(\d+)\|LID:None\|"
                 r"PID:4321\|ATIME:09:15:02,417\|LEV:INFO\|\(app/main\.py\|12\):first$", first)
    assert m, first
    assert int(m.group(2)) == hub.sock.getsockname()[1]
    assert m.group(1)[:10] == datetime.date.today().isoformat()
    assert second.endswith("|LID:job-7|PID:4321|ATIME:09:15:02,417|LEV:ERROR|"
                           "(app/main.py|99):second")
    assert sorted(os.listdir(str(hub.cwd / "logs" / "svc"))) == [hub.file("svc").name]


@pytest.mark.parametrize("over, tail", [
    ({"pathname": "/a/src/b/src/c.py"}, "(b/src/c.py|12):hello"),
    ({"pathname": "/opt/app/main.py"}, "(main.py|12):hello"),
    ({"pathname": "/opt/app/src/"}, "(|12):hello"),
    ({"msg": "a|b\nnext line", "hostname": "h|x"}, "(app/main.py|12):a|b\nnext line"),
    ({"msg": "日" * 3072}, "(app/main.py|12):" + "日" * 3072),
    ({"exc_text": "Traceback (most recent call last):\n  boom", "extra": "ignored"},
     "(app/main.py|12):hello"),
    ({"asctime": "short"}, "|ATIME:|LEV:INFO|(app/main.py|12):hello"),
    ({"lineno": 7, "process": 2 ** 40, "log_id": 1.5}, "|LID:1.5|PID:1099511627776|ATIME:"
                                                       "09:15:02,417|LEV:INFO|(app/main.py|7)"
                                                       ":hello"),
])
def test_line_fields(hub, over, tail):
    hub.send(datagram(record(name="fields", **over)))
    text = hub.lines("fields", 1)
    assert text.endswith(tail + "\n") and text.count("Traceback") == 0
    assert ("|HN:h|x|" in text) == ("hostname" in over)


@pytest.mark.parametrize("protocol", [0, 2, 4, 5])
def test_other_pickle_protocols_are_read(hub, protocol):
    extra = {"blob": b"\x00", "items": [1, (2, None)]} if protocol >= 3 else {}
    # A process id beyond 64 bits: the protocols' long integer forms.
    hub.send(datagram(record(name="proto", msg=f"p{protocol}", flag=True, process=-2 ** 100,
                             **extra), protocol))
    line = hub.lines("proto", 1)
    assert line.endswith(f"(app/main.py|12):p{protocol}\n")
    assert f"|PID:{-2 ** 100}|" in line


def test_whole_datagrams_and_loose_length(hub):
    # A pickle far beyond 4092 bytes, and a length prefix larger than what follows.
    big = record(name="big", msg="日" * 3072, pad="x" * 55000)
    assert 60000 < len(datagram(big)) < 65507
    hub.send(datagram(big))
    hub.send(datagram(record(name="big", msg="loose"), extra_len=500))
    text = hub.lines("big", 2)
    assert text.count("日") == 3072 and text.endswith("):loose\n")


# ---------------------------------------------------------------- failed passes


def test_malformed_datagrams_are_failed_passes(hub):
    good = datagram(record(name="after"))
    (n,) = struct.unpack(">L", good[:4])
    for bad in [b"abc", b"", struct.pack(">L", 10) + b"\x80\x02junk",
                struct.pack(">L", n - 10) + good[4:],  # N smaller than the record
                datagram([1, 2, 3]),  # decodes, but is no dict
                datagram("text")]:
        hub.send(bad)
    hub.send(good)
    text = hub.lines("after", 1)
    assert text.count("\n") == 1
    err = hub.stderr()
    assert "struct.error: unpack requires a buffer of 4 bytes" in err
    assert err.count("UnpicklingError") >= 2
    assert "TypeError" in err


@pytest.mark.parametrize("payload", [
    b"cos\nsystem\n(S'touch PWNED'\ntR.",
    b"\x80\x04\x95\x1e\x00\x00\x00\x00\x00\x00\x00\x8c\x02os\x94\x8c\x06system\x94\x93\x94"
    b"\x8c\x0btouch PWNED\x94\x85\x94R\x94.",
    b"(cos\nsystem\nS'touch PWNED'\no.",
    b"(S'touch PWNED'\nios\nsystem\n.",
    b"}(S'x'\nS'y'\nub.",
])
def test_code_in_a_pickle_is_never_run(hub, payload):
    hub.send(struct.pack(">L", len(payload)) + payload)
    hub.served("after-unsafe")
    assert not (hub.cwd / "PWNED").exists()
    err = hub.stderr()
    assert "UnpicklingError" in err


@pytest.mark.parametrize("name", ["", ".", "..", "../escaped", "ABS", "a/b", "a\0b",
                                  "sub/../.."])
def test_unsafe_application_names_write_nothing(hub, name):
    if name == "ABS":
        name = str(hub.cwd / "absolute")
    hub.send(datagram(record(name=name, msg="unsafe")))
    hub.served("after-" + repr(name))
    assert "is not one plain path component" in hub.stderr()
    assert sorted(os.listdir(str(hub.cwd / "logs"))) == ["marker"]
    assert sorted(os.listdir(str(hub.cwd))) == ["hub.err", "hub_main.py", "logs"]


def test_missing_keys_leave_no_line(hub):
    hub.send(datagram(record(name="nohost", hostname=KeyError)))
    hub.send(datagram(record(name=KeyError)))
    hub.send(datagram(record(name="noasc", asctime=KeyError)))
    hub.served("after-missing")
    # The file of the day was made before the line failed, and stays empty.
    assert hub.file("nohost").read_text() == ""
    assert hub.file("noasc").read_text() == ""
    assert sorted(os.listdir(str(hub.cwd / "logs"))) == ["marker", "noasc", "nohost"]
    err = hub.stderr()
    assert "KeyError: 'hostname'" in err and "KeyError: 'name'" in err
    assert "KeyError: 'asctime'" in err


# Interrupts the writer thread itself: the kernel may pick any thread that
# doesn't block the signal, and the receive loop must still see it.
INTERRUPT_WRITER = """
import signal, threading, time
def _interrupt_writer():
    while True:
        others = [t for t in threading.enumerate()
                  if t is not threading.main_thread() and t is not threading.current_thread()]
        if others:
            break
        time.sleep(0.01)
    time.sleep(0.3)
    signal.pthread_kill(others[0].ident, signal.SIGINT)
threading.Thread(target=_interrupt_writer, daemon=True).start()
"""


@pytest.mark.parametrize("to_writer", [False, True], ids=["process", "writer-thread"])
def test_keyboard_interrupt_is_one_failed_pass(tmp_path, to_writer):
    hub = Hub(tmp_path, prelude=INTERRUPT_WRITER if to_writer else "")
    try:
        check_interrupt_is_one_failed_pass(hub, to_writer)
    finally:
        hub.close()


def check_interrupt_is_one_failed_pass(hub, to_writer):
    if not to_writer:
        hub.proc.send_signal(signal.SIGINT)
    deadline = time.monotonic() + 10
    while "KeyboardInterrupt" not in hub.stderr():
        assert time.monotonic() < deadline, hub.stderr()
        time.sleep(0.01)
    hub.send(datagram(record(name="still")))
    assert hub.lines("still", 1)
    assert hub.proc.poll() is None


def test_default_socket_time_out_reports_nothing_while_idle(tmp_path):
    # socket.setdefaulttimeout makes new sockets non-blocking underneath.
    h = Hub(tmp_path, prelude="import socket\nsocket.setdefaulttimeout(0.05)")
    try:
        h.served("first")
        time.sleep(0.1)
        h.served("second")
        assert h.stderr() == ""
    finally:
        h.close()


def test_end_to_end_from_a_logging_process(hub, tmp_path):
    client = tmp_path / "client"
    client.mkdir()
    run_py(client, f"""
        from ravu.utils import logging as L
        L.init_logger("camera", log_id="L-9", open_localfile=False, open_collect=True,
                      collect_address=("127.0.0.1", {hub.port}))
        L.log().warning("seen %d boxes", 3)
        try:
            raise ValueError("bad frame")
        except ValueError:
            L.log().exception("frame failed")
    """, script="cam.py")
    text = hub.lines("camera", 2)
    first, second = text.splitlines()
    assert re.match(rf"^{LOG_TIME}\|HN:{re.escape(socket.gethostname())}\|AD:127\.0\.0\.1:"
                    rf"\d+\|LID:L-9\|PID:\d+\|ATIME:\d\d:\d\d:\d\d,\d{{3}}\|LEV:WARNING\|"
                    rf"\(cam\.py\|5\):seen 3 boxes$", first), first
    assert second.endswith("|LEV:ERROR|(cam.py|9):frame failed")
    assert "bad frame" not in text


# ---------------------------------------------------------------- start-up


def test_failed_bind_raises_and_lets_the_process_end(tmp_path):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as taken:
        taken.bind(("127.0.0.1", 0))
        port = taken.getsockname()[1]
        rc, out, err = run_py(tmp_path, f"""
            import threading
            from ravu.utils import journal_hub as jh
            for host, port in [("127.0.0.1", {port}), ("127.0.0.1", 70000),
                               (None, 1)]:
                try:
                    jh.start_journal_hub(host, port)
                except BaseException as e:
                    print(type(e).__name__, threading.active_count())
        """, timeout=60)
    assert rc == 0, err
    kinds = out.split()
    assert kinds[0::2] == ["OSError", "OverflowError", "TypeError"]
    assert kinds[1::2] == ["1", "1", "1"]  # no writer left behind


def test_helper_thread_that_cannot_start_is_an_error(tmp_path):
    # Address space for the small writer thread, not for a default-sized one.
    rc, out, err = run_py(tmp_path, """
        import resource, signal, socket, threading
        from ravu.utils import journal_hub as jh
        signal.alarm(20)  # served after all: end instead of hanging
        threading.stack_size(256 * 1024)
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            s.bind(("127.0.0.1", 0))
            port = s.getsockname()[1]
        vm = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (vm + 6 * 2 ** 20, resource.RLIM_INFINITY))
        try:
            jh.start_journal_hub("127.0.0.1", port)
        except (OSError, MemoryError) as e:
            print(type(e).__name__, threading.active_count())
    """, check=False)
    assert rc == 0, err
    kind, threads = out.split()
    assert kind in ("BlockingIOError", "OSError", "MemoryError") and threads == "1"


def test_second_start_in_one_process_is_refused(tmp_path):
    rc, out, err = run_py(tmp_path, """
        import os, socket, threading, time
        from ravu.utils import journal_hub as jh
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            s.bind(("127.0.0.1", 0))
            port = s.getsockname()[1]
        threading.Thread(target=jh.start_journal_hub, args=("127.0.0.1", port),
                         daemon=True).start()
        time.sleep(0.3)
        try:
            jh.start_journal_hub("127.0.0.1", port + 1)
        except RuntimeError as e:
            print(e, flush=True)
        os._exit(0)
    """)
    assert out.strip() == "start_journal_hub() is already serving in this process"


# ---------------------------------------------------------------- under load


def memory_kib(pid, field):
    with open(f"/proc/{pid}/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith(field + ":"))


# The writer waits at its queue until the test makes the file "go".
STALLED_WRITER = """
import os, queue, time
from ravu.utils import journal_hub as jh

class Stalled(queue.Queue):
    def get(self, *args, **kwargs):
        while not os.path.exists("go"):
            time.sleep(0.01)
        return super().get(*args, **kwargs)

jh._log_queue = Stalled()
"""


def test_backlog_is_bounded_when_the_writer_falls_behind(tmp_path):
    h = Hub(tmp_path, prelude=STALLED_WRITER)
    try:
        before = memory_kib(h.proc.pid, "VmRSS")
        gram = datagram(record(name="flood"))
        for _ in range(80_000):  # kept whole, about 200 MB of records
            h.send(gram)
        deadline = time.monotonic() + 20
        while "datagrams dropped" not in h.stderr():
            assert time.monotonic() < deadline, h.stderr()
            time.sleep(0.05)
        time.sleep(0.2)
        grown_mib = (memory_kib(h.proc.pid, "VmHWM") - before) / 1024
        assert grown_mib < 130, grown_mib
        report = [line for line in h.stderr().splitlines() if "dropped" in line]
        assert re.fullmatch(r"journal_hub: the writer's backlog is full: \d+ datagrams dropped "
                            r"\(\d+ in all\)", report[0]), report
        (tmp_path / "go").touch()
        written, still = -1, 0
        while still < 5:  # the backlog is written out
            flood = h.file("flood")
            now = flood.read_text(encoding="utf-8").count("\n") if flood.exists() else 0
            written, still = now, (still + 1 if now == written and now else 0)
            time.sleep(0.1)
        assert 1000 < written < 80_000
        h.served("after the flood")  # it kept serving
        assert h.proc.poll() is None
    finally:
        h.close()


def test_invented_application_names_leave_descriptors_for_the_others(tmp_path):
    h = Hub(tmp_path, prelude="import resource\n"
                              "resource.setrlimit(resource.RLIMIT_NOFILE, (64, 64))\n")
    try:
        names = ["app%d" % i for i in range(150)]
        for name in names:
            h.send(datagram(record(name=name, msg="first")))
        h.served("names")
        for name in names[:3] + names[-3:]:  # closed long ago, and still open
            h.send(datagram(record(name=name, msg="again")))
        h.send(datagram(record(name="legit", msg="late")))
        h.served("again")
        assert len(os.listdir(f"/proc/{h.proc.pid}/fd")) < 64
        for name in names:
            msgs = [line.rsplit(":", 1)[1] for line in
                    h.file(name).read_text(encoding="utf-8").splitlines()]
            assert msgs == (["first", "again"] if name in names[:3] + names[-3:] else ["first"])
        assert "late" in h.file("legit").read_text(encoding="utf-8")
        assert "Traceback" not in h.stderr()
    finally:
        h.close()


def granted_receive_buffer(size):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, size)
        if s.getsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF) // 2 < size:
            try:
                s.setsockopt(socket.SOL_SOCKET, 33, size)  # SO_RCVBUFFORCE
            except PermissionError:
                pass
        return s.getsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF) // 2


def test_a_burst_waits_in_the_receive_buffer(tmp_path):
    if granted_receive_buffer(8 << 20) < 4 << 20:
        pytest.skip("the kernel grants no larger receive buffer to this user")
    h = Hub(tmp_path)
    try:
        h.served("ready")
        h.proc.send_signal(signal.SIGSTOP)  # nobody reads: the kernel holds the burst
        try:
            for i in range(2000):
                h.send(datagram(record(name="burst", msg=str(i))))
        finally:
            h.proc.send_signal(signal.SIGCONT)
        text = h.lines("burst", 2000)
        assert [line.rsplit(":", 1)[1] for line in text.splitlines()] == \
            [str(i) for i in range(2000)]
    finally:
        h.close()


# ---------------------------------------------------------------- the writer alone

WRITER = """\
import os, threading, time
from ravu.utils import journal_hub as jh
threading.Thread(target=jh._log_thread, daemon=True).start()

def rec(name, msg, **over):
    d = {{"name": name, "msg": msg, "asctime": "2024-01-08 09:15:02,417",
          "pathname": "/x/src/m.py", "filename": "m.py", "hostname": "h",
          "log_id": None, "process": 1, "levelname": "INFO", "lineno": 3,
          "ip": "127.0.0.1", "port": 5, "log_time": "T"}}
    d.update(over)
    return d

def drain():
    jh._log_queue.put(("2000-01-01 00:00:00.000000", rec("zz", "done", nokey=1)))
    path = jh.relative_logs_path("zz", "2000-01-01.log")
    while not (os.path.exists(path) and open(path).read().count("done") == drain.count + 1):
        time.sleep(0.01)
    drain.count += 1
drain.count = 0

def read(app, day):
    with open(jh.relative_logs_path(app, day + ".log"), encoding="utf-8") as f:
        return f.read()

{body}
"""


def run_writer(tmp_path, body):
    import textwrap
    return run_py(tmp_path, WRITER.format(body=textwrap.dedent(body)))


def test_day_change_switches_only_that_application(tmp_path):
    _, out, _ = run_writer(tmp_path, """
        q = jh._log_queue
        q.put(("2024-01-08 23:59:59.900000", rec("a", "a1")))
        q.put(("2024-01-08 23:59:59.950000", rec("b", "b1")))
        q.put(("2024-01-09 00:00:00.010000", rec("a", "a2")))
        drain()
        fa, da = jh._app_dict["a"]
        fb, db = jh._app_dict["b"]
        print(da, db, fb.closed, fa.closed, fa.encoding)
        q.put(("2024-01-08 23:00:00.000000", rec("a", "a3")))  # clock set back
        drain()
        print(fa.closed, read("a", "2024-01-08").count("\\n"), read("a", "2024-01-09"))
    """)
    first, second = out.splitlines()[:2]
    assert first == "2024-01-09 2024-01-08 False False utf-8"
    assert second.startswith("True 2 T|HN:h|AD:127.0.0.1:5|LID:None|PID:1|ATIME:09:15:02,417|"
                             "LEV:INFO|(m.py|3):a2")


def test_format_is_read_from_the_module_at_each_line(tmp_path):
    _, out, _ = run_writer(tmp_path, """
        q = jh._log_queue
        q.put(("2024-01-08 10:00:00.000000", rec("f", "one")))
        drain()
        jh._format = "{levelname:>6}/{msg!r}/{{x}}/{pathname}\\n"
        q.put(("2024-01-08 10:00:00.000000", rec("f", "two")))
        drain()
        jh._format = "{msg}:{nokey}\\n"
        q.put(("2024-01-08 10:00:00.000000", rec("f", "three")))
        drain()
        jh._format = "{log_time}|{msg}\\n"
        q.put(("2024-01-08 10:00:00.000000", rec("f", "four")))
        drain()
        print(repr(read("f", "2024-01-08")))
    """)
    text = eval(out.strip())
    lines = text.splitlines()
    assert lines[0].endswith("|LEV:INFO|(m.py|3):one")
    assert lines[1:] == ["  INFO/'two'/{x}/m.py", "T|four"]


def test_format_switched_while_another_writer_fills_a_line(tmp_path):
    # A second writer thread changes the template while the first one waits
    # inside a field: the first line keeps the template it started with.
    _, out, _ = run_writer(tmp_path, """
        def written(app):
            path = jh.relative_logs_path(app, "2024-01-08.log")
            deadline = time.monotonic() + 10
            while not (os.path.exists(path) and read(app, "2024-01-08")):
                assert time.monotonic() < deadline
                time.sleep(0.01)
            return read(app, "2024-01-08")
        class Slow:
            def __format__(self, spec):
                jh._format = "".join("{msg}%d," % i for i in range(100)) + "\\n"
                jh._log_queue.put(("2024-01-08 10:00:00.000000", rec("b", "m")))
                written("b")  # the other writer's line, with the new template
                return "slow"
        threading.Thread(target=jh._log_thread, daemon=True).start()
        jh._log_queue.put(("2024-01-08 10:00:00.000000", dict(rec("a", "first"), log_time=Slow())))
        print(repr(written("a")), repr(written("b")[:6]))
    """)
    a, b = (eval(x) for x in out.split())
    assert a == "slow|HN:h|AD:127.0.0.1:5|LID:None|PID:1|ATIME:09:15:02,417|LEV:INFO|(m.py|3):first\n"
    assert b == "m0,m1,"


def test_writer_failures_go_on(tmp_path):
    _, out, err = run_writer(tmp_path, """
        q = jh._log_queue
        q.put("not a pair")
        q.put(("2024-01-08 10:00:00.000000", {"msg": "no name"}))
        q.put(("2024-01-08 10:00:00.000000", rec("p", "bad path", pathname=None)))
        q.put(("2024-01-08 10:00:00.000000", rec("s", "\\udc80 surrogate")))
        drain()
        print(repr(read("s", "2024-01-08")))
    """)
    assert eval(out.strip()).endswith("(m.py|3):\\udc80 surrogate\n")
    assert "ValueError" in err and "KeyError: 'name'" in err
    assert "AttributeError" in err
