// ravu.cv.box: Box, an axis-aligned rectangle of a frame kept as the numbers
// the caller gave (top, left, height, width and the exclusive bottom and
// right computed once), with conversions, overlap measures, crops and
// drawing.
//
// The attributes live in the instance dict, where callers read and assign
// them, and every method reads them anew.  Calls the methods make "through
// the object" (iou to inter_area and area, inter_area to to_ltrb) are done
// in C only while the object is an exact Box whose class still holds the
// original method and whose instance dict does not shadow it.
#include "rn.h"

#include <numpy/arrayobject.h>

#include "geo_attr.h"
#include "geo_crop.h"

namespace {

using geo::Num;
using geo::Op;

PyObject* g_module = nullptr;
PyTypeObject* g_box_type = nullptr;

// The methods called through the object, and the class dict entries they
// had when the module was made.
enum Own { TO_LTRB, AREA, INTER_AREA, N_OWN };
PyObject* g_original[N_OWN];

PyObject* own_name(int which) {
    switch (which) {
        case TO_LTRB: return RN_ID(to_ltrb);
        case AREA: return RN_ID(area);
        default: return RN_ID(inter_area);
    }
}

bool exact(PyObject* o) { return Py_IS_TYPE(o, g_box_type); }

// True when obj.<which>() would run this module's own code for an exact Box.
bool own(PyObject* o, int which) {
    return geo::own_method(g_box_type, o, own_name(which), g_original[which]);
}

PyObject* get(PyObject* self, PyObject* name) { return geo::get_attr(g_box_type, self, name); }

Num get_num(PyObject* self, PyObject* name) { return Num::take(get(self, name)); }

int set(PyObject* self, PyObject* name, PyObject* value) {
    return geo::set_attr(g_box_type, self, name, value);
}

// ---------------------------------------------------------------- construction

// The six attributes in the order the initialiser stores them, and a dict of
// them all (values None) that new boxes copy: copying a compact dict is one
// block copy and storing into its keys never grows it, cheaper than six
// inserts into a dict that has to grow once.
PyObject* g_names[6];
PyObject* g_template = nullptr;

int init_template() {
    PyObject* names[6] = {RN_ID(top),   RN_ID(left),   RN_ID(height),
                          RN_ID(width), RN_ID(bottom), RN_ID(right)};
    g_template = PyDict_New();
    if (!g_template) return -1;
    for (int k = 0; k < 6; ++k) {
        if (!names[k] || PyDict_SetItem(g_template, names[k], Py_None) < 0) return -1;
        g_names[k] = names[k];
    }
    return 0;
}

// self.top, .left, .height, .width = t, l, h, w; then bottom = t + h and
// right = l + w from the arguments.  An exact Box without a dict yet (a new
// one) gets its dict in one piece: no __setattr__ of its own can watch the
// stores, so all that must hold is that after a failing sum it has the
// attributes stored before that sum.
int fill(PyObject* self, PyObject* t, PyObject* l, PyObject* h, PyObject* w) {
    PyObject*& d = reinterpret_cast<rn::PlainObject*>(self)->dict;
    if (exact(self) && !d) {
        rn::ptr bottom(PyNumber_Add(t, h));
        rn::ptr right(bottom ? PyNumber_Add(l, w) : nullptr);
        if (right) {
            PyObject* values[6] = {t, l, h, w, bottom.get(), right.get()};
            if (d) {
                // The sums' own __add__ reached this object and gave it a
                // dict: store into that one rather than drop it.
                for (int k = 0; k < 6; ++k)
                    if (set(self, g_names[k], values[k]) < 0) return -1;
                return 0;
            }
            rn::ptr made(PyDict_Copy(g_template));
            if (!made) return -1;
            for (int k = 0; k < 6; ++k)
                if (PyDict_SetItem(made.get(), g_names[k], values[k]) < 0) return -1;
            d = made.release();
            return 0;
        }
        rn::SavedError failed_sum;
        PyObject* given[5] = {t, l, h, w, bottom.get()};
        for (int k = 0; k < 5 && given[k]; ++k)
            if (set(self, g_names[k], given[k]) < 0) break;
        return -1;
    }
    if (set(self, RN_ID(top), t) < 0 || set(self, RN_ID(left), l) < 0 ||
        set(self, RN_ID(height), h) < 0 || set(self, RN_ID(width), w) < 0)
        return -1;
    rn::ptr bottom(PyNumber_Add(t, h));
    if (!bottom || set(self, RN_ID(bottom), bottom.get()) < 0) return -1;
    rn::ptr right(PyNumber_Add(l, w));
    if (!right || set(self, RN_ID(right), right.get()) < 0) return -1;
    return 0;
}

const rn::Signature init_sig(
    "Box.__init__", "top, left, height, width",
    "Axis-aligned box of a frame: upper row `top`, left column `left`, `height` rows and\n"
    "`width` columns, kept as given (ints, floats or numpy scalars, never validated).\n"
    "`bottom` = top + height and `right` = left + width are computed once here and are\n"
    "exclusive bounds; assigning top, left, height or width later does not change them.",
    rn::INIT);

int box_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* a[4];
    rn::ptr keep;
    if (!init_sig.parse_tuple(args, kwargs, a, keep)) return -1;
    return fill(self, a[0], a[1], a[2], a[3]);
}

