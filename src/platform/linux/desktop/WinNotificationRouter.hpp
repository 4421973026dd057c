#pragma once

#include <functional>
#include <map>
#include <memory>

#include "agent/TDRUserNotificationCenter.hpp"
#include "agent/TDRUserNotificationCenterDelegate.hpp"

namespace tandril {

// Stands between the agent and the desktop's notification center so that a notification
// may carry its own action: a click on one delivered with deliverNotificationWithAction runs
// that action; a click on any other goes to the agent's delegate as before (which opens the
// settings). The update notice uses it to open the release's page.
class WinNotificationRouter : public TDRUserNotificationCenter,
                              public TDRUserNotificationCenterDelegate,
                              public std::enable_shared_from_this<WinNotificationRouter> {
public:
    static std::shared_ptr<WinNotificationRouter> create(std::shared_ptr<TDRUserNotificationCenter> center);

    void deliverNotificationWithAction(const std::shared_ptr<TDRUserNotification>& notification,
                                       std::function<void()> action);

    void setDelegate(std::weak_ptr<TDRUserNotificationCenterDelegate> delegate) override;
    void deliverNotification(const std::shared_ptr<TDRUserNotification>& notification) override;
    void removeDeliveredNotification(const std::shared_ptr<TDRUserNotification>& notification) override;
    void removeAllDeliveredNotifications() override;

    bool userNotificationCenterShouldPresentNotification(
        TDRUserNotificationCenter* center, const std::shared_ptr<TDRUserNotification>& notification) override;
    void userNotificationCenterDidActivateNotification(
        TDRUserNotificationCenter* center, const std::shared_ptr<TDRUserNotification>& notification) override;

private:
    explicit WinNotificationRouter(std::shared_ptr<TDRUserNotificationCenter> center);
    void attach();

    std::shared_ptr<TDRUserNotificationCenter> center_;
    std::weak_ptr<TDRUserNotificationCenterDelegate> delegate_;
    struct Action {
        // Held until withdrawn, so that its address is not reused meanwhile.
        std::shared_ptr<TDRUserNotification> notification;
        std::function<void()> run;
    };
    std::map<const TDRUserNotification*, Action> actions_;
};

}  // namespace tandril
