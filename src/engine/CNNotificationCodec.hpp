#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "foundation/Bytes.hpp"
#include "foundation/Date.hpp"
#include "foundation/RunLoop.hpp"

namespace tandril {

class CNNotification;
class CNNotificationApplication;

// The engine's half of the phone's notification-center protocol, as plain data: Notification
// Source events and Data Source fragments (with their arrival time) go in; Control Point
// commands to write, completed records and records to withdraw come out. It holds the
// reassembly buffer, the records waiting for their application's name or icon and the
// delivered records, and touches nothing else: no radio, no run loop, no files. Application
// records come from the lookup it is given (the catalogue's shared record per identifier).
class CNNotificationCodec {
public:
    // The catalogue's shared record for an application identifier; may return nullptr.
    using ApplicationLookup =
        std::function<std::shared_ptr<CNNotificationApplication>(const std::string& bundleIdentifier)>;

    enum class CommandKind { NotificationAttributes, AppAttributes };
    struct Command {
        CommandKind kind;
        Bytes bytes;
    };
    // The records of one application whose display name just arrived: they now share
    // `application`, which carries the name. They are delivered once the caller has stored
    // the application (and fetched its icon): see finishApplication().
    struct NamedApplication {
        std::shared_ptr<CNNotificationApplication> application;
        std::vector<std::shared_ptr<CNNotification>> notifications;
    };
    // What one value asks of the caller, in this order: write the commands, withdraw the
    // removed records, deliver the added ones, store the named application.
    struct Output {
        std::vector<Command> commands;
        std::vector<std::shared_ptr<CNNotification>> removed;
        std::vector<std::shared_ptr<CNNotification>> added;
        std::optional<NamedApplication> named;
    };

    // The most records kept as delivered; beyond it the oldest are forgotten (the phone
    // re-announces every notification after each subscription).
    static constexpr std::size_t kMaxActiveNotifications = 512;
    // The most records waiting for their application's display name or icon, and the most
    // added events remembered while their attributes are fetched.
    static constexpr std::size_t kMaxPendingNotifications = 512;
    // The largest answer the Data Source can carry for the commands written here: five
    // attribute tuples of at most 65535 value bytes after the 5-byte header.
    static constexpr std::size_t kMaxDataSourceAnswerSize = 5 + 5 * (3 + 65535);
    // A fragment arriving more than this long after the previous one starts a new buffer.
    static constexpr double kDataSourceStaleSeconds = 3.0;

    explicit CNNotificationCodec(ApplicationLookup lookup);

    // One Notification Source value. Values shorter than an event (8 bytes) are ignored.
    Output handleNotificationSourceData(const Bytes& data);
    // One Data Source fragment that arrived at `now`.
    Output handleDataSourceData(const Bytes& data, TimePoint now);
    // The caller has stored the application of these records (and fetched its icon, or
    // given up on it): returns those of them the phone has not withdrawn meanwhile, in
    // order, each to be delivered once.
    std::vector<std::shared_ptr<CNNotification>> finishApplication(
        const std::vector<std::shared_ptr<CNNotification>>& notifications);

    // Delivered records, oldest first; a removed event withdraws the earliest with its identifier.
    const std::vector<std::shared_ptr<CNNotification>>& activeNotifications() const { return activeNotifications_; }
    void setActiveNotifications(std::vector<std::shared_ptr<CNNotification>> notifications);
    // Records a delivery (keeping the newest kMaxActiveNotifications) or a withdrawal.
    void addActiveNotification(const std::shared_ptr<CNNotification>& notification);
    void removeActiveNotification(const std::shared_ptr<CNNotification>& notification);

    // Records waiting for their application's display name, oldest first.
    const std::deque<std::shared_ptr<CNNotification>>& pendingNotifications() const { return pendingNotifications_; }
    // The oldest of them, or nullptr.
    std::shared_ptr<CNNotification> currentNotification() const;

    const std::optional<Bytes>& dataSourceDataCache() const { return dataSourceDataCache_; }
    void setDataSourceDataCache(std::optional<Bytes> cache) { dataSourceDataCache_ = std::move(cache); }
    const std::optional<TimePoint>& lastDataSourceDataCacheUpdate() const { return lastDataSourceDataCacheUpdate_; }
    void setLastDataSourceDataCacheUpdate(std::optional<TimePoint> time) { lastDataSourceDataCacheUpdate_ = time; }

    // The phone's date text "yyyyMMdd'T'HHmmSS" in the desktop's time zone, the last two
    // digits read as hundredths of a second; absent when the text does not fit.
    static std::optional<Date> dateFromNotificationDate(const std::optional<std::string>& text);

private:
    // An added event whose attributes have been asked for.
    struct Requested {
        Bytes uid;
        bool preExisting = false;
        // The phone removed it before its attributes arrived.
        bool withdrawn = false;
    };
    // The five values of a complete notification-attributes answer.
    struct Attributes {
        Bytes uid;
        std::optional<std::string> appIdentifier, title, subtitle, message, dateText;
    };
    struct AppName {
        std::string identifier;
        std::optional<std::string> displayName;
    };

    void decodeBuffer(std::optional<Attributes>& attributes, std::optional<AppName>& appName);
    std::optional<Attributes> decodeNotificationAttributes(const Bytes& buffer);
    std::optional<AppName> decodeAppAttributes(const Bytes& buffer);
    void buildNotification(Attributes attributes, Output& out);
    void completeAppAttributes(const AppName& name, Output& out);

    ApplicationLookup lookup_;
    std::optional<Bytes> dataSourceDataCache_;
    std::optional<TimePoint> lastDataSourceDataCacheUpdate_;
    std::deque<Requested> requested_;
    std::deque<std::shared_ptr<CNNotification>> pendingNotifications_;
    // Records whose display name arrived and whose application is being stored.
    std::vector<std::shared_ptr<CNNotification>> downloadingNotifications_;
    std::vector<std::shared_ptr<CNNotification>> activeNotifications_;
};

}  // namespace tandril
