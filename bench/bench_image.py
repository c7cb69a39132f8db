"""ravu.cv.image against the same rules in plain Python and the bare
library calls they stand on.

    PYTHONPATH=. /usr/bin/python3 bench/bench_image.py

Each case runs in a process of its own (numpy's large-array timings swing
with the allocator's state), warms up, then times its variants interleaved,
round after round, and keeps each variant's best round.  Prints us/op and
the ratios plain Python / ravu and ravu / bare library.
"""
import base64
import io
import os
import subprocess
import sys
import time

import cv2
from PIL import Image

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, ROOT)

from ravu.cv import image as M  # noqa: E402
from tests._image_ref import (frame, ref_arr_to_b64, ref_draw_box_text,  # noqa: E402
                              ref_letterbox_image, ref_normalize_image)

# ---------------------------------------------------------------- cases

def case_normalize():
    img = frame(416, 416)
    return "normalize_image 416x416x3", 60, {
        "python": lambda: ref_normalize_image(img),
        "ravu": lambda: M.normalize_image(img),
    }


def case_box_text():
    img = frame(1920, 1080)
    colour = (235, 206, 135)

    def bare():
        cv2.rectangle(img, (200, 100), (440, 400), colour, 3)
        cv2.putText(img, "person 0.93", (200, 97), cv2.FONT_HERSHEY_SIMPLEX, 1.08, colour, 3)
    return "draw_box_text + caption, 1080p", 500, {
        "python": lambda: ref_draw_box_text(img, 100, 200, 300, 240, "person 0.93"),
        "ravu": lambda: M.draw_box_text(img, 100, 200, 300, 240, "person 0.93"),
        "bare": bare,
    }


def case_letterbox():
    img = frame(1920, 1080)
    return "letterbox_image 1080p -> 416x416", 60, {
        "python": lambda: ref_letterbox_image(img, (416, 416)),
        "ravu": lambda: M.letterbox_image(img, (416, 416)),
        "bare": lambda: cv2.resize(img, (416, 234), interpolation=cv2.INTER_LINEAR),
    }


def case_b64():
    img = frame(640, 480)

    def bare():
        buf = io.BytesIO()
        Image.fromarray(img).save(buf, format="jpeg")
        return base64.b64encode(buf.getvalue())
    return "arr_to_b64 640x480 jpeg", 15, {
        "python": lambda: ref_arr_to_b64(img),
        "ravu": lambda: M.arr_to_b64(img),
        "bare": bare,
    }


CASES = {"normalize": case_normalize, "box_text": case_box_text, "letterbox": case_letterbox,
         "b64": case_b64}
ROUNDS = 40


def run_case(key):
    title, n, variants = CASES[key]()
    for fn in variants.values():  # warm up: caches, allocator, OpenCV's threads
        for _ in range(max(3, n // 10)):
            fn()
    best = {name: float("inf") for name in variants}
    for _ in range(ROUNDS):
        for name, fn in variants.items():
            t0 = time.perf_counter()
            for _ in range(n):
                fn()
            best[name] = min(best[name], (time.perf_counter() - t0) / n * 1e6)
    print(repr((title, best)))


def main():
    if len(sys.argv) == 3 and sys.argv[1] == "--case":
        run_case(sys.argv[2])
        return
    rows = []
    for key in CASES:
        out = subprocess.run([sys.executable, __file__, "--case", key], capture_output=True,
                             text=True, check=True).stdout
        rows.append(eval(out.strip().splitlines()[-1]))  # our own child's repr
    print(f"{'case':34} {'python us':>10} {'ravu us':>10} {'bare us':>10} "
          f"{'py/ravu':>8} {'ravu/bare':>9}")
    for title, best in rows:
        py, rv, bare = best["python"], best["ravu"], best.get("bare")
        bare_text = f"{bare:10.1f}" if bare else f"{'-':>10}"
        ratio = f"{rv / bare:9.3f}" if bare else f"{'-':>9}"
        print(f"{title:34} {py:10.1f} {rv:10.1f} {bare_text} {py / rv:8.2f} {ratio}")


if __name__ == "__main__":
    main()
