// The module functions of ravu.cv.zone_shape made in zone_merge.cpp, added
// to the module at its initialisation.
#pragma once

#include <Python.h>

namespace geo {
extern PyMethodDef merge_methods[];
}  // namespace geo
