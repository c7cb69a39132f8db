// The socket drain of the log collection server, without Python: datagrams
// decoded into batches over real loopback sockets, the time stamp, and the
// bound on what waits for the writer.
#include <gtest/gtest.h>

#include "journal_hub_drain.h"

#include <arpa/inet.h>

#include <ctime>
#include <regex>

using namespace journal_hub;

namespace {

std::string unhex(const std::string& hex) {
    std::string out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out += (char)std::stoi(hex.substr(i, 2), nullptr, 16);
    return out;
}

const std::string kA1 = unhex("80027d710058010000006171014b01732e");  // {'a': 1}
const std::string kBbXyz =
    unhex("80027d7100580200000062627101580300000078797a7102732e");  // {'bb': 'xyz'}

// The length prefix N (big-endian) and the body after it.
std::string datagram(uint32_t n, const std::string& body) {
    std::string out;
    for (int shift = 24; shift >= 0; shift -= 8) out += (char)(n >> shift);
    return out + body;
}

Received decode_into(Batch& b, const std::string& bytes, int flags = 0) {
    pk::Decoder decoder;
    Received r;
    decode_datagram(decoder, (const uint8_t*)bytes.data(), bytes.size(), flags, b, r);
    return r;
}

// The text of a node of `b`, wherever the decoder put it.
std::string text(const Batch& b, uint32_t idx) {
    const pk::Node& n = b.nodes[idx];
    return (n.extra ? b.extra : b.text).substr(n.off, n.len);
}

struct Shape {
    const char* what;
    std::string bytes;
    int flags;
    Outcome outcome;
};

TEST(DecodeDatagram, OutcomeOfEachShape) {
    const Shape shapes[] = {
        {"three bytes", std::string("\0\0\0", 3), 0, Outcome::Short},
        {"cut by the receive", datagram((uint32_t)kA1.size(), kA1), MSG_TRUNC, Outcome::Cut},
        {"exact length", datagram((uint32_t)kA1.size(), kA1), 0, Outcome::Record},
        {"length beyond the bytes", datagram((uint32_t)kA1.size() + 100, kA1), 0,
         Outcome::Record},
        {"bytes after the record", datagram((uint32_t)kA1.size(), kA1 + "junk"), 0,
         Outcome::Record},
        {"length short of the record", datagram((uint32_t)kA1.size() - 1, kA1), 0,
         Outcome::Undecodable},
        {"no pickle", datagram(4, "abcd"), 0, Outcome::Undecodable},
    };
    for (const Shape& s : shapes) {
        Batch b;
        const Received r = decode_into(b, s.bytes, s.flags);
        EXPECT_EQ(r.outcome, s.outcome) << s.what;
        if (r.outcome == Outcome::Record) {
            EXPECT_EQ(b.nodes[r.root].kind, pk::Kind::Dict) << s.what;
        } else if (r.outcome == Outcome::Undecodable) {
            EXPECT_FALSE(r.error.empty()) << s.what;
        }
    }
}

// Records share one batch's text: each keeps the offsets of its own bytes.
TEST(DecodeDatagram, RecordsOfOneBatchKeepTheirOwnText) {
    Batch b;
    const Received first = decode_into(b, datagram((uint32_t)kBbXyz.size(), kBbXyz));
    const Received second = decode_into(b, datagram((uint32_t)kA1.size(), kA1));
    const Received third = decode_into(b, datagram((uint32_t)kBbXyz.size(), kBbXyz));
    ASSERT_EQ(first.outcome, Outcome::Record);
    ASSERT_EQ(second.outcome, Outcome::Record);
    ASSERT_EQ(third.outcome, Outcome::Record);
    for (const Received* r : {&first, &third}) {
        const uint32_t key = b.nodes[r->root].first;
        EXPECT_EQ(text(b, key), "bb");
        EXPECT_EQ(text(b, b.nodes[key].next), "xyz");
    }
    EXPECT_EQ(text(b, b.nodes[second.root].first), "a");
}

TEST(ReceiveClock, LocalTimeWithMicroseconds) {
    ReceiveClock clock;
    char stamp[27];
    // The precise clock, as the stamp reads it: time() may lag a tick behind.
    auto now = [] {
        struct timespec ts;
        clock_gettime(CLOCK_REALTIME, &ts);
        return ts.tv_sec;
    };
    const time_t before = now();
    clock.stamp(stamp);
    clock.stamp(stamp);  // the second stamp reuses the text of the second
    const time_t after = now();
    const std::string s(stamp);
    ASSERT_TRUE(std::regex_match(s, std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{6})")))
        << s;
    std::string seconds[2];
    const time_t ends[2] = {before, after};
    for (int i = 0; i < 2; ++i) {
        struct tm tm;
        localtime_r(&ends[i], &tm);
        char buf[32];
        strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
        seconds[i] = buf;
    }
    EXPECT_TRUE(s.substr(0, 19) == seconds[0] || s.substr(0, 19) == seconds[1]) << s;
}

TEST(Inbox, RecordsWaitingAreBoundedAndCountDownOnGiveBack) {
    Inbox inbox;
    ASSERT_TRUE(inbox.ok());
    BatchPtr b(new Batch);
    b->records.resize(kMaxWaitingRecords - 1);
    inbox.push(b);
    ASSERT_TRUE(b);  // an empty batch comes back for the next receive
    EXPECT_TRUE(b->records.empty());
    EXPECT_FALSE(inbox.full());
    b->records.resize(1);
    inbox.push(b);
    EXPECT_TRUE(inbox.full());

    std::deque<BatchPtr> taken;
    ASSERT_EQ(inbox.take(taken), 0);
    ASSERT_EQ(taken.size(), 2u);
    inbox.give_back(taken.front());
    EXPECT_FALSE(inbox.full());
    inbox.give_back(taken.back());
    EXPECT_FALSE(inbox.full());
}

TEST(Inbox, BytesWaitingAreBounded) {
    Inbox inbox;
    ASSERT_TRUE(inbox.ok());
    BatchPtr b(new Batch);
    b->records.resize(1);
    b->text.reserve(kMaxWaitingBytes);  // reserved only: the pages are never touched
    inbox.push(b);
    EXPECT_TRUE(inbox.full());
    std::deque<BatchPtr> taken;
    ASSERT_EQ(inbox.take(taken), 0);
    inbox.give_back(taken.front());
    EXPECT_FALSE(inbox.full());
}

TEST(Inbox, DropsAreToldAtOnceThenAtMostOnceASecond) {
    Inbox inbox;
    testing::internal::CaptureStderr();
    inbox.dropped(5);
    inbox.dropped(7);  // within the second: counted for the next line
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "journal_hub: the writer's backlog is full: 5 datagrams dropped (5 in all)\n");
}

// Two loopback UDP sockets, closed at the end.
struct Loopback {
    int rx = -1, tx = -1;
    sockaddr_in rx_addr{}, tx_addr{};
    Loopback() {
        rx = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        tx = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        for (auto [fd, addr] : {std::pair{rx, &rx_addr}, std::pair{tx, &tx_addr}}) {
            addr->sin_family = AF_INET;
            addr->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            socklen_t len = sizeof *addr;
            if (bind(fd, (sockaddr*)addr, sizeof *addr) != 0 ||
                getsockname(fd, (sockaddr*)addr, &len) != 0)
                ADD_FAILURE() << "no loopback socket";
        }
    }
    ~Loopback() {
        close(rx);
        close(tx);
    }
    void send(const std::string& bytes) {
        ASSERT_EQ(sendto(tx, bytes.data(), bytes.size(), 0, (sockaddr*)&rx_addr, sizeof rx_addr),
                  (ssize_t)bytes.size());
    }
};

TEST(Drain, OneReceiveCallHandsOverEveryWaitingDatagramInOrder) {
    Loopback net;
    net.send(datagram((uint32_t)kA1.size(), kA1));
    net.send(std::string("\0\0\0", 3));
    net.send(datagram((uint32_t)kBbXyz.size(), kBbXyz));

    Inbox inbox;
    ASSERT_TRUE(inbox.ok());
    std::unique_ptr<uint8_t[]> storage(new uint8_t[kBatch * kDatagram]);
    mmsghdr msgs[kBatch];
    iovec iov[kBatch];
    sockaddr_in from[kBatch];
    BatchPtr batch;
    pk::Decoder decoder;
    ReceiveClock clock;
    drain_once(net.rx, &inbox, storage.get(), msgs, iov, from, batch, decoder, clock);

    std::deque<BatchPtr> taken;
    ASSERT_EQ(inbox.take(taken), 0);
    ASSERT_EQ(taken.size(), 1u);
    const Batch& b = *taken.front();
    ASSERT_EQ(b.records.size(), 3u);
    EXPECT_EQ(b.records[0].outcome, Outcome::Record);
    EXPECT_EQ(b.records[1].outcome, Outcome::Short);
    EXPECT_EQ(b.records[2].outcome, Outcome::Record);
    EXPECT_EQ(text(b, b.nodes[b.records[2].root].first), "bb");
    for (const Received& r : b.records) {
        EXPECT_EQ(r.from.sin_port, net.tx_addr.sin_port);
        EXPECT_EQ(r.from.sin_addr.s_addr, htonl(INADDR_LOOPBACK));
        EXPECT_EQ(std::strlen(r.when), 26u);
    }
}

}  // namespace
