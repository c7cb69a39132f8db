"""The road of a request: a client process asks, a dispatcher answers, through
Redis lists.  The example starts its own redis-server on a free loopback port
and stops it at the end.

Client: get_mq_id -> send_request("RAVU_MQ_URL_" + url) -> recv_result(mq_id).
Dispatcher: recv_request(get_redis_urls()) -> the three handlers of
get_handles(url), with request.mq_id set in the handling thread -> send_result.
"""
import json
import os
import subprocess
import sys
import threading
from typing import Any, Dict, List

from _redis_server import URL_PREFIX, dispatcher, local_redis
from ravu.mqrpc import route, transfer
from ravu.mqrpc.context import request
from ravu.utils.kv_link import redis_conn_pool
from ravu.utils.kv_mutex import KvMutex



# ---- the client, run in a second process: python3 40_request_road.py client PORT
def client(port: int) -> None:
    conn = redis_conn_pool({"host": "127.0.0.1", "port": port})
    asks = [("sum", [1, 2, 3]), ("sum", [40, 2]), ("ping", None), ("sum", "not numbers")]
    for url, args in asks:
        mq_id = transfer.get_mq_id(conn)
        transfer.send_request(conn, URL_PREFIX + url, json.dumps({"mq_id": mq_id, "args": args}))
        reply = transfer.recv_result(conn, mq_id)  # None after the receive time-out
        answer = json.loads(reply[1]) if reply else "no answer"
        print(f"client: {url}({args}) -> {answer}   [{mq_id}]", flush=True)


# ---- handlers, registered at import as a service's modules would
@route.response_route("sum")
def add_numbers() -> int:
    numbers: List[int] = request.args
    # One sum at a time across every process that shares the server.
    with KvMutex("sum", CONF, acquire_timeout=5):
        return sum(numbers)


@route.response_route("sum", route.PHASE_AFTER)
def after_sum() -> None:
    print(f"dispatcher: answered {request.mq_id}", flush=True)


@route.response_route("ping")
def pong() -> str:
    return "pong"


CONF: Dict[str, Any] = {}


def main() -> None:
    from ravu.utils.logging import init_logger

    # The default before handler of "ping" logs "RECV[thread]:mq_id" through it.
    init_logger("request_road", open_localfile=False)
    with local_redis() as port:
        CONF.update(host="127.0.0.1", port=port)
        transfer.set_recv_request_timeout(1)
        stop = threading.Event()
        serving = threading.Thread(target=dispatcher, args=(redis_conn_pool(CONF), stop))
        serving.start()
        try:
            asker = subprocess.run(
                [sys.executable, os.path.abspath(__file__), "client", str(port)], timeout=60)
            print("client exit status:", asker.returncode)
        finally:
            stop.set()
            serving.join()


if __name__ == "__main__":
    if sys.argv[1:2] == ["client"]:
        client(int(sys.argv[2]))
    else:
        main()
