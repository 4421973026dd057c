#include "sim/SimNotificationProvider.hpp"

#include <algorithm>

#include "ble/platform/PlatformConstants.hpp"
#include "ble/platform/PlatformError.hpp"

namespace tandril {

namespace {

void appendUInt16(Bytes& out, std::size_t value) {
    out.push_back(static_cast<std::uint8_t>(value & 0xFF));
    out.push_back(static_cast<std::uint8_t>((value >> 8) & 0xFF));
}

void appendUInt32(Bytes& out, std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<std::uint8_t>((value >> shift) & 0xFF));
}

void appendAttribute(Bytes& out, std::uint8_t attributeID, const std::string& value) {
    const std::size_t length = std::min<std::size_t>(value.size(), 0xFFFF);
    out.push_back(attributeID);
    appendUInt16(out, length);
    out.insert(out.end(), value.begin(), value.begin() + static_cast<std::ptrdiff_t>(length));
}

std::uint32_t uint32At(const Bytes& bytes, std::size_t index) {
    return static_cast<std::uint32_t>(bytes[index]) | (static_cast<std::uint32_t>(bytes[index + 1]) << 8) |
           (static_cast<std::uint32_t>(bytes[index + 2]) << 16) | (static_cast<std::uint32_t>(bytes[index + 3]) << 24);
}

SimNotificationProvider::CommandResult failure(int code) { return {PlatformError::attError(code), std::nullopt}; }

}  // namespace

void SimNotificationProvider::addApplication(const std::string& bundleIdentifier, const std::string& displayName) {
    for (auto& app : applications_) {
        if (app.bundleIdentifier == bundleIdentifier) {
            app.displayName = displayName;
            return;
        }
    }
    applications_.push_back({bundleIdentifier, displayName});
}

const SimNotificationProvider::Application* SimNotificationProvider::application(
    const std::string& bundleIdentifier) const {
    for (const auto& app : applications_) {
        if (app.bundleIdentifier == bundleIdentifier) return &app;
    }
    return nullptr;
}

std::uint32_t SimNotificationProvider::addNotification(Notification notification) {
    if (notification.uid == 0) notification.uid = nextUID_++;
    nextUID_ = std::max(nextUID_, notification.uid + 1);
    notifications_.push_back(notification);
    announce(kEventAdded, notification);
    return notification.uid;
}

std::uint32_t SimNotificationProvider::addNotification(const std::string& appIdentifier, const std::string& title,
                                                       const std::string& subtitle, const std::string& message,
                                                       const std::string& date) {
    Notification n;
    n.appIdentifier = appIdentifier;
    n.title = title;
    n.subtitle = subtitle;
    n.message = message;
    n.date = date;
    return addNotification(std::move(n));
}

bool SimNotificationProvider::modifyNotification(const Notification& notification) {
    for (auto& existing : notifications_) {
        if (existing.uid == notification.uid) {
            existing = notification;
            announce(kEventModified, existing);
            return true;
        }
    }
    return false;
}

bool SimNotificationProvider::removeNotification(std::uint32_t uid) {
    auto it = std::find_if(notifications_.begin(), notifications_.end(),
                           [uid](const Notification& n) { return n.uid == uid; });
    if (it == notifications_.end()) return false;
    const Notification removed = *it;
    notifications_.erase(it);
    announce(kEventRemoved, removed);
    return true;
}

const SimNotificationProvider::Notification* SimNotificationProvider::notification(std::uint32_t uid) const {
    for (const auto& n : notifications_) {
        if (n.uid == uid) return &n;
    }
    return nullptr;
}

std::vector<Bytes> SimNotificationProvider::preExistingEvents() const {
    std::vector<Bytes> events;
    for (const auto& n : notifications_) {
        Notification flagged = n;
        flagged.flags |= kFlagPreExisting;
        events.push_back(eventBytes(kEventAdded, flagged));
    }
    return events;
}

Bytes SimNotificationProvider::eventBytes(std::uint8_t eventID, const Notification& notification) const {
    const auto inCategory = std::count_if(notifications_.begin(), notifications_.end(), [&](const Notification& n) {
        return n.category == notification.category;
    });
    Bytes event{eventID, notification.flags, notification.category,
                static_cast<std::uint8_t>(std::min<std::ptrdiff_t>(inCategory, 255))};
    appendUInt32(event, notification.uid);
    return event;
}

void SimNotificationProvider::announce(std::uint8_t eventID, const Notification& notification) const {
    if (eventSender_) eventSender_(eventBytes(eventID, notification));
}

SimNotificationProvider::CommandResult SimNotificationProvider::handleCommand(const Bytes& command) {
    if (command.empty()) return failure(ANCSErrorInvalidCommand);
    switch (command[0]) {
    case kCommandGetNotificationAttributes: return notificationAttributes(command);
    case kCommandGetAppAttributes: return appAttributes(command);
    case kCommandPerformNotificationAction: return performAction(command);
    default: return failure(ANCSErrorUnknownCommand);
    }
}

