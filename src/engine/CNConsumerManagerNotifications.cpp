// What the notification-service codec asks of the engine: commands written to the
// Control Point, records handed to the delegate, and applications stored in the catalogue
// (with their icons) before their records go out.

#include <memory>

#include "ble/LGCharacteristic.hpp"
#include "engine/CNConsumerManager.hpp"
#include "foundation/Log.hpp"
#include "foundation/MainThread.hpp"
#include "foundation/RunLoop.hpp"
#include "model/CNNotification.hpp"
#include "model/CNNotificationApplication.hpp"
#include "model/CNNotificationApplicationManager.hpp"

namespace tandril {

void CNConsumerManager::handleNotificationSourceData(const Bytes& data) {
    TANDRIL_ASSERT_MAIN_THREAD();
    apply(codec_.handleNotificationSourceData(data));
}

void CNConsumerManager::handleDataSourceData(const Bytes& data) {
    TANDRIL_ASSERT_MAIN_THREAD();
    apply(codec_.handleDataSourceData(data, RunLoop::main().now()));
}

// The codec has finished with its own state before anything here runs, so the catalogue
// and the delegate may feed the engine again.
void CNConsumerManager::apply(CNNotificationCodec::Output output) {
    for (const auto& command : output.commands) writeCommand(command);
    for (const auto& notification : output.removed) handleRemovedNotification(notification);
    for (const auto& notification : output.added) handleAddedNotification(notification);
    if (output.named) storeNamedApplication(std::move(*output.named));
}

void CNConsumerManager::writeCommand(const CNNotificationCodec::Command& command) {
    if (!controlPointCharacteristic_) return;
    if (command.kind == CNNotificationCodec::CommandKind::NotificationAttributes) {
        controlPointCharacteristic_->writeValue(command.bytes, [](const ErrorPtr& error) {
            log("[ANCS] Requested notification attributes (Error: %@)", error);
        });
    } else {
        controlPointCharacteristic_->writeValue(command.bytes, [](const ErrorPtr& error) {
            log("[ANCS] Requested app attributes (Error: %@)", error);
        });
    }
}

// The application got its display name: store it, with its icon when it has none yet, then
// deliver the records that waited for it (those the phone has not withdrawn meanwhile).
void CNConsumerManager::storeNamedApplication(CNNotificationCodec::NamedApplication named) {
    auto catalogue = catalogue_;
    if (named.application->icon() || !catalogue) {
        // Without a catalogue there is no icon to wait for: the records go out as they are.
        if (catalogue) catalogue->cacheApplication(named.application);
        for (const auto& notification : codec_.finishApplication(named.notifications)) {
            handleAddedNotification(notification);
        }
        return;
    }
    auto self = strongSelf();
    catalogue->downloadIconForApplication(
        named.application, [self, catalogue, named](std::shared_ptr<Image>, ErrorPtr) {
            catalogue->cacheApplication(named.application);
            for (const auto& notification : self->codec_.finishApplication(named.notifications)) {
                self->handleAddedNotification(notification);
            }
        });
}

void CNConsumerManager::handleAddedNotification(const std::shared_ptr<CNNotification>& notification) {
    TANDRIL_ASSERT_MAIN_THREAD();
    log("[ANCS] Received notification: %@", notification);
    codec_.addActiveNotification(notification);
    if (auto d = delegate()) d->consumerManagerAddedNotification(this, notification);
}

void CNConsumerManager::handleRemovedNotification(const std::shared_ptr<CNNotification>& notification) {
    TANDRIL_ASSERT_MAIN_THREAD();
    log("[ANCS] Removed notification: %@", notification);
    if (auto d = delegate()) d->consumerManagerRemovedNotification(this, notification);
    codec_.removeActiveNotification(notification);
}

}  // namespace tandril
