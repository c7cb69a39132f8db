// ravu.utils.convert: JSON-able copies and shortened display copies of
// nested lists, tuples and dictionaries holding numpy values.
//
// numpy values are recognised by the text of their type only ("numpy",
// then "array", "int", "float", "str"); every other kind test is an exact
// type test.  The five functions reach each other through the module's
// attributes at every call, so a replaced attribute changes what the others
// do; while an attribute still holds the original function, the call stays
// in C++.
#include "rn.h"

#include <charconv>
#include <cstring>
#include <string_view>
#include <unordered_map>

#define PY_ARRAY_UNIQUE_SYMBOL ravu_convert_ARRAY_API
#include <numpy/arrayobject.h>

namespace {

// ---------------------------------------------------------------- type texts

enum Kind : unsigned char {
    OTHER,      // kept as it is
    SEQ,        // exact list or tuple
    MAP,        // exact dict
    NP_ARRAY,   // "numpy" and "array"
    NP_INT,     // "numpy" and "int"
    NP_FLOAT,   // "numpy" and "float"
    NP_STR,     // "numpy" and "str"
    NP_OTHER,   // "numpy" and none of the four
};

bool is_numpy(Kind k) { return k >= NP_ARRAY; }
bool is_np_scalar(Kind k) { return k >= NP_INT; }

// str(type): the type text.  New reference.
PyObject* type_text(PyTypeObject* tp) { return PyObject_Str(reinterpret_cast<PyObject*>(tp)); }

// The numpy rows of the tables, from a type text; OTHER when not numpy.
int text_kind(PyObject* text, Kind* out) {
    Py_ssize_t n;
    const char* s = PyUnicode_AsUTF8AndSize(text, &n);
    if (!s) return -1;
    std::string_view t(s, (size_t)n);
    if (t.find("numpy") == std::string_view::npos) *out = OTHER;
    else if (t.find("array") != std::string_view::npos) *out = NP_ARRAY;
    else if (t.find("int") != std::string_view::npos) *out = NP_INT;
    else if (t.find("float") != std::string_view::npos) *out = NP_FLOAT;
    else if (t.find("str") != std::string_view::npos) *out = NP_STR;
    else *out = NP_OTHER;
    return 0;
}

// What a static type's text says never changes, so it is worked out once:
// its numpy row and, for the list marker, its element name.
struct TypeInfo {
    Kind kind;
    PyObject* text;  // strong, kept for the process' life
    PyObject* name;  // element name for the list marker, made when first needed
};

// One of the four functions the others call through the module's
// attributes, and the C++ that serves the call while the attribute still
// holds the original.
using Impl = PyObject* (*)(PyObject*);
struct Peer {
    PyObject* name;
    PyObject* original;  // strong
    Impl impl;
};

// The module's state, made once at import.
struct State {
    PyObject* module;  // the functions reach each other through its attributes
    std::unordered_map<PyTypeObject*, TypeInfo> static_types;  // filled as types are met
    Peer jsonlist, jsondict, abstract_list, abstract_dict;
};
State st;

bool fixed_text(PyTypeObject* tp) {
    return !(tp->tp_flags & Py_TPFLAGS_HEAPTYPE) && Py_IS_TYPE(tp, &PyType_Type);
}

// The numpy row of the type of `obj`.
int numpy_kind(PyTypeObject* tp, Kind* out) {
    if (fixed_text(tp)) {
        auto it = st.static_types.find(tp);
        if (it != st.static_types.end()) {
            *out = it->second.kind;
            return 0;
        }
        PyObject* text = type_text(tp);
        if (!text || text_kind(text, out) < 0) {
            Py_XDECREF(text);
            return -1;
        }
        st.static_types.emplace(tp, TypeInfo{*out, text, nullptr});
        return 0;
    }
    rn::ptr text(type_text(tp));
    if (!text) return -1;
    return text_kind(text.get(), out);
}

// The row of a value: the numpy rows by type text, then the exact types.
int kind_of(PyObject* v, Kind* out) {
    PyTypeObject* tp = Py_TYPE(v);
    if (tp == &PyList_Type || tp == &PyTuple_Type) *out = SEQ;
    else if (tp == &PyDict_Type) *out = MAP;
    else if (tp == &PyUnicode_Type || tp == &PyLong_Type || tp == &PyFloat_Type ||
             tp == &PyBool_Type || v == Py_None)
        *out = OTHER;
    else return numpy_kind(tp, out);
    return 0;
}

// Exception(type text + "不支持的类型")
PyObject* refuse(PyTypeObject* tp) {
    rn::ptr text(type_text(tp));
    if (!text) return nullptr;
    rn::ptr message(PyUnicode_Concat(text.get(), RN_STR("不支持的类型")));
    if (!message) return nullptr;
    PyErr_SetObject(PyExc_Exception, message.get());
    return nullptr;
}

// ---------------------------------------------------------------- calls between the functions

// The module attribute `peer.name` applied to `arg`.
PyObject* call(const Peer& peer, PyObject* arg) {
    rn::ptr fn(rn::global(st.module, peer.name));
    if (!fn) return nullptr;
    if (fn.get() != peer.original) return PyObject_CallOneArg(fn.get(), arg);
    if (Py_EnterRecursiveCall("")) return nullptr;
    PyObject* r = peer.impl(arg);
    Py_LeaveRecursiveCall();
    return r;
}

// x.tolist()
PyObject* tolist(PyObject* x) {
    if (PyArray_CheckExact(x)) return PyArray_ToList(reinterpret_cast<PyArrayObject*>(x));
    return PyObject_CallMethodNoArgs(x, RN_ID(tolist));
}

// np.array(x).tolist()
PyObject* through_array(PyObject* x) {
    rn::ptr array(rn::global(st.module, {RN_ID(np), RN_ID(array)}));
    if (!array) return nullptr;
    rn::ptr arr(PyObject_CallOneArg(array.get(), x));
    if (!arr) return nullptr;
    return tolist(arr.get());
}

// ---------------------------------------------------------------- iteration helpers

// Calls f(key, value) for each item of d.items(), in order; the exact dict
// is walked directly, with the same guard against a change of size.
template <typename F>
bool for_items(PyObject* d, F f) {
    if (PyDict_CheckExact(d)) {
        const Py_ssize_t size = PyDict_GET_SIZE(d);
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        for (;;) {
            if (PyDict_GET_SIZE(d) != size) {
                PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
                return false;
            }
            if (!PyDict_Next(d, &pos, &k, &v)) return true;
            rn::ptr key(Py_NewRef(k)), value(Py_NewRef(v));
            if (!f(key.get(), value.get())) return false;
        }
    }
    rn::ptr items(PyObject_CallMethodNoArgs(d, RN_ID(items)));
    if (!items) return false;
    rn::ptr it(PyObject_GetIter(items.get()));
    if (!it) return false;
    while (rn::ptr item{PyIter_Next(it.get())}) {
        if (PyTuple_CheckExact(item.get()) && PyTuple_GET_SIZE(item.get()) == 2) {
            if (!f(PyTuple_GET_ITEM(item.get(), 0), PyTuple_GET_ITEM(item.get(), 1))) return false;
            continue;
        }
        // for key, value in d.items()
        rn::ptr pit(PyObject_GetIter(item.get()));
        if (!pit) {
            if (PyErr_ExceptionMatches(PyExc_TypeError)) {
                PyErr_Clear();
                PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                             Py_TYPE(item.get())->tp_name);
            }
            return false;
        }
        rn::ptr parts[2];
        for (int i = 0; i < 2; ++i) {
            parts[i] = PyIter_Next(pit.get());
            if (!parts[i]) {
                if (!PyErr_Occurred())
                    PyErr_Format(PyExc_ValueError,
                                 "not enough values to unpack (expected 2, got %d)", i);
                return false;
            }
        }
        rn::ptr extra(PyIter_Next(pit.get()));
        if (extra) {
            PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
            return false;
        }
        if (PyErr_Occurred()) return false;
        if (!f(parts[0].get(), parts[1].get())) return false;
    }
    return !PyErr_Occurred();
}

