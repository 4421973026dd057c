#pragma once

#include <memory>
#include <vector>

namespace tandril {

class CNNotification;
class TDRUserNotification;

// The phone notifications that have a copy on the desktop, and the copies kept over a short
// link drop until the phone has re-announced what it still holds. A re-announced record
// that equals a kept one in application, title, subtitle, message and date takes its copy
// over instead of showing a second one. Main thread only; it shows and withdraws nothing
// itself: it tells the caller which copies to withdraw.
class TDRDeliveredNotifications {
public:
    using Copies = std::vector<std::shared_ptr<TDRUserNotification>>;

    // A record whose copy was just shown (or taken over). During a drop (`kept` true) it
    // joins the kept copies, so that its re-announcement does not show it twice.
    void add(const std::shared_ptr<CNNotification>& notification, bool kept = false);
    // The phone withdrew this record: forgets it and every record of the same identifier
    // (an earlier announcement of the same notification), kept or not, and returns their
    // copies, the record's own included.
    Copies remove(const CNNotification& notification);

    // A short drop: every shown copy is kept until the re-announcement is over.
    void keepAll();
    bool hasKept() const { return !kept_.empty(); }
    // A re-announced record: the kept copy of equal content, preferring one of the same
    // identifier, leaves the kept list and becomes the record's copy (which is returned);
    // null when none matches. Kept copies of the same identifier but other content are
    // out of date and are handed to `outdated`.
    std::shared_ptr<TDRUserNotification> takeOver(const std::shared_ptr<CNNotification>& notification,
                                                  Copies& outdated);
    // The re-announcement is over: returns the kept copies that nothing took over.
    Copies releaseKept();
    // Everything was withdrawn at once.
    void clear();

    std::size_t shownCount() const { return shown_.size(); }
    std::size_t keptCount() const { return kept_.size(); }

    // Whether both records show the same thing: application (by bundle identifier), title,
    // subtitle, message and date.
    static bool sameContent(const CNNotification& a, const CNNotification& b);

private:
    std::vector<std::shared_ptr<CNNotification>> shown_;
    std::vector<std::shared_ptr<CNNotification>> kept_;
};

}  // namespace tandril
