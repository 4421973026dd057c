#include "sim/SimRadio.hpp"

#include <gtest/gtest.h>

#include <future>

#include "ble/platform/PlatformConstants.hpp"
#include "ble/platform/PlatformError.hpp"
#include "foundation/DispatchQueue.hpp"
#include "sim/RecordingDelegate.hpp"
#include "sim/SimCentral.hpp"
#include "sim/SimCharacteristic.hpp"
#include "sim/SimClassicDevice.hpp"
#include "sim/SimPeripheral.hpp"
#include "sim/SimService.hpp"
#include "foundation/VirtualRunLoop.hpp"
#include "support/LoopFixture.hpp"

namespace tandril::test {
namespace {

using Lines = std::vector<std::string>;

const UUID kService = UUID::from16(0x180A);
const UUID kOther = UUID::from16(0x180F);

class SimRadioTest : public LoopFixture {
protected:
    SimRadioTest()
        : radio(SimRadio::create()),
          queue(DispatchQueue::create("events")),
          delegate(std::make_shared<RecordingDelegate>(queue)),
          central(radio->createCentral(delegate, queue)),
          phone(addDevice("Phone")) {
        runUntilIdle();
        delegate->events.clear();
    }

    std::shared_ptr<SimPeripheral> addDevice(const std::string& name) {
        auto device = SimPeripheral::create(name);
        auto service = device->addService(kService);
        service->addCharacteristic(UUID::from16(0x0001), CBCharacteristicPropertyRead, CBAttributePermissionsReadable,
                                   Bytes{0x0A});
        service->addCharacteristic(UUID::from16(0x0002), CBCharacteristicPropertyRead,
                                   CBAttributePermissionsReadEncryptionRequired, Bytes{0x0B});
        service->addCharacteristic(UUID::from16(0x0003), CBCharacteristicPropertyWrite,
                                   CBAttributePermissionsWriteable);
        service->addCharacteristic(UUID::from16(0x0004), CBCharacteristicPropertyNotifyEncryptionRequired,
                                   CBAttributePermissionsReadEncryptionRequired);
        device->addService(kOther);
        device->setDelegate(delegate);
        radio->addPeripheral(device);
        return device;
    }

    std::shared_ptr<SimCharacteristic> characteristic(std::uint16_t uuid) {
        return phone->characteristic(kService, UUID::from16(uuid));
    }

    void link() {
        central->connectPeripheral(phone, std::nullopt);
        runUntilIdle();
        delegate->events.clear();
    }

    Lines take() {
        runUntilIdle();
        Lines lines = std::move(delegate->events);
        delegate->events.clear();
        return lines;
    }

