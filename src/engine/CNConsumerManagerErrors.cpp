#include "engine/CNConsumerManagerErrors.hpp"

#include "ble/LGPeripheral.hpp"

namespace tandril {

ErrorPtr CNConsumerManagerError(std::int64_t code, const std::string& description, const ErrorPtr& underlying) {
    Dictionary userInfo{{NSLocalizedDescriptionKey, description}};
    if (underlying) userInfo.emplace(NSUnderlyingErrorKey, LGPeripheral::errorValue(underlying));
    return Error::make(CNConsumerManagerErrorDomain, code, std::move(userInfo));
}

ErrorPtr CNUnderlyingError(const ErrorPtr& error) {
    if (!error) return nullptr;
    auto entry = error->userInfo().find(NSUnderlyingErrorKey);
    return entry == error->userInfo().end() ? nullptr : LGPeripheral::errorFromValue(entry->second);
}

}  // namespace tandril