// cls(t, l, h, w) for the module global `Box` looked up by the caller;
// made here directly while that is this module's class with its own
// initialiser.
PyObject* construct(PyObject* cls, PyObject* t, PyObject* l, PyObject* h, PyObject* w) {
    if (cls == (PyObject*)g_box_type && g_box_type->tp_init == box_init &&
        g_box_type->tp_new == PyType_GenericNew) {
        rn::PlainObject* o = PyObject_GC_New(rn::PlainObject, g_box_type);
        if (!o) return nullptr;
        o->dict = o->weakrefs = nullptr;
        PyObject_GC_Track(o);
        rn::ptr self(reinterpret_cast<PyObject*>(o));
        if (fill(self.get(), t, l, h, w) < 0) return nullptr;
        return self.release();
    }
    PyObject* argv[4] = {t, l, h, w};
    return PyObject_Vectorcall(cls, argv, 4, nullptr);
}

const rn::Signature tlhw_sig("Box.create_by_tlhw", "t, l, h, w",
                             "Box(t, l, h, w): from top, left, height and width.");
const rn::Signature ltwh_sig("Box.create_by_ltwh", "l, t, w, h",
                             "Box(t, l, h, w): from left, top, width and height.");
const rn::Signature tlbr_sig("Box.create_by_tlbr", "t, l, b, r",
                             "Box(t, l, b - t, r - l): from top, left and the exclusive bottom\n"
                             "and right.");
const rn::Signature ltrb_sig("Box.create_by_ltrb", "l, t, r, b",
                             "Box(t, l, b - t, r - l): from left, top and the exclusive right\n"
                             "and bottom.");

// The corner forms: height b - t first, then width r - l.
PyObject* by_corners(PyObject* t, PyObject* l, PyObject* b, PyObject* r) {
    rn::ptr cls(rn::global(g_module, RN_ID(Box)));
    if (!cls) return nullptr;
    rn::ptr h(PyNumber_Subtract(b, t));
    if (!h) return nullptr;
    rn::ptr w(PyNumber_Subtract(r, l));
    if (!w) return nullptr;
    return construct(cls.get(), t, l, h.get(), w.get());
}

PyObject* create_by_tlhw(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[4];
    if (!tlhw_sig.parse(args, nargs, kwnames, a)) return nullptr;
    rn::ptr cls(rn::global(g_module, RN_ID(Box)));
    return cls ? construct(cls.get(), a[0], a[1], a[2], a[3]) : nullptr;
}

PyObject* create_by_ltwh(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[4];
    if (!ltwh_sig.parse(args, nargs, kwnames, a)) return nullptr;
    rn::ptr cls(rn::global(g_module, RN_ID(Box)));
    return cls ? construct(cls.get(), a[1], a[0], a[3], a[2]) : nullptr;
}

PyObject* create_by_tlbr(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[4];
    if (!tlbr_sig.parse(args, nargs, kwnames, a)) return nullptr;
    return by_corners(a[0], a[1], a[2], a[3]);
}

PyObject* create_by_ltrb(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[4];
    if (!ltrb_sig.parse(args, nargs, kwnames, a)) return nullptr;
    return by_corners(a[1], a[0], a[3], a[2]);
}

// ---------------------------------------------------------------- conversions