    std::shared_ptr<SimRadio> radio;
    std::shared_ptr<DispatchQueue> queue;
    std::shared_ptr<RecordingDelegate> delegate;
    std::shared_ptr<PlatformCentral> central;
    std::shared_ptr<SimPeripheral> phone;
};

TEST_F(SimRadioTest, EveryAnswerIsAnEventOnTheQueue) {
    central->connectPeripheral(phone, std::nullopt);
    EXPECT_TRUE(delegate->events.empty());
    EXPECT_EQ(take(), (Lines{"connect Phone state 2"}));
    phone->discoverServices(std::nullopt);
    phone->readRSSI();
    EXPECT_TRUE(delegate->events.empty());
    EXPECT_EQ(take(), (Lines{"services 180A 180F -", "rssi -50 -"}));
}

TEST_F(SimRadioTest, ConnectingALinkedDeviceStillReportsAConnection) {
    link();
    central->connectPeripheral(phone, std::nullopt);
    EXPECT_EQ(take(), (Lines{"connect Phone state 2"}));
    EXPECT_EQ(phone->connectRequestCount(), 2u);
}

TEST_F(SimRadioTest, DroppedLinkReadsDisconnectedAndSwallowsWhatWasInFlight) {
    link();
    phone->discoverServices(std::nullopt);
    runUntilIdle();
    phone->discoverCharacteristics(std::nullopt, phone->service(kService));
    runUntilIdle();
    delegate->events.clear();
    phone->setLatency(SimOperation::Read, seconds(1));
    phone->readValueForCharacteristic(characteristic(0x0001));
    advance(0.5);
    phone->dropLink();
    advance(2);
    EXPECT_EQ(take(), (Lines{"disconnect Phone cb7 state 0"}));
    EXPECT_FALSE(phone->isLinked());
}

TEST_F(SimRadioTest, NotificationInFlightIsLostWhenTheLinkDrops) {
    phone->setBonded(true);
    link();
    auto source = characteristic(0x0004);
    EXPECT_FALSE(phone->notify(source, Bytes{1}));  // not subscribed yet
    phone->setNotifyValue(true, source);
    EXPECT_EQ(take(), (Lines{"notifying 0004 on -"}));
    EXPECT_TRUE(phone->notify(source, Bytes{1}));
    EXPECT_TRUE(phone->notify(source, Bytes{2}, seconds(3)));
    advance(1);
    phone->setInRange(false);
    advance(5);
    EXPECT_EQ(take(), (Lines{"value 0004 01 -", "disconnect Phone cb6 state 0"}));
    EXPECT_FALSE(source->isNotifying());
}

TEST_F(SimRadioTest, NewCentralReportsItsStateAndTheOldOneFallsSilent) {
    link();
    phone->setLatency(SimOperation::ReadRSSI, seconds(1));
    phone->readRSSI();
    auto second = std::make_shared<RecordingDelegate>(queue);
    auto replacement = radio->createCentral(second, queue);
    advance(2);
    EXPECT_TRUE(take().empty());
    EXPECT_EQ(second->events, (Lines{"state 5"}));
    EXPECT_EQ(phone->state(), CBPeripheralStateDisconnected);
    EXPECT_EQ(radio->central(), replacement);

    central->connectPeripheral(phone, std::nullopt);  // the old central is inert
    runUntilIdle();
    EXPECT_EQ(phone->state(), CBPeripheralStateDisconnected);
}

TEST_F(SimRadioTest, EncryptedAccessNeedsABond) {
    link();
    phone->readValueForCharacteristic(characteristic(0x0002));
    phone->setNotifyValue(true, characteristic(0x0004));
    phone->readValueForCharacteristic(characteristic(0x0001));
    EXPECT_EQ(take(), (Lines{"value 0002 none att5", "notifying 0004 off att5", "value 0001 0a -"}));
    EXPECT_FALSE(phone->isLinkEncrypted());

    phone->setAcceptsPairing(true);
    phone->readValueForCharacteristic(characteristic(0x0002));
    EXPECT_EQ(take(), (Lines{"value 0002 0b -"}));
    EXPECT_TRUE(phone->isBonded());
    EXPECT_TRUE(phone->isLinkEncrypted());
}

TEST_F(SimRadioTest, BondedDeviceEncryptsOnDemandAfterEveryConnect) {
    phone->setBonded(true);
    link();
    EXPECT_FALSE(phone->isLinkEncrypted());
    phone->readValueForCharacteristic(characteristic(0x0002));
    EXPECT_EQ(take(), (Lines{"value 0002 0b -"}));
    EXPECT_TRUE(phone->isLinkEncrypted());
}

TEST_F(SimRadioTest, LatencyIsPerOperation) {
    link();
    phone->setLatency(SimOperation::Read, seconds(2));
    phone->setLatency(SimOperation::Write, seconds(1));
    phone->readValueForCharacteristic(characteristic(0x0001));
    phone->writeValue(Bytes{7}, characteristic(0x0003), CBCharacteristicWriteWithResponse);
    advance(1);
    EXPECT_EQ(take(), (Lines{"written 0003 -"}));
    EXPECT_EQ(characteristic(0x0003)->storedValue(), Bytes{7});
    advance(1);
    EXPECT_EQ(take(), (Lines{"value 0001 0a -"}));
}

TEST_F(SimRadioTest, ScriptedConnectFaults) {
    phone->setConnectNeverAnswers(true);
    central->connectPeripheral(phone, std::nullopt);
    advance(60);
    EXPECT_TRUE(take().empty());
    EXPECT_EQ(phone->state(), CBPeripheralStateConnecting);
    central->cancelPeripheralConnection(phone);
    EXPECT_EQ(take(), (Lines{"disconnect Phone - state 0"}));

    phone->setConnectNeverAnswers(false);
    phone->setConnectFailure(PlatformError::centralError(CBErrorConnectionFailed));
    central->connectPeripheral(phone, std::nullopt);
    EXPECT_EQ(take(), (Lines{"fail Phone cb10"}));

    phone->setConnectFailure(nullptr);
    phone->failNext(SimOperation::Connect, PlatformError::centralError(CBErrorConnectionTimeout));
    central->connectPeripheral(phone, std::nullopt);
    central->connectPeripheral(phone, std::nullopt);
    EXPECT_EQ(take(), (Lines{"fail Phone cb6"}));  // the retry replaced the failing attempt
}

TEST_F(SimRadioTest, CancelledConnectIsReportedBeforeTheNextConnect) {
    phone->setConnectNeverAnswers(true);
    phone->setLatency(SimOperation::Disconnect, seconds(3));
    central->connectPeripheral(phone, std::nullopt);
    central->cancelPeripheralConnection(phone);
    phone->setConnectNeverAnswers(false);
    central->connectPeripheral(phone, std::nullopt);
    EXPECT_EQ(take(), (Lines{"disconnect Phone - state 1", "connect Phone state 2"}));
    advance(5);
    EXPECT_TRUE(take().empty());  // reported once
    EXPECT_TRUE(phone->isLinked());
}

TEST_F(SimRadioTest, OutOfRangeConnectWaitsForTheDevice) {
    phone->setInRange(false);
    central->connectPeripheral(phone, std::nullopt);
    advance(30);
    EXPECT_TRUE(take().empty());
    phone->setInRange(true);
    EXPECT_EQ(take(), (Lines{"connect Phone state 2"}));
}

TEST_F(SimRadioTest, ScriptedOperationFaultsAndStaleCache) {
    link();
    phone->setStaleServiceCache(std::vector<UUID>{kOther});
    phone->discoverServices(std::nullopt);
    EXPECT_EQ(take(), (Lines{"services 180F -"}));
    phone->setStaleServiceCache(std::nullopt);
    phone->discoverServices(std::vector<UUID>{kService});
    EXPECT_EQ(take(), (Lines{"services 180A 180F -"}));

    phone->failNext(SimOperation::Write, PlatformError::attError(CBATTErrorWriteNotPermitted), UUID::from16(0x0001));
    phone->writeValue(Bytes{1}, characteristic(0x0003), CBCharacteristicWriteWithResponse);
    phone->writeValue(Bytes{1}, characteristic(0x0001), CBCharacteristicWriteWithResponse);
    phone->failNext(SimOperation::DiscoverCharacteristics, PlatformError::centralError(CBErrorUnknown));
    phone->discoverCharacteristics(std::nullopt, phone->service(kService));
    EXPECT_EQ(take(), (Lines{"written 0003 -", "written 0001 att3", "characteristics cb0"}));
}

TEST_F(SimRadioTest, ScanFiltersAndDuplicates) {
    auto watch = addDevice("Watch");
    phone->setAdvertisedServiceUUIDs({kService});
    watch->setSolicitedServiceUUIDs({kOther});
    phone->setSignalStrength(-40);

    central->scanForPeripheralsWithServices(std::vector<UUID>{kService}, std::nullopt);
    radio->advertise(phone);
    radio->advertise(watch);
    EXPECT_EQ(take(), (Lines{"discover Phone -40"}));

    Dictionary options{{CBCentralManagerScanOptionSolicitedServiceUUIDsKey, Array{Value(kOther.UUIDString())}},
                       {CBCentralManagerScanOptionAllowDuplicatesKey, true}};
    central->scanForPeripheralsWithServices(std::vector<UUID>{kService}, options);
    radio->advertise(phone, -70);
    EXPECT_EQ(take(), (Lines{"discover Phone -40", "discover Watch -50", "discover Phone -70"}));

    central->stopScan();
    radio->advertise(phone);
    EXPECT_TRUE(take().empty());
    EXPECT_FALSE(central->isScanning());
}

TEST_F(SimRadioTest, RepeatedAdvertisementsOnlyWithDuplicates) {
    phone->setAdvertisingInterval(seconds(1));
    central->scanForPeripheralsWithServices(std::nullopt,
                                            Dictionary{{CBCentralManagerScanOptionAllowDuplicatesKey, true}});
    advance(2.5);
    EXPECT_EQ(take(), (Lines{"discover Phone -50", "discover Phone -50", "discover Phone -50"}));
    central->scanForPeripheralsWithServices(std::nullopt, std::nullopt);
    advance(3);
    EXPECT_EQ(take(), (Lines{"discover Phone -50"}));
    phone->setAdvertising(false);
    central->scanForPeripheralsWithServices(std::nullopt, std::nullopt);
    EXPECT_TRUE(take().empty());
}

TEST_F(SimRadioTest, AdvertisementCarriesNameAndServices) {
    phone->setAdvertisedServiceUUIDs({kService});
    const Dictionary data = phone->advertisementData();
    EXPECT_EQ(data.at(CBAdvertisementDataLocalNameKey), Value("Phone"));
    EXPECT_EQ(data.at(CBAdvertisementDataServiceUUIDsKey), Value(Array{Value("180A")}));
}

TEST_F(SimRadioTest, PoweringOffDropsLinksThenReportsTheState) {
    link();
    central->scanForPeripheralsWithServices(std::nullopt, std::nullopt);
    runUntilIdle();
    delegate->events.clear();
    radio->setState(CBCentralManagerStatePoweredOff);
    EXPECT_EQ(central->state(), CBCentralManagerStatePoweredOff);
    EXPECT_EQ(take(), (Lines{"disconnect Phone cb7 state 0", "state 4"}));
    radio->setState(CBCentralManagerStatePoweredOff);  // no change, no report
    EXPECT_TRUE(take().empty());
}

TEST_F(SimRadioTest, AScanOutlivesThePowerOffAndRunsAgainAfterThePowerOnReport) {
    central->scanForPeripheralsWithServices(std::nullopt, std::nullopt);
    EXPECT_EQ(take(), (Lines{"discover Phone -50"}));
    radio->setState(CBCentralManagerStatePoweredOff);
    EXPECT_TRUE(central->isScanning());
    radio->advertise(phone);  // nothing is heard while off
    EXPECT_EQ(take(), (Lines{"state 4"}));
    radio->setState(CBCentralManagerStatePoweredOn);
    EXPECT_EQ(take(), (Lines{"state 5", "discover Phone -50"}));

    // Asked for while off: starts with the power-on. Stopped while off: stays stopped.
    radio->setState(CBCentralManagerStateResetting);
    central->stopScan();
    central->scanForPeripheralsWithServices(std::nullopt, std::nullopt);
    EXPECT_TRUE(central->isScanning());
    radio->setState(CBCentralManagerStatePoweredOn);
    EXPECT_EQ(take(), (Lines{"state 1", "state 5", "discover Phone -50"}));
    radio->setState(CBCentralManagerStatePoweredOff);
    central->stopScan();
    radio->setState(CBCentralManagerStatePoweredOn);
    EXPECT_EQ(take(), (Lines{"state 4", "state 5"}));
    EXPECT_FALSE(central->isScanning());
}

TEST_F(SimRadioTest, PairedDevicesAndClosingTheirConnection) {
    auto paired = radio->addPairedDevice("Anna's iPhone", phone);
    radio->addPairedDevice("Headphones");
    auto list = radio->pairedDevices();
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0]->name(), "Anna's iPhone");
    EXPECT_EQ(list[1]->name(), "Headphones");
    link();
    EXPECT_TRUE(list[0]->closeConnection());
    EXPECT_EQ(paired->closeConnectionCount(), 1u);
    EXPECT_EQ(take(), (Lines{"disconnect Phone cb7 state 0"}));
}

