#pragma once

#include <QDBusConnection>
#include <QDBusMessage>
#include <QString>
#include <QVariant>
#include <QVariantList>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "support/PrivateBus.hpp"

namespace tandril::test {

// A python3-dbusmock server on the test's private bus: one of its templates
// ("notification_daemon", "logind", "polkitd", ...) run as a child process with
// /usr/bin/python3. The constructor returns once the template's bus name is owned (or the
// limit passed: isReady() says which), watching NameOwnerChanged, never sleeping. Needs a
// QCoreApplication (DesktopFixture makes one) and the private bus's environment.
//
// The mock control interface (org.freedesktop.DBus.Mock on the template's main object) is
// reached through `connection`: the calls the server received, signals to emit, methods to
// add or replace.
class DbusMock {
public:
    struct Template {
        std::string name;        // "notification_daemon"
        std::string busName;     // "org.freedesktop.Notifications"
        std::string objectPath;  // "/org/freedesktop/Notifications"
        bool systemBus = false;  // the template's own bus; both name the private bus in tests
    };
    static Template notificationDaemon();
    static Template logind();

    // `parametersJson`: the template's parameters ("" for none), e.g.
    // {"capabilities": "body actions"} for the notification daemon.
    DbusMock(Template server, const QDBusConnection& connection, const std::string& logFile,
             const std::string& parametersJson = "",
             std::chrono::milliseconds limit = std::chrono::milliseconds(20000));
    ~DbusMock();
    DbusMock(const DbusMock&) = delete;
    DbusMock& operator=(const DbusMock&) = delete;

    bool isReady() const { return ready_; }
    // What went wrong, with the server's own output.
    std::string error() const;
    // Ends the server now (its bus name goes away) and waits until the bus says so.
    void stop();

    // The arguments of every call of `method` the server received, oldest first. Values are
    // plain Qt values: maps become QVariantMap, arrays and structures QVariantList, byte
    // arrays QByteArray.
    std::vector<QVariantList> methodCalls(const QString& method) const;
    void clearCalls() const;
    // Emits a signal from the template's main object; `signature` is the arguments' D-Bus
    // signature ("uu"). True when the server accepted it.
    bool emitSignal(const QString& interface, const QString& name, const QString& signature,
                    const QVariantList& args) const;
    // Adds or replaces a method; `code` is the Python body dbusmock runs ("ret = ...").
    bool addMethod(const QString& interface, const QString& name, const QString& inSignature,
                   const QString& outSignature, const QString& code) const;
    // A plain call to the template's main object (e.g. logind's ListInhibitors).
    QDBusMessage call(const QString& interface, const QString& method, const QVariantList& args = {}) const;

    const Template& server() const { return server_; }

    // Converts what QtDBus hands out for complex types (QDBusArgument, QDBusVariant) into
    // plain Qt values, recursively.
    static QVariant plain(const QVariant& value);

private:
    QDBusMessage control(const QString& method, const QVariantList& args) const;

    Template server_;
    QDBusConnection connection_;
    std::string logFile_;
    std::unique_ptr<ChildProcess> process_;
    bool ready_ = false;
    std::string error_;
};

}  // namespace tandril::test
