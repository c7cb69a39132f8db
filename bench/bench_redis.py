"""Redis messaging and locking: ravu's modules against the bare redis-py
commands they stand on and against the same rules in plain Python, side by
side on one private redis-server.

- Round trip of one request between two processes (get_mq_id, send_request,
  recv_request, send_result, recv_result), median and 99th percentile over
  5,000 requests, against the floor of the five bare commands (INCR, LPUSH,
  BRPOP, LPUSH, BRPOP), against plain-Python transfer functions, and against
  the module running the id script of before it deleted the reply list of
  the id it draws (the cost of that DEL).  The variants run in rotating
  blocks of 50 requests, each with its own serving process, so that drift
  of the machine touches them alike.
- KvMutex enter + exit, uncontended, against bare SET NX EX + EVALSHA of
  the release script, against the same two commands with the release made
  through register_script as the lock's rules prescribe, and against a
  plain-Python KvMutex.
- route.get_handles against plain Python.

    PYTHONPATH=. /usr/bin/python3 bench/bench_redis.py
"""
import os
import statistics
import subprocess
import sys
import time
import uuid

import redis

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, ROOT)

from tests import _redis_ref as ref  # noqa: E402
from tests._redis import RedisServer  # noqa: E402

REQUESTS = 5000
BLOCK = 50
PY_TRANSFER = ref.Transfer()  # one per process, its scripts loaded once

# The id script as it was before it reset a counter below zero and deleted
# the reply list of the id it draws.
ID_SCRIPT_BEFORE = ref.ID_SCRIPT.replace("(id < 0 or id >= ", "(id >= ").replace(
    'redis.call("del", "RAVU_MQ_RESP_" .. id)\n', "")
assert ID_SCRIPT_BEFORE.count("redis.call") == 2
ID_SHA_BEFORE = []  # its digest, loaded once
NAMES = {"floor": "floor", "ravu": "ravu", "ravu_id_before": "ravu, id script before",
         "python": "python"}


# ---------------------------------------------------------------- round trip

def variant(name):
    """(get_id, send_request, recv_request, send_result, recv_result) of a variant."""
    if name in ("ravu", "ravu_id_before"):
        from ravu.mqrpc import transfer as t
        return t.get_mq_id, t.send_request, t.recv_request, t.send_result, t.recv_result
    if name == "python":
        t = PY_TRANSFER
        return t.get_mq_id, t.send_request, t.recv_request, t.send_result, t.recv_result

    def get_id(conn):
        return "RAVU_MQ_RESP_%d" % conn.incr("BENCH_FLOOR_ID")

    return (get_id, lambda c, k, d: c.lpush(k, d), lambda c, k: c.brpop(k, 30),
            lambda c, k, d: c.lpush(k, d), lambda c, k: c.brpop(k, 30))


def serve(name, port):
    """The serving process of one variant: answers until told to stop."""
    conn = redis.Redis(port=port)
    _, _, recv_request, send_result, _ = variant(name)
    keys = ["RAVU_MQ_URL_bench_" + name]
    while True:
        popped = recv_request(conn, keys)
        if popped is None:
            continue
        if popped[1] == b"stop":
            return
        send_result(conn, popped[1], b"ok")


