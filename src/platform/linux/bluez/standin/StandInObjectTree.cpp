#include "platform/linux/bluez/standin/StandInObjectTree.hpp"

#include <QtDBus/QDBusArgument>
#include <QtDBus/QDBusMetaType>
#include <QtDBus/QDBusVariant>

namespace tandril {

namespace {

const QString kProperties = "org.freedesktop.DBus.Properties";
const QString kObjectManager = "org.freedesktop.DBus.ObjectManager";

bool isBelow(const QString& candidate, const QString& path) {
    if (path == "/") return candidate != "/";
    return candidate.startsWith(path + "/");
}

// The methods and signals of each interface, as BlueZ 5.66 declares them.
QString methodsOf(const QString& interface) {
    if (interface == "org.bluez.Adapter1")
        return "<method name=\"StartDiscovery\"/><method name=\"SetDiscoveryFilter\"><arg name=\"properties\" "
               "type=\"a{sv}\" direction=\"in\"/></method><method name=\"StopDiscovery\"/><method "
               "name=\"RemoveDevice\"><arg name=\"device\" type=\"o\" direction=\"in\"/></method><method "
               "name=\"GetDiscoveryFilters\"><arg name=\"filters\" type=\"as\" direction=\"out\"/></method>";
    if (interface == "org.bluez.Device1")
        return "<method name=\"Disconnect\"/><method name=\"Connect\"/><method name=\"ConnectProfile\"><arg "
               "name=\"UUID\" type=\"s\" direction=\"in\"/></method><method name=\"DisconnectProfile\"><arg "
               "name=\"UUID\" type=\"s\" direction=\"in\"/></method><method name=\"Pair\"/><method "
               "name=\"CancelPairing\"/>";
    if (interface == "org.bluez.GattCharacteristic1")
        return "<method name=\"ReadValue\"><arg name=\"options\" type=\"a{sv}\" direction=\"in\"/><arg "
               "name=\"value\" type=\"ay\" direction=\"out\"/></method><method name=\"WriteValue\"><arg "
               "name=\"value\" type=\"ay\" direction=\"in\"/><arg name=\"options\" type=\"a{sv}\" "
               "direction=\"in\"/></method><method name=\"AcquireWrite\"><arg name=\"options\" type=\"a{sv}\" "
               "direction=\"in\"/><arg name=\"fd\" type=\"h\" direction=\"out\"/><arg name=\"mtu\" type=\"q\" "
               "direction=\"out\"/></method><method name=\"AcquireNotify\"><arg name=\"options\" "
               "type=\"a{sv}\" direction=\"in\"/><arg name=\"fd\" type=\"h\" direction=\"out\"/><arg "
               "name=\"mtu\" type=\"q\" direction=\"out\"/></method><method name=\"StartNotify\"/><method "
               "name=\"StopNotify\"/>";
    if (interface == "org.bluez.AgentManager1")
        return "<method name=\"RegisterAgent\"><arg name=\"agent\" type=\"o\" direction=\"in\"/><arg "
               "name=\"capability\" type=\"s\" direction=\"in\"/></method><method name=\"UnregisterAgent\"><arg "
               "name=\"agent\" type=\"o\" direction=\"in\"/></method><method name=\"RequestDefaultAgent\"><arg "
               "name=\"agent\" type=\"o\" direction=\"in\"/></method>";
    return {};
}

QString signatureOf(const QVariant& value) {
    const char* signature = QDBusMetaType::typeToSignature(value.metaType());
    return signature ? QString::fromLatin1(signature) : QString("v");
}

// The properties a client may set (Properties.Set), as BlueZ declares them.
bool isWritable(const QString& interface, const QString& name) {
    if (interface == "org.bluez.Adapter1")
        return name == "Alias" || name == "Powered" || name == "Discoverable" || name == "DiscoverableTimeout" ||
               name == "Pairable" || name == "PairableTimeout";
    if (interface == "org.bluez.Device1")
        return name == "Alias" || name == "Trusted" || name == "Blocked" || name == "WakeAllowed";
    return false;
}

QDBusMessage invalidArgs(const QDBusMessage& call, const QString& text) {
    return call.createErrorReply("org.freedesktop.DBus.Error.InvalidArgs", text);
}

}  // namespace

bool StandInObjectTree::hasInterface(const QString& path, const QString& interface) const {
    auto found = objects_.find(path);
    return found != objects_.end() && found->second.contains(interface);
}

void StandInObjectTree::addInterface(const QString& path, const QString& interface, const QVariantMap& properties) {
    objects_[path][interface] = properties;
    StandInInterfaces added;
    added[interface] = visible(interface, properties);
    QDBusMessage signal = QDBusMessage::createSignal("/", kObjectManager, "InterfacesAdded");
    signal << QVariant::fromValue(QDBusObjectPath(path)) << QVariant::fromValue(added);
    send_(signal);
}

void StandInObjectTree::removeObject(const QString& path) {
    const QStringList below = pathsBelow(path);
    for (auto it = below.rbegin(); it != below.rend(); ++it) removeObject(*it);
    auto found = objects_.find(path);
    if (found == objects_.end()) return;
    const QStringList interfaces = found->second.keys();
    objects_.erase(found);
    QDBusMessage signal = QDBusMessage::createSignal("/", kObjectManager, "InterfacesRemoved");
    signal << QVariant::fromValue(QDBusObjectPath(path)) << interfaces;
    send_(signal);
}

QStringList StandInObjectTree::pathsBelow(const QString& path) const {
    QStringList out;
    for (const auto& [candidate, interfaces] : objects_)
        if (isBelow(candidate, path)) out << candidate;
    return out;
}

QVariant StandInObjectTree::property(const QString& path, const QString& interface, const QString& name) const {
    auto found = objects_.find(path);
    if (found == objects_.end()) return {};
    return found->second.value(interface).value(name);
}

void StandInObjectTree::setProperty(const QString& path, const QString& interface, const QString& name,
                                    const QVariant& value, bool always) {
    auto found = objects_.find(path);
    if (found == objects_.end() || !found->second.contains(interface)) return;
    QVariantMap& properties = found->second[interface];
    if (!always && properties.contains(name) && properties.value(name) == value) return;
    properties[name] = value;
    QVariantMap changed;
    changed[name] = value;
    changed = visible(interface, changed);
    if (changed.isEmpty()) return;
    QDBusMessage signal = QDBusMessage::createSignal(path, kProperties, "PropertiesChanged");
    signal << interface << changed << QStringList();
    send_(signal);
}

void StandInObjectTree::invalidateProperty(const QString& path, const QString& interface, const QString& name) {
    auto found = objects_.find(path);
    if (found == objects_.end() || !found->second.contains(interface)) return;
    if (found->second[interface].remove(name) == 0) return;
    QDBusMessage signal = QDBusMessage::createSignal(path, kProperties, "PropertiesChanged");
    signal << interface << QVariantMap() << QStringList{name};
    send_(signal);
}

void StandInObjectTree::setPropertyFault(const QString& interface, const QString& name, PropertyFault fault) {
    if (fault == PropertyFault::None) faults_[interface].erase(name);
    else faults_[interface][name] = fault;
}

QVariantMap StandInObjectTree::visible(const QString& interface, const QVariantMap& properties) const {
    auto faults = faults_.find(interface);
    if (faults == faults_.end()) return properties;
    QVariantMap out = properties;
    for (const auto& [name, fault] : faults->second) {
        if (!out.contains(name)) continue;
        if (fault == PropertyFault::Missing) out.remove(name);
        // A string where anything else is due, and a number where a string is due.
        else if (out.value(name).metaType() == QMetaType::fromType<QString>()) out[name] = QVariant::fromValue(uint(7));
        else out[name] = QString("wrong type");
    }
    return out;
}

StandInInterfaces StandInObjectTree::visibleInterfaces(const StandInInterfaces& interfaces) const {
    StandInInterfaces out;
    for (auto it = interfaces.begin(); it != interfaces.end(); ++it) out[it.key()] = visible(it.key(), it.value());
    return out;
}

QDBusMessage StandInObjectTree::managedObjects(const QDBusMessage& call) const {
    StandInManagedObjects all;
    for (const auto& [path, interfaces] : objects_) {
        if (!isBelow(path, call.path())) continue;
        all[QDBusObjectPath(path)] = visibleInterfaces(interfaces);
    }
    return call.createReply(QVariant::fromValue(all));
}

QDBusMessage StandInObjectTree::get(const QDBusMessage& call) const {
    const QList<QVariant> args = call.arguments();
    if (args.size() != 2) return invalidArgs(call, "Invalid arguments in method call");
    const QString interface = args[0].toString();
    const QString name = args[1].toString();
    auto found = objects_.find(call.path());
    if (found == objects_.end() || !found->second.contains(interface))
        return invalidArgs(call, "No such interface '" + interface + "'");
    const QVariantMap properties = visible(interface, found->second.value(interface));
    if (!properties.contains(name)) return invalidArgs(call, "No such property '" + name + "'");
    return call.createReply(QVariant::fromValue(QDBusVariant(properties.value(name))));
}

QDBusMessage StandInObjectTree::getAll(const QDBusMessage& call) const {
    const QList<QVariant> args = call.arguments();
    if (args.size() != 1) return invalidArgs(call, "Invalid arguments in method call");
    const QString interface = args[0].toString();
    auto found = objects_.find(call.path());
    if (found == objects_.end() || !found->second.contains(interface))
        return invalidArgs(call, "No such interface '" + interface + "'");
    return call.createReply(visible(interface, found->second.value(interface)));
}

QDBusMessage StandInObjectTree::introspect(const QDBusMessage& call) const {
    const QString path = call.path();
    QString xml =
        "<!DOCTYPE node PUBLIC \"-//freedesktop//DTD D-BUS Object Introspection 1.0//EN\"\n"
        "\"http://www.freedesktop.org/standards/dbus/1.0/introspect.dtd\">\n<node>"
        "<interface name=\"org.freedesktop.DBus.Introspectable\"><method name=\"Introspect\"><arg name=\"xml\" "
        "type=\"s\" direction=\"out\"/></method></interface>";
    auto found = objects_.find(path);
    if (found != objects_.end()) {
        xml += "<interface name=\"org.freedesktop.DBus.Properties\"><method name=\"Get\"><arg name=\"interface\" "
               "type=\"s\" direction=\"in\"/><arg name=\"name\" type=\"s\" direction=\"in\"/><arg name=\"value\" "
               "type=\"v\" direction=\"out\"/></method><method name=\"Set\"><arg name=\"interface\" type=\"s\" "
               "direction=\"in\"/><arg name=\"name\" type=\"s\" direction=\"in\"/><arg name=\"value\" type=\"v\" "
               "direction=\"in\"/></method><method name=\"GetAll\"><arg name=\"interface\" type=\"s\" "
               "direction=\"in\"/><arg name=\"properties\" type=\"a{sv}\" direction=\"out\"/></method><signal "
               "name=\"PropertiesChanged\"><arg name=\"interface\" type=\"s\"/><arg name=\"changed_properties\" "
               "type=\"a{sv}\"/><arg name=\"invalidated_properties\" type=\"as\"/></signal></interface>";
        for (auto it = found->second.begin(); it != found->second.end(); ++it) {
            xml += "<interface name=\"" + it.key() + "\">" + methodsOf(it.key());
            const QVariantMap properties = visible(it.key(), it.value());
            for (auto p = properties.begin(); p != properties.end(); ++p)
                xml += "<property name=\"" + p.key() + "\" type=\"" + signatureOf(p.value()) + "\" access=\"" +
                       (isWritable(it.key(), p.key()) ? "readwrite" : "read") + "\"/>";
            xml += "</interface>";
        }
    }
    if (path == "/")
        xml += "<interface name=\"org.freedesktop.DBus.ObjectManager\"><method name=\"GetManagedObjects\"><arg "
               "name=\"objects\" type=\"a{oa{sa{sv}}}\" direction=\"out\"/></method><signal "
               "name=\"InterfacesAdded\"><arg name=\"object\" type=\"o\"/><arg name=\"interfaces\" "
               "type=\"a{sa{sv}}\"/></signal><signal name=\"InterfacesRemoved\"><arg name=\"object\" "
               "type=\"o\"/><arg name=\"interfaces\" type=\"as\"/></signal></interface>";
    // Direct children, including the intermediate nodes of deeper objects.
    QSet<QString> children;
    const QString prefix = path == "/" ? "/" : path + "/";
    for (const auto& [candidate, interfaces] : objects_) {
        if (!candidate.startsWith(prefix) || candidate == path) continue;
        children.insert(candidate.mid(prefix.size()).section('/', 0, 0));
    }
    QStringList sorted(children.begin(), children.end());
    sorted.sort();
    for (const QString& child : sorted) xml += "<node name=\"" + child + "\"/>";
    xml += "</node>";
    return call.createReply(xml);
}

}  // namespace tandril
