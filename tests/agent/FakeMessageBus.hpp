#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "shared/TDRMessageBus.hpp"

namespace tandril::test {

// Records the agent's posts and observations; `send` plays a message from another process.
class FakeMessageBus : public TDRMessageBus {
public:
    struct Post {
        std::string name;
        std::optional<Dictionary> userInfo;
        bool deliverImmediately;
    };

    void postNotificationName(const std::string& name, const std::optional<Dictionary>& userInfo,
                              bool deliverImmediately) override {
        posts.push_back({name, userInfo, deliverImmediately});
    }
    void addObserver(const std::string& name, Handler handler) override {
        observedNames.push_back(name);
        observers.emplace_back(name, std::move(handler));
    }

    void send(const std::string& name) {
        const auto current = observers;
        for (const auto& [observed, handler] : current) {
            if (observed == name) handler(TDRMessage{name, std::nullopt});
        }
    }
    std::size_t count(const std::string& name) const {
        std::size_t n = 0;
        for (const auto& p : posts) n += p.name == name ? 1 : 0;
        return n;
    }
    // The payload of the latest post named `name`; a null value when there is none.
    Value lastPayload(const std::string& name) const {
        for (auto it = posts.rbegin(); it != posts.rend(); ++it) {
            if (it->name == name) return it->userInfo ? Value(*it->userInfo) : Value();
        }
        return Value();
    }

    std::vector<Post> posts;
    std::vector<std::string> observedNames;
    std::vector<std::pair<std::string, Handler>> observers;
};

}  // namespace tandril::test
