#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <ostream>
#include <string>

#include "agent/TDRDesktop.hpp"
#include "foundation/Object.hpp"
#include "foundation/RunLoop.hpp"

namespace tandril {

class SimPhone;
class SimRadio;
class TDRAppDelegate;
class TDRLocalMessageBus;
class TDRTerminalChooser;
class TDRTerminalPresenter;

// The simulator's script: the real agent shell, engine, catalogue and BLE layer over the
// simulated radio, with one simulated iPhone that runs a few familiar applications. The
// phone holds a few notifications from the start, raises a new one every few seconds,
// withdraws some, and once in a while leaves range for a moment and comes back (the agent
// reconnects without a notice). With no preferred phone yet, the script asks for the device
// chooser as the settings application's "Select Device" would, and the terminal chooser
// picks the phone.
//
// It runs on RunLoop::main() (real or virtual time). The desktop is the terminal: the
// notifications and the chooser print to `out`.
class TDRSimulatorScenario : public Object {
public:
    // Seconds.
    static constexpr double kNotificationInterval = 6.0;
    // How long a secured connection lasts before the phone leaves range, and how long it
    // stays away: short enough that the first minute shows a drop and the silent return.
    static constexpr double kConnectedBeforeDrop = 24.0;
    static constexpr double kAwayDuration = 10.0;
    // The phone's identifier stays the same between runs, so that the agent finds the phone
    // it paired with in an earlier run.
    static constexpr const char* kPhoneIdentifier = "5A1D0C3E-7B1F-4C2A-9E3D-0F6B8A4C2D10";
    static constexpr const char* kPhoneName = "Sam's iPhone";

    static std::shared_ptr<TDRSimulatorScenario> create(std::ostream& out);
    ~TDRSimulatorScenario() override;

    // Points the per-user data folder and the user defaults at `dataDirectory` and gives
    // the agent a defaults domain of its own, so that nothing the real agent or the
    // settings application reads is touched. Call before start().
    static void useDataDirectory(const std::string& dataDirectory);
    // The agent's defaults domain, the same name as the real agent's (the engine keeps the
    // preferred phone there by name); the file lives in the simulator's own defaults folder.
    static constexpr const char* kDefaultsDomain = "com.Varn.Glimwick";

    // Pieces of a real desktop to use instead of the terminal's (notifications, control
    // channel, chooser window, host); those left empty are the terminal's. Call before start().
    void setDesktop(TDRDesktop desktop) { desktop_ = std::move(desktop); }

    // The phone is an iPhone without the companion application: the agent advertises, the
    // script picks the computer in the phone's Bluetooth settings ("taps" it), the two pair
    // by numeric comparison (the terminal confirms the code) and the agent subscribes
    // without the handshake. Call before start().
    void setStockIPhone(bool stock) { stock_ = stock; }
    bool isStockIPhone() const { return stock_; }
    // Seconds between the tries of the user's tap while the desktop does not advertise yet.
    static constexpr double kTapInterval = 2.0;

    // Installs the radio and the phone and starts the agent. The main bundle must be set.
    void start();
    // Simulates on `radio`, which another adapter already serves to the agent (the BlueZ
    // mode), where the agent knows the phone as `agentIdentifier` (that adapter derives its
    // own identifiers); call before start(). Without it, start() installs a radio of its own
    // as the current adapter, and the agent knows the phone as kPhoneIdentifier.
    void useRadio(std::shared_ptr<SimRadio> radio, std::string agentIdentifier) {
        radio_ = std::move(radio);
        agentIdentifier_ = std::move(agentIdentifier);
    }

    const std::shared_ptr<SimPhone>& phone() const { return phone_; }
    const std::shared_ptr<SimRadio>& radio() const { return radio_; }
    const std::shared_ptr<TDRAppDelegate>& appDelegate() const { return app_; }
    // The terminal's pieces; absent where setDesktop() gave a real one.
    const std::shared_ptr<TDRTerminalPresenter>& presenter() const { return presenter_; }
    const std::shared_ptr<TDRTerminalChooser>& chooser() const { return chooser_; }
    const std::shared_ptr<TDRLocalMessageBus>& bus() const { return bus_; }

    std::string className() const override { return "TDRSimulatorScenario"; }

private:
    explicit TDRSimulatorScenario(std::ostream& out);
    void scheduleTick();
    void tick();
    void addNextNotification();
    void leaveRange();
    void returnToRange();
    void tapWhenAdvertised();

    std::ostream& out_;
    bool stock_ = false;
    std::shared_ptr<SimRadio> radio_;
    std::string agentIdentifier_ = kPhoneIdentifier;
    std::shared_ptr<SimPhone> phone_;
    TDRDesktop desktop_;
    std::shared_ptr<TDRTerminalPresenter> presenter_;
    std::shared_ptr<TDRTerminalChooser> chooser_;
    std::shared_ptr<TDRLocalMessageBus> bus_;
    std::shared_ptr<TDRAppDelegate> app_;
    std::size_t nextMessage_ = 0;
    std::deque<std::uint32_t> raised_;
    std::optional<TimePoint> securedSince_;
    bool away_ = false;
    // Whether the phone has come back and the agent has not yet reconnected to it.
    bool returning_ = false;
    bool pairedListed_ = false;
};

}  // namespace tandril
