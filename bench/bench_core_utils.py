"""Core utilities side by side with the same rules in plain Python.

Run by hand:  PYTHONPATH=. /usr/bin/python3 bench/bench_core_utils.py
"""
import os
import tempfile
import time

import numpy as np

from ravu.utils import convert, path, strategy


# ---------------------------------------------------------------- plain Python rules

def _np_kind(v):
    t = str(type(v))
    if "numpy" not in t:
        return None
    for word in ("array", "int", "float", "str"):
        if word in t:
            return word
    return "other"


def py_to_jsonobj(data):
    t = str(type(data))
    if "numpy" in t:
        if "array" in t:
            data = data.tolist()
        else:
            raise Exception(t + "不支持的类型")
    if type(data) == list:
        return py_to_jsonlist(data)
    if type(data) == dict:
        return py_to_jsondict(data)
    raise Exception(t + "不支持的类型")


def py_to_jsonlist(l):
    if len(l) == 0:
        return []
    kinds = [_np_kind(x) for x in l]
    if all(k not in (None, "array") for k in kinds):
        return np.array(l).tolist()
    out = []
    for x, k in zip(l, kinds):
        if k == "array":
            out.append(x.tolist())
        elif k == "int":
            out.append(int(x))
        elif k == "float":
            out.append(float(x))
        elif k == "str":
            out.append(str(x))
        elif k == "other":
            out.append(np.array(x).tolist())
        elif type(x) == list or type(x) == tuple:
            out.append(py_to_jsonlist(x))
        elif type(x) == dict:
            out.append(py_to_jsondict(x))
        else:
            out.append(x)
    return out


def py_to_jsondict(d):
    out = {}
    for k, v in d.items():
        t = str(type(v))
        if "numpy" in t and "array" in t:
            out[k] = v.tolist()
        elif "numpy" in t and "int" in t:
            out[k] = int(v)
        elif "numpy" in t and "float" in t:
            out[k] = float(v)
        elif "numpy" in t and "str" in t:
            out[k] = str(v)
        elif "numpy" in t:
            raise Exception(t + "不支持的类型")
        elif type(v) == list or type(v) == tuple:
            out[k] = py_to_jsonlist(v)
        elif type(v) == dict:
            out[k] = py_to_jsondict(v)
        else:
            out[k] = v
    return out


def _abstract_item(x):
    if type(x) == str:
        return "<char[%d]>" % len(x) if len(x) > 20 else x
    if type(x) == list:
        if len(x) > 20:
            t = str(type(x[0]))
            return "<" + t[t.find("'") + 1:-2] + "[" + str(len(x)) + "]>"
        return py_to_abstract_jsonlist(x)
    if type(x) == dict:
        return py_to_abstract_jsondict(x)
    if type(x) == np.ndarray:
        return "<numpy.ndarray" + str(x.shape) + ">"
    return x


def py_to_abstract_jsonlist(l):
    return [_abstract_item(l[i]) for i in range(len(l))]


def py_to_abstract_jsondict(d):
    return {k: _abstract_item(v) for k, v in d.items()}


class PyRecordByTime:
    MAX_LEN = 100

    def __init__(self, sec, num):
        self.queue = []
        self.sec = sec
        self.num = num

    def set(self):
        now = time.time()
        while self.queue and now - self.queue[0] > self.sec:
            del self.queue[0]
        self.queue.append(now)
        while len(self.queue) > self.MAX_LEN:
            del self.queue[0]
        return len(self.queue) >= self.num


class PyRecordByFrequency:
    def __init__(self, size, mean_over):
        self.data = np.zeros(size, dtype=np.float32)
        self.mean_over = mean_over
        self.index = 0
        self.size = size

    def set(self, n):
        self.data[self.index] = n
        self.index = self.index + 1
        self.index = self.index % self.size
        return self.data.mean() >= self.mean_over


def py_replace_filepath_suffix(filepath, new_suffix):
    name = os.path.split(filepath)[1]
    return filepath[:len(filepath) - len(name)] + name.split(".")[0] + "." + new_suffix


def py_search_filepaths(root_path, file_filter):
    out = []
    for parent, _dirs, files in os.walk(root_path):
        for file in files:
            p = os.path.join(parent, file)
            if file_filter(p):
                out.append(p)
    return out


