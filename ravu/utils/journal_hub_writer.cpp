// The writer of ravu.utils.journal_hub: one thread takes the stamped records
// off _log_queue and appends one line per record, _format filled with the
// record, to the central file of its application and day of receipt below
// the logs root.  It owns those files and the parsed template.
#include "journal_hub.h"

#include <sys/resource.h>

#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

namespace journal_hub {
namespace {

// ---------------------------------------------------------------- application files

// An application name becomes a directory below the logs root: it must be
// one plain path component, or it could reach anywhere on the disk.
int check_appname(PyObject* name) {
    if (!PyUnicode_Check(name)) return 0;  // the path join refuses it itself
    const Py_ssize_t n = PyUnicode_GET_LENGTH(name);
    bool bad = n == 0 || PyUnicode_FindChar(name, '/', 0, n, 1) >= 0 ||
               PyUnicode_FindChar(name, 0, 0, n, 1) >= 0;
    if (!bad && n <= 2) bad = PyUnicode_CompareWithASCIIString(name, ".") == 0 ||
                              PyUnicode_CompareWithASCIIString(name, "..") == 0;
    if (bad) {
        PyErr_Format(PyExc_ValueError, "application name %R is not one plain path component",
                     name);
        return -1;
    }
    return 0;
}

constexpr Py_ssize_t kOpenEnd = -1;

// text[start:stop] for bounds >= 0; kOpenEnd leaves a bound out, as
// `text[start:]` and `text[:stop]` do.
PyObject* cut(PyObject* text, Py_ssize_t start, Py_ssize_t stop) {
    if (PyUnicode_CheckExact(text)) {
        const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
        const Py_ssize_t end = stop == kOpenEnd || stop > n ? n : stop;
        return PyUnicode_Substring(text, start < end ? start : end, end);
    }
    rn::ptr from(start == kOpenEnd ? nullptr : PyLong_FromSsize_t(start));
    rn::ptr to(stop == kOpenEnd ? nullptr : PyLong_FromSsize_t(stop));
    if ((start != kOpenEnd && !from) || (stop != kOpenEnd && !to)) return nullptr;
    rn::ptr slice(PySlice_New(from.get(), to.get(), nullptr));
    if (!slice) return nullptr;
    return PyObject_GetItem(text, slice.get());
}

// Makes the application's directory and opens its file of `day`, stored in
// _app_dict as (file, day).
int open_day_file(PyObject* apps, PyObject* appname, PyObject* day) {
    rn::ptr logs_path(rn::global(st.module, RN_ID(relative_logs_path)));
    if (!logs_path) return -1;
    rn::ptr dir(PyObject_CallOneArg(logs_path.get(), appname));
    if (!dir) return -1;
    PyObject* mk[2] = {dir.get(), Py_True};
    rn::ptr made(PyObject_Vectorcall(st.makedirs, mk, 1, st.exist_ok_kw));
    if (!made) return -1;
    rn::ptr name(PyNumber_Add(day, RN_STR(".log")));
    if (!name) return -1;
    PyObject* pa[2] = {appname, name.get()};
    rn::ptr path(PyObject_Vectorcall(logs_path.get(), pa, 2, nullptr));
    if (!path) return -1;
    // UTF-8 whatever the locale, and no record lost to a lone surrogate.
    PyObject* oa[4] = {path.get(), RN_STR("a"), RN_STR("utf-8"), RN_STR("backslashreplace")};
    rn::ptr file(PyObject_Vectorcall(st.open, oa, 2, st.open_kw));
    if (!file) return -1;
    rn::ptr entry(PyTuple_Pack(2, file.get(), day));
    if (!entry) return -1;
    return set_item(apps, appname, entry.get());
}

// The most central files kept open at once: kMostOpenFiles, or half the
// process's descriptor limit when that is lower (but never fewer than
// kFewestOpenFiles).  A sender that invents application names must not
// exhaust the descriptors every other application needs.
constexpr size_t kMostOpenFiles = 256;
constexpr size_t kFewestOpenFiles = 8;

size_t open_file_limit() {
    struct rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0 || rl.rlim_cur == RLIM_INFINITY ||
        rl.rlim_cur / 2 >= kMostOpenFiles)
        return kMostOpenFiles;
    return rl.rlim_cur / 2 > kFewestOpenFiles ? (size_t)(rl.rlim_cur / 2) : kFewestOpenFiles;
}

// _app_dict is kept in order of last write, least recent first: a used
// entry moves to the end.
int mark_recent(PyObject* apps, PyObject* appname, PyObject* entry) {
    if (!PyDict_CheckExact(apps)) return 0;
    rn::ptr keep_entry(entry, true), keep_name(appname, true);
    if (PyDict_DelItem(apps, appname) < 0) return -1;
    return PyDict_SetItem(apps, appname, entry);
}

// Before a new application's file is opened: the least recently written
// files are closed and their entries dropped until there is room.  Such an
// application's next record opens its file of the day again, for appending.
// A failed close is reported and costs no record.
int make_room(PyObject* apps) {
    if (!PyDict_CheckExact(apps)) return 0;
    const size_t limit = open_file_limit();
    while ((size_t)PyDict_GET_SIZE(apps) >= limit) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        if (!PyDict_Next(apps, &pos, &key, &value)) break;
        rn::ptr name(key, true), entry(value, true);
        if (PyDict_DelItem(apps, name.get()) < 0) return -1;
        rn::ptr file(PySequence_GetItem(entry.get(), 0));
        rn::ptr closed(file ? PyObject_CallMethodNoArgs(file.get(), RN_ID(close)) : nullptr);
        if (!closed) report_failure();
    }
    return 0;
}

}  // namespace