PyObject* list_of(PyObject* self, std::initializer_list<PyObject*> names) {
    rn::ptr out(PyList_New((Py_ssize_t)names.size()));
    if (!out) return nullptr;
    Py_ssize_t k = 0;
    for (PyObject* name : names) {
        PyObject* v = get(self, name);
        if (!v) return nullptr;
        PyList_SET_ITEM(out.get(), k++, v);
    }
    return out.release();
}

const rn::Signature to_tlhw_sig("Box.to_tlhw", "", "[top, left, height, width], the current attributes.", rn::METHOD);
const rn::Signature to_ltwh_sig("Box.to_ltwh", "", "[left, top, width, height], the current attributes.", rn::METHOD);
const rn::Signature to_tlbr_sig("Box.to_tlbr", "", "[top, left, bottom, right], the current attributes.", rn::METHOD);
const rn::Signature to_ltrb_sig("Box.to_ltrb", "", "[left, top, right, bottom], the current attributes.", rn::METHOD);

PyObject* to_tlhw(PyObject* self) {
    return list_of(self, {RN_ID(top), RN_ID(left), RN_ID(height), RN_ID(width)});
}
PyObject* to_ltwh(PyObject* self) {
    return list_of(self, {RN_ID(left), RN_ID(top), RN_ID(width), RN_ID(height)});
}
PyObject* to_tlbr(PyObject* self) {
    return list_of(self, {RN_ID(top), RN_ID(left), RN_ID(bottom), RN_ID(right)});
}
PyObject* to_ltrb(PyObject* self) {
    return list_of(self, {RN_ID(left), RN_ID(top), RN_ID(right), RN_ID(bottom)});
}

// ---------------------------------------------------------------- measures

// height * width
Num area_of(PyObject* self) {
    Num h = get_num(self, RN_ID(height));
    if (!h.ok()) return h;
    Num w = get_num(self, RN_ID(width));
    if (!w.ok()) return w;
    return geo::arith(h, w, Op::MUL);
}

// obj.area(), in C for an own Box.
Num area_through(PyObject* o) {
    if (own(o, AREA)) return area_of(o);
    if (PyErr_Occurred()) return Num::take(nullptr);
    return Num::take(PyObject_CallMethodNoArgs(o, RN_ID(area)));
}

// left, top, right, bottom = obj.to_ltrb()
bool ltrb_through(PyObject* o, Num out[4]) {
    if (own(o, TO_LTRB)) {
        PyObject* names[4] = {RN_ID(left), RN_ID(top), RN_ID(right), RN_ID(bottom)};
        for (int k = 0; k < 4; ++k) {
            out[k] = get_num(o, names[k]);
            if (!out[k].ok()) return false;
        }
        return true;
    }
    if (PyErr_Occurred()) return false;
    rn::ptr r(PyObject_CallMethodNoArgs(o, RN_ID(to_ltrb)));
    if (!r) return false;
    PyObject* v[4];
    if (!geo::unpack(r.get(), v, 4)) return false;
    for (int k = 0; k < 4; ++k) out[k] = Num::take(v[k]);
    return true;
}

// The second value when it compares strictly `op` to the first, else the
// first: max() with Py_GT, min() with Py_LT.
bool pick(const Num& first, const Num& second, int op, Num& out) {
    const int c = geo::compare(second, first, op);
    if (c < 0) return false;
    out = c ? second : first;
    return true;
}

// The side of the overlap: hi - lo, or the int 0 when 0 > that.
Num side(const Num& hi, const Num& lo) {
    Num d = geo::arith(hi, lo, Op::SUB);
    if (!d.ok()) return d;
    const int neg = geo::compare(Num::of_int(0), d, Py_GT);
    if (neg < 0) return Num::take(nullptr);
    return neg ? Num::of_int(0) : d;
}

// ---- the same in C, for exact Boxes holding exact ints and floats

// The six attributes of an own Box, as Scalars: false when `o` is no exact
// Box, when its instance dict holds anything but the six (so nothing can
// shadow a method) or a value is of another kind.  Sets no error.
bool fast_values(PyObject* o, geo::Scalar v[6]) {
    if (!exact(o)) return false;
    PyObject* d = reinterpret_cast<rn::PlainObject*>(o)->dict;
    if (!d || PyDict_GET_SIZE(d) != 6) return false;
    PyObject* names[6] = {RN_ID(left), RN_ID(top), RN_ID(right), RN_ID(bottom), RN_ID(height),
                          RN_ID(width)};
    for (int k = 0; k < 6; ++k) {
        rn::ptr x(rn::dict_get_ref(d, names[k]));
        if (!x || !geo::scalar_of(x.get(), v[k])) {
            PyErr_Clear();
            return false;
        }
    }
    return true;
}

