// Shared between the sources of ravu.utils.journal_hub: the module, its
// receive loop and start-up (journal_hub.cpp), and the writer
// (journal_hub_writer.cpp).
#pragma once

#include "rn.h"

#include <memory>

namespace journal_hub {

struct Template;

// The module's state, made once at import.
struct State {
    PyObject* module;            // this module: the loops read its globals at each use
    PyObject* print_exception;   // traceback.print_exception
    PyObject* struct_error;      // struct.error: no room for the length prefix
    PyObject* unpickling_error;  // pickle.UnpicklingError: a record that does not decode
    PyObject* makedirs;          // os.makedirs
    PyObject* open;              // io.open
    PyObject* thread_cls;        // threading.Thread
    PyObject* socket_cls;        // socket.socket, and its arguments
    PyObject* af_inet;
    PyObject* sock_dgram;
    PyObject* stop;              // a private queue item that tells the writer to end
    PyObject* exist_ok_kw;       // ("exist_ok",)
    PyObject* open_kw;           // ("encoding", "errors")
    PyObject* thread_kw;         // ("target", "args")
    bool serving;                // start_journal_hub runs in this process
    // The parsed line template, replaced (never changed in place) when
    // `_format` is another object: a writer whose line is being filled
    // keeps its own reference while another writer thread switches.  Never
    // freed, so nothing is released after the interpreter has gone.
    std::shared_ptr<Template>* line_template;
};
extern State st;

// Prints the pending exception with its traceback on standard error, as
// traceback.print_exc() does inside an `except`, and clears it.
void report_failure();

// One pass of the writer, one item of _log_queue: 1 when told to stop,
// 0 done, -1 failed.
int writer_pass();

// obj[key], new reference; a dict's KeyError as Python raises it.
inline PyObject* get_item(PyObject* obj, PyObject* key) {
    if (PyDict_CheckExact(obj)) {
        PyObject* v = PyDict_GetItemWithError(obj, key);
        if (v) return Py_NewRef(v);
        if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, key);
        return nullptr;
    }
    return PyObject_GetItem(obj, key);
}

// obj[key] = value
inline int set_item(PyObject* obj, PyObject* key, PyObject* value) {
    return PyDict_CheckExact(obj) ? PyDict_SetItem(obj, key, value)
                                  : PyObject_SetItem(obj, key, value);
}

}  // namespace journal_hub
