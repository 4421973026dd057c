#pragma once

#include <memory>

#include "agent/TDRUserNotificationCenterDelegate.hpp"

namespace tandril {

class TDRUserNotification;

// The desktop's notification presenter (the default user notification center). It shows
// what it is given unchanged: texts from the phone are untrusted, and each desktop
// implementation escapes whatever its notification server would interpret (markup).
class TDRUserNotificationCenter {
public:
    virtual ~TDRUserNotificationCenter() = default;

    virtual void setDelegate(std::weak_ptr<TDRUserNotificationCenterDelegate> delegate) = 0;
    virtual void deliverNotification(const std::shared_ptr<TDRUserNotification>& notification) = 0;
    // Withdraws one delivered notification; one that is no longer shown is ignored.
    virtual void removeDeliveredNotification(const std::shared_ptr<TDRUserNotification>& notification) = 0;
    // Withdraws every notification this application has delivered, including those of an
    // earlier run where the desktop keeps them.
    virtual void removeAllDeliveredNotifications() = 0;
};

}  // namespace tandril
