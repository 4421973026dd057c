#include "bluez/BluezFixture.hpp"

#include <QtCore/QCoreApplication>
#include <QtCore/QThread>
#include <QtDBus/QDBusArgument>
#include <QtDBus/QDBusObjectPath>
#include <QtDBus/QDBusVariant>

#include <algorithm>
#include <atomic>
#include <thread>

#include "foundation/RunLoop.hpp"
#include "sim/SimRadio.hpp"

namespace tandril::test {

namespace {

std::atomic<int> connectionCounter{0};

// QtDBus needs an application object; one serves every test of the binary.
void ensureApplication() {
    if (QCoreApplication::instance()) return;
    static int argc = 1;
    static char name[] = "tandril_bluez_tests";
    static char* argv[] = {name, nullptr};
    new QCoreApplication(argc, argv);
}

void wakeLoop() {
    if (RunLoop::hasMain()) RunLoop::main().post([] {});
}

std::string hex(const QByteArray& bytes) { return bytes.toHex().toStdString(); }

// The calls in flight on their own threads, joined before the fixture ends.
std::mutex callThreadsMutex;
std::vector<std::thread> callThreads;

}  // namespace

std::string describeValue(const QVariant& value) {
    const QMetaType type = value.metaType();
    if (type == QMetaType::fromType<QDBusVariant>()) return describeValue(value.value<QDBusVariant>().variant());
    if (type == QMetaType::fromType<QByteArray>()) return hex(value.toByteArray());
    if (type == QMetaType::fromType<QStringList>()) return value.toStringList().join('|').toStdString();
    if (type == QMetaType::fromType<QDBusObjectPath>()) return value.value<QDBusObjectPath>().path().toStdString();
    if (type == QMetaType::fromType<bool>()) return value.toBool() ? "true" : "false";
    if (type == QMetaType::fromType<QDBusArgument>()) return "<" + value.value<QDBusArgument>().currentSignature().toStdString() + ">";
    return value.toString().toStdString();
}

// ---- Signal recorder ---------------------------------------------------------------------------

BluezSignalRecorder::BluezSignalRecorder(const std::string& address) {
    thread_ = new QThread();
    thread_->start();
    moveToThread(thread_);
    name_ = QString("tandril-test-recorder-%1").arg(connectionCounter.fetch_add(1));
    QDBusConnection connection = QDBusConnection::connectToBus(QString::fromStdString(address), name_);
    connected_ = connection.isConnected();
    if (!connected_) return;
    connection.connect("org.bluez", "", "org.freedesktop.DBus.Properties", "PropertiesChanged", this,
                       SLOT(onSignal(QDBusMessage)));
    connection.connect("org.bluez", "/", "org.freedesktop.DBus.ObjectManager", "InterfacesAdded", this,
                       SLOT(onSignal(QDBusMessage)));
    connection.connect("org.bluez", "/", "org.freedesktop.DBus.ObjectManager", "InterfacesRemoved", this,
                       SLOT(onSignal(QDBusMessage)));
}

BluezSignalRecorder::~BluezSignalRecorder() {
    if (connected_) {
        // Unhooked while the connection is open, so that its closing does not race this
        // object's destruction.
        QDBusConnection connection(name_);
        connection.disconnect("org.bluez", "", "org.freedesktop.DBus.Properties", "PropertiesChanged", this,
                              SLOT(onSignal(QDBusMessage)));
        connection.disconnect("org.bluez", "/", "org.freedesktop.DBus.ObjectManager", "InterfacesAdded", this,
                              SLOT(onSignal(QDBusMessage)));
        connection.disconnect("org.bluez", "/", "org.freedesktop.DBus.ObjectManager", "InterfacesRemoved", this,
                              SLOT(onSignal(QDBusMessage)));
    }
    QDBusConnection::disconnectFromBus(name_);
    thread_->quit();
    thread_->wait();
    delete thread_;
}

void BluezSignalRecorder::onSignal(const QDBusMessage& message) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        messages_.push_back(message);
    }
    wakeLoop();
}

std::vector<QDBusMessage> BluezSignalRecorder::signalMessages() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return messages_;
}

void BluezSignalRecorder::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    messages_.clear();
}

