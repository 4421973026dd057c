// The BlueZ adapter against the stand-in bluetoothd: state, discovery, identity, links,
// GATT, errors and faults, each checked through the contract's events.

#include <gtest/gtest.h>

#include <algorithm>

#include "ble/platform/PlatformAdapter.hpp"
#include "ble/platform/PlatformCentral.hpp"
#include "ble/platform/PlatformCharacteristic.hpp"
#include "ble/platform/PlatformClassicDevice.hpp"
#include "ble/platform/PlatformConstants.hpp"
#include "ble/platform/PlatformError.hpp"
#include "ble/platform/PlatformPairingConfirmer.hpp"
#include "ble/platform/PlatformPeripheral.hpp"
#include "ble/platform/PlatformService.hpp"
#include "bluez/BluezFixture.hpp"
#include "foundation/DispatchQueue.hpp"
#include "foundation/RunLoop.hpp"
#include "platform/linux/bluez/BluezAdapter.hpp"
#include "platform/linux/bluez/BluezAdvertisement.hpp"
#include "platform/linux/bluez/BluezCentral.hpp"
#include "platform/linux/bluez/BluezErrors.hpp"
#include "sim/RecordingDelegate.hpp"
#include "sim/SimCharacteristic.hpp"
#include "sim/SimPhone.hpp"
#include "sim/SimRadio.hpp"
#include "sim/SimService.hpp"

namespace tandril::test {
namespace {

using namespace std::chrono_literals;

class BluezAdapterTest : public BluezFixture {
protected:
    BluezAdapterTest() {
        queue = DispatchQueue::createOnLoop("bluez-events", loop());
        recording = std::make_shared<RecordingDelegate>(queue);
    }
    ~BluezAdapterTest() override {
        central.reset();
        adapter.reset();
        loop().runUntilIdle();
    }

    void makeAdapter(BluezAdapter::Options options = {}) {
        options.busAddress = bus.address();
        adapter = BluezAdapter::create(options);
        onSettle = [this] { adapter->sync(2000ms); };
    }
    // An adapter and its central, once the central has reported its state.
    void makeCentral(BluezAdapter::Options options = {}) {
        makeAdapter(options);
        central = adapter->createCentral(recording, queue);
        ASSERT_TRUE(waitForEvent("state "));
    }
    bool waitForEvent(const std::string& prefix, std::size_t count = 1) {
        return pumpUntil([&] { return eventsStartingWith(prefix).size() >= count; });
    }
    std::vector<std::string> eventsStartingWith(const std::string& prefix) const {
        std::vector<std::string> out;
        for (const auto& e : recording->events)
            if (e.rfind(prefix, 0) == 0) out.push_back(e);
        return out;
    }
    std::shared_ptr<PlatformPeripheral> discover(const std::string& name) {
        central->scanForPeripheralsWithServices(std::nullopt, std::nullopt);
        pumpUntil([&] { return !eventsStartingWith("discover " + name).empty(); });
        return peripheralNamed(name);
    }
    std::shared_ptr<PlatformPeripheral> peripheralNamed(const std::string& name) {
        for (const auto& p : central->retrievePeripheralsWithIdentifiers({phoneIdentifier}))
            if (p->name() == name) return p;
        return nullptr;
    }
    // Connects, discovers both services and all characteristics.
    std::shared_ptr<PlatformPeripheral> linkedPhone() {
        auto p = central->retrievePeripheralsWithIdentifiers({phoneIdentifier});
        if (p.empty()) {
            discover("iPhone");
            p = central->retrievePeripheralsWithIdentifiers({phoneIdentifier});
        }
        if (p.empty()) return nullptr;
        auto peripheral = p.front();
        peripheral->setDelegate(recording);
        central->connectPeripheral(peripheral, std::nullopt);
        if (!waitForEvent("connect ")) return nullptr;
        peripheral->discoverServices(std::nullopt);
        if (!waitForEvent("services ")) return nullptr;
        for (const auto& service : peripheral->services()) {
            const auto before = eventsStartingWith("characteristics").size();
            peripheral->discoverCharacteristics(std::nullopt, service);
            if (!waitForEvent("characteristics", before + 1)) return nullptr;
        }
        return peripheral;
    }
    std::shared_ptr<PlatformCharacteristic> characteristic(const std::shared_ptr<PlatformPeripheral>& peripheral,
                                                           const UUID& uuid) {
        for (const auto& service : peripheral->services())
            for (const auto& c : service->characteristics())
                if (c->UUID() == uuid) return c;
        return nullptr;
    }
    std::shared_ptr<SimPhone> addPhone() {
        auto built = phone().build();
        phoneIdentifier = BluezCentralIdentifier(built->identifier());
        return built;
    }
    // The identifier the adapter gives the stand-in's device for a simulated phone.
    static UUID BluezCentralIdentifier(const UUID& simIdentifier) {
        return BluezCentral::deviceIdentifier(QStringLiteral("00:1A:7D:DA:71:13"),
                                              QString::fromStdString(BluezStandIn::addressFor(simIdentifier)));
    }
    std::vector<std::string> eventsSince(std::size_t index) const {
        return {recording->events.begin() + static_cast<long>(std::min(index, recording->events.size())),
                recording->events.end()};
    }

