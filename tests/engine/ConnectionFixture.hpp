#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/CNConsumerManager.hpp"
#include "engine/RecordingConsumerDelegate.hpp"
#include "foundation/UUID.hpp"
#include "sim/SimScenario.hpp"
#include "support/LoopFixture.hpp"

namespace tandril {
class LGPeripheral;
class SimPeripheral;
class SimPhone;
class SimRadio;
}  // namespace tandril

namespace tandril::test {

// An engine over the real BLE layer and the simulated radio, in virtual time, with a
// recording delegate. Phones are described with SimScenario.
class ConnectionFixture : public LoopFixture {
protected:
    ConnectionFixture();
    ~ConnectionFixture() override;

    SimScenario phone() { return SimScenario(radio); }
    // The engine's wrapper of a simulated device (registering one when none exists).
    std::shared_ptr<LGPeripheral> wrapperOf(const std::shared_ptr<SimPeripheral>& device);
    // Connects straight away (no scan) and lets everything settle.
    void connectDirectly(const std::shared_ptr<SimPeripheral>& device, double settleSeconds = 10);
    // A preferred device on record (any identifier).
    void storePreference() { engine->setPreferredUUID(UUID::random()); }

    // The lines of `logs` that begin with `prefix`, in order.
    std::vector<std::string> linesStartingWith(const std::string& prefix) const;
    // Stops what the engine keeps running (scan restart, provider poll) and disconnects,
    // then checks that nothing is left pending on the loop.
    void expectQuiescent();

    std::shared_ptr<SimRadio> radio;
    std::shared_ptr<RecordingConsumerDelegate> delegate;
    std::shared_ptr<CNConsumerManager> engine;
};

}  // namespace tandril::test
