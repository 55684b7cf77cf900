#include "kiv/send_keys.h"

#include <unistd.h>

#include <cerrno>
#include <string_view>

#include "kiv/endpoints.h"
#include "kiv/errors.h"
#include "kiv/protocol.h"
#include "kiv/session_files.h"

namespace kiv {

namespace {

// As much as the attach client sends at once: the daemon holds Input of
// this size back in the socket while the command lags, so the sender waits
// there, and nothing piles up in the daemon.
constexpr size_t InputChunk = 4096;

void sendInput(int sock, std::string_view bytes) {
    for (size_t at = 0; at < bytes.size(); at += InputChunk)
        if (!sendMsg(sock, MsgKind::Input, bytes.substr(at, InputChunk)))
            throw IoError("connection to the session lost");
}

}  // namespace

void sendKeys(const std::string& session, const std::optional<std::string>& text) {
    UniqueFd sock = connectUnix(socketPath(session));
    if (text) {
        sendInput(sock.get(), *text);
    } else {
        char buf[InputChunk];
        for (;;) {
            ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) throw SystemError("read failed: standard input");
            if (n == 0) break;
            sendInput(sock.get(), std::string_view(buf, static_cast<size_t>(n)));
        }
    }
    // The daemon handles a client's messages in order and closes the
    // connection at its Detach: once it has, every byte has gone its way.
    if (!sendMsg(sock.get(), MsgKind::Detach, "")) throw IoError("connection to the session lost");
    char sink[256];
    for (;;) {
        ssize_t n = ::read(sock.get(), sink, sizeof sink);
        if (n > 0 || (n < 0 && errno == EINTR)) continue;
        break;
    }
}

}  // namespace kiv