// ---------------------------------------------------------------- line template

// The line template parsed once per template object: literal texts and
// plain `{name}` fields.  Anything else (conversions, format specs,
// attribute or index access, positional fields) goes to str.format itself.
struct Template {
    PyObject* source = nullptr;  // strong; the object this was parsed from
    bool plain = false;
    std::vector<std::pair<bool, PyObject*>> pieces;  // (is field, text or name), strong

    Template() = default;
    Template(const Template&) = delete;
    Template& operator=(const Template&) = delete;
    ~Template() {  // runs with the GIL: only fill_line lets go of one
        Py_XDECREF(source);
        for (auto& p : pieces) Py_DECREF(p.second);
    }

    int parse(PyObject* fmt) {
        source = Py_NewRef(fmt);
        Py_ssize_t n;
        const char* s = PyUnicode_AsUTF8AndSize(fmt, &n);
        if (!s) return -1;
        std::string lit;
        auto flush_lit = [&]() -> bool {
            if (lit.empty()) return true;
            PyObject* t = PyUnicode_DecodeUTF8(lit.data(), (Py_ssize_t)lit.size(), "surrogatepass");
            if (!t) return false;
            pieces.emplace_back(false, t);
            lit.clear();
            return true;
        };
        for (Py_ssize_t i = 0; i < n; ++i) {
            const char c = s[i];
            if (c == '}') {
                if (i + 1 < n && s[i + 1] == '}') {
                    lit += '}';
                    ++i;
                    continue;
                }
                return 0;  // a lone '}': let str.format raise
            }
            if (c != '{') {
                lit += c;
                continue;
            }
            if (i + 1 < n && s[i + 1] == '{') {
                lit += '{';
                ++i;
                continue;
            }
            Py_ssize_t j = i + 1;
            while (j < n && s[j] != '}') {
                if (std::strchr("{!:.[]", s[j])) return 0;
                ++j;
            }
            if (j == n || j == i + 1 || (s[i + 1] >= '0' && s[i + 1] <= '9')) return 0;
            if (!flush_lit()) return -1;
            PyObject* name = PyUnicode_DecodeUTF8(s + i + 1, j - i - 1, "surrogatepass");
            if (!name) return -1;
            PyUnicode_InternInPlace(&name);
            pieces.emplace_back(true, name);
            i = j;
        }
        if (!flush_lit()) return -1;
        plain = true;
        return 0;
    }
};

