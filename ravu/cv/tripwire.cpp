// ravu.cv.tripwire: Tripwire, the unbounded straight line through two
// points, with side tests, the on-line test, distances, projections and
// the vector measures of its Direction.
//
// F(x, y) = (A*x + B*y) + C is the line function; its sign tells the side.
// `_F` is a bound builtin method of the object, so every Tripwire refers to
// itself and is reclaimed by the cycle collector (the instance dict takes
// part in it).  The side tests, `has` and `distance` call whatever `_F`
// holds and compute it inline only while it is the object's own line
// function; the arithmetic is the interpreter's (rn_pynum.h).
#include "rn.h"

namespace {

using rn::pynum::Num;
namespace num = rn::num;
namespace pynum = rn::pynum;

PyObject* g_module = nullptr;
PyTypeObject* g_type = nullptr;
PyObject* g_module_name = nullptr;
// What the module bound at import, computed here while the module
// globals still name them.
PyObject* g_sqrt = nullptr;      // math.sqrt
PyObject* g_sign = nullptr;      // numpy.sign
PyObject* g_np_int64 = nullptr;  // the scalar types numpy.sign gives for exact ints and floats
PyObject* g_np_float64 = nullptr;
// The class's own side tests, to tell them from replacements.
PyObject* g_own_horizontal = nullptr;
PyObject* g_own_vertical = nullptr;

PyObject* g_thickness_kwnames = nullptr;  // ("thickness",)
PyObject* g_dtype_kwnames = nullptr;      // ("dtype",)

bool attr(Num& out, PyObject* self, PyObject* name) {
    return pynum::attr(out, self, name, g_type);
}

PyObject* get(PyObject* self, PyObject* name) {
    return rn::get_attr(self, name, g_type);
}

bool set(PyObject* self, PyObject* name, Num& v) {
    PyObject* o = pynum::obj(v);
    return o && rn::set_attr(self, name, o, g_type) == 0;
}

// ---------------------------------------------------------------- line function

// (self._A * x + self._B * y) + self._C
bool line_eval(Num& out, PyObject* self, Num& x, Num& y) {
    Num a, ax, b, by, s, c;
    return attr(a, self, RN_ID(_A)) && pynum::mul(ax, a, x) && attr(b, self, RN_ID(_B)) &&
           pynum::mul(by, b, y) &&
           pynum::add(s, ax, by) && attr(c, self, RN_ID(_C)) && pynum::add(out, s, c);
}

const rn::Signature line_sig(
    "Tripwire._F", "x, y",
    "The line function (A*x + B*y) + C of its Tripwire, reading _A, _B and _C\n"
    "at each call: 0 on the line, its sign tells the side.",
    rn::METHOD);

PyObject* line_function(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    PyObject* a[2];
    if (!line_sig.parse(args, nargs, kwnames, a)) return nullptr;
    Num x = pynum::from(a[0]), y = pynum::from(a[1]), out;
    return line_eval(out, self, x, y) ? pynum::take(out) : nullptr;
}

PyMethodDef line_def = line_sig.def(line_function);

// self._F(x, y)
bool line_value(Num& out, PyObject* self, Num& x, Num& y) {
    rn::ptr f(get(self, RN_ID(_F)));
    if (!f) return false;
    if (rn::is_stock_builtin(f.get(), self, (PyCFunction)(void (*)(void))line_function))
        return line_eval(out, self, x, y);
    PyObject* xo = pynum::obj(x);
    PyObject* yo = xo ? pynum::obj(y) : nullptr;
    if (!yo) return false;
    PyObject* args[2] = {xo, yo};
    return pynum::adopt(out, PyObject_Vectorcall(f.get(), args, 2, nullptr));
}

// ---------------------------------------------------------------- constructor

const rn::Signature init_sig(
    "Tripwire.__init__", "x1, y1, x2, y2",
    "The straight line through (x1, y1) and (x2, y2), unbounded both ways.\n\n"
    "Keeps the points as passed (_x1, _y1, _x2, _y2), the coefficients _A, _B,\n"
    "_C of the line function _F with their numpy signs _signA and _signB, the\n"
    "length _D, the float vectors _VA, _VB, _V and the Direction _direction from\n"
    "the first point to the second, all in the instance dict and never\n"
    "recomputed.  Equal points raise Exception('same point').",
    rn::INIT);

// np.sign(self.<name>)
PyObject* sign_of_attr(PyObject* self, PyObject* name) {
    rn::ptr v(get(self, name));
    rn::ptr sign(v ? rn::global(g_module, {RN_ID(np), RN_ID(sign)}) : nullptr);
    return sign ? PyObject_CallOneArg(sign.get(), v.get()) : nullptr;
}

// np.array([a, b], dtype=float)
PyObject* float_pair(PyObject* a, PyObject* b) {
    rn::ptr array(rn::global(g_module, {RN_ID(np), RN_ID(array)}));
    if (!array) return nullptr;
    rn::ptr list(Py_BuildValue("[OO]", a, b));
    if (!list) return nullptr;
    PyObject* args[3] = {nullptr, list.get(), (PyObject*)&PyFloat_Type};
    return PyObject_Vectorcall(array.get(), args + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                               g_dtype_kwnames);
}

bool set_new(PyObject* self, PyObject* name, PyObject* v) {
    rn::ptr keep(v);
    return v && rn::set_attr(self, name, v, g_type) == 0;
}

int tripwire_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* a[4];
    rn::ptr keep;
    if (!init_sig.parse_tuple(args, kwargs, a, keep)) return -1;
    Num x1 = pynum::from(a[0]), y1 = pynum::from(a[1]), x2 = pynum::from(a[2]),
        y2 = pynum::from(a[3]);
    int same = pynum::compare(x1, x2, Py_EQ);
    if (same > 0) same = pynum::compare(y1, y2, Py_EQ);
    if (same < 0) return -1;
    if (same) {
        PyErr_SetString(PyExc_Exception, "same point");
        return -1;
    }
    PyObject* names[4] = {RN_ID(_x1), RN_ID(_y1), RN_ID(_x2), RN_ID(_y2)};
    for (int i = 0; i < 4; ++i)
        if (rn::set_attr(self, names[i], a[i], g_type) < 0) return -1;
    Num A, B, p, q, C;
    if (!pynum::sub(A, y1, y2) || !set(self, RN_ID(_A), A)) return -1;
    if (!set_new(self, RN_ID(_signA), sign_of_attr(self, RN_ID(_A)))) return -1;
    if (!pynum::sub(B, x2, x1) || !set(self, RN_ID(_B), B)) return -1;
    if (!pynum::mul(p, x1, y2) || !pynum::mul(q, x2, y1) || !pynum::sub(C, p, q) ||
        !set(self, RN_ID(_C), C))
        return -1;
    if (!set_new(self, RN_ID(_signB), sign_of_attr(self, RN_ID(_B)))) return -1;
    Num a1, a2, b1, b2, aa, bb, s, D;
    if (!attr(a1, self, RN_ID(_A)) || !attr(a2, self, RN_ID(_A)) || !pynum::mul(aa, a1, a2) ||
        !attr(b1, self, RN_ID(_B)) || !attr(b2, self, RN_ID(_B)) || !pynum::mul(bb, b1, b2) ||
        !pynum::add(s, aa, bb) || !pynum::math_call(D, g_module, RN_ID(sqrt), g_sqrt, num::sqrt, s) ||
        !set(self, RN_ID(_D), D))
        return -1;
    if (!set_new(self, RN_ID(_F), PyCFunction_NewEx(&line_def, self, g_module_name))) return -1;
    if (!set_new(self, RN_ID(_VA), float_pair(a[0], a[1])) ||
        !set_new(self, RN_ID(_VB), float_pair(a[2], a[3])))
        return -1;
    rn::ptr va(get(self, RN_ID(_VA)));
    rn::ptr vb(va ? get(self, RN_ID(_VB)) : nullptr);
    if (!vb || !set_new(self, RN_ID(_V), PyNumber_Subtract(vb.get(), va.get()))) return -1;
    rn::ptr direction(rn::global(g_module, RN_ID(Direction)));
    if (!direction) return -1;
    return set_new(self, RN_ID(_direction), PyObject_Vectorcall(direction.get(), a, 4, nullptr))
               ? 0
               : -1;
}

