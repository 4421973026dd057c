#pragma once

#include <optional>
#include <string>
#include <vector>

namespace tandril {

// The user's login items: the programs the desktop starts when the user logs in. Items are
// named by opaque handles the list gives out in its snapshot.
class PaneLoginItems {
public:
    virtual ~PaneLoginItems() = default;

    // Makes the list usable; false when it cannot be had (nothing else is then called).
    virtual bool open() = 0;
    // Adds `path` (a bundle folder or a program) as the last item.
    virtual bool insertItemLast(const std::string& path) = 0;
    // The handles of the items, in order.
    virtual std::vector<std::string> snapshot() = 0;
    // The path of the program an item starts, or nullopt when it cannot be resolved.
    virtual std::optional<std::string> resolve(const std::string& item) = 0;
    virtual bool removeItem(const std::string& item) = 0;
    // The path an item for `path` resolves to (the program a bundle folder starts).
    virtual std::string resolvedPathFor(const std::string& path) = 0;
};

}  // namespace tandril