// ---------------------------------------------------------------- conversion

// One value of to_jsondict, classified by its own type.
PyObject* convert_value(PyObject* v) {
    Kind k;
    if (kind_of(v, &k) < 0) return nullptr;
    switch (k) {
    case NP_ARRAY: return tolist(v);
    case NP_INT: return PyNumber_Long(v);
    case NP_FLOAT: return PyNumber_Float(v);
    case NP_STR: return PyObject_Str(v);
    case NP_OTHER: return refuse(Py_TYPE(v));
    case SEQ: return call(st.jsonlist, v);
    case MAP: return call(st.jsondict, v);
    case OTHER: break;
    }
    return Py_NewRef(v);
}

PyObject* jsondict_impl(PyObject* d) {
    rn::ptr out(PyDict_New());
    if (!out) return nullptr;
    bool ok = for_items(d, [&](PyObject* key, PyObject* value) {
        rn::ptr v(convert_value(value));
        return v && PyDict_SetItem(out.get(), key, v.get()) == 0;
    });
    return ok ? out.release() : nullptr;
}

// Each element is classified by itself: a list that starts with a plain
// value may still hold arrays, and one that starts with a numpy number may
// hold texts.  A list made only of numpy scalars goes through one numpy
// array and back, as a whole.
PyObject* jsonlist_impl(PyObject* l) {
    Py_ssize_t n = PyObject_Size(l);
    if (n < 0) return nullptr;
    if (n == 0) return PyList_New(0);
    rn::ptr seq(PySequence_Fast(l, "argument must be iterable"));
    if (!seq) return nullptr;
    bool all_scalars = PySequence_Fast_GET_SIZE(seq.get()) > 0;
    for (Py_ssize_t i = 0; all_scalars && i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
        Kind k;
        if (kind_of(PySequence_Fast_GET_ITEM(seq.get(), i), &k) < 0) return nullptr;
        all_scalars = is_np_scalar(k);
    }
    if (all_scalars) return through_array(l);
    rn::ptr out(PyList_New(0));
    if (!out) return nullptr;
    // Re-read the size at each step, as list iteration does.
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
        rn::ptr x(Py_NewRef(PySequence_Fast_GET_ITEM(seq.get(), i)));
        Kind k;
        if (kind_of(x.get(), &k) < 0) return nullptr;
        rn::ptr v;
        switch (k) {
        case NP_ARRAY: v = tolist(x.get()); break;
        case NP_INT: v = PyNumber_Long(x.get()); break;
        case NP_FLOAT: v = PyNumber_Float(x.get()); break;
        case NP_STR: v = PyObject_Str(x.get()); break;
        case NP_OTHER: v = through_array(x.get()); break;
        case SEQ: v = call(st.jsonlist, x.get()); break;
        case MAP: v = call(st.jsondict, x.get()); break;
        case OTHER: v = std::move(x); break;
        }
        if (!v || PyList_Append(out.get(), v.get()) < 0) return nullptr;
    }
    return out.release();
}

