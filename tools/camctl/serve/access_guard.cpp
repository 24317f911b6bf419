#include "tools/camctl/serve/access_guard.h"

#include <sys/random.h>

#include <algorithm>
#include <cstdio>

namespace camctl::serve {

namespace {

constexpr size_t kTokenBytes = 16;

// The value of cookie `name` in a Cookie header ("a=1; b=2"), or empty.
std::string CookieValue(const std::string& header, const std::string& name) {
    size_t at = 0;
    while (at < header.size()) {
        while (at < header.size() && (header[at] == ' ' || header[at] == ';'))
            ++at;
        const size_t end = std::min(header.find(';', at), header.size());
        const std::string pair = header.substr(at, end - at);
        if (pair.compare(0, name.size() + 1, name + "=") == 0)
            return pair.substr(name.size() + 1);
        at = end;
    }
    return "";
}

}  // namespace

std::string NewToken() {
    unsigned char bytes[kTokenBytes];
    if (getrandom(bytes, sizeof(bytes), 0) != (ssize_t)sizeof(bytes))
        return "";
    std::string token;
    for (unsigned char byte : bytes) {
        char hex[3];
        std::snprintf(hex, sizeof(hex), "%02x", byte);
        token += hex;
    }
    return token;
}

AccessGuard::AccessGuard(std::string token, std::vector<std::string> hosts)
    : token_(std::move(token)), hosts_(std::move(hosts)) {}

// Compares every byte whatever the first difference, so the time taken tells nothing of the token.
bool AccessGuard::Matches(const std::string& candidate) const {
    if (candidate.size() != token_.size())
        return false;
    unsigned char differences = 0;
    for (size_t i = 0; i < token_.size(); ++i)
        differences |= (unsigned char)(candidate[i] ^ token_[i]);
    return differences == 0;
}

std::string AccessGuard::Check(const std::string& host, const std::string& authorization,
                               const std::string& cookie, const std::string& query_token,
                               int* status) const {
    if (std::find(hosts_.begin(), hosts_.end(), host) == hosts_.end()) {
        *status = 403;
        return "the Host header '" + host + "' does not name the address served (" +
               hosts_.front() + ")";
    }
    const std::string bearer = "Bearer ";
    const bool by_header = authorization.compare(0, bearer.size(), bearer) == 0 &&
                           Matches(authorization.substr(bearer.size()));
    if (by_header || Matches(query_token) || Matches(CookieValue(cookie, kTokenCookie)))
        return "";
    *status = 401;
    return "this needs the token that camctl serve printed: open the URL it printed "
           "(http://" +
           hosts_.front() + "/?token=...), or send Authorization: Bearer TOKEN";
}

std::string AccessGuard::Cookie() const {
    return std::string(kTokenCookie) + "=" + token_ + "; Path=/; HttpOnly; SameSite=Strict";
}

}  // namespace camctl::serve
