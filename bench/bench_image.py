"""ravu.cv.image against the same rules in plain Python and the bare
library calls they stand on.

    PYTHONPATH=. /usr/bin/python3 bench/bench_image.py [--before TREE]

Each case runs in a process of its own (numpy's large-array timings swing
with the allocator's state), warms up, then times its variants interleaved,
round after round, and prints each variant's median round in us/op with the
ratios plain Python / ravu and ravu / bare.  "bare" is the bare library
calls, or for normalize_image its floor: bench/image_floor.cpp, the
cheapest C code with the same calling shape doing only the work no
standardisation of a uint8 image avoids (built with the project).
--before TREE adds "before": ravu.cv.image as built in another checkout
(say an older commit), loaded beside this one for the same rounds.
"""
import base64
import importlib.util
import io
import os
import statistics
import subprocess
import sys
import time

import cv2
from PIL import Image

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, ROOT)
sys.path.insert(0, os.path.join(ROOT, "bench"))

from ravu.cv import image as M  # noqa: E402
from tests._image_ref import (frame, ref_arr_to_b64, ref_draw_box_text,  # noqa: E402
                              ref_letterbox_image, ref_normalize_image)

# ---------------------------------------------------------------- cases

def before_module(tree):
    """ravu.cv.image of another checkout, under a name of its own."""
    cv = os.path.join(tree, "ravu", "cv")
    so = next(os.path.join(cv, f) for f in sorted(os.listdir(cv))
              if f.startswith("image.") and f.endswith(".so"))
    spec = importlib.util.spec_from_file_location("ravu_before.image", so)
    mod = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(mod)
    return mod


def case_normalize(before=None):
    import _image_floor
    img = frame(416, 416)
    variants = {
        "python": lambda: ref_normalize_image(img),
        "ravu": lambda: M.normalize_image(img),
        "bare": lambda: _image_floor.normalize_floor(img),
    }
    if before:
        old = before_module(before)
        variants["before"] = lambda: old.normalize_image(img)
    return "normalize_image 416x416x3 uint8", 200, variants


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
ROUNDS = 5


def run_case(key, before):
    title, n, variants = CASES[key](before) if key == "normalize" else CASES[key]()
    for fn in variants.values():  # warm up: caches, allocator, OpenCV's threads
        for _ in range(max(3, n // 10)):
            fn()
    rounds = {name: [] for name in variants}
    for _ in range(ROUNDS):
        for name, fn in variants.items():
            # Untimed calls first: memory the previous variant gave back to
            # the system is faulted in again here, not in this round.
            for _ in range(3):
                fn()
            t0 = time.perf_counter()
            for _ in range(n):
                fn()
            rounds[name].append((time.perf_counter() - t0) / n * 1e6)
    print(repr((title, {name: statistics.median(r) for name, r in rounds.items()})))


def main():
    args = sys.argv[1:]
    before = None
    if args[:1] == ["--before"]:
        before, args = os.path.abspath(args[1]), args[2:]
    if args[:1] == ["--case"]:
        run_case(args[1], before)
        return
    rows = []
    for key in CASES:
        cmd = [sys.executable, __file__] + (["--before", before] if before else []) + ["--case", key]
        out = subprocess.run(cmd, capture_output=True, text=True, check=True).stdout
        rows.append(eval(out.strip().splitlines()[-1]))  # our own child's repr
    print(f"{'case':34} {'python us':>10} {'before us':>10} {'ravu us':>10} {'bare us':>10} "
          f"{'py/ravu':>8} {'ravu/bare':>9}")

    def cell(v, width=10):
        return f"{v:{width}.1f}" if v else f"{'-':>{width}}"
    for title, med in rows:
        py, rv, bare = med["python"], med["ravu"], med.get("bare")
        ratio = f"{rv / bare:9.3f}" if bare else f"{'-':>9}"
        print(f"{title:34} {cell(py)} {cell(med.get('before'))} {cell(rv)} {cell(bare)} "
              f"{py / rv:8.2f} {ratio}")


if __name__ == "__main__":
    main()
