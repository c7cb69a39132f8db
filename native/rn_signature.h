// The one statement of a signature (rn::Signature): argument parsing with
// CPython's own TypeError messages, defaults, docstring and text signature,
// and the `__signature__` of our function objects (rn_callable.h).
// Included through rn.h.
#pragma once

#include "rn_base.h"

namespace rn {

// What runs once per signature (at static initialisation or the first
// call) or only on a refused call stays out of line: inlined into every
// caller it would grow each module enough that the compiler stops inlining
// the hot code of the module's own functions.
#define RN_COLD __attribute__((noinline, cold))

// ---------------------------------------------------------------- arguments

enum Kind : unsigned char { POSONLY, POS, KWONLY };

// The builtin that carries a text signature to inspect.signature(); it is
// never called.
inline PyObject* doc_only(PyObject*, PyObject*) { Py_RETURN_NONE; }

struct Param {
    const char* name;
    Kind kind;
    bool required;
};

// How a signature is bound: a module function, a method (the messages
// count `self`, the text signature starts with `$self`), or a type's
// __init__ (messages name "Class.__init__" and count `self`; the docstring
// is the class's, "Class(params)").
enum class Binding : unsigned char { function, method, init };
inline constexpr Binding FUNCTION = Binding::function;
inline constexpr Binding METHOD = Binding::method;
inline constexpr Binding INIT = Binding::init;

// The one statement of a function's or method's signature, from which
// come the argument parsing (CPython's own TypeError texts), the defaults,
// the docstring and its __text_signature__:
//
//   const rn::Signature lock_func_sig("lock_func", "mutex=None, timeout=3",
//       "Decorator factory: ...");
//   PyObject* lock_func(PyObject*, PyObject* const* args, Py_ssize_t nargs,
//                       PyObject* kwnames) {
//       PyObject* a[2];
//       if (!lock_func_sig.parse(args, nargs, kwnames, a)) return nullptr;
//       ...
//   PyMethodDef methods[] = {lock_func_sig.def(lock_func), {}};
//
// `name` is the qualified name the messages use ("lock_func",
// "CircularQueue.put", "CircularQueue.__init__"); `params` the parameter
// list as a `def` writes it, without `self`: "a, b, /, c, d=None, *, e",
// "*args, **kwargs".  Defaults are literals (None, True, False, ints,
// floats, quoted strings, and tuples of these: "bgr_color=(0, 255, 0)");
// any other default text is shown as written and must be given its value
// by set_default() at module initialisation.
//
// Signatures are namespace-scope objects defined before the method tables
// that use them (their docstrings are made at static initialisation, in
// definition order within a file).
class Signature {
public:
    RN_COLD Signature(const char* name, const char* params, const char* doc,
              Binding binding = Binding::function)
        : name_(name), binding_(binding) {
        split(params);
        for (const Param& p : params_) {
            if (p.kind == KWONLY) continue;
            ++npos_;
            if (p.kind == POSONLY) ++nposonly_;
            if (p.required) ++nreq_pos_;
        }
        bool required_kwonly = false;
        for (const Param& p : params_)
            if (p.kind == KWONLY && p.required) required_kwonly = true;
        simple_ = !varargs_ && !varkw_ && !required_kwonly;
        make_doc(params, doc);
    }
    Signature(const Signature&) = delete;
    Signature& operator=(const Signature&) = delete;

    Py_ssize_t size() const { return (Py_ssize_t)params_.size(); }
    const char* name() const { return name_; }
    // "name(params)\n--\n\ndoc": for ml_doc, or tp_doc of an INIT signature.
    const char* doc() const { return doc_.c_str(); }
    // The docstring itself, after the text signature; NULL when the
    // statement gave none (a callable whose __doc__ is None).
    const char* doc_body() const { return has_doc_ ? doc_.c_str() + body_at_ : nullptr; }

