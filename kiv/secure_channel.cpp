#include "kiv/secure_channel.h"

#include <sodium.h>

#include <cstring>

#include "kiv/errors.h"

namespace kiv {

namespace {

static_assert(crypto_aead_xchacha20poly1305_ietf_KEYBYTES == KeySize);
static_assert(crypto_aead_xchacha20poly1305_ietf_ABYTES == RecordTagSize);
static_assert(crypto_generichash_KEYBYTES_MAX >= KeySize);

constexpr size_t RecordCipherMax = RecordPlainMax + RecordTagSize;

// Keyed BLAKE2b of a label and both nonces: the proofs and the record keys.
void mac(unsigned char* out, const Key& key, std::string_view label,
         const unsigned char* clientNonce, const unsigned char* daemonNonce) {
    crypto_generichash_state state;
    crypto_generichash_init(&state, key.data(), key.size(), ProofSize);
    crypto_generichash_update(&state, reinterpret_cast<const unsigned char*>(label.data()),
                              label.size());
    crypto_generichash_update(&state, clientNonce, HandshakeNonceSize);
    crypto_generichash_update(&state, daemonNonce, HandshakeNonceSize);
    crypto_generichash_final(&state, out, ProofSize);
    sodium_memzero(&state, sizeof state);
}

void recordNonce(unsigned char (&nonce)[crypto_aead_xchacha20poly1305_ietf_NPUBBYTES],
                 uint64_t count) {
    std::memset(nonce, 0, sizeof nonce);
    for (int i = 0; i < 8; ++i)
        nonce[i] = static_cast<unsigned char>(count >> (8 * i));
}

const unsigned char* bytesAt(const std::string& s, size_t offset) {
    return reinterpret_cast<const unsigned char*>(s.data()) + offset;
}

}  // namespace

SecureChannel::SecureChannel(ChannelRole role, const Key& key)
    : role_(role),
      stage_(role == ChannelRole::Client ? Stage::AwaitNonce : Stage::AwaitHello),
      key_(key) {
    initCrypto();
    unsigned char* mine = role == ChannelRole::Client ? clientNonce_ : daemonNonce_;
    randombytes_buf(mine, HandshakeNonceSize);
}

std::string SecureChannel::hello() const {
    if (role_ != ChannelRole::Client) return {};
    std::string out(HelloMagic);
    out.append(reinterpret_cast<const char*>(clientNonce_), HandshakeNonceSize);
    return out;
}

void SecureChannel::receive(std::string_view bytes, std::string& plain, std::string& reply) {
    if (stage_ == Stage::Broken) throw IoError("connection already failed");
    in_.append(bytes);
    size_t used = 0;
    try {
        while (step(used, plain, reply)) {
        }
    } catch (...) {
        in_.clear();
        throw;
    }
    in_.erase(0, used);
}

bool SecureChannel::step(size_t& used, std::string& plain, std::string& reply) {
    size_t have = in_.size() - used;
    switch (stage_) {
        case Stage::AwaitHello: {
            // Refuse a stranger at its first wrong byte rather than wait for
            // a whole hello that will never come.
            size_t check = std::min(have, HelloMagic.size());
            if (std::string_view(in_).substr(used, check) != HelloMagic.substr(0, check))
                fail("not a kiv peer");
            if (have < HelloSize) return false;
            std::memcpy(clientNonce_, bytesAt(in_, used + HelloMagic.size()), HandshakeNonceSize);
            used += HelloSize;
            reply.append(reinterpret_cast<const char*>(daemonNonce_), HandshakeNonceSize);
            stage_ = Stage::AwaitClientProof;
            return true;
        }
        case Stage::AwaitNonce: {
            if (have < HandshakeNonceSize) return false;
            std::memcpy(daemonNonce_, bytesAt(in_, used), HandshakeNonceSize);
            used += HandshakeNonceSize;
            unsigned char proof[ProofSize];
            mac(proof, key_, "client proof", clientNonce_, daemonNonce_);
            reply.append(reinterpret_cast<const char*>(proof), ProofSize);
            stage_ = Stage::AwaitDaemonProof;
            return true;
        }
        case Stage::AwaitClientProof:
        case Stage::AwaitDaemonProof: {
            if (have < ProofSize) return false;
            bool daemon = stage_ == Stage::AwaitClientProof;
            unsigned char expected[ProofSize];
            mac(expected, key_, daemon ? "client proof" : "daemon proof", clientNonce_,
                daemonNonce_);
            if (crypto_verify_32(expected, bytesAt(in_, used)) != 0)
                fail("authentication failed: the peer does not hold the key");
            used += ProofSize;
            if (daemon) {
                mac(expected, key_, "daemon proof", clientNonce_, daemonNonce_);
                reply.append(reinterpret_cast<const char*>(expected), ProofSize);
            }
            deriveRecordKeys();
            stage_ = Stage::Established;
            return true;
        }
        case Stage::Established:
            return openRecord(used, plain);
        case Stage::Broken:
            return false;
    }
    return false;
}

bool SecureChannel::openRecord(size_t& used, std::string& plain) {
    size_t have = in_.size() - used;
    if (have < RecordHeaderSize) return false;
    const unsigned char* header = bytesAt(in_, used);
    size_t length = size_t{header[0]} << 24 | size_t{header[1]} << 16 | size_t{header[2]} << 8 |
                    size_t{header[3]};
    // Checked before any of the body arrives: a peer cannot make the
    // channel hold more than one record.
    if (length < RecordTagSize || length > RecordCipherMax) fail("bad record length");
    if (have < RecordHeaderSize + length) return false;
    if (received_ == UINT64_MAX) fail("record counter exhausted");

    unsigned char nonce[crypto_aead_xchacha20poly1305_ietf_NPUBBYTES];
    recordNonce(nonce, received_);
    size_t start = plain.size();
    plain.resize(start + length - RecordTagSize);
    unsigned long long opened = 0;
    if (crypto_aead_xchacha20poly1305_ietf_decrypt(
            reinterpret_cast<unsigned char*>(plain.data()) + start, &opened, nullptr,
            header + RecordHeaderSize, length, header, RecordHeaderSize, nonce,
            receiveKey_.data()) != 0) {
        plain.resize(start);
        fail("record failed authentication");
    }
    ++received_;
    used += RecordHeaderSize + length;
    return true;
}

void SecureChannel::seal(std::string_view plain, std::string& out) {
    if (stage_ != Stage::Established) throw IoError("channel not established");
    while (!plain.empty()) {
        size_t chunk = std::min(plain.size(), RecordPlainMax);
        if (sent_ == UINT64_MAX) fail("record counter exhausted");
        size_t length = chunk + RecordTagSize;
        size_t start = out.size();
        out.resize(start + RecordHeaderSize + length);
        auto* header = reinterpret_cast<unsigned char*>(out.data()) + start;
        header[0] = static_cast<unsigned char>(length >> 24);
        header[1] = static_cast<unsigned char>(length >> 16);
        header[2] = static_cast<unsigned char>(length >> 8);
        header[3] = static_cast<unsigned char>(length);
        unsigned char nonce[crypto_aead_xchacha20poly1305_ietf_NPUBBYTES];
        recordNonce(nonce, sent_++);
        crypto_aead_xchacha20poly1305_ietf_encrypt(
            header + RecordHeaderSize, nullptr,
            reinterpret_cast<const unsigned char*>(plain.data()), chunk, header, RecordHeaderSize,
            nullptr, nonce, sendKey_.data());
        plain.remove_prefix(chunk);
    }
}

void SecureChannel::deriveRecordKeys() {
    Key toDaemon, toClient;
    mac(toDaemon.data(), key_, "client to daemon", clientNonce_, daemonNonce_);
    mac(toClient.data(), key_, "daemon to client", clientNonce_, daemonNonce_);
    bool client = role_ == ChannelRole::Client;
    sendKey_ = client ? toDaemon : toClient;
    receiveKey_ = client ? toClient : toDaemon;
}

void SecureChannel::fail(const char* message) {
    stage_ = Stage::Broken;
    throw IoError(message);
}

}  // namespace kiv
