// ravu.utils.path: a predicate-driven search of a directory tree and small
// functions that take a path text apart or replace its suffix.
//
// The module global `os` is looked up at every call.  While it, and the
// functions of it that a call relies on, are still the standard ones, the
// work is done here on the text (and, for the search, on the directory
// listings); otherwise the same steps run through whatever `os` now holds.
#include "rn.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>

namespace {

// The module's state, made once at import.
struct State {
    PyObject* module;
    // The standard objects, held so that identity tests stay meaningful.
    PyObject* os;
    PyObject* posixpath;
    PyObject* split;
    PyObject* join;
    PyObject* islink;
    PyObject* walk;
    PyObject* scandir;
    PyObject* name_func;  // our own parse_filepath_name
    // The dicts of this module, of os and of os.path, theirs for life.
    PyObject* module_dict;
    PyObject* os_dict;
    PyObject* posixpath_dict;
};
State st;

// 1 while the global `os`, its `path` and that one's `split` are the ones
// bound at import, 0 if any was replaced, -1 on error.  A module of the
// exact module type has its dict's entries as attributes, so the three
// dicts are read: nothing of Python runs.
int standard_split_now() {
    PyObject* os = PyDict_GetItemWithError(st.module_dict, RN_ID(os));
    if (os == st.os && PyModule_CheckExact(os) && PyModule_CheckExact(st.posixpath) &&
        PyDict_GetItemWithError(st.os_dict, RN_ID(path)) == st.posixpath &&
        PyDict_GetItemWithError(st.posixpath_dict, RN_ID(split)) == st.split)
        return 1;
    return PyErr_Occurred() ? -1 : 0;
}

Py_ssize_t find_char(PyObject* s, Py_UCS4 ch, Py_ssize_t start, Py_ssize_t end, int direction) {
    if (start >= end) return -1;
    return PyUnicode_FindChar(s, ch, start, end, direction);
}

// posixpath.split of an exact str.
PyObject* split_text(PyObject* p) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(p);
    Py_ssize_t i = find_char(p, '/', 0, n, -1);
    if (i == -2) return nullptr;
    i += 1;
    // head.rstrip("/") unless head is all slashes
    Py_ssize_t h = i;
    while (h > 0 && PyUnicode_READ_CHAR(p, h - 1) == '/') --h;
    if (h == 0) h = i;
    rn::ptr head(PyUnicode_Substring(p, 0, h));
    if (!head) return nullptr;
    rn::ptr tail(PyUnicode_Substring(p, i, n));
    if (!tail) return nullptr;
    return PyTuple_Pack(2, head.get(), tail.get());
}

// os.path.split(filepath), with `os` looked up now.  Each name is looked
// up once, as the expression does; the split itself is done here while it
// is the standard one and the path an exact str.
PyObject* os_split(PyObject* filepath) {
    const bool text = PyUnicode_CheckExact(filepath);
    if (text) {
        const int standard = standard_split_now();
        if (standard < 0) return nullptr;
        if (standard) return split_text(filepath);
    }
    rn::ptr split(rn::global(st.module, {RN_ID(os), RN_ID(path), RN_ID(split)}));
    if (!split) return nullptr;
    if (text && split.get() == st.split) return split_text(filepath);
    return PyObject_CallOneArg(split.get(), filepath);
}

PyObject* item(PyObject* seq, Py_ssize_t i) {
    if (PyTuple_CheckExact(seq) && i >= 0 && i < PyTuple_GET_SIZE(seq))
        return Py_NewRef(PyTuple_GET_ITEM(seq, i));
    rn::ptr index(PyLong_FromSsize_t(i));
    if (!index) return nullptr;
    return PyObject_GetItem(seq, index.get());
}

// The last path component: os.path.split(filepath)[1].
PyObject* file_name(PyObject* filepath) {
    rn::ptr pair(os_split(filepath));
    if (!pair) return nullptr;
    return item(pair.get(), 1);
}

PyObject* index_error() {
    PyErr_SetString(PyExc_IndexError, "list index out of range");
    return nullptr;
}

