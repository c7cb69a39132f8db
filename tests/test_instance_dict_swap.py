"""Fast paths that search an instance dict hold it while they do: a key
whose __eq__ gives the object another dict cannot free the one being
searched (each case runs in a child, since the fault is a crash)."""
import pytest

from tests._proc import run_py

CASES = [
    ("from ravu.utils.datakit import CircularQueue\n"
     "o = CircularQueue(3); o.put(1)", "size", "o.put(2)"),
    ("from ravu.utils.strategy import RecordByTime\no = RecordByTime(1, 2)", "queue", "o.set()"),
    ("from ravu.utils.strategy import RecordByFrequency\no = RecordByFrequency(10, 0.5)",
     "data", "o.set(True)"),
    ("from ravu.utils.lock import lock_func\n"
     "o = lock_func()(lambda: 1); o.__signature__ = None", "__signature__", "o.__signature__"),
    ("from ravu.cv.tripwire import Tripwire\no = Tripwire(0, 0, 10, 10)", "_A", "o.has(3, 4)"),
    ("from ravu.cv.direction import Direction\no = Direction(0, 0, 10, 10)", "_x",
     "o.angle(3, 4)"),
]


@pytest.mark.parametrize("make, name, call", CASES, ids=[c[2] for c in CASES])
def test_dict_replaced_during_its_own_lookup(tmp_path, make, name, call):
    source = (make + "\nfrom tests._dict_swap import swap_during_lookup\n"
              f"s = swap_during_lookup(o, {name!r})\n"
              f"try:\n    {call}\nexcept Exception:\n    pass\n"
              "print(s.swapped, s.freed_during_lookup)\n")
    _, out, _ = run_py(tmp_path, source)
    assert out.split() == ["True", "False"]
