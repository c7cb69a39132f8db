"""ravu.utils.working: run-if-main, loading by dotted path, module discovery,
the single-instance claim and the process killers.

Safety: every process these tests let the killers see is a child of the test
itself, carrying a random key; the key patterns used are random too, so no
other process of the host can match them.  A child that has not been reaped
keeps its pid, so the pids the tests hand over can never name a stranger.
Where a broken implementation could reach further (an empty pattern, a
kill of process group 0), the listing comes from a fake `ps` that shows only
our own children, or the call runs in a child in its own session.  Pid files
and project directories live in tmp_path.
"""
import importlib
import inspect
import os
import shlex
import signal
import socket
import subprocess
import sys
import textwrap
import types
import uuid

import pytest

import ravu._internal.path as base_dirs
import ravu.utils.logging as rlog
from ravu.utils import working
from tests._proc import PY, child_env, run_py

SLEEPER = "import time; time.sleep(60)"


def new_key():
    return "svc" + uuid.uuid4().hex


@pytest.fixture
def procs():
    """Starts children (a python sleeper with extra arguments, or any argv);
    each is ended and reaped at teardown."""
    started = []

    def start(*extra, argv=None, code=SLEEPER):
        p = subprocess.Popen(argv or [PY, "-c", code, *extra], stdin=subprocess.PIPE,
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        started.append(p)
        return p

    yield start
    for p in started:
        if p.poll() is None:
            p.kill()
        p.wait()
        p.stdin.close()


def fate(p):
    """-9 when the child got SIGKILL; -15 when it was alive (ended now with
    SIGTERM).  A pending SIGKILL decides the exit status, so no waiting."""
    if p.poll() is None:
        p.terminate()
    return p.wait(10)


@pytest.fixture
def project(tmp_path, monkeypatch):
    """kill_other's project directory in tmp_path, its warnings collected."""
    root = tmp_path / "project"
    monkeypatch.setattr(working, "relative_project_path",
                        lambda *parts: os.path.join(str(root), *parts))
    lines = []

    class Logger:
        def warning(self, text):
            lines.append(text)

    monkeypatch.setattr(working, "log", lambda: Logger())

    def pid_file(name="svc", content=None):
        path = root / "logs" / "pid" / name
        if content is not None:
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_bytes(content if isinstance(content, bytes) else content.encode())
        return path

    return types.SimpleNamespace(root=root, lines=lines, pid_file=pid_file)


# ---------------------------------------------------------------- module


def test_module_surface():
    assert working.__all__ == ["kill_other", "kill_all", "run_this", "get_class_or_func",
                               "collect_modules", "find_attributes"]
    assert working.os is os and working.importlib is importlib
    assert working.relative_project_path is base_dirs.relative_project_path
    assert working.log is rlog.log
    names = list(vars(working))
    assert names.index("os") < names.index("importlib") < names.index("relative_project_path") \
        < names.index("log") < names.index("kill_other")
    sigs = {n: str(inspect.signature(getattr(working, n))) for n in working.__all__}
    assert sigs == {"kill_other": "(name, key=None, is_create_new=True)", "kill_all": "(key)",
                    "run_this": "(name, *args, **kwargs)",
                    "get_class_or_func": "(class_or_func_path)",
                    "collect_modules": "(root_path, root_package)",
                    "find_attributes": "(root_path, root_package, filter)"}
    for n in working.__all__:
        assert getattr(working, n).__doc__


# ---------------------------------------------------------------- run_this


def test_run_this_closure():
    run = working.run_this("__main__", 1, k=2)
    assert run.__name__ == "run" and run.__qualname__ == "run_this.<locals>.run"
    assert str(inspect.signature(run)) == "(func)"
    assert working.run_this("x") is not working.run_this("x")
    # Argument errors name the closure as a nested def's do.
    for call, message in [(lambda: run(), "missing 1 required positional argument: 'func'"),
                          (lambda: run(len, len), "takes 1 positional argument but 2 were given"),
                          (lambda: run(f=len), "got an unexpected keyword argument 'f'")]:
        with pytest.raises(TypeError) as err:
            call()
        assert str(err.value) == "run_this.<locals>.run() " + message
    with pytest.raises(TypeError):
        working.run_this()


@pytest.mark.parametrize("name, args, kwargs, calls", [
    ("__main__", (), {}, [((), {})]),
    ("__main__", ("a",), {"k": 1}, [(("a",), {"k": 1})]),
    ("ravu.app", ("a",), {"k": 1}, []),
    ("__main__ ", (), {}, []),
    (None, (), {}, []),
])
def test_run_this_calls_only_as_main(name, args, kwargs, calls):
    seen = []

    @working.run_this(name, *args, **kwargs)
    def main(*a, **k):
        seen.append((a, k))
        return "lost"

    assert main is None
    assert seen == calls


def test_run_this_keyword_name_and_fresh_kwargs_per_call():
    seen = []

    def func(*a, **k):
        seen.append((a, dict(k)))
        k["added"] = True  # must not reach the next call

    run = working.run_this(name="__main__", k=1)
    assert run(func) is None and run(func=func) is None
    assert seen == [((), {"k": 1}), ((), {"k": 1})]


def test_run_this_error_propagates():
    def boom():
        raise KeyError("x")

    with pytest.raises(KeyError):
        working.run_this("__main__")(boom)


# ---------------------------------------------------------------- get_class_or_func


@pytest.mark.parametrize("path, expected", [
    ("collections.OrderedDict", __import__("collections").OrderedDict),
    ("os.path.join", os.path.join),
    ("os.sep", os.sep),
    ("os.path", os.path),
    ("ravu.utils.working.get_class_or_func", working.get_class_or_func),
])
def test_get_class_or_func_returns_the_attribute(path, expected):
    assert working.get_class_or_func(path) is expected
    assert working.get_class_or_func(class_or_func_path=path) is expected


@pytest.mark.parametrize("path, error", [
    ("no_such_module_xyz.Thing", ModuleNotFoundError),
    ("os.no_such_name", AttributeError),
    ("noDots", ValueError),
    (".x", ValueError),
    (5, TypeError),
])
def test_get_class_or_func_errors(path, error):
    with pytest.raises(error):
        working.get_class_or_func(path)


def test_get_class_or_func_imports_once_through_the_global(monkeypatch, tmp_path):
    pkg = "gcf" + uuid.uuid4().hex[:8]
    (tmp_path / f"{pkg}.py").write_text("COUNT = []\nCOUNT.append(1)\nclass A: pass\n")
    monkeypatch.syspath_prepend(str(tmp_path))
    a = working.get_class_or_func(f"{pkg}.A")
    assert working.get_class_or_func(f"{pkg}.A") is a
    assert sys.modules[pkg].COUNT == [1]
    asked = []
    fake = types.SimpleNamespace(import_module=lambda n: asked.append(n) or os)
    monkeypatch.setattr(working, "importlib", fake)
    assert working.get_class_or_func("a.b.getcwd") is os.getcwd
    assert asked == ["a.b"]
    sys.modules.pop(pkg, None)


# ---------------------------------------------------------------- collect_modules


def ref_collect(root_path, root_package, os=os):
    """The discovery rules in plain Python.  A file whose path does not hold
    root_package gives no name (the rules would make it '')."""
    if not os.path.exists(root_path):
        return []
    if os.path.isfile(root_path):
        start = root_path.rfind(root_package)
        if root_path.endswith(".py"):
            return [] if start < 0 else [root_path[start:-3].replace("/", ".")]
        if root_path.endswith(".so"):
            end = root_path.find(".", root_path.rfind("/") + 1)
            return [] if start < 0 else [root_path[start:end].replace("/", ".")]
        return []
    if os.path.isdir(root_path):
        out = []
        for entry in os.listdir(root_path):
            out += ref_collect(os.path.join(root_path, entry), root_package, os)
        return out
    return []


@pytest.fixture
def tree(tmp_path, monkeypatch):
    """A package tree with every kind of entry the walk meets; tmp_path
    itself does not hold 'ravu'."""
    assert "ravu" not in str(tmp_path)
    top = tmp_path / "proj"
    files = ["ravu/__init__.py", "ravu/a.b.py", "ravu/a.b.so",
             "ravu/box.cpython-311-x86_64-linux-gnu.so", "ravu/utils/__init__.py",
             "ravu/utils/ravu_tools.py", "ravu/utils/notes.txt", "ravu/utils/cache.pyc",
             "ravu/utils/dup.py", "ravu/utils/dup.so", "ravu/utils/UP.PY",
             "ravu/pkg.v2/mod.py", "ravu/.hidden/h.py", "ravu/__pycache__/x.cpython-311.pyc",
             "ravu/cyc/m.py", "outside.py"]
    for f in files:
        (top / f).parent.mkdir(parents=True, exist_ok=True)
        (top / f).write_text("")
    os.mkfifo(top / "ravu/fifo.py")
    monkeypatch.chdir(top)
    sock = socket.socket(socket.AF_UNIX)
    sock.bind("ravu/sock.py")
    os.symlink("utils/ravu_tools.py", top / "ravu/link.py")
    os.symlink("nowhere.py", top / "ravu/dangling.py")
    os.symlink(".", top / "ravu/cyc/back")  # walked until the path no longer resolves
    yield top
    sock.close()


@pytest.mark.parametrize("root, package", [
    ("proj/ravu", "ravu"), ("proj/ravu/", "ravu"), ("proj", "ravu"), ("proj/ravu/utils", "utils"),
    ("proj/ravu/a.b.py", "ravu"), ("proj/ravu/a.b.so", "ravu"), ("proj/ravu/utils/notes.txt", "ravu"),
    ("proj/ravu/link.py", "ravu"), ("proj/ravu/fifo.py", "ravu"), ("proj/missing", "ravu"),
    ("proj/ravu/dangling.py", "ravu"), ("", "ravu"), ("proj/ravu/a.b.py", ""),
    ("proj/ravu/a.b.py", "py"), ("proj/ravu/box.cpython-311-x86_64-linux-gnu.so", "x86"),
    ("relative", "ravu"),
])
def test_collect_modules_matches_the_rules(tree, root, package):
    root = "ravu" if root == "relative" else (str(tree.parent / root) if root else root)
    assert working.collect_modules(root, package) == ref_collect(root, package)


def test_collect_modules_names(tree):
    names = working.collect_modules(str(tree / "ravu"), "ravu")
    expected_once = ["ravu.__init__", "ravu.a.b", "ravu.a", "ravu.box", "ravu.utils.__init__",
                     "ravu_tools", "ravu.pkg.v2.mod", "ravu..hidden.h", "ravu.link",
                     "ravu.cyc.m", "ravu.cyc.back.m"]
    for n in expected_once:
        assert names.count(n) == 1, n
    assert names.count("ravu.utils.dup") == 2  # the .py and the .so
    assert "ravu.cyc.back.back.back.m" in names
    assert not [n for n in names if "fifo" in n or "sock" in n or "dangling" in n
                or "UP" in n or "notes" in n or "cache" in n or "pycache" in n]
    assert working.collect_modules(root_path=str(tree / "ravu/a.b.py"),
                                   root_package="ravu") == ["ravu.a.b"]
    assert working.collect_modules(tree / "ravu" / "a.b.py", "ravu") == ["ravu.a.b"]


def test_collect_modules_goes_through_the_globals(tree, monkeypatch):
    visited = []
    original = working.collect_modules

    def spy(path, package):
        visited.append(path)
        return original(path, package)

    monkeypatch.setattr(working, "collect_modules", spy)
    root = str(tree / "ravu/utils")
    assert original(root, "ravu") == ref_collect(root, "ravu")
    assert sorted(visited) == sorted(os.path.join(root, e) for e in os.listdir(root))

    # A replaced os module decides the order and what exists.
    monkeypatch.setattr(working, "collect_modules", original)
    fake_os = types.SimpleNamespace(path=os.path,
                                    listdir=lambda p: sorted(os.listdir(p), reverse=True))
    monkeypatch.setattr(working, "os", fake_os)
    root = str(tree / "ravu")
    got = working.collect_modules(root, "ravu")
    assert got == ref_collect(root, "ravu", fake_os)
    assert got.index("ravu.utils.dup") < got.index("ravu.a.b")
    # A path object is taken as its text on this road too.
    assert working.collect_modules(tree / "ravu" / "a.b.py", "ravu") == ["ravu.a.b"]
    with pytest.raises(TypeError):
        working.collect_modules(os.fsencode(tree / "ravu" / "a.b.py"), "ravu")


def test_collect_modules_errors(tree):
    with pytest.raises(TypeError):
        working.collect_modules(str(tree / "ravu/a.b.py"), 5)
    with pytest.raises(TypeError):
        working.collect_modules(b"proj", "ravu")
    with pytest.raises(TypeError):
        working.collect_modules("proj")


# ---------------------------------------------------------------- find_attributes


@pytest.fixture
def plugins(tmp_path, monkeypatch):
    """An importable package of a random name with a plug-in class that a
    second module imports too."""
    pkg = "plug" + uuid.uuid4().hex[:10]
    top = tmp_path / "src" / pkg
    top.mkdir(parents=True)
    (top / "__init__.py").write_text("")
    (top / "base.py").write_text("class Plugin:\n    pass\n")
    (top / "a.py").write_text("from .base import Plugin\nclass A(Plugin):\n    pass\n"
                              "def helper():\n    pass\n")
    (top / "b.py").write_text("from .a import A\nclass B(A):\n    pass\nVALUE = 3\n")
    monkeypatch.syspath_prepend(str(tmp_path / "src"))
    yield types.SimpleNamespace(pkg=pkg, root=str(top))
    for name in [m for m in sys.modules if m == pkg or m.startswith(pkg + ".")]:
        del sys.modules[name]


def test_find_attributes_collects_what_the_filter_accepts(plugins):
    pkg = plugins.pkg
    base = importlib.import_module(f"{pkg}.base")
    seen = []

    def is_plugin(module, name, value):
        seen.append((module, name))
        return isinstance(value, type) and issubclass(value, base.Plugin) and value is not base.Plugin

    found = working.find_attributes(plugins.root, pkg, is_plugin)
    mods = working.collect_modules(plugins.root, pkg)
    expected = []
    for m in mods:
        mod = importlib.import_module(m)
        expected += [getattr(mod, n) for n in dir(mod) if is_plugin(m, n, getattr(mod, n))]
    assert found == expected
    a, b = sys.modules[f"{pkg}.a"], sys.modules[f"{pkg}.b"]
    assert found.count(a.A) == 2 and found.count(b.B) == 1  # A is reachable through b too
    assert (f"{pkg}.__init__", "__name__") in seen


def test_find_attributes_everything_in_dir_order(plugins):
    pkg = plugins.pkg
    found = working.find_attributes(root_path=plugins.root, root_package=pkg,
                                    filter=lambda m, n, v: True)
    expected = []
    for m in working.collect_modules(plugins.root, pkg):
        mod = sys.modules[m]
        expected += [getattr(mod, n) for n in dir(mod)]
    assert found == expected


def test_find_attributes_goes_through_the_globals(plugins, monkeypatch):
    listed = []
    monkeypatch.setattr(working, "collect_modules",
                        lambda p, r: listed.append((p, r)) or iter([f"{plugins.pkg}.base"]))
    imported = []
    fake = types.SimpleNamespace(import_module=lambda n: imported.append(n)
                                 or importlib.import_module(n))
    monkeypatch.setattr(working, "importlib", fake)
    found = working.find_attributes("anywhere", "pkg", lambda m, n, v: n == "Plugin")
    assert listed == [("anywhere", "pkg")] and imported == [f"{plugins.pkg}.base"]
    assert found == [sys.modules[f"{plugins.pkg}.base"].Plugin]


def test_find_attributes_errors_propagate(plugins):
    def bad(m, n, v):
        raise LookupError(n)

    with pytest.raises(LookupError):
        working.find_attributes(plugins.root, plugins.pkg, bad)
    with pytest.raises(ModuleNotFoundError):
        working.find_attributes(plugins.root, "src", lambda m, n, v: True)


# ---------------------------------------------------------------- kill_other


def test_first_claim_runs_nothing(project):
    working.kill_other("svc", new_key())
    assert project.lines == []
    assert project.pid_file().read_bytes() == str(os.getpid()).encode()


def test_second_instance_kills_the_first(project, procs):
    key = new_key()
    first, bystander = procs(key), procs(new_key())
    project.pid_file("svc", str(first.pid))
    working.kill_other("svc", key)
    assert fate(first) == -signal.SIGKILL and fate(bystander) == -signal.SIGTERM
    assert project.pid_file().read_text() == str(os.getpid())
    assert project.lines[0] == f"[cmd] ps -ef | grep {key} | grep {first.pid} | grep -v grep"
    results = project.lines[1:]
    assert results and all(r.startswith("[grep result] ") and r.endswith("\n") for r in results)
    assert any(key in r and f" {first.pid} " in r for r in results)


def test_key_defaults_to_the_name(project, procs):
    name = new_key()
    first = procs(name)
    project.pid_file(name, str(first.pid))
    working.kill_other(name)
    assert fate(first) == -signal.SIGKILL
    assert project.lines[0] == f"[cmd] ps -ef | grep {name} | grep {first.pid} | grep -v grep"


@pytest.mark.parametrize("suffix, arg", [("[0-9]", "7"), (".x", "zx"), ("", ""), ("服务", "服务")])
def test_key_is_a_grep_pattern(project, procs, suffix, arg):
    stem = new_key()
    first = procs(stem + arg)
    project.pid_file("svc", str(first.pid))
    working.kill_other("svc", stem + suffix)
    assert fate(first) == -signal.SIGKILL


@pytest.mark.parametrize("existing", [True, False])
def test_claim_without_keeping_the_pid_file(project, procs, existing):
    key = new_key()
    first = procs(key)
    if existing:
        project.pid_file("svc", str(first.pid))
    working.kill_other("svc", key, is_create_new=False)
    assert fate(first) == (-signal.SIGKILL if existing else -signal.SIGTERM)
    assert not project.pid_file().exists() and project.pid_file().parent.is_dir()


def test_recorded_process_gone(project, procs):
    key = new_key()
    gone = procs(key, code="pass")
    os.waitid(os.P_PID, gone.pid, os.WEXITED | os.WNOWAIT)  # a zombie: its pid stays ours
    project.pid_file("svc", str(gone.pid))
    working.kill_other("svc", key)
    assert project.lines == [f"[cmd] ps -ef | grep {key} | grep {gone.pid} | grep -v grep"]
    assert project.pid_file().read_text() == str(os.getpid())


def test_pid_digits_elsewhere_in_a_line_kill_nothing(project, procs):
    key = new_key()
    recorded = procs(new_key())          # the recorded pid, without the key
    mention = procs(key, str(recorded.pid))  # a line with the key and those digits
    project.pid_file("svc", str(recorded.pid))
    working.kill_other("svc", key)
    assert any(key in r for r in project.lines[1:])  # listed, as before
    assert fate(recorded) == fate(mention) == -signal.SIGTERM


@pytest.mark.parametrize("text", [
    "{pid}\n", "{pid}\r\n", "{pid}\n999\n", " {pid}", "+{pid}", "0{pid}", "{pid} ", "{pid}.0",
    "{pid}\x00", "{pid}\x00\n", "\xff{pid}", "{pid};touch {marker}", "$(touch {marker})",
    "`touch {marker}`", "{pid}' ; touch {marker}; '", "-e{pid}", "",
    # Garbage too long for one command line once quoted: the listing must run.
    pytest.param("\xff" * 50000, id="long-non-utf8"), pytest.param("'" * 30000, id="long-quotes"),
    pytest.param("{pid}" + " " * 200000 + "\n", id="long-line"),
])
def test_bad_pid_text_kills_nothing_and_is_rewritten(project, procs, tmp_path, text):
    key = new_key()
    victim = procs(key)
    marker = tmp_path / "marker"
    # "\xff" stands for a byte that is not UTF-8.
    raw = text.format(pid=victim.pid, marker=marker).encode().replace(b"\xc3\xbf", b"\xff")
    project.pid_file("svc", raw)
    working.kill_other("svc", key)
    assert fate(victim) == -signal.SIGTERM
    assert not marker.exists()
    assert project.lines[0].startswith(f"[cmd] ps -ef | grep {key} | grep ")
    assert project.pid_file().read_text() == str(os.getpid())


def shell_word(text):
    """Plain words (letters and digits of any script, @%+=:,./-_) and the
    empty text as they are; anything else quoted."""
    if all(c.isalnum() or c in "@%+=:,./-_" for c in text):
        return text
    return shlex.quote(text)


@pytest.mark.parametrize("stem", [
    "plain-1.a_b@x%y+z=w:v,u/t", "two words", "x; touch {marker}", "it's; touch {marker}",
    "$(touch {marker})", "`touch {marker}`", "ключ", "服务2", "a\u3000b", "a\u2014b", "*", "",
])
def test_key_goes_into_the_listing_as_one_word(project, tmp_path, stem):
    marker = tmp_path / "marker"
    key = stem.format(marker=marker)
    project.pid_file("svc", "")  # no pid pattern: the listing shows nothing
    working.kill_other("svc", key)
    word = shell_word(key)
    assert project.lines == [f"[cmd] ps -ef | grep {word} | grep  | grep -v grep"]
    assert not marker.exists()


@pytest.mark.parametrize("name, key, error", [
    ("/abs/svc", "k", ValueError), ("../svc", "k", ValueError), ("a/../../svc", "k", ValueError),
    ("..", "k", ValueError), ("a/..", "k", ValueError), ("svc", "-e", ValueError),
    ("-svc", None, ValueError), ("svc", "a\x00b", ValueError), ("svc", "a\nb", ValueError),
    ("svc", "a\n", ValueError),
])
def test_refused_before_anything_is_touched(project, name, key, error):
    with pytest.raises(error):
        working.kill_other(name, key)
    assert not project.root.exists()


def test_names_inside_the_pid_directory(project):
    working.kill_other("..svc", new_key())
    assert project.pid_file("..svc").read_text() == str(os.getpid())
    with pytest.raises(FileNotFoundError):
        working.kill_other("sub/svc", new_key())
    assert project.pid_file().parent.is_dir()


def test_logger_failure_kills_nothing(project, procs, monkeypatch):
    key = new_key()
    first = procs(key)
    project.pid_file("svc", str(first.pid))

    def no_logger():
        raise Exception("日志未初始化!")

    monkeypatch.setattr(working, "log", no_logger)
    with pytest.raises(Exception, match="日志未初始化!"):
        working.kill_other("svc", key)
    assert fate(first) == -signal.SIGTERM
    assert project.pid_file().read_text() == str(first.pid)


def sandbox(tmp_path, source, *args):
    """Runs `source` in a child of its own session whose command line holds
    `args`; returns (returncode, stdout)."""
    script = tmp_path / "sandbox.py"
    script.write_text(textwrap.dedent(source))
    p = subprocess.run([PY, str(script), *args], cwd=str(tmp_path), env=child_env(),
                       capture_output=True, timeout=30, start_new_session=True)
    return p.returncode, p.stdout.decode() + p.stderr.decode()


CLAIM_IN_SANDBOX = """
    import os, sys
    from ravu.utils import working
    working.log = lambda: type("L", (), {"warning": lambda self, t: print(t)})()
    os.makedirs("logs/pid", exist_ok=True)
    with open("logs/pid/svc", "w") as f:
        f.write(sys.argv[2] if sys.argv[2] != "self" else str(os.getpid()))
    working.kill_other("svc", sys.argv[1])
    print("alive", open("logs/pid/svc").read() == str(os.getpid()))
"""


@pytest.mark.parametrize("recorded", ["self", "0"])
def test_claim_never_kills_the_caller(tmp_path, recorded):
    # The caller's own line holds the key (and, for "0", zeros in its times):
    # killing the recorded id would end the caller or its process group.
    key = new_key()
    rc, out = sandbox(tmp_path, CLAIM_IN_SANDBOX, key, recorded)
    assert rc == 0 and "alive True" in out, out
    assert "[grep result] " in out


def test_two_service_instances(tmp_path):
    # Real logger, real project directory: the child's working directory.
    key = new_key()
    script = tmp_path / "service.py"
    script.write_text(textwrap.dedent("""
        import sys, time
        from ravu.utils.logging import init_logger
        from ravu.utils.working import kill_other
        init_logger("svc")
        kill_other(sys.argv[1])
        print("claimed", flush=True)
        time.sleep(60)
    """))
    started = []
    try:
        for _ in range(2):
            p = subprocess.Popen([PY, str(script), key], cwd=str(tmp_path), env=child_env(),
                                 stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
            started.append(p)
            assert p.stdout.readline() == b"claimed\n"
        first, second = started
        assert first.wait(10) == -signal.SIGKILL
        assert (tmp_path / "logs/pid" / key).read_text() == str(second.pid)
        log = (tmp_path / "logs/svc.log").read_text()
        assert f"[cmd] ps -ef | grep {key} | grep {first.pid} | grep -v grep" in log
        assert "[grep result] " in log
        assert second.poll() is None
    finally:
        for p in started:
            if p.poll() is None:
                p.kill()
            p.wait()
            p.stdout.close()


# ---------------------------------------------------------------- kill_all


def test_kill_all_kills_matching_python_processes(procs):
    key = new_key()
    python_a, python_b = procs(key), procs("x" + key + "y")
    not_python = procs(argv=["/bin/sh", "-c", "read x", key])
    other = procs(new_key())
    assert working.kill_all(key) is None
    assert fate(python_a) == fate(python_b) == -signal.SIGKILL
    assert fate(not_python) == fate(other) == -signal.SIGTERM


def test_kill_all_without_match_kills_nothing(procs):
    p = procs(new_key())
    working.kill_all(key=new_key())
    assert fate(p) == -signal.SIGTERM


def test_kill_all_spares_the_caller(tmp_path, procs):
    key = new_key()
    sibling = procs(key)
    rc, out = sandbox(tmp_path, """
        import sys
        from ravu.utils.working import kill_all
        kill_all(sys.argv[1])
        print("alive")
    """, key)
    assert rc == 0 and "alive" in out, out
    assert fate(sibling) == -signal.SIGKILL


@pytest.fixture
def fake_ps(tmp_path, monkeypatch):
    """`ps` on PATH prints the lines given: only our own children."""
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    table = tmp_path / "table"
    (bin_dir / "ps").write_text(f"#!/bin/sh\ncat '{table}'\n")
    (bin_dir / "ps").chmod(0o755)
    monkeypatch.setenv("PATH", f"{bin_dir}:{os.environ['PATH']}")

    def show(*lines):
        table.write_text("UID PID PPID C STIME TTY TIME CMD\n" + "".join(l + "\n" for l in lines))

    return show


def ps_line(p, cmd):
    return f"root {p.pid} 1 0 10:00 ? 00:00:00 {cmd}"


@pytest.mark.parametrize("key", ["", "-", "-e", "python\n", "\npython", "a\x00b"])
def test_kill_all_empty_or_refused_key(fake_ps, procs, key):
    victim = procs()
    fake_ps(ps_line(victim, "/usr/bin/python3 -c sleep"))
    if key:  # an option, several patterns, no argument at all
        with pytest.raises(ValueError):
            working.kill_all(key)
    else:
        working.kill_all(key)  # an empty pattern matches nothing, not every line
    assert fate(victim) == -signal.SIGTERM


@pytest.mark.parametrize("bad, error", [("{key}python", IndexError),
                                        ("root abc python {key}", ValueError)])
def test_kill_all_unreadable_line_stops_after_earlier_kills(fake_ps, procs, bad, error):
    key = new_key()
    first, later = procs(), procs()
    fake_ps(ps_line(first, f"python {key}"), bad.format(key=key), ps_line(later, f"python {key}"))
    with pytest.raises(error):
        working.kill_all(key)
    assert fate(first) == -signal.SIGKILL and fate(later) == -signal.SIGTERM


@pytest.mark.parametrize("stem", ["; touch {marker}", "$(touch {marker})", "`touch {marker}`",
                                  "' ; touch {marker}; '", " | touch {marker}"])
def test_kill_all_key_runs_nothing(procs, tmp_path, stem):
    marker = tmp_path / "marker"
    key = new_key() + stem.format(marker=marker)
    p = procs(key.split()[0])
    working.kill_all(key)
    assert not marker.exists()
    assert fate(p) == -signal.SIGTERM
