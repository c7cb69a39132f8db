// The small library every ravu extension module stands on, header-only:
// rn_base.h (names, errors, module globals, heap types, module creation),
// rn_signature.h (each signature stated once: parsing with CPython's own
// TypeError messages, defaults, docstring, text signature),
// rn_imports.h (the bindings of a module body, the exact-integer test),
// rn_thread.h (threads the interpreter may end at exit) and rn_redis.h
// (Redis scripts run by digest and loaded again when the server lost them).
// Every module includes this file once.
#pragma once

#include "rn_base.h"
#include "rn_imports.h"
#include "rn_signature.h"
#include "rn_redis.h"
#include "rn_thread.h"
