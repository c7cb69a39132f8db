"""Process logger: the cost of one log().info() sent through the collect
handler, against the same rules written in plain Python and against the
standard library's DatagramHandler; and of makePickle and log() alone.

    PYTHONPATH=. /usr/bin/python3 bench/bench_logging.py
"""
import datetime
import logging
import logging.handlers
import pickle
import socket
import struct
import time

from ravu.utils import logging as rlog

_log_id = None
_logger = None


class PyCollectHandler(logging.handlers.DatagramHandler):
    """CollectHandler's rules in plain Python."""

    def __init__(self, host, port):
        super().__init__(host, port)
        self.hostname = socket.gethostname()

    def makePickle(self, record):
        if record.exc_info:
            self.format(record)
        d = dict(record.__dict__)
        msg = record.getMessage()
        if len(msg) > 3072:
            msg = msg[:3072]
        d["msg"] = msg
        d["args"] = None
        d["exc_info"] = None
        d["log_id"] = _log_id
        if d.get("asctime") is None:
            d["asctime"] = datetime.datetime.now().strftime("%Y-%m-%d %H:%M:%S,%f")[:-3]
        d["hostname"] = self.hostname
        d.pop("message", None)
        s = pickle.dumps(d, 1)
        return struct.pack(">L", len(s)) + s


def py_log():
    if _logger is None:
        raise Exception("日志未初始化!")
    return _logger


def per_op(fn, n=20000, repeats=5):
    for _ in range(n // 10):
        fn()
    best = None
    for _ in range(repeats):
        t = time.perf_counter_ns()
        for _ in range(n):
            fn()
        dt = (time.perf_counter_ns() - t) / n
        best = dt if best is None else min(best, dt)
    return best


def main():
    global _logger
    sink = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sink.bind(("127.0.0.1", 0))
    host, port = sink.getsockname()
    handlers = {
        "ravu CollectHandler": rlog.CollectHandler(host, port),
        "plain Python, same rules": PyCollectHandler(host, port),
        "stdlib DatagramHandler": logging.handlers.DatagramHandler(host, port),
    }
    loggers = {}
    for i, (name, h) in enumerate(handlers.items()):
        lg = logging.getLogger(f"bench{i}")
        lg.setLevel(logging.DEBUG)
        lg.propagate = 0
        lg.addHandler(h)
        loggers[name] = lg
    record = logging.LogRecord("svc", logging.INFO, "/srv/svc/src/app/worker.py", 120,
                               "frame %d of camera %s", (7, "cam-1"), None, func="run")
    rows = []
    for name, lg in loggers.items():
        rows.append(("log().info() through " + name,
                     per_op(lambda: lg.info("frame %d of camera %s", 7, "cam-1"))))
    for name, h in handlers.items():
        rows.append(("makePickle, " + name, per_op(lambda: h.makePickle(record))))
    _logger = loggers["ravu CollectHandler"]
    rlog._logger = _logger  # as init_logger would leave it; this process only
    rows.append(("log(), ravu", per_op(rlog.log, n=200000)))
    rows.append(("log(), plain Python", per_op(py_log, n=200000)))
    for h in handlers.values():
        h.close()
    sink.close()

    base = {"log().info()": rows[1][1], "makePickle": rows[4][1], "log()": rows[7][1]}
    print(f"{'operation':52} {'ns/op':>9} {'vs plain Python':>16}")
    for name, ns in rows:
        ref = next(v for k, v in base.items() if name.startswith(k))
        print(f"{name:52} {ns:9.0f} {ref / ns:15.2f}x")


if __name__ == "__main__":
    main()
