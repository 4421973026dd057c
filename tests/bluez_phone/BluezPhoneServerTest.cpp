// The BlueZ phone's D-Bus objects as bluetoothd reads and drives them, on a private bus:
// the GATT application tree, the Control Point's answers on the Data Source, the
// announcements on the Notification Source, the advertisement and the pairing agent.

#include <gtest/gtest.h>

#include <QtCore/QCoreApplication>
#include <QtDBus/QDBusArgument>
#include <QtDBus/QDBusConnection>
#include <QtDBus/QDBusMessage>
#include <QtDBus/QDBusMetaType>
#include <QtDBus/QDBusObjectPath>
#include <QtDBus/QDBusVariant>

#include <map>
#include <memory>
#include <vector>

#include "platform/linux/bluezphone/BluezPhoneAdvertisement.hpp"
#include "platform/linux/bluezphone/BluezPhoneAgent.hpp"
#include "platform/linux/bluezphone/BluezPhoneServer.hpp"
#include "sim/SimNotificationProvider.hpp"
#include "sim/SimPhone.hpp"
#include "support/PrivateBus.hpp"

namespace tandril::test {
namespace {

using ObjectMap = QMap<QDBusObjectPath, QMap<QString, QVariantMap>>;

// The Value changes the phone sends, per object path, as bluetoothd hears them.
class SignalRecorder : public QObject {
    Q_OBJECT
public:
    SignalRecorder(QDBusConnection connection, const QString& sender) : connection_(std::move(connection)) {
        connection_.connect(sender, QString(), QStringLiteral("org.freedesktop.DBus.Properties"),
                            QStringLiteral("PropertiesChanged"), this, SLOT(changed(QDBusMessage)));
    }
    std::vector<QByteArray> values(const QString& path) {
        // Signals are delivered by the event loop.
        for (int i = 0; i < 20; ++i) QCoreApplication::processEvents();
        return values_[path];
    }

public slots:
    void changed(const QDBusMessage& message) {
        const auto arguments = message.arguments();
        const auto changed = qdbus_cast<QVariantMap>(arguments.value(1).value<QDBusArgument>());
        if (changed.contains(QStringLiteral("Value")))
            values_[message.path()].push_back(changed.value(QStringLiteral("Value")).toByteArray());
    }

private:
    QDBusConnection connection_;
    std::map<QString, std::vector<QByteArray>> values_;
};

QByteArray qt(const Bytes& bytes) { return QByteArray(reinterpret_cast<const char*>(bytes.data()), static_cast<qsizetype>(bytes.size())); }

class BluezPhoneServerTest : public ::testing::Test {
protected:
    BluezPhoneServerTest() {
        if (!QCoreApplication::instance()) {
            static int argc = 1;
            static char name[] = "tandril_bluez_phone_tests";
            static char* argv[] = {name, nullptr};
            new QCoreApplication(argc, argv);
        }
    }
    void SetUp() override {
        ASSERT_TRUE(bus.isRunning()) << bus.error();
        serverSide = std::make_unique<QDBusConnection>(
            QDBusConnection::connectToBus(QString::fromStdString(bus.address()), QStringLiteral("phone")));
        client = std::make_unique<QDBusConnection>(
            QDBusConnection::connectToBus(QString::fromStdString(bus.address()), QStringLiteral("bluetoothd")));
        ASSERT_TRUE(serverSide->isConnected() && client->isConnected());
        phone = SimPhone::create("iPhone", "Sam's iPhone");
        server = std::make_unique<BluezPhoneServer>(*serverSide, phone, BluezPhoneServer::Options{});
        ASSERT_TRUE(server->exportTree());
        recorder = std::make_unique<SignalRecorder>(*client, serverSide->baseService());
    }
    void TearDown() override {
        recorder.reset();
        server.reset();
        QDBusConnection::disconnectFromBus(QStringLiteral("phone"));
        QDBusConnection::disconnectFromBus(QStringLiteral("bluetoothd"));
    }

