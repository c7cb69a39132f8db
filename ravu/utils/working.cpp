// ravu.utils.working: process-level helpers of a service.  This file holds
// the module, the run-if-main decorator factory and the loading functions
// (a class or function by dotted path, module discovery below a directory);
// the single-instance claim and the process killers are in working_kill.cpp.
//
// `os`, `importlib` and `collect_modules` are module globals looked up at
// every use.  collect_modules walks the tree natively while those globals
// and the os functions it relies on are the ones bound at import; as soon
// as one is replaced (a test double, a wrapper around collect_modules) it
// takes the same steps through the replaced objects instead.
#include "working.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>
#include <string>
#include <vector>

namespace working {

PyObject* g_module = nullptr;

// Stated here, before the method table that uses them.
const rn::Signature kill_other_sig(
    "kill_other", "name, key=None, is_create_new=True",
    "Claims `name` for this process: when the pid file of the name (logs/pid/<name> below the "
    "project directory) records a process whose command line holds `key` (default: name), "
    "that process is killed with 'kill -9'; then this process's id is written to the pid "
    "file, which is removed again when is_create_new is false.\n\n"
    "The listing command and its output lines are logged with log().warning, so the logger "
    "must be set up first.  The caller itself is never killed.  ValueError for an absolute "
    "name, a name with a '..' component, or a key beginning with '-' or holding a line "
    "end.");

const rn::Signature kill_all_sig(
    "kill_all", "key",
    "Kills with 'kill -9' every process whose 'ps -ef' line holds both `key` (a grep pattern) "
    "and 'python', except the calling process.\n\n"
    "An empty key matches nothing; a key beginning with '-' or holding a line end raises "
    "ValueError.");

namespace {

// What the native walk stands for, as bound at import.
PyObject* g_os = nullptr;
PyObject* g_os_path = nullptr;
PyObject* g_listdir = nullptr;
PyObject* g_exists = nullptr;
PyObject* g_isfile = nullptr;
PyObject* g_isdir = nullptr;
PyObject* g_join = nullptr;
PyObject* g_collect = nullptr;  // this module's collect_modules
PyTypeObject* g_function_type = nullptr;

// ---------------------------------------------------------------- run_this

// What one run_this call keeps for its closure: the name, the args tuple
// and the kwargs dict.
enum RunCell { NAME, ARGS, KWARGS };

const rn::Signature run_sig("run_this.<locals>.run", "func",
                            "Calls func(*args, **kwargs) with the arguments given to run_this "
                            "when its name is '__main__'; returns None either way.");

PyObject* run(PyObject* self, PyObject* const* args, size_t nargs, PyObject* kwnames) {
    PyObject* func = run_sig.single(args, nargs, kwnames);
    if (!func) return nullptr;
    PyObject** c = rn::cells(self);
    rn::ptr eq(PyObject_RichCompare(c[NAME], RN_STR("__main__"), Py_EQ));
    if (!eq) return nullptr;
    const int is_main = PyObject_IsTrue(eq.get());
    if (is_main < 0) return nullptr;
    if (is_main) {
        // A fresh dict per call, as func(**kwargs) gives its callee.
        rn::ptr kw(PyDict_GET_SIZE(c[KWARGS]) ? PyDict_Copy(c[KWARGS]) : nullptr);
        if (PyDict_GET_SIZE(c[KWARGS]) && !kw) return nullptr;
        rn::ptr r(PyObject_Call(func, c[ARGS], kw.get()));
        if (!r) return nullptr;
    }
    Py_RETURN_NONE;
}

const rn::FunctionKind run_kind{run_sig, run, rn::STAYS};

const rn::Signature run_this_sig(
    "run_this", "name, *args, **kwargs",
    "Decorator factory that runs the decorated function at once, with args and kwargs, when "
    "name (normally the caller's __name__) equals '__main__'.\n\n"
    "The decorated name is bound to None in every case, so the function runs at most once, "
    "while the defining module's body executes; its exceptions propagate.");

PyObject* run_this(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[1];
    rn::ptr star, starstar;
    if (!run_this_sig.parse(args, nargs, kwnames, a, &star, &starstar)) return nullptr;
    return rn::new_function(g_function_type, run_kind, {a[0], star.get(), starstar.get()});
}

// ---------------------------------------------------------------- get_class_or_func

const rn::Signature get_class_or_func_sig(
    "get_class_or_func", "class_or_func_path",
    "The object named by a dotted path 'package.module.Name': imports the module (the part "
    "before the last '.') with importlib.import_module and returns its attribute.\n\n"
    "Errors of the import and AttributeError reach the caller; a path without '.' raises "
    "ValueError.");

PyObject* get_class_or_func(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
    PyObject* path = get_class_or_func_sig.single(args, nargs, kwnames);
    if (!path) return nullptr;
    if (!PyUnicode_Check(path))
        return rn::raise(PyExc_TypeError, "class_or_func_path must be str, not %.100s",
                         Py_TYPE(path)->tp_name);
    const Py_ssize_t len = PyUnicode_GET_LENGTH(path);
    const Py_ssize_t dot = PyUnicode_FindChar(path, '.', 0, len, -1);
    if (dot == -2) return nullptr;
    if (dot == -1)
        return rn::raise(PyExc_ValueError, "%R is not a dotted path 'module.name'", path);
    rn::ptr modname(PyUnicode_Substring(path, 0, dot));
    rn::ptr attr(PyUnicode_Substring(path, dot + 1, len));
    if (!modname || !attr) return nullptr;
    rn::ptr importlib(rn::global(g_module, RN_ID(importlib)));
    if (!importlib) return nullptr;
    rn::ptr mod(PyObject_CallMethodOneArg(importlib.get(), RN_ID(import_module), modname.get()));
    if (!mod) return nullptr;
    return PyObject_GetAttr(mod.get(), attr.get());
}

// ---------------------------------------------------------------- collect_modules

enum class Named { name, skip, error };

// The dotted module name of a ".py" or ".so" file path (a str) into *out.
// The name starts at the last occurrence of root_package in the path; a path
// without it gives no name.  ".py" drops the last three characters, ".so"
// everything of the file name from its first ".".
Named module_name(PyObject* path, PyObject* root_package, rn::ptr* out) {
    const Py_ssize_t len = PyUnicode_GET_LENGTH(path);
    const int is_py = PyUnicode_Tailmatch(path, RN_STR(".py"), 0, len, 1);
    if (is_py < 0) return Named::error;
    int is_so = 0;
    if (!is_py) {
        is_so = PyUnicode_Tailmatch(path, RN_STR(".so"), 0, len, 1);
        if (is_so < 0) return Named::error;
        if (!is_so) return Named::skip;
    }
    if (!PyUnicode_Check(root_package)) {
        PyErr_Format(PyExc_TypeError, "must be str, not %.100s", Py_TYPE(root_package)->tp_name);
        return Named::error;
    }
    const Py_ssize_t start = PyUnicode_Find(path, root_package, 0, len, -1);
    if (start == -2) return Named::error;
    if (start == -1) return Named::skip;
    Py_ssize_t end = len - 3;
    if (is_so) {
        const Py_ssize_t slash = PyUnicode_FindChar(path, '/', 0, len, -1);
        end = PyUnicode_FindChar(path, '.', slash + 1, len, 1);
    }
    rn::ptr text(PyUnicode_Substring(path, start, end > start ? end : start));
    if (!text) return Named::error;
    *out = PyUnicode_Replace(text.get(), RN_STR("/"), RN_STR("."), -1);
    return *out ? Named::name : Named::error;
}

// Appends the name of one file path to `result` when it has one.
bool add_name(PyObject* result, PyObject* path, PyObject* root_package) {
    rn::ptr name;
    switch (module_name(path, root_package, &name)) {
        case Named::error: return false;
        case Named::skip: return true;
        case Named::name: return PyList_Append(result, name.get()) == 0;
    }
    return false;
}

// The tree walk without Python: the ".py" and ".so" files below `path`,
// depth first in directory-listing order, as os.path.exists/isfile/isdir
// and os.listdir see them (links followed; what stat cannot reach does not
// exist).  Runs without the GIL; a directory that cannot be listed stops
// the walk with its errno and path.
struct Walk {
    std::vector<std::string> files;
    int error = 0;
    std::string error_path;

