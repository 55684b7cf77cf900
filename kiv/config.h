// The run configuration handed to the daemon and the attach client, and the
// "host:port" listen address they share.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "kiv/detach_key.h"
#include "kiv/protocol.h"

namespace kiv {

struct Config {
    std::string listen;  // "host:port", empty when TCP is off
    bool log = false;
    DetachKey detachKey;  // the attach client's; from the environment, not the command line
    bool readOnly = false;      // attach as a viewer: keys and window size change nothing
    bool detachOthers = false;  // attaching detaches every other client
    SizePolicy sizePolicy = SizePolicy::Latest;  // from KIV_SIZE
};

// The variable that picks the size policy of the session a client attaches to.
inline constexpr const char* SizeVar = "KIV_SIZE";
// "latest", "smallest" or "largest"; unset or empty is "latest". Raises
// UsageError for anything else.
SizePolicy sizePolicyFromEnvironment();

// A numeric IP address (never a host name) and a port 1..65535.
struct ListenAddr {
    int family = 0;                  // AF_INET or AF_INET6
    std::array<uint8_t, 16> addr{};  // network order; the first 4 bytes for IPv4
    int port = 0;
    std::string host;  // the address as the user wrote it
};

// Parses "host:port"; the port follows the last ':' so that "::1:7000" is
// IPv6 loopback on port 7000. Raises UsageError.
ListenAddr parseListen(std::string_view text);

// The address in its standard text form, e.g. "127.0.0.1" or "::1".
std::string addressText(const ListenAddr& addr);

}  // namespace kiv
