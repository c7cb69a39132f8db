"""ravu.cmd.compile: the build tool, run as `python3 -m ravu.cmd.compile` in
child processes whose working directories lie in tmp_path.  Real builds take
seconds, so one compiled tree is shared by the tests that inspect it; the
refusals and argument checks run without any build."""
import datetime
import inspect
import os
import stat
import subprocess
import sys
import sysconfig

import pytest

from tests._proc import PY, child_env

SO = sysconfig.get_config_var("EXT_SUFFIX")
MARK = "# @Compile : True\n"


def header(date):
    return f"# @Time   : {date}\n# @Author : tovalinskar\n# Create by compile\n"


def today():
    return datetime.date.today().strftime("%Y-%m-%d")


def run_tool(cwd, *args, timeout=300):
    proc = subprocess.run([PY, "-m", "ravu.cmd.compile", *args], cwd=str(cwd), env=child_env(),
                          capture_output=True, timeout=timeout)
    return proc.returncode, proc.stdout.decode(), proc.stderr.decode()


def write(path, text, mode=None):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as f:
        f.write(text)
    if mode is not None:
        os.chmod(path, mode)


def tree(root):
    """Every entry below root, as relative paths ("dir/" for directories)."""
    out = set()
    for parent, dirs, files in os.walk(root):
        rel = os.path.relpath(parent, root)
        for d in dirs:
            out.add(os.path.normpath(os.path.join(rel, d)) + "/")
        for f in files:
            out.add(os.path.normpath(os.path.join(rel, f)))
    return out


def snapshot(root):
    """The entries below root with their contents, to show nothing changed."""
    out = {}
    for rel in tree(root):
        p = os.path.join(root, rel)
        out[rel] = None if rel.endswith("/") or os.path.islink(p) else open(p, "rb").read()
    return out


# ---------------------------------------------------------------- one real build

SOURCES = {
    # Built with language_level 3, the comprehension's variable stays inside
    # it (level 2 would leak it into the function's locals).
    "app.py": MARK + "def half(x):\n    return x / 2\n\n"
              "def leaked():\n    [x for x in range(3)]\n    return 'x' in locals()\n",
    "near.py": "# @Compile: True\nNAME = 'near'\n",
    "data.txt": MARK,
    ".env": "KEY=1\n",
    "notes__": "only directories are left out by their names\n",
    "pkg/tool.py": "# header\n" + MARK + "from proj.lib import value\n\n"
                   "def twice():\n    return 2 * value()\n",
    "lib/__init__.py": MARK + "VALUE = 21\n\ndef value():\n    return VALUE\n",
    "lib/helpers.py": "HELP = 1\n",
    "own/__init__.py": "OWN = 'kept'\n",
    "__pycache__/app.cpython-311.pyc": "not bytecode",
    "lib/__pycache__/x.pyc": "",
    "sub__/mod.py": MARK,
    ".git/config": "[core]\n",
    "deep/.hidden/mod.py": MARK,
}


@pytest.fixture(scope="module")
def built(tmp_path_factory):
    base = tmp_path_factory.mktemp("built")
    src = base / "src" / "proj"
    for rel, text in SOURCES.items():
        write(str(src / rel), text)
    write(str(src / "run.sh"), "#!/bin/sh\necho hi\n", mode=0o750)
    os.symlink("data.txt", src / "link_to_data")
    os.symlink("missing", src / "broken")
    os.symlink("own", src / "linked_dir")
    os.mkfifo(src / "pipe")  # neither directory nor regular file: left out
    work = base / "work"
    work.mkdir()
    before = today()
    # Relative, with a trailing "/".
    rc, out, err = run_tool(work, "../src/proj/")
    assert rc == 0, out + err
    return dict(src=str(src), work=str(work), dst=str(work / "proj"), out=out,
                dates={before, today()})


def test_compiled_modules_import_and_run(built):
    code = ("import proj.app, proj.lib, proj.pkg.tool\n"
            "print(proj.app.half(3), proj.app.leaked(), proj.lib.value(), proj.pkg.tool.twice())\n"
            "print(proj.app.__file__, proj.lib.__file__, proj.pkg.tool.__file__)\n")
    proc = subprocess.run([PY, "-c", code], cwd=built["work"], env=child_env(),
                          capture_output=True, timeout=60)
    assert proc.returncode == 0, proc.stderr.decode()
    values, files = proc.stdout.decode().splitlines()
    assert values == "1.5 False 21 42"
    assert all(f.endswith(SO) for f in files.split())


