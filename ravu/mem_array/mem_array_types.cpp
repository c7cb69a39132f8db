// Element-type codes (TYPE_DICT_n2t / TYPE_DICT_t2n), the array pool key
// (MemArray.Name) and MAType, one element type in its three forms.
#include "mem_array.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <string>

namespace mem_array {
namespace {

PyObject* key_error(PyObject* key) {
    rn::ptr exc(PyObject_CallOneArg(PyExc_KeyError, key));
    if (exc) PyErr_SetObject(PyExc_KeyError, exc.get());
    return nullptr;
}

}  // namespace

// d[key] as a new reference, KeyError(key) when missing.
PyObject* item(PyObject* d, PyObject* key) {
    if (!PyDict_CheckExact(d)) return PyObject_GetItem(d, key);
    PyObject* v = PyDict_GetItemWithError(d, key);
    if (!v) return PyErr_Occurred() ? nullptr : key_error(key);
    return Py_NewRef(v);
}

// ---------------------------------------------------------------- element types

namespace {

// t.__name__.  The name of a static type (numpy's scalar types) cannot
// change, so the last few are kept with their hash already computed.
PyObject* type_name(PyObject* t) {
    if (!PyType_Check(t) || (((PyTypeObject*)t)->tp_flags & Py_TPFLAGS_HEAPTYPE))
        return PyObject_GetAttr(t, RN_ID(__name__));
    static struct {
        PyObject* type;
        PyObject* name;
    } cache[8];
    static unsigned next = 0;
    for (auto& e : cache)
        if (e.type == t) return Py_NewRef(e.name);
    PyObject* name = PyObject_GetAttr(t, RN_ID(__name__));
    if (!name || !PyUnicode_CheckExact(name)) return name;
    if (PyObject_Hash(name) == -1) PyErr_Clear();
    auto& slot = cache[next++ % 8];
    Py_XDECREF(slot.type);
    Py_XDECREF(slot.name);
    slot.type = Py_NewRef(t);
    slot.name = Py_NewRef(name);
    return name;
}

}  // namespace

bool element_type(PyObject* t, rn::ptr& code, rn::ptr& dtype) {
    if (PyLong_Check(t)) {
        dtype = item(state.code_to_type, t);
        if (!dtype) return false;
        code.set(t, true);
        return true;
    }
    if (PyUnicode_Check(t)) {
        code = item(state.name_to_code, t);
        if (!code) return false;
        dtype = item(state.code_to_type, code.get());
        return bool(dtype);
    }
    rn::ptr name(PyArray_DescrCheck(t) ? PyObject_GetAttr(t, RN_ID(name)) : type_name(t));
    if (!name) return false;
    code = item(state.name_to_code, name.get());
    if (!code) return false;
    dtype = std::move(name);
    return true;
}

namespace {

bool element_code(PyObject* t, rn::ptr& code) {
    rn::ptr dtype;
    return element_type(t, code, dtype);
}

}  // namespace

// A code is kKindStep * kind + bit width.
constexpr long kKindStep = 100;
constexpr long kBitsPerByte = 8;

PyObject* code_size(PyObject* code) {
    long long c;
    if (exact_ll(code, &c)) return PyLong_FromLongLong(rn::floor_mod(c, kKindStep) / kBitsPerByte);
    if (PyErr_Occurred()) return nullptr;
    rn::ptr kind_step(PyLong_FromLong(kKindStep)), bits_per_byte(PyLong_FromLong(kBitsPerByte));
    if (!kind_step || !bits_per_byte) return nullptr;
    rn::ptr bits(PyNumber_Remainder(code, kind_step.get()));
    if (!bits) return nullptr;
    return PyNumber_FloorDivide(bits.get(), bits_per_byte.get());
}

namespace {

// The text of a key: on the stack while short, as it nearly always is.
class KeyText {
public:
    void add(const char* p, size_t n) {
        if (heap_.empty() && len_ + n <= sizeof buf_) {
            std::memcpy(buf_ + len_, p, n);
            len_ += n;
            return;
        }
        if (heap_.empty()) heap_.assign(buf_, len_);
        heap_.append(p, n);
    }
    // str(v) appended: exact ints written here, anything else through str().
    bool add_str(PyObject* v) {
        long long x;
        if (exact_ll(v, &x)) {
            char digits[24];
            const auto res = std::to_chars(digits, digits + sizeof digits, x);
            add(digits, res.ptr - digits);
            return true;
        }
        if (PyErr_Occurred()) return false;
        rn::ptr s(PyObject_Str(v));
        if (!s) return false;
        Py_ssize_t n;
        const char* u = PyUnicode_AsUTF8AndSize(s.get(), &n);
        if (!u) return false;
        ascii_ = ascii_ && PyUnicode_IS_ASCII(s.get());
        add(u, (size_t)n);
        return true;
    }
    PyObject* str() const {
        const char* p = heap_.empty() ? buf_ : heap_.data();
        const size_t n = heap_.empty() ? len_ : heap_.size();
        if (!ascii_) return PyUnicode_DecodeUTF8(p, (Py_ssize_t)n, "surrogatepass");
        PyObject* s = PyUnicode_New((Py_ssize_t)n, 127);
        if (s) std::memcpy(PyUnicode_1BYTE_DATA(s), p, n);
        return s;
    }

private:
    char buf_[96];
    size_t len_ = 0;
    std::string heap_;
    bool ascii_ = true;
};

// The key of a code and dimensions that are all exact ints, written here.
// A service asks for the same few frame shapes over and over: the last
// keys made are kept by their content (code and dimensions), so an equal
// request gets the same str, its hash already computed, and the tables are
// still consulted at every call.
class RecentKeys {
public:
    static constexpr int kMaxDims = 8;
    static constexpr int kSlots = 4;

