// _bench_floors: the cheapest C code with the Python calling shape of three
// hot cases of the shared-array and stream-reader modules, doing only the
// work each case cannot avoid.  Built for the benchmarks only (never
// installed with the package): a module's figure divided by its floor is
// what the benchmarks report.
//
//   segment_syscalls(size)   the bare system calls of a once-only array:
//                            shm_open, ftruncate, mmap, munmap, close,
//                            shm_unlink
//   new_mem_array(shape, dtype, max_pool_size=0).release()
//                            a pooled borrow and its return: a lock, a pop
//                            from the free list, a new object with the
//                            eight fields of a borrowed array in its
//                            instance dict; release() takes the lock, pushes
//                            the array back and sets the six fields to None
//   Reader(grabber).read_non_blocking(is_return_num=False, is_copy=True)
//                            the grabber's is_run, cur_frame_num and
//                            cur_frame read from its instance dict, the
//                            number kept, the frame returned
#include "rn.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <vector>

namespace {

// ---------------------------------------------------------------- segment

PyObject* segment_syscalls(PyObject*, PyObject* arg) {
    const Py_ssize_t size = PyLong_AsSsize_t(arg);
    if (size <= 0) return PyErr_Occurred() ? nullptr : rn::raise(PyExc_ValueError, "size > 0");
    static unsigned long counter = 0;
    char name[64];
    std::snprintf(name, sizeof name, "/rvfloor_%d_%lu", (int)getpid(), ++counter);
    int err = 0;
    Py_BEGIN_ALLOW_THREADS
    const int fd = shm_open(name, O_RDWR | O_CREAT | O_EXCL, 0600);
    if (fd < 0) {
        err = errno;
    } else {
        void* p = MAP_FAILED;
        if (ftruncate(fd, size) == 0)
            p = mmap(nullptr, (size_t)size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (p == MAP_FAILED) err = errno;
        else munmap(p, (size_t)size);
        close(fd);
        shm_unlink(name);
    }
    Py_END_ALLOW_THREADS
    if (err) {
        errno = err;
        return PyErr_SetFromErrno(PyExc_OSError);
    }
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------- pool

// What a pooled array lends: the five fields every borrower copies.
struct Segment {
    PyObject* fields[5];
};

PyThread_type_lock pool_lock;
std::vector<Segment*> free_list;
PyTypeObject* borrow_type;
PyObject* names[8];  // uuid shape dtype shm data max_pool_size pool src_ma
// The eight keys in their order, each None: a copy of it is a dict of the
// right size with the keys in place, so the stores below only replace.
PyObject* template_dict;

struct Borrow {
    rn::PlainObject base;
    Segment* seg;
};

Segment* make_segment(PyObject* shape, PyObject* dtype) {
    Segment* s = new Segment;
    s->fields[0] = PyUnicode_FromFormat("psm_floor%zu", free_list.size());
    s->fields[1] = Py_NewRef(shape);
    s->fields[2] = Py_NewRef(dtype);
    s->fields[3] = Py_NewRef(Py_None);
    s->fields[4] = PyByteArray_FromStringAndSize("0123", 4);
    return s;
}

PyObject* new_mem_array(PyObject* module, PyObject* const* args, Py_ssize_t nargsf,
                        PyObject* kwnames) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (kwnames || nargs != 3) return rn::raise(PyExc_TypeError, "three positional arguments");
    PyThread_acquire_lock(pool_lock, WAIT_LOCK);
    Segment* seg = nullptr;
    if (!free_list.empty()) {
        seg = free_list.back();
        free_list.pop_back();
    }
    PyThread_release_lock(pool_lock);
    if (!seg) seg = make_segment(args[0], args[1]);
    Borrow* b = PyObject_GC_New(Borrow, borrow_type);
    if (!b) return nullptr;
    b->base.weakrefs = nullptr;
    b->seg = seg;
    PyObject* d = b->base.dict = PyDict_Copy(template_dict);
    PyObject_GC_Track(b);
    rn::ptr self(reinterpret_cast<PyObject*>(b));
    if (!d) return nullptr;
    for (int i = 0; i < 5; ++i)
        if (PyDict_SetItem(d, names[i], seg->fields[i]) < 0) return nullptr;
    if (PyDict_SetItem(d, names[5], args[2]) < 0 || PyDict_SetItem(d, names[6], module) < 0 ||
        PyDict_SetItem(d, names[7], Py_True) < 0)
        return nullptr;
    return self.release();
}

PyObject* borrow_release(PyObject* self, PyObject*) {
    Borrow* b = reinterpret_cast<Borrow*>(self);
    PyObject* d = b->base.dict;
    PyObject* uuid = d ? PyDict_GetItemWithError(d, names[0]) : nullptr;
    if (!uuid || uuid == Py_None) {
        if (PyErr_Occurred()) return nullptr;
        Py_RETURN_NONE;
    }
    PyThread_acquire_lock(pool_lock, WAIT_LOCK);
    free_list.push_back(b->seg);
    PyThread_release_lock(pool_lock);
    b->seg = nullptr;
    if (PyDict_SetItem(d, names[7], Py_None) < 0) return nullptr;
    for (int i = 0; i < 5; ++i)
        if (PyDict_SetItem(d, names[i], Py_None) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyMethodDef borrow_methods[] = {{"release", borrow_release, METH_NOARGS, nullptr}, {}};

PyType_Slot borrow_slots[] = {{Py_tp_methods, borrow_methods}, RN_PLAIN_SLOTS, {0, nullptr}};

PyType_Spec borrow_spec = {"_bench_floors.Borrow", sizeof(Borrow), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, borrow_slots};

// ---------------------------------------------------------------- reader

struct Reader {
    PyObject_HEAD
    PyObject* grabber;
    PyObject* cur;
};

PyTypeObject* reader_type;
PyObject *s_is_run, *s_cur_frame_num, *s_cur_frame, *s_is_return_num, *s_is_copy;

PyObject* reader_new(PyTypeObject* type, PyObject* args, PyObject*) {
    PyObject* g;
    if (!PyArg_ParseTuple(args, "O", &g)) return nullptr;
    Reader* r = reinterpret_cast<Reader*>(type->tp_alloc(type, 0));
    if (!r) return nullptr;
    r->grabber = Py_NewRef(g);
    r->cur = PyLong_FromLong(0);
    return reinterpret_cast<PyObject*>(r);
}

int reader_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(reinterpret_cast<Reader*>(self)->grabber);
    return 0;
}

int reader_clear(PyObject* self) {
    Py_CLEAR(reinterpret_cast<Reader*>(self)->grabber);
    Py_CLEAR(reinterpret_cast<Reader*>(self)->cur);
    return 0;
}

// g.name from its instance dict, new reference.
PyObject* from_dict(PyObject* d, PyObject* name) {
    PyObject* v = PyDict_GetItemWithError(d, name);
    if (!v && !PyErr_Occurred()) PyErr_SetObject(PyExc_AttributeError, name);
    return Py_XNewRef(v);
}

PyObject* read_non_blocking(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                            PyObject* kwnames) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    PyObject* a[2] = {Py_False, Py_True};
    if (nargs > 2) return rn::raise(PyExc_TypeError, "at most two arguments");
    for (Py_ssize_t i = 0; i < nargs; ++i) a[i] = args[i];
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* kw = PyTuple_GET_ITEM(kwnames, k);
        if (kw == s_is_return_num) a[0] = args[nargs + k];
        else if (kw == s_is_copy) a[1] = args[nargs + k];
        else return rn::raise(PyExc_TypeError, "unexpected keyword");
    }
    Reader* r = reinterpret_cast<Reader*>(self);
    // The grabber's dict is managed by the interpreter (no fixed offset):
    // the public way to it is the generic __dict__ getter.
    rn::ptr held(PyObject_GenericGetDict(r->grabber, nullptr));
    if (!held) return nullptr;
    PyObject* d = held.get();
    rn::ptr running(from_dict(d, s_is_run));
    if (!running) return nullptr;
    const int t = PyObject_IsTrue(running.get());
    if (t <= 0) return t < 0 ? nullptr : rn::raise(PyExc_Exception, "is stop");
    rn::ptr num(from_dict(d, s_cur_frame_num));
    if (!num) return nullptr;
    Py_SETREF(r->cur, num.release());
    rn::ptr frame(from_dict(d, s_cur_frame));
    if (!frame) return nullptr;
    if (frame.get() != Py_None && PyObject_IsTrue(a[1]))
        return rn::raise(PyExc_NotImplementedError, "the floor returns no copies");
    if (PyObject_IsTrue(a[0])) return PyTuple_Pack(2, frame.get(), r->cur);
    return frame.release();
}

PyMethodDef reader_methods[] = {
    {"read_non_blocking", (PyCFunction)(void (*)(void))read_non_blocking,
     METH_FASTCALL | METH_KEYWORDS, nullptr},
    {}};

PyType_Slot reader_slots[] = {{Py_tp_new, (void*)reader_new},
                              {Py_tp_methods, reader_methods},
                              {Py_tp_traverse, (void*)reader_traverse},
                              {Py_tp_clear, (void*)reader_clear},
                              {Py_tp_dealloc, (void*)rn::gc_dealloc<reader_clear>},
                              {0, nullptr}};

PyType_Spec reader_spec = {"_bench_floors.Reader", sizeof(Reader), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, reader_slots};

// ---------------------------------------------------------------- module

PyMethodDef module_methods[] = {
    {"segment_syscalls", segment_syscalls, METH_O, nullptr},
    {"new_mem_array", (PyCFunction)(void (*)(void))new_mem_array, METH_FASTCALL | METH_KEYWORDS,
     nullptr},
    {}};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "_bench_floors",
                          "Floors of the benchmarks' hot cases (bench/ only).", -1,
                          module_methods};

}  // namespace

