#pragma once

#include <QString>

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "ble/platform/PlatformCharacteristic.hpp"

namespace tandril {

class BluezService;

// One org.bluez.GattCharacteristic1 as the contract's characteristic. Getters are safe from
// any thread; the bookkeeping below the getters belongs to the adapter's D-Bus thread.
class BluezCharacteristic : public PlatformCharacteristic {
public:
    BluezCharacteristic(QString path, tandril::UUID uuid, std::weak_ptr<BluezService> service);

    tandril::UUID UUID() const override { return uuid_; }
    std::shared_ptr<PlatformService> service() const override;
    std::uint32_t properties() const override;
    std::optional<Bytes> value() const override;
    bool isNotifying() const override;

    const QString& path() const { return path_; }
    void setProperties(std::uint32_t properties);
    void setValue(std::optional<Bytes> value);
    void setNotifying(bool notifying);

    // CBCharacteristicProperty* bits from BlueZ's Flags.
    static std::uint32_t propertiesFromFlags(const std::vector<std::string>& flags);

    // ---- D-Bus thread only ------------------------------------------------------------
    struct Write {
        Bytes data;
        bool withResponse = true;
    };
    // Writes wait here: BlueZ answers InProgress to a write while another is pending.
    std::deque<Write> writes;
    bool writeInFlight = false;
    // Reads sent and not answered; while there are any, Value signals wait in `heldValues`,
    // because BlueZ echoes each read's value as a Value signal just before the answer.
    int readsInFlight = 0;
    std::vector<Bytes> heldValues;
    // The link on which our notification session was started (0: none); Value signals of
    // other links are old sessions that BlueZ re-enabled.
    std::uint64_t subscribedLink = 0;
    // A StartNotify succeeded and no StopNotify followed: BlueZ keeps the session.
    bool hasSession = false;

private:
    const QString path_;
    const tandril::UUID uuid_;
    const std::weak_ptr<BluezService> service_;
    mutable std::mutex mutex_;
    std::uint32_t properties_ = 0;
    std::optional<Bytes> value_;
    bool notifying_ = false;
};

}  // namespace tandril
