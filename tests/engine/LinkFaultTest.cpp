// Seeded random link faults in every phase of the connection: each schedule must end idle
// or connected, with nothing left pending and no report given twice.

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>

#include "ble/LGPeripheral.hpp"
#include "ble/platform/PlatformConstants.hpp"
#include "ble/platform/PlatformError.hpp"
#include "engine/ConnectionFixture.hpp"
#include "sim/SimPhone.hpp"
#include "sim/SimRadio.hpp"

namespace tandril::test {
namespace {

enum class Fault { DropLink, FailConnect, FailDiscoverServices, FailDiscoverCharacteristics, FailRead, FailSetNotify };

class LinkFaultTest : public ConnectionFixture, public ::testing::WithParamInterface<Fault> {
protected:
    // One schedule: random latencies, one fault at a random point, then a minute of time.
    void runSchedule(unsigned seed) {
        std::mt19937 random(seed);
        auto pick = [&random](double maximum) { return std::uniform_real_distribution<double>(0, maximum)(random); };
        delegate->events.clear();
        delegate->connectedAtReport.clear();

        auto scenario = phone().notification("com.example.chat", "Anna", "", "Hi");
        for (auto op : {SimOperation::Connect, SimOperation::DiscoverServices, SimOperation::DiscoverCharacteristics,
                        SimOperation::Read, SimOperation::SetNotify, SimOperation::Write}) {
            scenario.latency(op, seconds(pick(0.4)));
        }
        const std::vector<int> codes{CBATTErrorInsufficientAuthorization, CBATTErrorInvalidHandle,
                                     CBATTErrorWriteNotPermitted, CBATTErrorInsufficientEncryption};
        const auto attError = PlatformError::attError(codes[random() % codes.size()]);
        const std::vector<UUID> characteristics{SimPhone::connectionUUID(), SimPhone::deviceNameUUID(),
                                                SimPhone::providerUUID(), SimPhone::dataSourceUUID(),
                                                SimPhone::notificationSourceUUID()};
        const auto target = characteristics[random() % characteristics.size()];
        switch (GetParam()) {
            case Fault::DropLink: {
                const double when = pick(2.5);
                scenario.at(seconds(when), [](SimPhone& p) { p.dropLink(); });
                break;
            }
            case Fault::FailConnect: break;
            case Fault::FailDiscoverServices:
                scenario.fault(SimOperation::DiscoverServices,
                               random() % 2 ? PlatformError::centralError(CBErrorNotConnected) : attError);
                break;
            case Fault::FailDiscoverCharacteristics:
                scenario.fault(SimOperation::DiscoverCharacteristics, attError);
                break;
            case Fault::FailRead: scenario.fault(SimOperation::Read, attError, target); break;
            case Fault::FailSetNotify: scenario.fault(SimOperation::SetNotify, attError, target); break;
        }
        auto iphone = scenario.build();
        if (GetParam() == Fault::FailConnect) {
            if (random() % 2) {
                iphone->setConnectFailure(PlatformError::centralError(CBErrorConnectionFailed));
            } else {
                iphone->setConnectNeverAnswers(true);
            }
        }
        // Half the schedules also ask for a disconnection at a random moment.
        std::optional<double> disconnectAt;
        if (random() % 2) disconnectAt = pick(3);

        engine->connectToPeripheral(wrapperOf(iphone));
        if (disconnectAt) {
            advance(*disconnectAt);
            engine->disconnect();
        }
        advance(30);

        const bool connected = engine->connectedPeripheral() != nullptr;
        if (connected) {
            EXPECT_EQ(delegate->count("did"), 1u) << "seed " << seed;
            EXPECT_TRUE(iphone->isLinked()) << "seed " << seed;
            engine->disconnect();
            advance(5);
        }
        EXPECT_EQ(engine->connectedPeripheral(), nullptr) << "seed " << seed;

        // Each attempt ends with at most one report, given when the engine is already idle.
        const std::size_t ends = delegate->count("disconnected") + delegate->count("did") +
                                 delegate->count("failed LGPeripheralConnectionErrorDomain 408");
        EXPECT_LE(delegate->count("disconnected"), delegate->count("phase 0")) << "seed " << seed;
        EXPECT_LE(ends, 2 * delegate->count("phase 0")) << "seed " << seed;
        for (bool held : delegate->connectedAtReport) EXPECT_FALSE(held) << "seed " << seed;

        radio->removePeripheral(iphone);
        advance(60);
        EXPECT_EQ(loop().pendingPerforms(engine.get()), 0u) << "seed " << seed;
        EXPECT_EQ(loop().pendingJobs(), 0u) << "seed " << seed;
    }
};

// 200 schedules per fault kind; TANDRIL_SOAK_SEEDS asks for more (scripts/soak).
unsigned seedCount() {
    const char* text = std::getenv("TANDRIL_SOAK_SEEDS");
    if (!text || !*text) return 200;
    char* end = nullptr;
    const unsigned long count = std::strtoul(text, &end, 10);
    return *end == '\0' && count > 0 && count <= 100000000ul ? static_cast<unsigned>(count) : 200;
}

TEST_P(LinkFaultTest, EverySeededScheduleEndsIdleWithNothingPending) {
    const unsigned seeds = seedCount();
    for (unsigned seed = 1; seed <= seeds; ++seed) {
        runSchedule(seed * 7919u + static_cast<unsigned>(GetParam()));
        if (HasFailure()) break;
    }
}

INSTANTIATE_TEST_SUITE_P(AllPhases, LinkFaultTest,
                         ::testing::Values(Fault::DropLink, Fault::FailConnect, Fault::FailDiscoverServices,
                                           Fault::FailDiscoverCharacteristics, Fault::FailRead, Fault::FailSetNotify));

}  // namespace
}  // namespace tandril::test