    // The key, or NULL without an error when the values do not fit here.
    PyObject* get(PyObject* code, PyObject* dims) {
        Entry e;
        if (!exact_ll(code, &e.code)) return nullptr;
        const Py_ssize_t nd = PySequence_Fast_GET_SIZE(dims);
        if (nd > kMaxDims) return nullptr;
        e.nd = (int)nd;
        for (int i = 0; i < e.nd; ++i)
            if (!exact_ll(PySequence_Fast_GET_ITEM(dims, i), &e.dims[i])) return nullptr;
        for (const Entry& k : slots_)
            if (k.key && k.same(e)) return Py_NewRef(k.key);
        KeyText text;
        add_ll(text, e.code);
        text.add("-", 1);
        for (int i = 0; i < e.nd; ++i) {
            if (i) text.add("-", 1);
            add_ll(text, e.dims[i]);
        }
        e.key = text.str();
        if (!e.key) return nullptr;
        Entry& slot = slots_[next_++ % kSlots];
        PyObject* old = slot.key;
        slot = e;
        Py_INCREF(e.key);
        Py_XDECREF(old);  // a str: its release runs no code
        return e.key;
    }

private:
    struct Entry {
        long long code = 0;
        int nd = 0;
        long long dims[kMaxDims];
        PyObject* key = nullptr;
        bool same(const Entry& o) const {
            return code == o.code && nd == o.nd && std::equal(dims, dims + nd, o.dims);
        }
    };
    static void add_ll(KeyText& text, long long x) {
        char digits[24];
        const auto res = std::to_chars(digits, digits + sizeof digits, x);
        text.add(digits, res.ptr - digits);
    }
    Entry slots_[kSlots];
    unsigned next_ = 0;
};

}  // namespace

// MemArray.Name(shape, dtype): str(code) + "-" + "-".join(map(str, shape)).
PyObject* pool_key(PyObject* shape, PyObject* dtype) {
    rn::ptr code;
    if (!element_code(dtype, code)) return nullptr;
    rn::ptr keep;
    PyObject* dims = dims_of(shape, keep);
    if (!dims) return nullptr;
    static RecentKeys recent;
    if (PyObject* key = recent.get(code.get(), dims)) return key;
    if (PyErr_Occurred()) return nullptr;
    KeyText text;
    if (!text.add_str(code.get())) return nullptr;
    text.add("-", 1);
    // A list may change while str() of an element runs: index afresh.
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(dims); ++i) {
        if (i) text.add("-", 1);
        rn::ptr d(Py_NewRef(PySequence_Fast_GET_ITEM(dims, i)));
        if (!text.add_str(d.get())) return nullptr;
    }
    return text.str();
}

