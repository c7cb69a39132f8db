"""The image functions written as the plain cv2, numpy and Pillow calls they
stand for (the letterbox canvas with the input's channel layout), for the
tests and the benchmark to compare against."""
import base64
import io
import re

import cv2
import numpy as np
from PIL import Image


def ref_draw_box_text(image, top, left, height, width, text=None, bgr_color=(235, 206, 135),
                      thickness=None):
    top, left, height, width = int(top), int(left), int(height), int(width)
    s = min(image.shape[0], image.shape[1])
    m = min(height, width)
    if thickness is None:
        thickness = max(1, min(s // 300, m // 10))
    cv2.rectangle(image, (left, top), (left + width, top + height), bgr_color, thickness)
    if text is None:
        return
    move_up = min(3, s // 60)
    cv2.putText(image, text, (left, max(1, top - move_up)), cv2.FONT_HERSHEY_SIMPLEX, 0.001 * s,
                bgr_color, thickness)


def ref_draw_polygonal(image, xy_list, bgr_color=(0, 255, 0), thickness=None):
    s = min(image.shape[0], image.shape[1])
    if thickness is None:
        thickness = max(s // 300, 1)
    cv2.polylines(image, np.array([xy_list]).astype(np.int_), 1, bgr_color, thickness)


def ref_draw_line(image, x1, y1, x2, y2, bgr_color=(0, 97, 255), thickness=None):
    x1, y1, x2, y2 = int(x1), int(y1), int(x2), int(y2)
    s = min(image.shape[0], image.shape[1])
    if thickness is None:
        thickness = max(s // 300, 1)
    cv2.line(image, (x1, y1), (x2, y2), color=bgr_color, thickness=thickness)


def ref_draw_point(image, x, y, bgr_color=(0, 0, 255), thickness=None):
    x, y = int(x), int(y)
    s = min(image.shape[0], image.shape[1])
    if thickness is None:
        thickness = max(s // 300, 1)
    t = thickness
    x = min(max(x, t), image.shape[1] - t - 1)
    y = min(max(y, t), image.shape[0] - t - 1)
    pts = np.array([[(x - t, y - t), (x - t, y + t), (x + t, y + t), (x + t, y - t)]])
    cv2.fillPoly(image, pts, bgr_color)


def frame(w, h, seed=0):
    return np.random.default_rng(seed).integers(0, 256, (h, w, 3), dtype=np.uint8)


def ref_b64_to_arr(b64):
    base64_data = re.sub("^data:image/.+;base64,", "", b64)
    byte_data = base64.b64decode(base64_data)
    return np.array(Image.open(io.BytesIO(byte_data)))


def ref_arr_to_b64(arr, format="jpeg"):
    img = Image.fromarray(arr.astype("uint8"))
    output_buffer = io.BytesIO()
    img.save(output_buffer, format=format)
    return base64.b64encode(output_buffer.getvalue()).decode()


def ref_normalize_image(image):
    image = image.astype(np.float32)
    mean = np.mean(image)
    std = np.std(image)
    std_adj = np.maximum(std, 1.0 / np.sqrt(image.size))
    return np.multiply(np.subtract(image, mean), 1 / std_adj)


def ref_fit(image, shape, interpolation=cv2.INTER_LINEAR):
    ih, iw = image.shape[:2]
    h, w = shape
    scale = min(w / iw, h / ih)
    nw = int(iw * scale)
    nh = int(ih * scale)
    return cv2.resize(image, (nw, nh), interpolation=interpolation), scale, h, w, nh, nw


def ref_letterbox_image(image, shape, interpolation=cv2.INTER_LINEAR):
    """The plain steps, with the canvas given the input's channel layout."""
    resized, _, h, w, nh, nw = ref_fit(image, shape, interpolation)
    top, left = (h - nh) // 2, (w - nw) // 2
    if image.ndim == 2:
        canvas = np.full((h, w), 128, np.uint8)
        canvas[top:top + nh, left:left + nw] = resized
    elif resized.ndim == 2:
        canvas = np.full((h, w, 1), 128, np.uint8)
        canvas[top:top + nh, left:left + nw, 0] = resized
    else:
        canvas = np.full((h, w, resized.shape[2]), 128, np.uint8)
        canvas[top:top + nh, left:left + nw, :] = resized
    return canvas
