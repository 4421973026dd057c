#pragma once

#include <memory>
#include <vector>

#include "engine/CNPairedDeviceSource.hpp"

namespace tandril {

class PlatformAdapter;

// The paired devices of one radio adapter (the simulated radio, BlueZ).
class CNAdapterPairedDevices : public CNPairedDeviceSource {
public:
    explicit CNAdapterPairedDevices(std::shared_ptr<PlatformAdapter> adapter);
    std::vector<std::shared_ptr<PlatformClassicDevice>> pairedDevices() override;

private:
    std::shared_ptr<PlatformAdapter> adapter_;
};

}  // namespace tandril