    std::shared_ptr<DispatchQueue> queue;
    std::shared_ptr<RecordingDelegate> recording;
    std::shared_ptr<BluezAdapter> adapter;
    std::shared_ptr<PlatformCentral> central;
    UUID phoneIdentifier;
};


// ---- State ----------------------------------------------------------------------------------

TEST_F(BluezAdapterTest, ANewCentralReportsPoweredOnOnceTheTreeIsRead) {
    makeCentral();
    settle();
    EXPECT_EQ(recording->events, (std::vector<std::string>{"state 5"}));
    EXPECT_EQ(central->state(), CBCentralManagerStatePoweredOn);
    EXPECT_EQ(standIn->agentCount(), 1u);
}

TEST_F(BluezAdapterTest, WithoutBluetoothdTheCentralIsUnsupportedUntilItStarts) {
    standIn->stop();
    makeCentral();
    EXPECT_EQ(recording->events, (std::vector<std::string>{"state 2"}));
    ASSERT_TRUE(standIn->start());
    ASSERT_TRUE(waitForEvent("state 5"));
    EXPECT_EQ(recording->events, (std::vector<std::string>{"state 2", "state 5"}));
}

TEST_F(BluezAdapterTest, PowerOffReportsEachLinkDroppedBeforeTheStateAndPowerOnComesBack) {
    addPhone();
    makeCentral();
    ASSERT_NE(linkedPhone(), nullptr);
    const auto mark = recording->events.size();
    standIn->setPowered(false);
    ASSERT_TRUE(waitForEvent("state 4"));
    EXPECT_EQ(eventsSince(mark), (std::vector<std::string>{"disconnect iPhone cb7 state 0", "state 4"}));
    standIn->setPowered(true);
    ASSERT_TRUE(waitForEvent("state 5", 2));
}

// The scan the engine asked for before the adapter went away runs again without being
// asked: after bluetoothd's restart, after a power cycle, and when asked while off.
TEST_F(BluezAdapterTest, AScanAskedForRunsAgainOnceTheAdapterIsBackOn) {
    addPhone();
    makeCentral();
    central->scanForPeripheralsWithServices(std::nullopt, std::nullopt);
    ASSERT_TRUE(waitForEvent("discover iPhone"));

    standIn->stop();
    ASSERT_TRUE(waitForEvent("state 1"));
    ASSERT_TRUE(standIn->start());
    ASSERT_TRUE(waitForEvent("state 5", 2));
    EXPECT_TRUE(central->isScanning());
    advance(1);
    ASSERT_TRUE(waitForEvent("discover iPhone", 2));

    standIn->setPowered(false);
    ASSERT_TRUE(waitForEvent("state 4"));
    advance(1);
    EXPECT_EQ(eventsStartingWith("discover ").size(), 2u);
    standIn->setPowered(true);
    ASSERT_TRUE(waitForEvent("state 5", 3));
    advance(1);
    ASSERT_TRUE(waitForEvent("discover iPhone", 3));

    central->stopScan();
    standIn->setPowered(false);
    ASSERT_TRUE(waitForEvent("state 4", 2));
    central->scanForPeripheralsWithServices(std::nullopt, std::nullopt);
    advance(1);
    EXPECT_EQ(eventsStartingWith("discover ").size(), 3u);
    standIn->setPowered(true);
    ASSERT_TRUE(waitForEvent("state 5", 4));
    advance(1);
    ASSERT_TRUE(waitForEvent("discover iPhone", 4));
    // Each discovery BlueZ ran for us was started by us: the initial one and three resumed.
    EXPECT_EQ(standIn->callCount("StartDiscovery"), 4u);
}

TEST_F(BluezAdapterTest, BluetoothdRestartResetsThenRereadsTheTreeKeepingTheObjects) {
    addPhone();
    makeCentral();
    auto peripheral = linkedPhone();
    ASSERT_NE(peripheral, nullptr);
    const auto mark = recording->events.size();
    standIn->stop();
    ASSERT_TRUE(waitForEvent("state 1"));
    ASSERT_TRUE(standIn->start());
    ASSERT_TRUE(waitForEvent("state 5", 2));
    EXPECT_EQ(eventsSince(mark),
              (std::vector<std::string>{"disconnect iPhone cb7 state 0", "state 1", "state 5"}));
    const auto again = central->retrievePeripheralsWithIdentifiers({phoneIdentifier});
    ASSERT_EQ(again.size(), 1u);
    EXPECT_EQ(again.front(), peripheral);
    // And the link comes up again on the new bluetoothd.
    central->connectPeripheral(peripheral, std::nullopt);
    ASSERT_TRUE(waitForEvent("connect ", 2));
}

TEST_F(BluezAdapterTest, AnAdapterThatVanishesLeavesTheCentralResetting) {
    addPhone();
    makeCentral();
    ASSERT_NE(linkedPhone(), nullptr);
    const auto mark = recording->events.size();
    standIn->removeAdapter();
    ASSERT_TRUE(waitForEvent("state 1"));
    EXPECT_EQ(eventsSince(mark), (std::vector<std::string>{"disconnect iPhone cb7 state 0", "state 1"}));
}

TEST_F(BluezAdapterTest, TheAdapterIsTheFirstInPathOrderUnlessOneIsNamed) {
    BluezBus::Tree tree;
    tree["/org/bluez/hci1"]["org.bluez.Adapter1"] = QVariantMap{{"Address", "11:11:11:11:11:11"}};
    tree["/org/bluez/hci0"]["org.bluez.Adapter1"] = QVariantMap{{"Address", "00:00:00:00:00:00"}};
    tree["/org/bluez"]["org.bluez.AgentManager1"] = QVariantMap{};
    EXPECT_EQ(BluezCentral::chooseAdapter(tree, ""), "/org/bluez/hci0");
    EXPECT_EQ(BluezCentral::chooseAdapter(tree, "hci1"), "/org/bluez/hci1");
    EXPECT_EQ(BluezCentral::chooseAdapter(tree, "11:11:11:11:11:11"), "/org/bluez/hci1");
    EXPECT_EQ(BluezCentral::chooseAdapter(tree, "hci7"), "/org/bluez/hci0");
    EXPECT_EQ(BluezCentral::chooseAdapter({}, ""), "");
}

// ---- Scanning and identity ------------------------------------------------------------------

TEST_F(BluezAdapterTest, AScanReportsAdvertisersHeardButNotDevicesBluezOnlyRemembers) {
    auto heard = addPhone();
    auto quiet = phone().advertisedName("Watch").build();
    quiet->setAdvertising(false);
    makeCentral();
    central->scanForPeripheralsWithServices(std::nullopt, std::nullopt);
    EXPECT_TRUE(central->isScanning());
    ASSERT_TRUE(waitForEvent("discover iPhone"));
    advance(1);
    EXPECT_EQ(eventsStartingWith("discover "), (std::vector<std::string>{"discover iPhone -50"}));
    central->stopScan();
    EXPECT_FALSE(central->isScanning());
    ASSERT_TRUE(pumpUntil([&] { return standIn->callCount("StopDiscovery") == 1; }));
    EXPECT_EQ(standIn->callCount("StartDiscovery"), 1u);
}

TEST_F(BluezAdapterTest, DuplicatesFollowTheScanOptionEvenUnderAnAdvertisementFlood) {
    auto device = addPhone();
    makeCentral();
    central->scanForPeripheralsWithServices(std::nullopt, std::nullopt);
    ASSERT_TRUE(waitForEvent("discover iPhone"));
    standIn->floodAdvertisements(device, 500);
    settle();
    EXPECT_EQ(eventsStartingWith("discover ").size(), 1u);

    central->scanForPeripheralsWithServices(std::nullopt,
                                            Dictionary{{CBCentralManagerScanOptionAllowDuplicatesKey, true}});
    settle();
    const auto before = eventsStartingWith("discover ").size();
    standIn->floodAdvertisements(device, 500);
    ASSERT_TRUE(waitForEvent("discover ", before + 500));
}

TEST_F(BluezAdapterTest, AServiceFilterLetsOnlyMatchingAdvertisersThrough) {
    addPhone();
    auto other = phone().advertisedName("Speaker").build();
    other->setAdvertisedServiceUUIDs({UUID::from16(0x180D)});
    makeCentral();
    central->scanForPeripheralsWithServices(std::vector<UUID>{SimPhone::mainServiceUUID()}, std::nullopt);
    ASSERT_TRUE(waitForEvent("discover iPhone"));
    advance(1);
    EXPECT_EQ(eventsStartingWith("discover ").size(), 1u);
}

TEST_F(BluezAdapterTest, IdentifiersAreStableAcrossAdaptersAndOneObjectPerDevice) {
    auto device = addPhone();
    makeCentral();
    auto found = discover("iPhone");
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->identifier(), phoneIdentifier);
    EXPECT_EQ(central->retrievePeripheralsWithIdentifiers({UUID::random(), phoneIdentifier}),
              (std::vector<std::shared_ptr<PlatformPeripheral>>{found}));
    // Another program run (a new adapter) finds the device under the same identifier.
    central.reset();
    adapter.reset();
    recording->events.clear();
    makeCentral();
    EXPECT_EQ(discover("iPhone")->identifier(), phoneIdentifier);
}

TEST_F(BluezAdapterTest, AnAddressRewrittenByIdentityResolutionKeepsTheObjectUnderBothIdentifiers) {
    auto device = addPhone();
    makeCentral();
    auto peripheral = linkedPhone();
    ASSERT_NE(peripheral, nullptr);
    standIn->rewriteAddress(device->identifier(), "A4:C3:F0:11:22:33");
    const UUID resolved = BluezCentral::deviceIdentifier(QStringLiteral("00:1A:7D:DA:71:13"),
                                                         QStringLiteral("A4:C3:F0:11:22:33"));
    ASSERT_TRUE(pumpUntil([&] { return !central->retrievePeripheralsWithIdentifiers({resolved}).empty(); }));
    EXPECT_EQ(central->retrievePeripheralsWithIdentifiers({resolved, phoneIdentifier}),
              (std::vector<std::shared_ptr<PlatformPeripheral>>{peripheral, peripheral}));
    EXPECT_EQ(peripheral->identifier(), phoneIdentifier);
    EXPECT_EQ(peripheral->state(), CBPeripheralStateConnected);
}

// ---- Links ------------------------------------------------------------------------------------

TEST_F(BluezAdapterTest, ConnectOnALinkedDeviceStillYieldsAConnectEvent) {
    addPhone();
    makeCentral();
    auto peripheral = linkedPhone();
    ASSERT_NE(peripheral, nullptr);
    central->connectPeripheral(peripheral, std::nullopt);
    ASSERT_TRUE(waitForEvent("connect ", 2));
    EXPECT_EQ(eventsStartingWith("connect "),
              (std::vector<std::string>{"connect iPhone state 2", "connect iPhone state 2"}));
}

TEST_F(BluezAdapterTest, CancellingAPendingConnectYieldsADisconnectEvent) {
    addPhone();
    standIn->setNeverAnswers("Connect");
    makeCentral();
    auto peripheral = discover("iPhone");
    ASSERT_NE(peripheral, nullptr);
    central->connectPeripheral(peripheral, std::nullopt);
    EXPECT_EQ(peripheral->state(), CBPeripheralStateConnecting);
    settle();
    central->cancelPeripheralConnection(peripheral);
    ASSERT_TRUE(waitForEvent("disconnect "));
    EXPECT_EQ(eventsStartingWith("disconnect "), (std::vector<std::string>{"disconnect iPhone - state 0"}));
    EXPECT_TRUE(eventsStartingWith("connect ").empty());
}

TEST_F(BluezAdapterTest, AConnectInsideTheDisconnectWindowWaitsForTheLinkToDrop) {
    addPhone();
    makeCentral();
    auto peripheral = linkedPhone();
    ASSERT_NE(peripheral, nullptr);
    central->cancelPeripheralConnection(peripheral);
    settle();
    EXPECT_EQ(peripheral->state(), CBPeripheralStateDisconnecting);
    central->connectPeripheral(peripheral, std::nullopt);
    advance(3);
    ASSERT_TRUE(waitForEvent("connect ", 2));
    advance(5);
    EXPECT_EQ(eventsStartingWith("connect ").size(), 2u);
    EXPECT_EQ(eventsStartingWith("disconnect "), (std::vector<std::string>{"disconnect iPhone - state 0"}));
    EXPECT_EQ(peripheral->state(), CBPeripheralStateConnected);
}

TEST_F(BluezAdapterTest, ALocallyAbortedConnectIsRetriedThenReportedAsAFailure) {
    auto device = addPhone();
    device->setConnectFailure(PlatformError::centralError(CBErrorConnectionFailed));
    makeCentral();
    auto peripheral = discover("iPhone");
    ASSERT_NE(peripheral, nullptr);
    central->connectPeripheral(peripheral, std::nullopt);
    ASSERT_TRUE(waitForEvent("fail "));
    EXPECT_EQ(eventsStartingWith("fail "), (std::vector<std::string>{"fail iPhone cb10"}));
    EXPECT_EQ(standIn->callCount("Connect"), 3u);
    EXPECT_EQ(peripheral->state(), CBPeripheralStateDisconnected);
}

TEST_F(BluezAdapterTest, NothingOfAnEarlierLinkArrivesAfterAReconnection) {
    auto device = addPhone();
    makeCentral();
    auto peripheral = linkedPhone();
    ASSERT_NE(peripheral, nullptr);
    auto source = characteristic(peripheral, SimPhone::notificationSourceUUID());
    ASSERT_NE(source, nullptr);
    peripheral->setNotifyValue(true, source);
    ASSERT_TRUE(waitForEvent("notifying "));
    device->dropLink();
    ASSERT_TRUE(waitForEvent("disconnect "));
    EXPECT_FALSE(source->isNotifying());
    ASSERT_TRUE(pumpUntil([&] { return standIn->callCount("StopNotify") >= 1; }));
    central->connectPeripheral(peripheral, std::nullopt);
    ASSERT_TRUE(waitForEvent("connect ", 2));
    const auto mark = recording->events.size();
    auto simSource = device->characteristic(SimPhone::notificationServiceUUID(), SimPhone::notificationSourceUUID());
    device->notify(simSource, Bytes{1, 2, 3});
    advance(1);
    EXPECT_EQ(eventsSince(mark), std::vector<std::string>{});
}

// ---- Services and GATT ------------------------------------------------------------------------

class BluezAdapterQuirkTest : public BluezAdapterTest, public ::testing::WithParamInterface<bool> {
protected:
    void SetUp() override {
        auto options = standInOptions();
        const bool on = GetParam();
        options.quirks.servicesResolvedBeforeExport = on;
        options.quirks.readEcho = on;
        options.quirks.writeInProgress = on;
        options.quirks.reenableNotifySessions = on;
        options.quirks.knownDevicesSendNoInterfacesAdded = on;
        restartStandIn(options);
    }
};

TEST_P(BluezAdapterQuirkTest, DiscoveryReadsWritesAndNotificationsGiveTheSimulatedRadiosEvents) {
    auto device = addPhone();
    makeCentral();
    auto peripheral = linkedPhone();
    ASSERT_NE(peripheral, nullptr);
    const std::string main = SimPhone::mainServiceUUID().UUIDString();
    const std::string ancs = SimPhone::notificationServiceUUID().UUIDString();
    ASSERT_EQ(eventsStartingWith("services ").size(), 1u);
    EXPECT_NE(eventsStartingWith("services ").front().find(main), std::string::npos);
    EXPECT_NE(eventsStartingWith("services ").front().find(ancs), std::string::npos);

    // A read gives one value event: BlueZ's echo of the value is not a notification.
    auto name = characteristic(peripheral, SimPhone::deviceNameUUID());
    ASSERT_NE(name, nullptr);
    peripheral->readValueForCharacteristic(name);
    ASSERT_TRUE(waitForEvent("value "));
    settle();
    EXPECT_EQ(eventsStartingWith("value ").size(), 1u);
    EXPECT_EQ(name->value(), Bytes({'i', 'P', 'h', 'o', 'n', 'e'}));

    // Writes back to back are carried out one at a time, never surfacing InProgress.
    auto consumer = characteristic(peripheral, SimPhone::consumerUUID());
    ASSERT_NE(consumer, nullptr);
    for (int i = 0; i < 3; ++i) peripheral->writeValue(Bytes{static_cast<std::uint8_t>(i)}, consumer, 0);
    ASSERT_TRUE(waitForEvent("written ", 3));
    for (const auto& line : eventsStartingWith("written ")) EXPECT_EQ(line, "written " + consumer->UUID().UUIDString() + " -");

    auto source = characteristic(peripheral, SimPhone::notificationSourceUUID());
    peripheral->setNotifyValue(true, source);
    ASSERT_TRUE(waitForEvent("notifying ")) << ::testing::PrintToString(standIn->calls()) << ::testing::PrintToString(recording->events);
    EXPECT_EQ(eventsStartingWith("notifying ").back(), "notifying " + source->UUID().UUIDString() + " on -");
}

INSTANTIATE_TEST_SUITE_P(QuirksOnAndOff, BluezAdapterQuirkTest, ::testing::Bool());

TEST_F(BluezAdapterTest, AGattCallThatNeverAnswersEndsInATimeoutEventAfterTheAdaptersLimit) {
    addPhone();
    BluezAdapter::Options options;
    options.pairingTimeout = 60;
    makeCentral(options);
    auto peripheral = linkedPhone();
    ASSERT_NE(peripheral, nullptr);
    standIn->setNeverAnswers("ReadValue");
    auto name = characteristic(peripheral, SimPhone::deviceNameUUID());
    peripheral->readValueForCharacteristic(name);
    advance(59, 1);
    EXPECT_TRUE(eventsStartingWith("value ").empty());
    advance(2, 1);
    ASSERT_TRUE(waitForEvent("value "));
    EXPECT_EQ(eventsStartingWith("value ").back(), "value " + name->UUID().UUIDString() + " none cb6");
}

TEST_F(BluezAdapterTest, AnObjectThatVanishesMidOperationEndsInADisconnectEvent) {
    addPhone();
    makeCentral();
    auto peripheral = linkedPhone();
    ASSERT_NE(peripheral, nullptr);
    standIn->setVanishesOnCall("ReadValue");
    peripheral->readValueForCharacteristic(characteristic(peripheral, SimPhone::deviceNameUUID()));
    ASSERT_TRUE(waitForEvent("disconnect "));
    settle();
    EXPECT_EQ(eventsStartingWith("disconnect "), (std::vector<std::string>{"disconnect iPhone cb7 state 0"}));
    EXPECT_TRUE(eventsStartingWith("value ").empty());
}

TEST_F(BluezAdapterTest, PropertiesOfTheWrongTypeOrMissingCountAsAbsent) {
    addPhone();
    standIn->setPropertyFault("org.bluez.Device1", "Name", StandInObjectTree::PropertyFault::WrongType);
    standIn->setPropertyFault("org.bluez.Device1", "RSSI", StandInObjectTree::PropertyFault::WrongType);
    makeCentral();
    central->scanForPeripheralsWithServices(std::nullopt, std::nullopt);
    advance(1);
    // Without a usable RSSI no advertisement can be told apart from a remembered device.
    EXPECT_TRUE(eventsStartingWith("discover ").empty());
    auto found = central->retrievePeripheralsWithIdentifiers({phoneIdentifier});
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found.front()->name(), std::nullopt);
}

