#pragma once

#include <memory>

namespace tandril {

class TDRUserNotification;
class TDRUserNotificationCenter;

// The two questions the desktop's notification center asks its delegate.
class TDRUserNotificationCenterDelegate {
public:
    virtual ~TDRUserNotificationCenterDelegate() = default;

    // Whether to show a notification even while the agent is the active application.
    virtual bool userNotificationCenterShouldPresentNotification(
        TDRUserNotificationCenter* center, const std::shared_ptr<TDRUserNotification>& notification) = 0;
    // The user clicked a delivered notification.
    virtual void userNotificationCenterDidActivateNotification(
        TDRUserNotificationCenter* center, const std::shared_ptr<TDRUserNotification>& notification) = 0;
};

}  // namespace tandril
