// ravu.mqrpc.route: the process's registry of request handlers, by URL
// and phase (before, during, after the handling of a request), with the
// default handlers that get_handles stores for phases left empty.
//
// Everything the functions use is a module global looked up at each call
// (`_route_dict`, `log`, `request`, `get_ident`, `get_any_from_dict`, the
// phase constants, `add_response_route`, the default handlers), so that
// rebinding any of them takes effect as it would in a Python module.
#include "rn.h"

namespace {

PyObject* g_module = nullptr;
PyTypeObject* g_decorator_type = nullptr;
// The creators get_handles passes to get_any_from_dict, made once: each
// returns the module global named by its `self` (a default handler).
PyObject* g_creators[3] = {nullptr, nullptr, nullptr};

PyObject* global(PyObject* name) { return rn::global(g_module, name); }

// ---------------------------------------------------------------- registration

const rn::Signature add_sig(
    "add_response_route", "url, func, phase='DURING'",
    "Register func as the handler of url for phase (PHASE_BEFORE, PHASE_DURING or\n"
    "PHASE_AFTER; neither is checked).  A phase that already holds a handler\n"
    "raises Exception(\"<url> <phase> is exist!\") and keeps the first one.  All\n"
    "handlers of a URL must be registered before its first get_handles().");

PyObject* add_route(PyObject* url, PyObject* func, PyObject* phase) {
    rn::ptr routes(global(RN_ID(_route_dict)));
    if (!routes) return nullptr;
    rn::ptr handles(PyObject_CallMethodOneArg(routes.get(), RN_ID(get), url));
    if (!handles) return nullptr;
    if (handles.get() == Py_None) {
        rn::ptr fresh(PyDict_New());
        if (!fresh || PyDict_SetItem(fresh.get(), phase, func) < 0 ||
            PyObject_SetItem(routes.get(), url, fresh.get()) < 0)
            return nullptr;
        Py_RETURN_NONE;
    }
    rn::ptr held(PyObject_CallMethodOneArg(handles.get(), RN_ID(get), phase));
    if (!held) return nullptr;
    if (held.get() != Py_None) {
        rn::ptr msg(PyUnicode_FromFormat("%S %S is exist!", url, phase));
        return msg ? rn::raise_obj(PyExc_Exception, msg.get()) : nullptr;
    }
    if (PyObject_SetItem(handles.get(), phase, func) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* add_response_route(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    PyObject* a[3];
    if (!add_sig.parse(args, nargs, kwnames, a)) return nullptr;
    return add_route(a[0], a[1], a[2]);
}

// ---------------------------------------------------------------- the decorator

// What response_route returns: behaves as the closure `decorator(func)`
// that registers func through the global add_response_route and gives it
// back unchanged.  Binds like a function.
struct Decorator {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject* url;
    PyObject* phase;
};

const rn::Signature decorator_sig(
    "response_route.<locals>.decorator", "func",
    "Register func for the URL and phase given to response_route; returns func.");

PyObject* decorator_call(PyObject* self, PyObject* const* args, size_t nargsf,
                         PyObject* kwnames) {
    PyObject* func = decorator_sig.single(args, (Py_ssize_t)nargsf, kwnames);
    if (!func) return nullptr;
    Decorator* d = reinterpret_cast<Decorator*>(self);
    rn::ptr add(global(RN_ID(add_response_route)));
    if (!add) return nullptr;
    PyObject* a[3] = {d->url, func, d->phase};
    rn::ptr r(PyObject_Vectorcall(add.get(), a, 3, nullptr));
    return r ? Py_NewRef(func) : nullptr;
}

PyObject* decorator_get(PyObject* self, PyObject* obj, PyObject*) {
    if (!obj || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

int decorator_traverse(PyObject* self, visitproc visit, void* arg) {
    Decorator* d = reinterpret_cast<Decorator*>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(d->url);
    Py_VISIT(d->phase);
    return 0;
}

int decorator_clear(PyObject* self) {
    Decorator* d = reinterpret_cast<Decorator*>(self);
    Py_CLEAR(d->url);
    Py_CLEAR(d->phase);
    return 0;
}

PyObject* decorator_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function response_route.<locals>.decorator at %p>", self);
}

template <const char* Text>
PyObject* constant(PyObject*, void*) {
    return PyUnicode_FromString(Text);
}

const char kName[] = "decorator";
const char kQualname[] = "response_route.<locals>.decorator";
const char kModule[] = "ravu.mqrpc.route";
const char kTextSignature[] = "(func)";

PyObject* decorator_doc(PyObject*, void*) {
    const char* body = std::strstr(decorator_sig.doc(), "\n--\n\n");
    return PyUnicode_FromString(body ? body + 5 : decorator_sig.doc());
}

PyGetSetDef decorator_getset[] = {
    {"__name__", constant<kName>, nullptr, nullptr, nullptr},
    {"__qualname__", constant<kQualname>, nullptr, nullptr, nullptr},
    {"__module__", constant<kModule>, nullptr, nullptr, nullptr},
    {"__text_signature__", constant<kTextSignature>, nullptr, nullptr, nullptr},
    {"__doc__", decorator_doc, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyMemberDef decorator_members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(Decorator, vectorcall), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr}};

PyType_Slot decorator_slots[] = {{Py_tp_call, (void*)PyVectorcall_Call},
                                 {Py_tp_descr_get, (void*)decorator_get},
                                 {Py_tp_repr, (void*)decorator_repr},
                                 {Py_tp_traverse, (void*)decorator_traverse},
                                 {Py_tp_clear, (void*)decorator_clear},
                                 {Py_tp_dealloc, (void*)rn::gc_dealloc<decorator_clear>},
                                 {Py_tp_getset, decorator_getset},
                                 {Py_tp_members, decorator_members},
                                 {0, nullptr}};

PyType_Spec decorator_spec = {"ravu.mqrpc.route.decorator", sizeof(Decorator), 0,
                              Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC |
                                  Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                              decorator_slots};

const rn::Signature route_sig(
    "response_route", "url, phase='DURING'",
    "Decorator factory: @response_route(url, phase) registers the decorated\n"
    "function as add_response_route(url, func, phase) does, when it is applied,\n"
    "and leaves the function unchanged.");

PyObject* response_route(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[2];
    if (!route_sig.parse(args, nargs, kwnames, a)) return nullptr;
    Decorator* d = PyObject_GC_New(Decorator, g_decorator_type);
    if (!d) return nullptr;
    d->vectorcall = decorator_call;
    d->url = Py_NewRef(a[0]);
    d->phase = Py_NewRef(a[1]);
    PyObject_GC_Track(d);
    return reinterpret_cast<PyObject*>(d);
}

// ---------------------------------------------------------------- look-ups

const rn::Signature handles_sig(
    "get_handles", "url",
    "The (before, during, after) handlers of a registered url (KeyError if it\n"
    "never was).  A phase without a handler gets its default handler, which is\n"
    "stored: the URL takes no further registrations afterwards.");

PyObject* get_handles(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* url = handles_sig.single(args, nargs, kwnames);
    if (!url) return nullptr;
    rn::ptr routes(global(RN_ID(_route_dict)));
    if (!routes) return nullptr;
    rn::ptr handles(PyObject_GetItem(routes.get(), url));
    if (!handles) return nullptr;
    rn::ptr out(PyTuple_New(3));
    if (!out) return nullptr;
    PyObject* const phases[3] = {RN_ID(PHASE_BEFORE), RN_ID(PHASE_DURING), RN_ID(PHASE_AFTER)};
    for (int i = 0; i < 3; ++i) {
        rn::ptr get_any(global(RN_ID(get_any_from_dict)));
        if (!get_any) return nullptr;
        rn::ptr phase(global(phases[i]));
        if (!phase) return nullptr;
        PyObject* a[3] = {handles.get(), phase.get(), g_creators[i]};
        PyObject* h = PyObject_Vectorcall(get_any.get(), a, 3, nullptr);
        if (!h) return nullptr;
        PyTuple_SET_ITEM(out.get(), i, h);
    }
    return out.release();
}

// The creator: returns the default handler named by `name` now.
PyObject* creator(PyObject* name, PyObject*) { return global(name); }

PyMethodDef creator_defs[3] = {
    {"default_before_handle_creator", creator, METH_NOARGS, "Returns default_before_handle."},
    {"default_during_handle_creator", creator, METH_NOARGS, "Returns default_during_handle."},
    {"default_after_handle_creator", creator, METH_NOARGS, "Returns default_after_handle."}};

PyObject* urls() {
    rn::ptr routes(global(RN_ID(_route_dict)));
    return routes ? PySequence_List(routes.get()) : nullptr;
}

const rn::Signature urls_sig("get_urls", "", "A new list of the registered URLs, oldest first.");

PyObject* get_urls(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (!urls_sig.none(args, nargs, kwnames)) return nullptr;
    return urls();
}

const rn::Signature redis_urls_sig(
    "get_redis_urls", "",
    "A new list of the request list keys \"RAVU_MQ_URL_\" + URL of the registered\n"
    "URLs, oldest first: the keys a dispatcher passes to recv_request.");

PyObject* get_redis_urls(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (!redis_urls_sig.none(args, nargs, kwnames)) return nullptr;
    rn::ptr list(urls());
    if (!list) return nullptr;
    for (Py_ssize_t i = 0, n = PyList_GET_SIZE(list.get()); i < n; ++i) {
        PyObject* key = PyNumber_Add(RN_STR("RAVU_MQ_URL_"), PyList_GET_ITEM(list.get(), i));
        if (!key) return nullptr;
        PyList_SetItem(list.get(), i, key);
    }
    return list.release();
}

// ---------------------------------------------------------------- defaults

// The decimal text of a thread identity, as "%d" formats it.
PyObject* ident_text(PyObject* ident) {
    rn::ptr value;
    if (PyLong_Check(ident)) {
        value.set(ident, true);
    } else {
        PyNumberMethods* nb = Py_TYPE(ident)->tp_as_number;
        if (nb && nb->nb_index) value = PyNumber_Index(ident);
        else if (nb && nb->nb_int) value = PyNumber_Long(ident);
        else
            return rn::raise(PyExc_TypeError, "%%d format: a real number is required, not %.200s",
                             Py_TYPE(ident)->tp_name);
        if (!value) return nullptr;
    }
    return PyLong_Type.tp_repr(value.get());
}

// log().info(head + "[" + thread id + "]:" + str(request.mq_id))
PyObject* log_line(const char* head) {
    rn::ptr log(global(RN_ID(log)));
    if (!log) return nullptr;
    rn::ptr logger(PyObject_CallNoArgs(log.get()));
    if (!logger) return nullptr;
    rn::ptr info(PyObject_GetAttr(logger.get(), RN_ID(info)));
    if (!info) return nullptr;
    rn::ptr get_ident(global(RN_ID(get_ident)));
    if (!get_ident) return nullptr;
    rn::ptr ident(PyObject_CallNoArgs(get_ident.get()));
    if (!ident) return nullptr;
    rn::ptr request(global(RN_ID(request)));
    if (!request) return nullptr;
    rn::ptr mq_id(PyObject_GetAttr(request.get(), RN_ID(mq_id)));
    if (!mq_id) return nullptr;
    rn::ptr number(ident_text(ident.get()));
    if (!number) return nullptr;
    rn::ptr text(PyUnicode_FromFormat("%s[%U]:%S", head, number.get(), mq_id.get()));
    if (!text) return nullptr;
    rn::ptr r(PyObject_CallOneArg(info.get(), text.get()));
    if (!r) return nullptr;
    Py_RETURN_NONE;
}

const rn::Signature before_sig(
    "default_before_handle", "",
    "Default before handler: logs \"RECV[<thread id>]:<request.mq_id>\" at info\n"
    "level through log(); raises while the logger is not set up.");
const rn::Signature during_sig("default_during_handle", "", "Default during handler: returns \"ok\".");
const rn::Signature after_sig(
    "default_after_handle", "",
    "Default after handler: logs \"SEND[<thread id>]:<request.mq_id>\" at info\n"
    "level through log(); raises while the logger is not set up.");

PyObject* before_impl(PyObject*) { return log_line("RECV"); }
PyObject* during_impl(PyObject*) { return Py_NewRef(RN_STR("ok")); }
PyObject* after_impl(PyObject*) { return log_line("SEND"); }

PyMethodDef methods[] = {route_sig.def(response_route),
                         add_sig.def(add_response_route),
                         handles_sig.def(get_handles),
                         urls_sig.def(get_urls),
                         redis_urls_sig.def(get_redis_urls),
                         before_sig.def(rn::noargs<before_sig, before_impl>),
                         during_sig.def(rn::noargs<during_sig, during_impl>),
                         after_sig.def(rn::noargs<after_sig, after_impl>),
                         {}};

PyModuleDef moduledef = {
    PyModuleDef_HEAD_INIT, "ravu.mqrpc.route",
    "Request handlers by URL and phase.\n\n"
    "Register with @response_route(url, phase) or add_response_route(url, func,\n"
    "phase); a dispatcher waits with recv_request(conn, get_redis_urls()), makes\n"
    "the request current as request.mq_id and calls the three handlers of\n"
    "get_handles(url) in order.  Outside __all__, for the dispatcher:\n\n"
    "get_handles(url) -- the (before, during, after) handlers of a URL.\n"
    "get_urls() -- the registered URLs, in order of registration.\n"
    "get_redis_urls() -- their request list keys, \"RAVU_MQ_URL_\" + URL.\n"
    "default_before_handle() -- logs \"RECV[<thread>]:<request.mq_id>\".\n"
    "default_during_handle() -- returns \"ok\".\n"
    "default_after_handle() -- logs \"SEND[<thread>]:<request.mq_id>\".",
    -1, methods};

int init(PyObject* m) {
    if (rn::star_import(m, "ravu.utils") < 0 || rn::star_import(m, "ravu.mqrpc.context") < 0)
        return -1;
    // werkzeug releases without werkzeug.local.get_ident: the thread's
    // identity from threading, which is what werkzeug gave.
    rn::ptr ident(rn::import_attr("werkzeug.local", "get_ident"));
    if (!ident) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        ident = rn::import_attr("threading", "get_ident");
    }
    rn::ptr routes(PyDict_New());
    if (!ident || !routes || PyModule_AddObjectRef(m, "get_ident", ident.get()) < 0 ||
        PyModule_AddObjectRef(m, "_route_dict", routes.get()) < 0 ||
        PyModule_AddStringConstant(m, "PHASE_BEFORE", "BEFORE") < 0 ||
        PyModule_AddStringConstant(m, "PHASE_DURING", "DURING") < 0 ||
        PyModule_AddStringConstant(m, "PHASE_AFTER", "AFTER") < 0)
        return -1;
    g_decorator_type = (PyTypeObject*)PyType_FromModuleAndSpec(m, &decorator_spec, nullptr);
    if (!g_decorator_type) return -1;
    const char* defaults[3] = {"default_before_handle", "default_during_handle",
                               "default_after_handle"};
    for (int i = 0; i < 3; ++i) {
        rn::ptr name(PyUnicode_InternFromString(defaults[i]));
        if (!name) return -1;
        g_creators[i] = PyCFunction_NewEx(&creator_defs[i], name.get(), nullptr);
        if (!g_creators[i]) return -1;
    }
    return rn::set_all(m, {"PHASE_BEFORE", "PHASE_DURING", "PHASE_AFTER", "response_route",
                           "add_response_route"});
}

}  // namespace

PyMODINIT_FUNC PyInit_route() { return rn::create_module(&moduledef, init, &g_module); }