# ---------------------------------------------------------------- timing

def _loop(fn, args):
    """A function running fn(*args) n times, the arguments spelt out so that
    the call is what a caller's code makes; None for the bare loop."""
    names = ", ".join("a%d" % i for i in range(len(args)))
    body = "pass" if fn is None else "fn(%s)" % names
    src = "def _f(_n, fn, %s):\n    for _ in range(_n):\n        %s\n" % (names or "_", body)
    ns = {}
    exec(compile(src, "<bench>", "exec"), ns)
    f = ns["_f"]
    return lambda n: f(n, fn, *(args or (None,)))


def per_op_ns(fns, args, loops, repeats=7):
    """Best ns per call of each of fns with args, their rounds alternating
    so that load from elsewhere falls on all alike, the bare loop taken off."""
    runs = [_loop(fn, args) for fn in fns] + [_loop(None, args)]
    for run in runs:
        run(max(1, loops // 10))
    best = [float("inf")] * len(runs)
    for _ in range(repeats):
        for i, run in enumerate(runs):
            t0 = time.perf_counter_ns()
            run(loops)
            best[i] = min(best[i], (time.perf_counter_ns() - t0) / loops)
    return [b - best[-1] for b in best[:-1]]


def payload(with_frame=False):
    rng = np.random.default_rng(0)
    dets = [{"score": np.float32(rng.random()), "class_id": np.int64(i % 80),
             "box": rng.random(4).astype(np.float32) * 640, "label": "person"}
            for i in range(200)]
    d = {"frame_id": 1234, "camera": "cam-01", "detections": dets}
    if with_frame:
        d["frame"] = np.zeros((480, 640, 3), np.uint8)
    return d


def make_tree(root):
    for i in range(100):
        sub = os.path.join(root, "d%02d" % (i // 10), "e%d" % (i % 10))
        os.makedirs(sub)
        for j in range(100):
            ext = ".jpg" if j % 2 else ".txt"
            with open(os.path.join(sub, "f%03d%s" % (j, ext)), "w"):
                pass


def main():
    rows = []
    d = payload()
    assert convert.to_jsonobj(d) == py_to_jsonobj(d)
    rows.append(("to_jsonobj(200 detections)", py_to_jsonobj, convert.to_jsonobj, (d,), 300))
    f = payload(with_frame=True)
    assert convert.to_abstract_jsondict(f) == py_to_abstract_jsondict(f)
    rows.append(("to_abstract_jsondict(+frame)", py_to_abstract_jsondict,
                 convert.to_abstract_jsondict, (f,), 2000))
    pt, ct = PyRecordByTime(1.0, 50), strategy.RecordByTime(1.0, 50)
    rows.append(("RecordByTime.set", pt.set, ct.set, (), 200000))
    pf, cf = PyRecordByFrequency(100, 0.5), strategy.RecordByFrequency(100, 0.5)
    rows.append(("RecordByFrequency(100).set", pf.set, cf.set, (1,), 100000))
    fp = "data/cam01/frame_000123.jpg"
    assert path.replace_filepath_suffix(fp, "png") == py_replace_filepath_suffix(fp, "png")
    rows.append(("replace_filepath_suffix", py_replace_filepath_suffix,
                 path.replace_filepath_suffix, (fp, "png"), 200000))
    with tempfile.TemporaryDirectory() as tmp:
        make_tree(tmp)
        jpg = lambda p: p.endswith(".jpg")  # noqa: E731
        assert path.search_filepaths(tmp, jpg) == py_search_filepaths(tmp, jpg)
        assert len(py_search_filepaths(tmp, lambda p: True)) == 10000
        rows.append(("search_filepaths(10,000 files)", py_search_filepaths,
                     path.search_filepaths, (tmp, jpg), 5))
        results = [(name, *per_op_ns((py, cc), args, n)) for name, py, cc, args, n in rows]
    print("%-32s %14s %14s %8s" % ("operation", "Python ns/op", "C++ ns/op", "ratio"))
    for name, py, cc in results:
        print("%-32s %14.0f %14.0f %7.1fx" % (name, py, cc, py / cc))


if __name__ == "__main__":
    main()