TEST_F(BluezAdapterTest, ADeviceWithoutAnAddressIsIgnored) {
    addPhone();
    standIn->setPropertyFault("org.bluez.Device1", "Address", StandInObjectTree::PropertyFault::Missing);
    makeCentral();
    central->scanForPeripheralsWithServices(std::nullopt, std::nullopt);
    advance(1);
    EXPECT_TRUE(eventsStartingWith("discover ").empty());
    EXPECT_TRUE(central->retrievePeripheralsWithIdentifiers({phoneIdentifier}).empty());
}

// ---- Replacement and paired devices -----------------------------------------------------------

TEST_F(BluezAdapterTest, AReplacedCentralEndsItsLinksAndDeliversNothingMore) {
    addPhone();
    makeCentral();
    auto peripheral = linkedPhone();
    ASSERT_NE(peripheral, nullptr);
    auto second = std::make_shared<RecordingDelegate>(queue);
    const auto mark = recording->events.size();
    auto replacement = adapter->createCentral(second, queue);
    ASSERT_TRUE(pumpUntil([&] { return !second->events.empty(); }));
    ASSERT_TRUE(pumpUntil([&] { return standIn->callCount("Disconnect") == 1; }));
    advance(3);
    EXPECT_EQ(second->events, (std::vector<std::string>{"state 5"}));
    EXPECT_EQ(eventsSince(mark), std::vector<std::string>{});
    EXPECT_FALSE(central->isScanning());
}

