// The companion main-service handshake and the provider poll, against the simulated phone.

#include <gtest/gtest.h>

#include "ble/platform/PlatformConstants.hpp"
#include "ble/platform/PlatformError.hpp"
#include "engine/CNConsumerManagerErrors.hpp"
#include "engine/PhoneLink.hpp"
#include "sim/SimCharacteristic.hpp"
#include "sim/SimService.hpp"
#include "support/LoopFixture.hpp"

namespace tandril::test {
namespace {

class HandshakeTest : public LoopFixture {
protected:
    HandshakeTest() : link(loop()) {}

    struct Outcome {
        int calls = 0;
        std::shared_ptr<LGService> service;
        ErrorPtr error;
    };

    // Connects to the phone and runs the handshake on its main service.
    Outcome hook(std::shared_ptr<SimPeripheral> phone) {
        Outcome outcome;
        if (auto simPhone = std::dynamic_pointer_cast<SimPhone>(phone)) {
            link.connect(simPhone);
        } else {
            link.radio->addPeripheral(phone);
            auto found = LGCentralManager::sharedInstance()->retrievePeripheralsWithIdentifiers({phone->identifier()});
            link.peripheral = found.front();
            link.peripheral->connectWithTimeout(5, [](const ErrorPtr&) {});
            runUntilIdle();
            link.peripheral->discoverServices(std::nullopt, [this](const auto& services, const ErrorPtr&) {
                link.mainService = services.empty() ? nullptr : services.front();
            });
            runUntilIdle();
        }
        logs.clear();
        link.engine->hookMainService(link.mainService, link.peripheral,
                                     [&outcome](std::shared_ptr<LGService> service, ErrorPtr error) {
                                         ++outcome.calls;
                                         outcome.service = std::move(service);
                                         outcome.error = std::move(error);
                                     });
        runUntilIdle();
        return outcome;
    }

    std::shared_ptr<LGCharacteristic> wrapper(const UUID& uuid) {
        for (const auto& c : link.mainService->characteristics()) {
            if (c->cbCharacteristic()->UUID() == uuid) return c;
        }
        return nullptr;
    }

