#include "model/CNNotification.hpp"

#include <algorithm>

#include "foundation/Log.hpp"
#include "shared/UnicodeWhitespace.hpp"

namespace tandril {

void CNNotification::setMessage(std::optional<std::string> message) {
    if (!message) {
        message_.reset();
        return;
    }
    const std::string& text = *message;
    if (std::count(text.begin(), text.end(), ':') == 1) {
        const std::size_t colon = text.find(':');
        title_ = text.substr(0, colon);
        message_ = std::string(UnicodeWhitespace::trim(std::string_view(text).substr(colon + 1)));
        return;
    }
    message_ = std::move(message);
}

bool CNNotification::isSameNotification(const CNNotification& other) const {
    return uniqueIdentifier_ && other.uniqueIdentifier_ && *uniqueIdentifier_ == *other.uniqueIdentifier_;
}

std::string CNNotification::description() const {
    std::optional<std::string> bundleIdentifier;
    std::optional<std::string> displayName;
    if (application_) {
        bundleIdentifier = application_->bundleIdentifier();
        displayName = application_->displayName();
    }
    return formatLine("%@ <%@, %@, %@>", {defaultDescription(), bundleIdentifier, displayName, message_});
}

}  // namespace tandril
