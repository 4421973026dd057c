#pragma once

#include <optional>

#include "shared/TDRAgentDefaults.hpp"

namespace tandril {

// "Allow iPhones to connect": "TDRAllowIPhonesToConnect" (a boolean) in the agent's
// defaults domain, "com.Varn.Glimwick". The settings application writes it into the same
// file and then asks the agent for the device information; the agent reads the key afresh
// on every such request, so a change takes effect without a restart.
class TDRIncomingPhonesDefaults {
public:
    static constexpr const char* kAllowIPhonesToConnectKey = TDRAllowIPhonesToConnectKey;

    // The stored choice; absent when none was ever stored (or it is not a boolean).
    static std::optional<bool> storedAllowsIPhones();
    // Re-reads the file first, so that the other keys as they are on disk are kept.
    static void storeAllowsIPhones(bool allow);
};

}  // namespace tandril
