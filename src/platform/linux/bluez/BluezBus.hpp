#pragma once

#include <QDBusConnection>
#include <QDBusMessage>
#include <QObject>
#include <QStringList>
#include <QVariantMap>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

class QDBusServiceWatcher;

namespace tandril {

// The adapter's link to org.bluez: one private connection, BlueZ's object tree as read with
// GetManagedObjects and kept current from InterfacesAdded, InterfacesRemoved and
// PropertiesChanged, the bus name's owner, and asynchronous method calls with a time limit.
//
// The object lives on the adapter's D-Bus thread: every method but run(), tree snapshots
// and the counters is called there, and the listener is called there, in the bus's order.
// Values are kept in plain Qt types (D-Bus containers decoded into QVariantMap, QVariantList,
// QByteArray), never as QDBusArgument, so they can be read again and copied across threads.
class BluezBus : public QObject {
    Q_OBJECT
public:
    using Interfaces = std::map<QString, QVariantMap>;
    using Tree = std::map<QString, Interfaces>;
    // The reply or error message of a call; an error named BluezErrors::TimedOutName when
    // the adapter's own time limit ran out first.
    using ReplyHandler = std::function<void(const QDBusMessage& reply)>;

    class Listener {
    public:
        virtual ~Listener() = default;
        // The tree was read (at start or after bluetoothd came back); `hasOwner` false when
        // no program owns org.bluez.
        virtual void busTreeLoaded(bool hasOwner) = 0;
        // org.bluez lost its owner (bluetoothd exited or is restarting); the tree is empty.
        virtual void busOwnerLost() = 0;
        virtual void busInterfacesAdded(const QString& path, const Interfaces& added) = 0;
        virtual void busInterfacesRemoved(const QString& path, const QStringList& removed) = 0;
        virtual void busPropertiesChanged(const QString& path, const QString& interface, const QVariantMap& changed,
                                          const QStringList& invalidated) = 0;
    };

    // `address` empty: the system bus.
    BluezBus(QString address, QString connectionName);
    ~BluezBus() override;

    // Runs jobs on the bus thread (queued); safe from any thread, dropped once the bus is gone.
    std::shared_ptr<class BluezBusGate> gate() const { return gate_; }

    // Connects and reads the tree; the listener hears busTreeLoaded.
    void start(Listener* listener);
    bool isConnected() const;
    QDBusConnection connection() const;

    // Calls org.bluez. The handler runs on the bus thread, exactly once, unless the bus is
    // destroyed first. `timeoutSeconds` runs on the main run loop (virtual time in tests);
    // the D-Bus call's own time-out is a little longer, as a backstop.
    void call(const QString& path, const QString& interface, const QString& method, const QVariantList& arguments,
              double timeoutSeconds, ReplyHandler handler);
    // Peer.Ping to org.bluez: a round trip through the bus.
    void ping(std::function<void()> done);

    // The tree, shared with readers on other threads that may outlive the bus.
    class SharedTree {
    public:
        Tree snapshot() const;
        std::optional<Interfaces> object(const QString& path) const;

    private:
        friend class BluezBus;
        mutable std::mutex mutex;
        Tree tree;
    };
    std::shared_ptr<const SharedTree> sharedTree() const { return shared_; }
    // A copy of the tree, from any thread.
    Tree snapshot() const;
    std::optional<Interfaces> object(const QString& path) const;
    bool hasOwner() const { return hasOwner_; }
    // The tree has been read (and no owner change since asks for it again).
    bool isTreeLoaded() const { return treeLoaded_; }
    // Calls sent and not yet answered; from any thread.
    std::size_t pendingCallCount() const { return pendingCount_; }

    // Decodes D-Bus containers held in a variant into plain Qt values (recursively).
    static QVariant plain(const QVariant& value);

private slots:
    void onInterfacesAdded(const QDBusMessage& message);
    void onInterfacesRemoved(const QDBusMessage& message);
    void onPropertiesChanged(const QDBusMessage& message);

private:
    void hookSignals(bool hook);
    void loadTree();
    void ownerChanged(const QString& oldOwner, const QString& newOwner);
    void finish(std::uint64_t id, const QDBusMessage& reply);
    bool fromBluez(const QDBusMessage& message) const;

    const QString address_;
    const QString name_;
    std::shared_ptr<BluezBusGate> gate_;
    Listener* listener_ = nullptr;
    bool connected_ = false;
    QDBusServiceWatcher* watcher_ = nullptr;
    std::atomic<bool> hasOwner_{false};
    QString owner_;
    bool loading_ = false;
    bool treeLoaded_ = false;
    std::uint64_t loadGeneration_ = 0;
    std::shared_ptr<SharedTree> shared_ = std::make_shared<SharedTree>();
    std::uint64_t nextCall_ = 0;
    struct PendingCall {
        ReplyHandler handler;
        std::uint64_t timer = 0;
    };
    std::map<std::uint64_t, PendingCall> pending_;
    std::atomic<std::size_t> pendingCount_{0};
};

// Posts work to the bus thread while the bus lives; the bus closes the gate when it goes.
class BluezBusGate {
public:
    explicit BluezBusGate(QObject* target) : target_(target) {}
    bool post(std::function<void()> job);
    void close();

private:
    std::mutex mutex_;
    QObject* target_;
};

}  // namespace tandril
