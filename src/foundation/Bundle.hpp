#pragma once

#include <memory>
#include <optional>
#include <string>

#include "foundation/Value.hpp"

namespace tandril {

// A bundle: a directory with Contents/Info.plist and Contents/Resources/.
class Bundle {
public:
    explicit Bundle(std::string path);

    // The running program's bundle; set by the entry point (or a test).
    static std::shared_ptr<Bundle> mainBundle();
    static void setMainBundle(std::shared_ptr<Bundle> bundle);
    // A bundle at `path`, or nullptr when there is no directory there.
    static std::shared_ptr<Bundle> bundleWithPath(const std::string& path);

    const std::string& bundlePath() const { return path_; }
    std::string resourcePath() const;  // <bundle>/Contents/Resources
    std::string executablePath() const;  // <bundle>/Contents/MacOS/<CFBundleExecutable>
    std::optional<std::string> bundleIdentifier() const;

    // A value of Contents/Info.plist; null when absent or the file is unreadable.
    Value objectForInfoDictionaryKey(const std::string& key) const;
    const Dictionary& infoDictionary() const;

    // Contents/Resources/<name>.<type> when that file exists. `name` must be a plain file
    // name: one holding "/" or NUL, "." or ".." finds nothing.
    std::optional<std::string> pathForResource(const std::string& name, const std::string& type) const;

private:
    std::string path_;
    Dictionary info_;
};

}  // namespace tandril