// ---------------------------------------------------------------- side tests

// int(self.<sign_name> * np.sign(self._F(x, y)))
PyObject* side(PyObject* self, PyObject* sign_name, Num& x, Num& y) {
    rn::ptr s(get(self, sign_name));
    if (!s) return nullptr;
    bool own_sign;
    rn::ptr sign(rn::global_stock(g_module, RN_ID(np), RN_ID(sign), g_sign, &own_sign));
    if (!sign) return nullptr;
    Num f;
    if (!line_value(f, self, x, y)) return nullptr;
    // numpy.sign's value in C: 103 ns against 613 ns calling it and numpy's scalar
    // product (bench_direction_tripwire, Tripwire.hor_or_ver_position).
    const num::Val sg = own_sign ? num::sign(f.v) : num::Val();
    if (num::known(sg)) {
        // numpy scalar arithmetic on the two signs: int64 times int64 stays
        // an integer, anything with a float64 is a double product.
        PyObject* st = (PyObject*)Py_TYPE(s.get());
        num::Val sv;
        if (st == g_np_int64) {
            const long long v = PyLong_AsLongLong(s.get());
            if (v == -1 && PyErr_Occurred()) return nullptr;
            sv = num::of_int(v);
        } else if (st == g_np_float64) {
            sv = num::of_float(PyFloat_AsDouble(s.get()));
        }
        num::Val r;
        if (sv.k == num::Kind::i && sg.k == num::Kind::i)
            r = num::mul(sv, sg);
        else if (num::known(sv))
            r = num::to_int(num::of_float(num::as_double(sv) * num::as_double(sg)));
        if (num::known(r)) return PyLong_FromLongLong(r.i);
    }
    PyObject* fo = pynum::obj(f);
    if (!fo) return nullptr;
    rn::ptr sgn(PyObject_CallOneArg(sign.get(), fo));
    rn::ptr prod(sgn ? PyNumber_Multiply(s.get(), sgn.get()) : nullptr);
    return prod ? PyNumber_Long(prod.get()) : nullptr;
}

