#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "ble/platform/PlatformPairingConfirmer.hpp"

namespace tandril {

class TDRPairingConfirmer;

// The radio's pairing requests, handed to the desktop's pairing dialog. Installed by the
// agent with PlatformAdapter::setPairingConfirmer. Without a dialog (or after it is gone)
// every request is rejected: a pairing nobody confirmed is never accepted.
class TDRPairingRequests : public PlatformPairingConfirmer {
public:
    explicit TDRPairingRequests(std::weak_ptr<TDRPairingConfirmer> dialog);

    void confirmPairing(const std::optional<std::string>& name, const std::string& code,
                        std::function<void(bool accepted)> reply) override;

    // The name shown for a device that has none.
    static constexpr const char* kUnnamedDevice = "iPhone";

private:
    std::weak_ptr<TDRPairingConfirmer> dialog_;
};

}  // namespace tandril
