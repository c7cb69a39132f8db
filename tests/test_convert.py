"""JSON-able copies and abstract display copies of nested data."""
import collections
import copy
import json
import sys

import numpy as np
import pytest

import ravu.utils.convert as convert
from ravu.utils.convert import (to_abstract_jsondict, to_abstract_jsonlist, to_jsondict,
                                to_jsonlist, to_jsonobj)

FUNCS = [to_jsonobj, to_jsonlist, to_jsondict, to_abstract_jsonlist, to_abstract_jsondict]


def refusal(tp):
    return "^" + str(tp).replace("(", r"\(").replace(")", r"\)") + "不支持的类型$"


def test_module_interface():
    assert convert.__all__ == ["to_jsonobj", "to_abstract_jsondict", "to_abstract_jsonlist"]
    assert convert.np is np
    ns = {}
    exec("from ravu.utils.convert import *", ns)
    assert "to_jsonlist" not in ns and "to_jsondict" not in ns


@pytest.mark.parametrize("fn, param", zip(FUNCS, ["data", "l", "d", "l", "d"]),
                         ids=lambda v: getattr(v, "__name__", v))
def test_one_argument_by_position_only(fn, param):
    name = fn.__name__
    with pytest.raises(TypeError, match=f"^{name}\\(\\) got some positional-only arguments "
                                        f"passed as keyword arguments: '{param}'$"):
        fn(**{param: []})
    with pytest.raises(TypeError, match=f"^{name}\\(\\) missing 1 required positional"):
        fn()
    with pytest.raises(TypeError, match=f"^{name}\\(\\) takes 1 positional argument"):
        fn([], [])


# ---------------------------------------------------------------- to_jsonobj

@pytest.mark.parametrize("value", [(1, 2), collections.OrderedDict(a=1), np.int64(3),
                                   np.array(5), {1, 2}, "text", 7, None, np.bool_(True)],
                         ids=repr)
def test_to_jsonobj_refuses(value):
    with pytest.raises(Exception, match=refusal(type(value))) as info:
        to_jsonobj(value)
    assert type(info.value) is Exception
    assert len(info.value.args) == 1


def test_to_jsonobj_converts():
    assert to_jsonobj([]) == [] and to_jsonobj({}) == {}
    out = to_jsonobj(np.arange(6, dtype=np.int32).reshape(2, 3))
    assert out == [[0, 1, 2], [3, 4, 5]]
    assert all(type(x) is int for row in out for x in row)
    payload = {"boxes": [{"score": np.float32(0.5), "cls": np.int64(2), "box": np.arange(4),
                          "label": "car"}], "n": 1}
    out = to_jsonobj(payload)
    assert out == {"boxes": [{"score": 0.5, "cls": 2, "box": [0, 1, 2, 3], "label": "car"}],
                   "n": 1}
    json.dumps(out)


def test_inputs_unchanged_and_results_new():
    inner = [1, 2]
    data = {"a": inner, "b": (np.int8(1),), "c": {"d": np.zeros(2)}}
    before = copy.deepcopy(data)
    for fn in (to_jsonobj, to_jsondict, to_abstract_jsondict):
        out = fn(data)
        assert out is not data and out["a"] is not inner
        assert data.keys() == before.keys() and data["a"] is inner and data["a"] == [1, 2]
    lst = [1, "a"]
    assert to_jsonlist(lst) is not lst and to_abstract_jsonlist(lst) is not lst


# ---------------------------------------------------------------- to_jsondict

def test_to_jsondict_rows():
    key = np.int64(7)
    out = to_jsondict({key: np.int16(-3), "f": np.float32(0.25), "s": np.str_("hé"),
                       "a": np.ones((2, 1)), "t": (1, (2,)), "d": {"x": np.uint8(9)},
                       "o": collections.OrderedDict(z=np.int64(1)), "n": None})
    assert list(out) == [key, "f", "s", "a", "t", "d", "o", "n"]
    assert type(list(out)[0]) is np.int64
    assert out[key] == -3 and type(out[key]) is int
    assert out["f"] == 0.25 and type(out["f"]) is float
    assert out["s"] == "hé" and type(out["s"]) is str
    assert out["a"] == [[1.0], [1.0]]
    assert out["t"] == [1, [2]]
    assert out["d"] == {"x": 9} and type(out["d"]["x"]) is int
    # a dict subclass is "anything else": kept as the same object
    assert out["o"] is not None and type(out["o"]) is collections.OrderedDict
    assert type(out["o"]["z"]) is np.int64


