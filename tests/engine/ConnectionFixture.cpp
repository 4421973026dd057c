#include "engine/ConnectionFixture.hpp"

#include "engine/TestEngine.hpp"

#include "ble/LGCentralManager.hpp"
#include "ble/LGPeripheral.hpp"
#include "ble/platform/PlatformAdapter.hpp"
#include "engine/CNCacheConsent.hpp"
#include "engine/CNHelperInstaller.hpp"
#include "model/CNNotificationApplicationManager.hpp"
#include "sim/SimPhone.hpp"
#include "sim/SimRadio.hpp"

namespace tandril::test {

ConnectionFixture::ConnectionFixture() {
    radio = SimRadio::install();
    resetSharedEngineState();
    delegate = std::make_shared<RecordingConsumerDelegate>();
    engine = createTestEngine();
    engine->setDelegate(delegate);
    runUntilIdle();
    logs.clear();
}

ConnectionFixture::~ConnectionFixture() {
    engine.reset();
    resetSharedEngineState();
    PlatformAdapter::setCurrent(nullptr);
    radio.reset();
}

std::shared_ptr<LGPeripheral> ConnectionFixture::wrapperOf(const std::shared_ptr<SimPeripheral>& device) {
    return engine->centralManager()->wrapperByPeripheral(device);
}

void ConnectionFixture::connectDirectly(const std::shared_ptr<SimPeripheral>& device, double settleSeconds) {
    engine->connectToPeripheral(wrapperOf(device));
    advance(settleSeconds);
}

std::vector<std::string> ConnectionFixture::linesStartingWith(const std::string& prefix) const {
    std::vector<std::string> out;
    for (const auto& line : logs.lines()) {
        if (line.rfind(prefix, 0) == 0) out.push_back(line);
    }
    return out;
}

void ConnectionFixture::expectQuiescent() {
    if (engine->isScanning()) engine->stopScanning();
    if (engine->connectedPeripheral()) engine->disconnect();
    // Disconnect fallbacks (2 s) and any time limit still running settle within a minute.
    advance(60);
    EXPECT_EQ(engine->connectedPeripheral(), nullptr);
    EXPECT_EQ(loop().pendingPerforms(engine.get()), 0u);
    EXPECT_EQ(loop().pendingJobs(), 0u);
}

}  // namespace tandril::test