// text.split(sep)[which], natively for an exact str.
PyObject* split_piece(PyObject* text, const char* sep, Py_ssize_t which) {
    if (!PyUnicode_CheckExact(text)) {
        rn::ptr parts(PyObject_CallMethod(text, "split", "s", sep));
        if (!parts) return nullptr;
        return item(parts.get(), which);
    }
    const Py_UCS4 ch = (unsigned char)sep[0];
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    if (which >= 0) {
        Py_ssize_t start = 0;
        for (Py_ssize_t k = 0; k < which; ++k) {
            Py_ssize_t at = find_char(text, ch, start, n, 1);
            if (at == -2) return nullptr;
            if (at < 0) return index_error();
            start = at + 1;
        }
        Py_ssize_t end = find_char(text, ch, start, n, 1);
        if (end == -2) return nullptr;
        return PyUnicode_Substring(text, start, end < 0 ? n : end);
    }
    Py_ssize_t end = n;
    for (Py_ssize_t k = -1; k > which; --k) {
        Py_ssize_t at = find_char(text, ch, 0, end, -1);
        if (at == -2) return nullptr;
        if (at < 0) return index_error();
        end = at;
    }
    Py_ssize_t at = find_char(text, ch, 0, end, -1);
    if (at == -2) return nullptr;
    return PyUnicode_Substring(text, at + 1, end);
}

// ---------------------------------------------------------------- one-argument functions

const rn::Signature parse_filepath_name_sig(
    "parse_filepath_name", "filepath, /",
    "Return the last component of filepath, as os.path.split gives it\n"
    "(empty when the path ends with a separator).");

PyObject* parse_filepath_name(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    PyObject* filepath = parse_filepath_name_sig.single(args, nargs, kwnames);
    if (!filepath) return nullptr;
    return file_name(filepath);
}

const rn::Signature parse_filepath_dir_sig(
    "parse_filepath_dir", "filepath, /",
    "Return the directory part of filepath, as os.path.split gives it\n"
    "(empty when the path holds no separator).");

PyObject* parse_filepath_dir(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    PyObject* filepath = parse_filepath_dir_sig.single(args, nargs, kwnames);
    if (!filepath) return nullptr;
    rn::ptr pair(os_split(filepath));
    if (!pair) return nullptr;
    return item(pair.get(), 0);
}

const rn::Signature split_filepath_sig(
    "split_filepath", "filepath, /",
    "Return os.path.split(filepath): the pair (head, tail).");

PyObject* split_filepath(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* filepath = split_filepath_sig.single(args, nargs, kwnames);
    if (!filepath) return nullptr;
    return os_split(filepath);
}


const rn::Signature parse_filepath_prefix_sig(
    "parse_filepath_prefix", "filepath, /",
    "Return the file name of filepath up to its first dot (the whole name when\n"
    "it has none; '' for a name like '.profile').  The name is taken through\n"
    "this module's parse_filepath_name, looked up at each call.");

PyObject* parse_filepath_prefix(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
    PyObject* filepath = parse_filepath_prefix_sig.single(args, nargs, kwnames);
    if (!filepath) return nullptr;
    rn::ptr fn(rn::global(st.module, RN_ID(parse_filepath_name)));
    if (!fn) return nullptr;
    rn::ptr name(fn.get() == st.name_func ? file_name(filepath)
                                         : PyObject_CallOneArg(fn.get(), filepath));
    if (!name) return nullptr;
    return split_piece(name.get(), ".", 0);
}

// The suffix is taken from the file name alone: a dot in a directory name
// must not decide it.
const rn::Signature parse_filepath_suffix_sig(
    "parse_filepath_suffix", "filepath, /",
    "Return the file name's text between its first and second dot:\n"
    "'tar' for 'a/b.tar.gz'.  A dot in a directory name does not count.\n"
    "Raises IndexError when the file name holds no dot.");

PyObject* parse_filepath_suffix(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
    PyObject* filepath = parse_filepath_suffix_sig.single(args, nargs, kwnames);
    if (!filepath) return nullptr;
    rn::ptr name(file_name(filepath));
    if (!name) return nullptr;
    return split_piece(name.get(), ".", 1);
}

