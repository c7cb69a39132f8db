// Shared between the two sources of ravu.utils.working: the module itself
// (working.cpp: run_this and the loading functions) and the process killers
// (working_kill.cpp).
#pragma once

#include "rn.h"

namespace working {

// The module, for globals looked up at call time (`os`, `log`, ...).
extern PyObject* g_module;

extern const rn::Signature kill_other_sig;
extern const rn::Signature kill_all_sig;

PyObject* kill_other(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* kill_all(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace working
