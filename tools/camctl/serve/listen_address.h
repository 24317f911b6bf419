// Where serve listens: ADDR:PORT, an IPv4 address or a bracketed IPv6 one (or localhost), and a
// port (0: a free one). A wildcard address is refused: the page checks the Host header of every
// request against the address served, and a wildcard names none.
#pragma once

#include <string>

namespace camctl::serve {

inline constexpr const char* kDefaultListen = "127.0.0.1:8080";

struct ListenAddress {
    std::string host;  // as the socket takes it: 127.0.0.1, ::1
    int port = 0;
    bool ipv6 = false;
    bool loopback = false;
};

// Returns what is wrong with `text`, or an empty string.
std::string ParseListenAddress(const std::string& text, ListenAddress* address);

// "127.0.0.1:8080", "[::1]:8080": the address as a URL and a Host header name it.
std::string HostPort(const ListenAddress& address, int port);

}  // namespace camctl::serve
