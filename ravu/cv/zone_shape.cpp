// ravu.cv.zone_shape: ZoneShape, a polygonal region of a frame with its 0/1
// mask, bounding values and box, and a crop window; and merge_region, which
// gives zones one common window.
//
// All state is in the instance dict, read anew at every call: callers move
// the window (merge_region does) and write into the mask.  Point tests read
// the live mask; the plain crops are views, the fill crops new arrays.
#include "rn.h"

#include <numpy/arrayobject.h>
#include <numpy/arrayscalars.h>

#include "geo_crop.h"
#include "zone_fill.h"
#include "zone_merge.h"

namespace {

PyObject* g_module = nullptr;
PyTypeObject* g_zone_type = nullptr;
PyObject* g_own_has = nullptr;  // the class's `has` as made

using rn::pynum::Num;
namespace pynum = rn::pynum;

PyObject* get(PyObject* self, PyObject* name) { return rn::get_attr(self, name, g_zone_type); }

int set(PyObject* self, PyObject* name, PyObject* value) {
    return rn::set_attr(self, name, value, g_zone_type);
}

PyObject* sub_int(PyObject* a, long b) {
    rn::ptr n(PyLong_FromLong(b));
    return n ? PyNumber_Subtract(a, n.get()) : nullptr;
}

// min(a, b) (op Py_LT) or max(a, b) (Py_GT) of the interpreter: b only
// when strictly less (greater) than a.  New reference.
PyObject* pick(PyObject* a, PyObject* b, int op) {
    Num x = pynum::from(a), y = pynum::from(b), r;
    return pynum::pick(r, x, y, op) ? pynum::take(r) : nullptr;
}
PyObject* min2(PyObject* a, PyObject* b) { return pick(a, b, Py_LT); }
PyObject* max2(PyObject* a, PyObject* b) { return pick(a, b, Py_GT); }

// ---------------------------------------------------------------- construction

const rn::Signature init_sig(
    "ZoneShape.__init__",
    "width, height, xy_list, margin=0.05, min_w=None, max_w=None, min_h=None, max_h=None",
    "Polygonal zone of a frame `width` x `height`, from the (x, y) vertices `xy_list`\n"
    "(kept, not copied).  image01 is the 0/1 uint8 mask of the filled polygon over the\n"
    "whole frame; bb_min_h, bb_max_h, bb_min_w, bb_max_w the vertex bounds (seeded with\n"
    "height - 1, 0, width - 1, 0) and bounding_box their Box; min_h, max_h, min_w, max_w\n"
    "the crop window: the bounds widened by int(height * margin) rows and\n"
    "int(width * margin) columns, limited to the frame, then widened to the caller's\n"
    "bounds.  Crops end before max_h and max_w.  An empty vertex list gives an empty mask;\n"
    "a vertex beyond the signed 32-bit range raises OverflowError.",
    rn::INIT);

// np.array([xy_list]) filled into the mask with 1, refusing what OpenCV
// would wrap (coordinates beyond 32 bits) or crash on (no vertices).
int fill_polygon(PyObject* np, PyObject* mask, PyObject* xy_list, Py_ssize_t nvertices) {
    rn::ptr outer(PyList_New(1));
    if (!outer) return -1;
    PyList_SET_ITEM(outer.get(), 0, Py_NewRef(xy_list));
    rn::ptr pts(PyObject_CallMethodOneArg(np, RN_ID(array), outer.get()));
    if (!pts) return -1;
    if (nvertices == 0 || (PyArray_Check(pts.get()) && PyArray_SIZE((PyArrayObject*)pts.get()) == 0))
        return 0;
    if (PyArray_Check(pts.get()) && PyArray_ISINTEGER((PyArrayObject*)pts.get())) {
        rn::ptr lo(PyObject_CallMethodNoArgs(pts.get(), RN_ID(min)));
        rn::ptr hi(lo ? PyObject_CallMethodNoArgs(pts.get(), RN_ID(max)) : nullptr);
        if (!hi) return -1;
        rn::ptr lo_lim(PyLong_FromLongLong(INT32_MIN)), hi_lim(PyLong_FromLongLong(INT32_MAX));
        if (!lo_lim || !hi_lim) return -1;
        const int below = PyObject_RichCompareBool(lo.get(), lo_lim.get(), Py_LT);
        const int above = PyObject_RichCompareBool(hi.get(), hi_lim.get(), Py_GT);
        if (below < 0 || above < 0) return -1;
        if (below || above) {
            PyErr_SetString(PyExc_OverflowError,
                            "polygon vertex beyond the signed 32-bit range of OpenCV points");
            return -1;
        }
    }
    rn::ptr cv2(rn::global(g_module, RN_ID(cv2)));
    if (!cv2) return -1;
    rn::ptr fill_poly(PyObject_GetAttr(cv2.get(), RN_ID(fillPoly)));
    rn::ptr one(PyLong_FromLong(1));
    if (!fill_poly || !one) return -1;
    PyObject* argv[3] = {mask, pts.get(), one.get()};
    rn::ptr r(PyObject_Vectorcall(fill_poly.get(), argv, 3, nullptr));
    return r ? 0 : -1;
}

// The window value on one axis: min(max(lo - margin, 0), bound) for a start,
// max(min(hi + margin, size - 1), bound) for an end, then int().
PyObject* window_start(PyObject* lo, PyObject* margin, PyObject* bound) {
    rn::ptr t(PyNumber_Subtract(lo, margin));
    if (!t) return nullptr;
    rn::ptr zero(PyLong_FromLong(0));
    rn::ptr c(zero ? max2(t.get(), zero.get()) : nullptr);
    if (!c) return nullptr;
    return min2(c.get(), bound);
}

PyObject* window_end(PyObject* hi, PyObject* margin, PyObject* size, PyObject* bound) {
    rn::ptr t(PyNumber_Add(hi, margin));
    if (!t) return nullptr;
    rn::ptr last(sub_int(size, 1));
    rn::ptr c(last ? min2(t.get(), last.get()) : nullptr);
    if (!c) return nullptr;
    return max2(c.get(), bound);
}

int zone_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* a[8];
    rn::ptr keep;
    if (!init_sig.parse_tuple(args, kwargs, a, keep)) return -1;
    PyObject *width = a[0], *height = a[1], *xy_list = a[2], *margin = a[3];

