// The protected channel of TCP connections: the handshake between a client
// and a daemon over a socket pair, and what becomes of strangers, impostors
// and records that were replayed, reordered, cut or altered on the way.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "kiv/errors.h"
#include "kiv/fd.h"
#include "kiv/protocol.h"
#include "kiv/secure_channel.h"
#include "tests/support/errors.h"

using namespace kiv;

namespace {

// Both ends of a connection, each with its channel, joined by a socket pair
// so that every handshake byte really crosses a socket.
struct Connection {
    Key clientKey;
    Key daemonKey;
    SecureChannel client;
    SecureChannel daemon;
    UniqueFd clientEnd, daemonEnd;
    std::string clientSent;  // every byte the client put on the wire
    std::string daemonSent;
    std::string clientPlain, daemonPlain;

    Connection(const Key& clientKey, const Key& daemonKey)
        : clientKey(clientKey),
          daemonKey(daemonKey),
          client(ChannelRole::Client, clientKey),
          daemon(ChannelRole::Daemon, daemonKey) {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, fds) != 0)
            throw std::runtime_error("socketpair");
        clientEnd.reset(fds[0]);
        daemonEnd.reset(fds[1]);
    }

    static void put(int fd, const std::string& bytes, std::string& log) {
        ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
        log += bytes;
    }
    static std::string take(int fd) {
        char buf[65536];
        ssize_t n = read(fd, buf, sizeof buf);
        return n > 0 ? std::string(buf, n) : std::string();
    }

    // Runs the handshake; raises the IoError of the side that refuses.
    void handshake() {
        put(clientEnd.get(), client.hello(), clientSent);
        for (int turn = 0; turn < 4 && !(client.established() && daemon.established()); ++turn) {
            std::string reply;
            daemon.receive(take(daemonEnd.get()), daemonPlain, reply);
            put(daemonEnd.get(), reply, daemonSent);
            reply.clear();
            client.receive(take(clientEnd.get()), clientPlain, reply);
            put(clientEnd.get(), reply, clientSent);
        }
    }

    // The client's records for `plain`, as they would go on the wire.
    std::string fromClient(std::string_view plain) {
        std::string out;
        client.seal(plain, out);
        return out;
    }
};

Key key() {
    return Key::random();
}

struct Established : ::testing::Test {
    Key shared = key();
    Connection c{shared, shared};
    void SetUp() override {
        c.handshake();
        ASSERT_TRUE(c.client.established());
        ASSERT_TRUE(c.daemon.established());
    }
};

TEST_F(Established, CarriesBytesBothWaysWhateverTheChunking) {
    std::string reply;
    c.daemon.receive(c.fromClient(frameBytes(MsgKind::Attach, "work")), c.daemonPlain, reply);
    EXPECT_EQ(c.daemonPlain, frameBytes(MsgKind::Attach, "work"));
    EXPECT_TRUE(reply.empty());

    // A snapshot larger than a record, delivered to the client a byte at a time.
    std::string snapshot(3 * RecordPlainMax + 123, '\0');
    for (size_t i = 0; i < snapshot.size(); ++i)
        snapshot[i] = static_cast<char>(i * 7);
    std::string wire;
    c.daemon.seal(snapshot, wire);
    EXPECT_EQ(wire.size(), snapshot.size() + 4 * (RecordHeaderSize + RecordTagSize));
    for (char byte : wire)
        c.client.receive(std::string_view(&byte, 1), c.clientPlain, reply);
    EXPECT_EQ(c.clientPlain, snapshot);
    EXPECT_EQ(c.client.pending(), 0u);
    EXPECT_TRUE(reply.empty());
}

TEST_F(Established, NothingTypedOrNamedCrossesInTheClear) {
    std::string wire = c.fromClient(frameBytes(MsgKind::Attach, "secret-session")) +
                       c.fromClient(frameBytes(MsgKind::Input, "MARKER-42"));
    wire += c.clientSent;
    EXPECT_EQ(wire.find("secret-session"), std::string::npos);
    EXPECT_EQ(wire.find("MARKER-42"), std::string::npos);
    // Two connections with the same key seal the same bytes differently.
    Connection other(shared, shared);
    other.handshake();
    EXPECT_NE(other.fromClient("same bytes"), c.fromClient("same bytes"));
}

// One record off the wire, tampered with as `spoil` says, must end the
// connection: the daemon's channel refuses it and everything after it.
struct Tampering {
    const char* name;
    std::string (*spoil)(const std::string& r0, const std::string& r1);
};

std::string flipped(std::string record, size_t at) {
    record[at] ^= 0x01;
    return record;
}

