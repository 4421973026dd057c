#include "platform/linux/desktop/BusMessageBus.hpp"

#include <QDBusArgument>
#include <QDBusVariant>
#include <QVariantMap>

#include "foundation/Log.hpp"
#include "shared/TDRControlChannel.hpp"

namespace tandril {

namespace {

// Dictionary -> a{sv}: strings, numbers, booleans, data, arrays and maps; a null value has
// no D-Bus form and is left out.
QVariant toVariant(const Value& value);

QVariantMap toVariantMap(const Dictionary& dictionary) {
    QVariantMap map;
    for (const auto& [key, value] : dictionary) {
        if (value.isNull()) continue;
        map.insert(QString::fromStdString(key), toVariant(value));
    }
    return map;
}

QVariant toVariant(const Value& value) {
    switch (value.type()) {
    case Value::Type::String: {
        // A D-Bus string ends at U+0000: a phone's name carrying one is sent without it,
        // instead of cut short there.
        QString text = QString::fromStdString(*value.asString());
        text.remove(QChar(u'\0'));
        return text;
    }
    case Value::Type::Integer: return static_cast<qlonglong>(*value.asInteger());
    case Value::Type::Real: return *value.asReal();
    case Value::Type::Boolean: return *value.asBoolean();
    case Value::Type::Data: {
        const Bytes& bytes = *value.asData();
        return QByteArray(reinterpret_cast<const char*>(bytes.data()), static_cast<qsizetype>(bytes.size()));
    }
    case Value::Type::Date:
        return std::chrono::duration<double>(value.asDate()->time_since_epoch()).count();
    case Value::Type::Array: {
        QVariantList list;
        for (const Value& item : *value.asArray()) {
            if (!item.isNull()) list << toVariant(item);
        }
        return list;
    }
    case Value::Type::Dictionary: return toVariantMap(*value.asDictionary());
    case Value::Type::Null: break;
    }
    return {};
}

// The map of an a{sv} argument with string values or nested a{sv} maps; nullopt for anything
// else (the control channel carries nothing else).
std::optional<Dictionary> stringMap(const QVariant& argument, int depth);

std::optional<Value> stringOrMap(const QVariant& raw, int depth) {
    const QVariant value = raw.userType() == qMetaTypeId<QDBusVariant>() ? raw.value<QDBusVariant>().variant() : raw;
    if (value.userType() == QMetaType::QString) return Value(value.toString().toStdString());
    if (auto map = stringMap(value, depth + 1)) return Value(std::move(*map));
    return std::nullopt;
}

std::optional<Dictionary> stringMap(const QVariant& argument, int depth) {
    if (depth > 2) return std::nullopt;
    if (argument.userType() == QMetaType::QVariantMap) {
        Dictionary dictionary;
        const QVariantMap map = argument.toMap();
        for (auto it = map.begin(); it != map.end(); ++it) {
            auto value = stringOrMap(it.value(), depth);
            if (!value) return std::nullopt;
            dictionary.emplace(it.key().toStdString(), std::move(*value));
        }
        return dictionary;
    }
    if (argument.userType() != qMetaTypeId<QDBusArgument>()) return std::nullopt;
    const QDBusArgument arg = argument.value<QDBusArgument>();
    if (arg.currentType() != QDBusArgument::MapType || arg.currentSignature() != QLatin1String("a{sv}")) return std::nullopt;
    Dictionary dictionary;
    arg.beginMap();
    while (!arg.atEnd()) {
        QString key;
        QDBusVariant value;
        arg.beginMapEntry();
        arg >> key >> value;
        arg.endMapEntry();
        auto converted = stringOrMap(value.variant(), depth);
        if (!converted) {
            arg.endMap();
            return std::nullopt;
        }
        dictionary.emplace(key.toStdString(), std::move(*converted));
    }
    arg.endMap();
    return dictionary;
}

bool isDeviceRecord(const Dictionary& record) {
    for (const auto& [key, value] : record) {
        if (key != TDRDeviceNameKey && key != TDRDeviceUUIDKey && key != TDRDeviceStateKey) return false;
        if (!value.isString()) return false;
    }
    return true;
}

}  // namespace

BusMessageBus::BusMessageBus(const QDBusConnection& connection, QString path, QString interface)
    : connection_(connection),
      path_(path.isEmpty() ? QString::fromLatin1(TDRControlChannelPath) : std::move(path)),
      interface_(interface.isEmpty() ? QString::fromLatin1(TDRControlChannelInterface) : std::move(interface)) {}

bool BusMessageBus::isValidMemberName(const std::string& name) {
    if (name.empty() || name.size() > 255) return false;
    if (name[0] >= '0' && name[0] <= '9') return false;
    for (const char c : name) {
        const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
        if (!ok) return false;
    }
    return true;
}

void BusMessageBus::postNotificationName(const std::string& name, const std::optional<Dictionary>& userInfo, bool) {
    // Every signal is sent at once; "deliver immediately" is what a bus signal always does.
    if (!isValidMemberName(name)) {
        log("[BusMessageBus] Cannot send %s: not a D-Bus member name", name);
        return;
    }
    QDBusMessage signal = QDBusMessage::createSignal(path_, interface_, QString::fromStdString(name));
    if (userInfo) signal << toVariantMap(*userInfo);
    if (!connection_.send(signal)) log("[BusMessageBus] Could not send %s", name);
}

void BusMessageBus::addObserver(const std::string& name, Handler handler) {
    if (!isValidMemberName(name)) {
        log("[BusMessageBus] Cannot observe %s: not a D-Bus member name", name);
        return;
    }
    bool subscribed = false;
    for (const auto& observer : observers_) subscribed = subscribed || observer.first == name;
    observers_.emplace_back(name, std::move(handler));
    if (subscribed) return;
    // Any sender: the message is a broadcast of whichever process speaks.
    if (!connection_.connect(QString(), path_, interface_, QString::fromStdString(name), this,
                             SLOT(onSignal(QDBusMessage)))) {
        log("[BusMessageBus] Could not observe %s", name);
    }
}

std::optional<std::optional<Dictionary>> BusMessageBus::checkedPayload(const QDBusMessage& message,
                                                                       std::string* reason) {
    const QList<QVariant> arguments = message.arguments();
    const bool isDeviceInformation = message.member() == QLatin1String(TDRReceivedDeviceInformationNotification);
    if (!isDeviceInformation) {
        if (arguments.isEmpty()) return std::optional<Dictionary>();
        if (reason) *reason = "this message carries no payload";
        return std::nullopt;
    }
    if (message.signature() != QLatin1String("a{sv}")) {
        if (reason) *reason = "expected one a{sv} argument";
        return std::nullopt;
    }
    auto payload = stringMap(arguments.first(), 0);
    if (!payload) {
        if (reason) *reason = "the payload holds values other than strings and maps";
        return std::nullopt;
    }
    if (payload->size() != 1 || !payload->count(TDRConnectedDeviceKey)) {
        if (reason) *reason = "the payload's only key must be connected_device";
        return std::nullopt;
    }
    const Value& device = payload->at(TDRConnectedDeviceKey);
    if (device.isDictionary() && !isDeviceRecord(*device.asDictionary())) {
        if (reason) *reason = "the device record has unknown keys or values that are not strings";
        return std::nullopt;
    }
    return std::optional<Dictionary>(std::move(*payload));
}

void BusMessageBus::onSignal(const QDBusMessage& message) {
    const std::string name = message.member().toStdString();
    std::string reason;
    auto payload = checkedPayload(message, &reason);
    if (!payload) {
        log("[BusMessageBus] Ignoring %s from %s: %s", name, message.service().toStdString(), reason);
        return;
    }
    const TDRMessage received{name, std::move(*payload)};
    // A copy: a handler may add observers.
    const auto observers = observers_;
    for (const auto& [observed, handler] : observers) {
        if (observed == name && handler) handler(received);
    }
}

}  // namespace tandril
