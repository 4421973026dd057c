#pragma once

#include <memory>
#include <string>

#include "agent/TDRUpdaterDelegate.hpp"

namespace tandril {

// The update framework's updater for one bundle: reads the feed (an appcast) and tells the
// user of a newer version.
class TDRUpdater {
public:
    virtual ~TDRUpdater() = default;

    virtual void setFeedURL(const std::string& url) = 0;
    virtual void setDelegate(std::weak_ptr<TDRUpdaterDelegate> delegate) = 0;
    // A quiet check: the user hears of it only when a newer version exists.
    virtual void checkForUpdatesInBackground() = 0;
    // A check the user asked for: it always reports its result.
    virtual void checkForUpdates(const void* sender) = 0;
};

}  // namespace tandril
