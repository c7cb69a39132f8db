// Internal header of ravu.cv.image: the module object and the method
// tables each source file contributes, plus small helpers they share.
#pragma once

#define PY_ARRAY_UNIQUE_SYMBOL ravu_cv_image_ARRAY_API
#ifndef RAVU_IMAGE_IMPORT_ARRAY
#define NO_IMPORT_ARRAY
#endif
#include "rn.h"

#include <numpy/arrayobject.h>

namespace ravu_image {

extern PyObject* g_module;

// Method tables, added to the module in this order (the order of __all__).
extern PyMethodDef codec_methods[];  // b64_to_arr, arr_to_b64
extern PyMethodDef draw_methods[];   // draw_box_text, draw_polygonal, draw_line, draw_point
extern PyMethodDef array_methods[];  // normalize_image, resize_image_scale, letterbox_image

// Defaults that are not literals, set once the module's imports are bound.
int init_draw_defaults();
int init_array_defaults(PyObject* inter_linear);

// `module_global.attr`, the global looked up now (as a Python function's
// body would at every call).  New reference.
inline PyObject* global_attr(PyObject* global, PyObject* attr) {
    rn::ptr g(rn::global(g_module, global));
    if (!g) return nullptr;
    return PyObject_GetAttr(g.get(), attr);
}

// f(*args) for a handful of positional arguments.
inline PyObject* call(PyObject* f, std::initializer_list<PyObject*> args) {
    return PyObject_Vectorcall(f, const_cast<PyObject**>(args.begin()), args.size(), nullptr);
}

}  // namespace ravu_image
