#pragma once

#include <optional>
#include <string>
#include <vector>

#include "pane/PaneLoginItems.hpp"

namespace tandril {

// Login items as XDG autostart has them: each "*.desktop" file in
// $XDG_CONFIG_HOME/autostart is one item, its handle the file's name, the program it starts
// the first argument of its Exec line.
//
// An item for a bundle folder starts the bundle's executable (Contents/MacOS/<CFBundleExecutable>);
// any other path starts that program. Items are written as "<identifier>.desktop" (the bundle's
// identifier, else the program's file name); adding the same program again rewrites its own file
// (the autostart folder knows no duplicates), and a foreign file of that name is never
// overwritten: the new item takes the next free "<name>-<n>.desktop".
class AutostartLoginItems : public PaneLoginItems {
public:
    // `folder` defaults to Paths::autostartDirectory() when empty.
    explicit AutostartLoginItems(std::string folder = {});

    bool open() override;
    bool insertItemLast(const std::string& path) override;
    std::vector<std::string> snapshot() override;
    std::optional<std::string> resolve(const std::string& item) override;
    bool removeItem(const std::string& item) override;
    std::string resolvedPathFor(const std::string& path) override;

    const std::string& folder() const { return folder_; }

    // One argument of an Exec line, quoted where the desktop-entry rules need it, and escaped
    // as a desktop-entry string value.
    static std::string execValueForProgram(const std::string& program);

private:
    bool isPlainItemName(const std::string& item) const;

    std::string folder_;
};

}  // namespace tandril