namespace {

// The parsed form of `fmt`, new or cached; NULL with an exception set.
std::shared_ptr<Template> template_for(PyObject* fmt) {
    std::shared_ptr<Template> t = *st.line_template;
    if (t && t->source == fmt) return t;
    try {
        t = std::make_shared<Template>();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return nullptr;
    }
    // A template this cannot read is left to str.format.
    if (t->parse(fmt) < 0) {
        PyErr_Clear();
        t->plain = false;
    }
    *st.line_template = t;
    return t;
}

// _format.format(**data)
PyObject* fill_line(PyObject* data) {
    rn::ptr fmt(rn::global(st.module, RN_ID(_format)));
    if (!fmt) return nullptr;
    if (PyUnicode_CheckExact(fmt.get()) && PyDict_CheckExact(data)) {
        const std::shared_ptr<Template> tpl = template_for(fmt.get());
        if (!tpl) return nullptr;
        if (tpl->plain) {
            rn::ptr parts(PyList_New((Py_ssize_t)tpl->pieces.size()));
            if (!parts) return nullptr;
            Py_ssize_t k = 0;
            for (auto& piece : tpl->pieces) {
                PyObject* text;
                if (!piece.first) {
                    text = Py_NewRef(piece.second);
                } else {
                    PyObject* v = PyDict_GetItemWithError(data, piece.second);
                    if (!v) {
                        if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, piece.second);
                        return nullptr;
                    }
                    text = PyObject_Format(v, nullptr);
                    if (!text) return nullptr;
                }
                PyList_SET_ITEM(parts.get(), k++, text);
            }
            return PyUnicode_Join(RN_STR(""), parts.get());
        }
    }
    rn::ptr format(PyObject_GetAttr(fmt.get(), RN_ID(format)));
    if (!format) return nullptr;
    rn::ptr kwargs(PyDict_New());
    if (!kwargs || PyDict_Update(kwargs.get(), data) < 0) return nullptr;
    rn::ptr empty(PyTuple_New(0));
    if (!empty) return nullptr;
    return PyObject_Call(format.get(), empty.get(), kwargs.get());
}

// ---------------------------------------------------------------- one pass

// The receive time's first characters name the day ("YYYY-MM-DD"); the
// sender's asctime ("YYYY-MM-DD HH:MM:SS,mmm") loses its date and blank; a
// source path keeps what follows its first kSourceMark.
constexpr Py_ssize_t kDayLength = 10;
constexpr Py_ssize_t kAsctimeDateLength = 11;
constexpr char kSourceMark[] = "/src/";
constexpr Py_ssize_t kSourceMarkLength = sizeof kSourceMark - 1;

// now, data = item, with Python's errors for anything but a pair.  The
// borrowed `now` and `data` live as long as `pair`.
bool unpack_pair(PyObject* item, rn::ptr& pair, PyObject** now, PyObject** data) {
    pair = PySequence_Fast(item, "cannot unpack non-iterable object");
    if (!pair) return false;
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(pair.get());
    if (n < 2) {
        PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)", n);
        return false;
    }
    if (n > 2) {
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
        return false;
    }
    *now = PySequence_Fast_GET_ITEM(pair.get(), 0);
    *data = PySequence_Fast_GET_ITEM(pair.get(), 1);
    return true;
}

// _app_dict.get(appname): new reference, None when there is no entry.
PyObject* app_entry(PyObject* apps, PyObject* appname) {
    if (!PyDict_CheckExact(apps)) return PyObject_CallMethodOneArg(apps, RN_ID(get), appname);
    PyObject* e = PyDict_GetItemWithError(apps, appname);
    if (!e && PyErr_Occurred()) return nullptr;
    return Py_NewRef(e ? e : Py_None);
}

