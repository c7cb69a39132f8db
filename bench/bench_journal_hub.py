"""Log collection server: ravu.utils.journal_hub against a plain-Python server
of the same rules (stdlib socket, pickle, queue and writer thread).

For each server, on a free loopback port, one sender process (this one)
pushes collected log records at a steady rate for 3 seconds, on a ladder of
rates; the loss at a rate is the share of datagrams sent that did not become
a line (lines written late, more than one second after the sender stopped,
count as lost).  A rate gets up to three tries at zero loss, since a pause of
the machine's scheduler can drop a few datagrams from the kernel's receive
buffer in any run.  Then the server's CPU time per record is read from /proc
at a rate both servers sustain.  Last, each server is overloaded at twice the
C++ server's zero-loss rate for 10 seconds: its peak resident memory (VmHWM),
what it still holds 3 s after the sender stopped, and the drops it reported.

    PYTHONPATH=. /usr/bin/python3 bench/bench_journal_hub.py
    PYTHONPATH=. /usr/bin/python3 bench/bench_journal_hub.py overload RATE
"""
import logging
import os
import socket
import subprocess
import sys
import tempfile
import time

PY = "/usr/bin/python3"
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SECONDS = 3.0
TEMPLATES = 512


# ---------------------------------------------------------------- the servers


def serve_python(host, port):
    """The same rules in plain Python: receive loop here, writer thread."""
    import datetime
    import pickle
    import queue
    import struct
    import threading
    import traceback

    root = os.path.join(os.getcwd(), "logs")
    log_queue = queue.Queue()
    app_dict = {}
    fmt = ("{log_time}|HN:{hostname}|AD:{ip}:{port}|LID:{log_id}|"
           "PID:{process}|ATIME:{asctime}|LEV:{levelname}|({pathname}|{lineno}):{msg}\n")

    def writer():
        while True:
            try:
                now, data = log_queue.get()
                appname = data["name"]
                day = now[:10]
                entry = app_dict.get(appname)
                if entry is None or entry[1] != day:
                    if entry is not None:
                        entry[0].close()
                    os.makedirs(os.path.join(root, appname), exist_ok=True)
                    f = open(os.path.join(root, appname, day + ".log"), "a", encoding="utf-8",
                             errors="backslashreplace")
                    app_dict[appname] = (f, day)
                data["asctime"] = data["asctime"][11:]
                path = data["pathname"]
                i = path.find("/src/")
                data["pathname"] = path[i + 5:] if i >= 0 else data["filename"]
                line = fmt.format(**data)
                f = app_dict[appname][0]
                f.write(line)
                f.flush()
            except BaseException:
                traceback.print_exc()

    threading.Thread(target=writer).start()
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.bind((host, port))
    while True:
        try:
            data, (ip, sport) = sock.recvfrom(65536)
            n = struct.unpack(">L", data[:4])[0]
            record = pickle.loads(data[4:4 + n])
            now = datetime.datetime.now().strftime("%Y-%m-%d %H:%M:%S.%f")
            record["ip"] = ip
            record["port"] = sport
            record["log_time"] = now
            log_queue.put_nowait((now, record))
        except BaseException:
            traceback.print_exc()


def serve_cpp(host, port):
    from ravu.utils.journal_hub import start_journal_hub
    start_journal_hub(host, port)


# ---------------------------------------------------------------- the sender


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_bound(proc, port):
    deadline = time.monotonic() + 20
    while time.monotonic() < deadline:
        if proc.poll() is not None:
            raise SystemExit("server died")
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            try:
                s.bind(("127.0.0.1", port))
            except OSError:
                return
        time.sleep(0.02)
    raise SystemExit("server did not bind")


def datagrams(app):
    """Records as a service logs them, through the stdlib's datagram format."""
    from ravu.utils.logging import CollectHandler
    h = CollectHandler("127.0.0.1", 9)
    fmt = logging.Formatter("[%(asctime)s|%(levelname)s][%(pathname)s|%(lineno)d]:%(message)s")
    out = []
    for i in range(TEMPLATES):
        rec = logging.LogRecord(app, logging.INFO, "/srv/svc/src/app/worker.py", 120 + i % 7,
                                "frame %d of camera %s: %d boxes", (i, "cam-%d" % (i % 8), i % 5),
                                None, func="run")
        fmt.format(rec)
        out.append(h.makePickle(rec))
    h.close()
    return out


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def memory_kib(pid, field):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