@pytest.mark.parametrize("value", [np.bool_(False), np.complex64(1j), np.datetime64("2020")],
                         ids=repr)
def test_to_jsondict_refuses_numpy_without_row(value):
    with pytest.raises(Exception, match=refusal(type(value))):
        to_jsondict({"v": value})


def test_to_jsondict_mapping_with_items():
    class Items:
        def items(self):
            return iter([("a", np.int64(1)), ["b", np.float64(2)]])

    assert to_jsondict(Items()) == {"a": 1, "b": 2.0}
    with pytest.raises(AttributeError):
        to_jsondict([1])
    with pytest.raises(AttributeError):
        to_abstract_jsondict(5)


def test_type_text_decides_not_the_module():
    # Any type whose text holds "numpy" counts as a numpy type.
    Fake = type("numpy_int_like", (), {"__int__": lambda self: 42})
    assert to_jsondict({"v": Fake()}) == {"v": 42}
    Plain = type("Other", (), {})
    with pytest.raises(Exception, match="numpy_plain"):
        to_jsondict({"v": type("numpy_plain", (), {})()})
    p = Plain()
    assert to_jsondict({"v": p})["v"] is p


# ---------------------------------------------------------------- to_jsonlist

@pytest.mark.parametrize("value, expected", [
    ([], []),
    ((), []),
    ([np.zeros(2), np.ones((1, 2))], [[0.0, 0.0], [[1.0, 1.0]]]),
    ([np.float32(0.5), np.float32(1.5)], [0.5, 1.5]),
    ([np.int64(1), np.float32(2.5)], [1.0, 2.5]),   # one numpy array, as a whole
    ([np.int64(1), np.bool_(True)], [1, 1]),
    ([np.bool_(True), np.bool_(False)], [True, False]),
    ([(1, 2), [3, (4,)]], [[1, 2], [3, [4]]]),
    ([{"a": np.int64(1)}, {}], [{"a": 1}, {}]),
    ([1, "x", None], [1, "x", None]),
], ids=repr)
def test_to_jsonlist_uniform_lists(value, expected):
    out = to_jsonlist(value)
    assert out == expected
    assert [type(x) for x in out] == [type(x) for x in expected]


@pytest.mark.parametrize("value, expected", [
    ([1, np.zeros(2)], [1, [0.0, 0.0]]),
    ([np.int64(1), "a"], [1, "a"]),
    (["abc", 5], ["abc", 5]),
    ([np.zeros(2), [1]], [[0.0, 0.0], [1]]),
    ([0.5, np.float32(0.25), np.str_("s"), np.bool_(True)], [0.5, 0.25, "s", True]),
    ([{"a": 1}, (np.int8(2),), np.uint16(3)], [{"a": 1}, [2], 3]),
], ids=repr)
def test_to_jsonlist_each_element_by_itself(value, expected):
    out = to_jsonlist(value)
    assert out == expected
    assert [type(x) for x in out] == [type(x) for x in expected]
    json.dumps(out)


def test_to_jsonlist_mixed_after_numpy_scalar_keeps_python_numbers():
    out = to_jsonlist([np.float32(0.5), 1])
    assert out == [0.5, 1] and type(out[1]) is int


# ---------------------------------------------------------------- abstract views

def test_abstract_thresholds_and_markers():
    d = {"s20": "a" * 20, "s21": "é" * 21, "l20": list(range(20)), "l21": list(range(21)),
         "a1": np.zeros(1), "img": np.zeros((480, 640, 3), np.uint8), "a0": np.array(1.0),
         "t": tuple(range(100)), "f30": [np.float32(1)] * 30, "l22": [[1]] * 22, "n": 3}
    out = to_abstract_jsondict(d)
    assert out["s20"] is d["s20"]
    assert out["s21"] == "<char[21]>"
    assert out["l20"] == d["l20"] and out["l20"] is not d["l20"]
    assert out["l21"] == "<int[21]>"
    assert out["a1"] == "<numpy.ndarray(1,)>"
    assert out["img"] == "<numpy.ndarray(480, 640, 3)>"
    assert out["a0"] == "<numpy.ndarray()>"
    assert out["t"] is d["t"]
    assert out["f30"] == "<numpy.float32[30]>"
    assert out["l22"] == "<list[22]>"
    assert list(out) == list(d)


