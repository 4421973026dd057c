#pragma once

// How a fuzz input drives the codec, shared by the libFuzzer targets (the codec alone and
// the whole engine) and the replays of their corpora: the input is a series of records, each a kind byte, a length byte and that many
// bytes (fewer at the end of the input).
//   kind % 4 == 0: a Notification Source value
//   kind % 4 == 1: a Data Source fragment
//   kind % 4 == 2: virtual time passes: the length byte × 0.1 s, and no bytes follow
//   kind % 4 == 3: a Data Source fragment of the record's bytes repeated (kind / 4 + 1) × 64 times,
//                  but no more often than it takes to pass the largest answer the codec keeps

#include <cstddef>
#include <algorithm>
#include <cstdint>
#include <functional>

#include "engine/CNConsumerManager.hpp"
#include "engine/CNNotificationCodec.hpp"
#include "foundation/UserDefaults.hpp"
#include "foundation/VirtualRunLoop.hpp"
#include "model/CNNotificationApplicationManager.hpp"

namespace tandril::codecfuzz {

inline constexpr std::size_t kMaxDataSourceAnswerSize = CNNotificationCodec::kMaxDataSourceAnswerSize;

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
            // Never longer than it takes to pass the largest answer: a longer fragment meets
            // the same bound and only costs time.
            std::size_t times = (kind / 4 + 1) * 64u;
            if (!record.empty()) times = std::min(times, kMaxDataSourceAnswerSize / record.size() + 2);
            // Filled by doubling, a few copies instead of one per repetition, into storage
            // kept from one record to the next.
            static Bytes repeated;
            repeated.resize(record.size() * times);
            std::copy(record.begin(), record.end(), repeated.begin());
            for (std::size_t filled = record.size(); filled < repeated.size();) {
                const std::size_t chunk = std::min(filled, repeated.size() - filled);
                std::copy_n(repeated.begin(), chunk, repeated.begin() + static_cast<std::ptrdiff_t>(filled));
                filled += chunk;
            }
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
