#pragma once

#include <QtCore/QMap>
#include <QtCore/QString>
#include <QtCore/QVariantMap>
#include <QtDBus/QDBusObjectPath>
#include <QtDBus/QDBusVariant>

namespace tandril {

// The D-Bus shapes org.bluez speaks beyond the basic types.
// a{sa{sv}}: the interfaces of one object with their properties.
using StandInInterfaces = QMap<QString, QVariantMap>;
// a{oa{sa{sv}}}: ObjectManager.GetManagedObjects.
using StandInManagedObjects = QMap<QDBusObjectPath, StandInInterfaces>;
// a{qv}: Device1.ManufacturerData.
using StandInManufacturerData = QMap<quint16, QDBusVariant>;

// Registers the shapes above with QtDBus (once per process; safe to call again).
class StandInTypes {
public:
    static void registerTypes();
};

}  // namespace tandril

Q_DECLARE_METATYPE(tandril::StandInInterfaces)
Q_DECLARE_METATYPE(tandril::StandInManagedObjects)
Q_DECLARE_METATYPE(tandril::StandInManufacturerData)
