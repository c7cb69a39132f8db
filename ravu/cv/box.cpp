// ravu.cv.box: Box, an axis-aligned rectangle of a frame kept as the numbers
// the caller gave (top, left, height, width and the exclusive bottom and
// right computed once), with conversions, overlap measures, crops and
// drawing.
//
// The attributes live in the instance dict, where callers read and assign
// them, and every method reads them anew.  Calls the methods make "through
// the object" (iou to inter_area and area, inter_area to to_ltrb) are done
// in C only while the object is an exact Box whose class still holds the
// original method and whose instance dict does not shadow it.  The
// arithmetic is the interpreter's, one operation at a time (rn_pynum.h).
#include "rn.h"

#include <numpy/arrayobject.h>

#include "geo_crop.h"

namespace {

using rn::pynum::Num;
namespace pynum = rn::pynum;

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

// True when obj.<which>() would run this module's own code for an exact Box.
bool own(PyObject* o, int which) {
    return rn::is_stock_method(o, g_box_type, own_name(which), g_original[which]);
}

PyObject* get(PyObject* self, PyObject* name) { return rn::get_attr(self, name, g_box_type); }

bool get_num(Num& out, PyObject* self, PyObject* name) {
    return pynum::attr(out, self, name, g_box_type);
}

int set(PyObject* self, PyObject* name, PyObject* value) {
    return rn::set_attr(self, name, value, g_box_type);
}

// ---------------------------------------------------------------- construction

// self.top, .left, .height, .width = t, l, h, w; then bottom = t + h and
// right = l + w from the arguments.
int fill(PyObject* self, PyObject* t, PyObject* l, PyObject* h, PyObject* w) {
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

// cls(t, l, h, w) for the module global `Box` looked up by the caller.
PyObject* construct(PyObject* cls, PyObject* t, PyObject* l, PyObject* h, PyObject* w) {
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

// out = height * width
bool area_of(Num& out, PyObject* self) {
    Num h, w;
    return get_num(h, self, RN_ID(height)) && get_num(w, self, RN_ID(width)) &&
           pynum::mul(out, h, w);
}

// out = obj.area(), in C for an own Box.
bool area_through(Num& out, PyObject* o) {
    if (own(o, AREA)) return area_of(out, o);
    return !PyErr_Occurred() && pynum::adopt(out, PyObject_CallMethodNoArgs(o, RN_ID(area)));
}

// left, top, right, bottom = obj.to_ltrb()
bool ltrb_through(PyObject* o, Num out[4]) {
    if (own(o, TO_LTRB)) {
        PyObject* names[4] = {RN_ID(left), RN_ID(top), RN_ID(right), RN_ID(bottom)};
        for (int k = 0; k < 4; ++k)
            if (!get_num(out[k], o, names[k])) return false;
        return true;
    }
    if (PyErr_Occurred()) return false;
    rn::ptr r(PyObject_CallMethodNoArgs(o, RN_ID(to_ltrb)));
    return r && pynum::unpack(r.get(), out, 4);
}

// The side of the overlap: hi - lo, or the int 0 when 0 > that.
bool side(Num& out, Num& hi, Num& lo) {
    Num zero = pynum::of(rn::num::of_int(0));
    if (!pynum::sub(out, hi, lo)) return false;
    const int neg = pynum::compare(zero, out, Py_GT);
    if (neg < 0) return false;
    if (neg) out = zero;
    return true;
}

bool inter_area_of(Num& out, PyObject* self, PyObject* box) {
    Num a[4], b[4], xa, ya, xb, yb, dx, dy;
    return ltrb_through(self, a) && ltrb_through(box, b) &&
           pynum::pick(xa, a[0], b[0], Py_GT) && pynum::pick(ya, a[1], b[1], Py_GT) &&
           pynum::pick(xb, a[2], b[2], Py_LT) && pynum::pick(yb, a[3], b[3], Py_LT) &&
           side(dx, xb, xa) && side(dy, yb, ya) && pynum::mul(out, dx, dy);
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

PyObject* area(PyObject* self) {
    Num r;
    return area_of(r, self) ? pynum::take(r) : nullptr;
}

PyObject* inter_area(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* box = inter_area_sig.single(args, nargs, kwnames);
    if (!box) return nullptr;
    Num r;
    return inter_area_of(r, self, box) ? pynum::take(r) : nullptr;
}

PyObject* iou(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* box = iou_sig.single(args, nargs, kwnames);
    if (!box) return nullptr;
    Num inter, a1, a2, sum, uni, r;
    if (own(self, INTER_AREA)) {
        if (!inter_area_of(inter, self, box)) return nullptr;
    } else if (PyErr_Occurred() ||
               !pynum::adopt(inter, PyObject_CallMethodOneArg(self, RN_ID(inter_area), box))) {
        return nullptr;
    }
    if (!area_through(a1, self) || !area_through(a2, box) || !pynum::add(sum, a1, a2) ||
        !pynum::sub(uni, sum, inter) || !pynum::truediv(r, inter, uni))
        return nullptr;
    return pynum::take(r);
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
                         "boxes, crop returns a view of a frame, draw outlines it (no caption).",
                         -1, nullptr};

int init(PyObject* m) {
    if (_import_array() < 0) return -1;
    if (rn::bind_import(m, "ravu.cv.image", "draw_box_text") < 0) return -1;
    g_box_type = (PyTypeObject*)rn::add_type(m, &box_spec);
    if (!g_box_type) return -1;
    for (int k = 0; k < N_OWN; ++k) {
        g_original[k] = rn::class_member(g_box_type, own_name(k));
        if (!g_original[k]) return -1;
        Py_INCREF(g_original[k]);
    }
    return rn::set_all(m, {"Box"});
}

}  // namespace

PyMODINIT_FUNC PyInit_box() { return rn::create_module(&moduledef, init, &g_module); }
