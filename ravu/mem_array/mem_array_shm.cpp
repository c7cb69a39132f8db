// SharedMemory, the reading side's attachment to an existing segment: the
// object is opened read-write and mapped whole at once (shm_attach.h), and
// registered nowhere, so a reader that exits never removes its creator's
// segment.
#include "mem_array.h"

#include <climits>
#include "shm_attach.h"

#include <cstring>

namespace mem_array {
namespace {

// Maps `fd` whole and sets the fields; on any failure closes `fd` and what
// was made of it, so a failed attach holds nothing.
int attach_fd(Shm* s, PyObject* path, int fd) {
    const shm_attach::Mapping map = rn::without_gil([&] { return shm_attach::map_whole(fd); });
    if (!map.ok()) {
        if (map.stage == shm_attach::Stage::empty)
            PyErr_SetString(PyExc_ValueError, "cannot mmap an empty file");
        else
            errno = map.err, PyErr_SetFromErrno(PyExc_OSError);
        return -1;
    }
    rn::ptr mapping(new_mapping(map.addr, map.size, map.addr, (Py_ssize_t)map.size));
    if (!mapping) {
        munmap(map.addr, map.size);
        close(fd);
        return -1;
    }
    rn::ptr view(PyMemoryView_FromObject(mapping.get()));
    if (!view) {
        mapping = nullptr;  // unmaps
        close(fd);
        return -1;
    }
    // A second __init__ replaces the first attach.
    PyObject *old_name = s->name, *old_map = s->mmap, *old_buf = s->buf;
    const int old_fd = s->fd;
    s->fd = fd;
    s->name = Py_NewRef(path);
    s->size = (Py_ssize_t)map.size;
    s->mmap = mapping.release();
    s->buf = view.release();
    Py_XDECREF(old_buf);
    Py_XDECREF(old_map);
    Py_XDECREF(old_name);
    if (old_fd >= 0) close(old_fd);
    return 0;
}

// _posixshmem.shm_open(path, os.O_RDWR, mode=0o600): done here when the
// module's `_posixshmem` is still the one bound at import.
int shm_open_path(PyObject* path, int* fd_out) {
    rn::ptr mod(rn::global(state.module, RN_ID(_posixshmem)));
    if (!mod) return -1;
    rn::ptr fn;
    if (mod.get() == state.posixshmem_at_import) {
        fn = PyObject_GetAttr(mod.get(), RN_ID(shm_open));
        if (!fn) return -1;
    }
    if (mod.get() == state.posixshmem_at_import && fn.get() == state.shm_open_at_import) {
        Py_ssize_t n;
        const char* c = PyUnicode_AsUTF8AndSize(path, &n);
        if (!c) return -1;
        if ((Py_ssize_t)strlen(c) != n) {
            PyErr_SetString(PyExc_ValueError, "embedded null character");
            return -1;
        }
        int fd, err;
        for (;;) {
            rn::without_gil([&] {
                fd = shm_attach::open_rw(c);
                err = errno;
            });
            if (fd >= 0 || err != EINTR) break;
            if (PyErr_CheckSignals() < 0) return -1;
        }
        if (fd < 0) {
            errno = err;
            PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path);
            return -1;
        }
        *fd_out = fd;
        return 0;
    }
    if (!fn) fn = PyObject_GetAttr(mod.get(), RN_ID(shm_open));
    if (!fn) return -1;
    rn::ptr flags(PyLong_FromLong(O_RDWR)), mode(PyLong_FromLong(0600));
    if (!flags || !mode) return -1;
    PyObject* a[3] = {path, flags.get(), mode.get()};
    rn::ptr r(PyObject_Vectorcall(fn.get(), a, 2, state.mode_kwnames));
    if (!r) return -1;
    const long fd = PyLong_AsLong(r.get());
    if (fd == -1 && PyErr_Occurred()) return -1;
    if (fd < INT_MIN || fd > INT_MAX)
        return PyErr_SetString(PyExc_OverflowError, "Python int too large to convert to C int"), -1;
    *fd_out = (int)fd;
    return 0;
}

}  // namespace

int shm_init_with(Shm* s, PyObject* name) {
    rn::ptr path(PyNumber_Add(RN_STR("/"), name));
    if (!path) return -1;
    int fd = -1;
    if (shm_open_path(path.get(), &fd) < 0) return -1;
    return attach_fd(s, path.get(), fd);
}

namespace {

const rn::Signature shm_init_sig(
    "SharedMemory.__init__", "name",
    "The reading side's attachment to an existing shared-memory segment.\n\n"
    "Opens \"/\" + name read-write and maps the whole segment at once; the\n"
    "segment is never created, resized or removed from here.  `buf` is a\n"
    "memoryview of the mapping, `size` the segment's size in bytes, and\n"
    "close() gives back the view, the mapping and the descriptor.  Raises\n"
    "FileNotFoundError when no segment has that name and TypeError when\n"
    "name is not a str.",
    rn::INIT);

int shm_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* a[1];
    rn::ptr keep;
    if (!shm_init_sig.parse_tuple(args, kwargs, a, keep)) return -1;
    return shm_init_with(reinterpret_cast<Shm*>(self), a[0]);
}

}  // namespace

