"""Time-out locks and the ring buffer."""
import threading
import time
from typing import List

from ravu.utils import CircularQueue, lock_func


@lock_func(timeout=0.5)
def slow_job(name: str) -> str:
    time.sleep(1.0)
    return name


# Two threads call one locked function: the second gives up after 0.5 s.
results: List[str] = []


def call(name: str) -> None:
    try:
        results.append(slow_job(name))
    except Exception as exc:  # the time-out is a plain Exception
        results.append(f"{name}: {exc}")


threads = [threading.Thread(target=call, args=(n,)) for n in ("first", "second")]
for t in threads:
    t.start()
    time.sleep(0.05)
for t in threads:
    t.join()
print("locked calls:", results)

# A ring of 4 keeps the newest entries; index 0 is the oldest, -1 the newest.
ring = CircularQueue(4)
for frame_no in range(1, 7):
    ring.put(f"frame {frame_no}")
print("ring:", ring.getall(), "| newest:", ring[-1], "| oldest:", ring[0])