    // inspect.signature() of this statement: what `__signature__` of a
    // callable object of our own type gives.  Made at the first use and
    // kept; new reference.
    RN_COLD PyObject* inspected() const {
        if (!inspected_) {
            carrier_ = {name_, doc_only, METH_NOARGS, doc()};
            ptr fn(PyCFunction_New(&carrier_, nullptr));
            ptr inspect(fn ? PyImport_ImportModule("inspect") : nullptr);
            if (!inspect) return nullptr;
            inspected_ = PyObject_CallMethodOneArg(inspect.get(), RN_ID(signature), fn.get());
        }
        return Py_XNewRef(inspected_);
    }

    // The method-table entry of `fn`, named by the last part of the name.
    template <typename F>
    PyMethodDef def(F fn) const {
        return {short_name(), (PyCFunction)(void (*)(void))fn, METH_FASTCALL | METH_KEYWORDS,
                doc()};
    }

    // A default whose value is not a literal (a constant read at import).
    void set_default(const char* param, PyObject* value) const {
        for (size_t i = 0; i < params_.size(); ++i)
            if (std::strcmp(params_[i].name, param) == 0) {
                Py_XSETREF(defaults_[i], Py_NewRef(value));
                return;
            }
    }

    // Binds the call as a def would.  `out` receives borrowed references:
    // the argument, or the parameter's default when not given.  `star`
    // (with *args) receives the extra positional arguments as a tuple,
    // `starstar` (with **kwargs) the extra keywords as a dict.
    // One out-of-line copy per module: inlined, its short copying loops
    // become calls of memcpy in every caller, which costs more than the call.
    __attribute__((noinline)) bool parse(PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kwnames, PyObject** out,
                                         ptr* star = nullptr, ptr* starstar = nullptr) const {
        nargs = PyVectorcall_NARGS(nargs);
        if (!ready_ && !prepare()) return false;
        const Py_ssize_t nparams = size();
        // The common call: positional arguments only, count in range.
        if (!kwnames && simple_ && nargs >= nreq_pos_ && nargs <= npos_) {
            Py_ssize_t i = 0;
            for (; i < nargs; ++i) out[i] = args[i];
            for (; i < nparams; ++i) out[i] = defaults_[i];
            return true;
        }
        if (!parse_slow(args, nargs, kwnames, out, star, starstar)) return false;
        for (Py_ssize_t i = 0; i < nparams; ++i)
            if (!out[i]) out[i] = defaults_[i];
        return true;
    }

    // The same for the (args tuple, kwargs dict) form that tp_init gets.
    // `keep` holds what the borrowed `out` references need beyond the
    // call's own tuple and dict.
    bool parse_tuple(PyObject* args, PyObject* kwargs, PyObject** out, ptr& keep) const {
        const Py_ssize_t n = PyTuple_GET_SIZE(args);
        const Py_ssize_t nkw = kwargs ? PyDict_GET_SIZE(kwargs) : 0;
        PyObject* const* items = &PyTuple_GET_ITEM(args, 0);
        if (!nkw) return parse(items, n, nullptr, out);
        std::vector<PyObject*> flat(items, items + n);
        keep.set(PyTuple_New(nkw));
        if (!keep) return false;
        Py_ssize_t pos = 0, k = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            PyTuple_SET_ITEM(keep.get(), k++, Py_NewRef(key));
            flat.push_back(value);
        }
        return parse(flat.data(), n, keep.get(), out);
    }

    // The argument of a signature of exactly one parameter, borrowed, or
    // NULL with the TypeError a def would raise.
    PyObject* single(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) const {
        if (!kwnames && PyVectorcall_NARGS(nargs) == 1 && ready_) return args[0];
        PyObject* out[1];
        return parse(args, nargs, kwnames, out) ? out[0] : nullptr;
    }

    // True for a call with no arguments, else the TypeError of a def
    // without parameters.
    bool none(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) const {
        if (!kwnames && PyVectorcall_NARGS(nargs) == 0) return true;
        PyObject* out[1];
        return parse(args, nargs, kwnames, out);
    }

private:
    const char* short_name() const {
        const char* dot = std::strrchr(name_, '.');
        return dot ? dot + 1 : name_;
    }

