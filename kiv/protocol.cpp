#include "kiv/protocol.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

#include "kiv/errors.h"

namespace kiv {

namespace {

constexpr uint8_t LastKind = static_cast<uint8_t>(MsgKind::Keys);

size_t lengthAt(const unsigned char* bytes) {
    return size_t{bytes[0]} << 24 | size_t{bytes[1]} << 16 | size_t{bytes[2]} << 8 | bytes[3];
}

[[noreturn]] void unknownKind(uint8_t kind) {
    throw IoError("unknown message kind: " + std::to_string(kind));
}

[[noreturn]] void frameTooLarge(size_t length) {
    throw IoError("frame too large: " + std::to_string(length) + " bytes");
}

}  // namespace

void writeHeader(char* at, MsgKind kind, size_t length) {
    at[0] = static_cast<char>(ProtocolVersion);
    at[1] = static_cast<char>(kind);
    for (int i = 0; i < 4; ++i)
        at[2 + i] = static_cast<char>(length >> (24 - 8 * i));
}

std::string frameBytes(MsgKind kind, std::string_view payload) {
    size_t length = payload.size();
    if (length > MaxPayload) throw IoError("payload too large: " + std::to_string(length));
    std::string frame(HeaderSize + length, '\0');
    writeHeader(frame.data(), kind, length);
    std::copy(payload.begin(), payload.end(), frame.begin() + HeaderSize);
    return frame;
}

std::string resizePayload(WindowSize size) {
    auto cols = static_cast<unsigned>(size.cols), rows = static_cast<unsigned>(size.rows);
    return {static_cast<char>(cols >> 8 & 0xff), static_cast<char>(cols & 0xff),
            static_cast<char>(rows >> 8 & 0xff), static_cast<char>(rows & 0xff)};
}

std::string repaintPayload(WindowSize size) {
    return resizePayload(size) + '\x01';
}

bool asksRepaint(std::string_view payload) {
    return payload.size() >= 5 && payload[4] == '\x01';
}

std::optional<WindowSize> readResize(std::string_view payload) {
    if (payload.size() < 4) return std::nullopt;
    auto byte = [&](size_t i) { return static_cast<unsigned char>(payload[i]); };
    return WindowSize{byte(0) << 8 | byte(1), byte(2) << 8 | byte(3)};
}

std::string positionPayload(uint64_t position) {
    std::string out(8, '\0');
    for (int i = 0; i < 8; ++i)
        out[i] = static_cast<char>(position >> (56 - 8 * i));
    return out;
}

std::optional<uint64_t> readPosition(std::string_view payload) {
    if (payload.size() != 8) return std::nullopt;
    uint64_t position = 0;
    for (char c : payload)
        position = position << 8 | static_cast<unsigned char>(c);
    return position;
}

namespace {
constexpr uint8_t ReadOnlyFlag = 1, NoTerminalFlag = 2, DetachOthersFlag = 4, HandsTerminalFlag = 8,
                  HandsKeyboardFlag = 16;
}  // namespace

std::string rolePayload(const ClientRole& role) {
    uint8_t flags = (role.readOnly ? ReadOnlyFlag : 0) | (role.terminal ? 0 : NoTerminalFlag) |
                    (role.detachOthers ? DetachOthersFlag : 0) |
                    (role.handsTerminal ? HandsTerminalFlag : 0) |
                    (role.handsKeyboard ? HandsKeyboardFlag : 0);
    return {static_cast<char>(flags), static_cast<char>(role.policy)};
}

ClientRole readRole(std::string_view payload) {
    ClientRole role;
    uint8_t flags = payload.empty() ? 0 : static_cast<uint8_t>(payload[0]);
    role.readOnly = flags & ReadOnlyFlag;
    role.terminal = !(flags & NoTerminalFlag);
    role.detachOthers = flags & DetachOthersFlag;
    role.handsTerminal = flags & HandsTerminalFlag;
    role.handsKeyboard = flags & HandsKeyboardFlag;
    uint8_t policy = payload.size() < 2 ? 0 : static_cast<uint8_t>(payload[1]);
    if (policy <= static_cast<uint8_t>(SizePolicy::Largest)) role.policy = SizePolicy(policy);
    return role;
}

bool takeFrame(std::string_view buffer, size_t& offset, MsgKind& kind, std::string& payload) {
    std::string_view view;
    if (!takeFrame(buffer, offset, kind, view)) return false;
    payload.assign(view);
    return true;
}

bool takeFrame(std::string_view buffer, size_t& offset, MsgKind& kind, std::string_view& payload) {
    if (offset > buffer.size() || buffer.size() - offset < HeaderSize) return false;
    auto header = reinterpret_cast<const unsigned char*>(buffer.data() + offset);
    if (header[0] != ProtocolVersion) throw IoError("protocol version mismatch");
    size_t length = lengthAt(header + 2);
    if (length > MaxPayload) frameTooLarge(length);
    if (buffer.size() - offset - HeaderSize < length) return false;
    if (header[1] > LastKind) unknownKind(header[1]);

    kind = static_cast<MsgKind>(header[1]);
    payload = buffer.substr(offset + HeaderSize, length);
    offset += HeaderSize + length;
    return true;
}

bool takeFrame(std::string& buffer, MsgKind& kind, std::string& payload) {
    size_t used = 0;
    if (!takeFrame(std::string_view(buffer), used, kind, payload)) return false;
    buffer.erase(0, used);
    return true;
}

FrameHeader decodeHeader(const unsigned char (&header)[HeaderSize]) {
    if (header[0] != ProtocolVersion) throw IoError("protocol version mismatch");
    if (header[1] > LastKind) unknownKind(header[1]);
    size_t length = lengthAt(header + 2);
    if (length > MaxPayload) frameTooLarge(length);
    return {static_cast<MsgKind>(header[1]), length};
}

bool sendMsg(int fd, MsgKind kind, std::string_view payload) {
    if (payload.size() > MaxPayload) return false;
    std::string frame = frameBytes(kind, payload);
    size_t sent = 0;
    while (sent < frame.size()) {
        // MSG_NOSIGNAL: a peer that went away is an error result here, even
        // in a process that has not set SIGPIPE aside.
        ssize_t n = send(fd, frame.data() + sent, frame.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            return false;
        }
    }
    return true;
}

bool readFull(int fd, void* dst, size_t count) {
    auto out = static_cast<char*>(dst);
    size_t got = 0;
    while (got < count) {
        ssize_t n = recv(fd, out + got, count - got, 0);
        if (n <= 0) return false;
        got += static_cast<size_t>(n);
    }
    return true;
}

Message recvMsg(int fd) {
    unsigned char header[HeaderSize];
    if (!readFull(fd, header, sizeof header)) throw IoError("short read on message header");
    FrameHeader h = decodeHeader(header);
    Message message{h.kind, std::string(h.length, '\0')};
    if (h.length > 0 && !readFull(fd, message.payload.data(), h.length))
        throw IoError("short read on message payload");
    return message;
}

}  // namespace kiv
