// The plain-data pickle decoder: what the log sender writes in every
// protocol, and refusal of everything that names or calls code.
#include <gtest/gtest.h>

#include "safe_pickle.h"

using rn::pickle::Decoder;
using rn::pickle::Kind;
using rn::pickle::Node;

namespace {

std::string unhex(const std::string& hex) {
    std::string out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out += (char)std::stoi(hex.substr(i, 2), nullptr, 16);
    return out;
}

// A decoded tree over its own input, navigated by position.
struct Tree {
    std::string input, extra;
    std::vector<Node> nodes;
    uint32_t root = rn::pickle::kNoNode;

    const Node& node(uint32_t i) const { return nodes[i]; }
    const Node& top() const { return nodes[root]; }
    uint32_t child(uint32_t parent, uint32_t k) const {
        uint32_t c = nodes[parent].first;
        while (k--) c = nodes[c].next;
        return c;
    }
    std::string text(uint32_t i) const {
        const Node& n = nodes[i];
        return (n.extra ? extra : input).substr(n.off, n.len);
    }
    // The value under a text key of a dict node, or kNoNode.
    uint32_t get(uint32_t dict, const std::string& key) const {
        for (uint32_t c = nodes[dict].first; c != rn::pickle::kNoNode; c = nodes[nodes[c].next].next)
            if (nodes[c].kind == Kind::Str && text(c) == key) return nodes[c].next;
        return rn::pickle::kNoNode;
    }
};

bool decode(const std::string& bytes, Tree& t, std::string* error = nullptr) {
    Decoder d;
    t = Tree();
    t.input = bytes;
    const bool ok = d.decode((const uint8_t*)t.input.data(), t.input.size(), t.nodes, t.extra,
                             t.root);
    if (error) *error = d.error();
    return ok;
}

std::string refusal(const std::string& bytes) {
    Tree t;
    std::string error;
    EXPECT_FALSE(decode(bytes, t, &error)) << "accepted: " << bytes;
    return error;
}

// pickle.dumps({'name': 'svc', 'lineno': 12, 'created': 1.5, 'x': None,
//               't': True, 'f': False, 'big': 140234567890, 'neg': -5,
//               'msg': '日\n'}, protocol)
const char* kRecord[] = {
    "286470300a566e616d650a70310a567376630a70320a73566c696e656e6f0a70330a4931320a735663726561"
    "7465640a70340a46312e350a7356780a70350a4e7356740a70360a4930310a7356660a70370a4930300a7356"
    "6269670a70380a4c3134303233343536373839304c0a73566e65670a70390a492d350a73566d73670a703130"
    "0a565c75363565355c75303030610a7031310a732e",
    "7d71002858040000006e616d6571015803000000737663710258060000006c696e656e6f71034b0c58070000"
    "00637265617465647104473ff800000000000058010000007871054e58010000007471064930310a58010000"
    "006671074930300a580300000062696771084c3134303233343536373839304c0a58030000006e656771094a"
    "fbffffff58030000006d7367710a5804000000e697a50a710b752e",
    "80027d71002858040000006e616d6571015803000000737663710258060000006c696e656e6f71034b0c5807"
    "000000637265617465647104473ff800000000000058010000007871054e5801000000747106885801000000"
    "66710789580300000062696771088a05d2b0a1a62058030000006e656771094afbffffff58030000006d7367"
    "710a5804000000e697a50a710b752e",
    "80049564000000000000007d94288c046e616d65948c03737663948c066c696e656e6f944b0c8c0763726561"
    "74656494473ff80000000000008c0178944e8c017494888c016694898c03626967948a05d2b0a1a6208c036e"
    "6567944afbffffff8c036d7367948c04e697a50a94752e",
};

}  // namespace

TEST(SafePickle, RecordDictInEveryProtocol) {
    for (const char* hex : kRecord) {
        Tree t;
        std::string error;
        ASSERT_TRUE(decode(unhex(hex), t, &error)) << error;
        const uint32_t d = t.root;
        ASSERT_EQ(t.top().kind, Kind::Dict);
        EXPECT_EQ(t.top().count, 18u);
        EXPECT_EQ(t.text(t.get(d, "name")), "svc");
        EXPECT_EQ(t.node(t.get(d, "lineno")).kind, Kind::Int);
        EXPECT_EQ(t.node(t.get(d, "lineno")).i, 12);
        EXPECT_EQ(t.node(t.get(d, "created")).kind, Kind::Float);
        EXPECT_DOUBLE_EQ(t.node(t.get(d, "created")).f, 1.5);
        EXPECT_EQ(t.node(t.get(d, "x")).kind, Kind::None);
        EXPECT_EQ(t.node(t.get(d, "t")).kind, Kind::Bool);
        EXPECT_EQ(t.node(t.get(d, "t")).i, 1);
        EXPECT_EQ(t.node(t.get(d, "f")).i, 0);
        EXPECT_EQ(t.node(t.get(d, "big")).kind, Kind::Int);
        EXPECT_EQ(t.node(t.get(d, "big")).i, 140234567890LL);
        EXPECT_EQ(t.node(t.get(d, "neg")).i, -5);
        EXPECT_EQ(t.text(t.get(d, "msg")), "\xe6\x97\xa5\n");
    }
}

