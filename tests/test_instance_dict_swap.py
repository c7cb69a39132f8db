"""Native code that reads or writes an instance dict holds the dict, and
every value it took from it, for as long as it uses them: a key whose
__eq__ runs during the search and gives the object another dict (or
rebinds a list in it) frees nothing the call still uses.  One table over
every type whose methods go to the dict directly; each case runs in a
child, since the fault is a crash (tests/_dict_swap.py has the keys)."""
import pytest

from tests._proc import run_py
from tests._redis import RedisServer

BOX = "from ravu.cv.box import Box\no = Box(1, 2, 3, 4)"
ZONE = ("from ravu.cv.zone_shape import ZoneShape\n"
        "img = np.zeros((30, 30, 3), np.uint8)\n"
        "o = ZoneShape(30, 20, [(0, 0), (10, 0), (10, 10), (0, 10)])")
DIRECTION = "from ravu.cv.direction import Direction\no = Direction(0, 0, 10, 10)"
TRIPWIRE = "from ravu.cv.tripwire import Tripwire\no = Tripwire(0, 0, 10, 10)"
RING = "from ravu.utils.datakit import CircularQueue\no = CircularQueue(3); o.put(1); o.put(2)"
BY_TIME = "from ravu.utils.strategy import RecordByTime\no = RecordByTime(1, 2)"
BY_FREQ = "from ravu.utils.strategy import RecordByFrequency\no = RecordByFrequency(10, 0.5)"
MUTEX = "from ravu.utils.kv_mutex import KvMutex\no = KvMutex('swap', {conf!r}, 2)"
READER = ("from tests._stream_fakes import FakeFeed\n"
          "from ravu.utils.logging import init_logger\n"
          "init_logger(appname='swap', open_console=False, open_localfile=False)\n"
          "import ravu.cv.stream_reader as sr\n"
          "r = sr.create_cap('swap', 'cam', FakeFeed()); o = r.bound_grabber\n"
          "o.update_frame(np.zeros((2, 2, 3), np.uint8))")

# The object given a new dict holding a plain copy of its attributes, after
# a burst of short-lived dicts: a call that goes on in the dict it dropped
# reads or writes memory those freed (a crash, as a rule).
REFILL = "new = dict(F); [{} for _ in range(200)]; o.__dict__ = new"
KEEP = "kept.append(p)"  # a probe kept elsewhere: only a crash tells

# (case, setup making `o`, attribute name, call, trap options).  Options:
# `equal` for the attribute's own key (else a stranger before it),
# `without` attributes left out, `act` the code the key's __eq__ runs
# (default: an empty new dict), `probe` the code that stores the probe `p`
# where the action drops it (default: the dict), `end` what ends the child.
CASES = [
    ("Box.area", BOX, "height", "o.area()", dict(without=("height", "width"))),
    ("Box.iou of the box", BOX, "left", "Box(0, 0, 2, 2).iou(o)", dict(without=("left",))),
    ("Box.crop", BOX, "top", "o.crop(np.zeros((9, 9), np.uint8))", {}),
    # A probe in the dict would make it one entry more than a Box has.
    ("Box.inter_area, own key", BOX, "left", "o.inter_area(Box(1, 2, 3, 4))",
     dict(equal=True, act=REFILL, probe=KEEP)),
    ("Box.iou, own key", BOX, "left", "o.iou(Box(1, 2, 3, 4))",
     dict(equal=True, act=REFILL, probe=KEEP)),
    ("ZoneShape.has", ZONE, "image01", "o.has(1, 1)", {}),
    ("ZoneShape.has, own key", ZONE, "width", "o.has(1, 1)", dict(equal=True, act=REFILL)),
    ("ZoneShape.crop", ZONE, "min_w", "o.crop(img)", {}),
    ("ZoneShape.crop_with_bounding_box", ZONE, "bounding_box", "o.crop_with_bounding_box(img)",
     {}),
    ("ZoneShape.draw", ZONE, "xy_list", "o.draw(img)", {}),
    ("ZoneShape.crop_has", ZONE, "has", "o.crop_has(1, 1)", {}),
    ("Direction.angle", DIRECTION, "_x", "o.angle(3, 4)", {}),
    ("Direction.__init__, own key", DIRECTION, "_start_x", "o.__init__(1, 2, 3, 4)",
     dict(equal=True, act=REFILL)),
    ("Tripwire.has", TRIPWIRE, "_A", "o.has(3, 4)", {}),
    ("Tripwire.__init__, own key", TRIPWIRE, "_x1", "o.__init__(1, 2, 3, 4)",
     dict(equal=True, act=REFILL)),
    ("CircularQueue.put", RING, "size", "o.put(3)", {}),
    # cur_index's own key rebinds the queue list while the ring is read.
    ("CircularQueue.getall, queue rebound", RING, "cur_index", "o.getall()",
     dict(equal=True, act="o.__dict__['queue'] = ['new']", probe="o.queue[2] = p")),
    ("CircularQueue[1], queue rebound", RING, "cur_index", "print(o[1])",
     dict(equal=True, act="o.__dict__['queue'] = ['new']", probe="o.queue[2] = p")),
    ("CircularQueue.put(5), queue rebound", RING, "cur_index", "o.put(5)",
     dict(equal=True, act="o.__dict__['queue'] = ['new']", probe="o.queue[2] = p")),
    ("RecordByTime.set", BY_TIME, "queue", "o.set()", {}),
    ("RecordByFrequency.set", BY_FREQ, "data", "o.set(True)", {}),
    ("RecordByFrequency.set, own key", BY_FREQ, "index", "o.set(True)",
     dict(equal=True, act=REFILL)),
    ("StreamReader.read_non_blocking (the grabber's)", READER, "cur_frame_num",
     "r.read_non_blocking(is_copy=False)", dict(equal=True, act=REFILL, end="o.stop()")),
    ("lock_func wrapper", "from ravu.utils.lock import lock_func\n"
     "o = lock_func()(lambda: 1); o.__signature__ = None", "__signature__", "o.__signature__",
     {}),
    ("KvMutex.__enter__ (redis_conf)", MUTEX, "redis_conf", "o.__enter__()", {}),
    ("KvMutex.__enter__ (acquire_timeout)", MUTEX, "acquire_timeout", "o.__enter__()", {}),
    ("KvMutex.__exit__ (uuid)", MUTEX, "uuid", "o.__exit__(None, None, None)", {}),
    ("KvMutex.__exit__ (lock_name)", MUTEX, "lock_name", "o.__exit__(None, None, None)", {}),
]


