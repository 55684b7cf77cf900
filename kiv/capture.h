// `kiv capture`: what it asks a daemon for, as a Capture message carries it
// ("e" or "p": with or without colours and attributes, a space, then how
// many history lines come before the screen: a number, or "all"), and the
// asking.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kiv {

struct CaptureRequest {
    bool escapes = false;
    int64_t historyLines = 0;  // -1: all of them
};

std::string encodeCaptureRequest(const CaptureRequest& request);
// Nothing when the payload is not such a request.
std::optional<CaptureRequest> decodeCaptureRequest(std::string_view payload);

// The session's text, asked over its Unix socket. Raises SystemError when
// nobody answers there, IoError when the answer breaks off.
std::string captureSession(const std::string& name, const CaptureRequest& request);

}  // namespace kiv
