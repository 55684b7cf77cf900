#include "kiv/capture.h"

#include "kiv/endpoints.h"
#include "kiv/errors.h"
#include "kiv/protocol.h"
#include "kiv/session_files.h"

namespace kiv {

std::string encodeCaptureRequest(const CaptureRequest& request) {
    std::string lines =
        request.historyLines < 0 ? "all" : std::to_string(request.historyLines);
    return std::string(request.escapes ? "e " : "p ") + lines;
}

std::optional<CaptureRequest> decodeCaptureRequest(std::string_view payload) {
    if (payload.size() < 3 || payload[1] != ' ' || (payload[0] != 'e' && payload[0] != 'p'))
        return std::nullopt;
    CaptureRequest r;
    r.escapes = payload[0] == 'e';
    std::string_view lines = payload.substr(2);
    if (lines == "all") {
        r.historyLines = -1;
        return r;
    }
    if (lines.size() > 18) return std::nullopt;
    for (char ch : lines) {
        if (ch < '0' || ch > '9') return std::nullopt;
        r.historyLines = r.historyLines * 10 + (ch - '0');
    }
    return r;
}

// The answer comes as Capture frames, then an empty one; nothing else is
// sent to a client that has not sent its size, but a message of another
// kind is skipped all the same.
std::string captureSession(const std::string& name, const CaptureRequest& request) {
    UniqueFd sock = connectUnix(socketPath(name));
    if (!sendMsg(sock.get(), MsgKind::Capture, encodeCaptureRequest(request)))
        throw IoError("the session closed the connection");
    std::string text;
    for (;;) {
        Message m = recvMsg(sock.get());
        if (m.kind != MsgKind::Capture) continue;
        if (m.payload.empty()) return text;
        text += m.payload;
    }
}

}  // namespace kiv
