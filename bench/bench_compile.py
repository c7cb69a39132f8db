"""The build tool side by side with the same rules in plain Python.

Run by hand:  PYTHONPATH=. /usr/bin/python3 bench/bench_compile.py

Cases: the copy walk alone, in process, over a tree of unmarked files; and
whole command runs in child processes (start-up and imports included), on
that tree and on a project with three marked sources, where the compiler
dominates.  (`--reference <project>` runs the plain Python tool; the bench
uses it for its child runs.)
"""
import os
import resource
import shutil
import subprocess
import sys
import tempfile
import time

PY = "/usr/bin/python3"
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# ---------------------------------------------------------------- plain Python rules

src_dir = None
dst_dir = None


def generate_dir(project_dir):
    global src_dir, dst_dir
    if project_dir.endswith("/"):
        project_dir = project_dir[:-1]
    name = project_dir.split("/")[-1]
    dst_dir = os.path.join(os.path.realpath(os.getcwd()), name)
    src_dir = (project_dir if project_dir.startswith("/")
               else os.path.join(os.path.realpath(os.getcwd()), project_dir))
    if os.path.isdir(dst_dir):
        print("编译目录存在")
        sys.exit(1)


def create_temp():
    import datetime
    return ("# @Time   : %s\n# @Author : tovalinskar\n# Create by compile\n"
            % datetime.datetime.now().strftime("%Y-%m-%d"))


def in_src(path):
    return os.path.join(src_dir, path)


def in_dst(path):
    return os.path.join(dst_dir, path)


def copy(parent):
    files = os.listdir(in_src(parent))
    os.makedirs(in_dst(parent), exist_ok=True)
    with open(in_dst(parent) + "/__init__.py", "w") as f:
        f.write(create_temp())
    for file in files:
        path = parent + "/" + file
        if os.path.isdir(in_src(path)) and not file.endswith("__") and not file.startswith("."):
            copy(path)
            continue
        if not os.path.isfile(in_src(path)):
            continue
        shutil.copy(in_src(path), in_dst(path))
        if not file.endswith(".py"):
            continue
        with open(in_src(path), "r") as f:
            text = f.read()
        if "# @Compile : True" not in text:
            continue
        print("compile by qdm " + in_src(path))
        from distutils.core import setup
        from Cython.Build import cythonize
        setup(ext_modules=cythonize(in_dst(path), compiler_directives={"language_level": 3}))
        os.remove(in_dst(path[:-2] + "c"))
        os.remove(in_dst(path[:-2] + "py"))


def reference_main():
    from distutils.core import setup  # noqa: F401  (the tool imports both at start)
    from Cython.Build import cythonize  # noqa: F401
    generate_dir(sys.argv[2])
    del sys.argv[1:]
    sys.argv += ["build_ext", "--inplace"]
    copy(".")
    if os.path.isdir("build"):
        shutil.rmtree("build")


# ---------------------------------------------------------------- the cases

def make_tree(root, dirs=40, files=25):
    for d in range(dirs):
        sub = os.path.join(root, f"pkg{d}")
        os.makedirs(sub)
        for i in range(files):
            with open(os.path.join(sub, f"mod{i}.py"), "w") as f:
                f.write("X = 1\n" * 20)


def make_marked(root):
    os.makedirs(os.path.join(root, "pkg"))
    for rel in ("a.py", "pkg/__init__.py", "pkg/b.py"):
        with open(os.path.join(root, rel), "w") as f:
            f.write("# @Compile : True\ndef f(x):\n    return x + 1\n")


def cpu_time():
    """CPU seconds of this process and its finished children: less disturbed
    than wall time by other load on the machine."""
    own = time.process_time()
    kids = resource.getrusage(resource.RUSAGE_CHILDREN)
    return own + kids.ru_utime + kids.ru_stime


def side_by_side(ref, ours, repeat):
    """Best CPU times of the two, runs interleaved so that load on the
    machine falls on both alike."""
    times = ([], [])
    for _ in range(repeat):
        for fn, out in ((ref, times[0]), (ours, times[1])):
            t0 = cpu_time()
            fn()
            out.append(cpu_time() - t0)
    return min(times[0]), min(times[1])


def walk(base, project, mod):
    def go():
        out = tempfile.mkdtemp(dir=base)
        mod.src_dir, mod.dst_dir = project, os.path.join(out, "proj")
        mod.copy(".")
    return go


def command(base, project, cmd):
    def go():
        cwd = tempfile.mkdtemp(dir=base)
        env = dict(os.environ, PYTHONPATH=ROOT + os.pathsep + os.path.join(ROOT, "bench"))
        subprocess.run(cmd + [project], cwd=cwd, env=env, check=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
    return go


def main():
    if len(sys.argv) == 3 and sys.argv[1] == "--reference":
        reference_main()
        return
    # On tmpfs where there is one: disk latency would swamp the differences.
    base = tempfile.mkdtemp(dir="/dev/shm" if os.path.isdir("/dev/shm") else None)
    try:
        plain = os.path.join(base, "plain", "proj")
        make_tree(plain)
        marked = os.path.join(base, "marked", "proj")
        make_marked(marked)
        # Both run as `python3 -m`, as a plain Python tool would be.
        ref_cmd = [PY, "-m", "bench_compile", "--reference"]
        tool_cmd = [PY, "-m", "ravu.cmd.compile"]
        import ravu.cmd.compile as tool
        rows = [("copy walk, 1000 files, in process",
                 *side_by_side(walk(base, plain, sys.modules[__name__]), walk(base, plain, tool), 11))]
        for label, project, repeat in (("command, 1000 unmarked files", plain, 11),
                                       ("command, 3 marked files", marked, 5)):
            rows.append((label, *side_by_side(command(base, project, ref_cmd),
                                              command(base, project, tool_cmd), repeat)))
        print(f"{'case (CPU time, best of several)':40} {'plain Python':>14} {'ravu':>10} {'ratio':>7}")
        for label, ref, ours in rows:
            print(f"{label:40} {ref * 1e3:11.1f} ms {ours * 1e3:7.1f} ms {ref / ours:6.2f}x")
    finally:
        shutil.rmtree(base)


if __name__ == "__main__":
    main()
