#pragma once

#include <QtCore/QObject>
#include <QtCore/QString>
#include <QtDBus/QDBusConnection>
#include <QtDBus/QDBusMessage>
#include <QtDBus/QDBusVirtualObject>

#include <functional>
#include <memory>
#include <string>

class QThread;

namespace tandril {

// The stand-in's end of the bus: its own named connection, and one catch-all object at "/"
// (and every path below it) that lives on a thread of its own, so calls arrive even while
// the main thread is busy or runs in virtual time. Each call is handed to `handler`
// unanswered; whoever answers it calls send() from any thread.
class StandInBus : public QDBusVirtualObject {
    Q_OBJECT
public:
    using Handler = std::function<void(const QDBusMessage& message)>;
    // Told the unique name of a client that left the bus (on the bus thread).
    using ClientGone = std::function<void(const QString& name)>;

    StandInBus(Handler handler, ClientGone clientGone);
    ~StandInBus() override;

    // Connects to `address` (empty: the system bus). False with error() on failure.
    bool open(const std::string& address);
    // Claims `name` and serves every object path; false with error() when refused.
    bool publish(const QString& name);
    // Gives the name up and stops serving objects (the name's owner leaves the bus).
    void unpublish();
    bool isPublished() const { return published_; }
    const std::string& error() const { return error_; }
    const QString& uniqueName() const { return uniqueName_; }

    // Sends a reply, an error or a signal. Safe from any thread.
    bool send(const QDBusMessage& message) const;
    // Calls a client (a pairing agent) and hands its answer, or the D-Bus error that stands
    // for none, to `done` on the bus thread. `timeoutMs` as QtDBus takes it (-1: the
    // default 25 s). Safe from any thread.
    void callClient(const QDBusMessage& message, std::function<void(const QDBusMessage& answer)> done,
                    int timeoutMs = -1);

    // QDBusVirtualObject: runs on the bus thread.
    QString introspect(const QString& path) const override;
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override;

private slots:
    void onNameOwnerChanged(const QString& name, const QString& oldOwner, const QString& newOwner);

private:
    Handler handler_;
    ClientGone clientGone_;
    QThread* thread_ = nullptr;
    QString connectionName_;
    std::unique_ptr<QDBusConnection> connection_;
    QString name_;
    QString uniqueName_;
    bool published_ = false;
    std::string error_;
};

}  // namespace tandril
