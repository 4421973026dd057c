#include "http/HTTPError.hpp"

namespace tandril {

ErrorPtr HTTPError::make(Code code, const std::string& description, const std::string& url) {
    Dictionary userInfo{{NSLocalizedDescriptionKey, Value(description)}};
    if (!url.empty()) {
        userInfo.emplace(kFailingURLKey, Value(url));
    }
    return Error::make(kDomain, code, std::move(userInfo));
}

ErrorPtr HTTPError::unacceptableStatus(long status, const std::string& url) {
    Dictionary userInfo{
        {NSLocalizedDescriptionKey, Value("The server answered with status " + std::to_string(status) + ".")},
        {kStatusCodeKey, Value(static_cast<std::int64_t>(status))},
    };
    if (!url.empty()) {
        userInfo.emplace(kFailingURLKey, Value(url));
    }
    return Error::make(kDomain, UnacceptableStatus, std::move(userInfo));
}

}  // namespace tandril
