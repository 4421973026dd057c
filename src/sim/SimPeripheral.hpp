#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "ble/platform/PlatformPeripheral.hpp"
#include "foundation/Error.hpp"
#include "foundation/RunLoop.hpp"
#include "foundation/Value.hpp"
#include "sim/SimOperation.hpp"

namespace tandril {

class SimCentral;
class SimCharacteristic;
class SimRadio;
class SimService;

// A simulated BLE device: what it advertises, its GATT database, its bond, its link
// timing and its scripted faults; and at the same time the platform peripheral object the
// central sees for it (one object for as long as the device is known).
//
// Grow it into a richer device (the simulated phone) by subclassing and overriding the
// handle…/did… hooks, or by giving characteristics their own handlers. Hooks run on the
// main loop when the radio processes an operation, after its latency; an answer event is
// queued before the did… hook runs, so anything the hook sends arrives after the answer.
//
// Everything the radio reports is an event on the central's queue; nothing for a link
// arrives after the link dropped. Thread-safe.
class SimPeripheral : public PlatformPeripheral {
public:
    static std::shared_ptr<SimPeripheral> create(std::optional<std::string> name = std::nullopt,
                                                 tandril::UUID identifier = tandril::UUID::random());
    ~SimPeripheral() override;

    // ---- Platform side --------------------------------------------------------------
    tandril::UUID identifier() const override { return identifier_; }
    std::optional<std::string> name() const override;
    int state() const override;
    std::vector<std::shared_ptr<PlatformService>> services() const override;
    std::optional<std::int64_t> RSSI() const override;
    std::shared_ptr<PlatformPeripheralDelegate> delegate() const override;
    void setDelegate(std::weak_ptr<PlatformPeripheralDelegate> delegate) override;
    void discoverServices(const std::optional<std::vector<tandril::UUID>>& serviceUUIDs) override;
    void discoverCharacteristics(const std::optional<std::vector<tandril::UUID>>& characteristicUUIDs,
                                 const std::shared_ptr<PlatformService>& service) override;
    void readValueForCharacteristic(const std::shared_ptr<PlatformCharacteristic>& characteristic) override;
    void writeValue(const Bytes& data, const std::shared_ptr<PlatformCharacteristic>& characteristic,
                    int type) override;
    void setNotifyValue(bool enabled, const std::shared_ptr<PlatformCharacteristic>& characteristic) override;
    void readRSSI() override;

    // ---- Advertising ----------------------------------------------------------------
    // Changing the name of a linked device reports a name change to the central.
    void setName(std::optional<std::string> name);
    std::vector<tandril::UUID> advertisedServiceUUIDs() const;
    void setAdvertisedServiceUUIDs(std::vector<tandril::UUID> uuids);
    std::vector<tandril::UUID> solicitedServiceUUIDs() const;
    void setSolicitedServiceUUIDs(std::vector<tandril::UUID> uuids);
    // The manufacturer-specific data of the advertisement (its first two bytes are the
    // maker's company identifier, little-endian); absent by default.
    std::optional<Bytes> manufacturerData() const;
    void setManufacturerData(std::optional<Bytes> data);
    // Signal strength in dBm: the RSSI of advertisements and of readRSSI answers.
    std::int64_t signalStrength() const;
    void setSignalStrength(std::int64_t dBm);
    // An advertising device in range is reported once when a scan starts (and again on
    // every SimRadio::advertise).
    bool isAdvertising() const;
    void setAdvertising(bool advertising);
    // With a value, an advertising device in range repeats its advertisement at this
    // interval while a scan that allows duplicates runs.
    std::optional<Duration> advertisingInterval() const;
    void setAdvertisingInterval(std::optional<Duration> interval);
    // The advertisement dictionary (local name, manufacturer data, services, solicited
    // services, connectable).
    Dictionary advertisementData() const;
    // Out of range: no advertisements, connects wait until the device is back; a link
    // drops with a connection timeout (CBErrorDomain 6).
    bool isInRange() const;
    void setInRange(bool inRange);
    // Linked to the computer by another program: retrieveConnectedPeripheralsWithServices
    // finds it.
    bool isConnectedToSystem() const;
    void setConnectedToSystem(bool connected);

    // ---- GATT database --------------------------------------------------------------
    std::shared_ptr<SimService> addService(const tandril::UUID& uuid, bool primary = true);
    std::shared_ptr<SimService> service(const tandril::UUID& uuid) const;
    std::vector<std::shared_ptr<SimService>> allServices() const;
    std::shared_ptr<SimCharacteristic> characteristic(const tandril::UUID& serviceUUID,
                                                      const tandril::UUID& characteristicUUID) const;
    // Largest ATT payload of a notification on this link (MTU - 3); the device fragments.
    std::size_t mtu() const;
    void setMTU(std::size_t mtu);

