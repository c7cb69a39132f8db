// The datagram body of ravu.utils.logging's CollectHandler: pickle.dumps(d, 1)
// of a record's attribute dict written straight into a byte buffer, the
// very bytes the standard pickler writes, for the plain values records
// hold.  The handler falls back on the standard pickler for anything else.
#pragma once

#include "rn.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

namespace collect {

// A byte buffer written through a raw pointer: room is made once per item.
class Bytes {
public:
    void reset(size_t prefix) {
        if (cap_ < 4096) grow(4096);
        end_ = buf_ + prefix;
    }
    void room(size_t n) {
        if ((size_t)(buf_ + cap_ - end_) < n) grow(cap_ * 2 + n);
    }
    char* at() { return end_; }
    void advance(char* p) { end_ = p; }
    char* data() { return buf_; }
    size_t size() const { return (size_t)(end_ - buf_); }
    void resize(size_t n) { end_ = buf_ + n; }
    void append(const char* s, size_t n) {
        room(n);
        std::memcpy(end_, s, n);
        end_ += n;
    }
    // After a huge record, the memory goes back.
    void trim() {
        if (cap_ > (1u << 20)) {
            std::free(buf_);
            buf_ = end_ = nullptr;
            cap_ = 0;
        }
    }

private:
    void grow(size_t cap) {
        const size_t used = size();
        char* b = (char*)std::realloc(buf_, cap);
        if (!b) throw std::bad_alloc();
        buf_ = b;
        end_ = b + used;
        cap_ = cap;
    }
    char* buf_ = nullptr;
    char* end_ = nullptr;
    size_t cap_ = 0;
};

inline char* le32(char* p, uint32_t v) {
    p[0] = (char)v;
    p[1] = (char)(v >> 8);
    p[2] = (char)(v >> 16);
    p[3] = (char)(v >> 24);
    return p + 4;
}

// The datagram's length prefix, struct '>L'.
inline char* be32(char* p, uint32_t v) {
    p[0] = (char)(v >> 24);
    p[1] = (char)(v >> 16);
    p[2] = (char)(v >> 8);
    p[3] = (char)v;
    return p + 4;
}

// pickle.dumps(d, 1) for a dict whose keys and values are exact str, int,
// float, bool or None: the very bytes the standard pickler writes (the dict
// memoised first, every str memoised once and referred back to by identity,
// items in one MARK ... SETITEMS batch).  Returns false without an
// exception for anything else, and the caller uses the standard pickler.
class Protocol1Writer {
public:
    explicit Protocol1Writer(Bytes& out) : out_(out) {}

    bool dict(PyObject* d) {
        if (!PyDict_CheckExact(d)) return false;
        const Py_ssize_t size = PyDict_GET_SIZE(d);
        if (size < 1 || size >= 1000) return false;  // other batching
        out_.room(8);
        char* p = out_.at();
        *p++ = '}';
        p = put_memo(p);  // the dict is index 0
        if (size > 1) *p++ = '(';
        out_.advance(p);
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(d, &pos, &key, &value)) {
            if (!PyUnicode_CheckExact(key) || !text(key) || !scalar(value)) return false;
        }
        out_.room(2);
        p = out_.at();
        *p++ = size > 1 ? 'u' : 's';
        *p++ = '.';
        out_.advance(p);
        return true;
    }

private:
    char* put_memo(char* p) {
        const uint32_t idx = next_++;
        if (idx < 256) {
            *p++ = 'q';
            *p++ = (char)idx;
            return p;
        }
        *p++ = 'r';
        return le32(p, idx);
    }
    // Memo of str objects by identity, linear: a record holds a few dozen.
    int64_t memo_find(PyObject* s) const {
        for (size_t i = 0; i < used_; ++i)
            if (keys_[i] == s) return (int64_t)i + 1;  // index 0 is the dict
        return -1;
    }
    bool text(PyObject* s) {
        const int64_t seen = memo_find(s);
        out_.room(8);
        char* p = out_.at();
        if (seen >= 0) {
            if (seen < 256) {
                *p++ = 'h';
                *p++ = (char)seen;
            } else {
                *p++ = 'j';
                p = le32(p, (uint32_t)seen);
            }
            out_.advance(p);
            return true;
        }
        Py_ssize_t n;
        const char* utf8 = PyUnicode_AsUTF8AndSize(s, &n);
        if (!utf8) {  // lone surrogates: the standard pickler's "surrogatepass"
            PyErr_Clear();
            return false;
        }
        if ((unsigned long long)n > 0xFFFFFFFFull || used_ == kMemo) return false;
        keys_[used_++] = s;
        out_.room((size_t)n + 16);
        p = out_.at();
        *p++ = 'X';
        p = le32(p, (uint32_t)n);
        std::memcpy(p, utf8, (size_t)n);
        p = put_memo(p + n);
        out_.advance(p);
        return true;
    }
    bool scalar(PyObject* v) {
        if (PyUnicode_CheckExact(v)) return text(v);
        out_.room(32);
        char* p = out_.at();
        if (v == Py_None) {
            *p++ = 'N';
        } else if (v == Py_True || v == Py_False) {
            std::memcpy(p, v == Py_True ? "I01\n" : "I00\n", 4);
            p += 4;
        } else if (PyLong_CheckExact(v)) {
            int overflow;
            const long long x = PyLong_AsLongLongAndOverflow(v, &overflow);
            if (overflow == 0 && x == -1 && PyErr_Occurred()) return false;
            if (!overflow && x >= -0x80000000LL && x <= 0x7fffffffLL) {
                const uint32_t u = (uint32_t)x;
                if (u >> 16) {
                    *p++ = 'J';
                    p = le32(p, u);
                } else if (u >> 8) {
                    *p++ = 'M';
                    *p++ = (char)u;
                    *p++ = (char)(u >> 8);
                } else {
                    *p++ = 'K';
                    *p++ = (char)u;
                }
            } else if (!overflow) {
                // Protocol 1 writes larger integers as decimal text: L...L\n
                char digits[24];
                char* end = digits + sizeof digits;
                char* q = end;
                unsigned long long m = x < 0 ? 0ull - (unsigned long long)x : (unsigned long long)x;
                do {
                    *--q = (char)('0' + m % 10);
                    m /= 10;
                } while (m);
                if (x < 0) *--q = '-';
                *p++ = 'L';
                std::memcpy(p, q, (size_t)(end - q));
                p += end - q;
                *p++ = 'L';
                *p++ = '\n';
            } else {
                rn::ptr repr(PyObject_Repr(v));
                if (!repr) return false;
                Py_ssize_t n;
                const char* r = PyUnicode_AsUTF8AndSize(repr.get(), &n);
                if (!r) return false;
                out_.append("L", 1);
                out_.append(r, (size_t)n);
                out_.append("L\n", 2);
                return true;
            }
        } else if (PyFloat_CheckExact(v)) {
            const double x = PyFloat_AS_DOUBLE(v);
            uint64_t bits;
            std::memcpy(&bits, &x, 8);
            *p++ = 'G';
            for (int i = 7; i >= 0; --i) *p++ = (char)(bits >> (8 * i));
        } else {
            return false;
        }
        out_.advance(p);
        return true;
    }

    static constexpr size_t kMemo = 200;
    Bytes& out_;
    uint32_t next_ = 0;
    size_t used_ = 0;
    PyObject* keys_[kMemo];
};

}  // namespace collect
