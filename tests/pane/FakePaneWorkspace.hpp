#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "pane/PaneWorkspace.hpp"

namespace tandril::test {

// A desktop where the test decides which applications run; records launches and quit
// requests. setRunning() tells the observers, as the bus's name-owner changes do.
class FakePaneWorkspace : public PaneWorkspace {
public:
    struct App : PaneRunningApplication {
        App(FakePaneWorkspace* owner, std::string id) : workspace(owner), identifier(std::move(id)) {}
        std::optional<std::string> bundleIdentifier() const override { return identifier; }
        bool terminate() override {
            workspace->terminated.push_back(identifier);
            return true;
        }
        FakePaneWorkspace* workspace;
        std::string identifier;
    };
    struct Launch {
        std::string path;
        std::uint32_t options;
    };

    void addRunningApplicationsObserver(Observer observer) override { observers.push_back(std::move(observer)); }
    std::vector<std::shared_ptr<PaneRunningApplication>> runningApplicationsWithBundleIdentifier(
        const std::string& bundleIdentifier) override {
        std::vector<std::shared_ptr<PaneRunningApplication>> apps;
        for (const auto& id : running) {
            if (id == bundleIdentifier) apps.push_back(std::make_shared<App>(this, id));
        }
        return apps;
    }
    bool launchApplicationAtURL(const std::string& path, std::uint32_t options) override {
        launches.push_back({path, options});
        return true;
    }
    bool openURL(const std::string& url) override {
        openedURLs.push_back(url);
        return true;
    }

    // Starts or quits `identifier` and tells the observers.
    void setRunning(const std::string& identifier, bool isRunning) {
        std::erase(running, identifier);
        if (isRunning) running.push_back(identifier);
        const auto current = observers;
        for (const auto& observer : current) observer();
    }

    std::vector<std::string> running;
    std::vector<Observer> observers;
    std::vector<Launch> launches;
    std::vector<std::string> terminated;
    std::vector<std::string> openedURLs;
};

}  // namespace tandril::test