    // A call from "bluetoothd" to the phone, the event loop running meanwhile.
    QDBusMessage call(const QString& path, const QString& interface, const QString& member, const QVariantList& args = {}) {
        auto message = QDBusMessage::createMethodCall(serverSide->baseService(), path, interface, member);
        message.setArguments(args);
        auto reply = client->call(message, QDBus::BlockWithGui, 5000);
        QCoreApplication::processEvents();
        return reply;
    }
    ObjectMap tree() {
        auto reply = call(server->root(), QStringLiteral("org.freedesktop.DBus.ObjectManager"),
                          QStringLiteral("GetManagedObjects"));
        return qdbus_cast<ObjectMap>(reply.arguments().value(0).value<QDBusArgument>());
    }
    // The path of the characteristic with `uuid` in the exported tree.
    QString pathOf(const UUID& uuid) {
        const auto objects = tree();
        for (auto it = objects.begin(); it != objects.end(); ++it) {
            const auto properties = it.value().value(QStringLiteral("org.bluez.GattCharacteristic1"));
            if (properties.value(QStringLiteral("UUID")).toString() == QString::fromStdString(uuid.lowercaseString()))
                return it.key().path();
        }
        return {};
    }
    QDBusMessage characteristicCall(const UUID& uuid, const QString& member, const QVariantList& args = {}) {
        return call(pathOf(uuid), QStringLiteral("org.bluez.GattCharacteristic1"), member, args);
    }
    std::vector<QByteArray> valuesOf(const UUID& uuid) { return recorder->values(pathOf(uuid)); }

