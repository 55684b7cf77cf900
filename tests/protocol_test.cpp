// Frames through buffers and through real socket pairs.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <thread>

#include "kiv/errors.h"
#include "kiv/fd.h"
#include "kiv/protocol.h"
#include "tests/support/errors.h"

using namespace kiv;

namespace {

struct SocketPair {
    UniqueFd a, b;
    SocketPair() {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
            throw std::runtime_error("socketpair");
        a.reset(fds[0]);
        b.reset(fds[1]);
    }
};

std::string header(int version, int kind, uint32_t length) {
    return {static_cast<char>(version),      static_cast<char>(kind),
            static_cast<char>(length >> 24), static_cast<char>(length >> 16),
            static_cast<char>(length >> 8),  static_cast<char>(length)};
}

// Writes all of `bytes` on a blocking descriptor.
void writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t n = write(fd, bytes.data(), bytes.size());
        ASSERT_GT(n, 0);
        bytes.remove_prefix(n);
    }
}

const std::vector<Message> Sample = {
    {MsgKind::Input, "ls\r"},
    {MsgKind::Output, std::string("\0\x1b[2J\xff", 5)},
    {MsgKind::Resize, std::string("\0\x50\0\x18", 4)},
    {MsgKind::Attach, "work"},
    {MsgKind::Detach, ""},
    {MsgKind::Error, "no such session"},
    {MsgKind::AttachOk, ""},
    {MsgKind::Details, std::string("pid=1\0", 6)},
    {MsgKind::Ended, std::string("end=killed\0", 11)},
    {MsgKind::Written, std::string("\0\0\0\0\0\0\x01\x02", 8)},
    {MsgKind::Keys, "\x07"},
};

std::string sampleStream() {
    std::string stream;
    for (const Message& m : Sample)
        stream += frameBytes(m.kind, m.payload);
    return stream;
}

TEST(Frame, Layout) {
    EXPECT_EQ(frameBytes(MsgKind::Detach, ""), std::string("\x02\x04\0\0\0\0", 6));
    EXPECT_EQ(frameBytes(MsgKind::Resize, std::string("\0\x50\0\x18", 4)),
              std::string("\x02\x02\0\0\0\x04\0\x50\0\x18", 10));
    EXPECT_EQ(frameBytes(MsgKind::Output, std::string(300, 'x')),
              header(2, 1, 300) + std::string(300, 'x'));
}

TEST(TakeFrame, ReassemblesEverySplit) {
    std::string stream = sampleStream();
    auto takeAll = [](std::string& buffer, std::vector<Message>& out) {
        Message m;
        while (takeFrame(buffer, m.kind, m.payload))
            out.push_back(m);
    };
    auto same = [](const std::vector<Message>& got) {
        if (got.size() != Sample.size()) return false;
        for (size_t i = 0; i < got.size(); ++i)
            if (got[i].kind != Sample[i].kind || got[i].payload != Sample[i].payload) return false;
        return true;
    };
    for (size_t split = 0; split <= stream.size(); ++split) {
        std::string buffer = stream.substr(0, split);
        std::vector<Message> got;
        takeAll(buffer, got);
        buffer += stream.substr(split);
        takeAll(buffer, got);
        EXPECT_TRUE(same(got)) << "split at " << split;
        EXPECT_TRUE(buffer.empty());
    }
    std::string buffer;
    std::vector<Message> got;
    for (char byte : stream) {
        buffer += byte;
        takeAll(buffer, got);
    }
    EXPECT_TRUE(same(got));
}

TEST(TakeFrame, PartialFramesStay) {
    std::string buffer = std::string("\x02\x04\0\0\0", 5);
    MsgKind kind;
    std::string payload = "old";
    EXPECT_FALSE(takeFrame(buffer, kind, payload));
    EXPECT_EQ(buffer.size(), 5u);
    buffer += '\0';
    ASSERT_TRUE(takeFrame(buffer, kind, payload));
    EXPECT_EQ(kind, MsgKind::Detach);
    EXPECT_EQ(payload, "");
    EXPECT_TRUE(buffer.empty());

    std::string third = frameBytes(MsgKind::Input, "abc");
    buffer =
        frameBytes(MsgKind::Input, "one") + frameBytes(MsgKind::Output, "two") + third.substr(0, 3);
    ASSERT_TRUE(takeFrame(buffer, kind, payload));
    EXPECT_EQ(payload, "one");
    ASSERT_TRUE(takeFrame(buffer, kind, payload));
    EXPECT_EQ(kind, MsgKind::Output);
    EXPECT_EQ(payload, "two");
    EXPECT_FALSE(takeFrame(buffer, kind, payload));
    EXPECT_EQ(buffer, third.substr(0, 3));
}

TEST(TakeFrame, OffsetFormWalksWithoutErasing) {
    std::string buffer =
        frameBytes(MsgKind::Input, "one") + frameBytes(MsgKind::Input, "two") + "\x02";
    size_t used = 0;
    MsgKind kind;
    std::string payload;
    ASSERT_TRUE(takeFrame(buffer, used, kind, payload));
    EXPECT_EQ(used, 9u);
    ASSERT_TRUE(takeFrame(buffer, used, kind, payload));
    EXPECT_EQ(payload, "two");
    EXPECT_FALSE(takeFrame(buffer, used, kind, payload));
    EXPECT_EQ(used, 18u);
    buffer += std::string("\xc8", 1);  // a kind byte nobody knows, whole header next
    buffer += std::string("\0\0\0\0", 4);
    EXPECT_EQ(testsupport::errorOf<IoError>([&] { takeFrame(buffer, used, kind, payload); }),
              "unknown message kind: 200");
    EXPECT_EQ(used, 18u);
}

