// Where the per-user key lives and how it is read and made. The key file
// holds the 32 bytes of the key and nothing else; it must belong to the user
// and be closed to everyone else (mode 0600), since whoever reads it can
// attach to every session that listens on TCP.
#pragma once

#include <string>

#include "kiv/key.h"

namespace kiv {

// $KIV_KEY_FILE when set and not empty; else kiv/key under
// $XDG_CONFIG_HOME, or under ~/.config when that is unset or not absolute.
std::string keyFilePath();

// Reads the key at `path`. Raises SystemError with a line that says what to
// do: the file is missing (copy it from the daemon's machine), open to other
// users (chmod 600), someone else's, or not 32 bytes long.
Key readKeyFile(const std::string& path);

struct LoadedKey {
    Key key;
    bool created = false;  // no key was there: this one is new
};

// The daemon's side: reads the key, or when there is no file yet makes a
// new random key there (missing directories are made private to the user).
// Two daemons that start at once end up with the same key. Raises as
// readKeyFile does, or SystemError when the file cannot be made.
LoadedKey loadOrCreateKeyFile(const std::string& path);

}  // namespace kiv
