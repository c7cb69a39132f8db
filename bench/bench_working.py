"""Process control and periodic tasks side by side with the same rules in
plain Python.

Run by hand:  PYTHONPATH=. /usr/bin/python3 bench/bench_working.py

The process killers are measured with a random key that no process holds,
so nothing is killed; their time is that of the shell pipeline.
"""
import importlib
import os
import re
import shlex
import subprocess
import sys
import tempfile
import threading
import time
import uuid

from ravu.utils import ticker, working


# ---------------------------------------------------------------- plain Python rules

def py_run_this(name, *args, **kwargs):
    def run(func):
        if name == "__main__":
            func(*args, **kwargs)
    return run


def py_get_class_or_func(class_or_func_path):
    dot = class_or_func_path.rfind(".")
    if dot < 0:
        raise ValueError(class_or_func_path)
    module = importlib.import_module(class_or_func_path[:dot])
    return getattr(module, class_or_func_path[dot + 1:])


def py_collect_modules(root_path, root_package):
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
            out += py_collect_modules(os.path.join(root_path, entry), root_package)
        return out
    return []


def py_find_attributes(root_path, root_package, filter):
    out = []
    for name in py_collect_modules(root_path, root_package):
        module = importlib.import_module(name)
        for attr in dir(module):
            value = getattr(module, attr)
            if filter(name, attr, value):
                out.append(value)
    return out


def word(text):
    if all(c.isalnum() or c in "@%+=:,./-_" for c in text):
        return text
    return shlex.quote(text)


def py_kill_all(key):
    key = str(key)
    if key.startswith("-"):
        raise ValueError(key)
    me = os.getpid()
    cmd = "ps -ef | grep %s | grep python | grep -v grep" % word(key)
    with subprocess.Popen(cmd, shell=True, stdout=subprocess.PIPE, text=True,
                          errors="replace") as p:
        for line in p.stdout:
            pid = int(line.split()[1])
            if pid != me:
                subprocess.run("kill -9 %d" % pid, shell=True)


def py_kill_other(name, key=None, is_create_new=True, project=None, log=None):
    key = str(name if key is None else key)
    if os.path.isabs(name) or ".." in name.split("/") or key.startswith("-"):
        raise ValueError(name)
    os.makedirs(os.path.join(project, "logs", "pid"), exist_ok=True)
    path = os.path.join(project, "logs", "pid", name)
    if os.path.isfile(path):
        with open(path, errors="replace") as f:
            pid_text = f.readline()
        cmd = "ps -ef | grep %s | grep %s | grep -v grep" % (word(key), word(pid_text))
        out = subprocess.run(cmd, shell=True, stdout=subprocess.PIPE, text=True,
                             errors="replace").stdout.splitlines(True)
        log().warning("[cmd] " + cmd)
        for line in out:
            log().warning("[grep result] " + line)
        if out and re.fullmatch(r"[1-9][0-9]{0,9}", pid_text) and int(pid_text) != os.getpid():
            try:
                with open("/proc/%s/cmdline" % pid_text, "rb") as f:
                    args = f.read().rstrip(b"\0").replace(b"\0", b" ").decode("utf-8", "replace")
            except OSError:
                args = ""
            if re.search(key, args):
                subprocess.run("kill -9 %s" % pid_text, shell=True)
    with open(path, "w") as f:
        f.write(str(os.getpid()))
    if not is_create_new and os.path.isfile(path):
        os.remove(path)


PY_STATUS = [0]


class PyTicker(threading.Thread):
    def __init__(self, task_info):
        super().__init__()
        self.task_info = task_info
        self.interval = 0.001
        if task_info.get("interval") is not None:
            self.interval = task_info.get("interval")
        self.init()

    def init(self):
        pass

    def init_run(self):
        pass

    def do(self):
        pass

    def run(self):
        self.init_run()
        while PY_STATUS[0] == 0:
            try:
                self.do()
            except BaseException:
                log().error(traceback.format_exc())  # noqa: F821 (never reached here)
                time.sleep(2)
            if self.interval != 0:
                time.sleep(self.interval)


PASSES = 100000


class PyCount(PyTicker):
    def do(self):
        self.n += 1
        if self.n == PASSES:
            PY_STATUS[0] = 1