    // ---- Bond -----------------------------------------------------------------------
    // A bonded device encrypts the link on the first access that needs it; an unbonded one
    // answers such an access with CBATTErrorDomain 5 (insufficient authentication), unless
    // pairing is accepted, in which case that access bonds the devices and goes through.
    bool isBonded() const;
    void setBonded(bool bonded);
    bool acceptsPairing() const;
    void setAcceptsPairing(bool accepts);
    bool isLinkEncrypted() const;

    // ---- Timing and faults ----------------------------------------------------------
    Duration latency(SimOperation operation) const;
    void setLatency(SimOperation operation, Duration latency);
    // A connect that never answers (until cancelled).
    void setConnectNeverAnswers(bool neverAnswers);
    // Connects fail with `error` (absent: connects succeed).
    void setConnectFailure(ErrorPtr error);
    // Whether cancelling a connect that has not completed reports a disconnection (true by
    // default) or nothing.
    void setReportsCancelledConnect(bool reports);
    // The next operation of this kind (on the given characteristic, when one is named) is
    // answered with `error` instead of being carried out. Faults queue up in order.
    void failNext(SimOperation operation, ErrorPtr error,
                  std::optional<tandril::UUID> characteristicUUID = std::nullopt);
    // Service discovery reports only these services, as a stale cache does (absent: all).
    void setStaleServiceCache(std::optional<std::vector<tandril::UUID>> visibleServices);
    // The device drops the link: a disconnect event with `error` (default: CBErrorDomain 7).
    void dropLink(ErrorPtr error = nullptr);

    // ---- Links the device makes itself (a phone connecting to the desktop) ---------------
    // The device connects to the radio's current central, which sees an incoming
    // connection (after the Connect latency). False, doing nothing, when there is no
    // active central, the device is out of range, or it is linked or connecting already.
    bool connectIncoming();
    // An unbonded device that pairs on an incoming link asks for numeric comparison right
    // after the link is up: the installed PlatformPairingConfirmer gets its name and
    // pairingCode(), and the device answers with pairingAnswer(). Both accept: bonded.
    // Accesses that need encryption wait while the pairing runs; after a refusal they are
    // answered with CBATTErrorDomain 5. Off by default.
    enum class PairingAnswer { Accept, Reject, Never };
    bool pairsOnIncomingLink() const;
    void setPairsOnIncomingLink(bool pairs);
    PairingAnswer pairingAnswer() const;
    void setPairingAnswer(PairingAnswer answer);
    std::string pairingCode() const;
    void setPairingCode(std::string code);
    bool isPairing() const;
    // A bonded device that reconnects by itself whenever the central it knows starts
    // advertising (or it comes back in range while that central advertises). Off by default.
    bool reconnectsWhenAdvertised() const;
    void setReconnectsWhenAdvertised(bool reconnects);
    // Called by the central when it starts advertising.
    void centralStartedAdvertising();

    // ---- Device-initiated traffic -----------------------------------------------------
    // Sends `value` as a notification of `characteristic` after `delay` (plus the
    // Notification latency). Returns false, sending nothing, when the link is down or the
    // central is not subscribed; a notification in flight when the link drops is lost.
    bool notify(const std::shared_ptr<SimCharacteristic>& characteristic, const Bytes& value,
                Duration delay = Duration::zero());

    // ---- Observation (tests, simulator) ------------------------------------------------
    bool isLinked() const;
    std::size_t connectRequestCount() const;
    std::size_t cancelRequestCount() const;
    std::shared_ptr<SimRadio> radio() const;

    // ---- Radio side (called by SimRadio and SimCentral) -----------------------------------
    void attach(std::weak_ptr<SimRadio> radio);
    void connectRequested(const std::shared_ptr<SimCentral>& central);
    void cancelRequested(const std::shared_ptr<SimCentral>& central);
    // Drops the link without any event (its central was replaced).
    void dropLinkSilently();

protected:
    SimPeripheral(std::optional<std::string> name, tandril::UUID identifier);

    // Hooks. The defaults use the characteristic's handler when it has one; otherwise a
    // read answers the stored value, a write stores the value, a subscription is accepted.
    virtual ErrorPtr handleRead(SimCharacteristic& characteristic, Bytes& value);
    virtual ErrorPtr handleWrite(SimCharacteristic& characteristic, const Bytes& data, bool withResponse);
    virtual ErrorPtr handleSetNotify(SimCharacteristic& characteristic, bool enabled);
    // After the answer was queued.
    virtual void didWrite(SimCharacteristic& characteristic, const Bytes& data);
    virtual void didSetNotify(SimCharacteristic& characteristic, bool enabled);
    virtual void didConnect();
    virtual void didDisconnect();

