#pragma once

#include <memory>
#include <vector>

namespace tandril {

class PlatformClassicDevice;

// The paired classic Bluetooth devices the engine's bond test looks through, in the
// platform's order. The engine is given one at creation.
class CNPairedDeviceSource {
public:
    virtual ~CNPairedDeviceSource() = default;
    virtual std::vector<std::shared_ptr<PlatformClassicDevice>> pairedDevices() = 0;

protected:
    CNPairedDeviceSource() = default;
};

}  // namespace tandril