const Tampering Tamperings[] = {
    {"replayed", [](const std::string& r0, const std::string&) { return r0 + r0; }},
    {"reordered", [](const std::string& r0, const std::string& r1) { return r1 + r0; }},
    {"dropped", [](const std::string&, const std::string& r1) { return r1; }},
    {"cut short",
     [](const std::string& r0, const std::string& r1) { return r0.substr(0, 10) + r1; }},
    {"length altered", [](const std::string& r0, const std::string&) { return flipped(r0, 3); }},
    {"body altered",
     [](const std::string& r0, const std::string&) { return flipped(r0, RecordHeaderSize + 2); }},
    {"tag altered",
     [](const std::string& r0, const std::string&) { return flipped(r0, r0.size() - 1); }},
};

TEST_F(Established, ReplayedReorderedCutOrAlteredRecordsEndTheConnection) {
    for (const Tampering& t : Tamperings) {
        SCOPED_TRACE(t.name);
        Connection fresh(shared, shared);
        fresh.handshake();
        std::string r0 = fresh.fromClient(frameBytes(MsgKind::Input, "first"));
        std::string r1 = fresh.fromClient(frameBytes(MsgKind::Input, "second"));
        std::string spoiled = t.spoil(r0, r1);
        std::string reply, plain;
        EXPECT_THROW(
            {
                fresh.daemon.receive(spoiled, plain, reply);
                fresh.daemon.receive(r1, plain, reply);
            },
            IoError);
        // Whatever opened before the bad record is the only plain text.
        EXPECT_TRUE(plain.empty() || plain == frameBytes(MsgKind::Input, "first")) << plain;
        EXPECT_THROW(fresh.daemon.receive(r1, plain, reply), IoError);  // stays shut
    }
}

TEST_F(Established, RecordLengthIsBoundedBeforeTheBodyArrives) {
    std::string reply;
    std::string huge("\x00\x10\x00\x20", 4);  // a 1 MiB record
    EXPECT_EQ(testsupport::errorOf<IoError>([&] { c.daemon.receive(huge, c.daemonPlain, reply); }),
              "bad record length");
}

TEST(Handshake, AClientWithAnotherKeyGetsOnlyANonce) {
    Connection c(key(), key());
    EXPECT_EQ(testsupport::errorOf<IoError>([&] { c.handshake(); }),
              "authentication failed: the peer does not hold the key");
    EXPECT_EQ(c.daemonSent.size(), HandshakeNonceSize);
    EXPECT_FALSE(c.daemon.established());
    EXPECT_THROW(c.daemon.seal("screen", c.daemonSent), IoError);
}

TEST(Handshake, ADaemonWithoutTheKeyIsRefusedBeforeAnythingIsSent) {
    // An impostor that takes the client's proof and answers with anything.
    Key mine = key();
    SecureChannel client(ChannelRole::Client, mine);
    std::string plain, reply;
    std::string nonce(HandshakeNonceSize, 'n');
    client.receive(nonce, plain, reply);
    ASSERT_EQ(reply.size(), ProofSize);
    std::string impostorProof(ProofSize, 'p');
    EXPECT_EQ(testsupport::errorOf<IoError>([&] { client.receive(impostorProof, plain, reply); }),
              "authentication failed: the peer does not hold the key");
    EXPECT_FALSE(client.established());
    std::string out;
    EXPECT_THROW(client.seal(frameBytes(MsgKind::Attach, "work"), out), IoError);
    EXPECT_TRUE(out.empty());
}

TEST(Handshake, StrangersAreRefusedAtTheirFirstWrongByte) {
    struct Stranger {
        const char* name;
        std::string bytes;
    } strangers[] = {
        {"plaintext Attach", frameBytes(MsgKind::Attach, "work")},
        {"random bytes", std::string("\x9c\x01\xff\x42", 4)},
        {"another protocol", "SSH-2.0-x\r\n"},
        {"a near miss", "kiv-autx"},
    };
    for (const Stranger& s : strangers) {
        SCOPED_TRACE(s.name);
        SecureChannel daemon(ChannelRole::Daemon, key());
        std::string plain, reply;
        EXPECT_EQ(testsupport::errorOf<IoError>([&] { daemon.receive(s.bytes, plain, reply); }),
                  "not a kiv peer");
        EXPECT_TRUE(reply.empty());
        EXPECT_EQ(daemon.pending(), 0u);
    }
    // The magic in pieces is still a hello in the making.
    SecureChannel daemon(ChannelRole::Daemon, key());
    std::string plain, reply;
    daemon.receive("kiv-", plain, reply);
    EXPECT_TRUE(reply.empty());
}

TEST(Handshake, ARecordedHandshakeNeverPassesAgain) {
    Key shared = key();
    Connection recorded(shared, shared);
    recorded.handshake();
    ASSERT_TRUE(recorded.daemon.established());

    SecureChannel daemon(ChannelRole::Daemon, shared);
    std::string plain, reply;
    EXPECT_THROW(daemon.receive(recorded.clientSent, plain, reply), IoError);
    EXPECT_EQ(reply.size(), HandshakeNonceSize);  // its fresh nonce, nothing else
    EXPECT_FALSE(daemon.established());
}

}  // namespace