    rn::ptr np(rn::global(g_module, RN_ID(np)));
    if (!np) return -1;
    rn::ptr shape(PyList_New(2));
    if (!shape) return -1;
    PyList_SET_ITEM(shape.get(), 0, Py_NewRef(height));
    PyList_SET_ITEM(shape.get(), 1, Py_NewRef(width));
    rn::ptr uint8(PyObject_GetAttr(np.get(), RN_ID(uint8)));
    if (!uint8) return -1;
    rn::ptr mask(PyObject_CallMethodObjArgs(np.get(), RN_ID(zeros), shape.get(), uint8.get(),
                                            nullptr));
    if (!mask) return -1;
    if (set(self, RN_ID(width), width) < 0 || set(self, RN_ID(height), height) < 0 ||
        set(self, RN_ID(xy_list), xy_list) < 0 || set(self, RN_ID(image01), mask.get()) < 0)
        return -1;

    // The caller's bounds, or values that leave the computed window as is.
    rn::ptr zero(PyLong_FromLong(0));
    rn::ptr w_last(sub_int(width, 1));
    if (!zero || !w_last) return -1;
    rn::ptr h_last(sub_int(height, 1));
    if (!h_last) return -1;
    rn::ptr min_w(Py_NewRef(a[4] != Py_None ? a[4] : w_last.get()));
    rn::ptr max_w(Py_NewRef(a[5] != Py_None ? a[5] : zero.get()));
    rn::ptr min_h(Py_NewRef(a[6] != Py_None ? a[6] : h_last.get()));
    rn::ptr max_h(Py_NewRef(a[7] != Py_None ? a[7] : zero.get()));
    if (set(self, RN_ID(min_w), min_w.get()) < 0 || set(self, RN_ID(max_w), max_w.get()) < 0 ||
        set(self, RN_ID(min_h), min_h.get()) < 0 || set(self, RN_ID(max_h), max_h.get()) < 0)
        return -1;