    static std::string trim(const std::string& s) {
        size_t b = s.find_first_not_of(" \t\n"), e = s.find_last_not_of(" \t\n");
        return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
    }

    // The items of a comma-separated text, split at its top-level commas
    // (not inside quotes or brackets) and trimmed; a trailing comma adds no
    // item.  `comma` tells whether there was any comma at all, so that a
    // tuple "(x,)" differs from "(x)".
    RN_COLD static std::vector<std::string> top_level_items(const std::string& text,
                                                            bool* comma) {
        std::vector<std::string> items;
        std::string cur;
        int depth = 0;
        char quote = 0;
        *comma = false;
        for (size_t i = 0; i < text.size(); ++i) {
            const char c = text[i];
            if (quote) {
                if (c == '\\' && i + 1 < text.size()) {
                    cur += c;
                    cur += text[++i];
                    continue;
                }
                if (c == quote) quote = 0;
            } else if (c == '\'' || c == '"') {
                quote = c;
            } else if (c == '(' || c == '[' || c == '{') {
                ++depth;
            } else if (c == ')' || c == ']' || c == '}') {
                --depth;
            } else if (c == ',' && depth == 0) {
                *comma = true;
                items.push_back(trim(cur));
                cur.clear();
                continue;
            }
            cur += c;
        }
        if (!trim(cur).empty()) items.push_back(trim(cur));
        return items;
    }

    // Splits the parameter text into params_ and their default texts.
    RN_COLD void split(const char* params) {
        bool comma;
        const std::vector<std::string> items = top_level_items(params, &comma);
        Kind kind = POS;
        for (const std::string& item : items) {
            if (item == "/") {
                for (Param& p : params_) p.kind = POSONLY;
                continue;
            }
            if (item == "*") {
                kind = KWONLY;
                continue;
            }
            if (item.rfind("**", 0) == 0) {
                varkw_ = true;
                continue;
            }
            if (item[0] == '*') {
                varargs_ = true;
                kind = KWONLY;
                continue;
            }
            const size_t eq = item.find('=');
            std::string pname = trim(item.substr(0, eq));
            names_text_.push_back(pname);
            default_texts_.push_back(eq == std::string::npos ? std::string()
                                                             : trim(item.substr(eq + 1)));
            params_.push_back({nullptr, kind, eq == std::string::npos});
        }
        for (size_t i = 0; i < params_.size(); ++i) params_[i].name = names_text_[i].c_str();
        defaults_.assign(params_.size(), nullptr);
    }

    RN_COLD void make_doc(const char* params, const char* doc) {
        const std::string text = trim(params);
        if (binding_ == Binding::init) {
            std::string cls(name_);
            const size_t dot = cls.rfind(".__init__");
            if (dot != std::string::npos) cls.resize(dot);
            const size_t outer = cls.rfind('.');
            if (outer != std::string::npos) cls = cls.substr(outer + 1);
            doc_ = cls + "(" + text + ")";
        } else if (binding_ == Binding::method) {
            doc_ = std::string(short_name()) + "($self" + (text.empty() ? "" : ", ") + text + ")";
        } else {
            doc_ = std::string(short_name()) + "(" + text + ")";
        }
        doc_ += "\n--\n\n";
        body_at_ = doc_.size();
        has_doc_ = doc != nullptr;
        doc_ += doc ? doc : "";
    }

