#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "ble/platform/PlatformAdapter.hpp"
#include "foundation/Error.hpp"
#include "foundation/Object.hpp"
#include "foundation/RunLoop.hpp"
#include "foundation/UUID.hpp"

namespace tandril {

class SimCentral;
class SimClassicDevice;
class SimPeripheral;

// The simulated radio: an adapter over simulated peripherals, in the main loop's time
// (virtual time in tests). Install it with PlatformAdapter::setCurrent(radio) before the
// central manager is created.
//
// The radio's work happens on the main loop; its outcomes are events on the central's
// queue. The adapter state may be read from any thread.
class SimRadio : public Object, public PlatformAdapter {
public:
    static std::shared_ptr<SimRadio> create();
    // Creates a radio and installs it as the current adapter.
    static std::shared_ptr<SimRadio> install();
    ~SimRadio() override;

    // ---- PlatformAdapter ------------------------------------------------------------
    // The new central reports the adapter state; the previous central's links drop silently.
    std::shared_ptr<PlatformCentral> createCentral(std::weak_ptr<PlatformCentralDelegate> delegate,
                                                   std::shared_ptr<DispatchQueue> queue) override;
    std::vector<std::shared_ptr<PlatformClassicDevice>> pairedDevices() override;

    // ---- Adapter state ----------------------------------------------------------------
    // CBCentralManagerState*; powered on (5) at first.
    int state() const { return state_; }
    // Changes the state and reports it to the current central. Leaving the powered-on
    // state ends the scan and drops every link, each reported as a disconnection with
    // CBErrorDomain 7 (peripheral disconnected) before the new state.
    void setState(int state);

    // ---- Devices ------------------------------------------------------------------------
    void addPeripheral(const std::shared_ptr<SimPeripheral>& peripheral);
    void removePeripheral(const std::shared_ptr<SimPeripheral>& peripheral);
    std::vector<std::shared_ptr<SimPeripheral>> peripherals() const;
    std::shared_ptr<SimPeripheral> peripheral(const UUID& identifier) const;
    // Sends one advertisement of `peripheral` now (plus its Advertise latency), with its
    // signal strength or with `RSSI`.
    void advertise(const std::shared_ptr<SimPeripheral>& peripheral, std::optional<std::int64_t> RSSI = std::nullopt);

    // ---- Paired classic devices -------------------------------------------------------
    std::shared_ptr<SimClassicDevice> addPairedDevice(const std::string& name,
                                                      const std::shared_ptr<SimPeripheral>& peripheral = nullptr);
    void removePairedDevices();

    // ---- Advertising -------------------------------------------------------------------
    // The time a central's startAdvertising takes to answer (zero by default).
    Duration advertisingLatency() const;
    void setAdvertisingLatency(Duration latency);
    // The next startAdvertising is answered with `error` (e.g. CBErrorDomain 13 for a
    // controller that cannot advertise).
    void failNextAdvertising(ErrorPtr error);
    ErrorPtr takeAdvertisingFailure();

    // ---- Pairing ------------------------------------------------------------------------
    // Who answers for this radio's host when one of its devices pairs by numeric comparison
    // (`code`: the six digits the device shows; `reply` once, true to accept). Absent (the
    // default): the installed PlatformAdapter::pairingConfirmer(). A stand-in bluetoothd
    // sets its own, which asks its D-Bus agent as bluetoothd does.
    using PairingHandler = std::function<void(const std::shared_ptr<SimPeripheral>& device, const std::string& code,
                                              std::function<void(bool accepted)> reply)>;
    void setPairingHandler(PairingHandler handler);
    PairingHandler pairingHandler() const;

    // ---- Centrals -----------------------------------------------------------------------
    // The current central (the latest created); absent before the first.
    std::shared_ptr<SimCentral> central() const;
    std::size_t centralCount() const;

    std::string className() const override { return "SimRadio"; }

private:
    SimRadio() = default;

    std::atomic<int> state_{5};
    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<SimPeripheral>> peripherals_;
    std::vector<std::shared_ptr<SimClassicDevice>> pairedDevices_;
    std::weak_ptr<SimCentral> central_;
    std::size_t centralCount_ = 0;
    Duration advertisingLatency_{0};
    ErrorPtr advertisingFailure_;
    PairingHandler pairingHandler_;
};

}  // namespace tandril