const rn::Signature horizontal_sig(
    "Tripwire.horizontal_position", "x, y",
    "Left or right of the line: 1 when the point (x, y) lies right of it (a\n"
    "larger column than the line in its row), -1 left, 0 on it; 0 everywhere\n"
    "for a horizontal line.  Whichever end point came first.",
    rn::METHOD);

PyObject* horizontal_position(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    PyObject* a[2];
    if (!horizontal_sig.parse(args, nargs, kwnames, a)) return nullptr;
    Num x = pynum::from(a[0]), y = pynum::from(a[1]);
    return side(self, RN_ID(_signA), x, y);
}

const rn::Signature vertical_sig(
    "Tripwire.vertical_position", "x, y",
    "Above or below the line: 1 when the point (x, y) lies below it on the\n"
    "frame (a larger row), -1 above, 0 on it; 0 everywhere for a vertical line.",
    rn::METHOD);

PyObject* vertical_position(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
    PyObject* a[2];
    if (!vertical_sig.parse(args, nargs, kwnames, a)) return nullptr;
    Num x = pynum::from(a[0]), y = pynum::from(a[1]);
    return side(self, RN_ID(_signB), x, y);
}

const rn::Signature hor_or_ver_sig(
    "Tripwire.hor_or_ver_position", "x, y",
    "horizontal_position(x, y) for a line whose end points lie on different\n"
    "rows (_y1 != _y2), however flat; vertical_position(x, y) for a\n"
    "horizontal line.",
    rn::METHOD);