TEST_F(BluezAdapterTest, PairedDevicesAreBluezsPairedListUnderTheirAlias) {
    addPhone();
    phone().advertisedName("Tablet").bonded(false).build();
    makeCentral();
    ASSERT_NE(discover("iPhone"), nullptr);
    ASSERT_TRUE(waitForEvent("discover Tablet"));
    const auto paired = adapter->pairedDevices();
    ASSERT_EQ(paired.size(), 1u);
    EXPECT_EQ(paired.front()->name(), "iPhone");
    EXPECT_TRUE(paired.front()->closeConnection());
}


// ---- Pairing ------------------------------------------------------------------------------------

class BluezAdapterPairingTest : public BluezAdapterTest {
protected:
    void SetUp() override {
        auto options = standInOptions();
        options.pairingPasskey = 42;
        restartStandIn(options);
        auto device = phone().bonded(false).acceptsPairing(true).build();
        phoneIdentifier = BluezCentralIdentifier(device->identifier());
    }
    // Subscribes to the encrypted Notification Source of the unbonded phone: BlueZ pairs
    // first, asking the default agent to confirm the passkey.
    std::string subscribeEncrypted() {
        auto peripheral = linkedPhone();
        if (!peripheral) return "no link";
        auto source = characteristic(peripheral, SimPhone::notificationSourceUUID());
        peripheral->setNotifyValue(true, source);
        if (!waitForEvent("notifying ")) return "no answer";
        return eventsStartingWith("notifying ").back();
    }
};

