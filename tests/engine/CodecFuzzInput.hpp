#pragma once

// How a fuzz input drives the codec, shared by the libFuzzer targets (the codec alone and
// the whole engine) and the replays of their corpora: the input is a series of records, each a kind byte, a length byte and that many
// bytes (fewer at the end of the input).
//   kind % 4 == 0: a Notification Source value
//   kind % 4 == 1: a Data Source fragment
//   kind % 4 == 2: virtual time passes: the length byte × 0.1 s, and no bytes follow
//   kind % 4 == 3: a Data Source fragment of the record's bytes repeated (kind / 4 + 1) × 64 times

#include <cstddef>
#include <cstdint>
#include <functional>

#include "engine/CNConsumerManager.hpp"
#include "foundation/UserDefaults.hpp"
#include "foundation/VirtualRunLoop.hpp"
#include "model/CNNotificationApplicationManager.hpp"

namespace tandril::codecfuzz {

// Points the icon lookup at a URL the HTTP client refuses at once, so that no input
// reaches the network.
inline void refuseIconLookups() {
    UserDefaults defaults(CNNotificationApplicationManager::kLookupDefaultsDomain);
    defaults.setObject(Value("not a url"), CNNotificationApplicationManager::kLookupBaseURLKey);
}

// Where the records of an input go.
struct Handlers {
    std::function<void(const Bytes&)> notificationSource;
    std::function<void(const Bytes&)> dataSource;
    std::function<void(Duration)> wait;
    // After each value.
    std::function<void()> settle;
};

inline void replayRecords(const std::uint8_t* data, std::size_t size, const Handlers& handlers) {
    std::size_t i = 0;
    while (i < size) {
        const std::uint8_t kind = data[i++];
        const std::size_t wanted = i < size ? data[i++] : 0;
        if (kind % 4 == 2) {
            handlers.wait(seconds(0.1 * static_cast<double>(wanted)));
            continue;
        }
        const std::size_t length = wanted < size - i ? wanted : size - i;
        const Bytes record(data + i, data + i + length);
        i += length;
        switch (kind % 4) {
        case 0: handlers.notificationSource(record); break;
        case 1: handlers.dataSource(record); break;
        default: {
            Bytes repeated;
            const std::size_t times = (kind / 4 + 1) * 64u;
            for (std::size_t k = 0; k < times; ++k) repeated.insert(repeated.end(), record.begin(), record.end());
            handlers.dataSource(repeated);
            break;
        }
        }
        if (handlers.settle) handlers.settle();
    }
}

// Through the engine's handlers, on the virtual loop.
inline void replay(CNConsumerManager& engine, VirtualRunLoop& loop, const std::uint8_t* data, std::size_t size) {
    replayRecords(data, size,
                  Handlers{[&engine](const Bytes& value) { engine.handleNotificationSourceData(value); },
                           [&engine](const Bytes& value) { engine.handleDataSourceData(value); },
                           [&loop](Duration d) { loop.advance(d); }, [&loop] { loop.runUntilIdle(); }});
}

}  // namespace tandril::codecfuzz
