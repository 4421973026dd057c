#include "platform/linux/bluez/BluezBus.hpp"

#include <QDBusArgument>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusServiceWatcher>
#include <QDBusSignature>
#include <QDBusVariant>
#include <QMetaObject>

#include "foundation/Log.hpp"
#include "foundation/RunLoop.hpp"
#include "platform/linux/bluez/BluezErrors.hpp"

namespace tandril {

namespace {
const QString bluezService = QStringLiteral("org.bluez");
const QString objectManager = QStringLiteral("org.freedesktop.DBus.ObjectManager");
const QString propertiesInterface = QStringLiteral("org.freedesktop.DBus.Properties");
// How much longer the D-Bus call's own time-out is than the adapter's.
constexpr int backstopMs = 5000;

QVariant plainArgument(const QDBusArgument& argument);

QString keyText(const QVariant& key) {
    if (key.userType() == qMetaTypeId<QDBusObjectPath>()) return key.value<QDBusObjectPath>().path();
    if (key.userType() == qMetaTypeId<QDBusSignature>()) return key.value<QDBusSignature>().signature();
    return key.toString();
}

QVariant plainArgument(const QDBusArgument& argument) {
    switch (argument.currentType()) {
        case QDBusArgument::ArrayType: {
            if (argument.currentSignature() == QLatin1String("ay")) {
                QByteArray bytes;
                argument >> bytes;
                return bytes;
            }
            QVariantList list;
            argument.beginArray();
            while (!argument.atEnd()) list << BluezBus::plain(argument.asVariant());
            argument.endArray();
            return list;
        }
        case QDBusArgument::MapType: {
            QVariantMap map;
            argument.beginMap();
            while (!argument.atEnd()) {
                argument.beginMapEntry();
                const QVariant key = BluezBus::plain(argument.asVariant());
                const QVariant value = BluezBus::plain(argument.asVariant());
                argument.endMapEntry();
                map.insert(keyText(key), value);
            }
            argument.endMap();
            return map;
        }
        case QDBusArgument::StructureType: {
            QVariantList fields;
            argument.beginStructure();
            while (!argument.atEnd()) fields << BluezBus::plain(argument.asVariant());
            argument.endStructure();
            return fields;
        }
        case QDBusArgument::BasicType:
        case QDBusArgument::VariantType:
            return BluezBus::plain(argument.asVariant());
        default:
            return {};
    }
}

QVariantMap asMap(const QVariant& value) {
    const QVariant decoded = BluezBus::plain(value);
    return decoded.userType() == QMetaType::QVariantMap ? decoded.toMap() : QVariantMap{};
}

QStringList asStringList(const QVariant& value) {
    const QVariant decoded = BluezBus::plain(value);
    if (decoded.userType() == QMetaType::QStringList) return decoded.toStringList();
    QStringList out;
    if (decoded.userType() == QMetaType::QVariantList) {
        for (const auto& item : decoded.toList()) {
            if (item.userType() == QMetaType::QString) out << item.toString();
        }
    }
    return out;
}

QString pathText(const QVariant& value) {
    if (value.userType() == qMetaTypeId<QDBusObjectPath>()) return value.value<QDBusObjectPath>().path();
    if (value.userType() == QMetaType::QString) return value.toString();
    return {};
}
}  // namespace

QVariant BluezBus::plain(const QVariant& value) {
    if (value.userType() == qMetaTypeId<QDBusVariant>()) return plain(value.value<QDBusVariant>().variant());
    if (value.userType() == qMetaTypeId<QDBusArgument>()) return plainArgument(value.value<QDBusArgument>());
    return value;
}

bool BluezBusGate::post(std::function<void()> job) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!target_) return false;
    return QMetaObject::invokeMethod(target_, std::move(job), Qt::QueuedConnection);
}

void BluezBusGate::close() {
    std::lock_guard<std::mutex> lock(mutex_);
    target_ = nullptr;
}

BluezBus::BluezBus(QString address, QString connectionName)
    : address_(std::move(address)), name_(std::move(connectionName)), gate_(std::make_shared<BluezBusGate>(this)) {}

BluezBus::~BluezBus() {
    gate_->close();
    for (const auto& [id, pending] : pending_) {
        if (pending.timer != 0) RunLoop::main().cancel(pending.timer);
    }
    pending_.clear();
    pendingCount_ = 0;
    if (!connected_) return;
    // QtDBus closes a connection on its own thread and then unhooks every receiver it still
    // knows; a receiver being destroyed meanwhile on this thread is a use after free. So the
    // signal hooks, the watcher and the exported agent go first, while the link is still open.
    hookSignals(false);
    const QObjectList owned = children();
    qDeleteAll(owned);
    watcher_ = nullptr;
    QDBusConnection::disconnectFromBus(name_);
}

