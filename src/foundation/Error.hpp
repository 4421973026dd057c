#pragma once

#include <memory>
#include <optional>
#include <string>

#include "foundation/Value.hpp"

namespace tandril {

// An error as the platform carries it: a domain, a code and a user-info map.
class Error {
public:
    Error(std::string domain, std::int64_t code, Dictionary userInfo = {});

    static std::shared_ptr<const Error> make(std::string domain, std::int64_t code, Dictionary userInfo = {});
    // An error whose userInfo holds "NSLocalizedDescription" = description.
    static std::shared_ptr<const Error> withDescription(std::string domain, std::int64_t code,
                                                        std::string description);

    const std::string& domain() const { return domain_; }
    std::int64_t code() const { return code_; }
    const Dictionary& userInfo() const { return userInfo_; }

    // "NSLocalizedDescription" from userInfo when present, otherwise the platform's generic
    // text: "The operation couldn’t be completed. (DOMAIN error CODE.)"
    std::string localizedDescription() const;
    // The platform's description form, used by %@:
    // "Error Domain=DOMAIN Code=CODE \"LOCALIZED\" UserInfo={...}" (UserInfo part only when non-empty).
    std::string description() const;

private:
    std::string domain_;
    std::int64_t code_;
    Dictionary userInfo_;
};

using ErrorPtr = std::shared_ptr<const Error>;

// The user-info key of a localized description.
inline constexpr const char* NSLocalizedDescriptionKey = "NSLocalizedDescription";

}  // namespace tandril
