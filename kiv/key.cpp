#include "kiv/key.h"

#include <sodium.h>

#include "kiv/errors.h"

namespace kiv {

Key::~Key() {
    sodium_memzero(bytes_.data(), bytes_.size());
}

Key Key::random() {
    initCrypto();
    Key key;
    randombytes_buf(key.bytes_.data(), key.bytes_.size());
    return key;
}

void initCrypto() {
    // Safe to call again: later calls return 1 and do nothing.
    if (sodium_init() < 0) throw SystemError("cannot start the cryptography library");
}

}  // namespace kiv
