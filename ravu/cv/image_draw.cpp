// The drawing functions of ravu.cv.image: rectangle with caption, closed
// polygon, segment and point square, each drawn by the cv2 function of the
// same job, in place.
//
// cv2 itself converts the arguments (its rules for colours and widths stay
// exactly OpenCV's), refuses layouts it cannot draw on in place and drops
// the GIL while it draws.  What is done here: the integer conversions and
// size-derived widths, and the refusals cv2 lacks.  It writes through
// numpy's read-only flag, so a read-only array is refused before anything
// is drawn; it takes arrays of more than three dimensions and corrupts the
// heap drawing on some of them, so those are refused too; it reads a
// caption holding a lone surrogate past its end, so such a caption fails
// its UTF-8 encoding here first; and it wraps int64 polygon points to 32
// bits without a word, so such points are refused.
#include "image.h"

#include <algorithm>
#include <climits>
#include <cmath>

namespace ravu_image {
namespace {

// ---------------------------------------------------------------- helpers

// A C integer from a Python int, saturated: only compared against frame
// sizes, where any value beyond the range acts as the bound itself.
long long saturated(PyObject* v) {
    int overflow;
    long long x = PyLong_AsLongLongAndOverflow(v, &overflow);
    if (overflow) return overflow > 0 ? LLONG_MAX : LLONG_MIN;
    if (x == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return 0;
    }
    return x;
}

long long floor_div(long long a, long long b) {
    long long q = a / b;
    return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

// image.shape[0] and image.shape[1]: IndexError below two dimensions.
bool frame_size(PyObject* image, long long& h, long long& w) {
    if (PyArray_Check(image)) {
        PyArrayObject* a = reinterpret_cast<PyArrayObject*>(image);
        if (PyArray_NDIM(a) < 2) {
            PyErr_SetString(PyExc_IndexError, "tuple index out of range");
            return false;
        }
        h = PyArray_DIM(a, 0);
        w = PyArray_DIM(a, 1);
        return true;
    }
    rn::ptr shape(PyObject_GetAttr(image, RN_ID(shape)));
    if (!shape) return false;
    rn::ptr h_obj(PySequence_GetItem(shape.get(), 0));
    if (!h_obj) return false;
    rn::ptr w_obj(PySequence_GetItem(shape.get(), 1));
    if (!w_obj) return false;
    h = PyLong_AsLongLong(h_obj.get());
    if (h == -1 && PyErr_Occurred()) return false;
    w = PyLong_AsLongLong(w_obj.get());
    return !(w == -1 && PyErr_Occurred());
}

// S = min(H, W), the smaller side.
bool smaller_side(PyObject* image, long long& s) {
    long long h, w;
    if (!frame_size(image, h, w)) return false;
    s = std::min(h, w);
    return true;
}

// The frame width max(S // 300, 1) unless the caller gave one.
PyObject* line_width(PyObject* given, long long s, rn::ptr& keep) {
    if (given != Py_None) return given;
    keep = PyLong_FromLongLong(std::max(floor_div(s, 300), 1LL));
    return keep.get();
}

// OpenCV writes into read-only arrays (even the bytes under np.frombuffer
// and read-only memory maps, where it faults), and maps an array of four or
// more dimensions onto a matrix it then overruns (a (1, 1, 1, 1) float
// array corrupts the heap): refuse both first.
bool writable(PyObject* image) {
    if (!PyArray_Check(image)) return true;
    PyArrayObject* a = reinterpret_cast<PyArrayObject*>(image);
    if (!PyArray_ISWRITEABLE(a)) {
        PyErr_SetString(PyExc_ValueError, "image is read-only");
        return false;
    }
    if (PyArray_NDIM(a) > 3) {
        PyErr_Format(PyExc_ValueError, "image has %d dimensions, at most 3 can be drawn on",
                     PyArray_NDIM(a));
        return false;
    }
    return true;
}

// int(v) for each of `n` arguments in order: truncation toward zero, NaN
// and infinity fail here, before anything is drawn.
bool to_ints(PyObject* const* in, rn::ptr* out, int n) {
    for (int i = 0; i < n; ++i) {
        out[i] = PyNumber_Long(in[i]);
        if (!out[i]) return false;
    }
    return true;
}

PyObject* pair(PyObject* x, PyObject* y) { return PyTuple_Pack(2, x, y); }

PyObject* cv2_func(PyObject* name) { return rn::global(g_module, {RN_ID(cv2), name}); }

// ---------------------------------------------------------------- box

const rn::Signature draw_box_text_sig(
    "draw_box_text",
    "image, top, left, height, width, text=None, bgr_color=(235, 206, 135), thickness=None",
    "Draw a rectangle and an optional caption on `image`, in place.\n\n"
    "The rectangle runs from (left, top) to (left + width, top + height), both\n"
    "corners on the outline; the four coordinates are converted with int().\n"
    "Unless `text` is None, it is written in the same colour and width with its\n"
    "baseline at (left, max(1, top - min(3, S // 60))) and font scale 0.001 * S,\n"
    "S being the frame's smaller side.  `thickness` None means\n"
    "max(1, min(S // 300, min(height, width) // 10)).  Returns None; raises\n"
    "ValueError for a read-only image or one of more than three dimensions.");

PyObject* draw_box_text(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[8];
    if (!draw_box_text_sig.parse(args, nargs, kwnames, a)) return nullptr;
    PyObject *image = a[0], *text = a[5], *color = a[6];
    rn::ptr v[4];  // top, left, height, width
    if (!to_ints(a + 1, v, 4)) return nullptr;
    PyObject *top = v[0].get(), *left = v[1].get(), *height = v[2].get(), *width = v[3].get();
    long long s;
    if (!smaller_side(image, s)) return nullptr;
    PyObject* thickness = a[7];
    rn::ptr keep;
    if (thickness == Py_None) {
        const long long m = std::min(saturated(height), saturated(width));
        keep = PyLong_FromLongLong(std::max(1LL, std::min(floor_div(s, 300), floor_div(m, 10))));
        if (!keep) return nullptr;
        thickness = keep.get();
    }
    if (!writable(image)) return nullptr;
    rn::ptr right(PyNumber_Add(left, width));
    if (!right) return nullptr;
    rn::ptr bottom(PyNumber_Add(top, height));
    if (!bottom) return nullptr;
    rn::ptr p1(pair(left, top)), p2(pair(right.get(), bottom.get()));
    if (!p1 || !p2) return nullptr;
    rn::ptr rectangle(cv2_func(RN_ID(rectangle)));
    if (!rectangle) return nullptr;
    rn::ptr done(call(rectangle.get(), {image, p1.get(), p2.get(), color, thickness}));
    if (!done) return nullptr;
    if (text == Py_None) Py_RETURN_NONE;

    rn::ptr lift(PyLong_FromLongLong(std::min(3LL, floor_div(s, 60))));
    if (!lift) return nullptr;
    rn::ptr raised(PyNumber_Subtract(top, lift.get()));
    if (!raised) return nullptr;
    rn::ptr baseline_y(saturated(raised.get()) > 1 ? raised.release() : PyLong_FromLong(1));
    if (!baseline_y) return nullptr;
    rn::ptr origin(pair(left, baseline_y.get()));
    if (!origin) return nullptr;
    rn::ptr font(cv2_func(RN_ID(FONT_HERSHEY_SIMPLEX)));
    if (!font) return nullptr;
    // 0.001 * S, as written: S / 1000 differs in the last bit for some sizes.
    rn::ptr scale(PyFloat_FromDouble(0.001 * static_cast<double>(s)));
    if (!scale) return nullptr;
    // OpenCV reads a caption with a lone surrogate out of bounds: such a
    // text fails its UTF-8 encoding here, as any other bad caption fails in
    // putText, after the rectangle.
    if (PyUnicode_Check(text) && !PyUnicode_AsUTF8AndSize(text, nullptr)) return nullptr;
    rn::ptr put_text(cv2_func(RN_ID(putText)));
    if (!put_text) return nullptr;
    done = call(put_text.get(),
                {image, text, origin.get(), font.get(), scale.get(), color, thickness});
    if (!done) return nullptr;
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------- polygon

// The polygon's points as numpy's default integer type, like
// astype(np.int_), but refusing what OpenCV would wrap to 32 bits: NaN
// (ValueError, as int() says it), infinities and coordinates outside the
// signed 32-bit range (OverflowError).
PyObject* polygon_points(PyObject* xy_list) {
    rn::ptr lst(PyList_New(1));
    if (!lst) return nullptr;
    PyList_SET_ITEM(lst.get(), 0, Py_NewRef(xy_list));
    rn::ptr np_array(rn::global(g_module, {RN_ID(np), RN_ID(array)}));
    if (!np_array) return nullptr;
    rn::ptr arr(call(np_array.get(), {lst.get()}));
    if (!arr) return nullptr;
    auto out_of_range = [] {
        PyErr_SetString(PyExc_OverflowError,
                        "polygon point coordinate outside the signed 32-bit range");
        return nullptr;
    };
    if (PyArray_Check(arr.get())) {
        PyArrayObject* pa = reinterpret_cast<PyArrayObject*>(arr.get());
        if (PyArray_ISFLOAT(pa)) {
            rn::ptr d(PyArray_FROM_OTF(arr.get(), NPY_DOUBLE, NPY_ARRAY_IN_ARRAY));
            if (!d) return nullptr;
            PyArrayObject* da = reinterpret_cast<PyArrayObject*>(d.get());
            const double* p = static_cast<const double*>(PyArray_DATA(da));
            for (npy_intp i = 0, n = PyArray_SIZE(da); i < n; ++i) {
                if (std::isnan(p[i]))
                    return rn::raise(PyExc_ValueError, "cannot convert float NaN to integer");
                if (std::isinf(p[i]))
                    return rn::raise(PyExc_OverflowError,
                                     "cannot convert float infinity to integer");
                const double t = std::trunc(p[i]);
                if (t < INT32_MIN || t > INT32_MAX) return out_of_range();
            }
        } else if (PyArray_ISUNSIGNED(pa)) {
            // Checked before the cast, which would wrap values above INT64_MAX.
            rn::ptr u(PyArray_FROM_OTF(arr.get(), NPY_ULONGLONG, NPY_ARRAY_IN_ARRAY));
            if (!u) return nullptr;
            PyArrayObject* ua = reinterpret_cast<PyArrayObject*>(u.get());
            const auto* p = static_cast<const unsigned long long*>(PyArray_DATA(ua));
            for (npy_intp i = 0, n = PyArray_SIZE(ua); i < n; ++i)
                if (p[i] > static_cast<unsigned long long>(INT32_MAX)) return out_of_range();
        }
    }
    rn::ptr int_type(rn::global(g_module, {RN_ID(np), RN_ID(int_)}));
    if (!int_type) return nullptr;
    rn::ptr pts(PyObject_CallMethodOneArg(arr.get(), RN_ID(astype), int_type.get()));
    if (!pts) return nullptr;
    rn::ptr check(PyArray_FROM_OTF(pts.get(), NPY_LONG, NPY_ARRAY_IN_ARRAY));
    if (!check) return nullptr;
    PyArrayObject* ca = reinterpret_cast<PyArrayObject*>(check.get());
    const long* p = static_cast<const long*>(PyArray_DATA(ca));
    for (npy_intp i = 0, n = PyArray_SIZE(ca); i < n; ++i)
        if (p[i] < INT32_MIN || p[i] > INT32_MAX) return out_of_range();
    return pts.release();
}

const rn::Signature draw_polygonal_sig(
    "draw_polygonal", "image, xy_list, bgr_color=(0, 255, 0), thickness=None",
    "Draw the closed outline through the (x, y) points of `xy_list` on `image`,\n"
    "in place, the last point joined to the first.\n\n"
    "Float coordinates are truncated toward zero.  `thickness` None means\n"
    "max(S // 300, 1), S being the frame's smaller side.  Returns None; raises\n"
    "ValueError for a read-only image, an image of more than three dimensions\n"
    "or a NaN coordinate and OverflowError for a coordinate outside the signed\n"
    "32-bit range.");

PyObject* draw_polygonal(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[4];
    if (!draw_polygonal_sig.parse(args, nargs, kwnames, a)) return nullptr;
    long long s;
    if (!smaller_side(a[0], s)) return nullptr;
    rn::ptr keep;
    PyObject* thickness = line_width(a[3], s, keep);
    if (!thickness) return nullptr;
    rn::ptr pts(polygon_points(a[1]));
    if (!pts || !writable(a[0])) return nullptr;
    rn::ptr polylines(cv2_func(RN_ID(polylines)));
    if (!polylines) return nullptr;
    rn::ptr closed(PyLong_FromLong(1));
    if (!closed) return nullptr;
    rn::ptr done(call(polylines.get(), {a[0], pts.get(), closed.get(), a[2], thickness}));
    if (!done) return nullptr;
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------- line

const rn::Signature draw_line_sig(
    "draw_line", "image, x1, y1, x2, y2, bgr_color=(0, 97, 255), thickness=None",
    "Draw the segment from (x1, y1) to (x2, y2) on `image`, in place.\n\n"
    "The coordinates are converted with int().  `thickness` None means\n"
    "max(S // 300, 1), S being the frame's smaller side.  Returns None; raises\n"
    "ValueError for a read-only image or one of more than three dimensions.");

PyObject* draw_line(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[7];
    if (!draw_line_sig.parse(args, nargs, kwnames, a)) return nullptr;
    rn::ptr v[4];
    if (!to_ints(a + 1, v, 4)) return nullptr;
    long long s;
    if (!smaller_side(a[0], s)) return nullptr;
    rn::ptr keep;
    PyObject* thickness = line_width(a[6], s, keep);
    if (!thickness || !writable(a[0])) return nullptr;
    rn::ptr p1(pair(v[0].get(), v[1].get())), p2(pair(v[2].get(), v[3].get()));
    if (!p1 || !p2) return nullptr;
    rn::ptr line(cv2_func(RN_ID(line)));
    if (!line) return nullptr;
    static PyObject* kwnames_out = Py_BuildValue("(ss)", "color", "thickness");
    if (!kwnames_out) return nullptr;
    PyObject* call_args[] = {a[0], p1.get(), p2.get(), a[5], thickness};
    rn::ptr done(PyObject_Vectorcall(line.get(), call_args, 3, kwnames_out));
    if (!done) return nullptr;
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------- point

// Largest |width| taken on the C path; beyond it the clamping runs on
// Python numbers, exactly as written.
constexpr long long kSmallWidth = 1LL << 40;

// np.array([[(x - t, y - t), (x - t, y + t), (x + t, y + t), (x + t, y - t)]])
// with x = min(max(x, t), W - t - 1), y = min(max(y, t), H - t - 1).
PyObject* point_square(PyObject* x_obj, PyObject* y_obj, PyObject* t_obj, long long h,
                       long long w) {
    const long long t = PyLong_Check(t_obj) ? saturated(t_obj) : LLONG_MAX;
    if (t > -kSmallWidth && t < kSmallWidth) {
        const long long x = std::min(std::max(saturated(x_obj), t), w - t - 1);
        const long long y = std::min(std::max(saturated(y_obj), t), h - t - 1);
        npy_intp dims[3] = {1, 4, 2};
        PyObject* arr = PyArray_SimpleNew(3, dims, NPY_LONG);
        if (!arr) return nullptr;
        long* p = static_cast<long*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(arr)));
        const long corners[8] = {long(x - t), long(y - t), long(x - t), long(y + t),
                                 long(x + t), long(y + t), long(x + t), long(y - t)};
        std::copy(corners, corners + 8, p);
        return arr;
    }
    // A width of another type (float, numpy number) or of huge size: the
    // same steps on Python numbers, so numpy picks the array type.
    auto clamp = [t_obj](PyObject* v, long long size) -> PyObject* {
        const int below = PyObject_RichCompareBool(v, t_obj, Py_LT);  // max(v, t)
        if (below < 0) return nullptr;
        PyObject* lo = below ? t_obj : v;
        rn::ptr size_obj(PyLong_FromLongLong(size));
        if (!size_obj) return nullptr;
        rn::ptr diff(PyNumber_Subtract(size_obj.get(), t_obj));
        if (!diff) return nullptr;
        rn::ptr one(PyLong_FromLong(1));
        rn::ptr hi(PyNumber_Subtract(diff.get(), one.get()));
        if (!hi) return nullptr;
        const int above = PyObject_RichCompareBool(hi.get(), lo, Py_LT);  // min(lo, hi)
        if (above < 0) return nullptr;
        return Py_NewRef(above ? hi.get() : lo);
    };
    rn::ptr x(clamp(x_obj, w));
    if (!x) return nullptr;
    rn::ptr y(clamp(y_obj, h));
    if (!y) return nullptr;
    rn::ptr x0(PyNumber_Subtract(x.get(), t_obj)), x1(PyNumber_Add(x.get(), t_obj));
    rn::ptr y0(PyNumber_Subtract(y.get(), t_obj)), y1(PyNumber_Add(y.get(), t_obj));
    if (!x0 || !x1 || !y0 || !y1) return nullptr;
    rn::ptr corners(Py_BuildValue("[[(OO)(OO)(OO)(OO)]]", x0.get(), y0.get(), x0.get(), y1.get(),
                                  x1.get(), y1.get(), x1.get(), y0.get()));
    if (!corners) return nullptr;
    rn::ptr np_array(rn::global(g_module, {RN_ID(np), RN_ID(array)}));
    if (!np_array) return nullptr;
    return call(np_array.get(), {corners.get()});
}

const rn::Signature draw_point_sig(
    "draw_point", "image, x, y, bgr_color=(0, 0, 255), thickness=None",
    "Mark (x, y) on `image` with a filled square of half side t, in place.\n\n"
    "x and y are converted with int() and moved inside the image: x becomes\n"
    "min(max(x, t), W - t - 1), y likewise with H.  t is `thickness`, or\n"
    "max(S // 300, 1) when None (S the frame's smaller side).  The square\n"
    "covers 2t + 1 pixels a side.  Returns None; raises ValueError for a\n"
    "read-only image or one of more than three dimensions.");

PyObject* draw_point(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[5];
    if (!draw_point_sig.parse(args, nargs, kwnames, a)) return nullptr;
    rn::ptr v[2];
    if (!to_ints(a + 1, v, 2)) return nullptr;
    long long h, w;
    if (!frame_size(a[0], h, w)) return nullptr;
    rn::ptr keep;
    PyObject* t = line_width(a[4], std::min(h, w), keep);
    if (!t) return nullptr;
    rn::ptr square(point_square(v[0].get(), v[1].get(), t, h, w));
    if (!square || !writable(a[0])) return nullptr;
    rn::ptr fill_poly(cv2_func(RN_ID(fillPoly)));
    if (!fill_poly) return nullptr;
    rn::ptr done(call(fill_poly.get(), {a[0], square.get(), a[3]}));
    if (!done) return nullptr;
    Py_RETURN_NONE;
}

}  // namespace

PyMethodDef draw_methods[] = {draw_box_text_sig.def(draw_box_text),
                              draw_polygonal_sig.def(draw_polygonal),
                              draw_line_sig.def(draw_line), draw_point_sig.def(draw_point), {}};

}  // namespace ravu_image
