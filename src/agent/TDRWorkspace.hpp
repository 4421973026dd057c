#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "agent/TDRKeyValueObserver.hpp"
#include "agent/TDRRunningApplication.hpp"

namespace tandril {

// Names of the workspace's sleep and wake notifications.
inline constexpr const char* NSWorkspaceWillSleepNotification = "NSWorkspaceWillSleepNotification";
inline constexpr const char* NSWorkspaceDidWakeNotification = "NSWorkspaceDidWakeNotification";
// The observable key of the running-application list.
inline constexpr const char* TDRRunningApplicationsKeyPath = "runningApplications";
// The platform's default launch options: asynchronous launch.
inline constexpr std::uint32_t NSWorkspaceLaunchDefault = 0x30000;

// The desktop session: sleep and wake, running applications, launching and opening.
class TDRWorkspace {
public:
    using Handler = std::function<void()>;

    virtual ~TDRWorkspace() = default;

    // Registers on the workspace's notification center for NSWorkspaceWillSleepNotification
    // or NSWorkspaceDidWakeNotification; observations last as long as the workspace.
    virtual void addObserver(const std::string& name, Handler handler) = 0;

    virtual std::vector<std::shared_ptr<TDRRunningApplication>> runningApplicationsWithBundleIdentifier(
        const std::string& bundleIdentifier) = 0;
    // Starts the application known by `bundleIdentifier`. True when the launch was started.
    virtual bool launchAppWithBundleIdentifier(const std::string& bundleIdentifier, std::uint32_t options) = 0;
    // Opens a file or bundle with its default application. True when it could be opened.
    virtual bool openFile(const std::string& path) = 0;

    // Key-value observation of "runningApplications", asking for new values. The observer
    // is not owned; it must remove itself before it goes away.
    virtual void addRunningApplicationsObserver(TDRKeyValueObserver* observer, const void* context) = 0;
    virtual void removeRunningApplicationsObserver(TDRKeyValueObserver* observer, const void* context) = 0;
};

}  // namespace tandril
