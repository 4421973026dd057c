#include "desktop/DbusMock.hpp"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnectionInterface>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QElapsedTimer>
#include <QTimer>

#include <fstream>
#include <sstream>

namespace tandril::test {

namespace {

const QString kMockInterface = QStringLiteral("org.freedesktop.DBus.Mock");

bool nameHasOwner(const QDBusConnection& connection, const std::string& name) {
    const auto reply = connection.interface()->isServiceRegistered(QString::fromStdString(name));
    return reply.isValid() && reply.value();
}

// Runs Qt's events until `done()` or the limit; woken by events, bounded by a timer.
template <class Done>
bool spin(Done done, std::chrono::milliseconds limit) {
    QElapsedTimer clock;
    clock.start();
    QTimer deadline;
    deadline.setSingleShot(true);
    deadline.start(static_cast<int>(limit.count()));
    for (;;) {
        if (done()) return true;
        if (clock.elapsed() >= limit.count()) return false;
        QCoreApplication::sendPostedEvents();
        QAbstractEventDispatcher::instance()->processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }
}

QVariant demarshall(const QDBusArgument& arg);

QVariantList demarshallSequence(const QDBusArgument& arg) {
    QVariantList list;
    while (!arg.atEnd()) list << demarshall(arg);
    return list;
}

QVariant demarshall(const QDBusArgument& arg) {
    switch (arg.currentType()) {
    case QDBusArgument::ArrayType: {
        if (arg.currentSignature() == QLatin1String("ay")) {
            QByteArray bytes;
            arg >> bytes;
            return bytes;
        }
        arg.beginArray();
        QVariantList list = demarshallSequence(arg);
        arg.endArray();
        return list;
    }
    case QDBusArgument::StructureType: {
        arg.beginStructure();
        QVariantList fields = demarshallSequence(arg);
        arg.endStructure();
        return fields;
    }
    case QDBusArgument::MapType: {
        QVariantMap map;
        arg.beginMap();
        while (!arg.atEnd()) {
            arg.beginMapEntry();
            const QString key = demarshall(arg).toString();
            map.insert(key, demarshall(arg));
            arg.endMapEntry();
        }
        arg.endMap();
        return map;
    }
    case QDBusArgument::VariantType: {
        QDBusVariant variant;
        arg >> variant;
        return DbusMock::plain(variant.variant());
    }
    default:
        return DbusMock::plain(arg.asVariant());
    }
}

}  // namespace

DbusMock::Template DbusMock::notificationDaemon() {
    return {"notification_daemon", "org.freedesktop.Notifications", "/org/freedesktop/Notifications", false};
}

DbusMock::Template DbusMock::logind() {
    return {"logind", "org.freedesktop.login1", "/org/freedesktop/login1", true};
}

DbusMock::DbusMock(Template server, const QDBusConnection& connection, const std::string& logFile,
                   const std::string& parametersJson, std::chrono::milliseconds limit)
    : server_(std::move(server)), connection_(connection), logFile_(logFile) {
    if (!connection_.isConnected()) {
        error_ = "no bus connection";
        return;
    }
    // The watcher is in place before the server starts, so its arrival cannot be missed.
    QDBusServiceWatcher watcher(QString::fromStdString(server_.busName), connection_,
                                QDBusServiceWatcher::WatchForRegistration);
    bool registered = false;
    QObject::connect(&watcher, &QDBusServiceWatcher::serviceRegistered, [&registered] { registered = true; });

    std::vector<std::string> argv{"/usr/bin/python3", "-m", "dbusmock", "--template", server_.name};
    argv.push_back(server_.systemBus ? "--system" : "--session");
    if (!parametersJson.empty()) {
        argv.push_back("--parameters");
        argv.push_back(parametersJson);
    }
    process_ = std::make_unique<ChildProcess>(argv, logFile_);
    ready_ = spin([&] { return registered || nameHasOwner(connection_, server_.busName) || !process_->isRunning(); },
                  limit) &&
             nameHasOwner(connection_, server_.busName);
    if (!ready_) error_ = "dbusmock " + server_.name + " did not take " + server_.busName;
}

DbusMock::~DbusMock() { stop(); }

std::string DbusMock::error() const {
    std::ifstream in(logFile_);
    std::stringstream output;
    output << in.rdbuf();
    return error_ + "; its output: " + output.str();
}

void DbusMock::stop() {
    if (!process_) return;
    QDBusServiceWatcher watcher(QString::fromStdString(server_.busName), connection_,
                                QDBusServiceWatcher::WatchForUnregistration);
    bool gone = false;
    QObject::connect(&watcher, &QDBusServiceWatcher::serviceUnregistered, [&gone] { gone = true; });
    process_->stop();
    process_.reset();
    ready_ = false;
    spin([&] { return gone || !nameHasOwner(connection_, server_.busName); }, std::chrono::milliseconds(10000));
}

QDBusMessage DbusMock::control(const QString& method, const QVariantList& args) const {
    return call(kMockInterface, method, args);
}

QDBusMessage DbusMock::call(const QString& interface, const QString& method, const QVariantList& args) const {
    QDBusMessage message = QDBusMessage::createMethodCall(QString::fromStdString(server_.busName),
                                                          QString::fromStdString(server_.objectPath), interface, method);
    message.setArguments(args);
    return connection_.call(message, QDBus::Block, 10000);
}

std::vector<QVariantList> DbusMock::methodCalls(const QString& method) const {
    std::vector<QVariantList> calls;
    const QDBusMessage reply = control(QStringLiteral("GetMethodCalls"), {method});
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) return calls;
    // a(tav): (timestamp, arguments) per call.
    const QVariantList all = plain(reply.arguments().first()).toList();
    for (const QVariant& entry : all) {
        const QVariantList fields = entry.toList();
        if (fields.size() == 2) calls.push_back(fields.at(1).toList());
    }
    return calls;
}

void DbusMock::clearCalls() const { control(QStringLiteral("ClearCalls"), {}); }

bool DbusMock::emitSignal(const QString& interface, const QString& name, const QString& signature,
                          const QVariantList& args) const {
    QDBusArgument wrapped;
    wrapped.beginArray(qMetaTypeId<QDBusVariant>());
    for (const QVariant& value : args) wrapped << QDBusVariant(value);
    wrapped.endArray();
    const QDBusMessage reply = control(QStringLiteral("EmitSignal"),
                                       {interface, name, signature, QVariant::fromValue(wrapped)});
    return reply.type() == QDBusMessage::ReplyMessage;
}

bool DbusMock::addMethod(const QString& interface, const QString& name, const QString& inSignature,
                         const QString& outSignature, const QString& code) const {
    const QDBusMessage reply = control(QStringLiteral("AddMethod"), {interface, name, inSignature, outSignature, code});
    return reply.type() == QDBusMessage::ReplyMessage;
}

QVariant DbusMock::plain(const QVariant& value) {
    if (value.userType() == qMetaTypeId<QDBusArgument>()) return demarshall(value.value<QDBusArgument>());
    if (value.userType() == qMetaTypeId<QDBusVariant>()) return plain(value.value<QDBusVariant>().variant());
    return value;
}

}  // namespace tandril::test
