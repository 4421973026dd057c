#pragma once

// How a fuzz input drives the codec, shared by the libFuzzer target and the replay of its
// corpus: the input is a series of records, each a kind byte, a length byte and that many
// bytes (fewer at the end of the input).
//   kind % 4 == 0: a Notification Source value
//   kind % 4 == 1: a Data Source fragment
//   kind % 4 == 2: virtual time passes: the length byte × 0.1 s, and no bytes follow
//   kind % 4 == 3: a Data Source fragment of the record's bytes repeated (kind / 4 + 1) × 64 times

#include <cstddef>
#include <cstdint>

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

inline void replay(CNConsumerManager& engine, VirtualRunLoop& loop, const std::uint8_t* data, std::size_t size) {
    std::size_t i = 0;
    while (i < size) {
        const std::uint8_t kind = data[i++];
        const std::size_t wanted = i < size ? data[i++] : 0;
        if (kind % 4 == 2) {
            loop.advance(seconds(0.1 * static_cast<double>(wanted)));
            continue;
        }
        const std::size_t length = wanted < size - i ? wanted : size - i;
        const Bytes record(data + i, data + i + length);
        i += length;
        switch (kind % 4) {
        case 0: engine.handleNotificationSourceData(record); break;
        case 1: engine.handleDataSourceData(record); break;
        default: {
            Bytes repeated;
            const std::size_t times = (kind / 4 + 1) * 64u;
            for (std::size_t k = 0; k < times; ++k) repeated.insert(repeated.end(), record.begin(), record.end());
            engine.handleDataSourceData(repeated);
            break;
        }
        }
        loop.runUntilIdle();
    }
}

}  // namespace tandril::codecfuzz