class Server:
    def __init__(self, kind, workdir, stderr=None):
        self.kind = kind
        self.workdir = workdir
        self.port = free_port()
        env = dict(os.environ, PYTHONPATH=ROOT)
        self.proc = subprocess.Popen([PY, os.path.abspath(__file__), "serve-" + kind,
                                      str(self.port)], cwd=workdir, env=env, stderr=stderr)
        wait_bound(self.proc, self.port)
        self.trials = 0

    def lines(self, app):
        path = os.path.join(self.workdir, "logs", app)
        total = 0
        if os.path.isdir(path):
            for name in os.listdir(path):
                with open(os.path.join(path, name), "rb") as f:
                    total += f.read().count(b"\n")
        return total

    def trial(self, rate, seconds=SECONDS):
        """Sends at `rate` records/s; returns (sent, lines, caught_up, cpu_s)."""
        self.trials += 1
        app = f"{self.kind}{self.trials}"
        grams = datagrams(app)
        sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        addr = ("127.0.0.1", self.port)
        send = sock.sendto
        cpu0 = cpu_seconds(self.proc.pid)
        clock = time.perf_counter
        start = clock()
        end = start + seconds
        sent = 0
        k = len(grams)
        while True:
            now = clock()
            if now >= end:
                break
            due = int((now - start) * rate)
            while sent < due:
                send(grams[sent % k], addr)
                sent += 1
        stop = clock()
        # The writer has caught up when every line is there within 1 s.
        deadline = stop + 1.0
        lines = self.lines(app)
        while lines < sent and clock() < deadline:
            time.sleep(0.02)
            lines = self.lines(app)
        caught_up = lines == sent
        last, still = lines, clock()
        while lines < sent and clock() - still < 0.5:  # late lines: loss or backlog
            time.sleep(0.05)
            lines = self.lines(app)
            if lines != last:
                last, still = lines, clock()
        cpu = cpu_seconds(self.proc.pid) - cpu0
        sock.close()
        return sent, lines, caught_up, cpu

    def close(self):
        self.proc.kill()
        self.proc.wait()


RATES = [10_000, 20_000, 25_000, 30_000, 35_000, 40_000, 50_000, 60_000, 70_000, 80_000, 90_000,
         100_000, 115_000, 130_000, 160_000]


def ladder(server, ceiling):
    """Loss at each rate of RATES (up to the sender's ceiling).  A rate gets up
    to three tries at zero loss: a pause of the VM's scheduler can drop a few
    datagrams in any run, whatever the server.  Stops when the server loses
    more than 5% at two rates."""
    out = {}
    bad = 0
    for rate in RATES:
        if rate > 0.9 * ceiling:
            break
        losses = []
        for _ in range(3):
            sent, lines, caught_up, _ = server.trial(rate)
            loss = (sent - lines) / sent if caught_up else max((sent - lines) / sent, 1e-9)
            losses.append(loss)
            if loss == 0:
                break
        best = min(losses)
        out[rate] = best
        print(f"  {server.kind:6} {rate:8d}/s  loss " +
              " ".join(f"{x * 100:.3f}%" for x in losses), flush=True)
        if best > 0.05:
            bad += 1
            if bad == 2:
                break
    return out


def sender_ceiling():
    """The most this process sends per second at all (to a sink)."""
    sink = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sink.bind(("127.0.0.1", 0))
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    grams = datagrams("sink")
    addr = sink.getsockname()
    n = 200_000
    t = time.perf_counter()
    for i in range(n):
        sock.sendto(grams[i % len(grams)], addr)
    rate = n / (time.perf_counter() - t)
    sock.close()
    sink.close()
    return rate


OVERLOAD_SECONDS = 10.0