// 00, UID (4), then attribute IDs; title, subtitle and message carry a 2-byte maximum length.
SimNotificationProvider::CommandResult SimNotificationProvider::notificationAttributes(const Bytes& command) const {
    if (command.size() < 6) return failure(ANCSErrorInvalidCommand);
    struct Request {
        std::uint8_t id;
        std::size_t maxLength;
    };
    std::vector<Request> requests;
    for (std::size_t i = 5; i < command.size();) {
        const std::uint8_t id = command[i++];
        if (id > kAttributeNegativeActionLabel) return failure(ANCSErrorInvalidCommand);
        std::size_t maxLength = 0xFFFF;
        if (id == kAttributeTitle || id == kAttributeSubtitle || id == kAttributeMessage) {
            if (i + 2 > command.size()) return failure(ANCSErrorInvalidCommand);
            maxLength = static_cast<std::size_t>(command[i] | (command[i + 1] << 8));
            i += 2;
        }
        requests.push_back({id, maxLength});
    }
    const Notification* n = notification(uint32At(command, 1));
    if (!n) return failure(ANCSErrorInvalidParameter);

    Bytes answer{kCommandGetNotificationAttributes};
    answer.insert(answer.end(), command.begin() + 1, command.begin() + 5);
    for (const auto& request : requests) {
        switch (request.id) {
        case kAttributeAppIdentifier: appendAttribute(answer, request.id, n->appIdentifier); break;
        case kAttributeTitle: appendAttribute(answer, request.id, truncated(n->title, request.maxLength)); break;
        case kAttributeSubtitle: appendAttribute(answer, request.id, truncated(n->subtitle, request.maxLength)); break;
        case kAttributeMessage: appendAttribute(answer, request.id, truncated(n->message, request.maxLength)); break;
        case kAttributeMessageSize: appendAttribute(answer, request.id, std::to_string(n->message.size())); break;
        case kAttributeDate: appendAttribute(answer, request.id, n->date); break;
        case kAttributePositiveActionLabel: appendAttribute(answer, request.id, n->positiveActionLabel); break;
        case kAttributeNegativeActionLabel: appendAttribute(answer, request.id, n->negativeActionLabel); break;
        default: break;
        }
    }
    return {nullptr, answer};
}

// 01, the application identifier, 00, then app attribute IDs (display name only).
SimNotificationProvider::CommandResult SimNotificationProvider::appAttributes(const Bytes& command) const {
    const auto terminator = std::find(command.begin() + 1, command.end(), std::uint8_t{0});
    if (terminator == command.end() || terminator + 1 == command.end()) return failure(ANCSErrorInvalidCommand);
    for (auto it = terminator + 1; it != command.end(); ++it) {
        if (*it != kAppAttributeDisplayName) return failure(ANCSErrorInvalidCommand);
    }
    const std::string identifier(command.begin() + 1, terminator);
    const Application* app = application(identifier);
    if (!app) return failure(ANCSErrorInvalidParameter);

    Bytes answer{kCommandGetAppAttributes};
    answer.insert(answer.end(), command.begin() + 1, terminator + 1);
    for (auto it = terminator + 1; it != command.end(); ++it) appendAttribute(answer, *it, app->displayName);
    return {nullptr, answer};
}

// 02, UID (4), ActionID. No answer on the Data Source.
SimNotificationProvider::CommandResult SimNotificationProvider::performAction(const Bytes& command) {
    if (command.size() != 6) return failure(ANCSErrorInvalidCommand);
    const std::uint32_t uid = uint32At(command, 1);
    const std::uint8_t action = command[5];
    if (!notification(uid) || action > kActionNegative) return failure(ANCSErrorInvalidParameter);
    actions_.emplace_back(uid, action);
    return {nullptr, std::nullopt};
}

std::vector<Bytes> SimNotificationProvider::fragments(const Bytes& answer, std::size_t payload) {
    std::vector<Bytes> out;
    if (payload == 0) payload = 1;
    for (std::size_t offset = 0; offset < answer.size(); offset += payload) {
        const std::size_t end = std::min(answer.size(), offset + payload);
        out.emplace_back(answer.begin() + static_cast<std::ptrdiff_t>(offset),
                         answer.begin() + static_cast<std::ptrdiff_t>(end));
    }
    return out;
}

std::string SimNotificationProvider::truncated(const std::string& text, std::size_t maxBytes) {
    if (text.size() <= maxBytes) return text;
    std::size_t cut = maxBytes;
    // Step back over continuation bytes so that no character is split.
    while (cut > 0 && (static_cast<std::uint8_t>(text[cut]) & 0xC0) == 0x80) --cut;
    return text.substr(0, cut);
}

}  // namespace tandril