PyObject* shm_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    Shm* s = reinterpret_cast<Shm*>(self);
    s->fd = -1;
    s->size = 0;
    return self;
}

int shm_close_now(Shm* s) {
    if (s->buf) {
        rn::ptr r(call_method0(s->buf, RN_ID(release)));
        if (!r) return -1;
        Py_CLEAR(s->buf);
    }
    if (s->mmap) {
        if (Py_IS_TYPE(s->mmap, state.mapping_type)) {
            if (mapping_close_now(reinterpret_cast<Mapping*>(s->mmap)) < 0) return -1;
        } else {
            rn::ptr r(call_method0(s->mmap, RN_ID(close)));
            if (!r) return -1;
        }
        Py_CLEAR(s->mmap);
    }
    if (s->fd >= 0) {
        const int rc = rn::without_gil([&] { return close(s->fd); });
        if (rc < 0 && errno != EINTR) {
            PyErr_SetFromErrno(PyExc_OSError);
            return -1;
        }
        s->fd = -1;
    }
    return 0;
}

namespace {

const rn::Signature shm_close_sig(
    "SharedMemory.close", "",
    "Give back this process's view, mapping and descriptor; the segment stays.\n\n"
    "Arrays made over the segment keep their pages until they go.  Raises\n"
    "BufferError while a buffer taken from `buf` is still held; a second\n"
    "call does nothing.",
    rn::METHOD);

PyObject* shm_close_impl(PyObject* self) {
    if (shm_close_now(reinterpret_cast<Shm*>(self)) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* shm_buf(PyObject* self, void*) {
    PyObject* b = reinterpret_cast<Shm*>(self)->buf;
    return Py_NewRef(b ? b : Py_None);
}

PyObject* shm_name(PyObject* self, void*) {
    PyObject* n = reinterpret_cast<Shm*>(self)->name;
    if (!n) Py_RETURN_NONE;
    if (PyUnicode_Check(n) && PyUnicode_GET_LENGTH(n) > 0 && PyUnicode_READ_CHAR(n, 0) == '/')
        return PyUnicode_Substring(n, 1, PyUnicode_GET_LENGTH(n));
    return Py_NewRef(n);
}

PyObject* shm_size(PyObject* self, void*) {
    return PyLong_FromSsize_t(reinterpret_cast<Shm*>(self)->size);
}

PyObject* shm_repr(PyObject* self) {
    Shm* s = reinterpret_cast<Shm*>(self);
    rn::ptr name(shm_name(self, nullptr));
    if (!name) return nullptr;
    return PyUnicode_FromFormat("SharedMemory(%R, size=%zd)", name.get(), s->size);
}

int shm_traverse(PyObject* self, visitproc visit, void* arg) {
    Shm* s = reinterpret_cast<Shm*>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(s->name);
    Py_VISIT(s->mmap);
    Py_VISIT(s->buf);
    return 0;
}

// No finaliser semantics: dropping the object only gives back what the
// process holds (the mapping goes with its last user, the descriptor here).
void shm_dealloc(PyObject* self) {
    Shm* s = reinterpret_cast<Shm*>(self);
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Py_CLEAR(s->buf);
    Py_CLEAR(s->mmap);
    Py_CLEAR(s->name);
    if (s->fd >= 0) close(s->fd);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyObject* shm_get_fd(PyObject* self, void*) { return PyLong_FromLong(reinterpret_cast<Shm*>(self)->fd); }

template <PyObject* Shm::*F>
PyObject* shm_get(PyObject* self, void*) {
    PyObject* v = reinterpret_cast<Shm*>(self)->*F;
    return Py_NewRef(v ? v : Py_None);
}

PyGetSetDef shm_getset[] = {
    {"buf", shm_buf, nullptr, "memoryview of the whole mapping; None after close().", nullptr},
    {"name", shm_name, nullptr, "The segment's name, without the leading \"/\".", nullptr},
    {"size", shm_size, nullptr, "The segment's size in bytes when it was attached.", nullptr},
    {"_fd", shm_get_fd, nullptr, nullptr, nullptr},
    {"_name", shm_get<&Shm::name>, nullptr, nullptr, nullptr},
    {"_size", shm_size, nullptr, nullptr, nullptr},
    {"_mmap", shm_get<&Shm::mmap>, nullptr, nullptr, nullptr},
    {"_buf", shm_get<&Shm::buf>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyMethodDef shm_methods[] = {shm_close_sig.def(rn::noargs<shm_close_sig, shm_close_impl>),
                             {nullptr, nullptr, 0, nullptr}};

PyType_Slot shm_slots[] = {{Py_tp_doc, (void*)shm_init_sig.doc()},
                           {Py_tp_new, (void*)shm_new},
                           {Py_tp_init, (void*)shm_init},
                           {Py_tp_dealloc, (void*)shm_dealloc},
                           {Py_tp_traverse, (void*)shm_traverse},
                           {Py_tp_repr, (void*)shm_repr},
                           {Py_tp_getset, shm_getset},
                           {Py_tp_methods, shm_methods},
                           {0, nullptr}};

}  // namespace

PyType_Spec shm_spec = {"ravu.mem_array.mem_array.SharedMemory", sizeof(Shm), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, shm_slots};

}  // namespace mem_array
