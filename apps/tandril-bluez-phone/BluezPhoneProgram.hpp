#pragma once

#include <QtCore/QObject>
#include <QtCore/QSet>
#include <QtCore/QStringList>
#include <QtDBus/QDBusConnection>
#include <QtDBus/QDBusMessage>

#include <memory>
#include <string>

class QSocketNotifier;

namespace tandril {

class BluezPhoneAdvertisement;
class BluezPhoneAgent;
class BluezPhoneDesktopLink;
class BluezPhoneServer;
class SimPhone;

// The program around the BlueZ phone: options, registration with bluetoothd, the links
// it watches (a bonded central that comes back is sent the phone's notifications again,
// since BlueZ does not report its kept subscription), and the script read from standard
// input, one command a line:
//   app ID NAME            an application the phone knows
//   add ID|TITLE|SUBTITLE|MESSAGE   a new notification (its UID is printed)
//   remove UID             withdraws a notification
//   drop                   the phone drops every link
//   advertise on|off
//   tap                    (--stock) the user picks the desktop in the phone's settings
//   quit
// Every step is printed as "phone SECONDS what", SECONDS on the monotonic clock.
//
// With --stock the phone plays an iPhone without the companion application: only the
// notification-center service, no advertisement of its own; it looks for the desktop named
// by --desktop (default "Tandril"), connects and pairs on "tap", and, once bonded, comes
// back by itself whenever it hears the desktop advertise (BluezPhoneDesktopLink).
class BluezPhoneProgram : public QObject {
    Q_OBJECT
public:
    BluezPhoneProgram();
    ~BluezPhoneProgram() override;
    // Negative: started, run the event loop; otherwise the exit status.
    int start(const QStringList& arguments);
    // Runs one script line (also used by the tests of the script).
    void command(const QString& line);

private slots:
    void propertiesChanged(const QDBusMessage& message);
    void interfacesAdded(const QDBusMessage& message);

private:
    void say(const std::string& line) const;
    void registerEverything();
    void setAdapterProperty(const QString& name, const QVariant& value);
    void linked(const QString& device, bool connected);
    void advertise(bool on);
    void readInput();
    void readvertise();

    QDBusConnection connection_;
    QString adapterPath_;
    QString name_ = QStringLiteral("iPhone");
    QString capability_;
    bool stock_ = false;
    QString desktopName_ = QStringLiteral("Tandril");
    BluezPhoneDesktopLink* desktopLink_ = nullptr;
    int reannounceDelayMs_ = 1500;
    // Above zero: while no central is linked, the advertisement is withdrawn and registered
    // again this often (milliseconds). A virtual controller (btvirt) reports an
    // advertisement once per advertising or scan start, where a radio repeats it.
    int readvertiseMs_ = 0;
    std::shared_ptr<SimPhone> phone_;
    BluezPhoneServer* server_ = nullptr;
    BluezPhoneAdvertisement* advertisement_ = nullptr;
    BluezPhoneAgent* agent_ = nullptr;
    QSocketNotifier* input_ = nullptr;
    std::string pending_;
    QSet<QString> linked_;
    bool advertising_ = false;
};

}  // namespace tandril