const rn::Signature to_jsonobj_sig(
    "to_jsonobj", "data, /",
    "Return a JSON-able copy of a list, a dict or a numpy array.\n"
    "\n"
    "Arrays become nested lists, numpy scalars plain numbers and texts,\n"
    "throughout the nesting; the input is not changed.  Anything else, a\n"
    "numpy array of no dimensions included, raises Exception('<type>不支持的类型').");

PyObject* to_jsonobj(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* data = to_jsonobj_sig.single(args, nargs, kwnames);
    if (!data) return nullptr;
    PyTypeObject* given = Py_TYPE(data);
    rn::ptr value(Py_NewRef(data));
    if (given != &PyList_Type && given != &PyDict_Type) {
        Kind k;
        if (numpy_kind(given, &k) < 0) return nullptr;
        if (is_numpy(k)) {
            if (k != NP_ARRAY) return refuse(given);
            value = tolist(data);
            if (!value) return nullptr;
        }
    }
    if (PyList_CheckExact(value.get())) return call(st.jsonlist, value.get());
    if (PyDict_CheckExact(value.get())) return call(st.jsondict, value.get());
    return refuse(given);
}

const rn::Signature to_jsonlist_sig(
    "to_jsonlist", "l, /",
    "Return a JSON-able list copy of a list or tuple.\n"
    "\n"
    "The first element decides the treatment of all: arrays give tolist(),\n"
    "numpy scalars go through one np.array(l), lists and tuples and dicts are\n"
    "converted in turn, anything else is kept as it is.");

PyObject* to_jsonlist(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* l = to_jsonlist_sig.single(args, nargs, kwnames);
    return l ? jsonlist_impl(l) : nullptr;
}

const rn::Signature to_jsondict_sig(
    "to_jsondict", "d, /",
    "Return a JSON-able copy of a mapping: same keys, same order, each value\n"
    "converted for itself.  A numpy value of another kind (a numpy bool)\n"
    "raises Exception('<type>不支持的类型').");

PyObject* to_jsondict(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* d = to_jsondict_sig.single(args, nargs, kwnames);
    return d ? jsondict_impl(d) : nullptr;
}

// ---------------------------------------------------------------- abstract views

constexpr Py_ssize_t kKeepUpTo = 20;  // longer texts and lists become markers

// The element name of the list marker: the type text from after its first
// "'" up to, not including, its last two characters.
PyObject* cut_element_name(PyObject* text) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    Py_ssize_t start = n ? PyUnicode_FindChar(text, '\'', 0, n, 1) : -1;
    if (start == -2) return nullptr;
    start += 1;
    Py_ssize_t end = n >= 2 ? n - 2 : 0;
    if (end < start) end = start;
    return PyUnicode_Substring(text, start, end);
}

