// The small library every ravu extension module stands on, header-only:
// rn_base.h (names, errors, heap types, module creation), rn_call.h
// (module globals looked up at call time and calls of them),
// rn_attr.h (instance-dict attributes, the "still the stock object?" test),
// rn_pynum.h (the interpreter's int and float arithmetic, exact in C where
// rn_num.h can be, the number protocol elsewhere),
// rn_signature.h (each signature stated once: parsing with CPython's own
// TypeError messages, defaults, docstring, text signature),
// rn_callable.h (function-like objects of our own type), rn_imports.h
// (the bindings of a module body), rn_thread.h (threads the interpreter may
// end at exit) and rn_redis.h (Redis scripts run by digest and loaded again
// when the server lost them).
// Every module includes this file once.
#pragma once

#include "rn_attr.h"
#include "rn_base.h"
#include "rn_call.h"
#include "rn_callable.h"
#include "rn_imports.h"
#include "rn_pynum.h"
#include "rn_signature.h"
#include "rn_redis.h"
#include "rn_thread.h"
