// The single-instance claim and the process killers of ravu.utils.working.
//
// Both run their command lines through /bin/sh, as the pid-file protocol and
// its log lines are written in them ("ps -ef | grep ..."), with the GIL
// released while a command runs.  Texts that come from outside (the key, the
// pid file's first line) go into those lines as one shell word each, so
// that no key or file content can add a command; and kill_other kills the
// recorded process only when that process is really the named service.
#include "working.h"

#include <fcntl.h>
#include <regex.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <string>

extern char** environ;

namespace working {
namespace {

// ---------------------------------------------------------------- shell words

// Whether `text` is one plain shell word: letters and digits, of any
// script, and @%+=:,./-_.  (Every byte of a multi-byte UTF-8 character is
// 0x80 or above, and none of those is special to the shell.)
bool plain_word(const std::string& text) {
    bool ascii = true;
    for (unsigned char c : text) {
        if (c >= 0x80) {
            ascii = false;
            continue;
        }
        const bool alnum = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (!alnum && !(c && std::strchr("@%+=:,./-_", c))) return false;
    }
    if (ascii) return true;
    rn::ptr u(PyUnicode_DecodeUTF8(text.data(), (Py_ssize_t)text.size(), "strict"));
    if (!u) {  // bytes that are no text: quoted
        PyErr_Clear();
        return false;
    }
    for (Py_ssize_t i = 0; i < PyUnicode_GET_LENGTH(u.get()); ++i) {
        const Py_UCS4 ch = PyUnicode_READ_CHAR(u.get(), i);
        if (ch >= 0x80 && !Py_UNICODE_ISALNUM(ch)) return false;
    }
    return true;
}

// One shell word for `text`: a plain word as it is, the empty text empty
// (so that an empty pattern leaves grep without one, as before, instead of
// matching every line), anything else in single quotes.
std::string shell_word(const std::string& text) {
    if (plain_word(text)) return text;
    std::string out = "'";
    for (char c : text) {
        if (c == '\'') out += "'\"'\"'";
        else out += c;
    }
    return out + "'";
}

// The key's text, str(key), in the encoding the command line is run with.
// A key grep would read as an option or as several patterns, or one that
// cannot be passed to a command at all, is refused before anything runs.
bool key_text(PyObject* key, std::string& out) {
    rn::ptr text(PyObject_Str(key));
    if (!text) return false;
    rn::ptr bytes(PyUnicode_EncodeFSDefault(text.get()));
    if (!bytes) return false;
    out.assign(PyBytes_AS_STRING(bytes.get()), PyBytes_GET_SIZE(bytes.get()));
    if (!out.empty() && out[0] == '-') {
        PyErr_Format(PyExc_ValueError, "key must not begin with '-': %R", text.get());
        return false;
    }
    // grep takes each line of a pattern as a pattern of its own, and an
    // empty one matches every process.
    if (out.find('\n') != std::string::npos) {
        PyErr_Format(PyExc_ValueError, "key must be one line: %R", text.get());
        return false;
    }
    if (out.find('\0') != std::string::npos) {
        PyErr_SetString(PyExc_ValueError, "embedded null byte in key");
        return false;
    }
    return true;
}

// An absolute name, or one with a ".." component, would place the pid file
// outside the pid directory: refused before anything is touched.  Names of
// other kinds go on to the path functions, which raise their own errors.
bool check_name(PyObject* name) {
    rn::ptr fs(PyOS_FSPath(name));
    if (!fs) {
        PyErr_Clear();
        return true;
    }
    rn::ptr bytes(PyUnicode_Check(fs.get()) ? PyUnicode_EncodeFSDefault(fs.get())
                                            : Py_NewRef(fs.get()));
    if (!bytes || !PyBytes_Check(bytes.get())) {
        PyErr_Clear();
        return true;
    }
    const std::string s(PyBytes_AS_STRING(bytes.get()), PyBytes_GET_SIZE(bytes.get()));
    bool bad = !s.empty() && s[0] == '/';
    for (size_t start = 0; !bad && start <= s.size();) {
        size_t end = s.find('/', start);
        if (end == std::string::npos) end = s.size();
        bad = s.compare(start, end - start, "..") == 0;
        start = end + 1;
    }
    if (bad)
        PyErr_Format(PyExc_ValueError,
                     "pid file name must be relative and without '..' components: %R", name);
    return !bad;
}

// ---------------------------------------------------------------- commands

// /bin/sh -c `cmd`, its standard output a pipe to *out_fd when capturing.
// Signals the interpreter ignores get their default actions back and none
// is blocked, as for any child of subprocess.  Sets errno and returns -1 on
// failure.
pid_t spawn_shell(const std::string& cmd, int* out_fd) {
    int fds[2] = {-1, -1};
    if (out_fd && pipe2(fds, O_CLOEXEC) != 0) return -1;
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attr);
    if (out_fd) posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGXFSZ);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    char sh[] = "sh", dash_c[] = "-c";
    char* argv[] = {sh, dash_c, const_cast<char*>(cmd.c_str()), nullptr};
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, "/bin/sh", &actions, &attr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (out_fd) {
        close(fds[1]);
        if (rc != 0) close(fds[0]);
        else *out_fd = fds[0];
    }
    if (rc != 0) {
        errno = rc;
        return -1;
    }
    return pid;
}

