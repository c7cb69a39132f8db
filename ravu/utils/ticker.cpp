// ravu.utils.ticker: periodic tasks, each a thread of a Ticker subclass
// that calls its hook `do` with a pause after each pass for as long as the
// status shared by all tasks of the process is TIMER_STATUS_START.
//
// Ticker derives from threading.Thread and keeps its state (task_info,
// interval) in plain instance attributes.  `_status` and `_task_list` live
// in the module dict; they and the bound names `time`, `traceback`, `log`
// and `get_class_or_func` are looked up as module globals on every use.
#include "rn.h"

#include <cstdint>
#include <ctime>

namespace {

PyObject* g_module = nullptr;
PyTypeObject* g_ticker_type = nullptr;
PyObject* g_default_interval = nullptr;  // 0.001
PyObject* g_zero = nullptr;
PyObject* g_two = nullptr;

// ---------------------------------------------------------------- helpers

// time.sleep(seconds), `time` looked up now; the sleep releases the GIL.
bool sleep_for(PyObject* seconds) {
    rn::ptr r(rn::call_global(g_module, {RN_ID(time), RN_ID(sleep)}, seconds));
    return bool(r);
}

// _status == TIMER_STATUS_START, both read now.
int running() {
    rn::ptr status(rn::global(g_module, RN_ID(_status)));
    rn::ptr start(status ? rn::global(g_module, RN_ID(TIMER_STATUS_START)) : nullptr);
    if (!start) return -1;
    if (PyLong_CheckExact(status.get()) && PyLong_CheckExact(start.get())) {
        int o1, o2;
        const long long a = PyLong_AsLongLongAndOverflow(status.get(), &o1);
        const long long b = PyLong_AsLongLongAndOverflow(start.get(), &o2);
        if (!o1 && !o2) return a == b;
    }
    return PyObject_RichCompareBool(status.get(), start.get(), Py_EQ);
}

// interval != 0, with the interpreter's semantics (0, 0.0 and False: no).
int nonzero(PyObject* interval) {
    if (PyLong_CheckExact(interval)) {
        int overflow;
        const long long v = PyLong_AsLongLongAndOverflow(interval, &overflow);
        return overflow || v != 0;
    }
    if (PyFloat_CheckExact(interval)) return PyFloat_AS_DOUBLE(interval) != 0.0;
    rn::ptr r(PyObject_RichCompare(interval, g_zero, Py_NE));
    return r ? PyObject_IsTrue(r.get()) : -1;
}

// A failed pass, its exception pending: log().error(traceback.format_exc())
// and a 2-second pause.  False when that fails in turn; the new exception
// then ends the thread, with the pass's exception as its context.
bool after_failure() {
    rn::Handling handling;
    rn::ptr logger(rn::call_global(g_module, RN_ID(log)));  // log() comes before its text
    if (!logger) return false;
    rn::ptr error(PyObject_GetAttr(logger.get(), RN_ID(error)));
    if (!error) return false;
    rn::ptr text(rn::call_global(g_module, {RN_ID(traceback), RN_ID(format_exc)}));
    if (!text) return false;
    rn::ptr r(PyObject_CallOneArg(error.get(), text.get()));
    return r && sleep_for(g_two);
}

// ---------------------------------------------------------------- Ticker

const rn::Signature init_sig(
    "Ticker.__init__", "task_info",
    "A periodic task: a thread whose run() calls self.do() again and again, pausing "
    "self.interval seconds after each pass, until timer_stop_all().\n\n"
    "task_info is kept whole as the attribute task_info; its 'interval' (seconds, 0 for no "
    "pause) sets interval, 0.001 when missing or None.  threading.Thread.__init__ gets no "
    "arguments, so the default thread name and the creating thread's daemon flag apply.  "
    "Subclasses override init() (end of construction), init_run() (start of run, in the "
    "task's thread) and do() (one pass).  A pass that raises anything is logged with "
    "log().error and followed by a 2-second pause; the loop goes on.",
    rn::INIT);

int ticker_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* a[1];
    rn::ptr keep;
    if (!init_sig.parse_tuple(args, kwargs, a, keep)) return -1;
    PyObject* task_info = a[0];
    {  // threading.Thread.__init__(self): the base class itself, not the next
       // class of a subclass's MRO, which may want arguments of its own.
        rn::ptr r(PyObject_CallMethodOneArg((PyObject*)g_ticker_type->tp_base, RN_ID(__init__),
                                            self));
        if (!r) return -1;
    }
    if (PyObject_SetAttr(self, RN_ID(task_info), task_info) < 0 ||
        PyObject_SetAttr(self, RN_ID(interval), g_default_interval) < 0)
        return -1;
    rn::ptr given(PyObject_CallMethodOneArg(task_info, RN_ID(get), RN_ID(interval)));
    if (!given) return -1;
    if (given.get() != Py_None && PyObject_SetAttr(self, RN_ID(interval), given.get()) < 0)
        return -1;
    rn::ptr r(PyObject_CallMethodNoArgs(self, RN_ID(init)));
    return r ? 0 : -1;
}

