#pragma once

// The stock-iPhone scenarios (phones without the companion application connect to the
// advertising desktop), written once and run over every radio: the simulated radio
// (tests/engine/StockIPhoneTest.cpp) and the stand-in BlueZ behind the BlueZ adapter
// (tests/bluez/StockIPhoneOverBluezTest.cpp). A scenario reaches the radio only through
// StockRadio.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ble/platform/PlatformPairingConfirmer.hpp"
#include "engine/CNConsumerManager.hpp"
#include "engine/RecordingConsumerDelegate.hpp"
#include "foundation/UUID.hpp"
#include "sim/SimPeripheral.hpp"
#include "support/LogCapture.hpp"

namespace tandril {
class SimPhone;
class SimRadio;
}  // namespace tandril

namespace tandril::test {

// The desktop's side of the numeric comparison: answers at once, or holds the request.
class RecordingConfirmer : public PlatformPairingConfirmer {
public:
    enum class Mode { Accept, Reject, Hold };
    Mode mode = Mode::Accept;
    std::vector<std::string> requests;
    std::vector<std::function<void(bool)>> held;

    void confirmPairing(const std::optional<std::string>& name, const std::string& code,
                        std::function<void(bool)> reply) override;
};

// What the scenarios do to the radio, its phones and time.
class StockRadio {
public:
    using Answer = SimPeripheral::PairingAnswer;
    virtual ~StockRadio() = default;

    // The simulated radio the phones live on.
    virtual std::shared_ptr<SimRadio> simRadio() const = 0;
    // A stock iPhone with one application; with `withNotification`, it holds one
    // notification ("Anna").
    std::shared_ptr<SimPhone> stockPhone(const std::string& name, Answer answer = Answer::Accept,
                                         bool withNotification = false);

    // The advertisement as the phones see it.
    virtual bool advertising() const = 0;
    virtual std::string advertisedName() const = 0;
    virtual std::vector<UUID> advertisedSolicited() const = 0;
    // How many times the desktop's advertisement was put up.
    virtual std::size_t advertisingStarts() const = 0;
    // The identifier under which the engine knows a simulated device.
    virtual UUID identifierOf(const std::shared_ptr<SimPeripheral>& device) const = 0;
    // The adapter is switched off or on.
    virtual void setPowered(bool powered) = 0;

    // Runs what is due now and lets the radio's traffic finish; no time passes.
    virtual void settle() = 0;
    // Lets `seconds` of (virtual) time pass.
    virtual void advance(double seconds) = 0;
    // Lets work run, and time pass when the radio needs it (BlueZ's 2 s disconnect window),
    // until `done` holds; false when it never did.
    virtual bool waitUntil(const std::function<bool()>& done) = 0;
    // Disconnects, lets every timer run out and checks that nothing is left pending.
    virtual void expectQuiescent() = 0;
};

// The engine under test and what records it.
struct StockContext {
    CNConsumerManager& engine;
    RecordingConsumerDelegate& delegate;
    LogCapture& logs;
    RecordingConfirmer& confirmer;
    StockRadio& radio;
};

namespace stock {
void wholePathFromAdvertisingToTheFirstNotification(StockContext& c);
void bondedPhoneReconnectsByItselfWheneverTheDesktopAdvertises(StockContext& c);
void phoneThatNeverPairsIsDroppedAfterAMinuteAndAdvertisingResumes(StockContext& c);
void rejectedPairingOnEitherSideDisconnectsAndAdvertisingResumes(StockContext& c);
void peerWithoutTheNotificationServiceIsDisconnectedAndLogged(StockContext& c);
void secondPhoneIsRefusedAndTheFirstKept(StockContext& c);
void userDisconnectStopsAdvertisingUntilTheSwitchIsTurnedOnAgain(StockContext& c);
void noAdvertisingWhileSleepingOrPoweredOff(StockContext& c);
}  // namespace stock

}  // namespace tandril::test
