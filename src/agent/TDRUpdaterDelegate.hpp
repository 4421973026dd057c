#pragma once

#include <string>

namespace tandril {

class TDRUpdater;

class TDRUpdaterDelegate {
public:
    virtual ~TDRUpdaterDelegate() = default;

    // The program the updater restarts after it has installed an update.
    virtual std::string pathToRelaunchForUpdater(TDRUpdater* updater) = 0;
};

}  // namespace tandril