// ---------------------------------------------------------------- MAType

namespace {

struct MAType {
    PyObject_HEAD
    PyObject* code;
    PyObject* dtype;
    PyObject* size;
    PyObject* dict;
};

const rn::Signature matype_init_sig(
    "MAType.__init__", "t",
    "One element type in three forms: its code, a numpy form and its size.\n\n"
    "t is an element-type code (int: 100 * kind + bit width, kind 1 unsigned,\n"
    "2 signed, 3 float), a type name such as 'uint8', a numpy dtype or a\n"
    "numpy scalar type.  `code` is the int code, `dtype` the numpy type (for\n"
    "a code or a name) or the type's name (for a dtype or a type), `size`\n"
    "the bytes per element (code % 100 // 8).  Raises KeyError for a type\n"
    "outside TYPE_DICT_n2t / TYPE_DICT_t2n (bool among them, except as the\n"
    "bare code 101).",
    rn::INIT);

int matype_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* a[1];
    rn::ptr keep;
    if (!matype_init_sig.parse_tuple(args, kwargs, a, keep)) return -1;
    rn::ptr code, dtype;
    if (!element_type(a[0], code, dtype)) return -1;
    rn::ptr size(code_size(code.get()));
    if (!size) return -1;
    MAType* m = reinterpret_cast<MAType*>(self);
    Py_XSETREF(m->code, code.release());
    Py_XSETREF(m->dtype, dtype.release());
    Py_XSETREF(m->size, size.release());
    return 0;
}

template <PyObject* MAType::*F>
PyObject* matype_get(PyObject* self, void*) {
    PyObject* v = reinterpret_cast<MAType*>(self)->*F;
    return Py_NewRef(v ? v : Py_None);
}

int matype_traverse(PyObject* self, visitproc visit, void* arg) {
    MAType* m = reinterpret_cast<MAType*>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(m->code);
    Py_VISIT(m->dtype);
    Py_VISIT(m->size);
    Py_VISIT(m->dict);
    return 0;
}

int matype_clear(PyObject* self) {
    MAType* m = reinterpret_cast<MAType*>(self);
    Py_CLEAR(m->code);
    Py_CLEAR(m->dtype);
    Py_CLEAR(m->size);
    Py_CLEAR(m->dict);
    return 0;
}

PyMemberDef matype_members[] = {
    {"_code", T_OBJECT, offsetof(MAType, code), 0, nullptr},
    {"_dtype", T_OBJECT, offsetof(MAType, dtype), 0, nullptr},
    {"_size", T_OBJECT, offsetof(MAType, size), 0, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(MAType, dict), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr}};

PyGetSetDef matype_getset[] = {
    {"code", matype_get<&MAType::code>, nullptr, "The element-type code (int).", nullptr},
    {"dtype", matype_get<&MAType::dtype>, nullptr,
     "The numpy type (given a code or a name) or the type's name (given a dtype or a type).",
     nullptr},
    {"size", matype_get<&MAType::size>, nullptr, "Bytes per element (int).", nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyType_Slot matype_slots[] = {{Py_tp_doc, (void*)matype_init_sig.doc()},
                              {Py_tp_init, (void*)matype_init},
                              {Py_tp_traverse, (void*)matype_traverse},
                              {Py_tp_clear, (void*)matype_clear},
                              {Py_tp_dealloc, (void*)rn::gc_dealloc<matype_clear>},
                              {Py_tp_members, matype_members},
                              {Py_tp_getset, matype_getset},
                              {0, nullptr}};

}  // namespace

PyType_Spec matype_spec = {"ravu.mem_array.mem_array.MAType", sizeof(MAType), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
                           matype_slots};

}  // namespace mem_array
