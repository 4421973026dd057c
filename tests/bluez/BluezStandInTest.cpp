#include <gtest/gtest.h>

#include <QtCore/QThread>
#include <QtDBus/QDBusArgument>
#include <QtDBus/QDBusObjectPath>

#include <algorithm>
#include <atomic>
#include <thread>
#include <tuple>

#include "bluez/BluezFixture.hpp"
#include "foundation/RunLoop.hpp"
#include "ble/platform/PlatformConstants.hpp"
#include "ble/platform/PlatformError.hpp"
#include "platform/linux/bluez/BluezAdvertisement.hpp"
#include "platform/linux/bluez/standin/StandInTypes.hpp"
#include "sim/SimCharacteristic.hpp"
#include "sim/SimPhone.hpp"
#include "sim/SimRadio.hpp"

namespace tandril::test {
namespace {

const std::string kAdapterPath = "/org/bluez/hci0";
const std::string kAdapter = "org.bluez.Adapter1";
const std::string kDevice = "org.bluez.Device1";
const std::string kCharacteristic = "org.bluez.GattCharacteristic1";
const std::string kProperties = "org.freedesktop.DBus.Properties";
const std::string kAdvertisingManager = "org.bluez.LEAdvertisingManager1";

std::string lower(const UUID& uuid) {
    const auto b = uuid.bytes128();
    char text[37];
    std::snprintf(text, sizeof text, "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", b[0],
                  b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
    return text;
}

// The index of the first line starting with `prefix` (lines.size() when none).
std::size_t indexOf(const std::vector<std::string>& lines, const std::string& prefix) {
    for (std::size_t i = 0; i < lines.size(); ++i)
        if (lines[i].rfind(prefix, 0) == 0) return i;
    return lines.size();
}

// An advertisement served on a connection and a thread of its own, as a program serves one;
// it registers from that connection.
class ServedAdvertisement {
public:
    ServedAdvertisement(const std::string& address, const std::string& name, QStringList uuids) {
        static std::atomic<int> counter{0};
        connection_ = QString("tandril-test-advertiser-%1").arg(counter.fetch_add(1));
        QDBusConnection::connectToBus(QString::fromStdString(address), connection_);
        object_ = new BluezAdvertisement(path_, name, std::move(uuids), {});
        thread_.start();
        QDBusConnection(connection_).registerVirtualObject(path_, object_);
        object_->moveToThread(&thread_);
    }
    ~ServedAdvertisement() {
        if (caller_.joinable()) caller_.join();
        leave();
        thread_.quit();
        thread_.wait();
        delete object_;
    }
    // RegisterAdvertisement from this client, answered in the background.
    void registerWithBluez() {
        QDBusMessage message = QDBusMessage::createMethodCall("org.bluez", QString::fromStdString(kAdapterPath),
                                                              QString::fromStdString(kAdvertisingManager),
                                                              "RegisterAdvertisement");
        message << QVariant::fromValue(QDBusObjectPath(path_)) << QVariantMap();
        const QString connection = connection_;
        caller_ = std::thread([this, message, connection] {
            const QDBusMessage result = QDBusConnection(connection).call(message, QDBus::Block, 10000);
            {
                std::lock_guard<std::mutex> lock(mutex_);
                answer_ = result;
            }
            if (RunLoop::hasMain()) RunLoop::main().post([] {});
        });
    }
    std::optional<QDBusMessage> answer() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return answer_;
    }
    // The program ends without unregistering.
    void leave() {
        if (left_) return;
        left_ = true;
        QDBusConnection(connection_).unregisterObject(path_);
        QDBusConnection::disconnectFromBus(connection_);
    }

private:
    const QString path_ = "/test/advertisement";
    QString connection_;
    BluezAdvertisement* object_ = nullptr;
    QThread thread_;
    std::thread caller_;
    bool left_ = false;
    mutable std::mutex mutex_;
    std::optional<QDBusMessage> answer_;
};

class BluezStandInTest : public BluezFixture {
protected:
    std::shared_ptr<SimPhone> makePhone(bool bonded = true, std::optional<std::string> name = "iPhone") {
        return phone().advertisedName(name).bonded(bonded).acceptsPairing(false).build();
    }

    std::string pathOf(const std::shared_ptr<SimPeripheral>& device) { return standIn->devicePath(device->identifier()); }

    QDBusMessage answerOf(const std::shared_ptr<PendingAnswer>& pending) {
        std::lock_guard<std::mutex> lock(pending->mutex);
        return pending->message;
    }

    bool isDone(const std::shared_ptr<PendingAnswer>& pending) {
        std::lock_guard<std::mutex> lock(pending->mutex);
        return pending->done;
    }

    // Runs virtual time until the call is answered; returns the answer.
    QDBusMessage finish(const std::shared_ptr<PendingAnswer>& pending, double maxSeconds = 30) {
        advanceUntil([&] { return isDone(pending); }, maxSeconds);
        return answerOf(pending);
    }

    // Starts a discovery (with an LE filter) and waits until the device is exported.
    void discover(const std::shared_ptr<SimPeripheral>& device) {
        if (!discovering_) {
            QVariantMap filter{{"Transport", QString("le")}};
            ASSERT_EQ(errorName(call(kAdapterPath, kAdapter, "SetDiscoveryFilter", {filter})), "");
            ASSERT_EQ(errorName(call(kAdapterPath, kAdapter, "StartDiscovery")), "");
            discovering_ = true;
        } else {
            radio->advertise(device);  // a scan reports only the devices heard after it started
        }
        ASSERT_TRUE(advanceUntil([&] { return !recorder->linesStartingWith("InterfacesAdded " + pathOf(device)).empty(); }));
    }

