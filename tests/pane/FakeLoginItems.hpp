#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "pane/PaneLoginItems.hpp"

namespace tandril::test {

// A login-items list in memory: items are (handle, resolved path); a bundle folder path
// resolves to "<path>/Contents/MacOS/Tandril".
class FakeLoginItems : public PaneLoginItems {
public:
    struct Item {
        std::string handle;
        std::optional<std::string> path;
    };

    bool open() override { return available; }
    bool insertItemLast(const std::string& path) override {
        items.push_back({"item" + std::to_string(++counter), resolvedPathFor(path)});
        ++inserts;
        return true;
    }
    std::vector<std::string> snapshot() override {
        std::vector<std::string> handles;
        for (const auto& item : items) handles.push_back(item.handle);
        return handles;
    }
    std::optional<std::string> resolve(const std::string& handle) override {
        for (const auto& item : items) {
            if (item.handle == handle) return item.path;
        }
        return std::nullopt;
    }
    bool removeItem(const std::string& handle) override {
        return std::erase_if(items, [&](const Item& item) { return item.handle == handle; }) > 0;
    }
    std::string resolvedPathFor(const std::string& path) override {
        return path.ends_with(".app") ? path + "/Contents/MacOS/Tandril" : path;
    }

    std::vector<std::string> paths() const {
        std::vector<std::string> result;
        for (const auto& item : items) result.push_back(item.path.value_or("(unresolvable)"));
        return result;
    }

    bool available = true;
    std::vector<Item> items;
    int inserts = 0;
    int counter = 0;
};

}  // namespace tandril::test