// The class still holds its own methods (a caller may replace them).
bool class_own() {
    for (int k = 0; k < N_OWN; ++k) {
        if (PyDict_GetItemWithError(g_box_type->tp_dict, own_name(k)) != g_original[k]) {
            PyErr_Clear();
            return false;
        }
    }
    return true;
}

Num inter_area_of(PyObject* self, PyObject* box) {
    Num a[4], b[4];
    if (!ltrb_through(self, a) || !ltrb_through(box, b)) return Num::take(nullptr);
    Num xa, ya, xb, yb;
    if (!pick(a[0], b[0], Py_GT, xa) || !pick(a[1], b[1], Py_GT, ya) ||
        !pick(a[2], b[2], Py_LT, xb) || !pick(a[3], b[3], Py_LT, yb))
        return Num::take(nullptr);
    Num dx = side(xb, xa);
    if (!dx.ok()) return dx;
    Num dy = side(yb, ya);
    if (!dy.ok()) return dy;
    return geo::arith(dx, dy, Op::MUL);
}

const rn::Signature area_sig("Box.area", "", "height * width (negative for a negative side).",
                             rn::METHOD);
const rn::Signature inter_area_sig(
    "Box.inter_area", "box",
    "Area of the overlap with `box` (any object whose to_ltrb() gives left, top, right,\n"
    "bottom); 0 when they do not overlap or only share an edge.",
    rn::METHOD);
const rn::Signature iou_sig(
    "Box.iou", "box",
    "Intersection over union with `box` (needs to_ltrb() and area()), a true division:\n"
    "a union of 0 raises ZeroDivisionError.",
    rn::METHOD);

PyObject* area(PyObject* self) { return area_of(self).object(); }

PyObject* inter_area(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* box = inter_area_sig.single(args, nargs, kwnames);
    if (!box) return nullptr;
    geo::Scalar a[6], b[6], inter;
    if (fast_values(self, a) && fast_values(box, b) && class_own() &&
        geo::scalar_inter_area(a, b, inter))
        return geo::scalar_object(inter);
    Num r = inter_area_of(self, box);
    return r.ok() ? r.object() : nullptr;
}

PyObject* iou(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* box = iou_sig.single(args, nargs, kwnames);
    if (!box) return nullptr;
    geo::Scalar a[6], b[6], si, s1, s2, ssum, suni, sr;
    if (fast_values(self, a) && fast_values(box, b) && class_own() &&
        geo::scalar_inter_area(a, b, si) && geo::scalar_arith(a[4], a[5], '*', s1) &&
        geo::scalar_arith(b[4], b[5], '*', s2) && geo::scalar_arith(s1, s2, '+', ssum) &&
        geo::scalar_arith(ssum, si, '-', suni) && geo::scalar_arith(si, suni, '/', sr))
        return geo::scalar_object(sr);
    Num inter;
    if (own(self, INTER_AREA)) {
        inter = inter_area_of(self, box);
    } else {
        if (PyErr_Occurred()) return nullptr;
        inter = Num::take(PyObject_CallMethodOneArg(self, RN_ID(inter_area), box));
    }
    if (!inter.ok()) return nullptr;
    Num a1 = area_through(self);
    if (!a1.ok()) return nullptr;
    Num a2 = area_through(box);
    if (!a2.ok()) return nullptr;
    Num sum = geo::arith(a1, a2, Op::ADD);
    if (!sum.ok()) return nullptr;
    Num uni = geo::arith(sum, inter, Op::SUB);
    if (!uni.ok()) return nullptr;
    Num r = geo::arith(inter, uni, Op::DIV);
    return r.ok() ? r.object() : nullptr;
}

// ---------------------------------------------------------------- frame operations

const rn::Signature crop_sig(
    "Box.crop", "image",
    "View of the box's window, image[top:bottom, left:right, :], each bound max(0, int(v)):\n"
    "shares the frame's memory; ends past the frame stop at its edge.",
    rn::METHOD);