PyObject* element_name(PyObject* first) {
    PyTypeObject* tp = Py_TYPE(first);
    if (fixed_text(tp)) {
        Kind k;
        if (numpy_kind(tp, &k) < 0) return nullptr;
        TypeInfo& info = st.static_types.find(tp)->second;
        if (!info.name) info.name = cut_element_name(info.text);
        return Py_XNewRef(info.name);
    }
    rn::ptr text(type_text(tp));
    if (!text) return nullptr;
    return cut_element_name(text.get());
}

// Small text buffer for the markers.
struct Text {
    char buf[64 + NPY_MAXDIMS * 24];
    char* end = buf;
    void put(const char* s, size_t n) {
        std::memcpy(end, s, n);
        end += n;
    }
    void put(const char* s) { put(s, std::strlen(s)); }
    void put(long long v) { end = std::to_chars(end, buf + sizeof buf, v).ptr; }
    PyObject* str() const { return PyUnicode_FromStringAndSize(buf, end - buf); }
};

// "<" + name + "[" + n + "]>"
PyObject* list_marker(PyObject* name, Py_ssize_t n) {
    if (PyUnicode_IS_ASCII(name) && PyUnicode_GET_LENGTH(name) < 200) {
        Text t;
        t.put("<", 1);
        t.put((const char*)PyUnicode_DATA(name), PyUnicode_GET_LENGTH(name));
        t.put("[", 1);
        t.put((long long)n);
        t.put("]>", 2);
        return t.str();
    }
    return PyUnicode_FromFormat("<%U[%zd]>", name, n);
}

// "<numpy.ndarray" + str(shape) + ">"
PyObject* array_marker(PyObject* x) {
    if (PyArray_Check(x)) {
        PyArrayObject* arr = reinterpret_cast<PyArrayObject*>(x);
        const int nd = PyArray_NDIM(arr);
        Text t;
        t.put("<numpy.ndarray(");
        for (int i = 0; i < nd; ++i) {
            if (i) t.put(", ", 2);
            t.put((long long)PyArray_DIM(arr, i));
        }
        t.put(nd == 1 ? ",)>" : ")>");
        return t.str();
    }
    rn::ptr shape(PyObject_GetAttr(x, RN_ID(shape)));
    if (!shape) return nullptr;
    return PyUnicode_FromFormat("<numpy.ndarray%S>", shape.get());
}

// np.ndarray, looked up when first needed within one call.
struct ArrayClass {
    rn::ptr cls;
    PyObject* get() {
        if (!cls) cls = rn::global(st.module, {RN_ID(np), RN_ID(ndarray)});
        return cls.get();
    }
};

// One item of an abstract view, by its own exact type.
PyObject* abstract_item(PyObject* x, ArrayClass& ndarray) {
    PyTypeObject* tp = Py_TYPE(x);
    if (tp == &PyUnicode_Type) {
        const Py_ssize_t n = PyUnicode_GET_LENGTH(x);
        if (n > kKeepUpTo) {
            Text t;
            t.put("<char[");
            t.put((long long)n);
            t.put("]>", 2);
            return t.str();
        }
        return Py_NewRef(x);
    }
    if (tp == &PyList_Type) {
        const Py_ssize_t n = PyList_GET_SIZE(x);
        if (n > kKeepUpTo) {
            rn::ptr name(element_name(PyList_GET_ITEM(x, 0)));
            if (!name) return nullptr;
            return list_marker(name.get(), n);
        }
        return call(st.abstract_list, x);
    }
    if (tp == &PyDict_Type) return call(st.abstract_dict, x);
    PyObject* cls = ndarray.get();
    if (!cls) return nullptr;
    int same;
    if (Py_IS_TYPE(cls, &PyType_Type) && Py_IS_TYPE(tp, &PyType_Type)) {
        same = reinterpret_cast<PyObject*>(tp) == cls;
    } else {
        same = PyObject_RichCompareBool(reinterpret_cast<PyObject*>(tp), cls, Py_EQ);
        if (same < 0) return nullptr;
    }
    if (same) return array_marker(x);
    return Py_NewRef(x);
}

