"""The road of a frame: a short video file is read by one grabbing thread
and shared by two readers that take its newest frames."""
import os
import shutil
import tempfile
import threading
from typing import Dict, List, Tuple

import cv2  # type: ignore[import]  # OpenCV ships no type information
import numpy as np

from ravu.utils.logging import init_logger
from ravu.cv.stream_reader import create_cap, StreamReader

FRAMES, FPS, SIZE = 24, 50.0, (160, 120)

# Console only: the example leaves no log file behind.
init_logger(appname="frames", open_localfile=False)

tmp = tempfile.mkdtemp(prefix="ravu_frames_")
try:
    path = os.path.join(tmp, "clip.avi")
    writer = cv2.VideoWriter(path, cv2.VideoWriter_fourcc(*"MJPG"), FPS, SIZE)
    for i in range(FRAMES):
        image = np.full((SIZE[1], SIZE[0], 3), 10 * i, np.uint8)
        cv2.putText(image, str(i + 1), (50, 80), cv2.FONT_HERSHEY_SIMPLEX, 1.5, (255, 255, 255), 3)
        writer.write(image)
    writer.release()
    print(f"wrote {FRAMES} frames of {SIZE[0]}x{SIZE[1]} at {FPS:g} fps to {os.path.basename(path)}")

    # The first call starts the grabber of the key; a reader joins it later.
    first = create_cap("demo", path, history_size=5)
    second = StreamReader("demo")
    print(f"source: {os.path.basename(first.device_name)}, {first.width}x{first.height}, "
          f"{first.fps:g} fps, endpoint {first.endpoint!r}")

    got: Dict[str, List[Tuple[int, int]]] = {"first": [], "second": []}

    def consume(name: str, reader: StreamReader, timeout: float) -> None:
        while True:
            try:
                frame, num = reader.read(is_return_num=True, timeout=timeout)
            except Exception:
                return  # no newer frame in time: the file has ended
            got[name].append((num, int(frame.mean())))
            if num == FRAMES:
                return

    workers = [threading.Thread(target=consume, args=("first", first, 1)),
               threading.Thread(target=consume, args=("second", second, 1))]
    for w in workers:
        w.start()
    for w in workers:
        w.join()

    for name, frames in got.items():
        nums = [n for n, _ in frames]
        print(f"{name} reader: {len(frames)} frames, numbers {nums[0]}..{nums[-1]}, "
              f"skipped {nums[-1] - nums[0] + 1 - len(nums)}")
    # The ring answers None for a number it does not hold.
    history = [first.get_frame(n) for n in range(-4, 1)]
    print("history of the last 5 frames:",
          [None if f is None else int(f.mean()) for f in history])
    snapshot = first.read_non_blocking()  # None only before the first frame
    if snapshot is not None:
        print("non-blocking read: frame", first.cur_frame_num, "shape", snapshot.shape,
              "a copy:", snapshot is not first.bound_grabber.cur_frame)

    grabber = first.bound_grabber
    grabber.stop()
    grabber.join()
    print("grabber stopped:", not grabber.is_alive())
    try:
        second.read_non_blocking()
    except Exception as exc:
        print("reading a stopped grabber:", str(exc).replace(tmp + os.sep, ""))
finally:
    shutil.rmtree(tmp)
