#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "http/URLPolicy.hpp"

namespace tandril {

// One GET request: no body, the client's default headers.
struct HTTPRequest {
    std::string url;
    // Added to the URL's query, each name and value percent-encoded.
    QueryItems query;
    // Lower-case media types that the answer may carry; empty accepts any.
    std::vector<std::string> acceptableContentTypes;
    // A longer body fails the request with HTTPError::ResponseTooLarge.
    std::size_t maxBodyBytes = 1024 * 1024;
    // Whether `url` itself may name a loopback host (see URLPolicy). Addresses handed out
    // by a remote server (artwork links) pass false unless that server was local too.
    bool allowLoopback = true;
};

}  // namespace tandril