TEST(SafePickle, RecordsShareOneArena) {
    // Two records in one node arena, text offsets counted from a base.
    const std::string a = unhex(kRecord[1]), b = unhex(kRecord[2]);
    const std::string input = a + b;
    std::vector<Node> nodes;
    std::string extra;
    uint32_t ra, rb;
    Decoder d;
    ASSERT_TRUE(d.decode((const uint8_t*)input.data(), a.size(), nodes, extra, ra, 0));
    ASSERT_TRUE(d.decode((const uint8_t*)input.data() + a.size(), b.size(), nodes, extra, rb,
                         (uint32_t)a.size()));
    EXPECT_LT(ra, rb);
    const Node& name = nodes[nodes[nodes[rb].first].next];
    EXPECT_EQ(input.substr(name.off, name.len), "svc");
}

TEST(SafePickle, BytesAfterStopAreIgnored) {
    Tree t;
    ASSERT_TRUE(decode(unhex("4b072e") + "garbage", t));
    EXPECT_EQ(t.top().i, 7);
}

TEST(SafePickle, MemoOfTextIsCopied) {
    // [s, s] with one shared str: BINPUT 1, then BINGET 1
    Tree t;
    ASSERT_TRUE(decode(unhex("5d71002858080000007368617265642d7871016801652e"), t));
    ASSERT_EQ(t.top().kind, Kind::List);
    ASSERT_EQ(t.top().count, 2u);
    EXPECT_EQ(t.text(t.child(t.root, 0)), "shared-x");
    EXPECT_EQ(t.text(t.child(t.root, 1)), "shared-x");
    EXPECT_NE(t.child(t.root, 0), t.child(t.root, 1));
}

TEST(SafePickle, NestedContainers) {
    // {'a': [1, (2, 3.0)], 'b': {'c': b'\x00\xff'}, 'd': {4, 5}, 'e': frozenset([6])}
    Tree t;
    std::string error;
    ASSERT_TRUE(decode(unhex("80049541000000000000007d94288c0161945d94284b014b024740080000000000"
                             "008694658c0162947d948c016394430200ff94738c0164948f94284b044b0590"
                             "8c016594284b069194752e"),
                       t, &error))
        << error;
    const uint32_t a = t.get(t.root, "a");
    ASSERT_EQ(t.node(a).kind, Kind::List);
    ASSERT_EQ(t.node(a).count, 2u);
    const uint32_t pair = t.child(a, 1);
    EXPECT_EQ(t.node(pair).kind, Kind::Tuple);
    EXPECT_DOUBLE_EQ(t.node(t.child(pair, 1)).f, 3.0);
    const uint32_t c = t.get(t.get(t.root, "b"), "c");
    EXPECT_EQ(t.node(c).kind, Kind::Bytes);
    EXPECT_EQ(t.text(c), std::string("\x00\xff", 2));
    EXPECT_EQ(t.node(t.get(t.root, "d")).kind, Kind::Set);
    EXPECT_EQ(t.node(t.get(t.root, "d")).count, 2u);
    EXPECT_EQ(t.node(t.get(t.root, "e")).kind, Kind::FrozenSet);
    EXPECT_EQ(t.top().depth, 2u);
}

TEST(SafePickle, LargeIntegers) {
    Tree t;
    ASSERT_TRUE(decode("L1180591620717411303424L\n.", t));  // 2**70, protocol 1
    EXPECT_EQ(t.top().kind, Kind::BigText);
    EXPECT_EQ(t.text(t.root), "1180591620717411303424");
    ASSERT_TRUE(decode("L-1180591620717411303424\n.", t));
    EXPECT_EQ(t.text(t.root), "-1180591620717411303424");
    ASSERT_TRUE(decode(unhex("80028a090000000000000000c02e"), t));  // -2**70, LONG1
    EXPECT_EQ(t.top().kind, Kind::BigBytes);
    EXPECT_EQ(t.top().len, 9u);
    ASSERT_TRUE(decode(unhex("80028a027fff2e"), t));  // -129
    EXPECT_EQ(t.top().kind, Kind::Int);
    EXPECT_EQ(t.top().i, -129);
    ASSERT_TRUE(decode(unhex("8a00") + ".", t));  // LONG1 of no bytes is 0
    EXPECT_EQ(t.top().i, 0);
    ASSERT_TRUE(decode("I-7\n.", t));
    EXPECT_EQ(t.top().i, -7);
    EXPECT_NE(refusal("I+-7\n."), "");
}

