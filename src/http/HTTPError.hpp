#pragma once

#include <cstdint>
#include <string>

#include "foundation/Error.hpp"

namespace tandril {

// Errors of the HTTP client: domain "TDRHTTPErrorDomain", the codes below, and always an
// "NSLocalizedDescription". Errors about one address also carry it under
// "NSErrorFailingURLStringKey"; status errors carry the status under "TDRHTTPStatusCode".
class HTTPError {
public:
    static constexpr const char* kDomain = "TDRHTTPErrorDomain";
    static constexpr const char* kFailingURLKey = "NSErrorFailingURLStringKey";
    static constexpr const char* kStatusCodeKey = "TDRHTTPStatusCode";

    enum Code : std::int64_t {
        InvalidURL = 1,           // not an absolute URL with a host
        UnsupportedURL = 2,       // a scheme other than https (or http to a loopback host)
        RedirectRefused = 3,      // a redirect without a target, or to a place not allowed
        TooManyRedirects = 4,
        TransportFailed = 5,      // connection, TLS or protocol failure
        TimedOut = 6,
        UnacceptableStatus = 7,   // status outside 200-299
        UnacceptableContentType = 8,
        ResponseTooLarge = 9,     // the body passed the request's size cap
        InvalidJSON = 10,
        InvalidImage = 11,
        Cancelled = 12,           // the client went away before the answer came
    };

    static ErrorPtr make(Code code, const std::string& description, const std::string& url = {});
    static ErrorPtr unacceptableStatus(long status, const std::string& url);
};

}  // namespace tandril