// The desktop's pairing dialog: answers at once, or holds the request.
class TestConfirmer : public PlatformPairingConfirmer {
public:
    enum class Mode { Accept, Reject, Hold };
    Mode mode = Mode::Accept;
    std::vector<std::string> requests;
    std::vector<std::function<void(bool)>> held;
    bool offMainThread = false;

    void confirmPairing(const std::optional<std::string>& name, const std::string& code,
                        std::function<void(bool)> reply) override {
        if (!RunLoop::main().isLoopThread()) offMainThread = true;
        requests.push_back(name.value_or("(null)") + " " + code);
        if (mode == Mode::Hold) held.push_back(std::move(reply));
        else reply(mode == Mode::Accept);
    }
};

TEST_F(BluezAdapterPairingTest, WithoutAConfirmerTheAgentRejects) {
    makeCentral();
    const std::string answer = subscribeEncrypted();
    EXPECT_EQ(answer, "notifying " + SimPhone::notificationSourceUUID().UUIDString() + " off att5");
    const std::string path = standIn->devicePath(radio->peripherals().front()->identifier());
    EXPECT_TRUE(logs.contains("[BLUEZ] Pairing with " + path + ": nobody to confirm passkey 000042, rejected"));
    EXPECT_FALSE(radio->peripherals().front()->isBonded());
}