def test_copy_holds_exactly_the_expected_entries(built):
    assert tree(built["dst"]) == {
        "__init__.py", "app" + SO, "near.py", "data.txt", ".env", "notes__", "run.sh",
        "link_to_data",
        "pkg/", "pkg/__init__.py", "pkg/tool" + SO,
        "lib/", "lib/__init__" + SO, "lib/helpers.py",
        "own/", "own/__init__.py",
        "linked_dir/", "linked_dir/__init__.py",
        "deep/", "deep/__init__.py",
    }
    # The build directory the run made is gone; nothing else appeared.
    assert sorted(os.listdir(built["work"])) == ["proj"]


def test_generated_and_own_package_files(built):
    dst = built["dst"]
    for rel in ("__init__.py", "pkg/__init__.py", "deep/__init__.py"):
        assert open(os.path.join(dst, rel)).read() in {header(d) for d in built["dates"]}
    for rel in ("own/__init__.py", "linked_dir/__init__.py"):
        assert open(os.path.join(dst, rel)).read() == SOURCES["own/__init__.py"]


def test_unmarked_files_copied_unchanged_with_their_mode(built):
    src, dst = built["src"], built["dst"]
    for rel in ("near.py", "data.txt", ".env", "notes__", "run.sh", "lib/helpers.py"):
        assert open(os.path.join(dst, rel), "rb").read() == open(os.path.join(src, rel), "rb").read()
    assert stat.S_IMODE(os.stat(os.path.join(dst, "run.sh")).st_mode) == 0o750
    link = os.path.join(dst, "link_to_data")
    assert not os.path.islink(link) and open(link).read() == MARK


def test_prints_one_line_per_compiled_source(built):
    lines = [l for l in built["out"].splitlines() if l.startswith("compile by qdm ")]
    src_dir = os.path.join(os.path.realpath(built["work"]), "../src/proj")
    assert sorted(lines) == sorted("compile by qdm " + src_dir + "/./" + rel
                                   for rel in ("app.py", "pkg/tool.py", "lib/__init__.py"))


# ---------------------------------------------------------------- runs without a build

@pytest.fixture
def plain_project(tmp_path):
    """A project without marked files, and an empty working directory."""
    src = tmp_path / "src" / "proj"
    write(str(src / "mod.py"), "X = 1\n")
    write(str(src / "sub" / "other.txt"), "o\n")
    work = tmp_path / "work"
    work.mkdir()
    return src, work


@pytest.mark.parametrize("args", [(), ("a", "b"), ("a", "b", "c")])
def test_wrong_argument_count(plain_project, args):
    _, work = plain_project
    assert run_tool(work, *args)[:2] == (0, "需要一个参数\n")
    assert os.listdir(work) == []


@pytest.mark.parametrize("form", ["relative", "relative/", "absolute", "absolute/"])
def test_project_path_forms_give_the_same_copy(plain_project, form):
    src, work = plain_project
    arg = "../src/proj" if form.startswith("relative") else str(src)
    arg += "/" if form.endswith("/") else ""
    assert run_tool(work, arg) == (0, "", "")
    assert os.listdir(work) == ["proj"]
    assert tree(work / "proj") == {"__init__.py", "mod.py", "sub/", "sub/__init__.py",
                                   "sub/other.txt"}


def test_run_as_main_writes_the_modules_own_globals(plain_project):
    src, work = plain_project
    code = ("import runpy, sys\n"
            f"sys.argv = ['compile', {str(src)!r}]\n"
            "runpy.run_module('ravu.cmd.compile', run_name='__main__', alter_sys=True)\n"
            "import ravu.cmd.compile as tool\n"
            "print(tool.src_dir, tool.dst_dir, sys.argv[1:])\n")
    proc = subprocess.run([PY, "-c", code], cwd=str(work), env=child_env(), capture_output=True,
                          timeout=60)
    assert proc.returncode == 0, proc.stderr.decode()
    dst = os.path.join(os.path.realpath(work), "proj")
    assert proc.stdout.decode() == f"{src} {dst} ['build_ext', '--inplace']\n"


# (working directory, argument) with the project at tmp/src/proj.
EXISTING = {
    "parent": ("src", "proj"),
    "dot": ("src/proj", "."),
    "dot from parent": ("src", "./proj/"),
    "same name elsewhere": ("work", "../src/proj"),
}


@pytest.mark.parametrize("case", EXISTING)
def test_existing_destination_directory_stops_first(plain_project, case):
    src, work = plain_project
    (work / "proj").mkdir()
    base = src.parent.parent
    cwd, arg = EXISTING[case]
    before = snapshot(base)
    assert run_tool(base / cwd, arg)[:2] == (1, "编译目录存在\n")
    assert snapshot(base) == before