    // Bounding values over the vertices, seeds taking part.
    rn::ptr bb_min_h(sub_int(height, 1));
    rn::ptr bb_max_h(Py_NewRef(zero.get()));
    rn::ptr bb_min_w(sub_int(width, 1));
    rn::ptr bb_max_w(Py_NewRef(zero.get()));
    if (!bb_min_h || !bb_min_w) return -1;
    rn::ptr it(PyObject_GetIter(xy_list));
    if (!it) return -1;
    Py_ssize_t nvertices = 0;
    while (rn::ptr vertex{PyIter_Next(it.get())}) {
        Num xy[2];
        if (!pynum::unpack(vertex.get(), xy, 2)) return -1;
        rn::ptr x(xy[0].o), y(xy[1].o);
        bb_min_h = min2(bb_min_h.get(), y.get());
        if (!bb_min_h) return -1;
        bb_max_h = max2(bb_max_h.get(), y.get());
        if (!bb_max_h) return -1;
        bb_min_w = min2(bb_min_w.get(), x.get());
        if (!bb_min_w) return -1;
        bb_max_w = max2(bb_max_w.get(), x.get());
        if (!bb_max_w) return -1;
        ++nvertices;
    }
    if (PyErr_Occurred()) return -1;
    if (set(self, RN_ID(bb_min_h), bb_min_h.get()) < 0 ||
        set(self, RN_ID(bb_max_h), bb_max_h.get()) < 0 ||
        set(self, RN_ID(bb_min_w), bb_min_w.get()) < 0 ||
        set(self, RN_ID(bb_max_w), bb_max_w.get()) < 0)
        return -1;

    // Margins truncated toward zero, then the window, then int() of each.
    rn::ptr h_prod(PyNumber_Multiply(height, margin));
    rn::ptr h_margin(h_prod ? PyNumber_Long(h_prod.get()) : nullptr);
    if (!h_margin) return -1;
    rn::ptr w_prod(PyNumber_Multiply(width, margin));
    rn::ptr w_margin(w_prod ? PyNumber_Long(w_prod.get()) : nullptr);
    if (!w_margin) return -1;
    rn::ptr win[4];  // min_h, max_h, min_w, max_w
    win[0] = window_start(bb_min_h.get(), h_margin.get(), min_h.get());
    if (!win[0]) return -1;
    win[1] = window_end(bb_max_h.get(), h_margin.get(), height, max_h.get());
    if (!win[1]) return -1;
    win[2] = window_start(bb_min_w.get(), w_margin.get(), min_w.get());
    if (!win[2]) return -1;
    win[3] = window_end(bb_max_w.get(), w_margin.get(), width, max_w.get());
    if (!win[3]) return -1;
    PyObject* names[4] = {RN_ID(min_h), RN_ID(max_h), RN_ID(min_w), RN_ID(max_w)};
    for (int k = 0; k < 4; ++k) {
        rn::ptr v(PyNumber_Long(win[k].get()));
        if (!v || set(self, names[k], v.get()) < 0) return -1;
    }

    if (fill_polygon(np.get(), mask.get(), xy_list, nvertices) < 0) return -1;

    rn::ptr box(rn::global(g_module, RN_ID(Box)));
    if (!box) return -1;
    rn::ptr by_ltrb(PyObject_GetAttr(box.get(), RN_ID(create_by_ltrb)));
    if (!by_ltrb) return -1;
    PyObject* argv[4] = {bb_min_w.get(), bb_min_h.get(), bb_max_w.get(), bb_max_h.get()};
    rn::ptr bb(PyObject_Vectorcall(by_ltrb.get(), argv, 4, nullptr));
    if (!bb) return -1;
    return set(self, RN_ID(bounding_box), bb.get());
}

// ---------------------------------------------------------------- point tests

