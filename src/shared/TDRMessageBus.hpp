#pragma once

#include <functional>
#include <optional>
#include <string>

#include "foundation/Value.hpp"

namespace tandril {

// One message received on the control channel's bus.
struct TDRMessage {
    std::string name;
    // Absent for every message but the device information.
    std::optional<Dictionary> userInfo;
};

// The broadcast bus that reaches every process of the logged-in user (the distributed
// notification center). Messages carry no sender; observers register without a sender
// filter. Delivery is not guaranteed: a message posted while nobody listens is lost.
// Handlers run on the main thread.
class TDRMessageBus {
public:
    using Handler = std::function<void(const TDRMessage& message)>;

    virtual ~TDRMessageBus() = default;

    // postNotificationName:object:userInfo:deliverImmediately: with no object.
    virtual void postNotificationName(const std::string& name, const std::optional<Dictionary>& userInfo,
                                      bool deliverImmediately) = 0;
    // addObserver:selector:name:object: with no object. Observations last as long as the bus.
    virtual void addObserver(const std::string& name, Handler handler) = 0;
};

}  // namespace tandril