    // Discovers and connects the device, and waits for its services.
    void connect(const std::shared_ptr<SimPeripheral>& device) {
        discover(device);
        const QDBusMessage answer = finish(callAsync(pathOf(device), kDevice, "Connect"));
        ASSERT_EQ(errorName(answer), "") << errorText(answer);
        ASSERT_TRUE(advanceUntil([&] {
            return describeValue(property(pathOf(device), kDevice, "ServicesResolved")) == "true" &&
                   !characteristicPath(device, SimPhone::notificationSourceUUID()).empty();
        }));
    }

    std::string characteristicPath(const std::shared_ptr<SimPeripheral>& device, const UUID& characteristic) {
        const UUID service = characteristic == SimPhone::deviceNameUUID() || characteristic == SimPhone::providerUUID() ||
                                     characteristic == SimPhone::consumerUUID() ||
                                     characteristic == SimPhone::connectionUUID()
                                 ? SimPhone::mainServiceUUID()
                                 : SimPhone::notificationServiceUUID();
        return standIn->characteristicPath(device->identifier(), service, characteristic);
    }

    void setQuirk(bool BluezStandIn::Quirks::*quirk, bool value) {
        auto options = standInOptions();
        options.quirks.*quirk = value;
        restartStandIn(options);
        recorder->clear();
        discovering_ = false;
    }