// The mask cell of (x, y) moved onto the frame, as np.bool_.
PyObject* has_of(PyObject* self, PyObject* x, PyObject* y) {
    rn::ptr width(get(self, RN_ID(width)));
    if (!width) return nullptr;
    rn::ptr height(get(self, RN_ID(height)));
    if (!height) return nullptr;
    rn::ptr mask(get(self, RN_ID(image01)));
    if (!mask) return nullptr;
    // The cell read in place: 57 ns against 1054 ns through the objects below
    // (bench_box_zone, ZoneShape.has).
    if (PyLong_CheckExact(x) && PyLong_CheckExact(y) && PyLong_CheckExact(width.get()) &&
        PyLong_CheckExact(height.get()) && PyArray_CheckExact(mask.get())) {
        PyArrayObject* m = (PyArrayObject*)mask.get();
        int o1, o2, o3, o4;
        long long cx = PyLong_AsLongLongAndOverflow(x, &o1);
        long long cy = PyLong_AsLongLongAndOverflow(y, &o2);
        const long long w = PyLong_AsLongLongAndOverflow(width.get(), &o3);
        const long long h = PyLong_AsLongLongAndOverflow(height.get(), &o4);
        if (!o1 && !o2 && !o3 && !o4 && PyArray_NDIM(m) == 2 && PyArray_TYPE(m) == NPY_UBYTE) {
            cx = cx < 0 ? 0 : cx;
            cx = cx > w - 1 ? w - 1 : cx;
            cy = cy < 0 ? 0 : cy;
            cy = cy > h - 1 ? h - 1 : cy;
            if (cx >= 0 && cy >= 0 && cy < PyArray_DIM(m, 0) && cx < PyArray_DIM(m, 1)) {
                const char* cell =
                    PyArray_BYTES(m) + cy * PyArray_STRIDE(m, 0) + cx * PyArray_STRIDE(m, 1);
                PyArrayScalar_RETURN_BOOL_FROM_LONG(*reinterpret_cast<const uint8_t*>(cell) == 1);
            }
        }
    }
    // min(max(v, 0), size - 1), then image01[y][x] == 1, through the objects.
    rn::ptr zero(PyLong_FromLong(0)), one(PyLong_FromLong(1));
    if (!zero || !one) return nullptr;
    rn::ptr cx(max2(x, zero.get()));
    rn::ptr w_last(cx ? sub_int(width.get(), 1) : nullptr);
    if (!w_last || !(cx = min2(cx.get(), w_last.get()))) return nullptr;
    rn::ptr cy(max2(y, zero.get()));
    rn::ptr h_last(cy ? sub_int(height.get(), 1) : nullptr);
    if (!h_last || !(cy = min2(cy.get(), h_last.get()))) return nullptr;
    rn::ptr row(PyObject_GetItem(mask.get(), cy.get()));
    rn::ptr cell(row ? PyObject_GetItem(row.get(), cx.get()) : nullptr);
    if (!cell) return nullptr;
    return PyObject_RichCompare(cell.get(), one.get(), Py_EQ);
}

const rn::Signature has_sig(
    "ZoneShape.has", "x, y",
    "Whether the frame point (x, y) lies in the polygon: image01[y][x] == 1 as np.bool_,\n"
    "read from the live mask.  x and y are integers (int or numpy integers); a point\n"
    "outside the frame is first clamped onto the nearest edge cell.  Floats, such as a\n"
    "box centre, raise numpy's IndexError: round or int() them first.",
    rn::METHOD);
const rn::Signature crop_has_sig(
    "ZoneShape.crop_has", "x, y",
    "has(min_w + x, min_h + y): the point test for coordinates relative to the window.",
    rn::METHOD);

PyObject* has(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[2];
    if (!has_sig.parse(args, nargs, kwnames, a)) return nullptr;
    return has_of(self, a[0], a[1]);
}

// True while self.has is this module's own method.
bool own_has(PyObject* self) { return rn::is_stock_method(self, g_zone_type, RN_ID(has), g_own_has); }

PyObject* crop_has(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[2];
    if (!crop_has_sig.parse(args, nargs, kwnames, a)) return nullptr;
    rn::ptr method;
    if (!own_has(self)) {
        if (PyErr_Occurred() || !(method = PyObject_GetAttr(self, RN_ID(has)))) return nullptr;
    }
    rn::ptr min_w(get(self, RN_ID(min_w)));
    rn::ptr x(min_w ? PyNumber_Add(min_w.get(), a[0]) : nullptr);
    if (!x) return nullptr;
    rn::ptr min_h(get(self, RN_ID(min_h)));
    rn::ptr y(min_h ? PyNumber_Add(min_h.get(), a[1]) : nullptr);
    if (!y) return nullptr;
    if (!method) return has_of(self, x.get(), y.get());
    PyObject* argv[2] = {x.get(), y.get()};
    return PyObject_Vectorcall(method.get(), argv, 2, nullptr);
}