    PhoneLink link;
};

TEST_F(HandshakeTest, ReadsTheDeviceNameIntoThePeripheralAndCompletes) {
    auto outcome = hook(link.scenario().deviceName("Anna's iPhone").providerValue(bytesFromString("p1")).build());
    EXPECT_EQ(outcome.calls, 1);
    EXPECT_EQ(outcome.service, link.mainService);
    EXPECT_EQ(outcome.error, nullptr);
    EXPECT_EQ(link.peripheral->realName(), "Anna's iPhone");
    EXPECT_EQ(link.peripheral->name(), "Anna's iPhone");
    EXPECT_EQ(logs.lines(), (std::vector<std::string>{
                                "[CONSUMER] Hooking onto main service (" + link.mainService->description() + ")",
                                "[MAIN] Discovered 4 characteristics! (Error: (null))",
                                "[MAIN] Device name characteristic: " + wrapper(SimPhone::deviceNameUUID())->description(),
                                "[MAIN] Consumer characteristic: " + wrapper(SimPhone::consumerUUID())->description(),
                                "[MAIN] Provider characteristic: " + wrapper(SimPhone::providerUUID())->description(),
                                "[MAIN] Connection charachteristic: " + wrapper(SimPhone::connectionUUID())->description(),
                                "[MAIN] Subscribed to connection (Error: (null))",
                                "[MAIN] Received data: Anna's iPhone (Error: (null))",
                                "[MAIN] Received data: p1 (Error: (null))",
                            }));
}

TEST_F(HandshakeTest, DeviceNameThatIsNotUTF8LeavesTheNameAndGoesOn) {
    auto outcome = hook(link.scenario().deviceNameValue(Bytes{0xFF, 0xFE, 0x41}).build());
    EXPECT_EQ(outcome.calls, 1);
    EXPECT_EQ(outcome.error, nullptr);
    EXPECT_FALSE(link.peripheral->realName().has_value());
    EXPECT_TRUE(logs.contains("[MAIN] Received data: (null) (Error: (null))"));
}

TEST_F(HandshakeTest, ProviderReadErrorReachesTheCallerUnchanged) {
    const ErrorPtr refused = PlatformError::attError(CBATTErrorInsufficientAuthentication);
    auto outcome = hook(link.scenario().fault(SimOperation::Read, refused, SimPhone::providerUUID()).build());
    EXPECT_EQ(outcome.calls, 1);
    EXPECT_EQ(outcome.error, refused);
    EXPECT_TRUE(logs.contains("[MAIN] Received data: (null) (Error: " + refused->description() + ")"));
}

TEST_F(HandshakeTest, PhoneThatRefusesToBondFailsTheSubscriptionAndReadsNothing) {
    auto outcome = hook(link.scenario().bonded(false).acceptsPairing(false).build());
    EXPECT_EQ(outcome.calls, 1);
    ASSERT_TRUE(outcome.error);
    EXPECT_EQ(outcome.error->domain(), CBATTErrorDomain);
    EXPECT_EQ(outcome.error->code(), CBATTErrorInsufficientAuthentication);
    EXPECT_TRUE(logs.contains("[MAIN] Subscribed to connection (Error: " + outcome.error->description() + ")"));
    for (const auto& line : logs.lines()) EXPECT_EQ(line.find("[MAIN] Received data"), std::string::npos) << line;
}

TEST_F(HandshakeTest, UnbondedPhoneThatAcceptsPairingBondsOnTheFirstEncryptedAccess) {
    auto phone = link.scenario().bonded(false).acceptsPairing(true).build();
    auto outcome = hook(phone);
    EXPECT_EQ(outcome.error, nullptr);
    EXPECT_TRUE(phone->isBonded());
}

TEST_F(HandshakeTest, MainServiceWithoutItsFourCharacteristicsReportsAnError) {
    auto device = SimPeripheral::create("Gadget");
    auto main = device->addService(SimPhone::mainServiceUUID());
    main->addCharacteristic(SimPhone::deviceNameUUID(), CBCharacteristicPropertyRead, CBAttributePermissionsReadable,
                            bytesFromString("Gadget"));
    main->addCharacteristic(SimPhone::providerUUID(), CBCharacteristicPropertyRead,
                            CBAttributePermissionsReadEncryptionRequired);
    auto outcome = hook(device);
    EXPECT_EQ(outcome.calls, 1);
    EXPECT_EQ(outcome.service, link.mainService);
    ASSERT_TRUE(outcome.error);
    EXPECT_EQ(outcome.error->domain(), CNConsumerManagerErrorDomain);
    EXPECT_EQ(outcome.error->code(), CNConsumerManagerErrorMissingMainCharacteristics);
    EXPECT_EQ(logs.lines().back(), "[MAIN] Discovered 2 characteristics! (Error: (null))");
}

TEST_F(HandshakeTest, LaterCharacteristicWithTheSameUUIDWins) {
    auto device = SimPeripheral::create("Twin");
    auto main = device->addService(SimPhone::mainServiceUUID());
    main->addCharacteristic(SimPhone::deviceNameUUID(), CBCharacteristicPropertyRead, CBAttributePermissionsReadable,
                            bytesFromString("Twin"));
    main->addCharacteristic(SimPhone::providerUUID(), CBCharacteristicPropertyRead, CBAttributePermissionsReadable,
                            bytesFromString("first"));
    main->addCharacteristic(SimPhone::consumerUUID(), CBCharacteristicPropertyWrite, CBAttributePermissionsWriteable);
    main->addCharacteristic(SimPhone::connectionUUID(), CBCharacteristicPropertyNotify, CBAttributePermissionsReadable);
    main->addCharacteristic(SimPhone::providerUUID(), CBCharacteristicPropertyRead, CBAttributePermissionsReadable,
                            bytesFromString("second"));
    auto outcome = hook(device);
    EXPECT_EQ(outcome.error, nullptr);
    EXPECT_TRUE(logs.contains("[MAIN] Received data: second (Error: (null))"));
    EXPECT_FALSE(logs.contains("[MAIN] Received data: first (Error: (null))"));
}

TEST_F(HandshakeTest, ConnectionNotificationsAreLoggedUntilTheServicesAreDiscoveredAgain) {
    auto phone = link.scenario().build();
    hook(phone);
    logs.clear();
    ASSERT_TRUE(phone->notifyConnection(Bytes{0x01, 0x02}));
    runUntilIdle();
    EXPECT_EQ(logs.lines(), std::vector<std::string>{"Update <0102> (null)"});

    // The connection sequence's second discovery replaces the service wrappers.
    link.peripheral->discoverServices(std::vector<UUID>{SimPhone::notificationServiceUUID()},
                                      [](const auto&, const ErrorPtr&) {});
    runUntilIdle();
    logs.clear();
    phone->notifyConnection(Bytes{0x03});
    runUntilIdle();
    EXPECT_TRUE(logs.lines().empty());
}

TEST_F(HandshakeTest, ProviderPollWithoutAPhoneRunsEveryThirtySeconds) {
    link.engine->requestProviderData();
    const std::string line = "[CONSUMER] Requesting provider data... (null)";
    EXPECT_EQ(logs.count(line), 1u);
    const std::string name = "requestProviderData";
    EXPECT_EQ(RunLoop::main().pendingPerforms(link.engine.get(), &name), 1u);
    advance(29.9);
    EXPECT_EQ(logs.count(line), 1u);
    advance(0.1);
    EXPECT_EQ(logs.count(line), 2u);
    advance(30);
    EXPECT_EQ(logs.count(line), 3u);

    RunLoop::main().cancelPerform(link.engine.get(), name);
    advance(120);
    EXPECT_EQ(logs.count(line), 3u);
}

TEST_F(HandshakeTest, ProviderPollReadsTheConnectedPhonesProvider) {
    auto phone = link.scenario().build();
    hook(phone);
    int reads = 0;
    phone->providerCharacteristic()->setReadHandler([&reads](SimCharacteristic&, Bytes&) -> ErrorPtr {
        ++reads;
        return nullptr;
    });
    link.engine->setConnectedPeripheral(link.peripheral);
    logs.clear();
    link.engine->requestProviderData();
    runUntilIdle();
    EXPECT_EQ(logs.lines(), (std::vector<std::string>{
                                "[CONSUMER] Requesting provider data... " + link.peripheral->description(),
                                "[CONSUMER] Reading provider data...",
                            }));
    EXPECT_EQ(reads, 1);
    advance(30);
    EXPECT_EQ(reads, 2);
    RunLoop::main().cancelPerform(link.engine.get(), "requestProviderData");
}

}  // namespace
}  // namespace tandril::test
