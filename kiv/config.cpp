#include "kiv/config.h"

#include <arpa/inet.h>

#include <cstdlib>

#include "kiv/errors.h"
#include "kiv/integer.h"

namespace kiv {

SizePolicy sizePolicyFromEnvironment() {
    const char* raw = std::getenv(SizeVar);
    std::string_view value = raw ? raw : "";
    if (value.empty() || value == "latest") return SizePolicy::Latest;
    if (value == "smallest") return SizePolicy::Smallest;
    if (value == "largest") return SizePolicy::Largest;
    throw UsageError(std::string(SizeVar) + " must be latest, smallest or largest, got: " +
                     std::string(value));
}

ListenAddr parseListen(std::string_view text) {
    size_t colon = text.rfind(':');
    if (colon == std::string_view::npos)
        throw UsageError("listen must be host:port, got: " + std::string(text));
    std::string host(text.substr(0, colon));
    std::string portText(text.substr(colon + 1));

    int64_t port = parseInteger(portText);
    if (port < 1 || port > 65535) throw UsageError("listen port out of range: " + portText);
    if (host.empty()) throw UsageError("listen host missing");

    ListenAddr result;
    result.port = static_cast<int>(port);
    result.host = host;
    bool embeddedNul = host.find('\0') != std::string::npos;
    if (host.find(':') != std::string::npos) {
        result.family = AF_INET6;
        if (embeddedNul || inet_pton(AF_INET6, host.c_str(), result.addr.data()) != 1)
            throw UsageError("invalid IPv6 address: " + host);
    } else {
        result.family = AF_INET;
        if (embeddedNul || inet_pton(AF_INET, host.c_str(), result.addr.data()) != 1)
            throw UsageError("invalid IPv4 address: " + host);
    }
    return result;
}

std::string addressText(const ListenAddr& addr) {
    char text[INET6_ADDRSTRLEN] = {};
    if (!inet_ntop(addr.family, addr.addr.data(), text, sizeof text)) return addr.host;
    return text;
}

}  // namespace kiv
