#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "ble/platform/PlatformCharacteristic.hpp"
#include "foundation/Error.hpp"

namespace tandril {

class SimService;

// One characteristic of a simulated peripheral's GATT database, and at the same time the
// platform object the central sees for it. The device side holds the stored value, the
// permissions and the handlers; the central side sees the latest value that reached it.
// Thread-safe.
class SimCharacteristic : public PlatformCharacteristic {
public:
    // Answers a read: may replace `value` (the stored value on entry); a returned error
    // is sent instead of the value.
    using ReadHandler = std::function<ErrorPtr(SimCharacteristic& characteristic, Bytes& value)>;
    // Takes a write: a returned error is the answer of a write with response.
    using WriteHandler =
        std::function<ErrorPtr(SimCharacteristic& characteristic, const Bytes& data, bool withResponse)>;
    // Takes a subscription change: a returned error refuses it.
    using NotifyHandler = std::function<ErrorPtr(SimCharacteristic& characteristic, bool enabled)>;

    SimCharacteristic(tandril::UUID uuid, std::uint32_t properties, std::uint32_t permissions,
                      std::optional<Bytes> value, std::weak_ptr<SimService> service);

    // Platform side.
    tandril::UUID UUID() const override { return uuid_; }
    std::shared_ptr<PlatformService> service() const override;
    std::uint32_t properties() const override { return properties_; }
    std::optional<Bytes> value() const override;
    bool isNotifying() const override;

    // Device side.
    std::shared_ptr<SimService> simService() const { return service_.lock(); }
    std::uint32_t permissions() const { return permissions_; }
    std::optional<Bytes> storedValue() const;
    void setStoredValue(std::optional<Bytes> value);
    // Whether reading, writing or subscribing needs an encrypted link (from the
    // permission and property bits).
    bool readNeedsEncryption() const;
    bool writeNeedsEncryption() const;
    bool notifyNeedsEncryption() const;
    void setReadHandler(ReadHandler handler);
    void setWriteHandler(WriteHandler handler);
    void setNotifyHandler(NotifyHandler handler);
    ReadHandler readHandler() const;
    WriteHandler writeHandler() const;
    NotifyHandler notifyHandler() const;
    // Every value written to this characteristic, oldest first (with and without response).
    std::vector<Bytes> writtenValues() const;

    // Used by the radio: the value the central last received, the subscription state, the
    // write record.
    void setCentralValue(std::optional<Bytes> value);
    void setNotifying(bool notifying);
    void recordWrite(const Bytes& data);

private:
    const tandril::UUID uuid_;
    const std::uint32_t properties_;
    const std::uint32_t permissions_;
    const std::weak_ptr<SimService> service_;
    mutable std::mutex mutex_;
    std::optional<Bytes> storedValue_;
    std::optional<Bytes> centralValue_;
    bool notifying_ = false;
    ReadHandler readHandler_;
    WriteHandler writeHandler_;
    NotifyHandler notifyHandler_;
    std::vector<Bytes> writtenValues_;
};

}  // namespace tandril