PyObject* hor_or_ver_position(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    PyObject* a[2];
    if (!hor_or_ver_sig.parse(args, nargs, kwnames, a)) return nullptr;
    Num y1, y2;
    if (!attr(y1, self, RN_ID(_y1)) || !attr(y2, self, RN_ID(_y2))) return nullptr;
    const int differ = pynum::compare(y1, y2, Py_NE);
    if (differ < 0) return nullptr;
    PyObject* name = differ ? RN_ID(horizontal_position) : RN_ID(vertical_position);
    PyObject* own = differ ? g_own_horizontal : g_own_vertical;
    if (rn::is_stock_method(self, g_type, name, own)) {
        Num x = pynum::from(a[0]), y = pynum::from(a[1]);
        return side(self, differ ? RN_ID(_signA) : RN_ID(_signB), x, y);
    }
    if (PyErr_Occurred()) return nullptr;
    PyObject* call[3] = {self, a[0], a[1]};
    return PyObject_VectorcallMethod(name, call, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

// ---------------------------------------------------------------- measures

// self._direction.<name>(x, y)
PyObject* direction_call(PyObject* self, PyObject* name, PyObject* const* a) {
    rn::ptr d(get(self, RN_ID(_direction)));
    if (!d) return nullptr;
    PyObject* call[3] = {d.get(), a[0], a[1]};
    return PyObject_VectorcallMethod(name, call, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

const rn::Signature angle_sig(
    "Tripwire.angle", "x, y",
    "The angle in degrees, 0 to 180, between the line's direction (first end\n"
    "point towards the second) and the vector (x, y): _direction.angle.",
    rn::METHOD);

PyObject* angle(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[2];
    if (!angle_sig.parse(args, nargs, kwnames, a)) return nullptr;
    return direction_call(self, RN_ID(angle), a);
}

const rn::Signature hpl_sig(
    "Tripwire.horizontal_projection_len", "x, y",
    "The signed length of the vector (x, y) along the line's direction:\n"
    "_direction.horizontal_projection_len.",
    rn::METHOD);

PyObject* horizontal_projection_len(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
    PyObject* a[2];
    if (!hpl_sig.parse(args, nargs, kwnames, a)) return nullptr;
    return direction_call(self, RN_ID(horizontal_projection_len), a);
}

const rn::Signature vpl_sig(
    "Tripwire.vertical_projection_len", "x, y",
    "The length, never negative, of the vector (x, y) across the line's\n"
    "direction: _direction.vertical_projection_len.",
    rn::METHOD);

PyObject* vertical_projection_len(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
    PyObject* a[2];
    if (!vpl_sig.parse(args, nargs, kwnames, a)) return nullptr;
    return direction_call(self, RN_ID(vertical_projection_len), a);
}

const rn::Signature has_sig(
    "Tripwire.has", "x, y",
    "Whether the point (x, y) lies exactly on the line: _F(x, y) == 0, without\n"
    "tolerance.  True or False for ints and floats (exact for ints of any\n"
    "size), a numpy bool for numpy scalars.",
    rn::METHOD);

PyObject* has(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[2];
    if (!has_sig.parse(args, nargs, kwnames, a)) return nullptr;
    Num x = pynum::from(a[0]), y = pynum::from(a[1]), f;
    return line_value(f, self, x, y) ? pynum::equals_zero(f) : nullptr;
}

const rn::Signature distance_sig(
    "Tripwire.distance", "x, y",
    "The perpendicular distance in pixels of the point (x, y) from the\n"
    "unbounded line: abs(_F(x, y)) / _D.",
    rn::METHOD);

PyObject* distance(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[2];
    if (!distance_sig.parse(args, nargs, kwnames, a)) return nullptr;
    Num x = pynum::from(a[0]), y = pynum::from(a[1]), f, af, d, out;
    if (!line_value(f, self, x, y) || !pynum::abs(af, f) || !attr(d, self, RN_ID(_D)) ||
        !pynum::truediv(out, af, d))
        return nullptr;
    return pynum::take(out);
}

const rn::Signature projection_sig(
    "Tripwire.get_projection", "x, y",
    "The point of the unbounded line nearest to (x, y), as a new float64\n"
    "array [px, py]; points beyond an end point project beyond it.",
    rn::METHOD);

// _VA + _V * (np.dot(_V, p - _VA) / np.dot(_V, _V)), p = np.array([x, y], dtype=float)
PyObject* get_projection(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
    PyObject* a[2];
    if (!projection_sig.parse(args, nargs, kwnames, a)) return nullptr;
    rn::ptr p(float_pair(a[0], a[1]));
    if (!p) return nullptr;
    rn::ptr v(get(self, RN_ID(_V)));
    rn::ptr va(v ? get(self, RN_ID(_VA)) : nullptr);
    rn::ptr rel(va ? PyNumber_Subtract(p.get(), va.get()) : nullptr);
    rn::ptr dot(rel ? rn::global(g_module, {RN_ID(np), RN_ID(dot)}) : nullptr);
    if (!dot) return nullptr;
    rn::ptr num(PyObject_CallFunctionObjArgs(dot.get(), v.get(), rel.get(), nullptr));
    if (!num) return nullptr;
    rn::ptr v2(get(self, RN_ID(_V)));
    rn::ptr v3(v2 ? get(self, RN_ID(_V)) : nullptr);
    rn::ptr dot2(v3 ? rn::global(g_module, {RN_ID(np), RN_ID(dot)}) : nullptr);
    rn::ptr den(dot2 ? PyObject_CallFunctionObjArgs(dot2.get(), v2.get(), v3.get(), nullptr)
                     : nullptr);
    rn::ptr t(den ? PyNumber_TrueDivide(num.get(), den.get()) : nullptr);
    if (!t) return nullptr;
    rn::ptr base(get(self, RN_ID(_VA)));
    rn::ptr dir(base ? get(self, RN_ID(_V)) : nullptr);
    rn::ptr step(dir ? PyNumber_Multiply(dir.get(), t.get()) : nullptr);
    return step ? PyNumber_Add(base.get(), step.get()) : nullptr;
}

const rn::Signature draw_sig(
    "Tripwire.draw", "image, bgr_color=(0, 97, 255), thickness=None",
    "Draws the segment between the two end points (truncated to integers) on\n"
    "image, in place, through the module's draw_line; thickness None lets\n"
    "draw_line derive the width from the image size.  Returns None.",
    rn::METHOD);

PyObject* draw(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[3];
    if (!draw_sig.parse(args, nargs, kwnames, a)) return nullptr;
    rn::ptr fn(rn::global(g_module, RN_ID(draw_line)));
    if (!fn) return nullptr;
    PyObject* names[4] = {RN_ID(_x1), RN_ID(_y1), RN_ID(_x2), RN_ID(_y2)};
    rn::ptr c[4];
    for (int i = 0; i < 4; ++i) {
        Num v, iv;
        if (!attr(v, self, names[i]) || !pynum::to_int(iv, v)) return nullptr;
        c[i] = pynum::take(iv);
        if (!c[i]) return nullptr;
    }
    PyObject* call[7] = {a[0], c[0].get(), c[1].get(), c[2].get(), c[3].get(), a[1], a[2]};
    rn::ptr r(PyObject_Vectorcall(fn.get(), call, 6, g_thickness_kwnames));
    if (!r) return nullptr;
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------- len

// The getter of the read-only property `len` (a real property object, so
// that it reads and refuses assignment as one).
PyObject* len_fget(PyObject* self, PyObject*) { return get(self, RN_ID(_D)); }

PyMethodDef len_def = {"len", len_fget, METH_NOARGS,
                       "The distance between the two end points: _D (read-only)."};

// ---------------------------------------------------------------- type and module

PyMethodDef tripwire_methods[] = {horizontal_sig.def(horizontal_position),
                                  vertical_sig.def(vertical_position),
                                  hor_or_ver_sig.def(hor_or_ver_position),
                                  angle_sig.def(angle),
                                  hpl_sig.def(horizontal_projection_len),
                                  vpl_sig.def(vertical_projection_len),
                                  has_sig.def(has),
                                  distance_sig.def(distance),
                                  projection_sig.def(get_projection),
                                  draw_sig.def(draw),
                                  {nullptr, nullptr, 0, nullptr}};

PyType_Slot tripwire_slots[] = {{Py_tp_doc, (void*)init_sig.doc()},
                                {Py_tp_init, (void*)tripwire_init},
                                {Py_tp_methods, tripwire_methods},
                                RN_PLAIN_SLOTS,
                                {0, nullptr}};

PyType_Spec tripwire_spec = {"ravu.cv.tripwire.Tripwire", sizeof(rn::PlainObject), 0,
                             Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
                             tripwire_slots};

PyModuleDef moduledef = {PyModuleDef_HEAD_INIT, "ravu.cv.tripwire",
                         "Tripwire: the straight line through two points.\n\n"
                         "Tripwire(x1, y1, x2, y2) answers side tests, distances, projections\n"
                         "and angles of points and vectors, and draws itself.",
                         -1, nullptr};

int init(PyObject* m) {
    if (rn::bind_import(m, nullptr, "math") < 0) return -1;
    g_sqrt = rn::global(m, {RN_ID(math), RN_ID(sqrt)});
    if (!g_sqrt) return -1;
    if (rn::bind_imports(m, {{"ravu.cv.image", "draw_line"}, {nullptr, "numpy", "np"}}) < 0)
        return -1;
    g_sign = rn::global(m, {RN_ID(np), RN_ID(sign)});
    g_np_int64 = g_sign ? rn::global(m, {RN_ID(np), RN_ID(int64)}) : nullptr;
    g_np_float64 = g_np_int64 ? rn::global(m, {RN_ID(np), RN_ID(float64)}) : nullptr;
    if (!g_sign || !g_np_int64 || !g_np_float64) return -1;
    if (rn::bind_import(m, "ravu.cv.direction", "Direction") < 0) return -1;
    g_module_name = PyUnicode_FromString("ravu.cv.tripwire");
    g_thickness_kwnames = Py_BuildValue("(s)", "thickness");
    g_dtype_kwnames = Py_BuildValue("(s)", "dtype");
    if (!g_module_name || !g_thickness_kwnames || !g_dtype_kwnames) return -1;
    g_type = (PyTypeObject*)rn::add_type(m, &tripwire_spec);
    if (!g_type) return -1;
    rn::ptr fget(PyDescr_NewMethod(g_type, &len_def));
    rn::ptr len(fget ? PyObject_CallOneArg((PyObject*)&PyProperty_Type, fget.get()) : nullptr);
    if (!len || PyObject_SetAttrString((PyObject*)g_type, "len", len.get()) < 0) return -1;
    // As a class body does, so that its errors name it.
    rn::ptr named(PyObject_CallMethod(len.get(), "__set_name__", "Os", g_type, "len"));
    if (!named) return -1;
    g_own_horizontal = rn::class_member(g_type, RN_ID(horizontal_position));
    g_own_vertical = rn::class_member(g_type, RN_ID(vertical_position));
    if (!g_own_horizontal || !g_own_vertical) return -1;
    return rn::set_all(m, {"Tripwire"});
}

}  // namespace

PyMODINIT_FUNC PyInit_tripwire() { return rn::create_module(&moduledef, init, &g_module); }
