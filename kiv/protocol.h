// The message protocol between a daemon and its clients. Every message is a
// frame: version byte, kind byte, 4-byte big-endian payload length, payload.
//
// The daemon reads without blocking and reassembles frames from a buffer
// (takeFrame); the attach client uses blocking calls (sendMsg, recvMsg).
// Protocol faults are IoError; the stream is never resynchronised after one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kiv {

enum class MsgKind : uint8_t {
    Input = 0,     // client to daemon: typed bytes for the terminal
    Output = 1,    // daemon to client: terminal output, or the screen snapshot
    Resize = 2,    // columns then rows, 16 bits each, big-endian
    Attach = 3,    // client to daemon over TCP: the session name
    Detach = 4,    // client to daemon: close my connection
    Error = 5,     // daemon to client: "no such session"
    AttachOk = 6,  // daemon to client: the Attach was accepted
    Details = 7,   // client to daemon: empty, a question; the answer: the session's details
    Ended = 8,     // daemon to client: how the session ended (session_end.h), the last
                   // message; the client says it back, empty, to collect an ended session
    // Client to daemon, before its first Resize: who the user's terminal is
    // (see terminalIdentity()), so that it is sent only the history it
    // does not hold yet.
    Terminal = 9,
    // Client to daemon: a question (see CaptureRequest); the answer: the
    // session's text.
    Capture = 10,
    Role = 11,  // client to daemon, before its first Resize: how it attaches (ClientRole)
    // The daemon's writing to the user's terminal itself, over the Unix
    // socket, for a client whose Role says it can hand its terminal over.
    // Daemon to client: hand it over; DirectKeys as the payload asks for
    // the keyboard too, if the Role offered it. Client to daemon, with the
    // terminal's descriptor attached (SCM_RIGHTS): here it is; empty, or
    // with the keyboard, the client's detach key (the control character
    // itself, or "none"). From then on the client reads no keys until Keys.
    Direct = 12,
    // Daemon to client: output the daemon has written to the client's
    // terminal itself; the client only takes note of it.
    Shown = 13,
    // Daemon to client, empty: say when everything before this is on the
    // terminal. Client to daemon: it is, up to this position of the
    // stream the daemon sent (8 bytes, big-endian, counted from the first).
    Written = 14,
    // Daemon to client: the daemon reads the client's keyboard no more (its
    // process is no longer in front there, the terminal hung up, or the
    // detach key came); the client reads its keys itself again, the payload
    // first, as if it had read those bytes itself.
    Keys = 15,
};

// The payload of a Direct that asks for the keyboard too.
inline constexpr std::string_view DirectKeys = "keys";

inline constexpr uint8_t ProtocolVersion = 2;
inline constexpr size_t MaxPayload = 16777215;  // so a valid length's top byte is 0
inline constexpr size_t HeaderSize = 6;

struct Message {
    MsgKind kind;
    std::string payload;
};

// A window size as a Resize carries it: columns, then rows, each an unsigned
// 16-bit big-endian number. Both sides encode and decode it only here.
struct WindowSize {
    int cols = 0;
    int rows = 0;
};
std::string resizePayload(WindowSize size);  // each value cut to 16 bits
// A client's Resize that asks for the screen again at any size: its terminal
// showed something else meanwhile (the client was stopped, and its shell
// had the terminal). A fifth byte, which older daemons do not read.
std::string repaintPayload(WindowSize size);
bool asksRepaint(std::string_view payload);
// The size a Resize payload holds; nothing when it is shorter than 4 bytes
// (bytes after the fourth are not read).
std::optional<WindowSize> readResize(std::string_view payload);

// A Written position as the client reports it; nothing when the payload is
// not 8 bytes.
std::string positionPayload(uint64_t position);
std::optional<uint64_t> readPosition(std::string_view payload);

// How a client attaches, as its Role message says. A client that sends
// none is an interactive terminal that sizes the session by the latest
// policy.
enum class SizePolicy : uint8_t {
    Latest = 0,    // the size of the client that last attached, typed or resized
    Smallest = 1,  // the smallest of the clients' sizes, each way
    Largest = 2,   // the largest, each way
};
struct ClientRole {
    bool readOnly = false;      // its keys (but for its detach key) and its size are ignored
    bool terminal = true;       // false: no screen to repaint, no size; live output as it comes
    bool detachOthers = false;  // every other client of the session is detached
    SizePolicy policy = SizePolicy::Latest;  // the session's, from this client on
    bool handsTerminal = false;  // can hand its terminal to the daemon (see MsgKind::Direct)
    // ... and its keyboard: the terminal is its input too, and its process
    // is in front there.
    bool handsKeyboard = false;
};
// One byte of flags, one of policy; unknown flags and policies are read as
// the defaults, so either side may add some.
std::string rolePayload(const ClientRole& role);
ClientRole readRole(std::string_view payload);

// The complete frame for one message. A payload over MaxPayload raises
// IoError "payload too large: <length>".
std::string frameBytes(MsgKind kind, std::string_view payload);

// Writes the header of a frame of `length` payload bytes at `at`, so that a
// payload read in place behind it becomes a frame without a copy. The
// length must be at most MaxPayload.
void writeHeader(char* at, MsgKind kind, size_t length);

// Takes the first complete frame off the front of `buffer`. False when the
// buffer does not hold one yet (buffer unchanged). Raises IoError on a
// malformed header, leaving the buffer as it was. The length is checked as
// soon as the header is in, the kind only once the whole frame is.
//
// Erasing from the front costs the size of the rest, so a caller that takes
// many frames from one large buffer should use the offset form below.
bool takeFrame(std::string& buffer, MsgKind& kind, std::string& payload);

// As above, but reads the frame that starts at `offset` and, on success,
// moves `offset` past it instead of erasing anything. Take frames until this
// returns false, then erase the first `offset` bytes once:
//
//     size_t used = 0;
//     while (takeFrame(buffer, used, kind, payload)) handle(kind, payload);
//     buffer.erase(0, used);
bool takeFrame(std::string_view buffer, size_t& offset, MsgKind& kind, std::string& payload);
// As above, the payload left where it lies in `buffer`.
bool takeFrame(std::string_view buffer, size_t& offset, MsgKind& kind, std::string_view& payload);

// The kind and payload length of a received header, checked as recvMsg
// checks them: version, then kind, then length. Raises IoError.
struct FrameHeader {
    MsgKind kind;
    size_t length;
};
FrameHeader decodeHeader(const unsigned char (&header)[HeaderSize]);

// Sends one whole frame on a blocking socket. False, with nothing sent, for
// a payload over MaxPayload; false when the connection fails part way (the
// connection is then unusable). Never raises.
bool sendMsg(int fd, MsgKind kind, std::string_view payload);

// Reads exactly `count` bytes from a blocking descriptor. False on end of
// stream or any error, an interrupted call included.
bool readFull(int fd, void* dst, size_t count);

// Reads one whole message from a blocking descriptor. Raises IoError on a
// short read, a malformed header or an oversized length (before reading any
// of the payload).
Message recvMsg(int fd);

}  // namespace kiv