def test_abstract_list_never_abbreviates_itself():
    nums = list(range(100))
    out = to_abstract_jsonlist(nums)
    assert out == nums and out is not nums
    assert to_abstract_jsonlist([]) == []
    assert to_abstract_jsonlist((1, "x" * 21)) == [1, "<char[21]>"]


@pytest.mark.parametrize("value, expected", [
    (["abc", [1] * 25, 5], ["abc", "<int[25]>", 5]),
    ([[1], "x" * 30, None], [[1], "<char[30]>", None]),
    ([np.zeros(2), {"k": "y" * 21}, [np.zeros(3)]],
     ["<numpy.ndarray(2,)>", {"k": "<char[21]>"}, ["<numpy.ndarray(3,)>"]]),
], ids=repr)
def test_abstract_list_each_element_by_itself(value, expected):
    assert to_abstract_jsonlist(value) == expected


def test_abstract_exact_types_only():
    class S(str):
        pass

    class L(list):
        pass

    class A(np.ndarray):
        pass

    s, lst, arr = S("x" * 30), L(range(30)), np.zeros(3).view(A)
    od = collections.OrderedDict(a="x" * 30)
    out = to_abstract_jsondict({"s": s, "l": lst, "a": arr, "o": od, "i": np.int64(1)})
    assert out["s"] is s and out["l"] is lst and out["a"] is arr and out["o"] is od
    assert type(out["i"]) is np.int64


def test_element_name_of_odd_type_text():
    class Meta(type):
        def __repr__(cls):
            return "no quote here"

    Odd = Meta("Odd", (), {})
    assert to_abstract_jsondict({"l": [Odd()] * 21}) == {"l": "<no quote he[21]>"}


# ---------------------------------------------------------------- calls through the module

def test_functions_call_each_other_through_module_attributes(monkeypatch):
    monkeypatch.setattr(convert, "to_jsonlist", lambda l: ("L", len(l)))
    monkeypatch.setattr(convert, "to_jsondict", lambda d: ("D", len(d)))
    assert to_jsonobj([1, 2]) == ("L", 2)
    assert to_jsonobj({"a": 1}) == ("D", 1)
    assert to_jsonobj(np.zeros(3)) == ("L", 3)
    monkeypatch.undo()
    seen = []
    real = convert.to_jsondict

    def spy(d):
        seen.append(d)
        return real(d)

    monkeypatch.setattr(convert, "to_jsondict", spy)
    assert to_jsonlist([{"a": 1}, {"b": {"c": 2}}]) == [{"a": 1}, {"b": {"c": 2}}]
    assert seen == [{"a": 1}, {"b": {"c": 2}}, {"c": 2}]
    monkeypatch.setattr(convert, "to_abstract_jsonlist", lambda l: "short")
    assert to_abstract_jsondict({"l": [1], "m": [1] * 21}) == {"l": "short", "m": "<int[21]>"}
    monkeypatch.setattr(convert, "to_abstract_jsondict", lambda d: "map")
    assert to_abstract_jsonlist([{}, 1]) == ["map", 1]


def test_np_looked_up_at_call_time(monkeypatch):
    class Shaped:
        shape = (7, 8)

    class FakeNp:
        ndarray = Shaped

        @staticmethod
        def array(seq):
            return np.array(seq) * 2

    monkeypatch.setattr(convert, "np", FakeNp)
    assert to_jsonlist([np.int64(1), np.int64(2)]) == [2, 4]
    arr = np.zeros(2)
    out = to_abstract_jsonlist([Shaped(), arr])
    assert out[0] == "<numpy.ndarray(7, 8)>" and out[1] is arr
    monkeypatch.delattr(convert, "np")
    with pytest.raises(NameError):
        to_abstract_jsonlist([1])
    assert to_abstract_jsonlist(["text", ["x"], {}]) == ["text", ["x"], {}]  # np not needed


def test_deep_nesting_is_bounded_by_the_recursion_limit():
    deep = []
    node = deep
    for _ in range(sys.getrecursionlimit() + 10):
        node.append([])
        node = node[0]
    for fn in (to_jsonobj, to_jsonlist, to_abstract_jsonlist):
        with pytest.raises(RecursionError):
            fn(deep)
    shallow = [[[[1]]]]
    assert to_jsonobj(shallow) == shallow


def test_errors_of_elements_reach_the_caller():
    class NoLen:
        def __len__(self):
            raise ValueError("no len")

    with pytest.raises(ValueError, match="no len"):
        to_jsonlist(NoLen())
    with pytest.raises(TypeError):
        to_abstract_jsonlist(5)