const rn::Signature parse_filepath_parent_name_sig(
    "parse_filepath_parent_name", "filepath, /",
    "Return the second-to-last piece of filepath split at '/': for a path\n"
    "to a file, the name of its directory ('b' for 'a/b/c.txt' and 'a/b/').\n"
    "Raises IndexError when the path holds no '/'.");

PyObject* parse_filepath_parent_name(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) {
    PyObject* filepath = parse_filepath_parent_name_sig.single(args, nargs, kwnames);
    if (!filepath) return nullptr;
    return split_piece(filepath, "/", -2);
}

// ---------------------------------------------------------------- replace_filepath_suffix

// filepath[:cut] + "." + suffix for exact strs, where cut is the first dot
// of the file name (after the last "/"), or the end: the one result string
// written in place.
PyObject* replaced_suffix(PyObject* filepath, PyObject* suffix) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(filepath);
    const Py_ssize_t slash = find_char(filepath, '/', 0, n, -1);
    if (slash == -2) return nullptr;
    const Py_ssize_t dot = find_char(filepath, '.', slash + 1, n, 1);
    if (dot == -2) return nullptr;
    const Py_ssize_t cut = dot < 0 ? n : dot;
    const Py_ssize_t ns = PyUnicode_GET_LENGTH(suffix);
    if (ns > PY_SSIZE_T_MAX - cut - 1) return PyErr_NoMemory();
    // The result's kind follows the widest character it holds, as for any
    // str: the kept part's characters are looked at unless all are ASCII.
    Py_UCS4 widest = PyUnicode_MAX_CHAR_VALUE(suffix);
    if (!PyUnicode_IS_ASCII(filepath)) {
        const int kind = PyUnicode_KIND(filepath);
        const void* data = PyUnicode_DATA(filepath);
        for (Py_ssize_t i = 0; i < cut; ++i)
            widest = std::max(widest, PyUnicode_READ(kind, data, i));
    }
    rn::ptr out(PyUnicode_New(cut + 1 + ns, widest));
    if (!out) return nullptr;
    if (PyUnicode_IS_ASCII(out.get())) {
        char* dst = static_cast<char*>(PyUnicode_DATA(out.get()));
        std::memcpy(dst, PyUnicode_DATA(filepath), cut);
        dst[cut] = '.';
        std::memcpy(dst + cut + 1, PyUnicode_DATA(suffix), ns);
        return out.release();
    }
    if (PyUnicode_CopyCharacters(out.get(), 0, filepath, 0, cut) < 0 ||
        PyUnicode_WriteChar(out.get(), cut, '.') < 0 ||
        PyUnicode_CopyCharacters(out.get(), cut + 1, suffix, 0, ns) < 0)
        return nullptr;
    return out.release();
}

// The directory part stays as written; only the file name is cut at its
// first dot, so "./file.txt" keeps its file.
const rn::Signature replace_filepath_suffix_sig(
    "replace_filepath_suffix", "filepath, new_suffix",
    "Return filepath with its file name cut at the first dot and '.' +\n"
    "new_suffix put after it: 'a/b.tar.gz', 'zip' gives 'a/b.zip'.  The\n"
    "directory part stays as written.  new_suffix is given without its dot.");

PyObject* replace_filepath_suffix(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
    PyObject* a[2];
    if (!replace_filepath_suffix_sig.parse(args, nargs, kwnames, a)) return nullptr;
    PyObject *filepath = a[0], *suffix = a[1];
    if (PyUnicode_CheckExact(filepath) && PyUnicode_CheckExact(suffix)) {
        const int standard = standard_split_now();
        if (standard < 0) return nullptr;
        if (standard) return replaced_suffix(filepath, suffix);
    }
    rn::ptr pair(os_split(filepath));
    if (!pair) return nullptr;
    rn::ptr name(item(pair.get(), 1));
    if (!name) return nullptr;
    rn::ptr stem(split_piece(name.get(), ".", 0));
    if (!stem) return nullptr;
    // filepath[:len(filepath) - len(name)]: what precedes the file name
    Py_ssize_t total = PyObject_Size(filepath);
    if (total < 0) return nullptr;
    Py_ssize_t name_len = PyObject_Size(name.get());
    if (name_len < 0) return nullptr;
    // Sliced as Python slices: a name longer than the path (a replaced
    // split may give one) counts from the end.
    rn::ptr dir(PySequence_GetSlice(filepath, 0, total - name_len));
    if (!dir) return nullptr;
    rn::ptr head(PyNumber_Add(dir.get(), stem.get()));
    if (!head) return nullptr;
    rn::ptr dotted(PyNumber_Add(head.get(), RN_STR(".")));
    if (!dotted) return nullptr;
    return PyNumber_Add(dotted.get(), suffix);
}

