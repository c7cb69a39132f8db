// A pickle decoder for plain data only: it reads the opcodes that encode
// None, truth values, integers, floats, text, bytes, lists, tuples, dicts and
// sets, and refuses every opcode that names, builds or calls code (GLOBAL,
// STACK_GLOBAL, REDUCE, BUILD, INST, OBJ, NEWOBJ, EXT*, persistent ids,
// out-of-band buffers).  No Python here: it turns bytes from the network
// into a tree of `Value`s, which the caller then converts under the GIL.
//
// Memo references (GET) may name only scalar values, never containers, so
// the result is always a tree: no shared or cyclic containers can be built.
#pragma once

#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace rn {
namespace pickle {

enum class Kind : uint8_t {
    None,
    Bool,
    Int,       // fits int64: `i`
    BigText,   // decimal digits with an optional leading '-': `s`
    BigBytes,  // two's complement, little-endian: `s`
    Float,     // `f`
    Str,       // UTF-8 as sent (lone surrogates allowed, "surrogatepass"): `s`
    Bytes,     // `s`
    List,      // `items`
    Tuple,
    Dict,  // `items` holds key, value, key, value, ...
    Set,
    FrozenSet,
    Container,  // memo placeholder for a container; never part of a result
};

struct Value {
    Kind kind = Kind::None;
    bool flag = false;
    int64_t i = 0;
    double f = 0;
    std::string s;
    std::vector<Value> items;
    uint32_t depth = 0;  // containers nested inside this value

    static Value make(Kind k) {
        Value v;
        v.kind = k;
        return v;
    }
    bool is_container() const {
        return kind == Kind::List || kind == Kind::Tuple || kind == Kind::Dict ||
               kind == Kind::Set || kind == Kind::FrozenSet;
    }
};

class Decoder {
public:
    explicit Decoder(uint32_t max_depth = 64) : max_depth_(max_depth) {}

    // Decodes one pickle from data[0, n); bytes after its STOP are ignored.
    // On failure returns false and error() says why and where.
    bool decode(const uint8_t* data, size_t n, Value& out) {
        p_ = data;
        end_ = data + n;
        begin_ = data;
        stack_.clear();
        marks_.clear();
        memo_.clear();
        error_.clear();
        while (true) {
            if (p_ >= end_) return fail("pickle data was truncated");
            op_at_ = (size_t)(p_ - begin_);
            const uint8_t op = *p_++;
            if (!step(op, out)) return false;
            if (done_) {
                done_ = false;
                return true;
            }
        }
    }

    const std::string& error() const { return error_; }

private:
    // ---- reading
    bool need(size_t k) {
        if ((size_t)(end_ - p_) < k) return fail("pickle data was truncated");
        return true;
    }
    uint64_t le(size_t k) {
        uint64_t v = 0;
        for (size_t j = 0; j < k; ++j) v |= (uint64_t)p_[j] << (8 * j);
        p_ += k;
        return v;
    }
    bool line(std::string& out) {
        const uint8_t* nl = (const uint8_t*)std::memchr(p_, '\n', (size_t)(end_ - p_));
        if (!nl) return fail("pickle data was truncated");
        out.assign((const char*)p_, (size_t)(nl - p_));
        p_ = nl + 1;
        return true;
    }
    bool counted(size_t len_bytes, std::string& out) {
        if (!need(len_bytes)) return false;
        const uint64_t k = le(len_bytes);
        if (len_bytes == 4 && (k & 0x80000000u)) return fail("negative byte count");
        if (!need((size_t)k)) return false;
        out.assign((const char*)p_, (size_t)k);
        p_ += k;
        return true;
    }

    bool fail(const std::string& why) {
        error_ = why + " (at byte " + std::to_string(op_at_) + ")";
        return false;
    }
    bool refuse(const char* name) {
        return fail(std::string("refused opcode ") + name + ": it names or calls code");
    }

