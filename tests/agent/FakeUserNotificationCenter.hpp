#pragma once

#include <algorithm>
#include <memory>
#include <vector>

#include "agent/TDRUserNotification.hpp"
#include "agent/TDRUserNotificationCenter.hpp"

namespace tandril::test {

// Records what the agent shows on the desktop.
class FakeUserNotificationCenter : public TDRUserNotificationCenter {
public:
    void setDelegate(std::weak_ptr<TDRUserNotificationCenterDelegate> d) override { delegate = std::move(d); }
    void deliverNotification(const std::shared_ptr<TDRUserNotification>& n) override {
        delivered.push_back(n);
        shown.push_back(n);
    }
    void removeDeliveredNotification(const std::shared_ptr<TDRUserNotification>& n) override {
        removed.push_back(n);
        shown.erase(std::remove(shown.begin(), shown.end(), n), shown.end());
    }
    void removeAllDeliveredNotifications() override {
        ++removeAllCount;
        shown.clear();
    }

    bool isShown(const std::shared_ptr<TDRUserNotification>& n) const {
        return std::find(shown.begin(), shown.end(), n) != shown.end();
    }

    std::weak_ptr<TDRUserNotificationCenterDelegate> delegate;
    // Every notification delivered, in order.
    std::vector<std::shared_ptr<TDRUserNotification>> delivered;
    // What the desktop shows now.
    std::vector<std::shared_ptr<TDRUserNotification>> shown;
    std::vector<std::shared_ptr<TDRUserNotification>> removed;
    int removeAllCount = 0;
};

}  // namespace tandril::test
