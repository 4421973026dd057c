#pragma once

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "agent/TDRWorkspace.hpp"

namespace tandril::test {

// A desktop session whose running applications the test sets; records terminate requests,
// launches and opened files, and reports list changes to key-value observers.
class FakeWorkspace : public TDRWorkspace {
public:
    class App : public TDRRunningApplication {
    public:
        App(FakeWorkspace* ws, std::string id) : workspace(ws), identifier(std::move(id)) {}
        std::optional<std::string> bundleIdentifier() const override { return identifier; }
        bool terminate() override {
            ++terminateCount;
            observersAtTerminate = workspace->kvo.size();
            if (quitsOnTerminate) workspace->quit(identifier);
            return true;
        }
        FakeWorkspace* workspace;
        std::string identifier;
        int terminateCount = 0;
        // How many list observers were registered when the quit request came.
        std::size_t observersAtTerminate = 0;
        bool quitsOnTerminate = false;
    };

    void addObserver(const std::string& name, Handler handler) override {
        observedNames.push_back(name);
        handlers.emplace_back(name, std::move(handler));
    }
    std::vector<std::shared_ptr<TDRRunningApplication>> runningApplicationsWithBundleIdentifier(
        const std::string& id) override {
        std::vector<std::shared_ptr<TDRRunningApplication>> found;
        for (const auto& app : running) {
            if (app->identifier == id) found.push_back(app);
        }
        return found;
    }
    bool launchAppWithBundleIdentifier(const std::string& id, std::uint32_t options) override {
        launches.emplace_back(id, options);
        return true;
    }
    bool openFile(const std::string& path) override {
        openedFiles.push_back(path);
        return true;
    }
    void addRunningApplicationsObserver(TDRKeyValueObserver* observer, const void* context) override {
        kvo.emplace_back(observer, context);
    }
    void removeRunningApplicationsObserver(TDRKeyValueObserver* observer, const void* context) override {
        ++kvoRemovals;
        kvo.erase(std::remove(kvo.begin(), kvo.end(), std::make_pair(observer, context)), kvo.end());
    }

    // --- driven by the test
    std::shared_ptr<App> launch(const std::string& id) {
        auto app = std::make_shared<App>(this, id);
        running.push_back(app);
        notifyRunningApplications();
        return app;
    }
    void quit(const std::string& id) {
        running.erase(std::remove_if(running.begin(), running.end(),
                                     [&](const std::shared_ptr<App>& a) { return a->identifier == id; }),
                      running.end());
        notifyRunningApplications();
    }
    void notifyRunningApplications() {
        const auto current = kvo;
        for (const auto& [observer, context] : current) {
            observer->observeValueForKeyPath(TDRRunningApplicationsKeyPath, this, context);
        }
    }
    void post(const std::string& name) {
        const auto current = handlers;
        for (const auto& [observed, handler] : current) {
            if (observed == name) handler();
        }
    }

    std::vector<std::string> observedNames;
    std::vector<std::pair<std::string, Handler>> handlers;
    std::vector<std::shared_ptr<App>> running;
    std::vector<std::pair<std::string, std::uint32_t>> launches;
    std::vector<std::string> openedFiles;
    std::vector<std::pair<TDRKeyValueObserver*, const void*>> kvo;
    int kvoRemovals = 0;
};

}  // namespace tandril::test