TEST_F(BluezAdapterPairingTest, TheInstalledConfirmerDecidesWithTheDevicesNameAndSixDigits) {
    auto confirmer = std::make_shared<TestConfirmer>();
    PlatformAdapter::setPairingConfirmer(confirmer);
    struct Case {
        const char* label;
        TestConfirmer::Mode mode;
        const char* outcome;
    };
    for (const Case& c : {Case{"accepted", TestConfirmer::Mode::Accept, " on -"},
                          Case{"rejected", TestConfirmer::Mode::Reject, " off att5"}}) {
        SCOPED_TRACE(c.label);
        confirmer->mode = c.mode;
        confirmer->requests.clear();
        makeCentral();
        const std::string answer = subscribeEncrypted();
        EXPECT_EQ(answer, "notifying " + SimPhone::notificationSourceUUID().UUIDString() + c.outcome);
        EXPECT_EQ(confirmer->requests, std::vector<std::string>{"iPhone 000042"});
        EXPECT_EQ(radio->peripherals().front()->isBonded(), c.mode == TestConfirmer::Mode::Accept);
        central.reset();
        adapter.reset();
        recording->events.clear();
        radio->peripherals().front()->setBonded(false);
        pumpUntil([] { return false; }, 50ms);
    }
    EXPECT_FALSE(confirmer->offMainThread);
    PlatformAdapter::setPairingConfirmer(nullptr);
}

TEST_F(BluezAdapterPairingTest, AConfirmationNobodyAnswersIsCanceledBeforeBluetoothdGivesUp) {
    auto confirmer = std::make_shared<TestConfirmer>();
    confirmer->mode = TestConfirmer::Mode::Hold;
    PlatformAdapter::setPairingConfirmer(confirmer);
    makeCentral();
    auto peripheral = linkedPhone();
    ASSERT_NE(peripheral, nullptr);
    peripheral->setNotifyValue(true, characteristic(peripheral, SimPhone::notificationSourceUUID()));
    ASSERT_TRUE(pumpUntil([&] { return confirmer->held.size() == 1; }));
    advance(57.5, 0.5);
    EXPECT_TRUE(eventsStartingWith("notifying ").empty());
    ASSERT_TRUE(advanceUntil([&] { return !eventsStartingWith("notifying ").empty(); }, 1.0));
    EXPECT_EQ(eventsStartingWith("notifying ").back(),
              "notifying " + SimPhone::notificationSourceUUID().UUIDString() + " off att5");
    const std::string path = standIn->devicePath(radio->peripherals().front()->identifier());
    EXPECT_TRUE(logs.contains("[BLUEZ] Pairing with " + path + ": no answer in time, cancelled"));
    // The user's late answer goes nowhere.
    confirmer->held.front()(true);
    settle();
    EXPECT_FALSE(radio->peripherals().front()->isBonded());
    PlatformAdapter::setPairingConfirmer(nullptr);
}

// ---- Advertising and incoming links -------------------------------------------------------------

class BluezAdapterAdvertisingTest : public BluezAdapterTest {
protected:
    void advertise(const std::string& name, std::vector<UUID> solicited = {SimPhone::notificationServiceUUID()}) {
        const auto before = eventsStartingWith("advertising ").size();
        central->startAdvertising(name, solicited);
        ASSERT_TRUE(waitForEvent("advertising ", before + 1));
    }
    std::string lastAdvertisingEvent() const { return eventsStartingWith("advertising ").back(); }
    static std::string ancsText() { return "7905f431-b5ce-4e99-a40f-4b1e122d00d0"; }
};

TEST_F(BluezAdapterAdvertisingTest, TheAdvertisementIsWhatBluetoothdReadsAndGoesWhenStopped) {
    makeCentral();
    advertise("Desk");
    EXPECT_EQ(lastAdvertisingEvent(), "advertising -");
    EXPECT_TRUE(central->isAdvertising());
    // What bluetoothd read from the exported LEAdvertisement1 object.
    const QVariantMap read = standIn->advertisementProperties();
    EXPECT_EQ(describeValue(read.value("Type")), "peripheral");
    EXPECT_EQ(describeValue(read.value("LocalName")), "Desk");
    EXPECT_EQ(describeValue(read.value("SolicitUUIDs")), ancsText());
    EXPECT_EQ(describeValue(read.value("Includes")), "");
    EXPECT_FALSE(read.contains("ServiceUUIDs"));
    EXPECT_TRUE(standIn->isAdvertising());
    EXPECT_EQ(standIn->advertisedSolicitedServices(), std::vector<UUID>{SimPhone::notificationServiceUUID()});

    // Starting again replaces it; stopping withdraws it, with no event.
    advertise("Desk 2");
    EXPECT_EQ(standIn->advertisedName(), "Desk 2");
    EXPECT_EQ(standIn->callCount("UnregisterAdvertisement"), 1u);
    central->stopAdvertising();
    EXPECT_FALSE(central->isAdvertising());
    ASSERT_TRUE(pumpUntil([&] { return standIn->advertisementCount() == 0 && !standIn->isAdvertising(); }));
    EXPECT_EQ(standIn->callCount("UnregisterAdvertisement"), 2u);
    EXPECT_EQ(eventsStartingWith("advertising ").size(), 2u);
}