class CCount(ticker.Ticker):
    def do(self):
        self.n += 1
        if self.n == PASSES:
            ticker.timer_stop_all()


def py_passes():
    PY_STATUS[0] = 0
    t = PyCount({"interval": 0})
    t.n = 0
    t.run()


def c_passes():
    ticker._status = ticker.TIMER_STATUS_START
    t = CCount({"interval": 0})
    t.n = 0
    t.run()


# ---------------------------------------------------------------- fixtures

def make_tree(root, dirs=40, files=50):
    """A package `bench_pkg` of dirs x files modules (plus non-module files)."""
    top = os.path.join(root, "bench_pkg")
    os.makedirs(top)
    open(os.path.join(top, "__init__.py"), "w").close()
    for d in range(dirs):
        sub = os.path.join(top, "sub%d" % d)
        os.makedirs(sub)
        open(os.path.join(sub, "__init__.py"), "w").close()
        for f in range(files):
            # The first directories are importable: no (fake) extension modules.
            ext = (".py", ".txt")[f % 2] if d < 4 else (".py", ".so", ".txt", ".pyc")[f % 4]
            with open(os.path.join(sub, "m%d%s" % (f, ext)), "w") as fh:
                if ext == ".py" and d < 4:
                    fh.write("class Plugin%d:\n    pass\nVALUE = %d\n" % (f, f))
    return top


def per_op_ns(fn, loops, repeats=5):
    for _ in range(max(1, loops // 10)):
        fn()
    best = None
    for _ in range(repeats):
        t0 = time.perf_counter_ns()
        for _ in range(loops):
            fn()
        dt = (time.perf_counter_ns() - t0) / loops
        best = dt if best is None else min(best, dt)
    return best


class NullLogger:
    def warning(self, text):
        pass


def main():
    rows = []
    main_fn = lambda x: None  # noqa: E731
    rows.append(("run_this('__main__')(f)", lambda: py_run_this("__main__", 1)(main_fn),
                 lambda: working.run_this("__main__", 1)(main_fn), 200000, 1))
    rows.append(("get_class_or_func (imported)", lambda: py_get_class_or_func("os.path.join"),
                 lambda: working.get_class_or_func("os.path.join"), 200000, 1))
    with tempfile.TemporaryDirectory() as tmp:
        top = make_tree(tmp)
        assert working.collect_modules(top, "bench_pkg") == py_collect_modules(top, "bench_pkg")
        rows.append(("collect_modules(2,000 files)", lambda: py_collect_modules(top, "bench_pkg"),
                     lambda: working.collect_modules(top, "bench_pkg"), 20, 1))
        sys.path.insert(0, tmp)
        few = os.path.join(top, "sub1")
        keep = lambda m, n, v: n.startswith("Plugin")  # noqa: E731
        assert working.find_attributes(few, "bench_pkg", keep) == \
            py_find_attributes(few, "bench_pkg", keep)
        rows.append(("find_attributes(26 modules)", lambda: py_find_attributes(few, "bench_pkg", keep),
                     lambda: working.find_attributes(few, "bench_pkg", keep), 200, 1))

        project = os.path.join(tmp, "project")
        working.relative_project_path = lambda *p: os.path.join(project, *p)
        working.log = NullLogger
        key = "bench" + uuid.uuid4().hex  # held by no process: nothing is killed
        pid_file = os.path.join(project, "logs", "pid", "svc")
        os.makedirs(os.path.dirname(pid_file))
        open(pid_file, "w").write(str(os.getpid()))
        rows.append(("kill_other (listing runs)",
                     lambda: py_kill_other("svc", key, project=project, log=NullLogger),
                     lambda: working.kill_other("svc", key), 20, 1))
        rows.append(("kill_all (no match)", lambda: py_kill_all(key),
                     lambda: working.kill_all(key), 20, 1))
        rows.append(("Ticker pass, interval 0", py_passes, c_passes, 1, PASSES))
        results = [(name, per_op_ns(py, n) / per, per_op_ns(cc, n) / per)
                   for name, py, cc, n, per in rows]
    print("%-32s %14s %14s %8s" % ("operation", "Python ns/op", "C++ ns/op", "ratio"))
    for name, py, cc in results:
        print("%-32s %14.0f %14.0f %7.1fx" % (name, py, cc, py / cc))


if __name__ == "__main__":
    main()