// ---------------------------------------------------------------- crops

// Window bounds read in the order rows start, rows end, columns start,
// columns end, clipped at 0; `convert` applies int() first.
bool bounds(PyObject* self, const std::initializer_list<PyObject*>& names, bool convert,
            geo::Bound b[4]) {
    int k = 0;
    for (PyObject* name : names) {
        rn::ptr v(get(self, name));
        if (!v || !(convert ? geo::bound_int(v.get(), b[k]) : geo::bound_raw(v.get(), b[k])))
            return false;
        ++k;
    }
    return true;
}

bool window(PyObject* self, geo::Bound b[4]) {
    return bounds(self, {RN_ID(min_h), RN_ID(max_h), RN_ID(min_w), RN_ID(max_w)}, false, b);
}

// An exact uint8 array of `nd` dimensions (and 3 channels for 3), else NULL.
PyArrayObject* u8(PyObject* o, int nd) {
    if (!PyArray_CheckExact(o)) return nullptr;
    PyArrayObject* a = (PyArrayObject*)o;
    if (PyArray_NDIM(a) != nd || PyArray_TYPE(a) != NPY_UBYTE) return nullptr;
    if (nd == 3 && PyArray_DIM(a, 2) != 3) return nullptr;
    return a;
}

// np.stack((mask, mask, mask), axis=2) through the module global `np`.
PyObject* stacked(PyObject* mask_win) {
    rn::ptr np(rn::global(g_module, RN_ID(np)));
    if (!np) return nullptr;
    rn::ptr stack(PyObject_GetAttr(np.get(), RN_ID(stack)));
    if (!stack) return nullptr;
    rn::ptr three(PyTuple_Pack(3, mask_win, mask_win, mask_win));
    rn::ptr axis(PyLong_FromLong(2));
    rn::ptr kw(PyTuple_Pack(1, RN_ID(axis)));
    if (!three || !axis || !kw) return nullptr;
    PyObject* argv[2] = {three.get(), axis.get()};
    return PyObject_Vectorcall(stack.get(), argv, 1, kw.get());
}

// crop * np.stack((mask, mask, mask), axis=2), where `crop_of` makes the
// image's crop after the mask's window is stacked, as the plain rules order
// it.  8-bit frames with an 8-bit mask of the same window are filled here.
template <typename CropOf>
PyObject* fill(PyObject* mask_win, CropOf crop_of) {
    rn::ptr stack;
    // The loop of zone_fill.h: 0.22 ms against 10 ms for numpy's multiply by the
    // stacked mask (bench_box_zone, ZoneShape.crop_and_fill 1080p).
    PyArrayObject* m = u8(mask_win, 2);
    if (!m && !(stack = stacked(mask_win))) return nullptr;
    rn::ptr image_win(crop_of());
    if (!image_win) return nullptr;
    if (m) {
        PyArrayObject* im = u8(image_win.get(), 3);
        if (im && PyArray_DIM(im, 0) == PyArray_DIM(m, 0) &&
            PyArray_DIM(im, 1) == PyArray_DIM(m, 1)) {
            npy_intp dims[3] = {PyArray_DIM(m, 0), PyArray_DIM(m, 1), 3};
            PyObject* out = PyArray_SimpleNew(3, dims, NPY_UBYTE);
            if (!out) return nullptr;
            geo::FillWindow w{(const uint8_t*)PyArray_BYTES(im), PyArray_STRIDE(im, 0),
                              PyArray_STRIDE(im, 1), PyArray_STRIDE(im, 2),
                              (const uint8_t*)PyArray_BYTES(m), PyArray_STRIDE(m, 0),
                              PyArray_STRIDE(m, 1), (uint8_t*)PyArray_BYTES((PyArrayObject*)out),
                              dims[0], dims[1]};
            rn::without_gil([&] { geo::fill_masked(w); });
            return out;
        }
        if (!(stack = stacked(mask_win))) return nullptr;
    }
    return PyNumber_Multiply(image_win.get(), stack.get());
}

const rn::Signature crop_sig(
    "ZoneShape.crop", "image",
    "View of the window, image[min_h:max_h, min_w:max_w, :] with each bound clipped at 0.",
    rn::METHOD);