def overload(kind, rate, work):
    """Sends at `rate` for 10 s; returns (sent, lines, peak MiB, MiB 3 s after
    the sender stopped, drop report lines)."""
    wd = os.path.join(work, kind + "-overload")
    os.mkdir(wd)
    err_path = os.path.join(wd, "server.err")
    with open(err_path, "wb") as err:
        server = Server(kind, wd, stderr=err)
        try:
            sent, _, _, _ = server.trial(rate, OVERLOAD_SECONDS)
            time.sleep(3.0)
            peak = memory_kib(server.proc.pid, "VmHWM") / 1024
            after = memory_kib(server.proc.pid, "VmRSS") / 1024
            lines = server.lines(f"{kind}1")
        finally:
            server.close()
    with open(err_path, "rb") as f:
        reports = [l for l in f.read().decode("utf-8", "replace").splitlines() if "dropped" in l]
    return sent, lines, peak, after, reports


def overload_table(rate, work):
    print()
    print(f"overload: {rate:,} records/s for {OVERLOAD_SECONDS:.0f} s")
    print(f"{'server':26} {'sent':>9} {'lines':>9} {'peak RSS':>10} {'RSS +3 s':>10} "
          f"{'drop lines':>10}")
    for name, kind in (("plain Python (stdlib)", "python"), ("ravu.utils.journal_hub", "cpp")):
        sent, lines, peak, after, reports = overload(kind, rate, work)
        print(f"{name:26} {sent:>9,} {lines:>9,} {peak:>7.0f} MiB {after:>7.0f} MiB "
              f"{len(reports):>10}", flush=True)
        if reports:
            print("   first report:", reports[0])


def main():
    results = {}
    with tempfile.TemporaryDirectory(prefix="bench-hub-") as work:
        ceiling = sender_ceiling()
        print(f"sender ceiling (no pacing, sink socket): {ceiling:,.0f} datagrams/s")
        for kind in ("python", "cpp"):
            wd = os.path.join(work, kind)
            os.mkdir(wd)
            server = Server(kind, wd)
            try:
                results[kind] = {"loss": ladder(server, ceiling)}
            finally:
                server.close()
        for r in results.values():
            r["zero"] = max([rate for rate, loss in r["loss"].items() if loss == 0], default=0)
            r["near"] = max([rate for rate, loss in r["loss"].items() if loss <= 0.001],
                            default=0)
        # CPU per record at a rate both sustain.
        common = min(r["zero"] for r in results.values()) or RATES[0]
        for kind in ("python", "cpp"):
            wd = os.path.join(work, kind + "-cpu")
            os.mkdir(wd)
            server = Server(kind, wd)
            try:
                sent, lines, _, cpu = server.trial(common)
                results[kind]["cpu_us"] = cpu / max(lines, 1) * 1e6
            finally:
                server.close()
    py, cc = results["python"], results["cpp"]
    print()
    print(f"{'rate/s':>8} {'python loss':>12} {'cpp loss':>12}")
    for rate in RATES:
        if rate in py["loss"] or rate in cc["loss"]:
            cell = lambda r: f"{r['loss'][rate] * 100:.3f}%" if rate in r["loss"] else "-"
            print(f"{rate:>8} {cell(py):>12} {cell(cc):>12}")
    print()
    print(f"{'server':26} {'zero loss':>11} {'loss<=0.1%':>11} {'CPU/record':>11}")
    for name, r in (("plain Python (stdlib)", py), ("ravu.utils.journal_hub", cc)):
        print(f"{name:26} {r['zero']:>9,}/s {r['near']:>9,}/s {r['cpu_us']:>8.2f} us")
    ratio = lambda a, b: f"{a / b:.2f}x" if b else "-"
    print(f"{'ratio':26} {ratio(cc['zero'], py['zero']):>11} {ratio(cc['near'], py['near']):>11} "
          f"{ratio(py['cpu_us'], cc['cpu_us']):>11}")
    print(f"(CPU per record measured at {common:,} records/s for {SECONDS:.0f} s; "
          f"sender ceiling {ceiling:,.0f}/s)")
    with tempfile.TemporaryDirectory(prefix="bench-hub-") as work:
        overload_table(2 * max(cc["zero"], RATES[0]), work)


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] in ("serve-python", "serve-cpp"):
        (serve_python if sys.argv[1] == "serve-python" else serve_cpp)("127.0.0.1",
                                                                       int(sys.argv[2]))
    elif len(sys.argv) == 3 and sys.argv[1] == "overload":
        with tempfile.TemporaryDirectory(prefix="bench-hub-") as work:
            overload_table(int(sys.argv[2]), work)
    else:
        main()
