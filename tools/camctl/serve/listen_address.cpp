#include "tools/camctl/serve/listen_address.h"

#include <arpa/inet.h>

#include <algorithm>

#include "tools/common/arguments.h"

namespace camctl::serve {

std::string ParseListenAddress(const std::string& text, ListenAddress* address) {
    const std::string usage =
        "--listen wants ADDR:PORT (127.0.0.1:8080, [::1]:8080, localhost:0 for a free port), "
        "not '" +
        text + "'";
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0)
        return usage;
    std::string host = text.substr(0, colon);
    int64_t port = 0;
    if (!camtools::ParseInteger(text.substr(colon + 1), 0, 65535, &port))
        return usage;
    address->ipv6 = host.front() == '[';
    if (address->ipv6) {
        if (host.size() < 3 || host.back() != ']')
            return usage;
        host = host.substr(1, host.size() - 2);
    }
    if (host == "localhost")
        host = "127.0.0.1";
    unsigned char bytes[16] = {};
    if (inet_pton(address->ipv6 ? AF_INET6 : AF_INET, host.c_str(), bytes) != 1)
        return usage;
    const unsigned char none[16] = {};
    if (std::equal(bytes, bytes + (address->ipv6 ? 16 : 4), none)) {
        return "--listen: " + text +
               " would listen on every address, and requests name none of them; name the one "
               "address to serve on";
    }
    address->host = host;
    address->port = (int)port;
    address->loopback = address->ipv6 ? host == "::1" : bytes[0] == 127;
    return "";
}

std::string HostPort(const ListenAddress& address, int port) {
    const std::string host = address.ipv6 ? "[" + address.host + "]" : address.host;
    return host + ":" + std::to_string(port);
}

}  // namespace camctl::serve
