#include "ble/LGUtils.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "ble/LGDelayedBlock.hpp"
#include "ble/RadioFixture.hpp"

namespace tandril::test {
namespace {

const std::string kService = "180A";
const std::string kMissingService = "180F";

class LGUtilsTest : public RadioFixture {
protected:
    void SetUp() override {
        device = addDevice("Phone");
        wrapper = connected(device);
    }

    static void expectError(const ErrorPtr& error, const std::string& domain, std::int64_t code,
                            const std::string& message) {
        ASSERT_TRUE(error);
        EXPECT_EQ(error->domain(), domain);
        EXPECT_EQ(error->code(), code);
        EXPECT_EQ(error->userInfo(), (Dictionary{{"msg", message}}));
    }

    std::shared_ptr<SimPeripheral> device;
    std::shared_ptr<LGPeripheral> wrapper;
};

TEST_F(LGUtilsTest, MissingServiceIsReportedInTheDomainOfEachOperation) {
    // One at a time: each discovery takes the peripheral's single discovery slot.
    std::vector<ErrorPtr> errors;
    LGUtils::writeData(Bytes{1}, "2A2B", kMissingService, wrapper, [&](const ErrorPtr& e) { errors.push_back(e); });
    runUntilIdle();
    LGUtils::readDataFromCharactUUID("2A29", kMissingService, wrapper,
                                     [&](const std::optional<Bytes>& value, const ErrorPtr& e) {
                                         EXPECT_FALSE(value);
                                         errors.push_back(e);
                                     });
    runUntilIdle();
    LGUtils::discoverCharactUUID("2A29", kMissingService, wrapper,
                                 [&](const std::shared_ptr<LGCharacteristic>& c, const ErrorPtr& e) {
                                     EXPECT_FALSE(c);
                                     errors.push_back(e);
                                 });
    runUntilIdle();
    ASSERT_EQ(errors.size(), 3u);
    const std::string message = "Provided service UUID doesn't exist in provided pheripheral";
    expectError(errors[0], "LGUtilsWriteErrorDomain", 410, message);
    expectError(errors[1], "LGUtilsReadErrorDomain", 410, message);
    expectError(errors[2], "LGUtilsDiscoverErrorDomain", 410, message);
}

TEST_F(LGUtilsTest, MissingCharacteristicDependsOnTheDiscoveredList) {
    ErrorPtr readError;
    bool lookedUp = false;
    std::shared_ptr<LGCharacteristic> found;
    ErrorPtr lookUpError;
    LGUtils::readDataFromCharactUUIDReadyPeripheral(
        "2A99", kService, wrapper, [&](const std::optional<Bytes>&, const ErrorPtr& e) { readError = e; });
    runUntilIdle();
    expectError(readError, "LGUtilsReadErrorDomain", 411, "Provided characteristic doesn't exist in provided service");

    // A non-empty list that lacks the characteristic: the look-up reports neither. (The
    // platform service lists every characteristic discovered so far.)
    LGUtils::discoverCharactUUIDReadyPeripheral("2A29", kService, wrapper, [&](const auto&, const ErrorPtr&) {});
    runUntilIdle();
    LGUtils::discoverCharactUUIDReadyPeripheral("2A99", kService, wrapper,
                                                [&](const std::shared_ptr<LGCharacteristic>& c, const ErrorPtr& e) {
                                                    lookedUp = true;
                                                    found = c;
                                                    lookUpError = e;
                                                });
    runUntilIdle();
    ASSERT_TRUE(lookedUp);
    EXPECT_FALSE(found);
    EXPECT_FALSE(lookUpError);

    ErrorPtr writeError;
    LGUtils::writeDataReadyPeripheral(Bytes{1}, "2A99", kService, wrapper, [&](const ErrorPtr& e) { writeError = e; });
    runUntilIdle();
    expectError(writeError, "LGUtilsWriteErrorDomain", 411, "Provided characteristic doesn't exist in provided service");
}

TEST_F(LGUtilsTest, UUIDTextsCompareAsLowerCaseText) {
    auto phoneService = UUID::fromString("7905F431-B5CE-4E99-A40F-4B1E122D00D0");
    device->addService(*phoneService)->addCharacteristic(UUID::from16(0x2A29), CBCharacteristicPropertyRead,
                                                         CBAttributePermissionsReadable, Bytes{'Z'});
    std::optional<Bytes> value;
    LGUtils::readDataFromCharactUUID("2a29", "7905F431-B5CE-4E99-A40F-4B1E122D00D0", wrapper,
                                     [&](const std::optional<Bytes>& v, const ErrorPtr& e) {
                                         EXPECT_FALSE(e);
                                         value = v;
                                     });
    runUntilIdle();
    EXPECT_EQ(value, Bytes{'Z'});

    // The 36-character form of a 16-bit UUID finds the service but not its 4-digit text.
    ErrorPtr longForm;
    LGUtils::readDataFromCharactUUID("2A29", "0000180A-0000-1000-8000-00805F9B34FB", wrapper,
                                     [&](const std::optional<Bytes>&, const ErrorPtr& e) { longForm = e; });
    runUntilIdle();
    ASSERT_TRUE(longForm);
    EXPECT_EQ(longForm->code(), 410);

    std::vector<std::shared_ptr<LGService>> services = wrapper->services();
    EXPECT_TRUE(LGUtils::findServiceInList(services, "7905f431-b5ce-4e99-a40f-4b1e122d00d0"));
    EXPECT_FALSE(LGUtils::findServiceInList(services, "7905"));
    EXPECT_FALSE(LGUtils::findServiceInList(services, "0000180a-0000-1000-8000-00805f9b34fb"));
}

TEST_F(LGUtilsTest, ConnectsFirstWhenNeededAndWritesWithResponse) {
    auto other = addDevice("Other");
    auto target = wrapperOf(other);
    int completed = 0;
    LGUtils::writeData(Bytes{5}, "2a2b", kService, target, [&](const ErrorPtr& e) {
        EXPECT_FALSE(e);
        ++completed;
    });
    runUntilIdle();
    EXPECT_TRUE(target->isConnected());
    EXPECT_EQ(completed, 1);
    EXPECT_EQ(simCharacteristic(other, 0x2A2B)->writtenValues(), (std::vector<Bytes>{Bytes{5}}));
}

TEST_F(LGUtilsTest, FailedConnectionShowsAsNotConnected) {
    auto other = addDevice("Other");
    other->setConnectFailure(PlatformError::centralError(CBErrorConnectionFailed));
    ErrorPtr error;
    LGUtils::discoverCharactUUID("2a29", kService, wrapperOf(other),
                                 [&](const auto&, const ErrorPtr& e) { error = e; });
    runUntilIdle();
    expectError(error, "LGPeripheralConnectionErrorDomain", 409, "BLE Device is not connected");
}

TEST_F(LGUtilsTest, UnreadableUUIDTextIsReportedAsMissing) {
    ErrorPtr serviceError, characteristicError;
    LGUtils::writeDataReadyPeripheral(Bytes{1}, "2a2b", "not-a-uuid", wrapper,
                                      [&](const ErrorPtr& e) { serviceError = e; });
    runUntilIdle();
    LGUtils::readDataFromCharactUUIDReadyPeripheral(
        "zz", kService, wrapper, [&](const std::optional<Bytes>&, const ErrorPtr& e) { characteristicError = e; });
    runUntilIdle();
    ASSERT_TRUE(serviceError && characteristicError);
    EXPECT_EQ(serviceError->code(), 410);
    EXPECT_EQ(characteristicError->domain(), "LGUtilsReadErrorDomain");
    EXPECT_EQ(characteristicError->code(), 411);
}

TEST_F(LGUtilsTest, ReadyOperationsRebuildTheServiceWrappers) {
    auto service = discovered(device);
    auto notifying = find(service, "2a2c");
    int updates = 0;
    notifying->setNotifyValue(true, nullptr, [&](const auto&, const ErrorPtr&) { ++updates; });
    runUntilIdle();
    LGUtils::discoverCharactUUIDReadyPeripheral("2a29", kService, wrapper, [](const auto&, const ErrorPtr&) {});
    runUntilIdle();
    device->notify(simCharacteristic(device, 0x2A2C), Bytes{1});
    runUntilIdle();
    EXPECT_EQ(updates, 0);
    EXPECT_NE(wrapper->services().at(0), service);
}

class LGDelayedBlockTest : public LoopFixture {};

TEST_F(LGDelayedBlockTest, RunsOnceAfterTheDelayUnlessCancelled) {
    int ran = 0, cancelled = 0;
    auto kept = performBlock([&] { ++ran; }, 0.5);
    auto dropped = performBlock([&] { ++cancelled; }, 0.5);
    ASSERT_TRUE(kept && dropped);
    advance(0.1);
    cancelBlock(dropped);
    advance(0.39);
    EXPECT_EQ(ran, 0);
    advance(0.01);
    EXPECT_EQ(ran, 1);
    advance(5);
    EXPECT_EQ(ran, 1);
    EXPECT_EQ(cancelled, 0);
    cancelBlock(kept);  // after it ran: nothing changes
    cancelBlock(nullptr);
}

TEST_F(LGDelayedBlockTest, NegativeDelaysRunAtOnceAndEndlessOnesNeverComeDue) {
    int soon = 0, never = 0;
    performBlock([&] { ++soon; }, -3.0);
    performBlock([&] { ++never; }, std::numeric_limits<double>::infinity());
    performBlock([&] { ++never; }, 1e300);
    runUntilIdle();
    EXPECT_EQ(soon, 1);
    advance(365.0 * 24 * 60 * 60);
    EXPECT_EQ(never, 0);
    EXPECT_EQ(delayDuration(0.5), Duration(500'000'000));
    EXPECT_EQ(delayDuration(std::nan("")), Duration::zero());
}

TEST_F(LGDelayedBlockTest, PassesItsObjectAndRefusesAnAbsentBlock) {
    class Thing : public Object {};
    auto thing = std::make_shared<Thing>();
    std::shared_ptr<Object> received;
    auto handle = performBlock([&](const std::shared_ptr<Object>& o) { received = o; }, thing, 1.0);
    std::weak_ptr<Object> weak = thing;
    thing.reset();
    EXPECT_FALSE(weak.expired());  // the job keeps the object until it runs
    advance(1);
    EXPECT_EQ(received, weak.lock());
    EXPECT_FALSE(performBlock(LGDelayedBlock::Block(), 1.0));
    EXPECT_FALSE(performBlock(LGDelayedBlock::ObjectBlock(), nullptr, 1.0));
}

}  // namespace
}  // namespace tandril::test