TEST_F(SimRadioTest, RetrievalByIdentifierAndByConnectedService) {
    auto watch = addDevice("Watch");
    auto found = central->retrievePeripheralsWithIdentifiers({watch->identifier(), UUID::random(), phone->identifier()});
    EXPECT_EQ(found, (std::vector<std::shared_ptr<PlatformPeripheral>>{watch, phone}));
    EXPECT_TRUE(central->retrieveConnectedPeripheralsWithServices({kService}).empty());
    watch->setConnectedToSystem(true);
    link();
    EXPECT_EQ(central->retrieveConnectedPeripheralsWithServices({kOther}),
              (std::vector<std::shared_ptr<PlatformPeripheral>>{phone, watch}));
}

// A device that answers a write on one characteristic with two notifications on another,
// and greets each subscription with a notification.
class EchoDevice : public SimPeripheral {
public:
    static std::shared_ptr<EchoDevice> create() {
        std::shared_ptr<EchoDevice> device(new EchoDevice());
        auto service = device->addService(kService);
        device->command = service->addCharacteristic(UUID::from16(0x0010), CBCharacteristicPropertyWrite,
                                                     CBAttributePermissionsWriteable);
        device->answer = service->addCharacteristic(UUID::from16(0x0011), CBCharacteristicPropertyNotify,
                                                    CBAttributePermissionsReadable);
        return device;
    }