PyObject* crop(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* image = crop_sig.single(args, nargs, kwnames);
    if (!image) return nullptr;
    geo::Bound b[4];  // top, bottom, left, right
    PyObject* names[4] = {RN_ID(top), RN_ID(bottom), RN_ID(left), RN_ID(right)};
    for (int k = 0; k < 4; ++k) {
        rn::ptr v(get(self, names[k]));
        if (!v || !geo::bound_int(v.get(), b[k])) return nullptr;
    }
    return geo::crop(image, b[0], b[1], b[2], b[3]);
}

const rn::Signature draw_sig(
    "Box.draw", "image, bgr_color=(235, 206, 135), thickness=None",
    "Draws the box's outline on `image` in place through draw_box_text, without caption;\n"
    "a thickness of None lets draw_box_text derive it from the frame size.",
    rn::METHOD);

PyObject* draw(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[3];
    if (!draw_sig.parse(args, nargs, kwnames, a)) return nullptr;
    rn::ptr fn(rn::global(g_module, RN_ID(draw_box_text)));
    if (!fn) return nullptr;
    rn::ptr v[4];
    PyObject* names[4] = {RN_ID(top), RN_ID(left), RN_ID(height), RN_ID(width)};
    for (int k = 0; k < 4; ++k)
        if (!(v[k] = get(self, names[k]))) return nullptr;
    rn::ptr kw(PyTuple_Pack(2, RN_ID(bgr_color), RN_ID(thickness)));
    if (!kw) return nullptr;
    PyObject* argv[7] = {a[0], v[0].get(), v[1].get(), v[2].get(), v[3].get(), a[1], a[2]};
    rn::ptr r(PyObject_Vectorcall(fn.get(), argv, 5, kw.get()));
    if (!r) return nullptr;
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------- type and module

PyMethodDef box_methods[] = {
    rn::static_def(tlhw_sig, create_by_tlhw),
    rn::static_def(ltwh_sig, create_by_ltwh),
    rn::static_def(tlbr_sig, create_by_tlbr),
    rn::static_def(ltrb_sig, create_by_ltrb),
    to_tlhw_sig.def(rn::noargs<to_tlhw_sig, to_tlhw>),
    to_ltwh_sig.def(rn::noargs<to_ltwh_sig, to_ltwh>),
    to_tlbr_sig.def(rn::noargs<to_tlbr_sig, to_tlbr>),
    to_ltrb_sig.def(rn::noargs<to_ltrb_sig, to_ltrb>),
    area_sig.def(rn::noargs<area_sig, area>),
    inter_area_sig.def(inter_area),
    iou_sig.def(iou),
    crop_sig.def(crop),
    draw_sig.def(draw),
    {nullptr, nullptr, 0, nullptr}};

PyType_Slot box_slots[] = {{Py_tp_doc, (void*)init_sig.doc()},
                           {Py_tp_init, (void*)box_init},
                           {Py_tp_new, (void*)PyType_GenericNew},
                           {Py_tp_methods, box_methods},
                           RN_PLAIN_SLOTS,
                           {0, nullptr}};

PyType_Spec box_spec = {"ravu.cv.box.Box", sizeof(rn::PlainObject), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, box_slots};

PyModuleDef moduledef = {PyModuleDef_HEAD_INIT, "ravu.cv.box",
                         "Box: an axis-aligned rectangle of a frame, its measures, crop and outline.\n\n"
                         "Box(top, left, height, width) keeps its values as given; the create_by_*\n"
                         "constructors take other corner orders, iou and inter_area compare two\n"
                         "boxes, crop returns a view of a frame, draw outlines it with a caption.",
                         -1, nullptr};

int init(PyObject* m) {
    if (_import_array() < 0) return -1;
    if (rn::bind_import(m, "ravu.cv.image", "draw_box_text") < 0) return -1;
    if (init_template() < 0) return -1;
    g_box_type = (PyTypeObject*)rn::add_type(m, &box_spec);
    if (!g_box_type) return -1;
    for (int k = 0; k < N_OWN; ++k) {
        g_original[k] = PyDict_GetItemWithError(g_box_type->tp_dict, own_name(k));
        if (!g_original[k]) return -1;
        Py_INCREF(g_original[k]);
    }
    return rn::set_all(m, {"Box"});
}

}  // namespace

PyMODINIT_FUNC PyInit_box() { return rn::create_module(&moduledef, init, &g_module); }
