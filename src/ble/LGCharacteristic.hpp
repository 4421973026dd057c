#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "foundation/Bytes.hpp"
#include "foundation/Error.hpp"
#include "foundation/Object.hpp"

namespace tandril {

class PlatformCharacteristic;
class PlatformPeripheral;

// Wraps one platform GATT characteristic: read, write (with or without response) and
// notification subscription with completions, and a standing callback for every value
// the characteristic reports. The platform's answers carry no request tag, so each kind
// of operation keeps a first-in-first-out queue of pending completions and every event
// completes the oldest one of its kind. Main thread only.
class LGCharacteristic : public Object {
public:
    // Write and notify completions.
    using ErrorCallback = std::function<void(const ErrorPtr& error)>;
    // Read completions and the update callback: the value (absent when the event carried
    // none) and the error.
    using ValueCallback = std::function<void(const std::optional<Bytes>& value, const ErrorPtr& error)>;
    using ErrorCallbackQueue = std::deque<ErrorCallback>;
    using ValueCallbackQueue = std::deque<ValueCallback>;

    // initWithCharacteristic:
    explicit LGCharacteristic(std::shared_ptr<PlatformCharacteristic> characteristic);
    ~LGCharacteristic() override;

    const std::shared_ptr<PlatformCharacteristic>& cbCharacteristic() const { return cbCharacteristic_; }
    // The three queues, oldest first.
    ErrorCallbackQueue& notifyOperationStack() { return notifyOperationStack_; }
    void setNotifyOperationStack(ErrorCallbackQueue queue) { notifyOperationStack_ = std::move(queue); }
    ValueCallbackQueue& readOperationStack() { return readOperationStack_; }
    void setReadOperationStack(ValueCallbackQueue queue) { readOperationStack_ = std::move(queue); }
    ErrorCallbackQueue& writeOperationStack() { return writeOperationStack_; }
    void setWriteOperationStack(ErrorCallbackQueue queue) { writeOperationStack_ = std::move(queue); }
    const ValueCallback& updateCallback() const { return updateCallback_; }
    void setUpdateCallback(ValueCallback callback) { updateCallback_ = std::move(callback); }

    // representativeString of the characteristic's UUID.
    std::string UUIDString() const;

    // Subscribes (true) or unsubscribes; installs `onUpdate` as the update callback (an
    // absent one clears it). An absent completion still takes a place in the queue.
    void setNotifyValue(bool enabled, ErrorCallback completion, ValueCallback onUpdate);
    // As above with no update callback: clears the update callback.
    void setNotifyValue(bool enabled, ErrorCallback completion);
    // An absent completion sends nothing.
    void readValueWithBlock(ValueCallback completion);
    // With a completion: a write with response, completed by the next write event.
    // Without: a write without response, reported by nothing.
    void writeValue(const Bytes& data, ErrorCallback completion);
    void writeByte(std::int8_t value, ErrorCallback completion);

    static void push(ErrorCallback callback, ErrorCallbackQueue& queue);
    static void push(ValueCallback callback, ValueCallbackQueue& queue);
    // The front of the queue, removed; absent when the queue is empty.
    static ErrorCallback popFromArray(ErrorCallbackQueue& queue);
    static ValueCallback popFromArray(ValueCallbackQueue& queue);

    // Events routed here by the peripheral wrapper.
    void handleReadValue(const std::optional<Bytes>& value, const ErrorPtr& error);
    void handleWrittenValueWithError(const ErrorPtr& error);
    void handleSetNotifiedWithError(const ErrorPtr& error);

    // "<LGCharacteristic: 0x…> <uuid text>"
    std::string description() const override;
    std::string className() const override { return "LGCharacteristic"; }

private:
    std::shared_ptr<PlatformPeripheral> platformPeripheral() const;

    std::shared_ptr<PlatformCharacteristic> cbCharacteristic_;
    ErrorCallbackQueue notifyOperationStack_;
    ValueCallbackQueue readOperationStack_;
    ErrorCallbackQueue writeOperationStack_;
    ValueCallback updateCallback_;
};

}  // namespace tandril
