// ravu.utils.kv_link: redis-py clients cached per thread and per process,
// keyed by "host-port-db" of a Redis configuration.
//
// The module state lives in module globals (`__local`, `__pool_dict`,
// `__redis_conf`, `_socket_timeout`, `_mutex`), read at every call as the
// functions of a Python module would.  The two getters are function
// objects of our own, since they carry a return annotation and a builtin
// function has no `__annotations__`.
#include "rn.h"

namespace {

PyObject* g_module = nullptr;
PyTypeObject* g_function_type = nullptr;

// ---------------------------------------------------------------- pool key

// The decimal text of a port or db value: an int as it is (a bool as 1 or
// 0), anything else through its own __int__ only, so a text is refused.
PyObject* int_text(PyObject* v, const char* fallback) {
    if (v == Py_None) return PyUnicode_FromString(fallback);
    if (PyLong_Check(v)) return PyLong_Type.tp_repr(v);
    PyNumberMethods* nb = Py_TYPE(v)->tp_as_number;
    if (!nb || !nb->nb_int) return rn::raise(PyExc_TypeError, "an integer is required");
    rn::ptr i(nb->nb_int(v));
    if (!i) return nullptr;
    if (!PyLong_Check(i.get()))
        return rn::raise(PyExc_TypeError, "__int__ returned non-int (type %.200s)",
                         Py_TYPE(i.get())->tp_name);
    return PyLong_Type.tp_repr(i.get());
}

// conf.get(name), with the exact dict read directly.
PyObject* conf_get(PyObject* conf, PyObject* name) {
    if (PyDict_CheckExact(conf)) {
        PyObject* v = PyDict_GetItemWithError(conf, name);
        if (v) return Py_NewRef(v);
        return PyErr_Occurred() ? nullptr : Py_NewRef(Py_None);
    }
    return PyObject_CallMethodOneArg(conf, RN_ID(get), name);
}

// (pool key, configuration): the configuration is `index`, or the module
// configuration when `index` is None.
bool pool_key(PyObject* index, rn::ptr& key, rn::ptr& conf) {
    conf = index == Py_None ? rn::global(g_module, RN_STR("__redis_conf")) : Py_NewRef(index);
    if (!conf) return false;
    rn::ptr host(conf_get(conf.get(), RN_ID(host)));
    if (!host) return false;
    rn::ptr port(conf_get(conf.get(), RN_ID(port)));
    if (!port) return false;
    rn::ptr db(conf_get(conf.get(), RN_ID(db)));
    if (!db) return false;
    rn::ptr host_text(host.get() == Py_None ? PyUnicode_FromString("127.0.0.1")
                                            : PyObject_Str(host.get()));
    if (!host_text) return false;
    rn::ptr port_text(int_text(port.get(), "6379"));
    if (!port_text) return false;
    rn::ptr db_text(int_text(db.get(), "0"));
    if (!db_text) return false;
    key = PyUnicode_FromFormat("%U-%U-%U", host_text.get(), port_text.get(), db_text.get());
    return bool(key);
}

const rn::Signature pool_key_sig(
    "_redis_pool_key", "index",
    "The pool key \"host-port-db\" of a Redis configuration and the configuration\n"
    "used (the module configuration when index is None), as a 2-tuple.");

PyObject* redis_pool_key(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
    PyObject* index = pool_key_sig.single(args, nargs, kwnames);
    if (!index) return nullptr;
    rn::ptr key, conf;
    if (!pool_key(index, key, conf)) return nullptr;
    return PyTuple_Pack(2, key.get(), conf.get());
}

// ---------------------------------------------------------------- creation

// `with _mutex:` around `make`, the lock taken and given back through its
// own methods (acquire waits with the GIL released).
template <typename Make>
PyObject* under_mutex(Make make) {
    rn::ptr mutex(rn::global(g_module, RN_ID(_mutex)));
    if (!mutex) return nullptr;
    rn::park_at_exit();  // the wait below, with our references held
    rn::ptr got(PyObject_CallMethodNoArgs(mutex.get(), RN_ID(acquire)));
    if (!got) return nullptr;
    rn::ptr result(make());
    rn::SavedError saved;
    rn::ptr released(PyObject_CallMethodNoArgs(mutex.get(), RN_ID(release)));
    if (!released) return nullptr;
    return result.release();
}

// dict(conf): the keyword arguments of a constructor, a copy.
PyObject* conf_kwargs(PyObject* conf) {
    return PyObject_CallOneArg((PyObject*)&PyDict_Type, conf);
}

// cache.get(key), borrowed-free: new reference or None.
PyObject* cache_get(PyObject* cache, PyObject* key) { return conf_get(cache, key); }

// A connection pool builds its connections at the first command, so an
// option its connection class refuses (a keyword it lacks, a value it
// cannot take) would fail every command of a client already cached.  The
// pool's first connection is made now and handed back to it for that
// command: making one opens nothing, so a server that is down fails no
// getter.
bool make_first_connection(PyObject* pool) {
    rn::ptr conn(PyObject_CallMethodNoArgs(pool, RN_ID(make_connection)));
    if (!conn) return false;
    rn::ptr released(PyObject_CallMethodOneArg(pool, RN_ID(release), conn.get()));
    return bool(released);
}

PyObject* make_local_client(PyObject* cache, PyObject* key, PyObject* conf) {
    rn::ptr found(cache_get(cache, key));
    if (!found || found.get() != Py_None) return found.release();
    rn::ptr kwargs(conf_kwargs(conf));
    if (!kwargs) return nullptr;
    rn::ptr cls(rn::global(g_module, {RN_ID(redis), RN_ID(Redis)}));
    if (!cls) return nullptr;
    const int dup = PyDict_Contains(kwargs.get(), RN_ID(socket_timeout));
    if (dup < 0) return nullptr;
    if (dup) {
        // The interpreter's message for Redis(**conf, socket_timeout=...).
        rn::ptr mod(PyObject_GetAttr(cls.get(), RN_ID(__module__)));
        rn::ptr qual(mod ? PyObject_GetAttr(cls.get(), RN_ID(__qualname__)) : nullptr);
        if (!qual) return nullptr;
        return rn::raise(PyExc_TypeError,
                         "%S.%S() got multiple values for keyword argument 'socket_timeout'",
                         mod.get(), qual.get());
    }
    rn::ptr timeout(rn::global(g_module, RN_ID(_socket_timeout)));
    if (!timeout || PyDict_SetItem(kwargs.get(), RN_ID(socket_timeout), timeout.get()) < 0)
        return nullptr;
    rn::ptr empty(PyTuple_New(0));
    if (!empty) return nullptr;
    rn::ptr client(PyObject_Call(cls.get(), empty.get(), kwargs.get()));
    if (!client) return nullptr;
    rn::ptr pool(PyObject_GetAttr(client.get(), RN_ID(connection_pool)));
    if (!pool || !make_first_connection(pool.get()) ||
        PyObject_SetItem(cache, key, client.get()) < 0)
        return nullptr;
    return client.release();
}

PyObject* make_pool_client(PyObject* cache, PyObject* key, PyObject* conf) {
    rn::ptr found(cache_get(cache, key));
    if (!found || found.get() != Py_None) return found.release();
    rn::ptr kwargs(conf_kwargs(conf));
    if (!kwargs) return nullptr;
    rn::ptr pool_cls(rn::global(g_module, {RN_ID(redis), RN_ID(ConnectionPool)}));
    if (!pool_cls) return nullptr;
    rn::ptr empty(PyTuple_New(0));
    if (!empty) return nullptr;
    rn::ptr pool(PyObject_Call(pool_cls.get(), empty.get(), kwargs.get()));
    if (!pool || !make_first_connection(pool.get())) return nullptr;
    rn::ptr cls(rn::global(g_module, {RN_ID(redis), RN_ID(Redis)}));
    if (!cls) return nullptr;
    rn::ptr kw(Py_BuildValue("{sO}", "connection_pool", pool.get()));
    if (!kw) return nullptr;
    rn::ptr client(PyObject_Call(cls.get(), empty.get(), kw.get()));
    if (!client || PyObject_SetItem(cache, key, client.get()) < 0) return nullptr;
    return client.release();
}

// The calling thread's cache dict, made under _mutex on its first call.
PyObject* thread_cache() {
    rn::ptr local(rn::global(g_module, RN_STR("__local")));
    if (!local) return nullptr;
    PyObject* d = PyObject_GetAttr(local.get(), RN_ID(redis_conn_dict));
    if (d) return d;
    PyErr_Clear();
    return under_mutex([&]() -> PyObject* {
        PyObject* again = PyObject_GetAttr(local.get(), RN_ID(redis_conn_dict));
        if (again) return again;
        PyErr_Clear();
        rn::ptr fresh(PyDict_New());
        if (!fresh || PyObject_SetAttr(local.get(), RN_ID(redis_conn_dict), fresh.get()) < 0)
            return nullptr;
        return fresh.release();
    });
}

PyObject* conn_local(PyObject* index) {
    rn::ptr key, conf;
    if (!pool_key(index, key, conf)) return nullptr;
    rn::ptr cache(thread_cache());
    if (!cache) return nullptr;
    rn::ptr found(cache_get(cache.get(), key.get()));
    if (!found || found.get() != Py_None) return found.release();
    return under_mutex(
        [&]() { return make_local_client(cache.get(), key.get(), conf.get()); });
}

PyObject* conn_pool(PyObject* index) {
    rn::ptr key, conf;
    if (!pool_key(index, key, conf)) return nullptr;
    rn::ptr cache(rn::global(g_module, RN_STR("__pool_dict")));
    if (!cache) return nullptr;
    rn::ptr found(cache_get(cache.get(), key.get()));
    if (!found || found.get() != Py_None) return found.release();
    return under_mutex([&]() { return make_pool_client(cache.get(), key.get(), conf.get()); });
}

// ---------------------------------------------------------------- getters

const rn::Signature local_sig(
    "redis_conn_local", "index=None",
    "The calling thread's redis.Redis client for a Redis configuration (a\n"
    "mapping of redis.Redis keyword arguments; None: the one read from\n"
    "\"redis.json\").  Clients are cached per thread by \"host-port-db\", so the\n"
    "first configuration seen for a key decides its client.  New clients get the\n"
    "socket time-out of get_redis_socket_timeout(); a configuration holding\n"
    "\"socket_timeout\" raises TypeError when a client has to be made for it.");

const rn::Signature pool_sig(
    "redis_conn_pool", "index=None",
    "The process-wide redis.Redis client, over a connection pool of its own, for\n"
    "a Redis configuration (None: the one read from \"redis.json\").  Cached by\n"
    "\"host-port-db\" for the life of the process and shared by all threads.\n"
    "A port or db without an integer conversion raises TypeError, and an option\n"
    "the connections refuse raises here (no connection is opened); neither is cached.");

// The getters are function objects (rn_callable.h), since they carry a
// return annotation and a builtin function has no __annotations__; as
// class attributes they stay unbound, as builtin functions do.
template <const rn::Signature& S, PyObject* (*Impl)(PyObject*)>
PyObject* getter_call(PyObject*, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    PyObject* a[1];
    if (!S.parse(args, (Py_ssize_t)nargsf, kwnames, a)) return nullptr;
    return Impl(a[0]);
}

const rn::FunctionKind local_kind{local_sig, getter_call<local_sig, conn_local>, rn::STAYS};
const rn::FunctionKind pool_kind{pool_sig, getter_call<pool_sig, conn_pool>, rn::STAYS};

PyObject* new_getter(const rn::FunctionKind& kind, PyObject* annotation) {
    rn::ptr fn(rn::new_function(g_function_type, kind));
    rn::ptr annotations(fn ? Py_BuildValue("{sO}", "return", annotation) : nullptr);
    if (!annotations || PyObject_SetAttr(fn.get(), RN_ID(__annotations__), annotations.get()) < 0)
        return nullptr;
    return fn.release();
}

// ---------------------------------------------------------------- time-out

const rn::Signature get_timeout_sig("get_redis_socket_timeout", "",
                                    "The socket time-out (seconds) given to new per-thread "
                                    "clients; 100 at import.");

PyObject* get_timeout(PyObject*) { return rn::global(g_module, RN_ID(_socket_timeout)); }

PyObject* get_timeout_fn(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
    if (!get_timeout_sig.none(args, nargs, kwnames)) return nullptr;
    return get_timeout(self);
}

const rn::Signature set_timeout_sig(
    "set_redis_socket_timeout", "socket_timeout",
    "Store the socket time-out for per-thread clients made from now on; cached\n"
    "and pooled clients keep theirs.  The value is stored unchecked.");

PyObject* set_timeout(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* t = set_timeout_sig.single(args, nargs, kwnames);
    if (!t || PyModule_AddObjectRef(g_module, "_socket_timeout", t) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyMethodDef methods[] = {get_timeout_sig.def(get_timeout_fn), set_timeout_sig.def(set_timeout),
                         pool_key_sig.def(redis_pool_key), {}};

PyModuleDef moduledef = {
    PyModuleDef_HEAD_INIT, "ravu.utils.kv_link",
    "Cached redis-py clients, one per thread or one per process and server.\n\n"
    "redis_conn_local(index=None) -- the calling thread's client.\n"
    "redis_conn_pool(index=None), redis_conn(index=None) -- the process's client.\n"
    "get_redis_socket_timeout(), set_redis_socket_timeout(socket_timeout) --\n"
    "    the socket time-out of the per-thread clients made from then on.\n\n"
    "Clients are cached by host, port and db.  The configuration not passed\n"
    "by the caller is read once at import from \"redis.json\" in the\n"
    "configuration directory.",
    -1, methods};

// __redis_conf = json.load(open(relative_conf_path("redis.json"))), every
// failure dropped: the defaults stay.  A file whose top level is not an
// object is such a failure: a list or a number has no options to give.
void read_conf(PyObject* m) {
    rn::ptr path_fn(rn::global(m, RN_ID(relative_conf_path)));
    rn::ptr path(path_fn ? PyObject_CallOneArg(path_fn.get(), RN_STR("redis.json")) : nullptr);
    rn::ptr open_fn(path ? rn::global(m, RN_ID(open)) : nullptr);
    rn::ptr file(open_fn ? PyObject_CallOneArg(open_fn.get(), path.get()) : nullptr);
    if (!file) {
        PyErr_Clear();
        return;
    }
    rn::ptr json(rn::global(m, RN_ID(json)));
    rn::ptr value(json ? PyObject_CallMethodOneArg(json.get(), RN_ID(load), file.get()) : nullptr);
    {
        rn::SavedError saved;
        rn::ptr closed(PyObject_CallMethodNoArgs(file.get(), RN_ID(close)));
    }
    if (PyErr_Occurred() || !value || !PyDict_Check(value.get())) {
        PyErr_Clear();
        return;
    }
    if (PyModule_AddObjectRef(m, "__redis_conf", value.get()) < 0) PyErr_Clear();
}

int init(PyObject* m) {
    if (rn::bind_imports(m, {{"ravu._internal.path", "relative_conf_path"},
                             {"werkzeug.local", "Local"}, {nullptr, "redis"}, {nullptr, "json"},
                             {nullptr, "threading"}}) < 0)
        return -1;
    rn::ptr local_cls(rn::global(m, RN_ID(Local)));
    rn::ptr local(local_cls ? PyObject_CallNoArgs(local_cls.get()) : nullptr);
    rn::ptr threading(rn::global(m, RN_ID(threading)));
    rn::ptr mutex(threading ? PyObject_CallMethodNoArgs(threading.get(), RN_ID(Lock)) : nullptr);
    rn::ptr pools(PyDict_New());
    rn::ptr conf(Py_BuildValue("{sssi}", "host", "127.0.0.1", "port", 6379));
    if (!local || !mutex || !pools || !conf ||
        PyModule_AddObjectRef(m, "__local", local.get()) < 0 ||
        PyModule_AddObjectRef(m, "__pool_dict", pools.get()) < 0 ||
        PyModule_AddIntConstant(m, "_socket_timeout", 100) < 0 ||
        PyModule_AddObjectRef(m, "_mutex", mutex.get()) < 0 ||
        PyModule_AddObjectRef(m, "__redis_conf", conf.get()) < 0)
        return -1;
    read_conf(m);

    g_function_type = rn::function_type(m, "ravu.utils.kv_link.function");
    if (!g_function_type) return -1;
    rn::ptr annotation(rn::global(m, {RN_ID(redis), RN_ID(Redis)}));
    if (!annotation) return -1;
    rn::ptr local_fn(new_getter(local_kind, annotation.get()));
    rn::ptr pool_fn(new_getter(pool_kind, annotation.get()));
    if (!local_fn || !pool_fn || PyModule_AddObjectRef(m, "redis_conn_local", local_fn.get()) < 0 ||
        PyModule_AddObjectRef(m, "redis_conn_pool", pool_fn.get()) < 0 ||
        PyModule_AddObjectRef(m, "redis_conn", pool_fn.get()) < 0)
        return -1;
    return rn::set_all(m, {"redis_conn", "redis_conn_local", "redis_conn_pool",
                           "get_redis_socket_timeout", "set_redis_socket_timeout"});
}

}  // namespace

PyMODINIT_FUNC PyInit_kv_link() { return rn::create_module(&moduledef, init, &g_module); }
