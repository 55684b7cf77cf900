// The per-user secret that every TCP connection proves on both ends: 32
// random bytes, wiped from memory when the last copy goes.
#pragma once

#include <array>
#include <cstddef>

#include "kiv/errors.h"

namespace kiv {

inline constexpr size_t KeySize = 32;

class Key {
  public:
    Key() = default;
    ~Key();
    Key(const Key& other) = default;
    Key& operator=(const Key& other) = default;

    // Fresh random bytes from the system's generator.
    static Key random();

    unsigned char* data() { return bytes_.data(); }
    const unsigned char* data() const { return bytes_.data(); }
    static constexpr size_t size() { return KeySize; }

  private:
    std::array<unsigned char, KeySize> bytes_{};
};

// A key that is missing, open to others or refused by a daemon: a system
// error whose message must reach the user as it is, since it says what to
// copy or change, even where other failures to connect are summed up.
class KeyError : public SystemError {
  public:
    using SystemError::SystemError;
};

// Makes libsodium ready for use; every user of its functions calls this
// first. Raises SystemError when the library cannot start.
void initCrypto();

}  // namespace kiv
