#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "foundation/Error.hpp"

namespace tandril {

using QueryItems = std::vector<std::pair<std::string, std::string>>;

// Which addresses the HTTP client fetches. Every request, and every hop of a redirect, goes
// through check():
//   - only absolute http and https URLs with a host are fetched; file:, ftp: and every other
//     scheme are refused;
//   - https is fetched as given;
//   - http is upgraded to https ("http://host:80/..." becomes "https://host/..."), except
//     for loopback hosts (127.0.0.0/8, localhost, [::1]), which keep plain http;
//   - a loopback host is fetched only where loopback is allowed: a request that starts at
//     a loopback address, never a redirect or a link that a remote server hands out.
// Host names that merely resolve to a loopback address count as remote (so they get https).
class URLPolicy {
public:
    struct Result {
        std::string url;      // the URL to fetch; empty on error
        bool loopback = false;
        ErrorPtr error;       // HTTPError InvalidURL, UnsupportedURL or RedirectRefused
    };

    static Result check(const std::string& url, bool allowLoopback);

    // The host part as it stands in a URL ("[::1]" for IPv6), lower-cased.
    static bool isLoopbackHost(std::string_view host);

    // Percent-encodes everything but the unreserved characters A-Z a-z 0-9 - . _ ~
    // (upper-case hex), as a query value must be.
    static std::string percentEncode(std::string_view text);

    // The URL with "name=value" pairs (both percent-encoded) added to its query; nullopt
    // when the URL cannot be parsed.
    static std::optional<std::string> appendingQueryItems(const std::string& url, const QueryItems& items);
};

}  // namespace tandril