PyObject* nothing(PyObject*) { Py_RETURN_NONE; }

const rn::Signature hook_init_sig("Ticker.init", "",
                                  "Hook called once at the end of construction, in the "
                                  "constructing thread; does nothing here.",
                                  rn::METHOD);
const rn::Signature hook_init_run_sig("Ticker.init_run", "",
                                      "Hook called once at the start of run(), in the task's "
                                      "thread; does nothing here.",
                                      rn::METHOD);
const rn::Signature hook_do_sig("Ticker.do", "",
                                "Hook for one pass of the periodic work; its result is ignored. "
                                "Does nothing here.",
                                rn::METHOD);
const rn::Signature run_sig(
    "Ticker.run", "",
    "The thread body: init_run(), then passes of do() followed by a pause of interval "
    "seconds (read at each pass; none when it equals 0) while the module's _status equals "
    "TIMER_STATUS_START.  Any exception of do() is logged and paused on for 2 seconds; one "
    "raised by init_run, the logging or a pause ends the thread.",
    rn::METHOD);

// Monotonic nanoseconds.
int64_t now() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// How long a loop of passes without pauses keeps the GIL before it lets
// other threads in, in nanoseconds: twice the switch interval.  A thread
// waiting for the GIL asks for it after one switch interval in which the
// GIL did not change hands; a release that often would keep resetting that
// wait, and a waiter woken by it loses the race for the GIL to this loop.
// Released no more often, the ask is made, and the release then hands over.
int64_t hold_limit() {
    double interval = 0.005;
    if (PyObject* fn = PySys_GetObject("getswitchinterval")) {  // borrowed
        rn::ptr v(PyObject_CallNoArgs(fn));
        if (v && PyFloat_Check(v.get())) interval = PyFloat_AS_DOUBLE(v.get());
        PyErr_Clear();
    }
    return int64_t(2 * interval * 1e9);
}

PyObject* ticker_run(PyObject* self) {
    rn::park_at_exit();  // a task made a daemon may be ended anywhere in the loop
    rn::ptr r(PyObject_CallMethodNoArgs(self, RN_ID(init_run)));
    if (!r) return nullptr;
    const int64_t limit = hold_limit();
    int64_t held_since = now();
    for (;;) {
        if (PyErr_CheckSignals() < 0) return nullptr;
        const int on = running();
        if (on < 0) return nullptr;
        if (!on) break;
        r = PyObject_CallMethodNoArgs(self, RN_ID(do));
        if (!r && !after_failure()) return nullptr;
        r = nullptr;  // the pass's result goes now, as a statement's value does
        rn::ptr interval(PyObject_GetAttr(self, RN_ID(interval)));
        if (!interval) return nullptr;
        const int pause = nonzero(interval.get());
        if (pause < 0) return nullptr;
        if (pause) {
            if (!sleep_for(interval.get())) return nullptr;
            held_since = now();
        } else if (now() - held_since >= limit) {
            // No pause, and do() may run no Python code that would hand the
            // GIL over: let waiting threads in.
            { rn::Unlocked let_in; }
            held_since = now();
        }
    }
    Py_RETURN_NONE;
}

PyMethodDef ticker_methods[] = {hook_init_sig.def(rn::noargs<hook_init_sig, nothing>),
                                hook_init_run_sig.def(rn::noargs<hook_init_run_sig, nothing>),
                                hook_do_sig.def(rn::noargs<hook_do_sig, nothing>),
                                run_sig.def(rn::noargs<run_sig, ticker_run>),
                                {}};

PyType_Slot ticker_slots[] = {{Py_tp_doc, (void*)init_sig.doc()},
                              {Py_tp_init, (void*)ticker_init},
                              {Py_tp_methods, ticker_methods},
                              {0, nullptr}};

// No C fields: the state is in the instance dict Thread provides.
PyType_Spec ticker_spec = {"ravu.utils.ticker.Ticker", 0, 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, ticker_slots};

// ---------------------------------------------------------------- registry

const rn::Signature add_task_sig(
    "timer_add_task", "task_info",
    "Registers a task: the class named by task_info['classpath'] (a dotted path) is called "
    "with task_info, which runs its init() now, and the object is appended to _task_list; "
    "its thread is not started.\n\nKeyError without 'classpath'; the errors of the look-up "
    "and of the constructor propagate, and nothing is registered then.");