// Waits for the child with the GIL released.  Signal handlers run while
// waiting; the first exception one raises is reported once the child has
// ended, so that no child is left unreaped.
bool reap(pid_t pid) {
    bool ok = true;
    for (;;) {
        pid_t r;
        int status, err;
        rn::without_gil([&] {
            r = waitpid(pid, &status, 0);
            err = errno;
        });
        if (r >= 0 || err != EINTR) break;  // ECHILD: SIGCHLD ignored, reaped already
        if (ok && PyErr_CheckSignals() < 0) ok = false;
    }
    return ok;
}

// A running command whose output is read as it comes.
class Listing {
public:
    bool start(const std::string& cmd) {
        const bool ok = rn::without_gil([&] {
            pid_ = spawn_shell(cmd, &fd_);
            return pid_ >= 0;
        });
        if (!ok) PyErr_SetFromErrnoWithFilename(PyExc_OSError, "/bin/sh");
        return ok;
    }
    Listing() = default;
    Listing(const Listing&) = delete;
    Listing& operator=(const Listing&) = delete;
    ~Listing() {
        if (pid_ < 0) return;
        rn::SavedError saved;  // a pending error survives the clean-up
        finish();
    }

    // Appends what arrives next to `buf`; false at the end of the output,
    // or with an exception from a signal handler.
    bool more(std::string& buf) {
        char chunk[8192];
        for (;;) {
            ssize_t n;
            int err;
            rn::without_gil([&] {
                n = read(fd_, chunk, sizeof chunk);
                err = errno;
            });
            if (n > 0) {
                buf.append(chunk, n);
                return true;
            }
            if (n == 0 || err != EINTR) return false;
            if (PyErr_CheckSignals() < 0) return false;
        }
    }

    // Closes our end (a command still writing ends on SIGPIPE) and reaps it.
    bool finish() {
        if (pid_ < 0) return true;
        close(fd_);
        const pid_t pid = pid_;
        pid_ = -1;
        return reap(pid);
    }

private:
    pid_t pid_ = -1;
    int fd_ = -1;
};

// Runs `cmd` and waits for it; its exit status does not matter.
bool run_command(const std::string& cmd) {
    const pid_t pid = rn::without_gil([&] { return spawn_shell(cmd, nullptr); });
    if (pid < 0) {
        PyErr_SetFromErrnoWithFilename(PyExc_OSError, "/bin/sh");
        return false;
    }
    return reap(pid);
}

// log().warning(text) with log looked up now.
bool warn(PyObject* text) {
    rn::ptr log_fn(rn::global(g_module, RN_ID(log)));
    if (!log_fn) return false;
    rn::ptr logger(PyObject_CallNoArgs(log_fn.get()));
    if (!logger) return false;
    rn::ptr r(PyObject_CallMethodOneArg(logger.get(), RN_ID(warning), text));
    return bool(r);
}

bool warn_bytes(const char* prefix, const std::string& text) {
    rn::ptr body(PyUnicode_DecodeUTF8(text.data(), (Py_ssize_t)text.size(), "replace"));
    if (!body) return false;
    rn::ptr line(PyUnicode_FromFormat("%s%U", prefix, body.get()));
    return line && warn(line.get());
}

// ---------------------------------------------------------------- pid file

// The first line of the pid file as text mode reads it: up to and with
// its line end ("\n", "\r" or "\r\n", read as "\n"), bytes that are not
// UTF-8 replaced.  Only its first kPidTextMax bytes are kept: a longer line
// is no process id either way, and a corrupt file of any size must still
// give a listing command short enough to run (quoted and with replaced
// bytes, it grows up to five times).
constexpr size_t kPidTextMax = 4096;

bool read_pid_text(const char* path, PyObject* path_obj, std::string& out) {
    std::string raw;
    int err = 0;
    rn::without_gil([&] {
        const int fd = open(path, O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            err = errno;
            return;
        }
        char chunk[4096];
        while (raw.size() <= kPidTextMax && raw.find_first_of("\r\n") == std::string::npos) {
            const ssize_t n = read(fd, chunk, sizeof chunk);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) err = errno;
            if (n <= 0) break;
            raw.append(chunk, n);
        }
        close(fd);
    });
    if (err) {
        errno = err;
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path_obj);
        return false;
    }
    const size_t end = raw.find_first_of("\r\n");
    if (end != std::string::npos && end < kPidTextMax) {
        raw.resize(end);
        raw += '\n';
    } else if (raw.size() > kPidTextMax) {
        raw.resize(kPidTextMax);
    }
    rn::ptr text(PyUnicode_DecodeUTF8(raw.data(), (Py_ssize_t)raw.size(), "replace"));
    if (!text) return false;
    Py_ssize_t n;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &n);
    if (!utf8) return false;
    out.assign(utf8, n);
    return true;
}

