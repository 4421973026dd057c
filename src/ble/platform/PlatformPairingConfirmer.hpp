#pragma once

#include <functional>
#include <optional>
#include <string>

namespace tandril {

// Decides a pairing that the user must confirm: the phone shows a six-digit code and asks
// whether the desktop shows the same. Installed with PlatformAdapter::setPairingConfirmer.
//
// Called on the main thread. `name` is the device's name as the radio knows it (absent
// when it has none), `code` the six digits, zero-padded ("004711"). `reply` takes true to
// accept, false to reject; call it once, at any later time, from the main thread. A reply
// that never comes leaves the pairing to the radio's own time limit.
class PlatformPairingConfirmer {
public:
    virtual ~PlatformPairingConfirmer() = default;
    virtual void confirmPairing(const std::optional<std::string>& name, const std::string& code,
                                std::function<void(bool accepted)> reply) = 0;
};

}  // namespace tandril
