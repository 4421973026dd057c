#include "agent/TDRPreferredDeviceDefaults.hpp"

#include "foundation/UserDefaults.hpp"

namespace tandril {

namespace {

// The agent's defaults. The shared instance is used when the program runs under the
// agent's domain, so that its other keys and these never overwrite each other; otherwise
// the domain's file is read afresh.
template <class Fn>
auto withAgentDefaults(Fn&& fn) {
    if (UserDefaults::standardUserDefaults().domain() == TDRPreferredDeviceDefaults::kDefaultsDomain) {
        return fn(UserDefaults::standardUserDefaults());
    }
    UserDefaults defaults(TDRPreferredDeviceDefaults::kDefaultsDomain);
    return fn(defaults);
}

}  // namespace

std::optional<std::string> TDRPreferredDeviceDefaults::preferredDeviceIdentifier() {
    return withAgentDefaults([](UserDefaults& defaults) {
        defaults.synchronize();
        return defaults.stringForKey(kPreferredUUIDKey);
    });
}

void TDRPreferredDeviceDefaults::setPreferredDeviceIdentifier(const std::optional<std::string>& identifier) {
    withAgentDefaults([&identifier](UserDefaults& defaults) {
        if (identifier) {
            defaults.setObject(Value(*identifier), kPreferredUUIDKey);
        } else {
            defaults.removeObjectForKey(kPreferredUUIDKey);
        }
        defaults.synchronize();
        return 0;
    });
}

}  // namespace tandril
