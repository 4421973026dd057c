#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "pane/PaneRunningApplication.hpp"

namespace tandril {

// The desktop session as the settings application uses it: which applications run, starting
// the agent, opening web pages.
class PaneWorkspace {
public:
    using Observer = std::function<void()>;

    // Launches without bringing the application to the front.
    static constexpr std::uint32_t kLaunchWithoutActivation = 0x200;

    virtual ~PaneWorkspace() = default;

    // Key-value observation of "runningApplications": `observer` runs after every change of
    // the running applications (one started or quit), for the life of the workspace.
    virtual void addRunningApplicationsObserver(Observer observer) = 0;
    virtual std::vector<std::shared_ptr<PaneRunningApplication>> runningApplicationsWithBundleIdentifier(
        const std::string& bundleIdentifier) = 0;
    // Starts the application at `path` (a bundle folder or a program), detached. Launches are
    // asynchronous: the start shows up later as a change of the running applications.
    virtual bool launchApplicationAtURL(const std::string& path, std::uint32_t options) = 0;
    // Opens `url` in the user's default web browser.
    virtual bool openURL(const std::string& url) = 0;
};

}  // namespace tandril