def round_trips(port):
    names = list(NAMES)
    servers = [subprocess.Popen([sys.executable, __file__, "serve", n, str(port)]) for n in names]
    conn = redis.Redis(port=port)
    times = {n: [] for n in names}
    cpu = dict.fromkeys(names, 0)
    try:
        for n in names:  # warm-up: scripts loaded, connections open
            run_block(conn, n, 200, [])
        for _ in range(REQUESTS // BLOCK):
            for n in names:
                t = time.process_time_ns()
                run_block(conn, n, BLOCK, times[n])
                cpu[n] += time.process_time_ns() - t
    finally:
        for n in names:
            conn.lpush("RAVU_MQ_URL_bench_" + n, b"stop")
        for s in servers:
            s.wait(30)
    print("\nclient CPU time per request (us):",
          ", ".join(f"{NAMES[n]} {cpu[n] / REQUESTS / 1000:.1f}" for n in names))
    return {NAMES[n]: v for n, v in times.items()}


def run_block(conn, name, count, out):
    if name != "ravu_id_before":
        return run_requests(conn, name, count, out)
    from ravu.mqrpc import transfer
    if not ID_SHA_BEFORE:
        ID_SHA_BEFORE.append(conn.script_load(
            ID_SCRIPT_BEFORE.format(key="RAVU_MQ_ID", max_id=1000000)))
    current = transfer._get_mq_id_sha  # the module runs whatever digest this holds
    transfer._get_mq_id_sha = ID_SHA_BEFORE[0]
    try:
        run_requests(conn, name, count, out)
    finally:
        transfer._get_mq_id_sha = current


def run_requests(conn, name, count, out):
    get_id, send_request, _, _, recv_result = variant(name)
    url = "RAVU_MQ_URL_bench_" + name
    clock = time.perf_counter_ns
    for _ in range(count):
        t = clock()
        mq_id = get_id(conn)
        send_request(conn, url, mq_id)
        reply = recv_result(conn, mq_id)
        out.append(clock() - t)
        assert reply is not None


# ---------------------------------------------------------------- lock and routes

def lock_times(port, n=5000):
    from ravu.utils.kv_mutex import KvMutex
    conf = {"host": "127.0.0.1", "port": port}
    conn = redis.Redis(port=port)
    sha = conn.script_load(ref.UNLOCK_SCRIPT)
    token = str(uuid.uuid4())

    def bare():
        conn.set("RAVU_RDLOCKbare", token, ex=12, nx=True)
        conn.evalsha(sha, 1, "RAVU_RDLOCKbare", token)

    def prescribed():
        # What every release must do by the lock's rules: a script object
        # made anew by register_script, then called.
        conn.set("RAVU_RDLOCKbare", token, ex=12, nx=True)
        conn.register_script(ref.UNLOCK_SCRIPT)(keys=["RAVU_RDLOCKbare"], args=[token])

    ours, plain = KvMutex("bench", conf), ref.KvMutex("bench_py", conf)

    def with_ours():
        with ours:
            pass

    def with_plain():
        with plain:
            pass

    cases = {"bare SET NX EX + EVALSHA": bare, "SET NX EX + register_script call": prescribed,
             "KvMutex": with_ours, "plain Python": with_plain}
    times = {k: [] for k in cases}
    for fn in cases.values():
        for _ in range(300):
            fn()
    clock = time.perf_counter_ns
    for _ in range(n // 100):
        for name, fn in cases.items():
            for _ in range(100):
                t = clock()
                fn()
                times[name].append(clock() - t)
    return times


def handles_ns(n=200_000):
    from ravu.mqrpc import route
    route.add_response_route("bench", lambda: None)
    route.get_handles("bench")
    routes = route._route_dict
    best = {}
    for name, fn in (("get_handles", lambda: route.get_handles("bench")),
                     ("plain Python", lambda: ref.get_handles(routes, "bench")),
                     ("empty lambda", lambda: None)):
        runs = []
        for _ in range(5):
            t = time.perf_counter_ns()
            for _ in range(n):
                fn()
            runs.append((time.perf_counter_ns() - t) / n)
        best[name] = min(runs)
    return best


# ---------------------------------------------------------------- report

def p99(values):
    return sorted(values)[int(len(values) * 0.99)]


def table(title, times, base):
    print(f"\n{title}")
    print(f"| case | median us | p99 us | median / {base} |")
    print("|---|---:|---:|---:|")
    ref = statistics.median(times[base])
    for name, values in times.items():
        med = statistics.median(values)
        print(f"| {name} | {med / 1000:.1f} | {p99(values) / 1000:.1f} | {med / ref:.3f} |")


def main():
    with RedisServer() as srv:
        table(f"Request round trip between two processes ({REQUESTS} requests)",
              round_trips(srv.port), "floor")
        table("KvMutex enter + exit, uncontended", lock_times(srv.port),
              "bare SET NX EX + EVALSHA")
    ns = handles_ns()
    empty = ns.pop("empty lambda")
    print("\nget_handles (cost of the calling lambda subtracted)")
    print("| case | ns |\n|---|---:|")
    for name, v in ns.items():
        print(f"| {name} | {v - empty:.0f} |")
    print(f"speed-up: {(ns['plain Python'] - empty) / (ns['get_handles'] - empty):.1f}x")


if __name__ == "__main__":
    if sys.argv[1:2] == ["serve"]:
        serve(sys.argv[2], int(sys.argv[3]))
    else:
        main()
