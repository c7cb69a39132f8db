// MemArray, the array object whose fields sit in its instance dict, and
// its two variants of one segment each: MemArrayOnce (creates the segment
// through the bound SegmentLedger class, removes it at release) and
// MemArrayRead (attaches to one by its descriptor).
//
// Callers read and assign the fields in the instance dict; the exact
// classes touch that dict directly, while subclasses go through the
// ordinary attribute protocol and method look-up.
#include "mem_array.h"

namespace mem_array {

// ---------------------------------------------------------------- fields

namespace {

bool is_exact(PyObject* self) { return is_exact_array(self) || Py_IS_TYPE(self, state.pool_type); }

// The instance dict of one of our exact classes (their own layout, Obj),
// made on first use.
PyObject* own_dict(PyObject* self) {
    PyObject*& dict = reinterpret_cast<Obj*>(self)->dict;
    if (!dict) dict = PyDict_New();
    return dict;
}

}  // namespace

bool is_exact_array(PyObject* self) {
    PyTypeObject* t = Py_TYPE(self);
    return t == state.reuse_type || t == state.once_type || t == state.read_type ||
           t == state.array_type;
}

PyObject* field(PyObject* self, PyObject* name) {
    if (is_exact(self)) {
        if (PyObject* dict = reinterpret_cast<Obj*>(self)->dict) {
            PyObject* v = PyDict_GetItemWithError(dict, name);
            if (v) return Py_NewRef(v);
            if (PyErr_Occurred()) return nullptr;
        }
    }
    return PyObject_GetAttr(self, name);
}

int set_field(PyObject* self, PyObject* name, PyObject* value) {
    if (is_exact(self)) {
        PyObject* d = own_dict(self);
        return d ? PyDict_SetItem(d, name, value) : -1;
    }
    return PyObject_SetAttr(self, name, value);
}

// ---------------------------------------------------------------- MemArray

PyObject* const* array_fields() {
    static PyObject* names[5] = {RN_ID(uuid), RN_ID(shape), RN_ID(dtype), RN_ID(shm),
                                 RN_ID(data)};
    return names;
}

int clear_fields(PyObject* self) {
    for (int i = 0; i < 5; ++i)
        if (set_field(self, array_fields()[i], Py_None) < 0) return -1;
    return 0;
}

namespace {

const rn::Signature array_init_sig(
    "MemArray.__init__", "",
    "A numpy array whose elements lie in a named POSIX shared-memory segment.\n\n"
    "The base of MemArrayOnce (creates its segment), MemArrayRead (attaches\n"
    "to one by its descriptor) and MemArrayReuse (borrows one from a pool);\n"
    "a bare MemArray() is empty.  Fields, in the instance dict: uuid (the\n"
    "segment's name, None when empty), shape, dtype (as the creator gave\n"
    "them), shm (the segment object) and data (the numpy array over it).\n"
    "info() gives the descriptor another process attaches by; release(), or\n"
    "leaving a `with` block, gives the segment back.  There is no finaliser:\n"
    "an object dropped unreleased keeps its segment.",
    rn::INIT);

int array_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* none[1];
    rn::ptr keep;
    if (!array_init_sig.parse_tuple(args, kwargs, none, keep)) return -1;
    return clear_fields(self);
}

const rn::Signature info_sig(
    "MemArray.info", "",
    "The array descriptor: a new dict {'uuid', 'shape', 'dtype'} of this\n"
    "object's own values, all another process needs for load_mem_array().\n"
    "Its values are None once the object is empty.",
    rn::METHOD);

PyObject* info_impl(PyObject* self) {
    rn::ptr d(PyDict_New());
    if (!d) return nullptr;
    for (int i = 0; i < 3; ++i) {
        PyObject* name = array_fields()[i];
        rn::ptr v(field(self, name));
        if (!v || PyDict_SetItem(d.get(), name, v.get()) < 0) return nullptr;
    }
    return d.release();
}

PyObject* array_ndarray(PyObject* self, void*) { return field(self, RN_ID(data)); }

const rn::Signature Name_sig(
    "MemArray.Name", "shape, dtype",
    "The array pool key of shape and dtype: str(code) + '-' + the dimensions\n"
    "joined by '-', e.g. '108-480-640-3' for (480, 640, 3) and numpy.uint8.\n"
    "The four forms of one element type, and a tuple or a list of the same\n"
    "dimensions, give one key.  Raises KeyError for an unknown element type\n"
    "and TypeError for a shape that cannot be iterated.");

PyObject* array_Name(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[2];
    if (!Name_sig.parse(args, nargs, kwnames, a)) return nullptr;
    return pool_key(a[0], a[1]);
}

PyObject* array_name(PyObject* self, void*) {
    rn::ptr shape(field(self, RN_ID(shape)));
    if (!shape) return nullptr;
    rn::ptr dtype(field(self, RN_ID(dtype)));
    if (!dtype) return nullptr;
    if (is_exact_array(self)) return pool_key(shape.get(), dtype.get());
    PyObject* a[3] = {self, shape.get(), dtype.get()};
    return PyObject_VectorcallMethod(RN_ID(Name), a, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

// self._release(): the variant's own clean-up.
PyObject* call_release_hook(PyObject* self) {
    PyTypeObject* t = Py_TYPE(self);
    if (t == state.once_type) return once_release_impl(self);
    if (t == state.read_type) return read_release_impl(self);
    if (t == state.reuse_type) return reuse_release_impl(self);
    if (t == state.array_type) Py_RETURN_NONE;
    return call_method0(self, RN_ID(_release));
}

}  // namespace

PyObject* release_impl(PyObject* self) {
    rn::ptr uuid(field(self, RN_ID(uuid)));
    if (!uuid) return nullptr;
    if (uuid.get() == Py_None) Py_RETURN_NONE;
    rn::ptr r(call_release_hook(self));
    if (!r || clear_fields(self) < 0) return nullptr;
    Py_RETURN_NONE;
}

namespace {

const rn::Signature release_sig(
    "MemArray.release", "",
    "Give the segment back and empty the object (all five fields None).\n\n"
    "A once-only array closes and unlinks its segment, an attached one closes\n"
    "its attachment, a pooled one returns its segment to the pool.  Arrays\n"
    "taken from `data` stay valid (their pages stay mapped until they go; a\n"
    "once-only segment's name goes at once, its close() with the last of\n"
    "them); a pooled one then sees what the next borrower writes.  Does\n"
    "nothing on an empty object; an error of the clean-up leaves the object\n"
    "live.",
    rn::METHOD);

const rn::Signature base_release_sig(
    "MemArray._release", "",
    "The variant's own clean-up, called by release() only; here nothing.",
    rn::METHOD);

PyObject* base_release_impl(PyObject*) { Py_RETURN_NONE; }

const rn::Signature enter_sig("MemArray.__enter__", "", "Return the object itself.",
                              rn::METHOD);

PyObject* enter_impl(PyObject* self) { return Py_NewRef(self); }

const rn::Signature exit_sig(
    "MemArray.__exit__", "exc_type, exc_val, exc_tb",
    "Release the object; an exception of the `with` body goes on.", rn::METHOD);

PyObject* array_exit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[3];
    if (!exit_sig.parse(args, nargs, kwnames, a)) return nullptr;
    rn::ptr r(is_exact_array(self) ? release_impl(self) : call_method0(self, RN_ID(release)));
    if (!r) return nullptr;
    Py_RETURN_NONE;
}

PyMethodDef array_methods[] = {
    info_sig.def(rn::noargs<info_sig, info_impl>),
    with_flags(Name_sig.def(array_Name), METH_STATIC),
    release_sig.def(rn::noargs<release_sig, release_impl>),
    base_release_sig.def(rn::noargs<base_release_sig, base_release_impl>),
    enter_sig.def(rn::noargs<enter_sig, enter_impl>),
    exit_sig.def(array_exit),
    {nullptr, nullptr, 0, nullptr}};

PyGetSetDef array_getset[] = {
    {"ndarray", array_ndarray, nullptr, "The numpy array over the segment (`data`); None when empty.",
     nullptr},
    {"name", array_name, nullptr,
     "The array pool key of `shape` and `dtype` (see Name); AttributeError once empty.", nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyType_Slot array_slots[] = {{Py_tp_doc, (void*)array_init_sig.doc()},
                             {Py_tp_init, (void*)array_init},
                             {Py_tp_traverse, (void*)rn::plain_traverse},
                             {Py_tp_clear, (void*)rn::plain_clear},
                             {Py_tp_dealloc, (void*)rn::gc_dealloc<rn::plain_clear>},
                             {Py_tp_members, rn::plain_members},
                             {Py_tp_methods, array_methods},
                             {Py_tp_getset, array_getset},
                             {0, nullptr}};

}  // namespace

PyType_Spec array_spec = {"ravu.mem_array.mem_array.MemArray", sizeof(Obj), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
                          array_slots};

// ---------------------------------------------------------------- MemArrayOnce

namespace {

// Bytes of `shape` elements of `size` bytes (size * d for each dimension),
// checked before any segment exists: every dimension an integer (TypeError,
// as numpy says it), none negative (ValueError), the total below 2**63
// (OverflowError).  The standard segment class fails on a float or a huge
// size only after it has created the object, and leaves its name behind.
PyObject* byte_count(PyObject* size, PyObject* shape) {
    rn::ptr keep;
    PyObject* dims = dims_of(shape, keep);
    if (!dims) return nullptr;
    rn::ptr n(Py_NewRef(size));
    long long acc = 0;
    bool small = exact_ll(size, &acc) && acc >= 0;
    if (PyErr_Occurred()) return nullptr;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(dims); ++i) {
        rn::ptr d(PyNumber_Index(PySequence_Fast_GET_ITEM(dims, i)));
        if (!d) return nullptr;
        long long x, product;
        const bool fits = exact_ll(d.get(), &x);
        if (PyErr_Occurred()) return nullptr;
        if (fits ? x < 0 : sign(d.get()) < 0)
            return rn::raise(PyExc_ValueError, "negative dimensions are not allowed");
        if (small && fits && !__builtin_mul_overflow(acc, x, &product)) {
            acc = product;
            continue;
        }
        if (small) {  // leave the C fast track with the product so far
            n = PyLong_FromLongLong(acc);
            if (!n) return nullptr;
            small = false;
        }
        n = PyNumber_Multiply(n.get(), d.get());
        if (!n) return nullptr;
    }
    if (small) return PyLong_FromLongLong(acc);
    long long total;
    const bool fits = exact_ll(n.get(), &total);
    if (PyErr_Occurred()) return nullptr;
    if (!fits && PyLong_Check(n.get()) && sign(n.get()) > 0)
        return rn::raise(PyExc_OverflowError, "a shared array of %S bytes is too large",
                         n.get());
    return n.release();
}

// shm.close(); shm.unlink()
PyObject* close_and_unlink(PyObject* shm) {
    rn::ptr r(call_method0(shm, RN_ID(close)));
    if (!r) return nullptr;
    return call_method0(shm, RN_ID(unlink));
}

}  // namespace

int once_init_with(PyObject* self, PyObject* shape, PyObject* dtype) {
    if (clear_fields(self) < 0) return -1;
    if (set_field(self, RN_ID(shape), shape) < 0 || set_field(self, RN_ID(dtype), dtype) < 0)
        return -1;
    rn::ptr code, form;
    if (!element_type(dtype, code, form)) return -1;
    rn::ptr size(code_size(code.get()));
    if (!size) return -1;
    rn::ptr n(byte_count(size.get(), shape));
    if (!n) return -1;
    rn::ptr ledger(rn::global(state.module, RN_ID(SegmentLedger)));
    if (!ledger) return -1;
    PyObject* a[2] = {Py_True, n.get()};
    // The segment class's system calls let the interpreter end us meanwhile.
    rn::park_at_exit();
    rn::ptr shm(PyObject_Vectorcall(ledger.get(), a, 0, state.ledger_kwnames));
    if (!shm) return -1;
    // From here the segment exists: a failure must not leave it behind.
    bool ok = false;
    do {
        if (set_field(self, RN_ID(shm), shm.get()) < 0) break;
        rn::ptr uuid(PyObject_GetAttr(shm.get(), RN_ID(name)));
        if (!uuid || set_field(self, RN_ID(uuid), uuid.get()) < 0) break;
        rn::ptr buf(PyObject_GetAttr(shm.get(), RN_ID(buf)));
        if (!buf) break;
        rn::ptr data(make_view(shape, dtype, buf.get(), shm.get()));
        if (!data || set_field(self, RN_ID(data), data.get()) < 0) break;
        ok = true;
    } while (false);
    if (ok) return 0;
    rn::SavedError saved;
    rn::ptr r(close_and_unlink(shm.get()));
    if (r) clear_fields(self);
    return -1;
}

namespace {

const rn::Signature once_init_sig(
    "MemArrayOnce.__init__", "shape, dtype",
    "A shared array with a new segment of its own, released once.\n"
    "\n"
    "Creates a segment of MAType(dtype).size * the product of shape bytes\n"
    "through the bound SegmentLedger class and views it as a C-ordered numpy\n"
    "array (`data`); its elements are not initialised.  release() closes and\n"
    "unlinks the segment, so later attaches fail.  Raises KeyError for an\n"
    "unknown element type, TypeError, ValueError or OverflowError for a shape\n"
    "that is no sequence of non-negative integers or too large, before any\n"
    "segment exists, and the segment class's errors (ValueError for 0 bytes).",
    rn::INIT);

int once_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* a[2];
    rn::ptr keep;
    if (!once_init_sig.parse_tuple(args, kwargs, a, keep)) return -1;
    return once_init_with(self, a[0], a[1]);
}

}  // namespace

namespace {

// The array over the pages again (`pages`, or else the segment's `buf` if
// it still has one), after a close or unlink that failed once the object's
// own array had gone: the object stays live and the failure goes on.
void view_again(PyObject* self, PyObject* shm, PyObject* pages) {
    rn::SavedError failure;
    rn::ptr source(pages ? Py_NewRef(pages) : PyObject_GetAttr(shm, RN_ID(buf)));
    rn::ptr shape(source ? field(self, RN_ID(shape)) : nullptr);
    rn::ptr dtype(shape ? field(self, RN_ID(dtype)) : nullptr);
    if (dtype && source.get() != Py_None) {
        rn::ptr data(make_view(shape.get(), dtype.get(), source.get(), pages ? nullptr : shm));
        if (data) set_field(self, RN_ID(data), data.get());
    }
    PyErr_Clear();  // what cannot be viewed again stays None
}

}  // namespace

// The segment class's close() unmaps the pages the arrays stand on, so it
// may run only once no array views them.  The object's own `data` is taken
// out of the instance dict and dropped: when the pages' owner goes with it,
// no array outlived the release, and close() and unlink() run now, as the
// rule has them.  When arrays taken from `data` still stand on the pages,
// the name is removed now and their owner calls close() when the last of
// them goes: the pages are mapped once either way.
PyObject* once_release_impl(PyObject* self) {
    rn::ptr shm(field(self, RN_ID(shm)));
    if (!shm) return nullptr;
    rn::ptr data(field(self, RN_ID(data)));
    if (!data) return nullptr;
    PyObject* dict = reinterpret_cast<Obj*>(self)->dict;  // our layout, kept by subclasses
    Mapping* pages = creator_pages(data.get(), shm.get());
    if (!pages || !dict || PyDict_GetItemWithError(dict, RN_ID(data)) != data.get()) {
        if (PyErr_Occurred()) return nullptr;
        return close_and_unlink(shm.get());
    }
    bool gone = false;
    pages->watch = &gone;
    if (PyDict_SetItem(dict, RN_ID(data), Py_None) < 0) {
        pages->watch = nullptr;
        return nullptr;
    }
    data = nullptr;
    if (gone) {
        rn::ptr r(close_and_unlink(shm.get()));
        if (!r) view_again(self, shm.get(), nullptr);
        return r.release();
    }
    // Still standing: `pages` lives as long as those arrays.
    pages->watch = nullptr;
    pages->close_at_end = true;
    rn::ptr r(call_method0(shm.get(), RN_ID(unlink)));
    if (r) return r.release();
    pages->close_at_end = false;
    view_again(self, shm.get(), reinterpret_cast<PyObject*>(pages));
    return nullptr;
}

namespace {

const rn::Signature once_release_sig(
    "MemArrayOnce._release", "",
    "Close the segment, then unlink its name.",
    rn::METHOD);

PyMethodDef once_methods[] = {
    once_release_sig.def(rn::noargs<once_release_sig, once_release_impl>),
    {nullptr, nullptr, 0, nullptr}};

PyType_Slot once_slots[] = {{Py_tp_doc, (void*)once_init_sig.doc()},
                            {Py_tp_init, (void*)once_init},
                            {Py_tp_traverse, (void*)rn::plain_traverse},
                            {Py_tp_clear, (void*)rn::plain_clear},
                            {Py_tp_methods, once_methods},
                            {0, nullptr}};

}  // namespace

PyType_Spec once_spec = {"ravu.mem_array.mem_array.MemArrayOnce", sizeof(Obj), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
                         once_slots};

// ---------------------------------------------------------------- MemArrayRead

int read_init_with(PyObject* self, PyObject* uuid, PyObject* shape, PyObject* dtype) {
    if (clear_fields(self) < 0) return -1;
    if (set_field(self, RN_ID(uuid), uuid) < 0 || set_field(self, RN_ID(shape), shape) < 0 ||
        set_field(self, RN_ID(dtype), dtype) < 0)
        return -1;
    rn::ptr shm(shm_new(state.shm_type, nullptr, nullptr));
    if (!shm) return -1;
    Shm* s = reinterpret_cast<Shm*>(shm.get());
    if (shm_init_with(s, uuid) < 0 || set_field(self, RN_ID(shm), shm.get()) < 0) return -1;
    // From here this object holds an attach: a failure closes it.
    rn::ptr data(make_view(shape, dtype, s->buf));
    if (data && set_field(self, RN_ID(data), data.get()) == 0) return 0;
    rn::SavedError saved;
    if (shm_close_now(s) == 0) clear_fields(self);
    return -1;
}

namespace {

const rn::Signature read_init_sig(
    "MemArrayRead.__init__", "uuid, shape, dtype",
    "A shared array attached to an existing segment by its descriptor.\n"
    "\n"
    "Maps the segment named uuid (see SharedMemory) and views it with shape\n"
    "and dtype, without copying; writes are seen by the creator and every\n"
    "other process attached.  A segment larger than the array is fine.\n"
    "release() closes only this attachment.  Raises FileNotFoundError when the\n"
    "segment is gone, TypeError from numpy when the segment is too small or\n"
    "the element type holds object references; a failed attach holds\n"
    "nothing.",
    rn::INIT);

int read_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* a[3];
    rn::ptr keep;
    if (!read_init_sig.parse_tuple(args, kwargs, a, keep)) return -1;
    return read_init_with(self, a[0], a[1], a[2]);
}

}  // namespace

