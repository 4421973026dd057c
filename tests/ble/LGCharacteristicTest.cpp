#include "ble/LGCharacteristic.hpp"

#include <gtest/gtest.h>

#include "ble/RadioFixture.hpp"
#include "ble/StringExtraction.hpp"

namespace tandril::test {
namespace {

using Values = std::vector<std::optional<Bytes>>;

class LGCharacteristicTest : public RadioFixture {
protected:
    void SetUp() override {
        device = addDevice("Phone");
        service = discovered(device);
        readable = find(service, "2a29");
        writable = find(service, "2a2b");
        notifying = find(service, "2a2c");
        encrypted = find(service, "2a2d");
        ASSERT_TRUE(readable && writable && notifying && encrypted);
    }

    LGCharacteristic::ValueCallback collect(Values& into) {
        return [&into](const std::optional<Bytes>& value, const ErrorPtr& error) {
            EXPECT_FALSE(error);
            into.push_back(value);
        };
    }

    std::shared_ptr<SimPeripheral> device;
    std::shared_ptr<LGService> service;
    std::shared_ptr<LGCharacteristic> readable, writable, notifying, encrypted;
};

TEST_F(LGCharacteristicTest, ReadsAreCompletedInOrder) {
    auto stored = simCharacteristic(device, 0x2A29);
    Values first, second;
    readable->readValueWithBlock(collect(first));
    readable->readValueWithBlock(collect(second));
    // The device changes its value between the two answers.
    int answered = 0;
    stored->setReadHandler([&answered](SimCharacteristic&, Bytes& value) {
        value = Bytes{static_cast<std::uint8_t>('A' + answered++)};
        return ErrorPtr();
    });
    runUntilIdle();
    EXPECT_EQ(first, (Values{Bytes{'A'}}));
    EXPECT_EQ(second, (Values{Bytes{'B'}}));
    EXPECT_TRUE(readable->readOperationStack().empty());
}

TEST_F(LGCharacteristicTest, NotifiedValueCompletesAPendingReadToo) {
    Values updates, subscribed, read;
    ErrorPtr notifyError = PlatformError::centralError(0);
    notifying->setNotifyValue(true, [&](const ErrorPtr& e) { notifyError = e; }, collect(updates));
    runUntilIdle();
    EXPECT_FALSE(notifyError);
    ASSERT_TRUE(simCharacteristic(device, 0x2A2C)->isNotifying());

    simCharacteristic(device, 0x2A2C)->setStoredValue(Bytes{0x99});
    device->setLatency(SimOperation::Read, seconds(1));
    notifying->readValueWithBlock(collect(read));
    EXPECT_TRUE(device->notify(simCharacteristic(device, 0x2A2C), Bytes{0x01}));
    runUntilIdle();
    EXPECT_EQ(updates, (Values{Bytes{0x01}}));
    EXPECT_EQ(read, (Values{Bytes{0x01}}));  // the notification, not the read's answer

    advance(1);
    EXPECT_EQ(updates, (Values{Bytes{0x01}, Bytes{0x99}}));
    EXPECT_EQ(read.size(), 1u);
}

TEST_F(LGCharacteristicTest, WriteWithoutCompletionIsSentWithoutResponse) {
    auto stored = simCharacteristic(device, 0x2A2B);
    std::vector<bool> responses;
    stored->setWriteHandler([&](SimCharacteristic&, const Bytes&, bool withResponse) {
        responses.push_back(withResponse);
        return ErrorPtr();
    });
    writable->writeValue(Bytes{1}, nullptr);
    EXPECT_TRUE(writable->writeOperationStack().empty());
    int completed = 0;
    writable->writeByte(-1, [&](const ErrorPtr& error) {
        EXPECT_FALSE(error);
        ++completed;
    });
    runUntilIdle();
    EXPECT_EQ(responses, (std::vector<bool>{false, true}));
    EXPECT_EQ(stored->writtenValues(), (std::vector<Bytes>{Bytes{1}, Bytes{0xFF}}));
    EXPECT_EQ(completed, 1);
}

TEST_F(LGCharacteristicTest, TwoArgumentSubscriptionClearsTheUpdateCallback) {
    Values updates, read;
    notifying->setNotifyValue(true, nullptr, collect(updates));
    runUntilIdle();
    notifying->setNotifyValue(true, nullptr);
    runUntilIdle();
    EXPECT_FALSE(notifying->updateCallback());
    device->setLatency(SimOperation::Read, seconds(1));
    notifying->readValueWithBlock(collect(read));
    device->notify(simCharacteristic(device, 0x2A2C), Bytes{7});
    runUntilIdle();
    EXPECT_TRUE(updates.empty());
    EXPECT_EQ(read, (Values{Bytes{7}}));
}

TEST_F(LGCharacteristicTest, SubscriptionWithoutCompletionStillTakesItsPlace) {
    notifying->setNotifyValue(true, nullptr, nullptr);
    int later = 0;
    notifying->setNotifyValue(false, [&](const ErrorPtr&) { ++later; });
    EXPECT_EQ(notifying->notifyOperationStack().size(), 2u);
    runUntilIdle();
    EXPECT_EQ(later, 1);
    EXPECT_TRUE(notifying->notifyOperationStack().empty());
    EXPECT_FALSE(simCharacteristic(device, 0x2A2C)->isNotifying());
}

TEST_F(LGCharacteristicTest, ReadWithoutCompletionSendsNothing) {
    int reads = 0;
    simCharacteristic(device, 0x2A29)->setReadHandler([&](SimCharacteristic&, Bytes&) {
        ++reads;
        return ErrorPtr();
    });
    readable->readValueWithBlock(nullptr);
    runUntilIdle();
    EXPECT_EQ(reads, 0);
}

TEST_F(LGCharacteristicTest, PlatformErrorsReachTheCompletionsUnchanged) {
    ErrorPtr writeError, readError;
    encrypted->writeValue(Bytes{1}, [&](const ErrorPtr& e) { writeError = e; });
    device->failNext(SimOperation::Read, PlatformError::attError(CBATTErrorInsufficientEncryption));
    readable->readValueWithBlock([&](const std::optional<Bytes>&, const ErrorPtr& e) { readError = e; });
    runUntilIdle();
    ASSERT_TRUE(writeError && readError);
    EXPECT_EQ(writeError->domain(), "CBATTErrorDomain");
    EXPECT_EQ(writeError->code(), CBATTErrorInsufficientAuthentication);
    EXPECT_EQ(readError->code(), CBATTErrorInsufficientEncryption);
}

TEST_F(LGCharacteristicTest, LaterDiscoveryReplacesTheCompletionAndTheWrappers) {
    int first = 0;
    std::size_t listed = 0;
    service->discoverCharacteristicsWithUUIDs(std::vector<UUID>{UUID::from16(0x2A29)},
                                              [&](const auto&, const ErrorPtr&) { ++first; });
    service->discoverCharacteristicsWithCompletion([&](const auto& list, const ErrorPtr&) { listed = list.size(); });
    runUntilIdle();
    EXPECT_EQ(first, 0);
    EXPECT_EQ(listed, 4u);  // the service's whole current list

    // The wrapper from before the repeat no longer hears anything.
    Values stale, fresh;
    readable->readValueWithBlock(collect(stale));
    find(service, "2a29")->readValueWithBlock(collect(fresh));
    runUntilIdle();
    EXPECT_TRUE(stale.empty());
    // Both answers reach the list's wrapper: the first completes its read, the second finds
    // no read pending.
    EXPECT_EQ(fresh.size(), 1u);
    EXPECT_EQ(readable->readOperationStack().size(), 1u);
    EXPECT_EQ(service->wrapperByCharacteristic(readable->cbCharacteristic()), find(service, "2a29"));
}

TEST_F(LGCharacteristicTest, DescriptionsShowTheUUIDText) {
    EXPECT_EQ(readable->description(), readable->defaultDescription() + " <2a29>");
    EXPECT_EQ(service->description(), service->defaultDescription() + " <180a>");
}

TEST(StringExtractionTest, UUIDTextKeepsThePlatformByteForm) {
    EXPECT_EQ(representativeString(*UUID::fromString("7905F431-B5CE-4E99-A40F-4B1E122D00D0")),
              "7905f431-b5ce-4e99-a40f-4b1e122d00d0");
    EXPECT_EQ(representativeString(UUID::from16(0x2A19)), "2a19");
    EXPECT_EQ(representativeString(UUID::from32(0x0000180D)), "0000180d-");
    // A 16-bit UUID written out on the Bluetooth base keeps its short form.
    EXPECT_EQ(representativeString(*UUID::fromString("00002A19-0000-1000-8000-00805F9B34FB")), "2a19");
}

}  // namespace
}  // namespace tandril::test
