// The numpy view over a segment and the _Mapping it stands on: the pages
// of a shared-memory object mapped once, kept by an object that lets them
// be unmapped only when its last user goes.
#include "mem_array.h"
#include "shm_attach.h"

namespace mem_array {

// ---------------------------------------------------------------- numpy view

namespace {

// np.ndarray(shape, dtype=dtype, buffer=buf).  A writable contiguous buffer
// large enough for a plain shape and element type is wrapped here directly,
// with the same flags and base numpy's constructor gives; anything else, and
// every error, goes through the constructor itself.
PyObject* make_view_any(PyObject* shape, PyObject* dtype, PyObject* buf) {
    do {
        if (!PyTuple_CheckExact(shape) && !PyList_CheckExact(shape)) break;
        const Py_ssize_t nd = PySequence_Fast_GET_SIZE(shape);
        if (nd > NPY_MAXDIMS) break;
        npy_intp dims[NPY_MAXDIMS];
        bool plain = true;
        for (Py_ssize_t i = 0; i < nd && plain; ++i) {
            long long d = 0;
            plain = exact_ll(PySequence_Fast_GET_ITEM(shape, i), &d) && d >= 0;
            dims[i] = (npy_intp)d;
        }
        if (!plain) {
            PyErr_Clear();
            break;
        }
        PyArray_Descr* descr = nullptr;
        if (!PyArray_DescrConverter(dtype, &descr)) {
            PyErr_Clear();
            break;
        }
        if (PyDataType_HASSUBARRAY(descr) || descr->elsize <= 0) {
            Py_DECREF(descr);
            break;
        }
        Py_buffer view;
        if (PyObject_GetBuffer(buf, &view, PyBUF_ANY_CONTIGUOUS | PyBUF_WRITABLE) < 0) {
            PyErr_Clear();
            Py_DECREF(descr);
            break;
        }
        void* data = view.buf;
        const Py_ssize_t len = view.len;
        PyBuffer_Release(&view);
        npy_intp need = descr->elsize;
        bool fits = true;
        for (Py_ssize_t i = 0; i < nd && fits; ++i)
            fits = !__builtin_mul_overflow(need, dims[i], &need);
        if (!fits || need > len) {
            Py_DECREF(descr);
            break;
        }
        PyObject* base = PyMemoryView_Check(buf) ? PyMemoryView_GET_BASE(buf) : nullptr;
        if (!base) base = buf;
        PyObject* arr = PyArray_NewFromDescr(&PyArray_Type, descr, (int)nd, dims, nullptr, data,
                                             NPY_ARRAY_BEHAVED, nullptr);  // steals descr
        if (!arr) return nullptr;
        if (PyArray_SetBaseObject((PyArrayObject*)arr, Py_NewRef(base)) < 0) {
            Py_DECREF(arr);
            return nullptr;
        }
        return arr;
    } while (false);
    PyObject* a[3] = {shape, dtype, buf};
    return PyObject_Vectorcall((PyObject*)&PyArray_Type, a, 1, state.view_kwnames);
}

}  // namespace

// ---------------------------------------------------------------- _Mapping

PyObject* new_mapping(void* map_addr, size_t map_len, void* addr, Py_ssize_t len) {
    Mapping* m = PyObject_New(Mapping, state.mapping_type);
    if (!m) return nullptr;
    m->addr = addr;
    m->len = len;
    m->map_addr = map_addr;
    m->map_len = map_len;
    m->ledger = nullptr;
    m->exports = 0;
    m->closed = false;
    m->close_at_end = false;
    m->watch = nullptr;
    return reinterpret_cast<PyObject*>(m);
}

int mapping_close_now(Mapping* m) {
    if (m->closed) return 0;
    if (m->exports > 0) {
        PyErr_SetString(PyExc_BufferError, "cannot close exported pointers exist");
        return -1;
    }
    m->closed = true;
    return 0;
}

namespace {

PyObject* mapping_close(PyObject* self, PyObject*) {
    if (mapping_close_now(reinterpret_cast<Mapping*>(self)) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* mapping_closed(PyObject* self, void*) {
    return PyBool_FromLong(reinterpret_cast<Mapping*>(self)->closed);
}

Py_ssize_t mapping_len(PyObject* self) {
    Mapping* m = reinterpret_cast<Mapping*>(self);
    if (m->closed) {
        PyErr_SetString(PyExc_ValueError, "mmap closed or invalid");
        return -1;
    }
    return m->len;
}

int mapping_getbuffer(PyObject* self, Py_buffer* view, int flags) {
    Mapping* m = reinterpret_cast<Mapping*>(self);
    if (m->closed) {
        PyErr_SetString(PyExc_ValueError, "mmap closed or invalid");
        return -1;
    }
    if (PyBuffer_FillInfo(view, self, m->addr, m->len, 0, flags) < 0) return -1;
    ++m->exports;
    return 0;
}

void mapping_releasebuffer(PyObject* self, Py_buffer*) { --reinterpret_cast<Mapping*>(self)->exports; }

// ledger.close() from the dealloc: nobody is left to raise to.
void close_at_end(PyObject* ledger) {
    rn::SavedError pending;
    rn::ptr r(call_method0(ledger, RN_ID(close)));
    if (!r) PyErr_WriteUnraisable(ledger);
}

void mapping_dealloc(PyObject* self) {
    Mapping* m = reinterpret_cast<Mapping*>(self);
    PyTypeObject* tp = Py_TYPE(self);
    if (m->watch) *m->watch = true;
    if (m->map_addr) munmap(m->map_addr, m->map_len);
    if (m->ledger) {
        PyBuffer_Release(&m->pin);  // before close(), which the export refuses
        if (m->close_at_end) close_at_end(m->ledger);
        Py_DECREF(m->ledger);
    }
    tp->tp_free(self);
    Py_DECREF(tp);
}

// A creator's view of the pages behind `buf`, the buffer of `ledger`; NULL
// without an exception when `buf` is no writable contiguous buffer (the
// array then stands on `buf` itself).
PyObject* creator_view(PyObject* ledger, PyObject* buf) {
    Py_buffer view;
    if (PyObject_GetBuffer(buf, &view, PyBUF_ANY_CONTIGUOUS | PyBUF_WRITABLE) < 0) {
        PyErr_Clear();
        return nullptr;
    }
    PyObject* m = new_mapping(nullptr, 0, view.buf, view.len);
    if (!m) {
        PyBuffer_Release(&view);
        return nullptr;
    }
    Mapping* mp = reinterpret_cast<Mapping*>(m);
    mp->ledger = Py_NewRef(ledger);
    mp->pin = view;
    return m;
}

// The owner of the pages behind `buf` for an array to stand on: our own
// mapping when `buf` is a reader's buffer, a creator's view when `ledger`
// is given.  NULL without an exception otherwise: the array then stands
// on `buf`.
PyObject* pages_owner(PyObject* buf, PyObject* ledger) {
    if (PyMemoryView_Check(buf)) {
        PyObject* base = PyMemoryView_GET_BASE(buf);
        if (base && Py_IS_TYPE(base, state.mapping_type)) return Py_NewRef(base);
    }
    return ledger ? creator_view(ledger, buf) : nullptr;
}

}  // namespace

// The view, refused for element types that hold object references: the
// bytes of a segment come from whatever process wrote them, and read as
// pointers they would crash this one.  The refused array owns no data, so
// dropping it touches none of those bytes.  The array stands on the owner
// of the pages (pages_owner), so it stays valid after the segment object's
// release.
PyObject* make_view(PyObject* shape, PyObject* dtype, PyObject* buf, PyObject* ledger) {
    rn::ptr owner(pages_owner(buf, ledger));
    if (!owner && PyErr_Occurred()) return nullptr;
    PyObject* arr = make_view_any(shape, dtype, owner ? owner.get() : buf);
    if (arr && PyArray_Check(arr) && PyDataType_REFCHK(PyArray_DESCR((PyArrayObject*)arr))) {
        Py_DECREF(arr);
        PyErr_SetString(PyExc_TypeError, "cannot create an OBJECT array from memory buffer");
        return nullptr;
    }
    return arr;
}

Mapping* creator_pages(PyObject* data, PyObject* ledger) {
    if (!PyArray_Check(data)) return nullptr;
    PyObject* base = PyArray_BASE(reinterpret_cast<PyArrayObject*>(data));
    if (!base || !Py_IS_TYPE(base, state.mapping_type)) return nullptr;
    Mapping* m = reinterpret_cast<Mapping*>(base);
    return m->ledger == ledger && !m->close_at_end ? m : nullptr;
}

namespace {

PyMethodDef mapping_methods[] = {{"close", mapping_close, METH_NOARGS, nullptr},
                                 {nullptr, nullptr, 0, nullptr}};
PyGetSetDef mapping_getset[] = {{"closed", mapping_closed, nullptr, nullptr, nullptr},
                                {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyType_Slot mapping_slots[] = {{Py_tp_dealloc, (void*)mapping_dealloc},
                               {Py_tp_methods, mapping_methods},
                               {Py_tp_getset, mapping_getset},
                               {Py_sq_length, (void*)mapping_len},
                               {Py_mp_length, (void*)mapping_len},
                               {Py_bf_getbuffer, (void*)mapping_getbuffer},
                               {Py_bf_releasebuffer, (void*)mapping_releasebuffer},
                               {0, nullptr}};

}  // namespace

PyType_Spec mapping_spec = {"ravu.mem_array.mem_array._Mapping", sizeof(Mapping), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                            mapping_slots};

}  // namespace mem_array