    // The value of a literal default, new reference; NULL without an
    // exception when the text is not a literal.
    RN_COLD static PyObject* literal(const std::string& t) {
        if (t == "None") return Py_NewRef(Py_None);
        if (t == "True") return Py_NewRef(Py_True);
        if (t == "False") return Py_NewRef(Py_False);
        if (t.size() >= 2 && t[0] == '(' && t.back() == ')') {
            bool comma;
            const std::vector<std::string> items =
                top_level_items(t.substr(1, t.size() - 2), &comma);
            if (!comma) {
                if (items.empty()) return PyTuple_New(0);  // "()"
                return literal(items[0]);                  // "(x)" is x
            }
            ptr tuple(PyTuple_New((Py_ssize_t)items.size()));
            if (!tuple) return nullptr;
            for (size_t i = 0; i < items.size(); ++i) {
                PyObject* item = literal(items[i]);
                if (!item) return nullptr;
                PyTuple_SET_ITEM(tuple.get(), (Py_ssize_t)i, item);
            }
            return tuple.release();
        }
        if (t.size() >= 2 && (t[0] == '\'' || t[0] == '"') && t.back() == t[0] &&
            t.find('\\') == std::string::npos)
            return PyUnicode_FromStringAndSize(t.data() + 1, (Py_ssize_t)t.size() - 2);
        if (t.empty()) return nullptr;
        char* end = nullptr;
        errno = 0;
        const long long i = std::strtoll(t.c_str(), &end, 10);
        if (*end == '\0' && errno == 0) return PyLong_FromLongLong(i);
        const double d = std::strtod(t.c_str(), &end);
        if (*end == '\0') return PyFloat_FromDouble(d);
        return nullptr;
    }

    // Interned names and default values, made at the first call.
    RN_COLD bool prepare() const {
        names_.clear();
        for (size_t i = 0; i < params_.size(); ++i) {
            PyObject* s = PyUnicode_InternFromString(params_[i].name);
            if (!s) return false;
            names_.push_back(s);
            if (params_[i].required || defaults_[i]) continue;
            defaults_[i] = literal(default_texts_[i]);
            if (!defaults_[i]) {
                if (!PyErr_Occurred())
                    PyErr_Format(PyExc_SystemError, "%s(): no value for the default of '%s'",
                                 name_, params_[i].name);
                return false;
            }
        }
        ready_ = true;
        return true;
    }

    // Index of keyword `kw` among the parameters that accept keywords,
    // -1 if none; -2 if it names a positional-only parameter.
    Py_ssize_t find(PyObject* kw) const {
        const Py_ssize_t n = size();
        for (Py_ssize_t i = nposonly_; i < n; ++i)
            if (names_[i] == kw) return i;
        for (Py_ssize_t i = nposonly_; i < n; ++i)
            if (PyUnicode_Compare(names_[i], kw) == 0) return i;
        for (Py_ssize_t i = 0; i < nposonly_; ++i)
            if (PyUnicode_Compare(names_[i], kw) == 0) return -2;
        return -1;
    }

