#include "ble/LGCharacteristic.hpp"

#include "ble/StringExtraction.hpp"
#include "ble/platform/PlatformCharacteristic.hpp"
#include "ble/platform/PlatformConstants.hpp"
#include "ble/platform/PlatformPeripheral.hpp"
#include "ble/platform/PlatformService.hpp"
#include "foundation/MainThread.hpp"

namespace tandril {

LGCharacteristic::LGCharacteristic(std::shared_ptr<PlatformCharacteristic> characteristic)
    : cbCharacteristic_(std::move(characteristic)) {}

LGCharacteristic::~LGCharacteristic() = default;

std::string LGCharacteristic::UUIDString() const {
    return cbCharacteristic_ ? representativeString(cbCharacteristic_->UUID()) : std::string();
}

std::shared_ptr<PlatformPeripheral> LGCharacteristic::platformPeripheral() const {
    if (!cbCharacteristic_) return nullptr;
    auto service = cbCharacteristic_->service();
    return service ? service->peripheral() : nullptr;
}

void LGCharacteristic::setNotifyValue(bool enabled, ErrorCallback completion, ValueCallback onUpdate) {
    TANDRIL_ASSERT_MAIN_THREAD();
    // Every request takes one place in the queue, so that its answer cannot complete a
    // later request.
    if (!completion) completion = [](const ErrorPtr&) {};
    updateCallback_ = std::move(onUpdate);
    push(std::move(completion), notifyOperationStack_);
    if (auto peripheral = platformPeripheral()) peripheral->setNotifyValue(enabled, cbCharacteristic_);
}

void LGCharacteristic::setNotifyValue(bool enabled, ErrorCallback completion) {
    setNotifyValue(enabled, std::move(completion), nullptr);
}

void LGCharacteristic::readValueWithBlock(ValueCallback completion) {
    TANDRIL_ASSERT_MAIN_THREAD();
    if (!completion) return;
    push(std::move(completion), readOperationStack_);
    if (auto peripheral = platformPeripheral()) peripheral->readValueForCharacteristic(cbCharacteristic_);
}

void LGCharacteristic::writeValue(const Bytes& data, ErrorCallback completion) {
    TANDRIL_ASSERT_MAIN_THREAD();
    const bool withResponse = static_cast<bool>(completion);
    if (withResponse) push(std::move(completion), writeOperationStack_);
    if (auto peripheral = platformPeripheral()) {
        peripheral->writeValue(data, cbCharacteristic_,
                               withResponse ? CBCharacteristicWriteWithResponse : CBCharacteristicWriteWithoutResponse);
    }
}

void LGCharacteristic::writeByte(std::int8_t value, ErrorCallback completion) {
    writeValue(Bytes{static_cast<std::uint8_t>(value)}, std::move(completion));
}

void LGCharacteristic::push(ErrorCallback callback, ErrorCallbackQueue& queue) {
    queue.push_back(std::move(callback));
}

void LGCharacteristic::push(ValueCallback callback, ValueCallbackQueue& queue) {
    queue.push_back(std::move(callback));
}

LGCharacteristic::ErrorCallback LGCharacteristic::popFromArray(ErrorCallbackQueue& queue) {
    if (queue.empty()) return nullptr;
    auto front = std::move(queue.front());
    queue.pop_front();
    return front;
}

LGCharacteristic::ValueCallback LGCharacteristic::popFromArray(ValueCallbackQueue& queue) {
    if (queue.empty()) return nullptr;
    auto front = std::move(queue.front());
    queue.pop_front();
    return front;
}

void LGCharacteristic::handleReadValue(const std::optional<Bytes>& value, const ErrorPtr& error) {
    TANDRIL_ASSERT_MAIN_THREAD();
    if (updateCallback_) {
        // A copy: the callback may replace itself.
        auto update = updateCallback_;
        update(value, error);
    }
    if (auto read = popFromArray(readOperationStack_)) read(value, error);
}

void LGCharacteristic::handleWrittenValueWithError(const ErrorPtr& error) {
    TANDRIL_ASSERT_MAIN_THREAD();
    if (auto write = popFromArray(writeOperationStack_)) write(error);
}

void LGCharacteristic::handleSetNotifiedWithError(const ErrorPtr& error) {
    TANDRIL_ASSERT_MAIN_THREAD();
    if (auto notify = popFromArray(notifyOperationStack_)) notify(error);
}

std::string LGCharacteristic::description() const {
    return defaultDescription() + " <" + UUIDString() + ">";
}

}  // namespace tandril
