"""The process logger, its handlers and the collected log record.

Set-up happens once per process, so everything that calls init_logger runs
in a child process whose working directory (hence logs root) is tmp_path.
"""
import json
import logging
import logging.handlers
import os
import pickle
import pickletools
import re
import socket
import struct
import sys
import threading
import time

import pytest

import ravu.utils
from ravu._internal import path as base_dirs
from ravu.utils import datakit, lock
from ravu.utils import logging as rlog
from tests._proc import UdpSink, run_py

LINE = re.compile(r"^\[(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,\d{3})\|(\w+)\]\[(.*)\|(\d+)\]:(.*)$")
ASCTIME = re.compile(r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,\d{3}$")


@pytest.fixture
def sink():
    s = UdpSink()
    yield s
    s.close()


# ---------------------------------------------------------------- import surface


def test_package_reexports_the_very_objects():
    assert ravu.utils.__all__ == ["log", "CircularQueue", "lock_class_func", "lock_func",
                                  "get_any_from_dict"]
    assert ravu.utils.log is rlog.log
    assert ravu.utils.CircularQueue is datakit.CircularQueue
    assert ravu.utils.get_any_from_dict is datakit.get_any_from_dict
    assert ravu.utils.lock_func is lock.lock_func
    assert ravu.utils.lock_class_func is lock.lock_class_func
    ns = {"np": 1, "time": 2, "Thread": 3}
    exec("from ravu.utils import *", ns)
    del ns["__builtins__"]
    assert sorted(ns) == sorted(["np", "time", "Thread"] + ravu.utils.__all__)
    assert (ns["np"], ns["time"], ns["Thread"]) == (1, 2, 3)


def test_module_surface_and_handler_classes():
    assert rlog.__all__ == ["set_logid", "init_logger", "log"]
    assert rlog.relative_logs_path is base_dirs.relative_logs_path
    for cls, base in [(rlog.ConsoleHandler, logging.StreamHandler),
                      (rlog.LocalFileHandler, logging.handlers.TimedRotatingFileHandler),
                      (rlog.CollectHandler, logging.handlers.DatagramHandler)]:
        assert cls.__bases__ == (base,)
        assert cls.__module__ == "ravu.utils.logging"
        assert "__init__" in vars(cls)
    assert set(vars(rlog.CollectHandler)) >= {"__init__", "makePickle"}
    assert "emit" not in vars(rlog.CollectHandler)
    assert type(rlog._log_mutex) is type(threading.Lock())


def test_set_logid_takes_its_argument_by_position_only(monkeypatch):
    monkeypatch.setattr(rlog, "_log_id", None)
    with pytest.raises(TypeError, match="positional-only"):
        rlog.set_logid(log_id=1)
    with pytest.raises(TypeError):
        rlog.set_logid()
    assert rlog.set_logid("abc") is None
    assert rlog._log_id == "abc"


@pytest.mark.parametrize("parts", [(), ("a",), ("a", "b.log"), ("/abs", "x")])
def test_base_directories_join_by_path_rules(parts):
    for fn, leaf in [(base_dirs.relative_logs_path, "logs"),
                     (base_dirs.relative_conf_path, "conf"),
                     (base_dirs.relative_project_path, None)]:
        base = fn()
        assert os.path.isabs(base)
        if leaf:
            assert base == os.path.join(base_dirs.relative_project_path(), leaf)
        assert fn(*parts) == os.path.join(base, *parts)
    p = base_dirs.relative_project_path("logs", "pid", "svc")
    assert base_dirs.relative_project_path(p) == p


def test_base_directories_follow_the_working_directory_at_start(tmp_path):
    _, out, _ = run_py(tmp_path, """
        import os, json
        from ravu._internal.path import *
        os.chdir("/")
        print(json.dumps([relative_project_path(), relative_logs_path("a", "b.log"),
                          relative_conf_path("redis.json")]))
    """)
    root = os.path.realpath(str(tmp_path))
    assert json.loads(out) == [root, os.path.join(root, "logs", "a", "b.log"),
                               os.path.join(root, "conf", "redis.json")]


# ---------------------------------------------------------------- makePickle


def make_record(msg="text", args=None, **attrs):
    rec = logging.LogRecord("svc", logging.INFO, "/srv/src/app/main.py", 12, msg, args, None)
    for k, v in attrs.items():
        setattr(rec, k, v)
    return rec


def decode(datagram):
    (n,) = struct.unpack(">L", datagram[:4])
    assert n == len(datagram) - 4
    body = datagram[4:]
    # Protocol 1: no PROTO opcode, only opcodes of protocols 0 and 1.
    assert body[0] != 0x80
    assert max(op.proto for op, _, _ in pickletools.genops(body)) <= 1
    return pickle.loads(body)


@pytest.fixture
def collect(monkeypatch):
    monkeypatch.setattr(rlog, "_log_id", None)
    h = rlog.CollectHandler("127.0.0.1", 9)
    yield h
    h.close()


def test_collect_handler_fields(collect):
    assert collect.hostname == socket.gethostname()
    assert collect.address == ("127.0.0.1", 9)
    rec = make_record("%s has %d", ("cam", 3), custom="extra")
    d = decode(collect.makePickle(rec))
    assert d["msg"] == "cam has 3" and d["args"] is None
    assert d["exc_info"] is None and d["exc_text"] is None
    assert d["hostname"] == socket.gethostname() and d["log_id"] is None
    assert d["custom"] == "extra" and "message" not in d
    for key in ("name", "levelname", "levelno", "pathname", "filename", "module", "lineno",
                "funcName", "created", "msecs", "relativeCreated", "thread", "threadName",
                "processName", "process", "stack_info"):
        assert d[key] == getattr(rec, key), key
    # The record itself is left as it was.
    assert rec.args == ("cam", 3) and rec.msg == "%s has %d"


@pytest.mark.parametrize("msg, sent", [
    ("a" * 3072, "a" * 3072),
    ("a" * 3073, "a" * 3072),
    ("日" * 3072, "日" * 3072),
    ("日" * 4000, "日" * 3072),
    ("", ""),
])
def test_message_is_cut_to_3072_characters(collect, msg, sent):
    d = decode(collect.makePickle(make_record(msg)))
    assert d["msg"] == sent


def test_asctime_kept_or_stamped_at_build_time(collect):
    old = make_record(created=1000000000.0)  # 2001
    before = time.time()
    d = decode(collect.makePickle(old))
    assert ASCTIME.match(d["asctime"]) and not d["asctime"].startswith("2001")
    stamped = time.mktime(time.strptime(d["asctime"][:19], "%Y-%m-%d %H:%M:%S"))
    assert before - 1 <= stamped + int(d["asctime"][20:]) / 1000 <= time.time() + 1
    d = decode(collect.makePickle(make_record(asctime=None)))
    assert ASCTIME.match(d["asctime"])
    d = decode(collect.makePickle(make_record(asctime="given", message="x")))
    assert d["asctime"] == "given" and "message" not in d


def test_exception_travels_as_text(collect):
    try:
        1 / 0
    except ZeroDivisionError:
        rec = make_record(exc_info=sys.exc_info())
    d = decode(collect.makePickle(rec))
    assert d["exc_info"] is None
    assert d["exc_text"].startswith("Traceback (most recent call last):")
    assert "ZeroDivisionError" in d["exc_text"]


def test_log_id_is_read_when_each_datagram_is_built(collect):
    rlog.set_logid(7)
    first = decode(collect.makePickle(make_record()))
    rlog.set_logid({"job": "a"})
    second = decode(collect.makePickle(make_record()))
    assert first["log_id"] == 7 and second["log_id"] == {"job": "a"}


def expected_datagram(handler, rec):
    """The datagram by the rules, through the standard pickler."""
    d = dict(rec.__dict__)
    msg = rec.getMessage()
    d.update(msg=msg[:3072], args=None, exc_info=None, log_id=rlog._log_id)
    d["hostname"] = handler.hostname
    d.pop("message", None)
    body = pickle.dumps(d, 1)
    return struct.pack(">L", len(body)) + body


SHARED = "shared-" + str(id(object()))
EXTRAS = [
    {},
    {"big": 2 ** 40, "huge": -(2 ** 80), "neg": -5, "small": 255, "mid": 65535, "edge": 2 ** 31,
     "low": -(2 ** 31), "f": float("nan"), "inf": float("-inf"), "t": True, "n": None},
    {"a": SHARED, "b": SHARED, "c": "日本語" * 100, "e": ""},
    {f"k{i}": f"v{i}" for i in range(200)},  # more str than the fast memo holds
    {"tag": ("tuple",), "obj": {"nested": [1, 2]}},  # containers: the standard pickler
    {"s": "\udc80 lone surrogate"},
]


@pytest.mark.parametrize("extra", EXTRAS, ids=range(len(EXTRAS)))
@pytest.mark.parametrize("log_id", [None, 12, "id-7"])
def test_datagram_bytes_are_the_standard_picklers(collect, extra, log_id):
    rlog.set_logid(log_id)
    rec = make_record("%s=%d", (SHARED, 3), asctime="2024-01-08 09:15:02,417", **extra)
    assert collect.makePickle(rec) == expected_datagram(collect, rec)
    rec = make_record("x" * 4000, asctime="2024-01-08 09:15:02,417", name="n", message="m")
    assert collect.makePickle(rec) == expected_datagram(collect, rec)


def test_collect_handler_arguments():
    with pytest.raises(TypeError, match=r"missing 1 required positional argument: 'port'"):
        rlog.CollectHandler("127.0.0.1")
    h = rlog.CollectHandler(host="127.0.0.1", port=5)
    assert h.address == ("127.0.0.1", 5)
    with pytest.raises(TypeError):
        h.makePickle()
    h.close()


# ---------------------------------------------------------------- LocalFileHandler


@pytest.fixture
def logs_root(tmp_path, monkeypatch):
    root = tmp_path / "logroot"
    monkeypatch.setattr(rlog, "relative_logs_path", lambda *p: os.path.join(str(root), *p))
    return root


def test_local_file_handler_makes_only_the_logs_root(logs_root):
    h = rlog.LocalFileHandler("svc")
    try:
        assert h.baseFilename == str(logs_root / "svc.log")
        assert (h.when, h.interval, h.backupCount, h.utc) == ("W0", 7 * 24 * 3600, 53, False)
        assert h.formatter._fmt == "[%(asctime)s|%(levelname)s][%(pathname)s|%(lineno)d]:%(message)s"
        h.emit(make_record("first"))
        h.flush()
        line = (logs_root / "svc.log").read_text()
        m = LINE.match(line.rstrip("\n"))
        assert m and m.groups()[1:] == ("INFO", "/srv/src/app/main.py", "12", "first")
    finally:
        h.close()
    with pytest.raises(FileNotFoundError):
        rlog.LocalFileHandler("sub/svc")
    assert not (logs_root / "sub").exists()


def test_local_file_handler_rotation_settings(logs_root):
    h = rlog.LocalFileHandler("d", {"when": "D", "interval": 2, "backupCount": 3})
    assert (h.when, h.interval, h.backupCount) == ("D", 2 * 24 * 3600, 3)
    h.close()
    with pytest.raises(KeyError):
        rlog.LocalFileHandler("e", rotating_conf={"when": "D", "interval": 1})


def test_console_handler_writes_the_line_to_stderr(capsys):
    h = rlog.ConsoleHandler()
    with pytest.raises(TypeError, match="takes 1 positional argument but 2 were given"):
        rlog.ConsoleHandler(sys.stdout)
    h.emit(make_record("to stderr %d", (1,)))
    err = capsys.readouterr().err
    m = LINE.match(err.rstrip("\n"))
    assert m and m.group(5) == "to stderr 1"


# ---------------------------------------------------------------- init_logger in a child


def test_defaults_console_and_local_file(tmp_path):
    _, out, err = run_py(tmp_path, """
        import json, logging
        from ravu.utils import log
        from ravu.utils import logging as L
        try:
            log()
        except Exception as e:
            before = [type(e).__name__, str(e)]
        assert L.init_logger() is None
        lg = log()
        lg.info("started")
        print(json.dumps({"before": before, "name": lg.name, "level": lg.level,
                          "propagate": lg.propagate,
                          "handlers": [type(h).__name__ for h in lg.handlers],
                          "levels": [h.level for h in lg.handlers],
                          "same": lg is logging.getLogger("worker")}))
    """)
    info = json.loads(out)
    assert info == {"before": ["Exception", "日志未初始化!"], "name": "worker",
                    "level": logging.DEBUG, "propagate": 0,
                    "handlers": ["ConsoleHandler", "LocalFileHandler"], "levels": [0, 0],
                    "same": True}
    m = LINE.match(err.strip())
    script = os.path.realpath(str(tmp_path / "worker.py"))
    assert m and m.groups()[1:] == ("INFO", script, "11", "started")
    assert (tmp_path / "logs" / "worker.log").read_text() == err


def test_second_set_up_raises_or_returns_quietly(tmp_path):
    _, out, _ = run_py(tmp_path, """
        import json
        from ravu.utils import logging as L
        L.init_logger("svc", log_id="first", open_console=False, open_localfile=False)
        got = []
        try:
            L.init_logger("other", log_id="second")
        except Exception as e:
            got.append([type(e).__name__, str(e)])
        got.append(L.init_logger("other", log_id="third", exist_ok=True))
        got.append([L._log_id, L.log().name, len(L.log().handlers)])
        print(json.dumps(got))
    """)
    assert json.loads(out) == [["Exception", "日志初始化两次!"], None, ["first", "svc", 0]]


@pytest.mark.parametrize("script, link, expected", [
    ("worker.py", None, "worker"),
    ("runner", None, "run"),
    ("run", None, "root"),  # three characters or fewer: the root logger
    ("real_svc.py", "alias.py", "real_svc"),
])
def test_default_name_comes_from_the_real_program_path(tmp_path, script, link, expected):
    source = """
        from ravu.utils import logging as L
        L.init_logger(open_console=False)
        L.log().warning("named")
        print(L.log().name)
    """
    _, out, _ = run_py(tmp_path, source, script=script, link=link)
    assert out.strip() == expected
    logfile = tmp_path / "logs" / ((expected if expected != "root" else "") + ".log")
    assert "named" in logfile.read_text()


def test_failed_set_up_keeps_the_logger(tmp_path):
    _, out, _ = run_py(tmp_path, """
        import json
        from ravu.utils import logging as L
        got = []
        try:
            L.init_logger("svc", level="LOUD", log_id=5)
        except ValueError as e:
            got.append("ValueError")
        got.append([L.log().name, L._log_id, len(L.log().handlers)])
        try:
            L.init_logger("svc")
        except Exception as e:
            got.append(str(e))
        try:
            L.init_logger(bogus=1)
        except TypeError as e:
            got.append(str(e))
        print(json.dumps(got))
    """)
    assert json.loads(out) == ["ValueError", ["svc", 5, 0], "日志初始化两次!",
                               "init_logger() got an unexpected keyword argument 'bogus'"]


def test_collection_sends_one_datagram_per_record(tmp_path, sink):
    _, out, err = run_py(tmp_path, f"""
        import json
        from ravu.utils import logging as L
        L.init_logger("cam", log_id="L1", open_localfile=False, open_collect=True,
                      collect_address=("127.0.0.1", {sink.port}))
        L.log().info("frame %d of %s", 3, "cam")
        L.set_logid(None)
        try:
            {{}}["k"]
        except KeyError:
            L.log().exception("failed")
        L.log().debug("日" * 3072)
        print(json.dumps([type(h).__name__ for h in L.log().handlers]))
    """)
    assert json.loads(out) == ["ConsoleHandler", "CollectHandler"]
    first, _ = sink.record()
    second, _ = sink.record()
    third, raw = sink.record()
    assert first["name"] == "cam" and first["msg"] == "frame 3 of cam"
    assert first["args"] is None and first["log_id"] == "L1"
    assert first["hostname"] == socket.gethostname() and "message" not in first
    # The console formatter ran first, so its time is the one sent.
    lines = err.splitlines()
    assert LINE.match(lines[0]).group(1) == first["asctime"]
    assert second["log_id"] is None and second["exc_info"] is None
    assert "KeyError" in second["exc_text"] and second["levelname"] == "ERROR"
    assert third["msg"] == "日" * 3072 and len(raw) > 9216


def test_collect_address_is_indexed_like_any_mapping(tmp_path, sink):
    run_py(tmp_path, f"""
        from ravu.utils import logging as L
        L.init_logger("cam", open_console=False, open_localfile=False, open_collect=True,
                      collect_address={{0: "127.0.0.1", 1: {sink.port}, 2: "ignored"}})
        L.log().info("by mapping")
    """)
    d, _ = sink.record()
    assert d["msg"] == "by mapping"


def test_defaults_send_nothing(tmp_path):
    run_py(tmp_path, """
        import logging.handlers as H
        from ravu.utils import logging as L
        L.init_logger(open_console=False, open_localfile=False)
        L.log().error("quiet")
        assert not any(isinstance(h, H.DatagramHandler) for h in L.log().handlers)
    """)
