#include "foundation/Error.hpp"

namespace tandril {

Error::Error(std::string domain, std::int64_t code, Dictionary userInfo)
    : domain_(std::move(domain)), code_(code), userInfo_(std::move(userInfo)) {}

std::shared_ptr<const Error> Error::make(std::string domain, std::int64_t code, Dictionary userInfo) {
    return std::make_shared<const Error>(std::move(domain), code, std::move(userInfo));
}

std::shared_ptr<const Error> Error::withDescription(std::string domain, std::int64_t code, std::string description) {
    Dictionary info;
    info.emplace(NSLocalizedDescriptionKey, Value(std::move(description)));
    return make(std::move(domain), code, std::move(info));
}

std::string Error::localizedDescription() const {
    auto it = userInfo_.find(NSLocalizedDescriptionKey);
    if (it != userInfo_.end() && it->second.isString()) return *it->second.asString();
    // U+2019 in "couldn’t", as the platform writes it.
    return "The operation couldn\u2019t be completed. (" + domain_ + " error " + std::to_string(code_) + ".)";
}

std::string Error::description() const {
    std::string out = "Error Domain=" + domain_ + " Code=" + std::to_string(code_) + " \"" + localizedDescription() + "\"";
    if (!userInfo_.empty()) {
        out += " UserInfo={";
        bool first = true;
        for (const auto& [key, value] : userInfo_) {
            if (!first) out += ", ";
            first = false;
            out += key + "=" + value.description();
        }
        out += "}";
    }
    return out;
}

}  // namespace tandril
