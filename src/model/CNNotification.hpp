#pragma once

#include <memory>
#include <optional>
#include <string>

#include "foundation/Bytes.hpp"
#include "foundation/Date.hpp"
#include "foundation/Object.hpp"
#include "model/CNNotificationApplication.hpp"

namespace tandril {

// One notification that the phone announced. Created empty and filled through the
// setters; all but setMessage store what they are given. Main thread only.
class CNNotification : public Object {
public:
    CNNotification() = default;

    // The 4 raw bytes of the notification's identifier, in the order received.
    const std::optional<Bytes>& uniqueIdentifier() const { return uniqueIdentifier_; }
    void setUniqueIdentifier(std::optional<Bytes> uniqueIdentifier) { uniqueIdentifier_ = std::move(uniqueIdentifier); }

    // The catalogue's shared record of the application (never a copy).
    const std::shared_ptr<CNNotificationApplication>& application() const { return application_; }
    void setApplication(std::shared_ptr<CNNotificationApplication> application) { application_ = std::move(application); }

    const std::optional<std::string>& title() const { return title_; }
    void setTitle(std::optional<std::string> title) { title_ = std::move(title); }

    const std::optional<std::string>& subtitle() const { return subtitle_; }
    void setSubtitle(std::optional<std::string> subtitle) { subtitle_ = std::move(subtitle); }

    const std::optional<std::string>& message() const { return message_; }
    // A text with exactly one ":" is split: the part before it becomes the title (as it
    // stands), the part after it the message, without leading and trailing white space and
    // line breaks. Any other text is the message as it stands, and the title stays.
    // An absent text gives an absent message.
    void setMessage(std::optional<std::string> message);

    const std::optional<Date>& date() const { return date_; }
    void setDate(std::optional<Date> date) { date_ = date; }

    // Whether the phone announced it as already there when the subscription began (the
    // PreExisting event flag): the phone re-announces every notification it holds after
    // each subscription.
    bool isPreExisting() const { return preExisting_; }
    void setPreExisting(bool preExisting) { preExisting_ = preExisting; }

    // The desktop notification posted for this record; absent until posted.
    const std::shared_ptr<Object>& deliveredNotification() const { return deliveredNotification_; }
    void setDeliveredNotification(std::shared_ptr<Object> deliveredNotification) {
        deliveredNotification_ = std::move(deliveredNotification);
    }

    // Whether both records denote the same phone notification: both identifiers present
    // and equal byte for byte, whatever the other fields hold.
    bool isSameNotification(const CNNotification& other) const;

    // "<CNNotification: 0x...> <bundle identifier, display name, message>", "(null)" for
    // what is absent.
    std::string description() const override;

private:
    std::optional<Bytes> uniqueIdentifier_;
    std::shared_ptr<CNNotificationApplication> application_;
    std::optional<std::string> title_;
    std::optional<std::string> subtitle_;
    std::optional<std::string> message_;
    std::optional<Date> date_;
    bool preExisting_ = false;
    std::shared_ptr<Object> deliveredNotification_;
};

}  // namespace tandril
