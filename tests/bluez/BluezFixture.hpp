#pragma once

#include <QtCore/QObject>
#include <QtCore/QVariant>
#include <QtDBus/QDBusConnection>
#include <QtDBus/QDBusMessage>
#include <QtDBus/QDBusVirtualObject>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/linux/bluez/standin/BluezStandIn.hpp"
#include "sim/SimScenario.hpp"
#include "support/LoopFixture.hpp"
#include "support/PrivateBus.hpp"

class QThread;

namespace tandril {
class SimPhone;
class SimRadio;
}  // namespace tandril

namespace tandril::test {

// Records the signals org.bluez sends (InterfacesAdded, InterfacesRemoved,
// PropertiesChanged) on a connection of its own, in arrival order. Signals arrive on the
// recorder's thread; each one wakes the virtual loop so that pumpUntil sees it.
class BluezSignalRecorder : public QObject {
    Q_OBJECT
public:
    explicit BluezSignalRecorder(const std::string& address);
    ~BluezSignalRecorder() override;

    std::vector<QDBusMessage> signalMessages() const;
    // "InterfacesAdded /path Iface1,Iface2", "InterfacesRemoved /path Iface",
    // "PropertiesChanged /path Iface Name=value,... -Invalidated": a readable line per signal.
    std::vector<std::string> lines() const;
    // Lines that start with `prefix`.
    std::vector<std::string> linesStartingWith(const std::string& prefix) const;
    void clear();
    bool isConnected() const { return connected_; }

public slots:
    void onSignal(const QDBusMessage& message);

private:
    void hookSignals(bool hook);
    QThread* thread_ = nullptr;
    QString name_;
    bool connected_ = false;
    mutable std::mutex mutex_;
    std::vector<QDBusMessage> messages_;
};

// A pairing agent (org.bluez.Agent1) served on the fixture's client connection, from a
// thread of its own: accepts or rejects RequestConfirmation and records the passkeys.
class BluezTestAgent : public QDBusVirtualObject {
    Q_OBJECT
public:
    BluezTestAgent(const QString& connectionName, QString path);
    ~BluezTestAgent() override;

    void setAccepts(bool accepts) { accepts_ = accepts; }
    std::vector<std::uint32_t> passkeys() const;
    const QString& path() const { return path_; }

    QString introspect(const QString& path) const override;
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override;

private:
    QThread* thread_ = nullptr;
    QString connectionName_;
    QString path_;
    std::atomic<bool> accepts_{true};
    mutable std::mutex mutex_;
    std::vector<std::uint32_t> passkeys_;
};

// A readable text of a D-Bus value: numbers, strings, byte arrays in hex, string lists
// joined with '|', object paths.
std::string describeValue(const QVariant& value);

// The fixture every BlueZ test shares: the virtual loop, a private bus (both bus addresses
// point at it), a simulated radio (not installed as the current adapter) and a running
// stand-in bluetoothd serving it, plus a plain QtDBus client for checking answers.
class BluezFixture : public LoopFixture {
protected:
    BluezFixture();
    ~BluezFixture() override;

    // Runs posted work and waits (in real time, at most `limit`) until `done` holds.
    bool pumpUntil(const std::function<bool()>& done,
                   std::chrono::milliseconds limit = std::chrono::milliseconds(5000));
    // Moves virtual time forward in steps of `step` seconds, letting the D-Bus work that each
    // step causes finish (replies, signals, the adapter thread's events) before the next.
    void advance(double seconds, double step = 0.1);
    // Advances virtual time step by step (as advance()) until `done` holds, at most
    // `maxSeconds` of virtual time. The radio's latencies and BlueZ's timers pass this way.
    bool advanceUntil(const std::function<bool()>& done, double maxSeconds = 30, double step = 0.1);
    // Runs posted work until nothing more arrives for `quiet` of real time.
    void settle(std::chrono::milliseconds quiet = std::chrono::milliseconds(5));
    // Called after every step of advance() and by settle(), e.g. to sync an adapter.
    std::function<void()> onSettle;

    // A phone described with SimScenario (its radio is this fixture's).
    SimScenario phone() { return SimScenario(radio); }

    // ---- A plain client of org.bluez on its own connection ----------------------------
    // Calls `member` and pumps the loop until the answer arrives (an invalid message on
    // time-out).
    QDBusMessage call(const std::string& path, const std::string& interface, const std::string& member,
                      const QList<QVariant>& arguments = {},
                      std::chrono::milliseconds limit = std::chrono::milliseconds(5000));
    // Sends the call and returns at once; `answer` holds the answer once it arrived.
    struct PendingAnswer {
        std::mutex mutex;
        QDBusMessage message;
        bool done = false;
    };
    std::shared_ptr<PendingAnswer> callAsync(const std::string& path, const std::string& interface,
                                             const std::string& member, const QList<QVariant>& arguments = {});
    bool waitFor(const std::shared_ptr<PendingAnswer>& answer,
                 std::chrono::milliseconds limit = std::chrono::milliseconds(5000));
    // Properties.Get, unwrapped (invalid when the call failed).
    QVariant property(const std::string& path, const std::string& interface, const std::string& name);
    // The error name of an answer ("" for a reply).
    static std::string errorName(const QDBusMessage& message);
    // "name: message" of an error answer.
    static std::string errorText(const QDBusMessage& message);
    // Waits until the recorder holds a line starting with `prefix`.
    bool waitForSignal(const std::string& prefix, std::chrono::milliseconds limit = std::chrono::milliseconds(5000));
    // The client connection's unique name.
    std::string clientName() const;
    // Serves a pairing agent on the client connection and registers it as the default agent.
    BluezTestAgent& registerAgent();

    // Restarts the stand-in with other options (quirks).
    void restartStandIn(BluezStandIn::Options options);
    BluezStandIn::Options standInOptions() const;

    PrivateBus bus;
    std::shared_ptr<SimRadio> radio;
    std::shared_ptr<BluezStandIn> standIn;
    std::unique_ptr<BluezSignalRecorder> recorder;

private:
    QString clientConnection_;
    std::unique_ptr<BluezTestAgent> agent_;
};

}  // namespace tandril::test