TEST_F(BluezAdapterAdvertisingTest, ANameTooLongForTheScanResponseIsCutBetweenCharacters) {
    // 28 bytes, then a two-byte character: 30 bytes, one more than the scan response holds.
    const std::string name = std::string(28, 'a') + "\xC3\xBC";
    EXPECT_EQ(BluezAdvertisement::shortenedName(name).toStdString(), std::string(28, 'a'));
    EXPECT_EQ(BluezAdvertisement::shortenedName("Desk").toStdString(), "Desk");
    makeCentral();
    advertise(name);
    EXPECT_EQ(lastAdvertisingEvent(), "advertising -");
    EXPECT_EQ(standIn->advertisedName(), std::string(28, 'a'));
}

TEST_F(BluezAdapterAdvertisingTest, RefusalsReachTheContractAsCentralErrors) {
    // Two 128-bit solicitations do not fit the 31 bytes beside the flags.
    makeCentral();
    advertise("Desk", {SimPhone::notificationServiceUUID(), SimPhone::mainServiceUUID()});
    EXPECT_EQ(lastAdvertisingEvent(), "advertising cb1");
    EXPECT_FALSE(central->isAdvertising());
    // The controller refuses the data.
    radio->failNextAdvertising(PlatformError::centralError(CBErrorOperationNotSupported));
    advertise("Desk");
    EXPECT_EQ(lastAdvertisingEvent(), "advertising cb0");
    EXPECT_TRUE(logs.contains("[BLUEZ] RegisterAdvertisement failed: org.bluez.Error.Failed Failed to register advertisement"));
    EXPECT_FALSE(central->isAdvertising());
    EXPECT_FALSE(standIn->isAdvertising());
    // No room for another advertisement.
    central.reset();
    adapter.reset();
    auto options = standInOptions();
    options.advertisingInstances = 0;
    restartStandIn(options);
    recording->events.clear();
    makeCentral();
    advertise("Desk");
    EXPECT_EQ(lastAdvertisingEvent(), "advertising cb4");
}

TEST_F(BluezAdapterAdvertisingTest, AdvertisingEndsWithTheAdapterAndIsNotRegisteredAgainUnasked) {
    makeCentral();
    advertise("Desk");
    // Powered off: withdrawn.
    standIn->setPowered(false);
    ASSERT_TRUE(waitForEvent("state 4"));
    EXPECT_FALSE(central->isAdvertising());
    ASSERT_TRUE(pumpUntil([&] { return standIn->callCount("UnregisterAdvertisement") == 1; }));
    standIn->setPowered(true);
    ASSERT_TRUE(waitForEvent("state 5"));
    settle();
    EXPECT_EQ(standIn->callCount("RegisterAdvertisement"), 1u);

    // bluetoothd exits: it releases the advertisement; after it is back nothing is
    // registered until asked.
    advertise("Desk");
    standIn->stop();
    ASSERT_TRUE(waitForEvent("state 1"));
    EXPECT_TRUE(logs.contains("[BLUEZ] bluetoothd released the advertisement /org/tandril/advertisement2"));
    EXPECT_FALSE(central->isAdvertising());
    ASSERT_TRUE(standIn->start());
    ASSERT_TRUE(waitForEvent("state 5", 3));
    settle();
    EXPECT_EQ(standIn->callCount("RegisterAdvertisement"), 2u);
    EXPECT_EQ(standIn->advertisementCount(), 0u);
}

TEST_F(BluezAdapterAdvertisingTest, APhoneThatConnectsWhileWeAdvertiseIsAnIncomingLink) {
    auto confirmer = std::make_shared<TestConfirmer>();
    PlatformAdapter::setPairingConfirmer(confirmer);
    auto iphone = phone().stockIPhone().advertisedName("Anna's iPhone").build();
    phoneIdentifier = BluezCentralIdentifier(iphone->identifier());
    makeCentral();
    advertise("Desk");
    ASSERT_TRUE(iphone->tap());
    ASSERT_TRUE(waitForEvent("incoming "));
    // Linked, named from Alias, and paired through the agent with the phone's code.
    EXPECT_EQ(eventsStartingWith("incoming ").front(), "incoming Anna's iPhone state 2");
    auto linked = central->retrievePeripheralsWithIdentifiers({phoneIdentifier});
    ASSERT_EQ(linked.size(), 1u);
    auto peripheral = linked.front();
    EXPECT_TRUE(pumpUntil([&] { return iphone->isBonded(); }));
    EXPECT_EQ(confirmer->requests, std::vector<std::string>{"Anna's iPhone 314159"});
    // Its services come from bluetoothd's discovery of the phone.
    peripheral->setDelegate(recording);
    peripheral->discoverServices(std::nullopt);
    ASSERT_TRUE(waitForEvent("services "));
    EXPECT_EQ(eventsStartingWith("services ").front(),
              "services " + SimPhone::notificationServiceUUID().UUIDString() + " -");
    // Ending it is Device1.Disconnect; the event comes once BlueZ's link is down.
    central->cancelPeripheralConnection(peripheral);
    ASSERT_TRUE(advanceUntil([&] { return !eventsStartingWith("disconnect ").empty(); }, 5));
    EXPECT_EQ(eventsStartingWith("disconnect ").front(), "disconnect Anna's iPhone - state 0");
    EXPECT_EQ(standIn->callCount("Disconnect"), 1u);
    EXPECT_FALSE(iphone->isLinked());

    // Not advertising: a link that another program's advertisement brought is none of ours.
    central->stopAdvertising();
    settle();
    ASSERT_TRUE(iphone->connectIncoming());
    ASSERT_TRUE(pumpUntil([&] { return iphone->isLinked(); }));
    settle();
    EXPECT_EQ(eventsStartingWith("incoming ").size(), 1u);
    EXPECT_EQ(peripheral->state(), CBPeripheralStateDisconnected);
    PlatformAdapter::setPairingConfirmer(nullptr);
}

