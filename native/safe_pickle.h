// A pickle decoder for plain data only: it reads the opcodes that encode
// None, truth values, integers, floats, text, bytes, lists, tuples, dicts and
// sets, and refuses every opcode that names, builds or calls code (GLOBAL,
// STACK_GLOBAL, REDUCE, BUILD, INST, OBJ, NEWOBJ, EXT*, persistent ids,
// out-of-band buffers).  No Python here: it turns bytes from the network
// into a tree of nodes, which the caller converts under the GIL.
//
// Memo references (GET) may name only scalar values, never containers, so
// the result is always a tree: no shared or cyclic containers can be built.
//
// Nodes go into an arena that the caller owns and reuses (many records may
// share one), and text is not copied: a node names its bytes by offset in
// the input, or in `extra` for the little text that decoding produces
// (protocol 0's escaped text).  So a steady stream costs no allocations.
#pragma once

#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace rn {
namespace pickle {

enum class Kind : uint8_t {
    None,
    Bool,      // `i` is 0 or 1
    Int,       // fits int64: `i`
    BigText,   // decimal digits with an optional leading '-'
    BigBytes,  // two's complement, little-endian
    Float,     // `f`
    Str,       // UTF-8 as sent (lone surrogates allowed, "surrogatepass")
    Bytes,
    List,
    Tuple,
    Dict,  // children: key, value, key, value, ...
    Set,
    FrozenSet,
};

constexpr uint32_t kNoNode = 0xFFFFFFFFu;

struct Node {
    Kind kind = Kind::None;
    bool extra = false;  // text in `extra`, not in the input
    uint32_t depth = 0;  // containers nested inside this one
    uint32_t count = 0;  // children
    uint32_t off = 0, len = 0;  // text
    uint32_t first = kNoNode, last = kNoNode, next = kNoNode;  // children, siblings
    int64_t i = 0;
    double f = 0;

    bool is_container() const { return kind >= Kind::List; }
};

class Decoder {
public:
    explicit Decoder(uint32_t max_depth = 64) : max_depth_(max_depth) {}

    // Decodes one pickle from data[0, n); bytes after its STOP are ignored.
    // Appends its nodes to `nodes` and the text it makes to `extra`; text
    // offsets of input text are counted from data[0] plus `text_base`.  On
    // failure returns false (nodes appended so far stay) and error() says
    // why and where.
    bool decode(const uint8_t* data, size_t n, std::vector<Node>& nodes, std::string& extra,
                uint32_t& root, uint32_t text_base = 0) {
        p_ = begin_ = data;
        end_ = data + n;
        nodes_ = &nodes;
        extra_ = &extra;
        base_ = text_base;
        stack_.clear();
        marks_.clear();
        memo_.clear();
        error_.clear();
        done_ = false;
        while (!done_) {
            if (p_ >= end_) return fail("pickle data was truncated");
            op_at_ = (size_t)(p_ - begin_);
            const uint8_t op = *p_++;
            if (!step(op)) return false;
        }
        root = root_;
        return true;
    }

