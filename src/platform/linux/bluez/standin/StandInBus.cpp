#include "platform/linux/bluez/standin/StandInBus.hpp"

#include <QtCore/QMetaObject>
#include <QtCore/QThread>
#include <QtDBus/QDBusPendingCallWatcher>
#include <QtDBus/QDBusPendingReply>
#include <QtDBus/QDBusConnectionInterface>

#include <atomic>

namespace tandril {

namespace {
std::atomic<int> connectionCounter{0};
}

StandInBus::StandInBus(Handler handler, ClientGone clientGone)
    : handler_(std::move(handler)), clientGone_(std::move(clientGone)) {
    thread_ = new QThread();
    thread_->setObjectName("bluez-standin");
    thread_->start();
}

StandInBus::~StandInBus() {
    unpublish();
    if (connection_) {
        // Unhooked before the connection closes: QtDBus unhooks what is left on its own
        // thread, which must not race this object's destruction.
        connection_->disconnect("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                "NameOwnerChanged", this, SLOT(onNameOwnerChanged(QString, QString, QString)));
        connection_.reset();
        QDBusConnection::disconnectFromBus(connectionName_);
    }
    thread_->quit();
    thread_->wait();
    delete thread_;
}

bool StandInBus::open(const std::string& address) {
    connectionName_ = QString("tandril-bluez-standin-%1").arg(connectionCounter.fetch_add(1));
    QDBusConnection connection =
        address.empty() ? QDBusConnection::connectToBus(QDBusConnection::SystemBus, connectionName_)
                        : QDBusConnection::connectToBus(QString::fromStdString(address), connectionName_);
    if (!connection.isConnected()) {
        error_ = "cannot connect to the bus: " + connection.lastError().message().toStdString();
        QDBusConnection::disconnectFromBus(connectionName_);
        return false;
    }
    uniqueName_ = connection.baseService();
    connection_ = std::make_unique<QDBusConnection>(connection);
    // bluetoothd ends a client's discovery, notification sessions and agent when it leaves.
    connection_->connect("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "NameOwnerChanged",
                         this, SLOT(onNameOwnerChanged(QString, QString, QString)));
    return true;
}

bool StandInBus::publish(const QString& name) {
    if (!connection_) return false;
    if (published_) return true;
    if (!connection_->registerVirtualObject("/", this, QDBusConnection::SubPath)) {
        error_ = "cannot serve the object tree";
        return false;
    }
    // Calls are delivered in the object's thread: from now on the bus thread. (Registering
    // first, from the creating thread, keeps QtDBus's helpers in the thread that made them.)
    if (thread() != thread_) moveToThread(thread_);
    if (!connection_->registerService(name)) {
        error_ = "cannot own " + name.toStdString() + ": " + connection_->lastError().message().toStdString();
        connection_->unregisterObject("/", QDBusConnection::UnregisterTree);
        return false;
    }
    name_ = name;
    published_ = true;
    return true;
}

void StandInBus::unpublish() {
    if (!connection_ || !published_) return;
    connection_->unregisterService(name_);
    connection_->unregisterObject("/", QDBusConnection::UnregisterTree);
    published_ = false;
}

bool StandInBus::send(const QDBusMessage& message) const { return connection_ && connection_->send(message); }

void StandInBus::callClient(const QDBusMessage& message, std::function<void(const QDBusMessage& answer)> done,
                            int timeoutMs) {
    // The watcher lives on the bus thread, whose event loop delivers its answer.
    QMetaObject::invokeMethod(this, [this, message, done = std::move(done), timeoutMs] {
        if (!connection_) return done(message.createErrorReply("org.freedesktop.DBus.Error.Disconnected", "Not connected"));
        auto* watcher = new QDBusPendingCallWatcher(connection_->asyncCall(message, timeoutMs), this);
        connect(watcher, &QDBusPendingCallWatcher::finished, this, [done](QDBusPendingCallWatcher* finished) {
            done(finished->reply());
            finished->deleteLater();
        });
    });
}

void StandInBus::onNameOwnerChanged(const QString& name, const QString& oldOwner, const QString& newOwner) {
    if (name.startsWith(':') && !oldOwner.isEmpty() && newOwner.isEmpty() && clientGone_) clientGone_(name);
}

QString StandInBus::introspect(const QString&) const {
    // Introspect calls are answered by the handler with the whole document.
    return {};
}

bool StandInBus::handleMessage(const QDBusMessage& message, const QDBusConnection&) {
    if (message.type() != QDBusMessage::MethodCallMessage) return false;
    handler_(message);
    return true;
}

}  // namespace tandril
