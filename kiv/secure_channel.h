// The protection of a TCP connection: both ends prove that they hold the
// per-user key, then every byte travels in encrypted, authenticated records.
//
// Handshake (sizes in bytes):
//   client -> daemon  hello: "kiv-auth" magic (8), client nonce Nc (32)
//   daemon -> client  daemon nonce Nd (32)
//   client -> daemon  client proof  = MAC(key, "client proof" | Nc | Nd) (32)
//   daemon -> client  daemon proof  = MAC(key, "daemon proof" | Nc | Nd) (32)
// The client proves itself first, so a peer without the key learns nothing
// from a daemon but a random nonce; the client sends nothing but its hello
// and proof before the daemon has proved itself, so an impostor learns
// neither a keystroke nor the session name. Both nonces are fresh, so a
// recorded handshake never passes again. The proofs and the two
// per-direction record keys are keyed BLAKE2b of the same inputs under
// different labels.
//
// Records: a 4-byte big-endian length, then that many bytes of
// XChaCha20-Poly1305 ciphertext and tag, the length bytes authenticated
// too. Each direction has its own key and counts its records from 0; the
// count is the nonce. A replayed, reordered, dropped, cut or altered record
// fails to open, and the connection must end.
//
// The channel does no I/O: callers feed it received bytes and send what it
// gives them, so the daemon can run it without blocking.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "kiv/key.h"

namespace kiv {

inline constexpr std::string_view HelloMagic = "kiv-auth";
inline constexpr size_t HandshakeNonceSize = 32;
inline constexpr size_t ProofSize = 32;
inline constexpr size_t HelloSize = HelloMagic.size() + HandshakeNonceSize;
inline constexpr size_t RecordHeaderSize = 4;
inline constexpr size_t RecordTagSize = 16;
// Plain bytes per record; longer input is sealed as several records.
inline constexpr size_t RecordPlainMax = 64 * 1024;

enum class ChannelRole { Client, Daemon };

class SecureChannel {
  public:
    SecureChannel(ChannelRole role, const Key& key);

    // The client's first bytes on the connection; empty for a daemon.
    std::string hello() const;

    // Takes bytes received from the peer. Handshake answers are appended to
    // `reply` (to be sent as they are), the plain bytes of whole records to
    // `plain`. Raises IoError, after which the channel refuses everything,
    // when the peer is not a kiv peer, fails its proof, or sends a record
    // that does not open.
    void receive(std::string_view bytes, std::string& plain, std::string& reply);

    // True once both ends have proved the key: records may flow.
    bool established() const { return stage_ == Stage::Established; }
    // A daemon's channel: the peer's whole hello has arrived (it may be a
    // kiv client; a stranger that only connects never gets this far).
    bool greeted() const {
        return stage_ == Stage::AwaitClientProof || stage_ == Stage::Established;
    }

    // Seals `plain` into records appended to `out`; only once established.
    void seal(std::string_view plain, std::string& out);

    // Received bytes held for a handshake message or record not yet whole.
    size_t pending() const { return in_.size(); }

  private:
    enum class Stage {
        AwaitHello,        // daemon
        AwaitNonce,        // client
        AwaitClientProof,  // daemon
        AwaitDaemonProof,  // client
        Established,
        Broken,
    };

    // Consumes one step's worth of `in_` at `used`; false when more bytes
    // are needed.
    bool step(size_t& used, std::string& plain, std::string& reply);
    bool openRecord(size_t& used, std::string& plain);
    void deriveRecordKeys();
    [[noreturn]] void fail(const char* message);

    ChannelRole role_;
    Stage stage_;
    Key key_;
    unsigned char clientNonce_[HandshakeNonceSize] = {};
    unsigned char daemonNonce_[HandshakeNonceSize] = {};
    Key sendKey_;
    Key receiveKey_;
    uint64_t sent_ = 0;      // records sealed
    uint64_t received_ = 0;  // records opened
    std::string in_;
};

}  // namespace kiv