PyObject* timer_add_task(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* task_info = add_task_sig.single(args, nargs, kwnames);
    if (!task_info) return nullptr;
    rn::ptr path(PyObject_GetItem(task_info, RN_STR("classpath")));
    if (!path) return nullptr;
    rn::ptr cls(rn::call_global(g_module, RN_ID(get_class_or_func), path.get()));
    if (!cls) return nullptr;
    rn::ptr task(PyObject_CallOneArg(cls.get(), task_info));
    if (!task) return nullptr;
    rn::ptr tasks(rn::global(g_module, RN_ID(_task_list)));
    if (!tasks) return nullptr;
    if (PyList_CheckExact(tasks.get())) {
        if (PyList_Append(tasks.get(), task.get()) < 0) return nullptr;
    } else {
        rn::ptr r(PyObject_CallMethodOneArg(tasks.get(), RN_ID(append), task.get()));
        if (!r) return nullptr;
    }
    Py_RETURN_NONE;
}

// task.<method>() for each task of the live _task_list, by position.
bool each_task(PyObject* method) {
    rn::ptr tasks(rn::global(g_module, RN_ID(_task_list)));
    if (!tasks) return false;
    rn::ptr it(PyObject_GetIter(tasks.get()));
    if (!it) return false;
    while (rn::ptr task{PyIter_Next(it.get())}) {
        rn::ptr r(PyObject_CallMethodNoArgs(task.get(), method));
        if (!r) return false;
    }
    return !PyErr_Occurred();
}

const rn::Signature start_all_sig(
    "timer_start_all", "",
    "Starts every registered task, then joins them all: blocks until every task thread has "
    "ended (after timer_stop_all).\n\nA task started before (a second call) raises "
    "RuntimeError at once; the tasks started so far keep running.");

PyObject* timer_start_all(PyObject*) {
    if (!each_task(RN_ID(start)) || !each_task(RN_ID(join))) return nullptr;
    Py_RETURN_NONE;
}

const rn::Signature stop_all_sig(
    "timer_stop_all", "",
    "Sets _status to TIMER_STATUS_STOP for the rest of the process: every task ends at its "
    "next status test, after its current pass and pause.  Returns at once.");

PyObject* timer_stop_all(PyObject*) {
    rn::ptr stop(rn::global(g_module, RN_ID(TIMER_STATUS_STOP)));
    if (!stop) return nullptr;
    if (PyDict_SetItem(PyModule_GetDict(g_module), RN_ID(_status), stop.get()) < 0) return nullptr;
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------- module

PyMethodDef methods[] = {add_task_sig.def(timer_add_task),
                         start_all_sig.def(rn::noargs<start_all_sig, timer_start_all>),
                         stop_all_sig.def(rn::noargs<stop_all_sig, timer_stop_all>),
                         {}};

PyModuleDef moduledef = {PyModuleDef_HEAD_INIT, "ravu.utils.ticker",
                         "Periodic task threads, started together by timer_start_all and "
                         "stopped together by timer_stop_all.\n\n"
                         "A task is a Ticker subclass named by the 'classpath' of its task "
                         "description; timer_add_task makes and registers it, timer_start_all "
                         "starts every registered task and then waits for them all.",
                         -1, nullptr};

int init(PyObject* m) {
    g_default_interval = PyFloat_FromDouble(0.001);
    g_zero = PyLong_FromLong(0);
    g_two = PyLong_FromLong(2);
    if (!g_default_interval || !g_zero || !g_two) return -1;
    // The bindings of the module body, in order.
    if (rn::bind_imports(m, {{nullptr, "threading"}, {nullptr, "time"},
                             {"ravu.utils.logging", "log"},
                             {"ravu.utils.working", "get_class_or_func"},
                             {nullptr, "traceback"}}) < 0)
        return -1;
    rn::ptr tasks(PyList_New(0));
    rn::ptr start(PyLong_FromLong(0));
    rn::ptr stop(PyLong_FromLong(1));
    if (!tasks || !start || !stop) return -1;
    if (PyModule_AddObjectRef(m, "_task_list", tasks.get()) < 0 ||
        PyModule_AddObjectRef(m, "TIMER_STATUS_START", start.get()) < 0 ||
        PyModule_AddObjectRef(m, "TIMER_STATUS_STOP", stop.get()) < 0 ||
        PyModule_AddObjectRef(m, "_status", start.get()) < 0)
        return -1;
    rn::ptr thread(rn::global(m, {RN_ID(threading), RN_ID(Thread)}));
    if (!thread) return -1;
    if (!PyType_Check(thread.get())) {
        PyErr_SetString(PyExc_TypeError, "threading.Thread is not a class");
        return -1;
    }
    g_ticker_type = (PyTypeObject*)rn::add_type(m, &ticker_spec, thread.get());
    if (!g_ticker_type) return -1;
    if (PyModule_AddFunctions(m, methods) < 0) return -1;
    return rn::set_all(m, {"Ticker", "timer_add_task", "timer_start_all", "timer_stop_all"});
}

}  // namespace

PyMODINIT_FUNC PyInit_ticker() { return rn::create_module(&moduledef, init, &g_module); }
