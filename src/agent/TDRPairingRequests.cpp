#include "agent/TDRPairingRequests.hpp"

#include "agent/TDRPairingConfirmer.hpp"
#include "foundation/Log.hpp"

namespace tandril {

TDRPairingRequests::TDRPairingRequests(std::weak_ptr<TDRPairingConfirmer> dialog) : dialog_(std::move(dialog)) {}

void TDRPairingRequests::confirmPairing(const std::optional<std::string>& name, const std::string& code,
                                        std::function<void(bool accepted)> reply) {
    const std::string shown = name && !name->empty() ? *name : std::string(kUnnamedDevice);
    auto dialog = dialog_.lock();
    if (!dialog) {
        log("[TDRAppDelegate] Pairing request from %@ rejected: no pairing dialog.", shown);
        if (reply) reply(false);
        return;
    }
    log("[TDRAppDelegate] Pairing request from %@, asking the user.", shown);
    dialog->confirmPairing(shown, code, [shown, reply = std::move(reply)](bool confirmed) {
        log(confirmed ? "[TDRAppDelegate] Pairing with %@ confirmed." : "[TDRAppDelegate] Pairing with %@ rejected.",
            shown);
        if (reply) reply(confirmed);
    });
}

}  // namespace tandril
