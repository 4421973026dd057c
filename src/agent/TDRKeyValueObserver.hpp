#pragma once

#include <string>

namespace tandril {

// Receives the changes of an observed property (the workspace's running applications).
// `context` is the marker given at registration, compared by identity.
class TDRKeyValueObserver {
public:
    virtual ~TDRKeyValueObserver() = default;

    virtual void observeValueForKeyPath(const std::string& keyPath, const void* object, const void* context) = 0;
};

}  // namespace tandril