// ---------------------------------------------------------------- search_filepaths

struct Entry {
    std::string name;
    bool is_dir;
};

// One directory's names in listing order, each with entry.is_dir() as
// os.scandir answers it (links followed; a failed stat counts as not a
// directory).  False when the directory cannot be listed at all.
bool list_dir(const std::string& path, bool check_link, std::vector<Entry>* out) {
    if (check_link) {
        struct stat st;
        if (lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) return false;
    }
    DIR* d = opendir(path.c_str());
    if (!d) return false;
    const int fd = dirfd(d);
    for (;;) {
        errno = 0;
        struct dirent* e = readdir(d);
        if (!e) {
            const bool ok = errno == 0;
            closedir(d);
            return ok;
        }
        const char* n = e->d_name;
        if (n[0] == '.' && (n[1] == 0 || (n[1] == '.' && n[2] == 0))) continue;
        bool is_dir;
        if (e->d_type == DT_UNKNOWN || e->d_type == DT_LNK) {
            struct stat st;
            is_dir = fstatat(fd, n, &st, 0) == 0 && S_ISDIR(st.st_mode);
        } else {
            is_dir = e->d_type == DT_DIR;
        }
        out->push_back(Entry{n, is_dir});
    }
}

bool all_ascii(const std::string& s) {
    for (unsigned char c : s)
        if (c >= 0x80) return false;
    return true;
}

// os.path.join(parent, name) where `prefix` is parent with its separator.
PyObject* joined(PyObject* prefix, const std::string& name) {
    if (PyUnicode_IS_ASCII(prefix) && all_ascii(name)) {
        const Py_ssize_t np = PyUnicode_GET_LENGTH(prefix);
        PyObject* s = PyUnicode_New(np + (Py_ssize_t)name.size(), 127);
        if (!s) return nullptr;
        char* dst = (char*)PyUnicode_DATA(s);
        std::memcpy(dst, PyUnicode_DATA(prefix), np);
        std::memcpy(dst + np, name.data(), name.size());
        return s;
    }
    rn::ptr text(PyUnicode_DecodeFSDefaultAndSize(name.data(), (Py_ssize_t)name.size()));
    if (!text) return nullptr;
    return PyUnicode_Concat(prefix, text.get());
}

struct Pending {
    rn::ptr text;       // the path as os.walk yields it
    std::string bytes;  // the same, encoded for the system calls
    bool check_link;    // os.walk skips links to directories below the root
};