std::vector<std::string> BluezSignalRecorder::lines() const {
    std::vector<std::string> out;
    for (const QDBusMessage& message : signalMessages()) {
        const QList<QVariant> args = message.arguments();
        std::string line = message.member().toStdString();
        if (message.member() == "PropertiesChanged" && args.size() == 3) {
            line += " " + message.path().toStdString() + " " + args[0].toString().toStdString();
            const QVariantMap changed = qdbus_cast<QVariantMap>(args[1]);
            std::string items;
            for (auto it = changed.begin(); it != changed.end(); ++it)
                items += (items.empty() ? "" : ",") + it.key().toStdString() + "=" + describeValue(it.value());
            line += " " + items;
            for (const QString& name : args[2].toStringList()) line += " -" + name.toStdString();
        } else if (message.member() == "InterfacesAdded" && args.size() == 2) {
            line += " " + args[0].value<QDBusObjectPath>().path().toStdString();
            const QDBusArgument arg = args[1].value<QDBusArgument>();
            const auto interfaces = qdbus_cast<QMap<QString, QVariantMap>>(arg);
            line += " " + QStringList(interfaces.keys()).join(',').toStdString();
        } else if (message.member() == "InterfacesRemoved" && args.size() == 2) {
            line += " " + args[0].value<QDBusObjectPath>().path().toStdString() + " " +
                    args[1].toStringList().join(',').toStdString();
        }
        out.push_back(line);
    }
    return out;
}

std::vector<std::string> BluezSignalRecorder::linesStartingWith(const std::string& prefix) const {
    std::vector<std::string> out;
    for (const auto& line : lines())
        if (line.rfind(prefix, 0) == 0) out.push_back(line);
    return out;
}

// ---- Test agent --------------------------------------------------------------------------------

BluezTestAgent::BluezTestAgent(const QString& connectionName, QString path)
    : connectionName_(connectionName), path_(std::move(path)) {
    thread_ = new QThread();
    thread_->start();
    QDBusConnection(connectionName_).registerVirtualObject(path_, this);
    moveToThread(thread_);
}

BluezTestAgent::~BluezTestAgent() {
    QDBusConnection(connectionName_).unregisterObject(path_);
    thread_->quit();
    thread_->wait();
    delete thread_;
}

std::vector<std::uint32_t> BluezTestAgent::passkeys() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return passkeys_;
}

QString BluezTestAgent::introspect(const QString&) const {
    return "<interface name=\"org.bluez.Agent1\"><method name=\"RequestConfirmation\"><arg type=\"o\" "
           "direction=\"in\"/><arg type=\"u\" direction=\"in\"/></method></interface>";
}

bool BluezTestAgent::handleMessage(const QDBusMessage& message, const QDBusConnection& connection) {
    if (message.member() != "RequestConfirmation") {
        connection.send(message.createErrorReply("org.bluez.Error.Rejected", "Not supported here"));
        return true;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        passkeys_.push_back(message.arguments().value(1).toUInt());
    }
    connection.send(accepts_ ? message.createReply()
                             : message.createErrorReply("org.bluez.Error.Rejected", "Passkey rejected"));
    wakeLoop();
    return true;
}

// ---- Fixture -----------------------------------------------------------------------------------

BluezFixture::BluezFixture() {
    ensureApplication();
    radio = SimRadio::create();
    standIn = BluezStandIn::create(radio, standInOptions());
    EXPECT_TRUE(bus.isRunning()) << bus.error();
    recorder = std::make_unique<BluezSignalRecorder>(bus.address());
    clientConnection_ = QString("tandril-test-client-%1").arg(connectionCounter.fetch_add(1));
    QDBusConnection::connectToBus(QString::fromStdString(bus.address()), clientConnection_);
    EXPECT_TRUE(standIn->start()) << standIn->error();
}

BluezTestAgent& BluezFixture::registerAgent() {
    agent_ = std::make_unique<BluezTestAgent>(clientConnection_, "/test/agent");
    const QVariant path = QVariant::fromValue(QDBusObjectPath(agent_->path()));
    const QDBusMessage registered = call("/org/bluez", "org.bluez.AgentManager1", "RegisterAgent", {path, QString("DisplayYesNo")});
    EXPECT_EQ(errorName(registered), "") << errorText(registered);
    EXPECT_EQ(errorName(call("/org/bluez", "org.bluez.AgentManager1", "RequestDefaultAgent", {path})), "");
    return *agent_;
}

BluezFixture::~BluezFixture() {
    std::vector<std::thread> threads;
    {
        std::lock_guard<std::mutex> lock(callThreadsMutex);
        threads.swap(callThreads);
    }
    // Calls still waiting end with the stand-in.
    standIn->stop();
    for (auto& thread : threads) thread.join();
    loop().runUntilIdle();
    recorder.reset();
    agent_.reset();
    QDBusConnection::disconnectFromBus(clientConnection_);
    standIn.reset();
    loop().runUntilIdle();
}

