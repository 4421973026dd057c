#pragma once

#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "agent/TDRUserNotificationCenter.hpp"

namespace tandril {

// A notification center for a terminal: prints each notification as a desktop would show
// it (application or notice title, subtitle, text, whether an icon is attached) and each
// withdrawal. Texts from the phone are untrusted: control characters, which a terminal
// would interpret, are printed escaped.
class TDRTerminalPresenter : public TDRUserNotificationCenter {
public:
    explicit TDRTerminalPresenter(std::ostream& out);

    void setDelegate(std::weak_ptr<TDRUserNotificationCenterDelegate> delegate) override;
    void deliverNotification(const std::shared_ptr<TDRUserNotification>& notification) override;
    void removeDeliveredNotification(const std::shared_ptr<TDRUserNotification>& notification) override;
    void removeAllDeliveredNotifications() override;

    // What the desktop shows now, oldest first.
    const std::vector<std::shared_ptr<TDRUserNotification>>& deliveredNotifications() const { return delivered_; }

    // The lines printed for one notification.
    static std::string render(const TDRUserNotification& notification);
    // `text` with control characters (C0, DEL and C1) escaped ("\n" stays a visible "\n").
    static std::string printable(const std::string& text);

private:
    std::ostream& out_;
    std::weak_ptr<TDRUserNotificationCenterDelegate> delegate_;
    std::vector<std::shared_ptr<TDRUserNotification>> delivered_;
};

}  // namespace tandril