def test_file_at_destination_fails_at_the_copy(plain_project):
    src, work = plain_project
    write(str(work / "proj"), "a file\n")
    rc, out, err = run_tool(work, str(src))
    assert rc == 1 and "NotADirectoryError" in err
    assert open(work / "proj").read() == "a file\n"


def test_destination_inside_the_project_is_refused(plain_project, tmp_path):
    src, _ = plain_project
    (tmp_path / "alias").symlink_to(src)
    cases = [
        (src, "../proj"),                        # the project's own directory
        (src / "sub", str(src)),                 # a directory below it
        (src / "sub", str(tmp_path / "alias")),  # reached through a link
    ]
    for cwd, arg in cases:
        before = snapshot(src)
        assert run_tool(cwd, arg)[:2] == (1, "编译目录在项目目录之内\n"), (cwd, arg)
        assert snapshot(src) == before


def test_project_named_build_is_refused(tmp_path):
    write(str(tmp_path / "src" / "build" / "mod.py"), MARK)
    work = tmp_path / "work"
    work.mkdir()
    assert run_tool(work, "../src/build")[:2] == (1, "项目名不能是 build\n")
    assert os.listdir(work) == []


@pytest.mark.parametrize("name", ["__init__.py", "__init__.pyx"])
def test_working_directory_that_is_a_package_is_refused(plain_project, name):
    src, work = plain_project
    write(str(work / name), "")
    assert run_tool(work, str(src))[:2] == (1, "工作目录含有 " + name + "\n")
    assert os.listdir(work) == [name]


def test_users_build_directory_is_kept(plain_project):
    src, work = plain_project
    write(str(work / "build" / "keep.txt"), "mine\n")
    assert run_tool(work, str(src))[0] == 0
    assert open(work / "build" / "keep.txt").read() == "mine\n"


def test_missing_project_fails_before_creating_anything(tmp_path):
    rc, _, err = run_tool(tmp_path, str(tmp_path / "nowhere" / "proj"))
    assert rc == 1 and "FileNotFoundError" in err
    assert os.listdir(tmp_path) == []


def test_undecodable_source_ends_the_run(plain_project):
    src, work = plain_project
    (src / "sub" / "bad.py").write_bytes(b"# \xff\xfe\n")
    rc, _, err = run_tool(work, str(src))
    assert rc == 1 and "UnicodeDecodeError" in err
    assert os.path.exists(work / "proj" / "sub" / "bad.py")


# ---------------------------------------------------------------- a failing build

def test_failing_build_stops_the_run_and_keeps_what_was_done(tmp_path):
    src = tmp_path / "src" / "proj"
    src.mkdir(parents=True)
    for name in ("m1.py", "m2.py", "m3.py"):
        (src / name).write_text("")
    # The listing order decides what runs first: a good build, then a bad
    # one, then a file that must not be reached.
    good, bad, later = os.listdir(src)
    (src / good).write_text(MARK + "def f():\n    return 1\n")
    (src / bad).write_text(MARK + "def f(:\n")
    (src / later).write_text("X = 1\n")
    work = tmp_path / "work"
    work.mkdir()
    rc, out, _ = run_tool(work, str(src))
    assert rc == 1
    assert [l for l in out.splitlines() if l.startswith("compile by qdm ")] == [
        f"compile by qdm {src}/./{good}", f"compile by qdm {src}/./{bad}"]
    made = set(os.listdir(work / "proj"))
    assert {good[:-3] + SO, bad} <= made and good not in made and later not in made
    assert os.path.isdir(work / "build")


# ---------------------------------------------------------------- the module itself

@pytest.fixture
def tool(monkeypatch, tmp_path):
    import ravu.cmd.compile as tool
    monkeypatch.chdir(tmp_path)
    for name in ("src_dir", "dst_dir"):
        monkeypatch.setattr(tool, name, getattr(tool, name))
    return tool


def test_module_globals(tool):
    from distutils.core import setup
    from Cython.Build import cythonize
    assert tool.setup is setup and tool.cythonize is cythonize
    assert (tool.sys, tool.os, tool.shutil, tool.datetime) == (sys, os, __import__("shutil"),
                                                               datetime)
    assert not hasattr(tool, "__all__")
    for name in ("generate_dir", "create_temp", "in_src", "in_dst", "copy", "main"):
        inspect.signature(getattr(tool, name))