const rn::Signature crop_bb_sig(
    "ZoneShape.crop_with_bounding_box", "image",
    "bounding_box.crop(image): view of the polygon's bounding box.", rn::METHOD);
const rn::Signature fill_sig(
    "ZoneShape.crop_and_fill", "image",
    "New array: the window of `image` times the mask's window on every channel, so pixels\n"
    "outside the polygon are 0; `image` is not changed.",
    rn::METHOD);
const rn::Signature fill_bb_sig(
    "ZoneShape.crop_and_fill_with_bounding_box", "image",
    "New array: bounding_box.crop(image) times the mask cut by the bounding values\n"
    "(max(0, int(v)) each), so pixels outside the polygon are 0.",
    rn::METHOD);

PyObject* crop(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* image = crop_sig.single(args, nargs, kwnames);
    if (!image) return nullptr;
    geo::Bound b[4];
    if (!window(self, b)) return nullptr;
    return geo::crop(image, b[0], b[1], b[2], b[3]);
}

PyObject* crop_bb(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* image = crop_bb_sig.single(args, nargs, kwnames);
    if (!image) return nullptr;
    rn::ptr box(get(self, RN_ID(bounding_box)));
    return box ? PyObject_CallMethodOneArg(box.get(), RN_ID(crop), image) : nullptr;
}

PyObject* crop_and_fill(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    PyObject* image = fill_sig.single(args, nargs, kwnames);
    if (!image) return nullptr;
    rn::ptr mask(get(self, RN_ID(image01)));
    if (!mask) return nullptr;
    geo::Bound b[4];
    if (!window(self, b)) return nullptr;
    rn::ptr mask_win(geo::crop(mask.get(), b[0], b[1], b[2], b[3], false));
    if (!mask_win) return nullptr;
    return fill(mask_win.get(), [&] { return geo::crop(image, b[0], b[1], b[2], b[3]); });
}

PyObject* crop_and_fill_bb(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
    PyObject* image = fill_bb_sig.single(args, nargs, kwnames);
    if (!image) return nullptr;
    rn::ptr mask(get(self, RN_ID(image01)));
    if (!mask) return nullptr;
    geo::Bound b[4];
    if (!bounds(self, {RN_ID(bb_min_h), RN_ID(bb_max_h), RN_ID(bb_min_w), RN_ID(bb_max_w)}, true,
                b))
        return nullptr;
    rn::ptr mask_win(geo::crop(mask.get(), b[0], b[1], b[2], b[3], false));
    if (!mask_win) return nullptr;
    return fill(mask_win.get(), [&]() -> PyObject* {
        rn::ptr box(get(self, RN_ID(bounding_box)));
        return box ? PyObject_CallMethodOneArg(box.get(), RN_ID(crop), image) : nullptr;
    });
}

const rn::Signature real_xy_sig(
    "ZoneShape.crop_real_xy", "x, y",
    "(x + min_w, y + min_h): frame coordinates of a point given relative to the window.",
    rn::METHOD);

PyObject* crop_real_xy(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
    PyObject* a[2];
    if (!real_xy_sig.parse(args, nargs, kwnames, a)) return nullptr;
    rn::ptr min_w(get(self, RN_ID(min_w)));
    rn::ptr x(min_w ? PyNumber_Add(a[0], min_w.get()) : nullptr);
    if (!x) return nullptr;
    rn::ptr min_h(get(self, RN_ID(min_h)));
    rn::ptr y(min_h ? PyNumber_Add(a[1], min_h.get()) : nullptr);
    if (!y) return nullptr;
    return PyTuple_Pack(2, x.get(), y.get());
}

// ---------------------------------------------------------------- drawing

const rn::Signature draw_sig(
    "ZoneShape.draw",
    "image, bgr_color_polygonal=(0, 255, 0), draw_box=False, bgr_color_box=(200, 255, 200), "
    "thickness=None",
    "Draws on `image` in place: when draw_box is true first the window's rectangle from\n"
    "(min_w, min_h) to (max_w, max_h) through draw_box_text, then the outline of xy_list\n"
    "through draw_polygonal.  A thickness of None lets each derive its own width.",
    rn::METHOD);