    std::shared_ptr<SimCharacteristic> command, answer;

protected:
    EchoDevice() : SimPeripheral(std::string("Echo"), UUID::random()) {}

    ErrorPtr handleWrite(SimCharacteristic&, const Bytes& data, bool) override {
        if (data.empty()) return PlatformError::attError(ANCSErrorInvalidCommand);
        return nullptr;
    }
    void didWrite(SimCharacteristic&, const Bytes& data) override {
        notify(answer, Bytes{data[0]});
        notify(answer, Bytes{static_cast<std::uint8_t>(data[0] + 1)}, seconds(1));
    }
    void didSetNotify(SimCharacteristic& characteristic, bool enabled) override {
        if (enabled) notify(std::static_pointer_cast<SimCharacteristic>(characteristic.shared_from_this()), Bytes{0});
    }
};

TEST_F(SimRadioTest, DeviceHooksAnswerAfterTheOperationsOwnEvent) {
    auto echo = EchoDevice::create();
    echo->setDelegate(delegate);
    radio->addPeripheral(echo);
    central->connectPeripheral(echo, std::nullopt);
    runUntilIdle();
    delegate->events.clear();
    echo->setNotifyValue(true, echo->answer);
    echo->writeValue(Bytes{5}, echo->command, CBCharacteristicWriteWithResponse);
    echo->writeValue(Bytes{}, echo->command, CBCharacteristicWriteWithResponse);
    EXPECT_EQ(take(), (Lines{"notifying 0011 on -", "written 0010 -", "written 0010 att161", "value 0011 00 -",
                             "value 0011 05 -"}));
    advance(1);
    EXPECT_EQ(take(), (Lines{"value 0011 06 -"}));
    EXPECT_EQ(echo->answer->value(), Bytes{6});
    EXPECT_EQ(echo->command->writtenValues(), (std::vector<Bytes>{Bytes{5}, Bytes{}}));
}