    bool discovering_ = false;
};

// ---- The tree ----------------------------------------------------------------------------------

TEST_F(BluezStandInTest, ExportsTheAdapterAndTheAgentManagerWithBlueZTypes) {
    const QDBusMessage answer = call("/", "org.freedesktop.DBus.ObjectManager", "GetManagedObjects");
    ASSERT_EQ(errorName(answer), "");
    ASSERT_EQ(answer.signature().toStdString(), "a{oa{sa{sv}}}");
    const auto objects = qdbus_cast<StandInManagedObjects>(answer.arguments().first().value<QDBusArgument>());
    ASSERT_TRUE(objects.contains(QDBusObjectPath("/org/bluez")));
    EXPECT_TRUE(objects.value(QDBusObjectPath("/org/bluez")).contains("org.bluez.AgentManager1"));
    const QVariantMap adapter = objects.value(QDBusObjectPath(QString::fromStdString(kAdapterPath))).value("org.bluez.Adapter1");
    EXPECT_EQ(adapter.value("Address").toString().toStdString(), "00:1A:7D:DA:71:13");
    EXPECT_EQ(adapter.value("Class").metaType(), QMetaType::fromType<uint>());
    EXPECT_EQ(adapter.value("Powered").metaType(), QMetaType::fromType<bool>());
    EXPECT_EQ(adapter.value("Discovering").metaType(), QMetaType::fromType<bool>());
    EXPECT_EQ(adapter.value("Roles").toStringList(), QStringList({"central", "peripheral"}));
    // PowerState is experimental in 5.66 and not exported by default.
    EXPECT_FALSE(adapter.contains("PowerState"));

    const QDBusMessage root = call("/", "org.freedesktop.DBus.Introspectable", "Introspect");
    EXPECT_NE(root.arguments().value(0).toString().indexOf("<node name=\"org\"/>"), -1);
    const QString xml = call(kAdapterPath, "org.freedesktop.DBus.Introspectable", "Introspect").arguments().value(0).toString();
    EXPECT_NE(xml.indexOf("<method name=\"StartDiscovery\"/>"), -1);
    EXPECT_NE(xml.indexOf("<property name=\"Powered\" type=\"b\" access=\"readwrite\"/>"), -1);
    EXPECT_NE(xml.indexOf("<property name=\"Discovering\" type=\"b\" access=\"read\"/>"), -1);
}

TEST_F(BluezStandInTest, AnswersUnknownObjectsMethodsAndPropertiesAsBlueZDoes) {
    EXPECT_EQ(errorName(call("/org/bluez/hci9", kAdapter, "StartDiscovery")), "org.freedesktop.DBus.Error.UnknownObject");
    EXPECT_EQ(errorName(call(kAdapterPath, kAdapter, "Fly")), "org.freedesktop.DBus.Error.UnknownMethod");
    EXPECT_EQ(errorName(call(kAdapterPath, kProperties, "Get", {QString::fromStdString(kAdapter), QString("Nope")})),
              "org.freedesktop.DBus.Error.InvalidArgs");
    EXPECT_EQ(errorName(call(kAdapterPath, kProperties, "Set",
                             {QString::fromStdString(kAdapter), QString("Address"), QVariant::fromValue(QDBusVariant(QString("x")))})),
              "org.freedesktop.DBus.Error.PropertyReadOnly");
}

// ---- Discovery ---------------------------------------------------------------------------------

TEST_F(BluezStandInTest, DiscoveryRepliesThenReportsDiscoveringAndExportsWhatItHears) {
    auto device = makePhone();
    ASSERT_EQ(errorName(call(kAdapterPath, kAdapter, "SetDiscoveryFilter", {QVariantMap{{"Transport", QString("le")}}})), "");
    ASSERT_EQ(errorName(call(kAdapterPath, kAdapter, "StartDiscovery")), "");
    ASSERT_TRUE(waitForSignal("PropertiesChanged " + kAdapterPath + " org.bluez.Adapter1 Discovering=true"));
    const QDBusMessage again = call(kAdapterPath, kAdapter, "StartDiscovery");
    EXPECT_EQ(errorText(again), "org.bluez.Error.InProgress: Operation already in progress");

    ASSERT_TRUE(advanceUntil([&] { return !recorder->linesStartingWith("InterfacesAdded " + pathOf(device)).empty(); }));
    EXPECT_EQ(describeValue(property(pathOf(device), kDevice, "Name")), "iPhone");
    EXPECT_EQ(describeValue(property(pathOf(device), kDevice, "AddressType")), "random");
    EXPECT_EQ(describeValue(property(pathOf(device), kDevice, "Address")), BluezStandIn::addressFor(device->identifier()));
    EXPECT_EQ(property(pathOf(device), kDevice, "RSSI").metaType(), QMetaType::fromType<short>());
    EXPECT_EQ(describeValue(property(pathOf(device), kDevice, "UUIDs")), lower(SimPhone::mainServiceUUID()));

    // Heard again: an RSSI update, no second InterfacesAdded.
    radio->advertise(device, -70);
    ASSERT_TRUE(advanceUntil([&] { return !recorder->linesStartingWith("PropertiesChanged " + pathOf(device) + " org.bluez.Device1 RSSI=-70").empty(); }));
    EXPECT_EQ(recorder->linesStartingWith("InterfacesAdded " + pathOf(device)).size(), 1u);

    ASSERT_EQ(errorName(call(kAdapterPath, kAdapter, "StopDiscovery")), "");
    ASSERT_TRUE(waitForSignal("PropertiesChanged " + pathOf(device) + " org.bluez.Device1  -RSSI"));
    EXPECT_EQ(errorText(call(kAdapterPath, kAdapter, "StopDiscovery")), "org.bluez.Error.Failed: No discovery started");
    EXPECT_FALSE(property(pathOf(device), kDevice, "RSSI").isValid());
}

TEST_F(BluezStandInTest, KnownDevicesAnnouncedAgainWhenTheQuirkIsOff) {
    setQuirk(&BluezStandIn::Quirks::knownDevicesSendNoInterfacesAdded, false);
    auto device = makePhone();
    discover(device);
    radio->advertise(device, -70);
    ASSERT_TRUE(advanceUntil([&] { return recorder->linesStartingWith("InterfacesAdded " + pathOf(device)).size() == 2; }));
}

TEST_F(BluezStandInTest, DevicesOnlyHeardDisappearThirtySecondsAfterTheLastAdvertisement) {
    auto heard = makePhone(false, "Heard");
    auto connected = makePhone(false, "Connected");
    discover(heard);
    discover(connected);
    ASSERT_EQ(errorName(finish(callAsync(pathOf(connected), kDevice, "Connect"))), "");
    advance(20);
    radio->advertise(heard);  // heard again: the 30 s start over
    advance(20);
    EXPECT_TRUE(recorder->linesStartingWith("InterfacesRemoved " + pathOf(heard)).empty());
    ASSERT_TRUE(advanceUntil([&] { return !recorder->linesStartingWith("InterfacesRemoved " + pathOf(heard)).empty(); }, 12));
    EXPECT_TRUE(recorder->linesStartingWith("InterfacesRemoved " + pathOf(connected)).empty());

    setQuirk(&BluezStandIn::Quirks::temporaryDevicesExpire, false);
    discover(heard);
    advance(60);
    EXPECT_TRUE(recorder->linesStartingWith("InterfacesRemoved " + pathOf(heard)).empty());
}

TEST_F(BluezStandInTest, AClientLeavingTheBusEndsItsDiscoveryAndSessions) {
    auto device = makePhone();
    connect(device);
    const std::string source = characteristicPath(device, SimPhone::notificationSourceUUID());
    // Another program starts a discovery and a notification session, then exits.
    const QString name = "tandril-test-leaver";
    QDBusConnection::connectToBus(QString::fromStdString(bus.address()), name);
    std::atomic<int> answered{0};
    std::thread other([&] {
        for (const auto& [path, interface, member] : {std::tuple{kAdapterPath, kAdapter, "StartDiscovery"},
                                                      std::tuple{source, kCharacteristic, "StartNotify"}}) {
            QDBusConnection(name).call(QDBusMessage::createMethodCall("org.bluez", QString::fromStdString(path),
                                                                      QString::fromStdString(interface), member));
            ++answered;
            RunLoop::main().post([] {});
        }
    });
    const bool bothAnswered = advanceUntil([&] { return answered == 2; }, 5);
    other.join();
    ASSERT_TRUE(bothAnswered);
    ASSERT_EQ(errorName(call(kAdapterPath, kAdapter, "StopDiscovery")), "");  // ours ends; the other's goes on
    EXPECT_EQ(describeValue(property(kAdapterPath, kAdapter, "Discovering")), "true");
    EXPECT_EQ(describeValue(property(source, kCharacteristic, "Notifying")), "true");

    QDBusConnection::disconnectFromBus(name);
    ASSERT_TRUE(advanceUntil([&] { return describeValue(property(kAdapterPath, kAdapter, "Discovering")) == "false"; }, 5));
    ASSERT_TRUE(advanceUntil([&] { return describeValue(property(source, kCharacteristic, "Notifying")) == "false"; }, 5));
    EXPECT_FALSE(device->notificationSourceCharacteristic()->isNotifying());
}

TEST_F(BluezStandInTest, DiscoveryFilterRejectsWhatBlueZRejectsAndFiltersByService) {
    const auto bad = [&](QVariantMap filter) {
        return errorName(call(kAdapterPath, kAdapter, "SetDiscoveryFilter", {filter}));
    };
    EXPECT_EQ(bad({{"Transport", QString("radio")}}), "org.bluez.Error.InvalidArguments");
    EXPECT_EQ(bad({{"Colour", QString("blue")}}), "org.bluez.Error.InvalidArguments");
    EXPECT_EQ(bad({{"RSSI", QVariant::fromValue(short(-60))}, {"Pathloss", QVariant::fromValue(ushort(3))}}),
              "org.bluez.Error.InvalidArguments");
    EXPECT_EQ(bad({{"UUIDs", QStringList{"not-a-uuid"}}}), "org.bluez.Error.InvalidArguments");

    auto other = phone().advertisedName("Watch").build();
    other->setAdvertisedServiceUUIDs({UUID::from16(0x180D)});
    auto device = makePhone();
    EXPECT_EQ(bad({{"UUIDs", QStringList{QString::fromStdString(lower(SimPhone::mainServiceUUID()))}}}), "");
    ASSERT_EQ(errorName(call(kAdapterPath, kAdapter, "StartDiscovery")), "");
    ASSERT_TRUE(advanceUntil([&] { return !recorder->linesStartingWith("InterfacesAdded " + pathOf(device)).empty(); }));
    advance(1);
    EXPECT_TRUE(recorder->linesStartingWith("InterfacesAdded " + pathOf(other)).empty());
}

// ---- Links -------------------------------------------------------------------------------------

TEST_F(BluezStandInTest, ConnectSignalsConnectedRepliesThenResolvesServicesBeforeExportingThem) {
    auto device = makePhone();
    connect(device);
    const auto lines = recorder->lines();
    const std::string path = pathOf(device);
    const std::size_t connected = indexOf(lines, "PropertiesChanged " + path + " org.bluez.Device1 Connected=true");
    const std::size_t resolved = indexOf(lines, "PropertiesChanged " + path + " org.bluez.Device1 ServicesResolved=true");
    const std::size_t service = indexOf(lines, "InterfacesAdded " + path + "/service");
    ASSERT_LT(connected, lines.size());
    ASSERT_LT(resolved, lines.size());
    ASSERT_LT(service, lines.size());
    EXPECT_LT(connected, resolved);
    EXPECT_LT(resolved, service);  // the quirk: resolved before the objects exist
    const std::string uuids = describeValue(property(path, kDevice, "UUIDs"));
    EXPECT_NE(uuids.find(lower(SimPhone::notificationServiceUUID())), std::string::npos);

    // Connect on a linked device: an empty reply and no signal.
    recorder->clear();
    EXPECT_EQ(errorName(call(path, kDevice, "Connect")), "");
    settle();
    EXPECT_TRUE(recorder->lines().empty());
}

TEST_F(BluezStandInTest, QuirksOffExportServicesFirstAndRefuseASecondConnect) {
    auto options = standInOptions();
    options.quirks.servicesResolvedBeforeExport = false;
    options.quirks.connectWhileConnectedSucceeds = false;
    restartStandIn(options);
    recorder->clear();
    auto device = makePhone();
    connect(device);
    const auto lines = recorder->lines();
    const std::string path = pathOf(device);
    EXPECT_LT(indexOf(lines, "InterfacesAdded " + path + "/service"),
              indexOf(lines, "PropertiesChanged " + path + " org.bluez.Device1 ServicesResolved=true"));
    EXPECT_EQ(errorName(call(path, kDevice, "Connect")), "org.bluez.Error.AlreadyConnected");
}

TEST_F(BluezStandInTest, DisconnectWaitsOutTheWindowAndAConnectInsideItStillDrops) {
    auto device = makePhone();
    connect(device);
    const std::string path = pathOf(device);
    auto disconnect = callAsync(path, kDevice, "Disconnect");
    advance(1.5);
    EXPECT_FALSE(isDone(disconnect));
    EXPECT_EQ(errorName(call(path, kDevice, "Connect")), "");  // "succeeds" inside the window
    EXPECT_EQ(errorName(finish(disconnect, 5)), "");
    EXPECT_EQ(describeValue(property(path, kDevice, "Connected")), "false");
    EXPECT_FALSE(device->isLinked());
}

TEST_F(BluezStandInTest, DisconnectIsImmediateWithoutTheWindow) {
    setQuirk(&BluezStandIn::Quirks::disconnectWindow, false);
    auto device = makePhone();
    connect(device);
    auto disconnect = callAsync(pathOf(device), kDevice, "Disconnect");
    EXPECT_EQ(errorName(finish(disconnect, 0.5)), "");
    EXPECT_FALSE(device->isLinked());
}

TEST_F(BluezStandInTest, DisconnectCancelsAPendingConnect) {
    auto device = makePhone();
    device->setConnectNeverAnswers(true);
    discover(device);
    auto connecting = callAsync(pathOf(device), kDevice, "Connect");
    advance(1);
    EXPECT_FALSE(isDone(connecting));
    EXPECT_EQ(errorName(call(pathOf(device), kDevice, "Connect")), "org.bluez.Error.InProgress");
    EXPECT_EQ(errorName(call(pathOf(device), kDevice, "Disconnect")), "");
    EXPECT_EQ(errorText(finish(connecting)), "org.bluez.Error.Failed: br-connection-canceled");
    EXPECT_EQ(device->cancelRequestCount(), 1u);
}

TEST_F(BluezStandInTest, AFailedConnectAnswersAsBlueZ566) {
    auto device = makePhone();
    device->setConnectFailure(PlatformError::centralError(CBErrorConnectionFailed));
    discover(device);
    EXPECT_EQ(errorText(finish(callAsync(pathOf(device), kDevice, "Connect"))),
              "org.bluez.Error.Failed: le-connection-abort-by-local");
}

// ---- GATT --------------------------------------------------------------------------------------

TEST_F(BluezStandInTest, ReadEchoesItsValueBeforeTheReplyUnlessSwitchedOff) {
    for (bool echo : {true, false}) {
        SCOPED_TRACE(echo);
        if (!echo) setQuirk(&BluezStandIn::Quirks::readEcho, false);
        auto device = makePhone();
        connect(device);
        const std::string path = characteristicPath(device, SimPhone::deviceNameUUID());
        ASSERT_FALSE(path.empty());
        recorder->clear();
        const QDBusMessage answer = finish(callAsync(path, kCharacteristic, "ReadValue", {QVariantMap()}));
        ASSERT_EQ(errorName(answer), "") << errorText(answer);
        EXPECT_EQ(answer.arguments().value(0).toByteArray().toStdString(), "iPhone");
        EXPECT_EQ(recorder->linesStartingWith("PropertiesChanged " + path).size(), echo ? 1u : 0u);
        radio->removePeripheral(device);
        settle();
    }
}

TEST_F(BluezStandInTest, EncryptedAccessOfAnUnbondedDeviceSaysNotPairedOrPairs) {
    auto refusing = makePhone(false);
    connect(refusing);
    const std::string path = characteristicPath(refusing, SimPhone::providerUUID());
    EXPECT_EQ(errorText(finish(callAsync(path, kCharacteristic, "ReadValue", {QVariantMap()}))),
              "org.bluez.Error.NotPermitted: Not paired");
    radio->removePeripheral(refusing);
    ASSERT_EQ(errorName(call(kAdapterPath, kAdapter, "StopDiscovery")), "");
    discovering_ = false;

    auto pairing = phone().bonded(false).acceptsPairing(true).build();
    connect(pairing);
    recorder->clear();
    EXPECT_EQ(errorName(finish(callAsync(characteristicPath(pairing, SimPhone::providerUUID()), kCharacteristic,
                                         "ReadValue", {QVariantMap()}))),
              "");
    EXPECT_FALSE(recorder->linesStartingWith("PropertiesChanged " + pathOf(pairing) + " org.bluez.Device1 Paired=true").empty());
    EXPECT_EQ(describeValue(property(pathOf(pairing), kDevice, "Bonded")), "true");
}

TEST_F(BluezStandInTest, ASecondWriteWhileOneIsPendingIsInProgressOrQueued) {
    for (bool inProgress : {true, false}) {
        SCOPED_TRACE(inProgress);
        if (!inProgress) setQuirk(&BluezStandIn::Quirks::writeInProgress, false);
        auto device = makePhone();
        device->setLatency(SimOperation::Write, seconds(0.5));
        connect(device);
        const std::string path = characteristicPath(device, SimPhone::consumerUUID());
        const QVariantMap request{{"type", QString("request")}};
        auto first = callAsync(path, kCharacteristic, "WriteValue", {QByteArray("\x01", 1), request});
        settle();
        auto second = callAsync(path, kCharacteristic, "WriteValue", {QByteArray("\x02", 1), request});
        EXPECT_EQ(errorName(finish(first)), "");
        EXPECT_EQ(errorName(finish(second)), inProgress ? "org.bluez.Error.InProgress" : "");
        const auto written = device->consumerCharacteristic()->writtenValues();
        EXPECT_EQ(written.size(), inProgress ? 1u : 2u);
        radio->removePeripheral(device);
        settle();
    }
}

TEST_F(BluezStandInTest, WriteTypesAndOptionsAreChecked) {
    auto device = makePhone();
    connect(device);
    const std::string path = characteristicPath(device, SimPhone::consumerUUID());
    EXPECT_EQ(errorName(call(path, kCharacteristic, "WriteValue", {QByteArray("\x01", 1), QVariantMap{{"type", QString("command")}}})),
              "org.bluez.Error.NotSupported");  // no write-without-response
    EXPECT_EQ(errorName(call(path, kCharacteristic, "WriteValue", {QByteArray("\x01", 1), QVariantMap{{"type", QString("shout")}}})),
              "org.bluez.Error.InvalidArguments");
    EXPECT_EQ(errorName(call(path, kCharacteristic, "WriteValue", {QString("text"), QVariantMap()})),
              "org.bluez.Error.InvalidArguments");
    EXPECT_EQ(errorName(call(path, kCharacteristic, "AcquireNotify", {QVariantMap()})), "org.bluez.Error.NotSupported");
}

TEST_F(BluezStandInTest, NotificationSessionsSurviveALinkDropAndComeBackOnReconnection) {
    auto device = phone().bonded(true).notification("com.example.chat", "Anna", "", "Hi").build();
    connect(device);
    const std::string path = characteristicPath(device, SimPhone::notificationSourceUUID());
    const QDBusMessage started = finish(callAsync(path, kCharacteristic, "StartNotify"));
    ASSERT_EQ(errorName(started), "") << errorText(started);
    EXPECT_EQ(describeValue(property(path, kCharacteristic, "Notifying")), "true");
    ASSERT_TRUE(advanceUntil([&] { return !recorder->linesStartingWith("PropertiesChanged " + path + " org.bluez.GattCharacteristic1 Value=").empty(); }));
    EXPECT_EQ(errorName(call(path, kCharacteristic, "StartNotify")), "");  // the session exists: no new write

    device->dropLink();
    ASSERT_TRUE(advanceUntil([&] { return describeValue(property(pathOf(device), kDevice, "Connected")) == "false"; }));
    EXPECT_EQ(describeValue(property(path, kCharacteristic, "Notifying")), "true");
    EXPECT_FALSE(standIn->characteristicPath(device->identifier(), SimPhone::notificationServiceUUID(),
                                             SimPhone::notificationSourceUUID()).empty());  // bonded: cache kept

    recorder->clear();
    ASSERT_EQ(errorName(finish(callAsync(pathOf(device), kDevice, "Connect"))), "");
    // The old session is enabled again: values flow with no StartNotify.
    ASSERT_TRUE(advanceUntil([&] { return !recorder->linesStartingWith("PropertiesChanged " + path + " org.bluez.GattCharacteristic1 Value=").empty(); }));
    EXPECT_TRUE(device->notificationSourceCharacteristic()->isNotifying());
}

TEST_F(BluezStandInTest, WithoutReenabledSessionsALinkDropEndsNotifying) {
    setQuirk(&BluezStandIn::Quirks::reenableNotifySessions, false);
    auto device = makePhone();
    connect(device);
    const std::string path = characteristicPath(device, SimPhone::notificationSourceUUID());
    ASSERT_EQ(errorName(finish(callAsync(path, kCharacteristic, "StartNotify"))), "");
    device->dropLink();
    ASSERT_TRUE(advanceUntil([&] { return describeValue(property(path, kCharacteristic, "Notifying")) == "false"; }));
    EXPECT_EQ(errorText(call(path, kCharacteristic, "StopNotify")), "org.bluez.Error.Failed: No notify session started");
}

TEST_F(BluezStandInTest, AnUnbondedDeviceLosesItsServicesWithTheLink) {
    auto device = makePhone(false);
    connect(device);
    const std::string service = standIn->servicePath(device->identifier(), SimPhone::mainServiceUUID());
    device->dropLink();
    ASSERT_TRUE(advanceUntil([&] { return !recorder->linesStartingWith("InterfacesRemoved " + service).empty(); }));
}

// ---- bluetoothd's life and the adapter ------------------------------------------------------------

TEST_F(BluezStandInTest, ARestartChangesTheOwnerAndKeepsOnlyBondedDevices) {
    auto bonded = makePhone(true, "Bonded");
    auto stranger = phone().advertisedName("Stranger").bonded(false).build();
    discover(bonded);
    ASSERT_TRUE(advanceUntil([&] { return !recorder->linesStartingWith("InterfacesAdded " + pathOf(stranger)).empty(); }));
    const std::string before = standIn->uniqueName();
    standIn->stop();
    EXPECT_EQ(errorName(call(kAdapterPath, kAdapter, "StartDiscovery", {}, std::chrono::milliseconds(2000))),
              "org.freedesktop.DBus.Error.ServiceUnknown");
    ASSERT_TRUE(standIn->start());
    EXPECT_NE(standIn->uniqueName(), before);
    EXPECT_EQ(describeValue(property(pathOf(bonded), kDevice, "Paired")), "true");
    EXPECT_FALSE(property(pathOf(stranger), kDevice, "Address").isValid());
}

TEST_F(BluezStandInTest, PoweringOffDropsLinksBeforePoweredTurnsFalse) {
    auto device = makePhone();
    connect(device);
    standIn->setPowered(false);
    ASSERT_TRUE(advanceUntil([&] { return !recorder->linesStartingWith("PropertiesChanged " + kAdapterPath + " org.bluez.Adapter1 Powered=false").empty(); }));
    const auto lines = recorder->lines();
    EXPECT_LT(indexOf(lines, "PropertiesChanged " + pathOf(device) + " org.bluez.Device1 Connected=false"),
              indexOf(lines, "PropertiesChanged " + kAdapterPath + " org.bluez.Adapter1 Powered=false"));
    EXPECT_EQ(errorName(call(kAdapterPath, kAdapter, "StartDiscovery")), "org.bluez.Error.NotReady");

    // The user switches it on again through the bus.
    EXPECT_EQ(errorName(call(kAdapterPath, kProperties, "Set",
                             {QString::fromStdString(kAdapter), QString("Powered"), QVariant::fromValue(QDBusVariant(true))})),
              "");
    ASSERT_TRUE(advanceUntil([&] { return describeValue(property(kAdapterPath, kAdapter, "Powered")) == "true"; }));
}

// As systemd stops bluetoothd (SIGTERM): adapters powered off before the name goes; the next
// bluetoothd finds the controller off, shows it so and powers it on (AutoEnable).
TEST_F(BluezStandInTest, ToldToExitItPowersOffFirstAndTheNextOnePowersTheAdapterOn) {
    auto device = makePhone();
    connect(device);
    standIn->terminate();
    settle();
    const auto lines = recorder->lines();
    const auto poweredOff = indexOf(lines, "PropertiesChanged " + kAdapterPath + " org.bluez.Adapter1 Powered=false");
    EXPECT_LT(poweredOff, lines.size());
    EXPECT_LT(indexOf(lines, "PropertiesChanged " + pathOf(device) + " org.bluez.Device1 Connected=false"), poweredOff);
    ASSERT_TRUE(standIn->start());
    EXPECT_EQ(describeValue(property(kAdapterPath, kAdapter, "Powered")), "false");
    ASSERT_TRUE(advanceUntil([&] { return describeValue(property(kAdapterPath, kAdapter, "Powered")) == "true"; }, 1));
}

TEST_F(BluezStandInTest, RemovingTheAdapterRemovesItsDevicesFirst) {
    standIn->addAdapter("hci1", "00:1A:7D:DA:71:14");
    auto device = makePhone();
    discover(device);
    standIn->removeAdapter();
    ASSERT_TRUE(waitForSignal("InterfacesRemoved " + kAdapterPath + " "));
    const auto lines = recorder->lines();
    EXPECT_LT(indexOf(lines, "InterfacesRemoved " + pathOf(device)), indexOf(lines, "InterfacesRemoved " + kAdapterPath + " "));
    EXPECT_EQ(describeValue(property("/org/bluez/hci1", kAdapter, "Address")), "");  // removed too: one radio
}

TEST_F(BluezStandInTest, AgentManagerKeepsOneAgentPerClient) {
    const QDBusObjectPath agent("/test/agent");
    EXPECT_EQ(errorName(call("/org/bluez", "org.bluez.AgentManager1", "RegisterAgent", {QVariant::fromValue(agent), QString("Telepathy")})),
              "org.bluez.Error.InvalidArguments");
    EXPECT_EQ(errorName(call("/org/bluez", "org.bluez.AgentManager1", "RegisterAgent", {QVariant::fromValue(agent), QString("DisplayYesNo")})), "");
    EXPECT_EQ(errorName(call("/org/bluez", "org.bluez.AgentManager1", "RegisterAgent", {QVariant::fromValue(agent), QString("DisplayYesNo")})),
              "org.bluez.Error.AlreadyExists");
    EXPECT_EQ(errorName(call("/org/bluez", "org.bluez.AgentManager1", "RequestDefaultAgent", {QVariant::fromValue(agent)})), "");
    EXPECT_EQ(standIn->agentCount(), 1u);
    EXPECT_EQ(errorName(call("/org/bluez", "org.bluez.AgentManager1", "UnregisterAgent", {QVariant::fromValue(QDBusObjectPath("/other"))})),
              "org.bluez.Error.DoesNotExist");
    EXPECT_EQ(errorName(call("/org/bluez", "org.bluez.AgentManager1", "UnregisterAgent", {QVariant::fromValue(agent)})), "");
}

TEST_F(BluezStandInTest, WithAPasskeyTheAgentConfirmsPairingOrRefusesIt) {
    auto options = standInOptions();
    options.pairingPasskey = 123456;
    restartStandIn(options);
    recorder->clear();
    BluezTestAgent& agent = registerAgent();

    // The first encrypted access asks the agent, then goes through and bonds.
    auto first = phone().bonded(false).acceptsPairing(true).build();
    connect(first);
    const QDBusMessage read = finish(callAsync(characteristicPath(first, SimPhone::providerUUID()), kCharacteristic,
                                               "ReadValue", {QVariantMap()}));
    EXPECT_EQ(errorName(read), "") << errorText(read);
    EXPECT_EQ(agent.passkeys(), std::vector<std::uint32_t>{123456});
    EXPECT_EQ(describeValue(property(pathOf(first), kDevice, "Paired")), "true");

    // Refused: the access says "Not paired", Pair says rejected, nothing bonds.
    agent.setAccepts(false);
    auto second = phone().bonded(false).acceptsPairing(true).build();
    connect(second);
    EXPECT_EQ(errorText(finish(callAsync(characteristicPath(second, SimPhone::notificationSourceUUID()),
                                         kCharacteristic, "StartNotify"))),
              "org.bluez.Error.NotPermitted: Not paired");
    EXPECT_EQ(errorName(finish(callAsync(pathOf(second), kDevice, "Pair"))), "org.bluez.Error.AuthenticationRejected");
    EXPECT_FALSE(second->isBonded());
    EXPECT_EQ(standIn->confirmationCount(), 3u);
}

// ---- Faults ------------------------------------------------------------------------------------

TEST_F(BluezStandInTest, AMethodThatNeverAnswers) {
    standIn->setNeverAnswers("Connect");
    auto device = makePhone();
    discover(device);
    auto connecting = callAsync(pathOf(device), kDevice, "Connect");
    advance(30);
    EXPECT_FALSE(isDone(connecting));
    EXPECT_EQ(standIn->callCount("Connect"), 1u);
    EXPECT_FALSE(device->isLinked());
}

TEST_F(BluezStandInTest, PropertiesCanBeMissingOrOfTheWrongType) {
    standIn->setPropertyFault("org.bluez.Device1", "RSSI", StandInObjectTree::PropertyFault::WrongType);
    standIn->setPropertyFault("org.bluez.Device1", "Address", StandInObjectTree::PropertyFault::Missing);
    auto device = makePhone();
    discover(device);
    EXPECT_EQ(property(pathOf(device), kDevice, "RSSI").metaType(), QMetaType::fromType<QString>());
    EXPECT_FALSE(property(pathOf(device), kDevice, "Address").isValid());
    standIn->setPropertyFault("org.bluez.Device1", "Name", StandInObjectTree::PropertyFault::WrongType);
    EXPECT_EQ(property(pathOf(device), kDevice, "Name").metaType(), QMetaType::fromType<uint>());
}

TEST_F(BluezStandInTest, AnObjectVanishesMidOperation) {
    auto device = makePhone();
    connect(device);
    standIn->setVanishesOnCall("ReadValue");
    const std::string path = characteristicPath(device, SimPhone::deviceNameUUID());
    EXPECT_EQ(errorName(call(path, kCharacteristic, "ReadValue", {QVariantMap()})), "org.freedesktop.DBus.Error.UnknownObject");
    ASSERT_TRUE(waitForSignal("InterfacesRemoved " + pathOf(device) + " "));
    EXPECT_FALSE(recorder->linesStartingWith("InterfacesRemoved " + path).empty());
}

TEST_F(BluezStandInTest, AnAdvertisementFloodBecomesRSSIUpdates) {
    auto device = makePhone();
    discover(device);
    recorder->clear();
    standIn->floodAdvertisements(device, 2000);
    ASSERT_TRUE(advanceUntil([&] { return recorder->linesStartingWith("PropertiesChanged " + pathOf(device)).size() >= 2000; }, 5));
    EXPECT_TRUE(recorder->linesStartingWith("InterfacesAdded").empty());
}

TEST_F(BluezStandInTest, ANameThatIsNotValidUTF8IsCutAtTheFirstBadByte) {
    auto device = phone().advertisedName(std::string("Anna\xC3\x28s iPhone")).build();
    discover(device);
    EXPECT_EQ(describeValue(property(pathOf(device), kDevice, "Name")), "Anna");
}

TEST_F(BluezStandInTest, AnIdentityAddressIsWrittenInPlace) {
    auto device = makePhone();
    discover(device);
    recorder->clear();
    standIn->rewriteAddress(device->identifier(), "A4:83:E7:11:22:33");
    ASSERT_TRUE(waitForSignal("PropertiesChanged " + pathOf(device) + " org.bluez.Device1 AddressType=public"));
    EXPECT_EQ(recorder->lines(), (std::vector<std::string>{
                                     "PropertiesChanged " + pathOf(device) + " org.bluez.Device1 Address=A4:83:E7:11:22:33",
                                     "PropertiesChanged " + pathOf(device) + " org.bluez.Device1 AddressType=public"}));
    EXPECT_EQ(describeValue(property(pathOf(device), kDevice, "Address")), "A4:83:E7:11:22:33");
}

TEST_F(BluezStandInTest, ManufacturerDataIsAnArrayOfCompanyAndBytes) {
    auto device = makePhone();
    standIn->setManufacturerData(device->identifier(), 0x004C, Bytes{0x10, 0x05});
    discover(device);
    const QVariant value = property(pathOf(device), kDevice, "ManufacturerData");
    ASSERT_TRUE(value.canConvert<QDBusArgument>());
    const QDBusArgument argument = value.value<QDBusArgument>();
    EXPECT_EQ(argument.currentSignature().toStdString(), "a{qv}");
}

TEST_F(BluezStandInTest, AdvertisingManagerChecksCallsAndWaitsForTheClientsObject) {
    const QVariant path = QVariant::fromValue(QDBusObjectPath("/test/nothing"));
    EXPECT_EQ(errorName(call(kAdapterPath, kAdvertisingManager, "RegisterAdvertisement", {QString("/x"), QVariantMap()})),
              "org.bluez.Error.InvalidArguments");
    EXPECT_EQ(errorName(call(kAdapterPath, kAdvertisingManager, "UnregisterAdvertisement", {path})),
              "org.bluez.Error.DoesNotExist");
    // This client serves no such object: the registration waits, as bluetoothd's does.
    auto first = callAsync(kAdapterPath, kAdvertisingManager, "RegisterAdvertisement", {path, QVariantMap()});
    ASSERT_TRUE(pumpUntil([&] { return standIn->callCount("RegisterAdvertisement") == 2; }));
    settle();
    EXPECT_FALSE(isDone(first));
    EXPECT_EQ(errorName(call(kAdapterPath, kAdvertisingManager, "RegisterAdvertisement", {path, QVariantMap()})),
              "org.bluez.Error.AlreadyExists");
    EXPECT_EQ(errorName(call(kAdapterPath, kAdvertisingManager, "UnregisterAdvertisement", {path})), "");
    ASSERT_TRUE(waitFor(first));
    EXPECT_EQ(errorText(answerOf(first)), "org.bluez.Error.Failed: Failed to complete registration");
}

TEST_F(BluezStandInTest, AdvertisementsAreReadFromTheirClientAndGoWhenTheClientLeaves) {
    ServedAdvertisement desk(bus.address(), "Desk", {QString::fromStdString(lower(SimPhone::notificationServiceUUID()))});
    desk.registerWithBluez();
    ASSERT_TRUE(pumpUntil([&] { return desk.answer().has_value(); }));
    EXPECT_EQ(errorName(*desk.answer()), "");
    EXPECT_TRUE(standIn->isAdvertising());
    EXPECT_EQ(standIn->advertisedName(), "Desk");
    EXPECT_EQ(standIn->advertisedSolicitedServices(), std::vector<UUID>{SimPhone::notificationServiceUUID()});
    EXPECT_EQ(property(kAdapterPath, kAdvertisingManager, "ActiveInstances").toUInt(), 1u);

    // Flags and two 128-bit solicitations take 37 bytes of 31: 5.66 refuses the data.
    ServedAdvertisement crowded(bus.address(), "Crowded",
                                {QString::fromStdString(lower(SimPhone::notificationServiceUUID())),
                                 QString::fromStdString(lower(SimPhone::mainServiceUUID()))});
    crowded.registerWithBluez();
    ASSERT_TRUE(pumpUntil([&] { return crowded.answer().has_value(); }));
    EXPECT_EQ(errorText(*crowded.answer()), "org.bluez.Error.Failed: Failed to parse advertisement.");

    // A program that ends without unregistering loses its advertisement.
    desk.leave();
    ASSERT_TRUE(pumpUntil([&] { return !standIn->isAdvertising() && standIn->advertisementCount() == 0; }));
    EXPECT_EQ(property(kAdapterPath, kAdvertisingManager, "ActiveInstances").toUInt(), 0u);
}

}  // namespace
}  // namespace tandril::test
