#include "agent/TDRTerminalPresenter.hpp"

#include <algorithm>
#include <cstdio>

#include "agent/TDRUserNotification.hpp"

namespace tandril {

TDRTerminalPresenter::TDRTerminalPresenter(std::ostream& out) : out_(out) {}

void TDRTerminalPresenter::setDelegate(std::weak_ptr<TDRUserNotificationCenterDelegate> delegate) {
    delegate_ = std::move(delegate);
}

std::string TDRTerminalPresenter::printable(const std::string& text) {
    std::string result;
    result.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        const auto next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
        char escaped[16];
        if (c == '\n') {
            result += "\\n";
        } else if (c < 0x20 || c == 0x7f) {
            std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
            result += escaped;
        } else if (c == 0xc2 && next >= 0x80 && next <= 0x9f) {
            // U+0080..U+009F: the C1 controls, which some terminals obey (U+009B opens a
            // control sequence like ESC [).
            std::snprintf(escaped, sizeof escaped, "\\u%04x", next);
            result += escaped;
            ++i;
        } else {
            result += static_cast<char>(c);
        }
    }
    return result;
}

std::string TDRTerminalPresenter::render(const TDRUserNotification& n) {
    const auto field = [](const std::optional<std::string>& s) { return s ? printable(*s) : std::string(); };
    std::string text = "+-- " + field(n.title());
    text += n.identityImage() ? "  [app icon]" : "  [agent icon]";
    text += "\n";
    if (n.subtitle()) text += "|   " + field(n.subtitle()) + "\n";
    text += "|   " + field(n.informativeText()) + "\n";
    text += "+--";
    return text;
}

void TDRTerminalPresenter::deliverNotification(const std::shared_ptr<TDRUserNotification>& notification) {
    if (!notification) return;
    const auto delegate = delegate_.lock();
    if (delegate && !delegate->userNotificationCenterShouldPresentNotification(this, notification)) return;
    delivered_.push_back(notification);
    out_ << render(*notification) << std::endl;
}

void TDRTerminalPresenter::removeDeliveredNotification(const std::shared_ptr<TDRUserNotification>& notification) {
    const auto it = std::find(delivered_.begin(), delivered_.end(), notification);
    if (it == delivered_.end()) return;
    delivered_.erase(it);
    out_ << "    (withdrawn: " << (notification->title() ? printable(*notification->title()) : std::string())
         << (notification->informativeText() ? " - " + printable(*notification->informativeText()) : std::string())
         << ")" << std::endl;
}

void TDRTerminalPresenter::removeAllDeliveredNotifications() {
    if (!delivered_.empty()) out_ << "    (withdrawn: all " << delivered_.size() << " notifications)" << std::endl;
    delivered_.clear();
}

}  // namespace tandril
