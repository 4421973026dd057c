#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "foundation/Error.hpp"
#include "foundation/Object.hpp"
#include "foundation/UUID.hpp"

namespace tandril {

class LGCharacteristic;
class PlatformCharacteristic;
class PlatformService;

// Wraps one platform GATT service: characteristic discovery with a completion, and the
// characteristic wrappers it builds. Main thread only.
class LGService : public Object {
public:
    using CharacteristicsCallback = std::function<void(
        const std::vector<std::shared_ptr<LGCharacteristic>>& characteristics, const ErrorPtr& error)>;

    // initWithService:
    explicit LGService(std::shared_ptr<PlatformService> service);
    ~LGService() override;

    const std::shared_ptr<PlatformService>& cbService() const { return cbService_; }
    // Rebuilt after every characteristic discovery; empty before the first.
    const std::vector<std::shared_ptr<LGCharacteristic>>& characteristics() const { return characteristics_; }
    void setCharacteristics(std::vector<std::shared_ptr<LGCharacteristic>> characteristics);
    const CharacteristicsCallback& discoverCharBlock() const { return discoverCharBlock_; }
    void setDiscoverCharBlock(CharacteristicsCallback block) { discoverCharBlock_ = std::move(block); }

    // representativeString of the service's UUID: lower-case, "2a19", "7905f431-b5ce-…".
    std::string UUIDString() const;

    void discoverCharacteristicsWithCompletion(CharacteristicsCallback completion);
    // An absent list discovers every characteristic.
    void discoverCharacteristicsWithUUIDs(const std::optional<std::vector<UUID>>& characteristicUUIDs,
                                          CharacteristicsCallback completion);
    // The platform's discovery event, routed here by the peripheral wrapper. The list is
    // not used: the wrappers are rebuilt from the platform service's characteristics.
    void handleDiscoveredCharacteristics(const std::vector<std::shared_ptr<PlatformCharacteristic>>& characteristics,
                                         const ErrorPtr& error);
    void updateCharacteristicWrappers();
    std::shared_ptr<LGCharacteristic> wrapperByCharacteristic(
        const std::shared_ptr<PlatformCharacteristic>& characteristic) const;

    // "<LGService: 0x…> <uuid text>"
    std::string description() const override;
    std::string className() const override { return "LGService"; }

private:
    std::shared_ptr<PlatformService> cbService_;
    std::vector<std::shared_ptr<LGCharacteristic>> characteristics_;
    CharacteristicsCallback discoverCharBlock_;
};

}  // namespace tandril
