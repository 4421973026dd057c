#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "foundation/Bytes.hpp"
#include "foundation/Error.hpp"

namespace tandril {

// The phone's side of the notification-center profile: the phone's applications and
// notifications, the events it announces on the Notification Source, and the answers it
// gives to Control Point commands (Get Notification Attributes, Get App Attributes,
// Perform Notification Action). It knows nothing of the radio: the simulated phone carries
// its events and answers over the air. Main loop only.
class SimNotificationProvider {
public:
    struct Application {
        std::string bundleIdentifier;
        std::string displayName;
    };

    struct Notification {
        std::uint32_t uid = 0;  // assigned by addNotification when 0
        std::string appIdentifier;
        std::string title;
        std::string subtitle;
        std::string message;
        // The profile's date text, "yyyyMMdd'T'HHmmSS"; sent as it stands.
        std::string date = "20260314T093015";
        std::uint8_t category = kCategoryOther;
        std::uint8_t flags = 0;
        std::string positiveActionLabel;
        std::string negativeActionLabel;
    };

    // The outcome of a Control Point command: an ATT error for the write, or the answer
    // to send on the Data Source (none for commands without one).
    struct CommandResult {
        ErrorPtr error;
        std::optional<Bytes> answer;
    };

    // Event IDs, event flags, categories, command IDs and attribute IDs of the profile.
    static constexpr std::uint8_t kEventAdded = 0;
    static constexpr std::uint8_t kEventModified = 1;
    static constexpr std::uint8_t kEventRemoved = 2;
    static constexpr std::uint8_t kFlagSilent = 1 << 0;
    static constexpr std::uint8_t kFlagImportant = 1 << 1;
    static constexpr std::uint8_t kFlagPreExisting = 1 << 2;
    static constexpr std::uint8_t kFlagPositiveAction = 1 << 3;
    static constexpr std::uint8_t kFlagNegativeAction = 1 << 4;
    static constexpr std::uint8_t kCategoryOther = 0;
    static constexpr std::uint8_t kCategoryCount = 12;  // Other … Entertainment
    static constexpr std::uint8_t kCommandGetNotificationAttributes = 0;
    static constexpr std::uint8_t kCommandGetAppAttributes = 1;
    static constexpr std::uint8_t kCommandPerformNotificationAction = 2;
    static constexpr std::uint8_t kAttributeAppIdentifier = 0;
    static constexpr std::uint8_t kAttributeTitle = 1;
    static constexpr std::uint8_t kAttributeSubtitle = 2;
    static constexpr std::uint8_t kAttributeMessage = 3;
    static constexpr std::uint8_t kAttributeMessageSize = 4;
    static constexpr std::uint8_t kAttributeDate = 5;
    static constexpr std::uint8_t kAttributePositiveActionLabel = 6;
    static constexpr std::uint8_t kAttributeNegativeActionLabel = 7;
    static constexpr std::uint8_t kAppAttributeDisplayName = 0;
    static constexpr std::uint8_t kActionPositive = 0;
    static constexpr std::uint8_t kActionNegative = 1;

    // Where Notification Source events go (the phone sends them when subscribed).
    using EventSender = std::function<void(const Bytes& event)>;
    void setEventSender(EventSender sender) { eventSender_ = std::move(sender); }

    // ---- Applications
    void addApplication(const std::string& bundleIdentifier, const std::string& displayName);
    const Application* application(const std::string& bundleIdentifier) const;
    const std::vector<Application>& applications() const { return applications_; }

    // ---- Notifications (each change is announced through the event sender)
    // Returns the notification's UID.
    std::uint32_t addNotification(Notification notification);
    std::uint32_t addNotification(const std::string& appIdentifier, const std::string& title,
                                  const std::string& subtitle, const std::string& message,
                                  const std::string& date = "20260314T093015");
    // Replaces the fields of an existing notification (its UID kept); false when unknown.
    bool modifyNotification(const Notification& notification);
    bool removeNotification(std::uint32_t uid);
    const Notification* notification(std::uint32_t uid) const;
    const std::vector<Notification>& notifications() const { return notifications_; }
    // The Added events of every existing notification, flagged PreExisting, oldest first:
    // what the phone sends after each subscription to the Notification Source.
    std::vector<Bytes> preExistingEvents() const;
    // Actions performed through the Control Point: (UID, ActionID), oldest first.
    const std::vector<std::pair<std::uint32_t, std::uint8_t>>& performedActions() const { return actions_; }

    // ---- Wire format
    Bytes eventBytes(std::uint8_t eventID, const Notification& notification) const;
    // Parses one Control Point command and builds its answer. Unknown CommandID: 0xA0;
    // a command cut short or malformed: 0xA1; a UID or application the phone does not
    // know, or an unknown action: 0xA2.
    CommandResult handleCommand(const Bytes& command);
    // Splits an answer into Data Source values of at most `payload` bytes each.
    static std::vector<Bytes> fragments(const Bytes& answer, std::size_t payload);
    // The longest prefix of `text` of at most `maxBytes` bytes that ends on a character boundary.
    static std::string truncated(const std::string& text, std::size_t maxBytes);

private:
    CommandResult notificationAttributes(const Bytes& command) const;
    CommandResult appAttributes(const Bytes& command) const;
    CommandResult performAction(const Bytes& command);
    void announce(std::uint8_t eventID, const Notification& notification) const;

    EventSender eventSender_;
    std::vector<Application> applications_;
    std::vector<Notification> notifications_;
    std::vector<std::pair<std::uint32_t, std::uint8_t>> actions_;
    std::uint32_t nextUID_ = 1;
};

}  // namespace tandril
