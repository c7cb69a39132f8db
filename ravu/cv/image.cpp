// ravu.cv.image: drawing on frames through OpenCV, base64 image text through
// Pillow, standardisation and aspect-keeping resizing.
//
// This file holds the module's import sequence and the base64 codec; the
// drawing functions live in image_draw.cpp, standardisation and resizing in
// image_array.cpp.  The codec is a chain of library calls on purpose: Pillow
// decodes (keeping its decompression-bomb guard) and encodes (its bytes,
// not OpenCV's), and the standard base64 module keeps its decoding rules.
#define RAVU_IMAGE_IMPORT_ARRAY
#include "image.h"

namespace ravu_image {

PyObject* g_module = nullptr;

namespace {

// The head of an image data URL; without flags, ".+" stops at a line break.
constexpr const char* kDataUrlPrefix = "^data:image/.+;base64,";

PyObject* prefix_pattern() {
    static PyObject* s = PyUnicode_InternFromString(kDataUrlPrefix);
    return s;
}

const rn::Signature b64_to_arr_sig(
    "b64_to_arr", "b64",
    "Decode base64 image text into a numpy array.\n\n"
    "A leading 'data:image/...;base64,' prefix is removed; the rest is decoded\n"
    "with base64.b64decode (characters outside the alphabet are skipped, bad\n"
    "padding raises binascii.Error) and opened with Pillow.  The array keeps\n"
    "the file's layout and channel order: RGB for colour files, (h, w) for\n"
    "grey, (h, w, 4) with alpha.  Nothing is swapped to BGR.");

PyObject* b64_to_arr(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* b64 = b64_to_arr_sig.single(args, nargs, kwnames);
    if (!b64) return nullptr;
    rn::ptr sub(global_attr(RN_ID(re), RN_ID(sub)));
    if (!sub) return nullptr;
    rn::ptr text(call(sub.get(), {prefix_pattern(), RN_STR(""), b64}));
    if (!text) return nullptr;
    rn::ptr decode(global_attr(RN_ID(base64), RN_ID(b64decode)));
    if (!decode) return nullptr;
    rn::ptr raw(call(decode.get(), {text.get()}));
    if (!raw) return nullptr;
    rn::ptr bytes_io(global_attr(RN_ID(io), RN_ID(BytesIO)));
    if (!bytes_io) return nullptr;
    rn::ptr stream(call(bytes_io.get(), {raw.get()}));
    if (!stream) return nullptr;
    rn::ptr open(global_attr(RN_ID(Image), RN_ID(open)));
    if (!open) return nullptr;
    rn::ptr img(call(open.get(), {stream.get()}));
    if (!img) return nullptr;
    rn::ptr array(global_attr(RN_ID(np), RN_ID(array)));
    if (!array) return nullptr;
    return call(array.get(), {img.get()});
}

// An exact ndarray of native uint8 in C order: what astype("uint8") makes.
bool plain_uint8(PyObject* arr) {
    if (!PyArray_CheckExact(arr)) return false;
    PyArrayObject* a = reinterpret_cast<PyArrayObject*>(arr);
    return PyArray_TYPE(a) == NPY_UBYTE && PyArray_IS_C_CONTIGUOUS(a) && PyArray_ISALIGNED(a);
}

const rn::Signature arr_to_b64_sig(
    "arr_to_b64", "arr, format='jpeg'",
    "Encode an array as an image file and return its base64 text.\n\n"
    "The array is cast with astype('uint8') first (integers wrap, floats\n"
    "truncate), wrapped by Image.fromarray (2-D grey, 3 channels RGB, 4 RGBA)\n"
    "and saved by Pillow in `format` with its default options.  Channels are\n"
    "written in array order: a BGR frame comes back as BGR from b64_to_arr but\n"
    "other readers see red and blue exchanged.  The text has no prefix and no\n"
    "line breaks.");

PyObject* arr_to_b64(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[2];
    if (!arr_to_b64_sig.parse(args, nargs, kwnames, a)) return nullptr;
    rn::ptr u8;
    if (plain_uint8(a[0])) {
        // astype would only make an identical copy for Pillow to read.
        u8 = Py_NewRef(a[0]);
    } else {
        rn::ptr astype(PyObject_GetAttr(a[0], RN_ID(astype)));
        if (!astype) return nullptr;
        u8 = call(astype.get(), {RN_ID(uint8)});
        if (!u8) return nullptr;
    }
    rn::ptr fromarray(global_attr(RN_ID(Image), RN_ID(fromarray)));
    if (!fromarray) return nullptr;
    rn::ptr img(call(fromarray.get(), {u8.get()}));
    if (!img) return nullptr;
    rn::ptr bytes_io(global_attr(RN_ID(io), RN_ID(BytesIO)));
    if (!bytes_io) return nullptr;
    rn::ptr buffer(PyObject_CallNoArgs(bytes_io.get()));
    if (!buffer) return nullptr;
    rn::ptr save(PyObject_GetAttr(img.get(), RN_ID(save)));
    if (!save) return nullptr;
    static PyObject* format_kw = Py_BuildValue("(s)", "format");
    if (!format_kw) return nullptr;
    PyObject* save_args[] = {buffer.get(), a[1]};
    rn::ptr saved(PyObject_Vectorcall(save.get(), save_args, 1, format_kw));
    if (!saved) return nullptr;
    rn::ptr data(PyObject_CallMethodNoArgs(buffer.get(), RN_ID(getvalue)));
    if (!data) return nullptr;
    rn::ptr encode(global_attr(RN_ID(base64), RN_ID(b64encode)));
    if (!encode) return nullptr;
    rn::ptr text(call(encode.get(), {data.get()}));
    if (!text) return nullptr;
    return PyObject_CallMethodNoArgs(text.get(), RN_ID(decode));
}

PyModuleDef moduledef = {
    PyModuleDef_HEAD_INIT, "ravu.cv.image",
    "Image functions: drawing, base64 image text, standardisation, resizing.\n\n"
    "Boxes, polygons, lines and points are drawn on frames in place through\n"
    "OpenCV; base64 image text goes through Pillow; standardisation is to zero\n"
    "mean and unit deviation; resizing keeps the aspect, letterboxing pads.",
    -1, nullptr};

int init(PyObject* m) {
    if (rn::bind_import(m, nullptr, "numpy", "np") < 0) return -1;
    if (_import_array() < 0) return -1;
    // `from PIL import Image` binds the submodule PIL.Image itself.
    if (rn::bind_import(m, nullptr, "PIL.Image", "Image") < 0 ||
        rn::bind_import(m, nullptr, "base64") < 0 || rn::bind_import(m, nullptr, "io") < 0 ||
        rn::bind_import(m, nullptr, "re") < 0 || rn::bind_import(m, nullptr, "cv2") < 0)
        return -1;
    if (PyModule_AddFunctions(m, codec_methods) < 0 || PyModule_AddFunctions(m, draw_methods) < 0 ||
        init_draw_defaults() < 0)
        return -1;
    // The resizing default is read once here and kept, whatever cv2 says later.
    rn::ptr inter_linear(global_attr(RN_ID(cv2), RN_ID(INTER_LINEAR)));
    if (!inter_linear || init_array_defaults(inter_linear.get()) < 0 ||
        PyModule_AddFunctions(m, array_methods) < 0)
        return -1;
    return rn::set_all(m, {"b64_to_arr", "arr_to_b64", "draw_box_text", "draw_polygonal",
                           "draw_line", "draw_point", "normalize_image", "resize_image_scale",
                           "letterbox_image"});
}

}  // namespace

PyMethodDef codec_methods[] = {b64_to_arr_sig.def(b64_to_arr), arr_to_b64_sig.def(arr_to_b64), {}};

}  // namespace ravu_image

PyMODINIT_FUNC PyInit_image() {
    return rn::create_module(&ravu_image::moduledef, ravu_image::init, &ravu_image::g_module);
}