// Every element by its own exact type (a text among lists stays a text).
PyObject* abstract_list_impl(PyObject* l) {
    Py_ssize_t n = PyObject_Size(l);
    if (n < 0) return nullptr;
    rn::ptr out(PyList_New(0));
    if (!out) return nullptr;
    ArrayClass ndarray;
    for (Py_ssize_t i = 0; i < n; ++i) {
        rn::ptr x;
        if (PyList_CheckExact(l)) {
            if (i >= PyList_GET_SIZE(l)) return rn::raise(PyExc_IndexError, "list index out of range");
            x.set(PyList_GET_ITEM(l, i), true);
        } else if (PyTuple_CheckExact(l)) {
            x.set(PyTuple_GET_ITEM(l, i), true);
        } else {
            rn::ptr index(PyLong_FromSsize_t(i));
            if (!index) return nullptr;
            x = PyObject_GetItem(l, index.get());
            if (!x) return nullptr;
        }
        rn::ptr v(abstract_item(x.get(), ndarray));
        if (!v || PyList_Append(out.get(), v.get()) < 0) return nullptr;
    }
    return out.release();
}

PyObject* abstract_dict_impl(PyObject* d) {
    rn::ptr out(PyDict_New());
    if (!out) return nullptr;
    ArrayClass ndarray;
    bool ok = for_items(d, [&](PyObject* key, PyObject* value) {
        rn::ptr v(abstract_item(value, ndarray));
        return v && PyDict_SetItem(out.get(), key, v.get()) == 0;
    });
    return ok ? out.release() : nullptr;
}

const rn::Signature to_abstract_jsonlist_sig(
    "to_abstract_jsonlist", "l, /",
    "Return a shortened copy of a sequence for display.\n"
    "\n"
    "Texts and lists longer than 20 become '<char[N]>' and '<type[N]>',\n"
    "every numpy array '<numpy.ndarray(shape)>'; dicts and lists inside are\n"
    "shortened the same way.");

PyObject* to_abstract_jsonlist(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
    PyObject* l = to_abstract_jsonlist_sig.single(args, nargs, kwnames);
    return l ? abstract_list_impl(l) : nullptr;
}

const rn::Signature to_abstract_jsondict_sig(
    "to_abstract_jsondict", "d, /",
    "Return a shortened copy of a mapping for display, as\n"
    "to_abstract_jsonlist does for sequences: long texts and lists and every\n"
    "numpy array are replaced by markers of their length or shape.");

PyObject* to_abstract_jsondict(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
    PyObject* d = to_abstract_jsondict_sig.single(args, nargs, kwnames);
    return d ? abstract_dict_impl(d) : nullptr;
}

// ---------------------------------------------------------------- module

PyMethodDef methods[] = {to_jsonobj_sig.def(to_jsonobj),
                         to_jsonlist_sig.def(to_jsonlist),
                         to_jsondict_sig.def(to_jsondict),
                         to_abstract_jsonlist_sig.def(to_abstract_jsonlist),
                         to_abstract_jsondict_sig.def(to_abstract_jsondict),
                         {}};

PyModuleDef moduledef = {
    PyModuleDef_HEAD_INIT, "ravu.utils.convert",
    "JSON-able and abstract display copies of nested data holding numpy values.\n\n"
    "to_jsonobj(data), to_jsonlist(l), to_jsondict(d) -- copies a JSON encoder\n"
    "    accepts: arrays as nested lists, numpy scalars as plain values.\n"
    "to_abstract_jsonlist(l), to_abstract_jsondict(d) -- display copies with\n"
    "    long texts and lists and every array replaced by short markers.\n\n"
    "Each takes one argument, by position only, and never changes it.",
    -1, methods};

int bind_peer(PyObject* m, Peer* peer, const char* name, Impl impl) {
    peer->name = PyUnicode_InternFromString(name);
    peer->original = PyObject_GetAttrString(m, name);
    peer->impl = impl;
    return peer->name && peer->original ? 0 : -1;
}

int init(PyObject* m) {
    if (rn::bind_import(m, nullptr, "numpy", "np") < 0) return -1;
    if (bind_peer(m, &st.jsonlist, "to_jsonlist", jsonlist_impl) < 0 ||
        bind_peer(m, &st.jsondict, "to_jsondict", jsondict_impl) < 0 ||
        bind_peer(m, &st.abstract_list, "to_abstract_jsonlist", abstract_list_impl) < 0 ||
        bind_peer(m, &st.abstract_dict, "to_abstract_jsondict", abstract_dict_impl) < 0)
        return -1;
    return rn::set_all(m, {"to_jsonobj", "to_abstract_jsondict", "to_abstract_jsonlist"});
}

}  // namespace

PyMODINIT_FUNC PyInit_convert() {
    import_array();
    return rn::create_module(&moduledef, init, &st.module);
}
