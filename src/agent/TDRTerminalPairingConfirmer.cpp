#include "agent/TDRTerminalPairingConfirmer.hpp"

#include <memory>

#include "foundation/RunLoop.hpp"

namespace tandril {

TDRTerminalPairingConfirmer::TDRTerminalPairingConfirmer(std::ostream& out, double thinkingSeconds)
    : out_(out), thinkingSeconds_(thinkingSeconds) {}

void TDRTerminalPairingConfirmer::confirmPairing(const std::string& name, const std::string& code,
                                                 std::function<void(bool confirmed)> answer) {
    out_ << "[pairing] '" << name << "' wants to pair and shows " << code << ": [Confirm] [Reject]" << std::endl;
    std::ostream* out = &out_;
    RunLoop::main().schedule(seconds(thinkingSeconds_), [out, name, answer = std::move(answer)] {
        *out << "[pairing] the codes match: Confirm" << std::endl;
        if (answer) answer(true);
    });
}

}  // namespace tandril
