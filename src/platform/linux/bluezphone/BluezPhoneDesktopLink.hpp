#pragma once

#include <QtCore/QObject>
#include <QtCore/QString>
#include <QtDBus/QDBusConnection>
#include <QtDBus/QDBusMessage>

#include <functional>
#include <string>

namespace tandril {

// The link a stock iPhone makes itself: the phone, a central here, scans for the desktop,
// connects to it when the user picks it ("tapped" in the phone's Bluetooth settings), pairs
// (Device1.Pair: the desktop's agent shows the code), and once bonded connects again by
// itself whenever it hears the desktop advertise.
//
// The desktop is recognised by its advertised name (Device1.Name, from the scan response):
// BlueZ 5.66 parses no solicitation from advertisements (eir.c handles no AD types 0x14,
// 0x15, 0x1F, and AdvertisingData leaves them out), so the solicited notification-center
// service cannot be seen. A device already paired under that name or alias counts at start.
//
// Reports each step as a line: "desktop found PATH", "tapped PATH", "connected to PATH",
// "connect failed: ERROR", "paired with PATH", "pairing failed: ERROR", "desktop link up
// PATH", "desktop link down PATH", "reconnecting to PATH", "tap: no desktop named NAME
// heard yet". Lives on the thread whose event loop serves `connection`'s replies.
class BluezPhoneDesktopLink : public QObject {
    Q_OBJECT
public:
    using Reporter = std::function<void(const std::string& line)>;

    BluezPhoneDesktopLink(QDBusConnection connection, QString adapterPath, QString desktopName,
                          QObject* parent = nullptr);

    void setReporter(Reporter reporter) { reporter_ = std::move(reporter); }
    // Reads what bluetoothd knows and starts an LE discovery that reports every advertisement;
    // again after bluetoothd restarted.
    void start();
    // The user picks the desktop: connect and pair. False when it was not heard yet.
    bool tap();

    const QString& desktopPath() const { return desktopPath_; }
    bool isLinked() const { return linked_; }
    bool isBonded() const { return bonded_; }

private slots:
    void propertiesChanged(const QDBusMessage& message);
    void interfacesAdded(const QDBusMessage& message);

private:
    void say(const std::string& line) const;
    void deviceSeen(const QString& path, const QVariantMap& properties, bool heard);
    void connectDesktop(bool pairAfterwards);
    void pair();
    void call(const QString& path, const QString& interface, const QString& member, const QList<QVariant>& arguments,
              int timeoutMs, std::function<void(const QDBusMessage& reply)> done);

    QDBusConnection connection_;
    const QString adapterPath_;
    const QString desktopName_;
    Reporter reporter_;
    QString desktopPath_;
    bool linked_ = false;
    bool bonded_ = false;
    bool connecting_ = false;
    // Tapped: the phone wants the desktop (a bonded phone always does).
    bool wanted_ = false;
    bool hooked_ = false;
};

}  // namespace tandril