bool write_pid(const char* path, PyObject* path_obj) {
    const std::string digits = std::to_string(getpid());
    int err = 0;
    rn::without_gil([&] {
        const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (fd < 0) {
            err = errno;
            return;
        }
        size_t done = 0;
        while (done < digits.size()) {
            const ssize_t n = write(fd, digits.data() + done, digits.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                err = errno;
                break;
            }
            done += n;
        }
        if (close(fd) != 0 && !err && errno != EINTR) err = errno;
    });
    if (err) {
        errno = err;
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path_obj);
        return false;
    }
    return true;
}

// ---------------------------------------------------------------- the kill decision

// The process id written as plain decimal digits ("4242", no sign, no
// leading zero, no line end), or 0.  "0" or "-1" would make kill signal a
// whole process group or every process.
pid_t pid_of(const std::string& text) {
    if (text.empty() || text.size() > 10 || text[0] < '1' || text[0] > '9') return 0;
    long long v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return 0;
        v = v * 10 + (c - '0');
    }
    return v <= INT_MAX ? (pid_t)v : 0;
}

// The command line of a process as ps shows it: its arguments joined by
// blanks; empty for kernel threads, zombies and processes that are gone.
std::string command_line(pid_t pid) {
    std::string args;
    const std::string where = "/proc/" + std::to_string(pid) + "/cmdline";
    const int fd = open(where.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return args;
    char chunk[4096];
    for (;;) {
        const ssize_t n = read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        args.append(chunk, n);
    }
    close(fd);
    while (!args.empty() && args.back() == '\0') args.pop_back();
    for (char& c : args)
        if (c == '\0') c = ' ';
    return args;
}

// Whether the recorded process is one to kill: its id is plain digits, it
// is not the caller, and its own command line holds the key, matched as
// grep matches it (a basic regular expression).  Python-free.
bool is_recorded_service(const std::string& pid_text, const std::string& key) {
    const pid_t pid = pid_of(pid_text);
    if (pid <= 0 || pid == getpid() || key.empty()) return false;
    const std::string args = command_line(pid);
    if (args.empty()) return false;
    regex_t re;
    if (regcomp(&re, key.c_str(), REG_NOSUB) != 0) return false;
    const bool found = regexec(&re, args.c_str(), 0, nullptr, 0) == 0;
    regfree(&re);
    return found;
}

// "grep " and one pattern; a text grep would take for an option is given
// to it by -e.  (The key cannot begin with '-'; a pid file can.)
std::string grep_for(const std::string& text) {
    return !text.empty() && text[0] == '-' ? "grep -e " + shell_word(text)
                                           : "grep " + shell_word(text);
}

// A pid text is passed on to the command lines up to a NUL byte, which no
// argument can carry.
std::string before_nul(const std::string& s) { return s.substr(0, s.find('\0')); }

// os.path.isfile(path) through the global os.
int is_file(PyObject* os, PyObject* path) {
    rn::ptr os_path(PyObject_GetAttr(os, RN_ID(path)));
    if (!os_path) return -1;
    rn::ptr r(PyObject_CallMethodOneArg(os_path.get(), RN_ID(isfile), path));
    return r ? PyObject_IsTrue(r.get()) : -1;
}

// What the pid file records: kill it if it is still the service.
bool claim_from(PyObject* path, const std::string& key) {
    PyObject* converted = nullptr;
    if (!PyUnicode_FSConverter(path, &converted)) return false;
    rn::ptr fs(converted);
    std::string pid_text;
    if (!read_pid_text(PyBytes_AS_STRING(fs.get()), path, pid_text)) return false;
    const std::string pid_word = before_nul(pid_text);
    const std::string cmd = "ps -ef | grep " + shell_word(key) + " | " + grep_for(pid_word) +
                            " | grep -v grep";
    Listing listing;
    if (!listing.start(cmd)) return false;
    std::string out;
    while (listing.more(out)) {
    }
    if (PyErr_Occurred() || !listing.finish()) return false;
    if (!warn_bytes("[cmd] ", cmd)) return false;
    size_t lines = 0;
    for (size_t start = 0; start < out.size(); ++lines) {
        size_t end = out.find('\n', start);
        end = end == std::string::npos ? out.size() : end + 1;
        if (!warn_bytes("[grep result] ", out.substr(start, end - start))) return false;
        start = end;
    }
    if (!lines) return true;
    const bool kill = rn::without_gil([&] { return is_recorded_service(pid_text, key); });
    return !kill || run_command("kill -9 " + pid_text);
}

}  // namespace

