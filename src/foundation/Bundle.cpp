#include "foundation/Bundle.hpp"

#include <mutex>

#include "foundation/Paths.hpp"
#include "foundation/PropertyList.hpp"

namespace tandril {

namespace {
std::mutex& mainBundleMutex() {
    static std::mutex mutex;
    return mutex;
}

std::shared_ptr<Bundle>& mainBundleSlot() {
    static std::shared_ptr<Bundle> bundle;
    return bundle;
}

// A plain file-name part: not empty, no "/" or NUL, not "." or "..".
bool isPlainName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}
}  // namespace

Bundle::Bundle(std::string path) : path_(std::move(path)) {
    while (path_.size() > 1 && path_.back() == '/') path_.pop_back();
    auto info = PropertyList::readFile(Paths::join(path_, "Contents/Info.plist"));
    if (info && info->asDictionary()) info_ = *info->asDictionary();
}

std::shared_ptr<Bundle> Bundle::mainBundle() {
    std::lock_guard lock(mainBundleMutex());
    return mainBundleSlot();
}

void Bundle::setMainBundle(std::shared_ptr<Bundle> bundle) {
    std::lock_guard lock(mainBundleMutex());
    mainBundleSlot() = std::move(bundle);
}

std::shared_ptr<Bundle> Bundle::bundleWithPath(const std::string& path) {
    if (path.empty() || !Paths::isDirectory(path)) return nullptr;
    return std::make_shared<Bundle>(path);
}

std::string Bundle::resourcePath() const { return Paths::join(path_, "Contents/Resources"); }

std::string Bundle::executablePath() const {
    std::string name;
    auto it = info_.find("CFBundleExecutable");
    if (it != info_.end() && it->second.isString()) name = *it->second.asString();
    if (name.empty()) {
        // Without the key, the executable is named after the bundle folder.
        auto slash = path_.find_last_of('/');
        name = slash == std::string::npos ? path_ : path_.substr(slash + 1);
        auto dot = name.find_last_of('.');
        if (dot != std::string::npos && dot > 0) name.erase(dot);
    }
    return Paths::join(path_, "Contents/MacOS/" + name);
}

std::optional<std::string> Bundle::bundleIdentifier() const {
    auto it = info_.find("CFBundleIdentifier");
    if (it != info_.end() && it->second.isString()) return *it->second.asString();
    return std::nullopt;
}

Value Bundle::objectForInfoDictionaryKey(const std::string& key) const {
    auto it = info_.find(key);
    return it == info_.end() ? Value() : it->second;
}

const Dictionary& Bundle::infoDictionary() const { return info_; }

std::optional<std::string> Bundle::pathForResource(const std::string& name, const std::string& type) const {
    if (!isPlainName(name)) return std::nullopt;
    std::string fileName = name;
    if (!type.empty()) {
        // The type is an extension: it may not lead anywhere else either.
        if (type.find('/') != std::string::npos || type.find('\0') != std::string::npos) return std::nullopt;
        fileName += (type.front() == '.' ? "" : ".") + type;
        if (!isPlainName(fileName)) return std::nullopt;
    }
    std::string path = Paths::join(resourcePath(), fileName);
    if (!Paths::fileExists(path)) return std::nullopt;
    return path;
}

}  // namespace tandril
