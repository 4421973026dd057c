#pragma once

#include <QtCore/QObject>
#include <QtCore/QStringList>
#include <QtCore/QVariantMap>
#include <QtDBus/QDBusConnection>
#include <QtDBus/QDBusVirtualObject>

#include <functional>

#include "foundation/Bytes.hpp"

namespace tandril {

// The phone's advertisement as a BlueZ LEAdvertisement1 object, registered through
// LEAdvertisingManager1: connectable ("peripheral"), the phone's local name, Apple's
// manufacturer data (company 0x004C, so that the agent's exploration filter takes it) and,
// when they fit the 31 bytes of a legacy advertisement, service UUIDs.
class BluezPhoneAdvertisement : public QDBusVirtualObject {
    Q_OBJECT
public:
    struct Content {
        QString localName;
        // The manufacturer data as the phone advertises it: company identifier first, little-endian.
        Bytes manufacturerData;
        QStringList serviceUUIDs;
        QStringList solicitUUIDs;
    };

    BluezPhoneAdvertisement(QDBusConnection connection, QString path, Content content, QObject* parent = nullptr);
    ~BluezPhoneAdvertisement() override;

    bool exportObject();
    // LEAdvertisingManager1.RegisterAdvertisement / UnregisterAdvertisement on `adapterPath`,
    // without blocking; `done` gets the error name, empty on success.
    void registerWith(const QString& adapterPath, std::function<void(const QString& error)> done);
    void unregisterFrom(const QString& adapterPath, std::function<void(const QString& error)> done);

    const QString& path() const { return path_; }
    // The properties bluetoothd reads (GetAll on org.bluez.LEAdvertisement1).
    QVariantMap properties() const;
    // Bytes the advertisement's fields take in the air (with the 3 bytes of flags).
    static int advertisedLength(const Content& content);

    QString introspect(const QString& path) const override;
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override;

private:
    void call(const QString& adapterPath, const QString& member, std::function<void(const QString& error)> done);

    QDBusConnection connection_;
    const QString path_;
    Content content_;
    bool exported_ = false;
};

}  // namespace tandril