@pytest.fixture(scope="module")
def redis_port():
    with RedisServer() as srv:
        yield srv.port


@pytest.mark.parametrize("setup, name, call, opts", [c[1:] for c in CASES],
                         ids=[c[0] for c in CASES])
def test_dict_changed_during_its_own_lookup(request, tmp_path, setup, name, call, opts):
    if "{conf" in setup:
        setup = setup.format(conf={"port": request.getfixturevalue("redis_port")})
        if "__exit__" in call:
            setup += "\no.__enter__()"
    act = opts.get("act", "o.__dict__ = {}")
    probe = opts.get("probe")
    source = (
        "import numpy as np\n" + setup + "\n"
        "from tests._dict_swap import trap_lookup\nkept = []\n"
        + ("F = dict(vars(o))\n" if "F" in act else "") +
        f"def action():\n    {act}\n"
        + (f"def probe_in(p):\n    {probe}\n" if probe else "probe_in = None\n") +
        f"t = trap_lookup(o, {name!r}, equal={opts.get('equal', False)}, action=action,\n"
        f"                without={opts.get('without', ())!r}, probe_in=probe_in)\n"
        f"try:\n    {call}\nexcept Exception:\n    pass\n"
        "print(t.fired, t.freed_during_lookup)\n" + opts.get("end", "") + "\n")
    _, out, _ = run_py(tmp_path, source)
    assert out.split()[-2:] == ["True", "False"]


class _Raising(str):
    """A stranger key hashing as an attribute name whose comparison raises."""
    __hash__ = str.__hash__

    def __eq__(self, other):
        raise LookupError("search failed")


def _box():
    from ravu.cv.box import Box
    return Box(1, 2, 3, 4)


def _direction():
    from ravu.cv.direction import Direction
    return Direction(0, 0, 10, 10)


def _tripwire():
    from ravu.cv.tripwire import Tripwire
    return Tripwire(0, 0, 10, 5)


def _zone():
    from ravu.cv.zone_shape import ZoneShape
    return ZoneShape(30, 20, [(0, 0), (10, 0), (10, 10), (0, 10)])


# The method a call reaches through the object, whose look-up in the
# instance dict fails: the failure is the call's, as the interpreter's own
# attribute look-up raises it.
RAISING = [
    (_box, "inter_area", lambda o: o.iou(o)),
    (_box, "area", lambda o: o.iou(o)),
    (_direction, "unit_vector", lambda o: o.angle(3, 4)),
    (_direction, "horizontal_projection_len", lambda o: o.angle(3, 4)),
    (_tripwire, "horizontal_position", lambda o: o.hor_or_ver_position(3, 4)),
    (_zone, "has", lambda o: o.crop_has(1, 1)),
]


@pytest.mark.parametrize("make, name, call", RAISING, ids=[r[1] for r in RAISING])
def test_failed_search_of_a_method_is_raised(make, name, call):
    o = make()
    d = {_Raising(name): None}
    d.update(vars(o))
    o.__dict__ = d
    with pytest.raises(LookupError, match="search failed"):
        call(o)
