#include "shared/TDRLocalMessageBus.hpp"

namespace tandril {

void TDRLocalMessageBus::postNotificationName(const std::string& name, const std::optional<Dictionary>& userInfo,
                                              bool /*deliverImmediately*/) {
    const TDRMessage message{name, userInfo};
    // A handler may register further observers; deliver to those present at posting time.
    const auto observers = observers_;
    for (const auto& [observedName, handler] : observers) {
        if (observedName == name && handler) handler(message);
    }
}

void TDRLocalMessageBus::addObserver(const std::string& name, Handler handler) {
    observers_.emplace_back(name, std::move(handler));
}

}  // namespace tandril
