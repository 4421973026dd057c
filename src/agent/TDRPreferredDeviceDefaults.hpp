#pragma once

#include <optional>
#include <string>

#include "engine/CNPreferredDeviceStore.hpp"

namespace tandril {

// The agent's store of the preferred phone: "CNConsumerManagerPreferredUUID" in the
// agent's defaults domain, "com.Varn.Glimwick". Read afresh on every access and flushed on
// every change, so that a change made by another process is seen.
class TDRPreferredDeviceDefaults : public CNPreferredDeviceStore {
public:
    static constexpr const char* kDefaultsDomain = "com.Varn.Glimwick";
    static constexpr const char* kPreferredUUIDKey = "CNConsumerManagerPreferredUUID";

    std::optional<std::string> preferredDeviceIdentifier() override;
    void setPreferredDeviceIdentifier(const std::optional<std::string>& identifier) override;
};

}  // namespace tandril