    bool visit(const std::string& path) {
        struct stat st;
        if (stat(path.c_str(), &st) != 0) return true;
        if (S_ISREG(st.st_mode)) {
            if (ends_with(path, ".py") || ends_with(path, ".so")) files.push_back(path);
            return true;
        }
        if (!S_ISDIR(st.st_mode)) return true;
        std::vector<std::string> names;
        if (!list(path, names)) return false;
        const bool slash = path.back() == '/';
        for (const std::string& n : names)
            if (!visit(slash ? path + n : path + "/" + n)) return false;
        return true;
    }

    bool list(const std::string& path, std::vector<std::string>& names) {
        DIR* d = opendir(path.c_str());
        if (!d) return fail(path);
        for (;;) {
            errno = 0;
            const dirent* e = readdir(d);
            if (!e) break;
            const char* n = e->d_name;
            if (n[0] == '.' && (n[1] == 0 || (n[1] == '.' && n[2] == 0))) continue;
            names.emplace_back(n);
        }
        const int err = errno;
        closedir(d);
        if (err) {
            errno = err;
            return fail(path);
        }
        return true;
    }

    bool fail(const std::string& path) {
        error = errno;
        error_path = path;
        return false;
    }

    static bool ends_with(const std::string& s, const char* tail) {
        const size_t n = std::strlen(tail);
        return s.size() >= n && s.compare(s.size() - n, n, tail) == 0;
    }
};

PyObject* collect_native(PyObject* root, PyObject* root_package) {
    rn::ptr result(PyList_New(0));
    if (!result) return nullptr;
    rn::ptr encoded(PyUnicode_EncodeFSDefault(root));
    if (!encoded) {  // os.path.exists: a path that cannot be encoded does not exist
        if (!PyErr_ExceptionMatches(PyExc_ValueError)) return nullptr;
        PyErr_Clear();
        return result.release();
    }
    const char* bytes = PyBytes_AS_STRING(encoded.get());
    const Py_ssize_t size = PyBytes_GET_SIZE(encoded.get());
    if (size == 0 || (Py_ssize_t)std::strlen(bytes) != size) return result.release();
    Walk walk;
    const std::string top(bytes, size);
    const bool ok = rn::without_gil([&] { return walk.visit(top); });
    if (!ok) {
        rn::ptr where(PyUnicode_DecodeFSDefaultAndSize(walk.error_path.data(),
                                                       (Py_ssize_t)walk.error_path.size()));
        if (!where) return nullptr;
        errno = walk.error;
        return PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, where.get());
    }
    for (const std::string& f : walk.files) {
        // The top path keeps the caller's own text, as os.path.join keeps it.
        rn::ptr path(f.size() == top.size()
                         ? Py_NewRef(root)
                         : PyUnicode_DecodeFSDefaultAndSize(f.data(), (Py_ssize_t)f.size()));
        if (!path || !add_name(result.get(), path.get(), root_package)) return nullptr;
    }
    return result.release();
}

// Whether the native walk may stand for the steps through the globals.
int native_walk_applies() {
    rn::ptr os(rn::global(g_module, RN_ID(os)));
    rn::ptr self(os ? rn::global(g_module, RN_ID(collect_modules)) : nullptr);
    if (!self) return -1;
    if (os.get() != g_os || self.get() != g_collect) return 0;
    int ok = rn::is_stock(os.get(), RN_ID(path), g_os_path);
    if (ok == 1) ok = rn::is_stock(os.get(), RN_ID(listdir), g_listdir);
    if (ok == 1) ok = rn::is_stock(g_os_path, RN_ID(exists), g_exists);
    if (ok == 1) ok = rn::is_stock(g_os_path, RN_ID(isfile), g_isfile);
    if (ok == 1) ok = rn::is_stock(g_os_path, RN_ID(isdir), g_isdir);
    if (ok == 1) ok = rn::is_stock(g_os_path, RN_ID(join), g_join);
    return ok;
}

// os.path.<fn>(path) taken for its truth value.
int path_test(PyObject* os_path, PyObject* fn, PyObject* path) {
    rn::ptr r(PyObject_CallMethodOneArg(os_path, fn, path));
    return r ? PyObject_IsTrue(r.get()) : -1;
}

// The same steps through the module globals and the os functions as they
// are now; a directory's entries go through the global collect_modules.
PyObject* collect_through_globals(PyObject* root, PyObject* root_package) {
    rn::ptr os(rn::global(g_module, RN_ID(os)));
    if (!os) return nullptr;
    rn::ptr os_path(PyObject_GetAttr(os.get(), RN_ID(path)));
    if (!os_path) return nullptr;
    rn::ptr result(PyList_New(0));
    if (!result) return nullptr;
    int t = path_test(os_path.get(), RN_ID(exists), root);
    if (t <= 0) return t < 0 ? nullptr : result.release();
    t = path_test(os_path.get(), RN_ID(isfile), root);
    if (t < 0) return nullptr;
    if (t) {  // a path object is taken as its text, as the native walk takes it
        rn::ptr text(PyOS_FSPath(root));
        if (!text) return nullptr;
        if (!PyUnicode_Check(text.get()))
            return rn::raise(PyExc_TypeError, "root_path must be str, not %.100s",
                             Py_TYPE(text.get())->tp_name);
        return add_name(result.get(), text.get(), root_package) ? result.release() : nullptr;
    }
    t = path_test(os_path.get(), RN_ID(isdir), root);
    if (t <= 0) return t < 0 ? nullptr : result.release();
    rn::ptr entries(PyObject_CallMethodOneArg(os.get(), RN_ID(listdir), root));
    if (!entries) return nullptr;
    rn::ptr it(PyObject_GetIter(entries.get()));
    if (!it) return nullptr;
    while (rn::ptr entry{PyIter_Next(it.get())}) {
        rn::ptr join(PyObject_GetAttr(os_path.get(), RN_ID(join)));
        if (!join) return nullptr;
        PyObject* ja[2] = {root, entry.get()};
        rn::ptr sub(PyObject_Vectorcall(join.get(), ja, 2, nullptr));
        if (!sub) return nullptr;
        rn::ptr again(rn::global(g_module, RN_ID(collect_modules)));
        if (!again) return nullptr;
        PyObject* ca[2] = {sub.get(), root_package};
        rn::ptr names(PyObject_Vectorcall(again.get(), ca, 2, nullptr));
        if (!names) return nullptr;
        rn::ptr joined(PyNumber_InPlaceAdd(result.get(), names.get()));  // list += names
        if (!joined) return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;
    return result.release();
}

const rn::Signature collect_modules_sig(
    "collect_modules", "root_path, root_package",
    "The dotted module names of the '.py' and '.so' files at root_path (a file or a directory "
    "walked depth first, in directory-listing order, links followed), without importing "
    "them.\n\n"
    "A name runs from the last occurrence of root_package in the file's path to the end of "
    "the path less '.py', or, for '.so', to the first '.' of the file name, with '/' made '.'; "
    "files whose path does not contain root_package give none.  A missing path gives []; a "
    "directory that cannot be listed raises its OSError.");

PyObject* collect_modules(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
    PyObject* a[2];
    if (!collect_modules_sig.parse(args, nargs, kwnames, a)) return nullptr;
    const int native = native_walk_applies();
    if (native < 0) return nullptr;
    if (!native) return collect_through_globals(a[0], a[1]);
    rn::ptr root(PyOS_FSPath(a[0]));
    if (!root) return nullptr;
    if (!PyUnicode_Check(root.get()))
        return rn::raise(PyExc_TypeError, "root_path must be str, not %.100s",
                         Py_TYPE(root.get())->tp_name);
    return collect_native(root.get(), a[1]);
}

// ---------------------------------------------------------------- find_attributes

const rn::Signature find_attributes_sig(
    "find_attributes", "root_path, root_package, filter",
    "Imports every module that collect_modules(root_path, root_package) lists and returns the "
    "values of the attributes (dir() order) for which filter(module_name, attribute_name, "
    "value) is true.\n\n"
    "Nothing is de-duplicated: an object reachable under several modules or names comes once "
    "for each.  The directory that holds the top package must be on sys.path.");

PyObject* find_attributes(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
    PyObject* a[3];
    if (!find_attributes_sig.parse(args, nargs, kwnames, a)) return nullptr;
    PyObject* filter = a[2];
    rn::ptr result(PyList_New(0));
    if (!result) return nullptr;
    rn::ptr collect(rn::global(g_module, RN_ID(collect_modules)));
    if (!collect) return nullptr;
    rn::ptr names(PyObject_Vectorcall(collect.get(), a, 2, nullptr));
    if (!names) return nullptr;
    rn::ptr it(PyObject_GetIter(names.get()));
    if (!it) return nullptr;
    while (rn::ptr name{PyIter_Next(it.get())}) {
        rn::ptr importlib(rn::global(g_module, RN_ID(importlib)));
        if (!importlib) return nullptr;
        rn::ptr mod(PyObject_CallMethodOneArg(importlib.get(), RN_ID(import_module), name.get()));
        if (!mod) return nullptr;
        rn::ptr attrs(PyObject_Dir(mod.get()));
        if (!attrs) return nullptr;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(attrs.get()); ++i) {
            PyObject* attr = PyList_GET_ITEM(attrs.get(), i);
            rn::ptr value(PyObject_GetAttr(mod.get(), attr));
            if (!value) return nullptr;
            PyObject* fa[3] = {name.get(), attr, value.get()};
            rn::ptr verdict(PyObject_Vectorcall(filter, fa, 3, nullptr));
            if (!verdict) return nullptr;
            const int keep = PyObject_IsTrue(verdict.get());
            if (keep < 0) return nullptr;
            if (keep && PyList_Append(result.get(), value.get()) < 0) return nullptr;
        }
    }
    if (PyErr_Occurred()) return nullptr;
    return result.release();
}

// ---------------------------------------------------------------- module

PyMethodDef methods[] = {kill_other_sig.def(kill_other),
                         kill_all_sig.def(kill_all),
                         run_this_sig.def(run_this),
                         get_class_or_func_sig.def(get_class_or_func),
                         collect_modules_sig.def(collect_modules),
                         find_attributes_sig.def(find_attributes),
                         {}};

PyModuleDef moduledef = {PyModuleDef_HEAD_INIT, "ravu.utils.working",
                         "Process control of a service: the single-instance claim through a pid "
                         "file, killing of competing processes, run-if-main, loading by dotted "
                         "path and module discovery.\n\n"
                         "kill_other and kill_all run `ps -ef | grep` and `kill -9` through the "
                         "shell and log what they run, so init_logger must have run first.",
                         -1, nullptr};

int init(PyObject* m) {
    // The bindings of the module body, in order, then its functions.
    if (rn::bind_imports(m, {{nullptr, "os"}, {nullptr, "importlib"},
                             {"ravu._internal.path", "relative_project_path"},
                             {"ravu.utils.logging", "log"}}) < 0)
        return -1;
    if (PyModule_AddFunctions(m, methods) < 0) return -1;
    g_os = rn::global(m, RN_ID(os));
    if (!g_os) return -1;
    g_os_path = PyObject_GetAttrString(g_os, "path");
    g_listdir = PyObject_GetAttrString(g_os, "listdir");
    if (!g_os_path || !g_listdir) return -1;
    g_exists = PyObject_GetAttrString(g_os_path, "exists");
    g_isfile = PyObject_GetAttrString(g_os_path, "isfile");
    g_isdir = PyObject_GetAttrString(g_os_path, "isdir");
    g_join = PyObject_GetAttrString(g_os_path, "join");
    g_collect = rn::global(m, RN_ID(collect_modules));
    if (!g_exists || !g_isfile || !g_isdir || !g_join || !g_collect) return -1;
    g_function_type = rn::function_type(m, "ravu.utils.working.function");
    if (!g_function_type) return -1;
    return rn::set_all(m, {"kill_other", "kill_all", "run_this", "get_class_or_func",
                           "collect_modules", "find_attributes"});
}

}  // namespace
}  // namespace working

PyMODINIT_FUNC PyInit_working() {
    return rn::create_module(&working::moduledef, working::init, &working::g_module);
}