TEST_F(BluezAdapterAdvertisingTest, AClassicDeviceLinkedWhileWeAdvertiseIsNoIncomingPhone) {
    // Headphones known over BR/EDR that reconnect while the desktop advertises.
    auto headphones = SimPeripheral::create(std::string("Headphones"));
    radio->addPeripheral(headphones);
    standIn->setClassOfDevice(headphones->identifier(), 0x240404);
    // A phone that connects meanwhile is still one.
    auto iphone = phone().stockIPhone().advertisedName("Anna's iPhone").build();
    makeCentral();
    advertise("Desk");
    ASSERT_TRUE(headphones->connectIncoming());
    ASSERT_TRUE(pumpUntil([&] { return headphones->isLinked(); }));
    ASSERT_TRUE(iphone->tap());
    ASSERT_TRUE(waitForEvent("incoming "));
    settle();
    EXPECT_EQ(eventsStartingWith("incoming "), std::vector<std::string>{"incoming Anna's iPhone state 2"});
    EXPECT_TRUE(headphones->isLinked());
}

// ---- Errors -------------------------------------------------------------------------------------

TEST(BluezErrorsTest, BluezAnswersMapToTheContractsCodesKeepingTheOriginalName) {
    struct Case {
        const char* name;
        const char* message;
        const char* domain;
        int code;
    };
    const Case cases[] = {
        {"org.bluez.Error.NotPermitted", "Read not permitted", CBATTErrorDomain, 2},
        {"org.bluez.Error.NotPermitted", "Write not permitted", CBATTErrorDomain, 3},
        {"org.bluez.Error.NotPermitted", "Not paired", CBATTErrorDomain, 5},
        {"org.bluez.Error.NotAuthorized", "", CBATTErrorDomain, 8},
        {"org.bluez.Error.NotSupported", "", CBATTErrorDomain, 6},
        {"org.bluez.Error.InvalidArguments", "Invalid offset", CBATTErrorDomain, 7},
        {"org.bluez.Error.InvalidArguments", "Invalid Length", CBATTErrorDomain, 0x0D},
        {"org.bluez.Error.Failed", "Operation failed with ATT error: 0xa2", CBATTErrorDomain, 0xA2},
        {"org.bluez.Error.Failed", "Operation failed with ATT error: 0x0e", CBATTErrorDomain, 0x0E},
        {"org.bluez.Error.Failed", "Operation failed with ATT error: 0xzz", CBErrorDomain, 0},
        {"org.bluez.Error.Failed", "Something local", CBErrorDomain, 0},
        {"org.bluez.Error.Failed", "Not connected", CBErrorDomain, 3},
        {"org.freedesktop.DBus.Error.UnknownObject", "", CBErrorDomain, 2},
        {"org.freedesktop.DBus.Error.NoReply", "", CBErrorDomain, 6},
        {"org.example.Unheard", "", CBErrorDomain, 0},
    };
    for (const auto& c : cases) {
        const auto error = BluezErrors::gattError(c.name, c.message);
        EXPECT_EQ(error->domain(), c.domain) << c.name << " " << c.message;
        EXPECT_EQ(error->code(), c.code) << c.name << " " << c.message;
        EXPECT_EQ(error->userInfo().at(BluezErrorNameKey), Value(c.name));
        EXPECT_EQ(error->userInfo().at(BluezErrorMessageKey), Value(c.message));
    }
}

TEST(BluezErrorsTest, CollisionsRetryAndAGoneLinkIsLeftToTheDisconnectEvent) {
    using D = BluezErrors::Disposition;
    EXPECT_EQ(BluezErrors::gattDisposition("org.bluez.Error.InProgress", "", true), D::Retry);
    EXPECT_EQ(BluezErrors::gattDisposition("org.bluez.Error.Failed", "Not connected", false), D::LinkGone);
    EXPECT_EQ(BluezErrors::gattDisposition("org.bluez.Error.Failed", "Not connected", true), D::Report);
    EXPECT_EQ(BluezErrors::gattDisposition("org.freedesktop.DBus.Error.UnknownObject", "", false), D::LinkGone);
    EXPECT_EQ(BluezErrors::connectError("org.bluez.Error.Failed", "le-connection-abort-by-local")->code(), 10);
    EXPECT_EQ(BluezErrors::connectError("org.freedesktop.DBus.Error.NoReply", "")->code(), 6);
    EXPECT_TRUE(BluezErrors::isRetryableConnectFailure("org.bluez.Error.Failed", "le-connection-abort-by-local"));
    EXPECT_TRUE(BluezErrors::isConnectCancelled("org.bluez.Error.Failed", "br-connection-canceled"));
    EXPECT_EQ(BluezErrors::parseATTCode("Operation failed with ATT error: 0x123"), -1);
}

}  // namespace
}  // namespace tandril::test
