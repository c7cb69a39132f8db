// MemArrayReuse: the array that borrows a segment from the pool of its
// array pool key and gives it back at release, so that the segment and its
// name serve the next borrower.
#include "mem_array.h"

namespace mem_array {
namespace {

// The fields of a MemArrayReuse in the order its construction first stores
// them: the five of every array, then its own three.
enum Field { UUID, SHAPE, DTYPE, SHM, DATA, MAX_POOL_SIZE, POOL, SRC_MA, NFIELDS };

PyObject* field_name(int i) {
    static PyObject* const own[3] = {RN_ID(max_pool_size), RN_ID(pool), RN_ID(src_ma)};
    return i < MAX_POOL_SIZE ? array_fields()[i] : own[i - MAX_POOL_SIZE];
}

// self.pool.get() / self.pool.push_back(ma), our own code for our pool class.
PyObject* lend(PyObject* pool) {
    if (Py_IS_TYPE(pool, state.pool_type)) return pool_get_impl(pool);
    return call_method0(pool, RN_ID(get));
}

PyObject* give_back(PyObject* pool, PyObject* ma) {
    if (Py_IS_TYPE(pool, state.pool_type)) return pool_push_back_impl(pool, ma);
    return PyObject_CallMethodOneArg(pool, RN_ID(push_back), ma);
}

// Construction of an object of our own class that has no fields yet: the
// pool and the loan come first, and the instance dict is then written once
// with what the construction step by step leaves in it, on failure too.
int init_fresh(PyObject* self, PyObject* shape, PyObject* dtype, PyObject* limit) {
    rn::ptr v[NFIELDS] = {rn::ptr(Py_None, true),  rn::ptr(shape, true),
                          rn::ptr(dtype, true),    rn::ptr(Py_None, true),
                          rn::ptr(Py_None, true),  rn::ptr(limit, true)};
    int stored = POOL;  // the fields stored when the pool look-up fails
    bool ok = false;
    do {
        v[POOL] = get_pool_impl((PyObject*)state.pool_type, shape, dtype, limit);
        if (!v[POOL]) break;
        stored = SRC_MA;
        v[SRC_MA] = lend(v[POOL].get());
        if (!v[SRC_MA]) break;
        stored = NFIELDS;
        if (v[SRC_MA].get() != Py_None) {
            int i = UUID;
            for (; i <= DATA; ++i) {
                rn::ptr f(field(v[SRC_MA].get(), field_name(i)));
                if (!f) break;
                v[i] = std::move(f);
            }
            if (i <= DATA) break;
        }
        ok = true;
    } while (false);
    rn::SavedError saved;  // the failure's, kept while the fields go in
    // The dict made empty with the object, or a new one for an object made
    // by tp_alloc.
    PyObject*& dict = reinterpret_cast<Obj*>(self)->dict;
    if (!dict && !(dict = PyDict_New())) return -1;
    for (int i = 0; i < stored; ++i)
        if (PyDict_SetItem(dict, field_name(i), v[i].get()) < 0) return -1;
    return ok ? 0 : -1;
}

}  // namespace

int reuse_init_with(PyObject* self, PyObject* shape, PyObject* dtype, PyObject* limit) {
    PyObject* dict = reinterpret_cast<Obj*>(self)->dict;
    if (Py_IS_TYPE(self, state.reuse_type) && (!dict || PyDict_GET_SIZE(dict) == 0))
        return init_fresh(self, shape, dtype, limit);
    if (clear_fields(self) < 0) return -1;
    if (set_field(self, RN_ID(shape), shape) < 0 || set_field(self, RN_ID(dtype), dtype) < 0 ||
        set_field(self, RN_ID(max_pool_size), limit) < 0)
        return -1;
    // The pool is found from the stored values: for our own class those are
    // the arguments themselves.
    rn::ptr s(shape, true), d(dtype, true), m(limit, true);
    if (!is_exact_array(self)) {
        s = field(self, RN_ID(shape));
        d = field(self, RN_ID(dtype));
        m = field(self, RN_ID(max_pool_size));
        if (!s || !d || !m) return -1;
    }
    rn::ptr pool(get_pool_impl((PyObject*)state.pool_type, s.get(), d.get(), m.get()));
    if (!pool || set_field(self, RN_ID(pool), pool.get()) < 0) return -1;
    rn::ptr src(lend(pool.get()));
    if (!src || set_field(self, RN_ID(src_ma), src.get()) < 0) return -1;
    if (src.get() == Py_None) return 0;
    for (int i = UUID; i <= DATA; ++i) {
        rn::ptr v(field(src.get(), field_name(i)));
        if (!v || set_field(self, field_name(i), v.get()) < 0) return -1;
    }
    return 0;
}

namespace {

const rn::Signature reuse_init_sig(
    "MemArrayReuse.__init__", "shape, dtype, max_pool_size",
    "A shared array borrowed from the pool of its shape and element type.\n"
    "\n"
    "Borrows from MemArrayOncePool.get_pool(shape, dtype, max_pool_size) and\n"
    "takes the borrowed array's uuid, shape, dtype (those of the pool's first\n"
    "caller), shm and data, the same objects.  When nothing can be lent the\n"
    "object is empty (uuid and data None), without an error: check uuid.\n"
    "release() returns the segment to the pool, where the next borrower gets\n"
    "it with whatever was left in it.  Fields of its own: max_pool_size,\n"
    "pool, src_ma (the borrowed MemArrayOnce, None when nothing is borrowed).",
    rn::INIT);

int reuse_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* a[3];
    rn::ptr keep;
    if (!reuse_init_sig.parse_tuple(args, kwargs, a, keep)) return -1;
    return reuse_init_with(self, a[0], a[1], a[2]);
}

}  // namespace

PyObject* reuse_release_impl(PyObject* self) {
    rn::ptr pool(field(self, RN_ID(pool)));
    if (!pool) return nullptr;
    rn::ptr src(field(self, RN_ID(src_ma)));
    if (!src) return nullptr;
    rn::ptr r(give_back(pool.get(), src.get()));
    if (!r || set_field(self, RN_ID(src_ma), Py_None) < 0) return nullptr;
    Py_RETURN_NONE;
}

namespace {

const rn::Signature reuse_release_sig(
    "MemArrayReuse._release", "",
    "Return the borrowed array to its pool; src_ma becomes None.",
    rn::METHOD);

PyMethodDef reuse_methods[] = {
    reuse_release_sig.def(rn::noargs<reuse_release_sig, reuse_release_impl>),
    {nullptr, nullptr, 0, nullptr}};

PyType_Slot reuse_slots[] = {{Py_tp_doc, (void*)reuse_init_sig.doc()},
                             {Py_tp_init, (void*)reuse_init},
                             {Py_tp_traverse, (void*)rn::plain_traverse},
                             {Py_tp_clear, (void*)rn::plain_clear},
                             {Py_tp_methods, reuse_methods},
                             {0, nullptr}};

}  // namespace

PyType_Spec reuse_spec = {"ravu.mem_array.mem_array.MemArrayReuse", sizeof(Obj), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
                          reuse_slots};

}  // namespace mem_array
