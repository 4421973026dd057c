#include "tandril-bluez-phone/BluezPhoneProgram.hpp"

#include <unistd.h>

#include <QtCore/QCoreApplication>
#include <QtCore/QSocketNotifier>
#include <QtCore/QTimer>
#include <QtDBus/QDBusArgument>
#include <QtDBus/QDBusObjectPath>
#include <QtDBus/QDBusPendingCallWatcher>
#include <QtDBus/QDBusServiceWatcher>
#include <QtDBus/QDBusVariant>

#include <cstdio>
#include <ctime>
#include <iostream>

#include "platform/linux/bluezphone/BluezPhoneAdvertisement.hpp"
#include "platform/linux/bluezphone/BluezPhoneAgent.hpp"
#include "platform/linux/bluezphone/BluezPhoneDesktopLink.hpp"
#include "platform/linux/bluezphone/BluezPhoneServer.hpp"
#include "sim/SimPhone.hpp"

namespace tandril {

namespace {

const char* kUsage =
    "usage: tandril-bluez-phone [--adapter hciN] [--name NAME] [--capability NoInputNoOutput|DisplayYesNo]\n"
    "                           [--fragment-overhead N] [--reannounce-delay MS (0: never)] [--readvertise MS]\n"
    "                           [--bus ADDRESS] [--stock [--desktop NAME]]\n"
    "Serves a simulated iPhone through BlueZ; reads its script from standard input.\n"
    "--stock plays an iPhone without the companion app: it connects to the desktop named NAME\n"
    "(default Tandril) on the command \"tap\" and pairs (capability DisplayYesNo unless given).\n";

double monotonicSeconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

QVariantMap mapOf(const QVariant& argument) {
    if (argument.canConvert<QDBusArgument>()) return qdbus_cast<QVariantMap>(argument.value<QDBusArgument>());
    return argument.toMap();
}

}  // namespace

BluezPhoneProgram::BluezPhoneProgram() : connection_(QStringLiteral("unset")) {}

BluezPhoneProgram::~BluezPhoneProgram() = default;

void BluezPhoneProgram::say(const std::string& line) const {
    std::printf("phone %.3f %s\n", monotonicSeconds(), line.c_str());
    std::fflush(stdout);
}

int BluezPhoneProgram::start(const QStringList& arguments) {
    QString adapter = QStringLiteral("hci0");
    QString busAddress;
    BluezPhoneServer::Options options;
    for (int i = 1; i < arguments.size(); ++i) {
        const QString& argument = arguments[i];
        const bool hasValue = i + 1 < arguments.size();
        if (argument == QStringLiteral("--adapter") && hasValue) adapter = arguments[++i];
        else if (argument == QStringLiteral("--name") && hasValue) name_ = arguments[++i];
        else if (argument == QStringLiteral("--capability") && hasValue) capability_ = arguments[++i];
        else if (argument == QStringLiteral("--fragment-overhead") && hasValue)
            options.fragmentOverhead = arguments[++i].toUInt();
        else if (argument == QStringLiteral("--reannounce-delay") && hasValue) reannounceDelayMs_ = arguments[++i].toInt();
        else if (argument == QStringLiteral("--bus") && hasValue) busAddress = arguments[++i];
        else if (argument == QStringLiteral("--readvertise") && hasValue) readvertiseMs_ = arguments[++i].toInt();
        else if (argument == QStringLiteral("--stock")) stock_ = true;
        else if (argument == QStringLiteral("--desktop") && hasValue) desktopName_ = arguments[++i];
        else {
            std::cerr << kUsage;
            return 2;
        }
    }
    // A stock iPhone pairs by numeric comparison: the desktop shows the code.
    if (capability_.isEmpty()) capability_ = stock_ ? QStringLiteral("DisplayYesNo") : QStringLiteral("NoInputNoOutput");
    adapterPath_ = adapter.startsWith(QLatin1Char('/')) ? adapter : QStringLiteral("/org/bluez/") + adapter;
    connection_ = busAddress.isEmpty() ? QDBusConnection::systemBus()
                                       : QDBusConnection::connectToBus(busAddress, QStringLiteral("tandril-bluez-phone"));
    if (!connection_.isConnected()) {
        std::cerr << "tandril-bluez-phone: no D-Bus system bus: " << connection_.lastError().message().toStdString() << "\n";
        return 1;
    }

    phone_ = stock_ ? SimPhone::createStockIPhone(name_.toStdString())
                    : SimPhone::create(name_.toStdString(), name_.toStdString());
    server_ = new BluezPhoneServer(connection_, phone_, options, this);
    server_->setReporter([this](const std::string& line) { say(line); });
    BluezPhoneAdvertisement::Content content;
    content.localName = name_;
    content.manufacturerData = SimPhone::appleManufacturerData();
    content.serviceUUIDs = {QString::fromStdString(SimPhone::mainServiceUUID().lowercaseString())};
    content.solicitUUIDs = {QString::fromStdString(SimPhone::notificationServiceUUID().lowercaseString())};
    advertisement_ = new BluezPhoneAdvertisement(connection_, QStringLiteral("/org/tandril/phone/advertisement0"),
                                                 content, this);
    agent_ = new BluezPhoneAgent(connection_, QStringLiteral("/org/tandril/phone/agent"), capability_, this);
    if (stock_) {
        desktopLink_ = new BluezPhoneDesktopLink(connection_, adapterPath_, desktopName_, this);
        desktopLink_->setReporter([this](const std::string& line) { say(line); });
    }
    agent_->setReporter([this](const std::string& line) { say(line); });
    if (!server_->exportTree() || !advertisement_->exportObject() || !agent_->exportObject()) {
        std::cerr << "tandril-bluez-phone: cannot export the phone's objects\n";
        return 1;
    }
    connection_.connect(QStringLiteral("org.bluez"), QString(), QStringLiteral("org.freedesktop.DBus.Properties"),
                        QStringLiteral("PropertiesChanged"), this, SLOT(propertiesChanged(QDBusMessage)));
    connection_.connect(QStringLiteral("org.bluez"), QString(), QStringLiteral("org.freedesktop.DBus.ObjectManager"),
                        QStringLiteral("InterfacesAdded"), this, SLOT(interfacesAdded(QDBusMessage)));

    // A restarted bluetoothd knows nothing of the phone: register everything again.
    auto* watcher = new QDBusServiceWatcher(QStringLiteral("org.bluez"), connection_,
                                            QDBusServiceWatcher::WatchForRegistration, this);
    connect(watcher, &QDBusServiceWatcher::serviceRegistered, this, [this] {
        say("bluetoothd is back");
        linked_.clear();
        advertising_ = false;
        registerEverything();
    });

    input_ = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, this);
    connect(input_, &QSocketNotifier::activated, this, &BluezPhoneProgram::readInput);
    registerEverything();
    if (readvertiseMs_ > 0) {
        auto* timer = new QTimer(this);
        connect(timer, &QTimer::timeout, this, &BluezPhoneProgram::readvertise);
        timer->start(readvertiseMs_);
    }
    return -1;
}