    // ---- stack
    void push(Value&& v) { stack_.push_back(std::move(v)); }
    bool need_stack(size_t k) {
        const size_t floor = marks_.empty() ? 0 : marks_.back();
        if (stack_.size() < floor + k) return fail("unpickling stack underflow");
        return true;
    }
    bool pop_mark(size_t& mark) {
        if (marks_.empty()) return fail("could not find MARK");
        mark = marks_.back();
        marks_.pop_back();
        return true;
    }
    bool adopt(Value& parent, Value&& child) {
        const uint32_t d = child.is_container() ? child.depth + 1 : 0;
        if (d > max_depth_) return fail("containers nested too deeply");
        if (d > parent.depth) parent.depth = d;
        parent.items.push_back(std::move(child));
        return true;
    }
    // Pops the items from `mark` on into a new container of kind `k`.
    bool collect(size_t mark, Kind k, Value& out) {
        out = Value::make(k);
        out.items.reserve(stack_.size() - mark);
        for (size_t j = mark; j < stack_.size(); ++j)
            if (!adopt(out, std::move(stack_[j]))) return false;
        stack_.resize(mark);
        return true;
    }
    // ---- numbers
    static bool decimal(const std::string& text, Value& out) {
        size_t j = 0;
        if (j < text.size() && (text[j] == '-' || text[j] == '+')) ++j;
        if (j == text.size()) return false;
        for (size_t q = j; q < text.size(); ++q)
            if (text[q] < '0' || text[q] > '9') return false;
        int64_t v = 0;
        const char* first = text.data() + (text[0] == '+' ? 1 : 0);
        auto r = std::from_chars(first, text.data() + text.size(), v);
        if (r.ec == std::errc() && r.ptr == text.data() + text.size()) {
            out = Value::make(Kind::Int);
            out.i = v;
            return true;
        }
        out = Value::make(Kind::BigText);
        out.s = text[0] == '+' ? text.substr(1) : text;
        return true;
    }
    static Value from_le_signed(const std::string& bytes) {
        const size_t n = bytes.size();
        if (n <= 8) {
            uint64_t u = 0;
            for (size_t j = 0; j < n; ++j) u |= (uint64_t)(uint8_t)bytes[j] << (8 * j);
            if (n && n < 8 && ((uint8_t)bytes[n - 1] & 0x80)) u |= ~0ull << (8 * n);
            Value v = Value::make(Kind::Int);
            v.i = (int64_t)u;
            return v;
        }
        Value v = Value::make(Kind::BigBytes);
        v.s = bytes;
        return v;
    }

