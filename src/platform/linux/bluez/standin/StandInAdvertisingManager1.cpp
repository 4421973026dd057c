#include "platform/linux/bluez/standin/StandInAdvertisingManager1.hpp"

#include <QtDBus/QDBusArgument>
#include <QtDBus/QDBusMetaType>
#include <QtDBus/QDBusObjectPath>
#include <QtDBus/QDBusVariant>

#include <algorithm>

#include "platform/linux/bluez/standin/StandInErrors.hpp"

namespace tandril {

namespace {

QVariant unwrapped(const QVariant& value) {
    if (value.metaType() == QMetaType::fromType<QDBusVariant>()) return value.value<QDBusVariant>().variant();
    return value;
}

// An "as" value (nullopt for any other type).
std::optional<QStringList> stringList(const QVariant& wrapped) {
    const QVariant value = unwrapped(wrapped);
    if (value.metaType() == QMetaType::fromType<QStringList>()) return value.toStringList();
    if (value.metaType() == QMetaType::fromType<QDBusArgument>()) {
        const QDBusArgument argument = value.value<QDBusArgument>();
        if (argument.currentSignature() != "as") return std::nullopt;
        return qdbus_cast<QStringList>(argument);
    }
    return std::nullopt;
}

std::optional<std::vector<UUID>> uuidList(const QVariant& value) {
    const auto texts = stringList(value);
    if (!texts) return std::nullopt;
    std::vector<UUID> uuids;
    for (const QString& text : *texts) {
        auto uuid = UUID::fromString(text.toStdString());
        if (!uuid) return std::nullopt;
        uuids.push_back(*uuid);
    }
    return uuids;
}

// One AD field per UUID size: its length and type bytes, then the UUIDs.
std::size_t listLength(const std::vector<UUID>& uuids) {
    std::size_t length = 0;
    for (std::size_t size : {std::size_t{2}, std::size_t{4}, std::size_t{16}}) {
        const auto count = static_cast<std::size_t>(
            std::count_if(uuids.begin(), uuids.end(), [&](const UUID& uuid) { return uuid.data().size() == size; }));
        if (count > 0) length += 2 + count * size;
    }
    return length;
}

// bluetoothd cuts a name that does not fit the scan response to its first 29 bytes
// (serialize_name in src/shared/ad.c), whatever character that splits.
std::string onAir(const QString& name) {
    std::string bytes = name.toStdString();
    if (bytes.size() > 29) bytes.resize(29);
    return bytes;
}

}  // namespace

QVariantMap StandInAdvertisingManager1::properties() const {
    const auto active = static_cast<uchar>(std::count_if(advertisements_.begin(), advertisements_.end(),
                                                         [](const Advertisement& a) { return a.registered; }));
    QVariantMap properties;
    properties["ActiveInstances"] = QVariant::fromValue(active);
    properties["SupportedInstances"] = QVariant::fromValue(static_cast<uchar>(instances_ - active));
    properties["SupportedIncludes"] = QStringList{"tx-power", "appearance", "local-name"};
    properties["SupportedSecondaryChannels"] = QStringList{"1M", "2M", "Coded"};
    return properties;
}

std::optional<QDBusMessage> StandInAdvertisingManager1::take(const QDBusMessage& call) {
    const QList<QVariant> args = call.arguments();
    if (args.size() != 2 || args[0].metaType() != QMetaType::fromType<QDBusObjectPath>())
        return StandInErrors::invalidArguments(call);
    const QVariant options = args[1];
    const bool isDictionary =
        options.metaType() == QMetaType::fromType<QVariantMap>() ||
        (options.metaType() == QMetaType::fromType<QDBusArgument>() &&
         options.value<QDBusArgument>().currentSignature().startsWith("a"));
    if (!isDictionary) return StandInErrors::invalidArguments(call);
    const QString path = args[0].value<QDBusObjectPath>().path();
    if (find(call.service(), path)) return StandInErrors::error(call, "org.bluez.Error.AlreadyExists", "Already Exists");
    if (advertisements_.size() >= instances_)
        return StandInErrors::error(call, "org.bluez.Error.NotPermitted", "Maximum advertisements reached");
    Advertisement advertisement;
    advertisement.owner = call.service();
    advertisement.path = path;
    advertisement.registration = call;
    advertisements_.push_back(std::move(advertisement));
    return std::nullopt;
}

std::size_t StandInAdvertisingManager1::dataLength(const Advertisement& advertisement, const QStringList& includes,
                                                   bool appearance) {
    // A connectable advertisement carries the flags field.
    std::size_t length = advertisement.connectable ? 3 : 0;
    length += listLength(advertisement.serviceUUIDs);
    length += listLength(advertisement.solicitUUIDs);
    if (includes.contains("tx-power")) length += 3;
    if (appearance || includes.contains("appearance")) length += 4;
    return length;
}

bool StandInAdvertisingManager1::parse(Advertisement& advertisement, const QVariantMap& properties,
                                       const QString& alias) {
    advertisement.read = properties;
    QStringList includes;
    bool appearance = false;
    std::optional<QString> name;
    // In advertising.c's order: Type, ServiceUUIDs, SolicitUUIDs, …, Includes, LocalName, Appearance.
    if (properties.contains("Type")) {
        const QVariant type = unwrapped(properties["Type"]);
        if (type.metaType() != QMetaType::fromType<QString>()) return false;
        if (type.toString() == "peripheral") advertisement.connectable = true;
        else if (type.toString() != "broadcast") return false;
    }
    if (properties.contains("ServiceUUIDs")) {
        auto uuids = uuidList(properties["ServiceUUIDs"]);
        if (!uuids) return false;
        advertisement.serviceUUIDs = *uuids;
    }
    if (properties.contains("SolicitUUIDs")) {
        auto uuids = uuidList(properties["SolicitUUIDs"]);
        if (!uuids) return false;
        advertisement.solicitUUIDs = *uuids;
    }
    if (properties.contains("Includes")) {
        auto list = stringList(properties["Includes"]);
        if (!list) return false;
        includes = *list;
    }
    if (properties.contains("LocalName")) {
        const QVariant value = unwrapped(properties["LocalName"]);
        // "Local name already included"
        if (value.metaType() != QMetaType::fromType<QString>() || includes.contains("local-name")) return false;
        if (!value.toString().isEmpty()) name = value.toString();
    } else if (includes.contains("local-name")) {
        name = alias;
    }
    if (properties.contains("Appearance")) {
        if (unwrapped(properties["Appearance"]).metaType() != QMetaType::fromType<ushort>()) return false;
        appearance = true;
    }
    if (dataLength(advertisement, includes, appearance) > MaxDataLength) return false;
    advertisement.localName = name ? onAir(*name) : std::string();
    advertisement.parsed = true;
    return true;
}

QDBusMessage StandInAdvertisingManager1::withdraw(const QDBusMessage& call, std::vector<QDBusMessage>& alsoSend) {
    const QList<QVariant> args = call.arguments();
    if (args.size() != 1 || args[0].metaType() != QMetaType::fromType<QDBusObjectPath>())
        return StandInErrors::invalidArguments(call);
    const QString path = args[0].value<QDBusObjectPath>().path();
    Advertisement* advertisement = find(call.service(), path);
    if (!advertisement) return StandInErrors::error(call, "org.bluez.Error.DoesNotExist", "Does Not Exist");
    // A registration still waiting is answered as client_free does.
    if (!advertisement->registered)
        alsoSend.push_back(StandInErrors::failed(advertisement->registration, "Failed to complete registration"));
    remove(call.service(), path);
    return call.createReply();
}

StandInAdvertisingManager1::Advertisement* StandInAdvertisingManager1::find(const QString& owner, const QString& path) {
    for (auto& advertisement : advertisements_)
        if (advertisement.owner == owner && advertisement.path == path) return &advertisement;
    return nullptr;
}

void StandInAdvertisingManager1::remove(const QString& owner, const QString& path) {
    advertisements_.erase(std::remove_if(advertisements_.begin(), advertisements_.end(),
                                         [&](const Advertisement& a) { return a.owner == owner && a.path == path; }),
                          advertisements_.end());
}

void StandInAdvertisingManager1::forget(const QString& owner) {
    advertisements_.erase(std::remove_if(advertisements_.begin(), advertisements_.end(),
                                         [&](const Advertisement& a) { return a.owner == owner; }),
                          advertisements_.end());
}

const StandInAdvertisingManager1::Advertisement* StandInAdvertisingManager1::current() const {
    for (auto it = advertisements_.rbegin(); it != advertisements_.rend(); ++it)
        if (it->registered) return &*it;
    return nullptr;
}

}  // namespace tandril
