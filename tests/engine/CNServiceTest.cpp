#include "engine/CNService.hpp"

#include <gtest/gtest.h>

#include "ble/platform/PlatformConstants.hpp"
#include "engine/CNCharacteristic.hpp"
#include "engine/CNConnectionCharacteristic.hpp"
#include "engine/CNConsumer.hpp"
#include "engine/CNConsumerCharacteristic.hpp"
#include "engine/CNControlPointCharacteristic.hpp"
#include "engine/CNDataSourceCharacteristic.hpp"
#include "engine/CNDeviceNameCharacteristic.hpp"
#include "engine/CNMainService.hpp"
#include "engine/CNNotificationService.hpp"
#include "engine/CNNotificationSourceCharacteristic.hpp"
#include "engine/CNProviderCharacteristic.hpp"

namespace tandril {
namespace {

struct Expected {
    std::string uuid;
    std::uint32_t properties;
    std::uint32_t permissions;
};

void expectCharacteristics(const std::shared_ptr<CNService>& service, const std::vector<Expected>& expected) {
    ASSERT_EQ(service->characteristics().size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const auto& characteristic = service->characteristics()[i];
        EXPECT_EQ(characteristic->UUID().UUIDString(), expected[i].uuid) << i;
        EXPECT_EQ(characteristic->properties(), expected[i].properties) << i;
        EXPECT_EQ(characteristic->permissions(), expected[i].permissions) << i;
        EXPECT_FALSE(characteristic->value()) << i;
        EXPECT_EQ(characteristic->properties() & CBCharacteristicPropertyNotify, 0u) << i;
    }
}

TEST(CNServiceTest, MainServiceListsItsFourCharacteristicsConsumerBeforeProvider) {
    auto service = CNMainService::service();
    EXPECT_EQ(service->UUID(), CNMainService::serviceUUID());
    EXPECT_EQ(service->UUID()->UUIDString(), "37788B13-93EB-4C29-A15F-79DE5DA30A57");
    EXPECT_TRUE(service->isPrimary());
    EXPECT_EQ(service->className(), "CNMainService");
    expectCharacteristics(service, {
                                       {"1A955AF6-9D8C-44D9-AD3C-1DD1D6C556B9", 2, 1},
                                       {"EB01BF93-19D5-4C63-A74B-E86BB29874A7", 8, 8},
                                       {"81410E6A-5D95-447D-8850-A63EAEC37BB4", 2, 4},
                                       {"876801F6-39D5-4C7B-BF0F-DA7508E98ACF", 256, 4},
                                   });
    EXPECT_EQ(service->characteristics()[1]->className(), "CNConsumerCharacteristic");
}

TEST(CNServiceTest, NotificationServiceListsSourceControlPointDataSource) {
    auto service = CNNotificationService::service();
    EXPECT_EQ(service->UUID()->UUIDString(), "7905F431-B5CE-4E99-A40F-4B1E122D00D0");
    expectCharacteristics(service, {
                                       {"9FBF120D-6301-42D9-8C58-25E699A21DBD", 256, 4},
                                       {"69D1D8F3-45E1-49A8-9821-9BBDFDAAD9D9", 8, 8},
                                       {"22EAC6E9-24D6-4BB5-BE44-B36ACE7C7BFB", 256, 4},
                                   });
}

TEST(CNServiceTest, UUIDsCompareByValueWhateverTheirLetterCase) {
    EXPECT_EQ(UUID::fromString("7905f431-b5ce-4e99-a40f-4b1e122d00d0"), CNNotificationService::serviceUUID());
    EXPECT_EQ(CNDataSourceCharacteristic::characteristicUUID(), CNDataSourceCharacteristic::characteristicUUID());
    EXPECT_NE(CNControlPointCharacteristic::characteristicUUID(), CNNotificationSourceCharacteristic::characteristicUUID());
    EXPECT_EQ(CNDeviceNameCharacteristic::characteristic()->UUID(), *CNDeviceNameCharacteristic::characteristicUUID());
    EXPECT_EQ(CNProviderCharacteristic::characteristic()->className(), "CNProviderCharacteristic");
    EXPECT_EQ(CNConnectionCharacteristic::characteristic()->properties(), 256u);
}

TEST(CNServiceTest, BaseClassesNameNothing) {
    EXPECT_FALSE(CNService::serviceUUID());
    auto base = CNService::service();
    ASSERT_TRUE(base);
    EXPECT_FALSE(base->UUID());
    EXPECT_TRUE(base->isPrimary());
    EXPECT_TRUE(base->characteristics().empty());
    EXPECT_FALSE(CNCharacteristic::characteristicUUID());
    EXPECT_FALSE(CNCharacteristic::characteristic());
}

TEST(CNServiceTest, ConsumerKeepsWhatItIsGiven) {
    class Central : public Object {};
    CNConsumer consumer;
    EXPECT_FALSE(consumer.name());
    auto central = std::make_shared<Central>();
    consumer.setName(std::string("Mac"));
    consumer.setCentral(central);
    EXPECT_EQ(consumer.name(), "Mac");
    EXPECT_EQ(consumer.central(), central);
}

}  // namespace
}  // namespace tandril