@pytest.mark.parametrize("arg, src", [
    ("../p", "{cwd}/../p"), ("../p/", "{cwd}/../p"), ("/abs/p/", "/abs/p"),
])
def test_generate_dir_sets_the_roots(tool, tmp_path, arg, src):
    cwd = os.path.realpath(tmp_path)
    tool.generate_dir(arg)
    assert tool.src_dir == src.format(cwd=cwd)
    assert tool.dst_dir == os.path.join(cwd, "p")
    # The roots are read at every call.
    assert tool.in_src("./x.py") == tool.src_dir + "/./x.py"
    tool.dst_dir = "/elsewhere"
    assert tool.in_dst("./x.py") == "/elsewhere/./x.py"


def test_only_one_trailing_slash_is_dropped(tool, tmp_path, capsys):
    # "p//" names the project "": the destination is the working directory.
    with pytest.raises(SystemExit) as stop:
        tool.generate_dir("p//")
    assert stop.value.code == 1 and capsys.readouterr().out == "编译目录存在\n"
    assert tool.dst_dir == os.path.realpath(tmp_path) + "/"


def test_create_temp_uses_the_local_date_of_the_datetime_global(tool, monkeypatch):
    class Clock:
        class datetime:
            @staticmethod
            def now():
                return datetime.datetime(2024, 2, 29, 23, 59, 59)
    monkeypatch.setattr(tool, "datetime", Clock)
    assert tool.create_temp() == header("2024-02-29")


def test_run_goes_through_the_module_globals_in_order(tool, tmp_path, monkeypatch):
    """One marked source one directory down, built by stand-ins for setup
    and cythonize: every step the tool takes, in its order, through the
    globals and builtins a caller can replace."""
    src = tmp_path / "src" / "proj"
    write(str(src / "sub" / "m.py"), MARK)
    work = tmp_path / "work"
    work.mkdir()
    monkeypatch.chdir(work)
    monkeypatch.setattr(sys, "argv", ["prog", str(src)])
    trace = []

    def traced(name, fn):
        def call(*args, **kwargs):
            trace.append((name, args, kwargs))
            return fn(*args, **kwargs)
        return call

    class Proxy:
        def __init__(self, module, names):
            self._module, self._names = module, names

        def __getattr__(self, name):
            fn = getattr(self._module, name)
            return traced(name, fn) if name in self._names else fn

    def cythonize(target, **kwargs):
        return ["extensions of " + os.path.basename(target)]

    def setup(**kwargs):
        # What a real build leaves: the C file and the module beside the
        # copied source, and the build directory in the working directory.
        trace.append(("argv", tuple(sys.argv[1:]), {}))
        write(str(work / "proj" / "sub" / "m.c"), "")
        write(str(work / "proj" / "sub" / ("m" + SO)), "")
        os.makedirs(work / "build" / "temp")

    monkeypatch.setattr(tool, "os", Proxy(os, {"listdir", "makedirs", "remove"}))
    monkeypatch.setattr(tool, "shutil", Proxy(__import__("shutil"), {"copy", "rmtree"}))
    monkeypatch.setattr(tool, "cythonize", traced("cythonize", cythonize))
    monkeypatch.setattr(tool, "setup", traced("setup", setup))
    for name in ("open", "print"):
        monkeypatch.setattr(tool, name, traced(name, getattr(__import__("builtins"), name)),
                            raising=False)

    assert tool.main() is None
    s, d = f"{src}/.", f"{os.path.realpath(work)}/proj/."
    assert trace == [
        ("listdir", (s,), {}),
        ("makedirs", (d,), {"exist_ok": True}),
        ("open", (d + "/__init__.py", "w"), {}),
        ("listdir", (s + "/sub",), {}),
        ("makedirs", (d + "/sub",), {"exist_ok": True}),
        ("open", (d + "/sub/__init__.py", "w"), {}),
        ("copy", (s + "/sub/m.py", d + "/sub/m.py"), {}),
        ("open", (s + "/sub/m.py", "r"), {}),
        ("print", ("compile by qdm " + s + "/sub/m.py",), {}),
        ("cythonize", (d + "/sub/m.py",), {"compiler_directives": {"language_level": 3}}),
        ("setup", (), {"ext_modules": ["extensions of m.py"]}),
        ("argv", ("build_ext", "--inplace"), {}),
        ("remove", (d + "/sub/m.c",), {}),
        ("remove", (d + "/sub/m.py",), {}),
        ("rmtree", ("build",), {}),
    ]
    assert tree(work) == {"proj/", "proj/__init__.py", "proj/sub/", "proj/sub/__init__.py",
                          "proj/sub/m" + SO}
