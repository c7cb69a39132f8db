// ravu.utils.kv_mutex: KvMutex, a lock across processes and hosts held in
// one expiring Redis key ("RAVU_RDLOCK" + name) whose value is the
// holder's token.  Taken by SET NX EX, polled every 10 ms until the
// deadline; released by a script that deletes the key only while it still
// holds the token.
//
// The public state is plain instance attributes (callers read and assign
// them); the count of open `with` blocks is a C field, so that a failed
// nested __enter__ can give the outer block its token back.
#include "rn.h"

namespace {

PyObject* g_module = nullptr;
PyObject* g_set_kwnames = nullptr;   // ("ex", "nx")
PyObject* g_call_kwnames = nullptr;  // ("keys", "args")

const char kUnlockScript[] =
    "\n"
    "if redis.call(\"get\",KEYS[1]) == ARGV[1] then\n"
    "    return redis.call(\"del\",KEYS[1])\n"
    "else\n"
    "    return 0\n"
    "end\n";

struct Mutex : rn::PlainObject {
    Py_ssize_t open_blocks;  // __enter__ calls that succeeded and are not yet exited
};

// ---------------------------------------------------------------- token and clock

// The token, the clock and the pause go through the module globals `uuid`
// and `time`, looked up at each use, so that a caller who replaces them
// (a frozen clock, fixed tokens) is obeyed as by a Python module.

// str(uuid.uuid4())
PyObject* new_token() {
    rn::ptr u(rn::call_global(g_module, {RN_ID(uuid), RN_ID(uuid4)}));
    return u ? PyObject_Str(u.get()) : nullptr;
}

// time.time()
PyObject* now() {
    return rn::call_global(g_module, {RN_ID(time), RN_ID(time)});
}

// time.sleep(0.01)
bool pause_10ms() {
    rn::ptr pause(PyFloat_FromDouble(0.01));
    if (!pause) return false;
    rn::ptr r(rn::call_global(g_module, {RN_ID(time), RN_ID(sleep)}, pause.get()));
    return bool(r);
}

// ---------------------------------------------------------------- KvMutex

int set_attr(PyObject* self, PyObject* name, PyObject* value) {
    return PyObject_SetAttr(self, name, value);
}

// self.name: the instance dict first, the full protocol otherwise.
PyObject* get_attr(PyObject* self, PyObject* name) { return rn::get_attr(self, name); }

const rn::Signature init_sig(
    "KvMutex.__init__", "lock_name, redis_conf=None, acquire_timeout=12, lock_timeout=None",
    "A lock across processes sharing one Redis server, used as `with KvMutex(name):`.\n\n"
    "The lock is the key \"RAVU_RDLOCK\" + str(lock_name) on the pooled client of\n"
    "redis_conf (None: the configuration of \"redis.json\").  Entering waits up to\n"
    "acquire_timeout seconds (int) and raises Exception(\"KvMutex acquire_timeout\");\n"
    "the key expires after lock_timeout seconds (int, default acquire_timeout),\n"
    "clamped to 2..180.  Not re-entrant.",
    rn::INIT);

int mutex_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* a[4];
    rn::ptr keep;
    if (!init_sig.parse_tuple(args, kwargs, a, keep)) return -1;
    if (set_attr(self, RN_ID(redis_conf), a[1]) < 0) return -1;
    rn::ptr name_text(PyObject_Str(a[0]));
    if (!name_text) return -1;
    rn::ptr key(PyUnicode_Concat(RN_STR("RAVU_RDLOCK"), name_text.get()));
    if (!key || set_attr(self, RN_ID(lock_name), key.get()) < 0) return -1;
    rn::ptr acquire(PyNumber_Long(a[2]));
    if (!acquire || set_attr(self, RN_ID(acquire_timeout), acquire.get()) < 0) return -1;
    rn::ptr lock(a[3] == Py_None ? get_attr(self, RN_ID(acquire_timeout))
                                 : PyNumber_Long(a[3]));
    if (!lock) return -1;
    int overflow;
    const long long t = PyLong_AsLongLongAndOverflow(lock.get(), &overflow);
    if (t == -1 && PyErr_Occurred()) return -1;
    if (overflow < 0 || (!overflow && t < 2)) lock = PyLong_FromLong(2);
    else if (overflow > 0 || t > 180) lock = PyLong_FromLong(180);
    if (!lock || set_attr(self, RN_ID(lock_timeout), lock.get()) < 0) return -1;
    reinterpret_cast<Mutex*>(self)->open_blocks = 0;
    return set_attr(self, RN_ID(uuid), Py_None);
}

