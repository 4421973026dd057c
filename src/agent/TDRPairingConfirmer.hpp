#pragma once

#include <functional>
#include <string>

namespace tandril {

// Asks the user to confirm a pairing: the phone's name and the six-digit code it shows
// ("004711"), with Confirm and Reject. `answer` gets true for Confirm and false for
// anything else (Reject, the dialog closed, a newer request, the time-out), exactly once,
// on the main thread.
class TDRPairingConfirmer {
public:
    virtual ~TDRPairingConfirmer() = default;

    virtual void confirmPairing(const std::string& name, const std::string& code,
                                std::function<void(bool confirmed)> answer) = 0;
};

}  // namespace tandril