    PrivateBus bus;
    std::unique_ptr<QDBusConnection> serverSide;
    std::unique_ptr<QDBusConnection> client;
    std::shared_ptr<SimPhone> phone;
    std::unique_ptr<BluezPhoneServer> server;
    std::unique_ptr<SignalRecorder> recorder;
};

TEST_F(BluezPhoneServerTest, TheApplicationTreeCarriesBothServicesWithTheProfilesEncryptionFlags) {
    const auto objects = tree();
    int services = 0;
    QMap<QString, QStringList> flags;
    for (auto it = objects.begin(); it != objects.end(); ++it) {
        if (it.value().contains(QStringLiteral("org.bluez.GattService1"))) {
            ++services;
            EXPECT_TRUE(it.value()[QStringLiteral("org.bluez.GattService1")][QStringLiteral("Primary")].toBool());
        }
        const auto c = it.value().value(QStringLiteral("org.bluez.GattCharacteristic1"));
        if (c.isEmpty()) continue;
        flags[c[QStringLiteral("UUID")].toString()] = c[QStringLiteral("Flags")].toStringList();
        // bluetoothd takes a characteristic only when Service is an object path of the tree.
        const auto service = c[QStringLiteral("Service")].value<QDBusObjectPath>();
        EXPECT_TRUE(objects.contains(service)) << service.path().toStdString();
    }
    EXPECT_EQ(services, 2);
    auto key = [](const UUID& uuid) { return QString::fromStdString(uuid.lowercaseString()); };
    EXPECT_EQ(flags[key(SimPhone::deviceNameUUID())], QStringList{QStringLiteral("read")});
    EXPECT_EQ(flags[key(SimPhone::providerUUID())], QStringList{QStringLiteral("encrypt-read")});
    EXPECT_EQ(flags[key(SimPhone::consumerUUID())], QStringList{QStringLiteral("encrypt-write")});
    EXPECT_EQ(flags[key(SimPhone::connectionUUID())], QStringList{QStringLiteral("encrypt-notify")});
    EXPECT_EQ(flags[key(SimPhone::notificationSourceUUID())], QStringList{QStringLiteral("encrypt-notify")});
    EXPECT_EQ(flags[key(SimPhone::controlPointUUID())], QStringList{QStringLiteral("encrypt-write")});
    EXPECT_EQ(flags[key(SimPhone::dataSourceUUID())], QStringList{QStringLiteral("encrypt-notify")});
}

TEST_F(BluezPhoneServerTest, ReadsAnswerTheStoredValueFromTheRequestedOffset) {
    auto reply = characteristicCall(SimPhone::deviceNameUUID(), QStringLiteral("ReadValue"), {QVariantMap{}});
    EXPECT_EQ(reply.arguments().value(0).toByteArray(), QByteArray("Sam's iPhone"));
    reply = characteristicCall(SimPhone::deviceNameUUID(), QStringLiteral("ReadValue"),
                               {QVariantMap{{QStringLiteral("offset"), QVariant::fromValue(quint16(6))}}});
    EXPECT_EQ(reply.arguments().value(0).toByteArray(), QByteArray("iPhone"));
    reply = characteristicCall(SimPhone::deviceNameUUID(), QStringLiteral("ReadValue"),
                               {QVariantMap{{QStringLiteral("offset"), QVariant::fromValue(quint16(40))}}});
    EXPECT_EQ(reply.errorName(), QStringLiteral("org.bluez.Error.InvalidOffset"));
}

TEST_F(BluezPhoneServerTest, SubscribingToTheNotificationSourceAnnouncesWhatThePhoneHolds) {
    phone->provider().addApplication("com.example.chat", "Chat");
    phone->provider().addNotification("com.example.chat", "Anna", "", "See you at 8");
    phone->provider().addNotification("com.example.chat", "Ben", "", "On my way");
    // Nothing goes out before a subscription.
    EXPECT_TRUE(valuesOf(SimPhone::notificationSourceUUID()).empty());
    EXPECT_TRUE(characteristicCall(SimPhone::notificationSourceUUID(), QStringLiteral("StartNotify")).errorName().isEmpty());
    const auto events = phone->provider().preExistingEvents();
    ASSERT_EQ(valuesOf(SimPhone::notificationSourceUUID()), (std::vector<QByteArray>{qt(events[0]), qt(events[1])}));
    EXPECT_TRUE(server->isNotificationSourceSubscribed());

    // A bonded central coming back: the program announces again without a new subscription.
    server->reannounce();
    QCoreApplication::processEvents();
    EXPECT_EQ(valuesOf(SimPhone::notificationSourceUUID()).size(), 4u);
    EXPECT_EQ(server->announcements(), 2u);

    // A new notification while subscribed goes out as it is added; none after StopNotify.
    phone->provider().addNotification("com.example.chat", "Cleo", "", "Hi");
    characteristicCall(SimPhone::notificationSourceUUID(), QStringLiteral("StopNotify"));
    phone->provider().addNotification("com.example.chat", "Dan", "", "Hello");
    server->reannounce();
    QCoreApplication::processEvents();
    EXPECT_EQ(valuesOf(SimPhone::notificationSourceUUID()).size(), 5u);
}

TEST_F(BluezPhoneServerTest, ControlPointAnswersGoOutOnTheDataSourceInFragmentsOfMTUMinusFive) {
    phone->provider().addApplication("com.example.chat", "Chat");
    const auto uid = phone->provider().addNotification("com.example.chat", "A title long enough to need fragments",
                                                       "", "and a message that is longer still, so that it spans");
    characteristicCall(SimPhone::dataSourceUUID(), QStringLiteral("StartNotify"));
    // Get Notification Attributes: UID, title (up to 100 bytes), message (up to 200).
    const Bytes command{0x00,
                        static_cast<std::uint8_t>(uid),
                        static_cast<std::uint8_t>(uid >> 8),
                        static_cast<std::uint8_t>(uid >> 16),
                        static_cast<std::uint8_t>(uid >> 24),
                        0x01, 100, 0, 0x03, 200, 0};
    const auto reply = characteristicCall(
        SimPhone::controlPointUUID(), QStringLiteral("WriteValue"),
        {qt(command), QVariantMap{{QStringLiteral("mtu"), QVariant::fromValue(quint16(23))}}});
    ASSERT_TRUE(reply.errorName().isEmpty()) << reply.errorMessage().toStdString();

    const auto fragments = valuesOf(SimPhone::dataSourceUUID());
    ASSERT_GT(fragments.size(), 1u);
    QByteArray whole;
    for (const auto& fragment : fragments) {
        EXPECT_LE(fragment.size(), 18);
        whole += fragment;
    }
    EXPECT_EQ(whole, qt(*phone->provider().handleCommand(command).answer));
}

TEST_F(BluezPhoneServerTest, ARefusedCommandIsAFailedWriteAndSendsNothing) {
    characteristicCall(SimPhone::dataSourceUUID(), QStringLiteral("StartNotify"));
    const auto unknownUID = characteristicCall(SimPhone::controlPointUUID(), QStringLiteral("WriteValue"),
                                               {qt(Bytes{0x00, 9, 9, 9, 9, 0x01, 10, 0}), QVariantMap{}});
    EXPECT_EQ(unknownUID.errorName(), QStringLiteral("org.bluez.Error.Failed"));
    const auto cutShort = characteristicCall(SimPhone::controlPointUUID(), QStringLiteral("WriteValue"),
                                             {qt(Bytes{0x00, 1}), QVariantMap{}});
    EXPECT_EQ(cutShort.errorName(), QStringLiteral("org.bluez.Error.Failed"));
    EXPECT_TRUE(valuesOf(SimPhone::dataSourceUUID()).empty());
}

TEST_F(BluezPhoneServerTest, TheAdvertisementKeepsAppleDataAndLeavesOutWhatDoesNotFit) {
    BluezPhoneAdvertisement::Content content;
    content.localName = QStringLiteral("iPhone");
    content.manufacturerData = SimPhone::appleManufacturerData();
    content.serviceUUIDs = {QString::fromStdString(SimPhone::mainServiceUUID().lowercaseString())};
    content.solicitUUIDs = {QString::fromStdString(SimPhone::notificationServiceUUID().lowercaseString())};
    BluezPhoneAdvertisement advertisement(*serverSide, QStringLiteral("/org/tandril/phone/advertisement0"), content);
    ASSERT_TRUE(advertisement.exportObject());
    const auto reply = call(advertisement.path(), QStringLiteral("org.freedesktop.DBus.Properties"),
                            QStringLiteral("GetAll"), {QStringLiteral("org.bluez.LEAdvertisement1")});
    const auto properties = qdbus_cast<QVariantMap>(reply.arguments().value(0).value<QDBusArgument>());
    EXPECT_EQ(properties.value(QStringLiteral("Type")).toString(), QStringLiteral("peripheral"));
    EXPECT_EQ(properties.value(QStringLiteral("LocalName")).toString(), QStringLiteral("iPhone"));
    // a{qv}: Apple's company identifier with the rest of the record.
    const auto data = qdbus_cast<QMap<quint16, QDBusVariant>>(
        properties.value(QStringLiteral("ManufacturerData")).value<QDBusArgument>());
    ASSERT_TRUE(data.contains(0x004C));
    const auto expected = SimPhone::appleManufacturerData();
    EXPECT_EQ(data[0x004C].variant().toByteArray(), qt(Bytes(expected.begin() + 2, expected.end())));
    // Name and manufacturer data take 22 of a legacy advertisement's 31 bytes: a 128-bit
    // service list (18) would not fit, and bluetoothd would refuse the whole advertisement.
    EXPECT_FALSE(properties.contains(QStringLiteral("ServiceUUIDs")));
    EXPECT_FALSE(properties.contains(QStringLiteral("SolicitUUIDs")));
    EXPECT_EQ(BluezPhoneAdvertisement::advertisedLength(
                  BluezPhoneAdvertisement::Content{content.localName, content.manufacturerData, {}, {}}),
              22);
    content.localName.clear();
    content.manufacturerData.clear();
    BluezPhoneAdvertisement bare(*serverSide, QStringLiteral("/org/tandril/phone/advertisement1"), content);
    EXPECT_TRUE(bare.properties().contains(QStringLiteral("ServiceUUIDs")));
}

TEST_F(BluezPhoneServerTest, TheAgentAcceptsPairingRequests) {
    BluezPhoneAgent agent(*serverSide, QStringLiteral("/org/tandril/phone/agent"), QStringLiteral("DisplayYesNo"));
    std::vector<std::string> lines;
    agent.setReporter([&](const std::string& line) { lines.push_back(line); });
    ASSERT_TRUE(agent.exportObject());
    const QVariant device = QVariant::fromValue(QDBusObjectPath(QStringLiteral("/org/bluez/hci1/dev_00_AA_01_00_00_00")));
    const QString agent1 = QStringLiteral("org.bluez.Agent1");
    EXPECT_EQ(call(agent.path(), agent1, QStringLiteral("RequestAuthorization"), {device}).type(), QDBusMessage::ReplyMessage);
    EXPECT_EQ(call(agent.path(), agent1, QStringLiteral("RequestConfirmation"), {device, QVariant::fromValue(4242u)}).type(),
              QDBusMessage::ReplyMessage);
    EXPECT_EQ(lines, (std::vector<std::string>{"agent RequestAuthorization /org/bluez/hci1/dev_00_AA_01_00_00_00",
                                               "agent RequestConfirmation /org/bluez/hci1/dev_00_AA_01_00_00_00 004242"}));
}

}  // namespace
}  // namespace tandril::test

#include "BluezPhoneServerTest.moc"