PyObject* redis_client(PyObject* self) {
    rn::ptr conf(get_attr(self, RN_ID(redis_conf)));
    if (!conf) return nullptr;
    return rn::call_global(g_module, RN_ID(redis_conn), conf.get());
}

// One SET key token EX lock_timeout NX: 1 when the key was made, 0 when it
// exists, -1 on error.
int try_take(PyObject* self, PyObject* token) {
    rn::ptr conn(redis_client(self));
    if (!conn) return -1;
    rn::ptr key(get_attr(self, RN_ID(lock_name)));
    if (!key) return -1;
    rn::ptr expiry(get_attr(self, RN_ID(lock_timeout)));
    if (!expiry) return -1;
    PyObject* a[5] = {conn.get(), key.get(), token, expiry.get(), Py_True};
    rn::ptr r(PyObject_VectorcallMethod(RN_ID(set), a, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                        g_set_kwnames));
    return r ? PyObject_IsTrue(r.get()) : -1;
}

// The wait for the key: `while time.time() < lock_end_time`, the end
// being `time.time() + acquire_timeout` taken once.  A failure keeps `uuid`
// as the caller leaves it.  Returns 1 (held), 0 (deadline passed) or -1
// (error).
int acquire(PyObject* self, PyObject* token) {
    rn::park_at_exit();  // each poll's pause and round trip lets the interpreter end us
    rn::ptr start(now());
    if (!start) return -1;
    rn::ptr timeout(get_attr(self, RN_ID(acquire_timeout)));
    if (!timeout) return -1;
    rn::ptr end(PyNumber_Add(start.get(), timeout.get()));
    if (!end) return -1;
    for (;;) {
        rn::ptr t(now());
        if (!t) return -1;
        const int before = PyObject_RichCompareBool(t.get(), end.get(), Py_LT);
        if (before <= 0) return before;
        const int took = try_take(self, token);
        if (took != 0) return took;
        if (!pause_10ms()) return -1;
    }
}

// ---------------------------------------------------------------- release

// redis-py's classes, found at the first release: (client, Script), or
// both NULL when redis-py is not importable.
PyObject* g_redis_cls = nullptr;
PyObject* g_script_cls = nullptr;
bool g_redis_looked = false;

// Whether `script` is a plain redis-py Script registered on `conn`, an
// exact redis.Redis (no pipeline).  Calling such a script runs EVALSHA of
// its digest and, when the server lacks it, SCRIPT LOAD of its text and
// EVALSHA again: run_plain_script does exactly that, without the per-call
// import and argument shuffling of Script.__call__.
int plain_script(PyObject* conn, PyObject* script) {
    if (!g_redis_looked) {
        g_redis_looked = true;
        g_redis_cls = rn::import_attr("redis.client", "Redis");
        g_script_cls = g_redis_cls ? rn::import_attr("redis.commands.core", "Script") : nullptr;
        if (!g_script_cls) {
            PyErr_Clear();
            Py_CLEAR(g_redis_cls);
        }
    }
    if (!g_script_cls || (PyObject*)Py_TYPE(conn) != g_redis_cls ||
        (PyObject*)Py_TYPE(script) != g_script_cls)
        return 0;
    rn::ptr owner(PyObject_GetAttr(script, RN_ID(registered_client)));
    if (!owner) return -1;
    return owner.get() == conn;
}

// Script.__call__'s rule: only a lost script is loaded again (the new
// digest kept on the script object, as it does) and rerun.
PyObject* run_plain_script(PyObject* conn, PyObject* script, PyObject* key, PyObject* token) {
    rn::ptr digest(PyObject_GetAttr(script, RN_ID(sha)));
    if (!digest) return nullptr;
    return rn::run_script(
        digest.get(), rn::ScriptRetry::kLost,
        [&](PyObject* d) { return rn::evalsha(conn, d, 1, {key, token}); },
        [&]() -> PyObject* {
            rn::ptr text(PyObject_GetAttr(script, RN_ID(script)));
            if (!text) return nullptr;
            rn::ptr loaded(PyObject_CallMethodOneArg(conn, RN_ID(script_load), text.get()));
            if (!loaded || PyObject_SetAttr(script, RN_ID(sha), loaded.get()) < 0) return nullptr;
            return loaded.release();
        });
}

