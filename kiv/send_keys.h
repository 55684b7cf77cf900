// `kiv send`: text typed into a session from a script, without attaching:
// no terminal, no size, no screen, nothing left behind.
#pragma once

#include <optional>
#include <string>

namespace kiv {

// Types `text`, or with none everything on standard input, into the
// session over its Unix socket, as a client's keystrokes go, and returns
// once the daemon has taken all of it. Raises SystemError when nobody
// answers on the socket, IoError when the connection fails part way.
void sendKeys(const std::string& session, const std::optional<std::string>& text);

}  // namespace kiv
