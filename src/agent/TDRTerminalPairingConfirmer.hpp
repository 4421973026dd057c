#pragma once

#include <functional>
#include <ostream>
#include <string>

#include "agent/TDRPairingConfirmer.hpp"

namespace tandril {

// The pairing dialog for a terminal: prints the request as "[pairing] …" lines and plays
// the user, who compares the codes and presses Confirm after `thinkingSeconds`.
class TDRTerminalPairingConfirmer : public TDRPairingConfirmer {
public:
    explicit TDRTerminalPairingConfirmer(std::ostream& out, double thinkingSeconds = 2.0);

    void confirmPairing(const std::string& name, const std::string& code,
                        std::function<void(bool confirmed)> answer) override;

private:
    std::ostream& out_;
    double thinkingSeconds_;
};

}  // namespace tandril
