// Internal header of ravu.cv.image: the module object and the method
// tables each source file contributes, plus the call helper they share.
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
int init_array_defaults(PyObject* inter_linear);

// f(*args) for a handful of positional arguments: call(f, {a, b}).
using rn::call;

}  // namespace ravu_image
