"""The road of a detection: boxes from a detector are matched across two
frames by intersection over union, tested against a polygonal zone on the
road and a tripwire across it, cut out of the frame, and drawn with the zone onto the frame, which is
written as a PNG to look at."""
import os
import tempfile

import cv2  # type: ignore[import]  # OpenCV ships no type information
import numpy as np
import numpy.typing as npt

from ravu.cv.box import Box
from ravu.cv.direction import Direction
from ravu.cv.tripwire import Tripwire
from ravu.cv.zone_shape import ZoneShape

W, H = 1280, 720


def street_frame() -> npt.NDArray[np.uint8]:
    """A 1280x720 street scene: sky, verge, a road with lane marks and three cars."""
    rng = np.random.default_rng(7)
    frame = np.zeros((H, W, 3), np.uint8)
    frame[:300] = np.linspace((235, 206, 160), (250, 240, 225), 300).astype(np.uint8)[:, None]
    frame[300:] = (70, 120, 80)
    road = np.array([[560, 300], [720, 300], [1240, H], [40, H]])
    cv2.fillPoly(frame, [road], (90, 90, 90))
    for y in range(310, H, 60):  # dashed centre line, wider towards the viewer
        t = (y - 300) / (H - 300)
        cv2.line(frame, (640, y), (640, min(H, y + 30)), (230, 230, 230), max(1, int(8 * t)))
    frame = np.clip(frame + rng.normal(0, 6, frame.shape), 0, 255).astype(np.uint8)
    for l, t, r, b, color in CARS:
        cv2.rectangle(frame, (l, t), (r, b), color, -1)
        cv2.rectangle(frame, (l + 8, t + 6), (r - 8, t + (b - t) // 3), (60, 40, 30), -1)
    return frame


# The detector's output on two frames, as (left, top, right, bottom).
CARS = [(300, 520, 520, 680, (40, 40, 200)), (700, 380, 820, 460, (200, 120, 40)),
        (1000, 330, 1120, 410, (40, 160, 220))]
PREVIOUS = [(310, 500, 525, 660), (690, 375, 805, 452), (80, 600, 200, 700)]

frame = street_frame()
now = [Box.create_by_ltrb(l, t, r, b) for l, t, r, b, _ in CARS]
before = [Box.create_by_ltrb(*ltrb) for ltrb in PREVIOUS]

print("detections (top, left, height, width) and their best match in the previous frame:")
for i, box in enumerate(now):
    scores = [box.iou(old) for old in before]
    best = int(np.argmax(scores))
    kept = scores[best] >= 0.5
    print(f"  car {i}: {box.to_tlhw()}  area {box.area()}  iou {scores[best]:.3f} with "
          f"previous {best}{'' if kept else ' (new track)'}")

# The zone: the near half of the right lane.  A detection is in it when the
# middle of its bottom edge is.
zone = ZoneShape(W, H, [(640, 420), (868, 420), (1240, H - 1), (640, H - 1)])
print(f"zone window rows {zone.min_h}..{zone.max_h}, columns {zone.min_w}..{zone.max_w}; "
      f"bounding box {zone.bounding_box.to_ltrb()}; mask covers {int(zone.image01.sum())} px")
for i, box in enumerate(now):
    foot = ((box.left + box.right) // 2, box.bottom - 1)
    print(f"  car {i} foot {foot}: {'in' if zone.has(*foot) else 'outside'} the zone")

crops = [box.crop(frame) for box in now]
print("crops:", [c.shape for c in crops], "(views of the frame)")
masked = zone.crop_and_fill(frame)
print("zone crop with the outside blanked:", masked.shape)

# A counting line across the road: a track whose foot point changes side
# between the two frames has crossed it.
wire = Tripwire(100, 670, 1200, 650)
print("tripwire across the road, from (100, 670) to (1200, 650):")
for i, (box, old) in enumerate(zip(now, before)):
    if box.iou(old) < 0.5:
        continue
    feet = [((b.left + b.right) // 2, b.bottom - 1) for b in (old, box)]
    # +1 below the line, -1 above, 0 on it
    sides = [wire.vertical_position(x, y) for x, y in feet]
    (x0, y0), (x1, y1) = feet
    Direction(x0, y0, x1, y1).draw(frame)  # the track's heading as an arrow
    print(f"  car {i}: sides {sides}, {'crossed' if sides[0] * sides[1] < 0 else 'stayed'}, "
          f"{wire.distance(x1, y1):.1f} px from the wire, "
          f"{wire.angle(x1 - x0, y1 - y0):.0f} deg to it")
wire.draw(frame)

for box in now:
    box.draw(frame, (0, 255, 255))
zone.draw(frame, draw_box=True)

out_dir = os.path.join(tempfile.gettempdir(), "ravu_examples")
os.makedirs(out_dir, exist_ok=True)
path = os.path.join(out_dir, "detection_road.png")
cv2.imwrite(path, frame)
cv2.imwrite(os.path.join(out_dir, "detection_road_zone.png"), masked)
print("wrote", path, "and detection_road_zone.png beside it")
