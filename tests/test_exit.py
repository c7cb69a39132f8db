"""Leaving the interpreter while our C++ code sits on a daemon thread.

At exit the interpreter ends a daemon thread that asks for the GIL back;
done by unwinding, that runs the destructors of the references our frames
hold, without the GIL, while the main thread finalises: a crash at exit,
in some runs only.  Each case below is a small program whose daemon
threads are inside one such place of ours (a loop of its own, a wait, a
GIL-free pass) when the main thread leaves; it runs in many children at
once, and every child must end with the status its script gave.

The children only wait until their threads have started (an Event set from
inside the place, or a pass of it done); nothing depends on how long
anything takes.
"""
import os
import subprocess
import textwrap

import pytest

from tests._proc import PY, child_env, free_udp_port
from tests._redis import RedisServer

RUNS = 20        # children that leave with sys.exit(0)
STATUS_RUNS = 4  # and children that leave with sys.exit(3), run alongside

# Every case gets: `status` (its exit status), `work` (a directory of its
# own), `arg` (the case's value from case_arg), `ready` (a threading.Event
# it sets when its threads are under way) and spin(body, n), which runs
# body() again and again in n daemon threads.  The main thread leaves once
# `ready` is set, or, in a case that spins, once every spinning thread has
# finished a pass (so that each is in its loop from then on).
PRELUDE = """\
import os, sys, threading, time
status, work, arg = int(sys.argv[1]), sys.argv[2], sys.argv[3]
ready = threading.Event()
passes = threading.Semaphore(0)
spinning = []

def spin(body, n=2):
    def loop():
        body()
        passes.release()
        while True:
            body()
    for _ in range(n):
        spinning.append(threading.Thread(target=loop, daemon=True))
        spinning[-1].start()

"""

EPILOGUE = """
for _ in spinning:
    passes.acquire()
if not spinning:
    ready.wait()
sys.exit(status)
"""

CASES = {
    # The service of the report: a file source grabbed in the background.
    "grabber": """
        import numpy as np, cv2
        from ravu.utils.logging import init_logger
        init_logger("g", open_console=False, open_localfile=False)
        path = os.path.join(work, "v.avi")
        w = cv2.VideoWriter(path, cv2.VideoWriter_fourcc(*"MJPG"), 25, (64, 48))
        for i in range(50):
            w.write(np.full((48, 64, 3), i, np.uint8))
        w.release()
        from ravu.cv.stream_reader import create_cap
        r = create_cap("k", path)
        r.read()
        ready.set()
    """,
    # Readers blocked on the next frame of a source that never ends.
    "blocking read": """
        import numpy as np
        from ravu.utils.logging import init_logger
        from ravu.cv.stream_reader import StreamReader, create_cap
        init_logger("g", open_console=False, open_localfile=False)
        class Endless:
            def __init__(self, *args):
                self.frame = np.zeros((48, 64, 3), np.uint8)
            def is_open(self): return True
            def file_or_stream(self): return "stream"
            def fps(self): return 200.0
            def width(self): return 64
            def height(self): return 48
            def read(self): return self.frame
            def close(self): pass
        create_cap("k", "endless", cap_cls=Endless)
        mine = threading.local()  # a reader per thread: each waits for its next frame
        def read():
            if not hasattr(mine, "reader"):
                mine.reader = StreamReader("k")
            mine.reader.read(timeout=30)
        spin(read, n=4)
    """,
    # The collection server run in a thread of a service.
    "collection server": """
        from ravu.utils import journal_hub as J
        server = threading.Thread(target=J.start_journal_hub, args=("127.0.0.1", int(arg)),
                                  daemon=True)
        server.start()
        while threading.active_count() < 3:  # until the server has started its writer
            if not server.is_alive():
                sys.exit(50)
            time.sleep(0.001)
        ready.set()
    """,
    # Periodic tasks made daemons: one without pauses, one with short ones.
    "ticker": """
        from ravu.utils.ticker import Ticker
        class Task(Ticker):
            def do(self):
                sum(range(2000))
                ready.set()
        for interval in (0, 0.0005):
            t = Task({"interval": interval})
            t.daemon = True
            t.start()
    """,
    # Callers waiting for a lock another thread holds, with a short time-out
    # so that they come back for the GIL again and again.
    "lock wait": """
        from ravu.utils.lock import lock_func
        held = threading.Lock()
        held.acquire()
        @lock_func(held, timeout=0.0005)
        def never():
            pass
        def call():
            try:
                never()
            except Exception:
                pass
        spin(call, n=4)
    """,
    # Callers inside the locked function (and waiting for it meanwhile).
    "locked call": """
        from ravu.utils.lock import lock_func
        @lock_func(timeout=30)
        def work_under_lock():
            return sorted(str(i) for i in range(300))
        spin(work_under_lock, n=4)
    """,
    # Borrowers of a shared-array pool whose queue lock a third thread keeps
    # taking, and the copy into the borrowed array.
    "pool": """
        import numpy as np
        from ravu.mem_array.mem_array import MemArrayOncePool, make_mem_array
        pool = MemArrayOncePool.get_pool([256, 256, 3], np.uint8, 4)
        src = np.ones((256, 256, 3), np.uint8)
        def hog():
            with pool.pool.mutex:
                sum(range(500))
        def borrow():
            ma = pool.get()
            if ma is not None:
                np.copyto(ma.data, src)
                pool.push_back(ma)
        spin(hog, n=1)
        spin(borrow, n=3)
    """,
    # Copies into new shared arrays, and readers attaching to them.
    "shared arrays": """
        import numpy as np
        from ravu.mem_array.mem_array import MemArrayRead, make_mem_array
        src = np.ones((512, 512, 3), np.uint8)
        keep = make_mem_array(src)
        def copy():
            make_mem_array(src).release()
        def attach():
            MemArrayRead(keep.uuid, keep.shape, keep.dtype).release()
        spin(copy, n=2)
        spin(attach, n=2)
    """,
    # Threads polling for a Redis lock that the main thread holds.
    "kv mutex": """
        from ravu.utils.kv_mutex import KvMutex
        conf = {"host": "127.0.0.1", "port": int(arg)}
        name = "exit-" + os.path.basename(work)
        held = KvMutex(name, conf, acquire_timeout=60)
        held.__enter__()
        def poll():
            ready.set()
            with KvMutex(name, conf, acquire_timeout=60):
                pass
        for _ in range(3):
            threading.Thread(target=poll, daemon=True).start()
    """,
    # The killers' shell runs, with a key no process carries: made here, as
    # the command line of this very process must not hold it.
    "kill_all": """
        import uuid
        from ravu.utils.logging import init_logger
        from ravu.utils.working import kill_all
        init_logger("k", open_console=False, open_localfile=False)
        key = "exitkey" + uuid.uuid4().hex
        spin(lambda: kill_all(key), n=2)
    """,
    # The GIL-free pixel loops of the image functions and of a zone's fill.
    "image loops": """
        import numpy as np
        from ravu.cv.image import letterbox_image, normalize_image
        big = np.random.default_rng(0).integers(0, 255, (1000, 1000, 3), np.uint8)
        spin(lambda: normalize_image(big), n=2)
        spin(lambda: letterbox_image(big, (1200, 1600)), n=2)
    """,
    "zone fill": """
        import numpy as np
        from ravu.cv.zone_shape import ZoneShape
        z = ZoneShape(1600, 1200, [(10, 10), (1500, 40), (1400, 1100), (30, 1000)])
        big = np.random.default_rng(0).integers(0, 255, (1200, 1600, 3), np.uint8)
        spin(lambda: z.crop_and_fill(big), n=4)
    """,
    # The directory walks, over a tree of a few hundred entries.
    "path walks": """
        from ravu.utils.path import search_filepaths
        from ravu.utils.working import collect_modules
        root = os.path.join(work, "pkg")
        for d in range(20):
            sub = os.path.join(root, "m%d" % d)
            os.makedirs(sub)
            for name in ["__init__.py"] + ["f%d.py" % f for f in range(15)]:
                open(os.path.join(sub, name), "w").close()
        open(os.path.join(root, "__init__.py"), "w").close()
        spin(lambda: search_filepaths(root, lambda p: p.endswith(".py")), n=2)
        spin(lambda: collect_modules(root, "pkg"), n=2)
    """,
    # A service logging from its threads to the collection port.
    "logging": """
        import socket
        from ravu.utils.logging import init_logger, log
        sink = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        sink.bind(("127.0.0.1", 0))
        init_logger("l", open_console=False, open_localfile=False, open_collect=True,
                    collect_address=sink.getsockname())
        spin(lambda: log().info("x" * 200), n=4)
    """,
}