// Makes _app_dict hold the application's open file of `day`: opened at its
// first record, reopened at its first record of another day (the old file
// closed first), used as it is otherwise.
int use_day_file(PyObject* apps, PyObject* appname, PyObject* day) {
    rn::ptr entry(app_entry(apps, appname));
    if (!entry) return -1;
    if (entry.get() == Py_None)
        return make_room(apps) < 0 ? -1 : open_day_file(apps, appname, day);
    if (mark_recent(apps, appname, entry.get()) < 0) return -1;
    rn::ptr old_day(PySequence_GetItem(entry.get(), 1));
    if (!old_day) return -1;
    const int changed = PyObject_RichCompareBool(old_day.get(), day, Py_NE);
    if (changed <= 0) return changed;
    rn::ptr old_file(PySequence_GetItem(entry.get(), 0));
    if (!old_file) return -1;
    rn::ptr closed(PyObject_CallMethodNoArgs(old_file.get(), RN_ID(close)));
    return closed ? open_day_file(apps, appname, day) : -1;
}

// data["asctime"] = data["asctime"][11:]: the sender's time of day.
int trim_asctime(PyObject* data) {
    rn::ptr asctime(get_item(data, RN_ID(asctime)));
    if (!asctime) return -1;
    rn::ptr clock(cut(asctime.get(), kAsctimeDateLength, kOpenEnd));
    return clock ? set_item(data, RN_ID(asctime), clock.get()) : -1;
}

// data["pathname"] becomes what follows its first "/src/", or
// data["filename"] when it holds none.
int trim_pathname(PyObject* data) {
    rn::ptr pathname(get_item(data, RN_ID(pathname)));
    if (!pathname) return -1;
    Py_ssize_t at;
    if (PyUnicode_CheckExact(pathname.get())) {
        at = PyUnicode_Find(pathname.get(), RN_STR(kSourceMark), 0, PY_SSIZE_T_MAX, 1);
        if (at == -2) return -1;
    } else {
        rn::ptr found(PyObject_CallMethodOneArg(pathname.get(), RN_ID(find), RN_STR(kSourceMark)));
        if (!found) return -1;
        at = PyLong_AsSsize_t(found.get());
        if (at == -1 && PyErr_Occurred()) return -1;
    }
    rn::ptr source(at >= 0 ? cut(pathname.get(), at + kSourceMarkLength, kOpenEnd)
                           : get_item(data, RN_ID(filename)));
    return source ? set_item(data, RN_ID(pathname), source.get()) : -1;
}

// Appends `line` to the file now stored for the application, and flushes it.
int write_line(PyObject* apps, PyObject* appname, PyObject* line) {
    rn::ptr entry(get_item(apps, appname));
    if (!entry) return -1;
    rn::ptr file(PySequence_GetItem(entry.get(), 0));
    if (!file) return -1;
    rn::ptr written(PyObject_CallMethodOneArg(file.get(), RN_ID(write), line));
    if (!written) return -1;
    rn::ptr flushed(PyObject_CallMethodNoArgs(file.get(), RN_ID(flush)));
    return flushed ? 0 : -1;
}

}  // namespace

// What a failed pass did before failing stays done.
int writer_pass() {
    rn::ptr queue(rn::global(st.module, RN_ID(_log_queue)));
    if (!queue) return -1;
    rn::ptr item(PyObject_CallMethodNoArgs(queue.get(), RN_ID(get)));
    if (!item) return -1;
    if (item.get() == st.stop) return 1;
    rn::ptr pair;
    PyObject *now, *data;
    if (!unpack_pair(item.get(), pair, &now, &data)) return -1;

    // The name first: a record without one touches no directory or file.
    rn::ptr appname(get_item(data, RN_ID(name)));
    if (!appname || check_appname(appname.get()) < 0) return -1;
    rn::ptr day(cut(now, 0, kDayLength));
    if (!day) return -1;
    rn::ptr apps(rn::global(st.module, RN_ID(_app_dict)));
    if (!apps || use_day_file(apps.get(), appname.get(), day.get()) < 0) return -1;

    if (trim_asctime(data) < 0 || trim_pathname(data) < 0) return -1;
    // Formatted whole before anything is written: a failure leaves no part.
    rn::ptr line(fill_line(data));
    if (!line) return -1;
    return write_line(apps.get(), appname.get(), line.get());
}

}  // namespace journal_hub
