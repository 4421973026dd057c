#include "platform/linux/pane/BusPaneWorkspace.hpp"

#include <unistd.h>

#include <QProcess>
#include <QString>

#include <utility>

#include "agent/TDRKeyValueObserver.hpp"
#include "agent/TDRRunningApplication.hpp"
#include "foundation/Log.hpp"
#include "foundation/Paths.hpp"
#include "platform/linux/desktop/BusWorkspace.hpp"

namespace tandril {

namespace {

// The agent's running application as the pane's interface has it.
class RunningApplication : public PaneRunningApplication {
public:
    explicit RunningApplication(std::shared_ptr<TDRRunningApplication> app) : app_(std::move(app)) {}
    std::optional<std::string> bundleIdentifier() const override { return app_->bundleIdentifier(); }
    bool terminate() override { return app_->terminate(); }

private:
    std::shared_ptr<TDRRunningApplication> app_;
};

}  // namespace

class BusPaneWorkspace::Observation : public TDRKeyValueObserver {
public:
    explicit Observation(Observer observer) : observer_(std::move(observer)) {}
    void observeValueForKeyPath(const std::string& keyPath, const void*, const void*) override {
        if (keyPath == "runningApplications" && observer_) observer_();
    }

private:
    Observer observer_;
};

BusPaneWorkspace::BusPaneWorkspace(const QDBusConnection& sessionBus)
    : workspace_(std::make_unique<BusWorkspace>(sessionBus)) {}

BusPaneWorkspace::~BusPaneWorkspace() {
    for (const auto& observation : observations_) workspace_->removeRunningApplicationsObserver(observation.get(), nullptr);
}

void BusPaneWorkspace::addRunningApplicationsObserver(Observer observer) {
    observations_.push_back(std::make_unique<Observation>(std::move(observer)));
    workspace_->addRunningApplicationsObserver(observations_.back().get(), nullptr);
}

std::vector<std::shared_ptr<PaneRunningApplication>> BusPaneWorkspace::runningApplicationsWithBundleIdentifier(
    const std::string& bundleIdentifier) {
    std::vector<std::shared_ptr<PaneRunningApplication>> apps;
    for (auto& app : workspace_->runningApplicationsWithBundleIdentifier(bundleIdentifier)) {
        if (app) apps.push_back(std::make_shared<RunningApplication>(std::move(app)));
    }
    return apps;
}

bool BusPaneWorkspace::launchApplicationAtURL(const std::string& path, std::uint32_t) {
    // Nothing here brings a window forward: the agent starts in the background either way.
    if (Paths::isDirectory(path)) return workspace_->launchApplicationAtPath(path);
    if (path.empty() || path[0] != '/' || ::access(path.c_str(), X_OK) != 0 ||
        !QProcess::startDetached(QString::fromStdString(path), {})) {
        log("[BusPaneWorkspace] Could not start %s", path);
        return false;
    }
    return true;
}

bool BusPaneWorkspace::openURL(const std::string& url) { return BusWorkspace::openURL(url); }

}  // namespace tandril
