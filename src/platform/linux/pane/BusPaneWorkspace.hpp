#pragma once

#include <QDBusConnection>

#include <memory>
#include <string>
#include <vector>

#include "pane/PaneWorkspace.hpp"

namespace tandril {

class BusWorkspace;

// The settings application's workspace over the session bus, through the agent's BusWorkspace:
// running applications are owners of well-known names (quit by
// org.freedesktop.Application.ActivateAction("quit")), their changes come from NameOwnerChanged.
// Launching a bundle folder starts its Contents/MacOS/<CFBundleExecutable>; any other
// executable file is started as it is; both detached. Web pages open with xdg-open.
class BusPaneWorkspace : public PaneWorkspace {
public:
    explicit BusPaneWorkspace(const QDBusConnection& sessionBus);
    ~BusPaneWorkspace() override;

    void addRunningApplicationsObserver(Observer observer) override;
    std::vector<std::shared_ptr<PaneRunningApplication>> runningApplicationsWithBundleIdentifier(
        const std::string& bundleIdentifier) override;
    bool launchApplicationAtURL(const std::string& path, std::uint32_t options) override;
    bool openURL(const std::string& url) override;

private:
    class Observation;
    std::unique_ptr<BusWorkspace> workspace_;
    std::vector<std::unique_ptr<Observation>> observations_;
};

}  // namespace tandril
