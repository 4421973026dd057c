#pragma once

#include <optional>
#include <string>

namespace tandril {

// Where the engine keeps the identifier of the phone it reconnects to by itself: the text
// it was given, read afresh on every access, written through at once.
class CNPreferredDeviceStore {
public:
    virtual ~CNPreferredDeviceStore() = default;
    // The stored text, or absent when nothing (or something other than a text) is stored.
    virtual std::optional<std::string> preferredDeviceIdentifier() = 0;
    // Stores `identifier`, or removes the entry when absent, and flushes it to storage.
    virtual void setPreferredDeviceIdentifier(const std::optional<std::string>& identifier) = 0;

protected:
    CNPreferredDeviceStore() = default;
};

}  // namespace tandril