    std::shared_ptr<SimPeripheral> self();

private:
    struct Fault {
        SimOperation operation;
        ErrorPtr error;
        std::optional<tandril::UUID> characteristicUUID;
    };

    using PeripheralEvent = std::function<void(const std::shared_ptr<PlatformPeripheralDelegate>&)>;

    // Runs `job` on the main loop after the operation's latency (plus `extra`).
    void afterLatency(SimOperation operation, std::function<void()> job, Duration extra = Duration::zero());
    // The number of the link that is up now; absent while there is none.
    std::optional<std::uint64_t> currentLink() const;
    bool isLink(std::uint64_t link) const;
    std::shared_ptr<SimCentral> linkedCentral() const;
    // Queues a peripheral event for link `link`; dropped at delivery unless that link is still up.
    void deliverOnLink(std::uint64_t link, PeripheralEvent event);
    ErrorPtr takeFault(SimOperation operation, const std::optional<tandril::UUID>& characteristicUUID);
    // Encrypts the link for an access that needs it; the error when that is refused.
    ErrorPtr secureAccess();
    void completeConnect(std::uint64_t attempt);
    // Sends the report of a cancelled connect that is still waiting: the one numbered
    // `report` when it is still the latest, or whichever is waiting when absent.
    void flushCancelledConnectReport(std::optional<std::uint64_t> report = std::nullopt);
    void retryPendingConnect();
    void completeIncoming(std::uint64_t attempt);
    void startPairing(std::uint64_t link);
    void finishPairing(std::uint64_t link, bool accepted);
    // While a pairing runs on `link`, keeps `job` (re-asking an access that needs
    // encryption) for when it ends and returns true.
    bool deferWhilePairing(std::uint64_t link, std::function<void()> job);
    void endLink(ErrorPtr error, bool report);
    std::shared_ptr<SimCharacteristic> ownCharacteristic(const std::shared_ptr<PlatformCharacteristic>& c) const;
    std::shared_ptr<SimService> ownService(const std::shared_ptr<PlatformService>& s) const;

    const tandril::UUID identifier_;
    mutable std::mutex mutex_;
    std::weak_ptr<SimRadio> radio_;
    std::weak_ptr<PlatformPeripheralDelegate> delegate_;
    std::optional<std::string> name_;
    int state_ = 0;
    std::optional<std::int64_t> rssi_;
    std::vector<tandril::UUID> advertisedServiceUUIDs_;
    std::vector<tandril::UUID> solicitedServiceUUIDs_;
    std::optional<Bytes> manufacturerData_;
    std::int64_t signalStrength_ = -50;
    bool advertising_ = true;
    std::optional<Duration> advertisingInterval_;
    bool inRange_ = true;
    bool connectedToSystem_ = false;
    std::vector<std::shared_ptr<SimService>> database_;
    std::vector<std::shared_ptr<SimService>> discovered_;
    std::size_t mtu_ = 185;
    bool bonded_ = false;
    bool acceptsPairing_ = false;
    bool encrypted_ = false;
    std::map<SimOperation, Duration> latencies_;
    bool connectNeverAnswers_ = false;
    ErrorPtr connectFailure_;
    bool reportsCancelledConnect_ = true;
    std::deque<Fault> faults_;
    std::optional<std::vector<tandril::UUID>> staleServiceCache_;
    // The central of the link or pending connect, and counters that tell stale work apart.
    std::weak_ptr<SimCentral> central_;
    std::uint64_t linkGeneration_ = 0;
    std::uint64_t connectAttempt_ = 0;
    bool connectPending_ = false;
    std::size_t connectRequests_ = 0;
    std::size_t cancelRequests_ = 0;
    // The report of a cancelled connect waiting for its latency, and its number.
    std::shared_ptr<SimCentral> cancelReportCentral_;
    std::uint64_t cancelReport_ = 0;
    // Incoming links and pairing.
    bool incomingPending_ = false;
    bool pairsOnIncomingLink_ = false;
    PairingAnswer pairingAnswer_ = PairingAnswer::Accept;
    std::string pairingCode_ = "314159";
    bool reconnectsWhenAdvertised_ = false;
    std::optional<std::uint64_t> pairingLink_;
    bool phoneAccepted_ = false;
    bool desktopAccepted_ = false;
    std::vector<std::function<void()>> waitingForPairing_;
};

}  // namespace tandril
