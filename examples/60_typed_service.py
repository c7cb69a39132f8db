"""A typed service, checked by mypy --strict as the package is (scripts/test
runs it over examples/): frames of a clip come through a stream reader, the
zones of each frame are cropped and measured, and the measurements answer
requests that arrive over Redis.  There is no cast anywhere: the stubs give
every value its type.

The dispatcher (examples/_redis_server.py, typed the same way) runs
recv_request(conn, get_redis_urls()) -> get_handles(url) -> send_result; the
handler here answers with to_jsonobj(...)["counts"] of the zone asked for.
"""
import json
import os
import shutil
import tempfile
import threading
from typing import Any, Dict, List, Optional

import cv2  # type: ignore[import]  # OpenCV ships no type information
import numpy as np
import numpy.typing as npt
import redis  # type: ignore[import]  # nor does redis-py here

from _redis_server import URL_PREFIX, dispatcher, local_redis
from ravu.cv.box import Box
from ravu.cv.stream_reader import StreamReader, create_cap
from ravu.cv.zone_shape import ZoneShape
from ravu.mqrpc.context import request
from ravu.mqrpc.route import response_route
from ravu.mqrpc.transfer import get_mq_id, recv_result, send_request, set_recv_request_timeout
from ravu.utils.convert import to_jsonobj
from ravu.utils.kv_link import redis_conn_pool
from ravu.utils.logging import init_logger

W, H, FRAMES = 160, 120, 16

# The two lanes of the picture; a bright car drives down the left one.
ZONES = {
    "left": ZoneShape(W, H, [(0, 0), (79, 0), (79, H - 1), (0, H - 1)], margin=0),
    "right": ZoneShape(W, H, [(80, 0), (W - 1, 0), (W - 1, H - 1), (80, H - 1)], margin=0),
}
# Bright pixels per frame (rows) and zone (columns, in the order of ZONES).
MEASURED: Dict[str, npt.NDArray[np.int64]] = {}


def write_clip(path: str) -> None:
    """A dark road with a bright 20 x 16 square moving down the left lane."""
    writer = cv2.VideoWriter(path, cv2.VideoWriter_fourcc(*"MJPG"), 25.0, (W, H))
    for i in range(FRAMES):
        frame = np.full((H, W, 3), 30, np.uint8)
        frame[4 + 6 * i:20 + 6 * i, 20:40] = 250
        writer.write(frame)
    writer.release()


def bright_pixels(frame: npt.NDArray[Any]) -> List[int]:
    """Pixels brighter than 128 inside each zone, outside pixels blanked."""
    return [int((zone.crop_and_fill(frame).max(axis=2) > 128).sum()) for zone in ZONES.values()]


def lane_of(frame: npt.NDArray[Any]) -> Optional[str]:
    """The zone that holds the centre of the bright pixels' box, if any."""
    rows, cols = np.nonzero(frame.max(axis=2) > 128)
    if not len(rows):
        return None
    box = Box.create_by_ltrb(cols.min(), rows.min(), cols.max() + 1, rows.max() + 1)
    # ZoneShape.has takes integer points: a box centre is rounded first.
    x, y = round(box.left + box.width / 2), round(box.top + box.height / 2)
    return next((name for name, zone in ZONES.items() if zone.has(x, y)), None)


def read_clip(reader: StreamReader) -> npt.NDArray[np.int64]:
    rows: List[List[int]] = []
    while True:
        try:
            frame, num = reader.read(is_return_num=True, timeout=1)
        except Exception:
            break  # no newer frame in time: the clip has ended
        rows.append(bright_pixels(frame))
        if num == 1:
            window = ZONES["left"].crop(frame)  # a view of the frame
            print(f"frame 1: the car is in the {lane_of(frame)} lane; "
                  f"the left zone's crop is {window.shape}")
        if num == FRAMES:
            break
    return np.array(rows, np.int64)


@response_route("zone_counts")
def zone_counts() -> List[int]:
    """Bright pixels per frame in the zone the request names."""
    zone: str = request.args["zone"]
    column = list(ZONES).index(zone)
    summary = to_jsonobj({"zones": list(ZONES), "counts": MEASURED["table"][:, column]})
    counts: List[int] = summary["counts"]
    return counts


def ask(conn: redis.Redis, zone: str) -> Any:
    mq_id = get_mq_id(conn)
    send_request(conn, URL_PREFIX + "zone_counts",
                 json.dumps({"mq_id": mq_id, "args": {"zone": zone}}))
    reply = recv_result(conn, mq_id)
    return None if reply is None else json.loads(reply[1])


def main() -> None:
    init_logger("typed_service", open_localfile=False)
    tmp = tempfile.mkdtemp(prefix="ravu_typed_")
    try:
        path = os.path.join(tmp, "lanes.avi")
        write_clip(path)
        reader = create_cap("lanes", path)
        MEASURED["table"] = read_clip(reader)
        reader.bound_grabber.stop()
        reader.bound_grabber.join()
    finally:
        shutil.rmtree(tmp)
    print(f"measured {len(MEASURED['table'])} frames in the zones {list(ZONES)}")

    with local_redis() as port:
        conf = {"host": "127.0.0.1", "port": port}
        set_recv_request_timeout(1)
        stop = threading.Event()
        server = threading.Thread(target=dispatcher, args=(redis_conn_pool(conf), stop))
        server.start()
        try:
            conn = redis_conn_pool(conf)
            for zone in [*ZONES, "middle"]:
                print(f"client: bright pixels per frame in the {zone} zone: {ask(conn, zone)}")
        finally:
            stop.set()
            server.join()


if __name__ == "__main__":
    main()
