// Server-side Redis scripts run by digest (EVALSHA), loaded again when the
// server has lost them (its script cache flushed, a restart, a fail-over).
// Included through rn.h; redis-py itself is reached only through the
// client objects the modules are given and its exception classes.
//
// One runner, one question per script: may its first run be repeated?
// A script whose first run failed may or may not have done its work (a
// read time-out comes after the server ran it), so only a run the server
// refused because it lacked the script is always safe to repeat.
#pragma once

#include "rn_base.h"

namespace rn {

// redis.exceptions.NoScriptError, borrowed; NULL without an exception when
// redis-py cannot give it (then no error counts as a lost script).  Kept
// once found; called with no exception pending, since it may import.
inline PyObject* redis_no_script_error() {
    static PyObject* cls = nullptr;
    if (!cls) {
        cls = import_attr("redis.exceptions", "NoScriptError");
        if (!cls) PyErr_Clear();
    }
    return cls;
}

// conn.evalsha(digest, numkeys, *keys_and_args): the first `numkeys`
// values are the script's keys, the rest its arguments (our scripts take
// at most two of them together).
inline PyObject* evalsha(PyObject* conn, PyObject* digest, Py_ssize_t numkeys,
                         std::initializer_list<PyObject*> keys_and_args) {
    constexpr size_t kMax = 4;
    if (keys_and_args.size() > kMax)
        return raise(PyExc_SystemError, "evalsha: more than %d keys and arguments", int(kMax));
    ptr count(PyLong_FromSsize_t(numkeys));
    if (!count) return nullptr;
    PyObject* a[3 + kMax] = {conn, digest, count.get()};
    size_t n = 3;
    for (PyObject* v : keys_and_args) a[n++] = v;
    return PyObject_VectorcallMethod(RN_ID(evalsha), a, n | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                     nullptr);
}

// What follows a first run that raised an Exception (other exceptions,
// KeyboardInterrupt say, always pass straight through).
enum class ScriptRetry {
    // Only a lost script is loaded again and rerun; any other error passes
    // unchanged (redis-py's Script call).
    kLost,
    // Any error loads the script again (the digest may be stale), but only
    // a lost script is rerun: the other errors are raised after the reload.
    kReloadAny,
    // Any error loads the script again and reruns it once: a second run is
    // harmless (a fresh counter value, say).
    kRerunAny,
};

// Runs a script by its digest: `run(digest)` makes the call (and whatever
// reading of the reply belongs to it), `load()` sends the script text and
// stores the digest wherever its owner keeps it, both returning new
// references.  A NULL `digest` loads first, an error there passing
// unchanged.  After a failed first run as `retry` says, a failed reload or
// second run raises with the first error as its context, as code in an
// `except` block does.
template <typename Run, typename Load>
PyObject* run_script(PyObject* digest, ScriptRetry retry, Run&& run, Load&& load) {
    ptr d(digest, true);
    if (!d) {
        d = load();
        if (!d) return nullptr;
    }
    PyObject* r = run(d.get());
    if (r || !PyErr_ExceptionMatches(PyExc_Exception)) return r;
    SavedError first;  // put back on every return below, unless recovered from
    PyObject* no_script = redis_no_script_error();
    const bool lost = no_script && first.matches(no_script);
    if (!lost && retry == ScriptRetry::kLost) return nullptr;
    d = load();
    if (!d || (!lost && retry == ScriptRetry::kReloadAny)) return nullptr;
    r = run(d.get());
    if (r) first.drop();
    return r;
}

}  // namespace rn