    const std::string& error() const { return error_; }

private:
    // ---- nodes
    uint32_t add(Kind k) {
        nodes_->emplace_back();
        nodes_->back().kind = k;
        return (uint32_t)(nodes_->size() - 1);
    }
    Node& at(uint32_t idx) { return (*nodes_)[idx]; }
    uint32_t add_text(Kind k, const uint8_t* from, size_t len) {
        const uint32_t idx = add(k);
        at(idx).off = base_ + (uint32_t)(from - begin_);
        at(idx).len = (uint32_t)len;
        return idx;
    }

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
    // The text up to the next line feed; `p_` moves past it.
    bool line(const uint8_t*& text, size_t& len) {
        const uint8_t* nl = (const uint8_t*)std::memchr(p_, '\n', (size_t)(end_ - p_));
        if (!nl) return fail("pickle data was truncated");
        text = p_;
        len = (size_t)(nl - p_);
        p_ = nl + 1;
        return true;
    }
    // A length of `len_bytes` bytes, then that many bytes.
    bool counted(size_t len_bytes, const uint8_t*& text, size_t& len) {
        if (!need(len_bytes)) return false;
        const uint64_t k = le(len_bytes);
        if (len_bytes == 4 && (k & 0x80000000u)) return fail("negative byte count");
        if (!need((size_t)k)) return false;
        text = p_;
        len = (size_t)k;
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
    bool adopt(uint32_t parent, uint32_t child) {
        const Node& c = at(child);
        const uint32_t d = c.is_container() ? c.depth + 1 : 0;
        if (d > max_depth_) return fail("containers nested too deeply");
        Node& p = at(parent);
        if (d > p.depth) p.depth = d;
        if (p.last == kNoNode) p.first = child;
        else at(p.last).next = child;
        p.last = child;
        ++p.count;
        return true;
    }
    // Items from `mark` on become the children of `target`.
    bool adopt_from(size_t mark, uint32_t target) {
        for (size_t j = mark; j < stack_.size(); ++j)
            if (!adopt(target, stack_[j])) return false;
        stack_.resize(mark);
        return true;
    }
    bool collect(size_t mark, Kind k) {
        const uint32_t idx = add(k);
        if (!adopt_from(mark, idx)) return false;
        stack_.push_back(idx);
        return true;
    }
    void push_int(int64_t v, Kind k = Kind::Int) {
        const uint32_t idx = add(k);
        at(idx).i = v;
        stack_.push_back(idx);
    }

    // ---- numbers
    // Decimal text, an optional sign: Int when it fits, else BigText.
    bool decimal(const uint8_t* text, size_t len) {
        const char* s = (const char*)text;
        const char* e = s + len;
        const bool plus = s < e && *s == '+';
        if (plus) ++s;
        const char* digits = !plus && s < e && *s == '-' ? s + 1 : s;
        if (digits == e) return false;
        for (const char* q = digits; q < e; ++q)
            if (*q < '0' || *q > '9') return false;
        int64_t v = 0;
        auto r = std::from_chars(s, e, v);
        if (r.ec == std::errc() && r.ptr == e) {
            push_int(v);
            return true;
        }
        stack_.push_back(add_text(Kind::BigText, (const uint8_t*)s, (size_t)(e - s)));
        return true;
    }
    void little_endian_signed(const uint8_t* bytes, size_t n) {
        if (n <= 8) {
            uint64_t u = 0;
            for (size_t j = 0; j < n; ++j) u |= (uint64_t)bytes[j] << (8 * j);
            if (n && n < 8 && (bytes[n - 1] & 0x80)) u |= ~0ull << (8 * n);
            push_int((int64_t)u);
            return;
        }
        stack_.push_back(add_text(Kind::BigBytes, bytes, n));
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
    bool raw_unicode_escape(const uint8_t* in, size_t n) {
        std::string& out = *extra_;
        const size_t start = out.size();
        size_t j = 0;
        while (j < n) {
            if (in[j] != '\\') {
                put_utf8(out, in[j++]);
                continue;
            }
            size_t run = 0;
            while (j < n && in[j] == '\\') {
                ++run;
                ++j;
            }
            const bool escape = (run & 1) && j < n && (in[j] == 'u' || in[j] == 'U');
            out.append(escape ? run - 1 : run, '\\');
            if (!escape) continue;
            const size_t digits = in[j] == 'u' ? 4 : 8;
            ++j;
            if (n - j < digits) return fail("truncated \\uXXXX escape");
            uint32_t c = 0;
            for (size_t q = 0; q < digits; ++q, ++j) {
                const uint8_t h = in[j];
                const int d = (h >= '0' && h <= '9')   ? h - '0'
                              : (h >= 'a' && h <= 'f') ? h - 'a' + 10
                              : (h >= 'A' && h <= 'F') ? h - 'A' + 10
                                                       : -1;
                if (d < 0) return fail("truncated \\uXXXX escape");
                c = (c << 4) | (uint32_t)d;
            }
            if (c > 0x10FFFF) return fail("\\Uxxxxxxxx out of range");
            put_utf8(out, c);
        }
        const uint32_t idx = add(Kind::Str);
        at(idx).extra = true;
        at(idx).off = (uint32_t)start;
        at(idx).len = (uint32_t)(out.size() - start);
        stack_.push_back(idx);
        return true;
    }

    // ---- memo: node indexes; a protocol's indexes run from 0 upwards
    static constexpr uint64_t kMaxMemo = 1u << 20;
    bool memo_put(uint64_t index) {
        if (!need_stack(1)) return false;
        if (index >= kMaxMemo) return fail("memo index too large");
        if (memo_.size() <= index) memo_.resize((size_t)index + 1, kNoNode);
        memo_[(size_t)index] = stack_.back();
        return true;
    }
    bool memo_get(uint64_t index) {
        if (index >= memo_.size() || memo_[(size_t)index] == kNoNode)
            return fail("memo value not found at index " + std::to_string(index));
        return copy_scalar(memo_[(size_t)index], "memo reference to a container is not accepted");
    }
    bool copy_scalar(uint32_t src, const char* refusal) {
        if (at(src).is_container()) return fail(refusal);
        const uint32_t idx = add(Kind::None);
        Node copy = at(src);
        copy.first = copy.last = copy.next = kNoNode;
        at(idx) = copy;
        stack_.push_back(idx);
        return true;
    }
    bool memo_index_line(uint64_t& index) {
        const uint8_t* text = nullptr;
        size_t len = 0;
        if (!line(text, len)) return false;
        const char* s = (const char*)text;
        auto r = std::from_chars(s, s + len, index);
        if (len == 0 || r.ec != std::errc() || r.ptr != s + len) return fail("invalid memo index");
        return true;
    }

    bool step(uint8_t op) {
        const uint8_t* text = nullptr;
        size_t len = 0;
        switch (op) {
        case 0x80:  // PROTO
            if (!need(1)) return false;
            if (*p_ > 5) return fail("unsupported pickle protocol: " + std::to_string(*p_));
            ++p_;
            return true;
        case 0x95:  // FRAME: framing only, the bytes follow in line
            if (!need(8)) return false;
            p_ += 8;
            return true;
        case '.':  // STOP
            if (stack_.empty() || !need_stack(1)) return fail("unpickling stack underflow");
            root_ = stack_.back();
            done_ = true;
            return true;
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
            size_t mark = 0;
            if (!pop_mark(mark)) return false;
            stack_.resize(mark);
            return true;
        }
        case '2':  // DUP
            if (!need_stack(1)) return false;
            return copy_scalar(stack_.back(), "DUP of a container is not accepted");

        case 'N':
            stack_.push_back(add(Kind::None));
            return true;
        case 0x88:
        case 0x89:
            push_int(op == 0x88, Kind::Bool);
            return true;
        case 'I':  // INT: decimal text, "00"/"01" for truth values
            if (!line(text, len)) return false;
            if (len == 2 && text[0] == '0' && (text[1] == '0' || text[1] == '1')) {
                push_int(text[1] == '1', Kind::Bool);
                return true;
            }
            return decimal(text, len) || fail("invalid INT text");
        case 'L':  // LONG: decimal text with an optional trailing 'L'
            if (!line(text, len)) return false;
            if (len && text[len - 1] == 'L') --len;
            return decimal(text, len) || fail("invalid LONG text");
        case 'J':
            if (!need(4)) return false;
            push_int((int32_t)(uint32_t)le(4));
            return true;
        case 'K':
            if (!need(1)) return false;
            push_int((int64_t)le(1));
            return true;
        case 'M':
            if (!need(2)) return false;
            push_int((int64_t)le(2));
            return true;
        case 0x8a:  // LONG1
        case 0x8b:  // LONG4
            if (!counted(op == 0x8a ? 1 : 4, text, len)) return false;
            little_endian_signed(text, len);
            return true;
        case 'F': {
            if (!line(text, len)) return false;
            const uint32_t idx = add(Kind::Float);
            const char* s = (const char*)text;
            auto r = std::from_chars(s, s + len, at(idx).f);
            if (len == 0 || r.ec != std::errc() || r.ptr != s + len)
                return fail("invalid FLOAT text");
            stack_.push_back(idx);
            return true;
        }
        case 'G': {
            if (!need(8)) return false;
            uint64_t bits = 0;
            for (int j = 0; j < 8; ++j) bits = (bits << 8) | p_[j];
            p_ += 8;
            const uint32_t idx = add(Kind::Float);
            std::memcpy(&at(idx).f, &bits, 8);
            stack_.push_back(idx);
            return true;
        }

        case 'V':
            return line(text, len) && raw_unicode_escape(text, len);
        case 'X':
        case 0x8c:
        case 0x8d:
            if (!counted(op == 'X' ? 4 : op == 0x8c ? 1 : 8, text, len)) return false;
            stack_.push_back(add_text(Kind::Str, text, len));
            return true;
        case 'T':
        case 'U':  // old byte strings, read as ASCII text as pickle.loads does
            if (!counted(op == 'T' ? 4 : 1, text, len)) return false;
            for (size_t j = 0; j < len; ++j)
                if (text[j] >= 0x80) return fail("non-ASCII byte string");
            stack_.push_back(add_text(Kind::Str, text, len));
            return true;
        case 'B':
        case 'C':
        case 0x8e:
            if (!counted(op == 'B' ? 4 : op == 'C' ? 1 : 8, text, len)) return false;
            stack_.push_back(add_text(Kind::Bytes, text, len));
            return true;

        case '}':
            stack_.push_back(add(Kind::Dict));
            return true;
        case ']':
            stack_.push_back(add(Kind::List));
            return true;
        case ')':
            stack_.push_back(add(Kind::Tuple));
            return true;
        case 0x8f:
            stack_.push_back(add(Kind::Set));
            return true;
        case 'l':
        case 't':
        case 0x91: {  // LIST, TUPLE, FROZENSET from the mark
            size_t mark = 0;
            if (!pop_mark(mark)) return false;
            return collect(mark, op == 'l' ? Kind::List : op == 't' ? Kind::Tuple : Kind::FrozenSet);
        }
        case 'd': {
            size_t mark = 0;
            if (!pop_mark(mark)) return false;
            if ((stack_.size() - mark) & 1) return fail("odd number of items for DICT");
            return collect(mark, Kind::Dict);
        }
        case 0x85:
        case 0x86:
        case 0x87: {
            const size_t k = (size_t)(op - 0x84);
            if (!need_stack(k)) return false;
            return collect(stack_.size() - k, Kind::Tuple);
        }
        case 's': {  // SETITEM
            if (!need_stack(3)) return false;
            const uint32_t target = stack_[stack_.size() - 3];
            if (at(target).kind != Kind::Dict) return fail("SETITEM on a value that is not a dict");
            return adopt_from(stack_.size() - 2, target);
        }
        case 'a': {  // APPEND
            if (!need_stack(2)) return false;
            const uint32_t target = stack_[stack_.size() - 2];
            if (at(target).kind != Kind::List) return fail("APPEND to a value that is not a list");
            return adopt_from(stack_.size() - 1, target);
        }
        case 'u':
        case 'e':
        case 0x90: {  // SETITEMS, APPENDS, ADDITEMS: items from the mark into the item below it
            size_t mark = 0;
            if (!pop_mark(mark)) return false;
            if (mark == 0 || mark <= (marks_.empty() ? 0 : marks_.back()))
                return fail("unpickling stack underflow");
            const uint32_t target = stack_[mark - 1];
            const Kind want = op == 'u' ? Kind::Dict : op == 'e' ? Kind::List : Kind::Set;
            if (at(target).kind != want) return fail("items added to a value of another kind");
            if (op == 'u' && ((stack_.size() - mark) & 1))
                return fail("odd number of items for SETITEMS");
            return adopt_from(mark, target);
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
    std::vector<Node>* nodes_ = nullptr;
    std::string* extra_ = nullptr;
    uint32_t base_ = 0;
    uint32_t root_ = kNoNode;
    size_t op_at_ = 0;
    bool done_ = false;
    uint32_t max_depth_;
    std::vector<uint32_t> stack_;
    std::vector<size_t> marks_;
    std::vector<uint32_t> memo_;
    std::string error_;
};

}  // namespace pickle
}  // namespace rn
