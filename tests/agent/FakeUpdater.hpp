#pragma once

#include <memory>
#include <string>
#include <vector>

#include "agent/TDRUpdater.hpp"

namespace tandril::test {

// Records the calls made on the updater.
class FakeUpdater : public TDRUpdater {
public:
    void setFeedURL(const std::string& url) override { calls.push_back("setFeedURL:" + url); }
    void setDelegate(std::weak_ptr<TDRUpdaterDelegate> d) override {
        delegate = std::move(d);
        calls.emplace_back("setDelegate:");
    }
    void checkForUpdatesInBackground() override { calls.emplace_back("checkForUpdatesInBackground"); }
    void checkForUpdates(const void* s) override {
        sender = s;
        calls.emplace_back("checkForUpdates:");
    }

    std::weak_ptr<TDRUpdaterDelegate> delegate;
    const void* sender = nullptr;
    std::vector<std::string> calls;
};

}  // namespace tandril::test