TEST(SimRadioThreadTest, ThreadedEventQueueReadsStateWhileTheMainThreadChangesIt) {
    VirtualRunLoop loop;
    RunLoop::setMain(&loop);
    {
        auto radio = SimRadio::create();
        auto queue = DispatchQueue::createThreaded("events");
        auto delegate = std::make_shared<RecordingDelegate>(queue);
        auto central = radio->createCentral(delegate, queue);
        auto device = SimPeripheral::create(std::string("Phone"));
        device->setDelegate(delegate);
        radio->addPeripheral(device);
        for (int i = 0; i < 200; ++i) {
            radio->setState(i % 2 ? CBCentralManagerStatePoweredOn : CBCentralManagerStatePoweredOff);
            central->connectPeripheral(device, std::nullopt);
            loop.runUntilIdle();
        }
        std::promise<void> drained;
        queue->async([&drained] { drained.set_value(); });
        drained.get_future().wait();
        ASSERT_EQ(delegate->events.front(), "state 5");
        for (const auto& line : delegate->events) EXPECT_EQ(line.find("off the queue"), std::string::npos) << line;
        EXPECT_EQ(delegate->events.back(), "connect Phone state 2");
    }
    RunLoop::setMain(nullptr);
}

}  // namespace
}  // namespace tandril::test
