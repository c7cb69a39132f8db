// ravu.cmd.compile: the build tool.  Copies a project tree below the
// working directory and compiles every marked source of the copy, one file
// at a time, into an extension module with Cython and setuptools.
//
// Built as the package's own __init__, so `python3 -m ravu.cmd.compile`
// runs __main__.py, which calls main() of this very module (whose dict
// holds src_dir and dst_dir).
//
// Everything that touches the tree or the user goes through the module
// globals `os`, `shutil`, `sys`, `datetime`, `setup`, `cythonize` and the
// builtins `print` and `open`, looked up at every call, so a caller may
// replace any of them.
#include "rn.h"

namespace {

PyObject* g_module = nullptr;

const char* const MARKER = "# @Compile : True";
const char* const HEADER = "# @Time   : %s\n# @Author : tovalinskar\n# Create by compile\n";
// Names that make Cython take a directory for a package.
const char* const PACKAGE_FILES[] = {"__init__.py", "__init__.pyc", "__init__.pyx", "__init__.pxd"};

PyObject* global(PyObject* name) { return rn::global(g_module, name); }

// owner.attr with the module global `owner` looked up now.
PyObject* global_attr(PyObject* owner, PyObject* attr) {
    rn::ptr obj(global(owner));
    if (!obj) return nullptr;
    return PyObject_GetAttr(obj.get(), attr);
}

// os.path.<fn>(args...)
template <typename... A>
PyObject* os_path(PyObject* fn, A... args) {
    rn::ptr path(global_attr(RN_ID(os), RN_ID(path)));
    if (!path) return nullptr;
    rn::ptr f(PyObject_GetAttr(path.get(), fn));
    if (!f) return nullptr;
    PyObject* argv[] = {args...};
    return PyObject_Vectorcall(f.get(), argv, sizeof...(args), nullptr);
}

// owner.fn(args...) for a module global `owner`.
template <typename... A>
PyObject* call_global_attr(PyObject* owner, PyObject* fn, A... args) {
    rn::ptr f(global_attr(owner, fn));
    if (!f) return nullptr;
    PyObject* argv[] = {args..., nullptr};  // never empty
    return PyObject_Vectorcall(f.get(), argv, sizeof...(args), nullptr);
}

// 1, 0, or -1 with an error: the truth of a call's result.
int truth(PyObject* result) {
    if (!result) return -1;
    const int t = PyObject_IsTrue(result);
    Py_DECREF(result);
    return t;
}

bool print_text(PyObject* text) {
    rn::ptr print(global(RN_ID(print)));
    if (!print) return false;
    rn::ptr r(PyObject_CallOneArg(print.get(), text));
    return bool(r);
}

// sys.exit(status): false with SystemExit pending; true only if sys.exit
// has been replaced by something that returns.
bool sys_exit(long status) {
    rn::ptr code(PyLong_FromLong(status));
    if (!code) return false;
    rn::ptr r(call_global_attr(RN_ID(sys), RN_ID(exit), code.get()));
    return bool(r);
}

// print(text); sys.exit(status)
bool stop(const char* text, long status) {
    rn::ptr t(PyUnicode_FromString(text));
    return t && print_text(t.get()) && sys_exit(status);
}

// text.startswith(affix) (direction -1) or text.endswith(affix) (+1).
int has_affix(PyObject* text, PyObject* affix, int direction) {
    if (PyUnicode_Check(text)) {
        const Py_ssize_t r = PyUnicode_Tailmatch(text, affix, 0, PY_SSIZE_T_MAX, direction);
        return r < 0 ? -1 : int(r);
    }
    return truth(PyObject_CallMethodOneArg(text, direction > 0 ? RN_ID(endswith) : RN_ID(startswith),
                                           affix));
}

PyObject* real_cwd() {
    rn::ptr cwd(call_global_attr(RN_ID(os), RN_ID(getcwd)));
    if (!cwd) return nullptr;
    return os_path(RN_ID(realpath), cwd.get());
}

// ---------------------------------------------------------------- the tool's functions

PyObject* generate_dir_impl(PyObject* project_dir) {
    if (!PyUnicode_Check(project_dir))
        return rn::raise(PyExc_TypeError, "project_dir must be str, not %.200s",
                         Py_TYPE(project_dir)->tp_name);
    Py_ssize_t n = PyUnicode_GET_LENGTH(project_dir);
    rn::ptr dir(Py_NewRef(project_dir));
    if (n > 0 && PyUnicode_READ_CHAR(project_dir, n - 1) == '/') {
        dir = PyUnicode_Substring(project_dir, 0, --n);
        if (!dir) return nullptr;
    }
    const Py_ssize_t slash = n ? PyUnicode_FindChar(dir.get(), '/', 0, n, -1) : -1;
    if (slash == -2) return nullptr;
    rn::ptr name(PyUnicode_Substring(dir.get(), slash + 1, n));
    if (!name) return nullptr;
    rn::ptr cwd(real_cwd());
    if (!cwd) return nullptr;
    rn::ptr dst(os_path(RN_ID(join), cwd.get(), name.get()));
    if (!dst) return nullptr;
    rn::ptr src(n > 0 && PyUnicode_READ_CHAR(dir.get(), 0) == '/'
                    ? Py_NewRef(dir.get())
                    : os_path(RN_ID(join), cwd.get(), dir.get()));
    if (!src) return nullptr;
    if (PyObject_SetAttr(g_module, RN_ID(dst_dir), dst.get()) < 0 ||
        PyObject_SetAttr(g_module, RN_ID(src_dir), src.get()) < 0)
        return nullptr;
    const int exists = truth(os_path(RN_ID(isdir), dst.get()));
    if (exists < 0) return nullptr;
    if (exists && !stop("编译目录存在", 1)) return nullptr;
    Py_RETURN_NONE;
}

PyObject* create_temp_impl(PyObject*) {
    rn::ptr cls(global_attr(RN_ID(datetime), RN_ID(datetime)));
    if (!cls) return nullptr;
    rn::ptr now(PyObject_CallMethodNoArgs(cls.get(), RN_ID(now)));
    if (!now) return nullptr;
    rn::ptr date(PyObject_CallMethodOneArg(now.get(), RN_ID(strftime), RN_STR("%Y-%m-%d")));
    if (!date) return nullptr;
    return PyUnicode_Format(RN_STR(HEADER), date.get());
}

// os.path.join(<module global root>, path)
PyObject* below(PyObject* root, PyObject* path) {
    rn::ptr base(global(root));
    if (!base) return nullptr;
    return os_path(RN_ID(join), base.get(), path);
}

PyObject* in_src_impl(PyObject* path) { return below(RN_ID(src_dir), path); }
PyObject* in_dst_impl(PyObject* path) { return below(RN_ID(dst_dir), path); }

// f = open(path, mode); result = f.<method>(arg...); f.close(), as a with
// block does: a close error replaces (and chains) the call's error.
template <typename... A>
PyObject* with_open(PyObject* path, const char* mode, PyObject* method, A... arg) {
    rn::ptr open_fn(global(RN_ID(open)));
    if (!open_fn) return nullptr;
    rn::ptr m(PyUnicode_FromString(mode));
    if (!m) return nullptr;
    PyObject* open_args[] = {path, m.get()};
    rn::ptr f(PyObject_Vectorcall(open_fn.get(), open_args, 2, nullptr));
    if (!f) return nullptr;
    PyObject* call_args[] = {f.get(), arg...};
    rn::ptr result(PyObject_VectorcallMethod(method, call_args, 1 + sizeof...(arg), nullptr));
    rn::SavedError pending;
    if (!rn::ptr(PyObject_CallMethodNoArgs(f.get(), RN_ID(close)))) return nullptr;
    return result.release();
}

// open(path, "w").write(text): the generated header.
bool write_header(PyObject* path, PyObject* text) {
    return bool(rn::ptr(with_open(path, "w", RN_ID(write), text)));
}

// open(path, "r").read(): the whole text of a source file, in the
// process's default text encoding.
PyObject* read_text(PyObject* path) { return with_open(path, "r", RN_ID(read)); }

// path[:-2] + ending
PyObject* swap_ending(PyObject* path, PyObject* ending) {
    const Py_ssize_t n = PyObject_Size(path);
    if (n < 0) return nullptr;
    rn::ptr stem(PySequence_GetSlice(path, 0, n >= 2 ? n - 2 : 0));
    if (!stem) return nullptr;
    return PyNumber_Add(stem.get(), ending);
}

// setup(ext_modules=cythonize(target, compiler_directives={"language_level": 3}))
bool build(PyObject* target) {
    rn::ptr cythonize(global(RN_ID(cythonize)));
    if (!cythonize) return false;
    rn::ptr directives(Py_BuildValue("{s:i}", "language_level", 3));
    if (!directives) return false;
    rn::ptr kw(Py_BuildValue("{s:O}", "compiler_directives", directives.get()));
    if (!kw) return false;
    PyObject* args[] = {target};
    rn::ptr exts(PyObject_VectorcallDict(cythonize.get(), args, 1, kw.get()));
    if (!exts) return false;
    rn::ptr setup(global(RN_ID(setup)));
    if (!setup) return false;
    kw = Py_BuildValue("{s:O}", "ext_modules", exts.get());
    if (!kw) return false;
    rn::ptr r(PyObject_VectorcallDict(setup.get(), nullptr, 0, kw.get()));
    return bool(r);
}

// One entry of a copied directory: recurse, skip, copy, and compile a
// marked source in place of its copy.  False with the error.
bool copy_tree(PyObject* parent);

bool copy_entry(PyObject* parent, PyObject* name) {
    rn::ptr head(PyNumber_Add(parent, RN_STR("/")));
    if (!head) return false;
    rn::ptr path(PyNumber_Add(head.get(), name));
    if (!path) return false;
    rn::ptr src(in_src_impl(path.get()));
    if (!src) return false;
    int is_dir = truth(os_path(RN_ID(isdir), src.get()));
    if (is_dir < 0) return false;
    if (is_dir) {
        // Bytecode caches and dot directories stay behind, with all below them.
        const int cache = has_affix(name, RN_STR("__"), 1);
        if (cache < 0) return false;
        const int dot = cache ? 0 : has_affix(name, RN_STR("."), -1);
        if (dot < 0) return false;
        if (!cache && !dot) return copy_tree(path.get());
    }
    const int is_file = truth(os_path(RN_ID(isfile), src.get()));
    if (is_file <= 0) return is_file == 0;
    rn::ptr dst(in_dst_impl(path.get()));
    if (!dst) return false;
    if (!rn::ptr(call_global_attr(RN_ID(shutil), RN_ID(copy), src.get(), dst.get()))) return false;
    const int source = has_affix(name, RN_STR(".py"), 1);
    if (source <= 0) return source == 0;
    rn::ptr text(read_text(src.get()));
    if (!text) return false;
    const int marked = PySequence_Contains(text.get(), RN_STR(MARKER));
    if (marked <= 0) return marked == 0;
    rn::ptr line(PyNumber_Add(RN_STR("compile by qdm "), src.get()));
    if (!line || !print_text(line.get())) return false;
    if (!build(dst.get())) return false;
    // What the build leaves besides the extension module: the C file, then the copy.
    for (PyObject* ending : {RN_STR("c"), RN_STR("py")}) {
        rn::ptr rel(swap_ending(path.get(), ending));
        if (!rel) return false;
        rn::ptr gone(in_dst_impl(rel.get()));
        if (!gone || !rn::ptr(call_global_attr(RN_ID(os), RN_ID(remove), gone.get())))
            return false;
    }
    return true;
}

bool copy_tree(PyObject* parent) {
    if (Py_EnterRecursiveCall(" while copying a project tree")) return false;
    struct Leave {
        ~Leave() { Py_LeaveRecursiveCall(); }
    } leave;
    rn::ptr src(in_src_impl(parent));
    if (!src) return false;
    // Listed before anything is made for this directory.
    rn::ptr names(call_global_attr(RN_ID(os), RN_ID(listdir), src.get()));
    if (!names) return false;
    rn::ptr dst(in_dst_impl(parent));
    if (!dst) return false;
    rn::ptr makedirs(global_attr(RN_ID(os), RN_ID(makedirs)));
    if (!makedirs) return false;
    rn::ptr kw(Py_BuildValue("{s:O}", "exist_ok", Py_True));
    if (!kw) return false;
    PyObject* args[] = {dst.get()};
    if (!rn::ptr(PyObject_VectorcallDict(makedirs.get(), args, 1, kw.get()))) return false;
    rn::ptr init(PyNumber_Add(dst.get(), RN_STR("/__init__.py")));
    if (!init) return false;
    rn::ptr header(create_temp_impl(nullptr));
    if (!header || !write_header(init.get(), header.get())) return false;
    rn::ptr it(PyObject_GetIter(names.get()));
    if (!it) return false;
    while (rn::ptr name{PyIter_Next(it.get())})
        if (!copy_entry(parent, name.get())) return false;
    return !PyErr_Occurred();
}

PyObject* copy_impl(PyObject* parent) {
    if (!copy_tree(parent)) return nullptr;
    Py_RETURN_NONE;
}

// The refusals of a run that would go wrong, made before anything is
// created.  1 when the run must stop (the message printed and sys.exit
// called), 0 to go on, -1 on error.
int refused() {
    rn::ptr dst(global(RN_ID(dst_dir)));
    if (!dst) return -1;
    rn::ptr src(global(RN_ID(src_dir)));
    if (!src) return -1;
    rn::ptr real_src(os_path(RN_ID(realpath), src.get()));
    if (!real_src) return -1;
    if (!PyUnicode_Check(dst.get()) || !PyUnicode_Check(real_src.get())) return 0;
    // The walk would reach the tree it is writing and copy it again and
    // again, ever deeper.
    int inside = PyUnicode_Compare(dst.get(), real_src.get()) == 0;
    if (!inside) {
        rn::ptr prefix(has_affix(real_src.get(), RN_STR("/"), 1) == 1
                           ? Py_NewRef(real_src.get())
                           : PyUnicode_Concat(real_src.get(), RN_STR("/")));
        if (!prefix) return -1;
        inside = has_affix(dst.get(), prefix.get(), -1);
        if (inside < 0) return -1;
    }
    if (inside) return stop("编译目录在项目目录之内", 1) ? 1 : -1;
    // The final removal of the build directory would take the output with it.
    rn::ptr name(os_path(RN_ID(basename), dst.get()));
    if (!name) return -1;
    const int build_name = PyObject_RichCompareBool(name.get(), RN_STR("build"), Py_EQ);
    if (build_name < 0) return -1;
    if (build_name) return stop("项目名不能是 build", 1) ? 1 : -1;
    // Cython would name the modules after the working directory as well,
    // and the in-place build would look for them in the wrong place.
    rn::ptr cwd(os_path(RN_ID(dirname), dst.get()));
    if (!cwd) return -1;
    for (const char* file : PACKAGE_FILES) {
        rn::ptr fname(PyUnicode_FromString(file));
        if (!fname) return -1;
        rn::ptr candidate(os_path(RN_ID(join), cwd.get(), fname.get()));
        if (!candidate) return -1;
        const int there = truth(os_path(RN_ID(exists), candidate.get()));
        if (there < 0) return -1;
        if (there) {
            const std::string text = std::string("工作目录含有 ") + file;
            return stop(text.c_str(), 1) ? 1 : -1;
        }
    }
    return 0;
}

PyObject* argv() { return global_attr(RN_ID(sys), RN_ID(argv)); }

PyObject* main_impl(PyObject*) {
    rn::ptr args(argv());
    if (!args) return nullptr;
    const Py_ssize_t n = PyObject_Size(args.get());
    if (n < 0) return nullptr;
    if (n != 2 && !stop("需要一个参数", 0)) return nullptr;
    rn::ptr project(PySequence_GetItem(args.get(), 1));
    if (!project) return nullptr;
    if (!rn::ptr(generate_dir_impl(project.get()))) return nullptr;
    const int refuse = refused();
    if (refuse < 0) return nullptr;
    if (refuse) Py_RETURN_NONE;
    // Every setup() call takes its command from the command line.
    const std::pair<const char*, PyObject*> edits[] = {
        {"pop", nullptr}, {"append", RN_STR("build_ext")}, {"append", RN_STR("--inplace")}};
    for (const auto& e : edits) {
        args = argv();
        if (!args) return nullptr;
        rn::ptr r(e.second ? PyObject_CallMethod(args.get(), e.first, "O", e.second)
                           : PyObject_CallMethod(args.get(), e.first, "i", 1));
        if (!r) return nullptr;
    }
    // A build directory the user already had is theirs to keep.
    const int had_build = truth(os_path(RN_ID(lexists), RN_STR("build")));
    if (had_build < 0) return nullptr;
    if (!copy_tree(RN_STR("."))) return nullptr;
    if (!had_build) {
        const int made = truth(os_path(RN_ID(isdir), RN_STR("build")));
        if (made < 0) return nullptr;
        if (made && !rn::ptr(call_global_attr(RN_ID(shutil), RN_ID(rmtree), RN_STR("build"))))
            return nullptr;
    }
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------- module

const rn::Signature generate_dir_sig(
    "generate_dir", "project_dir",
    "Set src_dir and dst_dir for the project directory project_dir (absolute, or\n"
    "relative to the working directory; one trailing '/' is dropped): dst_dir is\n"
    "the project's last path component below the real working directory.  Prints\n"
    "'编译目录存在' and calls sys.exit(1) when dst_dir is an existing directory.");

const rn::Signature create_temp_sig(
    "create_temp", "",
    "The header text of a generated __init__.py, dated with today's local date.");

const rn::Signature in_src_sig("in_src", "path",
                               "os.path.join(src_dir, path), src_dir read now.");

const rn::Signature in_dst_sig("in_dst", "path",
                               "os.path.join(dst_dir, path), dst_dir read now.");

const rn::Signature copy_sig(
    "copy", "parent",
    "Copy the project directory at the relative path parent ('.' for the root) and\n"
    "everything below it to the destination, depth-first in listing order.  Every\n"
    "copied directory gets the generated __init__.py before its entries (its own\n"
    "__init__.py replaces it); directories named '*__' or '.*' are left out; a\n"
    "'.py' file whose text holds '# @Compile : True' is built in place into an\n"
    "extension module, and its copy and C file removed.  The first error ends the\n"
    "walk and is raised.");

const rn::Signature main_sig(
    "main", "",
    "Run the tool on sys.argv[1], the project directory: copy it below the working\n"
    "directory, compile its marked sources, then remove the 'build' directory if\n"
    "this run made it.  Wrong argument count: prints '需要一个参数', sys.exit(0).\n"
    "Existing destination, a destination inside the project, a project named\n"
    "'build' or a working directory that is a package: a message, sys.exit(1),\n"
    "nothing created.");

PyObject* generate_dir(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a = generate_dir_sig.single(args, nargs, kwnames);
    return a ? generate_dir_impl(a) : nullptr;
}

PyObject* in_src(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a = in_src_sig.single(args, nargs, kwnames);
    return a ? in_src_impl(a) : nullptr;
}

PyObject* in_dst(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a = in_dst_sig.single(args, nargs, kwnames);
    return a ? in_dst_impl(a) : nullptr;
}

PyObject* copy(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a = copy_sig.single(args, nargs, kwnames);
    return a ? copy_impl(a) : nullptr;
}

PyMethodDef methods[] = {generate_dir_sig.def(generate_dir),
                         create_temp_sig.def(rn::noargs<create_temp_sig, create_temp_impl>),
                         in_src_sig.def(in_src),
                         in_dst_sig.def(in_dst),
                         copy_sig.def(copy),
                         main_sig.def(rn::noargs<main_sig, main_impl>),
                         {nullptr, nullptr, 0, nullptr}};

PyModuleDef moduledef = {
    PyModuleDef_HEAD_INIT, "ravu.cmd.compile",
    "Build tool: a compiled copy of a project tree.\n\n"
    "Copies a project tree below the working directory and compiles its\n"
    "sources marked '# @Compile : True' into extension modules.\n\n"
    "Run: python3 -m ravu.cmd.compile <project directory>",
    -1, nullptr};

int init(PyObject* m) {
    // The dependencies first, in this order; without them the import fails.
    const std::pair<const char*, const char*> from_imports[] = {
        {"distutils.core", "setup"}, {"Cython.Build", "cythonize"}};
    for (const auto& fi : from_imports) {
        rn::ptr obj(rn::import_attr(fi.first, fi.second));
        if (!obj || PyModule_AddObjectRef(m, fi.second, obj.get()) < 0) return -1;
    }
    for (const char* name : {"sys", "os", "shutil", "datetime"}) {
        rn::ptr mod(PyImport_ImportModule(name));
        if (!mod || PyModule_AddObjectRef(m, name, mod.get()) < 0) return -1;
    }
    if (PyModule_AddObjectRef(m, "src_dir", Py_None) < 0 ||
        PyModule_AddObjectRef(m, "dst_dir", Py_None) < 0)
        return -1;
    if (PyModule_AddFunctions(m, methods) < 0) return -1;
    rn::ptr name(PyObject_GetAttr(m, RN_ID(__name__)));
    if (!name) return -1;
    const int is_main = PyObject_RichCompareBool(name.get(), RN_STR("__main__"), Py_EQ);
    if (is_main < 0) return -1;
    if (is_main && !rn::ptr(main_impl(m))) return -1;
    return 0;
}

}  // namespace

PyMODINIT_FUNC PyInit_compile() {
    return rn::create_module(&moduledef, init, &g_module);
}
