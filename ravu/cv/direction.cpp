// ravu.cv.direction: Direction, a directed segment that measures vectors
// against itself and draws itself as an arrow.
//
// The coordinates stay the objects the caller passed; every result comes
// from the interpreter's arithmetic on them, one operation at a time
// (rn_pynum.h does exact ints and floats here and leaves the rest to the
// number protocol).  Methods read the instance attributes at every call,
// and a method that calls another through the object does that other's
// work inline only while the object is a plain Direction that nobody has
// given its own version of it.
#include "rn.h"

namespace {

using rn::pynum::Num;
namespace num = rn::num;
namespace pynum = rn::pynum;

PyObject* g_module = nullptr;
PyTypeObject* g_type = nullptr;
// What the module bound at import: the math module and the functions of
// it that are computed here while `math` still names them.
PyObject* g_math = nullptr;
PyObject* g_sqrt = nullptr;
PyObject* g_acos = nullptr;
// The class's own members, to tell them from replacements.
PyObject* g_own_unit_vector = nullptr;
PyObject* g_own_hpl = nullptr;

PyObject* fixed_thickness_kwnames = nullptr;  // ("thickness",)

bool attr(Num& out, PyObject* self, PyObject* name) {
    return pynum::attr(out, self, name, g_type);
}

// (x / d, y / d) with d = math.sqrt(x*x + y*y).
bool unit(Num& ux, Num& uy, Num& x, Num& y) {
    Num xx, yy, s, d;
    return pynum::mul(xx, x, x) && pynum::mul(yy, y, y) && pynum::add(s, xx, yy) &&
           pynum::math_call(d, g_module, RN_ID(sqrt), g_sqrt, num::sqrt, s) &&
           pynum::truediv(ux, x, d) && pynum::truediv(uy, y, d);
}

bool own_unit(PyObject* self) {
    return rn::is_stock_method(self, g_type, RN_ID(unit_vector), g_own_unit_vector);
}

bool own_hpl(PyObject* self) {
    return rn::is_stock_method(self, g_type, RN_ID(horizontal_projection_len), g_own_hpl);
}

// self.unit_vector(x, y) unpacked into two values; `own`: own_unit(self)
// (false with an error set when its look-up failed).
bool call_unit(PyObject* self, bool own, Num& x, Num& y, Num& ux, Num& uy) {
    if (own) return unit(ux, uy, x, y);
    if (PyErr_Occurred()) return false;
    PyObject* xo = pynum::obj(x);
    PyObject* yo = xo ? pynum::obj(y) : nullptr;
    if (!yo) return false;
    PyObject* args[3] = {self, xo, yo};
    rn::ptr r(PyObject_VectorcallMethod(RN_ID(unit_vector), args,
                                        3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    Num u[2];
    if (!r || !pynum::unpack(r.get(), u, 2)) return false;
    ux = u[0];
    uy = u[1];
    return true;
}

// self._x * x + self._y * y
bool hpl(Num& out, PyObject* self, Num& x, Num& y) {
    Num ux, uy, a, b;
    return attr(ux, self, RN_ID(_x)) && pynum::mul(a, ux, x) && attr(uy, self, RN_ID(_y)) &&
           pynum::mul(b, uy, y) && pynum::add(out, a, b);
}

// `own`: own_hpl(self), as for call_unit.
bool call_hpl(PyObject* self, bool own, Num& x, Num& y, Num& out) {
    if (own) return hpl(out, self, x, y);
    if (PyErr_Occurred()) return false;
    PyObject* xo = pynum::obj(x);
    PyObject* yo = xo ? pynum::obj(y) : nullptr;
    if (!yo) return false;
    PyObject* args[3] = {self, xo, yo};
    return pynum::adopt(out, PyObject_VectorcallMethod(RN_ID(horizontal_projection_len), args,
                                                      3 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                                      nullptr));
}

// ---------------------------------------------------------------- methods

const rn::Signature unit_vector_sig(
    "Direction.unit_vector", "x, y",
    "The vector (x, y) scaled to length 1, as a tuple of two floats.\n\n"
    "A static method.  Raises ZeroDivisionError for the zero vector.");

PyObject* unit_vector(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[2];
    if (!unit_vector_sig.parse(args, nargs, kwnames, a)) return nullptr;
    Num x = pynum::from(a[0]), y = pynum::from(a[1]), ux, uy;
    if (!unit(ux, uy, x, y)) return nullptr;
    PyObject* first = pynum::obj(ux);
    PyObject* second = first ? pynum::obj(uy) : nullptr;
    return second ? PyTuple_Pack(2, first, second) : nullptr;
}

const rn::Signature init_sig(
    "Direction.__init__", "start_x, start_y, end_x, end_y",
    "A direction from the point (start_x, start_y) to (end_x, end_y).\n\n"
    "Keeps the four coordinates as passed (_start_x, _start_y, _end_x, _end_y),\n"
    "the unit vector (_x, _y) and the integer wing points of an arrowhead at\n"
    "the end (_ax, _ay, _bx, _by), all in the instance dict and never\n"
    "recomputed.  Equal points raise ZeroDivisionError.",
    rn::INIT);

// int(len / 10 * (-self.<first> +/- self.<second>) + self.<end>), each
// attribute read when its operation comes.
bool wing(Num& out, PyObject* self, Num& len, PyObject* first, PyObject* second, bool add_second,
          PyObject* end) {
    Num ten, k, f, nf, s, br, kb, e, sum;
    ten.v = num::of_int(10);
    return pynum::truediv(k, len, ten) && attr(f, self, first) && pynum::neg(nf, f) &&
           attr(s, self, second) &&
           (add_second ? pynum::add(br, nf, s) : pynum::sub(br, nf, s)) &&
           pynum::mul(kb, k, br) && attr(e, self, end) && pynum::add(sum, kb, e) &&
           pynum::to_int(out, sum);
}

bool set(PyObject* self, PyObject* name, Num& v) {
    PyObject* o = pynum::obj(v);
    return o && rn::set_attr(self, name, o, g_type) == 0;
}

int direction_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* a[4];
    rn::ptr keep;
    if (!init_sig.parse_tuple(args, kwargs, a, keep)) return -1;
    PyObject* names[4] = {RN_ID(_start_x), RN_ID(_start_y), RN_ID(_end_x), RN_ID(_end_y)};
    for (int i = 0; i < 4; ++i)
        if (rn::set_attr(self, names[i], a[i], g_type) < 0) return -1;
    Num sx = pynum::from(a[0]), sy = pynum::from(a[1]), ex = pynum::from(a[2]),
        ey = pynum::from(a[3]);
    Num x, y;
    if (!pynum::sub(x, ex, sx) || !pynum::sub(y, ey, sy)) return -1;
    // The differences once more for the unit vector, as separate operations:
    // they may differ for number types whose arithmetic is not a function.
    Num x2, y2, ux, uy;
    const bool exact = sx.fast() && sy.fast() && ex.fast() && ey.fast();
    if (exact) {
        // Value and object alike: a difference past 64 bits is only an object.
        x2 = x;
        y2 = y;
    } else if (!pynum::sub(x2, ex, sx) || !pynum::sub(y2, ey, sy)) {
        return -1;
    }
    if (!call_unit(self, own_unit(self), x2, y2, ux, uy) || !set(self, RN_ID(_x), ux) ||
        !set(self, RN_ID(_y), uy))
        return -1;
    Num xx, yy, s, len;
    if (!pynum::mul(xx, x, x) || !pynum::mul(yy, y, y) || !pynum::add(s, xx, yy) ||
        !pynum::math_call(len, g_module, RN_ID(sqrt), g_sqrt, num::sqrt, s))
        return -1;
    Num w;
    if (!wing(w, self, len, RN_ID(_x), RN_ID(_y), false, RN_ID(_end_x)) ||
        !set(self, RN_ID(_ax), w))
        return -1;
    if (!wing(w, self, len, RN_ID(_y), RN_ID(_x), true, RN_ID(_end_y)) ||
        !set(self, RN_ID(_ay), w))
        return -1;
    if (!wing(w, self, len, RN_ID(_x), RN_ID(_y), true, RN_ID(_end_x)) ||
        !set(self, RN_ID(_bx), w))
        return -1;
    if (!wing(w, self, len, RN_ID(_y), RN_ID(_x), false, RN_ID(_end_y)) ||
        !set(self, RN_ID(_by), w))
        return -1;
    return 0;
}

// `1 < c <= 1 + 1e-12` or `-1 - 1e-12 <= c < -1` for another number type,
// by its own comparisons; one that cannot compare is left to acos.
bool obj_overshoot(Num& c, double* clamped) {
    PyObject* co = pynum::obj(c);
    if (!co) {
        PyErr_Clear();
        return false;
    }
    auto holds = [co](double bound, int op) {
        rn::ptr b(PyFloat_FromDouble(bound));
        rn::ptr r(b ? PyObject_RichCompare(co, b.get(), op) : nullptr);
        const int t = r ? PyObject_IsTrue(r.get()) : -1;
        if (t < 0) PyErr_Clear();
        return t > 0;
    };
    if (holds(1.0, Py_GT) && holds(num::kCosineSlack, Py_LE)) {
        *clamped = 1.0;
        return true;
    }
    if (holds(-1.0, Py_LT) && holds(-num::kCosineSlack, Py_GE)) {
        *clamped = -1.0;
        return true;
    }
    return false;
}

const rn::Signature angle_sig(
    "Direction.angle", "x, y",
    "The angle in degrees, 0 to 180, between the direction and the vector\n"
    "(x, y), without telling the side.\n\n"
    "A vector parallel or opposite to the direction gives 0.0 or 180.0 even\n"
    "when its rounded cosine lands just past 1 or -1.  The zero vector raises\n"
    "ZeroDivisionError.",
    rn::METHOD);

// The angle when the vector and the unit vector (_x, _y) are exact ints and
// floats and `math` is still the module bound at import, holding its own
// sqrt, acos and a float pi: one value after the other, no objects, one
// look-up of `math` where the general road makes three.  Pays: 95 ns
// against 128 ns for the general road with a float vector, 107 ns against
// 136 ns with ints (bench_direction_tripwire, Direction.angle).  `*r` stays
// unknown where this cannot decide (a result beyond 64 bits, a zero vector,
// a domain error, a replaced function, a failed look-up); the caller then
// takes the general road, which reads everything anew and raises in its
// own order.  False on error.
bool angle_exact(PyObject* self, num::Val x, num::Val y, num::Val* r) {
    using namespace num;
    rn::ptr math(rn::global(g_module, RN_ID(math)));
    if (!math) return false;
    if (math.get() != g_math) return true;
    PyObject* md = PyModule_GetDict(g_math);
    rn::ptr pi(rn::dict_get_ref(md, RN_ID(pi)));
    rn::ptr sqrt_fn(pi ? rn::dict_get_ref(md, RN_ID(sqrt)) : nullptr);
    rn::ptr acos_fn(sqrt_fn ? rn::dict_get_ref(md, RN_ID(acos)) : nullptr);
    if (!acos_fn || sqrt_fn.get() != g_sqrt || acos_fn.get() != g_acos ||
        !PyFloat_CheckExact(pi.get())) {
        PyErr_Clear();
        return true;
    }
    const Val d = num::sqrt(add(mul(x, x), mul(y, y)));
    const Val ux = truediv(x, d), uy = truediv(y, d);
    rn::ptr ux_attr(rn::get_attr(self, RN_ID(_x), g_type));
    rn::ptr uy_attr(ux_attr ? rn::get_attr(self, RN_ID(_y), g_type) : nullptr);
    if (!uy_attr) {
        PyErr_Clear();
        return true;
    }
    Val c = add(mul(pynum::classify(ux_attr.get()), ux), mul(pynum::classify(uy_attr.get()), uy));
    double clamped;
    if (known(c) && cosine_overshoot(as_double(c), &clamped)) c = of_float(clamped);
    *r = mul(truediv(num::acos(c), of_float(PyFloat_AS_DOUBLE(pi.get()))), of_int(180));
    return true;
}

PyObject* angle(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[2];
    if (!angle_sig.parse(args, nargs, kwnames, a)) return nullptr;
    Num x = pynum::from(a[0]), y = pynum::from(a[1]), ux, uy, c;
    const bool unit_inline = own_unit(self);
    if (unit_inline && x.fast() && y.fast()) {
        if (own_hpl(self)) {
            num::Val r;
            if (!angle_exact(self, x.v, y.v, &r)) return nullptr;
            if (num::known(r)) return PyFloat_FromDouble(num::as_double(r));
        }
        PyErr_Clear();  // a failed search: the general road searches again, in its order
    }
    // horizontal_projection_len is looked up once unit_vector has run, which
    // may have replaced it.
    if (!call_unit(self, unit_inline, x, y, ux, uy) ||
        !call_hpl(self, own_hpl(self), ux, uy, c))
        return nullptr;
    // Rounding overshoot past +-1 would make acos raise for a parallel or
    // opposite vector.
    double clamped;
    if (c.fast() ? num::cosine_overshoot(num::as_double(c.v), &clamped)
                 : obj_overshoot(c, &clamped))
        pynum::set_value(c, num::of_float(clamped));
    Num rad, pi, ratio, deg, k180;
    if (!pynum::math_call(rad, g_module, RN_ID(acos), g_acos, num::acos, c)) return nullptr;
    PyObject* pio = rn::global(g_module, {RN_ID(math), RN_ID(pi)});
    if (!pio) return nullptr;
    pi.v = pynum::classify(pio);
    pi.o = pio;
    k180.v = num::of_int(180);
    if (!pynum::truediv(ratio, rad, pi) || !pynum::mul(deg, ratio, k180)) return nullptr;
    return pynum::take(deg);
}

const rn::Signature hpl_sig(
    "Direction.horizontal_projection_len", "x, y",
    "The signed length of the vector (x, y) along the direction: _x*x + _y*y;\n"
    "negative when the vector points backwards.",
    rn::METHOD);

PyObject* horizontal_projection_len(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
    PyObject* a[2];
    if (!hpl_sig.parse(args, nargs, kwnames, a)) return nullptr;
    Num x = pynum::from(a[0]), y = pynum::from(a[1]), out;
    return hpl(out, self, x, y) ? pynum::take(out) : nullptr;
}

const rn::Signature vpl_sig(
    "Direction.vertical_projection_len", "x, y",
    "The length of the vector (x, y) across the direction: abs(_x*y - _y*x),\n"
    "never negative, without telling the side.",
    rn::METHOD);

PyObject* vertical_projection_len(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
    PyObject* a[2];
    if (!vpl_sig.parse(args, nargs, kwnames, a)) return nullptr;
    Num x = pynum::from(a[0]), y = pynum::from(a[1]), ux, uy, p, q, d, out;
    if (!attr(ux, self, RN_ID(_x)) || !pynum::mul(p, ux, y) || !attr(uy, self, RN_ID(_y)) ||
        !pynum::mul(q, uy, x) || !pynum::sub(d, p, q) || !pynum::abs(out, d))
        return nullptr;
    return pynum::take(out);
}

const rn::Signature draw_sig(
    "Direction.draw", "image, bgr_color=(0, 255, 255), thickness=None",
    "Draws the direction on image, in place, as an arrow: the shaft, then the\n"
    "two wings, each through the module's draw_line.  thickness None lets\n"
    "draw_line derive the width from the image size.  Returns None.",
    rn::METHOD);

// draw_line(image, self.<x1>, self.<y1>, self.<x2>, self.<y2>, bgr_color, thickness=thickness)
bool draw_segment(PyObject* self, PyObject* image, PyObject* const names[4], PyObject* color,
                  PyObject* thickness) {
    rn::ptr fn(rn::global(g_module, RN_ID(draw_line)));
    if (!fn) return false;
    rn::ptr c[4];
    for (int i = 0; i < 4; ++i) {
        c[i] = rn::get_attr(self, names[i], g_type);
        if (!c[i]) return false;
    }
    PyObject* args[7] = {image, c[0].get(), c[1].get(), c[2].get(), c[3].get(), color, thickness};
    rn::ptr r(PyObject_Vectorcall(fn.get(), args, 6, fixed_thickness_kwnames));
    return bool(r);
}

PyObject* draw(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[3];
    if (!draw_sig.parse(args, nargs, kwnames, a)) return nullptr;
    PyObject* const shaft[4] = {RN_ID(_start_x), RN_ID(_start_y), RN_ID(_end_x), RN_ID(_end_y)};
    PyObject* const first[4] = {RN_ID(_ax), RN_ID(_ay), RN_ID(_end_x), RN_ID(_end_y)};
    PyObject* const second[4] = {RN_ID(_bx), RN_ID(_by), RN_ID(_end_x), RN_ID(_end_y)};
    for (PyObject* const* seg : {shaft, first, second})
        if (!draw_segment(self, a[0], seg, a[1], a[2])) return nullptr;
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------- type and module

PyMethodDef static_method(PyMethodDef d) {
    d.ml_flags |= METH_STATIC;
    return d;
}

PyMethodDef direction_methods[] = {
    static_method(unit_vector_sig.def(unit_vector)),
    angle_sig.def(angle),
    hpl_sig.def(horizontal_projection_len),
    vpl_sig.def(vertical_projection_len),
    draw_sig.def(draw),
    {nullptr, nullptr, 0, nullptr}};

PyType_Slot direction_slots[] = {{Py_tp_doc, (void*)init_sig.doc()},
                                 {Py_tp_init, (void*)direction_init},
                                 {Py_tp_methods, direction_methods},
                                 RN_PLAIN_SLOTS,
                                 {0, nullptr}};

PyType_Spec direction_spec = {"ravu.cv.direction.Direction", sizeof(rn::PlainObject), 0,
                              Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
                              direction_slots};

PyModuleDef moduledef = {PyModuleDef_HEAD_INIT, "ravu.cv.direction",
                         "Direction: a directed segment, measuring vectors and drawn as an arrow.\n\n"
                         "Direction(start_x, start_y, end_x, end_y) measures vectors against\n"
                         "itself (angle, projections) and draws itself as an arrow.",
                         -1, nullptr};

int init(PyObject* m) {
    if (rn::bind_import(m, nullptr, "math") < 0) return -1;
    g_math = rn::global(m, RN_ID(math));
    if (!g_math) return -1;
    g_sqrt = rn::global(m, {RN_ID(math), RN_ID(sqrt)});
    g_acos = g_sqrt ? rn::global(m, {RN_ID(math), RN_ID(acos)}) : nullptr;
    if (!g_sqrt || !g_acos) return -1;
    if (rn::bind_import(m, "ravu.cv.image", "draw_line") < 0) return -1;
    fixed_thickness_kwnames = Py_BuildValue("(s)", "thickness");
    if (!fixed_thickness_kwnames) return -1;
    g_type = (PyTypeObject*)rn::add_type(m, &direction_spec);
    if (!g_type) return -1;
    g_own_unit_vector = rn::class_member(g_type, RN_ID(unit_vector));
    g_own_hpl = rn::class_member(g_type, RN_ID(horizontal_projection_len));
    if (!g_own_unit_vector || !g_own_hpl) return -1;
    return rn::set_all(m, {"Direction"});
}

}  // namespace

PyMODINIT_FUNC PyInit_direction() { return rn::create_module(&moduledef, init, &g_module); }