// bluetoothd's object-manager and property signals, hooked to this object's slots (or unhooked).
void BluezBus::hookSignals(bool hook) {
    struct Hook {
        const QString& interface;
        const char* member;
        const char* slot;
    };
    const Hook hooks[] = {{objectManager, "InterfacesAdded", SLOT(onInterfacesAdded(QDBusMessage))},
                          {objectManager, "InterfacesRemoved", SLOT(onInterfacesRemoved(QDBusMessage))},
                          {propertiesInterface, "PropertiesChanged", SLOT(onPropertiesChanged(QDBusMessage))}};
    QDBusConnection bus = connection();
    for (const Hook& h : hooks) {
        const QString member = QString::fromLatin1(h.member);
        if (hook) bus.connect(bluezService, QString(), h.interface, member, this, h.slot);
        else bus.disconnect(bluezService, QString(), h.interface, member, this, h.slot);
    }
}

QDBusConnection BluezBus::connection() const {
    return QDBusConnection(name_);
}

bool BluezBus::isConnected() const {
    return connected_;
}

void BluezBus::start(Listener* listener) {
    listener_ = listener;
    QDBusConnection bus = address_.isEmpty() ? QDBusConnection::connectToBus(QDBusConnection::SystemBus, name_)
                                             : QDBusConnection::connectToBus(address_, name_);
    connected_ = bus.isConnected();
    if (!connected_) {
        log("[BLUEZ] Cannot reach the system bus: %s", bus.lastError().message().toStdString());
        hasOwner_ = false;
        treeLoaded_ = true;
        listener_->busTreeLoaded(false);
        return;
    }
    hookSignals(true);
    watcher_ = new QDBusServiceWatcher(bluezService, bus, QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(watcher_, &QDBusServiceWatcher::serviceOwnerChanged, this,
            [this](const QString&, const QString& oldOwner, const QString& newOwner) { ownerChanged(oldOwner, newOwner); });
    loadTree();
}

void BluezBus::loadTree() {
    loading_ = true;
    treeLoaded_ = false;
    const std::uint64_t generation = ++loadGeneration_;
    call(QStringLiteral("/"), objectManager, QStringLiteral("GetManagedObjects"), {}, 25,
         [this, generation](const QDBusMessage& reply) {
             if (generation != loadGeneration_) return;
             loading_ = false;
             Tree tree;
             bool ownerPresent = false;
             if (reply.type() == QDBusMessage::ReplyMessage) {
                 ownerPresent = true;
                 if (reply.signature() != QLatin1String("a{oa{sa{sv}}}")) {
                     log("[BLUEZ] Unexpected object tree of type %s", reply.signature().toStdString());
                 } else {
                     const QVariantMap objects = asMap(reply.arguments().value(0));
                     for (auto object = objects.begin(); object != objects.end(); ++object) {
                         const QVariantMap interfaces = asMap(object.value());
                         Interfaces entry;
                         for (auto it = interfaces.begin(); it != interfaces.end(); ++it)
                             entry[it.key()] = asMap(it.value());
                         tree[object.key()] = std::move(entry);
                     }
                 }
                 owner_ = reply.service();
             } else {
                 const QString error = reply.errorName();
                 // A bluetoothd that answers with an error is there; one that is missing is not.
                 ownerPresent = error != QLatin1String("org.freedesktop.DBus.Error.ServiceUnknown") &&
                                error != QLatin1String("org.freedesktop.DBus.Error.NameHasNoOwner") &&
                                error != QLatin1String("org.freedesktop.DBus.Error.Disconnected");
                 if (ownerPresent) log("[BLUEZ] Cannot read the object tree: %s", error.toStdString());
             }
             {
                 std::lock_guard<std::mutex> lock(shared_->mutex);
                 shared_->tree = std::move(tree);
             }
             hasOwner_ = ownerPresent;
             treeLoaded_ = true;
             listener_->busTreeLoaded(ownerPresent);
         });
}

void BluezBus::ownerChanged(const QString& oldOwner, const QString& newOwner) {
    if (!oldOwner.isEmpty() || hasOwner_) {
        {
            std::lock_guard<std::mutex> lock(shared_->mutex);
            shared_->tree.clear();
        }
        hasOwner_ = false;
        ++loadGeneration_;
        loading_ = false;
        treeLoaded_ = false;
        listener_->busOwnerLost();
    }
    if (!newOwner.isEmpty()) loadTree();
}

bool BluezBus::fromBluez(const QDBusMessage& message) const {
    // Signals that overtook the tree's snapshot are in it already.
    return !loading_ && hasOwner_ && message.service() == owner_;
}

void BluezBus::onInterfacesAdded(const QDBusMessage& message) {
    if (!fromBluez(message) || message.signature() != QLatin1String("oa{sa{sv}}")) return;
    const QString path = pathText(message.arguments().value(0));
    if (path.isEmpty()) return;
    const QVariantMap interfaces = asMap(message.arguments().value(1));
    Interfaces added;
    for (auto it = interfaces.begin(); it != interfaces.end(); ++it) added[it.key()] = asMap(it.value());
    {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        auto& entry = shared_->tree[path];
        for (const auto& [name, properties] : added) entry[name] = properties;
    }
    listener_->busInterfacesAdded(path, added);
}

void BluezBus::onInterfacesRemoved(const QDBusMessage& message) {
    if (!fromBluez(message) || message.signature() != QLatin1String("oas")) return;
    const QString path = pathText(message.arguments().value(0));
    const QStringList removed = asStringList(message.arguments().value(1));
    if (path.isEmpty()) return;
    {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        auto entry = shared_->tree.find(path);
        if (entry != shared_->tree.end()) {
            for (const auto& name : removed) entry->second.erase(name);
            if (entry->second.empty()) shared_->tree.erase(entry);
        }
    }
    listener_->busInterfacesRemoved(path, removed);
}

void BluezBus::onPropertiesChanged(const QDBusMessage& message) {
    if (!fromBluez(message) || message.signature() != QLatin1String("sa{sv}as")) return;
    const QString interface = message.arguments().value(0).toString();
    const QVariantMap changed = asMap(message.arguments().value(1));
    const QStringList invalidated = asStringList(message.arguments().value(2));
    const QString path = message.path();
    {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        auto entry = shared_->tree.find(path);
        // Properties of objects the tree does not hold (yet) are not recorded.
        if (entry != shared_->tree.end()) {
            auto properties = entry->second.find(interface);
            if (properties != entry->second.end()) {
                for (auto it = changed.begin(); it != changed.end(); ++it) properties->second[it.key()] = it.value();
                for (const auto& name : invalidated) properties->second.remove(name);
            }
        }
    }
    listener_->busPropertiesChanged(path, interface, changed, invalidated);
}

void BluezBus::call(const QString& path, const QString& interface, const QString& method,
                    const QVariantList& arguments, double timeoutSeconds, ReplyHandler handler) {
    const std::uint64_t id = ++nextCall_;
    pending_[id] = PendingCall{std::move(handler), 0};
    pendingCount_ = pending_.size();
    QDBusMessage message = QDBusMessage::createMethodCall(bluezService, path, interface, method);
    message.setArguments(arguments);
    if (!connected_) {
        auto gate = gate_;
        gate->post([this, id, message] {
            finish(id, message.createErrorReply(QStringLiteral("org.freedesktop.DBus.Error.Disconnected"),
                                                QStringLiteral("Not connected to the bus")));
        });
        return;
    }
    const double limitMs = timeoutSeconds * 1000.0 + backstopMs;
    const int timeoutMs = limitMs > 2e9 ? 2000000000 : static_cast<int>(limitMs);
    auto* watcher = new QDBusPendingCallWatcher(connection().asyncCall(message, timeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, id](QDBusPendingCallWatcher* finished) {
        finished->deleteLater();
        finish(id, finished->reply());
    });
    // The adapter's own time limit runs in the main loop's time (virtual in tests).
    std::weak_ptr<BluezBusGate> gate = gate_;
    const auto timer = RunLoop::main().schedule(seconds(timeoutSeconds), [gate, this, id, message] {
        if (auto open = gate.lock()) {
            open->post([this, id, message] {
                finish(id, message.createErrorReply(QString::fromLatin1(BluezErrors::TimedOutName),
                                                    QStringLiteral("The call ran past its time limit")));
            });
        }
    });
    auto it = pending_.find(id);
    if (it != pending_.end()) it->second.timer = timer;
}

void BluezBus::finish(std::uint64_t id, const QDBusMessage& reply) {
    auto it = pending_.find(id);
    if (it == pending_.end()) return;
    ReplyHandler handler = std::move(it->second.handler);
    const auto timer = it->second.timer;
    pending_.erase(it);
    if (timer != 0) RunLoop::main().cancel(timer);
    pendingCount_ = pending_.size();
    if (handler) handler(reply);
}

void BluezBus::ping(std::function<void()> done) {
    call(QStringLiteral("/"), QStringLiteral("org.freedesktop.DBus.Peer"), QStringLiteral("Ping"), {}, 25,
         [done = std::move(done)](const QDBusMessage&) { done(); });
}

BluezBus::Tree BluezBus::SharedTree::snapshot() const {
    std::lock_guard<std::mutex> lock(mutex);
    return tree;
}

std::optional<BluezBus::Interfaces> BluezBus::SharedTree::object(const QString& path) const {
    std::lock_guard<std::mutex> lock(mutex);
    auto it = tree.find(path);
    if (it == tree.end()) return std::nullopt;
    return it->second;
}

BluezBus::Tree BluezBus::snapshot() const {
    return shared_->snapshot();
}

std::optional<BluezBus::Interfaces> BluezBus::object(const QString& path) const {
    return shared_->object(path);
}

}  // namespace tandril