BluezStandIn::Options BluezFixture::standInOptions() const {
    BluezStandIn::Options options;
    options.busAddress = bus.address();
    return options;
}

void BluezFixture::restartStandIn(BluezStandIn::Options options) {
    standIn->stop();
    standIn = BluezStandIn::create(radio, std::move(options));
    EXPECT_TRUE(standIn->start()) << standIn->error();
}

bool BluezFixture::pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        loop().runUntilIdle();
        if (done()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        // Answers that arrive without a post (another thread's state) are seen within a few ms.
        loop().waitForPosted(std::chrono::milliseconds(5));
    }
}

void BluezFixture::settle(std::chrono::milliseconds quiet) {
    loop().runUntilIdle();
    if (onSettle) onSettle();
    while (loop().waitForPosted(quiet)) {
    }
    loop().runUntilIdle();
}

void BluezFixture::advance(double secondsToAdvance, double step) {
    // Whole nanoseconds, so that steps add up to exactly the time asked for.
    Duration left = seconds(secondsToAdvance);
    const Duration stride = std::max(seconds(step), Duration(1));
    settle();
    while (left > Duration::zero()) {
        const Duration now = std::min(left, stride);
        loop().advance(now);
        left -= now;
        settle();
    }
}

bool BluezFixture::advanceUntil(const std::function<bool()>& done, double maxSeconds, double step) {
    settle();
    for (double passed = 0; !done(); passed += step) {
        if (passed >= maxSeconds) return false;
        loop().advanceSeconds(step);
        settle();
    }
    return true;
}

std::shared_ptr<BluezFixture::PendingAnswer> BluezFixture::callAsync(const std::string& path,
                                                                     const std::string& interface,
                                                                     const std::string& member,
                                                                     const QList<QVariant>& arguments) {
    QDBusMessage message = QDBusMessage::createMethodCall("org.bluez", QString::fromStdString(path),
                                                          QString::fromStdString(interface),
                                                          QString::fromStdString(member));
    message.setArguments(arguments);
    auto answer = std::make_shared<PendingAnswer>();
    const QString connectionName = clientConnection_;
    std::lock_guard<std::mutex> lock(callThreadsMutex);
    callThreads.emplace_back([message, answer, connectionName] {
        QDBusMessage result = QDBusConnection(connectionName).call(message, QDBus::Block, 60000);
        {
            std::lock_guard<std::mutex> guard(answer->mutex);
            answer->message = result;
            answer->done = true;
        }
        wakeLoop();
    });
    return answer;
}

bool BluezFixture::waitFor(const std::shared_ptr<PendingAnswer>& answer, std::chrono::milliseconds limit) {
    return pumpUntil(
        [&] {
            std::lock_guard<std::mutex> lock(answer->mutex);
            return answer->done;
        },
        limit);
}

QDBusMessage BluezFixture::call(const std::string& path, const std::string& interface, const std::string& member,
                                const QList<QVariant>& arguments, std::chrono::milliseconds limit) {
    auto answer = callAsync(path, interface, member, arguments);
    if (!waitFor(answer, limit)) return {};
    std::lock_guard<std::mutex> lock(answer->mutex);
    return answer->message;
}

QVariant BluezFixture::property(const std::string& path, const std::string& interface, const std::string& name) {
    const QDBusMessage answer = call(path, "org.freedesktop.DBus.Properties", "Get",
                                     {QString::fromStdString(interface), QString::fromStdString(name)});
    if (answer.type() != QDBusMessage::ReplyMessage || answer.arguments().isEmpty()) return {};
    return answer.arguments().first().value<QDBusVariant>().variant();
}

std::string BluezFixture::errorName(const QDBusMessage& message) {
    if (message.type() == QDBusMessage::ErrorMessage) return message.errorName().toStdString();
    if (message.type() == QDBusMessage::ReplyMessage) return "";
    return "<no answer>";
}

std::string BluezFixture::errorText(const QDBusMessage& message) {
    return errorName(message) + ": " + message.errorMessage().toStdString();
}

bool BluezFixture::waitForSignal(const std::string& prefix, std::chrono::milliseconds limit) {
    return pumpUntil([&] { return !recorder->linesStartingWith(prefix).empty(); }, limit);
}

std::string BluezFixture::clientName() const {
    return QDBusConnection(clientConnection_).baseService().toStdString();
}

}  // namespace tandril::test