void BluezPhoneProgram::readvertise() {
    if (!advertising_ || !linked_.isEmpty()) return;
    advertisement_->unregisterFrom(adapterPath_, [this](const QString&) {
        if (!advertising_ || !linked_.isEmpty()) return;
        advertisement_->registerWith(adapterPath_, [](const QString&) {});
    });
}

void BluezPhoneProgram::setAdapterProperty(const QString& name, const QVariant& value) {
    auto message = QDBusMessage::createMethodCall(QStringLiteral("org.bluez"), adapterPath_,
                                                  QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Set"));
    message << QStringLiteral("org.bluez.Adapter1") << name << QVariant::fromValue(QDBusVariant(value));
    connection_.asyncCall(message);
}

void BluezPhoneProgram::registerEverything() {
    // The adapter's name is the GAP device name a central reads once linked: the phone's.
    setAdapterProperty(QStringLiteral("Alias"), name_);
    setAdapterProperty(QStringLiteral("Powered"), true);
    agent_->registerWith([this](const QString& error) {
        say(error.isEmpty() ? "agent registered (" + capability_.toStdString() + ")"
                            : "agent not registered: " + error.toStdString());
    });
    server_->registerWith(adapterPath_, [this](const QString& error) {
        if (!error.isEmpty()) {
            say("GATT application not registered: " + error.toStdString());
            QCoreApplication::exit(1);
            return;
        }
        say("GATT application registered on " + adapterPath_.toStdString());
        // A stock iPhone advertises nothing a desktop looks for: it goes to the desktop.
        if (stock_) desktopLink_->start();
        else advertise(true);
    });
}

void BluezPhoneProgram::advertise(bool on) {
    if (stock_) {
        say("stock iPhone: no advertisement of its own");
        return;
    }
    if (on == advertising_) return;
    advertising_ = on;
    if (on) {
        advertisement_->registerWith(adapterPath_, [this](const QString& error) {
            // AlreadyExists: the re-advertising timer registered it first.
            if (error.isEmpty() || error == QStringLiteral("org.bluez.Error.AlreadyExists")) {
                say("advertising as " + name_.toStdString());
            } else {
                // A restarted bluetoothd refuses until its adapter is powered: try again.
                advertising_ = false;
                say("advertisement refused: " + error.toStdString());
                QTimer::singleShot(1000, this, [this] { advertise(true); });
            }
        });
    } else {
        advertisement_->unregisterFrom(adapterPath_, [this](const QString& error) {
            say(error.isEmpty() ? std::string("advertising stopped") : "advertisement not withdrawn: " + error.toStdString());
        });
    }
}

void BluezPhoneProgram::propertiesChanged(const QDBusMessage& message) {
    const auto arguments = message.arguments();
    if (arguments.size() < 2 || arguments[0].toString() != QStringLiteral("org.bluez.Device1")) return;
    if (!message.path().startsWith(adapterPath_ + QLatin1Char('/'))) return;
    const auto changed = mapOf(arguments[1]);
    if (changed.contains(QStringLiteral("Connected")))
        linked(message.path(), changed.value(QStringLiteral("Connected")).toBool());
}

void BluezPhoneProgram::interfacesAdded(const QDBusMessage& message) {
    const auto arguments = message.arguments();
    if (arguments.size() < 2) return;
    const QString path = arguments[0].value<QDBusObjectPath>().path();
    if (!path.startsWith(adapterPath_ + QLatin1Char('/'))) return;
    const auto interfaces = qdbus_cast<QMap<QString, QVariantMap>>(arguments[1].value<QDBusArgument>());
    const auto device = interfaces.value(QStringLiteral("org.bluez.Device1"));
    if (device.value(QStringLiteral("Connected")).toBool()) linked(path, true);
}

void BluezPhoneProgram::linked(const QString& device, bool connected) {
    if (connected == linked_.contains(device)) return;
    if (!connected) {
        linked_.remove(device);
        say("link down " + device.toStdString());
        return;
    }
    linked_.insert(device);
    say("link up " + device.toStdString());
    // A bonded central that comes back keeps its subscription in bluetoothd, which does not
    // tell the server again: unless a subscription arrives meanwhile, announce the phone's
    // notifications once the central has had time to secure the link and subscribe.
    if (!server_->isNotificationSourceSubscribed() || reannounceDelayMs_ <= 0) return;
    const std::size_t before = server_->announcements();
    QTimer::singleShot(reannounceDelayMs_, this, [this, device, before] {
        if (!linked_.contains(device) || server_->announcements() != before) return;
        server_->reannounce();
    });
}

void BluezPhoneProgram::readInput() {
    char buffer[4096];
    const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (n <= 0) {
        // End of the script: the phone stays until it is stopped.
        input_->setEnabled(false);
        return;
    }
    pending_.append(buffer, static_cast<std::size_t>(n));
    std::size_t end;
    while ((end = pending_.find('\n')) != std::string::npos) {
        const std::string line = pending_.substr(0, end);
        pending_.erase(0, end + 1);
        command(QString::fromStdString(line).trimmed());
    }
}

void BluezPhoneProgram::command(const QString& line) {
    if (line.isEmpty() || line.startsWith(QLatin1Char('#'))) return;
    const QString verb = line.section(QLatin1Char(' '), 0, 0);
    const QString rest = line.section(QLatin1Char(' '), 1);
    auto& provider = phone_->provider();
    if (verb == QStringLiteral("app")) {
        provider.addApplication(rest.section(QLatin1Char(' '), 0, 0).toStdString(),
                                rest.section(QLatin1Char(' '), 1).toStdString());
        say("app " + rest.toStdString());
    } else if (verb == QStringLiteral("add")) {
        const QStringList fields = rest.split(QLatin1Char('|'));
        if (fields.size() != 4) {
            say("bad command (add ID|TITLE|SUBTITLE|MESSAGE): " + line.toStdString());
            return;
        }
        const auto uid = provider.addNotification(fields[0].toStdString(), fields[1].toStdString(),
                                                  fields[2].toStdString(), fields[3].toStdString());
        say("added " + std::to_string(uid) + " " + fields[1].toStdString());
    } else if (verb == QStringLiteral("remove")) {
        bool ok = false;
        const auto uid = rest.toUInt(&ok);
        say(ok && provider.removeNotification(uid) ? "removed " + rest.toStdString()
                                                   : "no notification " + rest.toStdString());
    } else if (verb == QStringLiteral("drop")) {
        for (const auto& device : linked_) {
            auto message = QDBusMessage::createMethodCall(QStringLiteral("org.bluez"), device,
                                                          QStringLiteral("org.bluez.Device1"), QStringLiteral("Disconnect"));
            connection_.asyncCall(message);
            say("dropping " + device.toStdString());
        }
    } else if (verb == QStringLiteral("announce")) {
        // What a phone does when its subscriber comes back, at a moment the script chooses.
        if (server_->isNotificationSourceSubscribed()) server_->reannounce();
        else say("not announced: nobody subscribed");
    } else if (verb == QStringLiteral("tap")) {
        if (!desktopLink_) say("tap: only a stock iPhone (--stock) picks a desktop");
        else desktopLink_->tap();
    } else if (verb == QStringLiteral("advertise")) {
        advertise(rest == QStringLiteral("on"));
    } else if (verb == QStringLiteral("quit")) {
        say("quit");
        QCoreApplication::quit();
    } else {
        say("unknown command: " + line.toStdString());
    }
}

}  // namespace tandril
