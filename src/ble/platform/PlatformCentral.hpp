#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "foundation/Object.hpp"
#include "foundation/UUID.hpp"
#include "foundation/Value.hpp"

namespace tandril {

class DispatchQueue;
class PlatformCentralDelegate;
class PlatformPeripheral;

// The platform's BLE central, made by PlatformAdapter::createCentral. Operations are asked
// from the main thread and return at once; their outcomes are events on the event queue.
// state() is safe from any thread.
//
// A connect request for a device that is already linked still yields a connect event.
// When a central is replaced by a new one, the old central's links drop and it delivers
// nothing more.
class PlatformCentral : public Object {
public:
    ~PlatformCentral() override = default;

    // CBCentralManagerState* (0 unknown … 5 powered on).
    virtual int state() const = 0;
    // Whether a scan is asked for and not stopped (also while the adapter is off).
    virtual bool isScanning() const = 0;
    virtual std::shared_ptr<PlatformCentralDelegate> delegate() const = 0;
    // The serial queue on which every event of this central and its peripherals arrives.
    virtual std::shared_ptr<DispatchQueue> queue() const = 0;

    // `serviceUUIDs` absent: every advertiser. `options` may hold
    // CBCentralManagerScanOptionAllowDuplicatesKey and
    // CBCentralManagerScanOptionSolicitedServiceUUIDsKey.
    // A scan lasts until stopScan(), whatever the adapter does meanwhile: while the adapter
    // is off, resetting or gone it hears nothing, and once the central has reported powered
    // on again it runs afresh with the same filter and options (every device heard is
    // reported again), without being asked again. A scan asked for while the adapter is not
    // powered on starts that way too. So a client that asked once, e.g. right after the
    // disconnect events that precede a power-off, never needs to ask again.
    virtual void scanForPeripheralsWithServices(const std::optional<std::vector<UUID>>& serviceUUIDs,
                                                const std::optional<Dictionary>& options) = 0;
    virtual void stopScan() = 0;
    virtual void connectPeripheral(const std::shared_ptr<PlatformPeripheral>& peripheral,
                                   const std::optional<Dictionary>& options) = 0;
    // Ends a link or a pending connect; the outcome is a disconnect event.
    virtual void cancelPeripheralConnection(const std::shared_ptr<PlatformPeripheral>& peripheral) = 0;
    // The devices known under these identifiers, in the order asked; unknown ones are left out.
    virtual std::vector<std::shared_ptr<PlatformPeripheral>> retrievePeripheralsWithIdentifiers(
        const std::vector<UUID>& identifiers) = 0;
    // Devices linked to this computer (by any program) that offer any of these services.
    virtual std::vector<std::shared_ptr<PlatformPeripheral>> retrieveConnectedPeripheralsWithServices(
        const std::vector<UUID>& serviceUUIDs) = 0;

    // ---- Advertising (the desktop as a peripheral that phones connect to) -----------------
    // Advertises `localName`, soliciting `solicitedServiceUUIDs`, connectable, until
    // stopAdvertising(). The outcome is a centralManagerDidStartAdvertising event (absent
    // error: advertising). A phone that connects while we advertise arrives as a
    // centralManagerDidReceiveIncomingConnection event; advertising goes on until stopped.
    // Starting again replaces the advertisement. The default reports CBErrorDomain 13
    // (operation not supported) for radios that cannot advertise.
    virtual void startAdvertising(const std::string& localName, const std::vector<UUID>& solicitedServiceUUIDs);
    // Withdraws the advertisement; no event. The default does nothing.
    virtual void stopAdvertising();
    // Whether an advertisement is up (started and not stopped). The default: never.
    virtual bool isAdvertising() const;

    std::string className() const override { return "CBCentralManager"; }

protected:
    PlatformCentral() = default;
};

}  // namespace tandril
