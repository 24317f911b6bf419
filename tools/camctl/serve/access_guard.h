// Who may talk to serve: requests that name the address served in their Host header (a page of
// another name that resolves to this address, DNS rebinding, is refused) and carry the random token
// serve printed: in the URL (?token=T), as Authorization: Bearer T, or in the cookie the page gets
// with its first load, which the browser sends to this address alone (SameSite=Strict), so that
// another web page in the same browser can neither read nor use it.
#pragma once

#include <string>
#include <vector>

namespace camctl::serve {

inline constexpr const char* kTokenCookie = "camctl_token";

// 128 random bits as 32 hex digits; empty when the system has no randomness to give.
std::string NewToken();

class AccessGuard {
  public:
    // `hosts`: the Host header values that name the address served.
    AccessGuard(std::string token, std::vector<std::string> hosts);

    // Why a request with these headers and query token is refused; empty when it may proceed.
    // *status gets the HTTP status to refuse with.
    std::string Check(const std::string& host, const std::string& authorization,
                      const std::string& cookie, const std::string& query_token, int* status) const;
    // The Set-Cookie value that lets the page's later requests in.
    std::string Cookie() const;
    const std::string& token() const { return token_; }

  private:
    bool Matches(const std::string& candidate) const;

    std::string token_;
    std::vector<std::string> hosts_;
};

}  // namespace camctl::serve