    RN_COLD bool parse_slow(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                            PyObject** out, ptr* star, ptr* starstar) const {
        const Py_ssize_t nparams = size();
        for (Py_ssize_t i = 0; i < nparams; ++i) out[i] = nullptr;
        if (PyErr_Occurred()) return false;
        if (varkw_) {
            starstar->set(PyDict_New());
            if (!*starstar) return false;
        }
        const Py_ssize_t ncopy = nargs < npos_ ? nargs : npos_;
        for (Py_ssize_t i = 0; i < ncopy; ++i) out[i] = args[i];
        if (varargs_) {
            star->set(PyTuple_New(nargs > npos_ ? nargs - npos_ : 0));
            if (!*star) return false;
            for (Py_ssize_t i = npos_; i < nargs; ++i)
                PyTuple_SET_ITEM(star->get(), i - npos_, Py_NewRef(args[i]));
        }
        std::vector<std::string> posonly_by_kw;
        const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* kw = PyTuple_GET_ITEM(kwnames, k);
            PyObject* value = args[nargs + k];
            Py_ssize_t i = find(kw);
            if (i < 0) {
                if (varkw_) {
                    if (PyDict_SetItem(starstar->get(), kw, value) < 0) return false;
                    continue;
                }
                if (i == -2) {
                    posonly_by_kw.push_back(PyUnicode_AsUTF8(kw));
                    continue;
                }
                PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'",
                             name_, kw);
                return false;
            }
            if (out[i]) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%S'",
                             name_, kw);
                return false;
            }
            out[i] = value;
        }
        if (!posonly_by_kw.empty()) {
            PyErr_Format(PyExc_TypeError,
                         "%s() got some positional-only arguments passed as keyword "
                         "arguments: '%s'",
                         name_, join_names(posonly_by_kw).c_str());
            return false;
        }
        if (nargs > npos_ && !varargs_) {
            too_many_positional(nargs, out);
            return false;
        }
        std::vector<std::string> missing;
        for (Py_ssize_t i = 0; i < npos_; ++i)
            if (params_[i].required && !out[i]) missing.push_back(params_[i].name);
        if (!missing.empty()) {
            report_missing(missing, "positional");
            return false;
        }
        for (Py_ssize_t i = npos_; i < nparams; ++i)
            if (params_[i].required && !out[i]) missing.push_back(params_[i].name);
        if (!missing.empty()) {
            report_missing(missing, "keyword-only");
            return false;
        }
        return true;
    }

    RN_COLD void report_missing(const std::vector<std::string>& missing, const char* what) const {
        PyErr_Format(PyExc_TypeError, "%s() missing %zd required %s argument%s: %s", name_,
                     (Py_ssize_t)missing.size(), what, missing.size() == 1 ? "" : "s",
                     join_quoted_names(missing).c_str());
    }

    RN_COLD void too_many_positional(Py_ssize_t nargs, PyObject** out) const {
        const Py_ssize_t self = binding_ == Binding::function ? 0 : 1;
        const Py_ssize_t most = npos_ + self, least = nreq_pos_ + self;
        std::string sig;
        bool plural;
        if (least != most) {
            sig = "from " + std::to_string(least) + " to " + std::to_string(most);
            plural = true;
        } else {
            sig = std::to_string(most);
            plural = most != 1;
        }
        Py_ssize_t kwonly_given = 0;
        for (Py_ssize_t i = npos_; i < size(); ++i)
            if (out[i]) ++kwonly_given;
        const Py_ssize_t given = nargs + self;
        std::string kwonly_sig;
        if (kwonly_given) {
            kwonly_sig = std::string(" positional argument") + (given != 1 ? "s" : "") +
                         " (and " + std::to_string(kwonly_given) + " keyword-only argument" +
                         (kwonly_given != 1 ? "s" : "") + ")";
        }
        PyErr_Format(PyExc_TypeError, "%s() takes %s positional argument%s but %zd%s %s given",
                     name_, sig.c_str(), plural ? "s" : "", given, kwonly_sig.c_str(),
                     (given == 1 && !kwonly_given) ? "was" : "were");
    }

    const char* name_;
    Binding binding_;
    std::vector<Param> params_;
    std::vector<std::string> names_text_, default_texts_;
    std::string doc_;
    size_t body_at_ = 0;  // where the docstring starts in doc_
    bool has_doc_ = false;
    bool varargs_ = false, varkw_ = false;
    Py_ssize_t npos_ = 0, nposonly_ = 0, nreq_pos_ = 0;
    bool simple_ = false;  // no *args, **kwargs or required keyword-only
    // Made under the GIL at the first call and kept for the process's life.
    mutable bool ready_ = false;
    mutable std::vector<PyObject*> names_;     // interned
    mutable std::vector<PyObject*> defaults_;  // NULL for required parameters
    mutable PyMethodDef carrier_{};            // the builtin inspect reads
    mutable PyObject* inspected_ = nullptr;
};

// A method without parameters, in a method table: the one shim that gives
// calls with arguments the TypeError of a def, then calls `F(self)`.
//   PyMethodDef m[] = {getall_sig.def(rn::noargs<getall_sig, queue_getall>)};
template <const Signature& S, PyObject* (*F)(PyObject*)>
PyObject* noargs(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (!S.none(args, nargs, kwnames)) return nullptr;
    return F(self);
}


// ---------------------------------------------------------------- static methods

// The method-table entry of a static method (no self) stated by `sig`.
template <typename F>
PyMethodDef static_def(const Signature& sig, F fn) {
    PyMethodDef d = sig.def(fn);
    d.ml_flags |= METH_STATIC;
    return d;
}

}  // namespace rn
