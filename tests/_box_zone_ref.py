"""Box and ZoneShape written as plain Python (the crops with their bounds
clipped at 0), for the tests and the benchmark to compare against, and
`outcome`, which turns a call into something comparable exactly."""
import warnings

import cv2
import numpy as np


class PyBox:
    def __init__(self, top, left, height, width):
        self.top = top
        self.left = left
        self.height = height
        self.width = width
        self.bottom = top + height
        self.right = left + width

    @staticmethod
    def create_by_ltrb(l, t, r, b):
        return PyBox(t, l, b - t, r - l)

    def to_ltrb(self):
        return [self.left, self.top, self.right, self.bottom]

    def area(self):
        return self.height * self.width

    def inter_area(self, box):
        x11, y11, x12, y12 = self.to_ltrb()
        x21, y21, x22, y22 = box.to_ltrb()
        xa = max(x11, x21)
        ya = max(y11, y21)
        xb = min(x12, x22)
        yb = min(y12, y22)
        dx = xb - xa
        if 0 > dx:
            dx = 0
        dy = yb - ya
        if 0 > dy:
            dy = 0
        return dx * dy

    def iou(self, box):
        inter = self.inter_area(box)
        return inter / ((self.area() + box.area()) - inter)

    def crop(self, image):
        return image[max(0, int(self.top)):max(0, int(self.bottom)),
                     max(0, int(self.left)):max(0, int(self.right)), :]


def ref_zone(width, height, xy_list, margin=0.05, min_w=None, max_w=None, min_h=None, max_h=None):
    """The construction rules as a dict of attributes, without the fill."""
    z = {"width": width, "height": height, "xy_list": xy_list}
    min_w = width - 1 if min_w is None else min_w
    max_w = 0 if max_w is None else max_w
    min_h = height - 1 if min_h is None else min_h
    max_h = 0 if max_h is None else max_h
    bb_min_h, bb_max_h, bb_min_w, bb_max_w = height - 1, 0, width - 1, 0
    for x, y in xy_list:
        bb_min_h = min(bb_min_h, y)
        bb_max_h = max(bb_max_h, y)
        bb_min_w = min(bb_min_w, x)
        bb_max_w = max(bb_max_w, x)
    hm, wm = int(height * margin), int(width * margin)
    z["min_h"] = int(min(max(bb_min_h - hm, 0), min_h))
    z["max_h"] = int(max(min(bb_max_h + hm, height - 1), max_h))
    z["min_w"] = int(min(max(bb_min_w - wm, 0), min_w))
    z["max_w"] = int(max(min(bb_max_w + wm, width - 1), max_w))
    z.update(bb_min_h=bb_min_h, bb_max_h=bb_max_h, bb_min_w=bb_min_w, bb_max_w=bb_max_w)
    return z


def ref_mask(width, height, xy_list):
    mask = np.zeros([height, width], np.uint8)
    cv2.fillPoly(mask, np.array([xy_list]), 1)
    return mask


def ref_fill(image, mask, r0, r1, c0, c1):
    m = mask[max(0, r0):max(0, r1), max(0, c0):max(0, c1)]
    return image[max(0, r0):max(0, r1), max(0, c0):max(0, c1), :] * np.stack((m, m, m), axis=2)


class PyZone:
    """The zone's point test and window fill crop over a ZoneShape's attributes."""

    def __init__(self, zone):
        self.__dict__.update(vars(zone))

    def has(self, x, y):
        x = min(max(x, 0), self.width - 1)
        y = min(max(y, 0), self.height - 1)
        return self.image01[y][x] == 1

    def crop_and_fill(self, image):
        return ref_fill(image, self.image01, self.min_h, self.max_h, self.min_w, self.max_w)


def outcome(fn):
    """(kind, type, text, warnings) of a call: its result or its error."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            r = fn()
            res = ("ok", type(r), repr(r))
        except Exception as e:  # noqa: BLE001 - compared, not hidden
            res = ("err", type(e), str(e))
    return res + (sorted(str(w.message) for w in caught),)