PyObject* mutex_enter(PyObject* self) {
    Mutex* m = reinterpret_cast<Mutex*>(self);
    // Inside an open block of this object the attribute holds that block's
    // token, which its __exit__ still needs.
    rn::ptr outer;
    if (m->open_blocks > 0) {
        outer = get_attr(self, RN_ID(uuid));
        if (!outer) return nullptr;
    }
    rn::ptr token(new_token());
    if (!token || set_attr(self, RN_ID(uuid), token.get()) < 0) return nullptr;
    const int got = acquire(self, token.get());
    if (got == 1) {
        ++m->open_blocks;
        Py_RETURN_NONE;
    }
    if (outer) {
        rn::SavedError saved;
        set_attr(self, RN_ID(uuid), outer.get());
    } else if (got == 0 && set_attr(self, RN_ID(uuid), Py_None) < 0) {
        return nullptr;
    }
    if (got == 0) return rn::raise(PyExc_Exception, "KvMutex acquire_timeout");
    return nullptr;
}

const rn::Signature enter_sig("KvMutex.__enter__", "",
                              "Take the lock, polling every 10 ms until acquire_timeout; "
                              "returns None.",
                              rn::METHOD);

const rn::Signature exit_sig(
    "KvMutex.__exit__", "exc_type, exc_val, exc_tb",
    "Release the lock: delete the key only while it holds this object's token.\n"
    "Returns None, so an exception of the block propagates.",
    rn::METHOD);

PyObject* mutex_exit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[3];
    if (!exit_sig.parse(args, nargs, kwnames, a)) return nullptr;
    Mutex* m = reinterpret_cast<Mutex*>(self);
    if (m->open_blocks > 0) --m->open_blocks;
    rn::ptr token(get_attr(self, RN_ID(uuid)));
    if (!token) return nullptr;
    if (token.get() == Py_None) Py_RETURN_NONE;
    rn::ptr conn(redis_client(self));
    if (!conn) return nullptr;
    rn::ptr text(rn::global(g_module, RN_ID(_unlock_script)));
    if (!text) return nullptr;
    rn::ptr script(PyObject_CallMethodOneArg(conn.get(), RN_ID(register_script), text.get()));
    if (!script) return nullptr;
    rn::ptr key(get_attr(self, RN_ID(lock_name)));
    if (!key) return nullptr;
    const int plain = plain_script(conn.get(), script.get());
    if (plain < 0) return nullptr;
    if (plain) {
        rn::ptr r(run_plain_script(conn.get(), script.get(), key.get(), token.get()));
        if (!r) return nullptr;
        Py_RETURN_NONE;
    }
    rn::ptr keys(PyList_New(1)), argv(PyList_New(1));
    if (!keys || !argv) return nullptr;
    PyList_SET_ITEM(keys.get(), 0, key.release());
    PyList_SET_ITEM(argv.get(), 0, token.release());
    PyObject* c[3] = {nullptr, keys.get(), argv.get()};
    rn::ptr r(PyObject_Vectorcall(script.get(), c + 1, 0 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                  g_call_kwnames));
    if (!r) return nullptr;
    Py_RETURN_NONE;
}

PyMethodDef mutex_methods[] = {enter_sig.def(rn::noargs<enter_sig, mutex_enter>),
                               exit_sig.def(mutex_exit), {}};

PyType_Slot mutex_slots[] = {{Py_tp_doc, (void*)init_sig.doc()},
                             {Py_tp_init, (void*)mutex_init},
                             {Py_tp_methods, mutex_methods},
                             RN_PLAIN_SLOTS,
                             {0, nullptr}};

PyType_Spec mutex_spec = {"ravu.utils.kv_mutex.KvMutex", sizeof(Mutex), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
                          mutex_slots};

PyModuleDef moduledef = {PyModuleDef_HEAD_INIT, "ravu.utils.kv_mutex",
                         "KvMutex: a lock across processes and hosts in one expiring Redis key.\n\n"
                         "    with KvMutex(\"camera-7\"):\n"
                         "        ...  # one holder at a time on this Redis server\n\n"
                         "The key \"RAVU_RDLOCK\" + lock_name is set with NX and an expiry, holding a\n"
                         "fresh token; leaving the block deletes it only while it still holds that\n"
                         "token.  A holder that dies leaves the key to expire.",
                         -1, nullptr};

int init(PyObject* m) {
    if (rn::bind_imports(m, {{nullptr, "time"}, {nullptr, "uuid"},
                             {"ravu.utils.kv_link", "redis_conn"}}) < 0 ||
        PyModule_AddStringConstant(m, "_unlock_script", kUnlockScript) < 0)
        return -1;
    g_set_kwnames = Py_BuildValue("(ss)", "ex", "nx");
    g_call_kwnames = Py_BuildValue("(ss)", "keys", "args");
    if (!g_set_kwnames || !g_call_kwnames) return -1;
    rn::ptr type(rn::add_type(m, &mutex_spec));
    if (!type) return -1;
    return rn::set_all(m, {"KvMutex"});
}

}  // namespace

PyMODINIT_FUNC PyInit_kv_mutex() { return rn::create_module(&moduledef, init, &g_module); }
