// Fuzz target for the secure channel that every TCP byte goes through.
//
// The first byte picks the case:
//   even: a stranger's bytes, in pieces, to a daemon's channel. It must
//         refuse them with IoError (and everything after), never open a
//         record, never be established, and never hold more than one
//         handshake message or record.
//   odd:  a keyed client and daemon. The handshake runs; then messages
//         from the input go both ways, sealed into records, delivered in
//         pieces, with at most one byte flipped on the way (its position
//         and bits from the input). What opens must be exactly what was
//         sealed, in order, up to the record that holds the flip, and that
//         record must be refused, and everything after it.
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/fuzz_input.h"
#include "kiv/errors.h"
#include "kiv/key.h"
#include "kiv/secure_channel.h"

namespace {

using fuzzing::Input;
using fuzzing::require;

const kiv::Key& fixedKey() {
    static kiv::Key key = [] {
        kiv::Key k;
        for (size_t i = 0; i < k.size(); ++i)
            k.data()[i] = static_cast<unsigned char>(i * 7 + 1);
        return k;
    }();
    return key;
}

void stranger(Input& in) {
    kiv::SecureChannel daemon(kiv::ChannelRole::Daemon, fixedKey());
    bool failed = false;
    while (!in.empty()) {
        std::string_view piece = in.run(1 + in.byte() % 64);
        std::string plain, reply;
        try {
            daemon.receive(piece, plain, reply);
            require(!failed, "a failed channel took more bytes");
        } catch (const kiv::IoError&) {
            failed = true;
        }
        require(plain.empty(), "a stranger's bytes opened as a record");
        require(!daemon.established(), "a stranger established the channel");
        require(reply.size() <= kiv::HandshakeNonceSize, "more than a nonce went to a stranger");
        require(daemon.pending() <= kiv::HelloSize + kiv::ProofSize, "a stranger's bytes piled up");
    }
}

// Delivers `wire` from one end to the other in pieces sized by the input;
// returns what opened, and whether the receiving end refused the bytes.
bool deliver(Input& in, std::string_view wire, kiv::SecureChannel& to, std::string& plain) {
    while (!wire.empty()) {
        size_t n = std::min<size_t>(wire.size(), 1 + in.byte() * 97);
        std::string reply;
        try {
            to.receive(wire.substr(0, n), plain, reply);
        } catch (const kiv::IoError&) {
            return false;
        }
        require(reply.empty(), "a handshake answer after the handshake");
        wire.remove_prefix(n);
    }
    return true;
}

void keyedPair(Input& in) {
    kiv::SecureChannel client(kiv::ChannelRole::Client, fixedKey());
    kiv::SecureChannel daemon(kiv::ChannelRole::Daemon, fixedKey());
    std::string plain, toClient, toDaemon;
    daemon.receive(client.hello(), plain, toClient);
    client.receive(toClient, plain, toDaemon);
    toClient.clear();
    daemon.receive(toDaemon, plain, toClient);
    toDaemon.clear();
    client.receive(toClient, plain, toDaemon);
    require(client.established() && daemon.established(), "the keyed handshake failed");
    require(plain.empty() && toDaemon.empty(), "bytes beyond the handshake");

    // Which byte of the client's stream to flip, if any.
    bool flip = in.byte() & 1;
    size_t flipAt = static_cast<size_t>(in.byte()) << 8 | in.byte();
    uint8_t flipBits = in.byte() | 1;
    size_t clientSent = 0;
    // What may open at each end: all that was sealed towards it, except
    // that the client's stream ends before the record with the flip.
    std::string allowed[2], opened[2];
    bool cut = false, refused[2] = {false, false};
    while (!in.empty()) {
        int way = in.byte() & 1;  // 0: client to daemon, 1: daemon to client
        size_t length = static_cast<size_t>(in.byte()) << 4 | in.byte();
        std::string message(in.run(length));
        // Now and then, a message longer than one record.
        if (in.byte() == 0xff) message.append(kiv::RecordPlainMax, 'x');
        if (message.empty()) continue;   // sealed into nothing at all
        if (refused[1 - way]) continue;  // the sending end has failed: it seals no more
        std::string wire;
        (way ? daemon : client).seal(message, wire);
        require(wire.size() > message.size(), "a record without its header and tag");
        if (way == 0 && flip && !cut && flipAt >= clientSent && flipAt < clientSent + wire.size()) {
            size_t offset = flipAt - clientSent;
            wire[offset] ^= static_cast<char>(flipBits);
            size_t record =
                offset / (kiv::RecordHeaderSize + kiv::RecordPlainMax + kiv::RecordTagSize);
            allowed[0] += message.substr(0, record * kiv::RecordPlainMax);
            cut = true;
        } else if (way == 1 || !cut) {
            allowed[way] += message;
        }
        if (way == 0) clientSent += wire.size();
        bool ok = deliver(in, wire, way ? client : daemon, opened[way]);
        if (refused[way]) require(!ok, "a broken channel took a record");
        if (!ok) {
            require(way == 0 && cut, "an intact record was refused");
            refused[way] = true;
        }
        require(opened[way].size() <= allowed[way].size() &&
                    allowed[way].compare(0, opened[way].size(), opened[way]) == 0,
                "what opened is not what was sealed");
        if (!(way == 0 && cut)) require(opened[way] == allowed[way], "a whole record did not open");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in{data, size};
    if (in.byte() % 2 == 0) {
        stranger(in);
    } else {
        keyedPair(in);
    }
    return 0;
}
