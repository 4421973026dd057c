#pragma once

#include <QDBusConnection>
#include <QObject>

#include <functional>

namespace tandril {

// Follows the computer's sleep through logind (org.freedesktop.login1 on the system bus).
//
// At start it takes a "delay" inhibitor for "sleep": logind then waits (up to its
// InhibitDelayMaxSec) for this program before suspending. On PrepareForSleep(true) it runs
// the will-sleep reaction and then releases the inhibitor, so the machine may go down with
// the phone's link already closed; on PrepareForSleep(false) it runs the did-wake reaction
// and takes a new inhibitor for the next sleep. Without logind (a container, a minimal
// session) it logs that once and carries on: no sleep is reported then. When logind starts
// (again: it is restarted on upgrades, and forgets its inhibitors), a new one is taken.
class BusSleepMonitor : public QObject {
    Q_OBJECT
public:
    using Reaction = std::function<void()>;

    BusSleepMonitor(const QDBusConnection& systemBus, Reaction willSleep, Reaction didWake);
    ~BusSleepMonitor() override;
    BusSleepMonitor(const BusSleepMonitor&) = delete;
    BusSleepMonitor& operator=(const BusSleepMonitor&) = delete;

    // Subscribes to PrepareForSleep and asks for the first inhibitor.
    void start();
    // True while this program holds a delay inhibitor.
    bool holdsInhibitor() const { return inhibitor_ >= 0; }

private slots:
    void onPrepareForSleep(bool sleeping);
    void onLogindStarted();

private:
    void takeInhibitor();
    void releaseInhibitor();

    QDBusConnection bus_;
    Reaction willSleep_;
    Reaction didWake_;
    int inhibitor_ = -1;
    bool requesting_ = false;
    bool sleeping_ = false;
    bool reportedMissing_ = false;
};

}  // namespace tandril