    // raw-unicode-escape, as protocol 0 writes text: bytes are Latin-1 code
    // points except \uXXXX and \UXXXXXXXX after an odd run of backslashes.
    static void put_utf8(std::string& out, uint32_t c) {
        if (c < 0x80) {
            out += (char)c;
        } else if (c < 0x800) {
            out += (char)(0xC0 | (c >> 6));
            out += (char)(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += (char)(0xE0 | (c >> 12));
            out += (char)(0x80 | ((c >> 6) & 0x3F));
            out += (char)(0x80 | (c & 0x3F));
        } else {
            out += (char)(0xF0 | (c >> 18));
            out += (char)(0x80 | ((c >> 12) & 0x3F));
            out += (char)(0x80 | ((c >> 6) & 0x3F));
            out += (char)(0x80 | (c & 0x3F));
        }
    }
    bool raw_unicode_escape(const std::string& in, std::string& out) {
        out.clear();
        size_t j = 0;
        while (j < in.size()) {
            if (in[j] != '\\') {
                put_utf8(out, (uint8_t)in[j++]);
                continue;
            }
            size_t run = 0;
            while (j < in.size() && in[j] == '\\') {
                ++run;
                ++j;
            }
            const bool escape = (run & 1) && j < in.size() && (in[j] == 'u' || in[j] == 'U');
            out.append(escape ? run - 1 : run, '\\');
            if (!escape) continue;
            const size_t digits = in[j] == 'u' ? 4 : 8;
            ++j;
            if (in.size() - j < digits) return fail("truncated \\uXXXX escape");
            uint32_t c = 0;
            for (size_t q = 0; q < digits; ++q, ++j) {
                const char h = in[j];
                int d = (h >= '0' && h <= '9')   ? h - '0'
                        : (h >= 'a' && h <= 'f') ? h - 'a' + 10
                        : (h >= 'A' && h <= 'F') ? h - 'A' + 10
                                                 : -1;
                if (d < 0) return fail("truncated \\uXXXX escape");
                c = (c << 4) | (uint32_t)d;
            }
            if (c > 0x10FFFF) return fail("\\Uxxxxxxxx out of range");
            put_utf8(out, c);
        }
        return true;
    }

    // ---- memo
    bool memo_put(uint64_t index) {
        if (!need_stack(1)) return false;
        const Value& top = stack_.back();
        if (top.is_container()) {
            memo_[index] = Value::make(Kind::Container);
        } else {
            memo_[index] = top;
        }
        return true;
    }
    bool memo_get(uint64_t index) {
        auto it = memo_.find(index);
        if (it == memo_.end()) return fail("memo value not found at index " + std::to_string(index));
        if (it->second.kind == Kind::Container)
            return fail("memo reference to a container is not accepted");
        push(Value(it->second));
        return true;
    }
    bool memo_index_line(uint64_t& index) {
        std::string text;
        if (!line(text)) return false;
        auto r = std::from_chars(text.data(), text.data() + text.size(), index);
        if (r.ec != std::errc() || r.ptr != text.data() + text.size() || text.empty())
            return fail("invalid memo index");
        return true;
    }

    bool step(uint8_t op, Value& out) {
        switch (op) {
        case 0x80: {  // PROTO
            if (!need(1)) return false;
            if (*p_ > 5) return fail("unsupported pickle protocol: " + std::to_string(*p_));
            ++p_;
            return true;
        }
        case 0x95:  // FRAME: framing only, the bytes follow in line
            if (!need(8)) return false;
            p_ += 8;
            return true;
        case '.': {  // STOP
            if (stack_.empty() || !need_stack(1)) return fail("unpickling stack underflow");
            out = std::move(stack_.back());
            done_ = true;
            return true;
        }
        case '(':
            marks_.push_back(stack_.size());
            return true;
        case '0':  // POP: the top item, or a mark standing on top
            if (!marks_.empty() && marks_.back() == stack_.size()) {
                marks_.pop_back();
                return true;
            }
            if (!need_stack(1)) return false;
            stack_.pop_back();
            return true;
        case '1': {  // POP_MARK
            size_t mark;
            if (!pop_mark(mark)) return false;
            stack_.resize(mark);
            return true;
        }
        case '2':  // DUP
            if (!need_stack(1)) return false;
            if (stack_.back().is_container()) return fail("DUP of a container is not accepted");
            push(Value(stack_.back()));
            return true;

        case 'N':
            push(Value::make(Kind::None));
            return true;
        case 0x88:
        case 0x89: {
            Value v = Value::make(Kind::Bool);
            v.flag = op == 0x88;
            push(std::move(v));
            return true;
        }
        case 'I': {  // INT: decimal text, "00"/"01" for truth values
            std::string text;
            if (!line(text)) return false;
            if (text == "00" || text == "01") {
                Value v = Value::make(Kind::Bool);
                v.flag = text == "01";
                push(std::move(v));
                return true;
            }
            Value v;
            if (!decimal(text, v)) return fail("invalid INT text");
            push(std::move(v));
            return true;
        }
        case 'L': {  // LONG: decimal text with an optional trailing 'L'
            std::string text;
            if (!line(text)) return false;
            if (!text.empty() && text.back() == 'L') text.pop_back();
            Value v;
            if (!decimal(text, v)) return fail("invalid LONG text");
            push(std::move(v));
            return true;
        }
        case 'J': {
            if (!need(4)) return false;
            Value v = Value::make(Kind::Int);
            v.i = (int32_t)(uint32_t)le(4);
            push(std::move(v));
            return true;
        }
        case 'K':
        case 'M': {
            const size_t k = op == 'K' ? 1 : 2;
            if (!need(k)) return false;
            Value v = Value::make(Kind::Int);
            v.i = (int64_t)le(k);
            push(std::move(v));
            return true;
        }
        case 0x8a:  // LONG1
        case 0x8b: {  // LONG4
            std::string bytes;
            if (!counted(op == 0x8a ? 1 : 4, bytes)) return false;
            push(from_le_signed(bytes));
            return true;
        }
        case 'F': {
            std::string text;
            if (!line(text)) return false;
            Value v = Value::make(Kind::Float);
            auto r = std::from_chars(text.data(), text.data() + text.size(), v.f);
            if (r.ec != std::errc() || r.ptr != text.data() + text.size() || text.empty())
                return fail("invalid FLOAT text");
            push(std::move(v));
            return true;
        }
        case 'G': {
            if (!need(8)) return false;
            uint64_t bits = 0;
            for (int j = 0; j < 8; ++j) bits = (bits << 8) | p_[j];
            p_ += 8;
            Value v = Value::make(Kind::Float);
            std::memcpy(&v.f, &bits, 8);
            push(std::move(v));
            return true;
        }

        case 'V': {
            std::string text;
            if (!line(text)) return false;
            Value v = Value::make(Kind::Str);
            if (!raw_unicode_escape(text, v.s)) return false;
            push(std::move(v));
            return true;
        }
        case 'X':
        case 0x8c:
        case 0x8d: {
            Value v = Value::make(Kind::Str);
            if (!counted(op == 'X' ? 4 : op == 0x8c ? 1 : 8, v.s)) return false;
            push(std::move(v));
            return true;
        }
        case 'T':
        case 'U': {  // old byte strings, read as ASCII text as pickle.loads does
            Value v = Value::make(Kind::Str);
            if (!counted(op == 'T' ? 4 : 1, v.s)) return false;
            for (char c : v.s)
                if ((uint8_t)c >= 0x80) return fail("non-ASCII byte string");
            push(std::move(v));
            return true;
        }
        case 'B':
        case 'C':
        case 0x8e: {
            Value v = Value::make(Kind::Bytes);
            if (!counted(op == 'B' ? 4 : op == 'C' ? 1 : 8, v.s)) return false;
            push(std::move(v));
            return true;
        }

        case '}':
            push(Value::make(Kind::Dict));
            return true;
        case ']':
            push(Value::make(Kind::List));
            return true;
        case ')':
            push(Value::make(Kind::Tuple));
            return true;
        case 0x8f:
            push(Value::make(Kind::Set));
            return true;
        case 'l':
        case 't':
        case 0x91: {  // LIST, TUPLE, FROZENSET from the mark
            size_t mark;
            if (!pop_mark(mark)) return false;
            Value v;
            if (!collect(mark, op == 'l' ? Kind::List : op == 't' ? Kind::Tuple : Kind::FrozenSet,
                         v))
                return false;
            push(std::move(v));
            return true;
        }
        case 'd': {
            size_t mark;
            if (!pop_mark(mark)) return false;
            if ((stack_.size() - mark) & 1) return fail("odd number of items for DICT");
            Value v;
            if (!collect(mark, Kind::Dict, v)) return false;
            push(std::move(v));
            return true;
        }
        case 0x85:
        case 0x86:
        case 0x87: {
            const size_t k = (size_t)(op - 0x84);
            if (!need_stack(k)) return false;
            Value v;
            if (!collect(stack_.size() - k, Kind::Tuple, v)) return false;
            push(std::move(v));
            return true;
        }
        case 's': {  // SETITEM
            if (!need_stack(3)) return false;
            Value& target = stack_[stack_.size() - 3];
            if (target.kind != Kind::Dict) return fail("SETITEM on a value that is not a dict");
            Value value = std::move(stack_.back());
            stack_.pop_back();
            Value key = std::move(stack_.back());
            stack_.pop_back();
            return adopt(target, std::move(key)) && adopt(target, std::move(value));
        }
        case 'a': {  // APPEND
            if (!need_stack(2)) return false;
            Value& target = stack_[stack_.size() - 2];
            if (target.kind != Kind::List) return fail("APPEND to a value that is not a list");
            Value value = std::move(stack_.back());
            stack_.pop_back();
            return adopt(target, std::move(value));
        }
        case 'u':
        case 'e':
        case 0x90: {  // SETITEMS, APPENDS, ADDITEMS: items from the mark into the item below it
            size_t mark;
            if (!pop_mark(mark)) return false;
            if (mark == 0 || mark <= (marks_.empty() ? 0 : marks_.back()))
                return fail("unpickling stack underflow");
            Value& target = stack_[mark - 1];
            const Kind want = op == 'u' ? Kind::Dict : op == 'e' ? Kind::List : Kind::Set;
            if (target.kind != want) return fail("items added to a value of another kind");
            if (op == 'u' && ((stack_.size() - mark) & 1))
                return fail("odd number of items for SETITEMS");
            for (size_t j = mark; j < stack_.size(); ++j)
                if (!adopt(target, std::move(stack_[j]))) return false;
            stack_.resize(mark);
            return true;
        }

        case 'p': {
            uint64_t index;
            return memo_index_line(index) && memo_put(index);
        }
        case 'q':
            return need(1) && memo_put(le(1));
        case 'r':
            return need(4) && memo_put(le(4));
        case 0x94:
            return memo_put(memo_.size());
        case 'g': {
            uint64_t index;
            return memo_index_line(index) && memo_get(index);
        }
        case 'h':
            return need(1) && memo_get(le(1));
        case 'j':
            return need(4) && memo_get(le(4));

        // Everything that imports, constructs or calls: never.
        case 'c': return refuse("GLOBAL");
        case 0x93: return refuse("STACK_GLOBAL");
        case 'R': return refuse("REDUCE");
        case 'b': return refuse("BUILD");
        case 'i': return refuse("INST");
        case 'o': return refuse("OBJ");
        case 0x81: return refuse("NEWOBJ");
        case 0x92: return refuse("NEWOBJ_EX");
        case 0x82: return refuse("EXT1");
        case 0x83: return refuse("EXT2");
        case 0x84: return refuse("EXT4");
        case 'P': return refuse("PERSID");
        case 'Q': return refuse("BINPERSID");
        case 0x97: return refuse("NEXT_BUFFER");
        case 0x98: return refuse("READONLY_BUFFER");
        case 'S': return fail("STRING opcode is not accepted");
        case 0x96: return fail("BYTEARRAY8 opcode is not accepted");
        default: {
            char buf[48];
            std::snprintf(buf, sizeof buf, "invalid load key, '\\x%02x'", op);
            return fail(buf);
        }
        }
    }

    const uint8_t* p_ = nullptr;
    const uint8_t* end_ = nullptr;
    const uint8_t* begin_ = nullptr;
    size_t op_at_ = 0;
    bool done_ = false;
    uint32_t max_depth_;
    std::vector<Value> stack_;
    std::vector<size_t> marks_;
    std::unordered_map<uint64_t, Value> memo_;
    std::string error_;
};

}  // namespace pickle
}  // namespace rn