// ---------------------------------------------------------------- kill_other

PyObject* kill_other(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[3];
    if (!kill_other_sig.parse(args, nargs, kwnames, a)) return nullptr;
    PyObject* name = a[0];
    PyObject* key = a[1] == Py_None ? name : a[1];
    std::string key_bytes;
    if (!check_name(name) || !key_text(key, key_bytes)) return nullptr;

    rn::ptr project(rn::global(g_module, RN_ID(relative_project_path)));
    rn::ptr os(project ? rn::global(g_module, RN_ID(os)) : nullptr);
    if (!os) return nullptr;
    rn::ptr pid_dir(PyObject_CallFunction(project.get(), "ss", "logs", "pid"));
    if (!pid_dir) return nullptr;
    {
        rn::ptr makedirs(PyObject_GetAttr(os.get(), RN_ID(makedirs)));
        if (!makedirs) return nullptr;
        rn::ptr kw(Py_BuildValue("(s)", "exist_ok"));
        if (!kw) return nullptr;
        PyObject* ma[2] = {pid_dir.get(), Py_True};
        rn::ptr r(PyObject_Vectorcall(makedirs.get(), ma, 1, kw.get()));
        if (!r) return nullptr;
    }
    rn::ptr inner(PyObject_CallFunction(project.get(), "ssO", "logs", "pid", name));
    if (!inner) return nullptr;
    rn::ptr path(PyObject_CallOneArg(project.get(), inner.get()));
    if (!path) return nullptr;

    const int existed = is_file(os.get(), path.get());
    if (existed < 0) return nullptr;
    if (existed && !claim_from(path.get(), key_bytes)) return nullptr;

    PyObject* converted = nullptr;
    if (!PyUnicode_FSConverter(path.get(), &converted)) return nullptr;
    rn::ptr fs(converted);
    if (!write_pid(PyBytes_AS_STRING(fs.get()), path.get())) return nullptr;

    const int keep = PyObject_IsTrue(a[2]);
    if (keep < 0) return nullptr;
    if (!keep) {
        const int still = is_file(os.get(), path.get());
        if (still < 0) return nullptr;
        if (still) {
            rn::ptr r(PyObject_CallMethodOneArg(os.get(), RN_ID(remove), path.get()));
            if (!r) return nullptr;
        }
    }
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------- kill_all

namespace {

// One line of the listing: its second field is a process id, killed
// unless it is the caller's.
bool kill_listed(const std::string& line, PyObject* own) {
    rn::ptr text(PyUnicode_DecodeUTF8(line.data(), (Py_ssize_t)line.size(), "replace"));
    if (!text) return false;
    rn::ptr fields(PyUnicode_Split(text.get(), nullptr, -1));
    if (!fields) return false;
    if (PyList_GET_SIZE(fields.get()) < 2) {
        PyErr_SetString(PyExc_IndexError, "list index out of range");
        return false;
    }
    rn::ptr pid(PyNumber_Long(PyList_GET_ITEM(fields.get(), 1)));
    if (!pid) return false;
    const int other = PyObject_RichCompareBool(pid.get(), own, Py_NE);
    if (other <= 0) return other == 0;
    rn::ptr digits(PyObject_Str(pid.get()));
    if (!digits) return false;
    const char* d = PyUnicode_AsUTF8(digits.get());
    return d && run_command(std::string("kill -9 ") + d);
}

}  // namespace

PyObject* kill_all(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* key = kill_all_sig.single(args, nargs, kwnames);
    if (!key) return nullptr;
    std::string key_bytes;
    if (!key_text(key, key_bytes)) return nullptr;
    const std::string cmd = "ps -ef | grep " + shell_word(key_bytes) +
                            " | grep python | grep -v grep";
    rn::ptr own(PyLong_FromLong(getpid()));
    if (!own) return nullptr;
    Listing listing;
    if (!listing.start(cmd)) return nullptr;
    // Each line is handled as soon as it has arrived.
    std::string buf;
    size_t done = 0;
    bool open = true;
    while (open) {
        open = listing.more(buf);
        if (PyErr_Occurred()) return nullptr;
        for (;;) {
            size_t end = buf.find('\n', done);
            if (end == std::string::npos) {
                if (open || done == buf.size()) break;
                end = buf.size() - 1;  // the last line, without a line end
            }
            if (!kill_listed(buf.substr(done, end + 1 - done), own.get())) return nullptr;
            done = end + 1;
        }
        buf.erase(0, done);
        done = 0;
    }
    if (!listing.finish()) return nullptr;
    Py_RETURN_NONE;
}

}  // namespace working
