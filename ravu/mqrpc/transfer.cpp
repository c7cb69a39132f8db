// ravu.mqrpc.transfer: requests and results over bounded, expiring Redis
// lists, message ids from a server-side counter.  Both scripts are loaded
// once (SCRIPT LOAD) and then run by digest (EVALSHA), so every call costs
// one request to the server.
//
// Each push script carries its list expiry in its text, so there is one
// loaded script per expiry value: a push expires after the time-out of its
// own call.  `_lpush_sha` holds the digest loaded last.
#include "rn.h"

namespace {

PyObject* g_module = nullptr;
PyObject* g_push_digests = nullptr;  // expiry (int) -> digest of its push script

// The id script.  A counter outside 0..max_id-1 (set so by any other
// client) is reset like one that holds no integer, so every id keeps its
// format.  Ids are reused (the counter wraps, or is lost with the server's
// data), and a late reply to an earlier request of the same id may still
// wait in its list: the id is handed out with its reply list deleted.
const char kIdScript[] =
    "\n"
    "local id = redis.pcall(\"incr\", \"{key}\")\n"
    "local t = type(id)\n"
    "if (t ~= \"number\") then\n"
    "  id = 0\n"
    "  redis.call(\"set\", \"{key}\", 0)\n"
    "end\n"
    "if (id < 0 or id >= {max_id})\n"
    "then\n"
    "  id = 0\n"
    "  redis.call(\"set\", \"{key}\", 0)\n"
    "end\n"
    "redis.call(\"del\", \"RAVU_MQ_RESP_\" .. id)\n"
    "return tostring(id)\n";

const char kPushScript[] =
    "\n"
    "local url = KEYS[1]\n"
    "local l = redis.pcall(\"llen\", url)\n"
    "local t = type(l)\n"
    "if (t ~= \"number\") then\n"
    "  redis.call(\"del\", url)\n"
    "  l = 0\n"
    "end\n"
    "if (l >= {max_size}) then\n"
    "  return -1\n"
    "end\n"
    "redis.call(\"lpush\", url, ARGV[1])\n"
    "redis.call(\"expire\", url, {expire_time})\n"
    "return l+1\n";

// Lua writes numbers with 14 significant digits: a larger expiry would
// reach EXPIRE as "1e+14" and fail after the push.
constexpr long long kMaxExpiry = 99999999999999LL;

// ---------------------------------------------------------------- helpers

// template.format(**kwargs) with the module global template `name`.
PyObject* fill(PyObject* name, PyObject* kwargs) {
    rn::ptr format(rn::global(g_module, {name, RN_ID(format)}));
    if (!format) return nullptr;
    rn::ptr empty(PyTuple_New(0));
    return empty ? PyObject_Call(format.get(), empty.get(), kwargs) : nullptr;
}

// conn.script_load(text), the digest stored as module global `store`.
PyObject* load(PyObject* conn, PyObject* text, PyObject* store) {
    rn::ptr digest(PyObject_CallMethodOneArg(conn, RN_ID(script_load), text));
    if (!digest || PyDict_SetItem(PyModule_GetDict(g_module), store, digest.get()) < 0)
        return nullptr;
    return digest.release();
}

// ---------------------------------------------------------------- message ids

PyObject* load_id_script(PyObject* conn) {
    rn::ptr kwargs(Py_BuildValue("{sssi}", "key", "RAVU_MQ_ID", "max_id", 1000000));
    if (!kwargs) return nullptr;
    rn::ptr text(fill(RN_ID(_get_mq_id_f), kwargs.get()));
    return text ? load(conn, text.get(), RN_ID(_get_mq_id_sha)) : nullptr;
}

// "RAVU_MQ_RESP_" + conn.evalsha(digest, 0).decode()
PyObject* run_id_script(PyObject* conn, PyObject* digest) {
    rn::ptr reply(rn::evalsha(conn, digest, 0, {}));
    if (!reply) return nullptr;
    rn::ptr text(PyBytes_CheckExact(reply.get())
                     ? PyUnicode_DecodeUTF8(PyBytes_AS_STRING(reply.get()),
                                            PyBytes_GET_SIZE(reply.get()), nullptr)
                     : PyObject_CallMethodNoArgs(reply.get(), RN_ID(decode)));
    if (!text) return nullptr;
    return PyNumber_Add(RN_STR("RAVU_MQ_RESP_"), text.get());
}

const rn::Signature get_mq_id_sig(
    "get_mq_id", "conn",
    "A new message id, \"RAVU_MQ_RESP_\" + n (n from 0 to 999999, wrapping), drawn\n"
    "from the server's counter \"RAVU_MQ_ID\"; it is also the key of the request's\n"
    "reply list, handed out empty.  conn must return bytes (no response decoding).\n"
    "A script lost from the server's cache is loaded again within the call.");

PyObject* get_mq_id(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* conn = get_mq_id_sig.single(args, nargs, kwnames);
    if (!conn) return nullptr;
    rn::ptr digest(rn::global(g_module, RN_ID(_get_mq_id_sha)));
    if (!digest) return nullptr;
    // After any failure the script is loaded again and run once more: a
    // second run only draws one more number.
    return rn::run_script(
        digest.get() == Py_None ? nullptr : digest.get(), rn::ScriptRetry::kRerunAny,
        [&](PyObject* d) { return run_id_script(conn, d); },
        [&] { return load_id_script(conn); });
}

// ---------------------------------------------------------------- pushes

// The expiry as an exact int, or ValueError: only a whole number of
// seconds that EXPIRE accepts may go into the script's text.
PyObject* checked_expiry(PyObject* timeout) {
    if (PyLong_Check(timeout) && !PyBool_Check(timeout)) {
        int overflow;
        const long long t = PyLong_AsLongLongAndOverflow(timeout, &overflow);
        if (!overflow && t >= 1 && t <= kMaxExpiry) return PyLong_FromLongLong(t);
        if (PyErr_Occurred()) return nullptr;
    }
    return rn::raise(PyExc_ValueError,
                     "send time-out must be a whole number of seconds from 1 to %lld, not %R",
                     kMaxExpiry, timeout);
}

PyObject* load_push_script(PyObject* conn, PyObject* expiry) {
    rn::ptr kwargs(Py_BuildValue("{sisO}", "max_size", 1000, "expire_time", expiry));
    if (!kwargs) return nullptr;
    rn::ptr text(fill(RN_ID(_lpush_f), kwargs.get()));
    if (!text) return nullptr;
    rn::ptr digest(load(conn, text.get(), RN_ID(_lpush_sha)));
    if (!digest || PyDict_SetItem(g_push_digests, expiry, digest.get()) < 0) return nullptr;
    return digest.release();
}

// The push script's result: the list's new length, or -1 when it was full.
PyObject* push(PyObject* conn, PyObject* key, PyObject* data, PyObject* timeout) {
    rn::ptr expiry(checked_expiry(timeout));
    if (!expiry) return nullptr;
    rn::ptr last(rn::global(g_module, RN_ID(_lpush_sha)));
    if (!last) return nullptr;
    if (last.get() == Py_None) PyDict_Clear(g_push_digests);  // nothing loaded by this process
    rn::ptr digest(PyDict_GetItemWithError(g_push_digests, expiry.get()), true);
    if (!digest && PyErr_Occurred()) return nullptr;
    // Any failure loads the script again; only a push the server refused
    // for want of the script is pushed again, since any other error may
    // come after the push.
    return rn::run_script(
        digest.get(), rn::ScriptRetry::kReloadAny,
        [&](PyObject* d) { return rn::evalsha(conn, d, 1, {key, data}); },
        [&] { return load_push_script(conn, expiry.get()); });
}

const rn::Signature lpush_sig(
    "_lpush_expire", "conn, key, data, timeout",
    "Push data at the head of list key unless it holds 1000 entries, and make\n"
    "the list expire timeout seconds (a positive int, else ValueError) later.\n"
    "Returns the new length, or -1 when the list was full.");

PyObject* lpush_expire(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[4];
    if (!lpush_sig.parse(args, nargs, kwnames, a)) return nullptr;
    return push(a[0], a[1], a[2], a[3]);
}

const rn::Signature send_request_sig(
    "send_request", "conn, url, data",
    "Push a request onto the request list url, the whole key \"RAVU_MQ_URL_\" + URL;\n"
    "the list expires _send_request_timeout seconds later.  Returns the list's new\n"
    "length, or -1 when it already held 1000 entries and data was not pushed.");

PyObject* send_request(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[3];
    if (!send_request_sig.parse(args, nargs, kwnames, a)) return nullptr;
    rn::ptr timeout(rn::global(g_module, RN_ID(_send_request_timeout)));
    return timeout ? push(a[0], a[1], a[2], timeout.get()) : nullptr;
}

const rn::Signature send_result_sig(
    "send_result", "conn, id, data",
    "Push a result onto the reply list of message id; the list expires\n"
    "_send_result_timeout seconds later.  Returns the list's new length, or -1\n"
    "when it already held 1000 entries and data was not pushed.");

PyObject* send_result(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[3];
    if (!send_result_sig.parse(args, nargs, kwnames, a)) return nullptr;
    rn::ptr timeout(rn::global(g_module, RN_ID(_send_result_timeout)));
    return timeout ? push(a[0], a[1], a[2], timeout.get()) : nullptr;
}

// ---------------------------------------------------------------- receives

PyObject* brpop(PyObject* conn, PyObject* keys, PyObject* timeout_name) {
    rn::ptr timeout(rn::global(g_module, timeout_name));
    if (!timeout) return nullptr;
    rn::park_at_exit();  // a receiver in a daemon thread may sit in this wait at exit
    PyObject* a[3] = {conn, keys, timeout.get()};
    return PyObject_VectorcallMethod(RN_ID(brpop), a, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

const rn::Signature recv_request_sig(
    "recv_request", "conn, urls",
    "Wait up to _recv_request_timeout seconds (0: no limit) for a request on the\n"
    "list key or keys urls.  Returns the client's BRPOP reply: None, or (key,\n"
    "request) from the first non-empty list in the order given.");

PyObject* recv_request(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[2];
    if (!recv_request_sig.parse(args, nargs, kwnames, a)) return nullptr;
    return brpop(a[0], a[1], RN_ID(_recv_request_timeout));
}

const rn::Signature recv_result_sig(
    "recv_result", "conn, id",
    "Wait up to _recv_result_timeout seconds (0: no limit) for the result of\n"
    "message id.  Returns the client's BRPOP reply: None, or (id, result).");

PyObject* recv_result(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[2];
    if (!recv_result_sig.parse(args, nargs, kwnames, a)) return nullptr;
    return brpop(a[0], a[1], RN_ID(_recv_result_timeout));
}

// ---------------------------------------------------------------- time-outs

template <const rn::Signature& S, const char* Global>
PyObject* setter(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* t = S.single(args, nargs, kwnames);
    if (!t || PyModule_AddObjectRef(g_module, Global, t) < 0) return nullptr;
    Py_RETURN_NONE;
}

const char kRecvRequest[] = "_recv_request_timeout";
const char kSendResult[] = "_send_result_timeout";
const char kSendRequest[] = "_send_request_timeout";
const char kRecvResult[] = "_recv_result_timeout";

const rn::Signature set_recv_request_sig("set_recv_request_timeout", "t",
                                         "Seconds recv_request waits (0: no limit); stored "
                                         "unchecked.");
const rn::Signature set_send_result_sig(
    "set_send_result_timeout", "t",
    "Seconds after which a reply list expires; a send_result with a value that is\n"
    "not a positive int raises ValueError.");
const rn::Signature set_send_request_sig(
    "set_send_request_timeout", "t",
    "Seconds after which a request list expires; a send_request with a value that\n"
    "is not a positive int raises ValueError.");
const rn::Signature set_recv_result_sig("set_recv_result_timeout", "t",
                                        "Seconds recv_result waits (0: no limit); stored "
                                        "unchecked.");

PyMethodDef methods[] = {
    get_mq_id_sig.def(get_mq_id),
    send_request_sig.def(send_request),
    recv_request_sig.def(recv_request),
    send_result_sig.def(send_result),
    recv_result_sig.def(recv_result),
    set_recv_request_sig.def(setter<set_recv_request_sig, kRecvRequest>),
    set_send_result_sig.def(setter<set_send_result_sig, kSendResult>),
    set_send_request_sig.def(setter<set_send_request_sig, kSendRequest>),
    set_recv_result_sig.def(setter<set_recv_result_sig, kRecvResult>),
    lpush_sig.def(lpush_expire),
    {}};

PyModuleDef moduledef = {
    PyModuleDef_HEAD_INIT, "ravu.mqrpc.transfer",
    "Requests and results over Redis lists.\n\n"
    "A client takes a message id (get_mq_id), pushes its request\n"
    "(send_request) and waits on the id's reply list (recv_result); a serving\n"
    "process pops requests (recv_request) and pushes results (send_result).\n"
    "Lists hold at most 1000 entries and expire after the send time-out;\n"
    "payloads are opaque.",
    -1, methods};

int init(PyObject* m) {
    g_push_digests = PyDict_New();
    if (!g_push_digests || PyModule_AddIntConstant(m, kRecvRequest, 30) < 0 ||
        PyModule_AddIntConstant(m, kSendResult, 45) < 0 ||
        PyModule_AddIntConstant(m, kSendRequest, 60) < 0 ||
        PyModule_AddIntConstant(m, kRecvResult, 30) < 0 ||
        PyModule_AddObjectRef(m, "_get_mq_id_sha", Py_None) < 0 ||
        PyModule_AddObjectRef(m, "_lpush_sha", Py_None) < 0 ||
        PyModule_AddStringConstant(m, "_get_mq_id_f", kIdScript) < 0 ||
        PyModule_AddStringConstant(m, "_lpush_f", kPushScript) < 0)
        return -1;
    return 0;
}

}  // namespace

PyMODINIT_FUNC PyInit_transfer() { return rn::create_module(&moduledef, init, &g_module); }
