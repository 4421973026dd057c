#include "platform/linux/desktop/WinNotificationRouter.hpp"

#include "agent/TDRUserNotification.hpp"

namespace tandril {

std::shared_ptr<WinNotificationRouter> WinNotificationRouter::create(
    std::shared_ptr<TDRUserNotificationCenter> center) {
    auto router = std::shared_ptr<WinNotificationRouter>(new WinNotificationRouter(std::move(center)));
    router->attach();
    return router;
}

WinNotificationRouter::WinNotificationRouter(std::shared_ptr<TDRUserNotificationCenter> center)
    : center_(std::move(center)) {}

void WinNotificationRouter::attach() {
    if (center_) center_->setDelegate(weak_from_this());
}

void WinNotificationRouter::deliverNotificationWithAction(const std::shared_ptr<TDRUserNotification>& notification,
                                                          std::function<void()> action) {
    if (!notification) return;
    actions_[notification.get()] = Action{notification, std::move(action)};
    deliverNotification(notification);
}

void WinNotificationRouter::setDelegate(std::weak_ptr<TDRUserNotificationCenterDelegate> delegate) {
    delegate_ = std::move(delegate);
}

void WinNotificationRouter::deliverNotification(const std::shared_ptr<TDRUserNotification>& notification) {
    if (center_) center_->deliverNotification(notification);
}

void WinNotificationRouter::removeDeliveredNotification(const std::shared_ptr<TDRUserNotification>& notification) {
    if (notification) actions_.erase(notification.get());
    if (center_) center_->removeDeliveredNotification(notification);
}

void WinNotificationRouter::removeAllDeliveredNotifications() {
    actions_.clear();
    if (center_) center_->removeAllDeliveredNotifications();
}

bool WinNotificationRouter::userNotificationCenterShouldPresentNotification(
    TDRUserNotificationCenter* /*center*/, const std::shared_ptr<TDRUserNotification>& notification) {
    if (notification) {
        const auto found = actions_.find(notification.get());
        if (found != actions_.end() && found->second.notification == notification) return true;
    }
    const auto delegate = delegate_.lock();
    return !delegate || delegate->userNotificationCenterShouldPresentNotification(this, notification);
}

void WinNotificationRouter::userNotificationCenterDidActivateNotification(
    TDRUserNotificationCenter* /*center*/, const std::shared_ptr<TDRUserNotification>& notification) {
    if (notification) {
        const auto found = actions_.find(notification.get());
        if (found != actions_.end() && found->second.notification == notification) {
            // Copied: the action may withdraw the notification and so erase itself.
            const auto action = found->second.run;
            if (action) action();
            return;
        }
    }
    if (const auto delegate = delegate_.lock()) delegate->userNotificationCenterDidActivateNotification(this, notification);
}

}  // namespace tandril