PyMODINIT_FUNC PyInit__bench_floors() {
    pool_lock = PyThread_allocate_lock();
    if (!pool_lock) return PyErr_NoMemory();
    const char* field_names[8] = {"uuid", "shape", "dtype", "shm", "data",
                                  "max_pool_size", "pool", "src_ma"};
    for (int i = 0; i < 8; ++i)
        if (!(names[i] = PyUnicode_InternFromString(field_names[i]))) return nullptr;
    s_is_run = PyUnicode_InternFromString("is_run");
    s_cur_frame_num = PyUnicode_InternFromString("cur_frame_num");
    s_cur_frame = PyUnicode_InternFromString("cur_frame");
    s_is_return_num = PyUnicode_InternFromString("is_return_num");
    s_is_copy = PyUnicode_InternFromString("is_copy");
    if (!s_is_run || !s_cur_frame_num || !s_cur_frame || !s_is_return_num || !s_is_copy)
        return nullptr;
    if (!(template_dict = PyDict_New())) return nullptr;
    for (int i = 0; i < 8; ++i)
        if (PyDict_SetItem(template_dict, names[i], Py_None) < 0) return nullptr;
    rn::ptr m(PyModule_Create(&module_def));
    if (!m) return nullptr;
    borrow_type = (PyTypeObject*)PyType_FromModuleAndSpec(m.get(), &borrow_spec, nullptr);
    reader_type = (PyTypeObject*)PyType_FromModuleAndSpec(m.get(), &reader_spec, nullptr);
    if (!borrow_type || !reader_type ||
        PyModule_AddObjectRef(m.get(), "Reader", (PyObject*)reader_type) < 0)
        return nullptr;
    return m.release();
}