@pytest.fixture(scope="module")
def redis_port():
    with RedisServer() as s:
        yield str(s.port)


def case_arg(case, request):
    if case == "kv mutex":
        return request.getfixturevalue("redis_port")
    if case == "collection server":
        return None  # a port per child
    return "-"


def run_children(script, tmp_path, arg):
    """Starts RUNS children leaving with 0 and STATUS_RUNS leaving with 3, all
    at once; returns [(wanted, got, stderr)]."""
    children = []
    for i in range(RUNS + STATUS_RUNS):
        status = 0 if i < RUNS else 3
        work = tmp_path / f"run{i}"
        work.mkdir()
        child_arg = arg if arg is not None else str(free_udp_port())
        proc = subprocess.Popen([PY, str(script), str(status), str(work), child_arg],
                                cwd=str(work), env=child_env(), stdout=subprocess.DEVNULL,
                                stderr=subprocess.PIPE)
        children.append((status, proc))
    results = []
    for status, proc in children:
        try:
            _, err = proc.communicate(timeout=180)
        except subprocess.TimeoutExpired:
            proc.kill()
            _, err = proc.communicate()
            err += b"\n(no exit within 180 s)"
        results.append((status, proc.returncode, err.decode("utf-8", "replace")))
    return results


@pytest.mark.parametrize("case", sorted(CASES))
def test_exit_with_a_daemon_thread_inside(case, tmp_path, request):
    script = tmp_path / "child.py"
    script.write_text(PRELUDE + textwrap.dedent(CASES[case]) + EPILOGUE)
    results = run_children(script, tmp_path, case_arg(case, request))
    wrong = [(want, got, err) for want, got, err in results if got != want]
    if wrong:
        want, got, err = wrong[0]
        codes = sorted(got for _, got, _ in wrong)
        pytest.fail(f"{len(wrong)} of {len(results)} children left with another status "
                    f"({codes}); the first wanted {want}, stderr:\n{err[-2000:]}")
