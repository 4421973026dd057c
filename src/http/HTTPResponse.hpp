#pragma once

#include <string>

#include "foundation/Bytes.hpp"

namespace tandril {

// A successful answer: status 200-299 and an acceptable content type.
struct HTTPResponse {
    std::string url;          // the address that answered, after redirects
    long statusCode = 0;
    std::string contentType;  // the media type, lower-case, without parameters
    Bytes body;
};

}  // namespace tandril