// os.walk(root) with its defaults, done natively, feeding every joined
// file path to `filter`.
PyObject* search_native(PyObject* root, PyObject* filter) {
    rn::ptr encoded(PyUnicode_EncodeFSDefault(root));
    if (!encoded) return nullptr;
    if (PySys_Audit("os.walk", "OOOO", root, Py_True, Py_None, Py_False) < 0) return nullptr;
    rn::ptr result(PyList_New(0));
    if (!result) return nullptr;
    std::vector<Pending> stack;
    stack.push_back(Pending{rn::ptr(Py_NewRef(root)), PyBytes_AS_STRING(encoded.get()), false});
    std::vector<Entry> entries;
    while (!stack.empty()) {
        Pending dir = std::move(stack.back());
        stack.pop_back();
        if (PySys_Audit("os.scandir", "O", dir.text.get()) < 0) return nullptr;
        entries.clear();
        const bool listed =
            rn::without_gil([&] { return list_dir(dir.bytes, dir.check_link, &entries); });
        if (!listed) continue;
        const Py_ssize_t n = PyUnicode_GET_LENGTH(dir.text.get());
        const bool has_sep = n == 0 || PyUnicode_READ_CHAR(dir.text.get(), n - 1) == '/';
        rn::ptr prefix(has_sep ? Py_NewRef(dir.text.get())
                               : PyUnicode_Concat(dir.text.get(), RN_STR("/")));
        if (!prefix) return nullptr;
        const std::string byte_prefix = has_sep ? dir.bytes : dir.bytes + "/";
        for (const Entry& e : entries) {
            if (e.is_dir) continue;
            rn::ptr path(joined(prefix.get(), e.name));
            if (!path) return nullptr;
            rn::ptr verdict(PyObject_CallOneArg(filter, path.get()));
            if (!verdict) return nullptr;
            int keep = PyObject_IsTrue(verdict.get());
            if (keep < 0) return nullptr;
            if (keep && PyList_Append(result.get(), path.get()) < 0) return nullptr;
        }
        const size_t mark = stack.size();
        for (const Entry& e : entries) {
            if (!e.is_dir) continue;
            rn::ptr path(joined(prefix.get(), e.name));
            if (!path) return nullptr;
            stack.push_back(Pending{std::move(path), byte_prefix + e.name, true});
        }
        std::reverse(stack.begin() + mark, stack.end());  // first subdirectory first
    }
    return result.release();
}

