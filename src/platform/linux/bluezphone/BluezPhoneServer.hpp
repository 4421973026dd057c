#pragma once

#include <QtCore/QObject>
#include <QtCore/QVariantMap>
#include <QtDBus/QDBusConnection>
#include <QtDBus/QDBusObjectPath>
#include <QtDBus/QDBusVirtualObject>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "foundation/Bytes.hpp"
#include "foundation/UUID.hpp"

namespace tandril {

class SimCharacteristic;
class SimPhone;

// The simulated phone's GATT database served to BlueZ as a GATT application: an object
// tree under `root` (ObjectManager at the root, one GattService1 per service, one
// GattCharacteristic1 per characteristic) that bluetoothd reads with GetManagedObjects once
// registered through GattManager1. Reads answer the phone's stored values; writes to the
// Control Point go to the phone's notification provider, whose answers go out on the Data
// Source as value changes, cut to the link's MTU minus `fragmentOverhead` (5: a BlueZ server
// sends multiple-handle notifications to a BlueZ client); the provider's events go out on
// the Notification Source while a central subscribes. Access that the phone's database
// guards carries BlueZ's encrypt-read / encrypt-write / encrypt-notify flags, so the
// first such access pairs. Main thread only.
class BluezPhoneServer : public QDBusVirtualObject {
    Q_OBJECT
public:
    struct Options {
        QString root = QStringLiteral("/org/tandril/phone/gatt");
        // Bytes the server's notifications lose to their header beyond ATT's 3.
        std::size_t fragmentOverhead = 5;
        // The MTU assumed when a write names none.
        std::size_t defaultMTU = 23;
    };
    // What the server did, as a line for the program's log.
    using Reporter = std::function<void(const std::string& line)>;

    BluezPhoneServer(QDBusConnection connection, std::shared_ptr<SimPhone> phone, Options options, QObject* parent = nullptr);
    ~BluezPhoneServer() override;

    // Exports the tree on the connection; false when the path is taken.
    bool exportTree();
    // GattManager1.RegisterApplication on `adapterPath`, without blocking (bluetoothd calls
    // back into us before it answers); `done` gets the error name, empty on success.
    void registerWith(const QString& adapterPath, std::function<void(const QString& error)> done);

    // Announces every notification the phone has (PreExisting), as after a subscription.
    // BlueZ keeps a bonded central's subscription across links and does not tell the
    // server again, so the program calls this when such a central's link comes back.
    void reannounce();
    bool isNotificationSourceSubscribed() const;
    // How many announcements the phone made so far.
    std::size_t announcements() const { return announcements_; }

    void setReporter(Reporter reporter) { reporter_ = std::move(reporter); }
    const QString& root() const { return options_.root; }
    SimPhone& phone() { return *phone_; }

    // The object tree as GetManagedObjects answers it: path → interface → properties.
    QMap<QDBusObjectPath, QMap<QString, QVariantMap>> managedObjects() const;
    // BlueZ's flags for one characteristic of the database.
    static QStringList flagsFor(const SimCharacteristic& characteristic);

    QString introspect(const QString& path) const override;
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override;

private:
    struct Entry {
        QString path;
        QString servicePath;
        std::shared_ptr<SimCharacteristic> characteristic;
        bool notifying = false;
    };

    Entry* entryAt(const QString& path);
    Entry* entryFor(const tandril::UUID& uuid);
    QVariantMap characteristicProperties(const Entry& entry) const;
    bool handleCharacteristic(Entry& entry, const QDBusMessage& message, const QDBusConnection& connection);
    void sendValue(Entry& entry, const Bytes& value);
    void report(const std::string& line) const;

    QDBusConnection connection_;
    std::shared_ptr<SimPhone> phone_;
    const Options options_;
    std::vector<QString> servicePaths_;
    std::vector<tandril::UUID> serviceUUIDs_;
    std::vector<Entry> entries_;
    Reporter reporter_;
    bool exported_ = false;
    std::size_t announcements_ = 0;
};

}  // namespace tandril
