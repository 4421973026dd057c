#pragma once

#include <QtCore/QSet>
#include <QtCore/QString>
#include <QtCore/QStringList>
#include <QtCore/QVariantMap>
#include <QtDBus/QDBusMessage>

#include <functional>
#include <map>

#include "platform/linux/bluez/standin/StandInTypes.hpp"

namespace tandril {

// The stand-in's exported objects and their properties, with the signals BlueZ sends when
// they change: ObjectManager's InterfacesAdded / InterfacesRemoved and Properties'
// PropertiesChanged. Answers GetManagedObjects, Properties.Get / GetAll and Introspect.
//
// Faults for tests: a property can be reported missing or with a wrong D-Bus type
// everywhere a client sees it. Used on the main thread only.
class StandInObjectTree {
public:
    enum class PropertyFault { None, Missing, WrongType };
    using Sender = std::function<void(const QDBusMessage& message)>;

    explicit StandInObjectTree(Sender sender) : send_(std::move(sender)) {}

    bool hasObject(const QString& path) const { return objects_.count(path) != 0; }
    bool hasInterface(const QString& path, const QString& interface) const;
    // Adds `interface` to `path` (creating the object) and announces it.
    void addInterface(const QString& path, const QString& interface, const QVariantMap& properties);
    // Removes the object at `path` and every object below it, deepest first, announcing each.
    void removeObject(const QString& path);
    // Forgets every object without a signal (the owner left the bus).
    void clear() { objects_.clear(); }
    // The paths directly or indirectly below `path`.
    QStringList pathsBelow(const QString& path) const;

    QVariant property(const QString& path, const QString& interface, const QString& name) const;
    // Sets a property and sends PropertiesChanged when its value changed (or `always`).
    void setProperty(const QString& path, const QString& interface, const QString& name, const QVariant& value,
                     bool always = false);
    // Removes a property (it no longer exists) and sends it as invalidated.
    void invalidateProperty(const QString& path, const QString& interface, const QString& name);

    void setPropertyFault(const QString& interface, const QString& name, PropertyFault fault);

    // Answers to the standard interfaces (an error reply when the call is wrong).
    QDBusMessage managedObjects(const QDBusMessage& call) const;
    QDBusMessage get(const QDBusMessage& call) const;
    QDBusMessage getAll(const QDBusMessage& call) const;
    QDBusMessage introspect(const QDBusMessage& call) const;

private:
    // The properties as a client sees them (faults applied).
    QVariantMap visible(const QString& interface, const QVariantMap& properties) const;
    StandInInterfaces visibleInterfaces(const StandInInterfaces& interfaces) const;

    Sender send_;
    std::map<QString, StandInInterfaces> objects_;
    std::map<QString, std::map<QString, PropertyFault>> faults_;
};

}  // namespace tandril