// The same steps through whatever `os` holds now.
PyObject* search_generic(PyObject* os, PyObject* root, PyObject* filter) {
    rn::ptr walk(PyObject_GetAttr(os, RN_ID(walk)));
    if (!walk) return nullptr;
    rn::ptr it(PyObject_CallOneArg(walk.get(), root));
    if (!it) return nullptr;
    rn::ptr iter(PyObject_GetIter(it.get()));
    if (!iter) return nullptr;
    rn::ptr result(PyList_New(0));
    if (!result) return nullptr;
    while (rn::ptr step{PyIter_Next(iter.get())}) {
        rn::ptr seq(PySequence_Fast(step.get(), "cannot unpack non-iterable object"));
        if (!seq) return nullptr;
        const Py_ssize_t k = PySequence_Fast_GET_SIZE(seq.get());
        if (k != 3) {
            if (k < 3)
                return rn::raise(PyExc_ValueError, "not enough values to unpack (expected 3, got %zd)", k);
            return rn::raise(PyExc_ValueError, "too many values to unpack (expected 3)");
        }
        PyObject* parent = PySequence_Fast_GET_ITEM(seq.get(), 0);
        rn::ptr files(PyObject_GetIter(PySequence_Fast_GET_ITEM(seq.get(), 2)));
        if (!files) return nullptr;
        while (rn::ptr file{PyIter_Next(files.get())}) {
            rn::ptr path(rn::call_global(st.module, {RN_ID(os), RN_ID(path), RN_ID(join)},
                                         parent, file.get()));
            if (!path) return nullptr;
            rn::ptr verdict(PyObject_CallOneArg(filter, path.get()));
            if (!verdict) return nullptr;
            int keep = PyObject_IsTrue(verdict.get());
            if (keep < 0) return nullptr;
            if (keep && PyList_Append(result.get(), path.get()) < 0) return nullptr;
        }
        if (PyErr_Occurred()) return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;
    return result.release();
}

// 1 while os.walk and everything it stands on are the standard ones.
int standard_walk(PyObject* os) {
    if (os != st.os) return 0;
    int ok = rn::is_stock(os, RN_ID(walk), st.walk);
    if (ok == 1) ok = rn::is_stock(os, RN_ID(scandir), st.scandir);
    if (ok == 1) ok = rn::is_stock(os, RN_ID(path), st.posixpath);
    if (ok == 1) ok = rn::is_stock(st.posixpath, RN_ID(join), st.join);
    if (ok == 1) ok = rn::is_stock(st.posixpath, RN_ID(islink), st.islink);
    return ok;
}

const rn::Signature search_filepaths_sig(
    "search_filepaths", "root_path, file_filter",
    "Return the paths of the files below root_path that file_filter accepts.\n\n"
    "The tree is walked as os.walk(root_path) walks it (top-down, names in the\n"
    "order the system lists them, links to directories not followed,\n"
    "unreadable directories skipped).  file_filter is called once per file\n"
    "with its joined path os.path.join(dir, name), never for a directory; the\n"
    "result keeps walk order and begins with root_path as given.  An\n"
    "exception of file_filter ends the search and propagates.");

PyObject* search_filepaths(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
    PyObject* a[2];
    if (!search_filepaths_sig.parse(args, nargs, kwnames, a)) return nullptr;
    rn::ptr os(rn::global(st.module, RN_ID(os)));
    if (!os) return nullptr;
    int standard = standard_walk(os.get());
    if (standard < 0) return nullptr;
    // Texts that scandir would refuse (a NUL inside) take the standard
    // road, which raises what it raises.
    if (standard && PyUnicode_CheckExact(a[0])) {
        const Py_ssize_t n = PyUnicode_GET_LENGTH(a[0]);
        Py_ssize_t nul = find_char(a[0], 0, 0, n, 1);
        if (nul == -2) return nullptr;
        if (nul == -1) {
            rn::ptr probe(PyUnicode_EncodeFSDefault(a[0]));
            if (probe) return search_native(a[0], a[1]);
            PyErr_Clear();
        }
    }
    return search_generic(os.get(), a[0], a[1]);
}

// ---------------------------------------------------------------- module

PyMethodDef methods[] = {search_filepaths_sig.def(search_filepaths),
                         parse_filepath_prefix_sig.def(parse_filepath_prefix),
                         parse_filepath_suffix_sig.def(parse_filepath_suffix),
                         parse_filepath_name_sig.def(parse_filepath_name),
                         parse_filepath_parent_name_sig.def(parse_filepath_parent_name),
                         parse_filepath_dir_sig.def(parse_filepath_dir),
                         replace_filepath_suffix_sig.def(replace_filepath_suffix),
                         split_filepath_sig.def(split_filepath),
                         {}};

PyModuleDef moduledef = {
    PyModuleDef_HEAD_INIT, "ravu.utils.path",
    "File search and path text functions.\n\n"
    "search_filepaths(root_path, file_filter) -- files of a tree a predicate accepts.\n"
    "parse_filepath_name / _dir, split_filepath -- pieces of os.path.split.\n"
    "parse_filepath_prefix / _suffix -- the file name before its first dot / between\n"
    "    its first and second dot.\n"
    "parse_filepath_parent_name -- the name of the directory holding the file.\n"
    "replace_filepath_suffix(filepath, new_suffix) -- the path with a new suffix.\n\n"
    "The one-argument functions take their argument by position only.",
    -1, methods};

int init(PyObject* m) {
    if (rn::bind_import(m, nullptr, "os") < 0) return -1;
    st.os = rn::global(m, RN_ID(os));
    if (!st.os) return -1;
    st.posixpath = PyObject_GetAttrString(st.os, "path");
    if (!st.posixpath) return -1;
    st.module_dict = PyModule_GetDict(m);
    st.os_dict = PyModule_GetDict(st.os);
    st.posixpath_dict = PyModule_GetDict(st.posixpath);
    if (!st.os_dict || !st.posixpath_dict) return -1;
    st.split = PyObject_GetAttrString(st.posixpath, "split");
    st.join = PyObject_GetAttrString(st.posixpath, "join");
    st.islink = PyObject_GetAttrString(st.posixpath, "islink");
    st.walk = PyObject_GetAttrString(st.os, "walk");
    st.scandir = PyObject_GetAttrString(st.os, "scandir");
    if (!st.split || !st.join || !st.islink || !st.walk || !st.scandir) return -1;
    st.name_func = PyObject_GetAttrString(m, "parse_filepath_name");
    if (!st.name_func) return -1;
    return rn::set_all(m, {"search_filepaths", "parse_filepath_prefix", "parse_filepath_suffix",
                           "parse_filepath_name", "parse_filepath_parent_name",
                           "parse_filepath_dir", "replace_filepath_suffix", "split_filepath"});
}

}  // namespace

PyMODINIT_FUNC PyInit_path() {
    return rn::create_module(&moduledef, init, &st.module);
}
