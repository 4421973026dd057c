#include "engine/CNNotificationCodec.hpp"

#include <algorithm>
#include <array>
#include <stdexcept>

#include "engine/CNUTF8.hpp"
#include "foundation/Log.hpp"
#include "model/CNNotification.hpp"
#include "model/CNNotificationApplication.hpp"

namespace tandril {

namespace {

// Notification-service wire format.
constexpr std::uint8_t kEventIDNotificationAdded = 0;
constexpr std::uint8_t kEventIDNotificationModified = 1;
constexpr std::uint8_t kEventIDNotificationRemoved = 2;
// EventFlags bits, as the published profile numbers them: Silent 0x01, Important 0x02,
// PreExisting 0x04, PositiveAction 0x08, NegativeAction 0x10.
constexpr std::uint8_t kEventFlagPreExisting = 0x04;

constexpr std::uint8_t kCommandIDGetNotificationAttributes = 0;
constexpr std::uint8_t kCommandIDGetAppAttributes = 1;

constexpr std::uint8_t kAttributeIDAppIdentifier = 0;
constexpr std::uint8_t kAttributeIDTitle = 1;
constexpr std::uint8_t kAttributeIDSubtitle = 2;
constexpr std::uint8_t kAttributeIDMessage = 3;
constexpr std::uint8_t kAttributeIDDate = 5;
constexpr std::uint8_t kAppAttributeIDDisplayName = 0;

// A notification-attributes answer is complete after this many tuples.
constexpr int kNotificationAttributeCount = 5;
// An identifier longer than this cannot have come from the phone (its length field is 16-bit).
constexpr std::size_t kMaxIdentifierLength = 65535;

// A decoding failure: a read outside the buffered bytes.
class DecodeFailure : public std::out_of_range {
public:
    using std::out_of_range::out_of_range;
};

std::uint8_t byteAt(const Bytes& buffer, std::size_t index) {
    if (index >= buffer.size()) {
        throw DecodeFailure("range {" + std::to_string(index) + ", 1} exceeds data length " +
                            std::to_string(buffer.size()));
    }
    return buffer[index];
}

std::uint16_t uint16At(const Bytes& buffer, std::size_t index) {
    return static_cast<std::uint16_t>(byteAt(buffer, index) | (byteAt(buffer, index + 1) << 8));
}

// The UTF-8 bytes the Control Point command carries for a record's application.
std::string identifierOf(const std::shared_ptr<CNNotification>& notification) {
    if (!notification || !notification->application()) return {};
    return notification->application()->bundleIdentifier().value_or(std::string());
}

int digits(const std::string& text, std::size_t from, std::size_t count) {
    int value = 0;
    for (std::size_t i = from; i < from + count; ++i) value = value * 10 + (text[i] - '0');
    return value;
}

bool hasUID(const std::shared_ptr<CNNotification>& notification, const Bytes& uid) {
    return notification && notification->uniqueIdentifier() && *notification->uniqueIdentifier() == uid;
}

}  // namespace

CNNotificationCodec::CNNotificationCodec(ApplicationLookup lookup) : lookup_(std::move(lookup)) {}

std::optional<Date> CNNotificationCodec::dateFromNotificationDate(const std::optional<std::string>& text) {
    if (!text || text->size() != 15 || (*text)[8] != 'T') return std::nullopt;
    for (std::size_t i = 0; i < text->size(); ++i) {
        if (i != 8 && ((*text)[i] < '0' || (*text)[i] > '9')) return std::nullopt;
    }
    return dateFromLocalFields(digits(*text, 0, 4), digits(*text, 4, 2), digits(*text, 6, 2), digits(*text, 9, 2),
                               digits(*text, 11, 2), digits(*text, 13, 2));
}

// --- Notification Source

CNNotificationCodec::Output CNNotificationCodec::handleNotificationSourceData(const Bytes& data) {
    Output out;
    // An event is 8 bytes; anything shorter carries no usable identifier.
    if (data.size() < 8) return out;
    const Bytes uid(data.begin() + 4, data.begin() + 8);

    switch (data[0]) {
    case kEventIDNotificationAdded: {
        log("[ANCS] Notification added!");
        // Remembered until the answer arrives, so that the record carries the event's flag.
        requested_.push_back(Requested{uid, (data[1] & kEventFlagPreExisting) != 0, false});
        while (requested_.size() > kMaxPendingNotifications) requested_.pop_front();
        // CommandID, the 4-byte UID, then the five attributes: the app identifier, title,
        // subtitle and message (each with the largest length, FF FF) and the date.
        out.commands.push_back(Command{CommandKind::NotificationAttributes,
                                       Bytes{kCommandIDGetNotificationAttributes, uid[0], uid[1], uid[2], uid[3],
                                             kAttributeIDAppIdentifier, kAttributeIDTitle, 0xFF, 0xFF,
                                             kAttributeIDSubtitle, 0xFF, 0xFF, kAttributeIDMessage, 0xFF, 0xFF,
                                             kAttributeIDDate}});
        break;
    }
    case kEventIDNotificationModified:
        log("[ANCS] Notification modified!");
        break;
    case kEventIDNotificationRemoved: {
        log("[ANCS] Notification removed!");
        // A record still being fetched, or waiting for its application's name or icon, must
        // never reach the desktop once the phone has withdrawn it.
        for (auto& request : requested_) {
            if (request.uid == uid) request.withdrawn = true;
        }
        auto sameUID = [&uid](const std::shared_ptr<CNNotification>& n) { return hasUID(n, uid); };
        std::erase_if(pendingNotifications_, sameUID);
        std::erase_if(downloadingNotifications_, sameUID);
        auto it = std::find_if(activeNotifications_.begin(), activeNotifications_.end(), sameUID);
        if (it != activeNotifications_.end()) out.removed.push_back(*it);
        break;
    }
    default:
        break;
    }
    return out;
}

// --- Data Source

CNNotificationCodec::Output CNNotificationCodec::handleDataSourceData(const Bytes& data, TimePoint now) {
    Output out;
    if (!dataSourceDataCache_ || !lastDataSourceDataCacheUpdate_ ||
        now - *lastDataSourceDataCacheUpdate_ > seconds(kDataSourceStaleSeconds)) {
        dataSourceDataCache_.emplace();
    }
    lastDataSourceDataCacheUpdate_ = now;
    // No answer to the commands written here is this long: whatever would be buffered is
    // not one, and is dropped without being copied.
    if (dataSourceDataCache_->size() > kMaxDataSourceAnswerSize ||
        data.size() > kMaxDataSourceAnswerSize - dataSourceDataCache_->size()) {
        dataSourceDataCache_.reset();
        return out;
    }
    dataSourceDataCache_->insert(dataSourceDataCache_->end(), data.begin(), data.end());

    // Only the decoding of the buffered bytes is guarded: a failure there waits for more
    // bytes. What the complete answer leads to (the lookup, the records) runs unguarded.
    std::optional<Attributes> attributes;
    std::optional<AppName> appName;
    try {
        decodeBuffer(attributes, appName);
    } catch (const std::exception& failure) {
        log("Caught exception %@", std::string(failure.what()));
        return out;
    }
    if (attributes) buildNotification(std::move(*attributes), out);
    if (appName) completeAppAttributes(*appName, out);
    return out;
}

void CNNotificationCodec::decodeBuffer(std::optional<Attributes>& attributes, std::optional<AppName>& appName) {
    const Bytes& buffer = *dataSourceDataCache_;
    switch (byteAt(buffer, 0)) {
    case kCommandIDGetNotificationAttributes:
        attributes = decodeNotificationAttributes(buffer);
        break;
    case kCommandIDGetAppAttributes:
        appName = decodeAppAttributes(buffer);
        break;
    default:
        // Not an answer to any command written here: drop it now rather than let it
        // swallow the answers that follow.
        dataSourceDataCache_.reset();
        break;
    }
}

std::optional<CNNotificationCodec::Attributes> CNNotificationCodec::decodeNotificationAttributes(
    const Bytes& buffer) {
    Attributes result;
    result.uid = Bytes{byteAt(buffer, 1), byteAt(buffer, 2), byteAt(buffer, 3), byteAt(buffer, 4)};

    // First find the five tuples; the values are decoded only once all of them are here,
    // so that an answer arriving in many fragments is not decoded again for each one.
    struct Tuple {
        std::uint8_t attributeID;
        std::size_t offset;
        std::size_t length;
    };
    std::array<Tuple, kNotificationAttributeCount> tuples{};
    const std::size_t areaStart = 5;
    const std::size_t areaLength = buffer.size() - areaStart;
    std::size_t p = 0;
    for (auto& tuple : tuples) {
        if (p + 1 > areaLength) return std::nullopt;
        const std::uint8_t attributeID = buffer[areaStart + p];
        if (p + 3 > areaLength) return std::nullopt;
        const std::size_t length = uint16At(buffer, areaStart + p + 1);
        if (p + 3 + length > areaLength) return std::nullopt;
        tuple = Tuple{attributeID, areaStart + p + 3, length};
        p += 3 + length;
    }
    for (const auto& tuple : tuples) {
        std::optional<std::string> value = CNUTF8::decode(buffer.data() + tuple.offset, tuple.length);
        switch (tuple.attributeID) {
        case kAttributeIDAppIdentifier: result.appIdentifier = std::move(value); break;
        case kAttributeIDTitle: result.title = std::move(value); break;
        case kAttributeIDSubtitle: result.subtitle = std::move(value); break;
        case kAttributeIDMessage: result.message = std::move(value); break;
        case kAttributeIDDate: result.dateText = std::move(value); break;
        default: break;  // counted, not kept
        }
    }
    // Complete: anything after the fifth tuple goes with the buffer (and `buffer` with it).
    dataSourceDataCache_.reset();
    return result;
}

std::optional<CNNotificationCodec::AppName> CNNotificationCodec::decodeAppAttributes(const Bytes& buffer) {
    // 01, identifier, 00, AttributeID, Length (2 bytes), Length bytes of display name.
    const auto terminator = std::find(buffer.begin() + 1, buffer.end(), std::uint8_t{0});
    if (terminator == buffer.end()) {
        if (buffer.size() - 1 > kMaxIdentifierLength) dataSourceDataCache_.reset();
        return std::nullopt;
    }
    const std::size_t n = static_cast<std::size_t>(terminator - buffer.begin()) - 1;
    if (buffer.size() < n + 5) return std::nullopt;
    const std::size_t length = uint16At(buffer, n + 3);
    if (buffer.size() < n + 5 + length) return std::nullopt;

    AppName result;
    result.identifier.assign(buffer.begin() + 1, terminator);
    result.displayName = CNUTF8::decode(buffer.data() + n + 5, length);
    dataSourceDataCache_.reset();
    return result;
}

void CNNotificationCodec::buildNotification(Attributes attributes, Output& out) {
    // The added event this answer belongs to: the earliest one asked for with this identifier.
    bool preExisting = false;
    auto request = std::find_if(requested_.begin(), requested_.end(),
                                [&attributes](const Requested& r) { return r.uid == attributes.uid; });
    if (request != requested_.end()) {
        const bool withdrawn = request->withdrawn;
        preExisting = request->preExisting;
        requested_.erase(request);
        // The phone removed it while its attributes were on their way.
        if (withdrawn) return;
    }

    auto notification = std::make_shared<CNNotification>();
    notification->setUniqueIdentifier(attributes.uid);
    std::shared_ptr<CNNotificationApplication> application;
    if (lookup_) application = lookup_(attributes.appIdentifier.value_or(std::string()));
    notification->setApplication(application);
    notification->setTitle(std::move(attributes.title));
    notification->setSubtitle(std::move(attributes.subtitle));
    notification->setMessage(std::move(attributes.message));
    notification->setDate(dateFromNotificationDate(attributes.dateText));
    notification->setPreExisting(preExisting);

    if (application && application->icon() && application->displayName()) {
        out.added.push_back(notification);
        return;
    }

    pendingNotifications_.push_back(notification);
    while (pendingNotifications_.size() > kMaxPendingNotifications) pendingNotifications_.pop_front();
    const std::string identifier = identifierOf(notification);
    // CommandID, the identifier, its terminator, then the one attribute asked for.
    Bytes command(identifier.size() + 3, 0x00);
    command[0] = kCommandIDGetAppAttributes;
    std::copy(identifier.begin(), identifier.end(), command.begin() + 1);
    command[identifier.size() + 2] = kAppAttributeIDDisplayName;
    out.commands.push_back(Command{CommandKind::AppAttributes, std::move(command)});
}

// Every record waiting for this application gets the name; they share one application
// record from here on, so that one download, one catalogue entry and one switch serve them.
void CNNotificationCodec::completeAppAttributes(const AppName& name, Output& out) {
    std::vector<std::shared_ptr<CNNotification>> waiting;
    for (auto it = pendingNotifications_.begin(); it != pendingNotifications_.end();) {
        if (identifierOf(*it) == name.identifier) {
            waiting.push_back(*it);
            it = pendingNotifications_.erase(it);
        } else {
            ++it;
        }
    }
    if (waiting.empty()) return;  // an answer nobody waits for (already served, or withdrawn)

    auto application = waiting.front()->application();
    if (!application) return;
    for (const auto& notification : waiting) notification->setApplication(application);
    application->setDisplayName(name.displayName);
    downloadingNotifications_.insert(downloadingNotifications_.end(), waiting.begin(), waiting.end());
    out.named = NamedApplication{application, std::move(waiting)};
}

std::vector<std::shared_ptr<CNNotification>> CNNotificationCodec::finishApplication(
    const std::vector<std::shared_ptr<CNNotification>>& notifications) {
    std::vector<std::shared_ptr<CNNotification>> ready;
    for (const auto& notification : notifications) {
        // Delivered only while still waiting: the phone may have withdrawn it.
        auto it = std::find(downloadingNotifications_.begin(), downloadingNotifications_.end(), notification);
        if (it == downloadingNotifications_.end()) continue;
        downloadingNotifications_.erase(it);
        ready.push_back(notification);
    }
    return ready;
}

// --- records

std::shared_ptr<CNNotification> CNNotificationCodec::currentNotification() const {
    return pendingNotifications_.empty() ? nullptr : pendingNotifications_.front();
}

void CNNotificationCodec::setActiveNotifications(std::vector<std::shared_ptr<CNNotification>> notifications) {
    activeNotifications_ = std::move(notifications);
}

void CNNotificationCodec::addActiveNotification(const std::shared_ptr<CNNotification>& notification) {
    activeNotifications_.push_back(notification);
    if (activeNotifications_.size() > kMaxActiveNotifications) {
        activeNotifications_.erase(activeNotifications_.begin(),
                                   activeNotifications_.end() - static_cast<std::ptrdiff_t>(kMaxActiveNotifications));
    }
}

void CNNotificationCodec::removeActiveNotification(const std::shared_ptr<CNNotification>& notification) {
    auto it = std::find(activeNotifications_.begin(), activeNotifications_.end(), notification);
    if (it != activeNotifications_.end()) activeNotifications_.erase(it);
}

}  // namespace tandril