PyObject* draw(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[5];
    if (!draw_sig.parse(args, nargs, kwnames, a)) return nullptr;
    PyObject *image = a[0], *thickness = a[4];
    rn::ptr kw(PyTuple_Pack(2, RN_ID(bgr_color), RN_ID(thickness)));
    if (!kw) return nullptr;
    const int box = PyObject_IsTrue(a[2]);
    if (box < 0) return nullptr;
    if (box) {
        rn::ptr fn(rn::global(g_module, RN_ID(draw_box_text)));
        if (!fn) return nullptr;
        rn::ptr min_h(get(self, RN_ID(min_h)));
        rn::ptr min_w(min_h ? get(self, RN_ID(min_w)) : nullptr);
        rn::ptr max_h(min_w ? get(self, RN_ID(max_h)) : nullptr);
        if (!max_h) return nullptr;
        rn::ptr height(PyNumber_Subtract(max_h.get(), min_h.get()));
        rn::ptr max_w(height ? get(self, RN_ID(max_w)) : nullptr);
        if (!max_w) return nullptr;
        rn::ptr width(PyNumber_Subtract(max_w.get(), min_w.get()));
        if (!width) return nullptr;
        PyObject* argv[7] = {image, min_h.get(), min_w.get(), height.get(), width.get(), a[3],
                             thickness};
        rn::ptr r(PyObject_Vectorcall(fn.get(), argv, 5, kw.get()));
        if (!r) return nullptr;
    }
    rn::ptr fn(rn::global(g_module, RN_ID(draw_polygonal)));
    if (!fn) return nullptr;
    rn::ptr xy_list(get(self, RN_ID(xy_list)));
    if (!xy_list) return nullptr;
    PyObject* argv[4] = {image, xy_list.get(), a[1], thickness};
    rn::ptr r(PyObject_Vectorcall(fn.get(), argv, 2, kw.get()));
    if (!r) return nullptr;
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------- type and module

PyMethodDef zone_methods[] = {crop_has_sig.def(crop_has),
                              has_sig.def(has),
                              crop_sig.def(crop),
                              crop_bb_sig.def(crop_bb),
                              fill_sig.def(crop_and_fill),
                              fill_bb_sig.def(crop_and_fill_bb),
                              real_xy_sig.def(crop_real_xy),
                              draw_sig.def(draw),
                              {nullptr, nullptr, 0, nullptr}};

PyType_Slot zone_slots[] = {{Py_tp_doc, (void*)init_sig.doc()},
                            {Py_tp_init, (void*)zone_init},
                            {Py_tp_new, (void*)PyType_GenericNew},
                            {Py_tp_methods, zone_methods},
                            RN_PLAIN_SLOTS,
                            {0, nullptr}};

PyType_Spec zone_spec = {"ravu.cv.zone_shape.ZoneShape", sizeof(rn::PlainObject), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
                         zone_slots};

PyModuleDef moduledef = {
    PyModuleDef_HEAD_INIT, "ravu.cv.zone_shape",
    "Polygonal zones of a frame: mask, crop window, crops and point tests.\n\n"
    "ZoneShape(width, height, xy_list, ...) -- a zone with its 0/1 mask, bounding\n"
    "    box and crop window.\n"
    "merge_region(zones) -- one common window for several zones.",
    -1, nullptr};

int init(PyObject* m) {
    if (_import_array() < 0) return -1;
    if (rn::bind_import(m, nullptr, "numpy", "np") < 0) return -1;
    if (rn::star_import(m, "ravu.cv.image") < 0) return -1;
    if (rn::bind_import(m, "ravu.cv.box", "Box") < 0 || rn::bind_import(m, nullptr, "cv2") < 0)
        return -1;
    g_zone_type = (PyTypeObject*)rn::add_type(m, &zone_spec);
    if (!g_zone_type) return -1;
    g_own_has = rn::class_member(g_zone_type, RN_ID(has));
    if (!g_own_has) return -1;
    Py_INCREF(g_own_has);
    if (PyModule_AddFunctions(m, geo::merge_methods) < 0) return -1;
    return rn::set_all(m, {"ZoneShape", "merge_region"});
}

}  // namespace

PyMODINIT_FUNC PyInit_zone_shape() { return rn::create_module(&moduledef, init, &g_module); }
