#include "http/URLPolicy.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <optional>

#include <curl/curl.h>

#include "http/HTTPError.hpp"

namespace tandril {

namespace {

// Owns a CURLU handle.
struct URLHandle {
    CURLU* handle = curl_url();
    URLHandle() = default;
    URLHandle(const URLHandle&) = delete;
    URLHandle& operator=(const URLHandle&) = delete;
    ~URLHandle() { curl_url_cleanup(handle); }

    std::optional<std::string> get(CURLUPart part) const {
        char* text = nullptr;
        if (curl_url_get(handle, part, &text, 0) != CURLUE_OK || text == nullptr) {
            return std::nullopt;
        }
        std::string result(text);
        curl_free(text);
        return result;
    }
};

std::string lowercased(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return out;
}

}  // namespace

bool URLPolicy::isLoopbackHost(std::string_view host) {
    std::string name = lowercased(host);
    if (!name.empty() && name.back() == '.') {
        name.pop_back();
    }
    if (name == "localhost") {
        return true;
    }
    if (name.size() > 2 && name.front() == '[' && name.back() == ']') {
        const std::string inner = name.substr(1, name.size() - 2);
        in6_addr address{};
        if (inet_pton(AF_INET6, inner.c_str(), &address) != 1) {
            return false;
        }
        if (IN6_IS_ADDR_LOOPBACK(&address)) {
            return true;
        }
        return IN6_IS_ADDR_V4MAPPED(&address) && address.s6_addr[12] == 127;
    }
    in_addr address{};
    if (inet_pton(AF_INET, name.c_str(), &address) != 1) {
        return false;
    }
    return (ntohl(address.s_addr) >> 24) == 127;
}

URLPolicy::Result URLPolicy::check(const std::string& url, bool allowLoopback) {
    Result result;
    URLHandle parsed;
    if (parsed.handle == nullptr || url.find('\0') != std::string::npos ||
        curl_url_set(parsed.handle, CURLUPART_URL, url.c_str(), CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK) {
        result.error = HTTPError::make(HTTPError::InvalidURL, "The address is not a valid absolute URL.", url);
        return result;
    }
    const std::string scheme = lowercased(parsed.get(CURLUPART_SCHEME).value_or(""));
    if (scheme != "https" && scheme != "http") {
        result.error = HTTPError::make(HTTPError::UnsupportedURL,
                                       "Only https addresses are fetched (this one is \"" + scheme + "\").", url);
        return result;
    }
    const std::optional<std::string> host = parsed.get(CURLUPART_HOST);
    if (!host || host->empty()) {
        result.error = HTTPError::make(HTTPError::InvalidURL, "The address has no host.", url);
        return result;
    }
    result.loopback = isLoopbackHost(*host);
    if (result.loopback && !allowLoopback) {
        result.error = HTTPError::make(HTTPError::RedirectRefused,
                                       "A remote server may not send the client to a local address.", url);
        return result;
    }
    if (scheme == "http" && !result.loopback) {
        if (parsed.get(CURLUPART_PORT) == std::optional<std::string>("80")) {
            curl_url_set(parsed.handle, CURLUPART_PORT, nullptr, 0);
        }
        if (curl_url_set(parsed.handle, CURLUPART_SCHEME, "https", 0) != CURLUE_OK) {
            result.error = HTTPError::make(HTTPError::InvalidURL, "The address is not a valid absolute URL.", url);
            return result;
        }
    }
    const std::optional<std::string> normalized = parsed.get(CURLUPART_URL);
    if (!normalized) {
        result.error = HTTPError::make(HTTPError::InvalidURL, "The address is not a valid absolute URL.", url);
        return result;
    }
    result.url = *normalized;
    return result;
}

std::string URLPolicy::percentEncode(std::string_view text) {
    static constexpr const char* kHex = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size() * 3);
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        const bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                                c == '-' || c == '.' || c == '_' || c == '~';
        if (unreserved) {
            out.push_back(c);
        } else {
            out.push_back('%');
            out.push_back(kHex[byte >> 4]);
            out.push_back(kHex[byte & 0x0F]);
        }
    }
    return out;
}

std::optional<std::string> URLPolicy::appendingQueryItems(const std::string& url, const QueryItems& items) {
    URLHandle parsed;
    if (parsed.handle == nullptr || url.find('\0') != std::string::npos ||
        curl_url_set(parsed.handle, CURLUPART_URL, url.c_str(), CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK) {
        return std::nullopt;
    }
    // The query is written out here: setting it through curl's query part would rewrite
    // some of the escapes.
    curl_url_set(parsed.handle, CURLUPART_FRAGMENT, nullptr, 0);
    const bool hasQuery = parsed.get(CURLUPART_QUERY).has_value();
    std::optional<std::string> result = parsed.get(CURLUPART_URL);
    if (!result) {
        return std::nullopt;
    }
    char separator = hasQuery ? '&' : '?';
    for (const auto& [name, value] : items) {
        *result += separator + percentEncode(name) + "=" + percentEncode(value);
        separator = '&';
    }
    if (curl_url_set(parsed.handle, CURLUPART_URL, result->c_str(), CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK) {
        return std::nullopt;
    }
    return parsed.get(CURLUPART_URL);
}

}  // namespace tandril
