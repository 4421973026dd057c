#include "agent/TDRIncomingPhonesDefaults.hpp"

#include "agent/TDRPreferredDeviceDefaults.hpp"
#include "foundation/UserDefaults.hpp"

namespace tandril {

namespace {

// The agent's defaults: the shared instance under the agent's domain, otherwise the
// domain's file read afresh.
template <class Fn>
auto withAgentDefaults(Fn&& fn) {
    if (UserDefaults::standardUserDefaults().domain() == TDRPreferredDeviceDefaults::kDefaultsDomain) {
        return fn(UserDefaults::standardUserDefaults());
    }
    UserDefaults defaults(TDRPreferredDeviceDefaults::kDefaultsDomain);
    return fn(defaults);
}

}  // namespace

std::optional<bool> TDRIncomingPhonesDefaults::storedAllowsIPhones() {
    return withAgentDefaults([](UserDefaults& defaults) -> std::optional<bool> {
        defaults.synchronize();
        return defaults.objectForKey(kAllowIPhonesToConnectKey).asBoolean();
    });
}

void TDRIncomingPhonesDefaults::storeAllowsIPhones(bool allow) {
    withAgentDefaults([allow](UserDefaults& defaults) {
        defaults.synchronize();
        defaults.setObject(Value(allow), kAllowIPhonesToConnectKey);
        defaults.synchronize();
        return 0;
    });
}

}  // namespace tandril
