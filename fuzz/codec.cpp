// libFuzzer target for the notification-service codec alone: Notification Source values,
// Data Source fragments and the time between them, in any order (the input format of
// tests/engine/CodecFuzzInput.hpp). No radio, run loop, catalogue or files: tens of
// thousands of inputs a second. fuzz/engine.cpp drives the same inputs through the engine.

#include <cstdint>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>

#include "../tests/engine/CodecFuzzInput.hpp"
#include "engine/CNNotificationCodec.hpp"
#include "foundation/Log.hpp"
#include "http/Image.hpp"
#include "model/CNNotification.hpp"
#include "model/CNNotificationApplication.hpp"

namespace {

using tandril::Bytes;
using tandril::CNNotification;
using tandril::CNNotificationApplication;
using tandril::CNNotificationCodec;

// A stand-in for the catalogue: one shared record per identifier, some already named.
struct Catalogue {
    std::shared_ptr<tandril::Image> icon = tandril::Image::create(1, 1, Bytes(4, 0xFF));
    std::map<std::string, std::shared_ptr<CNNotificationApplication>> records;
    std::shared_ptr<CNNotificationApplication> lookup(const std::string& identifier) {
        auto& record = records[identifier];
        if (!record) {
            record = std::make_shared<CNNotificationApplication>();
            record->setBundleIdentifier(identifier);
            // Identifiers of even length are known with an icon; the others need a lookup.
            if (identifier.size() % 2 == 0) {
                record->setDisplayName(identifier);
                record->setIcon(icon);
            }
        }
        return record;
    }
};

void check(bool condition) {
    if (!condition) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool quiet = [] {
        tandril::setLogSink([](const std::string&) {});
        return true;
    }();
    (void)quiet;

    Catalogue catalogue;
    CNNotificationCodec codec([&catalogue](const std::string& identifier) { return catalogue.lookup(identifier); });
    tandril::TimePoint now{};

    auto apply = [&codec](CNNotificationCodec::Output out) {
        for (const auto& removed : out.removed) {
            check(removed != nullptr);
            codec.removeActiveNotification(removed);
        }
        for (const auto& added : out.added) codec.addActiveNotification(added);
        if (out.named) {
            check(out.named->application != nullptr);
            for (const auto& ready : codec.finishApplication(out.named->notifications)) {
                check(ready->application() == out.named->application);
                codec.addActiveNotification(ready);
            }
        }
        for (const auto& command : out.commands) check(!command.bytes.empty());
    };
    tandril::codecfuzz::replayRecords(
        data, size,
        tandril::codecfuzz::Handlers{
            [&](const Bytes& value) { apply(codec.handleNotificationSourceData(value)); },
            [&](const Bytes& value) { apply(codec.handleDataSourceData(value, now)); },
            [&](tandril::Duration d) { now += d; },
            [&] {
                check(codec.dataSourceDataCache().value_or(Bytes{}).size() <= CNNotificationCodec::kMaxDataSourceAnswerSize);
                check(codec.pendingNotifications().size() <= CNNotificationCodec::kMaxPendingNotifications);
                check(codec.activeNotifications().size() <= CNNotificationCodec::kMaxActiveNotifications);
            }});
    return 0;
}
