#include "agent/TDRDeliveredNotifications.hpp"

#include <algorithm>

#include "agent/TDRUserNotification.hpp"
#include "model/CNNotification.hpp"
#include "model/CNNotificationApplication.hpp"

namespace tandril {

namespace {

std::shared_ptr<TDRUserNotification> copyOf(const CNNotification& notification) {
    return std::dynamic_pointer_cast<TDRUserNotification>(notification.deliveredNotification());
}

std::optional<std::string> bundleIdentifierOf(const CNNotification& notification) {
    const auto& application = notification.application();
    return application ? application->bundleIdentifier() : std::nullopt;
}

void addCopy(TDRDeliveredNotifications::Copies& copies, std::shared_ptr<TDRUserNotification> copy) {
    if (copy && std::find(copies.begin(), copies.end(), copy) == copies.end()) copies.push_back(std::move(copy));
}

}  // namespace

bool TDRDeliveredNotifications::sameContent(const CNNotification& a, const CNNotification& b) {
    return bundleIdentifierOf(a) == bundleIdentifierOf(b) && a.title() == b.title() && a.subtitle() == b.subtitle() &&
           a.message() == b.message() && a.date() == b.date();
}

void TDRDeliveredNotifications::add(const std::shared_ptr<CNNotification>& notification, bool kept) {
    if (!notification || !copyOf(*notification)) return;
    (kept ? kept_ : shown_).push_back(notification);
}

TDRDeliveredNotifications::Copies TDRDeliveredNotifications::remove(const CNNotification& notification) {
    Copies copies;
    addCopy(copies, copyOf(notification));
    // Taken before the lists change: they may hold the only other reference to the record.
    const CNNotification* const record = &notification;
    const auto own = copyOf(notification);
    const auto uid = notification.uniqueIdentifier();
    const auto gone = [&](const std::shared_ptr<CNNotification>& n) {
        const bool sameUID = uid && n->uniqueIdentifier() == uid;
        if (n.get() != record && !sameUID && copyOf(*n) != own) return false;
        addCopy(copies, copyOf(*n));
        return true;
    };
    std::erase_if(shown_, gone);
    std::erase_if(kept_, gone);
    return copies;
}

void TDRDeliveredNotifications::keepAll() {
    kept_.insert(kept_.end(), shown_.begin(), shown_.end());
    shown_.clear();
}

std::shared_ptr<TDRUserNotification> TDRDeliveredNotifications::takeOver(
    const std::shared_ptr<CNNotification>& notification, Copies& outdated) {
    if (!notification) return nullptr;
    auto match = kept_.end();
    for (auto it = kept_.begin(); it != kept_.end(); ++it) {
        if (!sameContent(**it, *notification)) continue;
        if (match == kept_.end()) match = it;
        if ((*it)->isSameNotification(*notification)) {
            match = it;
            break;
        }
    }
    std::shared_ptr<TDRUserNotification> copy;
    if (match != kept_.end()) {
        copy = copyOf(**match);
        kept_.erase(match);
    }
    // The phone now shows other content under this identifier: the kept copy is out of date.
    std::erase_if(kept_, [&](const std::shared_ptr<CNNotification>& n) {
        if (!n->isSameNotification(*notification)) return false;
        if (copyOf(*n) != copy) addCopy(outdated, copyOf(*n));
        return true;
    });
    if (copy) {
        notification->setDeliveredNotification(copy);
        shown_.push_back(notification);
    }
    return copy;
}

TDRDeliveredNotifications::Copies TDRDeliveredNotifications::releaseKept() {
    Copies copies;
    for (const auto& n : kept_) addCopy(copies, copyOf(*n));
    kept_.clear();
    return copies;
}

void TDRDeliveredNotifications::clear() {
    shown_.clear();
    kept_.clear();
}

}  // namespace tandril