TEST(SafePickle, RawUnicodeEscapeText) {
    Tree t;
    // U+65E5, an escaped backslash before 'u' (no escape), a Latin-1 byte
    ASSERT_TRUE(decode("V\\u65e5\\\\u0041\xe9\n.", t));
    EXPECT_TRUE(t.top().extra);
    EXPECT_EQ(t.text(t.root), "\xe6\x97\xa5\\\\u0041\xc3\xa9");
    ASSERT_TRUE(decode("V\\U0001F600\n.", t));
    EXPECT_EQ(t.text(t.root), "\xf0\x9f\x98\x80");
    EXPECT_NE(refusal("V\\u12\n."), "");
    EXPECT_NE(refusal("V\\U00110000\n."), "");
}

TEST(SafePickle, RefusesEveryCodeOpcode) {
    struct Case {
        std::string bytes;
        const char* name;
    } cases[] = {
        {"cos\nsystem\n(S'echo hi'\ntR.", "GLOBAL"},
        {unhex("80049529000000000000008c0b636f6c6c656374696f6e73948c0b4f726465726564446963749"
               "493942952948c0161944b01732e"),
         "STACK_GLOBAL"},
        {"N)R.", "REDUCE"},
        {"}}b.", "BUILD"},
        {"(ios\nsystem\n.", "INST"},
        {"(N)o.", "OBJ"},
        {"N)\x81.", "NEWOBJ"},
        {"N)}\x92.", "NEWOBJ_EX"},
        {"\x82\x01.", "EXT1"},
        {"\x83\x01\x00.", "EXT2"},
        {"\x84\x01\x00\x00\x00.", "EXT4"},
        {"Pid\n.", "PERSID"},
        {"NQ.", "BINPERSID"},
        {"\x97.", "NEXT_BUFFER"},
        {"N\x98.", "READONLY_BUFFER"},
    };
    for (const Case& c : cases) {
        const std::string error = refusal(c.bytes);
        EXPECT_NE(error.find(c.name), std::string::npos) << error;
    }
}

TEST(SafePickle, RefusesMalformedData) {
    const std::string full = unhex(kRecord[1]);
    const std::string cases[] = {
        "",                               // nothing at all
        full.substr(0, full.size() - 1),  // no STOP
        full.substr(0, 40),               // cut inside a string
        ".",                              // STOP on an empty stack
        "(.",                             // STOP on a mark
        "t.",                             // TUPLE without a mark
        "(K\x01K\x02K\x03" "d.",          // odd number of dict items
        "K\x01K\x02s.",                   // SETITEM without a dict
        "K\x01K\x02" "a.",                // APPEND to an int
        "h\x05.",                         // memo index never stored
        "Nr\xff\xff\xff\x7f.",            // memo index beyond any record
        "\x80\x09N.",                     // protocol from the future
        "\xff.",                          // no such opcode
        "Ifoo\n.",                        // INT that is no number
        "F1.5x\n.",                       // FLOAT that is no number
        "S'x'\n.",                        // quoted byte strings are not read
        "U\x01\xe9.",                     // byte string beyond ASCII
        "\x8b\xff\xff\xff\xff.",          // LONG4 of negative size
    };
    for (const std::string& c : cases) EXPECT_NE(refusal(c), "");
}

TEST(SafePickle, NoSharedOrCyclicContainers) {
    // A list appended to itself through the memo, and a copied container.
    EXPECT_NE(refusal(std::string("]q\x00h\x00" "a.", 7)).find("container"), std::string::npos);
    EXPECT_NE(refusal("]2.").find("container"), std::string::npos);
}

TEST(SafePickle, NestingIsBounded) {
    std::string deep;
    for (int i = 0; i < 100; ++i) deep += "]";
    for (int i = 0; i < 99; ++i) deep += "a";
    deep += ".";
    const std::string error = refusal(deep);
    EXPECT_NE(error.find("nested too deeply"), std::string::npos) << error;
    std::string fine;
    for (int i = 0; i < 10; ++i) fine += "]";
    for (int i = 0; i < 9; ++i) fine += "a";
    fine += ".";
    Tree t;
    ASSERT_TRUE(decode(fine, t));
    EXPECT_EQ(t.top().depth, 9u);
}

TEST(SafePickle, PopAndMarks) {
    Tree t;
    ASSERT_TRUE(decode("K\x01(K\x02K\x03" "1.", t));  // POP_MARK drops 2 and 3
    EXPECT_EQ(t.top().i, 1);
    ASSERT_TRUE(decode("K\x01K\x02" "0.", t));  // POP
    EXPECT_EQ(t.top().i, 1);
    ASSERT_TRUE(decode("K\x01(0.", t));  // POP of a mark on top
    EXPECT_EQ(t.top().i, 1);
    ASSERT_TRUE(decode("I01\nI00\n\x86.", t));  // protocol 0 truth values, TUPLE2
    ASSERT_EQ(t.top().kind, Kind::Tuple);
    EXPECT_EQ(t.node(t.child(t.root, 0)).kind, Kind::Bool);
    EXPECT_EQ(t.node(t.child(t.root, 0)).i, 1);
    EXPECT_EQ(t.node(t.child(t.root, 1)).i, 0);
}
