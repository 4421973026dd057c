#pragma once

#include <QDBusVirtualObject>
#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <functional>
#include <string>

namespace tandril {

// The advertisement the central registers with org.bluez.LEAdvertisingManager1: an
// org.bluez.LEAdvertisement1 object on the adapter's connection whose properties
// bluetoothd reads (Properties.GetAll) when it is registered.
//
//   Type          "peripheral" (connectable)
//   LocalName     the name asked for, cut to 29 bytes at a character boundary
//   SolicitUUIDs  the solicited services, 128-bit lower-case texts
//   Includes      empty
//
// The legacy advertising PDU holds 31 bytes: a 128-bit solicited service takes 18 of them
// and the flags 3, which leaves no room for a name beside them. bluetoothd 5.66 puts
// LocalName into the scan response (advertising.c, generate_scan_rsp), where a name of up
// to 29 bytes fits whole; longer names it would cut itself, possibly inside a character,
// so the object offers at most 29 bytes of whole characters. "local-name" in Includes would
// advertise the adapter's alias instead, and refuses a LocalName beside it.
//
// bluetoothd calls Release when it drops the advertisement by itself (the adapter went,
// bluetoothd exits); `released` then runs. Lives on the adapter's D-Bus thread.
class BluezAdvertisement : public QDBusVirtualObject {
    Q_OBJECT
public:
    static constexpr const char* Interface = "org.bluez.LEAdvertisement1";
    // The scan response's room for a name: 31 bytes less the field's length and type.
    static constexpr int MaxNameBytes = 29;

    BluezAdvertisement(QString path, const std::string& localName, QStringList solicitUUIDs,
                       std::function<void()> released, QObject* parent = nullptr);

    const QString& path() const { return path_; }
    // The LEAdvertisement1 properties, as GetAll answers them.
    QVariantMap properties() const;
    // `name` cut to at most MaxNameBytes bytes without splitting a UTF-8 sequence.
    static QString shortenedName(const std::string& name);

    QString introspect(const QString& path) const override;
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override;

private:
    const QString path_;
    const QString localName_;
    const QStringList solicitUUIDs_;
    std::function<void()> released_;
};

}  // namespace tandril
