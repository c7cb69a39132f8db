// Standardisation and aspect-keeping resizing of ravu.cv.image.
//
// normalize_image gives what image.astype(float32), np.mean, np.std (bounded
// below by 1/sqrt(N)) and the float32 subtract-and-multiply give, bit for
// bit: the loops of image_core.h add in numpy's order, on the widest vectors
// the processor has, with the GIL released.  The elements are read where
// they lie when the array is dense (C or Fortran order), else from a copy
// in numpy's K order, which is the order astype leaves them in and numpy
// sums them in; the result has that layout too, as numpy's has.
//
// The resizing functions do the fitting arithmetic on Python numbers, as
// written, and leave the pixels to cv2.resize.  letterbox_image of a uint8
// image lets cv2.resize write straight into the canvas; everything else is
// assigned by numpy with its unsafe cast.
#include "image.h"
#include "image_core.h"

#include <cmath>
#include <cstring>
#include <utility>

namespace ravu_image {
namespace {

// ---------------------------------------------------------------- normalize

const rn::Signature normalize_image_sig(
    "normalize_image", "image",
    "Standardise an image to zero mean and unit deviation, as float32.\n\n"
    "Every element x becomes (x - mean) * (1 / max(std, 1 / sqrt(N))), the\n"
    "mean and the population deviation taken over all N elements together.\n"
    "A uniform image gives zeros, an empty one an empty array.  Returns a new\n"
    "float32 array of the image's shape; the input is not changed.");

// Chosen once, at import.
const Isa g_isa = widest_isa();

template <typename T>
void standardise_array(Isa isa, PyArrayObject* in, PyArrayObject* out) {
    const T* p = static_cast<const T*>(PyArray_DATA(in));
    float* o = static_cast<float*>(PyArray_DATA(out));
    const size_t n = static_cast<size_t>(PyArray_SIZE(in));
    rn::Unlocked unlocked;
    standardise(isa, p, n, o);
}

// The numpy expression itself, for subclasses of ndarray (a masked array's
// statistics leave its masked elements out, and the result keeps the class):
//   image = image.astype(np.float32)
//   std_adj = np.maximum(np.std(image), 1.0 / np.sqrt(image.size))
//   return np.multiply(np.subtract(image, np.mean(image)), 1 / std_adj)
PyObject* normalize_by_numpy(PyObject* image_in) {
    rn::ptr np(rn::global(g_module, RN_ID(np)));
    if (!np) return nullptr;
    rn::ptr f32(PyObject_GetAttr(np.get(), RN_ID(float32)));
    if (!f32) return nullptr;
    rn::ptr image(PyObject_CallMethodOneArg(image_in, RN_ID(astype), f32.get()));
    if (!image) return nullptr;
    auto np_call = [&](PyObject* name, std::initializer_list<PyObject*> args) -> PyObject* {
        rn::ptr fn(PyObject_GetAttr(np.get(), name));
        return fn ? call(fn.get(), args) : nullptr;
    };
    rn::ptr mean(np_call(RN_ID(mean), {image.get()}));
    if (!mean) return nullptr;
    rn::ptr deviation(np_call(RN_ID(std), {image.get()}));
    if (!deviation) return nullptr;
    rn::ptr size(PyObject_GetAttr(image.get(), RN_ID(size)));
    rn::ptr root(size ? np_call(RN_ID(sqrt), {size.get()}) : nullptr);
    if (!root) return nullptr;
    rn::ptr one(PyFloat_FromDouble(1.0));
    rn::ptr floor(one ? PyNumber_TrueDivide(one.get(), root.get()) : nullptr);
    if (!floor) return nullptr;
    rn::ptr std_adj(np_call(RN_ID(maximum), {deviation.get(), floor.get()}));
    if (!std_adj) return nullptr;
    rn::ptr centred(np_call(RN_ID(subtract), {image.get(), mean.get()}));
    if (!centred) return nullptr;
    rn::ptr int_one(PyLong_FromLong(1));
    rn::ptr factor(int_one ? PyNumber_TrueDivide(int_one.get(), std_adj.get()) : nullptr);
    if (!factor) return nullptr;
    return np_call(RN_ID(multiply), {centred.get(), factor.get()});
}

PyObject* standardised(PyObject* image, Isa isa) {
    if (PyArray_Check(image) && !PyArray_CheckExact(image)) return normalize_by_numpy(image);
    int type = -1;
    if (PyArray_Check(image)) {
        PyArrayObject* a = reinterpret_cast<PyArrayObject*>(image);
        if (PyArray_ISNOTSWAPPED(a)) type = PyArray_TYPE(a);
    }
    rn::ptr src;
    switch (type) {
    case NPY_UBYTE: case NPY_BYTE: case NPY_USHORT: case NPY_SHORT: case NPY_FLOAT:
        // Elements read directly: their float32 values are exact (or are them).
        src = Py_NewRef(image);
        break;
    default: {
        // Any other type goes through numpy's own cast to float32 first.
        rn::ptr f32(rn::global(g_module, {RN_ID(np), RN_ID(float32)}));
        if (!f32) return nullptr;
        rn::ptr cast(PyObject_CallMethodOneArg(image, RN_ID(astype), f32.get()));
        if (!cast) return nullptr;
        type = NPY_FLOAT;
        src = PyArray_FROM_OTF(cast.get(), NPY_FLOAT, 0);
    }
    }
    if (!src) return nullptr;
    PyArrayObject* in = reinterpret_cast<PyArrayObject*>(src.get());
    if (!(PyArray_IS_C_CONTIGUOUS(in) || PyArray_IS_F_CONTIGUOUS(in)) || !PyArray_ISALIGNED(in)) {
        // Dense and aligned by construction, in numpy's K order.
        src = PyArray_NewCopy(in, NPY_KEEPORDER);
        if (!src) return nullptr;
        in = reinterpret_cast<PyArrayObject*>(src.get());
    }
    // The same axis order as the input, so element i of each is the i-th in memory.
    rn::ptr out(PyArray_NewLikeArray(in, NPY_KEEPORDER, PyArray_DescrFromType(NPY_FLOAT), 0));
    if (!out) return nullptr;
    PyArrayObject* o = reinterpret_cast<PyArrayObject*>(out.get());
    if (PyArray_SIZE(in) == 0) return out.release();
    switch (type) {
    case NPY_UBYTE: standardise_array<uint8_t>(isa, in, o); break;
    case NPY_BYTE: standardise_array<int8_t>(isa, in, o); break;
    case NPY_USHORT: standardise_array<uint16_t>(isa, in, o); break;
    case NPY_SHORT: standardise_array<int16_t>(isa, in, o); break;
    default: standardise_array<float>(isa, in, o); break;
    }
    // Always an array, 0-d included, where numpy's scalar arithmetic would
    // give a float64 scalar.
    return out.release();
}

PyObject* normalize_image(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* image = normalize_image_sig.single(args, nargs, kwnames);
    if (!image) return nullptr;
    return standardised(image, g_isa);
}

// For the tests only: normalize_image on the loops of one instruction set,
// "sse2", "avx2" or "avx512", so that every width the processor has can be
// compared; ValueError for one it lacks.
const rn::Signature normalize_image_isa_sig(
    "_normalize_image_isa", "image, isa",
    "normalize_image(image) computed with the loops of instruction set `isa`\n"
    "('sse2', 'avx2' or 'avx512'); for tests.");

PyObject* normalize_image_isa(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    PyObject* a[2];
    if (!normalize_image_isa_sig.parse(args, nargs, kwnames, a)) return nullptr;
    static const std::pair<const char*, Isa> names[] = {
        {"sse2", Isa::sse2}, {"avx2", Isa::avx2}, {"avx512", Isa::avx512}};
    const char* name = PyUnicode_Check(a[1]) ? PyUnicode_AsUTF8(a[1]) : nullptr;
    if (!name && PyErr_Occurred()) return nullptr;
    for (const auto& [text, isa] : names) {
        if (name && std::strcmp(name, text) == 0) {
            if (!isa_supported(isa))
                return PyErr_Format(PyExc_ValueError, "this processor lacks %s", text);
            return standardised(a[0], isa);
        }
    }
    return PyErr_Format(PyExc_ValueError, "unknown instruction set %R", a[1]);
}

// ---------------------------------------------------------------- fitting

// `a, b = seq` with the interpreter's errors.
bool unpack2(PyObject* seq, rn::ptr& a, rn::ptr& b) {
    rn::pynum::Num out[2];
    if (!rn::pynum::unpack(seq, out, 2)) return false;
    a = out[0].o.release();
    b = out[1].o.release();
    return true;
}

// The fitting steps shared by both functions, on Python numbers:
// ih, iw = image.shape[:2]; h, w = shape; scale = min(w / iw, h / ih);
// nw = int(iw * scale); nh = int(ih * scale); resized = cv2.resize(...).
struct Fit {
    rn::ptr h, w, scale, nw, nh;
};

bool fit(PyObject* image, PyObject* shape, Fit& f) {
    rn::ptr image_shape(PyObject_GetAttr(image, RN_ID(shape)));
    if (!image_shape) return false;
    rn::ptr head(PySequence_GetSlice(image_shape.get(), 0, 2));
    if (!head) return false;
    rn::ptr ih, iw;
    if (!unpack2(head.get(), ih, iw) || !unpack2(shape, f.h, f.w)) return false;
    rn::ptr rw(PyNumber_TrueDivide(f.w.get(), iw.get()));
    if (!rw) return false;
    rn::ptr rh(PyNumber_TrueDivide(f.h.get(), ih.get()));
    if (!rh) return false;
    const int smaller = PyObject_RichCompareBool(rh.get(), rw.get(), Py_LT);  // min(rw, rh)
    if (smaller < 0) return false;
    f.scale = Py_NewRef(smaller ? rh.get() : rw.get());
    rn::ptr pw(PyNumber_Multiply(iw.get(), f.scale.get()));
    if (!pw || !(f.nw = PyNumber_Long(pw.get()))) return false;
    rn::ptr ph(PyNumber_Multiply(ih.get(), f.scale.get()));
    return ph && (f.nh = PyNumber_Long(ph.get()));
}

PyObject* resize_kwnames(bool with_dst) {
    static PyObject* plain = Py_BuildValue("(s)", "interpolation");
    static PyObject* dst = Py_BuildValue("(ss)", "dst", "interpolation");
    return with_dst ? dst : plain;
}

// cv2.resize(image, (nw, nh), [dst=dst,] interpolation=interpolation)
PyObject* resize(PyObject* image, const Fit& f, PyObject* interpolation, PyObject* dst = nullptr) {
    PyObject* kwnames = resize_kwnames(dst != nullptr);
    if (!kwnames) return nullptr;
    rn::ptr size(PyTuple_Pack(2, f.nw.get(), f.nh.get()));
    if (!size) return nullptr;
    rn::ptr cv_resize(rn::global(g_module, {RN_ID(cv2), RN_ID(resize)}));
    if (!cv_resize) return nullptr;
    PyObject* with_dst[] = {image, size.get(), dst, interpolation};
    PyObject* without[] = {image, size.get(), interpolation};
    return PyObject_Vectorcall(cv_resize.get(), dst ? with_dst : without, 2, kwnames);
}

const rn::Signature resize_image_scale_sig(
    "resize_image_scale", "image, shape, interpolation=cv2.INTER_LINEAR",
    "Resize `image` to the largest size that fits `shape` = (h, w), keeping\n"
    "its aspect ratio.\n\n"
    "scale = min(w / iw, h / ih); the new size is int(iw * scale) columns by\n"
    "int(ih * scale) rows (so a side can come out one pixel short).  Returns\n"
    "(resized image, scale); the image keeps its element type, a single\n"
    "channel comes back 2-D.  The default interpolation is cv2.INTER_LINEAR as\n"
    "read at import.");

PyObject* resize_image_scale(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    PyObject* a[3];
    if (!resize_image_scale_sig.parse(args, nargs, kwnames, a)) return nullptr;
    Fit f;
    if (!fit(a[0], a[1], f)) return nullptr;
    rn::ptr resized(resize(a[0], f, a[2]));
    if (!resized) return nullptr;
    return PyTuple_Pack(2, resized.get(), f.scale.get());
}

// ---------------------------------------------------------------- letterbox

// A C size from a Python int in [lo, hi], else -1 (no exception).
long long size_in(PyObject* v, long long lo, long long hi) {
    if (!PyLong_CheckExact(v)) return -1;
    int overflow;
    const long long x = PyLong_AsLongLongAndOverflow(v, &overflow);
    if (overflow || x < lo || x > hi) {
        PyErr_Clear();
        return -1;
    }
    return x;
}

// slice(start, stop)
PyObject* slice_of(long long start, long long stop) {
    rn::ptr a(PyLong_FromLongLong(start)), b(PyLong_FromLongLong(stop));
    if (!a || !b) return nullptr;
    return PySlice_New(a.get(), b.get(), nullptr);
}

// The uint8 path: a canvas made here, its margins grey, and cv2.resize
// writing the picture into the middle.  NULL without an exception when
// the case is not one for it.
PyObject* letterbox_uint8(PyObject* image, const Fit& f, PyObject* interpolation) {
    if (!PyArray_Check(image)) return nullptr;
    PyArrayObject* a = reinterpret_cast<PyArrayObject*>(image);
    const int ndim = PyArray_NDIM(a);
    // OpenCV's limit on channels (CV_CN_MAX).
    if (PyArray_TYPE(a) != NPY_UBYTE || ndim < 2 || ndim > 3 ||
        (ndim == 3 && (PyArray_DIM(a, 2) < 1 || PyArray_DIM(a, 2) > 512)))
        return nullptr;
    constexpr long long kMaxSide = 1LL << 31;
    const long long h = size_in(f.h.get(), 1, kMaxSide), w = size_in(f.w.get(), 1, kMaxSide);
    if (h < 0 || w < 0) return nullptr;
    const long long nh = size_in(f.nh.get(), 1, h), nw = size_in(f.nw.get(), 1, w);
    if (nh < 0 || nw < 0) return nullptr;
    const long long c = ndim == 3 ? PyArray_DIM(a, 2) : 1;
    npy_intp dims[3] = {npy_intp(h), npy_intp(w), npy_intp(c)};
    rn::ptr canvas(PyArray_SimpleNew(ndim, dims, NPY_UBYTE));
    if (!canvas) return nullptr;
    const long long top = (h - nh) / 2, left = (w - nw) / 2;
    PyArrayObject* canvas_arr = reinterpret_cast<PyArrayObject*>(canvas.get());
    uint8_t* data = static_cast<uint8_t*>(PyArray_DATA(canvas_arr));
    rn::without_gil([&] { fill_margins(data, h, w, c, top, nh, left, nw, 128); });
    rn::ptr rows(slice_of(top, top + nh)), cols(slice_of(left, left + nw));
    if (!rows || !cols) return nullptr;
    rn::ptr index(PyTuple_Pack(2, rows.get(), cols.get()));
    if (!index) return nullptr;
    rn::ptr middle(PyObject_GetItem(canvas.get(), index.get()));
    if (!middle) return nullptr;
    rn::ptr resized(resize(image, f, interpolation, middle.get()));
    if (!resized) return nullptr;
    // cv2 hands back the very array it wrote into.  Had it allocated
    // another one instead, the general path starts over.
    if (resized.get() != middle.get()) return nullptr;
    return canvas.release();
}

const rn::Signature letterbox_image_sig(
    "letterbox_image", "image, shape, interpolation=cv2.INTER_LINEAR",
    "Resize `image` as resize_image_scale does and centre it on a grey canvas\n"
    "of exactly `shape` = (h, w).\n\n"
    "The canvas is uint8 filled with 128, with the image's channel layout:\n"
    "(h, w) for a 2-D image, (h, w, c) for c channels (one included).  The\n"
    "picture starts at row (h - nh) // 2 and column (w - nw) // 2; its values\n"
    "are cast to uint8 as numpy assigns them (floats truncated, integers\n"
    "wrapped).  Returns the canvas, not the scale.");

PyObject* letterbox_image(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[3];
    if (!letterbox_image_sig.parse(args, nargs, kwnames, a)) return nullptr;
    Fit f;
    if (!fit(a[0], a[1], f)) return nullptr;
    if (PyObject* done = letterbox_uint8(a[0], f, a[2])) return done;
    if (PyErr_Occurred()) return nullptr;

    rn::ptr resized(resize(a[0], f, a[2]));
    if (!resized) return nullptr;
    // Channel layout of the input: cv2.resize gives one channel back 2-D.
    rn::ptr in_shape(PyObject_GetAttr(a[0], RN_ID(shape)));
    if (!in_shape) return nullptr;
    const Py_ssize_t in_ndim = PyObject_Length(in_shape.get());
    if (in_ndim < 0) return nullptr;
    rn::ptr out_shape(PyObject_GetAttr(resized.get(), RN_ID(shape)));
    if (!out_shape) return nullptr;
    const Py_ssize_t out_ndim = PyObject_Length(out_shape.get());
    if (out_ndim < 0) return nullptr;
    rn::ptr canvas_shape;
    const bool one_channel = in_ndim >= 3 && out_ndim == 2;
    if (in_ndim == 2 && out_ndim == 2) {
        canvas_shape = PyTuple_Pack(2, f.h.get(), f.w.get());
    } else {
        rn::ptr channels(one_channel ? PyLong_FromLong(1) : PySequence_GetItem(out_shape.get(), 2));
        if (!channels) return nullptr;
        canvas_shape = PyTuple_Pack(3, f.h.get(), f.w.get(), channels.get());
    }
    if (!canvas_shape) return nullptr;
    rn::ptr full(rn::global(g_module, {RN_ID(np), RN_ID(full)}));
    if (!full) return nullptr;
    rn::ptr u8(rn::global(g_module, {RN_ID(np), RN_ID(uint8)}));
    if (!u8) return nullptr;
    rn::ptr grey(PyLong_FromLong(128));
    if (!grey) return nullptr;
    rn::ptr canvas(call(full.get(), {canvas_shape.get(), grey.get(), u8.get()}));
    if (!canvas) return nullptr;

    rn::ptr two(PyLong_FromLong(2));
    rn::ptr dh(PyNumber_Subtract(f.h.get(), f.nh.get()));
    if (!two || !dh) return nullptr;
    rn::ptr top(PyNumber_FloorDivide(dh.get(), two.get()));
    if (!top) return nullptr;
    rn::ptr dw(PyNumber_Subtract(f.w.get(), f.nw.get()));
    if (!dw) return nullptr;
    rn::ptr left(PyNumber_FloorDivide(dw.get(), two.get()));
    if (!left) return nullptr;
    rn::ptr bottom(PyNumber_Add(top.get(), f.nh.get()));
    rn::ptr right(PyNumber_Add(left.get(), f.nw.get()));
    if (!bottom || !right) return nullptr;
    rn::ptr rows(PySlice_New(top.get(), bottom.get(), nullptr));
    rn::ptr cols(PySlice_New(left.get(), right.get(), nullptr));
    if (!rows || !cols) return nullptr;
    rn::ptr index;
    if (in_ndim == 2 && out_ndim == 2) {
        index = PyTuple_Pack(2, rows.get(), cols.get());
    } else if (one_channel) {
        rn::ptr zero(PyLong_FromLong(0));
        if (!zero) return nullptr;
        index = PyTuple_Pack(3, rows.get(), cols.get(), zero.get());
    } else {
        rn::ptr all(PySlice_New(nullptr, nullptr, nullptr));
        if (!all) return nullptr;
        index = PyTuple_Pack(3, rows.get(), cols.get(), all.get());
    }
    if (!index || PyObject_SetItem(canvas.get(), index.get(), resized.get()) < 0) return nullptr;
    return canvas.release();
}

}  // namespace

PyMethodDef array_methods[] = {normalize_image_sig.def(normalize_image),
                               resize_image_scale_sig.def(resize_image_scale),
                               letterbox_image_sig.def(letterbox_image),
                               normalize_image_isa_sig.def(normalize_image_isa), {}};

int init_array_defaults(PyObject* inter_linear) {
    resize_image_scale_sig.set_default("interpolation", inter_linear);
    letterbox_image_sig.set_default("interpolation", inter_linear);
    return 0;
}

}  // namespace ravu_image
