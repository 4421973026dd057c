#pragma once

#include <functional>
#include <string>
#include <vector>

#include "agent/TDRPairingConfirmer.hpp"

namespace tandril::test {

// Records every pairing request as "NAME CODE" and keeps its answer for the test to give.
class FakePairingConfirmer : public TDRPairingConfirmer {
public:
    std::vector<std::string> requests;
    std::vector<std::function<void(bool)>> answers;

    void confirmPairing(const std::string& name, const std::string& code,
                        std::function<void(bool)> answer) override {
        requests.push_back(name + " " + code);
        answers.push_back(std::move(answer));
    }
};

}  // namespace tandril::test