// The header checks of both readers. takeFrame checks the length first and
// the kind only once the whole frame is in; recvMsg checks the kind first.
TEST(Frame, MalformedHeaders) {
    struct Case {
        std::string bytes;
        const char* takeError;  // nullptr: takeFrame waits for more bytes
        const char* recvError;
    } cases[] = {
        {header(1, 0, 0), "protocol version mismatch", "protocol version mismatch"},
        {header(3, 0, 0), "protocol version mismatch", "protocol version mismatch"},
        {header(7, 9, 0x1000000), "protocol version mismatch", "protocol version mismatch"},
        {header(2, 200, 0), "unknown message kind: 200", "unknown message kind: 200"},
        {header(2, 255, 0), "unknown message kind: 255", "unknown message kind: 255"},
        {header(2, 200, 3), nullptr, "unknown message kind: 200"},
        {header(2, 200, 0x1000000), "frame too large: 16777216 bytes",
         "unknown message kind: 200"},
        {header(2, 1, 0x1000000), "frame too large: 16777216 bytes",
         "frame too large: 16777216 bytes"},
        {header(2, 1, 0xffffffff), "frame too large: 4294967295 bytes",
         "frame too large: 4294967295 bytes"},
    };
    for (const Case& c : cases) {
        std::string buffer = c.bytes;
        MsgKind kind;
        std::string payload;
        if (c.takeError) {
            EXPECT_EQ(testsupport::errorOf<IoError>([&] { takeFrame(buffer, kind, payload); }),
                      c.takeError);
        } else {
            EXPECT_FALSE(takeFrame(buffer, kind, payload));
        }
        EXPECT_EQ(buffer, c.bytes);  // an error leaves the buffer as it was

        SocketPair pair;
        writeAll(pair.a.get(), c.bytes);
        EXPECT_EQ(testsupport::errorOf<IoError>([&] { recvMsg(pair.b.get()); }), c.recvError);
    }
    std::string buffer = header(2, 7, 0);
    MsgKind kind;
    std::string payload;
    EXPECT_TRUE(takeFrame(buffer, kind, payload));
    EXPECT_EQ(kind, MsgKind::Details);
}

TEST(SendRecv, MessagesOverASocket) {
    SocketPair pair;
    for (const Message& m : Sample)
        ASSERT_TRUE(sendMsg(pair.a.get(), m.kind, m.payload));
    for (const Message& m : Sample) {
        Message got = recvMsg(pair.b.get());
        EXPECT_EQ(got.kind, m.kind);
        EXPECT_EQ(got.payload, m.payload);
    }
    // One byte at a time from the peer: the reader keeps reading.
    std::string stream = sampleStream();
    std::thread writer([&] {
        for (char byte : stream)
            writeAll(pair.a.get(), std::string_view(&byte, 1));
    });
    for (const Message& m : Sample)
        EXPECT_EQ(recvMsg(pair.b.get()).payload, m.payload);
    writer.join();
}

TEST(SendRecv, PayloadLimits) {
    SocketPair pair;
    std::string largest(MaxPayload, 'x');
    largest.back() = 'y';
    Message got;
    std::thread reader([&] { got = recvMsg(pair.b.get()); });
    EXPECT_TRUE(sendMsg(pair.a.get(), MsgKind::Output, largest));
    reader.join();
    EXPECT_EQ(got.kind, MsgKind::Output);
    EXPECT_TRUE(got.payload == largest);

    std::string tooLarge(MaxPayload + 1, 'x');
    EXPECT_EQ(testsupport::errorOf<IoError>([&] { frameBytes(MsgKind::Output, tooLarge); }),
              "payload too large: 16777216");
    EXPECT_FALSE(sendMsg(pair.a.get(), MsgKind::Output, tooLarge));
    char byte;
    EXPECT_EQ(recv(pair.b.get(), &byte, 1, MSG_DONTWAIT), -1);  // nothing was sent
    EXPECT_EQ(errno, EAGAIN);

    // The length is refused from the header alone, with the peer still open;
    // a reader that waited for the payload would time out instead.
    timeval limit{5, 0};
    setsockopt(pair.b.get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    writeAll(pair.a.get(), header(2, 1, MaxPayload + 1) + "xyz");
    EXPECT_EQ(testsupport::errorOf<IoError>([&] { recvMsg(pair.b.get()); }),
              "frame too large: 16777216 bytes");
}

TEST(SendRecv, ShortReadsAndClosedPeers) {
    {
        SocketPair pair;
        writeAll(pair.a.get(), header(2, 1, 10).substr(0, 3));
        pair.a.reset();
        EXPECT_EQ(testsupport::errorOf<IoError>([&] { recvMsg(pair.b.get()); }),
                  "short read on message header");
    }
    {
        SocketPair pair;
        writeAll(pair.a.get(), header(2, 1, 10) + "abcd");
        pair.a.reset();
        EXPECT_EQ(testsupport::errorOf<IoError>([&] { recvMsg(pair.b.get()); }),
                  "short read on message payload");
    }
    {
        SocketPair pair;
        pair.b.reset();
        // Fails instead of raising SIGPIPE, which this test does not ignore.
        EXPECT_FALSE(sendMsg(pair.a.get(), MsgKind::Input, "lost"));
        char byte;
        EXPECT_TRUE(readFull(pair.a.get(), &byte, 0));
        EXPECT_FALSE(readFull(pair.a.get(), &byte, 1));
    }
}

}  // namespace