PyObject* read_release_impl(PyObject* self) {
    rn::ptr shm(field(self, RN_ID(shm)));
    if (!shm) return nullptr;
    if (Py_IS_TYPE(shm.get(), state.shm_type)) {
        if (shm_close_now(reinterpret_cast<Shm*>(shm.get())) < 0) return nullptr;
        Py_RETURN_NONE;
    }
    return call_method0(shm.get(), RN_ID(close));
}

namespace {

const rn::Signature read_release_sig(
    "MemArrayRead._release", "",
    "Close this attachment; the segment stays for its owner.",
    rn::METHOD);

PyMethodDef read_methods[] = {
    read_release_sig.def(rn::noargs<read_release_sig, read_release_impl>),
    {nullptr, nullptr, 0, nullptr}};

PyType_Slot read_slots[] = {{Py_tp_doc, (void*)read_init_sig.doc()},
                            {Py_tp_init, (void*)read_init},
                            {Py_tp_traverse, (void*)rn::plain_traverse},
                            {Py_tp_clear, (void*)rn::plain_clear},
                            {Py_tp_methods, read_methods},
                            {0, nullptr}};

}  // namespace

PyType_Spec read_spec = {"ravu.mem_array.mem_array.MemArrayRead", sizeof(Obj), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
                         read_slots};

}  // namespace mem_array
