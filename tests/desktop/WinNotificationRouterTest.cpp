#include <gtest/gtest.h>

#include "agent/TDRUserNotification.hpp"
#include "platform/linux/desktop/WinNotificationRouter.hpp"

namespace tandril {
namespace {

class RecordingCenter : public TDRUserNotificationCenter {
public:
    std::weak_ptr<TDRUserNotificationCenterDelegate> delegate;
    std::vector<std::shared_ptr<TDRUserNotification>> delivered;
    void setDelegate(std::weak_ptr<TDRUserNotificationCenterDelegate> d) override { delegate = std::move(d); }
    void deliverNotification(const std::shared_ptr<TDRUserNotification>& n) override { delivered.push_back(n); }
    void removeDeliveredNotification(const std::shared_ptr<TDRUserNotification>&) override {}
    void removeAllDeliveredNotifications() override {}
    void click(const std::shared_ptr<TDRUserNotification>& n) {
        if (auto d = delegate.lock()) d->userNotificationCenterDidActivateNotification(this, n);
    }
};

class RecordingDelegate : public TDRUserNotificationCenterDelegate {
public:
    std::vector<std::shared_ptr<TDRUserNotification>> activated;
    bool userNotificationCenterShouldPresentNotification(TDRUserNotificationCenter*,
                                                         const std::shared_ptr<TDRUserNotification>&) override {
        return true;
    }
    void userNotificationCenterDidActivateNotification(TDRUserNotificationCenter*,
                                                       const std::shared_ptr<TDRUserNotification>& n) override {
        activated.push_back(n);
    }
};

TEST(WinNotificationRouterTest, ANotificationWithAnActionRunsItOthersReachTheAgent) {
    const auto center = std::make_shared<RecordingCenter>();
    const auto router = WinNotificationRouter::create(center);
    const auto agent = std::make_shared<RecordingDelegate>();
    router->setDelegate(agent);

    int runs = 0;
    const auto update = std::make_shared<TDRUserNotification>();
    const auto phone = std::make_shared<TDRUserNotification>();
    router->deliverNotificationWithAction(update, [&runs] { ++runs; });
    router->deliverNotification(phone);
    EXPECT_EQ(center->delivered.size(), 2u);

    center->click(update);
    center->click(phone);
    EXPECT_EQ(runs, 1);
    EXPECT_EQ(agent->activated, std::vector<std::shared_ptr<TDRUserNotification>>{phone});

    // Withdrawn, the notification's action is forgotten: a late click goes to the agent.
    router->removeDeliveredNotification(update);
    center->click(update);
    EXPECT_EQ(runs, 1);
    EXPECT_EQ(agent->activated.size(), 2u);
}

}  // namespace
}  // namespace tandril
